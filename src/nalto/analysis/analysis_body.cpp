#include <malloc.h>

#include "nalto/analysis/internal.hpp"

namespace nalto::detail {

namespace {

void append_member(std::string& body, std::string_view key, const Json& value) {
  if (body.size() > 1) body += ',';
  body += dump_json(Json(key));
  body += ':';
  body += dump_json(value);
}

}  // namespace

std::string analysis_body(const Json& dataset, const Json& claim, const std::string& bundle_sha256,
                          const Plan& plan, std::vector<Rollout> rollouts) {
  Json sensor_columns = Json::array();
  for (const auto& [slot, column] : plan.sensors) sensor_columns.push_back(column);
  Json action_columns = Json::array();
  for (const auto& [slot, column] : plan.actions) action_columns.push_back(column);

  std::size_t values = 0;
  for (const Rollout& rollout : rollouts)
    for (const auto& column : rollout.predictions.values) values += column.size();
  std::string body;
  body.reserve(4096 + values * 24);
  body += '{';
  append_member(body, "dataset_uuid", subscript(dataset, "id"));
  append_member(body, "simulator_id", subscript(claim, "simulatorId"));
  append_member(body, "simulator_implementation_id", subscript(claim, "simulatorImplementationId"));
  append_member(body, "validation_run_id", subscript(claim, "validationRunId"));
  append_member(body, "bundle_content_hash", Json(bundle_sha256));
  append_member(body, "core_sensor_variables", Json(plan.core));
  append_member(body, "sensor_variables", sensor_columns);
  append_member(body, "action_variables", action_columns);
  append_member(body, "max_lag_steps", subscript(claim, "maxLagSteps"));
  body += ",\"episodes\":[";
  for (std::size_t r = 0; r < rollouts.size(); ++r) {
    if (r) body += ',';
    body += "{\"episode\":" + dump_json(rollouts[r].episode) + ",\"predictions\":{";
    Predictions& predictions = rollouts[r].predictions;
    for (std::size_t c = 0; c < predictions.columns.size(); ++c) {
      if (c) body += ',';
      body += dump_json(Json(predictions.columns[c]));
      body += ":[";
      const std::vector<double>& column = predictions.values[c];
      for (std::size_t i = 0; i < column.size(); ++i) {
        if (i) body += ',';
        append_json_number(body, column[i]);
      }
      body += ']';
    }
    // Freed columns stay resident in the heap unless handed back; the body is growing meanwhile.
    predictions = {};
    malloc_trim(0);
    body += "}}";
  }
  body += "]}";
  return body;
}

}  // namespace nalto::detail
