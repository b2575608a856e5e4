#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <functional>
#include <string>

#include "cli/outcome.hpp"
#include "nalto/nalto.hpp"

namespace nalto::cli {

// `nalto sim score`: the sim, the dataset, and how to replay and score it.
struct Score {
  std::string path, dataset_ref;
  ScoreOptions options;
  bool verbose = false;                // the plan before the replay, the sensors and episodes after
  std::filesystem::path json_summary;  // where to write the summary; empty: nowhere
};

// Adds `score` to the `sim` command; a parse that selects it hands the invocation to `chosen`.
CLI::App* add_score(CLI::App& sim, std::function<void(Score)> chosen);

// Scores on one event loop on the calling thread, with `runtime` installed: 0 scored, 1 failed. The
// first SIGINT or SIGTERM stops the sims and ends the program by that signal; a second kills them.
Outcome run_score(const Score& invocation, outside::SimRuntime& runtime);

}  // namespace nalto::cli
