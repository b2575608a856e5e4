#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "nalto/analysis/analysis.hpp"
#include "nalto/calibrate/parameters.hpp"
#include "nalto/main/answer.hpp"
#include "nalto/main/sim_publish_report.hpp"
#include "nalto/support/json.hpp"

namespace nalto {

struct CalibrateOptions {
  std::vector<calibrate::Parameter> parameters;
  Json env_init = Json::object();  // the base every candidate's values are merged into
  std::size_t budget = 80;         // evaluations on the fit episodes, the start's included
  std::size_t jobs = 1;            // candidates evaluated side by side, each on one sim
  std::optional<double> holdout;   // none: 0.25 of 8 episodes or more, else none held out
  int max_episodes = DEFAULT_MAX_EPISODES;
  std::uint64_t seed = 0;
  double call_timeout_s = 300;
  std::int64_t max_lag_steps = DEFAULT_MAX_LAG_STEPS;
  bool evidence_page = false;  // a page of the node's: the best values against the recording, and the start's
};

// One scoring of a set of values.
struct Evaluation {
  std::size_t number = 0;  // counted from 1 on the fit episodes, where the start is 1; 0 elsewhere
  std::vector<double> values;
  std::optional<double> objective;  // the mean NRMSE of the scored sensors; none when it failed
  Json result;                      // the node's answer; null when there is none
  std::string failure;              // why it failed
  std::optional<ReplayEvidence> evidence;
};

// The scores a result gives: the whole and each sensor's, by raw name; null where there is none.
Json score_of(const Json& result);

// What a calibration knows as it goes. The caller holds it, so that what was found survives a failure
// or an interruption.
struct Calibration {
  std::vector<calibrate::Parameter> parameters;
  std::vector<double> start;
  std::vector<Json> fit_episodes, holdout_episodes;  // the dataset's episode numbers
  std::size_t evaluations = 0, failed = 0;
  std::optional<Evaluation> baseline;  // the start on the fit episodes, once scored
  std::optional<Evaluation> best;      // the best scored on the fit episodes, the start included
  std::optional<Evaluation> last_failed;
  Json holdout_before, holdout_after;  // the node's answers on the held-out episodes
  // Per parameter: its probe, the start with that value alone moved, left the objective exactly as it
  // was. A misspelt path calibrates nothing.
  std::vector<bool> unmoved;
  // With CalibrateOptions::evidence_page, once the run has ended well: the node's page of the best values
  // on the fit episodes, the start's drawn with them, or why there is none.
  std::optional<EvidencePage> evidence_page;

  // Whether the best improves on the start.
  bool improved() const;
  // The best values, or the start's while none scored better.
  const std::vector<double>& best_values() const;
  // Whether parameter `i`'s best value improves on the start at one of its bounds, where the search stopped.
  bool best_at_bound(std::size_t i) const;
};

struct CalibrateHooks {
  // The sim's mappings and the dataset's columns, before the start is planned.
  std::function<void(const Json& mappings, const Json& columns)> mapped;
  // After each evaluation on the fit episodes, once `calibration` counts it.
  std::function<void(const Calibration& calibration, const Evaluation& evaluation)> evaluated;
};

// "23 of 80 evaluations, 1 failed, best 98.71, 4.2/min, about 2 min left": the rate and the estimate
// once a minute's share has been measured.
std::string calibration_figures(std::size_t done, std::size_t budget, std::size_t failed,
                                const Json& best_score, double elapsed_s);

// The episodes held out of `n` picked: `fraction` of them (none: 0.25 from 8 on, else 0), at least one
// when a fraction is asked and one is left to fit; spread evenly. Positions, ascending.
std::vector<std::size_t> holdout_positions(std::size_t n, std::optional<double> fraction);

// Fits the parameters of the sim at `path` to the dataset: the start, a probe of each parameter, then
// the optimiser's candidates in batches of `jobs`, each replayed on a sim of its own over the fit
// episodes and scored on the node without a claim, until the budget is spent; then the best and the
// start on the held-out episodes, and with an evidence page, the best once more on the fit episodes for
// the node to draw against the start. A failed candidate is recorded and the run goes on. The start failing,
// or the first 5 candidates all failing: PublishReportError.
asio::awaitable<void> calibrate_sim(std::string path, std::string dataset_ref, CalibrateOptions options,
                                    Calibration& calibration, CalibrateHooks hooks = {});

}  // namespace nalto
