#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <variant>

#include "nalto/nalto.hpp"
#include "nalto/platform/local_platform.hpp"

namespace nalto::cli {

// One publish as the command line asked for it: the arguments of publish_report and where the local
// platform keeps its state.
struct Invocation {
  std::string org_id, sim_id, sim_name, implementation_id, path, bundle_sha256, dataset_ref;
  PublishOptions options;
  std::filesystem::path platform_state;
  platform::LocalPlatformOptions platform;
};

// The invocation, or the exit status when the program ends here: 0 after --help or --version
// (written to the console's stdout), 2 for bad usage and 1 for a bundle that cannot be read (both
// explained on its stderr).
std::variant<Invocation, int> parse_command_line(int argc, const char* const* argv);

// What the user reads about a failure: a PublishReportError's message, else "Error: " + the type
// name and the message.
std::string failure_text(const std::exception_ptr& failure);

// How a run ended: its exit status, or the signal that interrupted it, by which the process must end.
struct Outcome {
  int exit_status = 0;
  int signal = 0;
};

// Publishes on one event loop on the calling thread, with `runtime` installed and the local platform.
// The first SIGINT or SIGTERM cancels the publish, which closes the claim and stops the sim; from then
// on both signals have their default action again.
Outcome run(const Invocation& invocation, outside::SimRuntime& runtime);

}  // namespace nalto::cli
