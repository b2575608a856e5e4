// The real runtime against the example and test sims, run as child processes by analyze.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

#include "examples/sim_harness.hpp"
#include "nalto/analysis/analysis.hpp"
#include "nalto/runtime/grpc_sim_runtime.hpp"
#include "support/fixtures.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::Loop;
using ::testing::StartsWith;

Json episode(int number, Json actions) {
  const auto rows = actions.begin()->size();
  return {{"episode", number}, {"n_rows", rows}, {"actions", std::move(actions)}};
}

// The node's columns for the heated room, under names that differ from the sim's in case and spacing.
Json room_columns() {
  return {
      {"episodes", Json::array({episode(0, {{"p", {0.0, 1500.0, 3000.0, 3000.0}}, {"f", {0, 1, 2, 1}}}),
                                episode(3, {{"p", {500.0, 0.0, 0.0}}, {"f", {2, 2, 0}}})})},
      {"raw_names",
       {{"t", "room  temperature"}, {"w", "WALL temperature"}, {"p", "HEATER POWER"}, {"f", "fan setting"}}},
      {"sensor_variables", {"t", "w"}},
      {"action_variables", {"p", "f"}}};
}

// The test sim echoes its one action as its one sensor.
Json echo_columns() {
  return {{"episodes", Json::array({episode(1, {{"v", {1.0, 2.0, 3.0}}})})},
          {"raw_names", {{"e", "Echo"}, {"v", "Value"}}},
          {"sensor_variables", {"e"}},
          {"action_variables", {"v"}}};
}

Timing quick_stop() {
  Timing t;
  t.exit_wait_s = 0.3;
  return t;
}

// One analyze run of a real sim against a node that serves `columns` and records the rollouts.
struct RealAnalysis {
  ScopedTiming timing{quick_stop()};
  testing::ProcessMark mark;
  runtime::GrpcSimRuntime runtime;
  outside::ScopedSimRuntime installed{runtime};
  testing::CapturedConsole console;
  testing::FakeNode node;
  Loop loop;
  std::mutex mutex;
  Json rollouts;

  explicit RealAnalysis(Json columns) {
    node.server.Post("/ml/analysis-actions", [columns](const httplib::Request&, httplib::Response& response) {
      response.set_content(columns.dump(), "application/json");
    });
    node.server.Post(
        "/ml/sim-analyze-rollouts", [this](const httplib::Request& request, httplib::Response& response) {
          const std::lock_guard lock(mutex);
          rollouts = parse_json(request.body);
          response.set_content(R"({"warnings": [], "simulator_validation": null})", "application/json");
        });
    node.start();
  }

  void run(std::string path, double call_timeout_s = 10) {
    const Json claim = {{"jobId", "job"},
                        {"simulatorId", "sim"},
                        {"simulatorImplementationId", "impl"},
                        {"validationRunId", "run"},
                        {"maxLagSteps", 3}};
    const Json dataset = {{"id", "ds"}, {"name", "room-log"}, {"cycles", {{"count", 5}}}};
    loop.run(
        analyze(std::move(path), claim, dataset, std::string(64, 'a'), 5, Json::object(), call_timeout_s),
        std::chrono::seconds(15));
  }

  // The failure of a run, as the user reads it.
  std::string failure(std::string path, double call_timeout_s = 10) {
    try {
      run(std::move(path), call_timeout_s);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no failure";
  }

  Json predictions() {
    const std::lock_guard lock(mutex);
    Json all = Json::array();
    for (const Json& e : rollouts.at("episodes")) all.push_back(e.at("predictions"));
    return all;
  }
};

TEST(RealSimTest, BothRoomsReplayTheSameModelAndLeaveNothingRunning) {
  std::vector<Json> predictions;
  for (const std::string& sim : {testing::HEATED_ROOM, testing::PYTHON_ROOM}) {
    SCOPED_TRACE(sim);
    RealAnalysis analysis(room_columns());
    analysis.run(sim);
    predictions.push_back(analysis.predictions());
    EXPECT_THAT(analysis.mark.alive(), IsEmpty());
  }
  const Json& room = predictions[0];
  ASSERT_EQ(room.size(), 2u);
  for (const char* key : {"t", "w"}) {
    ASSERT_EQ(room[0][key].size(), 4u);
    ASSERT_EQ(room[1][key].size(), 3u);
  }
  // Full power with the fan on warms the room air.
  EXPECT_GT(room[0]["t"][3].get<double>(), room[0]["t"][1].get<double>());
  // The Python room has no mappings of its own; its spaces' names reach the same columns.
  for (std::size_t e = 0; e < room.size(); ++e)
    for (const char* key : {"t", "w"})
      for (std::size_t row = 0; row < room[e][key].size(); ++row)
        EXPECT_NEAR(predictions[1][e][key][row].get<double>(), room[e][key][row].get<double>(), 1e-9);
}

TEST(RealSimTest, ASimThatCrashesAtStartIsReportedAtOnceWithItsOutput) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "crash-at-start");
  RealAnalysis analysis(echo_columns());
  // The serving limit stays at its 60 s: only the exit can end the wait within the loop's bound.
  Timing t = quick_stop();
  t.serving_s = 60;
  const ScopedTiming timing(t);
  const std::string message = analysis.failure(testing::TEST_SIM);
  EXPECT_THAT(message, StartsWith("The sim did not start:\n\n"));
  EXPECT_THAT(message, HasSubstr("test sim"));
}

TEST(RealSimTest, ASimWithoutTheHealthServiceFailsThePublishAtOnce) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "no-health");
  RealAnalysis analysis(echo_columns());
  Timing t = quick_stop();
  t.serving_s = 60;
  const ScopedTiming timing(t);
  // The run's bound of 15 s is far below the serving limit: only the UNIMPLEMENTED answer ends the wait.
  // The sim printed its serving line, so the message shows that output rather than the reason.
  const std::string message = analysis.failure(testing::TEST_SIM);
  EXPECT_THAT(message, StartsWith("The sim did not start:\n\ntest sim: serving on localhost:"));
  EXPECT_THAT(analysis.mark.alive(), IsEmpty());
}

TEST(RealSimTest, ASimThatHangsInStepHitsTheCallLimitAndIsStopped) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "hang-in-step");
  RealAnalysis analysis(echo_columns());
  EXPECT_THAT(analysis.failure(testing::TEST_SIM, 0.3), HasSubstr("TimeoutError"));
  EXPECT_THAT(analysis.mark.alive(), IsEmpty());
}

TEST(RealSimTest, ASimThatIgnoresTermIsKilledWithItsGrandchild) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "ignore-term");
  RealAnalysis analysis(echo_columns());
  analysis.run(testing::TEST_SIM);
  EXPECT_EQ(analysis.predictions(), parse_json(R"([{"e": [0.0, 2.0, 3.0]}])"));
  EXPECT_THAT(analysis.mark.alive(), IsEmpty());
}

// A tool killed outright cannot stop its sim; the sim must die with it.
// Without a PID namespace, where the sim is the tool's child: in one, our init and the namespace's first
// process die with the tool too (SimIsolationTest).
TEST(RealSimTest, TheSimDiesWithTheTool) {
  const testing::ScopedEnv no_namespace("NALTO_TEST_NO_PID_NAMESPACE", "1");
  const testing::ProcessMark mark;
  const auto tool = testing::Subprocess::fork([] {
    Loop loop;
    const std::unique_ptr<outside::SimProcess> sim =
        loop.run([]() -> asio::awaitable<std::unique_ptr<outside::SimProcess>> {
          std::string path = testing::TEST_SIM;
          co_return co_await runtime::start_sim_process(std::move(path), "localhost", runtime::free_port(),
                                                        Json::object(), [](std::string) {});
        }());
    [[maybe_unused]] const auto written = ::write(STDOUT_FILENO, "r", 1);
    ::pause();
    return 0;
  });
  ASSERT_TRUE(tool->read_until([&] { return !tool->out().empty(); },
                               testing::Subprocess::Clock::now() + std::chrono::seconds(30)))
      << tool->out() << tool->err();
  ASSERT_THAT(mark.alive(std::chrono::milliseconds(0)), ::testing::SizeIs(1));
  tool->signal(SIGKILL);
  EXPECT_EQ(tool->finish(testing::Subprocess::Clock::now() + std::chrono::seconds(10)),
            testing::killed_by(SIGKILL));
  EXPECT_THAT(mark.alive(), IsEmpty());
}

}  // namespace
}  // namespace nalto
