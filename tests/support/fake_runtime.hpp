#pragma once

// A scripted sim runtime: a client, a process and the runtime's own operations, each recording what
// it was asked and answering as the test says. The runtime hands out proxies of one shared client and
// one shared process, so a test still reads them after the code under test dropped its handles.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"

namespace nalto::testing {

// Every call of a client, a process and a runtime that share it, in order: "client.reset",
// "process.terminate", "runtime.check_serving", ...
using Journal = std::vector<std::string>;

// {"type":"box","shape":[n],"names":[...]} with one element per name.
Json box_space(const std::vector<std::string>& names);

class FakeSimClient : public outside::SimClient {
 public:
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  std::vector<std::string> calls;  // "init", "make", "get_mappings", ..., "close"
  std::vector<Json> steps;         // every action sent to step()

  // Answers; any of them may throw to fail the call.
  std::function<Json()> on_get_mappings = []() -> Json {
    throw SimCallError("UNIMPLEMENTED: the sim keeps no mappings");
  };
  std::function<Json()> on_sensor_space_info = [] { return box_space({"temp"}); };
  std::function<Json()> on_action_space_info = [] { return box_space({"power"}); };
  std::function<Json()> on_reset = [] { return Json::array({Json::array({20.0}), Json::object()}); };
  // `row` is the row the answer stands for: 1 for the first step after a reset.
  std::function<Json(const Json& action, int row)> on_step = [](const Json&, int) {
    return Json::array({Json::array({20.0}), 0.0, false, false, Json::object()});
  };
  std::function<void()> on_init = [] {}, on_make = [] {}, on_close = [] {};

  // The call named here waits until it is cancelled (by a time limit or by the test) once
  // `hang_skip` of its kind have answered; `on_hang` is told when it starts waiting.
  std::string hang_on;
  int hang_skip = 0;
  std::function<void()> on_hang = [] {};
  std::map<std::string, double> delay_s;  // a pause before every answer of the named call
  std::vector<std::string> cancelled;     // the calls cancelled while they were pending

  asio::awaitable<void> init() override;
  asio::awaitable<void> make() override;
  asio::awaitable<Json> get_mappings() override;
  asio::awaitable<Json> sensor_space_info() override;
  asio::awaitable<Json> action_space_info() override;
  asio::awaitable<Json> reset() override;
  asio::awaitable<Json> step(Json action) override;
  asio::awaitable<void> close() override;

  std::size_t count(const std::string& call) const;

 private:
  asio::awaitable<void> enter(const char* call);
  int row_ = 0;
  std::map<std::string, int> seen_;
};

class FakeSimProcess : public outside::SimProcess {
 public:
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  std::vector<std::string> events;  // "terminate", "kill", "wait"
  std::optional<int> exit_code;     // returncode(); set it to make the process exit on its own
  bool exits_on_terminate = true;   // false: terminate is ignored and wait() waits until cancelled
  double exits_after_s = 0;         // how long after terminate the process exits
  int terminated_code = -15, killed_code = -9;
  int waits_cancelled = 0;
  std::function<void()> on_wait = [] {};  // told when a wait begins

  std::optional<int> returncode() const override { return exit_code; }
  void terminate() override;
  void kill() override;
  asio::awaitable<int> wait() override;  // until the process has exited

 private:
  void note(const std::string& event);
  std::optional<std::chrono::steady_clock::time_point> exit_due_;
};

class FakeSimRuntime : public outside::SimRuntime {
 public:
  struct Start {
    std::string path, host;
    int port;
    Json env;
  };

  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  std::shared_ptr<FakeSimClient> client = std::make_shared<FakeSimClient>();
  std::shared_ptr<FakeSimProcess> process = std::make_shared<FakeSimProcess>();
  // One client and one process per sim started, `client` and `process` first: the k-th start gets
  // the k-th process (the last when there are fewer), and the k-th client_make the k-th client.
  std::vector<std::shared_ptr<FakeSimClient>> clients{client};
  std::vector<std::shared_ptr<FakeSimProcess>> processes{process};

  int port = 47001;
  std::vector<Start> starts;                         // make_in_process's arguments
  std::vector<std::string> output;                   // lines emitted through on_output while starting
  std::function<void()> on_make_in_process = [] {};  // may throw
  std::vector<std::pair<std::string, double>> serving_checks;  // (address, timeout_s)
  std::function<void()> on_check_serving = [] {};              // may throw
  bool serving_hangs = false;                                  // check_serving waits until cancelled
  bool serving_cancelled = false;
  std::vector<std::string> tails;                       // what _tail was given
  std::function<std::string(const std::string&)> tail;  // default: the last 20 lines
  std::vector<outside::ClientOptions> client_options;
  std::vector<Json> converted;                     // convert_space_to_json's spaces
  std::function<Json(const Json& space)> convert;  // default: one "[i]" per box element
  std::vector<Json> sampled_infos;                 // _to_compute_space's infos
  std::function<Json(const Json& info)> sample;    // default: info's "sample", else 0.0 per element
  std::function<Json(const Json& value)> compute_sees = [](const Json& value) { return value; };
  int compute_sees_calls = 0;
  int sensors_made = 0;

  FakeSimRuntime();
  FakeSimRuntime(const FakeSimRuntime&) = delete;
  FakeSimRuntime& operator=(const FakeSimRuntime&) = delete;

  // Makes `n` sims in all, the new ones scripted as `client` and `process` are now, sharing the journal.
  void add_sims(std::size_t n);
  // Sends a line of the sim's output to the on_output of the last start.
  void emit(const std::string& line);
  // The handles from client_make and make_in_process that the code under test still holds.
  int clients_alive() const { return *clients_alive_; }
  int processes_alive() const { return *processes_alive_; }

  int get_free_port() override;
  asio::awaitable<std::unique_ptr<outside::SimProcess>> make_in_process(
      std::string path, std::string host, int port, Json env,
      std::function<void(std::string)> on_output) override;
  asio::awaitable<void> check_serving(std::string address, double timeout_s) override;
  std::string _tail(std::string output) override;
  std::unique_ptr<outside::SimClient> client_make(outside::ClientOptions options) override;
  Json convert_space_to_json(const Json& space) override;
  std::unique_ptr<outside::ComputeSpace> _to_compute_space(const Json& info) override;
  Json as_compute_sees(const Json& value) override;
  std::unique_ptr<outside::Sensor> make_sensor(std::string name, std::string sensor_mapping) override;
  void kill_all() override;  // kills the processes while handles of them are held

 private:
  std::function<void(std::string)> on_output_;
  std::size_t ports_given_ = 0, clients_made_ = 0;
  std::shared_ptr<int> clients_alive_ = std::make_shared<int>(0);
  std::shared_ptr<int> processes_alive_ = std::make_shared<int>(0);
  outside::ScopedSimRuntime scope_;
};

}  // namespace nalto::testing
