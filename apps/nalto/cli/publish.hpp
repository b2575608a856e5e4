#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <functional>
#include <string>

#include "cli/outcome.hpp"
#include "nalto/nalto.hpp"
#include "nalto/platform/local_platform.hpp"

namespace nalto::cli {

// `nalto sim publish`: the arguments of publish_report and where the local platform keeps its state.
struct Publish {
  std::string org_id, sim_id, sim_name, implementation_id, path, bundle_sha256, dataset_ref;
  PublishOptions options;
  std::filesystem::path platform_state;
  platform::LocalPlatformOptions platform;
  bool verbose = false;                // the plan before the replay, the sensors after the score
  std::filesystem::path json_summary;  // where to write the summary for CI; empty: nowhere
};

// The exit status of a publish that submitted its analysis, but whose report was not written (the
// build failed or is not done, no use case uses the sim, or the writing outlasted the wait).
inline constexpr int NO_REPORT_STATUS = 3;

// Adds `publish` to the `sim` command; a parse that selects it hands the invocation to `chosen`. The
// bundle is hashed then: a bundle that cannot be read fails the parse with an error that is no
// CLI::ParseError.
CLI::App* add_publish(CLI::App& sim, std::function<void(Publish)> chosen);

// Publishes on one event loop on the calling thread, with `runtime` installed and the local platform.
// The first SIGINT or SIGTERM cancels the publish, which closes the claim and stops the sim. After a
// failed replay, the step's message is followed by where it failed and the sim's last output lines.
Outcome run_publish(const Publish& invocation, outside::SimRuntime& runtime);

}  // namespace nalto::cli
