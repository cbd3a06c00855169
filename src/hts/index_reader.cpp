#include "index_reader.hpp"

#include "bgzf_file.hpp"
#include "kept_blocks.hpp"
#include "range_texts.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace varsift::hts {
namespace {

std::uint64_t block_of(std::uint64_t offset) noexcept { return offset >> 16; }
std::uint64_t within_block(std::uint64_t offset) noexcept { return offset & 0xFFFF; }

core::IoError read_error(const BGZF* file) noexcept { return describe_failure(*file, errno).error; }

}  // namespace

IndexedSource::IndexedSource(BGZF* file, std::vector<VirtualRange> ranges, KeptBlocks* kept,
                             std::optional<ReadHeader> header, BeforeRange before_range,
                             const RangeTexts* texts) noexcept
    : file_(file),
      kept_(kept),
      before_range_(std::move(before_range)),
      texts_(texts),
      ranges_(std::move(ranges)),
      header_(std::move(header)) {}

std::uint64_t IndexedSource::tell() const noexcept {
  return static_cast<std::uint64_t>(file_->block_address) << 16 |
         static_cast<std::uint64_t>(file_->block_offset);
}

std::uint64_t IndexedSource::block_address() const noexcept {
  if (phase_ == Phase::text) return text_block_;
  return static_cast<std::uint64_t>(file_->block_address);
}

int next_in_ranges(BGZF* file, KeptBlocks* kept) {
  errno = 0;
  if (kept != nullptr) return kept->next(file);
  // bgzf_peek loads the next block holding data, past empty ones.
  file->block_offset = file->block_length;
  return bgzf_peek(file);
}

bool seek_in_ranges(BGZF* file, KeptBlocks* kept, std::uint64_t offset, core::IoError& error,
                    bool& loaded) {
  const std::uint64_t address = block_of(offset);
  const std::uint64_t position = within_block(offset);
  loaded = false;
  if (file->block_length > 0 && static_cast<std::uint64_t>(file->block_address) == address &&
      position <= static_cast<std::uint64_t>(file->block_length)) {
    file->block_offset = static_cast<int>(position);
    return true;
  }
  if (kept != nullptr && kept->load(file, address)) {
    file->block_offset = static_cast<int>(position);
    loaded = true;
  } else {
    errno = 0;
    if (bgzf_seek(file, static_cast<std::int64_t>(offset), SEEK_SET) < 0) {
      // The system's reason (a server without byte ranges, a lost connection) where there is one.
      const BgzfFailure failure = describe_failure(*file, errno);
      error = failure.damaged || !failure.error.is_os()
                  ? core::IoError::fixed(core::ErrorKind::InvalidData,
                                         "index points to no BGZF block of the data file")
                  : failure.error;
      return false;
    }
    const int next = bgzf_peek(file);
    if (next == -2) {
      error = read_error(file);
      return false;
    }
    loaded = next >= 0;
  }
  if (file->block_offset > file->block_length) {
    error = core::IoError::fixed(core::ErrorKind::InvalidData,
                                 "index points past the end of a BGZF block");
    return false;
  }
  return true;
}

bool IndexedSource::next_block(core::IoError& error) {
  const int next = next_in_ranges(file_, kept_);
  if (next == -2) {
    error = read_error(file_);
    return false;
  }
  if (next >= 0) ++blocks_read_;
  return true;
}

bool IndexedSource::seek(std::uint64_t offset, core::IoError& error) {
  bool loaded = false;
  const bool sought = seek_in_ranges(file_, kept_, offset, error, loaded);
  if (loaded) ++blocks_read_;
  return sought;
}

bool IndexedSource::start_next_range(core::IoError& error) {
  const std::uint64_t here = resume_.value_or(tell());
  while (next_range_ < ranges_.size() && ranges_[next_range_].end <= here) ++next_range_;
  if (next_range_ == ranges_.size()) {
    phase_ = Phase::done;
    return true;
  }
  const std::size_t index = next_range_++;
  const VirtualRange& range = ranges_[index];
  end_ = range.end;
  phase_ = Phase::range;
  if (before_range_) {
    if (!before_range_(index, error)) return false;
    // The handle may have moved: the lines go on from where they stood.
    if (range.begin <= here && !resume_) return seek(here, error);
  }
  // Lines already given are not given again: a range reaching back continues from here.
  if (range.begin <= here && !resume_) return true;
  resume_.reset();
  at_line_start_ = true;
  if (const RangeTexts::Text* text =
          texts_ != nullptr && range.begin >= here ? texts_->find(index) : nullptr) {
    text_ = text->bytes;
    text_block_ = block_of(range.begin);
    text_rest_ = text->rest;
    // A whole range ends a line: the next range goes on from its end.
    if (!text_rest_) resume_ = range.end;
    phase_ = Phase::text;
    return true;
  }
  return seek(std::max(range.begin, here), error);
}

bool IndexedSource::next_bytes(std::string_view& bytes, core::IoError& error) {
  for (;;) {
    if (phase_ == Phase::start) {
      phase_ = Phase::header;
      if (header_) {
        // Given whole from memory; the ranges go on from where it ended.
        resume_ = header_->end;
        phase_ends_ = true;
        if (!header_->bytes.empty()) {
          bytes = header_->bytes;
          return true;
        }
        continue;
      }
      if (!seek(0, error)) return false;
    }
    if (phase_ends_) {
      // Only now: a seek replaces the block the last bytes were viewing.
      phase_ends_ = false;
      if (phase_ == Phase::range) {
        phase_ = Phase::finish_line;
      } else if (phase_ == Phase::text && text_rest_) {
        // The rest of the range, from the next block.
        at_line_start_ = text_.back() == '\n';
        phase_ = Phase::range;
        if (!seek(*text_rest_, error)) return false;
      } else if (!start_next_range(error)) {
        return false;
      }
    }
    if (phase_ == Phase::done) {
      bytes = {};
      return true;
    }
    if (phase_ == Phase::text) {
      bytes = text_;
      phase_ends_ = true;
      return true;
    }
    if (file_->block_offset >= file_->block_length) {
      if (!next_block(error)) return false;
      if (file_->block_length == 0) {
        phase_ = Phase::done;
        continue;
      }
    }
    const char* const data = static_cast<const char*>(file_->uncompressed_block);
    const char* const start = data + file_->block_offset;
    const char* const block_end = data + file_->block_length;
    const char* stop = block_end;
    switch (phase_) {
      case Phase::header: {
        const char* cursor = start;
        while (cursor != block_end) {
          if (at_line_start_ && *cursor != '#') {
            phase_ends_ = true;
            break;
          }
          const void* newline =
              std::memchr(cursor, '\n', static_cast<std::size_t>(block_end - cursor));
          cursor = newline == nullptr ? block_end : static_cast<const char*>(newline) + 1;
          at_line_start_ = newline != nullptr;
        }
        stop = cursor;
        break;
      }
      case Phase::range: {
        const std::uint64_t address = static_cast<std::uint64_t>(file_->block_address);
        if (address > block_of(end_)) {
          stop = start;
          phase_ends_ = true;
        } else if (address == block_of(end_)) {
          const char* const range_end = data + within_block(end_);
          if (range_end <= block_end) {
            stop = range_end < start ? start : range_end;
            phase_ends_ = true;
          }
        }
        if (stop != start) at_line_start_ = stop[-1] == '\n';
        break;
      }
      case Phase::finish_line: {
        if (at_line_start_) {
          stop = start;
          phase_ends_ = true;
          break;
        }
        if (const void* newline =
                std::memchr(start, '\n', static_cast<std::size_t>(block_end - start))) {
          stop = static_cast<const char*>(newline) + 1;
          at_line_start_ = true;
          phase_ends_ = true;
        }
        break;
      }
      case Phase::start:
      case Phase::text:
      case Phase::done:
        break;
    }
    file_->block_offset = static_cast<int>(stop - data);
    if (stop != start) {
      bytes = std::string_view(start, static_cast<std::size_t>(stop - start));
      return true;
    }
  }
}

std::uint64_t block_bytes_at(BGZF* file, std::uint64_t offset) noexcept {
  // The block loaded, read last: the file stands at its end.
  const auto holding = static_cast<std::int64_t>(block_of(offset));
  if (file->block_length > 0 && file->block_address == holding && file->is_compressed != 0) {
    const off_t end = htell(file->fp);
    if (end > holding && end - holding <= 0x10000) return static_cast<std::uint64_t>(end - holding);
  }
  std::uint64_t bytes = 0;
  if (bgzf_seek(file, static_cast<std::int64_t>(offset & ~0xFFFFULL), SEEK_SET) == 0 &&
      bgzf_peek(file) >= 0) {
    const std::int64_t address = file->block_address;
    file->block_offset = file->block_length;
    if (bgzf_peek(file) != -2) bytes = static_cast<std::uint64_t>(file->block_address - address);
  }
  // No block stays loaded: a failed read leaves the last block in place with the file past the
  // damaged one, and a reader trusting it would go on from the wrong block. The next reader
  // seeks, and meets any damage itself.
  file->block_length = 0;
  file->block_offset = 0;
  file->errcode = 0;
  return bytes;
}

}  // namespace varsift::hts
