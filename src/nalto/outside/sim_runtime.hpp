#pragma once

#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "nalto/support/json.hpp"

namespace nalto::outside {

// A running sim server process.
class SimProcess {
 public:
  virtual ~SimProcess() = default;
  virtual std::optional<int> returncode() const = 0;  // empty while the process runs
  virtual void terminate() = 0;
  virtual void kill() = 0;
  virtual asio::awaitable<int> wait() = 0;
};

// How a sim is kept apart from the machine's other processes.
struct SimIsolation {
  bool own_pid_namespace = false;
  std::string detail;  // why not, or what it lacks; empty when nothing is missing
};

// The client of a running sim.
class SimClient {
 public:
  virtual ~SimClient() = default;
  virtual asio::awaitable<void> init() = 0;
  virtual asio::awaitable<void> make() = 0;
  virtual asio::awaitable<Json> get_mappings() = 0;
  virtual asio::awaitable<Json> sensor_space_info() = 0;
  virtual asio::awaitable<Json> action_space_info() = 0;
  virtual asio::awaitable<Json> reset() = 0;            // the sim's answer as it came: [obs, info]
  virtual asio::awaitable<Json> step(Json action) = 0;  // [obs, reward, terminated, truncated, info]
  virtual asio::awaitable<void> close() = 0;
};

class ComputeSpace {
 public:
  virtual ~ComputeSpace() = default;
  virtual Json sample() = 0;
};

class Sensor {
 public:
  virtual ~Sensor() = default;
  virtual Json sense(const Json& obs) = 0;
};

struct ClientOptions {
  std::string run_id, sim_id, env_id, address;
  Json env_init;
  std::string protocol;
};

class SimRuntime {
 public:
  virtual ~SimRuntime() = default;
  virtual int get_free_port() = 0;
  virtual asio::awaitable<std::unique_ptr<SimProcess>> make_in_process(
      std::string path, std::string host, int port, Json env, std::function<void(std::string)> on_output) = 0;
  virtual asio::awaitable<void> check_serving(std::string address, double timeout_s) = 0;
  virtual std::string _tail(std::string output) = 0;
  virtual std::unique_ptr<SimClient> client_make(ClientOptions options) = 0;
  virtual Json convert_space_to_json(const Json& space) = 0;
  virtual std::unique_ptr<ComputeSpace> _to_compute_space(const Json& info) = 0;
  virtual Json as_compute_sees(const Json& value) = 0;
  virtual std::unique_ptr<Sensor> make_sensor(std::string name, std::string sensor_mapping) = 0;
  // Kills at once every sim started here that still runs, with its descendants, so that a stop waiting
  // for a sim that ignores SIGTERM ends now (a second interruption). A runtime without processes of its
  // own has nothing to kill.
  virtual void kill_all() {}
  // How the last sim started here is isolated; empty for a runtime that cannot tell.
  virtual std::optional<SimIsolation> last_isolation() const { return std::nullopt; }
};

// The installed runtime; fails when none is installed.
SimRuntime& sim_runtime();

// Installs `runtime` until destroyed, then restores the one before.
class ScopedSimRuntime {
 public:
  explicit ScopedSimRuntime(SimRuntime& runtime);
  ~ScopedSimRuntime();
  ScopedSimRuntime(const ScopedSimRuntime&) = delete;
  ScopedSimRuntime& operator=(const ScopedSimRuntime&) = delete;

 private:
  SimRuntime* previous_;
};

}  // namespace nalto::outside
