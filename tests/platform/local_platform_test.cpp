#include "nalto/platform/local_platform.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "nalto/support/fd.hpp"
#include "support/fake_runtime.hpp"
#include "support/fixtures.hpp"
#include "support/non_regular_files.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using platform::LocalPlatform;
using platform::LocalPlatformOptions;
using platform::StateFileError;
namespace detail = platform::detail;
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
  EXPECT_EQ(first["simulatorId"], "sim-1");
  EXPECT_EQ(first["simulatorImplementationId"], "impl-1");
  EXPECT_EQ(first["maxLagSteps"], 3);

  const std::string job = first["jobId"], other = second["jobId"];
  submit(platform, job, submission());
  submit(platform, other, Json{{"failure", "the sim crashed"}});
  const Json saved = Json::parse(read_text(state_file()));
  Json record = saved["claims"][job];
  // When it was made is the clock's; its form is checked with `nalto sim list`.
  ASSERT_TRUE(record.contains("created")) << record.dump();
  record.erase("created");
  EXPECT_EQ(record.dump(), (Json{{"org", "org-1"},
                                 {"sim", "sim-1"},
                                 {"implementation", "impl-1"},
                                 {"dataset", "ds-1"},
                                 {"state", "submitted"},
                                 {"submission", submission()}})
                               .dump());
  EXPECT_EQ(saved["claims"][other]["state"], "closed");
  EXPECT_EQ(saved["claims"][other]["failure"], "the sim crashed");
}

TEST_F(LocalPlatformTest, BodiesAreCheckedForShape) {
  const auto patched = [](const std::string& op, const std::string& path, Json value = nullptr) {
    Json step{{"op", op}, {"path", path}};
    if (op != "remove") step["value"] = std::move(value);
    return submission().patch(Json::array({step}));
  };
  Json warnings = Json::array();
  for (int i = 0; i < 50; ++i) warnings.push_back(std::string(500, 'w'));
  Json too_many = warnings;
  too_many.push_back("w");
  const std::string limit = std::string(498, 'x') + "é€";  // 500 code points, 503 bytes

  const std::vector<std::pair<Json, int>> bodies = {
      {Json{{"failure", limit}}, 0},
      {patched("replace", "/warnings", warnings), 0},
      {patched("replace", "/simulatorValidation/evaluation/score_percent"), 0},
      {Json::array(), 422},
      {Json::object(), 422},
      {Json{{"failure", " \n"}}, 422},
      {Json{{"failure", limit + "x"}}, 422},
      {Json{{"failure", 3}}, 422},
      {Json{{"failure", "x"}, {"warnings", Json::array()}}, 422},
      {patched("replace", "/simulatorValidation/schema", "simulator_validation/v1"), 422},
      {patched("replace", "/simulatorValidation/evaluation/score_percent", "87"), 422},
      {patched("remove", "/simulatorValidation/evaluation"), 422},
      {patched("replace", "/dataset/contentMd5", "md5-x"), 422},
      {patched("replace", "/warnings", too_many), 422},
      {patched("add", "/warnings/-", limit + "x"), 422},
      {patched("add", "/note", "x"), 422},
  };
  LocalPlatform platform(state_file());
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    const std::string job = start(platform)["jobId"];
    EXPECT_EQ(refusal([&] { submit(platform, job, bodies[i].first); }), bodies[i].second) << i;
    EXPECT_EQ(platform.state()["claims"][job]["state"] == "open", bodies[i].second != 0) << i;
  }
}

TEST_F(LocalPlatformTest, CallsAreRefusedByTheJobsState) {
  LocalPlatform platform(state_file());
  const std::string open = start(platform)["jobId"], closed = start(platform)["jobId"],
                    submitted = start(platform)["jobId"];
  submit(platform, closed, Json{{"failure", "no artifact"}});
  submit(platform, submitted, submission(50));

  const std::vector<std::tuple<std::string, std::function<void()>, int>> calls = {
      {"submit after submit", [&] { submit(platform, submitted, submission()); }, 409},
      {"close after submit",
       [&] {
         submit(platform, submitted, Json{{"failure", "x"}});
       },
       409},
      {"submit after close", [&] { submit(platform, closed, submission()); }, 409},
      {"unknown job", [&] { submit(platform, "job-x", submission()); }, 404},
      {"another sim's job", [&] { submit(platform, open, submission(), "sim-2"); }, 404},
      {"status of an unknown job", [&] { status(platform, "job-x"); }, 404},
      {"claim without dataset",
       [&] { loop.run(platform.sims().publish_report_start("org-1", "sim-1", "impl-1", "")); }, 422},
      {"link without project", [&] { loop.run(platform.project_sims().link("org-1", "", "sim-1")); }, 422},
  };
  for (const auto& [what, call, expected] : calls) EXPECT_EQ(refusal(call), expected) << what;
  EXPECT_EQ(platform.state()["claims"][submitted]["submission"], submission(50));
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

  const std::vector<std::string> corrupt = {"", "{", R"({"claims": [], "links": []})", R"({"claims": {}})",
                                            R"({"claims": {"j": {"state": "open"}}, "links": []})"};
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
    LocalPlatformOptions options;
    bool linked;
    std::string event, printed;
  };
  const std::vector<Case> cases = {
      {{}, true, "done", "│ Kitchen  │ ready  │ 87.5  │"},
      {{}, false, "done", "No use case uses 'Room'"},
      {{.build_polls = 1}, true, "pending", "The platform is still building 'Room'"},
      {{.build_fails = true}, true, "failed", "The platform could not build 'Room'"},
      {{.writing_polls = 2}, true, "done", "│ Kitchen  │ ready  │ 87.5  │"},
      {{.writing_polls = 1000}, true, "running", "still writing the report"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
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
    EXPECT_EQ(last["eventStatus"], c.event) << i;
    EXPECT_THAT(console.out(), HasSubstr(c.printed)) << i;
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

std::set<std::string> job_ids(const Json& state) {
  std::set<std::string> ids;
  for (const auto& [id, claim] : state["claims"].items()) ids.insert(id);
  return ids;
}

mode_t mode_of(const fs::path& file) {
  struct stat status {};
  EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
  return status.st_mode & 07777;
}

// Each platform is made, and so reads the file, before any of them changes it: a change must build on
// the file as it is then, not on what its platform read.
TEST_F(LocalPlatformTest, ClaimsOfPlatformsInSeveralThreadsOnOneFileAreAllKept) {
  constexpr int PLATFORMS = 4, CLAIMS = 20;
  std::vector<std::unique_ptr<LocalPlatform>> platforms;
  for (int i = 0; i < PLATFORMS; ++i) platforms.push_back(std::make_unique<LocalPlatform>(state_file()));
  std::vector<std::set<std::string>> made(PLATFORMS);
  std::vector<std::thread> threads;
  for (int i = 0; i < PLATFORMS; ++i)
    threads.emplace_back([&, i] {
      Loop own;
      for (int k = 0; k < CLAIMS; ++k) {
        const std::string job =
            own.run(platforms[i]->sims().publish_report_start("org-1", "sim-1", "impl-1", "ds-1"))["jobId"];
        own.run(platforms[i]->sims().publish_report_submit("org-1", "sim-1", "impl-1", job, submission()));
        made[i].insert(job);
      }
    });
  for (std::thread& thread : threads) thread.join();

  const Json saved = Json::parse(read_text(state_file()));
  std::set<std::string> all;
  for (const auto& jobs : made) all.insert(jobs.begin(), jobs.end());
  ASSERT_EQ(all.size(), std::size_t{PLATFORMS * CLAIMS});
  EXPECT_EQ(job_ids(saved), all);
  for (const auto& [id, claim] : saved["claims"].items()) EXPECT_EQ(claim["state"], "submitted") << id;
  EXPECT_FALSE(fs::exists(detail::lock_file_of(state_file()))) << "the lock file goes with the lock";
}

TEST_F(LocalPlatformTest, ClaimsOfSeveralProcessesOnOneFileAreAllKept) {
  constexpr int PROCESSES = 3, CLAIMS = 10;
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  Fd gate_read(gate[0]), gate_write(gate[1]);
  std::vector<std::unique_ptr<testing::Subprocess>> children;
  for (int i = 0; i < PROCESSES; ++i)
    children.push_back(testing::Subprocess::fork([&] {
      gate_write.reset();
      LocalPlatform platform(state_file());
      char byte;
      if (::read(gate_read.get(), &byte, 1) != 0) return 1;  // all start once the gate closes
      Loop own;
      for (int k = 0; k < CLAIMS; ++k) {
        const std::string job =
            own.run(platform.sims().publish_report_start("org-1", "sim-1", "impl-1", "ds-1"))["jobId"];
        std::printf("%s\n", job.c_str());
      }
      std::fflush(stdout);
      return 0;
    }));
  gate_write.reset();

  std::set<std::string> made;
  for (const auto& child : children) {
    ASSERT_EQ(child->finish(testing::Subprocess::Clock::now() + std::chrono::seconds(20)), testing::exited(0))
        << child->err();
    std::istringstream lines(child->out());
    for (std::string job; std::getline(lines, job);) made.insert(job);
  }
  ASSERT_EQ(made.size(), std::size_t{PROCESSES * CLAIMS});
  EXPECT_EQ(job_ids(Json::parse(read_text(state_file()))), made);
}

TEST_F(LocalPlatformTest, ALockHeldTooLongFailsNamingTheLockFileAndChangesNothing) {
  LocalPlatform platform(state_file(), {.lock_wait = std::chrono::milliseconds(50)});
  const std::string kept = start(platform)["jobId"];
  const fs::path lock = detail::lock_file_of(state_file());
  EXPECT_EQ(lock, dir / "state" / "platform-state.json.lock");
  {
    const Fd holder(::open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
    try {
      start(platform);
      ADD_FAILURE() << "claimed while another process held the lock";
    } catch (const StateFileError& e) {
      EXPECT_EQ(std::string(e.what()), "Could not lock the platform state file '" + state_file().string() +
                                           "': another process has held its lock file '" + lock.string() +
                                           "' for 0.05 s (a nalto that hangs?); try again once it has ended");
    }
    EXPECT_EQ(job_ids(Json::parse(read_text(state_file()))), std::set<std::string>{kept});
  }
  start(platform);  // the holder has gone; its file is still there, unlocked
  EXPECT_EQ(Json::parse(read_text(state_file()))["claims"].size(), 2u);
}

TEST_F(LocalPlatformTest, ASymlinkedStateFileStaysALinkAndTheFileKeepsItsMode) {
  const fs::path target = dir / "shared" / "state.json";
  fs::create_directories(target.parent_path());
  std::ofstream(target) << R"({"claims": {}, "links": []})";
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  fs::create_directories(state_file().parent_path());
  fs::create_symlink(target, state_file());

  LocalPlatform platform(state_file());
  const std::string job = start(platform)["jobId"];
  EXPECT_TRUE(fs::is_symlink(state_file()));
  EXPECT_EQ(job_ids(Json::parse(read_text(target))), std::set<std::string>{job});
  EXPECT_EQ(mode_of(target), 0644);
  EXPECT_EQ(detail::lock_file_of(state_file()), dir / "shared" / "state.json.lock")
      << "beside the file, so that each path to it takes the same lock";

  const fs::path fresh = dir / "fresh" / "state.json";
  LocalPlatform other(fresh);
  start(other);
  EXPECT_EQ(mode_of(fresh), 0600) << "a new state file is its owner's only";
}

TEST_F(LocalPlatformTest, AStateFileThatIsNoRegularFileOrTooLargeIsRefused) {
  std::vector<testing::NonRegularFile> refused = testing::non_regular_files(dir);
  const fs::path large = dir / "large.json";
  std::ofstream(large) << " ";
  fs::resize_file(large, platform::STATE_FILE_MAX_BYTES + 1);  // sparse: nothing is written
  refused.push_back({large, "Is larger than 64 MiB"});
  for (const auto& [path, reason] : refused)
    EXPECT_EQ(testing::failure_of([path = path] { LocalPlatform platform(path); }),
              "StateFileError: Could not read the platform state file '" + path.string() + "': " + reason);

  const std::string text = R"({"claims": {}, "links": []})";
  fs::create_directories(state_file().parent_path());
  std::ofstream(state_file()) << text;
  EXPECT_EQ(detail::load_state(state_file(), text.size()), detail::empty_state())
      << "the cap itself is allowed";
  EXPECT_THROW(detail::load_state(state_file(), text.size() - 1), StateFileError);
}

TEST_F(LocalPlatformTest, AStateFileThatIsNoRegularFileOrADanglingSymlinkIsRefusedBeforeAnyChange) {
  for (const auto& [path, reason] : testing::non_regular_outputs(dir)) {
    EXPECT_EQ(testing::failure_of([path = path] { LocalPlatform platform(path); }),
              "StateFileError: Could not read the platform state file '" + path.string() + "': " + reason);
    // Should the file change between the platform's start and a change, the change still refuses it.
    EXPECT_EQ(testing::failure_of([path = path] { detail::write_atomically(path, "{}"); }),
              "StateFileError: Could not write the platform state file '" + path.string() + "': " + reason);
    EXPECT_EQ(testing::failure_of([path = path] { detail::StateLock lock(path, std::chrono::seconds(1)); }),
              "StateFileError: Could not write the platform state file '" + path.string() + "': " + reason);
  }
  EXPECT_FALSE(fs::exists(testing::dangling_target(dir).parent_path()))
      << "neither the state's nor its lock's folder is made where the link points";
  EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
}

// Every copy and walk of a value recurses once per level: such a file must be refused, not crash.
TEST_F(LocalPlatformTest, AStateNestedTooDeepOrOutOfRangeIsCorrupt) {
  const auto claim_created = [](const std::string& created) {
    return R"({"claims": {"j": {"org": "o", "sim": "s", "implementation": "i", "dataset": "d", "state": "open",
               "created": )" +
           created + "}}, \"links\": []}";
  };
  const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_NO_THROW(detail::parse_state(claim_created(nested(MAX_JSON_DEPTH - 3)), "state.json"));
  for (const std::string& created : {nested(MAX_JSON_DEPTH - 2), nested(1000000), std::string("1e400")})
    EXPECT_THROW(detail::parse_state(claim_created(created), "state.json"), StateFileError) << created.size();
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

TEST_F(PublishOnLocalPlatformTest, SubmittedAnalysisOrClosedClaim) {
  LocalPlatform platform(state_file());
  publish(platform);
  EXPECT_EQ(analysis_request["max_lag_steps"], 3);
  EXPECT_THAT(console.out(), HasSubstr("│ Kitchen  │ ready  │ 91.2  │"));

  runtime.on_check_serving = [] { throw SimCallError("UNAVAILABLE: connection refused"); };
  EXPECT_THROW(publish(platform), PublishReportError);

  const Json& claims = platform.state()["claims"];
  ASSERT_EQ(claims.size(), 2u);
  const Json& submitted = claims.front();
  EXPECT_EQ(submitted["state"], "submitted");
  EXPECT_EQ(submitted["submission"]["simulatorValidation"], artifact(91.25));
  EXPECT_EQ(submitted["submission"]["warnings"], Json{"episode 0 stopped early"});
  EXPECT_EQ(claims.back()["state"], "closed");
  EXPECT_EQ(claims.back()["failure"], "The sim did not start:");
  EXPECT_EQ(Json::parse(read_text(state_file())), platform.state());
}

}  // namespace
}  // namespace nalto
