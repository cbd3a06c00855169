#include "core/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace varsift::core {
namespace {

struct Case {
  const char* name;
  std::string bytes;
  bool valid;
};

class Utf8Test : public ::testing::TestWithParam<Case> {};

TEST_P(Utf8Test, ChecksWellFormedness) {
  const Case& c = GetParam();
  EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
  // The same bytes behind a long ASCII run go through the word-at-a-time path first.
  EXPECT_EQ(is_valid_utf8(std::string(45, 'a') + c.bytes + std::string(13, 'b')), c.valid);
}

TEST(Utf8, AsciiCheckFindsAHighByteAnywhere) {
  std::string bytes(200, 'a');
  EXPECT_TRUE(is_ascii(bytes));
  EXPECT_TRUE(is_ascii(""));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = '\x80';
    EXPECT_FALSE(is_ascii(bytes)) << i;
    EXPECT_FALSE(is_ascii(std::string_view(bytes).substr(i, 1))) << i;
    EXPECT_TRUE(is_ascii(std::string_view(bytes).substr(0, i))) << i;
    bytes[i] = '\x7f';
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Test,
    ::testing::Values(
        Case{"empty", "", true}, Case{"ascii", "chr1\t100\t.\n", true},
        Case{"nul_and_del", std::string("a\0\x7f", 3), true},
        Case{"two_byte_min", "\xC2\x80", true}, Case{"two_byte_max", "\xDF\xBF", true},
        Case{"overlong_c0", "\xC0\xAF", false}, Case{"overlong_c1", "\xC1\xBF", false},
        Case{"three_byte_min", "\xE0\xA0\x80", true}, Case{"overlong_three", "\xE0\x9F\xBF", false},
        Case{"last_before_surrogates", "\xED\x9F\xBF", true},
        Case{"surrogate_low_end", "\xED\xA0\x80", false},
        Case{"surrogate_high_end", "\xED\xBF\xBF", false},
        Case{"after_surrogates", "\xEE\x80\x80", true}, Case{"bom", "\xEF\xBB\xBF#", true},
        Case{"four_byte_min", "\xF0\x90\x80\x80", true},
        Case{"overlong_four", "\xF0\x8F\xBF\xBF", false},
        Case{"max_code_point", "\xF4\x8F\xBF\xBF", true},
        Case{"above_max", "\xF4\x90\x80\x80", false}, Case{"lead_f5", "\xF5\x80\x80\x80", false},
        Case{"lead_ff", "\xFF", false}, Case{"lone_continuation", "\x80", false},
        Case{"cut_two", "\xC3", false}, Case{"cut_three", "\xE2\x82", false},
        Case{"cut_four", "\xF0\x9F\x98", false}, Case{"cut_before_newline", "\xE2\x82\n", false},
        Case{"bad_continuation", "\xC3\x28", false}, Case{"latin1_e_acute", "caf\xE9\n", false},
        Case{"utf16_bom", "\xFF\xFE#\x00", false}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace varsift::core
