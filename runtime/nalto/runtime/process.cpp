#include "nalto/runtime/process.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "nalto/support/errors.hpp"
#include "nalto/support/fd.hpp"
#include "nalto/support/utf8.hpp"

extern char** environ;

namespace nalto::runtime {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t TAIL_LINES = 40;
constexpr std::size_t TAIL_BYTES = 4000;

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

Command resolve_command(const std::string& path) {
  std::error_code ignored;
  const fs::file_status status = fs::status(path, ignored);
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

// This process's environment with `env`'s members set over it, as NAME=VALUE entries.
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
    set(std::string(text.substr(0, text.find('='))), std::string(text));
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

// What the child reports through its status pipe when it cannot exec.
enum class Stage : int { enter_folder, redirect, exec };
struct ChildFailure {
  Stage stage;
  int error;
};

// Everything the child needs, prepared before fork.
struct ChildSetup {
  char* const* argv;
  char* const* envp;
  const char* cwd;
  int input, output, status;
  pid_t parent;
};

[[noreturn]] void fail_child(const ChildSetup& setup, Stage stage) {
  const ChildFailure failure{stage, errno};
  [[maybe_unused]] const ssize_t written = ::write(setup.status, &failure, sizeof failure);
  ::_exit(127);
}

// Between fork and exec only async-signal-safe calls: another thread may have held a lock at the fork.
[[noreturn]] void run_child(const ChildSetup& setup) {
  ::setpgid(0, 0);
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
  if (::chdir(setup.cwd) != 0) fail_child(setup, Stage::enter_folder);
  if (::dup2(setup.input, 0) < 0 || ::dup2(setup.output, 1) < 0 || ::dup2(setup.output, 2) < 0)
    fail_child(setup, Stage::redirect);
  ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  ::execve(setup.argv[0], setup.argv, setup.envp);
  fail_child(setup, Stage::exec);
}

// The sim's output pipe, shared with the coroutine that reads it so that the reader never touches
// freed memory after the handle is gone.
struct Output {
  explicit Output(const asio::any_io_executor& executor) : pipe(executor) {}

  asio::posix::stream_descriptor pipe;
  std::function<void(std::string)> on_output;
  std::string pending;
  bool closed = false;  // the handle is gone

  void deliver(std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!closed && on_output) on_output(utf8::sanitize(line));
  }

  void take(std::string_view chunk) {
    pending.append(chunk);
    std::size_t start = 0;
    for (std::size_t end; !closed && (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
      deliver(std::string_view(pending).substr(start, end - start));
    pending.erase(0, start);
  }

  // Hands over whatever can be read now; false once the pipe is at its end or closed.
  bool drain() {
    std::array<char, 4096> buffer;
    while (!closed && pipe.is_open()) {
      const ssize_t n =
          retry_eintr([&] { return ::read(pipe.native_handle(), buffer.data(), buffer.size()); });
      if (n > 0) {
        take(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
      } else if (n < 0 && errno == EAGAIN) {
        return true;
      } else {
        const std::string last = std::exchange(pending, {});
        if (!last.empty()) deliver(last);
        asio::error_code ignored;
        pipe.close(ignored);
      }
    }
    return false;
  }
};

asio::awaitable<void> read_output(std::shared_ptr<Output> output) {
  asio::error_code error;
  auto token = asio::redirect_error(asio::use_awaitable, error);
  while (output->drain() && !error)
    co_await output->pipe.async_wait(asio::posix::descriptor_base::wait_read, token);
}

class SimChild : public outside::SimProcess {
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
    ::kill(pid_, SIGKILL);
    ::killpg(pid_, SIGKILL);
    retry_eintr([&] { return ::waitpid(pid_, nullptr, 0); });
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
    const ChildSetup setup{argv.data(),        envp.data(),        command.cwd.c_str(), input.get(),
                           output_write.get(), status_write.get(), ::getpid()};

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
    ::setpgid(pid, pid);
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

  void terminate() override {
    if (!code_) ::killpg(pid_, SIGTERM);
  }

  void kill() override {
    if (!code_) ::killpg(pid_, SIGKILL);
  }

  asio::awaitable<int> wait() override {
    while (!code_ && !reap())
      co_await pidfd_.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
    co_return *code_;
  }

 private:
  pid_t pid_ = -1;
  asio::posix::stream_descriptor pidfd_;
  std::shared_ptr<Output> output_;
  std::optional<int> code_;

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

  bool reap() {
    const std::optional<int> exited = poll(WNOWAIT);
    if (!exited) return false;
    // Still unreaped, the leader keeps its group id from being reused by another process.
    ::killpg(pid_, SIGKILL);
    code_ = poll(0).value_or(*exited);
    output_->drain();
    return true;
  }

  void check_started(const Fd& status, const Command& command) {
    ChildFailure failure{};
    const ssize_t n = retry_eintr([&] { return ::read(status.get(), &failure, sizeof failure); });
    if (n != static_cast<ssize_t>(sizeof failure)) return;
    retry_eintr([&] { return ::waitpid(pid_, nullptr, 0); });
    pid_ = -1;
    const std::string& program = command.argv[0];
    if (failure.stage == Stage::enter_folder)
      throw_errno(failure.error, "cannot enter the sim's folder " + command.cwd);
    std::error_code ignored;
    if (failure.stage == Stage::exec && failure.error == ENOENT &&
        fs::exists(fs::path(command.cwd) / program, ignored))
      throw_errno(failure.error, "cannot start " + program + " (its interpreter is missing)");
    throw_errno(failure.error, "cannot start " + program);
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

asio::awaitable<std::unique_ptr<outside::SimProcess>> start_sim_process(
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
  // A UTF-8 sequence is at most four bytes: at most three continuation bytes to skip.
  std::size_t cut = from;
  while (cut < from + 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
  return std::string(text.substr(cut));
}

}  // namespace nalto::runtime
