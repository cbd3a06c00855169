#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "parse_int_error.hpp"
#include "position.hpp"

namespace varsift::core {

// The POS of a data line: its second TAB-separated field read as an unsigned 64-bit number.
struct RecordPosition {
  enum class Fault : unsigned char { none, no_field, not_a_number };

  std::uint64_t value = 0;
  Fault fault = Fault::none;
  ParseIntError error{};  // why the field is not a number, with Fault::not_a_number
};

// The text after the first TAB up to the second TAB or the end; nullopt without a TAB.
std::optional<std::string_view> position_field(std::string_view line) noexcept;

// Reads the POS the long way, which decides the exact fault.
RecordPosition read_position_exactly(std::string_view line) noexcept;

// Reads the POS of a data line. The common field, a few plain digits, is read in the same pass
// that finds it; anything else goes the long way.
inline RecordPosition read_position(std::string_view line) noexcept {
  const char* const end = line.data() + line.size();
  const char* p = line.data();
  // The chromosome name is short: a byte loop beats memchr's set-up.
  while (p != end && *p != '\t') ++p;
  if (p != end) {
    const char* const digits = ++p;
    std::uint64_t value = 0;
    for (unsigned char digit; p != end && (digit = static_cast<unsigned char>(*p - '0')) <= 9;
         ++p) {
      value = value * 10 + digit;
    }
    if (p != digits && static_cast<std::size_t>(p - digits) <= digits_that_always_fit &&
        (p == end || *p == '\t')) {
      return {value};
    }
  }
  return read_position_exactly(line);
}

}  // namespace varsift::core
