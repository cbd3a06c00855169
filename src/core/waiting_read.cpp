#include "waiting_read.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace varsift::core {

std::ptrdiff_t read_waiting(int fd, char* buffer, std::size_t count, Interruption* interruption,
                            IoError& error) {
  const int timeout = interruption != nullptr ? static_cast<int>(wait_check_interval.count()) : -1;
  for (;;) {
    pollfd wanted{fd, POLLIN, 0};
    const int ready = ::poll(&wanted, 1, timeout);
    if (ready < 0 && errno != EINTR) {
      error = IoError::os(errno);
      return -1;
    }
    if (ready <= 0) {
      if (interruption != nullptr) interruption->check();
      continue;
    }
    // Ready, at its end, or failed: the read tells which.
    const ssize_t n = ::read(fd, buffer, count);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
    if (errno == EINTR) {
      if (interruption != nullptr) interruption->check();
      continue;
    }
    error = IoError::os(errno);
    return -1;
  }
}

}  // namespace varsift::core
