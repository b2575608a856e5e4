#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "nalto/mapping/plan.hpp"
#include "nalto/outside/sim_runtime.hpp"
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
  // Before the replay: the sim's mappings, the plan made of them and the dataset's columns.
  std::function<void(const Json& mappings, const Plan& plan, const Json& columns)> planned;
  std::function<void(const ReplayEvidence& evidence)> replay_failed;  // once the sim is stopped
};

// Rolls the sim at `path` out over the dataset's episodes and has the compute node analyze the
// rollouts; returns the node's analysis. With `jobs` above 1, that many copies of the sim (at most one
// per episode) replay the episodes side by side, each taking the next episode left; the rollouts are
// sent in the episodes' order all the same.
asio::awaitable<Json> analyze(std::string path, Json claim, Json dataset, std::string bundle_sha256,
                              std::int64_t max_episodes, Json env_init, double call_timeout_s,
                              AnalysisHooks hooks = {}, std::size_t jobs = 1);

}  // namespace nalto
