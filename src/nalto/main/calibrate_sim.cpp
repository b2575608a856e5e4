#include "nalto/main/calibrate_sim.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>
#include <variant>

#include "nalto/calibrate/search.hpp"
#include "nalto/console/console.hpp"
#include "nalto/main/answer.hpp"
#include "nalto/outside/compute_node.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/errors.hpp"

namespace nalto {

namespace {

// The candidates after the start whose failing all ends the run: a sim that fails whatever its values.
constexpr std::size_t FIRST_CANDIDATES = 5;
// The node reads at most this many bodies at once and refuses more.
constexpr std::size_t NODE_BODIES = 4;
// The default share of the episodes held out, and the fewest episodes it applies to.
constexpr double DEFAULT_HOLDOUT = 0.25;
constexpr std::size_t HOLDOUT_FROM = 8;
// A probe moves one parameter by this share of its search range.
constexpr double PROBE_STEP = 0.25;

struct Run {
  std::string path;
  const CalibrateOptions& options;
  Calibration& calibration;
  RecordedEpisodes fit, holdout;
  Slots node_slots{NODE_BODIES};
  std::int64_t rows_replayed = 0;  // by the start: a candidate that replays fewer stopped early
  std::int64_t holdout_rows_replayed = 0;
  std::size_t candidates = 0, candidates_scored = 0;
  std::chrono::steady_clock::time_point begun = std::chrono::steady_clock::now();
};

const Json* rows_replayed(const Json& result) {
  return member_at(result, {"dataset", "rows_replayed"});
}

// The mean NRMSE of the scored sensors, or why the result gives none.
std::variant<double, std::string> objective_of(const Json& result) {
  const Json& evaluation = evaluation_of(result);
  if (!evaluation.is_object())
    return nothing_scored_reason(warnings_of(result), "the compute node scored nothing");
  const Json* sensors = lookup(evaluation, "sensors");
  if (!sensors || !sensors->is_array() || sensors->empty())
    return std::string("the compute node scored no sensor");
  double total = 0;
  for (const Json& sensor : *sensors) {
    const Json* nrmse = member_at(sensor, {"nrmse"});
    if (!nrmse || !nrmse->is_number()) {
      const Json* name = member_at(sensor, {"raw_name"});
      return "'" + (name ? plain_text(*name) : std::string("?")) + "' was not scored";
    }
    total += nrmse->get<double>();
  }
  return total / static_cast<double>(sensors->size());
}

// Replays `episodes` with `values` and scores them; `rows`, when known, are the rows the start replayed
// over the same episodes. `page`, when not null, asks the node for an evidence page.
asio::awaitable<Evaluation> evaluate(Run& run, const RecordedEpisodes& episodes, std::vector<double> values,
                                     std::size_t jobs, std::int64_t rows, AnalysisHooks hooks = {},
                                     Json page = nullptr) {
  Evaluation evaluation{.values = values};
  ReplaySettings settings{
      .env_init = calibrate::with_values(run.options.env_init, run.calibration.parameters, values),
      .call_timeout_s = run.options.call_timeout_s,
      .jobs = jobs,
      .shown = false,
      .node_slots = &run.node_slots};
  hooks.replay_failed = [&evaluation](const ReplayEvidence& evidence) { evaluation.evidence = evidence; };
  // The diagnostics' lag search would only cost time here.
  ScoringRequest request = claim_free_scoring(run.options.max_lag_steps, 0);
  if (!page.is_null()) request.options.emplace_back("evidence_page", std::move(page));
  Attempt<Json> scored = co_await attempt(
      replay_and_score(run.path, episodes, std::move(request), std::move(settings), std::move(hooks)));
  if (!scored.ok()) {
    evaluation.failure = message_of(scored.failure());
    co_return evaluation;
  }
  evaluation.result = std::move(scored.value());
  std::variant<double, std::string> objective = objective_of(evaluation.result);
  if (std::holds_alternative<std::string>(objective)) {
    evaluation.failure = std::get<std::string>(objective);
    co_return evaluation;
  }
  const Json* replayed = rows_replayed(evaluation.result);
  if (rows && replayed && replayed->is_number_integer() && replayed->get<std::int64_t>() < rows) {
    // An episode that ended early, or a sensor that read no number, leaves rows out: fewer rows are no fit.
    evaluation.failure = "the sim stopped after " + std::to_string(replayed->get<std::int64_t>()) +
                         " of the " + std::to_string(rows) +
                         " rows the start replayed (an episode ended, or a sensor read no number)";
    co_return evaluation;
  }
  evaluation.objective = std::get<double>(objective);
  co_return evaluation;
}

bool better(const Evaluation& candidate, const std::optional<Evaluation>& best) {
  if (!candidate.objective) return false;
  if (!best || !best->objective) return true;
  // A tie goes to the earlier candidate, whatever order they ended in.
  return *candidate.objective < *best->objective ||
         (*candidate.objective == *best->objective && candidate.number < best->number);
}

void count(Run& run, const Evaluation& evaluation, Status& status, const CalibrateHooks& hooks) {
  Calibration& calibration = run.calibration;
  ++calibration.evaluations;
  if (!evaluation.objective) {
    ++calibration.failed;
    calibration.last_failed = evaluation;
  }
  if (better(evaluation, calibration.best)) calibration.best = evaluation;
  const double elapsed_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - run.begun).count();
  const Json best_score = calibration.best ? score_of(calibration.best->result)["score"] : Json();
  std::string figures = calibration_figures(calibration.evaluations, run.options.budget, calibration.failed,
                                            best_score, elapsed_s);
  if (calibration.best)
    figures += "; best at " + calibrate::values_text(calibration.parameters, calibration.best->values);
  status.draw(figures);
  if (hooks.evaluated) hooks.evaluated(calibration, evaluation);
}

// Evaluates the candidates side by side, each on one sim of its own over the fit episodes; answers
// them in their order.
asio::awaitable<std::vector<Evaluation>> evaluate_candidates(Run& run,
                                                             std::vector<std::vector<double>> candidates,
                                                             Status& status, const CalibrateHooks& hooks) {
  std::vector<Evaluation> evaluations(candidates.size());
  const std::size_t first_number = run.calibration.evaluations + 1;
  auto task = [&](std::size_t i) -> asio::awaitable<void> {
    Evaluation evaluation = co_await evaluate(run, run.fit, candidates[i], 1, run.rows_replayed);
    evaluation.number = first_number + i;
    count(run, evaluation, status, hooks);
    evaluations[i] = std::move(evaluation);
  };
  if (const std::optional<FirstFailure> failed = co_await attempt_all(candidates.size(), std::move(task)))
    std::rethrow_exception(failed->failure);

  run.candidates += evaluations.size();
  for (const Evaluation& evaluation : evaluations) run.candidates_scored += evaluation.objective.has_value();
  if (run.candidates >= FIRST_CANDIDATES && run.candidates_scored == 0) {
    const Evaluation& last = *run.calibration.last_failed;
    throw PublishReportError("The first " + std::to_string(run.candidates) +
                             " candidates all failed, the last one: " + last.failure);
  }
  co_return evaluations;
}

// The held-out episodes only show how the fit carries over: their failing ends nothing, and is told.
void keep_held_out(const Evaluation& held_out, const char* values, Json& kept) {
  if (held_out.objective)
    kept = held_out.result;
  else
    print_warnings(
        {"the held-out episodes could not be scored with " + std::string(values) + ": " + held_out.failure});
}

// What the node is asked to draw: `values`, named by `label`.
Json page_request(const Run& run, const std::string& label, const std::vector<double>& values) {
  return Json{{"sim", run.path},
              {"caption", label + ": " + calibrate::values_text(run.calibration.parameters, values)}};
}

asio::awaitable<void> score_start(Run& run, Status& status, const CalibrateHooks& hooks) {
  Calibration& calibration = run.calibration;
  AnalysisHooks seen{.mapped = hooks.mapped};
  Json page = run.options.evidence_page ? page_request(run, "start", calibration.start) : Json();
  Evaluation start = co_await evaluate(run, run.fit, calibration.start, run.options.jobs, 0, std::move(seen),
                                       std::move(page));
  start.number = 1;
  count(run, start, status, hooks);
  if (!start.objective)
    throw PublishReportError("The sim could not be scored with the start's values: " + start.failure);
  calibration.baseline = start;
  // What the node says of the start holds for every candidate: a sensor it cannot score, rows left out.
  print_warnings(warnings_of(start.result));
  if (const Json* rows = rows_replayed(start.result); rows && rows->is_number_integer())
    run.rows_replayed = rows->get<std::int64_t>();
  if (calibration.holdout_episodes.empty()) co_return;
  const Evaluation held_out = co_await evaluate(run, run.holdout, calibration.start, run.options.jobs, 0);
  keep_held_out(held_out, "the start's values", calibration.holdout_before);
  if (const Json* rows = rows_replayed(held_out.result); rows && rows->is_number_integer())
    run.holdout_rows_replayed = rows->get<std::int64_t>();
}

// The start with one parameter moved by a quarter of its range, inward.
std::vector<double> probe(const Calibration& calibration, std::size_t i) {
  const calibrate::Parameter& parameter = calibration.parameters[i];
  const double low = calibrate::to_search(parameter, parameter.low),
               high = calibrate::to_search(parameter, parameter.high);
  const double x = calibrate::to_search(parameter, calibration.start[i]), step = PROBE_STEP * (high - low);
  std::vector<double> values = calibration.start;
  values[i] = calibrate::from_search(parameter, x + step <= high ? x + step : x - step);
  return values;
}

asio::awaitable<std::vector<calibrate::Evaluated>> probe_each(Run& run, Status& status,
                                                              const CalibrateHooks& hooks) {
  Calibration& calibration = run.calibration;
  std::vector<calibrate::Evaluated> known{{calibration.start, calibration.baseline->objective}};
  const std::size_t n = std::min(calibration.parameters.size(), run.options.budget - calibration.evaluations);
  for (std::size_t from = 0; from < n; from += run.options.jobs) {
    std::vector<std::vector<double>> probes;
    for (std::size_t i = from; i < std::min(n, from + run.options.jobs); ++i)
      probes.push_back(probe(calibration, i));
    const std::vector<Evaluation> evaluated = co_await evaluate_candidates(run, probes, status, hooks);
    for (std::size_t k = 0; k < evaluated.size(); ++k) {
      known.push_back({evaluated[k].values, evaluated[k].objective});
      calibration.unmoved[from + k] = evaluated[k].objective == calibration.baseline->objective;
    }
  }
  co_return known;
}

asio::awaitable<void> search(Run& run, std::vector<calibrate::Evaluated> known, Status& status,
                             const CalibrateHooks& hooks) {
  Calibration& calibration = run.calibration;
  calibrate::Search search(calibration.parameters, known, run.options.seed);
  while (calibration.evaluations < run.options.budget) {
    const std::size_t n = std::min(run.options.jobs, run.options.budget - calibration.evaluations);
    const std::vector<Evaluation> evaluated = co_await evaluate_candidates(run, search.ask(n), status, hooks);
    std::vector<std::optional<double>> objectives;
    for (const Evaluation& evaluation : evaluated) objectives.push_back(evaluation.objective);
    search.tell(objectives);
  }
}

asio::awaitable<void> score_best_held_out(Run& run) {
  Calibration& calibration = run.calibration;
  if (calibration.holdout_episodes.empty()) co_return;
  if (!calibration.improved()) {
    calibration.holdout_after = calibration.holdout_before;
    co_return;
  }
  const Evaluation held_out = co_await evaluate(run, run.holdout, calibration.best->values, run.options.jobs,
                                                run.holdout_rows_replayed);
  keep_held_out(held_out, "the best values", calibration.holdout_after);
}

// The page of the best values on the fit episodes, with the start's page drawn on the same axes. A
// start that was not beaten is its own page; a page the node refused is told as refused.
asio::awaitable<void> draw_evidence_page(Run& run) {
  Calibration& calibration = run.calibration;
  calibration.evidence_page = evidence_page_of(calibration.baseline->result);
  if (!calibration.improved() || !calibration.evidence_page || calibration.evidence_page->path.empty())
    co_return;
  Json page = page_request(run, "calibrated", calibration.best->values);
  page["before_page"] = calibration.evidence_page->id;
  AnalysisHooks none;
  const Evaluation drawn = co_await evaluate(run, run.fit, calibration.best->values, run.options.jobs,
                                             run.rows_replayed, std::move(none), std::move(page));
  if (drawn.objective)
    calibration.evidence_page = evidence_page_of(drawn.result);
  else
    calibration.evidence_page = EvidencePage{
        .id = nullptr, .path = "", .refused = "the best values could not be scored again: " + drawn.failure};
}

std::vector<std::size_t> complement(std::size_t n, const std::vector<std::size_t>& taken) {
  std::vector<std::size_t> rest;
  for (std::size_t k = 0; k < n; ++k)
    if (!std::binary_search(taken.begin(), taken.end(), k)) rest.push_back(k);
  return rest;
}

}  // namespace

Json score_of(const Json& result) {
  Json sensors = Json::object();
  const Json* listed = member_at(evaluation_of(result), {"sensors"});
  if (listed && listed->is_array())
    for (const Json& sensor : *listed)
      if (const Json* name = member_at(sensor, {"raw_name"}); name && name->is_string()) {
        const Json* score = member_at(sensor, {"score_percent"});
        sensors[name->get<std::string>()] = score ? *score : Json();
      }
  const Json* score = member_at(evaluation_of(result), {"score_percent"});
  return Json{{"score", score ? *score : Json()}, {"sensors", std::move(sensors)}};
}

const std::vector<double>& Calibration::best_values() const {
  return best ? best->values : start;
}

bool Calibration::best_at_bound(std::size_t i) const {
  return improved() && calibrate::at_bound(parameters[i], best->values[i]);
}

bool Calibration::improved() const {
  return best && baseline && best->objective && baseline->objective &&
         *best->objective < *baseline->objective;
}

std::string calibration_figures(std::size_t done, std::size_t budget, std::size_t failed,
                                const Json& best_score, double elapsed_s) {
  std::string text = std::to_string(done) + " of " + std::to_string(budget) + " evaluations";
  if (failed) text += ", " + std::to_string(failed) + " failed";
  if (best_score.is_number()) text += ", best " + plain_text(best_score);
  if (done < 2 || elapsed_s < 1) return text;
  const double per_minute = static_cast<double>(done) * 60 / elapsed_s;
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.3g", per_minute);
  text += std::string(", ") + rate + "/min";
  if (done >= budget) return text;
  const double left_s = static_cast<double>(budget - done) * 60 / per_minute;
  text += left_s < 90 ? ", about " + std::to_string(static_cast<long>(std::ceil(left_s))) + " s left"
                      : ", about " + std::to_string(static_cast<long>(std::ceil(left_s / 60))) + " min left";
  return text;
}

std::vector<std::size_t> holdout_positions(std::size_t n, std::optional<double> fraction) {
  const double share = fraction.value_or(n >= HOLDOUT_FROM ? DEFAULT_HOLDOUT : 0);
  if (!(share > 0) || n < 2) return {};
  const std::size_t held = std::clamp<std::size_t>(
      static_cast<std::size_t>(std::llround(share * static_cast<double>(n))), 1, n - 1);
  std::vector<std::size_t> positions;
  for (std::size_t j = 0; j < held; ++j)
    positions.push_back(static_cast<std::size_t>((static_cast<double>(j) + 0.5) * static_cast<double>(n) /
                                                 static_cast<double>(held)));
  return positions;
}

asio::awaitable<void> calibrate_sim(std::string path, std::string dataset_ref, CalibrateOptions options,
                                    Calibration& calibration, CalibrateHooks hooks) {
  calibration.parameters = options.parameters;
  calibration.unmoved.assign(calibration.parameters.size(), false);
  calibration.start.clear();
  for (const calibrate::Parameter& parameter : options.parameters)
    calibration.start.push_back(calibrate::start_value(parameter, options.env_init));
  options.jobs = std::max<std::size_t>(1, options.jobs);

  Status status = console().status("Reading the dataset's recorded actions...", outside::status_trace());
  const Json dataset = co_await outside::resolve_node_dataset(std::move(dataset_ref));
  const RecordedEpisodes recorded = co_await read_recorded_episodes(dataset, options.max_episodes);
  const std::vector<Json> numbers = recorded_episode_numbers(recorded);
  const std::vector<std::size_t> held = holdout_positions(numbers.size(), options.holdout);
  const std::vector<std::size_t> fitted = complement(numbers.size(), held);
  Run run{.path = std::move(path),
          .options = options,
          .calibration = calibration,
          .fit = recorded_subset(recorded, fitted),
          .holdout = recorded_subset(recorded, held)};
  for (const std::size_t k : fitted) calibration.fit_episodes.push_back(numbers[k]);
  for (const std::size_t k : held) calibration.holdout_episodes.push_back(numbers[k]);

  status.update("Scoring the sim with the start's values...");
  co_await score_start(run, status, hooks);
  status.update("Calibrating the sim's parameters...");
  std::vector<calibrate::Evaluated> known = co_await probe_each(run, status, hooks);
  co_await search(run, std::move(known), status, hooks);
  if (!calibration.holdout_episodes.empty())
    status.update("Scoring the best values on the held-out episodes...");
  co_await score_best_held_out(run);
  if (!options.evidence_page) co_return;
  status.update("Scoring the best values again for the evidence page...");
  co_await draw_evidence_page(run);
}

}  // namespace nalto
