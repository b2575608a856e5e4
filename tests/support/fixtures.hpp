#pragma once

// What the tests share: an event loop that runs one task with a bounded wall time, a scripted
// platform, a console and a log that record, environment variables set for one test, and a
// compute node on a loopback port.

#include <gtest/gtest.h>
#include <httplib.h>
#include <spdlog/sinks/ostream_sink.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nalto/nalto.hpp"
#include "support/env.hpp"

namespace nalto::testing {

// Owns the event loop of one test. run() drives a task to its end, at most `limit` of wall time,
// so a test that would hang fails instead.
class Loop {
 public:
  asio::io_context context;
  asio::cancellation_signal cancel_signal;

  template <class T>
  T run(asio::awaitable<T> task, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::exception_ptr error;
    std::optional<detail_value<T>> result;
    bool done = false;
    asio::co_spawn(
        context, std::move(task),
        asio::bind_cancellation_slot(cancel_signal.slot(), [&](std::exception_ptr e, auto... value) {
          error = e;
          if constexpr (sizeof...(value) == 1) result.emplace(std::move(value)...);
          done = true;
        }));
    context.restart();
    // A running sim keeps its output reader pending, so the loop stops when the task is done.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done && context.run_one_until(deadline) > 0) {
    }
    if (!done) throw std::runtime_error("the task did not end within the test's time bound");
    if (error) std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>) return std::move(*result);
  }

  // Cancels the running task from the loop, as Ctrl-C does.
  void cancel_soon() {
    asio::post(context, [this] { cancel_signal.emit(asio::cancellation_type::terminal); });
  }

 private:
  template <class T>
  using detail_value = std::conditional_t<std::is_void_v<T>, int, T>;
};

// A console over string streams, installed for one scope. Not a terminal unless asked.
class CapturedConsole {
 public:
  explicit CapturedConsole(bool terminal = false);
  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }
  std::vector<std::string> lines() const;

 private:
  std::ostringstream out_, err_;
  ScopedEnv no_force_, no_colour_;
  Console console_;
  ScopedConsole scope_;
};

// Records a logger's output at debug level for one scope: the step logger's unless named.
class CapturedLog {
 public:
  explicit CapturedLog(const std::string& name = "nalto.publish_report");
  ~CapturedLog();
  std::vector<std::string> records() const;

 private:
  std::ostringstream stream_;
  std::shared_ptr<spdlog::logger> logger_;
  std::vector<spdlog::sink_ptr> previous_sinks_;
  spdlog::level::level_enum previous_level_;
};

struct PlatformCall {
  std::string op;
  std::vector<std::string> args;
  Json body;
};

// A platform that records every call and answers as scripted. A handler may throw to refuse.
class FakePlatform : public outside::PlatformApi, public outside::ProjectSimsApi, public outside::SimsApi {
 public:
  std::vector<PlatformCall> calls;
  std::function<Json(const PlatformCall&)> on_link = [](const PlatformCall&) { return Json::object(); };
  std::function<Json(const PlatformCall&)> on_start;
  std::function<Json(const PlatformCall&)> on_submit = [](const PlatformCall&) { return Json::object(); };
  // Successive answers of publish_report_status; the last one repeats.
  std::deque<Json> statuses;
  // The operation ("link", "start", "submit", "status") that never answers, to cancel a task there.
  std::string hang_on;
  // Told when a call starts hanging, e.g. to cancel the task there.
  std::function<void()> on_hang = [] {};

  FakePlatform();
  outside::ProjectSimsApi& project_sims() override { return *this; }
  outside::SimsApi& sims() override { return *this; }

  asio::awaitable<Json> link(std::string org_id, std::string project_id, std::string sim_id) override;
  asio::awaitable<Json> publish_report_start(std::string org_id, std::string sim_id,
                                             std::string implementation_id, std::string dataset_id) override;
  asio::awaitable<Json> publish_report_submit(std::string org_id, std::string sim_id,
                                              std::string implementation_id, std::string job_id,
                                              Json body) override;
  asio::awaitable<Json> publish_report_status(std::string org_id, std::string sim_id,
                                              std::string implementation_id, std::string job_id) override;

  std::vector<std::string> ops() const;
  std::size_t count(const std::string& op) const;
  const PlatformCall* last(const std::string& op) const;

 private:
  asio::awaitable<void> maybe_hang(const std::string& op);
};

// Keeps a node's handler busy until `release` is set, at most 10 s, as a node that does not answer.
void hold_until(const std::atomic<bool>& release);

// A compute node on 127.0.0.1:<free port>, serving whatever the test routes, with
// NALTO_COMPUTE_URL pointing at it for the node's lifetime.
class FakeNode {
 public:
  httplib::Server server;

  FakeNode();
  ~FakeNode();
  void start();  // after the routes are set
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int port_ = 0;
  std::thread thread_;
  std::optional<ScopedEnv> env_;
};

// Marks every process started during its lifetime (through an environment variable they inherit), so a
// test can tell whether any of them, or of their children, is still running.
class ProcessMark {
 public:
  ProcessMark();
  // The live processes that carry the mark; zombies do not count. Waits up to `grace` for the last
  // ones to go, as signals are delivered asynchronously.
  std::vector<int> alive(std::chrono::milliseconds grace = std::chrono::seconds(2)) const;

 private:
  std::string value_;
  ScopedEnv env_;
};

}  // namespace nalto::testing
