#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace varsift::core {
namespace {

constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p != end) {
    // Lines are mostly ASCII: skip it 32 bytes, then 8 bytes at a time.
    while (end - p >= 32) {
      std::uint64_t words[4];
      std::memcpy(words, p, sizeof(words));
      if (((words[0] | words[1] | words[2] | words[3]) & high_bits) != 0) break;
      p += 32;
    }
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof(word));
      if ((word & high_bits) != 0) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    const std::ptrdiff_t left = end - p;
    if (lead >= 0xC2 && lead <= 0xDF) {
      if (left < 2 || !is_continuation(p[1])) return false;
      p += 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      if (left < 3 || !is_continuation(p[1]) || !is_continuation(p[2])) return false;
      // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
      if ((lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] > 0x9F)) return false;
      p += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      if (left < 4 || !is_continuation(p[1]) || !is_continuation(p[2]) || !is_continuation(p[3])) {
        return false;
      }
      // No overlong forms (F0 80..8F) and nothing above U+10FFFF (F4 90..BF).
      if ((lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] > 0x8F)) return false;
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace varsift::core
