#pragma once

#include <asio/awaitable.hpp>
#include <filesystem>
#include <map>
#include <string>

#include "nalto/outside/platform.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"

namespace nalto::platform {

// The state file cannot be read, is not the platform's state, or cannot be written.
class StateFileError : public Error {
 public:
  using Error::Error;
  std::string_view type_name() const noexcept override { return "StateFileError"; }
};

// How the platform's build and report writing behave, to show the outcomes other than a quick success.
struct LocalPlatformOptions {
  int build_polls = 0;    // status polls of a job that still find the build running
  int writing_polls = 0;  // further polls that find the reports still being written
  bool build_fails = false;
};

// $XDG_STATE_HOME/nalto/platform-state.json, else ~/.local/state/nalto/platform-state.json.
std::filesystem::path default_state_path();

// An embedded platform: claims, submissions, use-case links, build states and reports, kept in a JSON
// state file that is rewritten atomically after every change:
//   {"claims": {jobId: {"org", "sim", "implementation", "dataset", "state": "open"|"closed"|"submitted",
//                       "created": UTC time, "failure"?: reason, "submission"?: body}},
//    "links": [{"org", "project", "sim"}]}
// One process uses a state file at a time. The work is quick file I/O, done inline on the caller's
// thread.
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

  const Json& state() const noexcept { return state_; }
  const std::filesystem::path& state_file() const noexcept { return state_file_; }

 private:
  // The job's claim when it belongs to this sim build; else a 404 refusal.
  const Json& claim_of(const std::string& org_id, const std::string& sim_id,
                       const std::string& implementation_id, const std::string& job_id) const;
  Json runs_of(const Json& claim, bool written) const;
  // Writes `next` to the state file, then makes it the state: a failed write changes nothing.
  void commit(Json next);

  std::filesystem::path state_file_;
  LocalPlatformOptions options_;
  Json state_;
  std::map<std::string, int> polls_;  // status polls per job, since this platform was made
};

}  // namespace nalto::platform
