#include <cmath>

#include "nalto/analysis/analysis.hpp"

namespace nalto {

std::vector<std::int64_t> pick_episodes(std::int64_t n_episodes, std::int64_t max_episodes) {
  std::vector<std::int64_t> episodes;
  if (n_episodes <= max_episodes) {
    for (std::int64_t i = 0; i < n_episodes; ++i) episodes.push_back(i);
    return episodes;
  }
  if (max_episodes == 1) return {0};
  if (max_episodes <= 0) return episodes;
  const double step = static_cast<double>(n_episodes - 1) / static_cast<double>(max_episodes - 1);
  for (std::int64_t i = 0; i < max_episodes; ++i) {
    // Ties to even, as the platform rounds; the step exceeds 1, so the values are already distinct.
    const auto episode = static_cast<std::int64_t>(std::nearbyint(static_cast<double>(i) * step));
    if (episodes.empty() || episodes.back() != episode) episodes.push_back(episode);
  }
  return episodes;
}

}  // namespace nalto
