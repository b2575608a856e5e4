#include "cli/summary.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>

#include "cli/outcome.hpp"
#include "cli/publish_view.hpp"
#include "nalto/main/answer.hpp"
#include "nalto/support/files.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto::cli {

namespace {

// The member at `key`, or null where the value is no object or lacks it.
Json member(const Json& value, std::string_view key) {
  const Json* found = member_at(value, {key});
  return found ? *found : Json();
}

// The evaluation's sensors, each with its diagnostics (null where the node gave none).
Json sensors_of(const Json& result) {
  Json sensors = Json::array();
  const Json listed = member(evaluation_of(result), "sensors");
  if (!listed.is_array()) return sensors;
  for (const Json& sensor : listed) {
    const Json* found = diagnosis_of(result, sensor);
    const Json diagnosis = found ? *found : Json();
    sensors.push_back({{"raw_name", member(sensor, "raw_name")},
                       {"key", member(sensor, "key")},
                       {"score_percent", member(sensor, "score_percent")},
                       {"nrmse", member(sensor, "nrmse")},
                       {"lag_steps", member(sensor, "lag_steps")},
                       {"normalized_by", member(sensor, "normalized_by")},
                       {"n_rows", member(sensor, "n_rows")},
                       {"lag_rows", member(diagnosis, "lag_rows")},
                       {"bias", member(diagnosis, "bias")},
                       {"gain", member(diagnosis, "gain")},
                       {"correlation", member(diagnosis, "correlation")}});
  }
  return sensors;
}

Json episode_scores_of(const Json& result) {
  Json episodes = Json::array();
  for (const Json& episode : episodes_worst_first(result))
    episodes.push_back(
        {{"episode", member(episode, "episode")}, {"score_percent", member(episode, "score_percent")}});
  return episodes;
}

Json reports_of(const Json& status) {
  Json reports = Json::array();
  const Json runs = member(status, "runs");
  if (!runs.is_array()) return reports;
  for (const Json& run : runs)
    reports.push_back({{"use_case", member(run, "projectName")},
                       {"status", member(run, "status")},
                       {"score", member(run, "score")},
                       {"failure_code", member(run, "failureCode")}});
  return reports;
}

std::string outcome_of(const PublishRecord& record) {
  if (record.signal) return "interrupted";
  if (record.failure) return "failed";
  return record.exit_status == 0 ? "reported" : "submitted without report";
}

Json error_of(const RunRecord& record) {
  if (record.signal) {
    const char* name = ::sigabbrev_np(record.signal);
    return {{"type", "Interrupted"}, {"message", std::string("Interrupted by SIG") + (name ? name : "?")}};
  }
  if (!record.failure) return nullptr;
  std::string type = "unknown error";
  try {
    std::rethrow_exception(record.failure);
  } catch (const std::exception& e) {
    type = type_name_of(e);
  } catch (...) {
  }
  return {{"type", type}, {"message", failure_text(record.failure)}};
}

Json evidence_of(const RunRecord& record) {
  if (!record.evidence) return nullptr;
  const ReplayEvidence& evidence = *record.evidence;
  const std::size_t from =
      evidence.output.size() > EVIDENCE_LINES ? evidence.output.size() - EVIDENCE_LINES : 0;
  return {
      {"call", evidence.call},
      {"episode", evidence.episode},
      {"row", evidence.row ? Json(*evidence.row) : Json()},
      {"exit_code", evidence.exit_code ? Json(*evidence.exit_code) : Json()},
      {"output", Json(std::vector<std::string>(evidence.output.begin() + static_cast<std::ptrdiff_t>(from),
                                               evidence.output.end()))}};
}

}  // namespace

Json publish_summary(const PublishRecord& record, const Json& claim_state) {
  const Json validation = member(record.result, "simulator_validation");
  const Json selected = member(member(validation, "dataset"), "selected_episodes");
  const Json warnings = member(record.result, "warnings");
  return {{"claim", {{"job_id", member(record.claim, "jobId")}, {"state", claim_state}}},
          {"score_percent", member(member(validation, "evaluation"), "score_percent")},
          {"episodes", selected.is_array() ? Json(selected.size()) : Json()},
          {"sensors", sensors_of(record.result)},
          {"warnings", warnings.is_array() ? warnings : Json::array()},
          {"reports", reports_of(record.status)},
          {"outcome", outcome_of(record)},
          {"exit_status", record.exit_status},
          {"error", error_of(record)},
          {"evidence", evidence_of(record)},
          {"episode_scores", episode_scores_of(record.result)},
          {"hints", hints_of(record.result)},
          {"unmatched", record.plan ? check::unmatched_json(*record.plan) : Json()}};
}

Json score_summary(const RunRecord& record, const std::vector<std::string>& warnings) {
  const Json& evaluation = evaluation_of(record.result);
  const bool scored = evaluation.is_object() && !record.failure && !record.signal;
  return {{"score_percent", member(evaluation, "score_percent")},
          {"episodes", scored ? Json(episodes_of(record.result)) : Json()},
          {"sensors", sensors_of(record.result)},
          {"episode_scores", episode_scores_of(record.result)},
          {"unmatched", record.plan ? check::unmatched_json(*record.plan) : Json()},
          {"warnings", warnings},
          {"outcome", record.signal    ? "interrupted"
                      : record.failure ? "failed"
                                       : "scored"},
          {"exit_status", record.exit_status},
          {"error", error_of(record)},
          {"evidence", evidence_of(record)}};
}

Json evidence_page_json(const std::optional<EvidencePage>& page) {
  return page && !page->path.empty() ? Json(page->path) : Json();
}

Json calibrate_summary(const RunRecord& record, const Calibration& calibration, const Json& env_init) {
  const std::vector<double>& best = calibration.best_values();
  Json parameters = Json::array();
  for (std::size_t i = 0; i < calibration.parameters.size(); ++i) {
    const calibrate::Parameter& parameter = calibration.parameters[i];
    parameters.push_back({{"name", parameter.name},
                          {"low", parameter.low},
                          {"high", parameter.high},
                          {"log", parameter.log},
                          {"start", calibration.start[i]},
                          {"best", best[i]},
                          {"at_bound", calibration.best_at_bound(i)},
                          {"unmoved", bool(calibration.unmoved[i])}});
  }
  const auto score = [](const std::optional<Evaluation>& evaluation) {
    return evaluation ? score_of(evaluation->result) : score_of(Json());
  };
  const Json before = score(calibration.baseline), after = score(calibration.best);
  Json sensors = Json::array();
  for (const auto& [name, value] : before["sensors"].items())
    sensors.push_back(
        {{"raw_name", name}, {"before", value}, {"after", after["sensors"].value(name, Json())}});
  return {{"outcome", record.signal    ? "interrupted"
                      : record.failure ? "failed"
                                       : "calibrated"},
          {"exit_status", record.exit_status},
          {"evaluations", calibration.evaluations},
          {"failed_evaluations", calibration.failed},
          {"parameters", parameters},
          {"fit",
           {{"episodes", calibration.fit_episodes}, {"before", before["score"]}, {"after", after["score"]}}},
          {"holdout",
           {{"episodes", calibration.holdout_episodes},
            {"before", score_of(calibration.holdout_before)["score"]},
            {"after", score_of(calibration.holdout_after)["score"]}}},
          {"sensors", sensors},
          {"env_init", env_init},
          {"error", error_of(record)},
          {"evidence", evidence_of(record)},
          {"unmatched", record.plan ? check::unmatched_json(*record.plan) : Json()}};
}

std::string summary_failure(const std::filesystem::path& file, const FileWriteError& failure) {
  if (file == SUMMARY_TO_STDOUT) return "Could not write the summary to standard output: " + failure.reason();
  return "Could not " + failure.step() + " the summary file '" + utf8::echo(file.string()) +
         "': " + failure.reason();
}

void check_summary_file(const std::filesystem::path& file) {
  if (file.empty() || file == SUMMARY_TO_STDOUT) return;
  try {
    writable_target(file);
  } catch (const FileWriteError& e) {
    throw PublishReportError(summary_failure(file, e));
  }
}

LinesOnStderr::LinesOnStderr(bool wanted) {
  if (!wanted) return;
  ConsoleOptions options = console().options();
  options.out = options.err;
  options.out_is_terminal = options.err_is_terminal;
  console_.emplace(options);
  installed_.emplace(*console_);
}

void write_summary(const std::filesystem::path& file, const Json& summary, std::ostream& out) {
  const std::string text = dump_json(summary) + "\n";
  if (file != SUMMARY_TO_STDOUT) return write_file_atomically(file, text);
  out << text << std::flush;
  if (!out) throw FileWriteError("write", EIO);
}

Outcome with_summary(const std::filesystem::path& file, const Json& summary, std::ostream& out,
                     Outcome outcome) {
  try {
    write_summary(file, summary, out);
  } catch (const FileWriteError& e) {
    console().note(markup_literal(summary_failure(file, e)));
    return {.exit_status = 1, .signal = outcome.signal};
  }
  return outcome;
}

}  // namespace nalto::cli
