#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "core/io_error.hpp"

namespace varsift::library {

// Why a scan stopped: the input could not be read (an OS error), its compression is damaged,
// or a line breaks the line or POS rules.
class ScanError : public std::runtime_error {
 public:
  enum class Kind : unsigned char { os, damaged, malformed };

  static ScanError os(int code, std::uint64_t line_number);
  static ScanError damaged(const core::IoError& error, std::uint64_t line_number);
  static ScanError malformed(std::string reason, std::uint64_t line_number);

  Kind kind() const noexcept { return kind_; }
  // The errno of an OS error.
  int os_code() const noexcept { return os_code_; }
  // The 1-based number of the line where it happened.
  std::uint64_t line_number() const noexcept { return line_number_; }

 private:
  ScanError(Kind kind, std::string reason, int os_code, std::uint64_t line_number)
      : std::runtime_error(std::move(reason)),
        kind_(kind),
        os_code_(os_code),
        line_number_(line_number) {}

  Kind kind_;
  int os_code_;
  std::uint64_t line_number_;
};

}  // namespace varsift::library
