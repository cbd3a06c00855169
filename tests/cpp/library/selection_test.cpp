#include "library/selection.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varsift::library {
namespace {

struct Case {
  const char* name;
  std::vector<std::uint64_t> positions;
  std::vector<Target> targets;
  std::vector<Region> regions;
  // Records as "chrom:pos", and which of them are kept.
  std::vector<std::pair<std::string, std::uint64_t>> records;
  std::vector<bool> kept;
};

class SelectionTest : public ::testing::TestWithParam<Case> {};

TEST_P(SelectionTest, KeepsTheUnionOfWhatIsGiven) {
  const Case& c = GetParam();
  Selection selection(core::PositionList(c.positions.begin(), c.positions.end()), c.targets,
                      c.regions);
  std::vector<bool> kept;
  for (const auto& [chrom, pos] : c.records) kept.push_back(selection.keeps(chrom, pos));
  EXPECT_EQ(kept, c.kept);
}

const std::vector<std::pair<std::string, std::uint64_t>> records = {
    {"chr1", 5}, {"chr1", 10}, {"chr1", 20}, {"chr2", 5}, {"chr2", 10}, {"chrX", 0}};

INSTANTIATE_TEST_SUITE_P(
    Selections, SelectionTest,
    ::testing::Values(
        Case{"empty_keeps_nothing", {}, {}, {}, records, {0, 0, 0, 0, 0, 0}},
        Case{"positions_on_every_chromosome", {5}, {}, {}, records, {1, 0, 0, 1, 0, 0}},
        Case{"targets_match_the_chromosome", {}, {{"chr2", 10}}, {}, records, {0, 0, 0, 0, 1, 0}},
        Case{"regions_are_inclusive", {}, {}, {{"chr1", 10, 20}}, records, {0, 1, 1, 0, 0, 0}},
        Case{"overlapping_and_adjacent_regions_merge",
             {},
             {},
             {{"chr1", 6, 9}, {"chr1", 4, 5}, {"chr1", 10, 10}, {"chr1", 8, 12}},
             records,
             {1, 1, 0, 0, 0, 0}},
        Case{"region_to_the_last_position",
             {},
             {},
             {{"chr1", 1, UINT64_MAX}, {"chr1", 3, 4}},
             records,
             {1, 1, 1, 0, 0, 0}},
        Case{"union_of_all_three",
             {0},
             {{"chr1", 20}},
             {{"chr2", 1, 5}},
             records,
             {0, 0, 1, 1, 0, 1}},
        Case{"unknown_chromosome",
             {},
             {{"chr9", 5}},
             {{"chr9", 1, 100}},
             records,
             {0, 0, 0, 0, 0, 0}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Selection, EverythingKeepsEveryRecord) {
  Selection selection = Selection::everything();
  EXPECT_TRUE(selection.keeps_everything());
  EXPECT_TRUE(selection.keeps("any", 123));
}

TEST(Selection, LooksUpChromosomesInAnyOrder) {
  std::vector<Target> targets;
  for (std::uint64_t pos = 0; pos < 100; ++pos)
    targets.push_back({"c" + std::to_string(pos % 7), pos});
  Selection selection({}, targets, {});
  for (int round = 0; round < 2; ++round) {
    for (std::uint64_t pos = 0; pos < 100; ++pos) {
      for (std::uint64_t chrom = 0; chrom < 7; ++chrom) {
        EXPECT_EQ(selection.keeps("c" + std::to_string(chrom), pos), pos % 7 == chrom);
      }
    }
  }
}

struct OverlapCase {
  const char* name;
  Overlap overlap;
  bool exclude;
  std::vector<Region> regions;
  std::vector<bool> kept;  // of overlap_records, in order
};

// POS, REF, ALT and INFO of records on c1.
const std::vector<std::string> overlap_records = {
    "c1\t100\ta\tA\tC\t.\t.\t.",   "c1\t200\tb\tTA\tT\t.\t.\t.",
    "c1\t300\tc\tT\tTA\t.\t.\t.",  "c1\t400\td\tA\t<DEL>\t.\t.\tEND=450",
    "c1\t500\te\tACG\t.\t.\t.\t.", "c2\t100\tf\tA\tC\t.\t.\t."};

class OverlapTest : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(OverlapTest, MeetsRegionsAsBcftoolsDoes) {
  const OverlapCase& c = GetParam();
  std::vector<Clause> clauses(1);
  clauses[0].overlap = c.overlap;
  clauses[0].exclude = c.exclude;
  clauses[0].regions = c.regions;
  Selection selection(std::move(clauses));
  std::vector<bool> kept;
  for (const std::string& line : overlap_records) {
    const std::string chrom = line.substr(0, 2);
    kept.push_back(selection.keeps(chrom, std::stoull(line.substr(3)), line));
  }
  EXPECT_EQ(kept, c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, OverlapTest,
    ::testing::Values(
        OverlapCase{"pos", Overlap::pos, false, {{"c1", 201, 450}}, {0, 0, 1, 1, 0, 0}},
        OverlapCase{"record", Overlap::record, false, {{"c1", 201, 450}}, {0, 1, 1, 1, 0, 0}},
        OverlapCase{"record_through_info_end",
                    Overlap::record,
                    false,
                    {{"c1", 450, 502}},
                    {0, 0, 0, 1, 1, 0}},
        OverlapCase{"variant_skips_padding",
                    Overlap::variant,
                    false,
                    {{"c1", 200, 200}},
                    {0, 0, 0, 0, 0, 0}},
        OverlapCase{"variant_deleted_base",
                    Overlap::variant,
                    false,
                    {{"c1", 201, 201}},
                    {0, 1, 0, 0, 0, 0}},
        OverlapCase{"variant_insertion_needs_both_sides",
                    Overlap::variant,
                    false,
                    {{"c1", 300, 300}, {"c1", 301, 301}},
                    {0, 0, 0, 0, 0, 0}},
        OverlapCase{"variant_insertion_inside",
                    Overlap::variant,
                    false,
                    {{"c1", 300, 301}},
                    {0, 0, 1, 0, 0, 0}},
        OverlapCase{
            "variant_without_alt", Overlap::variant, false, {{"c1", 1, 1000}}, {1, 1, 1, 1, 0, 0}},
        OverlapCase{
            "exclude_keeps_the_rest", Overlap::pos, true, {{"c1", 100, 300}}, {0, 0, 0, 1, 1, 1}},
        OverlapCase{
            "exclude_by_record", Overlap::record, true, {{"c1", 201, 201}}, {1, 0, 1, 1, 1, 1}},
        OverlapCase{"exclude_nothing_keeps_all", Overlap::pos, true, {}, {1, 1, 1, 1, 1, 1}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Selection, NeedsTheRecordOnlyForRangesMetByOverlap) {
  const struct {
    Overlap overlap;
    std::vector<Region> regions;
    bool by_pos;
  } cases[] = {
      {Overlap::record, {}, true},
      {Overlap::variant, {{"chr1", 7, 7}}, false},
      {Overlap::record, {{"chr1", 7, 9}}, false},
      {Overlap::pos, {{"chr1", 7, 9}}, true},
  };
  for (const auto& each : cases) {
    Clause clause;
    clause.overlap = each.overlap;
    clause.positions = {5};
    clause.targets = {{"chr2", 10}};
    clause.regions = each.regions;
    std::vector<Clause> clauses;
    clauses.push_back(std::move(clause));
    EXPECT_EQ(Selection(std::move(clauses)).matches_by_pos(), each.by_pos);
  }
}

TEST(Selection, KeepsWhatMeetsEveryClause) {
  std::vector<Clause> clauses(2);
  clauses[0].regions = {{"c1", 1, 1000}};
  clauses[0].overlap = Overlap::record;
  clauses[1].targets = {{"c1", 300}, {"c2", 100}};
  Selection selection(std::move(clauses));
  EXPECT_TRUE(selection.narrows());
  EXPECT_TRUE(selection.keeps("c1", 300));
  EXPECT_FALSE(selection.keeps("c1", 200));
  EXPECT_FALSE(selection.keeps("c2", 100));
}

TEST(Selection, ExclusionAloneDoesNotNarrow) {
  std::vector<Clause> clauses(1);
  clauses[0].exclude = true;
  clauses[0].targets = {{"c1", 300}};
  const Selection selection(std::move(clauses));
  EXPECT_FALSE(selection.narrows());
  EXPECT_FALSE(selection.keeps_everything());
  int spans = 0;
  selection.for_each_span([&](auto, auto, auto) { ++spans; });
  EXPECT_EQ(spans, 0);
}

}  // namespace
}  // namespace varsift::library
