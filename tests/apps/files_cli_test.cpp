// The files the CLI is given, as a user gives them: special files refused without hanging, and one
// state file shared by several nalto processes at once.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "support/non_regular_files.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using testing::exited;
using ::testing::HasSubstr;

class FilesCliTest : public ::testing::Test {
 protected:
  FilesCliTest() {
    std::ofstream(sim) << "#!/bin/sh\n";
    fs::create_directories(dir / "state");
  }

  // The real binary with these arguments, at most 5 s: a read that blocks or never ends fails here.
  testing::Ran nalto(std::vector<std::string> args) const {
    args.insert(args.begin(), NALTO_EXE);
    return testing::run(args, std::chrono::seconds(5), {{"XDG_STATE_HOME", (dir / "state").string()}});
  }

  testing::TempFolder dir;
  const std::string sim = (dir / "room.sh").string();
  const std::string digest = std::string(64, 'a');
};

TEST_F(FilesCliTest, FilesThatAreNotRegularAsArgumentsAreRefusedAtOnceWithWhatTheyAre) {
  for (const auto& [special, reason] : testing::non_regular_files(dir.path())) {
    const std::string file = special.string();
    struct Case {
      std::vector<std::string> args;
      int status;
      std::string message;
    };
    const std::string state_message =
        "Error: StateFileError: Could not read the platform state file '" + file + "': " + reason + "\n";
    const std::vector<Case> cases = {
        {{"sim", "list", "--platform-state", file}, 1, state_message},
        {{"sim", "link", "--sim", "s", "--project", "p", "--platform-state", file}, 1, state_message},
        {{"sim", "publish", "--path", sim, "--dataset", "d", "--bundle-sha256", digest, "--platform-state",
          file},
         1,
         state_message},
        {{"sim", "publish", "--path", sim, "--dataset", "d", "--bundle-sha256", digest, "--env-init",
          "@" + file},
         2,
         "--env-init: cannot read " + file + ": " + reason},
        {{"sim", "validate", "--path", sim, "--env-init", "@" + file},
         2,
         "--env-init: cannot read " + file + ": " + reason},
    };
    for (const Case& c : cases) {
      const testing::Ran ran = nalto(c.args);
      EXPECT_EQ(ran.exit, exited(c.status)) << file << " " << c.args[1] << "\n" << ran.err;
      EXPECT_THAT(ran.err, HasSubstr(c.message)) << c.args[1];
    }
  }
}

TEST_F(FilesCliTest, AnOutputThatIsNoRegularFileIsRefusedBeforeAnyWorkAndLeftAsItIs) {
  // A node that is not there: any work of the publish would show as a failure to reach it.
  const std::map<std::string, std::string> env = {{"XDG_STATE_HOME", (dir / "state").string()},
                                                  {"NALTO_COMPUTE_URL", "http://127.0.0.1:9"}};
  const std::string fresh_state = (dir / "state" / "fresh.json").string();
  const std::vector<std::string> publish = {NALTO_EXE,   "sim", "publish",         "--path", sim,
                                            "--dataset", "d",   "--bundle-sha256", digest};
  for (const auto& [output, reason] : testing::non_regular_outputs(dir.path())) {
    const std::string file = output.string();
    std::vector<std::string> json_to = publish, state_at = publish;
    json_to.insert(json_to.end(), {"--json", file, "--platform-state", fresh_state});
    state_at.insert(state_at.end(), {"--platform-state", file, "--json", "-"});
    const std::string state_message =
        "Error: StateFileError: Could not read the platform state file '" + file + "': " + reason + "\n";

    testing::Ran ran = testing::run(json_to, std::chrono::seconds(5), env);
    EXPECT_EQ(ran.exit, exited(1)) << file << "\n" << ran.err;
    EXPECT_EQ(ran.err, "Could not write the summary file '" + file + "': " + reason + "\n")
        << "the refusal alone, before any work";
    EXPECT_FALSE(fs::exists(fresh_state)) << "no claim was made";

    ran = testing::run(state_at, std::chrono::seconds(5), env);
    EXPECT_EQ(ran.exit, exited(1)) << file << "\n" << ran.err;
    EXPECT_EQ(ran.err, state_message) << "the refusal alone, before any work";
    const Json summary = Json::parse(ran.out);
    EXPECT_EQ(summary["outcome"], "failed");
    EXPECT_EQ(summary["error"], (Json{{"type", "StateFileError"},
                                      {"message", state_message.substr(0, state_message.size() - 1)}}));

    ran = testing::run({NALTO_EXE, "sim", "link", "--sim", "s", "--project", "p", "--platform-state", file},
                       std::chrono::seconds(5), env);
    EXPECT_EQ(ran.exit, exited(1)) << file << "\n" << ran.err;
    EXPECT_EQ(ran.err, state_message);
  }
  EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
  EXPECT_FALSE(fs::exists(testing::dangling_target(dir.path()).parent_path()));
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
}

TEST_F(FilesCliTest, ABundleThatIsNoRegularFileIsNotHashed) {
  for (const auto& [special, reason] : testing::non_regular_files(dir.path())) {
    const testing::Ran ran = nalto({"sim", "publish", "--path", sim, "--dataset", "d", "--bundle", special});
    if (fs::is_directory(special)) {  // the option's own check: a usage error
      EXPECT_EQ(ran.exit, exited(2)) << ran.err;
      EXPECT_THAT(ran.err, HasSubstr("directory"));
      continue;
    }
    EXPECT_EQ(ran.exit, exited(1)) << special << "\n" << ran.err;
    EXPECT_EQ(ran.err, "Could not hash the bundle '" + special.string() + "': " + reason + "\n");
  }
}

TEST_F(FilesCliTest, AnEnvInitFileLargerThanTheCapIsRefused) {
  const fs::path file = dir / "env.json";
  std::ofstream(file) << R"({"seed": 7})";  // 11 bytes
  EXPECT_EQ(cli::env_init_of("@" + file.string(), 11), (Json{{"seed", 7}}));
  try {
    cli::env_init_of("@" + file.string(), 10);
    ADD_FAILURE();
  } catch (const CLI::ValidationError& e) {
    EXPECT_THAT(e.what(),
                HasSubstr("--env-init: cannot read " + file.string() + ": Is larger than 10 bytes"));
  }
  EXPECT_EQ(cli::ENV_INIT_MAX_BYTES, 16u * 1024 * 1024);
}

TEST_F(FilesCliTest, AnEnvInitFileWithBytesAfterANulIsRefused) {
  const fs::path file = dir / "env.json";
  using namespace std::string_literals;
  for (const std::string& text : {"{\"seed\": 7}\0{\"more\": 1}"s, "{\"seed\": 7}\0"s, "{\"seed\": \0 7}"s}) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    try {
      cli::env_init_of("@" + file.string());
      ADD_FAILURE() << "accepted";
    } catch (const CLI::ValidationError& e) {
      EXPECT_THAT(e.what(), HasSubstr("--env-init: not valid JSON"));
    }
  }
}

TEST_F(FilesCliTest, SeveralProcessesLinkingOnOneStateFileKeepEveryLink) {
  constexpr int PROCESSES = 6;
  const std::string state = (dir / "state" / "shared.json").string();
  std::vector<std::unique_ptr<testing::Subprocess>> running;
  for (int i = 0; i < PROCESSES; ++i)
    running.push_back(std::make_unique<testing::Subprocess>(
        std::vector<std::string>{NALTO_EXE, "sim", "link", "--sim", "room", "--project",
                                 "p" + std::to_string(i), "--platform-state", state}));
  for (const auto& process : running)
    EXPECT_EQ(process->finish(testing::Subprocess::Clock::now() + std::chrono::seconds(10)), exited(0))
        << process->err();

  std::ifstream in(state);
  const Json saved = Json::parse(in);
  std::set<std::string> projects;
  for (const Json& link : saved.at("links")) projects.insert(link.at("project").get<std::string>());
  EXPECT_EQ(projects, (std::set<std::string>{"p0", "p1", "p2", "p3", "p4", "p5"}));
}

}  // namespace
}  // namespace nalto
