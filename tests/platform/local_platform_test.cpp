#include "nalto/platform/local_platform.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using platform::LocalPlatform;
using platform::LocalPlatformOptions;
using platform::StateFileError;
using ::testing::HasSubstr;
using testing::Loop;

const std::string MD5(32, 'a'), SHA256(64, 'b');

Json artifact(Json score = 87.5) {
  return Json{{"schema", "simulator_validation/v2"},
              {"dataset", {{"uuid", "ds-1"}, {"selected_episodes", {0, 1}}}},
              {"evaluation", {{"score_percent", score}}}};
}

Json submission(Json score = 87.5) {
  return Json{{"simulatorValidation", artifact(std::move(score))},
              {"dataset", {{"contentMd5", MD5}, {"contentSha256", SHA256}}},
              {"warnings", Json::array()}};
}

std::string read_text(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class LocalPlatformTest : public ::testing::Test {
 protected:
  LocalPlatformTest() {
    std::string pattern = (fs::temp_directory_path() / "nalto-platform-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir = pattern;
  }
  ~LocalPlatformTest() override { fs::remove_all(dir); }

  fs::path state_file() const { return dir / "state" / "platform-state.json"; }

  Json start(LocalPlatform& platform, const std::string& sim = "sim-1") {
    return loop.run(platform.sims().publish_report_start("org-1", sim, "impl-1", "ds-1"));
  }
  Json submit(LocalPlatform& platform, const std::string& job, Json body, const std::string& sim = "sim-1") {
    return loop.run(platform.sims().publish_report_submit("org-1", sim, "impl-1", job, std::move(body)));
  }
  Json status(LocalPlatform& platform, const std::string& job) {
    return loop.run(platform.sims().publish_report_status("org-1", "sim-1", "impl-1", job));
  }
  // The platform's refusal status of `call`, or 0 when it was accepted.
  int refusal(const std::function<void()>& call) {
    try {
      call();
    } catch (const outside::APIStatusError& e) {
      EXPECT_FALSE(e.detail().empty());
      return e.status();
    }
    return 0;
  }

  fs::path dir;
  Loop loop;
};

TEST_F(LocalPlatformTest, ClaimsGetFreshIdsAndAreKeptInTheStateFile) {
  LocalPlatform platform(state_file());
  const Json first = start(platform);
  const Json second = start(platform);

  EXPECT_THAT(first["jobId"].get<std::string>(),
              ::testing::MatchesRegex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"));
  EXPECT_NE(first["jobId"], second["jobId"]);
  EXPECT_NE(first["validationRunId"], second["validationRunId"]);
  EXPECT_NE(first["jobId"], first["validationRunId"]);
  EXPECT_EQ(first["simulatorId"], "sim-1");
  EXPECT_EQ(first["simulatorImplementationId"], "impl-1");
  EXPECT_EQ(first["maxLagSteps"], 3);

  const std::string job = first["jobId"];
  submit(platform, job, submission());
  submit(platform, second["jobId"], Json{{"failure", "the sim crashed"}});

  const Json saved = Json::parse(read_text(state_file()));
  EXPECT_EQ(saved["claims"][job].dump(), (Json{{"org", "org-1"},
                                               {"sim", "sim-1"},
                                               {"implementation", "impl-1"},
                                               {"dataset", "ds-1"},
                                               {"state", "submitted"},
                                               {"submission", submission()}})
                                             .dump());
  EXPECT_EQ(saved["claims"][second["jobId"].get<std::string>()]["state"], "closed");
  EXPECT_EQ(saved["claims"][second["jobId"].get<std::string>()]["failure"], "the sim crashed");
  EXPECT_EQ(saved, platform.state());
}

TEST_F(LocalPlatformTest, RefusalsAndWellFormedBodies) {
  LocalPlatform platform(state_file());
  Json too_many = submission();
  too_many["warnings"] = Json::array();
  for (int i = 0; i < 51; ++i) too_many["warnings"].push_back("w");
  Json at_limits = too_many;
  at_limits["warnings"].erase(50);
  for (Json& warning : at_limits["warnings"]) warning = std::string(500, 'w');
  Json long_warning = submission();
  long_warning["warnings"] = {std::string(499, 'w') + "é€"};
  Json bad_schema = submission();
  bad_schema["simulatorValidation"]["schema"] = "simulator_validation/v1";
  Json text_score = submission("87");
  Json no_evaluation = submission();
  no_evaluation["simulatorValidation"].erase("evaluation");
  Json bad_md5 = submission();
  bad_md5["dataset"]["contentMd5"] = "md5-x";
  Json extra = submission();
  extra["note"] = "x";

  const std::vector<std::pair<std::string, Json>> bodies = {
      {"failure at 500", Json{{"failure", std::string(498, 'x') + "é€"}}},
      {"submission at the limits", at_limits},
      {"score null", submission(nullptr)},
  };
  for (const auto& [what, body] : bodies) {
    const std::string job = start(platform)["jobId"];
    EXPECT_EQ(refusal([&] { submit(platform, job, body); }), 0) << what;
  }

  const std::vector<std::pair<std::string, Json>> malformed = {
      {"not an object", Json::array()},
      {"blank failure", Json{{"failure", " \n"}}},
      {"failure over 500", Json{{"failure", std::string(501, 'x')}}},
      {"failure not alone", Json{{"failure", "x"}, {"warnings", Json::array()}}},
      {"failure not a text", Json{{"failure", 3}}},
      {"empty submission", Json::object()},
      {"wrong schema", bad_schema},
      {"score as text", text_score},
      {"no evaluation", no_evaluation},
      {"md5 not hex", bad_md5},
      {"51 warnings", too_many},
      {"a warning over 500", long_warning},
      {"unexpected member", extra},
  };
  const std::string open_job = start(platform)["jobId"];
  for (const auto& [what, body] : malformed)
    EXPECT_EQ(refusal([&] { submit(platform, open_job, body); }), 422) << what;
  EXPECT_EQ(platform.state()["claims"][open_job]["state"], "open") << "a refused body changes nothing";

  const std::string closed_job = start(platform)["jobId"];
  submit(platform, closed_job, Json{{"failure", "no artifact"}});
  const std::string submitted_job = start(platform)["jobId"];
  submit(platform, submitted_job, submission());

  const std::vector<std::tuple<std::string, std::function<void()>, int>> calls = {
      {"submit after submit", [&] { submit(platform, submitted_job, submission()); }, 409},
      {"close after submit",
       [&] {
         submit(platform, submitted_job, Json{{"failure", "x"}});
       },
       409},
      {"submit after close", [&] { submit(platform, closed_job, submission()); }, 409},
      {"unknown job", [&] { submit(platform, "job-x", submission()); }, 404},
      {"another sim's job", [&] { submit(platform, open_job, submission(), "sim-2"); }, 404},
      {"status of an unknown job", [&] { status(platform, "job-x"); }, 404},
      {"claim without dataset",
       [&] { loop.run(platform.sims().publish_report_start("org-1", "sim-1", "impl-1", "")); }, 422},
      {"link without project", [&] { loop.run(platform.project_sims().link("org-1", "", "sim-1")); }, 422},
  };
  for (const auto& [what, call, expected] : calls) EXPECT_EQ(refusal(call), expected) << what;
  EXPECT_EQ(platform.state()["claims"][submitted_job]["submission"], submission());
}

TEST_F(LocalPlatformTest, StateFileIsReplacedWholeAndNothingElseIsLeft) {
  LocalPlatform platform(state_file());
  start(platform);
  std::atomic<bool> stop = false;
  std::atomic<int> reads = 0, torn = 0;
  std::thread reader([&] {
    while (!stop) {
      const std::string text = read_text(state_file());
      if (!Json::accept(text)) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 50; ++i) {
    const std::string job = start(platform)["jobId"];
    submit(platform, job, submission());
  }
  stop = true;
  reader.join();

  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0);
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(state_file().parent_path()))
    files.push_back(entry.path().filename().string());
  EXPECT_THAT(files, ::testing::ElementsAre("platform-state.json"));
  EXPECT_EQ(Json::parse(read_text(state_file()))["claims"].size(), 51u);
}

TEST_F(LocalPlatformTest, ExistingStateIsLoadedAndCorruptStateRefused) {
  std::string job;
  {
    LocalPlatform first(state_file());
    loop.run(first.project_sims().link("org-1", "Kitchen", "sim-1"));
    job = start(first)["jobId"];
    submit(first, job, submission());
  }
  LocalPlatform again(state_file());
  EXPECT_EQ(refusal([&] { submit(again, job, submission()); }), 409);
  const Json written = status(again, job);
  ASSERT_EQ(written["runs"].size(), 1u) << "the link was kept";
  EXPECT_EQ(written["runs"][0]["score"], 87.5);

  const std::vector<std::string> corrupt = {
      "",
      "{",
      "[]",
      R"({"claims": [], "links": []})",
      R"({"claims": {}})",
      R"({"claims": {"j": {"org": "o", "sim": "s", "implementation": "i", "dataset": "d", "state": "lost"}},
          "links": []})",
      R"({"claims": {}, "links": [{"org": "o"}]})",
  };
  for (const std::string& text : corrupt) {
    std::ofstream(state_file()) << text;
    try {
      LocalPlatform platform(state_file());
      ADD_FAILURE() << "loaded: " << text;
    } catch (const StateFileError& e) {
      EXPECT_THAT(e.what(), HasSubstr(state_file().string())) << text;
    }
    EXPECT_EQ(read_text(state_file()), text) << "never overwritten";
  }
}

TEST_F(LocalPlatformTest, BuildAndWritingOptionsGiveTheOutcomesTheStepRenders) {
  struct Case {
    std::string what;
    LocalPlatformOptions options;
    bool linked;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {"ready", {}, true, "│ Kitchen  │ ready  │ 87.5  │"},
      {"no use case", {}, false, "No use case uses 'Room'"},
      {"build running", {.build_polls = 1}, true, "The platform is still building 'Room'"},
      {"build failed", {.build_fails = true}, true, "The platform could not build 'Room'"},
      {"writing delayed", {.writing_polls = 2}, true, "│ Kitchen  │ ready  │ 87.5  │"},
      {"writing past the deadline", {.writing_polls = 1000}, true, "still writing the report"},
  };
  for (const Case& c : cases) {
    testing::CapturedConsole console;
    ScopedTiming timing{Timing{.report_timeout_s = 0.05, .report_poll_s = 0.001}};
    fs::remove_all(dir / "state");
    LocalPlatform platform(state_file(), c.options);
    if (c.linked) loop.run(platform.project_sims().link("org-1", "Kitchen", "sim-1"));
    loop.run(platform.project_sims().link("org-1", "Elsewhere", "sim-2"));
    const std::string job = start(platform)["jobId"];
    submit(platform, job, submission());

    const Json last = loop.run(wait_for_reports(platform, "org-1", "sim-1", "impl-1", job));
    render_reports(last, "Room");
    EXPECT_THAT(console.out(), HasSubstr(c.printed)) << c.what;
    if (c.what == "writing delayed") {
      EXPECT_EQ(last["eventStatus"], "done");
      EXPECT_THAT(console.out(), ::testing::Not(HasSubstr("still writing"))) << "settled after 3 polls";
    }
    if (c.what == "writing past the deadline") {
      EXPECT_EQ(last["runs"][0]["status"], "writing");
    }
  }
}

TEST_F(LocalPlatformTest, DefaultStatePathFollowsTheStateHome) {
  testing::ScopedEnv home("HOME", "/home/ada");
  {
    testing::ScopedEnv state("XDG_STATE_HOME", "/var/state");
    EXPECT_EQ(platform::default_state_path(), "/var/state/nalto/platform-state.json");
  }
  for (const char* ignored : {"", "relative/state"}) {
    testing::ScopedEnv state("XDG_STATE_HOME", ignored);
    EXPECT_EQ(platform::default_state_path(), "/home/ada/.local/state/nalto/platform-state.json") << ignored;
  }
}

// The step and the local platform agree on every call and body they exchange.
class PublishOnLocalPlatformTest : public LocalPlatformTest {
 protected:
  PublishOnLocalPlatformTest() {
    node.server.Get(R"(/ml/datasets/(.+))", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(R"({"id":"ds-1","name":"Room","cycles":{"count":2}})", "application/json");
    });
    node.server.Post("/ml/analysis-actions", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(R"({"episodes": [{"episode": 0, "n_rows": 2, "actions": {"p": [0.1, 0.2]}}],
                               "raw_names": {"t": "temp", "p": "power"},
                               "sensor_variables": ["t"], "action_variables": ["p"]})",
                           "application/json");
    });
    node.server.Post("/ml/sim-analyze-rollouts",
                     [this](const httplib::Request& request, httplib::Response& response) {
                       analysis_request = Json::parse(request.body);
                       response.set_content(analysis.dump(), "application/json");
                     });
    node.start();
  }

  void publish(LocalPlatform& platform) {
    loop.run(publish_report(platform, "org-1", "sim-1", "Room", "impl-1", "/sims/room", SHA256, "room",
                            {.project_id = "Kitchen"}));
  }

  testing::FakeNode node;
  testing::FakeSimRuntime runtime;
  testing::CapturedConsole console;
  Json analysis_request;
  Json analysis{{"warnings", {"episode 0 stopped early"}},
                {"dataset", {{"content_md5", MD5}, {"content_sha256", SHA256}}},
                {"simulator_validation", artifact(91.25)}};
};

TEST_F(PublishOnLocalPlatformTest, SubmittedAnalysisIsReported) {
  LocalPlatform platform(state_file());
  publish(platform);

  const Json& claims = platform.state()["claims"];
  ASSERT_EQ(claims.size(), 1u);
  const std::string job = claims.begin().key();
  EXPECT_EQ(claims[job]["state"], "submitted");
  EXPECT_EQ(claims[job]["submission"]["simulatorValidation"], artifact(91.25));
  EXPECT_EQ(claims[job]["submission"]["warnings"], Json{"episode 0 stopped early"});
  EXPECT_EQ(analysis_request["max_lag_steps"], 3);
  EXPECT_EQ(analysis_request["simulator_id"], "sim-1");
  EXPECT_THAT(console.out(), HasSubstr("│ Kitchen  │ ready  │ 91.2  │"));
}

TEST_F(PublishOnLocalPlatformTest, FailedAnalysisClosesTheClaimWithItsReason) {
  runtime.on_check_serving = [] { throw SimCallError("UNAVAILABLE: connection refused"); };
  LocalPlatform platform(state_file());
  EXPECT_THROW(publish(platform), PublishReportError);

  const Json& claims = platform.state()["claims"];
  ASSERT_EQ(claims.size(), 1u);
  EXPECT_EQ(claims.begin()->at("state"), "closed");
  EXPECT_EQ(claims.begin()->at("failure"), "The sim did not start:");
  EXPECT_EQ(Json::parse(read_text(state_file())), platform.state());
}

}  // namespace
}  // namespace nalto
