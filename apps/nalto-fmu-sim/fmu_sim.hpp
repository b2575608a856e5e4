#pragma once

#include <memory>
#include <optional>
#include <string>

#include "archive.hpp"
#include "fmi_binding.hpp"
#include "mapping.hpp"
#include "model_description.hpp"
#include "sim_server.hpp"

namespace nalto::fmu {

// An FMI 2.0 Co-Simulation FMU as a sim. The FMU is unpacked and loaded at construction; when that
// fails, every call answers why (so the tool shows it), as does any FMI call that fails.
//
// Make takes env_init's "parameters" (set before initialisation at every Reset), "step_size" (seconds per
// Step) and "logging" (the FMU's loggingOn). Reset makes a fresh instance at the start time, set up and
// initialised, and answers its outputs; Step sets the inputs, takes one doStep from the current time and
// answers the outputs, truncated once the DefaultExperiment's stopTime is reached.
class FmuSimulator : public sims::JsonSimulator {
 public:
  explicit FmuSimulator(const std::string& fmu, std::uint64_t max_unpacked = MAX_UNPACKED_BYTES);

  // Where the FMU was unpacked; empty when it could not be.
  std::string folder() const { return unpacked_ ? unpacked_->folder() : std::string(); }
  const std::optional<std::string>& load_error() const { return load_error_; }

  void make(const Json& env_init) override;
  std::optional<Json> mappings() const override;
  Json sensor_space() const override;
  Json action_space() const override;
  Json reset() override;
  Json step(const Json& action) override;

 private:
  struct Loaded {
    ModelDescription md;
    Library library;
    Signals outputs, inputs;
  };
  const Loaded& loaded() const;
  Json outputs();

  std::optional<std::string> load_error_;
  std::unique_ptr<UnpackedFmu> unpacked_;
  std::unique_ptr<Loaded> loaded_;
  std::unique_ptr<Instance> instance_;
  // From Make.
  SettingValues parameters_;
  double step_ = 1.0;
  bool logging_ = false;
  double time_ = 0.0;
  Values scratch_;
};

}  // namespace nalto::fmu
