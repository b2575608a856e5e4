#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "nalto/analysis/analysis.hpp"
#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

using namespace std::chrono_literals;
using ::testing::Each;
using ::testing::ElementsAre;
using testing::FakeSimClient;
using testing::FakeSimRuntime;
using testing::Loop;
using ::testing::SizeIs;

// The sim's observation at a row: two floating-point sensors and an integer one.
Json obs_at(int row) {
  return Json::array({10.0 + row, 50.0 - row, 100 + row});
}

Json step_answer(Json obs, Json terminated = false, Json truncated = false) {
  return Json::array({std::move(obs), 0.0, std::move(terminated), std::move(truncated), Json::object()});
}

// Predictions of the plan below for rows 0 .. rows-1 of obs_at.
Json predicted(int rows) {
  Json predictions = {{"temp", Json::array()}, {"hum", Json::array()}, {"count", Json::array()}};
  for (int row = 0; row < rows; ++row) {
    const Json obs = obs_at(row);
    predictions["temp"].push_back(obs[0].get<double>());
    predictions["hum"].push_back(obs[1].get<double>());
    predictions["count"].push_back(obs[2].get<double>());
  }
  return predictions;
}

const Plan PLAN{.sensors = {{"[0]", "temp"}, {"[1]", "hum"}, {"[2]", "count"}},
                 .actions = {{"[0]", "power"}},
                 .core = {"Temp", "Hum", "Count"}};

Json power_column(int n_rows) {
  Json column = Json::array();
  for (int row = 0; row < n_rows; ++row) column.push_back(1.0 + row);
  return column;
}

Json episode(Json n_rows, Json actions) {
  return Json{{"episode", 4}, {"n_rows", std::move(n_rows)}, {"actions", std::move(actions)}};
}

Json episode(int n_rows) {
  return episode(n_rows, Json{{"power", power_column(n_rows)}});
}

// A sim whose observation at row r is obs_at(r), until a test scripts otherwise.
struct Sim {
  FakeSimRuntime runtime;
  FakeSimClient& client = *runtime.client;
  Loop loop;

  Sim() {
    client.on_reset = [] { return Json::array({obs_at(0), Json::object()}); };
    client.on_step = [](const Json&, int row) { return step_answer(obs_at(row)); };
  }

  Json run(const Plan& plan, Json record, double call_timeout_s = 5) {
    return loop.run(rollout_episode(client, plan, std::move(record), call_timeout_s));
  }

  std::vector<std::string> expected_calls(int steps) const {
    std::vector<std::string> calls = {"action_space_info", "reset"};
    calls.insert(calls.end(), static_cast<std::size_t>(steps), "step");
    return calls;
  }
};

TEST(RolloutTest, ResetGivesRowZeroAndEveryLaterRowIsOneStep) {
  for (int n_rows : {-1, 0, 1, 2, 10}) {
    Sim sim;
    const int rows = std::max(1, n_rows);
    const Json predictions = sim.run(PLAN, episode(n_rows));
    EXPECT_EQ(predictions, predicted(rows)) << n_rows << " rows";
    EXPECT_EQ(sim.client.calls, sim.expected_calls(rows - 1)) << n_rows << " rows";
    for (std::size_t i = 0; i < sim.client.steps.size(); ++i)
      EXPECT_EQ(sim.client.steps[i], Json::array({power_column(n_rows)[i + 1]}))
          << "the step of row " << i + 1;
  }
}

TEST(RolloutTest, PredictionsAreFloatingPointNumbersInPlanOrder) {
  Sim sim;
  const Json predictions = sim.run(PLAN, episode(3));
  std::vector<std::string> keys;
  for (const auto& [key, values] : predictions.items()) {
    keys.push_back(key);
    for (const Json& value : values) EXPECT_TRUE(value.is_number_float()) << key << ": " << value;
  }
  EXPECT_THAT(keys, ElementsAre("temp", "hum", "count"));
}

TEST(RolloutTest, TerminatedAndTruncatedEndTheEpisodeAsTruthValues) {
  struct Case {
    Json value;
    bool ends;
  };
  const std::vector<Case> cases = {
      {true, true},
      {1, true},
      {-1, true},
      {0.5, true},
      {"x", true},
      {Json::array({0}), true},
      {Json{{"a", 1}}, true},
      {false, false},
      {0, false},
      {0.0, false},
      {"", false},
      {Json::array(), false},
      {Json::object(), false},
      {nullptr, false},
  };
  for (const Case& c : cases) {
    for (const std::string flag : {"terminated", "truncated"}) {
      Sim sim;
      sim.client.on_step = [&](const Json&, int row) {
        const Json end = row == 3 ? c.value : Json(false);
        const Json no = false;
        return flag == "terminated" ? step_answer(obs_at(row), end, no) : step_answer(obs_at(row), no, end);
      };
      const int rows = c.ends ? 4 : 10;
      EXPECT_EQ(sim.run(PLAN, episode(10)), predicted(rows)) << flag << " = " << c.value;
      EXPECT_EQ(sim.client.count("step"), static_cast<std::size_t>(rows - 1)) << flag << " = " << c.value;
    }
  }
}

// Readings that are no finite number; the sensor reads the slot [0].
std::vector<std::pair<std::string, Json>> unreadable() {
  return {{"null", nullptr},
          {"a word", "n/a"},
          {"two numbers", Json::array({1.0, 2.0})},
          {"a mapping", Json{{"v", 1}}},
          {"not a number", std::numeric_limits<double>::quiet_NaN()},
          {"infinity", -std::numeric_limits<double>::infinity()}};
}

TEST(RolloutTest, AnUnreadableResetObservationIsNullAtRowZeroAndTheRolloutGoesOn) {
  for (const auto& [what, reading] : unreadable()) {
    Sim sim;
    sim.client.on_reset = [reading] {
      Json obs = obs_at(0);
      obs[0] = reading;
      return Json::array({obs, Json::object()});
    };
    Json expected = predicted(6);
    expected["temp"][0] = nullptr;
    EXPECT_EQ(sim.run(PLAN, episode(6)), expected) << what;
    EXPECT_EQ(sim.client.count("step"), 5u) << what;
  }
}

TEST(RolloutTest, AnUnreadableStepObservationIsRecordedAndEndsTheRollout) {
  for (const auto& [what, reading] : unreadable()) {
    Sim sim;
    sim.client.on_step = [reading](const Json&, int row) {
      Json obs = obs_at(row);
      if (row == 5) obs[0] = reading;
      return step_answer(obs);
    };
    Json expected = predicted(6);
    expected["temp"][5] = nullptr;
    EXPECT_EQ(sim.run(PLAN, episode(10)), expected) << what;
    EXPECT_EQ(sim.client.count("step"), 5u) << what;
  }
}

TEST(RolloutTest, AMissingSlotReadsAsNullAndEndsTheRollout) {
  Sim sim;
  sim.client.on_step = [](const Json&, int row) {
    return step_answer(row == 2 ? Json::array({10.0 + row, 50.0 - row}) : obs_at(row));
  };
  Json expected = predicted(3);
  expected["count"][2] = nullptr;
  EXPECT_EQ(sim.run(PLAN, episode(10)), expected);
}

TEST(RolloutTest, ANullActionKeepsTheLastRecordedValueOrTheTemplatesSample) {
  Sim sim;
  sim.client.on_action_space_info = [] {
    Json space = testing::box_space({"power"});
    space["sample"] = Json::array({0.25});
    return space;
  };
  const Json power = {99.0, nullptr, nullptr, 7.5, nullptr, 3.0, nullptr};
  sim.run(PLAN, episode(7, Json{{"power", power}}));
  EXPECT_THAT(sim.client.steps, ElementsAre(Json::array({0.25}), Json::array({0.25}), Json::array({7.5}),
                                            Json::array({7.5}), Json::array({3.0}), Json::array({3.0})))
      << "row 0's 99.0 is never sent";
}

TEST(RolloutTest, ActionsAreCastByTheTypeTheirSlotHolds) {
  Sim sim;
  sim.client.on_action_space_info = [] {
    return Json{{"type", "dict"}, {"sample", {{"power", 3}, {"fan", 0.5}, {"mode", 1}}}};
  };
  const Plan plan{.sensors = {{"[0]", "temp"}}, .actions = {{"['power']", "power"}, {"['fan']", "fan"}}};
  const Json actions = {{"power", {9, 2.5, nullptr, 3.5}}, {"fan", {9, nullptr, 2, nullptr}}};
  sim.run(plan, episode(4, actions));
  ASSERT_THAT(sim.client.steps, SizeIs(3));
  const std::vector<Json> sent = {Json{{"power", 2}, {"fan", 0.5}, {"mode", 1}},
                                  Json{{"power", 2}, {"fan", 2.0}, {"mode", 1}},
                                  Json{{"power", 4}, {"fan", 2.0}, {"mode", 1}}};
  EXPECT_EQ(sim.client.steps, sent);
  for (const Json& step : sim.client.steps) {
    EXPECT_TRUE(step["power"].is_number_integer()) << step << ": an integer slot takes the rounded value";
    EXPECT_TRUE(step["fan"].is_number_float()) << step;
  }
}

TEST(RolloutTest, EveryEpisodeDrawsANewTemplateAndResetsTheSim) {
  Sim sim;
  double next = 0.5;
  sim.runtime.sample = [&next](const Json&) { return Json::array({next++}); };
  const Json nulls = {{"power", {nullptr, nullptr, nullptr}}};
  const Json first = sim.run(PLAN, episode(3, nulls));
  const Json second = sim.run(PLAN, episode(3, nulls));
  EXPECT_EQ(first, predicted(3));
  EXPECT_EQ(second, predicted(3));
  EXPECT_THAT(sim.client.steps,
              ElementsAre(Json::array({0.5}), Json::array({0.5}), Json::array({1.5}), Json::array({1.5})));
  EXPECT_THAT(sim.runtime.sampled_infos, SizeIs(2));
  EXPECT_EQ(sim.client.count("reset"), 2u);
  EXPECT_EQ(sim.client.count("action_space_info"), 2u);
}

TEST(RolloutTest, ValuesAreUsedInTheComputeNodesForm) {
  Sim sim;
  // Unwraps the sim's own form of an observation; counts how often an action was converted.
  sim.runtime.compute_sees = [](const Json& value) {
    if (const Json* raw = value.is_object() ? lookup(value, "raw") : nullptr) return *raw;
    Json seen = value;
    if (seen.is_object() && seen.contains("tag")) seen["tag"] = seen["tag"].get<int>() + 1;
    return seen;
  };
  sim.client.on_action_space_info = [] { return Json{{"sample", {{"tag", 0}, {"power", 0.25}}}}; };
  sim.client.on_reset = [] { return Json::array({Json{{"raw", obs_at(0)}}, Json::object()}); };
  sim.client.on_step = [](const Json&, int row) { return step_answer(Json{{"raw", obs_at(row)}}); };
  const Plan plan{.sensors = PLAN.sensors, .actions = {{"['power']", "power"}}};

  EXPECT_EQ(sim.run(plan, episode(4)), predicted(4));
  EXPECT_EQ(sim.client.steps,
            (std::vector<Json>{Json{{"tag", 3}, {"power", 2.0}}, Json{{"tag", 3}, {"power", 3.0}},
                               Json{{"tag", 3}, {"power", 4.0}}}))
      << "the sample, the template and every sent action are converted once each";
}

TEST(RolloutTest, AnAnswerOfTheWrongLengthFails) {
  struct Case {
    std::string what;
    Json reset, step;
    std::size_t steps;
  };
  const Json obs = obs_at(0);
  const Json good_reset = Json::array({obs, Json::object()});
  const Json good_step = step_answer(obs);
  const std::vector<Case> cases = {
      {"a reset of three items", Json::array({obs, Json::object(), 0}), good_step, 0},
      {"a reset of one item", Json::array({obs}), good_step, 0},
      {"a reset of nothing", nullptr, good_step, 0},
      {"a reset of a number", 2, good_step, 0},
      {"a step of four items", good_reset, Json::array({obs, 0.0, false, false}), 1},
      {"a step of six items", good_reset, Json::array({obs, 0.0, false, false, Json::object(), 1}), 1},
      {"a step of nothing", good_reset, nullptr, 1},
      {"a step of a number", good_reset, 5, 1},
  };
  for (const Case& c : cases) {
    Sim sim;
    sim.client.on_reset = [&c] { return c.reset; };
    sim.client.on_step = [&c](const Json&, int) { return c.step; };
    std::exception_ptr failure;
    try {
      sim.run(PLAN, episode(5));
    } catch (...) {
      failure = std::current_exception();
    }
    EXPECT_TRUE(failure && !is_cancellation(failure)) << c.what;
    EXPECT_EQ(sim.client.count("step"), c.steps) << c.what << ": the sim is not stepped again";
  }
}

TEST(RolloutTest, ACallOverTheLimitFailsWithAnEmptyTimeoutErrorAndIsNotRetried) {
  struct Case {
    std::string call;
    int skip;
  };
  for (const Case& c : {Case{"action_space_info", 0}, Case{"reset", 0}, Case{"step", 0}, Case{"step", 2}}) {
    Sim sim;
    sim.client.hang_on = c.call;
    sim.client.hang_skip = c.skip;
    const auto start = std::chrono::steady_clock::now();
    try {
      sim.run(PLAN, episode(10), 0.02);
      ADD_FAILURE() << c.call << ": no time-out";
    } catch (const TimeoutError& e) {
      EXPECT_STREQ(e.what(), "") << c.call;
      EXPECT_EQ(type_name_of(e), "TimeoutError") << c.call;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms) << c.call;
    EXPECT_THAT(sim.client.cancelled, ElementsAre(c.call)) << c.call << ": the pending call is cancelled";
    EXPECT_EQ(sim.client.count(c.call), static_cast<std::size_t>(c.skip + 1)) << c.call << ": no retry";
    EXPECT_EQ(sim.client.calls.back(), c.call) << c.call << ": nothing after the time-out";
  }
}

TEST(RolloutTest, TheLimitBoundsEachCallNotTheWholeRollout) {
  Sim sim;
  sim.client.delay_s = {{"action_space_info", 0.005}, {"reset", 0.005}, {"step", 0.005}};
  EXPECT_EQ(sim.run(PLAN, episode(30), 0.1), predicted(30)) << "30 calls of 5 ms each outlast one limit";
  EXPECT_TRUE(sim.client.cancelled.empty());
}

TEST(RolloutTest, ACancellationReachesThePendingCallAndPropagates) {
  Sim sim;
  sim.client.hang_on = "step";
  sim.client.hang_skip = 1;
  sim.client.on_hang = [&] { sim.loop.cancel_soon(); };
  try {
    sim.run(PLAN, episode(10), 3600);
    FAIL() << "not cancelled";
  } catch (...) {
    EXPECT_TRUE(is_cancellation(std::current_exception()));
  }
  EXPECT_THAT(sim.client.cancelled, ElementsAre("step"));
  EXPECT_EQ(sim.client.count("step"), 2u);
}

TEST(RolloutTest, AFailingSimCallLeavesTheRolloutUnchanged) {
  for (const std::string call : {"action_space_info", "reset", "step"}) {
    Sim sim;
    const std::function<Json()> fail = []() -> Json { throw SimCallError("UNAVAILABLE: gone"); };
    if (call == "action_space_info") sim.client.on_action_space_info = fail;
    if (call == "reset") sim.client.on_reset = fail;
    if (call == "step") {
      sim.client.on_step = [](const Json&, int row) {
        if (row == 2) throw SimCallError("UNAVAILABLE: gone");
        return step_answer(obs_at(row));
      };
    }
    try {
      sim.run(PLAN, episode(10));
      ADD_FAILURE() << call << ": no failure";
    } catch (const SimCallError& e) {
      EXPECT_STREQ(e.what(), "UNAVAILABLE: gone") << call;
    }
    EXPECT_EQ(sim.client.calls.back(), call) << call << ": nothing after the failure";
    EXPECT_EQ(sim.client.count(call), call == "step" ? 2u : 1u) << call;
  }
}

TEST(RolloutTest, AFaultOfTheEpisodeRecordOrTheActionSlotPropagates) {
  struct Case {
    std::string what;
    Json record;
    std::vector<SlotColumn> actions;
    std::string type, text;
    std::size_t steps;
  };
  const std::vector<SlotColumn> power = {{"[0]", "power"}};
  const std::vector<Case> cases = {
      {"no n_rows", Json{{"episode", 4}, {"actions", {{"power", power_column(3)}}}}, power, "KeyError",
       "'n_rows'", 0},
      {"no actions", Json{{"episode", 4}, {"n_rows", 3}}, power, "KeyError", "'actions'", 0},
      {"no planned column", episode(3, Json{{"fan", power_column(3)}}), power, "KeyError", "'power'", 0},
      {"a column too short", episode(4, Json{{"power", {nullptr, 1.0}}}), power, "IndexError", "", 1},
      {"a slot the action lacks", episode(3), {{"[5]", "power"}}, "IndexError", "", 0},
  };
  for (const Case& c : cases) {
    Sim sim;
    const Plan plan{.sensors = PLAN.sensors, .actions = c.actions};
    try {
      sim.run(plan, c.record);
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const std::exception& e) {
      EXPECT_EQ(type_name_of(e), c.type) << c.what << ": " << e.what();
      if (!c.text.empty()) {
        EXPECT_EQ(std::string(e.what()), c.text) << c.what;
      }
    }
    EXPECT_EQ(sim.client.count("step"), c.steps) << c.what;
  }
}

TEST(RolloutTest, PairsOnOneColumnAppendToOneListInPairOrder) {
  Sim sim;
  const Plan plan{.sensors = {{"[1]", "b"}, {"[0]", "a"}, {"[2]", "b"}}, .actions = PLAN.actions};
  const Json predictions = sim.run(plan, episode(3));
  Json b = Json::array(), a = Json::array();
  for (int row = 0; row < 3; ++row) {
    b.push_back(50.0 - row);
    b.push_back(100.0 + row);
    a.push_back(10.0 + row);
  }
  EXPECT_EQ(predictions, (Json{{"b", b}, {"a", a}}));
  std::vector<std::string> keys;
  for (const auto& [key, values] : predictions.items()) keys.push_back(key);
  EXPECT_THAT(keys, ElementsAre("b", "a")) << "first appearance";
}

TEST(RolloutTest, APlanWithoutSensorsRecordsNothingAndReplaysEveryRow) {
  Sim sim;
  sim.client.on_step = [](const Json&, int) { return step_answer("unreadable"); };
  const Plan plan{.actions = PLAN.actions};
  const Json predictions = sim.run(plan, episode(6));
  EXPECT_TRUE(predictions.is_object());
  EXPECT_TRUE(predictions.empty());
  EXPECT_EQ(sim.client.count("step"), 5u);
}

TEST(RolloutTest, APlanWithoutActionsSendsTheTemplate) {
  Sim sim;
  sim.client.on_action_space_info = [] { return Json{{"sample", {1.5, 2}}}; };
  const Plan plan{.sensors = PLAN.sensors};
  EXPECT_EQ(sim.run(plan, episode(3)), predicted(3));
  EXPECT_THAT(sim.client.steps, Each(Json::array({1.5, 2})));
  EXPECT_THAT(sim.client.steps, SizeIs(2));
}

}  // namespace
}  // namespace nalto
