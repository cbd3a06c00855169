#pragma once

#include <htslib/bgzf.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>

#include "bgzf_file.hpp"
#include "block_reader.hpp"
#include "core/byte_source.hpp"
#include "core/io_error.hpp"

namespace varsift::hts {

enum class Compression : unsigned char { plain, gzip, bgzf };

class BgzfSource;

using SourceResult = std::variant<BgzfSource, core::IoError>;

// Reads plain text, gzip (one member or several) and BGZF alike, telling them apart by content,
// and hands out inflated blocks without copying them: a BGZF file read from its start through
// a BlockReader, everything else through htslib. Damaged compressed data is an InvalidData
// error, never an early end: a cut, a bad CRC32 or ISIZE, corrupt deflate data, trailing
// garbage, or a BGZF file without its end-of-file marker block.
class BgzfSource final : public core::ByteSource {
 public:
  // Opens a local file, a URL (see open_url), or standard input for "-" (which stays open when
  // the source closes). The blocks of a BGZF file are inflated by `threads` threads, the
  // caller's included (0 or 1: the caller alone); a pipe is read by the caller alone.
  static SourceResult open(std::string_view path, int threads = 0);
  // Opens a URL: BGZF through a BlockReader over byte ranges, which streams when read in
  // order and can be positioned where the server serves ranges; plain text and gzip streamed
  // through htslib.
  static SourceResult open_url(const std::string& url, int threads);
  // Opens a file for index code: as open() for a local file; a URL through an htslib handle
  // alone, which seeks by byte ranges.
  static SourceResult open_for_index(const std::string& path);
  // Reads from a duplicate of `fd`, which stays the caller's.
  static SourceResult from_descriptor(int fd, int threads = 0);

  BgzfSource(BgzfSource&&) noexcept = default;
  BgzfSource& operator=(BgzfSource&&) noexcept = default;

  bool next_bytes(std::string_view& bytes, core::IoError& error) override;

  Compression compression() const noexcept { return compression_; }
  // Whether the last failure was damaged compressed data rather than a system error.
  bool damaged() const noexcept { return damaged_; }
  // Virtual offset of the first byte not yet handed out (BGZF only).
  std::int64_t tell() const noexcept { return blocks_ ? blocks_->tell() : bgzf_tell(file_.get()); }
  // Moves to a virtual offset from tell() or an index: the next bytes start there. BGZF files
  // that can be positioned only; an offset outside the file fails at the next read. A failure
  // of the source is final.
  bool seek(std::int64_t virtual_offset, core::IoError& error);
  // The handle, borrowed, for index code, which reads through it alone; null for a URL that
  // open() read through a BlockReader.
  BGZF* handle() const noexcept { return file_.get(); }

 private:
  BgzfSource(BgzfFile file, std::unique_ptr<BlockReader> blocks, Compression compression) noexcept
      : file_(std::move(file)), blocks_(std::move(blocks)), compression_(compression) {}

  // Records a failed htslib call and gives false.
  bool fail(int call_errno, core::IoError& error);
  bool fail_with(core::IoError failure, bool damaged, core::IoError& error);
  // Checks that the block htslib just read matches its ISIZE field, which htslib does not
  // check.
  bool check_isize(core::IoError& error);

  BgzfFile file_;
  // Reads the blocks of a BGZF file that can be positioned, in place of htslib.
  std::unique_ptr<BlockReader> blocks_;
  Compression compression_;
  bool damaged_ = false;
  std::optional<core::IoError> failure_;
};

}  // namespace varsift::hts
