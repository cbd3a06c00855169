#pragma once

#include <variant>

#include "core/io_error.hpp"

namespace varsift::hts {

class UniqueFd;

using DuplicateResult = std::variant<UniqueFd, core::IoError>;

// Sole owner of a file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  // A new descriptor for the same open file, closed on exec.
  static DuplicateResult duplicate(int fd) noexcept;

  int get() const noexcept { return fd_; }
  // Gives up ownership, e.g. to htslib, which closes what it is given.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace varsift::hts
