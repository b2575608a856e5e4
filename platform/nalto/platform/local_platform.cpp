#include "nalto/platform/local_platform.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <random>
#include <utility>

#include "nalto/platform/state_file.hpp"
#include "nalto/support/hex.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::platform {

namespace {

constexpr int MAX_LAG_STEPS = 3;
constexpr std::size_t TEXT_LIMIT = 500;
constexpr std::size_t WARNINGS_LIMIT = 50;
constexpr const char* SCHEMA = "simulator_validation/v2";

using outside::APIStatusError;

// The time of day in UTC, to the second, as ISO 8601 writes it: "2026-12-09T04:30:12Z".
std::string utc_now_text() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string fresh_uuid() {
  std::random_device random;
  std::array<unsigned char, 16> bytes;
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    const unsigned int word = random();
    for (std::size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<unsigned char>(word >> (8 * k));
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string text;
  char hex[3];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
    text += hex;
  }
  return text;
}

std::size_t code_points(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); pos += utf8::decode(text, pos).length) ++count;
  return count;
}

bool is_text(const Json* value) {
  return value && value->is_string();
}

bool is_hex(const Json* value, std::size_t digits) {
  return is_text(value) && nalto::is_hex(value->get_ref<const std::string&>(), digits);
}

void require_ids(std::initializer_list<std::pair<const char*, const std::string*>> ids) {
  for (const auto& [name, id] : ids)
    if (id->empty()) throw APIStatusError(422, std::string("The ") + name + " id must not be empty");
}

// The detail of a 422 for a malformed body, or empty when the body is well formed.
std::string failure_body_problem(const Json& body) {
  const Json& reason = subscript(body, "failure");
  if (body.size() != 1) return "A closing body holds 'failure' alone";
  if (!reason.is_string() || utf8::trim(reason.get_ref<const std::string&>()).empty())
    return "'failure' must be a non-blank text";
  if (code_points(reason.get_ref<const std::string&>()) > TEXT_LIMIT)
    return "'failure' must be at most 500 characters";
  return {};
}

std::string submission_problem(const Json& body) {
  for (const auto& [key, value] : body.items())
    if (key != "simulatorValidation" && key != "dataset" && key != "warnings")
      return "Unexpected member '" + key + "' in the submission";

  const Json* artifact = lookup(body, "simulatorValidation");
  if (!artifact || !artifact->is_object()) return "'simulatorValidation' must be an object";
  const Json* schema = lookup(*artifact, "schema");
  if (!is_text(schema) || *schema != SCHEMA)
    return std::string("'simulatorValidation.schema' must be ") + SCHEMA;
  const Json* evaluation = lookup(*artifact, "evaluation");
  if (!evaluation || !evaluation->is_object()) return "'simulatorValidation.evaluation' must be an object";
  const Json* score = lookup(*evaluation, "score_percent");
  if (score && !score->is_number()) return "'simulatorValidation.evaluation.score_percent' must be a number";

  const Json* dataset = lookup(body, "dataset");
  if (!dataset || !dataset->is_object()) return "'dataset' must be an object";
  if (!is_hex(lookup(*dataset, "contentMd5"), 32)) return "'dataset.contentMd5' must be an MD5 digest in hex";
  if (!is_hex(lookup(*dataset, "contentSha256"), 64))
    return "'dataset.contentSha256' must be a SHA-256 digest in hex";

  const Json* warnings = lookup(body, "warnings");
  if (!warnings || !warnings->is_array()) return "'warnings' must be a list";
  if (warnings->size() > WARNINGS_LIMIT) return "'warnings' must hold at most 50 texts";
  for (const Json& warning : *warnings)
    if (!warning.is_string() || code_points(warning.get_ref<const std::string&>()) > TEXT_LIMIT)
      return "Each warning must be a text of at most 500 characters";
  return {};
}

std::string body_problem(const Json& body) {
  if (!body.is_object()) return "The body must be an object";
  return body.contains("failure") ? failure_body_problem(body) : submission_problem(body);
}

// The job's claim when it belongs to this sim build; else a 404 refusal.
const Json& claim_in(const Json& state, const std::string& org_id, const std::string& sim_id,
                     const std::string& implementation_id, const std::string& job_id) {
  const Json& claims = subscript(state, "claims");
  const auto found = claims.find(job_id);
  if (found == claims.end() || subscript(*found, "org") != org_id || subscript(*found, "sim") != sim_id ||
      subscript(*found, "implementation") != implementation_id)
    throw APIStatusError(404, "No publish-report job '" + job_id + "' for this sim build");
  return *found;
}

std::string home_folder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir)
    return entry->pw_dir;
  throw StateFileError("There is no home folder to keep the platform state in");
}

}  // namespace

std::filesystem::path default_state_path() {
  const char* state_home = std::getenv("XDG_STATE_HOME");
  // Relative values are to be ignored, as the base-directory convention says.
  const std::filesystem::path base = state_home && std::filesystem::path(state_home).is_absolute()
                                         ? std::filesystem::path(state_home)
                                         : std::filesystem::path(home_folder()) / ".local" / "state";
  return base / "nalto" / "platform-state.json";
}

LocalPlatform::LocalPlatform(std::filesystem::path state_file, LocalPlatformOptions options)
    : state_file_(std::move(state_file)), options_(options), state_(detail::load_state(state_file_)) {}

void LocalPlatform::change(const std::function<bool(Json&)>& edit) {
  const detail::StateLock lock(state_file_, options_.lock_wait);
  Json next = detail::load_state(state_file_);
  if (edit(next)) detail::write_atomically(state_file_, dump_json(next) + "\n");
  state_ = std::move(next);
}

const Json& LocalPlatform::reload() {
  state_ = detail::load_state(state_file_);
  return state_;
}

Json LocalPlatform::runs_of(const Json& claim, bool written) const {
  Json score;
  if (const Json* found =
          member_at(claim, {"submission", "simulatorValidation", "evaluation", "score_percent"}))
    score = *found;
  Json runs = Json::array();
  for (const Json& link : subscript(state_, "links")) {
    if (subscript(link, "org") != subscript(claim, "org") ||
        subscript(link, "sim") != subscript(claim, "sim"))
      continue;
    const Json& project = subscript(link, "project");
    Json run{{"projectId", project}, {"projectName", project}};
    run["status"] = written ? "ready" : "writing";
    if (written && !score.is_null()) run["score"] = score;
    runs.push_back(std::move(run));
  }
  return runs;
}

asio::awaitable<Json> LocalPlatform::link(std::string org_id, std::string project_id, std::string sim_id) {
  require_ids({{"org", &org_id}, {"project", &project_id}, {"sim", &sim_id}});
  const Json link{{"org", org_id}, {"project", project_id}, {"sim", sim_id}};
  change([&link](Json& state) {
    Json& links = subscript(state, "links");
    if (std::find(links.begin(), links.end(), link) != links.end()) return false;
    links.push_back(link);
    return true;
  });
  co_return Json{{"projectId", project_id}, {"simId", sim_id}};
}

asio::awaitable<Json> LocalPlatform::publish_report_start(std::string org_id, std::string sim_id,
                                                          std::string implementation_id,
                                                          std::string dataset_id) {
  require_ids(
      {{"org", &org_id}, {"sim", &sim_id}, {"implementation", &implementation_id}, {"dataset", &dataset_id}});
  const std::string job_id = fresh_uuid();
  const Json claim{{"org", org_id},         {"sim", sim_id},   {"implementation", implementation_id},
                   {"dataset", dataset_id}, {"state", "open"}, {"created", utc_now_text()}};
  change([&](Json& state) {
    subscript(state, "claims")[job_id] = claim;
    return true;
  });
  co_return Json{{"jobId", job_id},
                 {"simulatorId", sim_id},
                 {"simulatorImplementationId", implementation_id},
                 {"validationRunId", fresh_uuid()},
                 {"maxLagSteps", MAX_LAG_STEPS}};
}

asio::awaitable<Json> LocalPlatform::publish_report_submit(std::string org_id, std::string sim_id,
                                                           std::string implementation_id, std::string job_id,
                                                           Json body) {
  Json answer;
  change([&](Json& state) {
    const Json& claim = claim_in(state, org_id, sim_id, implementation_id, job_id);
    const Json& claim_state = subscript(claim, "state");
    if (claim_state != "open")
      throw APIStatusError(
          409, "The publish-report job '" + job_id + "' is already " + claim_state.get<std::string>());
    if (const std::string problem = body_problem(body); !problem.empty()) throw APIStatusError(422, problem);

    Json& record = subscript(subscript(state, "claims"), job_id);
    if (body.contains("failure")) {
      record["state"] = "closed";
      record["failure"] = subscript(body, "failure");
    } else {
      record["state"] = "submitted";
      record["submission"] = std::move(body);
    }
    answer = Json{{"jobId", job_id}, {"state", record["state"]}};
    return true;
  });
  co_return answer;
}

asio::awaitable<Json> LocalPlatform::publish_report_status(std::string org_id, std::string sim_id,
                                                           std::string implementation_id,
                                                           std::string job_id) {
  const Json& claim = claim_in(state_, org_id, sim_id, implementation_id, job_id);
  const int polls = ++polls_[job_id];
  const bool mapped = !options_.build_fails && polls > options_.build_polls;
  const Json& state = subscript(claim, "state");

  Json status{{"jobId", job_id},
              {"buildStatus", options_.build_fails ? "ERROR"
                              : mapped             ? "DONE"
                                                   : "BUILDING"},
              {"buildMapped", mapped}};
  if (options_.build_fails || state == "closed") {
    status["eventStatus"] = "failed";
    status["runs"] = Json::array();
  } else if (!mapped || state == "open") {
    status["eventStatus"] = "pending";
    status["runs"] = Json::array();
  } else {
    const bool written = polls > std::int64_t{options_.build_polls} + options_.writing_polls;
    status["eventStatus"] = written ? "done" : "running";
    status["runs"] = runs_of(claim, written);
  }
  co_return status;
}

}  // namespace nalto::platform
