#include "cli/options.hpp"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "nalto/platform/local_platform.hpp"

namespace nalto::cli {

namespace {

std::string read_text(const std::string& file, const std::string& option) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad())
    throw CLI::ValidationError(option, "cannot read " + file + ": " + std::strerror(errno));
  return text.str();
}

}  // namespace

Json env_init_of(const std::string& value) {
  const std::string text = value.starts_with('@') ? read_text(value.substr(1), "--env-init") : value;
  const Json parsed = Json::parse(text, nullptr, false);
  if (parsed.is_discarded()) throw CLI::ValidationError("--env-init", "not valid JSON");
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

std::filesystem::path state_path(const std::string& option) {
  return option.empty() ? platform::default_state_path() : std::filesystem::path(option);
}

}  // namespace nalto::cli
