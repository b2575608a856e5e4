#include "nalto/outside/sim_runtime.hpp"

#include <stdexcept>

namespace nalto::outside {

namespace {
SimRuntime* installed = nullptr;
}

SimRuntime& sim_runtime() {
  if (!installed) throw std::logic_error("no sim runtime is installed");
  return *installed;
}

ScopedSimRuntime::ScopedSimRuntime(SimRuntime& runtime) : previous_(installed) {
  installed = &runtime;
}
ScopedSimRuntime::~ScopedSimRuntime() {
  installed = previous_;
}

}  // namespace nalto::outside
