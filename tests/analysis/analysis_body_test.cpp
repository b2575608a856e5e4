#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "nalto/analysis/internal.hpp"

namespace nalto {
namespace {

using detail::AnalysisBody;
using detail::Rollout;

constexpr double NONE = std::numeric_limits<double>::quiet_NaN();

const Json DATASET{{"id", "ds-1"}};
const Json CLAIM{
    {"simulatorId", "sim"}, {"simulatorImplementationId", 7}, {"validationRunId", "run"}, {"maxLagSteps", 3}};
const Plan PLAN{
    .sensors = {{"[0]", "a"}, {"[1]", "b\"q"}}, .actions = {{"[0]", "u"}}, .core = {"Temp A", "B"}};

std::vector<Rollout> rollouts(std::size_t long_rows = 0) {
  std::vector<double> long_column(long_rows);
  for (std::size_t i = 0; i < long_rows; ++i)
    long_column[i] = i % 7 == 0 ? NONE : 0.1 * static_cast<double>(i);
  return {{Json(3), {{"a", "b\"q"}, {{1.0, NONE, 2.5, -0.0}, {100000.0, 1e-7, 1e300, 3.0}}}},
          {Json("e5"), {{}, {}}},
          {Json(9), {{"a"}, {std::move(long_column)}}}};
}

// The body as `capacity`-byte reads give it, to the read that gives nothing.
std::string read_whole(AnalysisBody& body, std::size_t capacity) {
  std::string text;
  std::vector<char> buffer(capacity);
  while (const std::size_t n = body.read(buffer.data(), capacity)) text.append(buffer.data(), n);
  return text;
}

TEST(AnalysisBodyTest, GivesTheSameBytesInReadsOfAnySize) {
  const std::string expected =
      R"({"dataset_uuid":"ds-1","simulator_id":"sim","simulator_implementation_id":7,"validation_run_id":"run",)"
      R"("bundle_content_hash":"sha","core_sensor_variables":["Temp A","B"],"sensor_variables":["a","b\"q"],)"
      R"("action_variables":["u"],"max_lag_steps":3,"episodes":[{"episode":3,"predictions":{"a":[1.0,null,2.5,-0.0],)"
      R"("b\"q":[1e+05,1e-07,1e+300,3.0]}},{"episode":"e5","predictions":{}},{"episode":9,"predictions":{"a":[]}}]})";
  for (const std::size_t capacity : {1, 3, 64, 1 << 16}) {
    AnalysisBody body(DATASET, claimed_scoring(CLAIM, "sha"), PLAN, rollouts());
    EXPECT_EQ(read_whole(body, capacity), expected) << capacity;
    char byte;
    EXPECT_EQ(body.read(&byte, 1), 0u) << "the end stays the end";
  }
}

TEST(AnalysisBodyTest, AClaimFreeScoreNamesNoClaimAndAsksForTheLagSearch) {
  AnalysisBody body(DATASET, claim_free_scoring(2, 12), PLAN, rollouts());
  const std::string text = read_whole(body, 7);
  EXPECT_TRUE(text.starts_with(
      R"({"dataset_uuid":"ds-1","core_sensor_variables":["Temp A","B"],"sensor_variables":["a","b\"q"],)"
      R"("action_variables":["u"],"max_lag_steps":2,"search_lag_rows":12,"episodes":[{"episode":3,)"))
      << text;
  EXPECT_EQ(parse_json(text)["episodes"].size(), 3u);
}

TEST(AnalysisBodyTest, ALongEpisodeReadsBackValueForValue) {
  constexpr std::size_t ROWS = 100'003;
  AnalysisBody in_small_reads(DATASET, claimed_scoring(CLAIM, "sha"), PLAN, rollouts(ROWS));
  AnalysisBody in_one_read(DATASET, claimed_scoring(CLAIM, "sha"), PLAN, rollouts(ROWS));
  const std::string text = read_whole(in_small_reads, 1000);
  EXPECT_EQ(text, read_whole(in_one_read, 64 << 20));
  const Json values = parse_json(text)["episodes"][2]["predictions"]["a"];
  ASSERT_EQ(values.size(), ROWS);
  for (std::size_t i = 0; i < ROWS; ++i) {
    if (i % 7 == 0) {
      ASSERT_TRUE(values[i].is_null()) << i;
    } else {
      ASSERT_EQ(values[i].get<double>(), 0.1 * static_cast<double>(i)) << i;
    }
  }
}

}  // namespace
}  // namespace nalto
