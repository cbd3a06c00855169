#include "parse_int_error.hpp"

#include <array>

namespace varsift::core {

std::string_view int_error_kind_name(IntErrorKind kind) noexcept {
  static constexpr std::array<std::string_view, 5> names{"Empty", "InvalidDigit", "PosOverflow",
                                                         "NegOverflow", "Zero"};
  return names[static_cast<std::size_t>(kind)];
}

std::string ParseIntError::debug() const {
  std::string out = "ParseIntError { kind: ";
  out += int_error_kind_name(kind);
  out += " }";
  return out;
}

}  // namespace varsift::core
