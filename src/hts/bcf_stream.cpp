#include "bcf_stream.hpp"

#include <algorithm>

#include "little_endian.hpp"

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

const unsigned char* bytes_of(std::string_view text) noexcept {
  return reinterpret_cast<const unsigned char*>(text.data());
}

std::int32_t signed_32(const unsigned char* p) noexcept {
  return static_cast<std::int32_t>(little_endian_32(p));
}

// "BCF", major version 2, then the minor version (1 or 2), then the header's length.
constexpr std::size_t magic_bytes = 5;
constexpr std::size_t lengths_bytes = 8;

}  // namespace

std::int32_t BcfRecordBytes::chrom() const noexcept { return signed_32(bytes_of(shared)); }
std::int32_t BcfRecordBytes::pos() const noexcept { return signed_32(bytes_of(shared) + 4); }

bool BcfStream::ensure(std::uint64_t size, bool& failed, IoError& error) {
  failed = false;
  if (carry_used_ == carry_.size() && chunk_.size() >= size) {
    carry_.clear();
    carry_used_ = 0;
    return true;
  }
  carry_.erase(0, carry_used_);
  carry_used_ = 0;
  for (;;) {
    // Only what the record needs is copied: the rest is viewed where the source holds it.
    const std::uint64_t wanted = size - std::min<std::uint64_t>(size, carry_.size());
    const std::size_t taken =
        static_cast<std::size_t>(std::min<std::uint64_t>(wanted, chunk_.size()));
    carry_.append(chunk_.substr(0, taken));
    chunk_.remove_prefix(taken);
    if (carry_.size() >= size) return true;
    std::string_view next;
    if (!source_.next_bytes(next, error)) {
      failed = true;
      return false;
    }
    if (next.empty()) return false;
    chunk_ = next;
  }
}

std::string_view BcfStream::front(std::size_t size) const noexcept {
  if (carry_used_ < carry_.size()) return std::string_view(carry_).substr(carry_used_, size);
  return chunk_.substr(0, size);
}

void BcfStream::consume(std::size_t size) noexcept {
  offset_ += size;
  if (carry_used_ < carry_.size()) {
    carry_used_ += size;
  } else {
    chunk_.remove_prefix(size);
  }
}

std::string_view BcfStream::header_text(std::string_view stored) noexcept {
  const std::string_view text = stored.substr(std::min(stored.size(), magic_bytes + 4));
  return text.substr(0, std::min(text.size(), text.find('\0')));
}

bool BcfStream::read_header(std::string& stored, IoError& error) {
  bool failed = false;
  if (!ensure(magic_bytes + 4, failed, error)) {
    if (!failed) error = IoError::fixed(ErrorKind::InvalidData, "BCF header cut short");
    return false;
  }
  const std::string_view start = front(magic_bytes + 4);
  if (start.substr(0, 4) != std::string_view("BCF\2", 4) || (start[4] != 1 && start[4] != 2)) {
    error = IoError::fixed(ErrorKind::InvalidData, "not a BCF 2 file");
    return false;
  }
  const std::uint64_t length = little_endian_32(bytes_of(start) + magic_bytes);
  if (!ensure(magic_bytes + 4 + length, failed, error)) {
    if (!failed) error = IoError::fixed(ErrorKind::InvalidData, "BCF header cut short");
    return false;
  }
  stored.assign(front(static_cast<std::size_t>(magic_bytes + 4 + length)));
  consume(static_cast<std::size_t>(magic_bytes + 4 + length));
  return true;
}

BcfStream::Status BcfStream::next(BcfRecordBytes& record, IoError& error) {
  bool failed = false;
  if (!ensure(lengths_bytes, failed, error)) {
    if (failed) return Status::failed;
    if (unread() == 0) return Status::end;
    error = IoError::fixed(ErrorKind::InvalidData, "BCF record cut short");
    return Status::failed;
  }
  const unsigned char* const lengths = bytes_of(front(lengths_bytes));
  const std::uint64_t shared = little_endian_32(lengths);
  const std::uint64_t indiv = little_endian_32(lengths + 4);
  if (shared < BcfRecordBytes::fixed_bytes) {
    error = IoError::fixed(ErrorKind::InvalidData,
                           "malformed BCF record (its shared part is too short)");
    return Status::failed;
  }
  const std::uint64_t size = lengths_bytes + shared + indiv;
  if (!ensure(size, failed, error)) {
    if (failed) return Status::failed;
    error = IoError::fixed(ErrorKind::InvalidData, "BCF record cut short");
    return Status::failed;
  }
  record.whole = front(static_cast<std::size_t>(size));
  record.shared = record.whole.substr(lengths_bytes, static_cast<std::size_t>(shared));
  record.indiv = record.whole.substr(static_cast<std::size_t>(lengths_bytes + shared));
  consume(static_cast<std::size_t>(size));
  return Status::record;
}

}  // namespace varsift::hts
