#pragma once

#include <variant>

#include "cli/calibrate.hpp"
#include "cli/data.hpp"
#include "cli/publish.hpp"
#include "cli/score.hpp"
#include "cli/sims.hpp"
#include "cli/validate.hpp"

namespace nalto::cli {

// What the command line asked for: one subcommand with its options.
using Command = std::variant<Publish, Score, Calibrate, Validate, SimList, SimLink, DataList, DataStats>;

// The command, or the exit status when the program ends here: 0 after --help or --version (written to
// the console's stdout), 2 for bad usage and 1 for an input that cannot be read (both explained on its
// stderr).
std::variant<Command, int> parse_command_line(int argc, const char* const* argv);

// Runs the command with `runtime` as the sim runtime.
Outcome run(const Command& command, outside::SimRuntime& runtime);

}  // namespace nalto::cli
