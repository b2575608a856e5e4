#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/json.hpp"

namespace nalto {

// The last lines a sim printed, oldest first. Only the tail is ever shown, so a sim that prints
// without end costs a bounded amount of memory.
class OutputTail {
 public:
  static constexpr std::size_t MAX_LINES = 1000;
  static constexpr std::size_t MAX_BYTES = 1 << 20;

  void add(std::string line);
  std::vector<std::string> lines() const;

 private:
  std::deque<std::string> lines_;
  std::size_t bytes_ = 0;
};

// One sim run on this machine: its address, its process, the tail of its output and, once connected,
// its client. start() hands back a serving sim, or stops what it started before its failure (or a
// cancellation) goes on; whoever holds a session awaits stop() on every path before dropping it.
class SimSession {
 public:
  // Starts the sim at `path` on a free port of "localhost" and waits until it serves, showing
  // "Starting the sim...". A sim that cannot be started or does not serve is a PublishReportError
  // "The sim did not start:" with the tail of its output (or the failure's text). Without `shown`, no
  // status: the caller shows its own progress.
  static asio::awaitable<SimSession> start(outside::SimRuntime& runtime, std::string path, bool shown = true);

  SimSession(SimSession&&) noexcept = default;
  SimSession& operator=(SimSession&&) noexcept = default;

  const std::string& address() const noexcept { return address_; }
  std::vector<std::string> output() const { return output_->lines(); }
  // The exit code of a sim that had ended by itself when stop() came (negative: the signal).
  std::optional<int> own_exit() const noexcept { return own_exit_; }

  // Makes the client for the sim, with `env_init` plus the sim's address.
  void make_client(Json env_init);
  // The client made by make_client().
  outside::SimClient& client() const;
  // Ends the client within `call_timeout_s`; a failing or late Close is ignored, as the sim has done
  // its work by then.
  asio::awaitable<void> close(double call_timeout_s);
  // Asks a running sim to terminate, waits at most the exit wait, then kills it without waiting
  // again. A cancellation of the wait kills it too: the sim never outlives the step.
  asio::awaitable<void> stop();

 private:
  explicit SimSession(outside::SimRuntime& runtime);
  asio::awaitable<void> serve(std::string path, bool shown);
  asio::awaitable<void> serve_unseen(std::string path);
  asio::awaitable<void> launch(std::string path);

  outside::SimRuntime* runtime_;
  int port_;
  std::string address_;
  // Shared with the output callback, which may hear a line after the session has moved.
  std::shared_ptr<OutputTail> output_;
  std::unique_ptr<outside::SimProcess> process_;
  std::unique_ptr<outside::SimClient> client_;
  std::optional<int> own_exit_;
};

}  // namespace nalto
