#include "fmi_binding.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "archive.hpp"

namespace nalto::fmu {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t KEPT_MESSAGES = 10;
constexpr std::size_t MAX_MESSAGE_BYTES = 2000;

const char* status_name(fmi2Status status) {
  switch (status) {
    case fmi2OK:
      return "fmi2OK";
    case fmi2Warning:
      return "fmi2Warning";
    case fmi2Discard:
      return "fmi2Discard";
    case fmi2Error:
      return "fmi2Error";
    case fmi2Fatal:
      return "fmi2Fatal";
    case fmi2Pending:
      return "fmi2Pending";
  }
  return "an unknown status";
}

// The FMU's messages go to stderr at once, so that the tool's evidence of a failed sim shows them.
extern "C" void log_message(fmi2ComponentEnvironment environment, fmi2String instance, fmi2Status status,
                            fmi2String category, fmi2String message, ...) {
  char text[MAX_MESSAGE_BYTES];
  va_list args;
  va_start(args, message);
  std::vsnprintf(text, sizeof text, message != nullptr ? message : "", args);
  va_end(args);
  const std::string line = std::string(status_name(status)) + " [" + (category ? category : "") + "] " + text;
  std::cerr << "FMU " << (instance ? instance : "") << ": " << line << std::endl;
  if (environment == nullptr) return;
  auto& recent = static_cast<Log*>(environment)->recent;
  recent.push_back(line);
  if (recent.size() > KEPT_MESSAGES) recent.pop_front();
}

std::string plain(double x) {
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, x);
  return std::string(text, written.ptr);
}

void* allocate(std::size_t count, std::size_t size) {
  return std::calloc(count, size);
}

// The names of the folders (or else the files) in `folder`, sorted and joined.
std::string names_in(const fs::path& folder, bool folders) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored))
    if (folders ? entry.is_directory(ignored) : entry.is_regular_file(ignored))
      names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

template <class Function>
void bind(void* handle, const char* name, Function*& out) {
  out = reinterpret_cast<Function*>(::dlsym(handle, name));
  if (out == nullptr) throw FmuError(std::string("the FMU's binary lacks the FMI function ") + name);
}

}  // namespace

Library::Library(const std::string& folder, const ModelDescription& md) {
  if (!md.fmi_version.starts_with("2."))
    throw FmuError("the FMU is of FMI " + md.fmi_version + "; this host runs FMI 2.0 Co-Simulation FMUs");
  if (!md.co_simulation)
    throw FmuError(
        "the FMU offers Model Exchange only; nalto needs a Co-Simulation FMU (export it "
        "with Co-Simulation, which brings its own solver)");
  const std::string& id = *md.co_simulation;
  if (id.empty() || id.find('/') != std::string::npos || id.find("..") != std::string::npos)
    throw FmuError("the FMU's modelIdentifier '" + id + "' cannot name a binary");
  const fs::path binary = fs::path(folder) / "binaries" / PLATFORM / (id + ".so");
  std::error_code ignored;
  if (!fs::is_regular_file(binary, ignored)) {
    const std::string platforms = names_in(fs::path(folder) / "binaries", true);
    const std::string files = names_in(binary.parent_path(), false);
    throw FmuError("the FMU has no binary for " + std::string(PLATFORM) + " (binaries/" + PLATFORM + "/" +
                   id + ".so); " +
                   (!files.empty() ? "binaries/" + std::string(PLATFORM) + " holds " + files +
                                         ", but its modelIdentifier '" + id + "' names " + id + ".so"
                    : platforms.empty() ? std::string("it holds no binaries at all")
                                        : "it has binaries for " + platforms));
  }
  handle_ = ::dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr)
    throw FmuError("cannot load the FMU's binary binaries/" + std::string(PLATFORM) + "/" + id +
                   ".so: " + ::dlerror());
  try {
    bind(handle_, "fmi2Instantiate", instantiate);
    bind(handle_, "fmi2FreeInstance", free_instance);
    bind(handle_, "fmi2SetupExperiment", setup_experiment);
    bind(handle_, "fmi2EnterInitializationMode", enter_initialization_mode);
    bind(handle_, "fmi2ExitInitializationMode", exit_initialization_mode);
    bind(handle_, "fmi2Terminate", terminate);
    bind(handle_, "fmi2GetReal", get_real);
    bind(handle_, "fmi2GetInteger", get_integer);
    bind(handle_, "fmi2GetBoolean", get_boolean);
    bind(handle_, "fmi2SetReal", set_real);
    bind(handle_, "fmi2SetInteger", set_integer);
    bind(handle_, "fmi2SetBoolean", set_boolean);
    bind(handle_, "fmi2DoStep", do_step);
  } catch (...) {
    ::dlclose(handle_);
    throw;
  }
}

Library::~Library() {
  ::dlclose(handle_);
}

std::string resources_uri(const std::string& folder) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (const unsigned char c : fs::absolute(fs::path(folder) / "resources").string()) {
    if (std::isalnum(c) || std::string_view("/-._~").find(static_cast<char>(c)) != std::string_view::npos) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += HEX[c >> 4];
      uri += HEX[c & 15];
    }
  }
  return uri + "/";
}

Instance::Instance(const Library& library, const ModelDescription& md, const std::string& resources,
                   bool logging_on)
    : library_(library),
      callbacks_(new fmi2CallbackFunctions{log_message, allocate, std::free, nullptr, log_.get()}) {
  component_ = library_.instantiate(md.model_name.empty() ? "fmu" : md.model_name.c_str(), fmi2CoSimulation,
                                    md.guid.c_str(), resources.c_str(), callbacks_.get(), fmi2False,
                                    logging_on ? fmi2True : fmi2False);
  if (component_ == nullptr) {
    std::string messages;
    for (const std::string& m : log_->recent) messages += "\n  " + m;
    throw FmuError("the FMU's fmi2Instantiate failed (it answered no instance)" +
                   (messages.empty() ? std::string("; it logged nothing") : "; its messages:" + messages));
  }
}

Instance::~Instance() {
  if (state_ == State::fatal) return;
  if (state_ == State::stepping || state_ == State::initializing) library_.terminate(component_);
  library_.free_instance(component_);
}

void Instance::check(const char* call, fmi2Status status, const std::string& detail) {
  if (status == fmi2OK || status == fmi2Warning) return;
  state_ = status == fmi2Fatal ? State::fatal : State::failed;
  std::string text = std::string("the FMU's ") + call + detail + " answered " + status_name(status);
  if (log_->recent.empty()) {
    text += "; it logged nothing (set \"logging\": true in env_init for its debug messages)";
  } else {
    text += "; its messages:";
    for (const std::string& m : log_->recent) text += "\n  " + m;
  }
  throw FmuError(text);
}

void Instance::ready(const char* call) {
  clear_log();
  if (state_ == State::failed || state_ == State::fatal)
    throw FmuError(std::string("cannot call the FMU's ") + call +
                   ": it failed in an earlier call; a Reset makes a fresh instance");
}

void Instance::setup_experiment(std::optional<double> tolerance, double start, std::optional<double> stop) {
  ready("fmi2SetupExperiment");
  check("fmi2SetupExperiment",
        library_.setup_experiment(component_, tolerance ? fmi2True : fmi2False, tolerance.value_or(0.0),
                                  start, stop ? fmi2True : fmi2False, stop.value_or(0.0)));
}

void Instance::enter_initialization_mode() {
  ready("fmi2EnterInitializationMode");
  state_ = State::initializing;
  check("fmi2EnterInitializationMode", library_.enter_initialization_mode(component_));
}

void Instance::exit_initialization_mode() {
  ready("fmi2ExitInitializationMode");
  check("fmi2ExitInitializationMode", library_.exit_initialization_mode(component_));
  state_ = State::stepping;
}

void Instance::do_step(double time, double step) {
  ready("fmi2DoStep");
  check("fmi2DoStep", library_.do_step(component_, time, step, fmi2True),
        " (from t = " + plain(time) + " by " + plain(step) + " s)");
}

void Instance::set_real(const std::vector<fmi2ValueReference>& vrs, const std::vector<double>& values) {
  if (vrs.empty()) return;
  ready("fmi2SetReal");
  check("fmi2SetReal", library_.set_real(component_, vrs.data(), vrs.size(), values.data()));
}

void Instance::set_integer(const std::vector<fmi2ValueReference>& vrs, const std::vector<int>& values) {
  if (vrs.empty()) return;
  ready("fmi2SetInteger");
  check("fmi2SetInteger", library_.set_integer(component_, vrs.data(), vrs.size(), values.data()));
}

void Instance::set_boolean(const std::vector<fmi2ValueReference>& vrs, const std::vector<int>& values) {
  if (vrs.empty()) return;
  ready("fmi2SetBoolean");
  check("fmi2SetBoolean", library_.set_boolean(component_, vrs.data(), vrs.size(), values.data()));
}

void Instance::get_real(const std::vector<fmi2ValueReference>& vrs, std::vector<double>& values) {
  values.resize(vrs.size());
  if (vrs.empty()) return;
  ready("fmi2GetReal");
  check("fmi2GetReal", library_.get_real(component_, vrs.data(), vrs.size(), values.data()));
}

void Instance::get_integer(const std::vector<fmi2ValueReference>& vrs, std::vector<int>& values) {
  values.resize(vrs.size());
  if (vrs.empty()) return;
  ready("fmi2GetInteger");
  check("fmi2GetInteger", library_.get_integer(component_, vrs.data(), vrs.size(), values.data()));
}

void Instance::get_boolean(const std::vector<fmi2ValueReference>& vrs, std::vector<int>& values) {
  values.resize(vrs.size());
  if (vrs.empty()) return;
  ready("fmi2GetBoolean");
  check("fmi2GetBoolean", library_.get_boolean(component_, vrs.data(), vrs.size(), values.data()));
}

}  // namespace nalto::fmu
