#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/io_error.hpp"
#include "unique_fd.hpp"

namespace varsift::hts {

// Copies a local BGZF file's compressed bytes unchanged, as `cat` would, while checking what
// can be checked without inflating: that the file is a chain of whole BGZF blocks, each with a
// valid header and an ISIZE a block can hold, ending at the file's end with an empty block
// (the end-of-file marker). The blocks' data and CRC32 are not checked. Only the headers and
// trailers are read into memory: the blocks go from file to output within the kernel.
class BgzfCopy {
 public:
  // Null, with the reason in `error`, when `path` cannot be opened.
  static std::unique_ptr<BgzfCopy> open(const std::string& path, core::IoError& error);

  enum class Status : unsigned char { more, done, damaged, input_failed, output_failed };
  // Copies about `bytes` of whole blocks into `fd`. On a failure, `error` holds the input's
  // reason (damaged, input_failed) or `output_errno` the output's.
  Status step(int fd, std::size_t bytes, core::IoError& error, int& output_errno);
  // The compressed offset of the first block not yet copied (or, after `damaged`, of the
  // block found wrong).
  std::uint64_t offset() const noexcept { return offset_; }
  // Once done: the compressed offsets of the last block that holds data, and of the last block.
  std::uint64_t last_data_block() const noexcept { return last_data_block_; }
  std::uint64_t last_block() const noexcept { return last_block_; }

 private:
  explicit BgzfCopy(UniqueFd fd) noexcept : fd_(std::move(fd)) {}

  // Reads the header of the block at `at` and the ISIZE that ends it, and gives its size; 0
  // at the file's end. Sets `status` when the block is cut or invalid, or reading fails.
  std::size_t walk_block(std::uint64_t at, Status& status, core::IoError& error);
  // Copies [offset_, end) into `fd`; false with `status` set on a failure.
  bool copy_to(int fd, std::uint64_t end, Status& status, core::IoError& error, int& output_errno);

  UniqueFd fd_;
  std::uint64_t offset_ = 0;
  std::uint64_t walked_ = 0;  // the end of the blocks whose headers have been checked
  bool last_empty_ = false;
  std::uint64_t last_data_block_ = 0;
  std::uint64_t last_block_ = 0;
  bool at_end_ = false;    // the walk reached the file's end
  bool in_kernel_ = true;  // whether the output takes sendfile
  // The first bytes of a block read ahead: probed_ of them, at probed_at_.
  std::vector<unsigned char> probe_;
  std::size_t probed_ = 0;
  std::uint64_t probed_at_ = 0;
  std::unique_ptr<char[]> buffer_;  // for outputs that do not take sendfile
};

}  // namespace varsift::hts
