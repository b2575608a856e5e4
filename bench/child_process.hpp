#pragma once

// Child processes for the benches that run the programs as a user does: the CLI, the compute node.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace nalto::bench {

struct Child {
  pid_t pid = -1;
};

// Starts `argv` with `env` added, its stdout and stderr to the files named (empty: inherited).
inline Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!out.empty())
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!err.empty())
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> environment(env);
  for (char** e = environ; *e; ++e) environment.emplace_back(*e);
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  Child child;
  const int failed = posix_spawn(&child.pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed) throw std::runtime_error("cannot start " + argv[0]);
  return child;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The reference compute node serving `datasets`, its output in `dir`; stopped when this goes.
class NodeProcess {
 public:
  NodeProcess(const std::string& exe, const std::string& datasets, const std::string& token,
              const std::string& dir)
      : child_(spawn({exe, "--datasets", datasets, "--port", "0"}, {"NALTO_COMPUTE_TOKEN=" + token},
                     dir + "/node.out", dir + "/node.log")) {
    // The node names its address on its first line, once its datasets are loaded: "... on http://HOST:PORT".
    for (int tries = 0; tries < 30000 && url_.empty(); ++tries) {
      const std::string out = read_file(dir + "/node.out");
      const std::string first = out.substr(0, out.find('\n'));
      if (first.size() < out.size())
        url_ = first.substr(first.rfind(' ') + 1);
      else if (::waitpid(child_.pid, nullptr, WNOHANG) == child_.pid)
        break;
      else
        ::usleep(10000);
    }
    if (url_.empty())
      throw std::runtime_error("the compute node did not start:\n" + read_file(dir + "/node.log"));
  }
  ~NodeProcess() {
    ::kill(child_.pid, SIGTERM);
    ::waitpid(child_.pid, nullptr, 0);
  }
  NodeProcess(const NodeProcess&) = delete;
  NodeProcess& operator=(const NodeProcess&) = delete;

  const std::string& url() const { return url_; }
  pid_t pid() const { return child_.pid; }

 private:
  Child child_;
  std::string url_;
};

}  // namespace nalto::bench
