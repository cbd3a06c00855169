#include "core/position.hpp"

#include <gtest/gtest.h>

#include <string>

namespace varsift::core {
namespace {

struct Case {
  const char* field;
  std::optional<std::uint64_t> value;
  std::optional<IntErrorKind> error;
};

class PositionTest : public ::testing::TestWithParam<Case> {};

TEST_P(PositionTest, ReadsTheField) {
  const Case& c = GetParam();
  std::uint64_t value = 12345;
  const std::optional<ParseIntError> error = parse_position(c.field, value);
  if (c.error) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, *c.error);
  } else {
    ASSERT_FALSE(error.has_value()) << int_error_kind_name(error->kind);
    EXPECT_EQ(value, *c.value);
  }
}

constexpr auto empty = IntErrorKind::Empty;
constexpr auto digit = IntErrorKind::InvalidDigit;
constexpr auto overflow = IntErrorKind::PosOverflow;

INSTANTIATE_TEST_SUITE_P(
    Fields, PositionTest,
    ::testing::Values(
        Case{"0", 0, {}}, Case{"7", 7, {}}, Case{"100", 100, {}}, Case{"+100", 100, {}},
        Case{"0100", 100, {}}, Case{"0000000000000000000000000000007", 7, {}},
        Case{"18446744073709551615", 18446744073709551615ULL, {}},
        Case{"+18446744073709551615", 18446744073709551615ULL, {}},
        Case{"18446744073709551616", {}, overflow}, Case{"99999999999999999999", {}, overflow},
        Case{"184467440737095516150", {}, overflow},
        // The first fault from the left decides.
        Case{"18446744073709551616x", {}, overflow}, Case{"1844674407370955161x6", {}, digit},
        Case{"", {}, empty}, Case{"+", {}, digit}, Case{"-", {}, digit}, Case{"-1", {}, digit},
        Case{"++1", {}, digit}, Case{"+-1", {}, digit}, Case{" 1", {}, digit},
        Case{"1 ", {}, digit}, Case{"1e3", {}, digit}, Case{"1.0", {}, digit},
        Case{"12a", {}, digit}, Case{"1\r", {}, digit},
        Case{"\xD9\xA1", {}, digit} /* ARABIC-INDIC DIGIT ONE */));

}  // namespace
}  // namespace varsift::core
