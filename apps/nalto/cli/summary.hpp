#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/outcome.hpp"
#include "nalto/check/columns.hpp"
#include "nalto/main/calibrate_sim.hpp"
#include "nalto/nalto.hpp"
#include "nalto/support/files.hpp"

// The summary of one publish that `--json FILE` writes for CI, on every outcome.
namespace nalto::cli {

// What a run made known through its hooks, and how it ended.
struct RunRecord {
  Json result;                             // the node's analysis; null without one
  std::optional<check::ColumnPlan> plan;   // how the sim's mappings met the dataset's columns
  std::optional<ReplayEvidence> evidence;  // a failed replay's
  std::exception_ptr failure;              // the ordinary failure that ended it
  int signal = 0;                          // the signal that interrupted it
  int exit_status = 0;
};

// A publish's, with what the platform answered.
struct PublishRecord : RunRecord {
  Json claim;   // the platform's claim; null before one was made
  Json status;  // the job's last status; null without one
};

// {"claim": {"job_id", "state"}, "score_percent", "episodes", "sensors": [...], "warnings", "reports":
//  [...], "outcome", "exit_status", "error", "evidence", "episode_scores", "hints", "unmatched"};
// `claim_state` is what the platform holds at the end, null without a claim.
Json publish_summary(const PublishRecord& record, const Json& claim_state);

// A score's: {"score_percent", "episodes", "sensors", "episode_scores", "unmatched", "warnings" (every
// warning line printed), "outcome" (scored, failed, interrupted), "exit_status", "error", "evidence"}.
Json score_summary(const RunRecord& record, const std::vector<std::string>& warnings);

// A summary's "evidence_page": the page's path; null without one.
Json evidence_page_json(const std::optional<EvidencePage>& page);

// A calibration's: {"outcome" (calibrated, failed, interrupted), "exit_status", "evaluations",
// "failed_evaluations", "parameters": [{"name", "low", "high", "start", "best", "at_bound", "unmoved"}],
// "fit" and "holdout": {"episodes", "before", "after"}, "sensors": [{"raw_name", "before", "after"}],
// "env_init" (what was written; null when nothing was), "error", "evidence", "unmatched"}.
Json calibrate_summary(const RunRecord& record, const Calibration& calibration, const Json& env_init);

// The --json value that writes the summary to standard output.
inline const std::filesystem::path SUMMARY_TO_STDOUT = "-";

// Why the summary cannot be written to `file`, as the user reads it: "Could not write the summary file
// '<file>': Is a FIFO, not a regular file".
std::string summary_failure(const std::filesystem::path& file, const FileWriteError& failure);

// Refuses a summary file that could not be written (one that is no regular file, or a dangling
// symlink) before any work is done: PublishReportError with summary_failure's text.
// Nothing to check for no file or stdout.
void check_summary_file(const std::filesystem::path& file);

// With the summary on stdout, stdout holds it alone: while it lives, the console's lines go to stderr.
class LinesOnStderr {
 public:
  explicit LinesOnStderr(bool wanted);

 private:
  std::optional<Console> console_;
  std::optional<ScopedConsole> installed_;
};

// `outcome` once the summary is written to `file` (as write_summary does); a summary that cannot be
// written is told on stderr and fails the run: CI reads the file, and without it the run cannot count
// as a success.
Outcome with_summary(const std::filesystem::path& file, const Json& summary, std::ostream& out,
                     Outcome outcome);

// Writes the summary atomically to `file`, or to `out` for SUMMARY_TO_STDOUT (FileWriteError when it
// cannot).
void write_summary(const std::filesystem::path& file, const Json& summary, std::ostream& out);

}  // namespace nalto::cli
