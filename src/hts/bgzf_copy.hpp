#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/io_error.hpp"
#include "unique_fd.hpp"

namespace varsift::hts {

// Copies a local BGZF file's compressed bytes unchanged, as `cat` would, while checking what
// can be checked without inflating: that the file is a chain of whole BGZF blocks, each with a
// valid header and an ISIZE a block can hold, ending at the file's end with an empty block
// (the end-of-file marker). The blocks' data and CRC32 are not checked.
class BgzfCopy {
 public:
  // Null, with the reason in `error`, when `path` cannot be opened.
  static std::unique_ptr<BgzfCopy> open(const std::string& path, core::IoError& error);

  enum class Status : unsigned char { more, done, damaged, input_failed, output_failed };
  // Copies about `bytes` of whole blocks into `fd`. On a failure, `error` holds the input's
  // reason (damaged, input_failed) or `output_errno` the output's.
  Status step(int fd, std::size_t bytes, core::IoError& error, int& output_errno);
  // The compressed offset of the first block not yet copied.
  std::uint64_t offset() const noexcept { return offset_; }

 private:
  explicit BgzfCopy(UniqueFd fd);

  UniqueFd fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t held_ = 0;  // bytes of a block cut by the last read, at the buffer's start
  std::uint64_t offset_ = 0;
  bool last_empty_ = false;
};

}  // namespace varsift::hts
