#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>
#include <utility>

#include "compute_node.hpp"

namespace nalto::node_app {

namespace {

// The errors are taken against the truth plus `shift`: 0 for the score; for the signed search, the mean
// error at lag 0, so that the error's variance is not lost where a large offset cancels against itself.
struct Sums {
  double shift = 0;
  std::size_t n = 0;
  double error = 0, squared_error = 0;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
};

void add(Sums& sums, double t, double p) {
  if (std::isnan(t) || std::isnan(p)) return;
  const double error = p - (t + sums.shift);
  sums.squared_error += error * error;
  sums.error += error;
  sums.low = std::min(sums.low, t);
  sums.high = std::max(sums.high, t);
  ++sums.n;
}

// Truth row i against prediction row i + lag, over the rows the predictions reach.
Sums compare(std::span<const SeriesPair> episodes, std::size_t lag) {
  Sums sums;
  for (const SeriesPair& episode : episodes) {
    const std::size_t reached = std::min(episode.truth.size(), episode.predicted.size());
    if (reached <= lag) continue;
    const double* truth = episode.truth.data();
    const double* predicted = episode.predicted.data() + lag;
    for (std::size_t i = 0; i < reached - lag; ++i) add(sums, truth[i], predicted[i]);
  }
  return sums;
}

struct Rows {
  std::size_t first = 0, end = 0;
};

// The truth rows that a signed lag compares in an episode whose predictions reach `reached` rows: truth
// row i against predicted row i + lag, both within the reached rows.
Rows truth_rows(std::size_t reached, std::ptrdiff_t lag) {
  const auto distance = static_cast<std::size_t>(lag < 0 ? -lag : lag);
  if (reached <= distance) return {};
  return lag < 0 ? Rows{distance, reached} : Rows{0, reached - distance};
}

bool has_missing(std::span<const double> values) {
  return std::any_of(values.begin(), values.end(), [](double value) { return std::isnan(value); });
}

// The sums of the lags first .. first + G - 1 at once: the rows that all of them compare are read once,
// and the lags' sums grow side by side rather than each waiting on its own previous row. Each lag still
// adds its rows in row order, so its sums are those that a pass of its own would give.
template <std::size_t G>
void compare_lags(std::span<const SeriesPair> episodes, std::span<const char> missing, std::ptrdiff_t first,
                  Sums* sums) {
  for (std::size_t e = 0; e < episodes.size(); ++e) {
    const SeriesPair& episode = episodes[e];
    const std::size_t reached = std::min(episode.truth.size(), episode.predicted.size());
    const double* truth = episode.truth.data();
    const double* predicted = episode.predicted.data();
    std::array<Rows, G> rows;
    std::size_t shared_first = 0, shared_end = reached;
    for (std::size_t g = 0; g < G; ++g) {
      rows[g] = truth_rows(reached, first + static_cast<std::ptrdiff_t>(g));
      shared_first = std::max(shared_first, rows[g].first);
      shared_end = std::min(shared_end, rows[g].end);
    }
    if (shared_first >= shared_end) shared_first = shared_end = reached;
    const auto at = [&](std::size_t i, std::size_t g) {
      return predicted[static_cast<std::ptrdiff_t>(i) + first + static_cast<std::ptrdiff_t>(g)];
    };
    for (std::size_t g = 0; g < G; ++g)
      for (std::size_t i = rows[g].first; i < std::min(rows[g].end, shared_first); ++i)
        add(sums[g], truth[i], at(i, g));
    if (missing[e]) {
      for (std::size_t i = shared_first; i < shared_end; ++i)
        for (std::size_t g = 0; g < G; ++g) add(sums[g], truth[i], at(i, g));
    } else if (shared_first < shared_end) {
      // Without a missing value every lag compares every shared row: the range and the count are the
      // same for all, and only the errors differ. The lags share one shift.
      const double shift = sums[0].shift;
      std::array<double, G> errors, squares;
      for (std::size_t g = 0; g < G; ++g) {
        errors[g] = sums[g].error;
        squares[g] = sums[g].squared_error;
      }
      double low = truth[shared_first], high = low;
      for (std::size_t i = shared_first; i < shared_end; ++i) {
        low = std::min(low, truth[i]);
        high = std::max(high, truth[i]);
      }
      for (std::size_t i = shared_first; i < shared_end; ++i) {
        const double t = truth[i] + shift;
        const double* p = predicted + static_cast<std::ptrdiff_t>(i) + first;
        // Unrolled, the lags' sums stay in registers.
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
          const double error = p[g] - t;
          squares[g] += error * error;
          errors[g] += error;
        }
      }
      for (std::size_t g = 0; g < G; ++g) {
        sums[g].low = std::min(sums[g].low, low);
        sums[g].high = std::max(sums[g].high, high);
        sums[g].n += shared_end - shared_first;
        sums[g].error = errors[g];
        sums[g].squared_error = squares[g];
      }
    }
    for (std::size_t g = 0; g < G; ++g)
      for (std::size_t i = std::max(rows[g].first, shared_end); i < rows[g].end; ++i)
        add(sums[g], truth[i], at(i, g));
  }
}

// Every pair of values that `lag` compares, both present.
template <class Visit>
void for_each_pair(std::span<const SeriesPair> episodes, std::ptrdiff_t lag, Visit visit) {
  for (const SeriesPair& episode : episodes) {
    const Rows rows = truth_rows(std::min(episode.truth.size(), episode.predicted.size()), lag);
    for (std::size_t i = rows.first; i < rows.end; ++i) {
      const double t = episode.truth[i], p = episode.predicted[static_cast<std::ptrdiff_t>(i) + lag];
      if (!std::isnan(t) && !std::isnan(p)) visit(t, p);
    }
  }
}

// The moments at one lag in two passes, the means first: sums of squares around the means do not
// cancel away their digits the way raw sums of squares do on values far from zero.
SensorDiagnosis describe(std::span<const SeriesPair> episodes, std::ptrdiff_t lag) {
  SensorDiagnosis diagnosis{.lag_rows = lag};
  double sum_truth = 0, sum_predicted = 0, sum_error = 0;
  double low_truth = std::numeric_limits<double>::infinity(), high_truth = -low_truth;
  double low_predicted = low_truth, high_predicted = -low_truth;
  std::size_t n = 0;
  for_each_pair(episodes, lag, [&](double t, double p) {
    sum_truth += t;
    sum_predicted += p;
    sum_error += p - t;
    low_truth = std::min(low_truth, t);
    high_truth = std::max(high_truth, t);
    low_predicted = std::min(low_predicted, p);
    high_predicted = std::max(high_predicted, p);
    ++n;
  });
  diagnosis.n_rows = n;
  const double count = static_cast<double>(n);
  const double mean_truth = sum_truth / count, mean_predicted = sum_predicted / count;
  double truth_squares = 0, predicted_squares = 0, products = 0;
  for_each_pair(episodes, lag, [&](double t, double p) {
    truth_squares += (t - mean_truth) * (t - mean_truth);
    predicted_squares += (p - mean_predicted) * (p - mean_predicted);
    products += (t - mean_truth) * (p - mean_predicted);
  });
  const double variance_truth = truth_squares / count, covariance = products / count;
  diagnosis.bias = sum_error / count;
  diagnosis.sd_truth = std::sqrt(variance_truth);
  diagnosis.sd_predicted = std::sqrt(predicted_squares / count);
  // A side that never moves has no spread to divide by; the test is on its values, which rounding of
  // the sums cannot blur.
  const bool truth_varies = low_truth < high_truth, predicted_varies = low_predicted < high_predicted;
  const auto finite = [](double value) { return std::isfinite(value) ? std::optional(value) : std::nullopt; };
  if (truth_varies) diagnosis.gain = finite(covariance / variance_truth);
  if (truth_varies && predicted_varies)
    diagnosis.correlation = finite(covariance / (diagnosis.sd_truth * diagnosis.sd_predicted));
  const double spread = diagnosis.sd_predicted - diagnosis.sd_truth;
  const double mse = diagnosis.bias * diagnosis.bias + spread * spread +
                     2 * (diagnosis.sd_predicted * diagnosis.sd_truth - covariance);
  if (mse > 0) {
    diagnosis.bias_share = diagnosis.bias * diagnosis.bias / mse;
    diagnosis.variance_share = spread * spread / mse;
  }
  return diagnosis;
}

// A truth that never moves has no range: the error is then measured against its level, and a truth of
// constant zero against one unit of it.
std::pair<Scale, double> scale_of(const Sums& sums) {
  if (sums.high - sums.low > 0) return {Scale::range, sums.high - sums.low};
  if (std::abs(sums.low) > 0) return {Scale::level, std::abs(sums.low)};
  return {Scale::unit, 1};
}

SensorFit fit_of(const Sums& sums, std::size_t lag) {
  SensorFit fit{.lag_steps = lag, .n_rows = sums.n};
  const double rmse = std::sqrt(sums.squared_error / static_cast<double>(sums.n));
  std::tie(fit.scale, fit.divisor) = scale_of(sums);
  fit.nrmse = rmse / fit.divisor;
  fit.score_percent = 100 * std::max(0.0, 1 - fit.nrmse);
  return fit;
}

// What the signed search weighs a lag by: the error's variance around its own mean, which an offset
// leaves alone, and the NRMSE for a tie.
struct LagError {
  double variance = 0, nrmse = 0;
};

LagError lag_error(const Sums& sums) {
  const auto n = static_cast<double>(sums.n);
  const double mean = sums.error / n;
  // Rounding may take a variance of 0 a hair below it; an overflow leaves it infinite or NaN, which
  // ranks last.
  const double spread = sums.squared_error / n - mean * mean;
  const double variance = spread < 0 ? 0 : spread;
  const double bias = sums.shift + mean;
  return {variance, std::sqrt(variance + bias * bias) / scale_of(sums).second};
}

bool fits_better(const LagError& candidate, const LagError& best) {
  const bool finite = std::isfinite(candidate.variance), best_finite = std::isfinite(best.variance);
  if (!finite || !best_finite) return finite && !best_finite;
  if (std::abs(candidate.variance - best.variance) > 1e-12 * std::max(candidate.variance, best.variance))
    return candidate.variance < best.variance;
  return candidate.nrmse < best.nrmse;
}

// The mean error at lag 0, or 0 when there is none to take.
double mean_error(std::span<const SeriesPair> episodes) {
  double total = 0;
  std::size_t n = 0;
  for_each_pair(episodes, 0, [&](double t, double p) {
    total += p - t;
    ++n;
  });
  if (n == 0) return 0;
  const double mean = total / static_cast<double>(n);
  return std::isfinite(mean) ? mean : 0;
}

}  // namespace

std::size_t rows_compared(std::span<const SeriesPair> episodes) {
  return compare(episodes, 0).n;
}

std::optional<SensorFit> fit_sensor(std::span<const SeriesPair> episodes, std::size_t max_lag,
                                    std::size_t min_rows) {
  std::size_t longest = 0;
  for (const SeriesPair& episode : episodes)
    longest = std::max(longest, std::min(episode.truth.size(), episode.predicted.size()));
  if (longest == 0) return std::nullopt;
  max_lag = std::min({max_lag, longest - 1, MAX_SEARCHED_LAG});

  std::optional<SensorFit> best;
  std::size_t rows_at_zero = 0;
  for (std::size_t lag = 0; lag <= max_lag; ++lag) {
    const Sums sums = compare(episodes, lag);
    if (lag == 0) rows_at_zero = sums.n;
    // A lag that leaves only a sliver of the rows would win by comparing almost nothing.
    if (sums.n == 0 || sums.n < min_rows || 2 * sums.n < rows_at_zero) continue;
    const SensorFit fit = fit_of(sums, lag);
    if (!best || fit.nrmse < best->nrmse) best = fit;
  }
  return best;
}

std::optional<SensorDiagnosis> diagnose_sensor(std::span<const SeriesPair> episodes, std::size_t search,
                                               std::size_t min_rows) {
  std::size_t longest = 0;
  for (const SeriesPair& episode : episodes)
    longest = std::max(longest, std::min(episode.truth.size(), episode.predicted.size()));
  if (longest == 0) return std::nullopt;
  const auto reach = static_cast<std::ptrdiff_t>(std::min({search, longest - 1, MAX_SEARCHED_LAG}));

  std::vector<char> missing;  // by episode
  for (const SeriesPair& episode : episodes) {
    const std::size_t reached = std::min(episode.truth.size(), episode.predicted.size());
    missing.push_back(has_missing(episode.truth.first(reached)) ||
                      has_missing(episode.predicted.first(reached)));
  }

  std::vector<Sums> sums(static_cast<std::size_t>(2 * reach + 1),  // of lag -reach + i at i
                         Sums{.shift = mean_error(episodes)});
  const auto at = [&](std::ptrdiff_t k) -> Sums& { return sums[static_cast<std::size_t>(k + reach)]; };
  std::ptrdiff_t lag = -reach;
  for (; lag + 7 <= reach; lag += 8) compare_lags<8>(episodes, missing, lag, &at(lag));
  for (; lag + 3 <= reach; lag += 4) compare_lags<4>(episodes, missing, lag, &at(lag));
  for (; lag <= reach; ++lag) compare_lags<1>(episodes, missing, lag, &at(lag));

  const std::size_t rows_at_zero = at(0).n;
  std::optional<std::ptrdiff_t> best;
  LagError best_error;
  // 0, 1, -1, 2, -2, ...: a later lag must fit strictly better.
  for (std::ptrdiff_t step = 0; step <= 2 * reach; ++step) {
    const std::ptrdiff_t k = step % 2 ? (step + 1) / 2 : -(step / 2);
    const Sums& each = at(k);
    if (each.n == 0 || each.n < min_rows || 2 * each.n < rows_at_zero) continue;
    const LagError error = lag_error(each);
    if (!best || fits_better(error, best_error)) {
      best = k;
      best_error = error;
    }
  }
  if (!best) return std::nullopt;
  SensorDiagnosis diagnosis = describe(episodes, *best);
  diagnosis.error_variance = best_error.variance;
  diagnosis.nrmse = best_error.nrmse;
  return diagnosis;
}

std::optional<double> episode_score(const SeriesPair& episode, const SensorFit& fit, std::size_t min_rows) {
  const Sums sums = compare({&episode, 1}, fit.lag_steps);
  if (sums.n == 0 || sums.n < min_rows) return std::nullopt;
  return 100 * std::max(0.0, 1 - std::sqrt(sums.squared_error / static_cast<double>(sums.n)) / fit.divisor);
}

std::optional<SharedShift> shared_shift(std::span<const std::ptrdiff_t> lags) {
  std::map<std::ptrdiff_t, std::size_t> counts;
  for (const std::ptrdiff_t lag : lags) ++counts[lag];
  std::optional<SharedShift> best;
  for (const auto& [rows, sensors] : counts)
    if (rows != 0 && 2 * sensors > lags.size() && (!best || sensors > best->sensors)) best = {rows, sensors};
  if (!best) return std::nullopt;
  for (const std::ptrdiff_t lag : lags)
    if ((lag < 0) != (best->rows < 0) && lag != 0) return std::nullopt;
  return best;
}

}  // namespace nalto::node_app
