#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "nalto/analysis/analysis.hpp"
#include "nalto/main/sim_publish_report.hpp"
#include "nalto/support/json.hpp"

namespace nalto {

struct ScoreOptions {
  int max_episodes = DEFAULT_MAX_EPISODES;
  Json env_init = Json::object();
  double call_timeout_s = 300;
  std::size_t jobs = 1;
  std::int64_t max_lag_steps = DEFAULT_MAX_LAG_STEPS;
  std::int64_t search_lag_rows = DEFAULT_SEARCH_LAG_ROWS;
  bool evidence_page = false;  // the node draws the sim against the recording into a page of its own
  AnalysisHooks hooks;
  std::function<void(const Json& result)> analyzed;  // the node's answer, as soon as it is known
};

// Scores the sim at `path` against the dataset as a publish would, without the platform: the same
// episodes, replay and analysis, on the node's claim-free endpoint. Prints the node's warnings and
// hints, the score line, the worst episodes and the evidence page; returns the node's answer. A dataset the
// node lacks, a failed replay, or an answer that scored nothing: PublishReportError.
asio::awaitable<Json> score_sim(std::string path, std::string dataset_ref, ScoreOptions options);

// The per-episode scores of the diagnostics, worst first (an episode without a score last).
std::vector<Json> episodes_worst_first(const Json& result);

}  // namespace nalto
