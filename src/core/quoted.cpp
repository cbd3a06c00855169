#include "quoted.hpp"

#include <cstddef>

#include "unicode_tables.hpp"

namespace varsift::core {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

struct Decoded {
  char32_t code_point;
  std::size_t length;
  bool well_formed;
};

// Decodes the sequence that starts at `text[pos]`. The input is meant to be valid UTF-8; should
// it not be, the longest ill-formed prefix becomes one U+FFFD and nothing past the end is read.
Decoded decode(std::string_view text, std::size_t pos) noexcept {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length;
  char32_t code_point;
  // Bounds of the next byte; some leads narrow them for the second byte to keep out overlong
  // forms, surrogates and code points above U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {kReplacement, 1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (pos + i >= text.size()) return {kReplacement, i, false};
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    if (byte < low || byte > high) return {kReplacement, i, false};
    low = 0x80;
    high = 0xBF;
    code_point = (code_point << 6) | (byte & 0x3Fu);
  }
  return {code_point, length, true};
}

bool stands_for_itself_ascii(unsigned char byte) noexcept {
  return byte >= 0x20 && byte <= 0x7E && byte != '"' && byte != '\\';
}

void append_escape(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  std::size_t count = 0;
  do {
    digits[count++] = kHex[c & 0xFu];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

// `bytes` is the UTF-8 form of `c`.
void append_char(std::string& out, char32_t c, std::string_view bytes) {
  switch (c) {
    case U'\0':
      out += "\\0";
      return;
    case U'\t':
      out += "\\t";
      return;
    case U'\n':
      out += "\\n";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\\':
      out += "\\\\";
      return;
    case U'"':
      out += "\\\"";
      return;
    default:
      break;
  }
  // Printable ASCII stands for itself, the space included although it is a separator.
  const bool printable_ascii = c >= 0x20 && c <= 0x7E;
  if (!printable_ascii && (is_grapheme_extend(c) || is_unprintable_category(c))) {
    append_escape(out, c);
  } else {
    out += bytes;
  }
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Printable ASCII is by far the common case: copy such runs whole.
    std::size_t end = pos;
    while (end < text.size() && stands_for_itself_ascii(static_cast<unsigned char>(text[end]))) {
      ++end;
    }
    out.append(text, pos, end - pos);
    pos = end;
    if (pos == text.size()) break;
    const Decoded decoded = decode(text, pos);
    append_char(out, decoded.code_point,
                decoded.well_formed ? text.substr(pos, decoded.length) : kReplacementUtf8);
    pos += decoded.length;
  }
  out += '"';
}

std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

}  // namespace varsift::core
