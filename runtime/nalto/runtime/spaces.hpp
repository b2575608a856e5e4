#pragma once

#include <memory>

#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/json.hpp"

namespace nalto::runtime {

// One variable mapping per leaf of `space`, in order: {"name": slot} plus "name_mapped" where the
// space names the leaf. A malformed space fails with ValueError or TypeError.
Json convert_space_to_json(const Json& space);

// A space that draws random values of the right types; checked here, so a malformed space (or an
// int64 box whose rounded bounds are empty) fails at once.
std::unique_ptr<outside::ComputeSpace> to_compute_space(const Json& info);

// A copy of `value`: our sims already speak JSON. NaN and infinities cannot travel as JSON, so they
// become null, at any depth.
Json as_compute_sees(const Json& value);

}  // namespace nalto::runtime
