#include "unique_fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace varsift::hts {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

DuplicateResult UniqueFd::duplicate(int fd) noexcept {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return core::IoError::os(errno);
  return UniqueFd(copy);
}

}  // namespace varsift::hts
