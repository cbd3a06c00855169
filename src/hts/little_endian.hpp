#pragma once

#include <cstdint>

namespace varsift::hts {

// Unsigned integers as gzip, BGZF and index files store them: least significant byte first.
inline std::uint16_t little_endian_16(const unsigned char* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8U);
}

inline std::uint32_t little_endian_32(const unsigned char* p) noexcept {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8U | std::uint32_t{p[2]} << 16U |
         std::uint32_t{p[3]} << 24U;
}

}  // namespace varsift::hts
