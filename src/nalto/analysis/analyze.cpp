#include <algorithm>
#include <optional>
#include <utility>

#include "nalto/analysis/analysis.hpp"
#include "nalto/analysis/internal.hpp"
#include "nalto/analysis/progress.hpp"
#include "nalto/analysis/sim_session.hpp"
#include "nalto/console/console.hpp"
#include "nalto/node/node_post.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/timing.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {

namespace {

std::optional<std::int64_t> episode_count(const Json& dataset) {
  const Json* cycles = lookup(dataset, "cycles");
  if (!cycles) return std::nullopt;
  const Json* count = lookup(*cycles, "count");
  if (!count) return std::nullopt;
  if (!count->is_number_integer())
    throw TypeError("expected the dataset's episode count to be an integer, got " + kind_name(*count));
  return count->get<std::int64_t>();
}

std::int64_t known_episode_count(const Json& dataset) {
  const std::optional<std::int64_t> n_episodes = episode_count(dataset);
  if (n_episodes && *n_episodes != 0) return *n_episodes;
  const std::string name = plain_text(subscript(dataset, "name"));
  throw PublishReportError("The episode count of '" + name + "' is unknown; run `nalto data stats " + name +
                           "` first");
}

asio::awaitable<Json> read_columns(const Json& dataset, const std::vector<std::int64_t>& episodes) {
  const Json request{{"dataset_uuid", subscript(dataset, "id")}, {"episodes", episodes}};
  auto post = [&request] { return _node_post("analysis-actions", request, timing().columns_request_s); };
  co_return co_await run_blocking(std::move(post));
}

struct Replay {
  Plan plan;
  std::vector<detail::Rollout> rollouts;
};

// The sims of one replay, each its own process and client, filled as they start.
using Sessions = std::vector<std::optional<SimSession>>;

// What a replay works with besides the sims: the recorded actions, the caller's hooks and where each
// session stands.
struct ReplayContext {
  const Json& columns;
  double call_timeout_s;
  bool shown;
  const AnalysisHooks& hooks;
  std::vector<detail::ReplayPosition> positions;
  std::optional<std::size_t> failed;  // the session whose failure ended the replay, once it had started
};

// Awaits `task(i)` for every session side by side; the first failure stops the others and is raised,
// noted as the replay's when `replaying`.
asio::awaitable<void> each_session(std::size_t n, ReplayContext& context, bool replaying,
                                   std::function<asio::awaitable<void>(std::size_t)> task) {
  const std::optional<FirstFailure> failed = co_await attempt_all(n, std::move(task));
  if (!failed) co_return;
  if (replaying) context.failed = failed->index;
  std::rethrow_exception(failed->failure);
}

asio::awaitable<void> start_sessions(Sessions& sessions, const std::string& path, ReplayContext& context) {
  auto start = [&sessions, &path, &context](std::size_t i) -> asio::awaitable<void> {
    sessions[i].emplace(co_await SimSession::start(outside::sim_runtime(), path, context.shown));
  };
  co_await each_session(sessions.size(), context, false, std::move(start));
}

// Connects every session and answers the mappings they all report; sims that disagree cannot share
// one plan.
asio::awaitable<Json> connect_sessions(Sessions& sessions, const Json& env_init, ReplayContext& context) {
  std::vector<Json> mappings(sessions.size());
  auto connect = [&](std::size_t i) -> asio::awaitable<void> {
    detail::ReplayPosition& position = context.positions[i];
    sessions[i]->make_client(env_init);
    outside::SimClient& client = sessions[i]->client();
    position.call = "Init";
    co_await with_timeout(client.init(), context.call_timeout_s);
    position.call = "Make";
    co_await with_timeout(client.make(), context.call_timeout_s);
    mappings[i] = co_await detail::sim_mappings(client, context.call_timeout_s, &position);
  };
  co_await each_session(sessions.size(), context, true, std::move(connect));
  for (std::size_t i = 1; i < mappings.size(); ++i) {
    if (mappings[i] == mappings[0]) continue;
    context.failed = i;
    throw ValueError("sims 1 and " + std::to_string(i + 1) + " of " + std::to_string(mappings.size()) +
                     " report different mappings: " + utf8::text_start(dump_json(mappings[0]), 200) +
                     " and " + utf8::text_start(dump_json(mappings[i]), 200));
  }
  co_return std::move(mappings[0]);
}

// Deals the episodes out, each to the next free session, and gathers the rollouts in the node's order;
// `progress` (optional) hears of each episode and row.
asio::awaitable<std::vector<detail::Rollout>> deal_episodes(Sessions& sessions, const Plan& plan,
                                                            ReplayContext& context, const Json& episodes,
                                                            detail::ReplayProgress* progress) {
  std::vector<detail::Rollout> rollouts(episodes.size());
  std::size_t next = 0;
  auto replay = [&](std::size_t i) -> asio::awaitable<void> {
    while (next < episodes.size()) {
      const std::size_t k = next++;
      const Json& record = episodes[k];
      if (progress) progress->started(k);
      std::int64_t reached = 0;
      auto stepped = [progress, &reached] {
        ++reached;
        if (progress) progress->stepped();
      };
      detail::Predictions predictions = co_await detail::rollout_predictions(
          sessions[i]->client(), plan, record, context.call_timeout_s, &context.positions[i], stepped);
      rollouts[k] = {subscript(record, "episode"), std::move(predictions)};
      if (progress) progress->ended(k, reached, i);
    }
  };
  co_await each_session(sessions.size(), context, true, std::move(replay));
  co_return rollouts;
}

asio::awaitable<std::vector<detail::Rollout>> replay_episodes(Sessions& sessions, const Plan& plan,
                                                              ReplayContext& context) {
  const Json& episodes = as_list(subscript(context.columns, "episodes"), "the node's 'episodes'");
  if (!context.shown) co_return co_await deal_episodes(sessions, plan, context, episodes, nullptr);
  Status status = console().status("Replaying the dataset through the sim...", outside::status_trace());
  detail::ReplayProgress progress(status, episodes, sessions.size());
  co_return co_await deal_episodes(sessions, plan, context, episodes, &progress);
}

asio::awaitable<void> close_sessions(Sessions& sessions, ReplayContext& context) {
  for (detail::ReplayPosition& position : context.positions)
    position = {.call = "Close", .episode = nullptr, .row = std::nullopt};
  auto close = [&sessions, &context](std::size_t i) { return sessions[i]->close(context.call_timeout_s); };
  co_await each_session(sessions.size(), context, true, std::move(close));
}

// Starts the sims, plans, replays every episode and disconnects.
asio::awaitable<Replay> replay_through(Sessions& sessions, const std::string& path, const Json& env_init,
                                       ReplayContext& context) {
  co_await start_sessions(sessions, path, context);
  const Json mappings = co_await connect_sessions(sessions, env_init, context);
  if (context.hooks.mapped) context.hooks.mapped(mappings, context.columns);
  Plan plan = plan_analysis(mappings, context.columns);
  if (context.hooks.planned) context.hooks.planned(mappings, plan, context.columns);
  std::vector<detail::Rollout> rollouts = co_await replay_episodes(sessions, plan, context);
  co_await close_sessions(sessions, context);
  co_return Replay{std::move(plan), std::move(rollouts)};
}

// A failure the user can act on stands as it is; any other is a failing sim.
[[noreturn]] void raise_replay_failure(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const PublishReportError&) {
    throw;
  } catch (const std::exception& e) {
    throw PublishReportError("The sim failed while replaying the dataset (" + type_name_of(e) + ": " +
                                 e.what() + "); validate it with `nalto sim validate --steps 100`",
                             failure);
  }
}

asio::awaitable<Replay> replay(Sessions& sessions, std::string path, Json env_init, ReplayContext& context) {
  Attempt<Replay> replayed = co_await attempt(replay_through(sessions, path, env_init, context));
  if (!replayed.ok()) raise_replay_failure(replayed.failure());
  co_return std::move(replayed.value());
}

// The call time limit when the replay ended because a call passed it.
std::optional<double> limit_passed(const std::exception_ptr& failure, double call_timeout_s) {
  std::exception_ptr cause = failure;
  try {
    std::rethrow_exception(failure);
  } catch (const PublishReportError& e) {
    cause = e.cause();
  } catch (...) {
  }
  if (!failure_is<TimeoutError>(cause)) return std::nullopt;
  return call_timeout_s;
}

// Stops every sim that started, side by side, on every path; after a failed replay, once all are stopped,
// hands the failing session's evidence to the hook.
asio::awaitable<void> stop_and_tell(Sessions& sessions, const ReplayContext& context,
                                    const std::exception_ptr& failure) {
  auto stop = [&sessions](std::size_t i) -> asio::awaitable<void> {
    if (sessions[i]) co_await sessions[i]->stop();
  };
  if (const std::optional<FirstFailure> failed = co_await attempt_all(sessions.size(), std::move(stop)))
    std::rethrow_exception(failed->failure);
  if (!failure || !context.failed || !context.hooks.replay_failed || is_cancellation(failure)) co_return;
  const detail::ReplayPosition& position = context.positions[*context.failed];
  const SimSession& session = *sessions[*context.failed];
  context.hooks.replay_failed(
      ReplayEvidence{.call = position.call,
                     .episode = position.episode,
                     .row = position.row,
                     .exit_code = session.own_exit(),
                     .output = session.output(),
                     .call_timeout_s = limit_passed(failure, context.call_timeout_s)});
}

asio::awaitable<Json> post_rollouts(const Json& dataset, const ScoringRequest& request, Replay replayed,
                                    Slots* node_slots) {
  Slots::Hold held;
  if (node_slots) held = co_await node_slots->enter();
  detail::AnalysisBody body(dataset, request, replayed.plan, std::move(replayed.rollouts));
  auto post = [&body, &request] {
    auto write = [&body](char* out, std::size_t capacity) { return body.read(out, capacity); };
    return node_post_streamed(request.endpoint, write, timing().analysis_request_s);
  };
  co_return co_await run_blocking(std::move(post));
}

asio::awaitable<Json> analyze_rollouts(const Json& dataset, const ScoringRequest& request, Replay replayed,
                                       const ReplaySettings& settings) {
  if (!settings.shown)
    co_return co_await post_rollouts(dataset, request, std::move(replayed), settings.node_slots);
  const Status status = console().status("Analyzing the sim against the dataset on the compute node...",
                                         outside::status_trace());
  co_return co_await post_rollouts(dataset, request, std::move(replayed), settings.node_slots);
}

asio::awaitable<Replay> replay_recorded(const RecordedEpisodes& recorded, std::string path,
                                        const ReplaySettings& settings, AnalysisHooks hooks) {
  const Json& columns = recorded.columns;
  const std::size_t jobs = settings.jobs;
  // No sim is started that would find no episode left to replay; the records are checked as they are
  // replayed.
  const Json* records = lookup(columns, "episodes");
  const std::size_t n =
      records && records->is_array() ? std::max<std::size_t>(1, std::min(jobs, records->size())) : 1;
  Sessions sessions(n);
  ReplayContext context{.columns = columns,
                        .call_timeout_s = settings.call_timeout_s,
                        .shown = settings.shown,
                        .hooks = hooks,
                        .positions = std::vector<detail::ReplayPosition>(n),
                        .failed = std::nullopt};
  auto stop = [&sessions, &context](const std::exception_ptr& failure) {
    return stop_and_tell(sessions, context, failure);
  };
  co_return co_await finally(replay(sessions, std::move(path), settings.env_init, context), std::move(stop));
}

// The replay of the picked episodes; their recorded actions are held only while it runs.
asio::awaitable<Replay> replay_dataset(const Json& dataset, std::int64_t max_episodes, std::string path,
                                       const ReplaySettings& settings, AnalysisHooks hooks) {
  const RecordedEpisodes recorded = co_await read_recorded_episodes(dataset, max_episodes);
  co_return co_await replay_recorded(recorded, std::move(path), settings, std::move(hooks));
}

}  // namespace

asio::awaitable<RecordedEpisodes> read_recorded_episodes(Json dataset, std::int64_t max_episodes) {
  const std::vector<std::int64_t> episodes = pick_episodes(known_episode_count(dataset), max_episodes);
  Json columns = co_await read_columns(dataset, episodes);
  co_return RecordedEpisodes{.dataset = std::move(dataset), .columns = std::move(columns)};
}

RecordedEpisodes recorded_subset(const RecordedEpisodes& recorded,
                                 const std::vector<std::size_t>& positions) {
  const Json& records = as_list(subscript(recorded.columns, "episodes"), "the node's 'episodes'");
  Json kept = Json::array();
  for (const std::size_t k : positions) kept.push_back(subscript(records, static_cast<std::int64_t>(k)));
  RecordedEpisodes subset{.dataset = recorded.dataset, .columns = Json::object()};
  for (const auto& [key, value] : recorded.columns.items())
    subset.columns[key] = key == "episodes" ? kept : value;
  return subset;
}

std::vector<Json> recorded_episode_numbers(const RecordedEpisodes& recorded) {
  std::vector<Json> numbers;
  for (const Json& record : as_list(subscript(recorded.columns, "episodes"), "the node's 'episodes'"))
    numbers.push_back(subscript(record, "episode"));
  return numbers;
}

asio::awaitable<Json> replay_and_score(std::string path, Json dataset, ScoringRequest request,
                                       std::int64_t max_episodes, Json env_init, double call_timeout_s,
                                       AnalysisHooks hooks, std::size_t jobs) {
  const ReplaySettings settings{
      .env_init = std::move(env_init), .call_timeout_s = call_timeout_s, .jobs = jobs};
  Replay replayed =
      co_await replay_dataset(dataset, max_episodes, std::move(path), settings, std::move(hooks));
  co_return co_await analyze_rollouts(dataset, request, std::move(replayed), settings);
}

asio::awaitable<Json> replay_and_score(std::string path, const RecordedEpisodes& recorded,
                                       ScoringRequest request, ReplaySettings settings, AnalysisHooks hooks) {
  Replay replayed = co_await replay_recorded(recorded, std::move(path), settings, std::move(hooks));
  co_return co_await analyze_rollouts(recorded.dataset, request, std::move(replayed), settings);
}

asio::awaitable<Json> analyze(std::string path, Json claim, Json dataset, std::string bundle_sha256,
                              std::int64_t max_episodes, Json env_init, double call_timeout_s,
                              AnalysisHooks hooks, std::size_t jobs) {
  ScoringRequest request = claimed_scoring(std::move(claim), std::move(bundle_sha256));
  co_return co_await replay_and_score(std::move(path), std::move(dataset), std::move(request), max_episodes,
                                      std::move(env_init), call_timeout_s, std::move(hooks), jobs);
}

}  // namespace nalto
