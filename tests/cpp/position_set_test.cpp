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
  std::vector<std::size_t> limits{0, PositionSet::default_linear_limit};
  if (list.size() <= 4096) limits.push_back(SIZE_MAX);
  for (const std::size_t limit : limits) {
    const PositionSet set(list, limit);
    EXPECT_EQ(set.empty(), list.empty());
    for (std::uint64_t probe = 0; probe < 4 * GetParam() + 8; ++probe) {
      ASSERT_EQ(set.contains(probe), values.contains(probe)) << probe << " " << limit;
    }
    for (std::uint64_t probe : {~std::uint64_t{0}, ~std::uint64_t{0} - 1, std::uint64_t{1} << 63}) {
      ASSERT_EQ(set.contains(probe), values.contains(probe)) << probe << " " << limit;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PositionSetTest,
                         ::testing::Values(0, 1, 2, PositionSet::default_linear_limit,
                                           PositionSet::default_linear_limit + 1, 100, 4096,
                                           100000));

TEST(PositionSet, HashedSetWithoutZeroDoesNotContainZero) {
  PositionList list;
  for (std::uint64_t i = 1; i <= 1000; ++i) list.push_back(i * 1000003);
  const PositionSet set(list);
  EXPECT_FALSE(set.contains(0));
  EXPECT_TRUE(set.contains(1000003));
  EXPECT_TRUE(set.contains(1000 * 1000003ULL));
  EXPECT_FALSE(set.contains(1000004));
}

}  // namespace
}  // namespace varsift::core
