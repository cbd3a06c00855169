#include "core/record_span.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace varsift::core {
namespace {

std::string record(std::uint64_t pos, const char* ref, const char* alt, const char* info) {
  return "c1\t" + std::to_string(pos) + "\tid\t" + ref + "\t" + alt + "\t.\t.\t" + info +
         "\tGT\t0/1";
}

struct EndCase {
  const char* name;
  std::uint64_t pos;
  const char* ref;
  const char* info;
  std::uint64_t end;
};

class RecordEnd : public ::testing::TestWithParam<EndCase> {};

// The values tabix 1.16 indexes for these records (found by querying its own index).
TEST_P(RecordEnd, IsWhatTabixIndexes) {
  const EndCase& c = GetParam();
  EXPECT_EQ(record_end(record(c.pos, c.ref, "C", c.info), c.pos), c.end);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordEnd,
    ::testing::Values(EndCase{"snv", 100, "A", ".", 100},
                      EndCase{"deletion_by_ref", 100, "ACGT", ".", 103},
                      EndCase{"end_after_ref", 100, "A", "END=200", 200},
                      EndCase{"end_inside_ref_wins", 500, "AAAAAAAAAA", "END=502", 502},
                      EndCase{"end_at_pos", 100, "AC", "END=100", 100},
                      EndCase{"end_before_pos_ignored", 100, "AC", "END=99", 101},
                      EndCase{"end_list_leading_digits", 100, "A", "END=100000,5", 100000},
                      EndCase{"end_decimal_leading_digits", 100, "A", "END=100000.5", 100000},
                      EndCase{"end_trailing_letters", 100, "A", "END=2350x", 2350},
                      EndCase{"end_plus_sign", 100, "A", "END=+1950", 1950},
                      EndCase{"end_leading_space", 100, "A", "END= 2150", 2150},
                      EndCase{"end_negative_ignored", 100, "ACGT", "END=-5", 103},
                      EndCase{"end_not_a_number_ignored", 100, "A", "END=abc", 100},
                      EndCase{"end_empty_ignored", 100, "A", "END=", 100},
                      EndCase{"end_after_other_keys", 100, "A", "X=1;END=950", 950},
                      EndCase{"first_end_wins", 100, "A", "END=1350;END=1400", 1350},
                      EndCase{"key_must_be_end", 100, "A", "XEND=1150;X=a,END=9", 100},
                      EndCase{"end_saturates", 100, "A", "END=99999999999999999999",
                              9223372036854775807u},
                      EndCase{"pos_0", 0, "ACG", ".", 2}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(RecordEnd, ShortLineCoversItsPos) { EXPECT_EQ(record_end("c1\t7", 7), 7u); }

struct StartCase {
  const char* name;
  const char* ref;
  const char* alt;
  std::optional<std::uint64_t> start;
};

class VariantStart : public ::testing::TestWithParam<StartCase> {};

// Where bcftools' variant overlap finds each record's variation (found by querying it).
TEST_P(VariantStart, SkipsTheBasesEveryAlleleShares) {
  const StartCase& c = GetParam();
  EXPECT_EQ(variant_start(record(100, c.ref, c.alt, "."), 100), c.start);
}

INSTANTIATE_TEST_SUITE_P(
    Records, VariantStart,
    ::testing::Values(StartCase{"snv", "A", "C", 100}, StartCase{"deletion", "TA", "T", 101},
                      StartCase{"insertion_after_the_record", "T", "TA", 101},
                      StartCase{"mnp_with_shared_start", "ACGT", "ACCA", 102},
                      StartCase{"no_suffix_trimming", "ACGT", "AT", 101},
                      StartCase{"fewest_shared_allele", "ACGT", "A,ACGTT", 101},
                      StartCase{"symbolic", "A", "<DEL>", 100}, StartCase{"star", "ACG", "*", 100},
                      StartCase{"case_sensitive", "acg", "Acg", 100},
                      StartCase{"no_alt", "ACG", ".", std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace varsift::core
