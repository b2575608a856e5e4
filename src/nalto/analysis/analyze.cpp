#include <optional>
#include <utility>

#include "nalto/analysis/analysis.hpp"
#include "nalto/analysis/internal.hpp"
#include "nalto/analysis/sim_session.hpp"
#include "nalto/console/console.hpp"
#include "nalto/node/node_post.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/timing.hpp"

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

std::string replay_status(const Json& record, std::size_t k, std::size_t total) {
  return "Replaying episode " + markup_literal(plain_text(subscript(record, "episode"))) + " (" +
         std::to_string(k) + " of " + std::to_string(total) + ", " + plain_text(subscript(record, "n_rows")) +
         " rows) through the sim...";
}

struct Replay {
  Plan plan;
  std::vector<detail::Rollout> rollouts;
};

asio::awaitable<std::vector<detail::Rollout>> replay_episodes(outside::SimClient& client, const Plan& plan,
                                                              const Json& columns, double call_timeout_s,
                                                              detail::ReplayPosition& position) {
  Status status = console().status("Replaying the dataset through the sim...", outside::status_trace());
  const Json& episodes = as_list(subscript(columns, "episodes"), "the node's 'episodes'");
  std::vector<detail::Rollout> rollouts;
  std::size_t k = 0;
  for (const Json& record : episodes) {
    status.update(replay_status(record, ++k, episodes.size()));
    detail::Predictions predictions =
        co_await detail::rollout_predictions(client, plan, record, call_timeout_s, &position);
    rollouts.push_back({subscript(record, "episode"), std::move(predictions)});
  }
  co_return rollouts;
}

// What a replay works with besides the sim: the recorded actions, the caller's hooks and where it stands.
struct ReplayContext {
  const Json& columns;
  double call_timeout_s;
  const AnalysisHooks& hooks;
  detail::ReplayPosition position;
};

// Connects, plans, replays every episode and disconnects.
asio::awaitable<Replay> replay_through(SimSession& session, Json env_init, ReplayContext& context) {
  context.position.call = "Init";
  co_await session.connect(std::move(env_init));
  context.position.call = "GetMappings";
  const Json mappings = co_await sim_mappings(session.client());
  Plan plan = plan_analysis(mappings, context.columns);
  if (context.hooks.planned) context.hooks.planned(mappings, plan, context.columns);
  std::vector<detail::Rollout> rollouts = co_await replay_episodes(session.client(), plan, context.columns,
                                                                   context.call_timeout_s, context.position);
  context.position = {.call = "Close", .episode = nullptr, .row = std::nullopt};
  co_await session.close();
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

asio::awaitable<Replay> replay(SimSession& session, Json env_init, ReplayContext& context) {
  Attempt<Replay> replayed = co_await attempt(replay_through(session, std::move(env_init), context));
  if (!replayed.ok()) raise_replay_failure(replayed.failure());
  co_return std::move(replayed.value());
}

// Stops the sim on every path; after a failed replay, once stopped, hands the evidence to the hook.
asio::awaitable<void> stop_and_tell(SimSession& session, const ReplayContext& context,
                                    const std::exception_ptr& failure) {
  co_await session.stop();
  if (!failure || !context.hooks.replay_failed || is_cancellation(failure)) co_return;
  context.hooks.replay_failed(ReplayEvidence{.call = context.position.call,
                                             .episode = context.position.episode,
                                             .row = context.position.row,
                                             .exit_code = session.own_exit(),
                                             .output = session.output()});
}

asio::awaitable<Json> analyze_rollouts(const Json& dataset, const Json& claim,
                                       const std::string& bundle_sha256, Replay replayed) {
  const Status status = console().status("Analyzing the sim against the dataset on the compute node...",
                                         outside::status_trace());
  const std::string body =
      detail::analysis_body(dataset, claim, bundle_sha256, replayed.plan, std::move(replayed.rollouts));
  auto post = [&body] {
    return node_post_serialized("sim-analyze-rollouts", body, timing().analysis_request_s);
  };
  co_return co_await run_blocking(std::move(post));
}

}  // namespace

asio::awaitable<Json> analyze(std::string path, Json claim, Json dataset, std::string bundle_sha256,
                              std::int64_t max_episodes, Json env_init, double call_timeout_s,
                              AnalysisHooks hooks) {
  const std::vector<std::int64_t> episodes = pick_episodes(known_episode_count(dataset), max_episodes);
  const Json columns = co_await read_columns(dataset, episodes);

  SimSession session = co_await SimSession::start(outside::sim_runtime(), std::move(path));
  ReplayContext context{.columns = columns, .call_timeout_s = call_timeout_s, .hooks = hooks, .position = {}};
  auto stop = [&session, &context](const std::exception_ptr& failure) {
    return stop_and_tell(session, context, failure);
  };
  Replay replayed = co_await finally(replay(session, std::move(env_init), context), std::move(stop));

  co_return co_await analyze_rollouts(dataset, claim, bundle_sha256, std::move(replayed));
}

}  // namespace nalto
