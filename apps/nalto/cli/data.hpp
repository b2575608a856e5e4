#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

#include "cli/outcome.hpp"

// `nalto data list` and `nalto data stats NAME`: what the compute node at NALTO_COMPUTE_URL holds.
namespace nalto::cli {

struct DataList {};

struct DataStats {
  std::string dataset_ref;  // an id or a name
};

// Add `list` and `stats` to the `data` command; a parse that selects one hands it to `chosen`.
CLI::App* add_data_list(CLI::App& data, std::function<void(DataList)> chosen);
CLI::App* add_data_stats(CLI::App& data, std::function<void(DataStats)> chosen);

// Ask the node on one event loop on the calling thread and print its answer as tables. A node that
// cannot be reached or refuses is explained on stderr (exit 1); SIGINT or SIGTERM aborts the request.
Outcome run_data_list(const DataList& invocation);
Outcome run_data_stats(const DataStats& invocation);

}  // namespace nalto::cli
