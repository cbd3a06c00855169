#include "scan_error.hpp"

#include <cstring>

namespace varsift::library {

ScanError ScanError::os(int code, LinePlace place) {
  return ScanError(Kind::os, std::strerror(code), code, std::move(place));
}

ScanError ScanError::damaged(const core::IoError& error, LinePlace place) {
  return ScanError(Kind::damaged, error.display(), 0, std::move(place));
}

ScanError ScanError::malformed(std::string reason, LinePlace place) {
  return ScanError(Kind::malformed, std::move(reason), 0, std::move(place));
}

}  // namespace varsift::library
