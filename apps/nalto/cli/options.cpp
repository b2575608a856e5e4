#include "cli/options.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <thread>

#include "nalto/platform/local_platform.hpp"
#include "nalto/support/files.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

std::string read_text(const std::string& file, const std::string& option, std::size_t max_bytes) {
  try {
    return read_regular_file(file, max_bytes);
  } catch (const FileReadError& e) {
    throw CLI::ValidationError(option, "cannot read " + utf8::echo(file) + ": " + e.reason());
  }
}

}  // namespace

Json env_init_of(const std::string& value, std::size_t max_file_bytes) {
  const std::string text =
      value.starts_with('@') ? read_text(value.substr(1), "--env-init", max_file_bytes) : value;
  Json parsed;
  try {
    parsed = parse_json(text);
  } catch (const JSONDecodeError&) {
    throw CLI::ValidationError("--env-init", "not valid JSON");
  }
  if (!parsed.is_object()) throw CLI::ValidationError("--env-init", "must be a JSON object");
  return parsed;
}

std::string seconds_check(const std::string& value) {
  double seconds = 0;
  try {
    seconds = std::stod(value);
  } catch (const std::exception&) {
    return "must be a number of seconds";
  }
  return std::isfinite(seconds) && seconds > 0 ? "" : "must be a positive number of seconds";
}

void add_sim_and_dataset(CLI::App& app, std::string& path, std::string& dataset_ref) {
  app.add_option("--path", path, "The sim: an executable, or a folder holding sim.json")
      ->type_name("PATH")
      ->required()
      ->check(CLI::ExistingPath.description(""));
  app.add_option("--dataset", dataset_ref, "The dataset, as the compute node names it")
      ->type_name("REF")
      ->required();
}

std::size_t jobs_of(int given) {
  return given > 0 ? static_cast<std::size_t>(given) : std::max(1u, std::thread::hardware_concurrency());
}

std::filesystem::path state_path(const std::string& option) {
  return option.empty() ? platform::default_state_path() : std::filesystem::path(option);
}

}  // namespace nalto::cli
