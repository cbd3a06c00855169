#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace varsift::core {

enum class IntErrorKind : std::uint8_t { Empty, InvalidDigit, PosOverflow, NegOverflow, Zero };

std::string_view int_error_kind_name(IntErrorKind kind) noexcept;

// Why a decimal number could not be read.
struct ParseIntError {
  IntErrorKind kind;

  // Debug form, e.g. `ParseIntError { kind: Empty }`.
  std::string debug() const;
};

}  // namespace varsift::core
