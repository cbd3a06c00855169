#include "stream_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/waiting_read.hpp"
#include "positioned_read.hpp"

namespace varsift::hts {
namespace {

using core::IoError;

// Input read at once; it holds the largest header and the largest block.
constexpr std::size_t input_size = std::size_t{256} << 10;
constexpr std::size_t output_size = std::size_t{256} << 10;
static_assert(input_size >= 2 * bgzf_max_block_size && output_size >= bgzf_max_block_size);

constexpr unsigned char gzip_magic[2] = {0x1f, 0x8b};
// zlib's windowBits for gzip members alone.
constexpr int gzip_window_bits = 15 + 16;

}  // namespace

std::optional<Compression> compression_of(const unsigned char* bytes, std::size_t available,
                                          bool at_end) noexcept {
  if (std::memcmp(bytes, gzip_magic, std::min(available, sizeof gzip_magic)) != 0) {
    return Compression::plain;
  }
  if (available < sizeof gzip_magic) {
    if (at_end) return Compression::plain;
    return std::nullopt;
  }
  std::size_t size = 0;
  switch (read_block_size(bytes, available, size)) {
    case LayoutStatus::whole:
      return Compression::bgzf;
    case LayoutStatus::invalid:
      return Compression::gzip;
    case LayoutStatus::partial:
      break;
  }
  // A cut header is a cut gzip file, which inflating reports.
  if (at_end) return Compression::gzip;
  return std::nullopt;
}

StreamReader::StreamReader(UniqueFd fd)
    : fd_(std::move(fd)),
      buffer_(std::make_unique_for_overwrite<unsigned char[]>(input_size)),
      output_(std::make_unique_for_overwrite<char[]>(output_size)) {}

StreamReader::StreamReader(std::unique_ptr<PositionedInput> input, std::uint64_t offset)
    : StreamReader(*input, offset) {
  owned_ = std::move(input);
}

StreamReader::StreamReader(PositionedInput& input, std::uint64_t offset)
    : input_(&input),
      offset_(offset),
      buffer_(std::make_unique_for_overwrite<unsigned char[]>(input_size)),
      output_(std::make_unique_for_overwrite<char[]>(output_size)) {}

StreamReader::~StreamReader() {
  if (zlib_ready_) inflateEnd(&zlib_);
}

bool StreamReader::start(Compression& compression, BgzfFailure& failure) {
  for (;;) {
    if (have_ > 0 || at_end_) {
      if (auto found = compression_of(buffer_.get(), have_, at_end_)) {
        compression = *found;
        return compression == Compression::plain || start_members(failure);
      }
    }
    if (!fill(failure)) return false;
  }
}

bool StreamReader::start_members(BgzfFailure& failure) {
  if (!zlib_ready_) {
    if (inflateInit2(&zlib_, gzip_window_bits) != Z_OK) {
      fail({IoError::os(ENOMEM), false}, failure);
      return false;
    }
    zlib_ready_ = true;
  }
  compressed_ = true;
  return true;
}

bool StreamReader::start_after_blocks(BgzfFailure& failure) {
  any_member_ = last_was_block_ = last_was_empty_block_ = true;
  return start_members(failure);
}

bool StreamReader::fill(BgzfFailure& failure) {
  if (used_ == have_) used_ = have_ = 0;
  unsigned char* const into = buffer_.get() + have_;
  const std::size_t room = input_size - have_;
  IoError error = IoError::bare(core::ErrorKind::Other);
  if (input_ != nullptr) {
    std::size_t got = 0;
    if (!input_->read_at(into, room, offset_, got, error)) {
      failure = {std::move(error), false};
      return false;
    }
    offset_ += got;
    have_ += got;
    at_end_ = got < room;
    return true;
  }
  const std::ptrdiff_t got = core::read_waiting(fd_.get(), reinterpret_cast<char*>(into), room,
                                                core::thread_interruption(), error);
  if (got < 0) {
    failure = {std::move(error), false};
    return false;
  }
  have_ += static_cast<std::size_t>(got);
  offset_ += static_cast<std::uint64_t>(got);
  at_end_ = got == 0;
  return true;
}

void StreamReader::compact() noexcept {
  std::memmove(buffer_.get(), buffer_.get() + used_, have_ - used_);
  have_ -= used_;
  used_ = 0;
}

StreamReader::Status StreamReader::next(std::string_view& bytes, BgzfFailure& failure) {
  if (failure_) {
    failure = *failure_;
    return Status::failed;
  }
  if (compressed_) return inflate_next(bytes, failure);
  if (used_ == have_) {
    if (at_end_) {
      bytes = {};
      return Status::end;
    }
    if (!fill(failure)) return fail(failure, failure);
    if (have_ == 0) {
      bytes = {};
      return Status::end;
    }
  }
  bytes = {reinterpret_cast<const char*>(buffer_.get()) + used_, have_ - used_};
  used_ = have_;
  return Status::bytes;
}

StreamReader::Status StreamReader::inflate_next(std::string_view& bytes, BgzfFailure& failure) {
  for (;;) {
    if (!in_member_) {
      if (used_ == have_) {
        if (at_end_) return end_of_members(bytes, failure);
        if (!fill(failure)) return fail(failure, failure);
        continue;
      }
      BlockLayout layout{};
      const LayoutStatus status = read_layout(buffer_.get() + used_, have_ - used_, layout);
      if (status == LayoutStatus::partial) {
        if (at_end_) return fail(BgzfFailure::damage(truncated_message), failure);
        compact();
        if (!fill(failure)) return fail(failure, failure);
        continue;
      }
      if (status == LayoutStatus::whole) {
        const BlockDamage damage = blocks_.inflate(buffer_.get() + used_, layout, output_.get());
        if (damage != BlockDamage::none) {
          return fail(BgzfFailure::damage(damage == BlockDamage::corrupt ? corrupt_block_message
                                                                         : isize_mismatch_message),
                      failure);
        }
        used_ += layout.size;
        any_member_ = last_was_block_ = true;
        last_was_empty_block_ = layout.isize == 0;
        if (layout.isize == 0) continue;
        bytes = {output_.get(), layout.isize};
        return Status::bytes;
      }
      // Another gzip member, or what is not one: zlib tells.
      if (inflateReset(&zlib_) != Z_OK) return fail(describe_zlib_failure(), failure);
      member_header_ = {};
      inflateGetHeader(&zlib_, &member_header_);
      in_member_ = true;
    }
    const Status status = inflate_member(bytes, failure);
    if (status != Status::bytes || !bytes.empty()) return status;
  }
}

StreamReader::Status StreamReader::inflate_member(std::string_view& bytes, BgzfFailure& failure) {
  zlib_.next_in = buffer_.get() + used_;
  zlib_.avail_in = static_cast<uInt>(have_ - used_);
  zlib_.next_out = reinterpret_cast<Bytef*>(output_.get());
  zlib_.avail_out = static_cast<uInt>(output_size);
  const int status = inflate(&zlib_, Z_NO_FLUSH);
  used_ = have_ - zlib_.avail_in;
  bytes = {output_.get(), output_size - zlib_.avail_out};
  switch (status) {
    case Z_STREAM_END:
      in_member_ = false;
      any_member_ = true;
      last_was_block_ = false;
      return Status::bytes;
    case Z_OK:
    case Z_BUF_ERROR:
      if (bytes.empty() && used_ == have_) {
        if (at_end_) return fail(BgzfFailure::damage(truncated_message), failure);
        if (!fill(failure)) return fail(failure, failure);
      }
      return Status::bytes;
    case Z_MEM_ERROR:
      return fail({IoError::os(ENOMEM), false}, failure);
    default:
      return fail(describe_zlib_failure(), failure);
  }
}

StreamReader::Status StreamReader::end_of_members(std::string_view& bytes, BgzfFailure& failure) {
  if (last_was_block_ && !last_was_empty_block_) {
    return fail(BgzfFailure::damage(missing_marker_message), failure);
  }
  bytes = {};
  return Status::end;
}

StreamReader::Status StreamReader::fail(BgzfFailure failure, BgzfFailure& out) {
  failure_ = failure;
  out = std::move(failure);
  return Status::failed;
}

BgzfFailure StreamReader::describe_zlib_failure() const noexcept {
  const std::string_view message = zlib_.msg != nullptr ? zlib_.msg : "";
  if (member_header_.done != 1) {
    if (!any_member_) return BgzfFailure::damage("invalid gzip header");
    return BgzfFailure::damage(last_was_block_ ? bad_header_message
                                               : "trailing garbage after the last gzip member");
  }
  if (message == "incorrect data check") {
    return BgzfFailure::damage("gzip member CRC32 mismatch (corrupt data)");
  }
  if (message == "incorrect length check") {
    return BgzfFailure::damage("gzip member ISIZE mismatch (corrupt data)");
  }
  return BgzfFailure::damage("corrupt deflate data");
}

}  // namespace varsift::hts
