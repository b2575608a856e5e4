// `nalto sim validate` with the real runtime against the example sims and the test sim's misbehaviours,
// and its plan against the reference node serving the example dataset.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cli/validate.hpp"
#include "compute_node.hpp"
#include "examples/sim_harness.hpp"
#include "nalto/runtime/grpc_sim_runtime.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

Timing quick_stop() {
  Timing t;
  t.exit_wait_s = 0.5;
  return t;
}

// One validation as the CLI runs it, its output captured.
struct Validation {
  explicit Validation(Timing limits = quick_stop()) : timing(limits) {}

  ScopedTiming timing;
  testing::ProcessMark mark;
  runtime::GrpcSimRuntime runtime;
  outside::ScopedSimRuntime installed{runtime};
  testing::CapturedConsole console;
  testing::Loop loop;

  int run(cli::Validate invocation, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return loop.run(cli::validate_sim(std::move(invocation)), limit);
  }
  std::string out() const { return console.out(); }
  std::string err() const { return console.err(); }
};

cli::Validate of(std::string path, std::int64_t steps = 30) {
  return {.path = std::move(path), .steps = steps, .call_timeout_s = 5};
}

TEST(ValidateTest, TheExampleSimsKeepTheProtocol) {
  for (const std::string& sim : {testing::HEATED_ROOM, testing::PYTHON_ROOM}) {
    Validation validation;
    EXPECT_EQ(validation.run(of(sim)), 0) << sim << "\n" << validation.out() << validation.err();
    EXPECT_THAT(validation.out(),
                AllOf(HasSubstr("✓ Init and Make"), HasSubstr("✓ Reset and 30 steps over"),
                      HasSubstr("✓ Deterministic: Reset and the first 10 steps replayed alike"),
                      HasSubstr("✓ Close"), HasSubstr("Step latency over 30 calls: median "),
                      HasSubstr("✓ The sim keeps the protocol\n"), Not(HasSubstr("✗"))))
        << sim;
    EXPECT_THAT(validation.mark.alive(), IsEmpty()) << sim;
  }
}

TEST(ValidateTest, SaysHowTheSimIsIsolated) {
  {
    Validation validation;
    EXPECT_EQ(validation.run(of(testing::HEATED_ROOM, 1)), 0) << validation.out() << validation.err();
    const std::optional<outside::SimIsolation> isolation = validation.runtime.last_isolation();
    ASSERT_TRUE(isolation.has_value());
    if (isolation->own_pid_namespace && isolation->detail.empty()) {
      EXPECT_THAT(validation.out(),
                  HasSubstr("\n✓ The sim runs in its own PID namespace\n✓ Init and Make\n"));
    } else {
      EXPECT_THAT(validation.out(), HasSubstr(isolation->detail)) << "the machine's reason is shown";
    }
  }
  const testing::ScopedEnv refused("NALTO_TEST_NO_PID_NAMESPACE", "1");
  Validation validation;
  EXPECT_EQ(validation.run(of(testing::HEATED_ROOM, 1)), 0) << validation.out() << validation.err();
  EXPECT_THAT(
      validation.out(),
      HasSubstr("\nnote: the sim runs in no PID namespace of its own: NALTO_TEST_NO_PID_NAMESPACE is set; "
                "what it leaves running is stopped and killed when it ends\n✓ Init and Make\n"));
  EXPECT_THAT(validation.out(), HasSubstr("✓ The sim keeps the protocol\n")) << "a note, not a warning";
}

TEST(ValidateTest, EachBreachFailsWithTheCallStepAndField) {
  struct Case {
    const char* mode;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"short-reset", "✗ Reset: the answer must be [obs, info], not a list of 1 item"},
      {"not-json", "✗ Step 1: the answer is not JSON: <html>the sim is busy</html>"},
      {"nan-observation", "✗ Step 1: observation[0]: NaN is not a finite number"},
      {"bad-values", "✗ Step 1: terminated: is text \"no\", not a boolean"},
      {"bad-values", "✗ Step 1: observation[0]: 2000000.0 is above the space's high 1000000.0"},
      {"bad-mapping", "✗ Reset: sensor 'Echo': its slot [5] cannot be read as a number in the observation"},
      {"bad-mapping",
       "✗ ActionSpaceInfo: action 'Value': its slot ['value'] cannot be written in a sampled action"},
      {"hang-in-step", "✗ Step 1: no answer within the call timeout of 0.3 s"},
      {"deep-reset", "✗ Reset: the answer nests deeper than 128 levels: [[[[[[[["},
      {"deep-info",
       "✗ Step 1: the answer nests deeper than 128 levels: [[0.0], 0.0, false, false, {\"a\": [[["},
      {"huge-number", "✗ Step 1: the answer is not JSON: [[1e400], 0.0, false, false, {}]"},
  };
  for (const Case& c : cases) {
    const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", c.mode);
    Validation validation;
    cli::Validate invocation = of(testing::TEST_SIM, 5);
    invocation.call_timeout_s = 0.3;
    EXPECT_EQ(validation.run(invocation), 1) << c.mode;
    EXPECT_THAT(validation.out(), HasSubstr(c.line)) << c.mode << "\n" << validation.out();
    EXPECT_THAT(validation.err(), HasSubstr("The sim broke the protocol: ")) << c.mode;
    // What the sim printed may tell why: a traceback, say.
    EXPECT_THAT(validation.err(), HasSubstr("The sim's last output line:\n  test sim: serving on ")) << c.mode;
    EXPECT_THAT(validation.mark.alive(), IsEmpty()) << c.mode;
  }
}

TEST(ValidateTest, ARepeatedProblemIsShownOnceWithItsCount) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "nan-observation");
  Validation validation;
  EXPECT_EQ(validation.run(of(testing::TEST_SIM, 4)), 1);
  EXPECT_THAT(validation.out(), HasSubstr("publish cannot read it) (and in 3 more)\n"));
  EXPECT_THAT(validation.err(), HasSubstr("The sim broke the protocol: 4 problems"));
}

TEST(ValidateTest, ANondeterministicSimIsAWarningOnly) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "noisy");
  Validation validation;
  EXPECT_EQ(validation.run(of(testing::TEST_SIM, 5)), 0);
  EXPECT_THAT(validation.out(),
              HasSubstr("warning: the sim is not deterministic: Reset answered observation[0]: "));
  EXPECT_THAT(validation.out(), HasSubstr("✓ The sim keeps the protocol with 1 warning"));
}

TEST(ValidateTest, ASimWithoutTheHealthServiceIsToldWithinSeconds) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "no-health");
  Timing t = quick_stop();
  t.serving_s = 60;
  Validation validation(t);
  // The loop's bound is far below the serving limit: only the UNIMPLEMENTED answer can end the wait.
  EXPECT_EQ(validation.run(of(testing::TEST_SIM), std::chrono::seconds(10)), 1);
  EXPECT_THAT(validation.err(), HasSubstr("✗ The sim did not start: the sim at localhost:"));
  EXPECT_THAT(validation.err(),
              HasSubstr("serves gRPC but not the health service: grpc.health.v1.Health/Check "
                        "answered UNIMPLEMENTED"));
  EXPECT_THAT(validation.err(), HasSubstr("test sim: serving on localhost:")) << "its output is shown too";
  EXPECT_THAT(validation.mark.alive(), IsEmpty());
}

TEST(ValidateTest, ASimOnAnotherPortIsToldTheOneItWasGiven) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "wrong-port");
  Timing t = quick_stop();
  t.serving_s = 1;
  Validation validation(t);
  EXPECT_EQ(validation.run(of(testing::TEST_SIM)), 1);
  EXPECT_THAT(validation.err(), HasSubstr(" did not serve within 1.0 s; nothing listened on port "));
  EXPECT_THAT(validation.err(), HasSubstr(", the port it was given with --port"));
}

TEST(ValidateTest, ASimThatDiesAtStartIsToldAtOnceWithItsOutput) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "crash-at-start");
  Timing t = quick_stop();
  t.serving_s = 60;
  Validation validation(t);
  EXPECT_EQ(validation.run(of(testing::TEST_SIM), std::chrono::seconds(10)), 1);
  EXPECT_THAT(validation.err(),
              HasSubstr("✗ The sim did not start: the sim exited with code 3 before it served"));
  EXPECT_THAT(validation.err(), HasSubstr("test sim: the model is broken"));
}

TEST(ValidateTest, ACancellationStopsTheSim) {
  const testing::ScopedEnv mode("NALTO_TEST_SIM_MODE", "hang-in-step");
  Validation validation;
  cli::Validate invocation = of(testing::TEST_SIM);
  // The Step hangs until the cancellation, which must stop the sim before it goes on.
  std::thread canceller([&validation] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    validation.loop.cancel_soon();
  });
  try {
    validation.run(invocation);
    ADD_FAILURE() << "the validation was not cancelled";
  } catch (const std::exception& e) {
    EXPECT_TRUE(is_cancellation(std::current_exception())) << e.what();
  }
  canceller.join();
  EXPECT_THAT(validation.mark.alive(), IsEmpty());
}

// The reference node in this process, serving the example dataset, with NALTO_COMPUTE_URL at it.
class ExampleNode {
 public:
  ExampleNode()
      : server_(node_app::Catalog::load(std::filesystem::path(NALTO_SOURCE_DIR) / "examples/datasets"), {}),
        port_(server_.bind("127.0.0.1", 0)),
        url_("NALTO_COMPUTE_URL", "http://127.0.0.1:" + std::to_string(port_)),
        token_("NALTO_COMPUTE_TOKEN", std::nullopt),
        thread_([this] { server_.serve(); }) {
    for (int i = 0; i < 5000 && !server_.running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ExampleNode() {
    server_.stop();
    thread_.join();
  }

 private:
  node_app::Server server_;
  int port_;
  testing::ScopedEnv url_, token_;
  std::thread thread_;
};

TEST(ValidateTest, ThePlanAgainstTheExampleDatasetShowsItsUnmatchedSensor) {
  const ExampleNode node;
  Validation validation;
  cli::Validate invocation = of(testing::HEATED_ROOM, 5);
  invocation.dataset_ref = "heated-room-demo";
  EXPECT_EQ(validation.run(invocation), 0) << validation.out() << validation.err();
  EXPECT_THAT(validation.out(), HasSubstr("Plan against 'heated-room-demo'"));
  const auto row = [&validation](const std::string& name) {
    for (const std::string& line : validation.console.lines())
      if (line.find(name) != std::string::npos) return line;
    return std::string();
  };
  EXPECT_THAT(row("'Room Temperature'"), AllOf(HasSubstr("sensor"), HasSubstr("[0]"),
                                               HasSubstr("'room  temperature'"), HasSubstr("scored")));
  EXPECT_THAT(row("'Fan Setting'"), AllOf(HasSubstr("action"), HasSubstr("['fan']"),
                                          HasSubstr("'fan setting'"), HasSubstr("replayed")));
  EXPECT_THAT(row("'outside temperature'"), AllOf(HasSubstr("none"), HasSubstr("not scored: no sim sensor")));
}

TEST(ValidateTest, ASimSensorWithoutAColumnIsAWarningNamingTheClosestColumns) {
  const ExampleNode node;
  Validation validation;
  cli::Validate invocation = of(testing::TEST_SIM, 5);
  invocation.dataset_ref = "heated-room-demo";
  EXPECT_EQ(validation.run(invocation), 1) << "its action has no column either";
  EXPECT_THAT(validation.out(),
              HasSubstr("warning: the sim's sensor 'Echo' matches no dataset column, so it is "
                        "not scored; closest: "));
}

TEST(ValidateTest, AnUnknownDatasetFailsBeforeTheSimStarts) {
  const ExampleNode node;
  Validation validation;
  cli::Validate invocation = of(testing::HEATED_ROOM, 5);
  invocation.dataset_ref = "no-such-dataset";
  try {
    validation.run(invocation);
    ADD_FAILURE() << "an unknown dataset was planned against";
  } catch (const PublishReportError& e) {
    EXPECT_THAT(e.what(), HasSubstr("has no dataset 'no-such-dataset'"));
  }
  EXPECT_THAT(validation.out(), Not(HasSubstr("The sim serves")));
}

}  // namespace
}  // namespace nalto
