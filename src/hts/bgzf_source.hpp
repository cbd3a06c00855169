#pragma once

#include <htslib/bgzf.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "bgzf_file.hpp"
#include "block_reader.hpp"
#include "core/byte_source.hpp"
#include "core/io_error.hpp"
#include "stream_reader.hpp"

namespace varsift::hts {

class BgzfSource;

using SourceResult = std::variant<BgzfSource, core::IoError>;

// Reads plain text, gzip (one member or several) and BGZF alike, telling them apart by content,
// and hands out inflated bytes without copying them: a BGZF file read from its start through
// a BlockReader, everything else, and whatever follows a file's BGZF blocks, through a
// StreamReader. Damaged compressed data is an InvalidData error, never an early end: a cut, a
// bad CRC32 or ISIZE, corrupt deflate data, trailing garbage, or a BGZF file that ends with a
// block that is not empty (no end-of-file marker). Waits for input (a pipe, a FIFO, a
// terminal) hear the interruption in force on the reading thread.
class BgzfSource final : public core::ByteSource {
 public:
  // Opens a local file, a URL (see open_url), or standard input for "-" (which stays open
  // when the source closes). A FIFO is opened without waiting for its writer. The blocks of a
  // BGZF file are inflated by `threads` threads, the caller's included (0 or 1: the caller
  // alone); a pipe is read by the caller alone. Reads the first bytes, to tell the compression.
  static SourceResult open(std::string_view path, int threads = 0);
  // Opens a URL: BGZF through a BlockReader over byte ranges, which streams when read in
  // order and can be positioned where the server serves ranges; plain text and gzip streamed
  // through a StreamReader.
  static SourceResult open_url(const std::string& url, int threads);
  // Opens a file for index code, through an htslib handle alone: a local regular file without
  // reading ahead; a URL, which seeks by byte ranges. Anything else as open().
  static SourceResult open_for_index(const std::string& path);
  // Reads from a duplicate of `fd`, which stays the caller's.
  static SourceResult from_descriptor(int fd, int threads = 0);

  BgzfSource(BgzfSource&&) noexcept = default;
  BgzfSource& operator=(BgzfSource&&) noexcept = default;

  bool next_bytes(std::string_view& bytes, core::IoError& error) override;
  // The compressed offset of the block being handed out, or the input read by the stream.
  std::uint64_t stored_bytes() const noexcept override {
    if (stream_) return stream_->stored_bytes();
    return blocks_ ? static_cast<std::uint64_t>(blocks_->tell()) >> 16 : 0;
  }

  Compression compression() const noexcept { return compression_; }
  // Whether the last failure was damaged compressed data rather than a system error.
  bool damaged() const noexcept { return damaged_; }
  // Virtual offset of the first byte not yet handed out (BGZF files that can be positioned).
  std::int64_t tell() const noexcept { return blocks_ ? blocks_->tell() : 0; }
  // Moves to a virtual offset from an index: the next bytes start there. BGZF files that can
  // be positioned only; an offset outside the file fails at the next read. A failure of the
  // source is final.
  bool seek(std::int64_t virtual_offset, core::IoError& error);
  // The htslib handle, borrowed, for index code, which reads through it alone: local BGZF
  // files that can be positioned and what open_for_index() opened, null otherwise.
  BGZF* handle() const noexcept { return file_.get(); }

 private:
  BgzfSource(BgzfFile file, std::unique_ptr<BlockReader> blocks,
             std::unique_ptr<StreamReader> stream, Compression compression) noexcept
      : file_(std::move(file)),
        blocks_(std::move(blocks)),
        stream_(std::move(stream)),
        compression_(compression) {}

  static SourceResult from_owned(UniqueFd fd, int threads);
  bool fail_with(core::IoError failure, bool damaged, core::IoError& error);
  // Goes on with the stream reader where the blocks end.
  bool read_after_blocks(core::IoError& error);

  BgzfFile file_;
  // Reads the blocks of a BGZF file that can be positioned.
  std::unique_ptr<BlockReader> blocks_;
  // Reads everything else, and what follows the blocks.
  std::unique_ptr<StreamReader> stream_;
  Compression compression_;
  bool damaged_ = false;
  std::optional<core::IoError> failure_;
};

}  // namespace varsift::hts
