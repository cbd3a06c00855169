#include "utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

bool is_ascii(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
#if defined(__SSE2__)
  __m128i any = _mm_setzero_si128();
  for (; end - p >= 64; p += 64) {
    const auto* block = reinterpret_cast<const __m128i*>(p);
    any = _mm_or_si128(
        any, _mm_or_si128(_mm_or_si128(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                          _mm_or_si128(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3))));
  }
  if (_mm_movemask_epi8(any) != 0) return false;
#endif
  std::uint64_t any_word = 0;
  for (; end - p >= 8; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    any_word |= word;
  }
  for (; p != end; ++p) any_word |= static_cast<unsigned char>(*p);
  return (any_word & high_bits) == 0;
}

}  // namespace varsift::core
