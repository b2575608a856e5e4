#include "nalto/outside/logging.hpp"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <mutex>

namespace nalto::outside {

namespace {

spdlog::level::level_enum level_from_environment() {
  const char* value = std::getenv("NALTO_LOG");
  if (!value || !*value) return spdlog::level::warn;
  const auto level = spdlog::level::from_str(value);
  // from_str answers "off" for names it does not know; only "off" itself should silence the log.
  if (level == spdlog::level::off && std::string_view(value) != "off") return spdlog::level::warn;
  return level;
}

}  // namespace

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (auto existing = spdlog::get(name)) return existing;
  auto logger = std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::stderr_sink_mt>());
  logger->set_level(level_from_environment());
  logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %l %n: %v");
  spdlog::register_logger(logger);
  return logger;
}

std::shared_ptr<spdlog::logger> step_logger() {
  return get_logger("nalto.publish_report");
}

std::function<void(const std::string&)> status_trace() {
  return [logger = step_logger()](const std::string& text) { logger->debug("{}", text); };
}

}  // namespace nalto::outside
