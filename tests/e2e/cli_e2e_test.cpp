// The CLI as a user runs it: the real binary, as a child process, against the reference compute node
// (another child process) and a local platform state file of its own.

#ifdef NALTO_EXE

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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
using testing::Ran;
using testing::Subprocess;

Clock::time_point in(std::chrono::milliseconds limit) {
  return Clock::now() + limit;
}

const std::string ROOM = std::string(NALTO_EXAMPLE_SIMS_DIR) + "/heated_room/heated-room";
const std::string TEST_SIM = std::string(NALTO_TEST_SIMS_DIR) + "/test-sim";
constexpr const char* TOKEN = "e2e-token";

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
    std::ofstream(datasets / "echo/rows.csv") << "episode,row,e,v\n0,0,0,1\n0,1,1,2\n0,2,2,3\n";

    node_.emplace(std::vector<std::string>{NALTO_COMPUTE_NODE_EXE, "--datasets", datasets.string(), "--port",
                                           "0", "--token", TOKEN});
    // The node names its address on its first line: "... serving 2 datasets on http://127.0.0.1:PORT".
    if (!node_->read_until([&] { return node_->out().find('\n') != std::string::npos; },
                           in(std::chrono::seconds(5))))
      throw std::runtime_error("the compute node did not start: " + node_->err());
    const std::string line = node_->out().substr(0, node_->out().find('\n'));
    url_ = line.substr(line.rfind(' ') + 1);
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
  EXPECT_THAT(run.out, HasSubstr("✓ Added the sim to the use case\n✓ Analyzed 20 episodes: score 9"));
  EXPECT_THAT(run.out, HasSubstr("Simulation reports\n"));
  EXPECT_THAT(run.out, HasSubstr("│ Use case       │ Report │ Score │\n"));
  EXPECT_THAT(run.out, HasSubstr("│ office-heating │ ready  │"));
  const Json claim = only_claim();
  EXPECT_EQ(claim.at("state"), "submitted");
  const Json& validation = claim.at("submission").at("simulatorValidation");
  EXPECT_EQ(validation.at("schema"), "simulator_validation/v2");
  EXPECT_EQ(validation.at("simulator").at("bundle_content_hash"), sha256_file(ROOM));
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
  const Ran nan = publish(TEST_SIM, "echo", {"--project", "p"}, {{"NALTO_TEST_SIM_MODE", "nan-observation"}});
  EXPECT_EQ(nan.exit, exited(0)) << nan.err;
  EXPECT_THAT(nan.out, HasSubstr("✓ Analyzed 1 episodes"));
  EXPECT_EQ(only_claim().at("state"), "submitted");

  std::filesystem::remove(state_file());
  const Ran html = publish(TEST_SIM, "echo", {}, {{"NALTO_TEST_SIM_MODE", "not-json"}});
  EXPECT_EQ(html.exit, exited(1));
  EXPECT_THAT(html.err,
              HasSubstr("The sim failed while replaying the dataset (JSONDecodeError: the sim's Step "
                        "answer is not JSON: <html>the sim is busy</html>); validate it with"));
  EXPECT_THAT(html.err, HasSubstr("The sim failed in Step, episode 0, row 1.\n"));
  EXPECT_EQ(only_claim().at("state"), "closed");
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
  ASSERT_TRUE(cli->read_until([&] { return cli->err().find("Replaying episode 0") != std::string::npos; },
                              in(std::chrono::seconds(5))))
      << cli->err();

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

TEST_F(CliEndToEnd, InterruptDuringAValidateStopsTheSimAndEndsBySigint) {
  const testing::ProcessMark mark;
  const std::vector<std::string> args = {NALTO_EXE,        "sim", "validate", "--path", TEST_SIM,
                                         "--call-timeout", "60"};
  Subprocess cli(args, environment({{"NALTO_TEST_SIM_MODE", "hang-in-step"}, {"NALTO_LOG", "debug"}}));
  ASSERT_TRUE(cli.read_until([&] { return cli.err().find("Stepping the sim: step 1 ") != std::string::npos; },
                             in(std::chrono::seconds(5))))
      << cli.err();

  cli.signal(SIGINT);
  const std::optional<ExitStatus> status = cli.finish(in(std::chrono::seconds(10)));

  ASSERT_TRUE(status.has_value()) << cli.err();
  EXPECT_EQ(*status, killed_by(SIGINT));
  EXPECT_THAT(cli.err(), HasSubstr("Interrupted: stopping the sim..."));
  EXPECT_THAT(mark.alive(), IsEmpty());
}

}  // namespace
}  // namespace nalto

#endif
