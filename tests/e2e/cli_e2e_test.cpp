// The CLI as a user runs it: the real binary, as a child process, against the reference compute node
// (another child process) and a local platform state file of its own.

#ifdef NALTO_EXE

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fixtures.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using Clock = testing::Subprocess::Clock;
using testing::exited;
using testing::ExitStatus;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::killed_by;
using ::testing::Not;
using testing::Ran;
using testing::Subprocess;

std::string read_text(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), {}};
}

Clock::time_point in(std::chrono::milliseconds limit) {
  return Clock::now() + limit;
}

// Whether the child's stderr shows `text` within `limit`.
bool err_shows(Subprocess& child, const std::string& text, std::chrono::milliseconds limit) {
  return child.read_until([&] { return child.err().find(text) != std::string::npos; }, in(limit));
}

const std::string ROOM = std::string(NALTO_EXAMPLE_SIMS_DIR) + "/heated_room/heated-room";
const std::string TEST_SIM = std::string(NALTO_TEST_SIMS_DIR) + "/test-sim";
const std::string MINIMAL_PYTHON_SIM = std::string(NALTO_EXAMPLE_SIMS_DIR) + "/python_minimal";
constexpr const char* TOKEN = "e2e-token";
constexpr int ECHO_ROWS = 14;

// A reference node per test on a free loopback port, serving the example dataset and, for the test
// sim (which echoes its one action "Value" as its one sensor "Echo"), a dataset "echo".
class CliEndToEnd : public ::testing::Test {
 protected:
  CliEndToEnd() {
    std::string pattern = (fs::temp_directory_path() / "nalto-e2e-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir_ = pattern;
    const fs::path datasets = dir_ / "datasets";
    fs::create_directories(datasets / "echo");
    fs::create_directory_symlink(fs::path(NALTO_SOURCE_DIR) / "examples/datasets/heated-room",
                                 datasets / "heated-room");
    std::ofstream(datasets / "echo/dataset.json")
        << R"({"id": "echo-1", "name": "echo", "columns": [{"key": "e", "raw_name": "Echo", "role": "sensor"},
              {"key": "v", "raw_name": "Value", "role": "action"}]})";
    // The sim echoes row k's action as row k's sensor: row k holds k and k+1. Enough rows for a score.
    {
      std::ofstream rows(datasets / "echo/rows.csv");
      rows << "episode,row,e,v\n";
      for (int row = 0; row < ECHO_ROWS; ++row) rows << "0," << row << "," << row << "," << row + 1 << "\n";
    }

    // The echo sim against recordings whose sensor is its action one row later ("trails": a sim that
    // applied each action a row late would look so) or one row earlier (a sensor that reports a row late).
    for (const auto& [name, shift] : {std::pair{"echo-trails", 1}, std::pair{"echo-leads", -1}}) {
      fs::create_directories(datasets / name);
      std::ofstream(datasets / name / "dataset.json")
          << R"({"id": ")" << name << R"(-1", "name": ")" << name
          << R"(", "columns": [{"key": "e", "raw_name": "Echo", "role": "sensor"},
                {"key": "v", "raw_name": "Value", "role": "action"}]})";
      std::ofstream rows(datasets / name / "rows.csv");
      rows << "episode,row,e,v\n";
      const auto value = [](int row) { return std::round(1000 * std::sin(row / 3.0)) / 100; };
      for (int episode = 0; episode < 2; ++episode)
        for (int row = 0; row < 40; ++row)
          rows << episode << "," << row << "," << value(row + shift) << "," << value(row) << "\n";
    }

    node_.emplace(
        std::vector<std::string>{NALTO_COMPUTE_NODE_EXE, "--datasets", datasets.string(), "--port", "0"},
        std::map<std::string, std::string>{{"NALTO_COMPUTE_TOKEN", TOKEN}});
    url_ = testing::node_url(*node_);
  }

  ~CliEndToEnd() override {
    node_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::vector<std::string> command(const std::string& sim, const std::string& dataset,
                                   const std::vector<std::string>& extra) const {
    std::vector<std::string> args = {NALTO_EXE,
                                     "sim",
                                     "publish",
                                     "--path",
                                     sim,
                                     "--dataset",
                                     dataset,
                                     "--platform-state",
                                     state_file().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  std::map<std::string, std::string> environment(std::map<std::string, std::string> env) const {
    env.emplace("NALTO_COMPUTE_URL", url_);
    env.emplace("NALTO_COMPUTE_TOKEN", TOKEN);
    return env;
  }

  std::unique_ptr<Subprocess> start(const std::string& sim, const std::string& dataset,
                                    std::vector<std::string> extra = {},
                                    std::map<std::string, std::string> env = {}) const {
    return std::make_unique<Subprocess>(command(sim, dataset, extra), environment(std::move(env)));
  }

  Ran publish(const std::string& sim, const std::string& dataset, std::vector<std::string> extra = {},
              std::map<std::string, std::string> env = {}) const {
    Ran ran =
        testing::run(command(sim, dataset, extra), std::chrono::seconds(10), environment(std::move(env)));
    if (!ran.exit) ADD_FAILURE() << "the CLI did not end within 10 s; stderr:\n" << ran.err;
    return ran;
  }

  // `nalto sim score ARGS...` against the fixture's node, with a state folder of its own.
  Ran score(const std::string& sim, const std::string& dataset, std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {NALTO_EXE, "sim", "score", "--path", sim, "--dataset", dataset};
    args.insert(args.end(), extra.begin(), extra.end());
    Ran ran = testing::run(args, std::chrono::seconds(10),
                           environment({{"XDG_STATE_HOME", (dir_ / "state").string()}}));
    if (!ran.exit) ADD_FAILURE() << "the CLI did not end within 10 s; stderr:\n" << ran.err;
    return ran;
  }

  fs::path dir() const { return dir_; }

  // `nalto data ARGS...` against the fixture's node.
  Ran data(std::vector<std::string> args, std::map<std::string, std::string> env = {}) const {
    args.insert(args.begin(), {NALTO_EXE, "data"});
    Ran ran = testing::run(args, std::chrono::seconds(10), environment(std::move(env)));
    if (!ran.exit) ADD_FAILURE() << "the CLI did not end within 10 s; stderr:\n" << ran.err;
    return ran;
  }

  fs::path datasets() const { return dir_ / "datasets"; }
  fs::path state_file() const { return dir_ / "platform-state.json"; }

  // The claims the local platform recorded, none when it never wrote its state.
  Json claims() const {
    if (!fs::exists(state_file())) return Json::object();
    std::ifstream file(state_file());
    return Json::parse(file).at("claims");
  }

  Json only_claim() const {
    const Json all = claims();
    if (all.size() != 1) throw std::runtime_error("expected one claim, found " + all.dump());
    return all.begin().value();
  }

 private:
  fs::path dir_;
  std::optional<Subprocess> node_;
  std::string url_;
};

TEST_F(CliEndToEnd, PublishesTheRoomAndPrintsTheReportTable) {
  const Ran run = publish(ROOM, "heated-room-demo", {"--bundle", ROOM, "--project", "office-heating"});

  ASSERT_EQ(run.exit, exited(0)) << run.err;
  // The dataset's fourth sensor has no sim sensor: the node names it.
  EXPECT_THAT(run.out,
              HasSubstr("✓ Added the sim to the use case\nwarning: 'outside temperature' was not scored: "
                        "the sim has no sensor of that name\n✓ Analyzed 20 episodes: score 96.96\n"))
      << "the analysis of the example dataset through the C++ room";
  EXPECT_THAT(run.out, HasSubstr("Simulation reports\n"));
  EXPECT_THAT(run.out, HasSubstr("│ Use case       │ Report │ Score │\n"));
  EXPECT_THAT(run.out, HasSubstr("│ office-heating │ ready  │"));
  const Json claim = only_claim();
  EXPECT_EQ(claim.at("state"), "submitted");
  const Json& validation = claim.at("submission").at("simulatorValidation");
  EXPECT_EQ(validation.at("schema"), "simulator_validation/v2");
  EXPECT_EQ(validation.at("simulator").at("bundle_content_hash"), sha256_file(ROOM));
}

TEST_F(CliEndToEnd, JsonDashWritesTheSummaryAloneOnStdoutAndTheLinesOnStderr) {
  const Ran run =
      publish(ROOM, "heated-room-demo", {"--bundle", ROOM, "--project", "office-heating", "--json", "-"});
  ASSERT_EQ(run.exit, exited(0)) << run.err;
  ASSERT_FALSE(run.out.empty());
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "one line of JSON and nothing else:\n" << run.out;
  const Json summary = Json::parse(run.out);
  EXPECT_EQ(summary.at("outcome"), "reported");
  EXPECT_EQ(summary.at("claim").at("state"), "submitted");
  EXPECT_EQ(summary.at("claim").at("job_id"), claims().begin().key());
  EXPECT_THAT(run.err, HasSubstr("✓ Added the sim to the use case\n"));
  EXPECT_THAT(run.err, HasSubstr("│ office-heating │ ready  │"));

  const Ran failed = publish(ROOM, "no-such-data", {"--json", "-"});
  EXPECT_EQ(failed.exit, exited(1));
  EXPECT_EQ(Json::parse(failed.out).at("outcome"), "failed");
  EXPECT_THAT(failed.err, HasSubstr("has no dataset 'no-such-data'"));
  EXPECT_FALSE(fs::exists("-")) << "no file named -";
}

TEST_F(CliEndToEnd, ScoreGivesPublishsScoreAndSensorsWithoutThePlatformAndTheSameWithTwoSims) {
  const fs::path published = dir() / "published.json", scored = dir() / "scored.json",
                 two = dir() / "two.json";
  ASSERT_EQ(publish(ROOM, "heated-room-demo", {"--bundle", ROOM, "--json", published.string()}).exit,
            exited(3));
  const std::string state_before = read_text(state_file());
  const Ran run = score(ROOM, "heated-room-demo", {"--json", scored.string()});
  ASSERT_EQ(run.exit, exited(0)) << run.err;
  EXPECT_THAT(
      run.out,
      HasSubstr("warning: 'outside temperature' was not scored: the sim has no sensor of that name\n"));
  EXPECT_THAT(run.out, HasSubstr("\n✓ Analyzed 20 episodes: score 96.96\nWorst episodes: "));
  EXPECT_EQ(read_text(state_file()), state_before) << "the platform's state is not touched";
  EXPECT_FALSE(fs::exists(dir() / "state")) << "nor is a state file of its own made";

  const Json by_publish = Json::parse(read_text(published)), by_score = Json::parse(read_text(scored));
  EXPECT_EQ(by_score.at("score_percent"), by_publish.at("score_percent"));
  EXPECT_EQ(by_score.at("episodes"), by_publish.at("episodes"));
  ASSERT_EQ(by_score.at("sensors").size(), 3u);
  for (std::size_t i = 0; i < 3; ++i)
    for (const char* member : {"raw_name", "key", "score_percent", "nrmse", "lag_steps", "normalized_by",
                               "n_rows", "lag_rows", "bias", "gain", "correlation"})
      EXPECT_EQ(by_score.at("sensors")[i].at(member), by_publish.at("sensors")[i].at(member))
          << i << " " << member;
  EXPECT_EQ(by_score.at("outcome"), "scored");
  EXPECT_EQ(by_score.at("episode_scores").size(), 20u);

  ASSERT_EQ(score(ROOM, "heated-room-demo", {"--jobs", "2", "--json", two.string()}).exit, exited(0));
  EXPECT_EQ(Json::parse(read_text(two)), by_score) << "two sims score as one";
}

TEST_F(CliEndToEnd, ScoreHintsAtActionsAppliedARowLateAndAtSensorsThatReportARowLate) {
  const Ran trails = score(TEST_SIM, "echo-trails");
  ASSERT_EQ(trails.exit, exited(0)) << trails.err;
  EXPECT_THAT(trails.out,
              HasSubstr("warning: every scored sensor of the sim trails the recording by 1 row: are "
                        "the actions applied 1 row late?"));
  const Ran leads = score(TEST_SIM, "echo-leads", {"-v"});
  ASSERT_EQ(leads.exit, exited(0)) << leads.err;
  EXPECT_THAT(leads.out,
              HasSubstr("warning: every scored sensor of the sim leads the recording by 1 row: do the "
                        "recorded sensors report 1 row late?"));
  EXPECT_THAT(leads.out, HasSubstr("Why, sensor by sensor"));
}

TEST_F(CliEndToEnd, UnknownDatasetIsNamedAndNothingIsClaimed) {
  const Ran run = publish(ROOM, "no-such-data");

  EXPECT_EQ(run.exit, exited(1));
  EXPECT_THAT(run.err, HasSubstr("has no dataset 'no-such-data'"));
  EXPECT_TRUE(claims().empty()) << claims();
}

TEST_F(CliEndToEnd, SimThatDoesNotStartIsShownWithItsOutputAndTheClaimClosed) {
  const Ran run = publish(TEST_SIM, "echo", {}, {{"NALTO_TEST_SIM_MODE", "crash-at-start"}});

  EXPECT_EQ(run.exit, exited(1));
  EXPECT_THAT(run.err, HasSubstr("The sim did not start:\n\n"));
  EXPECT_THAT(run.err, HasSubstr("test sim: the model is broken"));
  const Json claim = only_claim();
  EXPECT_EQ(claim.at("state"), "closed");
  EXPECT_EQ(claim.at("failure"), "The sim did not start:");
}

TEST_F(CliEndToEnd, NonFiniteTokensAreUnreadableValuesAndOtherTextIsNamedWithItsCall) {
  // Python's json.dumps writes NaN: the reading is unreadable, which ends the episode, and the publish
  // goes on to its report.
  const Ran nan = publish(TEST_SIM, "echo", {"--project", "p"},
                          {{"NALTO_TEST_SIM_MODE", "nan-observation"}, {"NALTO_TEST_SIM_NAN_FROM", "12"}});
  EXPECT_EQ(nan.exit, exited(0)) << nan.err;
  EXPECT_THAT(nan.out, HasSubstr("✓ Analyzed 1 episodes"));
  EXPECT_EQ(only_claim().at("state"), "submitted");

  // Ended at its first step, the episode leaves one row: fewer than the node scores a sensor over, so
  // the publish ends without a score and closes its claim with the node's warnings.
  std::filesystem::remove(state_file());
  const Ran early =
      publish(TEST_SIM, "echo", {"--project", "p"}, {{"NALTO_TEST_SIM_MODE", "nan-observation"}});
  EXPECT_EQ(early.exit, exited(1)) << early.err;
  EXPECT_THAT(early.out, HasSubstr("warning: the sim's 'Echo' could not be read at 1 row (episode 0)"));
  EXPECT_THAT(early.err, HasSubstr("'Echo' was not scored: 1 replayed row has both a recorded value and a "
                                   "prediction, and a sensor is scored over 10 rows or more"));
  EXPECT_EQ(only_claim().at("state"), "closed");

  std::filesystem::remove(state_file());
  const Ran html = publish(TEST_SIM, "echo", {}, {{"NALTO_TEST_SIM_MODE", "not-json"}});
  EXPECT_EQ(html.exit, exited(1));
  EXPECT_THAT(html.err,
              HasSubstr("The sim failed while replaying the dataset (JSONDecodeError: the sim's Step "
                        "answer is not JSON: <html>the sim is busy</html>); validate it with"));
  EXPECT_THAT(html.err, HasSubstr("The sim failed in Step, episode 0, row 1.\n"));
  EXPECT_EQ(only_claim().at("state"), "closed");
}

TEST_F(CliEndToEnd, HostileAnswersEndTheReplayWithTheClaimClosed) {
  // Each would have overflowed the tool's stack or ended it with an unexplained exception.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"deep-reset", "(JSONDecodeError: the sim's Reset answer nests deeper than 128 levels: [[[["},
      {"deep-info", "(JSONDecodeError: the sim's Step answer nests deeper than 128 levels: [[0.0], "},
      {"huge-number", "(JSONDecodeError: the sim's Step answer is not JSON: [[1e400], 0.0, false"},
  };
  for (const auto& [mode, message] : cases) {
    std::filesystem::remove(state_file());
    const Ran run = publish(TEST_SIM, "echo", {}, {{"NALTO_TEST_SIM_MODE", mode}});
    EXPECT_EQ(run.exit, exited(1)) << mode << "\n" << run.err;
    EXPECT_THAT(run.err, HasSubstr(message)) << mode;
    EXPECT_EQ(only_claim().at("state"), "closed") << mode;
  }
  // Mappings that cannot be read are no failure: the spaces are read instead.
  std::filesystem::remove(state_file());
  const Ran mappings =
      publish(TEST_SIM, "echo", {"--project", "p"}, {{"NALTO_TEST_SIM_MODE", "deep-mappings"}});
  EXPECT_EQ(mappings.exit, exited(0)) << mappings.err;
  EXPECT_EQ(only_claim().at("state"), "submitted");
}

TEST_F(CliEndToEnd, VerboseShowsThePlanAndEverySensorOfTheExampleSim) {
  const Ran run = publish(ROOM, "heated-room-demo", {"--bundle", ROOM, "--project", "office-heating", "-v"});
  ASSERT_EQ(run.exit, exited(0)) << run.err;
  for (const char* row :
       {"│ sensor │ 'Room Temperature'   │ [0]                 │ 'room  temperature'   │ scored",
        "│ sensor │ 'Wall Temperature'   │ [1]                 │ 'Wall temperature'    │ scored",
        "│ action │ 'Heater Power'       │ ['heater_power'][0] │ 'HEATER POWER'        │ replayed",
        "│ action │ 'Fan Setting'        │ ['fan']             │ 'fan setting'         │ replayed",
        "│ none   │                      │                     │ 'outside temperature' │ not scored"})
    EXPECT_THAT(run.out, HasSubstr(row));
  const std::size_t plan = run.out.find("Plan against"), score = run.out.find("✓ Analyzed 20 episodes"),
                    sensors = run.out.find("Sensors, worst first");
  EXPECT_LT(plan, score);
  EXPECT_LT(score, sensors);
  // The three scored sensors, the worst (the wall, which lags) first.
  const std::string table = run.out.substr(sensors);
  EXPECT_LT(table.find("│ Wall temperature "), table.find("│ room  temperature "));
  EXPECT_NE(table.find("│ HEATER TEMPERATURE "), std::string::npos);
}

TEST_F(CliEndToEnd, ASimThatRaisesInStepShowsItsTracebackAfterTheStepsMessage) {
  const fs::path summary = state_file().parent_path() / "summary.json";
  const Ran run =
      publish(TEST_SIM, "echo", {"--json", summary.string()}, {{"NALTO_TEST_SIM_MODE", "raise-in-step"}});
  EXPECT_EQ(run.exit, exited(1));
  const std::string message =
      "The sim failed while replaying the dataset (SimCallError: UNKNOWN: Exception calling application: "
      "division by zero); validate it with `nalto sim validate --steps 100`\n";
  const std::size_t at = run.err.find(message);
  ASSERT_NE(at, std::string::npos) << run.err;
  EXPECT_THAT(run.err.substr(at + message.size()),
              ::testing::StartsWith("The sim failed in Step, episode 0, row 1.\n"));
  EXPECT_THAT(run.err, HasSubstr("  ZeroDivisionError: division by zero\n"));

  std::ifstream in(summary);
  const Json written = Json::parse(in);
  EXPECT_EQ(written.at("claim").at("state"), "closed");
  EXPECT_EQ(written.at("outcome"), "failed");
  EXPECT_EQ(written.at("evidence").at("row"), 1);
}

TEST_F(CliEndToEnd, WrongTokenShowsTheNodesRefusal) {
  const Ran run = publish(ROOM, "heated-room-demo", {}, {{"NALTO_COMPUTE_TOKEN", "not-the-token"}});

  EXPECT_EQ(run.exit, exited(1));
  EXPECT_THAT(run.err, HasSubstr("the token does not match this compute node's: set NALTO_COMPUTE_TOKEN"));
}

TEST_F(CliEndToEnd, InterruptDuringTheReplayClosesTheClaimStopsTheSimAndEndsBySigint) {
  const testing::ProcessMark mark;
  const auto cli = start(TEST_SIM, "echo", {"--call-timeout", "60"},
                         {{"NALTO_TEST_SIM_MODE", "hang-in-step"}, {"NALTO_LOG", "debug"}});
  ASSERT_TRUE(err_shows(*cli, "Replaying episode 0", std::chrono::seconds(5))) << cli->err();

  cli->signal(SIGINT);
  const std::optional<ExitStatus> status = cli->finish(in(std::chrono::seconds(10)));

  ASSERT_TRUE(status.has_value()) << cli->err();
  EXPECT_EQ(*status, killed_by(SIGINT));
  EXPECT_THAT(cli->err(), HasSubstr("Interrupted: closing the claim and stopping the sim..."));
  const Json claim = only_claim();
  EXPECT_EQ(claim.at("state"), "closed");
  EXPECT_FALSE(claim.at("failure").get<std::string>().empty());
  EXPECT_THAT(mark.alive(), IsEmpty());
}

TEST_F(CliEndToEnd, ASimHangingInMakeOrCloseHoldsThePublishNoLongerThanTheCallTimeout) {
  const testing::ProcessMark mark;
  const Ran make =
      publish(TEST_SIM, "echo", {"--call-timeout", "0.5"}, {{"NALTO_TEST_SIM_MODE", "hang-in-make"}});
  EXPECT_EQ(make.exit, exited(1)) << make.err;
  EXPECT_EQ(make.err.find(
                "The sim failed while replaying the dataset (TimeoutError: ); validate it with `nalto sim "
                "validate --steps 100`\nThe sim's Make took longer than --call-timeout 0.5 s"),
            0u)
      << make.err;
  EXPECT_EQ(only_claim().at("state"), "closed");
  EXPECT_THAT(mark.alive(), IsEmpty());

  fs::remove(state_file());
  const Ran close =
      publish(TEST_SIM, "echo", {"--call-timeout", "0.5"}, {{"NALTO_TEST_SIM_MODE", "hang-in-close"}});
  EXPECT_NE(close.exit, exited(1)) << close.err;
  EXPECT_EQ(only_claim().at("state"), "submitted") << "a late Close is ignored";
  EXPECT_THAT(mark.alive(), IsEmpty());
}

TEST_F(CliEndToEnd, SeveralSimsSubmitTheAnalysisOfOne) {
  // Few episodes: the sanitizers' build must finish each publish within the fixture's limit too.
  const std::vector<std::string> args = {"--bundle", ROOM, "--max-episodes", "6"};
  std::vector<std::string> one_args = args, four_args = args;
  one_args.insert(one_args.end(), {"--implementation", "one"});
  four_args.insert(four_args.end(), {"--implementation", "four", "--jobs", "4"});
  const Ran one = publish(ROOM, "heated-room-demo", one_args);
  const Ran four = publish(ROOM, "heated-room-demo", four_args);

  ASSERT_EQ(one.exit, exited(3)) << one.err;
  ASSERT_EQ(four.exit, exited(3)) << four.err;
  EXPECT_EQ(four.out, one.out);
  const Json all = claims();
  ASSERT_EQ(all.size(), 2u);
  std::vector<Json> evaluations;
  for (const auto& [job, claim] : all.items())
    evaluations.push_back(claim.at("submission").at("simulatorValidation").at("evaluation"));
  EXPECT_EQ(evaluations[0], evaluations[1]);
}

TEST_F(CliEndToEnd, InterruptWithFourSimsStopsThemAllAndClosesTheClaim) {
  const testing::ProcessMark mark;
  // Every Step takes a minute: the interruption finds all four sims inside one.
  const auto cli = start(ROOM, "heated-room-demo",
                         {"--bundle", ROOM, "--jobs", "4", "--env-init", R"({"step_cost_ms": 60000})"},
                         {{"NALTO_LOG", "debug"}});
  ASSERT_TRUE(err_shows(*cli, "Replaying the dataset", std::chrono::seconds(10))) << cli->err();

  cli->signal(SIGINT);
  const std::optional<ExitStatus> status = cli->finish(in(std::chrono::seconds(10)));

  ASSERT_TRUE(status.has_value()) << cli->err();
  EXPECT_EQ(*status, killed_by(SIGINT));
  std::size_t starts = 0;
  for (std::size_t at = 0; (at = cli->err().find("Starting the sim...", at)) != std::string::npos; ++at)
    ++starts;
  EXPECT_EQ(starts, 4u) << cli->err();
  EXPECT_EQ(only_claim().at("state"), "closed");
  EXPECT_THAT(mark.alive(), IsEmpty());
}

TEST_F(CliEndToEnd, InterruptDuringTheReportWaitSaysWhatItGivesUp) {
  // The reports stay "being written" for longer than the test waits.
  const auto cli = start(TEST_SIM, "echo", {"--project", "p", "--platform-writing-polls", "1000"});
  ASSERT_TRUE(cli->read_until([&] { return cli->out().find("✓ Analyzed") != std::string::npos; },
                              in(std::chrono::seconds(5))))
      << cli->err();

  cli->signal(SIGINT);
  const std::optional<ExitStatus> status = cli->finish(in(std::chrono::seconds(5)));

  ASSERT_TRUE(status.has_value()) << cli->err();
  EXPECT_EQ(*status, killed_by(SIGINT));
  EXPECT_EQ(cli->err(), "Interrupted: the analysis is submitted; no longer waiting for the reports.\n");
  EXPECT_EQ(only_claim().at("state"), "submitted");
}

TEST_F(CliEndToEnd, ASecondInterruptKillsASimThatIgnoresTermAndItsChildAndStillClosesTheClaim) {
  const testing::ProcessMark mark;
  const auto cli = start(TEST_SIM, "echo", {"--call-timeout", "60"},
                         {{"NALTO_TEST_SIM_MODE", "hang-ignore-term"}, {"NALTO_LOG", "debug"}});
  ASSERT_TRUE(err_shows(*cli, "Replaying episode 0", std::chrono::seconds(5))) << cli->err();
  cli->signal(SIGINT);
  ASSERT_TRUE(err_shows(*cli, "Interrupted: ", std::chrono::seconds(5))) << cli->err();

  cli->signal(SIGINT);
  // Well before the 10 s the stop would wait for the sim.
  const std::optional<ExitStatus> status = cli->finish(in(std::chrono::seconds(5)));

  ASSERT_TRUE(status.has_value()) << cli->err();
  EXPECT_EQ(*status, killed_by(SIGINT));
  EXPECT_THAT(cli->err(), HasSubstr("Interrupted again: killing the sim"));
  const Json claim = only_claim();
  EXPECT_EQ(claim.at("state"), "closed");
  EXPECT_FALSE(claim.value("failure", std::string()).empty());
  EXPECT_THAT(mark.alive(), IsEmpty()) << "the sim and its grandchild";
}

TEST_F(CliEndToEnd, ValidatesTheRoomAgainstTheExampleDatasetWithoutClaiming) {
  const std::vector<std::string> args = {
      NALTO_EXE, "sim", "validate", "--path", ROOM, "--dataset", "heated-room-demo", "--steps", "20"};
  const Ran run = testing::run(args, std::chrono::seconds(10), environment({}));
  ASSERT_EQ(run.exit, exited(0)) << run.err;
  EXPECT_THAT(run.out, HasSubstr("✓ Reset and 20 steps over 1 episode\n"));
  EXPECT_THAT(run.out, HasSubstr("Plan against 'heated-room-demo'\n"));
  EXPECT_THAT(run.out, HasSubstr("'outside temperature'"));
  EXPECT_THAT(run.out, HasSubstr("✓ The sim keeps the protocol\n"));
  EXPECT_EQ(claims(), Json::object()) << "validate claims nothing";

  const std::vector<std::string> usage = {NALTO_EXE, "sim", "validate", "--path", ROOM, "--steps", "0"};
  EXPECT_EQ(testing::run(usage, std::chrono::seconds(5)).exit, exited(2));
}

TEST_F(CliEndToEnd, TheMinimalPythonSimOfTheReadmeKeepsTheProtocol) {
  const std::vector<std::string> args = {NALTO_EXE,          "sim",     "validate", "--path",
                                         MINIMAL_PYTHON_SIM, "--steps", "20"};
  const Ran run = testing::run(args, std::chrono::seconds(20), environment({}));
  ASSERT_TRUE(run.exit) << run.err;
  EXPECT_EQ(*run.exit, exited(0)) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("✓ The sim keeps the protocol\n"));
}

TEST_F(CliEndToEnd, InterruptDuringAValidateStopsTheSimAndEndsBySigint) {
  const testing::ProcessMark mark;
  const std::vector<std::string> args = {NALTO_EXE,        "sim", "validate", "--path", TEST_SIM,
                                         "--call-timeout", "60"};
  Subprocess cli(args, environment({{"NALTO_TEST_SIM_MODE", "hang-in-step"}, {"NALTO_LOG", "debug"}}));
  ASSERT_TRUE(err_shows(cli, "Stepping the sim: step 1 ", std::chrono::seconds(5))) << cli.err();

  cli.signal(SIGINT);
  const std::optional<ExitStatus> status = cli.finish(in(std::chrono::seconds(10)));

  ASSERT_TRUE(status.has_value()) << cli.err();
  EXPECT_EQ(*status, killed_by(SIGINT));
  EXPECT_THAT(cli.err(), HasSubstr("Interrupted: stopping the sim..."));
  EXPECT_THAT(mark.alive(), IsEmpty());
}

// The line of `text` that holds `part`, to check one table row.
std::string line_with(const std::string& text, const std::string& part) {
  const std::size_t at = text.find(part);
  if (at == std::string::npos) return {};
  const std::size_t begin = text.rfind('\n', at) + 1;
  return text.substr(begin, text.find('\n', at) - begin);
}

// A socket on a free loopback port; when `listening`, the kernel completes connections to it that no
// one ever accepts or answers.
struct LoopbackSocket {
  Fd fd;
  int port = 0;
};
LoopbackSocket loopback_socket(bool listening) {
  LoopbackSocket socket{Fd(::socket(AF_INET, SOCK_STREAM, 0))};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (!socket.fd.valid() || ::bind(socket.fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(socket.fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      (listening && ::listen(socket.fd.get(), 4) != 0))
    throw std::runtime_error("cannot make a loopback socket");
  socket.port = ntohs(address.sin_port);
  return socket;
}

std::string url_of(const LoopbackSocket& socket) {
  return "http://127.0.0.1:" + std::to_string(socket.port);
}

TEST_F(CliEndToEnd, DataListShowsEveryDatasetWithItsEpisodesAndRows) {
  const Ran run = data({"list"});

  ASSERT_EQ(run.exit, exited(0)) << run.err;
  EXPECT_THAT(run.out, ::testing::StartsWith("Datasets on the compute node at http://127.0.0.1:"));
  EXPECT_THAT(line_with(run.out, "│ echo "), ::testing::EndsWith("│ 1        │ 14   │"));
  EXPECT_THAT(line_with(run.out, "│ heated-room-demo │"), HasSubstr("3f6c2a9e-1b7d-4e58-9c04-8a2d5e7b1f63"));
}

TEST_F(CliEndToEnd, DataStatsShowsEpisodesMissingCellsAndActionRanges) {
  fs::create_directory(datasets() / "counted");
  std::ofstream(datasets() / "counted/dataset.json")
      << R"({"id": "counted-1", "name": "counted", "columns": [{"key": "e", "raw_name": "Echo", "role": "sensor"},
            {"key": "v", "raw_name": "Value", "role": "action"}]})";
  std::ofstream(datasets() / "counted/rows.csv")
      << "episode,row,e,v\n0,0,7.25,1\n0,1,,-2\n1,0,8.5,\n1,1,1,0.5\n1,2,2,3\n";

  const Ran run = data({"stats", "counted-1"});

  ASSERT_EQ(run.exit, exited(0)) << run.err;
  EXPECT_THAT(run.out,
              HasSubstr("Dataset 'counted' (id counted-1) on the compute node at http://127.0.0.1:"));
  EXPECT_THAT(run.out, HasSubstr("\n2 episodes, 5 rows; rows per episode: min 2, median 2.5, max 3\n"));
  EXPECT_EQ(line_with(run.out, "│ e "), "│ e   │ Echo     │ sensor │ 1       │      │     │");
  EXPECT_EQ(line_with(run.out, "│ v "), "│ v   │ Value    │ action │ 1       │ -2.0 │ 3.0 │");
  EXPECT_THAT(run.out, Not(HasSubstr("7.25")));
  EXPECT_THAT(run.out, Not(HasSubstr("8.5")));
}

TEST_F(CliEndToEnd, DataCommandsTellWhatTheNodeRefused) {
  const Ran unknown = data({"stats", "no-such-data"});
  EXPECT_EQ(unknown.exit, exited(1));
  EXPECT_THAT(unknown.err,
              HasSubstr("no dataset with the id or name 'no-such-data'; `nalto data list` shows"));
  EXPECT_THAT(unknown.out, IsEmpty());

  const Ran wrong_token = data({"list"}, {{"NALTO_COMPUTE_TOKEN", "not-the-token"}});
  EXPECT_EQ(wrong_token.exit, exited(1));
  EXPECT_THAT(wrong_token.err, HasSubstr("(HTTP 401): the token does not match this compute node's"));

  EXPECT_EQ(data({"stats"}).exit, exited(2));
}

TEST_F(CliEndToEnd, DataListWithoutANodeNamesTheAddressAndHowToStartOne) {
  const std::string url = url_of(loopback_socket(false));
  const Ran run = data({"list"}, {{"NALTO_COMPUTE_URL", url}});

  EXPECT_EQ(run.exit, exited(1));
  EXPECT_THAT(run.err, HasSubstr("No compute node answers at NALTO_COMPUTE_URL=" + url + ": "));
  EXPECT_THAT(run.err, HasSubstr("Start one with `nalto-compute-node --datasets DIR`"));
}

TEST_F(CliEndToEnd, DataListShowsFoldersAddedLaterAndNamesWithoutTheirControlCharacters) {
  fs::create_directory(datasets() / "later");
  std::ofstream(datasets() / "later/dataset.json")
      << R"({"id": "later-1", "name": "\u001b[2Jlate[red]r", "columns": [{"key": "s", "role": "sensor"}]})";
  std::ofstream(datasets() / "later/rows.csv") << "episode,row,s\n0,0,1\n";
  fs::create_directory(datasets() / "broken");
  std::ofstream(datasets() / "broken/dataset.json") << "{";

  const Ran plain = data({"list"});
  const Ran coloured = data({"list"}, {{"FORCE_COLOR", "1"}});

  ASSERT_EQ(plain.exit, exited(0)) << plain.err;
  EXPECT_THAT(line_with(plain.out, "later-1"), ::testing::StartsWith("│ \\x1b[2Jlate[red]r │ later-1 "));
  EXPECT_THAT(plain.out, HasSubstr("Skipped the folder 'broken': "));
  EXPECT_THAT(plain.out, HasSubstr("dataset.json: not valid JSON"));
  EXPECT_THAT(line_with(plain.out, "│ echo "), HasSubstr("echo-1"));
  ASSERT_EQ(coloured.exit, exited(0)) << coloured.err;
  EXPECT_THAT(coloured.out, HasSubstr("later-1"));
  EXPECT_THAT(coloured.out, Not(HasSubstr("\x1b[2J")));
  EXPECT_THAT(coloured.out, Not(HasSubstr("\x1b[31m")));
}

TEST_F(CliEndToEnd, DataListOnANodeThatNeverAnswersEndsAtCtrlC) {
  const LoopbackSocket silent = loopback_socket(true);
  Subprocess cli({NALTO_EXE, "data", "list"},
                 environment({{"NALTO_COMPUTE_URL", url_of(silent)}, {"NALTO_LOG", "debug"}}));
  ASSERT_TRUE(err_shows(cli, "Asking the compute node", std::chrono::seconds(5))) << cli.err();

  cli.signal(SIGINT);
  const std::optional<ExitStatus> status = cli.finish(in(std::chrono::seconds(3)));

  ASSERT_TRUE(status.has_value()) << cli.err();
  EXPECT_EQ(*status, killed_by(SIGINT));
  EXPECT_THAT(cli.err(), HasSubstr("Interrupted: the request to the compute node was stopped."));
}

}  // namespace
}  // namespace nalto

#endif
