#include "support/subprocess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace nalto::testing {

namespace {

std::vector<char*> pointers(const std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (const std::string& text : texts) result.push_back(const_cast<char*>(text.c_str()));
  result.push_back(nullptr);
  return result;
}

std::vector<std::string> environment_with(const std::map<std::string, std::string>& env) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (!env.contains(text.substr(0, text.find('=')))) entries.push_back(text);
  }
  for (const auto& [name, value] : env) entries.push_back(name + "=" + value);
  return entries;
}

ExitStatus exit_status(int wait_status) {
  if (WIFSIGNALED(wait_status)) return killed_by(WTERMSIG(wait_status));
  return exited(WEXITSTATUS(wait_status));
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  if (status.signal != 0) return out << "ended by signal " << status.signal;
  return out << "exited with " << status.code;
}

// Close-on-exec, so that no other child of this process inherits them and keeps them open.
void Subprocess::open_pipes(int (&out)[2], int (&err)[2]) {
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
  }
  fds_[0] = out[0];
  fds_[1] = err[0];
}

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  const std::vector<std::string> entries = environment_with(env);
  int out[2], err[2];
  open_pipes(out, err);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argv.at(0).c_str(), &actions, nullptr, pointers(argv).data(),
                                     pointers(entries).data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    close_pipes();
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
  }
  pid_ = pid;
}

std::unique_ptr<Subprocess> Subprocess::fork(const std::function<int()>& body) {
  std::unique_ptr<Subprocess> child(new Subprocess);
  int out[2], err[2];
  child->open_pipes(out, err);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    for (const int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  const std::string failure = pid < 0 ? std::strerror(errno) : "";
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) throw std::runtime_error("fork: " + failure);
  child->pid_ = pid;
  return child;
}

Subprocess::~Subprocess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  close_pipes();
}

void Subprocess::signal(int number) const {
  ::kill(pid_, number);
}

bool Subprocess::read_until(const std::function<bool()>& done, Clock::time_point deadline) {
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
        (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(fds_[i]);
        fds_[i] = -1;
      }
    }
  }
  return done();
}

std::optional<ExitStatus> Subprocess::finish(Clock::time_point deadline) {
  read_until([] { return false; }, deadline);
  while (pid_ > 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return exit_status(status);
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::nullopt;
}

void Subprocess::close_pipes() {
  for (int& fd : fds_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

Ran run(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
        const std::map<std::string, std::string>& env) {
  Subprocess child(argv, env);
  std::optional<ExitStatus> exit = child.finish(Subprocess::Clock::now() + limit);
  return {exit, child.out(), child.err()};
}

}  // namespace nalto::testing
