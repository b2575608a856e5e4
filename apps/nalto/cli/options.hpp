#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <filesystem>
#include <string>

#include "nalto/support/json.hpp"

// Option values that several subcommands take, read and checked alike.
namespace nalto::cli {

// The largest --env-init file read: an env_init is a small piece of configuration.
inline constexpr std::size_t ENV_INIT_MAX_BYTES = 16 * 1024 * 1024;

// --env-init: a JSON object, or "@FILE" naming a regular file of at most `max_file_bytes` that holds
// one; CLI::ValidationError otherwise.
Json env_init_of(const std::string& value, std::size_t max_file_bytes = ENV_INIT_MAX_BYTES);

// A CLI11 check: a positive, finite number of seconds.
std::string seconds_check(const std::string& value);

// --path and --dataset, both required, as every subcommand that runs a sim against a dataset takes them.
void add_sim_and_dataset(CLI::App& app, std::string& path, std::string& dataset_ref);

// --jobs: the copies of the sim asked for, 0 meaning one per core of this machine.
std::size_t jobs_of(int given);

// --platform-state, or the local platform's default state file when it is empty.
std::filesystem::path state_path(const std::string& option);

}  // namespace nalto::cli
