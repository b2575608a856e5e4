#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <functional>
#include <string>

#include "cli/outcome.hpp"
#include "nalto/main/calibrate_sim.hpp"
#include "nalto/nalto.hpp"

namespace nalto::cli {

// `nalto sim calibrate`: the sim, the dataset, the parameters to fit and how.
struct Calibrate {
  std::string path, dataset_ref;
  CalibrateOptions options;
  bool verbose = false;       // one line per evaluation
  std::filesystem::path out;  // where the calibrated env_init goes; empty: DEFAULT_OUT or a free name
  std::filesystem::path json_summary;  // where to write the summary; empty: nowhere
};

// Where the calibrated env_init goes when --out is not given; an existing file of that name is kept,
// and the next free "calibrated-env-init-2.json" ... is taken.
inline const std::filesystem::path DEFAULT_OUT = "calibrated-env-init.json";

// Adds `calibrate` to the `sim` command; a parse that selects it hands the invocation to `chosen`.
CLI::App* add_calibrate(CLI::App& sim, std::function<void(Calibrate)> chosen);

// Calibrates on one event loop on the calling thread, with `runtime` installed: 0 calibrated, 1 failed.
// The first SIGINT or SIGTERM stops the sims, keeps the best found so far and ends the program by that
// signal; a second kills them.
Outcome run_calibrate(const Calibrate& invocation, outside::SimRuntime& runtime);

}  // namespace nalto::cli
