#include "core/position_set.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_set>

namespace varsift::core {
namespace {

// Both strategies, on both sides of the switch between them, must agree with a plain set.
class PositionSetTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PositionSetTest, AgreesWithAScan) {
  std::mt19937_64 random(GetParam());
  PositionList list;
  for (std::size_t i = 0; i < GetParam(); ++i) {
    // Small values collide and repeat; a few extremes join them.
    switch (random() % 8) {
      case 0:
        list.push_back(0);
        break;
      case 1:
        list.push_back(~std::uint64_t{0});
        break;
      default:
        list.push_back(random() % (4 * GetParam() + 1));
        break;
    }
  }
  const std::unordered_set<std::uint64_t> values(list.begin(), list.end());
  // Ascending look-ups as in a sorted file, then scattered ones as in an unsorted file.
  std::vector<std::uint64_t> probes;
  for (std::uint64_t probe = 0; probe < 4 * GetParam() + 8; ++probe) probes.push_back(probe);
  for (std::uint64_t probe : {~std::uint64_t{0} - 1, ~std::uint64_t{0}, std::uint64_t{1} << 63}) {
    probes.push_back(probe);
  }
  for (std::size_t i = 0; i < 4 * GetParam() + 2000; ++i) {
    probes.push_back(random() % (4 * GetParam() + 8));
  }
  std::vector<std::size_t> limits{0, PositionSet::default_linear_limit};
  if (list.size() <= 4096) limits.push_back(SIZE_MAX);
  for (const std::size_t limit : limits) {
    PositionSet set(list, limit);
    EXPECT_EQ(set.empty(), list.empty());
    for (std::size_t i = 0; i < probes.size(); ++i) {
      ASSERT_EQ(set.contains(probes[i]), values.contains(probes[i]))
          << "probe " << probes[i] << " at " << i << ", limit " << limit;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PositionSetTest,
                         ::testing::Values(0, 1, 2, PositionSet::default_linear_limit,
                                           PositionSet::default_linear_limit + 1, 100, 4096,
                                           100000));

TEST(PositionSet, LargeListsWhoseEntriesShareSomeDigits) {
  // Entries alike in their middle bits, listed in descending order.
  PositionList list;
  for (std::uint64_t i = 5000; i > 0; --i) list.push_back((std::uint64_t{1} << 40) + i * 3);
  PositionSet set(list);
  for (std::uint64_t i = 0; i <= 15010; ++i) {
    ASSERT_EQ(set.contains((std::uint64_t{1} << 40) + i), i % 3 == 0 && i > 0 && i <= 15000) << i;
  }
}

// Zero is the hash table's empty mark, so it is answered aside from the table.
TEST(PositionSet, ZeroAfterTheSwitchToHashing) {
  for (const bool with_zero : {false, true}) {
    PositionList list;
    for (std::uint64_t i = 1; i <= 1000; ++i) list.push_back(i * 1000003);
    if (with_zero) list.push_back(0);
    PositionSet set(list);
    // Look-ups that keep going backwards, as an unsorted file's do.
    for (std::uint64_t i = 2000; i > 0; --i) {
      ASSERT_EQ(set.contains(i * 1000003), i <= 1000) << i;
    }
    EXPECT_EQ(set.contains(0), with_zero);
    EXPECT_FALSE(set.contains(1000004));
  }
}

}  // namespace
}  // namespace varsift::core
