#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nalto/mapping/plan.hpp"
#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/json.hpp"

namespace nalto {

// Up to `max_episodes` episode numbers spread evenly over the dataset, first and last included when
// it must choose; ascending, without repeats.
std::vector<std::int64_t> pick_episodes(std::int64_t n_episodes, std::int64_t max_episodes);

// The sim's sensor and action mappings, {"sensors": [...], "actions": [...]}: from get_mappings(),
// or from its spaces when that fails in any way.
asio::awaitable<Json> sim_mappings(outside::SimClient& client);

// Replays one episode's recorded actions through the running sim; answers, per sensor column of the
// plan, the sim's value (a number or null) at every row it reached.
asio::awaitable<Json> rollout_episode(outside::SimClient& client, const Plan& plan, Json episode,
                                      double call_timeout_s);

// Where a replay stood when it failed and what the sim had printed, for the user to act on.
struct ReplayEvidence {
  std::string call;                      // the call into the sim made last: "Reset", "Step", ...
  Json episode;                          // the dataset's episode number; null before the first episode
  std::optional<std::int64_t> row;       // the row that call was to yield
  std::optional<int> exit_code;          // the sim's own exit code when it ended by itself (negative: signal)
  std::vector<std::string> output;       // the last lines the sim printed, oldest first
  std::optional<double> call_timeout_s;  // the time limit that call passed, when that ended the replay
};

// What an analysis lets its caller see as it goes; each may be left empty.
struct AnalysisHooks {
  // The sim's mappings and the dataset's columns, before they are planned (and perhaps refused).
  std::function<void(const Json& mappings, const Json& columns)> mapped;
  // Before the replay: the sim's mappings, the plan made of them and the dataset's columns.
  std::function<void(const Json& mappings, const Plan& plan, const Json& columns)> planned;
  std::function<void(const ReplayEvidence& evidence)> replay_failed;  // once the sim is stopped
};

// What the compute node is asked to score the rollouts for. A claim's members are read as the body is
// written, once the replay is done, like every other member of the body.
struct ScoringRequest {
  std::string endpoint;
  Json claim;                 // the claim whose validation run is analyzed; null for a score without one
  std::string bundle_sha256;  // the published bundle's, with a claim
  std::vector<std::pair<std::string, Json>> options;  // after the plan's columns, without a claim
};

// A publish's request: the claim's validation run, analyzed into an artifact for the platform.
ScoringRequest claimed_scoring(Json claim, std::string bundle_sha256);

// A score without the platform: no claim, no artifact; the diagnostics' lag search spans
// ±`search_lag_rows`.
ScoringRequest claim_free_scoring(std::int64_t max_lag_steps, std::int64_t search_lag_rows);

// The default of the score's lag window, the local platform's.
inline constexpr std::int64_t DEFAULT_MAX_LAG_STEPS = 3;
// The default of the diagnostics' lag search, the node's.
inline constexpr std::int64_t DEFAULT_SEARCH_LAG_ROWS = 10;

// Rolls the sim at `path` out over the dataset's episodes and has the compute node score the rollouts
// as `request` asks; returns the node's answer. With `jobs` above 1, that many copies of the sim (at
// most one per episode) replay the episodes side by side, each taking the next episode left; the
// rollouts are sent in the episodes' order all the same. Publish, score and every calibration candidate
// are calls of it.
asio::awaitable<Json> replay_and_score(std::string path, Json dataset, ScoringRequest request,
                                       std::int64_t max_episodes, Json env_init, double call_timeout_s,
                                       AnalysisHooks hooks = {}, std::size_t jobs = 1);

// The recorded actions of a dataset's picked episodes, read from the node once for many replays (a
// calibration's candidates).
struct RecordedEpisodes {
  Json dataset;
  Json columns;  // the node's answer: the dataset's columns and each picked episode's record
};

// Reads the records of the episodes a replay of at most `max_episodes` picks.
asio::awaitable<RecordedEpisodes> read_recorded_episodes(Json dataset, std::int64_t max_episodes);

// The records at `positions` (ascending, counted from 0 in the node's order) alone.
RecordedEpisodes recorded_subset(const RecordedEpisodes& recorded, const std::vector<std::size_t>& positions);

// The dataset's episode numbers of the records, in their order.
std::vector<Json> recorded_episode_numbers(const RecordedEpisodes& recorded);

// How a replay of recorded episodes runs.
struct ReplaySettings {
  Json env_init = Json::object();
  double call_timeout_s = 300;
  std::size_t jobs = 1;
  // Without its status lines: the caller shows the progress of many replays as one.
  bool shown = true;
  // Places for the scoring requests, shared by replays side by side; none: unbounded.
  Slots* node_slots = nullptr;
};

// replay_and_score over episodes already read; `recorded` must outlive the await.
asio::awaitable<Json> replay_and_score(std::string path, const RecordedEpisodes& recorded,
                                       ScoringRequest request, ReplaySettings settings,
                                       AnalysisHooks hooks = {});

// A publish's analysis: replay_and_score for the claim's validation run.
asio::awaitable<Json> analyze(std::string path, Json claim, Json dataset, std::string bundle_sha256,
                              std::int64_t max_episodes, Json env_init, double call_timeout_s,
                              AnalysisHooks hooks = {}, std::size_t jobs = 1);

}  // namespace nalto
