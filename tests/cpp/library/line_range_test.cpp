#include "library/line_range.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "string_source.hpp"

namespace varsift::library {
namespace {

using test_support::StringSource;

// What the range [begin, end) of `text` gives, read in pieces of `piece` bytes.
std::string read_range(const std::string& text, std::size_t begin, std::size_t end,
                       std::size_t piece) {
  const bool before = begin > 0;
  LineRangeSource source(std::make_unique<StringSource>(text.substr(before ? begin - 1 : 0), piece),
                         before, end - begin);
  std::string result;
  core::IoError error = core::IoError::os(0);
  for (std::string_view bytes; source.next_bytes(bytes, error) && !bytes.empty();) {
    result.append(bytes);
  }
  return result;
}

struct Case {
  const char* text;
  std::size_t begin;
  std::size_t end;
  const char* expected;
};

class LineRangeCases : public testing::TestWithParam<Case> {};

TEST_P(LineRangeCases, GivesTheLinesStartingInTheRange) {
  const Case& c = GetParam();
  for (std::size_t piece : {1, 2, 3, 64}) {
    EXPECT_EQ(read_range(c.text, c.begin, c.end, piece), c.expected) << "piece " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, LineRangeCases,
    testing::Values(Case{"ab\ncd\nef\n", 0, 9, "ab\ncd\nef\n"},
                    Case{"ab\ncd\nef\n", 0, 3, "ab\n"},      // ends on a line feed
                    Case{"ab\ncd\nef\n", 0, 4, "ab\ncd\n"},  // the last line runs past the end
                    Case{"ab\ncd\nef\n", 3, 6, "cd\n"},      // the byte before is a line feed
                    Case{"ab\ncd\nef\n", 2, 6, "cd\n"},      // starts on a line feed
                    Case{"ab\ncd\nef\n", 1, 2, ""},          // inside one line
                    Case{"ab\ncd\nef\n", 1, 3, ""},          // ends on the line feed before a line
                    Case{"ab\ncd\nef", 7, 8, ""},            // inside the unterminated last line
                    Case{"ab\ncd\nef", 4, 8, "ef"},          // the unterminated last line
                    Case{"ab\ncd\nef\n", 0, 0, ""}, Case{"ab\r\ncd\r\n", 3, 4, ""},
                    Case{"ab\r\ncd\r\n", 4, 5, "cd\r\n"}, Case{"\n\n\n", 1, 2, "\n"},
                    Case{"ab\nlong line\nc\n", 4, 6, ""}));

TEST(LineRange, RangesLaidEndToEndGiveEveryByteOnce) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const auto size = std::uniform_int_distribution<std::size_t>(0, 60)(random);
    for (std::size_t i = 0; i < size; ++i) {
      text += "ab\n\r"[std::uniform_int_distribution<int>(0, 3)(random)];
    }
    std::vector<std::size_t> cuts = {0, text.size()};
    const auto count = std::uniform_int_distribution<int>(0, 8)(random);
    for (int i = 0; i < count; ++i) {
      cuts.push_back(std::uniform_int_distribution<std::size_t>(0, text.size())(random));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    const auto piece = std::uniform_int_distribution<std::size_t>(1, 9)(random);
    std::string joined;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
      const std::string part = read_range(text, cuts[i], cuts[i + 1], piece);
      // Each range starts a line.
      if (!part.empty() && cuts[i] > 0) {
        EXPECT_EQ(joined.back(), '\n') << text;
      }
      joined += part;
    }
    EXPECT_EQ(joined, text);
  }
}

TEST(LineRange, PassesOnAFailureOfItsSource) {
  LineRangeSource source(std::make_unique<StringSource>("ab", 8, core::IoError::os(5)), false, 10);
  std::string_view bytes;
  core::IoError error = core::IoError::os(0);
  ASSERT_TRUE(source.next_bytes(bytes, error));
  EXPECT_EQ(bytes, "ab");
  EXPECT_FALSE(source.next_bytes(bytes, error));
  ASSERT_TRUE(error.is_os());
  EXPECT_EQ(error.os_code(), 5);
}

TEST(LineRange, ReadsNothingPastTheLineHoldingItsEnd) {
  // The source fails after the range's last line: the range must not ask for more.
  LineRangeSource source(std::make_unique<StringSource>("\na\nb\n", 8, core::IoError::os(5)), true,
                         2);
  std::string_view bytes;
  core::IoError error = core::IoError::os(0);
  ASSERT_TRUE(source.next_bytes(bytes, error));
  EXPECT_EQ(bytes, "a\n");
  ASSERT_TRUE(source.next_bytes(bytes, error));
  EXPECT_TRUE(bytes.empty());
}

}  // namespace
}  // namespace varsift::library
