#include "nalto/runtime/grpc_sim_runtime.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include "grpc/health/v1/health.grpc.pb.h"
#include "nalto/runtime/grpc_call.hpp"
#include "nalto/runtime/lambda_sensor.hpp"
#include "nalto/runtime/process.hpp"
#include "nalto/runtime/spaces.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"
#include "nalto/support/utf8.hpp"
#include "sim.grpc.pb.h"

namespace nalto::runtime {

namespace {

namespace pb = nalto::sim::v1;
using Clock = std::chrono::steady_clock;
using HealthStatus = grpc::health::v1::HealthCheckResponse;

// A health check that hangs (a sim that accepts but does not answer yet) is retried this often.
constexpr auto CHECK_TRY = std::chrono::milliseconds(250);
// The pause between checks refused at once: short, so a sim is seen serving soon after it does.
constexpr double CHECK_PAUSE_S = 0.005;
constexpr const char* HEALTH_SERVICE = "grpc.health.v1.Health";
constexpr const char* HEALTH_CHECK = "grpc.health.v1.Health/Check";

class GrpcSimClient : public outside::SimClient {
 public:
  explicit GrpcSimClient(outside::ClientOptions options) : options_(std::move(options)) {}

  asio::awaitable<void> init() override {
    channel_ = sim_channel(options_.address);
    stub_ = pb::Simulator::NewStub(channel_);
    co_await call<pb::Empty>(&pb::Simulator::Stub::PrepareAsyncInit, pb::Empty());
  }

  asio::awaitable<void> make() override {
    pb::MakeRequest request;
    request.set_run_id(options_.run_id);
    request.set_sim_id(options_.sim_id);
    request.set_env_id(options_.env_id);
    request.set_env_init_json(dump_json(options_.env_init));
    co_await call<pb::Empty>(&pb::Simulator::Stub::PrepareAsyncMake, std::move(request));
  }

  asio::awaitable<Json> get_mappings() override {
    co_return co_await json_call("GetMappings", &pb::Simulator::Stub::PrepareAsyncGetMappings, pb::Empty());
  }
  asio::awaitable<Json> sensor_space_info() override {
    co_return co_await json_call("SensorSpaceInfo", &pb::Simulator::Stub::PrepareAsyncSensorSpaceInfo,
                                 pb::Empty());
  }
  asio::awaitable<Json> action_space_info() override {
    co_return co_await json_call("ActionSpaceInfo", &pb::Simulator::Stub::PrepareAsyncActionSpaceInfo,
                                 pb::Empty());
  }
  asio::awaitable<Json> reset() override {
    co_return co_await json_call("Reset", &pb::Simulator::Stub::PrepareAsyncReset, pb::Empty());
  }

  asio::awaitable<Json> step(Json action) override {
    pb::JsonValue request;
    request.set_json(dump_json(action));
    co_return co_await json_call("Step", &pb::Simulator::Stub::PrepareAsyncStep, std::move(request));
  }

  asio::awaitable<void> close() override {
    co_await call<pb::Empty>(&pb::Simulator::Stub::PrepareAsyncClose, pb::Empty());
  }

 private:
  outside::ClientOptions options_;
  CallQueue queue_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<pb::Simulator::Stub> stub_;

  template <class Response, class Request>
  using Prepare = std::unique_ptr<grpc::ClientAsyncResponseReader<Response>> (pb::Simulator::Stub::*)(
      grpc::ClientContext*, const Request&, grpc::CompletionQueue*);

  template <class Response, class Request>
  asio::awaitable<Response> call(Prepare<Response, Request> method, Request request) {
    if (!stub_) throw SimCallError("the sim client is not connected: init() comes first");
    auto prepare = [this, method, &request](grpc::ClientContext* context, grpc::CompletionQueue* queue) {
      return (stub_.get()->*method)(context, request, queue);
    };
    co_return co_await unary_call<Response>(queue_, std::move(prepare));
  }

  // Sims write JSON as their language does: NaN and Infinity as Python writes them are numbers too.
  template <class Request>
  asio::awaitable<Json> json_call(const char* name, Prepare<pb::JsonValue, Request> method, Request request) {
    const pb::JsonValue answer = co_await call<pb::JsonValue>(method, std::move(request));
    try {
      co_return parse_sim_json(answer.json());
    } catch (const NestedTooDeepError& e) {
      throw NestedTooDeepError(std::string("the sim's ") + name + " answer nests deeper than " +
                                   std::to_string(MAX_JSON_DEPTH) +
                                   " levels: " + utf8::text_start(utf8::sanitize(e.text())),
                               e.text());
    } catch (const UnparsedJSONError& e) {
      throw UnparsedJSONError(std::string("the sim's ") + name +
                                  " answer is not JSON: " + utf8::text_start(utf8::sanitize(e.text())),
                              e.text());
    }
  }
};

// A started sim, known to check_serving by its port while its handle lives.
class TrackedProcess : public outside::SimProcess {
 public:
  TrackedProcess(std::unique_ptr<outside::SimProcess> process,
                 std::shared_ptr<std::map<int, SimProcess*>> started, int port)
      : process_(std::move(process)), started_(std::move(started)), port_(port) {
    (*started_)[port_] = this;
  }
  ~TrackedProcess() override {
    const auto at = started_->find(port_);
    if (at != started_->end() && at->second == this) started_->erase(at);
  }
  TrackedProcess(const TrackedProcess&) = delete;
  TrackedProcess& operator=(const TrackedProcess&) = delete;

  std::optional<int> returncode() const override { return process_->returncode(); }
  void terminate() override { process_->terminate(); }
  void kill() override { process_->kill(); }
  asio::awaitable<int> wait() override { co_return co_await process_->wait(); }

 private:
  std::unique_ptr<outside::SimProcess> process_;
  std::shared_ptr<std::map<int, SimProcess*>> started_;
  int port_;
};

std::optional<int> port_of(const std::string& address) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  try {
    std::size_t used = 0;
    const int port = std::stoi(address.substr(colon + 1), &used);
    if (used == address.size() - colon - 1) return port;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

std::string not_serving_text(const std::string& address, double timeout_s, std::optional<int> port,
                             bool refused) {
  std::string text = "the sim at " + address + " did not serve within " + plain_text(Json(timeout_s)) + " s";
  if (refused && port)
    text += "; nothing listened on port " + std::to_string(*port) +
            ", the port it was given with --port: a sim must listen on that port";
  return text;
}

std::string exit_text(int code) {
  if (code >= 0) return "exited with code " + std::to_string(code);
  const char* name = ::sigdescr_np(-code);
  return "was ended by signal " + std::to_string(-code) + (name ? std::string(" (") + name + ")" : "");
}

}  // namespace

GrpcSimRuntime::GrpcSimRuntime() : started_(std::make_shared<std::map<int, outside::SimProcess*>>()) {}
GrpcSimRuntime::~GrpcSimRuntime() = default;

int GrpcSimRuntime::get_free_port() {
  constexpr std::size_t REMEMBERED = 64;
  constexpr int TRIES = 16;
  int port = free_port();
  for (int tried = 1;
       tried < TRIES && std::find(given_ports_.begin(), given_ports_.end(), port) != given_ports_.end();
       ++tried)
    port = free_port();
  given_ports_.push_back(port);
  if (given_ports_.size() > REMEMBERED) given_ports_.pop_front();
  return port;
}

asio::awaitable<std::unique_ptr<outside::SimProcess>> GrpcSimRuntime::make_in_process(
    std::string path, std::string host, int port, Json env, std::function<void(std::string)> on_output) {
  std::unique_ptr<SimChildProcess> process = co_await start_sim_process(
      std::move(path), std::move(host), port, std::move(env), std::move(on_output));
  last_isolation_ = process->isolation();
  co_return std::make_unique<TrackedProcess>(std::move(process), started_, port);
}

asio::awaitable<void> GrpcSimRuntime::check_serving(std::string address, double timeout_s) {
  const Clock::time_point end = Clock::now() + to_duration(timeout_s);
  const std::optional<int> port = port_of(address);
  const std::shared_ptr<grpc::Channel> channel = sim_channel(address);
  const std::unique_ptr<grpc::health::v1::Health::Stub> health = grpc::health::v1::Health::NewStub(channel);
  CallQueue queue;
  for (;;) {
    if (port) {
      const auto at = started_->find(*port);
      // Its exit is awaited first, so that all it printed has reached its output before the failure
      // is told.
      if (at != started_->end() && at->second->returncode()) {
        const int code = co_await at->second->wait();
        throw SimCallError("the sim " + exit_text(code) + " before it served");
      }
    }
    const Clock::duration left = end - Clock::now();
    if (left <= Clock::duration::zero()) {
      // Never connected by the end: nobody listens at the address, the commonest reason being another port.
      const bool connected = channel->GetState(false) == GRPC_CHANNEL_READY;
      throw TimeoutError(not_serving_text(address, timeout_s, port, !connected));
    }
    const auto deadline = std::chrono::system_clock::now() + std::min<Clock::duration>(left, CHECK_TRY);
    grpc::health::v1::HealthCheckRequest request;
    auto prepare = [&health, &request](grpc::ClientContext* context, grpc::CompletionQueue* cq) {
      return health->PrepareAsyncCheck(context, request, cq);
    };
    try {
      const HealthStatus answer = co_await unary_call<HealthStatus>(queue, std::move(prepare), deadline);
      if (answer.status() == HealthStatus::SERVING) co_return;
    } catch (const GrpcCallError& e) {
      // A server that does not know the health service will never know it: asking on is pointless.
      if (e.code() == grpc::StatusCode::UNIMPLEMENTED)
        throw SimCallError("the sim at " + address +
                           " serves gRPC but not the health service: " + HEALTH_CHECK + " answered " +
                           e.what() + "; a sim must serve " + HEALTH_SERVICE + " too");
      // Not listening yet, or not answering yet: ask again.
    }
    co_await sleep_for(std::min(CHECK_PAUSE_S, std::chrono::duration<double>(end - Clock::now()).count()));
  }
}

std::string GrpcSimRuntime::_tail(std::string output) {
  return tail(output);
}

std::unique_ptr<outside::SimClient> GrpcSimRuntime::client_make(outside::ClientOptions options) {
  return std::make_unique<GrpcSimClient>(std::move(options));
}

Json GrpcSimRuntime::convert_space_to_json(const Json& space) {
  return runtime::convert_space_to_json(space);
}

std::unique_ptr<outside::ComputeSpace> GrpcSimRuntime::_to_compute_space(const Json& info) {
  return to_compute_space(info);
}

Json GrpcSimRuntime::as_compute_sees(const Json& value) {
  return runtime::as_compute_sees(value);
}

std::unique_ptr<outside::Sensor> GrpcSimRuntime::make_sensor(std::string name, std::string sensor_mapping) {
  return make_lambda_sensor(std::move(name), std::move(sensor_mapping));
}

std::optional<outside::SimIsolation> GrpcSimRuntime::last_isolation() const {
  return last_isolation_;
}

void GrpcSimRuntime::kill_all() {
  for (const auto& [port, process] : *started_) process->kill();
}

}  // namespace nalto::runtime
