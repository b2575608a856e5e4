// The example sims and the test sim as real processes, spoken to through the generated stubs.

#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <regex>

#include "../examples/sims/heated_room/room_model.hpp"
#include "examples/sim_harness.hpp"
#include "nalto/runtime/spaces.hpp"

namespace nalto {
namespace {

using grpc::StatusCode;
using testing::Answer;
using testing::HEATED_ROOM;
using testing::Loop;
using testing::PYTHON_ROOM;
using testing::Sim;
using testing::TEST_SIM;
using namespace std::chrono_literals;
namespace v1 = nalto::sim::v1;

const std::string SERVING = "test sim: serving on localhost:";

struct RoomRun {
  Answer mappings, sensor_space, action_space, reset;
  std::vector<Json> steps;
  int exit_code = -1;
};

const std::vector<std::pair<std::string, std::pair<double, int>>> ROOM_ACTIONS = {
    {R"({"heater_power": [3000.0], "fan": 0})", {3000.0, 0}},
    {R"({"heater_power": [1500], "fan": 2})", {1500.0, 2}},
    {R"({"fan": 1, "heater_power": [4000.0]})", {3000.0, 1}},  // beyond the box: clipped
    {R"({"heater_power": [0.0], "fan": 1})", {0.0, 1}},
};

RoomRun run_room(const std::string& path) {
  Loop loop;
  Sim sim;
  RoomRun run;
  run.exit_code = loop.run([&]() -> asio::awaitable<int> {
    co_await sim.start(path);
    std::string serving = ": serving on localhost:" + std::to_string(sim.port);
    EXPECT_TRUE(co_await sim.until_line(std::move(serving))) << path;
    EXPECT_EQ(sim.health(), grpc::health::v1::HealthCheckResponse::SERVING);
    EXPECT_TRUE(sim.simple(&v1::Simulator::Stub::Init).ok());
    EXPECT_EQ(sim.make({{"outside_temperature", "warm"}}).error_code(), StatusCode::INVALID_ARGUMENT);
    EXPECT_TRUE(sim.make({{"outside_temperature", 10}, {"sim_address", "localhost"}}).ok());
    run.mappings = sim.ask(&v1::Simulator::Stub::GetMappings);
    run.sensor_space = sim.ask(&v1::Simulator::Stub::SensorSpaceInfo);
    run.action_space = sim.ask(&v1::Simulator::Stub::ActionSpaceInfo);
    run.reset = sim.ask(&v1::Simulator::Stub::Reset);
    for (const auto& [action, applied] : ROOM_ACTIONS) run.steps.push_back(sim.step(action).value);
    for (const char* bad :
         {"[1500.0]", R"({"heater_power": 1500.0, "fan": 0})", R"({"heater_power": [1500.0]})",
          R"({"heater_power": [1500.0], "fan": 3})", R"({"heater_power": [1.0], "fan": 1.5})",
          R"({"heater_power": ["hot"], "fan": 0})", R"({"heater_power": [1.0], "fan": 0, "x": 1})",
          "not json"}) {
      const Answer refused = sim.step(bad);
      EXPECT_EQ(refused.status.error_code(), StatusCode::INVALID_ARGUMENT) << path << " " << bad;
      EXPECT_FALSE(refused.status.error_message().empty()) << bad;
    }
    EXPECT_TRUE(sim.simple(&v1::Simulator::Stub::Close).ok());
    sim.process->terminate();
    co_return co_await sim.process->wait();
  }());
  return run;
}

void expect_observation(const Json& obs, const sims::heated_room::State& s, const std::string& where) {
  ASSERT_TRUE(obs.is_array() && obs.size() == 3) << where << ": " << obs.dump();
  EXPECT_NEAR(obs[0].get<double>(), s.room, 1e-9) << where;
  EXPECT_NEAR(obs[1].get<double>(), s.wall, 1e-9) << where;
  EXPECT_NEAR(obs[2].get<double>(), s.heater, 1e-9) << where;
}

TEST(ExampleSimsTest, BothRoomsFollowTheModelWithTheirParametersAndStopOnTerm) {
  const RoomRun cpp = run_room(HEATED_ROOM);
  const RoomRun python = run_room(PYTHON_ROOM);

  ASSERT_TRUE(cpp.mappings.status.ok()) << cpp.mappings.status.error_message();
  EXPECT_EQ(python.mappings.status.error_code(), StatusCode::UNIMPLEMENTED);
  // The C++ sim's mappings are exactly what the tool would list from its spaces, so both sims map alike.
  EXPECT_EQ(cpp.mappings.value["sensor_space"]["mappings"],
            runtime::convert_space_to_json(cpp.sensor_space.value));
  EXPECT_EQ(cpp.mappings.value["action_space"]["mappings"],
            runtime::convert_space_to_json(cpp.action_space.value));
  EXPECT_EQ(python.sensor_space.value, cpp.sensor_space.value);
  EXPECT_EQ(python.action_space.value, cpp.action_space.value);

  sims::heated_room::Parameters parameters;
  parameters.outside_temperature = 10.0;
  for (const RoomRun* run : {&cpp, &python}) {
    const std::string which = run == &cpp ? "C++" : "Python";
    EXPECT_EQ(run->exit_code, 0) << which;
    ASSERT_TRUE(run->reset.value.is_array() && run->reset.value.size() == 2) << which;
    sims::heated_room::State state;
    expect_observation(run->reset.value[0], state, which + " reset");
    ASSERT_EQ(run->steps.size(), ROOM_ACTIONS.size());
    for (std::size_t i = 0; i < ROOM_ACTIONS.size(); ++i) {
      const auto [power, fan] = ROOM_ACTIONS[i].second;
      state = sims::heated_room::advance(parameters, state, power, fan);
      const Json& answer = run->steps[i];
      ASSERT_TRUE(answer.is_array() && answer.size() == 5) << which << " " << answer.dump();
      expect_observation(answer[0], state, which + " step " + std::to_string(i));
      EXPECT_TRUE(answer[1].is_number_float());
      EXPECT_EQ(answer[2], false);
      EXPECT_EQ(answer[3], false);
    }
  }
}

TEST(TestSimTest, ByDefaultEchoesTheLastActionAndTracesTheFirstServingAnswer) {
  Loop loop;
  Sim sim;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    Json env = {{"NALTO_SIM_TRACE", "1"}};
    co_await sim.start(TEST_SIM, std::move(env));
    EXPECT_TRUE(co_await sim.until_line(SERVING));
    EXPECT_EQ(sim.health(), grpc::health::v1::HealthCheckResponse::SERVING);
    EXPECT_EQ(sim.health(), grpc::health::v1::HealthCheckResponse::SERVING);
    EXPECT_EQ(sim.ask(&v1::Simulator::Stub::GetMappings).status.error_code(), StatusCode::UNIMPLEMENTED);
    EXPECT_EQ(sim.ask(&v1::Simulator::Stub::Reset).value, Json::parse("[[0.0], {}]"));
    EXPECT_EQ(sim.step("[2.5]").value, Json::parse("[[2.5], 0.0, false, false, {}]"));
    EXPECT_EQ(sim.step("[1, 2]").status.error_code(), StatusCode::INVALID_ARGUMENT);
    sim.process->terminate();
    co_return co_await sim.process->wait();
  }());
  EXPECT_EQ(code, 0);
  const std::regex trace("first SERVING answer at [0-9]{19}");
  EXPECT_EQ(std::count_if(sim.lines.begin(), sim.lines.end(),
                          [&](const std::string& line) { return std::regex_match(line, trace); }),
            1)
      << ::testing::PrintToString(sim.lines);
}

TEST(TestSimTest, CrashAtStartTellsWhyAndExitsWithThreeBeforeServing) {
  Loop loop;
  Sim sim;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    Json env = {{"NALTO_TEST_SIM_MODE", "crash-at-start"}};
    co_await sim.start(TEST_SIM, std::move(env));
    co_return co_await sim.process->wait();
  }());
  EXPECT_EQ(code, 3);
  const std::vector<std::string> expected = {"test sim: loading the model", "test sim: the model is broken",
                                             "test sim: giving up", "test sim: exit 3"};
  EXPECT_EQ(sim.lines, expected);
}

TEST(TestSimTest, SlowStartServesOnlyAfterItsDelay) {
  Loop loop;
  Sim sim;
  const auto started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration until_serving{};
  const int code = loop.run([&]() -> asio::awaitable<int> {
    Json env = {{"NALTO_TEST_SIM_MODE", "slow-start"}, {"NALTO_TEST_SIM_DELAY_MS", "300"}};
    co_await sim.start(TEST_SIM, std::move(env));
    EXPECT_TRUE(co_await sim.until_line(SERVING));
    until_serving = std::chrono::steady_clock::now() - started;
    sim.process->terminate();
    co_return co_await sim.process->wait();
  }());
  EXPECT_GE(until_serving, 300ms);
  EXPECT_EQ(code, 0);
}

TEST(TestSimTest, HangInStepNeverAnswersButStopsOnTerm) {
  Loop loop;
  Sim sim;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    Json env = {{"NALTO_TEST_SIM_MODE", "hang-in-step"}};
    co_await sim.start(TEST_SIM, std::move(env));
    EXPECT_TRUE(co_await sim.until_line(SERVING));
    EXPECT_TRUE(sim.ask(&v1::Simulator::Stub::Reset).status.ok());
    EXPECT_EQ(sim.step("[1.0]", 200ms).status.error_code(), StatusCode::DEADLINE_EXCEEDED);
    sim.process->terminate();
    co_return co_await sim.process->wait();
  }());
  EXPECT_EQ(code, 0);
}

TEST(TestSimTest, IgnoreTermOutlivesTermWithAGrandchildThatTheGroupKillEnds) {
  const testing::ProcessMark mark;
  Loop loop;
  Sim sim;
  bool outlived_term = false;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    Json env = {{"NALTO_TEST_SIM_MODE", "ignore-term"}};
    co_await sim.start(TEST_SIM, std::move(env));
    EXPECT_TRUE(co_await sim.until_line(SERVING));
    EXPECT_EQ(sim.health(), grpc::health::v1::HealthCheckResponse::SERVING);
    sim.process->terminate();
    try {
      auto waiting = sim.process->wait();
      co_await with_timeout(std::move(waiting), 0.3);
    } catch (const TimeoutError&) {
      outlived_term = !sim.process->returncode();
    }
    sim.process->kill();
    co_return co_await sim.process->wait();
  }());
  EXPECT_TRUE(outlived_term);
  EXPECT_EQ(code, -SIGKILL);
  ASSERT_FALSE(sim.lines.empty());
  std::smatch grandchild;
  ASSERT_TRUE(std::regex_match(sim.lines[0], grandchild, std::regex("grandchild ([0-9]+)"))) << sim.lines[0];
  EXPECT_THAT(mark.alive(), ::testing::IsEmpty()) << "the sim and its grandchild";
}

}  // namespace
}  // namespace nalto
