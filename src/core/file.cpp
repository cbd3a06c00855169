#include "file.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "system_calls.hpp"

namespace varsift::core {

OpenResult File::open(std::string_view path, Interruption* interruption) {
  if (path.find('\0') != std::string_view::npos) {
    return IoError::fixed(ErrorKind::InvalidInput, "strings passed to WinAPI cannot contain NULs");
  }
  const std::string terminated(path);
  for (;;) {
    const int fd = system_calls().open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return File(fd);
    const int code = errno;
    if (code != EINTR) return IoError::os(code);
    if (interruption != nullptr) {
      interruption->check();
      return IoError::os(code);
    }
  }
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) system_calls().close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  // A failed close of a file only read from loses nothing.
  if (fd_ >= 0) system_calls().close(fd_);
}

std::ptrdiff_t File::read(char* buffer, std::size_t count, IoError& error) noexcept {
  const ssize_t n = system_calls().read(fd_, buffer, count);
  if (n < 0) error = IoError::os(errno);
  return n;
}

}  // namespace varsift::core
