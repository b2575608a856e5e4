#pragma once

#include <functional>
#include <memory>
#include <stdexcept>

#include "nalto/outside/sim_runtime.hpp"
#include "nalto/runtime/lambda_sensor.hpp"

namespace nalto::testing {

// A runtime that only makes sensors: the real lambda sensor, or whatever `sense` answers when set.
// Installed for its own lifetime.
class SensorRuntime : public outside::SimRuntime {
 public:
  std::function<Json(const Json& obs)> sense;
  std::vector<std::pair<std::string, std::string>> made;  // (name, sensor mapping) of every sensor

  SensorRuntime() : scope_(*this) {}

  std::unique_ptr<outside::Sensor> make_sensor(std::string name, std::string sensor_mapping) override {
    made.emplace_back(name, sensor_mapping);
    if (!sense) return runtime::make_lambda_sensor(std::move(name), std::move(sensor_mapping));
    struct Scripted : outside::Sensor {
      std::function<Json(const Json&)> answer;
      Json sense(const Json& obs) override { return answer(obs); }
    };
    auto sensor = std::make_unique<Scripted>();
    sensor->answer = sense;
    return sensor;
  }

  int get_free_port() override { throw unused(); }
  asio::awaitable<std::unique_ptr<outside::SimProcess>> make_in_process(
      std::string, std::string, int, Json, std::function<void(std::string)>) override {
    throw unused();
  }
  asio::awaitable<void> check_serving(std::string, double) override { throw unused(); }
  std::string _tail(std::string) override { throw unused(); }
  std::unique_ptr<outside::SimClient> client_make(outside::ClientOptions) override { throw unused(); }
  Json convert_space_to_json(const Json&) override { throw unused(); }
  std::unique_ptr<outside::ComputeSpace> _to_compute_space(const Json&) override { throw unused(); }
  Json as_compute_sees(const Json&) override { throw unused(); }

 private:
  static std::logic_error unused() { return std::logic_error("this test runtime only makes sensors"); }
  outside::ScopedSimRuntime scope_;
};

}  // namespace nalto::testing
