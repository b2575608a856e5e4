#pragma once

#include <asio/awaitable.hpp>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/json.hpp"

namespace nalto::runtime {

// The sim runtime of the tool: sims are child processes serving the Simulator protocol of
// runtime/proto/sim.proto over gRPC on loopback. Use it from the event-loop thread only: a sim dies
// with the thread that started it.
class GrpcSimRuntime : public outside::SimRuntime {
 public:
  GrpcSimRuntime();
  ~GrpcSimRuntime() override;
  GrpcSimRuntime(const GrpcSimRuntime&) = delete;
  GrpcSimRuntime& operator=(const GrpcSimRuntime&) = delete;

  int get_free_port() override;
  asio::awaitable<std::unique_ptr<outside::SimProcess>> make_in_process(
      std::string path, std::string host, int port, Json env,
      std::function<void(std::string)> on_output) override;
  // Asks the sim's health service until it answers SERVING; a sim started here that exits first is
  // reported at once with its exit code, and TimeoutError is raised once `timeout_s` has passed.
  asio::awaitable<void> check_serving(std::string address, double timeout_s) override;
  std::string _tail(std::string output) override;
  std::unique_ptr<outside::SimClient> client_make(outside::ClientOptions options) override;
  Json convert_space_to_json(const Json& space) override;
  std::unique_ptr<outside::ComputeSpace> _to_compute_space(const Json& info) override;
  Json as_compute_sees(const Json& value) override;
  std::unique_ptr<outside::Sensor> make_sensor(std::string name, std::string sensor_mapping) override;
  void kill_all() override;
  std::optional<outside::SimIsolation> last_isolation() const override;

 private:
  // The sims started here that still have a handle, by port.
  std::shared_ptr<std::map<int, outside::SimProcess*>> started_;
  // The ports handed out last: sims started side by side are each given their own, although none of
  // them listens yet when the next port is sought.
  std::deque<int> given_ports_;
  std::optional<outside::SimIsolation> last_isolation_;
};

}  // namespace nalto::runtime
