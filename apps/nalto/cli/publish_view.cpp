#include "cli/publish_view.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "nalto/main/answer.hpp"

namespace nalto::cli {

namespace {

std::string text_cell(const Json* value) {
  return value && !value->is_null() ? markup_literal(plain_text(*value)) : "-";
}

std::string number_cell(const Json* value, const char* format) {
  if (!value || !value->is_number()) return text_cell(value);
  char text[64];
  std::snprintf(text, sizeof text, format, value->get<double>());
  return text;
}

// Unscored sensors are the worst of all.
double sort_score(const Json& sensor) {
  const Json* score = member_at(sensor, {"score_percent"});
  return score && score->is_number() ? score->get<double>() : -std::numeric_limits<double>::infinity();
}

std::string ending_text(int code) {
  if (code >= 0) return "it exited with code " + std::to_string(code);
  const char* name = ::sigdescr_np(-code);
  return "it was ended by signal " + std::to_string(-code) + (name ? std::string(" (") + name + ")" : "");
}

// "Step of episode 4, row 17,": the call and where it stood, before what became of it.
std::string late_call_text(const ReplayEvidence& evidence) {
  std::string text = evidence.call.empty() ? "call" : evidence.call;
  if (!evidence.episode.is_null()) text += " of episode " + markup_literal(plain_text(evidence.episode));
  if (evidence.row) text += ", row " + std::to_string(*evidence.row);
  if (!evidence.episode.is_null() || evidence.row) text += ",";
  return text;
}

std::vector<Json> sensors_worst_first(const Json& result) {
  const Json* listed = member_at(evaluation_of(result), {"sensors"});
  std::vector<Json> sensors;
  if (listed && listed->is_array()) sensors.assign(listed->begin(), listed->end());
  std::stable_sort(sensors.begin(), sensors.end(),
                   [](const Json& a, const Json& b) { return sort_score(a) < sort_score(b); });
  return sensors;
}

}  // namespace

void print_sensor_table(const Json& result) {
  const std::vector<Json> sensors = sensors_worst_first(result);

  Table table("Sensors, worst first", {"Sensor", "Score", "NRMSE", "Lag (rows)", "Normalised by", "Rows"});
  for (const Json& sensor : sensors) {
    const auto field = [&sensor](std::string_view key) { return member_at(sensor, {key}); };
    const Json* name = field("raw_name");
    table.add_row({text_cell(name ? name : field("key")), number_cell(field("score_percent"), "%.1f"),
                   number_cell(field("nrmse"), "%.4f"), text_cell(field("lag_steps")),
                   text_cell(field("normalized_by")), text_cell(field("n_rows"))});
  }
  if (sensors.empty()) {
    console().print("[dim]The analysis names no sensors.[/dim]");
    return;
  }
  console().print(table);
  console().print(
      "[dim]The score is the mean over the scored sensors of 100 × max(0, 1 − NRMSE); NRMSE is the "
      "root-mean-square error at the best lag over the rows compared, divided by what the sensor was "
      "normalised by.[/dim]");
}

void print_diagnostics(const Json& result) {
  const Json* diagnostics = member_at(result, {"diagnostics"});
  if (!diagnostics || !diagnostics->is_object()) return;
  const std::vector<Json> sensors = sensors_worst_first(result);
  const std::string window = text_cell(member_at(*diagnostics, {"search_lag_rows"}));
  if (!sensors.empty()) {
    Table table("Why, sensor by sensor", {"Sensor", "Best lag ±" + window, "Bias", "Gain", "Correlation"});
    for (const Json& sensor : sensors) {
      const Json* diagnosis = diagnosis_of(result, sensor);
      const auto field = [diagnosis](std::string_view key) {
        return diagnosis ? member_at(*diagnosis, {key}) : nullptr;
      };
      const Json* name = member_at(sensor, {"raw_name"});
      table.add_row({text_cell(name ? name : member_at(sensor, {"key"})), text_cell(field("lag_rows")),
                     number_cell(field("bias"), "%.4g"), number_cell(field("gain"), "%.3f"),
                     number_cell(field("correlation"), "%.3f")});
    }
    console().print(table);
    console().print(
        "[dim]The best lag is searched in both directions: positive when the sim's values trail the "
        "recorded ones (sim row i+k matches recorded row i), negative when they lead. At that lag, bias is "
        "the mean of sim − recorded, gain the least-squares slope of the sim's values on the recorded ones "
        "(1: the right amplitude), correlation Pearson's r.[/dim]");
  }
  const std::vector<Json> episodes = episodes_worst_first(result);
  if (episodes.empty()) return;
  Table table("Episodes, worst first", {"Episode", "Score"});
  for (const Json& episode : episodes)
    table.add_row({text_cell(member_at(episode, {"episode"})),
                   number_cell(member_at(episode, {"score_percent"}), "%.2f")});
  console().print(table);
}

std::string position_text(const ReplayEvidence& evidence) {
  std::string text = evidence.call.empty() ? "a call" : evidence.call;
  if (!evidence.episode.is_null()) text += ", episode " + markup_literal(plain_text(evidence.episode));
  if (evidence.row) text += ", row " + std::to_string(*evidence.row);
  return text;
}

void print_evidence(const ReplayEvidence& evidence) {
  std::string where = evidence.call_timeout_s
                          ? "The sim's " + late_call_text(evidence) + " took longer than --call-timeout " +
                                short_text(*evidence.call_timeout_s) + " s"
                          : "The sim failed in " + position_text(evidence);
  if (evidence.exit_code) where += "; " + ending_text(*evidence.exit_code);
  console().note(where + ".");
  if (evidence.output.empty()) {
    console().note("The sim printed nothing.");
    return;
  }
  print_sim_output(evidence.output);
}

void print_sim_output(const std::vector<std::string>& output) {
  const std::size_t shown = std::min(output.size(), EVIDENCE_LINES);
  console().note(shown == 1 ? std::string("The sim's last output line:")
                            : "The sim's last " + std::to_string(shown) + " output lines:");
  for (std::size_t i = output.size() - shown; i < output.size(); ++i)
    console().note("  " + markup_literal(output[i]));
}

}  // namespace nalto::cli
