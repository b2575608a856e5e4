#pragma once

#include <filesystem>
#include <string>

#include "nalto/support/json.hpp"

// Option values that several subcommands take, read and checked alike.
namespace nalto::cli {

// --env-init: a JSON object, or "@FILE" naming a file that holds one; CLI::ValidationError otherwise.
Json env_init_of(const std::string& value);

// A CLI11 check: a positive, finite number of seconds.
std::string seconds_check(const std::string& value);

// --platform-state, or the local platform's default state file when it is empty.
std::filesystem::path state_path(const std::string& option);

}  // namespace nalto::cli
