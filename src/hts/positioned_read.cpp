#include "positioned_read.hpp"

#include <unistd.h>

#include <cerrno>

namespace varsift::hts {

bool read_at(int fd, unsigned char* buffer, std::size_t size, std::uint64_t offset,
             std::size_t& got, core::IoError& error) {
  got = 0;
  while (got < size) {
    const ssize_t read = ::pread(fd, buffer + got, size - got, static_cast<off_t>(offset + got));
    if (read < 0) {
      if (errno == EINTR) continue;
      error = core::IoError::os(errno);
      return false;
    }
    if (read == 0) break;
    got += static_cast<std::size_t>(read);
  }
  return true;
}

}  // namespace varsift::hts
