// What `nalto sim publish` shows and records beyond the step's own lines: the sensors (-v), the
// summary for CI (--json), the exit status without a report and the sim's part in a failed replay.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "apps/command_line.hpp"
#include "cli/cli.hpp"
#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

const Json SENSORS = Json::parse(R"([
  {"key": "t", "raw_name": "temp", "score_percent": 91.25, "nrmse": 0.0875, "lag_steps": 2,
   "n_rows": 3, "normalized_by": "range"},
  {"key": "h", "raw_name": "humidity", "score_percent": null, "nrmse": null, "lag_steps": null, "n_rows": 0,
   "normalized_by": null},
  {"key": "w", "score_percent": 40.0}])");

class PublishDiagnosticsTest : public ::testing::Test {
 protected:
  PublishDiagnosticsTest() {
    std::string pattern = (fs::temp_directory_path() / "nalto-diag-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir = pattern;
    sim = (dir / "room_sim.sh").string();
    std::ofstream(sim) << "#!/bin/sh\n";

    node.server.Get(R"(/ml/datasets/room)", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(R"({"id":"ds-1","name":"Room","cycles":{"count":1}})", "application/json");
    });
    node.server.Post("/ml/analysis-actions", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(R"({"episodes": [{"episode": 0, "n_rows": 3, "actions": {"p": [0.1, 0.2, 0.3]}}],
                               "raw_names": {"t": "temp", "p": "power"},
                               "sensor_variables": ["t"], "action_variables": ["p"]})",
                           "application/json");
    });
    node.server.Post("/ml/sim-analyze-rollouts", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(
          Json{{"warnings", Json::array({"'humidity' could not be scored"})},
               {"dataset", {{"content_md5", std::string(32, 'c')}, {"content_sha256", std::string(64, 'd')}}},
               {"simulator_validation",
                {{"schema", "simulator_validation/v2"},
                 {"dataset", {{"selected_episodes", {0}}}},
                 {"evaluation", {{"score_percent", 65.62}, {"sensors", SENSORS}}}}}}
              .dump(),
          "application/json");
    });
    node.start();
  }
  ~PublishDiagnosticsTest() override { fs::remove_all(dir); }

  cli::Outcome publish(const std::string& extra, const std::string& dataset = "room") {
    auto parsed = testing::parse_nalto("sim publish --path " + sim + " --dataset " + dataset +
                                       " --platform-state " + (dir / "state.json").string() + " " + extra);
    if (const int* status = std::get_if<int>(&parsed)) return {.exit_status = *status};
    return cli::run(std::get<cli::Command>(parsed), runtime);
  }

  Json summary() const {
    std::ifstream in(dir / "summary.json");
    return Json::parse(in);
  }
  std::string json_option() const { return " --json " + (dir / "summary.json").string(); }

  fs::path dir;
  std::string sim;
  testing::ScopedEnv state_home{"XDG_STATE_HOME", "/var/state"};
  testing::CapturedConsole console;
  testing::FakeNode node;
  testing::FakeSimRuntime runtime;
};

TEST_F(PublishDiagnosticsTest, VerboseShowsEachSensorWorstFirstAndQuietShowsNone) {
  ASSERT_EQ(publish("--project Kitchen").exit_status, 0) << console.err();
  EXPECT_THAT(console.out(), Not(HasSubstr("Sensors")));
  EXPECT_THAT(console.out(), Not(HasSubstr("Plan against")));
  EXPECT_THAT(console.out(), Not(HasSubstr("--evidence-page")));

  ASSERT_EQ(publish("--project Kitchen -v").exit_status, 0) << console.err();
  const std::string out = console.out().substr(console.out().rfind("Added the sim"));
  const std::size_t plan = out.find("Plan against 'room'"), score = out.find("score 65.62"),
                    table = out.find("Sensors, worst first"), reports = out.find("Simulation reports");
  EXPECT_LT(plan, score);
  EXPECT_LT(score, table);
  EXPECT_LT(table, reports);
  EXPECT_THAT(out, HasSubstr("│ humidity │ -     │ -      │ -          │ -             │ 0    │"));
  EXPECT_THAT(out, HasSubstr("│ w        │ 40.0  │ -      │ -          │ -             │ -    │"));
  EXPECT_THAT(out, HasSubstr("│ temp     │ 91.2  │ 0.0875 │ 2          │ range         │ 3    │"));
  EXPECT_LT(out.find("humidity"), out.find("│ w "));
  EXPECT_LT(out.find("│ w "), out.find("│ temp"));
  EXPECT_THAT(out, HasSubstr("100 × max(0, 1 − NRMSE)"));
  // The publish's request has no page: -v ends with the score that draws the same episodes.
  const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
  EXPECT_EQ(last, "To see the sim against the recording, sensor by sensor: nalto sim score --path " + sim +
                      " --dataset room --evidence-page\n");

  ASSERT_EQ(publish(R"(--project Kitchen -v --max-episodes 7 --env-init {"mode":"it's"})").exit_status, 0)
      << console.err();
  EXPECT_THAT(console.out(), HasSubstr(R"( --dataset room --max-episodes 7 --env-init '{"mode":"it'\''s"}' )"
                                       "--evidence-page\n"));
}

TEST_F(PublishDiagnosticsTest, SummaryOnSuccessHoldsTheClaimScoreSensorsAndReports) {
  ASSERT_EQ(publish("--project Kitchen" + json_option()).exit_status, 0) << console.err();
  const Json written = summary();
  EXPECT_EQ(written["claim"]["state"], "submitted");
  EXPECT_TRUE(written["claim"]["job_id"].is_string());
  EXPECT_EQ(written["score_percent"], 65.62);
  EXPECT_EQ(written["episodes"], 1);
  EXPECT_EQ(written["sensors"].size(), 3u);
  EXPECT_EQ(written["sensors"][0]["lag_steps"], 2);
  EXPECT_TRUE(written["sensors"][2]["raw_name"].is_null());
  EXPECT_EQ(written["warnings"], Json::array({"'humidity' could not be scored"}));
  EXPECT_EQ(written["reports"], Json::parse(R"([{"use_case": "Kitchen", "status": "ready", "score": 65.62,
                                                 "failure_code": null}])"));
  EXPECT_EQ(written["outcome"], "reported");
  EXPECT_TRUE(written["error"].is_null());
}

TEST_F(PublishDiagnosticsTest, SummaryOnAFailureBeforeAnyClaimAndOnAnInterruption) {
  EXPECT_EQ(publish(json_option(), "elsewhere").exit_status, 1);
  Json written = summary();
  EXPECT_TRUE(written["claim"]["job_id"].is_null());
  EXPECT_TRUE(written["claim"]["state"].is_null());
  EXPECT_EQ(written["outcome"], "failed");
  EXPECT_EQ(written["error"]["type"], "PublishReportError");
  EXPECT_THAT(written["error"]["message"].get<std::string>(), HasSubstr("elsewhere"));

  runtime.client->hang_on = "step";
  runtime.client->on_hang = [] { std::raise(SIGINT); };
  const cli::Outcome interrupted = publish(json_option());
  EXPECT_EQ(interrupted.signal, SIGINT);
  written = summary();
  EXPECT_EQ(written["claim"]["state"], "closed");
  EXPECT_EQ(written["outcome"], "interrupted");
  EXPECT_EQ(written["exit_status"], 130);
  EXPECT_EQ(written["error"]["message"], "Interrupted by SIGINT");
}

TEST_F(PublishDiagnosticsTest, ASubmissionWithoutAReportHasItsOwnExitStatus) {
  struct Case {
    std::string options;
    int status;
  };
  std::vector<Case> cases = {
      {"--project Kitchen", 0},
      {"", cli::NO_REPORT_STATUS},  // no use case
      {"--project Kitchen --platform-build-fails", cli::NO_REPORT_STATUS},
      {"--project Kitchen --platform-build-polls 100", cli::NO_REPORT_STATUS},
  };
  // Reports still being written when the wait gives up: submitted, no report.
  Timing quick;
  quick.report_timeout_s = 0.05;
  quick.report_poll_s = 0.001;
  const ScopedTiming timing(quick);
  cases.push_back({"--project Kitchen --platform-writing-polls 1000000", cli::NO_REPORT_STATUS});
  for (const Case& c : cases) {
    // The state file is fresh each time, so that no earlier link gives the sim a use case.
    fs::remove(dir / "state.json");
    EXPECT_EQ(publish(c.options + json_option()).exit_status, c.status) << c.options << "\n" << console.err();
    EXPECT_EQ(summary()["exit_status"], c.status) << c.options;
    EXPECT_EQ(summary()["outcome"], c.status == 0 ? "reported" : "submitted without report") << c.options;
  }
}

TEST_F(PublishDiagnosticsTest, AFailedReplayShowsWhereAndTheSimsLastOutputAfterTheStepsMessage) {
  for (int i = 0; i < 50; ++i) runtime.output.push_back("line " + std::to_string(i));
  runtime.client->on_step = [this](const Json&, int row) -> Json {
    if (row == 2) {
      runtime.process->exit_code = -11;
      throw SimCallError("UNAVAILABLE: Socket closed");
    }
    return Json::array({Json::array({20.0}), 0.0, false, false, Json::object()});
  };
  EXPECT_EQ(publish(json_option()).exit_status, 1);

  const std::string err = console.err();
  const std::string message =
      "The sim failed while replaying the dataset (SimCallError: UNAVAILABLE: Socket closed); validate it "
      "with `nalto sim validate --steps 100`\n";
  ASSERT_EQ(err.find(message), 0u) << err;
  EXPECT_THAT(err, HasSubstr("The sim failed in Step, episode 0, row 2; it was ended by signal 11"));
  EXPECT_THAT(err, HasSubstr("The sim's last 40 output lines:\n  line 10\n"));
  EXPECT_THAT(err, Not(HasSubstr("line 9\n")));
  EXPECT_THAT(err, HasSubstr("  line 49\n"));

  const Json evidence = summary()["evidence"];
  EXPECT_EQ(evidence["call"], "Step");
  EXPECT_EQ(evidence["row"], 2);
  EXPECT_EQ(evidence["exit_code"], -11);
  EXPECT_EQ(evidence["output"].size(), 40u);
  EXPECT_EQ(summary()["claim"]["state"], "closed");
}

TEST_F(PublishDiagnosticsTest, ALateCallKeepsTheStepsMessageAndTheEvidenceNamesTheCallAndItsLimit) {
  struct Case {
    std::string hang_on;
    std::string evidence;
  };
  for (const Case& c :
       {Case{"step", "The sim's Step of episode 0, row 2, took longer than --call-timeout 0.05 s.\n"},
        Case{"make", "The sim's Make took longer than --call-timeout 0.05 s.\n"}}) {
    const std::size_t before = console.err().size();
    runtime.process->exit_code.reset();
    runtime.client->hang_on = c.hang_on;
    runtime.client->hang_skip = c.hang_on == "step" ? 1 : 0;
    EXPECT_EQ(publish("--call-timeout 0.05").exit_status, 1) << c.hang_on;

    const std::string err = console.err().substr(before);
    EXPECT_EQ(
        err.find("The sim failed while replaying the dataset (TimeoutError: ); validate it with `nalto sim "
                 "validate --steps 100`\n"),
        0u)
        << err;
    EXPECT_THAT(err, HasSubstr(c.evidence)) << c.hang_on;
  }
}

TEST_F(PublishDiagnosticsTest, TheSummarysClaimStateIsWhatTheStateFileHoldsAtTheEnd) {
  // Another process sharing the state file closes the claim while the replay runs, which then fails:
  // the publish's own closing is refused, and the file's state is the end.
  const fs::path state_file = dir / "state.json";
  runtime.client->on_step = [state_file](const Json&, int row) -> Json {
    if (row == 1) {
      Json state;
      std::ifstream(state_file) >> state;
      for (auto& [job, claim] : state["claims"].items()) {
        claim["state"] = "closed";
        claim["failure"] = "Closed by another process";
      }
      std::ofstream(state_file) << state.dump();
      throw SimCallError("UNAVAILABLE: Socket closed");
    }
    return Json::array({Json::array({20.0}), 0.0, false, false, Json::object()});
  };
  EXPECT_EQ(publish(json_option()).exit_status, 1);
  Json saved;
  std::ifstream(state_file) >> saved;
  ASSERT_EQ(saved["claims"].size(), 1u);
  EXPECT_EQ(saved["claims"].begin().value()["failure"], "Closed by another process");
  EXPECT_EQ(summary()["claim"]["state"], "closed");
}

TEST_F(PublishDiagnosticsTest, ASummaryThatCannotBeWrittenFailsTheRun) {
  std::ofstream(dir / "file") << "";
  EXPECT_EQ(publish("--project Kitchen --json " + (dir / "file" / "summary.json").string()).exit_status, 1);
  EXPECT_THAT(console.err(), HasSubstr("Could not make the folder of the summary file '"));
}

}  // namespace
}  // namespace nalto
