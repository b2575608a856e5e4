#pragma once

// What every C++ sim here shares: the Simulator service over JSON values, the health service, and a
// main loop that serves on a loopback address until SIGTERM or SIGINT.

#include <grpcpp/grpcpp.h>

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "sim.grpc.pb.h"

namespace nalto::sims {

// Member order is kept so that spaces list their members as written.
using Json = nlohmann::ordered_json;

// A request the sim cannot take; the caller gets INVALID_ARGUMENT with this message.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The Simulator service with its values as JSON. Calls are taken one at a time; a BadRequest becomes
// INVALID_ARGUMENT, any other failure INTERNAL.
class JsonSimulator : public nalto::sim::v1::Simulator::Service {
 public:
  grpc::Status Init(grpc::ServerContext* context, const nalto::sim::v1::Empty* request,
                    nalto::sim::v1::Empty* answer) override;
  grpc::Status Make(grpc::ServerContext* context, const nalto::sim::v1::MakeRequest* request,
                    nalto::sim::v1::Empty* answer) override;
  grpc::Status GetMappings(grpc::ServerContext* context, const nalto::sim::v1::Empty* request,
                           nalto::sim::v1::JsonValue* answer) override;
  grpc::Status SensorSpaceInfo(grpc::ServerContext* context, const nalto::sim::v1::Empty* request,
                               nalto::sim::v1::JsonValue* answer) override;
  grpc::Status ActionSpaceInfo(grpc::ServerContext* context, const nalto::sim::v1::Empty* request,
                               nalto::sim::v1::JsonValue* answer) override;
  grpc::Status Reset(grpc::ServerContext* context, const nalto::sim::v1::Empty* request,
                     nalto::sim::v1::JsonValue* answer) override;
  grpc::Status Step(grpc::ServerContext* context, const nalto::sim::v1::JsonValue* request,
                    nalto::sim::v1::JsonValue* answer) override;
  grpc::Status Close(grpc::ServerContext* context, const nalto::sim::v1::Empty* request,
                     nalto::sim::v1::Empty* answer) override;

 protected:
  // `env_init` is a JSON object.
  virtual void make(const Json& env_init) = 0;
  // Absent: the sim keeps no mappings of its own, so the caller lists the spaces' leaves.
  virtual std::optional<Json> mappings() const { return std::nullopt; }
  virtual Json sensor_space() const = 0;
  virtual Json action_space() const = 0;
  virtual Json reset() = 0;                   // [obs, info]
  virtual Json step(const Json& action) = 0;  // [obs, reward, terminated, truncated, info]

 private:
  template <class Body>
  grpc::Status answer(Body&& body);

  std::mutex mutex_;
};

// Whether the environment variable `name` is set to "1".
bool env_flag(const char* name);

// A number from a JSON value that must be one (booleans are not); BadRequest names `what` otherwise.
double number(const Json& value, std::string_view what);

struct ServeOptions {
  std::string label;  // starts the "serving on" line
  bool stop_on_sigterm = true;
  // Misbehaviours the tool must recognise, for its tests: no health service, or a port beside the
  // one the tool asked for.
  bool health = true;
  int port_offset = 0;
  // Called on the stop signal, before the calls in flight are waited for (one may never return).
  std::function<void()> on_stop;
};

// Serves `simulator` and the health service on `--host HOST --port PORT` from the command line until
// SIGTERM (unless told otherwise) or SIGINT, then returns 0. Bad usage or a host that is not loopback: 2;
// an address that cannot be bound: 1. Prints "<label>: serving on HOST:PORT" once it serves.
int serve(int argc, char** argv, JsonSimulator& simulator, const ServeOptions& options);

// Whether `host` names this machine's loopback interface only: localhost, 127.0.0.0/8 or ::1.
bool is_loopback(std::string_view host);

}  // namespace nalto::sims
