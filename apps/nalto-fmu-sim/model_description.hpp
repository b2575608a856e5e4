#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nalto::fmu {

enum class VariableType { real, integer, boolean, string, enumeration };

struct Variable {
  std::string name;
  unsigned int value_reference = 0;
  VariableType type = VariableType::real;
  std::string causality = "local";
  std::string variability = "continuous";
  std::optional<std::string> start;  // as written
  std::optional<double> min, max;    // Real, Integer and Enumeration only
};

struct DefaultExperiment {
  std::optional<double> start_time, stop_time, tolerance, step_size;
};

struct ModelDescription {
  std::string fmi_version;
  std::string model_name;
  std::string guid;
  std::optional<std::string> co_simulation;  // the Co-Simulation binary's model identifier
  bool model_exchange = false;
  DefaultExperiment experiment;
  std::vector<Variable> variables;  // in the file's order
};

// Reads modelDescription.xml's text; FmuError names what is missing or malformed.
ModelDescription parse_model_description(const std::string& xml);

// Reads the file `path`.
ModelDescription read_model_description(const std::string& path);

const char* type_name(VariableType type);

}  // namespace nalto::fmu
