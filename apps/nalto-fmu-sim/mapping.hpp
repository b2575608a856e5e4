#pragma once

// How an FMU's variables meet the sim protocol: outputs are the sensors, inputs the actions, each named
// after its variable, and parameters are set from env_init.

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "fmi2.h"
#include "model_description.hpp"

namespace nalto::fmu {

using Json = nlohmann::ordered_json;

// A value the FMU cannot take (a malformed action, an unknown parameter); the caller gets
// INVALID_ARGUMENT.
class BadValue : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Values of one group of variables, split by the FMI call that reads or writes them.
struct Values {
  std::vector<double> reals;
  std::vector<int> integers;  // Integer and Enumeration
  std::vector<int> booleans;
};

// The variables of one causality (outputs or inputs), in modelDescription.xml's order; String variables
// cannot carry a number and are left out.
class Signals {
 public:
  Signals(const ModelDescription& md, std::string_view causality);

  // A box when every variable is Real, else a tuple of one space per variable (Integer: an int64 box
  // of one value, Boolean: a discrete of 2).
  Json space() const;
  // {"name": slot, "name_mapped": variable name} for each, in order.
  Json mappings() const;
  Json to_json(const Values& values) const;
  // An action of space()'s shape; BadValue names the element that does not fit.
  Values from_json(const Json& value) const;

  std::vector<fmi2ValueReference> reals, integers, booleans;
  const std::vector<Variable>& variables() const { return variables_; }

 private:
  bool all_real() const { return integers.empty() && booleans.empty(); }

  std::vector<Variable> variables_;
};

// A parameter of env_init's "parameters" matched to its variable.
struct Setting {
  const Variable* variable;
  Json value;
};

// env_init's "parameters" checked against the FMU's variables of causality parameter: an unknown name
// or a value of the wrong kind is a BadValue naming it (with the FMU's parameters).
std::vector<Setting> parameter_settings(const ModelDescription& md, const Json& env_init);

// Seconds per dataset row: env_init's "step_size", else the DefaultExperiment's stepSize, else 1.
double step_size(const ModelDescription& md, const Json& env_init);

// The settings as the FMI setters take them.
struct SettingValues {
  std::vector<fmi2ValueReference> real_refs, integer_refs, boolean_refs;
  Values values;
};
SettingValues setting_values(const std::vector<Setting>& settings);

}  // namespace nalto::fmu
