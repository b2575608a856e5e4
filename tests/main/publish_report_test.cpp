#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

using testing::CapturedConsole;
using testing::CapturedLog;
using ::testing::ElementsAre;
using testing::FakeNode;
using testing::FakePlatform;
using testing::FakeSimRuntime;
using ::testing::HasSubstr;
using testing::Loop;

Json artifact(Json score, int episodes = 3) {
  Json selected = Json::array();
  for (int i = 0; i < episodes; ++i) selected.push_back(i);
  Json evaluation = Json::object();
  if (!score.is_discarded()) evaluation["score_percent"] = score;
  return Json{{"schema", "simulator_validation/v2"},
              {"dataset", {{"uuid", "ds-uuid"}, {"selected_episodes", selected}}},
              {"evaluation", evaluation}};
}

Json analysis_result(Json validation, Json warnings = Json::array()) {
  return Json{{"warnings", std::move(warnings)},
              {"dataset", {{"content_md5", "md5-x"}, {"content_sha256", "sha-x"}}},
              {"simulator_validation", std::move(validation)}};
}

// The whole road with stand-ins at its edges: the platform, a compute node on loopback and a sim
// runtime, all scripted.
class PublishReportTest : public ::testing::Test {
 protected:
  PublishReportTest() {
    node.server.Get(
        R"(/ml/datasets/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
          dataset_requests.push_back(request.matches[1]);
          response.set_content(R"({"id":"ds-uuid","name":"Room","cycles":{"count":12}})", "application/json");
        });
    node.server.Post("/ml/analysis-actions",
                     [this](const httplib::Request& request, httplib::Response& response) {
                       actions_requests.push_back(request.body);
                       response.status = actions_status;
                       response.set_content(actions_answer, "application/json");
                     });
    node.server.Post("/ml/sim-analyze-rollouts",
                     [this](const httplib::Request& request, httplib::Response& response) {
                       analysis_requests.push_back(request.body);
                       response.set_content(result.dump(), "application/json");
                     });
    node.start();
  }

  void publish(PublishOptions options = {}) {
    loop.run(publish_report(platform, "org-1", "sim-1", "Heated room", "impl-1", "/sims/room", "abc123",
                            "room", std::move(options)));
  }

  // Runs a publish that is expected to fail and returns its failure.
  std::exception_ptr publish_failure(PublishOptions options = {}) {
    try {
      publish(std::move(options));
    } catch (...) {
      return std::current_exception();
    }
    ADD_FAILURE() << "publish_report did not fail";
    return nullptr;
  }

  std::vector<const testing::PlatformCall*> closings() const {
    std::vector<const testing::PlatformCall*> found;
    for (const auto& call : platform.calls)
      if (call.op == "submit" && call.body.contains("failure")) found.push_back(&call);
    return found;
  }

  FakeNode node;
  std::vector<std::string> dataset_requests, actions_requests, analysis_requests;
  int actions_status = 200;
  std::string actions_answer =
      R"({"episodes": [{"episode": 4, "n_rows": 3, "actions": {"p": [0.1, 0.2, 0.3]}}],
                                   "raw_names": {"t": "temp", "p": "power"},
                                   "sensor_variables": ["t"], "action_variables": ["p"]})";
  Json result = analysis_result(artifact(87.5), Json{"first warning", "second warning"});
  Loop loop;
  FakePlatform platform;
  FakeSimRuntime runtime;
  CapturedConsole console;
  ScopedTiming timing{
      Timing{.report_timeout_s = 1, .report_poll_s = 0.001, .exit_wait_s = 1, .close_claim_s = 2}};
};

TEST_F(PublishReportTest, SuccessfulPublishPrintsAndSubmitsInOrder) {
  platform.statuses = {Json{{"buildStatus", "DONE"},
                            {"buildMapped", true},
                            {"eventStatus", "done"},
                            {"runs", {{{"projectName", "Kitchen"}, {"status", "ready"}, {"score", 87.46}}}}}};

  publish({.project_id = "proj-1", .max_episodes = 7, .call_timeout_s = 12.5});

  EXPECT_THAT(dataset_requests, ElementsAre("room"));
  EXPECT_THAT(platform.ops(), ElementsAre("link", "start", "submit", "status"));
  EXPECT_THAT(platform.calls[0].args, ElementsAre("org-1", "proj-1", "sim-1"));
  EXPECT_THAT(platform.calls[1].args, ElementsAre("org-1", "sim-1", "impl-1", "ds-uuid"));
  EXPECT_THAT(platform.calls[2].args, ElementsAre("org-1", "sim-1", "impl-1", "job-1"));
  EXPECT_THAT(platform.calls[3].args, ElementsAre("org-1", "sim-1", "impl-1", "job-1"));

  ASSERT_EQ(actions_requests.size(), 1u);
  EXPECT_EQ(actions_requests[0], R"({"dataset_uuid":"ds-uuid","episodes":[0,2,4,6,7,9,11]})");
  ASSERT_EQ(runtime.starts.size(), 1u);
  EXPECT_EQ(runtime.starts[0].path, "/sims/room");
  ASSERT_EQ(analysis_requests.size(), 1u);
  const Json analysis = Json::parse(analysis_requests[0]);
  const std::vector<std::pair<std::string, Json>> members = {
      {"dataset_uuid", "ds-uuid"},
      {"simulator_id", "sim-1"},
      {"simulator_implementation_id", "impl-1"},
      {"validation_run_id", "run-1"},
      {"bundle_content_hash", "abc123"},
      {"core_sensor_variables", {"temp"}},
      {"sensor_variables", {"t"}},
      {"action_variables", {"p"}},
      {"max_lag_steps", 3},
      {"episodes", Json::parse(R"([{"episode": 4, "predictions": {"t": [20.0, 20.0, 20.0]}}])")},
  };
  ASSERT_EQ(analysis.size(), members.size());
  std::size_t i = 0;
  for (const auto& [key, value] : analysis.items()) {
    EXPECT_EQ(key, members[i].first);
    EXPECT_EQ(value, members[i].second) << key;
    ++i;
  }
  const auto& journal = *runtime.journal;
  EXPECT_NE(std::find(journal.begin(), journal.end(), "process.terminate"), journal.end())
      << "the sim was stopped";
  EXPECT_EQ(runtime.processes_alive(), 0);

  const Json& body = platform.calls[2].body;
  EXPECT_EQ(body.dump(), Json({{"simulatorValidation", artifact(87.5)},
                               {"dataset", {{"contentMd5", "md5-x"}, {"contentSha256", "sha-x"}}},
                               {"warnings", {"first warning", "second warning"}}})
                             .dump());

  EXPECT_EQ(console.out(),
            "✓ Added the sim to the use case\n"
            "warning: first warning\n"
            "warning: second warning\n"
            "✓ Analyzed 3 episodes: score 87.5\n"
            "Simulation reports\n"
            "┌──────────┬────────┬───────┐\n"
            "│ Use case │ Report │ Score │\n"
            "├──────────┼────────┼───────┤\n"
            "│ Kitchen  │ ready  │ 87.5  │\n"
            "└──────────┴────────┴───────┘\n");
}

TEST_F(PublishReportTest, EmptyProjectAndEnvInitCountAsAbsent) {
  publish({.project_id = "", .env_init = Json::object()});
  EXPECT_EQ(platform.count("link"), 0u);
  EXPECT_THAT(console.out(), ::testing::Not(HasSubstr("use case\n")));
  ASSERT_EQ(runtime.client_options.size(), 1u);
  EXPECT_EQ(runtime.client_options[0].env_init, (Json{{"sim_address", "localhost:47001"}}));
  ASSERT_EQ(actions_requests.size(), 1u);
  EXPECT_EQ(Json::parse(actions_requests[0])["episodes"].size(), 12u) << "up to DEFAULT_MAX_EPISODES of 12";
}

TEST_F(PublishReportTest, EnvInitIsHandedToTheAnalysis) {
  const Json env_init{{"seed", 4}, {"sim_address", "elsewhere:1"}};
  publish({.env_init = env_init});
  ASSERT_EQ(runtime.client_options.size(), 1u);
  EXPECT_EQ(runtime.client_options[0].env_init, (Json{{"seed", 4}, {"sim_address", "localhost:47001"}}));
}

TEST_F(PublishReportTest, CallTimeoutBoundsEachSimCall) {
  runtime.client->hang_on = "step";
  const auto failure = publish_failure({.call_timeout_s = 0.01});
  try {
    std::rethrow_exception(failure);
  } catch (const PublishReportError& e) {
    EXPECT_THAT(e.what(), HasSubstr("(TimeoutError: )"));
  }
  ASSERT_EQ(closings().size(), 1u);
  EXPECT_EQ(
      closings()[0]->body["failure"],
      "The sim failed while replaying the dataset (TimeoutError: ); validate it with `nalto sim validate "
      "--steps 100`");
}

TEST_F(PublishReportTest, ScoreLineForms) {
  const std::vector<std::pair<Json, std::string>> cases = {
      {87.5, "87.5"}, {100.0, "100.0"}, {87, "87"},
      {"n/a", "n/a"}, {nullptr, "-"},   {Json::value_t::discarded, "-"},
  };
  for (const auto& [score, text] : cases) {
    CapturedConsole captured;
    result = analysis_result(artifact(score, 2));
    publish();
    EXPECT_THAT(captured.lines(), ::testing::Contains("✓ Analyzed 2 episodes: score " + text))
        << score.dump();
  }
  EXPECT_EQ(platform.count("submit"), cases.size());
}

TEST_F(PublishReportTest, AllWarningsArePrintedButTheSubmissionCarriesFiftyCut) {
  Json warnings = Json::array();
  for (int i = 0; i < 60; ++i) {
    std::string text = "w" + std::to_string(i) + " ";
    for (int k = 0; k < 600; ++k) text += "é";  // two bytes each: a cut must not split one
    warnings.push_back(text);
  }
  result = analysis_result(artifact(50), warnings);
  publish();

  std::size_t printed = 0;
  for (const auto& line : console.lines()) printed += line.rfind("warning: w", 0) == 0;
  EXPECT_EQ(printed, 60u);
  EXPECT_THAT(console.out(), HasSubstr("warning: " + warnings[59].get<std::string>() + "\n"));

  const Json& submitted = platform.last("submit")->body["warnings"];
  ASSERT_EQ(submitted.size(), 50u);
  for (std::size_t i = 0; i < 50; ++i) {
    const std::string expected = "w" + std::to_string(i) + " ";
    const std::string& text = submitted[i].get_ref<const std::string&>();
    EXPECT_EQ(text.rfind(expected, 0), 0u);
    const std::size_t ascii = expected.size();
    EXPECT_EQ(text.size(), ascii + 2 * (500 - ascii)) << "cut to 500 code points";
  }
}

TEST_F(PublishReportTest, NoArtifactClosesTheClaimWithTheWarningsOrTheFixedReason) {
  struct Case {
    Json warnings;
    std::string reason;
  };
  const std::string long_warning(400, 'x');
  const std::vector<Case> cases = {
      {Json::array(), "The analysis could not be reported to the platform"},
      {nullptr, "The analysis could not be reported to the platform"},
      {Json{"no sensor matched", "episode 3 stopped early"}, "no sensor matched; episode 3 stopped early"},
      {Json{long_warning, long_warning}, (long_warning + "; " + long_warning).substr(0, 500)},
  };
  for (const auto& c : cases) {
    platform.calls.clear();
    result = analysis_result(nullptr, c.warnings);
    const auto failure = publish_failure();
    try {
      std::rethrow_exception(failure);
    } catch (const PublishReportError& e) {
      EXPECT_EQ(e.what(), c.reason);
    }
    EXPECT_THAT(platform.ops(), ElementsAre("start", "submit"));
    EXPECT_EQ(platform.last("submit")->body, (Json{{"failure", c.reason}}));
  }
}

TEST_F(PublishReportTest, RefusedClaimBecomesPublishReportErrorWithTheDetail) {
  platform.on_start = [](const testing::PlatformCall&) -> Json {
    throw outside::APIStatusError(409, "The build already has a report");
  };
  const auto failure = publish_failure();
  try {
    std::rethrow_exception(failure);
  } catch (const PublishReportError& e) {
    EXPECT_STREQ(e.what(), "The build already has a report");
    ASSERT_TRUE(e.cause());
    try {
      std::rethrow_exception(e.cause());
    } catch (const outside::APIStatusError& cause) {
      EXPECT_EQ(cause.status(), 409);
    }
  }
  EXPECT_TRUE(actions_requests.empty()) << "no analysis was started";
  EXPECT_TRUE(runtime.starts.empty());
  EXPECT_THAT(platform.ops(), ElementsAre("start"));
}

TEST_F(PublishReportTest, FailuresBeforeTheClaimReachTheCallerUnchanged) {
  platform.on_link = [](const testing::PlatformCall&) -> Json {
    throw outside::APIStatusError(404, "no project");
  };
  EXPECT_THROW(publish({.project_id = "p"}), outside::APIStatusError);
  EXPECT_THAT(platform.ops(), ElementsAre("link"));

  platform.calls.clear();
  platform.on_start = [](const testing::PlatformCall&) -> Json { throw ConnectError("refused"); };
  EXPECT_THROW(publish(), ConnectError);
  EXPECT_THAT(platform.ops(), ElementsAre("start"));
  EXPECT_TRUE(actions_requests.empty());
}

TEST_F(PublishReportTest, UnknownDatasetFailsBeforeAnythingIsClaimed) {
  FakeNode empty_node;
  empty_node.start();
  try {
    publish();
    FAIL() << "no failure";
  } catch (const PublishReportError& e) {
    EXPECT_THAT(e.what(), HasSubstr("'room'"));
    EXPECT_THAT(e.what(), HasSubstr(empty_node.url()));
  }
  EXPECT_TRUE(platform.calls.empty());
}

TEST(FailureReasonTest, FirstLineTrimmedAndCutOrTheTypeName) {
  std::string long_line;
  for (int i = 0; i < 600; ++i) long_line += "€";  // three bytes each
  std::string cut_line;
  for (int i = 0; i < 500; ++i) cut_line += "€";
  const std::vector<std::pair<std::exception_ptr, std::string>> cases = {
      {std::make_exception_ptr(PublishReportError("\n\n  first line  \nsecond line")), "first line  "},
      {std::make_exception_ptr(PublishReportError("a\r\nb")), "a"},
      {std::make_exception_ptr(PublishReportError("a\rb")), "a"},
      {std::make_exception_ptr(PublishReportError("a\vb")), "a"},
      {std::make_exception_ptr(PublishReportError("a\fb")), "a"},
      {std::make_exception_ptr(PublishReportError("a\x1c"
                                                  "b")),
       "a"},
      {std::make_exception_ptr(PublishReportError("a\x1d"
                                                  "b")),
       "a"},
      {std::make_exception_ptr(PublishReportError("a\x1e"
                                                  "b")),
       "a"},
      {std::make_exception_ptr(PublishReportError("a\u0085b")), "a"},
      {std::make_exception_ptr(PublishReportError("a\u2028b")), "a"},
      {std::make_exception_ptr(PublishReportError("a\u2029b")), "a"},
      {std::make_exception_ptr(PublishReportError("a\x1f"
                                                  "b")),
       "a\x1f"
       "b"},  // a unit separator ends no line
      {std::make_exception_ptr(PublishReportError(long_line)), cut_line},
      {std::make_exception_ptr(PublishReportError("bad \xff\xfe bytes\nmore")), "bad \uFFFD\uFFFD bytes"},
      {std::make_exception_ptr(TimeoutError("")), "TimeoutError"},
      {std::make_exception_ptr(KeyError(" \t\n\u3000")), "KeyError"},
      {std::make_exception_ptr(std::runtime_error("")), "runtime_error"},
      {std::make_exception_ptr(std::out_of_range("  index 4  ")), "index 4"},
  };
  for (const auto& [failure, reason] : cases) EXPECT_EQ(failure_reason(failure), reason);
}

TEST_F(PublishReportTest, AnalysisFailureClosesTheClaimWithItsReasonAndIsRaisedUnchanged) {
  actions_status = 422;
  actions_answer = R"({"detail": "episode 99 is not in the dataset\nsee the node's log"})";
  const auto failure = publish_failure();
  try {
    std::rethrow_exception(failure);
  } catch (const PublishReportError& e) {
    EXPECT_STREQ(
        e.what(),
        "The compute node refused the analysis: episode 99 is not in the dataset\nsee the node's log");
  }
  EXPECT_THAT(platform.ops(), ElementsAre("start", "submit"));
  EXPECT_EQ(platform.last("submit")->body,
            (Json{{"failure", "The compute node refused the analysis: episode 99 is not in the dataset"}}));
  EXPECT_TRUE(runtime.starts.empty());
}

TEST_F(PublishReportTest, ASimThatFailsClosesTheClaimAndIsStopped) {
  runtime.client->on_reset = []() -> Json { throw SimCallError("INTERNAL: reset blew up"); };
  const auto failure = publish_failure();
  ASSERT_EQ(closings().size(), 1u);
  EXPECT_EQ(
      closings()[0]->body["failure"],
      "The sim failed while replaying the dataset (SimCallError: INTERNAL: reset blew up); validate it with "
      "`nalto sim validate --steps 100`");
  EXPECT_EQ(runtime.processes_alive(), 0);
  EXPECT_EQ(runtime.process->events.front(), "terminate");
}

TEST_F(PublishReportTest, CancellationDuringTheAnalysisClosesTheClaimThenPropagates) {
  runtime.client->hang_on = "step";
  runtime.client->on_hang = [&] { loop.cancel_soon(); };
  const auto failure = publish_failure();
  EXPECT_TRUE(is_cancellation(failure));
  EXPECT_THAT(runtime.client->cancelled, ElementsAre("step"));
  EXPECT_THAT(runtime.process->events, ElementsAre("terminate", "wait")) << "terminated and awaited";
  ASSERT_THAT(platform.ops(), ElementsAre("start", "submit"));
  const Json& body = platform.last("submit")->body;
  ASSERT_TRUE(body.contains("failure"));
  EXPECT_FALSE(body["failure"].get<std::string>().empty());
  EXPECT_TRUE(analysis_requests.empty());
}

TEST_F(PublishReportTest, CancellationAtOtherAwaitsPropagatesWithoutClosing) {
  for (const std::string op : {"start", "status", "submit"}) {
    Loop fresh;
    platform.calls.clear();
    platform.hang_on = op;
    platform.on_hang = [&] { fresh.cancel_soon(); };
    std::exception_ptr failure;
    try {
      fresh.run(publish_report(platform, "org-1", "sim-1", "Heated room", "impl-1", "/sims/room", "abc123",
                               "room"));
    } catch (...) {
      failure = std::current_exception();
    }
    EXPECT_TRUE(is_cancellation(failure)) << op;
    EXPECT_EQ(platform.ops().back(), op) << "cancelled where it hung";
    EXPECT_TRUE(closings().empty()) << op;
  }
}

TEST_F(PublishReportTest, FailuresAfterTheAnalysisLeaveTheClaimOpen) {
  struct Case {
    std::string name;
    std::function<void()> arrange;
    std::string error;  // the type name of what reaches the caller
  };
  const std::vector<Case> cases = {
      {"no content_md5", [&] { result["dataset"].erase("content_md5"); }, "KeyError"},
      {"no content_sha256", [&] { result["dataset"].erase("content_sha256"); }, "KeyError"},
      {"no evaluation", [&] { result["simulator_validation"].erase("evaluation"); }, "KeyError"},
      {"no selected episodes", [&] { result["simulator_validation"]["dataset"].erase("selected_episodes"); },
       "KeyError"},
      {"warnings not a list", [&] { result["warnings"] = 7; }, "TypeError"},
      {"submission refused",
       [&] {
         platform.on_submit = [](const testing::PlatformCall&) -> Json {
           throw outside::APIStatusError(422, "bad body");
         };
       },
       "APIStatusError"},
      {"run without status",
       [&] {
         platform.on_start = [](const testing::PlatformCall&) {
           return Json{{"jobId", 77},
                       {"simulatorId", "s"},
                       {"simulatorImplementationId", "i"},
                       {"validationRunId", "v"},
                       {"maxLagSteps", 2}};
         };
         platform.statuses = {
             Json{{"buildMapped", true}, {"eventStatus", "done"}, {"runs", {{{"score", 1}}}}}};
       },
       "KeyError"},
      {"run without project name",
       [&] {
         platform.statuses = {
             Json{{"buildMapped", true}, {"eventStatus", "done"}, {"runs", {{{"status", "ready"}}}}}};
       },
       "KeyError"},
      {"status not an object", [&] { platform.statuses = {Json::array()}; }, "TypeError"},
      {"result not an object", [&] { result = "done"; }, "TypeError"},
      {"artifact not an object", [&] { result["simulator_validation"] = 5; }, "TypeError"},
      {"evaluation not an object", [&] { result["simulator_validation"]["evaluation"] = Json::array(); },
       "TypeError"},
      {"selected episodes not a list",
       [&] { result["simulator_validation"]["dataset"]["selected_episodes"] = 3; }, "TypeError"},
      {"dataset identity not an object", [&] { result["dataset"] = "md5"; }, "TypeError"},
  };
  for (const auto& c : cases) {
    platform = FakePlatform();
    result = analysis_result(artifact(87.5));
    c.arrange();
    const auto failure = publish_failure();
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      EXPECT_EQ(type_name_of(e), c.error) << c.name;
    }
    EXPECT_TRUE(closings().empty()) << c.name;
  }
}

TEST_F(PublishReportTest, ClaimWithoutUsableJobIdFailsBeforeTheAnalysis) {
  const std::vector<std::pair<Json, std::string>> cases = {
      {Json{{"simulatorId", "s"}}, "KeyError"},
      {Json{{"jobId", Json::object()}}, "TypeError"},
      {Json{{"jobId", nullptr}}, "TypeError"},
      {Json::array(), "TypeError"},
  };
  for (const auto& [claim, error] : cases) {
    platform.calls.clear();
    platform.on_start = [claim](const testing::PlatformCall&) { return claim; };
    try {
      publish();
      ADD_FAILURE() << "no failure";
    } catch (const std::exception& e) {
      EXPECT_EQ(type_name_of(e), error) << claim.dump();
      if (error == "KeyError") {
        EXPECT_STREQ(e.what(), "'jobId'");
      }
    }
    EXPECT_TRUE(actions_requests.empty());
    EXPECT_THAT(platform.ops(), ElementsAre("start"));
  }
}

class CloseClaimTest : public ::testing::Test {
 protected:
  void close(std::string reason) {
    loop.run(_close_claim(platform, "org-1", "sim-1", "impl-1", "job-9", std::move(reason)));
  }
  Loop loop;
  FakePlatform platform;
  CapturedLog log;
};

TEST_F(CloseClaimTest, SendsTheReasonUnchanged) {
  const std::string reason(500, 'r');
  close(reason);
  ASSERT_EQ(platform.count("submit"), 1u);
  EXPECT_THAT(platform.calls[0].args, ElementsAre("org-1", "sim-1", "impl-1", "job-9"));
  EXPECT_EQ(platform.calls[0].body.dump(), Json({{"failure", reason}}).dump());
  EXPECT_TRUE(log.records().empty());
}

TEST_F(CloseClaimTest, OrdinaryFailuresAreSwallowedWithOneDebugRecord) {
  const std::vector<std::pair<std::function<Json(const testing::PlatformCall&)>, std::string>> cases = {
      {[](const testing::PlatformCall&) -> Json {
         throw outside::APIStatusError(409, "claim already closed");
       },
       "claim already closed"},
      {[](const testing::PlatformCall&) -> Json { throw std::runtime_error("socket reset"); },
       "socket reset"},
  };
  for (const auto& [handler, message] : cases) {
    CapturedLog captured;
    platform.on_submit = handler;
    EXPECT_NO_THROW(close("why"));
    EXPECT_THAT(captured.records(), ElementsAre("debug Could not close the report claim job-9: " + message));
  }
}

TEST_F(CloseClaimTest, AClosingThatHangsIsBoundedAndSwallowed) {
  ScopedTiming fast(Timing{.close_claim_s = 0.01});
  platform.hang_on = "submit";
  EXPECT_NO_THROW(close("why"));
  EXPECT_THAT(log.records(), ElementsAre("debug Could not close the report claim job-9: "));
}

TEST_F(CloseClaimTest, CancellationPropagates) {
  platform.hang_on = "submit";
  platform.on_hang = [&] { loop.cancel_soon(); };
  try {
    close("why");
    FAIL() << "no failure";
  } catch (...) {
    EXPECT_TRUE(is_cancellation(std::current_exception()));
  }
  EXPECT_TRUE(log.records().empty());
}

}  // namespace
}  // namespace nalto
