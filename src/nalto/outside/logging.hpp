#pragma once

#include <spdlog/logger.h>

#include <functional>
#include <memory>
#include <string>

namespace nalto::outside {

// The logger of one module, shared by every caller of the same name. Its level comes from NALTO_LOG
// (trace, debug, info, warn, error, critical, off); default warn, so debug records stay quiet.
std::shared_ptr<spdlog::logger> get_logger(const std::string& name);

// The one logger of the publish-report step, "nalto.publish_report".
std::shared_ptr<spdlog::logger> step_logger();

// Hears every status text the console shows and logs it at debug level, so that a run without a
// terminal can still be traced.
std::function<void(const std::string&)> status_trace();

}  // namespace nalto::outside
