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

struct Pipe {
  Fd read, write;
};

// Close-on-exec, so that no other child of this process inherits it and keeps it open.
Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
  return {Fd(fds[0]), Fd(fds[1])};
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  if (status.signal != 0) return out << "ended by signal " << status.signal;
  return out << "exited with " << status.code;
}

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  const std::vector<std::string> entries = environment_with(env);
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argv.at(0).c_str(), &actions, nullptr, pointers(argv).data(),
                                     pointers(entries).data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
  pid_ = pid;
  pipes_[0] = std::move(out.read);
  pipes_[1] = std::move(err.read);
}

std::unique_ptr<Subprocess> Subprocess::fork(const std::function<int()>& body) {
  std::unique_ptr<Subprocess> child(new Subprocess);
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out.write.get(), STDOUT_FILENO);
    ::dup2(err.write.get(), STDERR_FILENO);
    for (Fd* fd : {&out.read, &out.write, &err.read, &err.write}) fd->reset();
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  if (pid < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  child->pid_ = pid;
  child->pipes_[0] = std::move(out.read);
  child->pipes_[1] = std::move(err.read);
  return child;
}

Subprocess::~Subprocess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void Subprocess::signal(int number) const {
  ::kill(pid_, number);
}

bool Subprocess::read_until(const std::function<bool()>& done, Clock::time_point deadline) {
  while (!done() && (pipes_[0].valid() || pipes_[1].valid())) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd polled[2] = {{pipes_[0].get(), POLLIN, 0}, {pipes_[1].get(), POLLIN, 0}};
    if (::poll(polled, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (polled[i].fd < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t got = retry_eintr([&] { return ::read(pipes_[i].get(), buffer, sizeof buffer); });
      if (got > 0) {
        (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(got));
      } else {
        pipes_[i].reset();
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

std::string node_url(Subprocess& node) {
  const auto has_line = [&node] { return node.out().find('\n') != std::string::npos; };
  if (!node.read_until(has_line, Subprocess::Clock::now() + std::chrono::seconds(5)))
    throw std::runtime_error("the compute node did not start: " + node.err());
  const std::string line = node.out().substr(0, node.out().find('\n'));
  return line.substr(line.rfind(' ') + 1);
}

Ran run(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
        const std::map<std::string, std::string>& env) {
  Subprocess child(argv, env);
  std::optional<ExitStatus> exit = child.finish(Subprocess::Clock::now() + limit);
  return {exit, child.out(), child.err()};
}

}  // namespace nalto::testing
