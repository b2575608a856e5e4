#pragma once

// Programs the tests run as child processes, their output read through pipes.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "nalto/support/fd.hpp"

namespace nalto::testing {

// How a child ended: by an exit code or by a signal.
struct ExitStatus {
  int code = -1;   // -1 when a signal ended it
  int signal = 0;  // 0 when it exited
  bool operator==(const ExitStatus&) const = default;
};
inline ExitStatus exited(int code) {
  return {code, 0};
}
inline ExitStatus killed_by(int signal) {
  return {-1, signal};
}
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

// A child process whose stdout and stderr are collected as they come. Killed and reaped if still
// running when it goes, so that no test leaves it behind.
class Subprocess {
 public:
  using Clock = std::chrono::steady_clock;

  // Runs `argv` (argv[0] looked up on PATH when it names no folder) with this process's environment
  // and `env`, whose variables replace those of the same name.
  explicit Subprocess(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env = {});
  // Runs `body` in a forked copy of this process. Its result is the exit code; a failure exits with 1.
  static std::unique_ptr<Subprocess> fork(const std::function<int()>& body);
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  int pid() const { return pid_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  void signal(int number) const;

  // Reads output until `done` holds, both pipes are closed, or the deadline passes; answers `done`.
  bool read_until(const std::function<bool()>& done, Clock::time_point deadline);

  // How the child ended, once it has closed its output and ended; absent when the deadline passes first.
  std::optional<ExitStatus> finish(Clock::time_point deadline);

 private:
  Subprocess() = default;

  int pid_ = -1;
  Fd pipes_[2];  // the read ends of the child's stdout and stderr
  std::string out_, err_;
};

struct Ran {
  std::optional<ExitStatus> exit;  // absent when it was still running at the limit, and killed
  std::string out, err;
};

// The address the reference compute node names on its first line once it serves ("... serving 2
// datasets on http://127.0.0.1:PORT"); std::runtime_error with its stderr when it does not within 5 s.
std::string node_url(Subprocess& node);

// Runs `argv` to its end, at most `limit` of wall time.
Ran run(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
        const std::map<std::string, std::string>& env = {});

}  // namespace nalto::testing
