#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/io_error.hpp"

namespace varsift::library {

// Where a line is in its file: its 1-based number when known, otherwise (a line read through
// an index, after lines that were skipped) a description that names it another way.
struct LinePlace {
  std::optional<std::uint64_t> number;
  std::string description;

  static LinePlace line(std::uint64_t number) { return {number, {}}; }
};

// Why a scan stopped: the input could not be read (an OS error), its compression is damaged,
// or a line breaks the line or POS rules.
class ScanError : public std::runtime_error {
 public:
  enum class Kind : unsigned char { os, damaged, malformed };

  static ScanError os(int code, LinePlace place);
  static ScanError damaged(const core::IoError& error, LinePlace place);
  static ScanError malformed(std::string reason, LinePlace place);

  Kind kind() const noexcept { return kind_; }
  // The errno of an OS error.
  int os_code() const noexcept { return os_code_; }
  // The 1-based number of the line where it happened; none when unknown.
  std::optional<std::uint64_t> line_number() const noexcept { return place_.number; }
  // Where it happened when the number is unknown; may be empty.
  const std::string& place() const noexcept { return place_.description; }

 private:
  ScanError(Kind kind, std::string reason, int os_code, LinePlace place)
      : std::runtime_error(std::move(reason)),
        kind_(kind),
        os_code_(os_code),
        place_(std::move(place)) {}

  Kind kind_;
  int os_code_;
  LinePlace place_;
};

}  // namespace varsift::library
