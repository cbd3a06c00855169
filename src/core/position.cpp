#include "position.hpp"

namespace varsift::core {
std::optional<ParseIntError> parse_position(std::string_view field, std::uint64_t& value) noexcept {
  if (field.empty()) return ParseIntError{IntErrorKind::Empty};
  if (field.front() == '+') {
    field.remove_prefix(1);
    // A lone sign is no number.
    if (field.empty()) return ParseIntError{IntErrorKind::InvalidDigit};
  } else if (field == "-") {
    return ParseIntError{IntErrorKind::InvalidDigit};
  }
  std::uint64_t result = 0;
  // Only longer fields need overflow checks.
  if (field.size() <= digits_that_always_fit) {
    for (const char c : field) {
      const auto digit = static_cast<unsigned char>(c - '0');
      if (digit > 9) return ParseIntError{IntErrorKind::InvalidDigit};
      result = result * 10 + digit;
    }
  } else {
    for (const char c : field) {
      const auto digit = static_cast<unsigned char>(c - '0');
      if (digit > 9) return ParseIntError{IntErrorKind::InvalidDigit};
      if (__builtin_mul_overflow(result, 10U, &result) ||
          __builtin_add_overflow(result, digit, &result)) {
        return ParseIntError{IntErrorKind::PosOverflow};
      }
    }
  }
  value = result;
  return std::nullopt;
}

}  // namespace varsift::core
