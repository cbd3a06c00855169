#include "scan_error.hpp"

#include <cstring>

namespace varsift::library {

ScanError ScanError::os(int code, std::uint64_t line_number) {
  return ScanError(Kind::os, std::strerror(code), code, line_number);
}

ScanError ScanError::damaged(const core::IoError& error, std::uint64_t line_number) {
  return ScanError(Kind::damaged, error.display(), 0, line_number);
}

ScanError ScanError::malformed(std::string reason, std::uint64_t line_number) {
  return ScanError(Kind::malformed, std::move(reason), 0, line_number);
}

}  // namespace varsift::library
