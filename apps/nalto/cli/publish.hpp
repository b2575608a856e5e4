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
};

// Adds `publish` to the `sim` command; a parse that selects it hands the invocation to `chosen`. The
// bundle is hashed then: a bundle that cannot be read fails the parse with an error that is no
// CLI::ParseError.
CLI::App* add_publish(CLI::App& sim, std::function<void(Publish)> chosen);

// Publishes on one event loop on the calling thread, with `runtime` installed and the local platform.
// The first SIGINT or SIGTERM cancels the publish, which closes the claim and stops the sim.
Outcome run_publish(const Publish& invocation, outside::SimRuntime& runtime);

}  // namespace nalto::cli
