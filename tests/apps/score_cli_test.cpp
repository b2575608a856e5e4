// `nalto sim score`: the replay and the node's analysis without the platform, what it prints and what
// its summary holds.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>

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
  {"key": "t", "raw_name": "temp", "score_percent": 91.25, "nrmse": 0.0875, "lag_steps": 1,
   "n_rows": 30, "normalized_by": "range"},
  {"key": "h", "raw_name": "humidity", "score_percent": 40.0, "nrmse": 0.6, "lag_steps": 0, "n_rows": 30,
   "normalized_by": "range"}])");

const Json DIAGNOSTICS = Json::parse(R"({
  "search_lag_rows": 10,
  "sensors": [
    {"key": "t", "raw_name": "temp", "lag_rows": 1, "bias": 0.25, "gain": 0.98, "correlation": 0.99, "n_rows": 29},
    {"key": "h", "raw_name": "humidity", "lag_rows": -2, "bias": -3.5, "gain": 1.4, "correlation": 0.5,
     "n_rows": 28}],
  "episode_scores": [{"episode": 0, "score_percent": 80.5}, {"episode": 1, "score_percent": 52.0},
                     {"episode": 2, "score_percent": null}, {"episode": 3, "score_percent": 71.0}],
  "hints": ["'humidity' is off mostly by an offset: the sim's values are 3.5 lower on average"]})");

class ScoreCliTest : public ::testing::Test {
 protected:
  ScoreCliTest() {
    std::string pattern = (fs::temp_directory_path() / "nalto-score-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir = pattern;
    sim = (dir / "room_sim.sh").string();
    std::ofstream(sim) << "#!/bin/sh\n";
    runtime.client->on_sensor_space_info = [] { return testing::box_space({"temp", "humidty"}); };
    runtime.client->on_reset = [] { return Json::array({Json::array({20.0, 1.0}), Json::object()}); };
    runtime.client->on_step = [](const Json&, int) {
      return Json::array({Json::array({20.0, 1.0}), 0.0, false, false, Json::object()});
    };

    node.server.Get(R"(/ml/datasets/room)", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(R"({"id":"ds-1","name":"Room","cycles":{"count":4}})", "application/json");
    });
    node.server.Post(
        "/ml/analysis-actions", [this](const httplib::Request& request, httplib::Response& response) {
          Json episodes = Json::array();
          const Json asked = Json::parse(request.body);
          for (const Json& episode : asked.at("episodes"))
            episodes.push_back({{"episode", episode}, {"n_rows", 3}, {"actions", {{"p", {0.1, 0.2, 0.3}}}}});
          response.set_content(Json{{"episodes", episodes},
                                    {"raw_names", {{"t", "temp"}, {"h", "humidity"}, {"p", power}}},
                                    {"sensor_variables", {"t", "h"}},
                                    {"action_variables", {"p"}}}
                                   .dump(),
                               "application/json");
        });
    node.server.Post("/ml/sim-score-rollouts",
                     [this](const httplib::Request& request, httplib::Response& response) {
                       const std::lock_guard lock(mutex);
                       score_bodies.push_back(Json::parse(request.body));
                       response.set_content(answer.dump(), "application/json");
                     });
    node.start();
  }
  ~ScoreCliTest() override { fs::remove_all(dir); }

  cli::Outcome score(const std::string& extra) {
    auto parsed = testing::parse_nalto("sim score --path " + sim + " --dataset room " + extra);
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
  std::string power = "power";
  Json answer{{"warnings", Json::array({"'humidity' has no recorded value at 1 of the 12 rows replayed"})},
              {"dataset", {{"uuid", "ds-1"}, {"selected_episodes", {0, 1, 2, 3}}}},
              {"evaluation", {{"score_percent", 65.62}, {"sensors", SENSORS}}},
              {"summary", {{"episodes", 4}}},
              {"diagnostics", DIAGNOSTICS}};
  std::mutex mutex;
  std::vector<Json> score_bodies;
  testing::ScopedEnv state_home{"XDG_STATE_HOME",
                                (fs::temp_directory_path() / "nalto-score-no-state").string()};
  testing::CapturedConsole console;
  testing::FakeNode node;
  testing::FakeSimRuntime runtime;
};

TEST_F(ScoreCliTest, ScoresWithoutTheClaimAndPrintsWarningsHintsScoreAndWorstEpisodes) {
  ASSERT_EQ(score("--max-lag-steps 2 --search-lag 7").exit_status, 0) << console.err();
  ASSERT_EQ(score_bodies.size(), 1u);
  const Json& body = score_bodies[0];
  for (const char* claim_member :
       {"simulator_id", "simulator_implementation_id", "validation_run_id", "bundle_content_hash"})
    EXPECT_FALSE(body.contains(claim_member)) << claim_member;
  EXPECT_EQ(body["dataset_uuid"], "ds-1");
  EXPECT_EQ(body["max_lag_steps"], 2);
  EXPECT_EQ(body["search_lag_rows"], 7);
  EXPECT_EQ(body["episodes"].size(), 4u);
  EXPECT_EQ(console.out(),
            "warning: the sim's sensor 'humidty' matches no dataset column, so it is not scored; closest: "
            "'humidity', 'temp'\n"
            "warning: 'humidity' has no recorded value at 1 of the 12 rows replayed\n"
            "warning: 'humidity' is off mostly by an offset: the sim's values are 3.5 lower on average\n"
            "✓ Analyzed 4 episodes: score 65.62\n"
            "Worst episodes: 1 (52.0), 3 (71.0), 0 (80.5)\n");
  EXPECT_FALSE(fs::exists(fs::temp_directory_path() / "nalto-score-no-state")) << "no state file";
}

TEST_F(ScoreCliTest, DefaultsAreThePlatformsLagWindowAndTheNodesSearch) {
  ASSERT_EQ(score("").exit_status, 0) << console.err();
  ASSERT_EQ(score_bodies.size(), 1u);
  EXPECT_EQ(score_bodies[0]["max_lag_steps"], 3);
  EXPECT_EQ(score_bodies[0]["search_lag_rows"], 10);
}

TEST_F(ScoreCliTest, VerboseShowsThePlanEachSensorsDiagnosticsAndEachEpisode) {
  ASSERT_EQ(score("-v").exit_status, 0) << console.err();
  const std::string out = console.out();
  const std::size_t plan = out.find("Plan against 'room'"), line = out.find("score 65.62"),
                    sensors = out.find("Sensors, worst first"), why = out.find("Why, sensor by sensor"),
                    episodes = out.find("Episodes, worst first");
  EXPECT_LT(plan, line);
  EXPECT_LT(line, sensors);
  EXPECT_LT(sensors, why);
  EXPECT_LT(why, episodes);
  EXPECT_NE(episodes, std::string::npos);
  EXPECT_THAT(out, HasSubstr("not scored: no sensor column; closest: 'humidity', 'temp'"));
  EXPECT_THAT(out, HasSubstr("│ humidity │ -2           │ -3.5 │ 1.400 │ 0.500       │"));
  EXPECT_THAT(out, HasSubstr("│ temp     │ 1            │ 0.25 │ 0.980 │ 0.990       │"));
  EXPECT_LT(out.find("│ 1       │ 52.00 │"), out.find("│ 2       │ -     │")) << "unscored episodes last";
}

TEST_F(ScoreCliTest, SummaryHoldsTheScoreSensorsWithDiagnosticsEpisodesAndUnmatchedNames) {
  ASSERT_EQ(score(json_option()).exit_status, 0) << console.err();
  const Json written = summary();
  EXPECT_EQ(written["outcome"], "scored");
  EXPECT_EQ(written["exit_status"], 0);
  EXPECT_EQ(written["score_percent"], 65.62);
  EXPECT_EQ(written["episodes"], 4);
  EXPECT_TRUE(written["error"].is_null());
  EXPECT_TRUE(written["evidence"].is_null());
  EXPECT_EQ(written["sensors"][1], Json::parse(R"({"raw_name": "humidity", "key": "h", "score_percent": 40.0,
      "nrmse": 0.6, "lag_steps": 0, "normalized_by": "range", "n_rows": 30, "lag_rows": -2, "bias": -3.5,
      "gain": 1.4, "correlation": 0.5})"));
  EXPECT_EQ(written["episode_scores"][0], Json::parse(R"({"episode": 1, "score_percent": 52.0})"));
  EXPECT_EQ(written["episode_scores"].size(), 4u);
  EXPECT_EQ(written["unmatched"],
            Json::parse(R"({"sensors": [{"name": "humidty", "closest": ["humidity", "temp"]}],
                                                  "actions": []})"));
  EXPECT_EQ(written["warnings"].size(), 3u) << "every warning line printed";
  EXPECT_FALSE(written.contains("claim"));
}

TEST_F(ScoreCliTest, AnEvidencePageIsAskedOnlyWithTheFlagAndItsPathOrRefusalIsShownAndSummarised) {
  ASSERT_EQ(score(json_option()).exit_status, 0) << console.err();
  EXPECT_FALSE(score_bodies.back().contains("evidence_page")) << "nothing asked without the flag";
  EXPECT_FALSE(summary().contains("evidence_page"));
  EXPECT_THAT(console.out(), Not(HasSubstr("evidence page")));

  answer["evidence_page"] = {{"id", "20261210T083000Z-1a2b"},
                             {"path", "/state/pages/20261210T083000Z-1a2b.html"}};
  ASSERT_EQ(score("--evidence-page" + json_option()).exit_status, 0) << console.err();
  EXPECT_EQ(score_bodies.back()["evidence_page"], Json({{"sim", sim}}));
  EXPECT_THAT(console.out(), HasSubstr("Worst episodes: 1 (52.0), 3 (71.0), 0 (80.5)\n"
                                       "Evidence page: /state/pages/20261210T083000Z-1a2b.html\n"));
  EXPECT_EQ(summary()["evidence_page"], "/state/pages/20261210T083000Z-1a2b.html");

  answer["evidence_page"] = {{"id", nullptr},
                             {"path", nullptr},
                             {"refused",
                              "this compute node writes no evidence pages (its operator started it "
                              "with --no-evidence-pages)"}};
  ASSERT_EQ(score("--evidence-page" + json_option()).exit_status, 0) << console.err() << "a page is no score";
  const std::string refusal =
      "no evidence page: this compute node writes no evidence pages (its operator started it with "
      "--no-evidence-pages)";
  EXPECT_THAT(console.out(), HasSubstr("warning: " + refusal + "\n"));
  EXPECT_TRUE(summary()["evidence_page"].is_null());
  EXPECT_EQ(summary()["warnings"].back(), refusal);
}

TEST_F(ScoreCliTest, AnUnmatchedActionKeepsThePlansRefusalAndNamesTheClosestColumnsAfterIt) {
  power = "heater power";
  EXPECT_EQ(score(json_option()).exit_status, 1);
  EXPECT_THAT(console.err(), HasSubstr("Closest action columns to 'power': 'heater power'\n"));
  EXPECT_LT(console.err().find("power"), console.err().find("Closest action columns"));
  EXPECT_TRUE(score_bodies.empty()) << "nothing was scored";
  const Json written = summary();
  EXPECT_EQ(written["outcome"], "failed");
  EXPECT_EQ(written["unmatched"]["actions"],
            Json::parse(R"([{"name": "power", "closest": ["heater power"]}])"));
  EXPECT_EQ(written["error"]["message"], console.err().substr(0, console.err().find('\n')));
}

TEST_F(ScoreCliTest, AnAnswerWithoutAnEvaluationFailsWithTheNodesReason) {
  answer["evaluation"] = nullptr;
  answer["warnings"] = Json::array({"Nothing could be compared with the dataset: no sensor was predicted"});
  EXPECT_EQ(score(json_option()).exit_status, 1);
  EXPECT_THAT(console.err(),
              HasSubstr("Nothing could be compared with the dataset: no sensor was predicted"));
  EXPECT_THAT(console.out(), Not(HasSubstr("✓ Analyzed")));
  EXPECT_EQ(summary()["outcome"], "failed");
  EXPECT_TRUE(summary()["score_percent"].is_null());
}

TEST_F(ScoreCliTest, AFailedReplayShowsTheEvidenceAndAnInterruptionEndsBySignal) {
  runtime.client->on_step = [](const Json&, int row) -> Json {
    if (row == 2) throw SimCallError("the model diverged");
    return Json::array({Json::array({20.0, 1.0}), 0.0, false, false, Json::object()});
  };
  EXPECT_EQ(score(json_option()).exit_status, 1);
  EXPECT_THAT(console.err(), HasSubstr("The sim failed while replaying the dataset"));
  EXPECT_THAT(console.err(), HasSubstr("The sim failed in Step, episode 0, row 2"));
  EXPECT_EQ(summary()["evidence"]["call"], "Step");

  runtime.client->on_step = [](const Json&, int) {
    return Json::array({Json::array({20.0, 1.0}), 0.0, false, false, Json::object()});
  };
  runtime.client->hang_on = "step";
  runtime.client->on_hang = [] { std::raise(SIGTERM); };
  const cli::Outcome interrupted = score(json_option());
  EXPECT_EQ(interrupted.signal, SIGTERM);
  EXPECT_EQ(summary()["outcome"], "interrupted");
  EXPECT_EQ(summary()["exit_status"], 143);
}

TEST_F(ScoreCliTest, MalformedDiagnosticsAreLeftOutAndTheScoreStands) {
  for (const Json& diagnostics :
       {Json("odd"), Json{{"hints", "odd"}, {"sensors", 7}, {"episode_scores", {1, "x"}}},
        Json{{"sensors", {{{"key", "t"}, {"lag_rows", "late"}, {"bias", "x"}}}}}}) {
    answer["diagnostics"] = diagnostics;
    EXPECT_EQ(score("-v" + json_option()).exit_status, 0) << diagnostics << console.err();
    EXPECT_EQ(summary()["score_percent"], 65.62) << diagnostics;
  }
}

TEST_F(ScoreCliTest, BadUsageEndsWithTwo) {
  for (const std::string extra :
       {"--search-lag -1", "--search-lag 1001", "--max-lag-steps x", "--max-episodes 0", "--jobs -1",
        "--call-timeout 0", "--env-init [1]", "--bundle x"}) {
    EXPECT_EQ(score(extra).exit_status, 2) << extra;
  }
  EXPECT_EQ(std::get<int>(testing::parse_nalto("sim score --dataset room")), 2) << "--path is required";
}

}  // namespace
}  // namespace nalto
