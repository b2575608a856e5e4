#pragma once

// Rollouts for the benches of the analysis body: predictions of full precision, as a sim's
// floating-point state gives them.

#include <random>
#include <string>
#include <vector>

#include "nalto/analysis/internal.hpp"

namespace nalto::bench {

// `episodes` episodes of `rows` rows, each with the sensor columns "s0", "s1", ...
inline std::vector<detail::Rollout> random_rollouts(int episodes, int rows, int sensors) {
  std::mt19937_64 random(12);
  std::uniform_real_distribution<double> value(15, 30);
  std::vector<detail::Rollout> rollouts;
  for (int e = 0; e < episodes; ++e) {
    detail::Predictions episode;
    for (int s = 0; s < sensors; ++s) {
      episode.columns.push_back("s" + std::to_string(s));
      std::vector<double> values(static_cast<std::size_t>(rows));
      for (double& v : values) v = value(random);
      episode.values.push_back(std::move(values));
    }
    rollouts.push_back({Json(e), std::move(episode)});
  }
  return rollouts;
}

// The plan that predicts those columns, sensor s from the slot "[s]", its core name "sensor s".
inline Plan sensors_plan(int sensors) {
  std::vector<SlotColumn> pairs;
  std::vector<std::string> core;
  for (int s = 0; s < sensors; ++s) {
    pairs.emplace_back("[" + std::to_string(s) + "]", "s" + std::to_string(s));
    core.push_back("sensor " + std::to_string(s));
  }
  return Plan{.sensors = pairs, .actions = {}, .core = core};
}

}  // namespace nalto::bench
