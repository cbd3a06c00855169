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

}  // namespace
}  // namespace varsift::library
