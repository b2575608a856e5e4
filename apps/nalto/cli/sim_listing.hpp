#pragma once

#include "nalto/support/json.hpp"

// What `nalto sim list` shows of a local platform's state, apart from reading the state file.
namespace nalto::cli {

// Prints per sim of `state` (as the state file's checks let it through) its use cases and its claims,
// newest first; false when it holds no sim.
bool print_sim_listing(const Json& state);

}  // namespace nalto::cli
