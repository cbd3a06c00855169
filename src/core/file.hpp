#pragma once

#include <cstddef>
#include <string_view>
#include <variant>

#include "interrupt.hpp"
#include "io_error.hpp"

namespace varsift::core {

class File;

using OpenResult = std::variant<File, IoError>;

// Sole owner of an open file descriptor, read-only. Closes it on destruction.
class File {
 public:
  // Opens an existing file for reading, never creating anything. A path holding a NUL is
  // refused with InvalidInput before the platform is asked. An open interrupted by a signal
  // (a FIFO waiting for its writer) is retried when there is no `interruption` to ask;
  // otherwise it is checked, and if it lets the call go on, the open fails with the
  // Interrupted error.
  static OpenResult open(std::string_view path, Interruption* interruption = nullptr);

  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  // Destroys the object, closing the file it represents if any.
  ~File();

  // Reads up to `count` bytes into `buffer`. Gives the number read (0 at end of file), or
  // -1 with the OS error stored in `error`.
  std::ptrdiff_t read(char* buffer, std::size_t count, IoError& error) noexcept;

  int descriptor() const noexcept { return fd_; }

 private:
  explicit File(int fd) noexcept : fd_(fd) {}

  int fd_;
};

}  // namespace varsift::core
