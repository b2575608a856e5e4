#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <functional>
#include <string>

#include "cli/outcome.hpp"

// What the local platform knows about sims: `nalto sim list` and `nalto sim link`.
namespace nalto::cli {

struct SimList {
  std::filesystem::path platform_state;
};

struct SimLink {
  std::string org_id, sim_id, project_id;
  std::filesystem::path platform_state;
};

CLI::App* add_sim_list(CLI::App& sim, std::function<void(SimList)> chosen);
CLI::App* add_sim_link(CLI::App& sim, std::function<void(SimLink)> chosen);

// Per sim its use cases and its claims, newest first; "no sims yet" without a state file.
Outcome run_sim_list(const SimList& list);

// Adds the sim to the use case, or says that it already was.
Outcome run_sim_link(const SimLink& link);

}  // namespace nalto::cli
