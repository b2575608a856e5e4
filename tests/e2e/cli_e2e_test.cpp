// The CLI as a user runs it: the real binary, as a child process, against the reference compute node
// (another child process) and a local platform state file of its own.

#ifdef NALTO_PUBLISH_REPORT_EXE

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.hpp"

extern char** environ;

namespace nalto {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// A program run with its stdout and stderr read through pipes. Killed and reaped if still running when
// it goes, so that no test leaves it behind.
class Child {
 public:
  std::string out, err;

  Child(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
      const std::string text = *entry;
      if (!env.contains(text.substr(0, text.find('=')))) entries.push_back(text);
    }
    for (const auto& [name, value] : env) entries.push_back(name + "=" + value);

    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
      ::close(out_pipe[0]);
      ::close(out_pipe[1]);
      throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    const int spawned = ::posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, pointers(args).data(),
                                      pointers(entries).data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    fds_[0] = out_pipe[0];
    fds_[1] = err_pipe[0];
    if (spawned != 0) {
      pid_ = -1;
      close_pipes();
      throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
    }
  }

  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    close_pipes();
  }

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void signal(int number) const { ::kill(pid_, number); }

  // Reads output until `done` holds, both pipes are closed, or the deadline passes; answers `done`.
  bool read_until(const std::function<bool()>& done, Clock::time_point deadline) {
    while (!done() && (fds_[0] >= 0 || fds_[1] >= 0)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
      if (::poll(polled, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
      for (int i = 0; i < 2; ++i) {
        if (polled[i].fd < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[4096];
        const ssize_t got = ::read(fds_[i], buffer, sizeof buffer);
        if (got > 0) {
          (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          ::close(fds_[i]);
          fds_[i] = -1;
        }
      }
    }
    return done();
  }

  // The wait status once the child has closed its output and ended, or nullopt when the deadline passes.
  std::optional<int> finish(Clock::time_point deadline) {
    read_until([] { return false; }, deadline);
    while (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
  }

 private:
  static std::vector<char*> pointers(const std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (const std::string& text : texts) result.push_back(const_cast<char*>(text.c_str()));
    result.push_back(nullptr);
    return result;
  }

  void close_pipes() {
    for (int& fd : fds_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
};

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
                                           "0", "--token", TOKEN},
                  std::map<std::string, std::string>{});
    // The node names its address on its first line: "... serving 2 datasets on http://127.0.0.1:PORT".
    if (!node_->read_until([&] { return node_->out.find('\n') != std::string::npos; },
                           in(std::chrono::seconds(5))))
      throw std::runtime_error("the compute node did not start: " + node_->err);
    const std::string line = node_->out.substr(0, node_->out.find('\n'));
    url_ = line.substr(line.rfind(' ') + 1);
  }

  ~CliEndToEnd() override {
    node_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::unique_ptr<Child> start(const std::string& sim, const std::string& dataset,
                               std::vector<std::string> extra = {},
                               std::map<std::string, std::string> env = {}) const {
    std::vector<std::string> args = {
        NALTO_PUBLISH_REPORT_EXE, "--path", sim, "--dataset", dataset, "--platform-state",
        state_file().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    env.emplace("NALTO_COMPUTE_URL", url_);
    env.emplace("NALTO_COMPUTE_TOKEN", TOKEN);
    return std::make_unique<Child>(args, env);
  }

  struct Ended {
    int status = -1;
    std::string out, err;
  };

  Ended publish(const std::string& sim, const std::string& dataset, std::vector<std::string> extra = {},
                std::map<std::string, std::string> env = {}) const {
    const auto child = start(sim, dataset, std::move(extra), std::move(env));
    const std::optional<int> status = child->finish(in(std::chrono::seconds(10)));
    if (!status) ADD_FAILURE() << "the CLI did not end within 10 s; stderr:\n" << child->err;
    return {status.value_or(-1), child->out, child->err};
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
  std::optional<Child> node_;
  std::string url_;
};

bool exited_with(int status, int code) {
  return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST_F(CliEndToEnd, PublishesTheRoomAndPrintsTheReportTable) {
  const Ended run = publish(ROOM, "heated-room-demo", {"--bundle", ROOM, "--project", "office-heating"});

  ASSERT_TRUE(exited_with(run.status, 0)) << run.err;
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
  const Ended run = publish(ROOM, "no-such-data");

  EXPECT_TRUE(exited_with(run.status, 1));
  EXPECT_THAT(run.err, HasSubstr("has no dataset 'no-such-data'"));
  EXPECT_TRUE(claims().empty()) << claims();
}

TEST_F(CliEndToEnd, SimThatDoesNotStartIsShownWithItsOutputAndTheClaimClosed) {
  const Ended run = publish(TEST_SIM, "echo", {}, {{"NALTO_TEST_SIM_MODE", "crash-at-start"}});

  EXPECT_TRUE(exited_with(run.status, 1));
  EXPECT_THAT(run.err, HasSubstr("The sim did not start:\n\n"));
  EXPECT_THAT(run.err, HasSubstr("test sim: the model is broken"));
  const Json claim = only_claim();
  EXPECT_EQ(claim.at("state"), "closed");
  EXPECT_EQ(claim.at("failure"), "The sim did not start:");
}

TEST_F(CliEndToEnd, WrongTokenShowsTheNodesRefusal) {
  const Ended run = publish(ROOM, "heated-room-demo", {}, {{"NALTO_COMPUTE_TOKEN", "not-the-token"}});

  EXPECT_TRUE(exited_with(run.status, 1));
  EXPECT_THAT(run.err, HasSubstr("the token does not match this compute node's: set NALTO_COMPUTE_TOKEN"));
}

TEST_F(CliEndToEnd, InterruptDuringTheReplayClosesTheClaimStopsTheSimAndEndsBySigint) {
  const testing::ProcessMark mark;
  const auto cli = start(TEST_SIM, "echo", {"--call-timeout", "60"},
                         {{"NALTO_TEST_SIM_MODE", "hang-in-step"}, {"NALTO_LOG", "debug"}});
  ASSERT_TRUE(cli->read_until([&] { return cli->err.find("Replaying episode 0") != std::string::npos; },
                              in(std::chrono::seconds(5))))
      << cli->err;

  cli->signal(SIGINT);
  const std::optional<int> status = cli->finish(in(std::chrono::seconds(10)));

  ASSERT_TRUE(status.has_value()) << cli->err;
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << "wait status " << *status;
  EXPECT_THAT(cli->err, HasSubstr("Interrupted: closing the claim and stopping the sim..."));
  const Json claim = only_claim();
  EXPECT_EQ(claim.at("state"), "closed");
  EXPECT_FALSE(claim.at("failure").get<std::string>().empty());
  EXPECT_THAT(mark.alive(), IsEmpty());
}

}  // namespace
}  // namespace nalto

#endif
