#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>
#include <utility>

#include "apps/command_line.hpp"
#include "cli/cli.hpp"
#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class PublishReportCliTest : public ::testing::Test {
 protected:
  PublishReportCliTest() {
    std::string pattern = (fs::temp_directory_path() / "nalto-cli-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir = pattern;
    sim = (dir / "room_sim.sh").string();
    std::ofstream(sim) << "#!/bin/sh\n";
    std::ofstream(dir / "env.json") << R"({"seed": 7})";
  }
  ~PublishReportCliTest() override { fs::remove_all(dir); }

  // `nalto sim publish` with these arguments, separated by spaces.
  std::variant<cli::Publish, int> parse(const std::string& line) {
    auto parsed = parse_all("sim publish " + line);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    return std::get<cli::Publish>(std::get<cli::Command>(parsed));
  }

  std::variant<cli::Command, int> parse_all(const std::string& line) {
    out.str("");
    err.str("");
    return testing::parse_nalto(line);
  }

  fs::path dir;
  std::string sim;
  std::ostringstream out, err;
  testing::ScopedEnv state_home{"XDG_STATE_HOME", "/var/state"};
  testing::ScopedEnv no_force{"FORCE_COLOR", std::nullopt};
  Console console{{.out = &out, .err = &err}};
  ScopedConsole installed{console};
};

TEST_F(PublishReportCliTest, OptionsAndTheirDefaults) {
  const auto defaults = parse("--path " + sim + " --dataset room");
  ASSERT_TRUE(std::holds_alternative<cli::Publish>(defaults)) << err.str();
  const auto& given = std::get<cli::Publish>(defaults);
  EXPECT_EQ(std::tie(given.org_id, given.implementation_id, given.sim_name, given.sim_id, given.path,
                     given.dataset_ref),
            std::make_tuple("local", "local", "room_sim", "room_sim", sim, "room"));
  EXPECT_EQ(given.bundle_sha256, sha256_file(sim)) << "the sim file is the bundle";
  EXPECT_EQ(given.options.project_id, std::nullopt);
  EXPECT_EQ(given.options.max_episodes, DEFAULT_MAX_EPISODES);
  EXPECT_EQ(given.options.env_init, std::nullopt);
  EXPECT_EQ(given.options.call_timeout_s, 300);
  EXPECT_EQ(given.platform_state, "/var/state/nalto/platform-state.json");

  const auto all =
      parse("--path " + dir.string() + "/ --dataset room --org o --sim s --implementation i " +
            "--bundle-sha256 " + std::string(64, 'A') + " --project p --max-episodes 5 --env-init @" +
            (dir / "env.json").string() + " --call-timeout 2.5 --platform-state st.json " +
            "--platform-build-polls 1 --platform-writing-polls 2 --platform-build-fails");
  ASSERT_TRUE(std::holds_alternative<cli::Publish>(all)) << err.str();
  const auto& chosen = std::get<cli::Publish>(all);
  EXPECT_EQ(std::tie(chosen.org_id, chosen.implementation_id, chosen.sim_name, chosen.sim_id),
            std::make_tuple("o", "i", dir.filename().string(), "s"));
  EXPECT_EQ(chosen.bundle_sha256, std::string(64, 'a'));
  EXPECT_EQ(chosen.options.project_id, "p");
  EXPECT_EQ(chosen.options.max_episodes, 5);
  EXPECT_EQ(chosen.options.env_init, (Json{{"seed", 7}}));
  EXPECT_EQ(chosen.options.call_timeout_s, 2.5);
  EXPECT_EQ(chosen.platform_state, "st.json");
  EXPECT_EQ(std::tie(chosen.platform.build_polls, chosen.platform.writing_polls, chosen.platform.build_fails),
            std::make_tuple(1, 2, true));

  const auto inline_json = parse("--path " + sim + R"( --dataset room --env-init {"a":[1,2.0]})");
  ASSERT_TRUE(std::holds_alternative<cli::Publish>(inline_json)) << err.str();
  EXPECT_EQ(std::get<cli::Publish>(inline_json).options.env_init->dump(), R"({"a":[1,2.0]})");
}

TEST_F(PublishReportCliTest, HelpVersionAndBadUsageEndTheProgram) {
  EXPECT_EQ(std::get<int>(parse("--help")), 0);
  EXPECT_THAT(out.str(), HasSubstr("--platform-state"));
  EXPECT_EQ(std::get<int>(parse_all("--version")), 0);
  EXPECT_EQ(out.str(), "nalto 0.1.0\n");

  const std::string minimal = "--path " + sim + " --dataset room ";
  const std::vector<std::string> bad = {
      "--path " + sim,
      "--path " + (dir / "missing").string() + " --dataset room",
      "--path " + dir.string() + " --dataset room",
      minimal + "--unknown",
      minimal + "--bundle " + sim + " --bundle-sha256 " + std::string(64, 'a'),
      minimal + "--bundle-sha256 " + std::string(63, 'a'),
      minimal + "--env-init {seed:1}",
      minimal + "--env-init [1]",
      minimal + "--env-init @" + (dir / "missing.json").string(),
      minimal + "--max-episodes 0",
      minimal + "--call-timeout 0",
      minimal + "--call-timeout inf",
  };
  for (const std::string& line : bad) {
    const auto parsed = parse(line);
    ASSERT_TRUE(std::holds_alternative<int>(parsed)) << line;
    EXPECT_EQ(std::get<int>(parsed), 2) << line;
    EXPECT_THAT(err.str(), HasSubstr("--help")) << line;
  }
}

TEST_F(PublishReportCliTest, ALongValueInABadUsageIsCutInItsMessage) {
  const std::string huge(100000, 'x');
  const std::string minimal = "--path " + sim + " --dataset room ";
  for (const std::string& line : {"--path /" + huge + " --dataset room", minimal + "--bundle /" + huge,
                                  minimal + "--unknown " + huge, minimal + "--env-init @/" + huge}) {
    EXPECT_EQ(std::get<int>(parse(line)), 2);
    EXPECT_LT(err.str().size(), 1000u) << err.str().substr(0, 400);
    EXPECT_THAT(err.str(), HasSubstr("xxx… (1000"));
    EXPECT_THAT(err.str(), HasSubstr("--help")) << "the lines after it stand";
  }
}

TEST(PublishReportCliFailureTest, FailureTexts) {
  const std::vector<std::pair<std::exception_ptr, std::string>> cases = {
      {std::make_exception_ptr(PublishReportError("The sim did not start")), "The sim did not start"},
      {std::make_exception_ptr(KeyError("'n_rows'")), "Error: KeyError: 'n_rows'"},
      {std::make_exception_ptr(TimeoutError("")), "Error: TimeoutError"},
      {std::make_exception_ptr(std::invalid_argument("stoi")), "Error: invalid_argument: stoi"},
  };
  for (const auto& [failure, text] : cases) EXPECT_EQ(cli::failure_text(failure), text);
}

TEST(PublishReportCliFailureTest, AFailureQuotingBracketsShowsThemAsTheyStand) {
  // As when a sim that did not start printed them.
  for (const bool terminal : {false, true}) {
    const testing::CapturedConsole captured(terminal);
    cli::note_failure(std::make_exception_ptr(
        PublishReportError("The sim did not start:\n\nmodel [red]v2[/red] missing [/] [bold]")));
    EXPECT_EQ(captured.err(), "The sim did not start:\n\nmodel [red]v2[/red] missing [/] [bold]\n")
        << terminal;
  }
}

// The whole program short of main, with a scripted sim runtime and compute node.
class PublishReportCliRunTest : public PublishReportCliTest {
 protected:
  PublishReportCliRunTest() {
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
          Json{{"warnings", Json::array()},
               {"dataset", {{"content_md5", std::string(32, 'c')}, {"content_sha256", std::string(64, 'd')}}},
               {"simulator_validation",
                {{"schema", "simulator_validation/v2"},
                 {"dataset", {{"selected_episodes", {0}}}},
                 {"evaluation", {{"score_percent", 75.0}}}}}}
              .dump(),
          "application/json");
    });
    node.start();
  }

  cli::Outcome run(const std::string& dataset) {
    const auto parsed = parse("--path " + sim + " --dataset " + dataset +
                              " --project Kitchen --platform-state " + (dir / "state.json").string());
    return cli::run(cli::Command(std::get<cli::Publish>(parsed)), runtime);
  }

  std::string claim_state() const {
    std::ifstream in(dir / "state.json");
    const Json state = Json::parse(in);
    return state["claims"].begin()->at("state");
  }

  testing::FakeNode node;
  testing::FakeSimRuntime runtime;
};

TEST_F(PublishReportCliRunTest, ExitStatusTellsTheOutcome) {
  EXPECT_EQ(run("room").exit_status, 0) << err.str();
  EXPECT_EQ(err.str(), "");
  EXPECT_THAT(out.str(), HasSubstr("│ Kitchen  │ ready  │ 75.0  │"));
  EXPECT_EQ(claim_state(), "submitted");

  const cli::Outcome unknown = run("elsewhere");
  EXPECT_EQ(unknown.exit_status, 1);
  EXPECT_EQ(unknown.signal, 0);
  EXPECT_THAT(err.str(), HasSubstr("elsewhere"));
  EXPECT_THAT(err.str(), ::testing::Not(HasSubstr("Error: ")));

  std::ofstream(dir / "state.json") << "{";
  EXPECT_EQ(run("room").exit_status, 1);
  EXPECT_THAT(err.str(), HasSubstr("Error: StateFileError: The platform state file '" + dir.string()));
}

TEST_F(PublishReportCliRunTest, InterruptionClosesTheClaimAndStopsTheSimFirst) {
  runtime.client->hang_on = "step";
  runtime.client->on_hang = [] { std::raise(SIGINT); };
  const cli::Outcome outcome = run("room");

  EXPECT_EQ(outcome.signal, SIGINT);
  EXPECT_EQ(err.str(), "Interrupted: closing the claim and stopping the sim...\n");
  EXPECT_EQ(claim_state(), "closed");
  EXPECT_THAT(runtime.client->cancelled, ::testing::ElementsAre("step"));
  EXPECT_EQ(runtime.process->events.front(), "terminate");
}

TEST_F(PublishReportCliRunTest, ASecondInterruptionKillsASimThatIgnoresTermAndTheClaimIsStillClosed) {
  Timing limits = timing();
  limits.exit_wait_s = 5;
  const ScopedTiming shorter(limits);
  runtime.client->hang_on = "step";
  runtime.client->on_hang = [] { std::raise(SIGINT); };
  runtime.process->exits_on_terminate = false;
  bool interrupted_again = false;
  runtime.process->on_wait = [&interrupted_again] {
    if (!std::exchange(interrupted_again, true)) std::raise(SIGINT);
  };
  const auto begun = std::chrono::steady_clock::now();
  const cli::Outcome outcome = run("room");

  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2)) << "the stop waited on";
  EXPECT_EQ(outcome.signal, SIGINT);
  EXPECT_EQ(err.str(), "Interrupted: closing the claim and stopping the sim...\n" +
                           std::string(cli::INTERRUPTED_AGAIN) + "\n");
  EXPECT_EQ(claim_state(), "closed");
  EXPECT_THAT(*runtime.journal, ::testing::IsSupersetOf({"process.terminate", "process.wait",
                                                         "runtime.kill_all", "process.kill"}));
  EXPECT_EQ(runtime.process->exit_code, runtime.process->killed_code);
}

}  // namespace
}  // namespace nalto
