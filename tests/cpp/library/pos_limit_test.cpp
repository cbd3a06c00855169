#include "library/pos_limit.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace varsift::library {
namespace {

struct Case {
  const char* name;
  std::vector<std::uint64_t> positions;
  std::vector<Target> targets;
  std::vector<Region> regions;
  // Records, and which of them lie past every span they could meet.
  std::vector<std::pair<std::string, std::uint64_t>> records;
  std::vector<bool> beyond;
};

class PosLimitTest : public ::testing::TestWithParam<Case> {};

TEST_P(PosLimitTest, LeavesOutOnlyRecordsPastEverySpan) {
  const Case& c = GetParam();
  const Selection selection(core::PositionList(c.positions.begin(), c.positions.end()), c.targets,
                            c.regions);
  PosLimit limit(selection);
  std::vector<bool> beyond;
  for (const auto& [chrom, pos] : c.records) beyond.push_back(limit.beyond(chrom, pos));
  EXPECT_EQ(beyond, c.beyond);
}

INSTANTIATE_TEST_SUITE_P(
    Selections, PosLimitTest,
    ::testing::Values(Case{"regions_limit_their_chromosome",
                           {},
                           {},
                           {{"chr1", 10, 20}},
                           {{"chr1", 5}, {"chr1", 20}, {"chr1", 21}, {"chr2", 1}, {"chr1", 7}},
                           {0, 0, 1, 1, 0}},
                      Case{"positions_reach_every_chromosome",
                           {15},
                           {},
                           {{"chr1", 1, 40}},
                           {{"chr2", 15}, {"chr2", 16}, {"chr1", 40}, {"chr1", 41}},
                           {0, 1, 0, 1}},
                      Case{"the_last_span_counts",
                           {},
                           {{"chr1", 300}},
                           {{"chr1", 100, 200}, {"chr1", 1, 5}},
                           {{"chr1", 250}, {"chr1", 300}, {"chr1", 301}},
                           {0, 0, 1}},
                      Case{"empty_selectors_keep_nothing", {}, {}, {}, {{"chr1", 1}}, {1}}),
    [](const auto& parameter) { return std::string(parameter.param.name); });

}  // namespace
}  // namespace varsift::library
