#include "support/fake_runtime.hpp"

#include <algorithm>
#include <sstream>

#include "nalto/runtime/lambda_sensor.hpp"
#include "nalto/support/async.hpp"

namespace nalto::testing {

namespace {

// What the code under test holds; the shared fake behind it stays readable after the handle is gone.
class ClientHandle : public outside::SimClient {
 public:
  ClientHandle(std::shared_ptr<FakeSimClient> client, std::shared_ptr<int> alive)
      : client_(std::move(client)), alive_(std::move(alive)) {
    ++*alive_;
  }
  ~ClientHandle() override { --*alive_; }

  asio::awaitable<void> init() override { return client_->init(); }
  asio::awaitable<void> make() override { return client_->make(); }
  asio::awaitable<Json> get_mappings() override { return client_->get_mappings(); }
  asio::awaitable<Json> sensor_space_info() override { return client_->sensor_space_info(); }
  asio::awaitable<Json> action_space_info() override { return client_->action_space_info(); }
  asio::awaitable<Json> reset() override { return client_->reset(); }
  asio::awaitable<Json> step(Json action) override { return client_->step(std::move(action)); }
  asio::awaitable<void> close() override { return client_->close(); }

 private:
  std::shared_ptr<FakeSimClient> client_;
  std::shared_ptr<int> alive_;
};

class ProcessHandle : public outside::SimProcess {
 public:
  ProcessHandle(std::shared_ptr<FakeSimProcess> process, std::shared_ptr<int> alive)
      : process_(std::move(process)), alive_(std::move(alive)) {
    ++*alive_;
  }
  ~ProcessHandle() override { --*alive_; }

  std::optional<int> returncode() const override { return process_->returncode(); }
  void terminate() override { process_->terminate(); }
  void kill() override { process_->kill(); }
  asio::awaitable<int> wait() override { return process_->wait(); }

 private:
  std::shared_ptr<FakeSimProcess> process_;
  std::shared_ptr<int> alive_;
};

class ScriptedSpace : public outside::ComputeSpace {
 public:
  ScriptedSpace(std::function<Json(const Json&)> sample, Json info)
      : sample_(std::move(sample)), info_(std::move(info)) {}
  Json sample() override { return sample_(info_); }

 private:
  std::function<Json(const Json&)> sample_;
  Json info_;
};

std::size_t box_size(const Json& space) {
  return subscript(subscript(space, "shape"), 0).get<std::size_t>();
}

// Waits `seconds`, noting in `cancelled` when a cancellation ends the wait.
asio::awaitable<void> pause(double seconds, std::function<void()> cancelled) {
  std::exception_ptr failure;
  try {
    co_await sleep_for(seconds);
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) co_return;
  if (is_cancellation(failure)) cancelled();
  std::rethrow_exception(failure);
}

}  // namespace

Json box_space(const std::vector<std::string>& names) {
  return Json{{"type", "box"}, {"shape", {names.size()}}, {"dtype", "float64"}, {"names", names}};
}

asio::awaitable<void> FakeSimClient::enter(const char* call) {
  calls.emplace_back(call);
  journal->push_back(std::string("client.") + call);
  const int index = seen_[call]++;
  double seconds = delay_s.contains(call) ? delay_s.at(call) : 0;
  if (hang_on == call && index >= hang_skip) {
    on_hang();
    seconds = 3600;
  }
  if (seconds <= 0) co_return;
  std::function<void()> note = [this, call] { cancelled.emplace_back(call); };
  co_await pause(seconds, std::move(note));
}

asio::awaitable<void> FakeSimClient::init() {
  co_await enter("init");
  on_init();
}

asio::awaitable<void> FakeSimClient::make() {
  co_await enter("make");
  on_make();
}

asio::awaitable<Json> FakeSimClient::get_mappings() {
  co_await enter("get_mappings");
  co_return on_get_mappings();
}

asio::awaitable<Json> FakeSimClient::sensor_space_info() {
  co_await enter("sensor_space_info");
  co_return on_sensor_space_info();
}

asio::awaitable<Json> FakeSimClient::action_space_info() {
  co_await enter("action_space_info");
  co_return on_action_space_info();
}

asio::awaitable<Json> FakeSimClient::reset() {
  co_await enter("reset");
  row_ = 0;
  co_return on_reset();
}

asio::awaitable<Json> FakeSimClient::step(Json action) {
  steps.push_back(action);
  co_await enter("step");
  co_return on_step(action, ++row_);
}

asio::awaitable<void> FakeSimClient::close() {
  co_await enter("close");
  on_close();
}

std::size_t FakeSimClient::count(const std::string& call) const {
  return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

void FakeSimProcess::note(const std::string& event) {
  events.push_back(event);
  journal->push_back("process." + event);
}

void FakeSimProcess::terminate() {
  note("terminate");
  if (!exits_on_terminate || exit_code) return;
  if (exits_after_s > 0) {
    exit_due_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                       std::chrono::duration<double>(exits_after_s));
  } else {
    exit_code = terminated_code;
  }
}

void FakeSimProcess::kill() {
  note("kill");
  if (!exit_code) exit_code = killed_code;
}

asio::awaitable<int> FakeSimProcess::wait() {
  note("wait");
  on_wait();
  std::exception_ptr failure;
  try {
    // Polled, so a kill() while someone waits ends the wait too.
    while (!exit_code) {
      if (exit_due_ && std::chrono::steady_clock::now() >= *exit_due_) exit_code = terminated_code;
      if (!exit_code) co_await sleep_for(0.001);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (is_cancellation(failure)) ++waits_cancelled;
    std::rethrow_exception(failure);
  }
  co_return *exit_code;
}

FakeSimRuntime::FakeSimRuntime() : scope_(*this) {
  client->journal = journal;
  process->journal = journal;
  tail = [](const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::size_t from = lines.size() > 20 ? lines.size() - 20 : 0;
    std::string out;
    for (std::size_t i = from; i < lines.size(); ++i) out += (i > from ? "\n" : "") + lines[i];
    return out;
  };
  convert = [](const Json& space) {
    Json mappings = Json::array();
    const Json* names = lookup(space, "names");
    for (std::size_t i = 0; i < box_size(space); ++i) {
      Json mapping = {{"name", "[" + std::to_string(i) + "]"}};
      if (names) mapping["name_mapped"] = subscript(*names, static_cast<std::int64_t>(i));
      mappings.push_back(std::move(mapping));
    }
    return mappings;
  };
  sample = [](const Json& info) {
    if (const Json* scripted = lookup(info, "sample")) return *scripted;
    Json zeros = Json::array();
    for (std::size_t i = 0; i < box_size(info); ++i) zeros.push_back(0.0);
    return zeros;
  };
}

void FakeSimRuntime::add_sims(std::size_t n) {
  while (clients.size() < n) {
    auto more = std::make_shared<FakeSimClient>(*client);
    more->calls.clear();
    more->steps.clear();
    clients.push_back(std::move(more));
  }
  while (processes.size() < n) processes.push_back(std::make_shared<FakeSimProcess>(*process));
}

void FakeSimRuntime::emit(const std::string& line) {
  if (on_output_) on_output_(line);
}

int FakeSimRuntime::get_free_port() {
  journal->push_back("runtime.get_free_port");
  return port + static_cast<int>(ports_given_++);
}

asio::awaitable<std::unique_ptr<outside::SimProcess>> FakeSimRuntime::make_in_process(
    std::string path, std::string host, int port, Json env, std::function<void(std::string)> on_output) {
  journal->push_back("runtime.make_in_process");
  starts.push_back({path, host, port, env});
  on_output_ = std::move(on_output);
  on_make_in_process();
  for (const auto& line : output) emit(line);
  const std::size_t k = std::min(starts.size(), processes.size()) - 1;
  co_return std::make_unique<ProcessHandle>(processes[k], processes_alive_);
}

asio::awaitable<void> FakeSimRuntime::check_serving(std::string address, double timeout_s) {
  journal->push_back("runtime.check_serving");
  serving_checks.emplace_back(address, timeout_s);
  on_check_serving();
  if (!serving_hangs) co_return;
  std::function<void()> note = [this] { serving_cancelled = true; };
  co_await pause(3600, std::move(note));
}

void FakeSimRuntime::kill_all() {
  journal->push_back("runtime.kill_all");
  if (*processes_alive_ > 0)
    for (const auto& started : processes) started->kill();
}

std::string FakeSimRuntime::_tail(std::string output) {
  tails.push_back(output);
  return tail(output);
}

std::unique_ptr<outside::SimClient> FakeSimRuntime::client_make(outside::ClientOptions options) {
  journal->push_back("runtime.client_make");
  client_options.push_back(std::move(options));
  const std::size_t k = std::min(clients_made_++, clients.size() - 1);
  return std::make_unique<ClientHandle>(clients[k], clients_alive_);
}

Json FakeSimRuntime::convert_space_to_json(const Json& space) {
  converted.push_back(space);
  return convert(space);
}

std::unique_ptr<outside::ComputeSpace> FakeSimRuntime::_to_compute_space(const Json& info) {
  sampled_infos.push_back(info);
  return std::make_unique<ScriptedSpace>(sample, info);
}

Json FakeSimRuntime::as_compute_sees(const Json& value) {
  ++compute_sees_calls;
  return compute_sees(value);
}

std::unique_ptr<outside::Sensor> FakeSimRuntime::make_sensor(std::string name, std::string sensor_mapping) {
  ++sensors_made;
  return runtime::make_lambda_sensor(std::move(name), std::move(sensor_mapping));
}

}  // namespace nalto::testing
