#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
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

  BgzfCopy(const BgzfCopy&) = delete;
  BgzfCopy& operator=(const BgzfCopy&) = delete;
  // Waits for the walk ahead, if one runs.
  ~BgzfCopy() = default;

  enum class Status : unsigned char { more, done, damaged, input_failed, output_failed };
  // Copies about `bytes` of whole blocks into `fd`. Every block of a step is checked before
  // any of its bytes is written; the next step's blocks are checked on a second thread while
  // this step's are written (or in the next step, when no thread can be started). On a failure,
  // `error` holds the input's reason (damaged, input_failed) or `output_errno` the output's.
  Status step(int fd, std::size_t bytes, core::IoError& error, int& output_errno);
  // The compressed offset of the first block not yet copied (or, after `damaged` or
  // `input_failed`, of the block found wrong or that could not be read).
  std::uint64_t offset() const noexcept { return offset_; }
  // Once done: the compressed offsets of the last block that holds data, and of the last block.
  std::uint64_t last_data_block() const noexcept { return walk_.last_data_block; }
  std::uint64_t last_block() const noexcept { return walk_.last_block; }

 private:
  explicit BgzfCopy(UniqueFd fd) noexcept : fd_(std::move(fd)), walk_(fd_.get()) {}

  // The check of the blocks' headers and trailers, which runs ahead of the copy. One thread
  // at a time touches it: the walk ahead, or the copying thread once that is joined.
  struct Walk {
    explicit Walk(int input) noexcept : fd(input) {}

    // Walks whole blocks from `end` until past `until`, the file's end, or a failure.
    void run(std::uint64_t until) noexcept;
    // Reads the header of the block at `at` and the ISIZE that ends it, and gives its size;
    // 0 at the file's end. Sets `status` when the block is cut or invalid, or reading fails.
    std::size_t block(std::uint64_t at) noexcept;

    int fd;
    std::uint64_t end = 0;  // the end of the blocks checked
    bool at_end = false;    // the walk reached the file's end
    bool last_empty = false;
    std::uint64_t last_data_block = 0;
    std::uint64_t last_block = 0;
    Status status = Status::more;
    std::uint64_t failed_at = 0;
    core::IoError error = core::IoError::bare(core::ErrorKind::Other);
    // The first bytes of a block read ahead: probed of them, at probed_at.
    std::vector<unsigned char> probe;
    std::size_t probed = 0;
    std::uint64_t probed_at = 0;
  };

  // Copies [offset_, end) into `fd`; false with `status` set on a failure.
  bool copy_to(int fd, std::uint64_t end, Status& status, core::IoError& error, int& output_errno);

  UniqueFd fd_;
  std::uint64_t offset_ = 0;
  bool in_kernel_ = true;           // whether the output takes sendfile
  std::unique_ptr<char[]> buffer_;  // for outputs that do not take sendfile
  Walk walk_;
  // Runs walk_ over the next step; destroyed, so joined, before walk_ and fd_.
  std::jthread ahead_;
};

}  // namespace varsift::hts
