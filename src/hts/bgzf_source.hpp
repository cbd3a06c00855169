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
#include "unique_fd.hpp"

namespace varsift::hts {

enum class Compression : unsigned char { plain, gzip, bgzf };

class BgzfSource;

using SourceResult = std::variant<BgzfSource, core::IoError>;

// Reads plain text, gzip (one member or several) and BGZF alike, telling them apart by content,
// and hands out inflated blocks without copying them. htslib reads pipes and the gzip and
// plain forms; a BGZF file read from its start goes through our own BlockReader, which
// inflates on a pool of threads. Damaged compressed data is
// an InvalidData error, never an early end: a cut, a bad CRC32 or ISIZE, corrupt deflate data,
// trailing garbage, or a BGZF file without its end-of-file marker block.
class BgzfSource final : public core::ByteSource {
 public:
  // Opens a local file, or standard input for "-" (which stays open when the source closes).
  // BGZF blocks are inflated by `threads` threads (the caller's included) when the input is
  // seekable; a pipe is read by the calling thread alone.
  static SourceResult open(std::string_view path, int threads = 0);
  // Reads from a duplicate of `fd`, which stays the caller's.
  static SourceResult from_descriptor(int fd, int threads = 0);

  BgzfSource(BgzfSource&&) noexcept = default;
  BgzfSource& operator=(BgzfSource&&) noexcept = default;

  bool next_bytes(std::string_view& bytes, core::IoError& error) override;

  Compression compression() const noexcept { return compression_; }
  // Whether the last failure was damaged compressed data rather than a system error.
  bool damaged() const noexcept { return damaged_; }
  // Virtual offset of the first byte not yet handed out (BGZF only).
  std::int64_t tell() const noexcept {
    return blocks_ ? blocks_->tell() : bgzf_tell(file_.get());
  }
  // Moves to a virtual offset from tell() or an index: the next bytes start there. BGZF files
  // that can be positioned only; an offset outside the file fails at the next read. A failure
  // of the source is final.
  bool seek(std::int64_t virtual_offset, core::IoError& error);
  // The handle, borrowed, for index code, which reads through it alone.
  BGZF* handle() const noexcept { return file_.get(); }

 private:
  BgzfSource(BgzfFile file, UniqueFd raw, std::unique_ptr<BlockReader> blocks,
             Compression compression, bool seekable, bool eof_marker) noexcept
      : file_(std::move(file)),
        raw_(std::move(raw)),
        blocks_(std::move(blocks)),
        compression_(compression),
        seekable_(seekable),
        eof_marker_(eof_marker) {}

  // Records a failed htslib call and gives false.
  bool fail(int call_errno, core::IoError& error);
  bool fail_with(core::IoError failure, bool damaged, core::IoError& error);
  // Reads the next block, or after a seek the block sought, setting `end` at the end of the
  // input. Gives false on failure.
  bool read_block(bool& end, core::IoError& error);
  // Checks that the block just read exists and matches its ISIZE field, which htslib does not
  // check.
  bool check_block(bool after_seek, core::IoError& error);
  bool check_isize(const unsigned char* isize, core::IoError& error);
  // Reads up to `size` bytes at `offset` of the input, fewer only at its end.
  bool read_at(unsigned char* buffer, std::size_t size, std::int64_t offset, std::size_t& got,
               core::IoError& error);
  // At the end of a BGZF file, whether its final block was the end-of-file marker.
  bool ended_with_marker() const noexcept;

  BgzfFile file_;
  // The same input, for reading again a block htslib inflated after a seek.
  UniqueFd raw_;
  // Reads the blocks of a seekable BGZF file in place of htslib.
  std::unique_ptr<BlockReader> blocks_;
  Compression compression_;
  bool seekable_;
  bool eof_marker_;
  bool damaged_ = false;
  bool seek_pending_ = false;
  std::optional<core::IoError> failure_;
};

}  // namespace varsift::hts
