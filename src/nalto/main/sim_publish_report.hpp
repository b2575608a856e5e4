#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "nalto/analysis/analysis.hpp"
#include "nalto/outside/platform.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"
#include "nalto/support/timing.hpp"

namespace nalto {

inline constexpr int DEFAULT_MAX_EPISODES = 20;

// What a publish lets its caller see as it goes, for evidence and summaries; each may be left empty.
struct PublishHooks {
  std::function<void(const Json& claim)> claimed;
  AnalysisHooks analysis;
  std::function<void(const Json& result)> analyzed;  // the node's analysis, as soon as it is known
  std::function<void(const Json& result)> scored;    // the same, once the score line is printed
  std::function<void(const Json& status)> reported;  // the job's last status, once it is rendered
};

struct PublishOptions {
  std::optional<std::string> project_id;
  int max_episodes = DEFAULT_MAX_EPISODES;
  std::optional<Json> env_init;
  double call_timeout_s = 300;
  std::size_t jobs = 1;  // copies of the sim replaying side by side
  PublishHooks hooks;
};

// Makes the simulation report of the build just published with a dataset: claims the analysis,
// has the sim rolled out over the dataset on the compute node, submits the analysis and prints the
// platform's reports. A claim that cannot be completed is closed with a reason.
asio::awaitable<void> publish_report(outside::PlatformApi& api, std::string org_id, std::string sim_id,
                                     std::string sim_name, std::string implementation_id, std::string path,
                                     std::string bundle_sha256, std::string dataset_ref,
                                     PublishOptions options = {});

// Records on the platform why there is no analysis. Best effort: an ordinary failure leaves one
// debug record and is swallowed; a cancellation propagates.
asio::awaitable<void> _close_claim(outside::PlatformApi& api, std::string org_id, std::string sim_id,
                                   std::string implementation_id, std::string job_id, std::string reason);

// Polls the job until its reports are written, the build failed or is not mapped yet, or
// REPORT_TIMEOUT_S passed; returns the last status.
asio::awaitable<Json> wait_for_reports(outside::PlatformApi& api, std::string org_id, std::string sim_id,
                                       std::string implementation_id, std::string job_id);

// Prints the outcome of a job status: the build's failure or progress, or the table of reports.
void render_reports(const Json& status, std::string_view sim_name);

// Whether the job status holds the written reports of at least one use case: false when the build
// failed or is not done, when no use case uses the sim, or when the writing had not ended.
bool reports_written(const Json& status);

// The SHA-256 of a regular file's bytes as 64 lowercase hex digits, read in 1 MiB chunks. A file that
// cannot be read, or is a FIFO, a device or a folder (which would block or never end) ->
// FileReadError.
std::string sha256_file(const std::string& path);

// What the claim records when the analysis failed: the trimmed message's first line, at most 500
// code points, or the failure's type name when the message is blank.
std::string failure_reason(const std::exception_ptr& failure);

}  // namespace nalto
