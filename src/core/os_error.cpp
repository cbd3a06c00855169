#include "os_error.hpp"

#include <string.h>

namespace varsift::core {
namespace {

// Decodes the character that ends before `end` and gives the index of its first byte in
// `start`. Malformed bytes decode to something, never to more than was there.
char32_t decode_last(std::string_view text, std::size_t end, std::size_t& start) noexcept {
  start = end - 1;
  while (start > 0 && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    --start;
  }
  const auto lead = static_cast<unsigned char>(text[start]);
  char32_t c = lead < 0x80 ? lead : lead & (0x7Fu >> (end - start));
  for (std::size_t i = start + 1; i < end; ++i) {
    c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3Fu);
  }
  return c;
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

ErrorKind os_error_kind(std::int32_t code) noexcept { return error_kind_from_errno(code); }

std::string_view trim_trailing_white_space(std::string_view text) noexcept {
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t start = 0;
    if (!is_white_space(decode_last(text, end, start))) break;
    end = start;
  }
  return text.substr(0, end);
}

std::string os_error_text(std::int32_t code) {
  char buffer[256];
  // The GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = ::strerror_r(code, buffer, sizeof(buffer));
  return std::string(trim_trailing_white_space(text));
}

}  // namespace varsift::core
