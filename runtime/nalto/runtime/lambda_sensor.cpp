#include "nalto/runtime/lambda_sensor.hpp"

#include <string_view>
#include <vector>

#include "nalto/mapping/path.hpp"
#include "nalto/mapping/slots.hpp"
#include "nalto/support/errors.hpp"

namespace nalto::runtime {

namespace {

constexpr std::string_view PREFIX = "lambda sensors: sensors";

class LambdaSensor : public outside::Sensor {
 public:
  explicit LambdaSensor(SlotKeys keys) : keys_(std::move(keys)) {}

  Json sense(const Json& obs) override {
    const Json* at = &obs;
    for (const Json& key : *keys_) at = &at_key(*at, key);
    return *at;
  }

 private:
  SlotKeys keys_;
};

}  // namespace

std::unique_ptr<outside::Sensor> make_lambda_sensor(std::string name, std::string sensor_mapping) {
  const std::string_view text = sensor_mapping;
  SlotKeys keys;
  if (text.starts_with(PREFIX)) keys = shared_slot_keys(text.substr(PREFIX.size()));
  if (!keys)
    throw ValueError("the sensor '" + name + "' has a mapping this runtime cannot read: " + sensor_mapping);
  return std::make_unique<LambdaSensor>(std::move(keys));
}

}  // namespace nalto::runtime
