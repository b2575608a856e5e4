#include "nalto/check/columns.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nalto/check/latency.hpp"

namespace nalto {
namespace {

using check::PlannedSlot;
using ::testing::ElementsAre;

// The heated room's columns on the node, under names that differ from the sim's in case and spacing.
Json room_columns() {
  return {{"raw_names",
           {{"t", "room  temperature"},
            {"w", "Wall temperature"},
            {"o", "outside temperature"},
            {"p", "HEATER POWER"},
            {"f", "fan setting"},
            {"v", "valve"}}},
          {"sensor_variables", {"t", "w", "o"}},
          {"action_variables", {"p", "f", "v"}}};
}

TEST(PlanColumnsTest, MatchesByNameIdentityAndTellsWhatIsLeftOut) {
  const Json mappings = parse_json(R"({
    "sensors": [{"name": "[0]", "name_mapped": "Room Temperature"}, {"name": "[1]", "name_mapped": "Heater Temperature"}],
    "actions": [{"name": "['heater_power'][0]", "name_mapped": "Heater Power"}, {"name": "['fan']", "name_mapped": "Fan Speed"}]
  })");
  const check::ColumnPlan plan = check::plan_columns(mappings, room_columns());
  EXPECT_THAT(
      plan.sensors,
      ElementsAre(PlannedSlot{.name = "Room Temperature", .slot = "[0]", .column = "room  temperature"},
                  PlannedSlot{.name = "Heater Temperature",
                              .slot = "[1]",
                              .closest = {"Wall temperature", "room  temperature", "outside temperature"}}));
  EXPECT_THAT(plan.unscored, ElementsAre("Wall temperature", "outside temperature"));
  ASSERT_EQ(plan.actions.size(), 2u);
  EXPECT_EQ(plan.actions[0].column, "HEATER POWER");
  EXPECT_TRUE(plan.actions[0].closest.empty());
  EXPECT_EQ(plan.actions[1].column, std::nullopt);
  EXPECT_THAT(plan.actions[1].closest, ElementsAre("fan setting", "valve", "HEATER POWER"));

  EXPECT_THAT(
      check::unmatched_sensor_lines(plan),
      ElementsAre("the sim's sensor 'Heater Temperature' matches no dataset column, so it is not scored; "
                  "closest: 'Wall temperature', 'room  temperature', 'outside temperature'"));
  EXPECT_THAT(check::unmatched_action_lines(plan),
              ElementsAre("Closest action columns to 'Fan Speed': 'fan setting', 'valve', 'HEATER POWER'"));
  EXPECT_EQ(check::unmatched_json(plan)["actions"],
            parse_json(R"([{"name": "Fan Speed", "closest": ["fan setting", "valve", "HEATER POWER"]}])"));
  EXPECT_EQ(check::unmatched_json(plan)["sensors"][0]["name"], "Heater Temperature");
}

TEST(PlanColumnsTest, ASlotNameMatchesWhenTheMappedNameDoesNot) {
  // A slot that is no array slot is matched by its own name first.
  const Json mappings =
      parse_json(R"({"sensors": [], "actions": [{"name": "valve", "name_mapped": "Fan Speed"}]})");
  const check::ColumnPlan plan = check::plan_columns(mappings, room_columns());
  EXPECT_EQ(plan.actions[0].column, "valve");
  EXPECT_THAT(plan.unscored, ElementsAre("room  temperature", "Wall temperature", "outside temperature"));
}

TEST(EditDistanceTest, CountsCodePointEdits) {
  struct Case {
    const char* a;
    const char* b;
    std::size_t distance;
  };
  for (const Case& c : {Case{"", "", 0}, Case{"abc", "", 3}, Case{"kitten", "sitting", 3},
                        Case{"fan_speed", "fan_setting", 6}, Case{"größe", "grösse", 2}, Case{"é", "e", 1}})
    EXPECT_EQ(check::edit_distance(c.a, c.b), c.distance) << c.a << " / " << c.b;
}

TEST(LatencyTest, MedianPercentileAndMax) {
  EXPECT_EQ(check::latency_of({}), std::nullopt);
  const auto odd = check::latency_of({0.3, 0.1, 0.2});
  ASSERT_TRUE(odd);
  EXPECT_DOUBLE_EQ(odd->median, 0.2);
  EXPECT_DOUBLE_EQ(odd->max, 0.3);
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  const auto even = check::latency_of(hundred);
  EXPECT_DOUBLE_EQ(even->median, 50.5);
  EXPECT_DOUBLE_EQ(even->p99, 99);
  EXPECT_DOUBLE_EQ(even->max, 100);
}

}  // namespace
}  // namespace nalto
