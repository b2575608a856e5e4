#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "nalto/nalto.hpp"

// The summary of one publish that `--json FILE` writes for CI, on every outcome.
namespace nalto::cli {

// What a publish made known through its hooks, and how it ended.
struct PublishRecord {
  Json claim;                              // the platform's claim; null before one was made
  Json result;                             // the node's analysis; null without one
  Json status;                             // the job's last status; null without one
  std::optional<ReplayEvidence> evidence;  // a failed replay's
  std::exception_ptr failure;              // the ordinary failure that ended it
  int signal = 0;                          // the signal that interrupted it
  int exit_status = 0;
};

// {"claim": {"job_id", "state"}, "score_percent", "episodes", "sensors": [...], "warnings", "reports":
//  [...], "outcome", "exit_status", "error", "evidence"}; `claim_state` is what the platform holds at
// the end, null without a claim.
Json publish_summary(const PublishRecord& record, const Json& claim_state);

// Writes the summary atomically (FileWriteError when it cannot).
void write_summary(const std::filesystem::path& file, const Json& summary);

}  // namespace nalto::cli
