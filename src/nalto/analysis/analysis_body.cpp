#include <algorithm>
#include <cstring>

#include "nalto/analysis/internal.hpp"

namespace nalto::detail {

namespace {

// Values written at a time: a piece stays small whatever the length of an episode.
constexpr std::size_t VALUES_PER_PIECE = 4096;

void append_member(std::string& body, std::string_view key, const Json& value) {
  if (body.size() > 1) body += ',';
  body += dump_json(Json(key));
  body += ':';
  body += dump_json(value);
}

}  // namespace

AnalysisBody::AnalysisBody(const Json& dataset, const ScoringRequest& request, const Plan& plan,
                           std::vector<Rollout> rollouts)
    : rollouts_(std::move(rollouts)) {
  Json sensor_columns = Json::array();
  for (const auto& [slot, column] : plan.sensors) sensor_columns.push_back(column);
  Json action_columns = Json::array();
  for (const auto& [slot, column] : plan.actions) action_columns.push_back(column);

  const Json& claim = request.claim;
  pending_ += '{';
  append_member(pending_, "dataset_uuid", subscript(dataset, "id"));
  if (!claim.is_null()) {
    append_member(pending_, "simulator_id", subscript(claim, "simulatorId"));
    append_member(pending_, "simulator_implementation_id", subscript(claim, "simulatorImplementationId"));
    append_member(pending_, "validation_run_id", subscript(claim, "validationRunId"));
    append_member(pending_, "bundle_content_hash", Json(request.bundle_sha256));
  }
  append_member(pending_, "core_sensor_variables", Json(plan.core));
  append_member(pending_, "sensor_variables", sensor_columns);
  append_member(pending_, "action_variables", action_columns);
  if (!claim.is_null()) append_member(pending_, "max_lag_steps", subscript(claim, "maxLagSteps"));
  for (const auto& [key, value] : request.options) append_member(pending_, key, value);
  pending_ += ",\"episodes\":[";
}

std::size_t AnalysisBody::read(char* out, std::size_t capacity) {
  std::size_t filled = 0;
  while (filled < capacity) {
    if (given_ == pending_.size()) {
      pending_.clear();
      given_ = 0;
      if (!write_more()) break;
    }
    const std::size_t n = std::min(capacity - filled, pending_.size() - given_);
    std::memcpy(out + filled, pending_.data() + given_, n);
    given_ += n;
    filled += n;
  }
  return filled;
}

bool AnalysisBody::write_more() {
  switch (stage_) {
    case Stage::episode:
      if (episode_ == rollouts_.size()) {
        pending_ += "]}";
        stage_ = Stage::done;
        return true;
      }
      if (episode_) pending_ += ',';
      pending_ += "{\"episode\":" + dump_json(rollouts_[episode_].episode) + ",\"predictions\":{";
      column_ = 0;
      stage_ = Stage::column;
      return true;
    case Stage::column: {
      Predictions& predictions = rollouts_[episode_].predictions;
      if (column_ == predictions.columns.size()) {
        pending_ += "}}";
        predictions = {};
        ++episode_;
        stage_ = Stage::episode;
        return true;
      }
      if (column_) pending_ += ',';
      pending_ += dump_json(Json(predictions.columns[column_]));
      pending_ += ":[";
      value_ = 0;
      stage_ = Stage::values;
      return true;
    }
    case Stage::values: {
      const std::vector<double>& values = rollouts_[episode_].predictions.values[column_];
      const std::size_t end = std::min(values.size(), value_ + VALUES_PER_PIECE);
      for (; value_ < end; ++value_) {
        if (value_) pending_ += ',';
        append_json_number(pending_, values[value_]);
      }
      if (value_ == values.size()) {
        pending_ += ']';
        ++column_;
        stage_ = Stage::column;
      }
      return true;
    }
    case Stage::done:
      break;
  }
  return false;
}

}  // namespace nalto::detail

namespace nalto {

ScoringRequest claimed_scoring(Json claim, std::string bundle_sha256) {
  return {.endpoint = "sim-analyze-rollouts",
          .claim = std::move(claim),
          .bundle_sha256 = std::move(bundle_sha256),
          .options = {}};
}

ScoringRequest claim_free_scoring(std::int64_t max_lag_steps, std::int64_t search_lag_rows) {
  return {.endpoint = "sim-score-rollouts",
          .claim = nullptr,
          .bundle_sha256 = "",
          .options = {{"max_lag_steps", max_lag_steps}, {"search_lag_rows", search_lag_rows}}};
}

}  // namespace nalto
