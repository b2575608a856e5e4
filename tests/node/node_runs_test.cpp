// What the reference node keeps of the validation runs it analyzed: ids of a bounded length, the
// latest runs and answers only, and with a state folder, runs that outlive a restart.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "node/node_app_fixture.hpp"

namespace nalto {
namespace {

using namespace std::chrono_literals;
using node_app::Catalog;
using node_app::MAX_ID_BYTES;
using node_app::RunIndex;
using node_app::RunRetention;
using node_app::Service;
using testing::fresh_dir;
using ::testing::HasSubstr;
using testing::make_folder;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* ID = "runs-1";
const std::string DESCRIPTION = R"({"id": "runs-1", "name": "runs", "columns": [
  {"key": "s", "raw_name": "Level", "role": "sensor"}, {"key": "u", "raw_name": "Power", "role": "action"}]})";
constexpr int ROWS = 12;

std::string rows_csv() {
  std::string text = "episode,row,s,u\n";
  for (int i = 0; i < ROWS; ++i) text += "0," + std::to_string(i) + "," + std::to_string(i) + ",1\n";
  return text;
}

// A request for `run` of `bundle`. The lag asked for is repeated in the answer, which tells a stored
// answer (of the first request) from one analyzed again.
Json rollouts(const Json& run, const std::string& bundle, int max_lag = 0) {
  Json values = Json::array();
  for (int i = 0; i < ROWS; ++i) values.push_back(i);
  return Json{{"dataset_uuid", ID},
              {"simulator_id", "sim-1"},
              {"simulator_implementation_id", "impl-1"},
              {"validation_run_id", run},
              {"bundle_content_hash", bundle},
              {"core_sensor_variables", {"Level"}},
              {"sensor_variables", {"s"}},
              {"action_variables", {"u"}},
              {"max_lag_steps", max_lag},
              {"episodes", {{{"episode", 0}, {"predictions", {{"s", values}}}}}}};
}

node_app::Reply analyze(Service& service, const Json& body) {
  return service.analyze_rollouts(body.dump());
}

int lag_answered(const node_app::Reply& reply) {
  return Json::parse(reply.body)["simulator_validation"]["evaluation"]["max_lag_steps"].get<int>();
}

class NodeRunsTest : public ::testing::Test {
 protected:
  NodeRunsTest() { make_folder(root_ / "runs", DESCRIPTION, rows_csv()); }
  ~NodeRunsTest() override { fs::remove_all(root_); }

  const fs::path root_ = fresh_dir();
};

TEST_F(NodeRunsTest, IdsAndHashesLongerThanTheNodeKeepsAreRefused) {
  Service service(Catalog::load(root_));
  const std::string longest(MAX_ID_BYTES, 'x'), longer(MAX_ID_BYTES + 1, 'x');
  for (const char* key :
       {"validation_run_id", "simulator_id", "simulator_implementation_id", "bundle_content_hash"}) {
    Json body = rollouts(std::string("run-") + key, "h1");
    body[key] = longer;
    const node_app::Reply refused = analyze(service, body);
    EXPECT_EQ(refused.status, 422) << key;
    EXPECT_THAT(refused.body, HasSubstr("'" + std::string(key) +
                                        "' is 257 bytes long; this compute node "
                                        "takes ids and hashes of up to 256 bytes"));
    body[key] = longest;
    EXPECT_EQ(analyze(service, body).status, 200) << key;
  }
  // As the probe sent them: an id of megabytes is refused, and nothing of it is kept.
  const std::size_t kept = service.runs_kept();
  EXPECT_EQ(analyze(service, rollouts(std::string(1'800'000, 'r'), "h1")).status, 422);
  EXPECT_EQ(service.runs_kept(), kept);
}

TEST_F(NodeRunsTest, OnlyTheLatestRunsAndAnswersAreKept) {
  Service service(Catalog::load(root_), {}, RunIndex(RunRetention{.runs = 5, .answers = 2}));
  for (int run = 0; run < 12; ++run) ASSERT_EQ(analyze(service, rollouts(run, "h1", 1)).status, 200);
  EXPECT_EQ(service.runs_kept(), 5u);
  EXPECT_EQ(service.answers_kept(), 2u);

  // The two latest runs get their stored answer, whatever the request asks now.
  EXPECT_EQ(lag_answered(analyze(service, rollouts(11, "h1", 0))), 1);
  EXPECT_EQ(lag_answered(analyze(service, rollouts(10, "h1", 0))), 1);
  // A run still kept, whose answer is not: another bundle is refused, the same one analyzed again.
  const node_app::Reply refused = analyze(service, rollouts(8, "h2"));
  EXPECT_EQ(refused.status, 409);
  EXPECT_THAT(refused.body, HasSubstr("the validation run '8' was already analyzed for the bundle h1"));
  EXPECT_EQ(lag_answered(analyze(service, rollouts(8, "h1", 0))), 0);
  EXPECT_EQ(service.answers_kept(), 2u);
  // A run older than the latest five is forgotten.
  EXPECT_EQ(analyze(service, rollouts(0, "h2")).status, 200);
  EXPECT_EQ(service.runs_kept(), 5u);
}

TEST_F(NodeRunsTest, AnswersAreKeptWithinTheirBytes) {
  Service service(Catalog::load(root_), {},
                  RunIndex(RunRetention{.runs = 10, .answers = 10, .answer_bytes = 1}));
  for (int run = 0; run < 3; ++run) ASSERT_EQ(analyze(service, rollouts(run, "h1", 1)).status, 200);
  // The latest answer stays, whatever its size: it is the one a retry asks for.
  EXPECT_EQ(service.answers_kept(), 1u);
  EXPECT_EQ(lag_answered(analyze(service, rollouts(2, "h1", 0))), 1);
  EXPECT_EQ(lag_answered(analyze(service, rollouts(1, "h1", 0))), 0);
}

std::size_t files_in(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST_F(NodeRunsTest, TheRunsOfAStateFolderOutliveARestart) {
  const fs::path state = fresh_dir();
  const RunRetention three{.runs = 3};
  {
    Service service(Catalog::load(root_), {}, RunIndex::in_folder(state, three));
    for (int run = 0; run < 5; ++run) ASSERT_EQ(analyze(service, rollouts(run, "h1")).status, 200);
    EXPECT_EQ(files_in(state / "runs"), 3u);
  }
  EXPECT_EQ(fs::status(state).permissions(), fs::perms::owner_all);

  std::vector<std::string> told;
  std::ofstream(state / "runs" / (std::string(64, 'a') + ".json")) << "not json";
  Service service(
      Catalog::load(root_), {},
      RunIndex::in_folder(state, three, [&told](const std::string& line) { told.push_back(line); }));
  EXPECT_EQ(service.runs_kept(), 3u);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_THAT(told[0], HasSubstr("ignored the run file " + (state / "runs").string()));
  const node_app::Reply refused = analyze(service, rollouts(4, "h2"));
  EXPECT_EQ(refused.status, 409);
  EXPECT_THAT(refused.body, HasSubstr("already analyzed for the bundle h1"));
  EXPECT_EQ(analyze(service, rollouts(2, "h2")).status, 409);
  // Forgotten before the restart: the oldest two.
  EXPECT_EQ(analyze(service, rollouts(1, "h2")).status, 200);
  // That one took the place of the oldest kept, 2.
  EXPECT_EQ(analyze(service, rollouts(2, "h2")).status, 200);
  fs::remove_all(state);
}

TEST_F(NodeRunsTest, AStateFolderIsItsOwnersAloneAndOneNodesAtATime) {
  const fs::path parent = fresh_dir();
  fs::create_directories(parent);
  enum class Kind { folder, file, runs_file, others_folder };
  const struct {
    std::string name;
    Kind kind;
    mode_t mode;
    std::string refusal;
  } cases[] = {
      {"open to the group", Kind::folder, 0750, "other users have access to it (mode 0750)"},
      {"open to others", Kind::folder, 0701, "other users have access to it (mode 0701)"},
      {"a file", Kind::file, 0600, "not a folder"},
      {"runs is a file", Kind::runs_file, 0700, "its runs is not a folder"},
      {"another user's", Kind::others_folder, 0700, "belongs to another user"},
  };
  for (const auto& c : cases) {
    const fs::path dir = parent / c.name;
    if (c.kind == Kind::file) {
      std::ofstream(dir) << "x";
    } else {
      fs::create_directory(dir);
      if (c.kind == Kind::runs_file) std::ofstream(dir / "runs") << "x";
      // Only root can give a folder away.
      if (c.kind == Kind::others_folder && (::geteuid() != 0 || ::chown(dir.c_str(), 65534, 65534) != 0))
        continue;
    }
    ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
    try {
      RunIndex::in_folder(dir, {});
      ADD_FAILURE() << c.name << " was taken";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), HasSubstr("--state-dir " + dir.string() + ": " + c.refusal)) << c.name;
    }
  }

  const fs::path made = parent / "made";
  const RunIndex first = RunIndex::in_folder(made, {});
  EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all);
  try {
    RunIndex::in_folder(made, {});
    ADD_FAILURE() << "a second node took the same folder";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("another compute node uses it"));
  }
  fs::remove_all(parent);
}

int status_of(const testing::NodeProgram& node, const Json& body) {
  return node.request("POST", "/ml/sim-analyze-rollouts", body.dump()).status;
}

TEST_F(NodeRunsTest, TheNodesStateDirKeepsTheRunsGuardedAcrossARestart) {
  const fs::path state = fresh_dir();
  {
    const testing::NodeProgram node(root_, {"--state-dir", state.string()});
    EXPECT_EQ(status_of(node, rollouts("uuid-7", "h1")), 200);
    EXPECT_EQ(status_of(node, rollouts("uuid-7", "h2")), 409);
    node.process().signal(SIGTERM);
    EXPECT_EQ(node.process().finish(Clock::now() + 10s), testing::exited(0));
  }
  const testing::NodeProgram again(root_, {"--state-dir", state.string()});
  EXPECT_EQ(status_of(again, rollouts("uuid-7", "h2")), 409);
  EXPECT_EQ(status_of(again, rollouts("uuid-8", "h2")), 200);
  fs::remove_all(state);
}

}  // namespace
}  // namespace nalto
