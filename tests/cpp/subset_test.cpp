#include "core/subset.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.hpp"

namespace varsift::core {
namespace {

using testing::ChildResult;
using testing::run_in_child;
using testing::TempFile;

using Lines = std::vector<std::string>;

Lines strings(const LineList& lines) { return Lines(lines.begin(), lines.end()); }

struct Kept {
  const char* name;
  std::string bytes;
  std::vector<std::uint64_t> positions;
  Lines header;
  Lines data;
};

class SubsetKeepsTest : public ::testing::TestWithParam<Kept> {};

TEST_P(SubsetKeepsTest, SortsLines) {
  const Kept& c = GetParam();
  const TempFile file(c.bytes);
  const SubsetResult result =
      subset_vcf(file.path(), PositionList(c.positions.begin(), c.positions.end()));
  EXPECT_EQ(strings(result.header), c.header);
  EXPECT_EQ(strings(result.data), c.data);
}

std::vector<std::uint64_t> many(std::uint64_t first, std::uint64_t count) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t i = 0; i < count; ++i) out.push_back(first + i * 7);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, SubsetKeepsTest,
    ::testing::Values(
        Kept{"empty_file", "", {}, {}, {}},
        Kept{"header_only",
             "##fileformat=VCFv4.2\n#CHROM\tPOS\n",
             {5},
             {"##fileformat=VCFv4.2", "#CHROM\tPOS"},
             {}},
        Kept{"empty_list_keeps_all", "#h\nc\t1\nc\t2\tx\n", {}, {"#h"}, {"c\t1", "c\t2\tx"}},
        Kept{"late_header_line", "#a\nc\t1\n#b\nc\t2\n", {2}, {"#a", "#b"}, {"c\t2"}},
        Kept{"lone_hash", "#\nc\t1\n", {1}, {"#"}, {"c\t1"}},
        Kept{"matches_on_every_chromosome",
             "chr1\t5\ta\nchr2\t5\tb\nchr2\t6\tc\n",
             {5},
             {},
             {"chr1\t5\ta", "chr2\t5\tb"}},
        Kept{"listed_twice_kept_once", "c\t5\n", {5, 5}, {}, {"c\t5"}},
        Kept{"identical_lines_all_kept", "c\t5\nc\t5\n", {5}, {}, {"c\t5", "c\t5"}},
        Kept{"signs_and_zeros",
             "c\t+100\nc\t0100\nc\t100\nc\t1000\n",
             {100},
             {},
             {"c\t+100", "c\t0100", "c\t100"}},
        Kept{"long_fields",
             "c\t0000000000000000000000000000007\nc\t9999999999999999999\tx\n",
             {7, 9999999999999999999ULL},
             {},
             {"c\t0000000000000000000000000000007", "c\t9999999999999999999\tx"}},
        Kept{"largest_position",
             "c\t18446744073709551615\n",
             {18446744073709551615ULL},
             {},
             {"c\t18446744073709551615"}},
        Kept{"fields_kept_unchanged", "c\t7\t \tz \r\n", {7}, {}, {"c\t7\t \tz "}},
        Kept{"empty_chromosome", "\t9\n", {9}, {}, {"\t9"}},
        Kept{"order_of_list_irrelevant", "c\t1\nc\t2\nc\t3\n", {3, 1}, {}, {"c\t1", "c\t3"}},
        Kept{"hashed_list",
             "c\t1\nc\t50\nc\t106\nc\t107\n",
             many(1, 40),
             {},
             {"c\t1", "c\t50", "c\t106"}}),
    [](const auto& test) { return std::string(test.param.name); });

constexpr const char* result_prefix = "failure: called `Result::unwrap()` on an `Err` value: ";
constexpr const char* missing_field = "failure: called `Option::unwrap()` on a `None` value";

struct Failing {
  const char* name;
  std::string bytes;
  std::vector<std::uint64_t> positions;
  std::string message;  // what the child reports
  const char* site;
};

class SubsetFailsTest : public ::testing::TestWithParam<Failing> {};

std::string report(const char* site, const std::string& message) {
  return std::string("thread '<unnamed>' panicked at ") + site + ":\n" +
         message.substr(std::string("failure: ").size()) +
         "\nnote: run with `VARSIFT_BACKTRACE=1` environment variable to display a backtrace\n";
}

TEST_P(SubsetFailsTest, RaisesWithItsReportAndHoldsNothing) {
  const Failing& c = GetParam();
  const TempFile file(c.bytes);
  const ChildResult child = run_in_child(
      [&] {
        const int before = testing::open_descriptor_count();
        try {
          subset_vcf(file.path(), PositionList(c.positions.begin(), c.positions.end()));
        } catch (...) {
          // The file must already be closed when the failure leaves the operation.
          if (testing::open_descriptor_count() != before) return std::string("descriptor leaked");
          throw;
        }
        return std::string("no failure");
      },
      {{"VARSIFT_BACKTRACE", std::nullopt}});
  EXPECT_EQ(child.output, c.message);
  EXPECT_EQ(child.stderr_bytes, report(c.site, c.message));
}

const std::string invalid_utf8 =
    std::string(result_prefix) +
    "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";
std::string parse(const char* kind) {
  return std::string(result_prefix) + "ParseIntError { kind: " + kind + " }";
}

INSTANTIATE_TEST_SUITE_P(
    Files, SubsetFailsTest,
    ::testing::Values(
        Failing{"no_tab", "#h\nc 1\n", {}, missing_field, "src\\lib:29:37"},
        Failing{"lone_number", "42\n", {42}, missing_field, "src\\lib:29:37"},
        Failing{"blank_line", "c\t1\n\nc\t2\n", {}, missing_field, "src\\lib:29:37"},
        Failing{"blank_last_line", "c\t1\n\n", {1}, missing_field, "src\\lib:29:37"},
        Failing{"space_then_hash", " #x\n", {}, missing_field, "src\\lib:29:37"},
        Failing{"bom_then_header",
                "\xEF\xBB\xBF##fileformat=VCFv4.2\n",
                {},
                missing_field,
                "src\\lib:29:37"},
        Failing{"tabs_side_by_side", "c\t\tx\n", {}, parse("Empty"), "src\\lib:29:61"},
        Failing{"tab_last", "c\t\n", {1}, parse("Empty"), "src\\lib:29:61"},
        Failing{"letters", "c\t12a\n", {}, parse("InvalidDigit"), "src\\lib:29:61"},
        Failing{"minus", "c\t-5\n", {5}, parse("InvalidDigit"), "src\\lib:29:61"},
        Failing{"exponent", "c\t1e3\n", {}, parse("InvalidDigit"), "src\\lib:29:61"},
        Failing{"leading_space", "c\t 7\n", {7}, parse("InvalidDigit"), "src\\lib:29:61"},
        Failing{
            "overflow", "c\t18446744073709551616\n", {}, parse("PosOverflow"), "src\\lib:29:61"},
        Failing{"bad_last_line_discards_all",
                "#h\nc\t1\nc\t2\nc\tx\n",
                {},
                parse("InvalidDigit"),
                "src\\lib:29:61"},
        Failing{"invalid_utf8_header", "#caf\xE9\nc\t1\n", {}, invalid_utf8, "src\\lib:24:25"},
        Failing{
            "invalid_utf8_dropped_line", "c\t2\tcaf\xE9\n", {1}, invalid_utf8, "src\\lib:24:25"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(SubsetOpen, FailuresNameThePlatformError) {
  const TempFile file("");
  struct Case {
    std::string path;
    std::string message;
  };
  const std::vector<Case> cases{
      {file.directory() + "/missing.vcf",
       std::string(result_prefix) +
           "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
      {"", std::string(result_prefix) +
               "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
      {std::string("a\0b", 3), std::string(result_prefix) +
                                   "Error { kind: InvalidInput, message: \"strings passed to "
                                   "WinAPI cannot contain NULs\" }"},
  };
  for (const Case& c : cases) {
    const ChildResult child = run_in_child([&] {
      subset_vcf(c.path, {});
      return std::string("no failure");
    });
    EXPECT_EQ(child.output, c.message);
    EXPECT_EQ(child.stderr_bytes, report("src\\lib:18:37", c.message));
  }
}

TEST(SubsetOpen, DirectoryFailsAtTheFirstRead) {
  const TempFile file("");
  const ChildResult child = run_in_child([&] {
    subset_vcf(file.directory(), {});
    return std::string("no failure");
  });
  EXPECT_EQ(child.output, std::string(result_prefix) +
                              "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  EXPECT_TRUE(child.stderr_bytes.starts_with("thread '<unnamed>' panicked at src\\lib:24:25:\n"));
}

TEST(Subset, LongFileKeepsExactlyTheMatchingLines) {
  std::string bytes = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\n";
  Lines expected;
  for (int i = 1; i <= 20000; ++i) {
    std::string line = "chr" + std::to_string(i % 3) + "\t" + std::to_string(i) + "\trs" +
                       std::to_string(i) + "\t" + std::string(i % 500, 'A');
    bytes += line + (i % 2 ? "\n" : "\r\n");
    if (i % 1000 == 0) expected.push_back(line);
  }
  const TempFile file(bytes);
  const int descriptors = testing::open_descriptor_count();
  PositionList wanted;
  for (std::uint64_t p = 1000; p <= 20000; p += 1000) wanted.push_back(p);
  wanted.push_back(99999999);
  const SubsetResult result = subset_vcf(file.path(), wanted);
  EXPECT_EQ(strings(result.header), (Lines{"##fileformat=VCFv4.2", "#CHROM\tPOS\tID"}));
  EXPECT_EQ(strings(result.data), expected);
  EXPECT_EQ(testing::open_descriptor_count(), descriptors);
}

}  // namespace
}  // namespace varsift::core
