#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fmi2.h"
#include "model_description.hpp"

namespace nalto::fmu {

// The FMU's Co-Simulation binary for this platform, loaded with dlopen, and the FMI 2.0 functions the
// host calls. FmuError when the FMU offers no such binary or it cannot be loaded.
class Library {
 public:
  Library(const std::string& folder, const ModelDescription& md);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  fmi2InstantiateTYPE* instantiate = nullptr;
  fmi2FreeInstanceTYPE* free_instance = nullptr;
  fmi2SetupExperimentTYPE* setup_experiment = nullptr;
  fmi2EnterInitializationModeTYPE* enter_initialization_mode = nullptr;
  fmi2ExitInitializationModeTYPE* exit_initialization_mode = nullptr;
  fmi2TerminateTYPE* terminate = nullptr;
  fmi2GetRealTYPE* get_real = nullptr;
  fmi2GetIntegerTYPE* get_integer = nullptr;
  fmi2GetBooleanTYPE* get_boolean = nullptr;
  fmi2SetRealTYPE* set_real = nullptr;
  fmi2SetIntegerTYPE* set_integer = nullptr;
  fmi2SetBooleanTYPE* set_boolean = nullptr;
  fmi2DoStepTYPE* do_step = nullptr;

 private:
  void* handle_ = nullptr;
};

// The platform folder of binaries/ this host loads.
inline constexpr const char* PLATFORM = "linux64";

// What an FMU logged during the current call: the last few messages, for the error that call raises.
struct Log {
  std::deque<std::string> recent;
};

// One Co-Simulation instance. Each call checks its status: a warning goes on, anything worse raises
// FmuError naming the call, the status and the FMU's messages of that call. Destroying the instance
// terminates it (when initialised and sound) and frees it (unless it answered fmi2Fatal, after which
// the standard allows no call).
class Instance {
 public:
  Instance(const Library& library, const ModelDescription& md, const std::string& resources_uri,
           bool logging_on);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  void setup_experiment(std::optional<double> tolerance, double start, std::optional<double> stop);
  void enter_initialization_mode();
  void exit_initialization_mode();
  void do_step(double time, double step);

  void set_real(const std::vector<fmi2ValueReference>& vrs, const std::vector<double>& values);
  void set_integer(const std::vector<fmi2ValueReference>& vrs, const std::vector<int>& values);
  void set_boolean(const std::vector<fmi2ValueReference>& vrs, const std::vector<int>& values);
  void get_real(const std::vector<fmi2ValueReference>& vrs, std::vector<double>& values);
  void get_integer(const std::vector<fmi2ValueReference>& vrs, std::vector<int>& values);
  void get_boolean(const std::vector<fmi2ValueReference>& vrs, std::vector<int>& values);

 private:
  enum class State { instantiated, initializing, stepping, failed, fatal };

  void ready(const char* call);
  void check(const char* call, fmi2Status status, const std::string& detail = "");
  void clear_log() { log_->recent.clear(); }

  const Library& library_;
  std::unique_ptr<Log> log_ = std::make_unique<Log>();
  std::unique_ptr<fmi2CallbackFunctions> callbacks_;
  fmi2Component component_ = nullptr;
  State state_ = State::instantiated;
};

// The file:// URI of the unpacked FMU's resources folder, as fmi2Instantiate takes it.
std::string resources_uri(const std::string& folder);

}  // namespace nalto::fmu
