#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "parse_int_error.hpp"

namespace varsift::core {

// Up to this many decimal digits always fit in 64 bits.
inline constexpr std::size_t digits_that_always_fit = 19;

// Reads `field` as an unsigned 64-bit decimal number with an optional leading '+', without
// trimming anything. Gives the error, or nullopt with the number stored in `value`.
std::optional<ParseIntError> parse_position(std::string_view field, std::uint64_t& value) noexcept;

}  // namespace varsift::core
