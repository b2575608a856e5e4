#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <map>

#include "compute_node.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"
#include "nalto/support/strings.hpp"

namespace nalto::node_app {

namespace {

// A request the node turns down: the status and what the user can do about it.
class Refusal : public std::runtime_error {
 public:
  Refusal(int status, const std::string& detail) : std::runtime_error(detail), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

Reply refused(int status, const std::string& detail) {
  return {status, dump_json(Json{{"detail", detail}})};
}

Refusal not_json(const std::exception& e) {
  // nlohmann prefixes its messages with the exception's id, which tells a user nothing.
  std::string message = e.what();
  if (const std::size_t end = message.find("] "); message.starts_with("[") && end != std::string::npos)
    message.erase(0, end + 2);
  return Refusal(422, "the request body is not valid JSON: " + message);
}

// Through the parser that refuses deep nesting: a body nested thousands of levels deep would make
// every walk of its value recurse as deep.
Json parse_body(std::string_view body) {
  try {
    return parse_json(body);
  } catch (const JSONDecodeError& e) {
    throw not_json(e);
  }
}

RolloutsBody read_body(std::streambuf& bytes) {
  try {
    return read_rollouts_body(bytes);
  } catch (const JSONDecodeError& e) {
    throw not_json(e);
  }
}

// The bytes of a body already whole in memory, for the parse that reads a stream.
class TextBuffer final : public std::streambuf {
 public:
  explicit TextBuffer(std::string_view text) {
    char* begin = const_cast<char*>(text.data());
    setg(begin, begin, begin + text.size());
  }
};

const Json& member(const Json& body, std::string_view key) {
  const auto found = body.find(key);
  if (found == body.end()) throw Refusal(422, "the request has no " + single_quoted(key));
  return *found;
}

std::string text_member(const Json& body, std::string_view key) {
  const Json& value = member(body, key);
  if (!value.is_string()) throw Refusal(422, single_quoted(key) + " must be a text, not " + kind_name(value));
  return value.get<std::string>();
}

// An id or hash is kept with the run and repeated in the answer: one as long as a body would make
// every run kept cost that much.
void check_length(std::string_view key, const std::string& text) {
  if (text.size() > MAX_ID_BYTES)
    throw Refusal(422, single_quoted(key) + " is " + std::to_string(text.size()) +
                           " bytes long; this compute node takes ids and hashes of up to " +
                           std::to_string(MAX_ID_BYTES) + " bytes");
}

// The platform's identifiers are texts or whole numbers; they are handed back as they came.
const Json& id_member(const Json& body, std::string_view key) {
  const Json& value = member(body, key);
  if (!value.is_string() && !value.is_number_integer())
    throw Refusal(422, single_quoted(key) + " must be a text or a whole number, not " + kind_name(value));
  if (value.is_string()) check_length(key, value.get_ref<const std::string&>());
  return value;
}

const Json& list_member(const Json& body, std::string_view key) {
  const Json& value = member(body, key);
  if (!value.is_array()) throw Refusal(422, single_quoted(key) + " must be a list, not " + kind_name(value));
  return value;
}

std::vector<std::string> texts_member(const Json& body, std::string_view key) {
  std::vector<std::string> texts;
  for (const Json& value : list_member(body, key)) {
    if (!value.is_string())
      throw Refusal(422, single_quoted(key) + " must list texts, not " + kind_name(value));
    texts.push_back(value.get<std::string>());
  }
  return texts;
}

const Json& object_body(const Json& value) {
  if (!value.is_object())
    throw Refusal(422, "the request body must be a JSON object, not " + kind_name(value));
  return value;
}

const Dataset& dataset_of(const Catalog& catalog, const std::string& id) {
  const Dataset* dataset = catalog.by_id(id);
  if (!dataset) throw Refusal(404, "this compute node has no dataset with the id " + single_quoted(id));
  return *dataset;
}

std::size_t episode_of(const Json& value, const Dataset& dataset) {
  if (!value.is_number_integer())
    throw Refusal(422, "an episode number must be a whole number, not " + kind_name(value));
  const std::size_t count = dataset.episodes.size();
  const bool negative = !value.is_number_unsigned() && value.get<std::int64_t>() < 0;
  if (negative || value.get<std::uint64_t>() >= count) {
    throw Refusal(404, "the dataset " + single_quoted(dataset.name) + " has no episode " + value.dump() +
                           (count == 0 ? "; it has no episodes"
                                       : "; its episodes are 0 to " + std::to_string(count - 1)));
  }
  return value.get<std::size_t>();
}

// Action values are sent as floating-point numbers, whatever the file wrote: "3" comes back as 3.0.
void append_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "null";
    return;
  }
  char buffer[32];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

double rounded(double value, int digits) {
  const double factor = std::pow(10.0, digits);
  return std::round(value * factor) / factor;
}

double significant(double value, int digits) {
  if (value == 0 || !std::isfinite(value)) return value;
  const int decimals = digits - 1 - static_cast<int>(std::floor(std::log10(std::abs(value))));
  const double unit = std::pow(10.0, -decimals);
  const double result = decimals >= 0 ? rounded(value, decimals) : std::round(value / unit) * unit;
  return std::isfinite(result) ? result : value;
}

Json finite_or_null(std::optional<double> value) {
  return value && std::isfinite(*value) ? Json(*value) : Json(nullptr);
}

// A figure in a message, to three significant digits: "0.3", "1230", "1.5e-07".
std::string figure_text(double value) {
  char buffer[32];
  return {buffer, std::to_chars(buffer, buffer + sizeof buffer, significant(value, 3)).ptr};
}

const char* scale_name(Scale scale) {
  switch (scale) {
    case Scale::range:
      return "range";
    case Scale::level:
      return "level";
    case Scale::unit:
      return "unit";
  }
  return "range";
}

// One replayed episode as the request gives it: per sensor of the request, the predicted values.
struct Rollout {
  std::size_t episode = 0;
  std::size_t reached = 0;
  std::vector<std::span<const double>> predicted;  // by sensor, in the order of `Request::sensors`
};

struct Request {
  std::shared_ptr<const Catalog> catalog;  // keeps `dataset` alive through later re-scans
  const Dataset* dataset = nullptr;
  const RolloutsBody* body = nullptr;  // holds the predictions that `rollouts` view
  Json simulator_id, implementation_id, run_id;
  std::string bundle_hash;
  std::vector<std::string> core_sensors, action_keys;
  std::vector<const Column*> sensors;  // distinct, in the order first named
  std::uint64_t max_lag = 0;
  std::size_t search_lag = DEFAULT_SEARCH_LAG;
  std::vector<Rollout> rollouts;
  std::map<const Column*, std::pair<std::size_t, std::vector<std::size_t>>> unreadable;  // count, episodes
};

std::size_t search_lag_of(const Json& body) {
  const auto found = body.find("search_lag_rows");
  if (found == body.end()) return DEFAULT_SEARCH_LAG;
  const Json& value = *found;
  if (!value.is_number_integer() || (!value.is_number_unsigned() && value.get<std::int64_t>() < 0) ||
      value.get<std::uint64_t>() > MAX_SEARCHED_LAG)
    throw Refusal(422, "'search_lag_rows' must be a whole number of rows from 0 to " +
                           std::to_string(MAX_SEARCHED_LAG) + ", not " +
                           (value.is_number_integer() ? value.dump() : kind_name(value)));
  return value.get<std::size_t>();
}

std::uint64_t max_lag_of(const Json& body) {
  const Json& value = member(body, "max_lag_steps");
  if (!value.is_number_integer() || (!value.is_number_unsigned() && value.get<std::int64_t>() < 0))
    throw Refusal(422, "'max_lag_steps' must be a whole number of rows, 0 or more, not " +
                           (value.is_number_integer() ? value.dump() : kind_name(value)));
  return value.get<std::uint64_t>();
}

void read_sensors(Request& request, const Json& body) {
  const Dataset& dataset = *request.dataset;
  for (const std::string& key : texts_member(body, "sensor_variables")) {
    const Column* column = dataset.column(key);
    if (!column || column->role != Role::sensor)
      throw Refusal(
          422, single_quoted(key) + " is not a sensor column of the dataset " + single_quoted(dataset.name));
    if (std::find(request.sensors.begin(), request.sensors.end(), column) == request.sensors.end())
      request.sensors.push_back(column);
  }
  request.action_keys = texts_member(body, "action_variables");
  for (const std::string& key : request.action_keys) {
    const Column* column = dataset.column(key);
    if (!column || column->role != Role::action)
      throw Refusal(
          422, single_quoted(key) + " is not an action column of the dataset " + single_quoted(dataset.name));
  }
}

// A list of predictions stands in the body's value as a placeholder for the list read aside.
std::span<const double> predictions_of(Request& request, const Json& placeholder, const Column& column,
                                       std::size_t episode, std::size_t n_rows) {
  const std::string where =
      "episode " + std::to_string(episode) + "'s predictions for " + single_quoted(column.key);
  if (!placeholder.is_binary()) throw Refusal(422, where + " must be a list, not " + kind_name(placeholder));
  const PredictionList& list = request.body->lists[placeholder.get_binary().subtype()];
  if (list.count == 0 || list.count > n_rows)
    throw Refusal(422, where + " hold " + std::to_string(list.count) + " values; the episode has " +
                           std::to_string(n_rows) + " rows, and at least row 0 is always predicted");
  if (!list.odd_kind.empty()) throw Refusal(422, where + " must be numbers or null, not " + list.odd_kind);
  if (list.nulls) {
    auto& [count, episodes] = request.unreadable[&column];
    count += list.nulls;
    episodes.push_back(episode);
  }
  return request.body->values.span(list.first, list.count);
}

void read_rollouts(Request& request, const Json& body) {
  const Dataset& dataset = *request.dataset;
  std::vector<bool> seen(dataset.episodes.size());
  for (const Json& entry : list_member(body, "episodes")) {
    if (!entry.is_object())
      throw Refusal(422, "each of 'episodes' must be an object, not " + kind_name(entry));
    Rollout rollout;
    rollout.episode = episode_of(member(entry, "episode"), dataset);
    if (seen[rollout.episode])
      throw Refusal(422, "episode " + std::to_string(rollout.episode) + " stands twice");
    seen[rollout.episode] = true;
    const Json& predictions = member(entry, "predictions");
    const std::string where = "episode " + std::to_string(rollout.episode) + "'s predictions";
    if (!predictions.is_object())
      throw Refusal(422, where + " must be an object, not " + kind_name(predictions));
    for (const auto& [key, list] : predictions.items()) {
      const Column* column = dataset.column(key);
      if (std::find(request.sensors.begin(), request.sensors.end(), column) == request.sensors.end())
        throw Refusal(422, where + " name " + single_quoted(key) + ", which is not in 'sensor_variables'");
    }
    const std::size_t n_rows = dataset.episodes[rollout.episode].count;
    for (const Column* column : request.sensors) {
      const auto list = predictions.find(column->key);
      if (list == predictions.end())
        throw Refusal(422, where + " lack the sensor column " + single_quoted(column->key));
      rollout.predicted.push_back(predictions_of(request, *list, *column, rollout.episode, n_rows));
      const std::size_t length = rollout.predicted.back().size();
      if (rollout.predicted.size() > 1 && length != rollout.reached)
        throw Refusal(422, where + " differ in length: every sensor has one value per row the sim reached");
      rollout.reached = length;
    }
    request.rollouts.push_back(std::move(rollout));
  }
}

// What both analyses read after the dataset and the ids: the sensors, the actions and the rollouts.
void read_scored(Request& request, const Json& body) {
  request.core_sensors = texts_member(body, "core_sensor_variables");
  read_sensors(request, body);
  request.max_lag = max_lag_of(body);
  read_rollouts(request, body);
}

Json dataset_identity(const Dataset& dataset) {
  return Json{{"uuid", dataset.id},
              {"name", dataset.name},
              {"content_md5", dataset.content_md5},
              {"content_sha256", dataset.content_sha256}};
}

std::string episode_list(const std::vector<std::size_t>& episodes) {
  std::string text;
  for (std::size_t i = 0; i < episodes.size() && i < 10; ++i)
    text += (i ? ", " : "") + std::to_string(episodes[i]);
  if (episodes.size() > 10) text += ", ...";
  return text;
}

// Why an episode ended before its last row, as its predictions show: a replay records an unreadable
// value as null and stops there; otherwise the sim said terminated or truncated.
std::string stop_reason(const Rollout& rollout) {
  for (const std::span<const double> values : rollout.predicted)
    if (!values.empty() && std::isnan(values.back()))
      return "a value of the sim could not be read at its last row";
  return "the sim ended it";
}

// What the analysis makes of a request, which each endpoint wraps in its own answer.
struct Analysis {
  Json warnings;
  Json dataset;     // its identity, the episodes selected and the rows
  Json evaluation;  // null when nothing was scored
  Json summary;
  Json diagnostics;
};

std::string rows_text(std::size_t rows) {
  return std::to_string(rows) + (rows == 1 ? " row" : " rows");
}

// What a user can read of the fit's shape: most sensors at one shifted lag is a replay off by rows,
// not a model error; and an error that is mostly offset or mostly amplitude points at one parameter.
Json hints(const std::vector<const Column*>& sensors,
           const std::vector<std::optional<SensorDiagnosis>>& found) {
  Json hints = Json::array();
  std::vector<std::ptrdiff_t> lags;
  for (std::size_t s = 0; s < sensors.size(); ++s)
    if (found[s]) lags.push_back(found[s]->lag_rows);
  if (const std::optional<SharedShift> shift = shared_shift(lags)) {
    std::vector<std::string> names;
    for (std::size_t s = 0; s < sensors.size(); ++s)
      if (found[s] && found[s]->lag_rows == shift->rows) names.push_back(single_quoted(sensors[s]->raw_name));
    const bool trails = shift->rows > 0;
    const bool every = shift->sensors == lags.size();
    std::string who = every ? std::string("every scored sensor of the sim ") + (trails ? "trails" : "leads")
                            : std::to_string(shift->sensors) + " of the " + std::to_string(lags.size()) +
                                  " scored sensors of the sim (" + join(names, ", ") + ") " +
                                  (trails ? "trail" : "lead");
    const std::string rows = rows_text(static_cast<std::size_t>(trails ? shift->rows : -shift->rows));
    hints.push_back(who + " the recording by " + rows +
                    (trails ? ": are the actions applied " + rows +
                                  " late? The Step that yields row k must apply row k's recorded actions"
                            : ": do the recorded sensors report " + rows + " late?"));
  }
  for (std::size_t s = 0; s < sensors.size(); ++s) {
    const std::optional<SensorDiagnosis>& diagnosis = found[s];
    if (!diagnosis || !(diagnosis->nrmse >= 0.01)) continue;
    const std::string name = single_quoted(sensors[s]->raw_name);
    if (diagnosis->bias_share >= 0.5)
      hints.push_back(name + " is off mostly by an offset: the sim's values are " +
                      figure_text(std::abs(diagnosis->bias)) + (diagnosis->bias > 0 ? " higher" : " lower") +
                      " on average");
    else if (diagnosis->variance_share >= 0.5 && diagnosis->sd_truth > 0)
      hints.push_back(name + " is off mostly in amplitude: the sim's values vary " +
                      figure_text(diagnosis->sd_predicted / diagnosis->sd_truth) +
                      " times as much as the recorded ones");
  }
  return hints;
}

Json sensor_diagnostics(const Column& column, const std::optional<SensorDiagnosis>& diagnosis) {
  Json entry{{"key", column.key}, {"raw_name", column.raw_name}};
  if (!diagnosis) {
    entry.update(Json{{"lag_rows", nullptr},
                      {"bias", nullptr},
                      {"gain", nullptr},
                      {"correlation", nullptr},
                      {"n_rows", 0}});
    return entry;
  }
  entry["lag_rows"] = diagnosis->lag_rows;
  entry["bias"] = finite_or_null(significant(diagnosis->bias, 6));
  entry["gain"] =
      finite_or_null(diagnosis->gain ? std::optional(rounded(*diagnosis->gain, 4)) : std::nullopt);
  entry["correlation"] = finite_or_null(
      diagnosis->correlation ? std::optional(rounded(*diagnosis->correlation, 4)) : std::nullopt);
  entry["n_rows"] = diagnosis->n_rows;
  return entry;
}

// The analysis: every sensor's fit over the replayed rows, and what explains it. No truth value goes
// into it, only errors and moments measured against the truth over 10 rows or more.
Analysis analysis(const Request& request) {
  const Dataset& dataset = *request.dataset;
  Json warnings = Json::array();
  std::size_t rows_recorded = 0, rows_replayed = 0;
  Json selected = Json::array();
  for (const Rollout& rollout : request.rollouts) {
    const std::size_t n_rows = dataset.episodes[rollout.episode].count;
    rows_recorded += n_rows;
    rows_replayed += rollout.reached;
    selected.push_back(rollout.episode);
    if (!request.sensors.empty() && rollout.reached < n_rows)
      warnings.push_back("episode " + std::to_string(rollout.episode) + " stopped after " +
                         std::to_string(rollout.reached) + " of " + std::to_string(n_rows) +
                         " rows: " + stop_reason(rollout));
  }
  if (!request.sensors.empty())
    for (const Column& column : dataset.columns)
      if (column.role == Role::sensor &&
          std::find(request.sensors.begin(), request.sensors.end(), &column) == request.sensors.end())
        warnings.push_back(single_quoted(column.raw_name) +
                           " was not scored: the sim has no sensor of that name");
  for (const auto& [column, where] : request.unreadable) {
    warnings.push_back("the sim's " + single_quoted(column->raw_name) + " could not be read at " +
                       std::to_string(where.first) + (where.first == 1 ? " row" : " rows") + " (episode" +
                       (where.second.size() == 1 ? " " : "s ") + episode_list(where.second) +
                       "); those rows were left out");
  }
  std::size_t longest = 0;
  for (const Rollout& rollout : request.rollouts) longest = std::max(longest, rollout.reached);
  if (request.max_lag > MAX_SEARCHED_LAG && longest > MAX_SEARCHED_LAG + 1)
    warnings.push_back("the lag search was limited to " + std::to_string(MAX_SEARCHED_LAG) +
                       " rows; max_lag_steps asked for " + std::to_string(request.max_lag));

  Json sensors = Json::array();
  double total = 0;
  std::size_t scored = 0;
  bool too_few = false;  // a sensor had rows to compare, only fewer than MIN_SCORED_ROWS
  std::vector<SeriesPair> pairs;
  std::vector<std::optional<SensorDiagnosis>> diagnoses;
  Json diagnosed = Json::array();
  std::vector<double> episode_totals(request.rollouts.size());
  std::vector<std::size_t> episode_scored(request.rollouts.size());
  for (std::size_t s = 0; s < request.sensors.size(); ++s) {
    const Column& column = *request.sensors[s];
    pairs.clear();
    std::size_t unrecorded = 0;
    for (const Rollout& rollout : request.rollouts) {
      const EpisodeRows& rows = dataset.episodes[rollout.episode];
      const std::span<const double> truth(column.values.data() + rows.first, rows.count);
      pairs.push_back({truth, rollout.predicted[s]});
      for (std::size_t i = 0; i < rollout.reached; ++i) unrecorded += std::isnan(truth[i]);
    }
    if (unrecorded)
      warnings.push_back(single_quoted(column.raw_name) + " has no recorded value at " +
                         std::to_string(unrecorded) + " of the " + std::to_string(rows_replayed) +
                         " rows replayed; they were left out");
    const std::optional<SensorFit> fit = fit_sensor(
        pairs, static_cast<std::size_t>(std::min<std::uint64_t>(request.max_lag, MAX_SEARCHED_LAG)),
        MIN_SCORED_ROWS);
    diagnoses.push_back(diagnose_sensor(pairs, request.search_lag, MIN_SCORED_ROWS));
    diagnosed.push_back(sensor_diagnostics(column, diagnoses.back()));
    Json entry{{"key", column.key}, {"raw_name", column.raw_name}};
    if (fit) {
      for (std::size_t r = 0; r < pairs.size(); ++r) {
        if (const std::optional<double> score = episode_score(pairs[r], *fit, MIN_SCORED_ROWS)) {
          episode_totals[r] += *score;
          ++episode_scored[r];
        }
      }
      total += fit->score_percent;
      ++scored;
      entry["score_percent"] = rounded(fit->score_percent, 2);
      entry["nrmse"] = std::isfinite(fit->nrmse) ? Json(rounded(fit->nrmse, 6)) : Json(nullptr);
      entry["lag_steps"] = fit->lag_steps;
      entry["n_rows"] = fit->n_rows;
      entry["normalized_by"] = scale_name(fit->scale);
    } else {
      const std::size_t compared = rows_compared(pairs);
      too_few = too_few || compared > 0;
      if (compared)
        warnings.push_back(
            single_quoted(column.raw_name) + " was not scored: " +
            (compared == 1 ? "1 replayed row has" : std::to_string(compared) + " replayed rows have") +
            " both a recorded value and a prediction, and a sensor is scored over " +
            std::to_string(MIN_SCORED_ROWS) + " rows or more");
      else if (rows_replayed)
        warnings.push_back(
            single_quoted(column.raw_name) +
            " could not be scored: no replayed row has both a recorded value and a prediction");
      entry["score_percent"] = nullptr;
      entry["nrmse"] = nullptr;
      entry["lag_steps"] = nullptr;
      entry["n_rows"] = 0;
      entry["normalized_by"] = nullptr;
    }
    sensors.push_back(std::move(entry));
  }

  Json score = scored ? Json(rounded(total / static_cast<double>(scored), 2)) : Json(nullptr);
  Json selection = dataset_identity(dataset);
  selection["selected_episodes"] = selected;
  selection["rows_recorded"] = rows_recorded;
  selection["rows_replayed"] = rows_replayed;
  Json evaluation = nullptr;
  if (scored) {
    evaluation = Json{{"score_percent", score},
                      {"max_lag_steps", request.max_lag},
                      {"sensors_scored", scored},
                      {"core_sensor_variables", request.core_sensors},
                      {"action_variables", request.action_keys},
                      {"sensors", sensors}};
  } else {
    warnings.push_back(
        request.rollouts.empty()  ? "Nothing could be compared with the dataset: no episode was replayed"
        : request.sensors.empty() ? "Nothing could be compared with the dataset: no sensor was predicted"
        : too_few
            ? "Nothing could be compared with the dataset: no sensor has " + std::to_string(MIN_SCORED_ROWS) +
                  " replayed rows with both a recorded value and a prediction"
            : "Nothing could be compared with the dataset: no replayed row has both a recorded sensor "
              "value and a prediction");
  }
  Json episode_scores = Json::array();
  for (std::size_t r = 0; r < request.rollouts.size(); ++r)
    episode_scores.push_back(Json{
        {"episode", request.rollouts[r].episode},
        {"score_percent", episode_scored[r]
                              ? Json(rounded(episode_totals[r] / static_cast<double>(episode_scored[r]), 2))
                              : Json(nullptr)}});
  return Analysis{.warnings = std::move(warnings),
                  .dataset = std::move(selection),
                  .evaluation = std::move(evaluation),
                  .summary = Json{{"episodes", request.rollouts.size()},
                                  {"rows_replayed", rows_replayed},
                                  {"sensors", request.sensors.size()},
                                  {"sensors_scored", scored},
                                  {"score_percent", score}},
                  .diagnostics = Json{{"search_lag_rows", request.search_lag},
                                      {"sensors", std::move(diagnosed)},
                                      {"episode_scores", std::move(episode_scores)},
                                      {"hints", hints(request.sensors, diagnoses)}}};
}

// The answer of sim-analyze-rollouts: the evaluation inside the artifact that the platform stores.
Json validation_answer(const Request& request, Analysis analysis) {
  Json validation = nullptr;
  if (!analysis.evaluation.is_null())
    validation = Json{{"schema", "simulator_validation/v2"},
                      {"simulator",
                       {{"simulator_id", request.simulator_id},
                        {"simulator_implementation_id", request.implementation_id},
                        {"validation_run_id", request.run_id},
                        {"bundle_content_hash", request.bundle_hash}}},
                      {"dataset", std::move(analysis.dataset)},
                      {"evaluation", std::move(analysis.evaluation)}};
  return Json{{"warnings", std::move(analysis.warnings)},
              {"dataset", dataset_identity(*request.dataset)},
              {"simulator_validation", std::move(validation)},
              {"summary", std::move(analysis.summary)},
              {"diagnostics", std::move(analysis.diagnostics)}};
}

Json score_answer(Analysis analysis) {
  return Json{{"warnings", std::move(analysis.warnings)},
              {"dataset", std::move(analysis.dataset)},
              {"evaluation", std::move(analysis.evaluation)},
              {"summary", std::move(analysis.summary)},
              {"diagnostics", std::move(analysis.diagnostics)}};
}

std::string run_conflict(const Json& run_id, const std::string& stored_hash) {
  return "the validation run " + single_quoted(plain_text(run_id)) + " was already analyzed for the bundle " +
         stored_hash + "; a new bundle needs a new publish, which opens a new validation run";
}

Reply unknown_dataset(std::string_view ref) {
  return refused(404, "this compute node has no dataset with the id or name " + single_quoted(ref));
}

// The longest text a request may give a page: a sim's path or a caption, never a document.
constexpr std::size_t MAX_PAGE_TEXT_BYTES = 4096;

// What a request asks of its evidence page; `before` is the kept data of the page it is drawn against.
struct PageRequest {
  std::string sim;
  Json caption;  // null when none
  std::string before_id;
  std::optional<Json> before;
};

std::string page_text(const Json& value, std::string_view key) {
  if (!value.is_string())
    throw Refusal(422, "'evidence_page': " + single_quoted(key) + " must be a text, not " + kind_name(value));
  const std::string& text = value.get_ref<const std::string&>();
  if (text.size() > MAX_PAGE_TEXT_BYTES)
    throw Refusal(422, "'evidence_page': " + single_quoted(key) + " is " + std::to_string(text.size()) +
                           " bytes long; this compute node takes up to " +
                           std::to_string(MAX_PAGE_TEXT_BYTES));
  return text;
}

std::optional<PageRequest> page_request(const Json& body, const EvidencePages& pages,
                                        const Dataset& dataset) {
  const auto found = body.find("evidence_page");
  if (found == body.end()) return std::nullopt;
  const Json& page = *found;
  if (!page.is_object()) throw Refusal(422, "'evidence_page' must be an object, not " + kind_name(page));
  PageRequest request;
  const auto sim = page.find("sim");
  if (sim == page.end()) throw Refusal(422, "'evidence_page' has no 'sim': what the tool calls the sim");
  request.sim = page_text(*sim, "sim");
  if (const auto caption = page.find("caption"); caption != page.end())
    request.caption = page_text(*caption, "caption");
  const auto before = page.find("before_page");
  if (before == page.end()) return request;
  if (!before->is_string())
    throw Refusal(422, "'evidence_page': 'before_page' must be a text, not " + kind_name(*before));
  request.before_id = before->get<std::string>();
  // Checked before any file is looked at: an id is never a path.
  if (!is_page_id(request.before_id))
    throw Refusal(422,
                  "'before_page' is no evidence page id of this node: they read like "
                  "20261210T083000Z-0123456789abcdef");
  if (!pages.store) return request;
  request.before = pages.store->kept(request.before_id);
  if (!request.before)
    throw Refusal(422, "'before_page' names no evidence page of this node (it may have been removed): " +
                           request.before_id);
  const Json& of = request.before->at("dataset");
  if (of.at("uuid") != dataset.id)
    throw Refusal(422, "'before_page' " + request.before_id + " is a page of the dataset " +
                           single_quoted(of.at("name").get<std::string>()) + ", not of " +
                           single_quoted(dataset.name));
  return request;
}

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The before page's predictions of `key` in `episode`, with the recorded values at their rows; null
// when it has none (or its kept data is not whole).
Json before_series(const Json& kept, std::size_t episode, const std::string& key,
                   std::span<const double> truth) {
  const Json* series = &kept;
  for (const std::string& step : {std::string("series"), std::to_string(episode), key}) {
    if (!series->is_object() || !series->contains(step)) return nullptr;
    series = &(*series)[step];
  }
  if (!series->is_object()) return nullptr;
  const Json rows = series->value("rows", Json()), predicted = series->value("predicted", Json());
  if (!rows.is_array() || !predicted.is_array() || rows.size() != predicted.size()) return nullptr;
  Json recorded = Json::array();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].is_number_unsigned() || rows[i].get<std::size_t>() >= truth.size() ||
        !(predicted[i].is_number() || predicted[i].is_null()))
      return nullptr;
    const double value = truth[rows[i].get<std::size_t>()];
    recorded.push_back(std::isfinite(value) ? Json(value) : Json(nullptr));
  }
  return Json{{"rows", rows}, {"predicted", predicted}, {"recorded", std::move(recorded)}};
}

// What the page draws (page/page.js reads it), and what a later page keeps of it to draw as "before".
struct PageContent {
  Json data, kept;
};

PageContent page_content(const Request& request, const Analysis& analysis, const PageRequest& page) {
  const Dataset& dataset = *request.dataset;
  const std::string when = utc_now();
  const Json no_sensors = Json::array();
  const Json& scores = analysis.evaluation.is_null() ? no_sensors : analysis.evaluation["sensors"];
  const Json& diagnosed = analysis.diagnostics["sensors"];

  // Sensors scored, worst first; their index in the request.
  std::vector<std::size_t> scored;
  Json plan{{"scored", Json::array()},
            {"unscored", Json::array()},
            {"unmatched", Json::array()},
            {"actions", Json::array()}};
  for (std::size_t s = 0; s < request.sensors.size(); ++s) {
    const bool has_score = s < scores.size() && !scores[s]["score_percent"].is_null();
    if (has_score) scored.push_back(s);
    plan[has_score ? "scored" : "unscored"].push_back(request.sensors[s]->raw_name);
  }
  std::stable_sort(scored.begin(), scored.end(), [&](std::size_t a, std::size_t b) {
    return scores[a]["score_percent"].get<double>() < scores[b]["score_percent"].get<double>();
  });
  for (const Column& column : dataset.columns)
    if (column.role == Role::sensor &&
        std::find(request.sensors.begin(), request.sensors.end(), &column) == request.sensors.end())
      plan["unmatched"].push_back(column.raw_name);
  for (const std::string& key : request.action_keys) plan["actions"].push_back(dataset.column(key)->raw_name);

  Json sensors = Json::array();
  for (const std::size_t s : scored) {
    Json entry = scores[s];
    for (const char* figure : {"lag_rows", "bias", "gain", "correlation"})
      entry[figure] = diagnosed[s][figure];
    sensors.push_back(std::move(entry));
  }
  Json episodes = analysis.diagnostics["episode_scores"];
  std::stable_sort(episodes.begin(), episodes.end(), [](const Json& a, const Json& b) {
    const Json &x = a["score_percent"], &y = b["score_percent"];
    return !x.is_null() && (y.is_null() || x.get<double>() < y.get<double>());
  });

  Json series = Json::object(), kept_series = Json::object(), before_drawn = Json::object();
  for (std::size_t r = 0; r < request.rollouts.size(); ++r) {
    const Rollout& rollout = request.rollouts[r];
    const EpisodeRows& rows = dataset.episodes[rollout.episode];
    const std::string episode = std::to_string(rollout.episode);
    Json& drawn = series[episode] = Json::array();
    Json& kept = kept_series[episode] = Json::object();
    for (const std::size_t s : scored) {
      const Column& column = *request.sensors[s];
      const std::span<const double> truth(column.values.data() + rows.first, rows.count);
      Json one = drawn_series({truth, rollout.predicted[s]});
      kept[column.key] = Json{{"rows", one["rows"]}, {"predicted", one["predicted"]}};
      drawn.push_back(std::move(one));
      if (page.before) {
        Json before = before_series(*page.before, rollout.episode, column.key, truth);
        if (!before.is_null()) before_drawn[episode][column.key] = std::move(before);
      }
    }
  }

  const Json& score = analysis.summary["score_percent"];
  Json data{{"sim", page.sim},
            {"caption", page.caption},
            {"dataset", {{"uuid", dataset.id}, {"name", dataset.name}}},
            {"score_percent", score},
            {"episodes_count", request.rollouts.size()},
            {"max_lag_steps", request.max_lag},
            {"search_lag_rows", request.search_lag},
            {"when", when},
            {"warnings", analysis.warnings},
            {"hints", analysis.diagnostics["hints"]},
            {"episodes", std::move(episodes)},
            {"sensors", std::move(sensors)},
            {"plan", std::move(plan)},
            {"series", std::move(series)},
            {"before", nullptr}};
  if (page.before) {
    const Json& before = *page.before;
    data["before"] = Json{{"id", page.before_id},
                          {"sim", before.value("sim", Json())},
                          {"caption", before.value("caption", Json())},
                          {"score_percent", before.value("score_percent", Json())},
                          {"when", before.value("when", Json())},
                          {"series", std::move(before_drawn)}};
  }
  Json kept{{"dataset", data["dataset"]}, {"sim", page.sim}, {"caption", page.caption},
            {"score_percent", score},     {"when", when},    {"series", std::move(kept_series)}};
  return {std::move(data), std::move(kept)};
}

Json page_refused(const std::string& reason) {
  return Json{{"id", nullptr}, {"path", nullptr}, {"refused", reason}};
}

// The page written, or why not: a page that cannot be written never fails the score.
Json evidence_page(PageStore& store, const PageContent& content) {
  try {
    const std::string id = store.write(evidence_page_html(content.data), content.kept);
    return Json{{"id", id}, {"path", store.path_of(id).string()}};
  } catch (const std::exception& e) {
    return page_refused(std::string("the evidence page could not be written: ") + e.what());
  }
}

const char* role_name(Role role) {
  return role == Role::sensor ? "sensor" : "action";
}

Json summary(const Dataset& dataset) {
  return Json{{"id", dataset.id},
              {"name", dataset.name},
              {"cycles", {{"count", dataset.episodes.size()}}},
              {"n_rows", dataset.n_rows}};
}

Json column_entry(const Column& column) {
  return Json{{"key", column.key}, {"raw_name", column.raw_name}, {"role", role_name(column.role)}};
}

// The middle count, or the mean of the two middle ones: a whole number when it is one.
Json median(std::vector<std::size_t> counts) {
  std::sort(counts.begin(), counts.end());
  const std::size_t half = counts.size() / 2;
  if (counts.size() % 2 == 1) return counts[half];
  const std::size_t sum = counts[half - 1] + counts[half];
  if (sum % 2 == 0) return sum / 2;
  return static_cast<double>(sum) / 2;
}

Json episode_stats(const Dataset& dataset) {
  std::vector<std::size_t> counts;
  for (const EpisodeRows& rows : dataset.episodes) counts.push_back(rows.count);
  Json rows = Json{{"min", nullptr}, {"median", nullptr}, {"max", nullptr}};
  if (!counts.empty()) {
    const auto [low, high] = std::minmax_element(counts.begin(), counts.end());
    rows = Json{{"min", *low}, {"median", median(counts)}, {"max", *high}};
  }
  return Json{{"count", dataset.episodes.size()}, {"rows", std::move(rows)}};
}

// What a listing may tell of a column: its missing cells, and for an action its range. A sensor's
// values stay here.
Json column_stats(const Column& column) {
  Json entry = column_entry(column);
  entry["missing"] = std::count_if(column.values.begin(), column.values.end(),
                                   [](double value) { return std::isnan(value); });
  if (column.role == Role::action) {
    Json low = nullptr, high = nullptr;
    for (const double value : column.values) {
      if (std::isnan(value)) continue;
      if (low.is_null() || value < low.get<double>()) low = value;
      if (high.is_null() || value > high.get<double>()) high = value;
    }
    entry["min"] = std::move(low);
    entry["max"] = std::move(high);
  }
  return entry;
}

}  // namespace

Service::Service(Catalog catalog, Catalog::Log log, RunIndex runs, EvidencePages pages)
    : log_(std::move(log)),
      catalog_(std::make_shared<const Catalog>(std::move(catalog))),
      runs_(std::move(runs)),
      pages_(std::move(pages)) {}

std::size_t Service::runs_kept() const {
  const std::lock_guard lock(runs_mutex_);
  return runs_.runs();
}

std::size_t Service::answers_kept() const {
  const std::lock_guard lock(runs_mutex_);
  return runs_.answers();
}

std::shared_ptr<const Catalog> Service::catalog() const {
  const std::lock_guard lock(catalog_mutex_);
  return catalog_;
}

std::shared_ptr<const Catalog> Service::rescan() {
  const std::lock_guard scanning(scan_mutex_);
  auto next = std::make_shared<const Catalog>(catalog()->rescanned(log_));
  const std::lock_guard lock(catalog_mutex_);
  catalog_ = next;
  return next;
}

std::shared_ptr<const Catalog> Service::catalog_with(std::string_view ref, bool by_id_only) {
  std::shared_ptr<const Catalog> current = catalog();
  if (by_id_only ? current->by_id(ref) : current->by_ref(ref)) return current;
  return rescan();
}

Reply Service::datasets() {
  const std::shared_ptr<const Catalog> catalog = rescan();
  Json served = Json::array(), skipped = Json::array();
  for (const CatalogEntry& entry : catalog->entries()) {
    if (entry.dataset)
      served.push_back(summary(*entry.dataset));
    else
      skipped.push_back(Json{{"folder", entry.folder.filename().string()}, {"reason", entry.failure}});
  }
  return {200, dump_json(Json{{"datasets", std::move(served)}, {"skipped", std::move(skipped)}})};
}

Reply Service::dataset(std::string_view ref) {
  const std::shared_ptr<const Catalog> catalog = catalog_with(ref, false);
  const Dataset* dataset = catalog->by_ref(ref);
  if (!dataset) return unknown_dataset(ref);
  Json record = summary(*dataset);
  Json& columns = record["columns"] = Json::array();
  for (const Column& column : dataset->columns) columns.push_back(column_entry(column));
  return {200, dump_json(record)};
}

Reply Service::dataset_stats(std::string_view ref) {
  const std::shared_ptr<const Catalog> catalog = catalog_with(ref, false);
  const Dataset* dataset = catalog->by_ref(ref);
  if (!dataset) return unknown_dataset(ref);
  Json columns = Json::array();
  for (const Column& column : dataset->columns) columns.push_back(column_stats(column));
  return {200, dump_json(Json{{"id", dataset->id},
                              {"name", dataset->name},
                              {"n_rows", dataset->n_rows},
                              {"episodes", episode_stats(*dataset)},
                              {"columns", std::move(columns)}})};
}

Reply Service::analysis_actions(std::string_view text) {
  const std::lock_guard one_at_a_time(analysis_mutex_);
  try {
    const Json value = parse_body(text);
    const Json& body = object_body(value);
    const std::string id = text_member(body, "dataset_uuid");
    const std::shared_ptr<const Catalog> catalog = catalog_with(id, true);
    const Dataset& dataset = dataset_of(*catalog, id);
    std::vector<std::size_t> episodes;
    std::vector<bool> chosen(dataset.episodes.size());
    for (const Json& value : list_member(body, "episodes")) {
      const std::size_t episode = episode_of(value, dataset);
      if (!chosen[episode]) episodes.push_back(episode);
      chosen[episode] = true;
    }

    std::vector<const Column*> actions;
    Json raw_names = Json::object(), sensor_keys = Json::array(), action_keys = Json::array();
    for (const Column& column : dataset.columns) {
      raw_names[column.key] = column.raw_name;
      (column.role == Role::sensor ? sensor_keys : action_keys).push_back(column.key);
      if (column.role == Role::action) actions.push_back(&column);
    }

    // Written directly: the action lists are the bulk of the answer, and a JSON tree of them would cost
    // more than the request itself.
    std::size_t values = 0;
    for (std::size_t episode : episodes) values += dataset.episodes[episode].count * actions.size();
    std::string out;
    out.reserve(256 + values * 12);
    out += "{\"episodes\":[";
    for (std::size_t e = 0; e < episodes.size(); ++e) {
      const EpisodeRows& rows = dataset.episodes[episodes[e]];
      if (e) out += ',';
      out += "{\"episode\":" + std::to_string(episodes[e]) + ",\"n_rows\":" + std::to_string(rows.count) +
             ",\"actions\":{";
      for (std::size_t a = 0; a < actions.size(); ++a) {
        if (a) out += ',';
        out += dump_json(Json(actions[a]->key));
        out += ":[";
        for (std::size_t i = 0; i < rows.count; ++i) {
          if (i) out += ',';
          append_number(out, actions[a]->values[rows.first + i]);
        }
        out += ']';
      }
      out += "}}";
    }
    out += "],\"raw_names\":" + dump_json(raw_names) + ",\"sensor_variables\":" + dump_json(sensor_keys) +
           ",\"action_variables\":" + dump_json(action_keys) + "}";
    return {200, std::move(out)};
  } catch (const Refusal& refusal) {
    return refused(refusal.status(), refusal.what());
  }
}

Reply Service::score_rollouts(std::string_view text) {
  TextBuffer bytes(text);
  return score_rollouts(bytes);
}

Reply Service::score_rollouts(std::streambuf& bytes) {
  try {
    const RolloutsBody parsed = read_body(bytes);
    const std::lock_guard one_at_a_time(analysis_mutex_);
    const Json& body = object_body(parsed.value);
    Request request;
    request.body = &parsed;
    const std::string id = text_member(body, "dataset_uuid");
    request.catalog = catalog_with(id, true);
    request.dataset = &dataset_of(*request.catalog, id);
    request.search_lag = search_lag_of(body);
    read_scored(request, body);
    const std::optional<PageRequest> page = page_request(body, pages_, *request.dataset);
    Analysis analyzed = analysis(request);
    if (!page) return {200, dump_json(score_answer(std::move(analyzed)))};
    Json written = pages_.store ? evidence_page(*pages_.store, page_content(request, analyzed, *page))
                                : page_refused(pages_.refusal);
    Json answer = score_answer(std::move(analyzed));
    answer["evidence_page"] = std::move(written);
    return {200, dump_json(answer)};
  } catch (const Refusal& refusal) {
    return refused(refusal.status(), refusal.what());
  }
}

Reply Service::analyze_rollouts(std::string_view text) {
  TextBuffer bytes(text);
  return analyze_rollouts(bytes);
}

Reply Service::analyze_rollouts(std::streambuf& bytes) {
  try {
    // Read while it arrives, side by side with other requests: it takes what its predictions take.
    const RolloutsBody parsed = read_body(bytes);
    const std::lock_guard one_at_a_time(analysis_mutex_);
    const Json& body = object_body(parsed.value);
    Request request;
    request.body = &parsed;
    request.run_id = id_member(body, "validation_run_id");
    request.bundle_hash = text_member(body, "bundle_content_hash");
    if (request.bundle_hash.empty()) throw Refusal(422, "'bundle_content_hash' must not be empty");
    check_length("bundle_content_hash", request.bundle_hash);
    const std::string run_key = request.run_id.dump();
    {
      const std::lock_guard lock(runs_mutex_);
      if (const RunIndex::Run* run = runs_.find(run_key)) {
        if (run->bundle_hash != request.bundle_hash)
          return refused(409, run_conflict(request.run_id, run->bundle_hash));
        if (run->answer) return {200, *run->answer};
      }
    }

    const std::string id = text_member(body, "dataset_uuid");
    request.catalog = catalog_with(id, true);
    request.dataset = &dataset_of(*request.catalog, id);
    request.simulator_id = id_member(body, "simulator_id");
    request.implementation_id = id_member(body, "simulator_implementation_id");
    read_scored(request, body);
    std::string answer = dump_json(validation_answer(request, analysis(request)));

    // Two requests of one run may have raced here; the first stored answer is the run's answer.
    const std::lock_guard lock(runs_mutex_);
    const RunIndex::Run& run = runs_.record(run_key, request.bundle_hash, std::move(answer));
    if (run.bundle_hash != request.bundle_hash)
      return refused(409, run_conflict(request.run_id, run.bundle_hash));
    return {200, *run.answer};
  } catch (const Refusal& refusal) {
    return refused(refusal.status(), refusal.what());
  }
}

}  // namespace nalto::node_app
