// What a sim can reach of the tool that runs it, with the real binary: started as an unprivileged user
// (nobody, when the tests run as root) with the compute node's token in its environment, it runs a sim
// that reads every /proc page of its ancestors it can and every descriptor it holds; and killed with
// SIGKILL in the middle of a run, it leaves nothing of its sim.

#ifdef NALTO_EXE

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/fixtures.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string TEST_SIM = std::string(NALTO_TEST_SIMS_DIR) + "/test-sim";

// A sim that reads what a hostile one could of the processes above it and of its descriptors, into the
// file $NALTO_PROBE_DUMP, then exits before it serves.
constexpr const char* PROBE = R"PY(#!/usr/bin/python3
import os, re
inherited = os.listdir("/proc/self/fd")
dump = open(os.environ["NALTO_PROBE_DUMP"], "wb")

def note(text):
    dump.write(text.encode() + b"\n")

def read(path):
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as e:
        return note(f"refused {path}: {e.strerror}")
    try:
        data = os.read(fd, 1 << 24)
        note(f"read {path}: {len(data)} bytes")
        dump.write(data + b"\n")
    except OSError as e:
        note(f"unreadable {path}: {e.strerror}")
    finally:
        os.close(fd)

def memory(pid):
    try:
        maps = open(f"/proc/{pid}/maps").read().splitlines()
        mem = open(f"/proc/{pid}/mem", "rb", buffering=0)
    except OSError as e:
        return note(f"refused /proc/{pid}/mem: {e.strerror}")
    for line in maps:
        span, perms = line.split()[:2]
        if "r" not in perms:
            continue
        start, end = (int(x, 16) for x in span.split("-"))
        try:
            mem.seek(start)
            dump.write(mem.read(min(end - start, 1 << 26)))
        except (OSError, OverflowError, ValueError):
            pass
    note(f"read /proc/{pid}/mem")

pid = os.getpid()
note(f"pid {pid}")
while True:
    parent = int(re.search(r"^PPid:\s*(\d+)", open(f"/proc/{pid}/status").read(), re.M).group(1))
    if parent == 0:
        break
    note(f"ancestor {parent}")
    for page in ("environ", "cmdline", "auxv", "stat", "status", "maps"):
        read(f"/proc/{parent}/{page}")
    memory(parent)
    try:
        fds = os.listdir(f"/proc/{parent}/fd")
    except OSError as e:
        note(f"refused /proc/{parent}/fd: {e.strerror}")
        fds = []
    for fd in fds:
        read(f"/proc/{parent}/fd/{fd}")
    pid = parent
note(f"inherited {sorted(int(fd) for fd in inherited)}")
for fd in inherited:
    if int(fd) > 2 and int(fd) != dump.fileno():
        read(f"/proc/self/fd/{fd}")
dump.flush()
print("probe: done", flush=True)
)PY";

// Where in the probe's dump `token` is, as the probe's last note before it; empty when nowhere.
std::string found_in(const std::string& dumped, const std::string& token) {
  const std::size_t at = dumped.find(token);
  if (at == std::string::npos) return "";
  const std::size_t note = dumped.rfind("\nread ", at);
  return "in what the probe noted as: " + dumped.substr(note + 1, dumped.find('\n', note + 1) - note - 1);
}

std::string random_token() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 32; ++i) token += "0123456789abcdef"[random() % 16];
  return token;
}

bool others_can_run(const fs::path& file) {
  for (fs::path at = file.parent_path(); at != at.root_path(); at = at.parent_path())
    if ((fs::status(at).permissions() & fs::perms::others_exec) == fs::perms::none) return false;
  return (fs::status(file).permissions() & fs::perms::others_exec) != fs::perms::none;
}

// A folder every user can enter, holding the probe and the file it writes, and the command line that
// runs a program as the unprivileged user.
class ProbeSetup {
 public:
  ProbeSetup() {
    std::string pattern = (fs::temp_directory_path() / "nalto-isolation-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir_ = pattern;
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    std::ofstream(probe()) << PROBE;
    fs::permissions(probe(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    std::ofstream(dump()).flush();
    fs::permissions(dump(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read |
                                fs::perms::others_write);
    // The build folder may be closed to other users: then they run a copy.
    nalto_ = NALTO_EXE;
    if (::geteuid() == 0 && !others_can_run(nalto_)) {
      fs::copy_file(nalto_, dir_ / "nalto");
      nalto_ = dir_ / "nalto";
    }
  }
  ~ProbeSetup() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path probe() const { return dir_ / "probe"; }
  fs::path dump() const { return dir_ / "dump"; }
  std::string nalto() const { return nalto_.string(); }

  std::string dumped() const {
    std::ifstream in(dump(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // `argv` as the unprivileged user: nobody when this test runs as root, else this test's own user.
  static std::vector<std::string> unprivileged(std::vector<std::string> argv) {
    if (::geteuid() != 0) return argv;
    argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    return argv;
  }

 private:
  fs::path dir_, nalto_;
};

TEST(SimIsolationEndToEnd, ASimOfTheToolsOwnUserFindsNoTokenAboveItNorInItsDescriptors) {
  ProbeSetup setup;
  const std::string token = random_token();
  const std::map<std::string, std::string> env = {{"NALTO_COMPUTE_TOKEN", token},
                                                  {"NALTO_PROBE_DUMP", setup.dump().string()}};

  // The probe finds the token where it is within reach: in a shell of its user that holds it.
  const std::string probe = setup.probe().string();
  testing::Ran control = testing::run(ProbeSetup::unprivileged({"/bin/sh", "-c", probe + "; true"}),
                                      std::chrono::seconds(10), env);
  ASSERT_EQ(control.exit, testing::exited(0)) << control.err;
  EXPECT_NE(setup.dumped().find(token), std::string::npos) << "the probe reads what it can reach";

  struct Case {
    const char* what;
    std::map<std::string, std::string> env;
    std::string above;  // what the probe must have read of its nearest ancestor
  };
  const std::vector<Case> cases = {
      {"in its PID namespace, where the kernel allows it", {}, "nalto-sim-init"},
      {"without a PID namespace",
       {{"NALTO_TEST_NO_PID_NAMESPACE", "1"}},
       std::string("validate\0--path", 15)},
  };
  for (const Case& c : cases) {
    std::map<std::string, std::string> run_env = env;
    run_env.insert(c.env.begin(), c.env.end());
    const testing::Ran run =
        testing::run(ProbeSetup::unprivileged({setup.nalto(), "sim", "validate", "--path", probe}),
                     std::chrono::seconds(20), run_env);
    ASSERT_EQ(run.exit, testing::exited(1)) << c.what << "\n" << run.out << run.err;
    EXPECT_THAT(run.err, HasSubstr("probe: done")) << c.what << ": its output is shown";
    const std::string dumped = setup.dumped();
    EXPECT_EQ(found_in(dumped, token), "") << c.what;
    // The fourth is the probe's own listing of them.
    EXPECT_NE(dumped.find("inherited [0, 1, 2, 3]\n"), std::string::npos) << c.what;
    EXPECT_NE(dumped.find("ancestor "), std::string::npos) << c.what;
    // The second process of its namespace, under our init.
    if (c.env.empty() && dumped.find("pid 2\n") == std::string::npos) {
      std::cerr << "[ NOTE     ] no PID namespace for the sim here\n";
      continue;
    }
    EXPECT_NE(dumped.find(c.above), std::string::npos) << c.what << ": the probe read its nearest ancestor";
  }
}

TEST(SimIsolationEndToEnd, AToolKilledWithSigkillMidRunLeavesNothingOfItsSim) {
  const testing::ProcessMark mark;
  // The sim hangs in its first Step, ignores SIGTERM and leaves a grandchild.
  testing::Subprocess cli({NALTO_EXE, "sim", "validate", "--path", TEST_SIM, "--call-timeout", "60"},
                          {{"NALTO_TEST_SIM_MODE", "hang-ignore-term"}});
  ASSERT_TRUE(cli.read_until([&] { return cli.out().find("✓ Mappings") != std::string::npos; },
                             testing::Subprocess::Clock::now() + std::chrono::seconds(10)))
      << cli.out() << cli.err();
  if (cli.out().find("✓ The sim runs in its own PID namespace") == std::string::npos)
    GTEST_SKIP() << "no PID namespace for the sim here:\n" << cli.out();
  EXPECT_GE(mark.alive(std::chrono::milliseconds(0)).size(), 3u) << "the sim and its grandchild ran";
  cli.signal(SIGKILL);
  EXPECT_EQ(cli.finish(testing::Subprocess::Clock::now() + std::chrono::seconds(5)),
            testing::killed_by(SIGKILL));
  EXPECT_THAT(mark.alive(), IsEmpty()) << "the sim and its grandchild";
  for (const int pid : mark.alive(std::chrono::milliseconds(0))) ::kill(pid, SIGKILL);
}

}  // namespace
}  // namespace nalto

#endif
