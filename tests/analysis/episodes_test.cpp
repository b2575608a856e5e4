#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nalto/analysis/analysis.hpp"

namespace nalto {
namespace {

std::vector<std::int64_t> range(std::int64_t from, std::int64_t to) {
  std::vector<std::int64_t> out;
  for (std::int64_t i = from; i < to; ++i) out.push_back(i);
  return out;
}

std::vector<std::int64_t> joined(std::vector<std::int64_t> a, const std::vector<std::int64_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(PickEpisodesTest, Table) {
  struct Case {
    std::int64_t n, max;
    std::vector<std::int64_t> picked;
  };
  const std::vector<Case> cases = {
      {5, 20, {0, 1, 2, 3, 4}},
      {20, 20, range(0, 20)},
      {0, 20, {}},
      {-3, 20, {}},
      {5, 1, {0}},
      {1, 1, {0}},
      {5, 0, {}},
      {5, -2, {}},
      {10, 4, {0, 3, 6, 9}},
      {4, 3, {0, 2, 3}},
      {8, 3, {0, 4, 7}},
      {6, 5, {0, 1, 2, 4, 5}},
      {12, 5, {0, 3, 6, 8, 11}},
      {21, 20, joined(range(0, 10), range(11, 21))},
      {100, 20, {0, 5, 10, 16, 21, 26, 31, 36, 42, 47, 52, 57, 63, 68, 73, 78, 83, 89, 94, 99}},
      {1000, 20, {0,   53,  105, 158, 210, 263, 315, 368, 421, 473,
                  526, 578, 631, 684, 736, 789, 841, 894, 946, 999}},
  };
  for (const auto& c : cases) EXPECT_EQ(pick_episodes(c.n, c.max), c.picked) << c.n << " of " << c.max;
}

TEST(PickEpisodesTest, AlwaysFirstAndLastAndExactlyMax) {
  for (std::int64_t n = 3; n < 200; n += 7) {
    for (std::int64_t max = 2; max < n; max += 3) {
      const auto picked = pick_episodes(n, max);
      ASSERT_EQ(static_cast<std::int64_t>(picked.size()), max) << n << " " << max;
      EXPECT_EQ(picked.front(), 0);
      EXPECT_EQ(picked.back(), n - 1);
      EXPECT_TRUE(std::is_sorted(picked.begin(), picked.end()));
      EXPECT_EQ(std::adjacent_find(picked.begin(), picked.end()), picked.end());
    }
  }
}

}  // namespace
}  // namespace nalto
