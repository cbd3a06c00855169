// Splits the input into lines through a source that hands it over in pieces whose sizes the
// input's first bytes choose, and checks every line against a plain model of the line rules.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/byte_source.hpp"
#include "core/line_reader.hpp"

namespace {

using varsift::core::ByteSource;
using varsift::core::IoError;
using varsift::core::LineReader;

// Gives `bytes` in pieces of the sizes listed (cycled), each copied into a fresh buffer so
// that reading past a piece is caught by AddressSanitizer.
class PieceSource final : public ByteSource {
 public:
  PieceSource(std::string_view bytes, std::string_view sizes) : bytes_(bytes), sizes_(sizes) {}

  bool next_bytes(std::string_view& bytes, IoError&) override {
    std::size_t size = bytes_.size();
    if (!sizes_.empty()) {
      size = static_cast<unsigned char>(sizes_[turn_++ % sizes_.size()]) % 64 + 1;
    }
    if (size > bytes_.size()) size = bytes_.size();
    piece_.assign(bytes_.substr(0, size));
    bytes_.remove_prefix(size);
    bytes = piece_;
    return true;
  }

 private:
  std::string_view bytes_;
  std::string_view sizes_;
  std::size_t turn_ = 0;
  std::string piece_;
};

// Well-formed UTF-8 by the table of the Unicode standard (3.9, table 3-7), byte by byte.
bool model_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < text.size()) {
    const unsigned b = at(i);
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (b < 0x80) {
      length = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned c = at(i + k);
      const unsigned lo = k == 1 ? low : 0x80;
      const unsigned hi = k == 1 ? high : 0xBF;
      if (c < lo || c > hi) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first byte says how many bytes after it choose the piece sizes.
  const std::size_t size_bytes = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % 8;
  const std::string_view sizes = input.substr(input.empty() ? 0 : 1, size_bytes);
  std::string_view rest = input.substr(std::min(input.size(), 1 + size_bytes));

  PieceSource source(rest, sizes);
  LineReader reader(source);
  for (std::size_t count = 0;; ++count) {
    const LineReader::Status status = reader.next();
    if (rest.empty()) {
      if (status != LineReader::Status::end) std::abort();
      return 0;
    }
    const std::size_t newline = rest.find('\n');
    const std::size_t length = newline == std::string_view::npos ? rest.size() : newline + 1;
    std::string_view expected = rest.substr(0, length);
    rest.remove_prefix(length);
    if (!model_valid_utf8(expected)) {
      if (status != LineReader::Status::error) std::abort();
      return 0;
    }
    if (expected.ends_with('\n')) {
      expected.remove_suffix(1);
      if (expected.ends_with('\r')) expected.remove_suffix(1);
    }
    if (status != LineReader::Status::line || reader.line() != expected) std::abort();
    // Taking every other line must give the same text, whether it was collected or viewed.
    if (count % 2 == 1) {
      const varsift::core::Line taken = reader.take_line();
      if (std::string_view(taken) != expected) std::abort();
    }
  }
}
