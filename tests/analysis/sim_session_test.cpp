#include <gtest/gtest.h>

#include "nalto/analysis/sim_session.hpp"

namespace nalto {
namespace {

TEST(OutputTailTest, KeepsTheNewestLinesWithinItsBounds) {
  OutputTail by_count;
  for (std::size_t i = 0; i < OutputTail::MAX_LINES + 5; ++i) by_count.add("line " + std::to_string(i));
  const std::vector<std::string> kept = by_count.lines();
  ASSERT_EQ(kept.size(), OutputTail::MAX_LINES);
  EXPECT_EQ(kept.front(), "line 5");
  EXPECT_EQ(kept.back(), "line " + std::to_string(OutputTail::MAX_LINES + 4));

  OutputTail by_bytes;
  const std::string half(OutputTail::MAX_BYTES / 2, 'x');
  by_bytes.add("first");
  by_bytes.add(half);
  by_bytes.add(half);
  EXPECT_EQ(by_bytes.lines(), (std::vector<std::string>{half, half})) << "the oldest line goes first";

  OutputTail huge;
  huge.add("before");
  huge.add(std::string(OutputTail::MAX_BYTES + 1, 'y'));
  ASSERT_EQ(huge.lines().size(), 1u) << "the newest line stays, however long";
  EXPECT_EQ(huge.lines().front().size(), OutputTail::MAX_BYTES + 1);
}

}  // namespace
}  // namespace nalto
