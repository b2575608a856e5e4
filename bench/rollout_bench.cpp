// Our own cost per replayed row, and the analysis body's cost.
//
// 1. 10,000 rows (20 sensors, 5 actions) replayed through a fake client that answers at once; the
//    same number of bare step calls on the same client is subtracted, leaving what the rollout adds.
// 2. The analysis body for 20 episodes x 5,000 rows x 20 sensors: written directly, and as an
//    nlohmann tree plus dump() for comparison; each in a child process of its own, so that each
//    peak resident size is its own.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <random>

#include "nalto/analysis/internal.hpp"
#include "random_rollouts.hpp"
#include "support/fake_runtime.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using nalto::Json;

constexpr int SENSORS = 20, ACTIONS = 5;

template <class T>
T run(asio::io_context& context, asio::awaitable<T> task) {
  T result{};
  asio::co_spawn(context, std::move(task), [&](std::exception_ptr error, T value) {
    if (error) std::rethrow_exception(error);
    result = std::move(value);
  });
  context.restart();
  context.run();
  return result;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void replay_cost() {
  constexpr int ROWS = 10000;
  nalto::testing::FakeSimRuntime runtime;
  Json obs = Json::array();
  for (int i = 0; i < SENSORS; ++i) obs.push_back(20.0 + i * 0.25);
  const Json answer = Json::array({obs, 0.0, false, false, Json::object()});
  auto& client = *runtime.client;
  client.on_reset = [&] { return Json::array({obs, Json::object()}); };
  client.on_step = [&](const Json&, int) { return answer; };
  runtime.sample = [](const Json&) { return Json::array({0.0, 0.0, 0.0, 0.0, 0.0}); };

  std::vector<nalto::SlotColumn> sensors, actions;
  std::vector<std::string> core;
  for (int i = 0; i < SENSORS; ++i) {
    sensors.emplace_back("[" + std::to_string(i) + "]", "s" + std::to_string(i));
    core.push_back("sensor " + std::to_string(i));
  }
  Json recorded = Json::object();
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> value(0, 1);
  for (int i = 0; i < ACTIONS; ++i) {
    actions.emplace_back("[" + std::to_string(i) + "]", "a" + std::to_string(i));
    Json column = Json::array();
    for (int row = 0; row < ROWS; ++row) column.push_back(value(rng));
    recorded["a" + std::to_string(i)] = std::move(column);
  }
  const nalto::Plan plan{.sensors = sensors, .actions = actions, .core = core};
  const Json episode{{"episode", 0}, {"n_rows", ROWS}, {"actions", recorded}};

  asio::io_context context;
  auto bare = [&]() -> asio::awaitable<int> {
    const Json action = Json::array({0.5, 0.5, 0.5, 0.5, 0.5});
    (void)co_await client.reset();
    for (int row = 1; row < ROWS; ++row) (void)co_await client.step(action);
    co_return 0;
  };
  // Medians of alternating runs, so that a noisy moment of the machine weighs on neither side alone.
  std::vector<double> totals, baselines;
  std::size_t columns = 0;
  for (int run_index = 0; run_index < 7; ++run_index) {
    client.steps.clear();
    auto start = Clock::now();
    columns = run(context, nalto::detail::rollout_predictions(client, plan, episode, 300)).columns.size();
    totals.push_back(seconds_since(start));
    client.steps.clear();
    start = Clock::now();
    run(context, bare());
    baselines.push_back(seconds_since(start));
  }
  std::sort(totals.begin(), totals.end());
  std::sort(baselines.begin(), baselines.end());
  const double total = totals[totals.size() / 2];
  const double baseline = baselines[baselines.size() / 2];

  std::printf("replay: %d rows, %zu sensor columns recorded, median of 7 runs\n", ROWS, columns);
  std::printf("  rollout            %8.2f us/row\n", total / ROWS * 1e6);
  std::printf("  bare step calls    %8.2f us/row\n", baseline / ROWS * 1e6);
  std::printf("  our own cost       %8.2f us/row   (aim < 7)\n", (total - baseline) / ROWS * 1e6);
}

const Json dataset{{"id", "ds-uuid"}};
const Json claim{
    {"simulatorId", "s"}, {"simulatorImplementationId", "i"}, {"validationRunId", "v"}, {"maxLagSteps", 3}};

// Runs `work` in a child process; prints its time and its peak resident size.
template <class F>
void in_child(const char* label, F work) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<nalto::detail::Rollout> rollouts = nalto::bench::random_rollouts(20, 5000, SENSORS);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    const std::size_t bytes = work(std::move(rollouts));
    const double took = seconds_since(start);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    std::printf("  %-22s %6.3f s  body %6.1f MiB  peak RSS %6.1f MiB (%6.1f MiB over the predictions)\n",
                label, took, bytes / 1048576.0, after.ru_maxrss / 1024.0,
                (after.ru_maxrss - before.ru_maxrss) / 1024.0);
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

void body_cost() {
  const nalto::Plan plan = nalto::bench::sensors_plan(SENSORS);
  std::printf("analysis body: 20 episodes x 5,000 rows x %d sensors\n", SENSORS);
  in_child("streamed, 64 KiB reads", [&](std::vector<nalto::detail::Rollout> rollouts) {
    nalto::detail::AnalysisBody body(dataset, nalto::claimed_scoring(claim, "sha"), plan,
                                     std::move(rollouts));
    std::vector<char> buffer(64 * 1024);
    std::size_t bytes = 0;
    while (const std::size_t n = body.read(buffer.data(), buffer.size())) bytes += n;
    return bytes;
  });
  in_child("nlohmann tree + dump", [&](std::vector<nalto::detail::Rollout> rollouts) {
    Json episodes = Json::array();
    for (auto& rollout : rollouts) {
      episodes.push_back(
          Json{{"episode", rollout.episode}, {"predictions", nalto::detail::to_json(rollout.predictions)}});
      rollout.predictions = {};
    }
    Json body{{"dataset_uuid", "ds-uuid"}, {"episodes", std::move(episodes)}};
    return body.dump().size();
  });
}

}  // namespace

int main() {
  replay_cost();
  body_cost();
}
