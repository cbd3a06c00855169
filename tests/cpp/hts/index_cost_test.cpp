#include "hts/index_cost.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <vector>

#include "index_fixture.hpp"

namespace varsift::testing {
namespace {

using hts::QueryPlan;
using hts::VirtualRange;

constexpr std::uint64_t gigabyte = 1ULL << 30;
constexpr std::uint64_t block = 20'000;  // a typical compressed VCF block

QueryPlan plan_of(std::size_t intervals) {
  QueryPlan plan;
  for (std::size_t i = 0; i < intervals; ++i) {
    plan.named.push_back(
        {0, static_cast<std::int64_t>(i) << 20, (static_cast<std::int64_t>(i) << 20) + 1});
  }
  return plan;
}

TEST(IndexCost, PlanCountsABlockPerInterval) {
  EXPECT_EQ(hts::plan_cost(plan_of(10), block, gigabyte).index_bytes, 10 * block);
  EXPECT_EQ(hts::plan_cost(plan_of(100'000), block, gigabyte).index_bytes, 100'000 * block);
  EXPECT_EQ(hts::plan_cost(plan_of(0), block, gigabyte).index_bytes, 0U);
}

TEST(IndexCost, RangesCountEachBlockOnceAndASeekPerJump) {
  const std::vector<VirtualRange> ranges{{100ULL << 16 | 5, 100ULL << 16 | 900},
                                         {100ULL << 16 | 950, 100ULL << 16 | 990},
                                         {50'000ULL << 16, 90'000ULL << 16 | 7},
                                         {90'000ULL << 16 | 9, 95'000ULL << 16}};
  const auto cost = hts::range_cost(ranges, block, gigabyte);
  // One block and a seek for the first run; a seek, a last block and the span for the second.
  EXPECT_EQ(cost.index_bytes, 2 * block + (2 * block + 40'000) + 5'000);
  EXPECT_EQ(cost.file_bytes, gigabyte);
}

struct Choice {
  const char* name;
  std::size_t intervals;
  unsigned threads;
  bool index;
};

// A gigabyte file: a few sites follow the index, a million sites scan.
const Choice choices[] = {
    {"ten_sites", 10, 2, true},
    {"ten_thousand_sites", 10'000, 2, true},
    {"ten_thousand_sites_many_threads", 10'000, 64, false},
    {"fifty_thousand_sites", 50'000, 1, true},
    {"fifty_thousand_sites_two_threads", 50'000, 2, false},
    {"a_million_sites", 1'000'000, 2, false},
    {"a_million_sites_one_thread", 1'000'000, 1, false},
    {"no_site", 0, 2, true},
};

class IndexChoice : public ::testing::TestWithParam<Choice> {};

TEST_P(IndexChoice, FollowsTheCost) {
  const auto cost = hts::plan_cost(plan_of(GetParam().intervals), block, gigabyte);
  EXPECT_EQ(hts::index_is_cheaper(cost, GetParam().threads), GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(Sites, IndexChoice, ::testing::ValuesIn(choices),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

TEST(IndexCost, OnlyAPlanFarAboveTheScanSkipsTheQueries) {
  const std::uint64_t blocks_in_file = gigabyte / block;
  EXPECT_FALSE(
      hts::plan_rules_out_index(hts::plan_cost(plan_of(blocks_in_file), block, gigabyte), 2));
  EXPECT_TRUE(
      hts::plan_rules_out_index(hts::plan_cost(plan_of(3 * blocks_in_file), block, gigabyte), 2));
  EXPECT_FALSE(hts::plan_rules_out_index(hts::plan_cost(plan_of(10), block, gigabyte), 64));
}

struct Weight {
  const char* name;
  std::uint64_t index_file_bytes;
  std::uint64_t file_bytes;
  unsigned threads;
  bool outweighs;
};

// An index of 10^5 sequences is half the size of its 2 MB file; one of a few sequences is a
// hundredth; a small index is read whatever the data.
const Weight weights[] = {
    {"half_the_data", 1'100'000, 2'200'000, 2, true},
    {"half_the_data_one_thread", 1'100'000, 2'200'000, 1, true},
    {"a_third_of_the_data_one_thread", 700'000, 2'200'000, 1, false},
    {"a_hundredth_of_the_data", 100'000, 6'400'000, 2, false},
    {"a_hundredth_of_the_data_many_threads", 100'000, 6'400'000, 64, true},
    {"small", 60'000, 1'000, 64, false},
};

class IndexWeight : public ::testing::TestWithParam<Weight> {};

TEST_P(IndexWeight, RulesOutAnIndexDearerThanTheScan) {
  const Weight& weight = GetParam();
  EXPECT_EQ(hts::index_outweighs_scan(weight.index_file_bytes, weight.file_bytes, weight.threads),
            weight.outweighs);
}

INSTANTIATE_TEST_SUITE_P(Sizes, IndexWeight, ::testing::ValuesIn(weights),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

TEST(IndexCost, PlanIsALowerBoundOfTheRangesOnARealFile) {
  std::mt19937_64 random(41);
  TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  const RandomVcf vcf = random_vcf(random, 5000, 5'000'000);
  write_indexed(path, vcf, hts::Index::Format::tbi, path + ".tbi");
  hts::IndexProblem problem;
  const auto index = hts::Index::load(path, std::nullopt, problem);
  ASSERT_TRUE(index) << problem.message;
  for (std::size_t count : {1, 10, 100, 1000}) {
    const auto regions = random_regions(random, vcf, count);
    const auto plan = index->plan(regions);
    const auto ranges = index->ranges(plan);
    const auto size = std::filesystem::file_size(path);
    EXPECT_LE(hts::plan_cost(plan, 1000, size).index_bytes,
              hts::range_cost(ranges, 1000, size).index_bytes + 1000 * plan.queries());
  }
}

}  // namespace
}  // namespace varsift::testing
