#pragma once

#include <CLI/CLI.hpp>
#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cli/outcome.hpp"
#include "nalto/nalto.hpp"

namespace nalto::cli {

inline constexpr std::int64_t DEFAULT_VALIDATE_STEPS = 100;
// The first steps replayed after the run, to see whether the sim answers them alike.
inline constexpr std::int64_t REPLAYED_STEPS = 10;

// `nalto sim validate`: the sim, how long to run it and, optionally, a dataset to plan against.
struct Validate {
  std::string path;
  std::int64_t steps = DEFAULT_VALIDATE_STEPS;
  Json env_init = Json::object();
  std::optional<std::string> dataset_ref;
  double call_timeout_s = PublishOptions{}.call_timeout_s;
};

// Adds `validate` to the `sim` command; a parse that selects it hands the invocation to `chosen`.
CLI::App* add_validate(CLI::App& sim, std::function<void(Validate)> chosen);

// Runs the sim through its contract with the installed runtime, printing what it finds; answers the
// exit status: 1 when it found problems, else 0 (warnings alone do not fail). The sim is stopped on
// every path.
asio::awaitable<int> validate_sim(Validate invocation);

// Validates on one event loop on the calling thread, with `runtime` installed. The first SIGINT or
// SIGTERM stops the sim and ends the program by that signal.
Outcome run_validate(const Validate& invocation, outside::SimRuntime& runtime);

}  // namespace nalto::cli
