#include "nalto/analysis/sim_session.hpp"

#include <functional>
#include <utility>

#include "nalto/console/console.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/timing.hpp"

namespace nalto {

namespace {

constexpr const char* RUN_ID = "publish-report";

Json client_env_init(const Json& env_init, const std::string& address) {
  if (!env_init.is_object()) throw TypeError("expected env_init to be an object, got " + kind_name(env_init));
  Json copy = env_init;
  copy["sim_address"] = address;
  return copy;
}

// Kills the sim when a cancellation leaves the exit wait, unless the wait ended first.
class KillOnCancel {
 public:
  explicit KillOnCancel(outside::SimProcess& process) : process_(process) {}
  ~KillOnCancel() {
    if (!armed_) return;
    // Nothing can be reported from here; the cancellation itself goes on.
    try {
      process_.kill();
    } catch (...) {
    }
  }
  KillOnCancel(const KillOnCancel&) = delete;
  KillOnCancel& operator=(const KillOnCancel&) = delete;

  void disarm() noexcept { armed_ = false; }

 private:
  outside::SimProcess& process_;
  bool armed_ = true;
};

}  // namespace

void OutputTail::add(std::string line) {
  bytes_ += line.size();
  lines_.push_back(std::move(line));
  while (lines_.size() > MAX_LINES || (bytes_ > MAX_BYTES && lines_.size() > 1)) {
    bytes_ -= lines_.front().size();
    lines_.pop_front();
  }
}

std::vector<std::string> OutputTail::lines() const {
  return {lines_.begin(), lines_.end()};
}

SimSession::SimSession(outside::SimRuntime& runtime)
    : runtime_(&runtime),
      port_(runtime.get_free_port()),
      address_("localhost:" + std::to_string(port_)),
      output_(std::make_shared<OutputTail>()) {}

asio::awaitable<SimSession> SimSession::start(outside::SimRuntime& runtime, std::string path, bool shown) {
  SimSession session(runtime);
  auto stop_unless_serving = [&session](const std::exception_ptr& failure) -> asio::awaitable<void> {
    if (failure) co_await session.stop();
  };
  co_await finally(session.serve(std::move(path), shown), std::move(stop_unless_serving));
  co_return std::move(session);
}

asio::awaitable<void> SimSession::serve(std::string path, bool shown) {
  if (!shown) co_return co_await serve_unseen(std::move(path));
  const Status status = console().status("Starting the sim...", outside::status_trace());
  co_await serve_unseen(std::move(path));
}

asio::awaitable<void> SimSession::serve_unseen(std::string path) {
  Attempt<void> launched = co_await attempt(launch(std::move(path)));
  if (launched.ok()) co_return;
  const std::exception_ptr& failure = launched.failure();
  const std::string tail = runtime_->_tail(join(output_->lines(), "\n"));
  throw PublishReportError("The sim did not start:\n\n" + (tail.empty() ? message_of(failure) : tail),
                           failure);
}

asio::awaitable<void> SimSession::launch(std::string path) {
  std::function<void(std::string)> on_output = [output = output_](std::string line) {
    output->add(std::move(line));
  };
  Json env = Json::object();
  process_ = co_await runtime_->make_in_process(std::move(path), "localhost", port_, std::move(env),
                                                std::move(on_output));
  co_await runtime_->check_serving(address_, timing().serving_s);
}

void SimSession::make_client(Json env_init) {
  outside::ClientOptions options{.run_id = RUN_ID,
                                 .sim_id = RUN_ID,
                                 .env_id = RUN_ID,
                                 .address = address_,
                                 .env_init = client_env_init(env_init, address_),
                                 .protocol = "grpc"};
  client_ = runtime_->client_make(std::move(options));
}

outside::SimClient& SimSession::client() const {
  if (!client_) throw std::logic_error("the sim session is not connected");
  return *client_;
}

asio::awaitable<void> SimSession::close(double call_timeout_s) {
  co_await attempt(with_timeout(client().close(), call_timeout_s));
}

asio::awaitable<void> SimSession::stop() {
  if (!process_) co_return;
  outside::SimProcess& process = *process_;
  own_exit_ = process.returncode();
  if (!own_exit_) process.terminate();
  KillOnCancel kill_on_cancel(process);
  Attempt<int> exited = co_await attempt(with_timeout(process.wait(), timing().exit_wait_s));
  kill_on_cancel.disarm();
  if (exited.ok()) co_return;
  if (!failure_is<TimeoutError>(exited.failure())) std::rethrow_exception(exited.failure());
  process.kill();
}

}  // namespace nalto
