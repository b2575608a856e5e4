#include <algorithm>
#include <cmath>
#include <limits>

#include "compute_node.hpp"

namespace nalto::node_app {

namespace {

struct Sums {
  std::size_t n = 0;
  double squared_error = 0;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
};

// Truth row i against prediction row i + lag, over the rows the predictions reach.
Sums compare(std::span<const SeriesPair> episodes, std::size_t lag) {
  Sums sums;
  for (const SeriesPair& episode : episodes) {
    const std::size_t reached = std::min(episode.truth.size(), episode.predicted.size());
    if (reached <= lag) continue;
    const double* truth = episode.truth.data();
    const double* predicted = episode.predicted.data() + lag;
    for (std::size_t i = 0; i < reached - lag; ++i) {
      const double t = truth[i], p = predicted[i];
      if (std::isnan(t) || std::isnan(p)) continue;
      const double error = p - t;
      sums.squared_error += error * error;
      sums.low = std::min(sums.low, t);
      sums.high = std::max(sums.high, t);
      ++sums.n;
    }
  }
  return sums;
}

SensorFit fit_of(const Sums& sums, std::size_t lag) {
  SensorFit fit{.lag_steps = lag, .n_rows = sums.n};
  const double rmse = std::sqrt(sums.squared_error / static_cast<double>(sums.n));
  double scale = sums.high - sums.low;
  // A truth that never moves has no range: the error is then measured against its level, and a
  // truth of constant zero against one unit of it.
  if (!(scale > 0)) {
    scale = std::abs(sums.low);
    fit.scale = Scale::level;
    if (!(scale > 0)) {
      scale = 1;
      fit.scale = Scale::unit;
    }
  }
  fit.nrmse = rmse / scale;
  fit.score_percent = 100 * std::max(0.0, 1 - fit.nrmse);
  return fit;
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

}  // namespace nalto::node_app
