#include "nalto/runtime/process.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "nalto/runtime/start_report.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/fd.hpp"
#include "nalto/support/utf8.hpp"

extern char** environ;
// Our init for the sim's PID namespace (runtime/init/sim_init.cpp), built into this library.
extern "C" const unsigned char nalto_sim_init_image[];
extern "C" const unsigned char nalto_sim_init_image_end[];

namespace nalto::runtime {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t TAIL_LINES = 40;
constexpr std::size_t TAIL_BYTES = 4000;
// MAX_LINE_BYTES: only the end of a sim's output is ever shown, at most TAIL_BYTES of it, so keeping
// the end of a longer line never changes what a user reads; and a sim printing without a newline costs
// a few times this much memory instead of all it printed.
static_assert(MAX_LINE_BYTES > TAIL_BYTES);
// Read per turn of the event loop: a sim that writes without pause must not starve the loop (its
// signals, time limits and calls) while the reader keeps finding more to read.
constexpr std::size_t READ_PER_TURN = 64 * 1024;
// How long stopping a sim waits for its killed descendants to end: one stuck in the kernel (say, on a
// dead network file system) can outlast SIGKILL, and the stop must still end.
constexpr auto DESCENDANTS_LIMIT = std::chrono::seconds(2);
// The sim never inherits these: a sim that could call the compute node could read the recorded truth back.
constexpr std::array<std::string_view, 2> WITHHELD_VARIABLES = {"NALTO_COMPUTE_TOKEN", "NALTO_COMPUTE_URL"};
// Set (to anything but empty), sims run without a PID namespace of their own, as where the kernel
// refuses one: for tests of that path.
constexpr const char* NO_PID_NAMESPACE = "NALTO_TEST_NO_PID_NAMESPACE";
// An FMU is run by our host program, found beside this executable unless the variable names another.
constexpr const char* FMU_HOST = "nalto-fmu-sim";
constexpr const char* FMU_HOST_VARIABLE = "NALTO_FMU_SIM";
// Linux 6.3's memfd_create flag for a file that may be executed; older kernels refuse it.
constexpr unsigned int MEMFD_EXEC = 0x0010U;

[[noreturn]] void throw_errno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// Descriptors 0-2 become the child's stdio; one of ours there (a tool started with them closed)
// would be overwritten before it is used.
void lift_above_stdio(Fd& fd) {
  if (fd.get() > 2) return;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) throw_errno(errno, "cannot duplicate a descriptor");
  fd.reset(moved);
}

void make_pipe(Fd& read, Fd& write) {
  std::array<int, 2> fds{};
  if (::pipe2(fds.data(), O_CLOEXEC) != 0) throw_errno(errno, "cannot create a pipe");
  read.reset(fds[0]);
  write.reset(fds[1]);
  lift_above_stdio(read);
  lift_above_stdio(write);
}

void check_text(const std::string& text, const std::string& what) {
  if (text.find('\0') != std::string::npos) throw ValueError(what + " holds a NUL character: " + text);
}

struct Command {
  std::vector<std::string> argv;
  std::string cwd;
};

std::vector<std::string> read_sim_json(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ValueError("cannot read " + file.string());
  std::ostringstream text;
  text << in.rdbuf();
  Json config;
  try {
    config = parse_json(text.str());
  } catch (const JSONDecodeError& e) {
    throw ValueError(file.string() + " is not JSON: " + e.what());
  }
  const Json* command = config.is_object() ? lookup(config, "command") : nullptr;
  std::vector<std::string> argv;
  if (command && command->is_array()) {
    for (const Json& item : *command) {
      if (!item.is_string()) break;
      argv.push_back(item.get<std::string>());
    }
  }
  if (argv.empty() || argv.size() != command->size())
    throw ValueError(file.string() + " must hold {\"command\": [...]} with a non-empty list of texts");
  return argv;
}

bool is_fmu(const fs::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".fmu";
}

// FMU_HOST_VARIABLE's value, else the host beside this executable.
Command fmu_command(const std::string& path) {
  const char* chosen = std::getenv(FMU_HOST_VARIABLE);
  const bool set = chosen != nullptr && *chosen != '\0';
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  const fs::path host = set ? fs::path(chosen) : (error ? fs::path() : self.parent_path()) / FMU_HOST;
  if (!fs::is_regular_file(host, error) || ::access(host.c_str(), X_OK) != 0)
    throw ValueError(path + " is an FMU, but " +
                     (set ? std::string(FMU_HOST_VARIABLE) + " names " + host.string() + ", which"
                          : "its host " + host.string()) +
                     " is no executable: build " + FMU_HOST + " with nalto, or set " + FMU_HOST_VARIABLE +
                     " to its path");
  const fs::path fmu = fs::absolute(path).lexically_normal();
  return {{host.string(), fmu.string()}, fmu.parent_path().string()};
}

Command resolve_command(const std::string& path) {
  std::error_code ignored;
  const fs::file_status status = fs::status(path, ignored);
  if (fs::is_regular_file(status) && is_fmu(path)) return fmu_command(path);
  if (fs::is_directory(status)) {
    const fs::path file = fs::path(path) / "sim.json";
    if (fs::is_regular_file(file, ignored))
      return {read_sim_json(file), fs::absolute(path).lexically_normal()};
  } else if (fs::is_regular_file(status) && ::access(path.c_str(), X_OK) == 0) {
    const fs::path program = fs::absolute(path).lexically_normal();
    return {{program.string()}, program.parent_path().string()};
  }
  throw ValueError(path + " is neither an executable nor a folder with sim.json");
}

// This process's environment, without WITHHELD_VARIABLES, with `env`'s members set over it, as
// NAME=VALUE entries.
std::vector<std::string> make_environment(const Json& env) {
  std::vector<std::string> entries;
  std::unordered_map<std::string, std::size_t> position;
  const auto set = [&](const std::string& name, std::string entry) {
    const auto [at, added] = position.emplace(name, entries.size());
    if (added) {
      entries.push_back(std::move(entry));
    } else {
      entries[at->second] = std::move(entry);
    }
  };
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text = *entry;
    const std::string_view name = text.substr(0, text.find('='));
    if (std::find(WITHHELD_VARIABLES.begin(), WITHHELD_VARIABLES.end(), name) != WITHHELD_VARIABLES.end())
      continue;
    set(std::string(name), std::string(text));
  }
  if (env.is_null()) return entries;
  if (!env.is_object()) throw TypeError("the sim's environment must be an object, not " + kind_name(env));
  for (const auto& [name, value] : env.items()) {
    if (name.empty() || name.find('=') != std::string::npos)
      throw ValueError("not an environment variable name: " + name);
    check_text(name, "an environment variable name");
    const std::string text = value.is_string() ? value.get<std::string>() : plain_text(value);
    check_text(text, "the environment variable " + name);
    set(name, name + "=" + text);
  }
  return entries;
}

// execve does not search PATH; searching here, with the sim's own PATH, keeps the child between
// fork and exec to async-signal-safe calls.
std::string find_program(const std::string& name, const std::vector<std::string>& environment,
                         const fs::path& cwd) {
  if (name.find('/') != std::string::npos) return name;
  std::string search = "/bin:/usr/bin";
  for (const std::string& entry : environment)
    if (entry.starts_with("PATH=")) search = entry.substr(5);
  std::error_code ignored;
  for (std::size_t start = 0;;) {
    const std::size_t end = search.find(':', start);
    const std::string dir = search.substr(start, end - start);
    const fs::path candidate = cwd / (dir.empty() ? "." : dir) / name;
    if (fs::is_regular_file(candidate, ignored) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate.string();
    if (end == std::string::npos) break;
    start = end + 1;
  }
  throw_errno(ENOENT, "cannot start " + name);
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Our init, as a sealed file in memory held open for this process's life; -1 with `error` when it
// cannot be made.
struct InitProgram {
  int fd = -1;
  int error = 0;
};

InitProgram make_init_program() {
  Fd file(::memfd_create("nalto-sim-init", MFD_CLOEXEC | MFD_ALLOW_SEALING | MEMFD_EXEC));
  if (file.get() < 0 && errno == EINVAL)
    file.reset(::memfd_create("nalto-sim-init", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (file.get() < 0) return {-1, errno};
  try {
    lift_above_stdio(file);
  } catch (const std::system_error& e) {
    return {-1, e.code().value()};
  }
  const unsigned char* next = nalto_sim_init_image;
  while (next < nalto_sim_init_image_end) {
    const ssize_t n = retry_eintr(
        [&] { return ::write(file.get(), next, static_cast<std::size_t>(nalto_sim_init_image_end - next)); });
    if (n <= 0) return {-1, n < 0 ? errno : EIO};
    next += n;
  }
  if (::fcntl(file.get(), F_ADD_SEALS, F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) != 0)
    return {-1, errno};
  return {file.release(), 0};
}

const InitProgram& init_program() {
  static const InitProgram program = make_init_program();
  return program;
}

outside::SimIsolation isolation_of(start::Isolation how, int error) {
  const std::string reason = " (" + std::generic_category().message(error) + ")";
  switch (how) {
    case start::Isolation::own_namespace:
      return {true, ""};
    case start::Isolation::namespace_system_proc:
      return {true, "its /proc is the system's: mounting its own was refused" + reason};
    case start::Isolation::no_pid_namespace:
      return {false, "the kernel refused it a PID namespace" + reason};
    case start::Isolation::no_user_namespace:
      return {false, "the kernel refused it the user namespace that a PID namespace needs without privilege" +
                         reason};
    case start::Isolation::no_init:
      break;
  }
  return {false, "our init could not be run" + reason};
}

// Everything the child needs, prepared before fork.
struct ChildSetup {
  char* const* argv;
  char* const* envp;
  const char* cwd;
  int input, output, status;
  pid_t parent;
  int init;  // our init's program, or -1 to exec the sim itself
  char* const* init_argv;
};

void report(const ChildSetup& setup, start::Kind kind, int what, int error) {
  const start::Record record{kind, what, error};
  [[maybe_unused]] const ssize_t written = ::write(setup.status, &record, sizeof record);
}

[[noreturn]] void fail_child(const ChildSetup& setup, start::Stage stage) {
  report(setup, start::Kind::failure, static_cast<int>(stage), errno);
  ::_exit(127);
}

// Between fork and exec only async-signal-safe calls: another thread may have held a lock at the fork.
[[noreturn]] void run_child(const ChildSetup& setup) {
  // Its own session: it has no controlling terminal to write to or be stopped by, and its session id
  // marks its descendants. It cannot fail: a child just forked leads no process group.
  ::setsid();
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != setup.parent) ::_exit(127);
  // The parent's handlers must not run here once signals are unblocked; its ignored SIGPIPE would
  // make the sim's writes to a closed socket fail silently.
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction action {};
    if (::sigaction(sig, nullptr, &action) != 0) continue;
    if (sig == SIGPIPE || (action.sa_handler != SIG_IGN && action.sa_handler != SIG_DFL))
      ::signal(sig, SIG_DFL);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::chdir(setup.cwd) != 0) fail_child(setup, start::Stage::enter_folder);
  if (::dup2(setup.input, 0) < 0 || ::dup2(setup.output, 1) < 0 || ::dup2(setup.output, 2) < 0)
    fail_child(setup, start::Stage::redirect);
  ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  if (setup.init >= 0) {
    // The init reports on the status pipe, and closes it once the sim runs.
    ::fcntl(setup.status, F_SETFD, 0);
    ::syscall(SYS_execveat, setup.init, "", setup.init_argv, setup.envp, AT_EMPTY_PATH);
    const int error = errno;
    ::fcntl(setup.status, F_SETFD, FD_CLOEXEC);
    report(setup, start::Kind::isolation, static_cast<int>(start::Isolation::no_init), error);
  }
  ::execve(setup.argv[0], setup.argv, setup.envp);
  fail_child(setup, start::Stage::exec);
}

// Where a cut at `from` may begin without splitting a UTF-8 sequence: at most three continuation
// bytes are skipped.
std::size_t sequence_start(std::string_view text, std::size_t from) {
  std::size_t cut = from;
  while (cut < from + 3 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
  return cut;
}

// The last MAX_LINE_BYTES of a line, from a sequence start.
std::string_view line_end(std::string_view line) {
  if (line.size() <= MAX_LINE_BYTES) return line;
  return line.substr(sequence_start(line, line.size() - MAX_LINE_BYTES));
}

// How a read of the sim's output left the pipe.
enum class Drained { empty, unfinished, ended };

// The sim's output pipe, shared with the coroutine that reads it so that the reader never touches
// freed memory after the handle is gone.
struct Output {
  explicit Output(const asio::any_io_executor& executor) : pipe(executor) {}

  asio::posix::stream_descriptor pipe;
  std::function<void(std::string)> on_output;
  std::string pending;  // the line begun, of which only its end counts
  bool closed = false;  // the handle is gone

  void deliver(std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!closed && on_output) on_output(utf8::sanitize(line_end(line)));
  }

  // Only the new bytes are searched for line ends.
  void take(std::string_view chunk) {
    for (std::size_t end; !closed && (end = chunk.find('\n')) != std::string_view::npos;
         chunk.remove_prefix(end + 1)) {
      if (pending.empty()) {
        deliver(chunk.substr(0, end));
      } else {
        pending.append(chunk.substr(0, end));
        deliver(pending);
        pending.clear();
      }
    }
    if (closed) return;
    pending.append(chunk);
    // Cut only once twice the bound is reached, so that each byte is copied a bounded number of times.
    if (pending.size() > 2 * MAX_LINE_BYTES) pending.erase(0, pending.size() - line_end(pending).size());
  }

  std::size_t pipe_size() {
    const int size = pipe.is_open() ? ::fcntl(pipe.native_handle(), F_GETPIPE_SZ) : 0;
    return size > 0 ? static_cast<std::size_t>(size) : READ_PER_TURN;
  }

  // Hands over at most about `limit` bytes of what can be read now.
  Drained drain(std::size_t limit) {
    std::array<char, 16384> buffer;
    for (std::size_t taken = 0; !closed && pipe.is_open();) {
      if (taken >= limit) return Drained::unfinished;
      const ssize_t n =
          retry_eintr([&] { return ::read(pipe.native_handle(), buffer.data(), buffer.size()); });
      if (n > 0) {
        take(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        taken += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        return Drained::empty;
      } else {
        const std::string last = std::exchange(pending, {});
        if (!last.empty()) deliver(last);
        asio::error_code ignored;
        pipe.close(ignored);
      }
    }
    return Drained::ended;
  }
};

asio::awaitable<void> read_output(std::shared_ptr<Output> output) {
  const auto executor = co_await asio::this_coro::executor;
  asio::error_code error;
  auto token = asio::redirect_error(asio::use_awaitable, error);
  for (;;) {
    const Drained drained = output->drain(READ_PER_TURN);
    if (drained == Drained::ended) co_return;
    if (drained == Drained::unfinished) {
      // More is waiting: the loop's other work goes first.
      co_await asio::post(executor, asio::use_awaitable);
    } else {
      co_await output->pipe.async_wait(asio::posix::descriptor_base::wait_read, token);
      if (error) co_return;
    }
  }
}

// A process as /proc/<pid>/stat tells of it.
struct ProcessInfo {
  pid_t pid, parent, session;
  bool ended;             // a zombie, waiting to be reaped
  bool stopped;           // by a signal or a tracer: it cannot fork
  std::uint64_t started;  // clock ticks after boot
};

std::optional<ProcessInfo> read_process(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  // The name in parentheses may hold anything, parentheses and spaces too.
  const std::size_t name_end = text.rfind(')');
  if (name_end == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(name_end + 1));
  char state = 0;
  ProcessInfo info{pid, 0, 0, false, false, 0};
  pid_t group = 0;
  fields >> state >> info.parent >> group >> info.session;
  // Fields 7 to 21 lie between the session and the start time.
  std::string skipped;
  for (int field = 7; field <= 21; ++field) fields >> skipped;
  fields >> info.started;
  if (!fields) return std::nullopt;
  info.ended = state == 'Z' || state == 'X';
  info.stopped = state == 'T' || state == 't';
  return info;
}

std::vector<ProcessInfo> all_processes() {
  std::vector<ProcessInfo> found;
  std::error_code error;
  for (fs::directory_iterator entry("/proc", error), end; !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (const std::optional<ProcessInfo> info = read_process(std::stoi(name))) found.push_back(*info);
  }
  return found;
}

// The sims started here whose exit has not been collected yet: an orphan handed to this process may
// come from any of them.
std::mutex sims_mutex;
std::set<pid_t> running_sims;
// The start of the first of the sims that have run side by side since none ran: an orphan handed over
// meanwhile may have left any of them, the earliest included.
std::uint64_t first_running_start = 0;

// A process by its pid and start time, which together are never reused.
using ProcessId = std::pair<pid_t, std::uint64_t>;

// Which orphans handed to this process may come from the sim that started at `started`. An orphan that
// left the sim's session cannot be told by its parent any more: it counts when no other sim runs that
// might have left it, it is not in our own session (which no sim can join), and it started after the
// first of the sims that ran side by side with this one.
struct OrphanRule {
  std::set<pid_t> others;  // the other sims running
  std::uint64_t since = 0;
  pid_t self = ::getpid(), own_session = ::getsid(0);

  OrphanRule(pid_t sim, std::uint64_t started) : since(started) {
    {
      const std::lock_guard lock(sims_mutex);
      others = running_sims;
      since = std::min(since, first_running_start);
    }
    others.erase(sim);
  }

  bool applies(const ProcessInfo& process) const {
    return process.parent == self && process.session != own_session && others.empty() &&
           process.started >= since;
  }
};

// Every process that descends from the sim `sim`, but the sim itself: the trees of its children, of
// every process in its session and of those `known` to descend from it, and the orphans handed to us
// that the OrphanRule gives it.
std::vector<ProcessInfo> descendants(pid_t sim, std::uint64_t started, const std::set<ProcessId>& known) {
  const OrphanRule rule(sim, started);
  const std::set<pid_t>& others = rule.others;
  const pid_t self = rule.self;
  const std::vector<ProcessInfo> all = all_processes();
  std::multimap<pid_t, const ProcessInfo*> children;
  std::vector<const ProcessInfo*> todo;
  for (const ProcessInfo& process : all) {
    children.emplace(process.parent, &process);
    if (process.pid == sim || process.pid == self || others.contains(process.pid)) continue;
    if (process.session == sim || rule.applies(process) || known.contains({process.pid, process.started}))
      todo.push_back(&process);
  }
  std::set<pid_t> seen;
  std::vector<ProcessInfo> found;
  const auto [first, last] = children.equal_range(sim);
  for (auto child = first; child != last; ++child) todo.push_back(child->second);
  while (!todo.empty()) {
    const ProcessInfo* process = todo.back();
    todo.pop_back();
    if (process->pid == self || others.contains(process->pid) || !seen.insert(process->pid).second) continue;
    found.push_back(*process);
    const auto [from, to] = children.equal_range(process->pid);
    for (auto child = from; child != to; ++child) todo.push_back(child->second);
  }
  return found;
}

// This process's children, from the kernel's lists of each of its threads: far quicker than a scan of
// every process.
std::vector<pid_t> own_children() {
  std::vector<pid_t> found;
  std::error_code error;
  for (fs::directory_iterator task("/proc/self/task", error), end; !error && task != end;
       task.increment(error)) {
    std::ifstream list(task->path() / "children");
    for (pid_t pid = 0; list >> pid;) found.push_back(pid);
  }
  return found;
}

// Stops the orphans handed to us that may come from the sim; true when it stopped any. An orphan that
// forks and leaves as fast as it can is handed to us anew each time, and a scan of every process may be
// too slow to find one before it has left: this look at our own children is not.
bool stop_orphans(pid_t sim, std::uint64_t started, std::set<ProcessId>& known) {
  const OrphanRule rule(sim, started);
  if (!rule.others.empty()) return false;
  bool stopped = false;
  for (const pid_t pid : own_children()) {
    if (pid == sim) continue;
    const std::optional<ProcessInfo> process = read_process(pid);
    if (!process || !rule.applies(*process)) continue;
    // Reaped at once, the orphans that ended keep our list of children short.
    if (process->ended) {
      ::waitpid(pid, nullptr, WNOHANG);
      continue;
    }
    known.emplace(process->pid, process->started);
    if (process->stopped) continue;
    ::kill(pid, SIGSTOP);
    stopped = true;
  }
  return stopped;
}

// Stops the sim `sim` (with `stop_sim`) and every descendant of it with SIGSTOP, adding them to `known`,
// until a scan begun after all those found had stopped finds none new: as a stopped process cannot
// fork, none can then escape the kill that follows, however fast its processes fork and leave.
void freeze(pid_t sim, std::uint64_t started, bool stop_sim, std::set<ProcessId>& known,
            std::chrono::steady_clock::time_point give_up) {
  for (bool settled_before = false;;) {
    bool settled = true;
    if (stop_sim) {
      const std::optional<ProcessInfo> leader = read_process(sim);
      if (leader && !leader->ended && !leader->stopped) {
        ::kill(sim, SIGSTOP);
        settled = false;
      }
    }
    // Quick looks first, until one stops nothing: then the whole scan.
    for (int look = 0; look < 100 && stop_orphans(sim, started, known); ++look) settled = false;
    for (const ProcessInfo& process : descendants(sim, started, known)) {
      if (known.emplace(process.pid, process.started).second) settled = false;
      if (!process.ended && !process.stopped) {
        ::kill(process.pid, SIGSTOP);
        settled = false;
      }
    }
    if ((settled && settled_before) || std::chrono::steady_clock::now() >= give_up) return;
    settled_before = settled;
    // A stop is delivered asynchronously.
    if (!settled) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// Kills every descendant of the sim `sim` (and, with `kill_sim`, the sim) and reaps those handed to us,
// until none runs and the sim has ended (its children are handed over only then). With `frozen`, all
// are stopped first (freeze); else the sim is killed only once its children are known. What was found
// once stays known: a child in another session, handed to us when the sim ends, can no longer be told
// apart by its parent.
void end_descendants(pid_t sim, std::uint64_t started, bool kill_sim, bool frozen) {
  const pid_t self = ::getpid();
  const auto give_up = std::chrono::steady_clock::now() + DESCENDANTS_LIMIT;
  std::set<ProcessId> known;
  if (frozen) freeze(sim, started, kill_sim, known, give_up);
  for (;;) {
    const std::optional<ProcessInfo> leader = read_process(sim);
    bool running = leader && !leader->ended;
    const std::vector<ProcessInfo> found = descendants(sim, started, known);
    if (std::exchange(kill_sim, false)) {
      ::kill(sim, SIGKILL);
      ::killpg(sim, SIGKILL);
    }
    for (const ProcessInfo& process : found) {
      known.emplace(process.pid, process.started);
      if (!process.ended) {
        ::kill(process.pid, SIGKILL);
        running = true;
      } else if (process.parent == self) {
        ::waitpid(process.pid, nullptr, WNOHANG);
      }
    }
    if (!running || std::chrono::steady_clock::now() >= give_up) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

class SimChild : public SimChildProcess {
 public:
  explicit SimChild(const asio::any_io_executor& executor)
      : pidfd_(executor), output_(std::make_shared<Output>(executor)) {}

  SimChild(const SimChild&) = delete;
  SimChild& operator=(const SimChild&) = delete;

  ~SimChild() override {
    output_->closed = true;
    asio::error_code ignored;
    output_->pipe.close(ignored);
    if (pid_ <= 0 || code_) return;
    end_descendants(pid_, started_, true, !namespaced());
    retry_eintr([&] { return ::waitpid(pid_, nullptr, 0); });
    forget();
  }

  void start(Command command, std::vector<std::string> environment,
             std::function<void(std::string)> on_output) {
    const std::vector<char*> argv = c_strings(command.argv);
    const std::vector<char*> envp = c_strings(environment);
    Fd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (input.get() < 0) throw_errno(errno, "cannot open /dev/null");
    lift_above_stdio(input);
    Fd output_read, output_write, status_read, status_write;
    make_pipe(output_read, output_write);
    make_pipe(status_read, status_write);
    const int init = choose_init();
    std::vector<std::string> init_args = {"nalto-sim-init", std::to_string(status_write.get())};
    init_args.insert(init_args.end(), command.argv.begin(), command.argv.end());
    const std::vector<char*> init_argv = c_strings(init_args);
    const ChildSetup setup{argv.data(),        envp.data(),        command.cwd.c_str(), input.get(),
                           output_write.get(), status_write.get(), ::getpid(),          init,
                           init_argv.data()};
    // Orphaned descendants of a sim (a double fork, a helper whose parent died) come to us rather than
    // to init, so that stopping the sim can find and end them. Set at every start: a forked copy of
    // this process is no subreaper. Should it fail, they are still found in the sim's session.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    // A signal arriving between fork and the child's handler reset would run our handler there.
    sigset_t all, previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) run_child(setup);
    const int fork_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) throw_errno(fork_error, "cannot start " + command.argv[0]);
    pid_ = pid;
    // Unreaped, the child keeps its pid, so its start time read now stays its own.
    if (const std::optional<ProcessInfo> info = read_process(pid)) started_ = info->started;
    {
      const std::lock_guard lock(sims_mutex);
      if (running_sims.empty()) first_running_start = started_;
      running_sims.insert(pid_);
    }
    input.reset();
    output_write.reset();
    status_write.reset();
    check_started(status_read, command);

    Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (pidfd.get() < 0) throw_errno(errno, "cannot watch the sim " + command.argv[0]);
    pidfd_.assign(pidfd.get());
    pidfd.release();
    if (::fcntl(output_read.get(), F_SETFL, O_NONBLOCK) != 0)
      throw_errno(errno, "cannot read the sim's output");
    output_->on_output = std::move(on_output);
    output_->pipe.assign(output_read.get());
    output_read.release();
    asio::co_spawn(pidfd_.get_executor(), read_output(output_), asio::detached);
  }

  std::optional<int> returncode() const override { return code_ ? code_ : poll(WNOWAIT); }

  // In a PID namespace, the group is our init's: the namespace's first process passes the signal on to
  // the sim's group.
  void terminate() override {
    if (!code_) ::killpg(pid_, SIGTERM);
  }

  void kill() override {
    if (!code_) end_descendants(pid_, started_, true, !namespaced());
  }

  asio::awaitable<int> wait() override {
    while (!code_ && !reap())
      co_await pidfd_.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
    co_return *code_;
  }

  const outside::SimIsolation& isolation() const override { return isolation_; }

 private:
  pid_t pid_ = -1;
  std::uint64_t started_ = 0;
  asio::posix::stream_descriptor pidfd_;
  std::shared_ptr<Output> output_;
  std::optional<int> code_;
  outside::SimIsolation isolation_;

  // Whatever the sim leaves in its own PID namespace ends with it, at once; elsewhere its descendants
  // are stopped before they are killed.
  bool namespaced() const { return isolation_.own_pid_namespace; }

  // Our init's program, or -1 (the sim is then started without it, and isolation_ says why).
  int choose_init() {
    const char* forced = std::getenv(NO_PID_NAMESPACE);
    if (forced && *forced) {
      isolation_ = {false, std::string(NO_PID_NAMESPACE) + " is set"};
      return -1;
    }
    const InitProgram& program = init_program();
    if (program.fd < 0) {
      isolation_ = {false,
                    "our init could not be made (" + std::generic_category().message(program.error) + ")"};
    } else {
      isolation_ = {false, "our init did not say"};
    }
    return program.fd;
  }

  // The exit code like Python's returncode (-signal for a signal death) once the child has exited.
  std::optional<int> poll(int flags) const {
    siginfo_t info{};
    const int result = retry_eintr(
        [&] { return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | flags); });
    // ECHILD: someone else reaped it (SIGCHLD ignored), so its code is lost.
    if (result < 0) return 255;
    if (info.si_pid == 0) return std::nullopt;
    return info.si_code == CLD_EXITED ? info.si_status : -info.si_status;
  }

  void forget() {
    const std::lock_guard lock(sims_mutex);
    running_sims.erase(pid_);
  }

  bool reap() {
    const std::optional<int> exited = poll(WNOWAIT);
    if (!exited) return false;
    // Still unreaped, the leader keeps its pid, and so its session id, from being reused meanwhile.
    end_descendants(pid_, started_, false, !namespaced());
    code_ = poll(0).value_or(*exited);
    forget();
    // What it wrote before it ended fits in the pipe; more may come from its killed descendants.
    output_->drain(output_->pipe_size());
    return true;
  }

  // Reads the start's reports until the status pipe closes: at the sim's exec, or when the start failed.
  void check_started(const Fd& status, const Command& command) {
    std::string reports;
    std::array<char, 256> buffer;
    for (;;) {
      const ssize_t n = retry_eintr([&] { return ::read(status.get(), buffer.data(), buffer.size()); });
      if (n <= 0) break;
      reports.append(buffer.data(), static_cast<std::size_t>(n));
    }
    std::optional<start::Record> failure;
    for (std::size_t at = 0; at + sizeof(start::Record) <= reports.size(); at += sizeof(start::Record)) {
      start::Record record{};
      std::memcpy(&record, reports.data() + at, sizeof record);
      if (record.kind == start::Kind::isolation) {
        isolation_ = isolation_of(static_cast<start::Isolation>(record.what), record.error);
      } else if (record.kind == start::Kind::failure) {
        failure = record;
      }
    }
    if (!failure) return;
    retry_eintr([&] { return ::waitpid(pid_, nullptr, 0); });
    forget();
    pid_ = -1;
    const std::string& program = command.argv[0];
    const auto stage = static_cast<start::Stage>(failure->what);
    if (stage == start::Stage::enter_folder)
      throw_errno(failure->error, "cannot enter the sim's folder " + command.cwd);
    if (stage == start::Stage::isolate)
      throw_errno(failure->error, "cannot give " + program + " a user in its namespace");
    std::error_code ignored;
    if (stage == start::Stage::exec && failure->error == ENOENT &&
        fs::exists(fs::path(command.cwd) / program, ignored))
      throw_errno(failure->error, "cannot start " + program + " (its interpreter is missing)");
    throw_errno(failure->error, "cannot start " + program);
  }
};

}  // namespace

int free_port() {
  const Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) throw_errno(errno, "cannot open a socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw_errno(errno, "cannot find a free port");
  return ntohs(address.sin_port);
}

asio::awaitable<std::unique_ptr<SimChildProcess>> start_sim_process(
    std::string path, std::string host, int port, Json env, std::function<void(std::string)> on_output) {
  const auto executor = co_await asio::this_coro::executor;
  Command command = resolve_command(path);
  command.argv.insert(command.argv.end(), {"--host", host, "--port", std::to_string(port)});
  for (const std::string& arg : command.argv) check_text(arg, "the sim's command");
  std::vector<std::string> environment = make_environment(env);
  command.argv[0] = find_program(command.argv[0], environment, command.cwd);
  auto child = std::make_unique<SimChild>(executor);
  child->start(std::move(command), std::move(environment), std::move(on_output));
  co_return std::move(child);
}

std::string tail(const std::string& output) {
  std::string_view text = utf8::trim(output);
  std::size_t start = text.size();
  for (std::size_t breaks = 0; start > 0; --start)
    if (text[start - 1] == '\n' && ++breaks == TAIL_LINES) break;
  text.remove_prefix(start);
  if (text.size() <= TAIL_BYTES) return std::string(text);
  const std::size_t from = text.size() - TAIL_BYTES;
  const std::size_t newline = text.find('\n', from - 1);
  if (newline != std::string_view::npos) return std::string(text.substr(newline + 1));
  return std::string(text.substr(sequence_start(text, from)));
}

}  // namespace nalto::runtime
