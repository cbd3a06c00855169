#include "bcf_ranges.hpp"

#include <htslib/bgzf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "bgzf_file.hpp"
#include "little_endian.hpp"

namespace varsift::hts {
namespace {

using core::IoError;

// The magic ("BCF", 2, minor) and the header's length, read before the header.
constexpr std::size_t start_bytes = 9;

std::uint64_t block_of(std::uint64_t offset) noexcept { return offset >> 16; }
std::uint64_t within_block(std::uint64_t offset) noexcept { return offset & 0xFFFF; }

IoError read_error(const BGZF* file) noexcept { return describe_failure(*file, errno).error; }

}  // namespace

std::uint64_t BcfRangeSource::block_address() const noexcept {
  return text_block_.value_or(static_cast<std::uint64_t>(handle()->block_address));
}

bool BcfRangeSource::next_block(IoError& error) {
  if (next_in_ranges(handle(), kept_.get()) == -2) {
    error = read_error(handle());
    return false;
  }
  return true;
}

bool BcfRangeSource::seek(std::uint64_t offset, IoError& error) {
  bool loaded = false;
  return seek_in_ranges(handle(), kept_.get(), offset, error, loaded);
}

std::string_view BcfRangeSource::give(std::size_t size) noexcept {
  BGZF* const file = handle();
  const std::string_view bytes(
      static_cast<const char*>(file->uncompressed_block) + file->block_offset, size);
  file->block_offset += static_cast<int>(size);
  given_ += size;
  return bytes;
}

bool BcfRangeSource::next_bytes(std::string_view& bytes, IoError& error) {
  BGZF* const file = handle();
  for (;;) {
    switch (phase_) {
      case Phase::start: {
        if (!seek(0, error)) return false;
        if (kept_) kept_->keep(file);
        start_.resize(start_bytes);
        errno = 0;
        const ssize_t got = bgzf_read(file, start_.data(), start_bytes);
        if (got < 0) {
          error = read_error(file);
          return false;
        }
        start_.resize(static_cast<std::size_t>(got));
        // A stream cut within these bytes is for the framing to report.
        if (start_.size() == start_bytes) {
          header_left_ =
              little_endian_32(reinterpret_cast<const unsigned char*>(start_.data()) + 5);
        }
        phase_ = Phase::header;
        given_ += start_.size();
        bytes = start_;
        if (!bytes.empty()) return true;
        break;
      }
      case Phase::header: {
        if (header_left_ == 0) {
          phase_ = Phase::next_range;
          break;
        }
        if (file->block_offset >= file->block_length) {
          if (!next_block(error)) return false;
          if (file->block_length == 0) {
            phase_ = Phase::done;
            break;
          }
          if (kept_) kept_->keep(file);
        }
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(
            header_left_, static_cast<std::uint64_t>(file->block_length - file->block_offset)));
        header_left_ -= size;
        bytes = give(size);
        return true;
      }
      case Phase::next_range: {
        if (next_range_ == ranges_.size()) {
          phase_ = Phase::done;
          break;
        }
        const std::size_t index = next_range_++;
        text_block_.reset();
        // It may read through the handle: the range is sought afresh after it.
        if (before_range_ && !before_range_(index, error)) return false;
        const VirtualRange& range = ranges_[index];
        end_ = range.end;
        phase_ = Phase::range;
        if (const RangeTexts::Text* text = texts_ ? texts_->find(index) : nullptr) {
          text_block_ = block_of(range.begin);
          given_ += text->bytes.size();
          bytes = text->bytes;
          if (text->rest) {
            rest_ = text->rest;
          } else {
            range_ends_.push_back(given_);
            phase_ = Phase::next_range;
          }
          return true;
        }
        if (!seek(range.begin, error)) return false;
        break;
      }
      case Phase::range: {
        if (rest_) {
          // The rest of a range given from memory, from the next block.
          text_block_.reset();
          if (!seek(*rest_, error)) return false;
          rest_.reset();
        }
        if (file->block_offset >= file->block_length) {
          if (!next_block(error)) return false;
        }
        const auto address = static_cast<std::uint64_t>(file->block_address);
        std::size_t stop = static_cast<std::size_t>(file->block_length);
        if (file->block_length == 0 || address > block_of(end_)) {
          stop = static_cast<std::size_t>(file->block_offset);
        } else if (address == block_of(end_)) {
          stop = std::clamp(static_cast<std::size_t>(within_block(end_)),
                            static_cast<std::size_t>(file->block_offset), stop);
        }
        const std::size_t size = stop - static_cast<std::size_t>(file->block_offset);
        if (size == 0) {
          // The range is given whole (or the data ended): a record must end here.
          range_ends_.push_back(given_);
          phase_ = Phase::next_range;
          break;
        }
        bytes = give(size);
        return true;
      }
      case Phase::done:
        bytes = {};
        return true;
    }
  }
}

const char* BcfRangeSource::crossing(std::uint64_t begin, std::uint64_t end) noexcept {
  while (!range_ends_.empty() && range_ends_.front() <= begin) range_ends_.pop_front();
  if (!range_ends_.empty() && range_ends_.front() < end) {
    return "a record runs past the end of the stretch the index gives for it (stale index?)";
  }
  return nullptr;
}

}  // namespace varsift::hts
