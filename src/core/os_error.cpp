#include "os_error.hpp"

#include <string.h>

#include <cstdio>

namespace varsift::core {
namespace {

// Decodes the code point that ends just before `end`; gives 0 for a malformed tail, which
// is not white space.
char32_t last_code_point(std::string_view text, std::size_t end, std::size_t& start) noexcept {
  std::size_t i = end;
  while (i > 0 && (static_cast<unsigned char>(text[i - 1]) & 0xC0) == 0x80 && end - i < 3) --i;
  if (i == 0) {
    start = end - 1;
    return 0;
  }
  --i;
  start = i;
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t length = end - i;
  if (length == 1) return lead < 0x80 ? lead : 0;
  if (length == 2 && (lead & 0xE0) == 0xC0) {
    return static_cast<char32_t>(((lead & 0x1F) << 6) | (text[i + 1] & 0x3F));
  }
  if (length == 3 && (lead & 0xF0) == 0xE0) {
    return static_cast<char32_t>(((lead & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) |
                                 (text[i + 2] & 0x3F));
  }
  return 0;
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
    if (!is_white_space(last_code_point(text, end, start))) break;
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
