#include "nalto/runtime/process.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio/posix/stream_descriptor.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "nalto/runtime/grpc_sim_runtime.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/utf8.hpp"
#include "support/fixtures.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::Loop;
using Lines = std::vector<std::string>;
using Process = std::unique_ptr<runtime::SimChildProcess>;

// Set, sims run without a PID namespace of their own, as where the kernel refuses one; the pids they
// print are then this process's.
constexpr const char* NO_PID_NAMESPACE = "NALTO_TEST_NO_PID_NAMESPACE";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "nalto-process-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = fs::canonical(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

  fs::path write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name, std::ios::binary) << text;
    return path_ / name;
  }
  fs::path script(const std::string& name, const std::string& body) const {
    const fs::path file = write(name, "#!/bin/sh\n" + body);
    fs::permissions(file, fs::perms::owner_all);
    return file;
  }

 private:
  fs::path path_;
};

// The loop's reactor opens descriptors of its own on first use; counted before, they are no leak. Nor is
// our init's program, made once at the first start and kept for the process's life.
std::size_t open_fds(Loop& loop) {
  const asio::posix::stream_descriptor reactor_in_use(loop.context);
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (!fs::read_symlink(entry.path(), ignored).string().starts_with("/memfd:nalto-sim-init")) ++count;
  }
  return count;
}

// A zombie counts as gone: an orphan is reaped by an init this test does not control.
bool gone(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text{std::istreambuf_iterator<char>(stat), {}};
  const std::size_t name_end = text.rfind(')');
  return name_end != std::string::npos && name_end + 2 < text.size() && text[name_end + 2] == 'Z';
}

// SIGKILL is delivered asynchronously.
bool ends_soon(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    if (gone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Fully gone: as this process is the subreaper of every sim's orphans, none may be left a zombie.
bool reaped_soon(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

asio::awaitable<Process> start_with(fs::path path, std::function<void(std::string)> on_output,
                                    Json env = Json::object(), int port = 4242) {
  std::string text = path.string();
  std::string host = "127.0.0.1";
  co_return co_await runtime::start_sim_process(std::move(text), std::move(host), port, std::move(env),
                                                std::move(on_output));
}

asio::awaitable<Process> start(fs::path path, Lines& lines, Json env = Json::object(), int port = 4242) {
  std::function<void(std::string)> on_output = [&lines](std::string line) {
    lines.push_back(std::move(line));
  };
  co_return co_await start_with(std::move(path), std::move(on_output), std::move(env), port);
}

// The longest pause of a timer ticking on the loop every 5 ms, over `ticks` ticks or until `done`.
asio::awaitable<double> longest_pause(
    int ticks, std::function<bool()> done = [] { return false; }) {
  using Clock = std::chrono::steady_clock;
  double longest = 0;
  for (auto last = Clock::now(); ticks-- > 0 && !done();) {
    co_await sleep_for(0.005);
    const auto now = Clock::now();
    longest = std::max(longest, std::chrono::duration<double>(now - last).count());
    last = now;
  }
  co_return longest;
}

// This process's peak resident memory in KiB since the peak was last reset.
long peak_memory_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  return -1;
}
void reset_peak_memory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

asio::awaitable<void> until_lines(const Lines& lines, std::size_t count) {
  for (int i = 0; i < 500 && lines.size() < count; ++i) co_await sleep_for(0.01);
}

TEST(FreePortTest, GivesABindablePort) {
  const int port = runtime::free_port();
  ASSERT_GT(port, 0);
  ASSERT_LT(port, 65536);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  ::close(fd);
}

TEST(SimProcessTest, FolderSimGetsItsArgumentsFolderAndEnvironmentAndItsOutputInOrder) {
  TempDir dir;
  dir.write("sim.json", R"({"command": ["/bin/sh", "sim.sh"]})");
  dir.write("sim.sh",
            "echo \"$@\"\n"
            "pwd -P\n"
            "echo \"$NALTO_PROCESS_A $NALTO_PROCESS_B $NALTO_PROCESS_C\"\n"
            "echo out1\n"
            "echo err1 >&2\n"
            "echo out2\n"
            "printf 'bad \\377 byte\\n'\n"
            "printf 'crlf\\r\\n'\n"
            "printf 'last'\n"
            "exit 3\n");
  testing::ScopedEnv inherited("NALTO_PROCESS_C", "kept");
  testing::ScopedEnv overridden("NALTO_PROCESS_A", "inherited");
  Loop loop;
  Lines lines;
  std::optional<int> code_after_wait;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    Json env = {{"NALTO_PROCESS_A", "text"}, {"NALTO_PROCESS_B", 2.5}};
    const Process process = co_await start(dir.path(), lines, std::move(env), 5005);
    const int first = co_await process->wait();
    code_after_wait = process->returncode();
    const int again = co_await process->wait();
    EXPECT_EQ(again, first);
    co_return first;
  }());
  EXPECT_EQ(code, 3);
  EXPECT_EQ(code_after_wait, 3);
  const Lines expected = {"--host 127.0.0.1 --port 5005",
                          dir.path().string(),
                          "text 2.5 kept",
                          "out1",
                          "err1",
                          "out2",
                          "bad \xEF\xBF\xBD byte",
                          "crlf",
                          "last"};
  EXPECT_EQ(lines, expected);
}

TEST(SimProcessTest, ExecutableFileRunsInItsFolder) {
  TempDir dir;
  const fs::path sim = dir.script("sim", "echo \"$0\" \"$@\"\npwd -P\n");
  Loop loop;
  Lines lines;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    const Process process = co_await start(sim, lines);
    co_return co_await process->wait();
  }());
  EXPECT_EQ(code, 0);
  const Lines expected = {sim.string() + " --host 127.0.0.1 --port 4242", dir.path().string()};
  EXPECT_EQ(lines, expected);
}

TEST(SimProcessTest, AllOutputIsHandedOverWhenWaitReturns) {
  TempDir dir;
  const fs::path sim = dir.script("sim", "echo one\nprintf two\n");
  Loop loop;
  Lines lines;
  const Lines seen = loop.run([&]() -> asio::awaitable<Lines> {
    const Process process = co_await start(sim, lines);
    // Holding the loop until the sim has exited leaves its output unread when wait() begins.
    for (int i = 0; i < 400 && !process->returncode(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    co_await process->wait();
    co_return lines;
  }());
  const Lines expected = {"one", "two"};
  EXPECT_EQ(seen, expected);
}

TEST(SimProcessTest, ASimThatExitsBeforeServingHasHandedOverItsOutputWhenTheServingCheckSaysSo) {
  TempDir dir;
  const fs::path sim = dir.script("sim", "echo loading\necho 'the model is broken' >&2\nexit 3\n");
  Loop loop;
  runtime::GrpcSimRuntime runtime;
  Lines lines;
  std::string failure;
  loop.run([&]() -> asio::awaitable<void> {
    const int port = runtime.get_free_port();
    std::function<void(std::string)> on_output = [&lines](std::string line) {
      lines.push_back(std::move(line));
    };
    const std::unique_ptr<outside::SimProcess> process = co_await runtime.make_in_process(
        sim.string(), "localhost", port, Json::object(), std::move(on_output));
    // The loop stands still meanwhile, so the lines are still in the pipe when the check sees the exit.
    for (int i = 0; i < 1000 && !process->returncode(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const Attempt<void> served =
        co_await attempt(runtime.check_serving("localhost:" + std::to_string(port), 60));
    failure = message_of(served.failure());
  }());
  EXPECT_EQ(failure, "the sim exited with code 3 before it served");
  EXPECT_EQ(lines, (Lines{"loading", "the model is broken"}));
}

TEST(SimProcessTest, ReturncodeSeesAnExitWithoutWait) {
  TempDir dir;
  const fs::path sim = dir.script("sim", "echo started\nexit 4\n");
  Loop loop;
  Lines lines;
  const std::optional<int> seen = loop.run([&]() -> asio::awaitable<std::optional<int>> {
    const Process process = co_await start(sim, lines);
    for (int i = 0; i < 500 && !process->returncode(); ++i) co_await sleep_for(0.01);
    co_return process->returncode();
  }());
  EXPECT_EQ(seen, 4);
}

TEST(SimProcessTest, TerminateEndsASleepingSim) {
  TempDir dir;
  const fs::path sim = dir.script("sim", "sleep 30\n");
  Loop loop;
  Lines lines;
  bool running_before = false;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    const Process process = co_await start(sim, lines);
    running_before = !process->returncode();
    process->terminate();
    co_return co_await process->wait();
  }());
  EXPECT_TRUE(running_before);
  EXPECT_EQ(code, -SIGTERM);
}

TEST(SimProcessTest, KillEndsASimThatIgnoresTerm) {
  TempDir dir;
  const fs::path sim = dir.script("sim", "trap '' TERM\necho ready\nsleep 30\n");
  Loop loop;
  Lines lines;
  bool outlived_term = false;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    const Process process = co_await start(sim, lines);
    co_await until_lines(lines, 1);
    process->terminate();
    auto waiting = process->wait();
    try {
      co_await with_timeout(std::move(waiting), 0.3);
    } catch (const TimeoutError&) {
      outlived_term = !process->returncode();
    }
    process->kill();
    co_return co_await process->wait();
  }());
  EXPECT_TRUE(outlived_term);
  EXPECT_EQ(code, -SIGKILL);
}

TEST(SimProcessTest, WhatIsLeftOfTheGroupEndsWithTheSim) {
  const testing::ScopedEnv no_namespace(NO_PID_NAMESPACE, "1");
  TempDir dir;
  const fs::path sim = dir.script("sim", "sleep 30 &\necho $!\n");
  Loop loop;
  Lines lines;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    const Process process = co_await start(sim, lines);
    co_return co_await process->wait();
  }());
  EXPECT_EQ(code, 0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(ends_soon(std::stoi(lines[0])));
}

TEST(SimProcessTest, ACancelledWaitLeavesTheProcessWaitable) {
  TempDir dir;
  const fs::path sim = dir.script("sim", "exec >/dev/null 2>&1\nsleep 30\n");
  Loop loop;
  Lines lines;
  Process process;
  std::exception_ptr failure;
  try {
    loop.run([&]() -> asio::awaitable<void> {
      process = co_await start(sim, lines);
      loop.cancel_soon();
      co_await process->wait();
    }());
  } catch (...) {
    failure = std::current_exception();
  }
  EXPECT_TRUE(is_cancellation(failure));
  ASSERT_TRUE(process);
  EXPECT_FALSE(process->returncode());
  process->terminate();
  EXPECT_EQ(loop.run(process->wait()), -SIGTERM);
  EXPECT_EQ(process->returncode(), -SIGTERM);
}

TEST(SimProcessTest, DestroyingTheHandleEndsTheGroupAndLeaksNoDescriptor) {
  const testing::ScopedEnv no_namespace(NO_PID_NAMESPACE, "1");
  TempDir dir;
  const fs::path sim = dir.script("sim", "echo $$\nsleep 30 &\necho $!\nsleep 30\n");
  Loop loop;
  Lines lines;
  const std::size_t fds_before = open_fds(loop);
  loop.run([&]() -> asio::awaitable<void> {
    const Process process = co_await start(sim, lines);
    co_await until_lines(lines, 2);
  }());
  EXPECT_EQ(open_fds(loop), fds_before);
  ASSERT_EQ(lines.size(), 2u);
  const pid_t leader = std::stoi(lines[0]);
  errno = 0;
  EXPECT_NE(::kill(leader, 0), 0);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_TRUE(ends_soon(std::stoi(lines[1])));
}

TEST(SimOutputTest, AnEndlessLineKeepsItsEndInBoundedMemoryWhileTheLoopRuns) {
  TempDir dir;
  // 50 MB without a newline, then its end.
  const fs::path sim = dir.script("sim", "head -c 50000000 /dev/zero | tr '\\0' x\nprintf 'END\\n'\n");
  Loop loop;
  Lines lines;
  reset_peak_memory();
  const long memory_before = peak_memory_kib();
  const double pause = loop.run([&]() -> asio::awaitable<double> {
    const Process process = co_await start(sim, lines);
    std::function<bool()> exited = [&process] { return process->returncode().has_value(); };
    const double longest = co_await longest_pause(4000, std::move(exited));
    co_await process->wait();
    co_return longest;
  }());
  EXPECT_LT(pause, 0.5) << "the loop was held while the line was read";
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), runtime::MAX_LINE_BYTES);
  EXPECT_TRUE(lines[0] == std::string(runtime::MAX_LINE_BYTES - 3, 'x') + "END") << "the line's end was kept";
  EXPECT_LT(peak_memory_kib() - memory_before, 20 * 1024) << "the line was held whole";
}

TEST(SimOutputTest, ASimThatWritesWithoutPauseLeavesTheLoopItsTurns) {
  TempDir dir;
  // Bounded, so that a reader that never lets go still ends.
  const fs::path sim = dir.script("sim", "exec timeout 3 yes\n");
  Loop loop;
  std::size_t count = 0;
  const double pause = loop.run([&]() -> asio::awaitable<double> {
    // A reader slower than `yes` never finds the pipe empty.
    std::function<void(std::string)> on_output = [&count](std::string) {
      ++count;
      const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(200);
      while (std::chrono::steady_clock::now() < until) {
      }
    };
    const Process process = co_await start_with(sim, std::move(on_output));
    const double longest = co_await longest_pause(20);
    process->kill();
    co_await process->wait();
    co_return longest;
  }());
  EXPECT_LT(pause, 0.25);
  EXPECT_GT(count, 1000u) << "the output was read meanwhile";
}

TEST(SimOutputTest, AnOverlongLineIsCutBetweenSequences) {
  TempDir dir;
  // A three-byte sequence per euro sign: the cut at MAX_LINE_BYTES from the end falls inside one.
  const std::size_t euros = runtime::MAX_LINE_BYTES / 3 + 10;
  const fs::path sim = dir.script("sim", "i=0\nwhile [ $i -lt " + std::to_string(euros) +
                                             " ]; do printf '\\342\\202\\254'; i=$((i+1)); done\necho\n");
  Loop loop;
  Lines lines;
  loop.run([&]() -> asio::awaitable<void> {
    const Process process = co_await start(sim, lines);
    co_await process->wait();
  }());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), runtime::MAX_LINE_BYTES - runtime::MAX_LINE_BYTES % 3);
  EXPECT_EQ(utf8::sanitize(lines[0]), lines[0]);
}

TEST(SimProcessTest, TheSimInheritsNoComputeNodeCredentials) {
  TempDir dir;
  const fs::path sim = dir.script("sim", "env\n");
  testing::ScopedEnv token("NALTO_COMPUTE_TOKEN", "secret");
  testing::ScopedEnv url("NALTO_COMPUTE_URL", "http://127.0.0.1:8470");
  testing::ScopedEnv other("NALTO_PROCESS_OTHER", "kept");
  struct Case {
    Json env;
    Lines present, absent;
  };
  const std::vector<Case> cases = {
      {Json::object(),
       {"NALTO_PROCESS_OTHER=kept"},
       {"NALTO_COMPUTE_TOKEN=secret", "NALTO_COMPUTE_URL=http://127.0.0.1:8470"}},
      // What the caller hands over itself is its own choice.
      {{{"NALTO_COMPUTE_URL", "http://given"}},
       {"NALTO_PROCESS_OTHER=kept", "NALTO_COMPUTE_URL=http://given"},
       {"NALTO_COMPUTE_TOKEN=secret"}},
  };
  Loop loop;
  for (const Case& c : cases) {
    Lines lines;
    loop.run([&]() -> asio::awaitable<void> {
      const Process process = co_await start(sim, lines, c.env);
      co_await process->wait();
    }());
    for (const std::string& entry : c.present) EXPECT_THAT(lines, ::testing::Contains(entry)) << c.env;
    for (const std::string& entry : c.absent) EXPECT_THAT(lines, ::testing::Not(::testing::Contains(entry)));
    for (const std::string& line : lines) EXPECT_FALSE(line.starts_with("NALTO_COMPUTE_TOKEN=")) << c.env;
  }
}

// In a forked copy of this test that has a terminal of its own, as a tool run from a shell has.
TEST(SimProcessTest, TheSimRunsInASessionOfItsOwnWithoutTheTerminal) {
  TempDir dir;
  const fs::path sim =
      dir.script("sim",
                 "if (: </dev/tty) 2>/dev/null; then echo terminal; else echo no terminal; fi\n"
                 "echo $$ $(cut -d' ' -f6,7 /proc/$$/stat)\n");
  const auto tool = testing::Subprocess::fork([&sim] {
    if (::setsid() < 0) return 10;
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) return 11;
    const int side = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
    if (side < 0 || ::ioctl(side, TIOCSCTTY, 0) != 0) return 12;
    if (::open("/dev/tty", O_RDWR) < 0) return 13;
    Loop loop;
    Lines lines;
    loop.run([&]() -> asio::awaitable<void> {
      const Process process = co_await start(sim, lines);
      co_await process->wait();
    }());
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return ::write(STDOUT_FILENO, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 14;
  });
  const auto status = tool->finish(testing::Subprocess::Clock::now() + std::chrono::seconds(20));
  ASSERT_EQ(status, testing::exited(0)) << tool->out() << tool->err();
  std::istringstream out(tool->out());
  std::string reach, pid, session, terminal;
  std::getline(out, reach);
  out >> pid >> session >> terminal;
  EXPECT_EQ(reach, "no terminal");
  EXPECT_EQ(session, pid) << "the sim leads its own session";
  EXPECT_EQ(terminal, "0") << "the sim has no controlling terminal";
}

TEST(SimProcessTest, EveryDescendantEndsAndIsReapedWithTheSim) {
  const testing::ScopedEnv no_namespace(NO_PID_NAMESPACE, "1");
  enum class Ending { exits, killed, dropped };
  struct Case {
    const char* what;
    std::string script;  // prints the pid of the process that must not outlive the sim
    Ending ending;
  };
  // perl is in every Debian; the shell cannot move a job to a process group of its own without a terminal.
  const std::string own_group = "perl -e 'setpgrp(0, 0); $| = 1; print \"$$\\n\"; sleep 30' &\nsleep 0.2\n";
  const std::vector<Case> cases = {
      {"a child in a process group of its own", own_group, Ending::exits},
      {"a child in a process group of its own, the sim killed", own_group + "exec sleep 30\n",
       Ending::killed},
      {"a child that left the session, its parent running", "setsid sleep 30 &\necho $!\nexec sleep 30\n",
       Ending::dropped},
      {"a daemon: a double fork out of the session", "(setsid sleep 30 &\necho $!)\n", Ending::exits},
      {"a daemon, the sim killed", "(setsid sleep 30 &\necho $!)\nexec sleep 30\n", Ending::killed},
      {"a child in the sim's group, the handle dropped", "sleep 30 &\necho $!\nexec sleep 30\n",
       Ending::dropped},
  };
  Loop loop;
  for (const Case& c : cases) {
    TempDir dir;
    const fs::path sim = dir.script("sim", c.script);
    Lines lines;
    loop.run([&]() -> asio::awaitable<void> {
      Process process = co_await start(sim, lines);
      co_await until_lines(lines, 1);
      if (c.ending == Ending::killed) process->kill();
      if (c.ending == Ending::dropped) {
        process.reset();
      } else {
        co_await process->wait();
      }
    }());
    ASSERT_EQ(lines.size(), 1u) << c.what;
    EXPECT_TRUE(reaped_soon(std::stoi(lines[0]))) << c.what;
  }
}

TEST(SimProcessTest, StoppingOneSimLeavesTheOtherAndTheToolsOwnChildren) {
  const testing::ScopedEnv no_namespace(NO_PID_NAMESPACE, "1");
  TempDir dir;
  const fs::path sim = dir.script("sim", "setsid sleep 30 &\necho $$ $!\nexec sleep 30\n");
  testing::Subprocess own({"sleep", "30"});
  Loop loop;
  Lines first, second;
  const auto pids = [](const Lines& lines) {
    std::istringstream in(lines.at(0));
    std::pair<pid_t, pid_t> sim_and_helper;
    in >> sim_and_helper.first >> sim_and_helper.second;
    return sim_and_helper;
  };
  bool others_ran_on = false;
  loop.run([&]() -> asio::awaitable<void> {
    Process one = co_await start(sim, first);
    const Process other = co_await start(sim, second);
    co_await until_lines(first, 1);
    co_await until_lines(second, 1);
    one.reset();
    const auto [other_sim, other_helper] = pids(second);
    others_ran_on = !other->returncode() && !gone(other_sim) && !gone(other_helper) &&
                    !own.finish(testing::Subprocess::Clock::now());
  }());
  EXPECT_TRUE(others_ran_on) << "the other sim, its helper and the tool's own child run on";
  for (const Lines* lines : {&first, &second}) {
    const auto [sim_pid, helper] = pids(*lines);
    EXPECT_TRUE(reaped_soon(sim_pid));
    EXPECT_TRUE(reaped_soon(helper));
  }
}

// Whether this machine gives a sim a PID namespace of its own, as its isolation says; and why not.
const outside::SimIsolation& machine_isolation() {
  static const outside::SimIsolation found = [] {
    TempDir dir;
    const fs::path sim = dir.script("sim", "exit 0\n");
    Loop loop;
    Lines lines;
    return loop.run([&]() -> asio::awaitable<outside::SimIsolation> {
      const Process process = co_await start(sim, lines);
      co_await process->wait();
      co_return process->isolation();
    }());
  }();
  return found;
}

enum class Mode { namespaced, none };

std::string name_of(Mode mode) {
  return mode == Mode::namespaced ? "in a PID namespace" : "without a PID namespace";
}

// Sets the mode of the sims started in its scope.
class ScopedMode {
 public:
  explicit ScopedMode(Mode mode)
      : env_(NO_PID_NAMESPACE, mode == Mode::none ? std::optional<std::string>("1") : std::nullopt) {}

 private:
  testing::ScopedEnv env_;
};

// The modes this machine can show: without a namespace always, in one where the kernel allows it.
std::vector<Mode> modes() {
  if (machine_isolation().own_pid_namespace && machine_isolation().detail.empty())
    return {Mode::namespaced, Mode::none};
  std::cerr << "[ NOTE     ] no PID namespace for a sim here: " << machine_isolation().detail << "\n";
  return {Mode::none};
}

// Kills what a failed test left behind, so that it cannot disturb the tests after it.
void end_marked(const testing::ProcessMark& mark) {
  // A process that forks and leaves at once may slip through a scan: stopped, it cannot; only a run of
  // scans that find nothing ends the search.
  std::vector<int> found;
  for (int quiet = 0, round = 0; quiet < 20 && round < 2000; ++round) {
    const std::vector<int> left = mark.alive(std::chrono::milliseconds(0));
    quiet = left.empty() ? quiet + 1 : 0;
    for (const int pid : left) ::kill(pid, SIGSTOP);
    found.insert(found.end(), left.begin(), left.end());
  }
  for (const int pid : found) ::kill(pid, SIGKILL);
}

// This process's children that are zombies, but those in `known`: none may be left once a sim has ended.
std::vector<pid_t> zombie_children(const std::vector<pid_t>& known = {}) {
  std::vector<pid_t> found;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    const std::string text{std::istreambuf_iterator<char>(stat), {}};
    const std::size_t name_end = text.rfind(')');
    if (name_end == std::string::npos) continue;
    std::istringstream fields(text.substr(name_end + 1));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    const pid_t pid = std::stoi(name);
    if (state == 'Z' && parent == ::getpid() && std::find(known.begin(), known.end(), pid) == known.end())
      found.push_back(pid);
  }
  return found;
}

// perl is in every Debian; the shell cannot move a job to a process group of its own without a terminal.
// Each prints "ready" once its helpers run.
const std::string OWN_GROUP = "perl -e 'setpgrp(0, 0); sleep 30' &\n";
const std::string DAEMON = "(setsid sleep 30 &)\n";
// Every millisecond it forks; the parent exits and the child leaves the session, and adds a byte to the
// file "hops" in the sim's folder. A scan of /proc may miss a process so short-lived: the file, once it no
// longer grows, says that none runs.
const std::string HOPPER =
    "perl -MPOSIX -e 'while (1) { exit 0 if fork(); POSIX::setsid(); if (open(my $f, \">>\", \"hops\")) { "
    "print $f "
    "\"x\" } select(undef, undef, undef, 0.001) }' &\n"
    "while [ ! -s hops ]; do sleep 0.01; done\n";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// Whether the hopper that writes to `hops` hopped, and hops no longer.
bool hopped_and_stopped(const fs::path& hops) {
  std::error_code ignored;
  const std::uintmax_t before = fs::file_size(hops, ignored);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::uintmax_t after = fs::file_size(hops, ignored);
  return before > 0 && before != static_cast<std::uintmax_t>(-1) && after == before;
}

TEST(SimIsolationTest, TheSimRunsUnderOurInitInAPidNamespaceWithAProcOfItsOwn) {
  if (!machine_isolation().own_pid_namespace) GTEST_SKIP() << machine_isolation().detail;
  TempDir dir;
  const fs::path sim = dir.script("sim",
                                  "echo $$ $PPID\n"
                                  "tr '\\0' ' ' </proc/1/cmdline; echo\n"
                                  "ls /proc | grep -c '^[0-9]'\n"
                                  "echo $(id -u) $(id -g)\n");
  Loop loop;
  Lines lines;
  outside::SimIsolation isolation;
  const int code = loop.run([&]() -> asio::awaitable<int> {
    const Process process = co_await start(sim, lines);
    isolation = process->isolation();
    co_return co_await process->wait();
  }());
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(isolation.own_pid_namespace);
  EXPECT_EQ(isolation.detail, "") << "a /proc of its own";
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "2 1") << "the sim is not the namespace's first process: our init is, and its parent";
  EXPECT_THAT(lines[1], ::testing::StartsWith("nalto-sim-init "));
  EXPECT_LT(std::stoi(lines[2]), 10) << "its /proc shows its own namespace only";
  EXPECT_EQ(lines[3], std::to_string(::geteuid()) + " " + std::to_string(::getegid())) << "its own user";
}

TEST(SimIsolationTest, TheExitStatusIsExactInEveryMode) {
  enum class Stop { none, terminate, terminate_then_kill };
  struct Case {
    const char* what;
    std::string script;
    Stop stop;
    int code;
  };
  const std::vector<Case> cases = {
      {"an exit code", "exit 3\n", Stop::none, 3},
      {"a crash", "ulimit -c 0\nkill -SEGV $$\n", Stop::none, -SIGSEGV},
      {"SIGTERM's default action", "echo ready\nexec sleep 30\n", Stop::terminate, -SIGTERM},
      {"SIGTERM ignored, then a kill", "trap '' TERM\necho ready\nsleep 30\n", Stop::terminate_then_kill,
       -SIGKILL},
  };
  Loop loop;
  for (const Mode mode : modes()) {
    const ScopedMode scoped(mode);
    for (const Case& c : cases) {
      TempDir dir;
      const fs::path sim = dir.script("sim", c.script);
      Lines lines;
      std::optional<int> code_after_wait;
      const int code = loop.run([&]() -> asio::awaitable<int> {
        const Process process = co_await start(sim, lines);
        if (c.stop != Stop::none) {
          co_await until_lines(lines, 1);
          process->terminate();
        }
        if (c.stop == Stop::terminate_then_kill) {
          auto waiting = process->wait();
          co_await attempt(with_timeout(std::move(waiting), 0.3));
          process->kill();
        }
        const int ended = co_await process->wait();
        code_after_wait = process->returncode();
        co_return ended;
      }());
      EXPECT_EQ(code, c.code) << c.what << ", " << name_of(mode);
      EXPECT_EQ(code_after_wait, c.code) << c.what << ", " << name_of(mode);
    }
  }
}

TEST(SimIsolationTest, NothingASimStartedOutlivesItInEitherMode) {
  enum class Ending { exits, terminated, killed, dropped };
  struct Helper {
    const char* what;
    std::string script;
  };
  const std::vector<Helper> helpers = {
      {"a double-forked sleep", DAEMON},
      {"a helper that forks every millisecond, leaving the session", HOPPER},
      {"a child in a process group of its own", OWN_GROUP},
  };
  const std::vector<std::pair<Ending, const char*>> endings = {
      {Ending::exits, "the sim exits"},
      {Ending::terminated, "the sim is terminated"},
      {Ending::killed, "the sim is killed"},
      {Ending::dropped, "the handle is dropped"},
  };
  Loop loop;
  for (const Mode mode : modes()) {
    const ScopedMode scoped(mode);
    for (const Helper& helper : helpers) {
      // Without a namespace, stopping a helper that forks every millisecond is a race with it that
      // the tool wins by looking quicker than it forks; a sanitized build, several times slower and
      // sharing two cores with the other tests, can lose it. The plain build runs it.
      if (SANITIZED && mode == Mode::none && helper.script == HOPPER) continue;
      for (const auto& [ending, how] : endings) {
        const testing::ProcessMark mark;
        // Left by other tests of this process.
        const std::vector<pid_t> zombies_before = zombie_children();
        TempDir dir;
        const std::string rest = ending == Ending::exits ? "sleep 0.05\n" : "exec sleep 30\n";
        const fs::path sim = dir.script("sim", helper.script + "echo ready\n" + rest);
        Lines lines;
        loop.run([&]() -> asio::awaitable<void> {
          Process process = co_await start(sim, lines);
          co_await until_lines(lines, 1);
          if (ending == Ending::terminated) process->terminate();
          if (ending == Ending::killed) process->kill();
          if (ending == Ending::dropped) {
            process.reset();
          } else {
            co_await process->wait();
          }
        }());
        const std::string what = std::string(helper.what) + ", " + how + ", " + name_of(mode);
        EXPECT_EQ(lines, Lines{"ready"}) << what;
        EXPECT_THAT(mark.alive(), ::testing::IsEmpty()) << what;
        EXPECT_THAT(zombie_children(zombies_before), ::testing::IsEmpty()) << what;
        if (helper.script == HOPPER) {
          EXPECT_TRUE(hopped_and_stopped(dir.path() / "hops")) << what;
        }
        end_marked(mark);
      }
    }
  }
}

// How many of `pids` run the program `name`.
std::size_t running(const std::vector<int>& pids, const std::string& name) {
  return static_cast<std::size_t>(std::count_if(pids.begin(), pids.end(), [&name](int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string found;
    std::getline(comm, found);
    return found == name;
  }));
}

TEST(SimIsolationTest, StoppingOneSimLeavesTheOthersHelpersInEitherMode) {
  Loop loop;
  for (const Mode mode : modes()) {
    const ScopedMode scoped(mode);
    TempDir dir;
    const fs::path sim = dir.script("sim", DAEMON + "echo ready\nexec sleep 30\n");
    const testing::ProcessMark first_mark;
    Lines first, second;
    Process one = loop.run(start(sim, first));
    const testing::ProcessMark second_mark;
    std::size_t others_before = 0, others_after = 0;
    const auto others = [&second_mark] {
      return running(second_mark.alive(std::chrono::milliseconds(0)), "sleep");
    };
    loop.run([&]() -> asio::awaitable<void> {
      const Process other = co_await start(sim, second);
      co_await until_lines(first, 1);
      // The helper may exec sleep after the sim's line.
      for (int i = 0; i < 500 && (others_before = others()) < 2; ++i) co_await sleep_for(0.01);
      one.reset();
      others_after = others();
      EXPECT_FALSE(other->returncode()) << name_of(mode);
    }());
    EXPECT_THAT(first_mark.alive(), ::testing::IsEmpty()) << name_of(mode);
    EXPECT_EQ(others_before, 2u) << name_of(mode);
    EXPECT_EQ(others_after, 2u) << "the other sim and its helper run on, " << name_of(mode);
    EXPECT_THAT(second_mark.alive(), ::testing::IsEmpty()) << name_of(mode);
    end_marked(first_mark);
    end_marked(second_mark);
  }
}

TEST(SimIsolationTest, ASimsGraceLetsItsHelpersEndTheirOwnWayInEitherMode) {
  Loop loop;
  for (const Mode mode : modes()) {
    const ScopedMode scoped(mode);
    TempDir dir;
    const fs::path sim = dir.script(
        "sim",
        // Without the shell's note of each sleep that SIGTERM ended.
        "exec 2>/dev/null\n"
        // SIGTERM reaches the helper too, in the sim's process group.
        "trap 'wait $helper; echo helper ended $?; exit 0' TERM\n"
        "sh -c 'trap \"echo helper done; exit 0\" TERM; echo helper ready; while :; do sleep 0.01; "
        "done' &\n"
        "helper=$!\n"
        "while :; do sleep 0.01; done\n");
    Lines lines;
    const int code = loop.run([&]() -> asio::awaitable<int> {
      const Process process = co_await start(sim, lines);
      co_await until_lines(lines, 1);
      process->terminate();
      co_return co_await process->wait();
    }());
    EXPECT_EQ(code, 0) << name_of(mode);
    EXPECT_EQ(lines, (Lines{"helper ready", "helper done", "helper ended 0"})) << name_of(mode);
  }
}

TEST(SimIsolationTest, TheSimInheritsNoDescriptorButItsStdioInEitherMode) {
  // Left open across exec on purpose, as a careless library of this process might.
  const Fd inheritable(::open("/dev/null", O_RDONLY));
  ASSERT_GE(inheritable.get(), 0);
  TempDir dir;
  dir.write("sim.json", R"({"command": ["/bin/sh", "-c", "ls /proc/$$/fd"]})");
  Loop loop;
  for (const Mode mode : modes()) {
    const ScopedMode scoped(mode);
    Lines lines;
    loop.run([&]() -> asio::awaitable<void> {
      const Process process = co_await start(dir.path(), lines);
      co_await process->wait();
    }());
    EXPECT_EQ(lines, (Lines{"0", "1", "2"})) << name_of(mode);
  }
}

// In a forked copy of this test, as the sims' own user: SIGKILL ends the copy as it would end the tool.
TEST(SimIsolationTest, AToolKilledWithSigkillLeavesNoProcessOfItsSim) {
  if (!machine_isolation().own_pid_namespace) GTEST_SKIP() << machine_isolation().detail;
  TempDir dir;
  const fs::path sim = dir.script("sim", DAEMON + HOPPER + OWN_GROUP + "echo ready\nexec sleep 30\n");
  const testing::ProcessMark mark;
  const auto tool = testing::Subprocess::fork([&sim] {
    Loop loop;
    Lines lines;
    const Process process = loop.run([&]() -> asio::awaitable<Process> {
      Process started = co_await start(sim, lines);
      co_await until_lines(lines, 1);
      co_return started;
    }());
    const std::string ready = "ready\n";
    if (::write(STDOUT_FILENO, ready.data(), ready.size()) != static_cast<ssize_t>(ready.size())) return 1;
    ::pause();
    return 0;
  });
  ASSERT_TRUE(tool->read_until([&] { return tool->out() == "ready\n"; },
                               testing::Subprocess::Clock::now() + std::chrono::seconds(10)))
      << tool->err();
  EXPECT_GE(mark.alive(std::chrono::milliseconds(0)).size(), 4u) << "the sim and its helpers ran";
  tool->signal(SIGKILL);
  EXPECT_EQ(tool->finish(testing::Subprocess::Clock::now() + std::chrono::seconds(5)),
            testing::killed_by(SIGKILL));
  EXPECT_THAT(mark.alive(), ::testing::IsEmpty());
  EXPECT_TRUE(hopped_and_stopped(dir.path() / "hops"));
  end_marked(mark);
  // Our init, once the copy's child, came to this process when the copy died.
  for (const pid_t zombie : zombie_children()) ::waitpid(zombie, nullptr, 0);
}

// In a forked copy of this test running as nobody (when the tests run as root; else as their user).
TEST(SimIsolationTest, AnUnprivilegedUserGetsTheSameIsolation) {
  const auto tool = testing::Subprocess::fork([] {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                             ::setresuid(65534, 65534, 65534) != 0))
      return 10;
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all);
    const fs::path exits = dir.script("exits", "echo $$ $(id -u)\n" + DAEMON + HOPPER + "exit 3\n");
    const fs::path crashes = dir.script("crashes", "ulimit -c 0\nkill -SEGV $$\n");
    const fs::path waits = dir.script("waits", DAEMON + "echo ready\nexec sleep 30\n");
    const testing::ProcessMark mark;
    Loop loop;
    Lines lines;
    std::ostringstream report;
    loop.run([&]() -> asio::awaitable<void> {
      Process process = co_await start(exits, lines);
      report << "isolated " << process->isolation().own_pid_namespace << " " << process->isolation().detail
             << "\n";
      report << "exit " << co_await process->wait() << "\n";
      process = co_await start(crashes, lines);
      report << "crash " << co_await process->wait() << "\n";
      process = co_await start(waits, lines);
      co_await until_lines(lines, 2);
      process->terminate();
      report << "terminated " << co_await process->wait() << "\n";
    }());
    report << "sim " << lines.at(0) << "\n";
    report << "left " << mark.alive().size() << (hopped_and_stopped(dir.path() / "hops") ? "" : ", hopping")
           << "\n";
    const std::string text = report.str();
    return ::write(STDOUT_FILENO, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 11;
  });
  const auto status = tool->finish(testing::Subprocess::Clock::now() + std::chrono::seconds(20));
  ASSERT_EQ(status, testing::exited(0)) << tool->out() << tool->err();
  const uid_t user = ::geteuid() == 0 ? 65534 : ::geteuid();
  const bool namespaced = tool->out().starts_with("isolated 1 \n");
  if (!namespaced) std::cerr << "[ NOTE     ] " << tool->out().substr(0, tool->out().find('\n')) << "\n";
  const std::string pid = namespaced ? "2" : "[0-9]+";
  EXPECT_THAT(tool->out(), ::testing::MatchesRegex("isolated [01] .*\n"
                                                   "exit 3\n"
                                                   "crash -11\n"
                                                   "terminated -15\n"
                                                   "sim " +
                                                   pid + " " + std::to_string(user) +
                                                   "\n"
                                                   "left 0\n"));
  if (!namespaced) {
    EXPECT_THAT(tool->out(), ::testing::StartsWith("isolated 0 the kernel refused"))
        << "nothing but the kernel";
  }
}

TEST(SimProcessTest, WhatIsNoSimFailsClearly) {
  TempDir dir;
  fs::create_directory(dir.path() / "empty");
  dir.write("plain", "not executable");
  Loop loop;
  Lines lines;
  const std::size_t fds_before = open_fds(loop);
  for (const fs::path& path : {dir.path() / "missing", dir.path() / "empty", dir.path() / "plain"}) {
    try {
      loop.run(start(path, lines));
      ADD_FAILURE() << path;
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()),
                path.string() + " is neither an executable nor a folder with sim.json");
    }
  }
  for (const char* config : {"not json", "[]", R"({"command": []})", R"({"command": "sim.sh"})",
                             R"({"command": ["/bin/sh", 1]})", R"({"cmd": ["/bin/sh"]})"}) {
    dir.write("sim.json", config);
    try {
      loop.run(start(dir.path(), lines));
      ADD_FAILURE() << config;
    } catch (const ValueError& e) {
      EXPECT_THAT(e.what(), HasSubstr((dir.path() / "sim.json").string())) << config;
    }
  }
  dir.write("sim.json", R"({"command": ["/bin/sh"]})");
  EXPECT_THROW(loop.run(start(dir.path(), lines, Json::array())), TypeError);
  EXPECT_EQ(open_fds(loop), fds_before);
  EXPECT_TRUE(lines.empty());
}

TEST(SimProcessTest, ACommandThatCannotBeExecutedFailsClearly) {
  TempDir dir;
  const fs::path sim = dir.write("sim", "#!/nonexistent/interpreter\n");
  fs::permissions(sim, fs::perms::owner_all);
  Loop loop;
  Lines lines;
  const std::size_t fds_before = open_fds(loop);
  try {
    loop.run(start(sim, lines));
    ADD_FAILURE() << "a missing interpreter was not reported";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_THAT(e.what(), HasSubstr("cannot start " + sim.string() + " (its interpreter is missing)"));
  }
  fs::create_directory(dir.path() / "folder");
  dir.write("folder/sim.json", R"({"command": ["nalto-no-such-program"]})");
  try {
    loop.run(start(dir.path() / "folder", lines));
    ADD_FAILURE() << "a missing program was not reported";
  } catch (const std::system_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot start nalto-no-such-program"));
  }
  EXPECT_EQ(open_fds(loop), fds_before);
}

TEST(TailTest, KeepsTheLastFortyLines) {
  std::string output;
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    const std::string line = "line " + std::to_string(i);
    output += line + "\n";
    if (i >= 60) expected += (expected.empty() ? "" : "\n") + line;
  }
  EXPECT_EQ(runtime::tail(output), expected);
}

TEST(TailTest, KeepsAtMostFourThousandBytesFromALineStart) {
  std::string output;
  for (int i = 0; i < 50; ++i) output += std::string(199, 'a' + static_cast<char>(i % 26)) + "\n";
  const std::string result = runtime::tail(output);
  EXPECT_EQ(result.size(), 20u * 200 - 1);
  EXPECT_EQ(result, output.substr(output.size() - 20 * 200, 20 * 200 - 1));
}

TEST(TailTest, CutsAnOverlongLineBetweenSequences) {
  const std::string ascii(10000, 'x');
  EXPECT_EQ(runtime::tail(ascii), ascii.substr(6000));
  std::string euros;
  for (int i = 0; i < 3334; ++i) euros += "\xE2\x82\xAC";
  const std::string result = runtime::tail(euros);
  EXPECT_EQ(result.size(), 3999u);
  EXPECT_EQ(utf8::sanitize(result), result);
  EXPECT_EQ(result, euros.substr(euros.size() - 3999));
}

TEST(TailTest, EmptyOrBlankOutputGivesNothing) {
  EXPECT_EQ(runtime::tail(""), "");
  EXPECT_EQ(runtime::tail(" \n\t\r\n  "), "");
  EXPECT_EQ(runtime::tail("\n  only line  \n\n"), "only line");
}

}  // namespace
}  // namespace nalto
