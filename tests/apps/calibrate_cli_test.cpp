// `nalto sim calibrate` over the fake runtime and a fake node whose score falls with the distance of the
// sim's values from known ones: candidates dealt to sims side by side, failures recorded, the start
// failing, an interruption keeping the best so far, the same seed giving the same run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "apps/command_line.hpp"
#include "cli/cli.hpp"
#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"
#include "support/non_regular_files.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// The values the recorded sensors come from.
constexpr double TRUE_X = 3, TRUE_Y = -2;
// Sims made for a run: more than any test starts.
constexpr std::size_t SIMS = 90;

class CalibrateCliTest : public ::testing::Test {
 protected:
  CalibrateCliTest() {
    sim = (dir / "sim.sh").string();
    std::ofstream(sim) << "#!/bin/sh\n";
    runtime.client->on_sensor_space_info = [] { return testing::box_space({"temp", "humid"}); };
    runtime.add_sims(SIMS);
    for (std::size_t k = 0; k < SIMS; ++k) {
      // Each sim predicts its env_init's x and y at every row.
      auto observation = [this, k] {
        const Json& env_init = runtime.client_options.at(k).env_init;
        return Json::array({env_init.value("x", 0.0), env_init.value("y", 0.0)});
      };
      testing::FakeSimClient& client = *runtime.clients[k];
      client.on_make = [this, k] {
        if (refuses && refuses(runtime.client_options.at(k).env_init))
          throw SimCallError("INVALID_ARGUMENT: no");
      };
      client.on_init = [this] { max_running = std::max(max_running, ++running); };
      client.on_close = [this] { --running; };
      client.on_reset = [observation] { return Json::array({observation(), Json::object()}); };
      client.on_step = [this, k, observation](const Json&, int) {
        const bool ends = ends_early && ends_early(runtime.client_options.at(k).env_init);
        return Json::array({observation(), 0.0, ends, false, Json::object()});
      };
    }

    node.server.Get(R"(/ml/datasets/room)", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(R"({"id":"ds-1","name":"Room","cycles":{"count":4}})", "application/json");
    });
    node.server.Post(
        "/ml/analysis-actions", [this](const httplib::Request& request, httplib::Response& response) {
          ++actions_read;
          Json episodes = Json::array();
          const Json asked = Json::parse(request.body);
          for (const Json& episode : asked.at("episodes"))
            episodes.push_back({{"episode", episode}, {"n_rows", 3}, {"actions", {{"p", {0.1, 0.2, 0.3}}}}});
          response.set_content(Json{{"episodes", episodes},
                                    {"raw_names", {{"t", "temp"}, {"h", "humid"}, {"p", "power"}}},
                                    {"sensor_variables", {"t", "h"}},
                                    {"action_variables", {"p"}}}
                                   .dump(),
                               "application/json");
        });
    node.server.Post(
        "/ml/sim-score-rollouts", [this](const httplib::Request& request, httplib::Response& response) {
          const int now = ++scoring;
          {
            const std::lock_guard lock(mutex);
            max_scoring = std::max(max_scoring, now);
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(scoring_ms));
          const Json body = Json::parse(request.body);
          Json answer = score_answer(body);
          if (body.contains("evidence_page")) {
            const std::lock_guard lock(mutex);
            pages_asked.push_back(body["evidence_page"]);
            const std::string id = "page-" + std::to_string(pages_asked.size());
            answer["evidence_page"] =
                pages_refused.empty() ? Json{{"id", id}, {"path", "/state/pages/" + id + ".html"}}
                                      : Json{{"id", nullptr}, {"path", nullptr}, {"refused", pages_refused}};
          }
          response.set_content(answer.dump(), "application/json");
          --scoring;
        });
    node.start();
  }

  // Each sensor's NRMSE: its mean distance from the true value, over 10.
  static Json score_answer(const Json& body) {
    double t = 0, h = 0;
    std::size_t rows = 0;
    for (const Json& episode : body.at("episodes")) {
      for (const Json& value : episode.at("predictions").at("t")) t += std::abs(value.get<double>() - TRUE_X);
      for (const Json& value : episode.at("predictions").at("h")) h += std::abs(value.get<double>() - TRUE_Y);
      rows += episode.at("predictions").at("t").size();
    }
    const double nrmse_t = t / static_cast<double>(rows) / 10, nrmse_h = h / static_cast<double>(rows) / 10;
    const auto score = [](double nrmse) { return std::round(100 * std::max(0.0, 1 - nrmse) * 100) / 100; };
    return {
        {"warnings", Json::array()},
        {"dataset", {{"rows_replayed", rows}}},
        {"evaluation",
         {{"score_percent", score((nrmse_t + nrmse_h) / 2)},
          {"sensors",
           {{{"key", "t"}, {"raw_name", "temp"}, {"score_percent", score(nrmse_t)}, {"nrmse", nrmse_t}},
            {{"key", "h"}, {"raw_name", "humid"}, {"score_percent", score(nrmse_h)}, {"nrmse", nrmse_h}}}}}}};
  }

  cli::Outcome calibrate(const std::string& extra) {
    auto parsed = testing::parse_nalto("sim calibrate --path " + sim + " --dataset room --out " +
                                       (dir / "out.json").string() + " --json " +
                                       (dir / "summary.json").string() + " " + extra);
    if (const int* status = std::get_if<int>(&parsed)) return {.exit_status = *status};
    return cli::run(std::get<cli::Command>(parsed), runtime);
  }

  static Json read_json(const fs::path& file) {
    std::ifstream in(file);
    return Json::parse(in);
  }
  Json summary() const { return read_json(dir / "summary.json"); }

  testing::TempFolder folder;
  const fs::path dir = folder.path();
  std::string sim;
  std::function<bool(const Json& env_init)> refuses;     // the sims' Make fails for these
  std::function<bool(const Json& env_init)> ends_early;  // and their episodes end after a step
  int running = 0, max_running = 0;                      // sims connected, on the test's thread
  std::atomic<int> actions_read = 0, scoring = 0;
  int scoring_ms = 0;
  std::mutex mutex;
  int max_scoring = 0;
  std::vector<Json> pages_asked;  // the evidence_page members of the scoring requests
  std::string pages_refused;      // the node's reason, when it writes no pages
  testing::ScopedEnv state_home{"XDG_STATE_HOME",
                                (fs::temp_directory_path() / "nalto-calibrate-no-state").string()};
  testing::CapturedConsole console;
  testing::FakeNode node;
  testing::FakeSimRuntime runtime;
};

const std::string XY = "--param x=-10..10 --param y=-10..10 --holdout 0 ";

TEST_F(CalibrateCliTest, DealsCandidatesToSimsSideBySideAndRecoversTheValues) {
  ASSERT_EQ(calibrate(XY + "--budget 40 --jobs 2").exit_status, 0) << console.err();
  const Json out = read_json(dir / "out.json");
  EXPECT_NEAR(out["x"].get<double>(), TRUE_X, 0.5) << out;
  EXPECT_NEAR(out["y"].get<double>(), TRUE_Y, 0.5) << out;
  EXPECT_EQ(actions_read, 1);  // the recorded actions are read once for every candidate
  EXPECT_EQ(max_running, 2);
  // The start replays its 4 episodes on 2 sims; each candidate after it runs on one of its own.
  EXPECT_EQ(runtime.starts.size(), 2u + 39u);
  EXPECT_EQ(runtime.processes_alive(), 0);

  const Json s = summary();
  EXPECT_EQ(s["outcome"], "calibrated");
  EXPECT_EQ(s["evaluations"], 40);
  EXPECT_EQ(s["failed_evaluations"], 0);
  EXPECT_EQ(s["fit"]["episodes"], Json::array({0, 1, 2, 3}));
  EXPECT_EQ(s["fit"]["before"], 75.0);  // the start is the middle: 0 and 0
  EXPECT_GT(s["fit"]["after"].get<double>(), 97.5);
  EXPECT_EQ(s["env_init"], out);
  EXPECT_EQ(s["parameters"][0]["start"], 0.0);
  EXPECT_EQ(s["parameters"][0]["at_bound"], false);
  EXPECT_THAT(console.out(), HasSubstr("Score on the 4 fit episodes: 75.0 → "));
}

TEST_F(CalibrateCliTest, AnEvidencePageDrawsTheBestValuesAgainstTheStartsPage) {
  ASSERT_EQ(calibrate(XY + "--budget 6").exit_status, 0) << console.err();
  EXPECT_TRUE(pages_asked.empty()) << "nothing asked without the flag";
  EXPECT_FALSE(summary().contains("evidence_page"));

  const std::size_t starts = runtime.starts.size();
  ASSERT_EQ(calibrate(XY + "--budget 6 --evidence-page").exit_status, 0) << console.err();
  ASSERT_EQ(pages_asked.size(), 2u) << "the start's page, then the best's drawn against it";
  EXPECT_EQ(pages_asked[0], Json({{"sim", sim}, {"caption", "start: x=0 y=0"}}));
  EXPECT_EQ(pages_asked[1]["before_page"], "page-1");
  const Json s = summary();
  EXPECT_EQ(pages_asked[1]["caption"],
            "calibrated: x=" + calibrate::shown(s["parameters"][0]["best"].get<double>()) +
                " y=" + calibrate::shown(s["parameters"][1]["best"].get<double>()));
  EXPECT_EQ(runtime.starts.size() - starts, 7u) << "one replay more than the budget, for the page";
  EXPECT_THAT(console.out(), HasSubstr("Evidence page: /state/pages/page-2.html\n"));
  EXPECT_EQ(s["evidence_page"], "/state/pages/page-2.html");

  pages_asked.clear();
  pages_refused = "this compute node has no --state-dir to keep evidence pages in";
  ASSERT_EQ(calibrate(XY + "--budget 6 --evidence-page").exit_status, 0) << console.err();
  EXPECT_EQ(pages_asked.size(), 1u) << "no replay for a page the node will not write";
  EXPECT_THAT(console.out(), HasSubstr("warning: no evidence page: " + pages_refused + "\n"));
  EXPECT_TRUE(summary()["evidence_page"].is_null());
}

TEST_F(CalibrateCliTest, ScoringRequestsInFlightStayWithinTheNodesFour) {
  scoring_ms = 30;
  ASSERT_EQ(calibrate(XY + "--budget 14 --jobs 7").exit_status, 0) << console.err();
  EXPECT_EQ(max_running, 7);
  EXPECT_LE(max_scoring, 4);
  EXPECT_GE(max_scoring, 2);
}

TEST_F(CalibrateCliTest, AFailedCandidateIsRecordedAndTheRunGoesOn) {
  refuses = [](const Json& env_init) { return env_init.value("x", 0.0) > 5; };
  // A sim that ends its episodes early is scored on fewer rows: no fit, however well they score.
  ends_early = [](const Json& env_init) { return env_init.value("y", 0.0) < -6; };
  ASSERT_EQ(calibrate(XY + "--budget 40 -v").exit_status, 0) << console.err();
  const Json s = summary();
  EXPECT_GT(s["failed_evaluations"].get<int>(), 0);
  EXPECT_EQ(s["outcome"], "calibrated");
  const Json out = read_json(dir / "out.json");
  EXPECT_LE(out["x"].get<double>(), 5);
  EXPECT_GE(out["y"].get<double>(), -6);
  EXPECT_THAT(console.out(), HasSubstr("failed (x="));
  EXPECT_THAT(console.out(), HasSubstr("INVALID_ARGUMENT: no"));
  EXPECT_THAT(console.out(), HasSubstr("the sim stopped after 8 of the 12 rows the start replayed"));
  EXPECT_EQ(runtime.processes_alive(), 0);
}

TEST_F(CalibrateCliTest, TheStartFailingOrTheFirstFiveCandidatesFailingEndsTheRun) {
  refuses = [](const Json&) { return true; };
  EXPECT_EQ(calibrate(XY + "--budget 30").exit_status, 1);
  EXPECT_THAT(console.err(), HasSubstr("The sim could not be scored with the start's values:"));
  EXPECT_EQ(summary()["outcome"], "failed");
  EXPECT_EQ(summary()["evaluations"], 1);

  refuses = [](const Json& env_init) {
    return env_init.value("x", 0.0) != 0 || env_init.value("y", 0.0) != 0;
  };
  EXPECT_EQ(calibrate(XY + "--budget 30").exit_status, 1);
  EXPECT_THAT(console.err(), HasSubstr("The first 5 candidates all failed, the last one:"));
  EXPECT_EQ(summary()["evaluations"], 6);
  EXPECT_EQ(summary()["failed_evaluations"], 5);
  EXPECT_FALSE(fs::exists(dir / "out.json"));  // nothing better than the start
  EXPECT_EQ(summary()["env_init"], nullptr);
  EXPECT_EQ(runtime.processes_alive(), 0);
}

TEST_F(CalibrateCliTest, AnInterruptionStopsEverySimAndKeepsTheBestSoFar) {
  // The start runs on sims 0 and 1, then each batch of two candidates on the next two. From sim 12 on,
  // Step waits; once two wait side by side, the run is interrupted (SIGTERM: a
  // test run in the background ignores SIGINT).
  int hanging = 0;
  for (std::size_t k = 12; k < SIMS; ++k) {
    runtime.clients[k]->hang_on = "step";
    runtime.clients[k]->on_hang = [&hanging] {
      if (++hanging == 2) std::raise(SIGTERM);
    };
  }
  const cli::Outcome outcome = calibrate(XY + "--budget 40 --jobs 2 --call-timeout 30");
  EXPECT_EQ(outcome.signal, SIGTERM);
  EXPECT_EQ(hanging, 2);
  EXPECT_EQ(runtime.processes_alive(), 0);
  EXPECT_EQ(runtime.clients_alive(), 0);
  for (std::size_t k = 12; k < 14; ++k)
    EXPECT_EQ(runtime.clients[k]->cancelled, std::vector<std::string>{"step"});

  const Json s = summary();
  EXPECT_EQ(s["outcome"], "interrupted");
  EXPECT_EQ(s["evaluations"], 11);  // the start, then 10 candidates
  const Json out = read_json(dir / "out.json");
  EXPECT_EQ(s["env_init"], out);
  EXPECT_GT(s["fit"]["after"].get<double>(), s["fit"]["before"].get<double>());
}

TEST_F(CalibrateCliTest, TheSameSeedGivesTheSameRun) {
  ASSERT_EQ(calibrate(XY + "--budget 16 --jobs 3 --seed 11").exit_status, 0) << console.err();
  const Json first = summary();
  ASSERT_EQ(calibrate(XY + "--budget 16 --jobs 3 --seed 11").exit_status, 0) << console.err();
  EXPECT_EQ(summary()["parameters"], first["parameters"]);
  ASSERT_EQ(calibrate(XY + "--budget 16 --jobs 3 --seed 12").exit_status, 0) << console.err();
  EXPECT_NE(summary()["parameters"], first["parameters"]);
}

TEST_F(CalibrateCliTest, AParameterTheSimNeverReadsAndABestAtABoundAreFlagged) {
  ASSERT_EQ(
      calibrate("--param x=-10..1 --param typo.y=0..1 --param y=-10..10 --holdout 0 --budget 30").exit_status,
      0)
      << console.err();
  const Json s = summary();
  EXPECT_EQ(s["parameters"][0]["at_bound"], true);  // x wants 3
  EXPECT_EQ(s["parameters"][1]["unmoved"], true);
  EXPECT_EQ(s["parameters"][2]["unmoved"], false);
  EXPECT_EQ(s["env_init"]["typo"]["y"].is_number(), true);
  EXPECT_THAT(console.out(), HasSubstr("never moved the score: is the name right?"));
  EXPECT_THAT(console.out(), HasSubstr("at a bound: widen it"));
}

TEST_F(CalibrateCliTest, HeldOutEpisodesAreScoredBeforeAndAfterAndKeptOutOfTheFit) {
  ASSERT_EQ(calibrate("--param x=-10..10 --param y=-10..10 --holdout 0.5 --budget 20").exit_status, 0)
      << console.err();
  const Json s = summary();
  EXPECT_EQ(s["fit"]["episodes"], Json::array({0, 2}));
  EXPECT_EQ(s["holdout"]["episodes"], Json::array({1, 3}));
  EXPECT_EQ(s["holdout"]["before"], 75.0);
  EXPECT_GT(s["holdout"]["after"].get<double>(), 90);
  EXPECT_THAT(console.out(), HasSubstr("Score on the 2 held-out episodes: 75.0 → "));
}

TEST_F(CalibrateCliTest, TheDefaultOutputNeverReplacesAFile) {
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  std::ofstream("calibrated-env-init.json") << "mine\n";
  auto parsed = testing::parse_nalto("sim calibrate --path " + sim + " --dataset room " + XY + "--budget 8");
  ASSERT_TRUE(std::holds_alternative<cli::Command>(parsed));
  const cli::Outcome outcome = cli::run(std::get<cli::Command>(parsed), runtime);
  fs::current_path(before);
  ASSERT_EQ(outcome.exit_status, 0) << console.err();
  std::ifstream kept(dir / "calibrated-env-init.json");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "mine\n");
  EXPECT_TRUE(read_json(dir / "calibrated-env-init-2.json").contains("x"));
  EXPECT_THAT(console.out(), HasSubstr("Wrote calibrated-env-init-2.json"));
}

TEST_F(CalibrateCliTest, RefusesParametersItCannotSearchBeforeAnyWork) {
  for (const char* bad :
       {"--param x=1..0", "--param x=1..2 --param x=0..3", "--param x=-1..1:log",
        "--param x=1..2 --env-init {\"x\":5}", "--param x=0..1 --holdout 1", "--param x=0..1 --budget 10001"})
    EXPECT_EQ(calibrate(bad).exit_status, 2) << bad;
  auto parsed = testing::parse_nalto("sim calibrate --path " + sim + " --dataset room --param x=0..1 --out " +
                                     dir.string());
  ASSERT_TRUE(std::holds_alternative<int>(parsed));
  EXPECT_EQ(std::get<int>(parsed), 1);
  EXPECT_THAT(console.err(), HasSubstr("Could not write the calibrated env_init to '" + dir.string() + "'"));
  EXPECT_TRUE(runtime.starts.empty());
  EXPECT_EQ(actions_read, 0);
}

}  // namespace
}  // namespace nalto
