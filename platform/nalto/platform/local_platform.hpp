#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "nalto/outside/platform.hpp"
#include "nalto/platform/state_file.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"

namespace nalto::platform {

// How the platform's build and report writing behave, to show the outcomes other than a quick success,
// and how long a change waits for another process's change of the same state file.
struct LocalPlatformOptions {
  int build_polls = 0;    // status polls of a job that still find the build running
  int writing_polls = 0;  // further polls that find the reports still being written
  bool build_fails = false;
  std::chrono::milliseconds lock_wait{10000};
};

// $XDG_STATE_HOME/nalto/platform-state.json, else ~/.local/state/nalto/platform-state.json.
std::filesystem::path default_state_path();

// An embedded platform: claims, submissions, use-case links, build states and reports, kept in a JSON
// state file that is rewritten atomically after every change:
//   {"claims": {jobId: {"org", "sim", "implementation", "dataset", "state": "open"|"closed"|"submitted",
//                       "created": UTC time, "failure"?: reason, "submission"?: body}},
//    "links": [{"org", "project", "sim"}]}
// Several processes may share a state file: each change locks it, reads it afresh, and writes the
// changed state, so no process loses another's changes. The work is quick file I/O, done inline on the
// caller's thread.
class LocalPlatform : public outside::PlatformApi, outside::ProjectSimsApi, outside::SimsApi {
 public:
  // Loads the state file when it exists; its folder is made when first written.
  explicit LocalPlatform(std::filesystem::path state_file, LocalPlatformOptions options = {});

  outside::ProjectSimsApi& project_sims() override { return *this; }
  outside::SimsApi& sims() override { return *this; }

  asio::awaitable<Json> link(std::string org_id, std::string project_id, std::string sim_id) override;
  asio::awaitable<Json> publish_report_start(std::string org_id, std::string sim_id,
                                             std::string implementation_id, std::string dataset_id) override;
  // The analysis's submission, or {"failure": reason} to close the claim.
  asio::awaitable<Json> publish_report_submit(std::string org_id, std::string sim_id,
                                              std::string implementation_id, std::string job_id,
                                              Json body) override;
  asio::awaitable<Json> publish_report_status(std::string org_id, std::string sim_id,
                                              std::string implementation_id, std::string job_id) override;

  // The state as this platform last read it: at its start and at each change it made.
  const Json& state() const noexcept { return state_; }
  // The state the file holds now, which other processes may have changed since (StateFileError when
  // it cannot be read).
  const Json& reload();
  const std::filesystem::path& state_file() const noexcept { return state_file_; }

 private:
  Json runs_of(const Json& claim, bool written) const;
  // Under the state file's lock, applies `edit` to the state the file holds now and writes the outcome
  // when `edit` answers that it changed something; then that is the state. A failed edit or write
  // changes nothing.
  void change(const std::function<bool(Json&)>& edit);

  std::filesystem::path state_file_;
  LocalPlatformOptions options_;
  Json state_;
  std::map<std::string, int> polls_;  // status polls per job, since this platform was made
};

}  // namespace nalto::platform
