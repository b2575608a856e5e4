#include "fmu_sim.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace nalto::fmu {
namespace {

// Communication points add up with rounding; a stop this close counts as reached.
bool reached(double time, double stop) {
  return time >= stop - 1e-9 * std::max(1.0, std::abs(stop));
}

// The protocol's callers get INVALID_ARGUMENT for what they can fix in their request.
template <class Body>
auto as_bad_request(Body&& body) {
  try {
    return body();
  } catch (const BadValue& e) {
    throw sims::BadRequest(e.what());
  }
}

}  // namespace

FmuSimulator::FmuSimulator(const std::string& fmu, std::uint64_t max_unpacked) {
  try {
    unpacked_ = std::make_unique<UnpackedFmu>(fmu, max_unpacked);
    ModelDescription md = read_model_description(
        (std::filesystem::path(unpacked_->folder()) / "modelDescription.xml").string());
    Signals outputs(md, "output"), inputs(md, "input");
    loaded_.reset(new Loaded{md, Library(unpacked_->folder(), md), std::move(outputs), std::move(inputs)});
  } catch (const FmuError& e) {
    load_error_ = std::string("cannot run the FMU ") + fmu + ": " + e.what();
  }
}

const FmuSimulator::Loaded& FmuSimulator::loaded() const {
  if (!loaded_) throw FmuError(*load_error_);
  return *loaded_;
}

void FmuSimulator::make(const Json& env_init) {
  const Loaded& fmu = loaded();
  as_bad_request([&] {
    SettingValues parameters = setting_values(parameter_settings(fmu.md, env_init));
    const double step = step_size(fmu.md, env_init);
    const auto logging = env_init.find("logging");
    if (logging != env_init.end() && !logging->is_boolean())
      throw BadValue("env_init's \"logging\" must be true or false, not " + logging->dump());
    parameters_ = std::move(parameters);
    step_ = step;
    logging_ = logging != env_init.end() && logging->get<bool>();
  });
  instance_.reset();
}

std::optional<Json> FmuSimulator::mappings() const {
  const Loaded& fmu = loaded();
  return Json{{"sensor_space", {{"mappings", fmu.outputs.mappings()}}},
              {"action_space", {{"mappings", fmu.inputs.mappings()}}}};
}

Json FmuSimulator::sensor_space() const {
  return loaded().outputs.space();
}

Json FmuSimulator::action_space() const {
  return loaded().inputs.space();
}

Json FmuSimulator::outputs() {
  const Signals& out = loaded_->outputs;
  instance_->get_real(out.reals, scratch_.reals);
  instance_->get_integer(out.integers, scratch_.integers);
  instance_->get_boolean(out.booleans, scratch_.booleans);
  return out.to_json(scratch_);
}

Json FmuSimulator::reset() {
  const Loaded& fmu = loaded();
  instance_.reset();
  instance_ = std::make_unique<Instance>(fmu.library, fmu.md, resources_uri(unpacked_->folder()), logging_);
  const DefaultExperiment& e = fmu.md.experiment;
  time_ = e.start_time.value_or(0.0);
  instance_->setup_experiment(e.tolerance, time_, e.stop_time);
  instance_->set_real(parameters_.real_refs, parameters_.values.reals);
  instance_->set_integer(parameters_.integer_refs, parameters_.values.integers);
  instance_->set_boolean(parameters_.boolean_refs, parameters_.values.booleans);
  instance_->enter_initialization_mode();
  instance_->exit_initialization_mode();
  return Json::array({outputs(), {{"time", time_}}});
}

Json FmuSimulator::step(const Json& action) {
  const Loaded& fmu = loaded();
  if (!instance_) throw sims::BadRequest("Step before Reset: the FMU has no instance yet");
  const Values in = as_bad_request([&] { return fmu.inputs.from_json(action); });
  instance_->set_real(fmu.inputs.reals, in.reals);
  instance_->set_integer(fmu.inputs.integers, in.integers);
  instance_->set_boolean(fmu.inputs.booleans, in.booleans);
  instance_->do_step(time_, step_);
  time_ += step_;
  const bool truncated = fmu.md.experiment.stop_time && reached(time_, *fmu.md.experiment.stop_time);
  return Json::array({outputs(), 0.0, false, truncated, {{"time", time_}}});
}

}  // namespace nalto::fmu
