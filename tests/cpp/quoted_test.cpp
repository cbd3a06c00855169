#include "core/quoted.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace varsift::core {
namespace {

struct QuotedCase {
  std::string_view input;
  std::string_view expected;
};

// Names each case by its input, shown with C escapes.
void PrintTo(const QuotedCase& c, std::ostream* out) {
  *out << ::testing::PrintToString(std::string(c.input));
}

class QuotedTest : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedTest, Quotes) {
  const QuotedCase& c = GetParam();
  EXPECT_EQ(core::quoted(c.input), c.expected);
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(
    Ascii, QuotedTest,
    ::testing::Values(QuotedCase{"", R"("")"}, QuotedCase{"abc", R"("abc")"},
                      QuotedCase{"it's", R"("it's")"}, QuotedCase{" ", R"(" ")"},
                      QuotedCase{"say \"hi\"", R"("say \"hi\"")"},
                      QuotedCase{"C:\\dir\\f", R"("C:\\dir\\f")"}, QuotedCase{"\"", R"("\"")"},
                      QuotedCase{"\\", R"("\\")"}, QuotedCase{"line\r\nnext", R"("line\r\nnext")"},
                      QuotedCase{"a\tb", R"("a\tb")"}, QuotedCase{"\0"sv, R"("\0")"},
                      QuotedCase{"a\0b"sv, R"("a\0b")"}, QuotedCase{"\x01", R"("\u{1}")"},
                      QuotedCase{"\x1b[0m", R"("\u{1b}[0m")"}, QuotedCase{"\x7f", R"("\u{7f}")"},
                      QuotedCase{"~}", R"("~}")"}));

INSTANTIATE_TEST_SUITE_P(
    NonAscii, QuotedTest,
    ::testing::Values(QuotedCase{"caf\u00e9", "\"caf\u00e9\""},             // é itself
                      QuotedCase{"cafe\u0301", R"("cafe\u{301}")"},         // combining acute
                      QuotedCase{"a\u00a0b", R"("a\u{a0}b")"},              // no-break space
                      QuotedCase{"\u0085", R"("\u{85}")"},                  // next line, Cc
                      QuotedCase{"\u00ad", R"("\u{ad}")"},                  // soft hyphen, Cf
                      QuotedCase{"\u2028\u2029", R"("\u{2028}\u{2029}")"},  // Zl, Zp
                      QuotedCase{"\u3000", R"("\u{3000}")"},                // ideographic space
                      QuotedCase{"\ufeff", R"("\u{feff}")"},                // byte order mark
                      QuotedCase{"\U0001F600", "\"\U0001F600\""},           // emoji itself
                      QuotedCase{"\U0001F469\u200D\U0001F467",              // ZWJ sequence
                                 "\"\U0001F469\\u{200d}\U0001F467\""},
                      QuotedCase{"\u2764\ufe0f", "\"\u2764\\u{fe0f}\""},  // variation selector
                      QuotedCase{"\u09be", R"("\u{9be}")"},               // Mc, extending
                      QuotedCase{"\u09bf", "\"\u09bf\""},                 // Mc, not extending
                      QuotedCase{"\U000E0041", R"("\u{e0041}")"},         // tag letter
                      QuotedCase{"\ue000", R"("\u{e000}")"},              // private use
                      QuotedCase{"\U0010FFFF", R"("\u{10ffff}")"},        // noncharacter
                      QuotedCase{"\ufffd", "\"\ufffd\""},                 // replacement character
                      QuotedCase{"\u2ffc\u31ef\U0002EBF0",
                                 "\"\u2ffc\u31ef\U0002EBF0\""},      // new in 15.1
                      QuotedCase{"\U0002EE5E", R"("\u{2ee5e}")"},    // unassigned in 15.1
                      QuotedCase{"\U000E01EF", R"("\u{e01ef}")"}));  // last variation selector

// Bytes that are not UTF-8 never reach this in practice; they must still come out as U+FFFD,
// one for each maximal ill-formed prefix, without reading past the end.
INSTANTIATE_TEST_SUITE_P(
    IllFormed, QuotedTest,
    ::testing::Values(QuotedCase{"\xff", "\"\ufffd\""}, QuotedCase{"\x80z", "\"\ufffdz\""},
                      QuotedCase{"\xc3", "\"\ufffd\""}, QuotedCase{"\xe2\x82", "\"\ufffd\""},
                      QuotedCase{"\xe2\x82z", "\"\ufffdz\""},
                      QuotedCase{"\xf0\x9f\x98", "\"\ufffd\""},
                      QuotedCase{"\xc0\xaf", "\"\ufffd\ufffd\""},            // overlong
                      QuotedCase{"\xe0\x80\x80", "\"\ufffd\ufffd\ufffd\""},  // overlong
                      QuotedCase{"\xed\xa0\x80", "\"\ufffd\ufffd\ufffd\""},  // surrogate
                      QuotedCase{"\xf4\x90\x80\x80", "\"\ufffd\ufffd\ufffd\ufffd\""},
                      QuotedCase{"\xf5\x80", "\"\ufffd\ufffd\""}));

TEST(QuotedTest, StopsAtTheEndOfTheView) {
  const std::string euro = "\u20ac";
  EXPECT_EQ(core::quoted(std::string_view(euro).substr(0, 2)), "\"\ufffd\"");
}

TEST(QuotedTest, AppendsAfterExistingText) {
  std::string out = "message: ";
  append_quoted(out, "a\nb");
  append_quoted(out, "");
  EXPECT_EQ(out, R"(message: "a\nb""")");
}

TEST(QuotedTest, LongAsciiRunsAroundEscapes) {
  const std::string run(1000, 'x');
  EXPECT_EQ(core::quoted(run + "\"" + run), "\"" + run + "\\\"" + run + "\"");
}

std::string encode(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

// Every scalar value comes out either as itself or as a well-formed escape of its own value.
TEST(QuotedTest, EveryScalarValueRoundTrips) {
  static constexpr std::string_view kShortEscapes[] = {R"("\0")", R"("\t")", R"("\n")",
                                                       R"("\r")", R"("\"")", R"("\\")"};
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c == 0xD800) c = 0xE000;
    const std::string encoded = encode(c);
    const std::string out = core::quoted(encoded);
    if (out == "\"" + encoded + "\"") continue;
    bool short_escape = false;
    for (std::string_view e : kShortEscapes) short_escape |= out == e;
    if (short_escape) continue;
    ASSERT_TRUE(out.starts_with("\"\\u{") && out.ends_with("}\"")) << out;
    const std::string hex = out.substr(4, out.size() - 6);
    ASSERT_TRUE(!hex.empty() && hex.size() <= 6 && hex[0] != '0') << out;
    ASSERT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << out;
    ASSERT_EQ(std::stoul(hex, nullptr, 16), static_cast<unsigned long>(c)) << out;
  }
}

}  // namespace
}  // namespace varsift::core
