#pragma once

#include <memory>
#include <string>

#include "nalto/outside/sim_runtime.hpp"

namespace nalto::runtime {

// The sensor of a mapping text "lambda sensors: sensors" followed by bracketed literal keys: it
// reads the observation at those keys (the whole observation without any). Any other text fails
// when the sensor is made (ValueError); a missing key fails when it senses.
std::unique_ptr<outside::Sensor> make_lambda_sensor(std::string name, std::string sensor_mapping);

}  // namespace nalto::runtime
