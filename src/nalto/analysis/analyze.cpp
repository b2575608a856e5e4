#include <asio/this_coro.hpp>
#include <optional>
#include <utility>

#include "nalto/analysis/analysis.hpp"
#include "nalto/analysis/internal.hpp"
#include "nalto/console/console.hpp"
#include "nalto/node/node_post.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/strings.hpp"
#include "nalto/support/timing.hpp"

namespace nalto {

namespace {

constexpr const char* RUN_ID = "publish-report";

std::optional<std::int64_t> episode_count(const Json& dataset) {
  const Json* cycles = lookup(dataset, "cycles");
  if (!cycles) return std::nullopt;
  const Json* count = lookup(*cycles, "count");
  if (!count) return std::nullopt;
  if (!count->is_number_integer())
    throw TypeError("expected the dataset's episode count to be an integer, got " + kind_name(*count));
  return count->get<std::int64_t>();
}

// Starts the sim server and waits until it serves; `process` holds the handle as soon as there is
// one, so the caller can stop it whatever happens next.
asio::awaitable<void> start_sim(outside::SimRuntime& runtime, std::string path, int port, std::string address,
                                std::vector<std::string>& output,
                                std::unique_ptr<outside::SimProcess>& process) {
  const Status status = console().status("Starting the sim...", outside::status_trace());
  std::exception_ptr failure;
  try {
    std::function<void(std::string)> on_output = [&output](std::string line) {
      output.push_back(std::move(line));
    };
    Json env = Json::object();
    process = co_await runtime.make_in_process(path, "localhost", port, std::move(env), std::move(on_output));
    co_await runtime.check_serving(address, timing().serving_s);
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) co_return;
  if (is_cancellation(failure)) std::rethrow_exception(failure);
  const std::string tail = runtime._tail(join(output, "\n"));
  throw PublishReportError("The sim did not start:\n\n" + (tail.empty() ? message_of(failure) : tail),
                           failure);
}

Json client_env_init(const Json& env_init, const std::string& address) {
  if (!env_init.is_object()) throw TypeError("expected env_init to be an object, got " + kind_name(env_init));
  Json copy = env_init;
  copy["sim_address"] = address;
  return copy;
}

std::string replay_status(const Json& record, std::size_t k, std::size_t total) {
  return "Replaying episode " + plain_text(subscript(record, "episode")) + " (" + std::to_string(k) + " of " +
         std::to_string(total) + ", " + plain_text(subscript(record, "n_rows")) + " rows) through the sim...";
}

// Steps 6 to 10 of a sim run: connect, plan, replay every episode, disconnect.
asio::awaitable<void> replay(outside::SimRuntime& runtime, std::string address, Json env_init,
                             const Json& columns, double call_timeout_s, std::optional<Plan>& plan,
                             std::vector<detail::Rollout>& rollouts) {
  outside::ClientOptions options{.run_id = RUN_ID,
                                 .sim_id = RUN_ID,
                                 .env_id = RUN_ID,
                                 .address = address,
                                 .env_init = client_env_init(env_init, address),
                                 .protocol = "grpc"};
  const std::unique_ptr<outside::SimClient> client = runtime.client_make(std::move(options));
  co_await client->init();
  co_await client->make();
  const Json mappings = co_await sim_mappings(*client);
  plan.emplace(plan_analysis(mappings, columns));

  {
    Status status = console().status("Replaying the dataset through the sim...", outside::status_trace());
    const Json& episodes = as_list(subscript(columns, "episodes"), "the node's 'episodes'");
    std::size_t k = 0;
    for (const Json& record : episodes) {
      status.update(replay_status(record, ++k, episodes.size()));
      detail::Predictions predictions =
          co_await detail::rollout_predictions(*client, *plan, record, call_timeout_s);
      rollouts.push_back({subscript(record, "episode"), std::move(predictions)});
    }
  }

  std::exception_ptr closing;
  try {
    co_await client->close();
  } catch (...) {
    closing = std::current_exception();
  }
  if (is_cancellation(closing)) std::rethrow_exception(closing);
}

// Stops the sim: a terminate request while it runs, at most the exit wait, then a kill without
// waiting again. A cancellation of the wait kills it too, so the sim never outlives the step.
asio::awaitable<void> stop_sim(outside::SimProcess& process) {
  if (!process.returncode()) process.terminate();
  bool timed_out = false;
  try {
    co_await with_timeout(process.wait(), timing().exit_wait_s);
  } catch (const TimeoutError&) {
    timed_out = true;
  } catch (...) {
    if (is_cancellation(std::current_exception())) process.kill();
    throw;
  }
  if (timed_out) process.kill();
}

}  // namespace

asio::awaitable<Json> analyze(std::string path, Json claim, Json dataset, std::string bundle_sha256,
                              std::int64_t max_episodes, Json env_init, double call_timeout_s) {
  const std::optional<std::int64_t> n_episodes = episode_count(dataset);
  if (!n_episodes || *n_episodes == 0) {
    const std::string name = plain_text(subscript(dataset, "name"));
    throw PublishReportError("The episode count of '" + name + "' is unknown; run `nalto data stats " + name +
                             "` first");
  }
  const std::vector<std::int64_t> episodes = pick_episodes(*n_episodes, max_episodes);

  const Json request{{"dataset_uuid", subscript(dataset, "id")}, {"episodes", episodes}};
  auto read_columns = [&request] {
    return _node_post("analysis-actions", request, timing().columns_request_s);
  };
  const Json columns = co_await run_blocking(std::move(read_columns));

  outside::SimRuntime& runtime = outside::sim_runtime();
  std::vector<std::string> output;
  const int port = runtime.get_free_port();
  const std::string address = "localhost:" + std::to_string(port);
  std::unique_ptr<outside::SimProcess> process;
  std::optional<Plan> plan;
  std::vector<detail::Rollout> rollouts;

  std::exception_ptr outcome;
  try {
    co_await start_sim(runtime, path, port, address, output, process);
    co_await replay(runtime, address, env_init, columns, call_timeout_s, plan, rollouts);
  } catch (...) {
    outcome = std::current_exception();
  }
  if (outcome && !is_cancellation(outcome)) {
    try {
      std::rethrow_exception(outcome);
    } catch (const PublishReportError&) {
    } catch (const std::exception& e) {
      outcome = std::make_exception_ptr(
          PublishReportError("The sim failed while replaying the dataset (" + type_name_of(e) + ": " +
                                 e.what() + "); validate it with `nalto sim validate --steps 100`",
                             outcome));
    }
  }

  // The sim stops on every path; after a cancellation its stop must still be awaited.
  if (outcome) co_await asio::this_coro::throw_if_cancelled(false);
  if (process) co_await stop_sim(*process);
  if (outcome) std::rethrow_exception(outcome);

  const Status status = console().status("Analyzing the sim against the dataset on the compute node...",
                                         outside::status_trace());
  const std::string body = detail::analysis_body(dataset, claim, bundle_sha256, *plan, std::move(rollouts));
  auto analyze_rollouts = [&body] {
    return node_post_serialized("sim-analyze-rollouts", body, timing().analysis_request_s);
  };
  co_return co_await run_blocking(std::move(analyze_rollouts));
}

}  // namespace nalto
