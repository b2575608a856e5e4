// The real sim runtime against the example sims, as child processes.
//
// 1. Rows replayed through the C++ sim in its instant mode (it answers each step at once), beside the
//    same number of bare blocking Step calls on a channel of the same settings: our cost per row is
//    the gap between the two rates.
// 2. The ceiling of running sims side by side on this machine: bare blocking Step calls to two instant
//    C++ sims from two threads, against the same calls to one sim from one thread. No client of ours
//    can gain more from --jobs 2 with such a sim than this.
// 3. The rate of rows replayed through the Python sim.
// 4. The time from the sim's first SERVING answer to check_serving's return, over several starts.
// 5. A sim's start, in a PID namespace of its own under our init and without one: a sim that exits at
//    once (/bin/true), its start and its end apart, and the C++ sim started until it serves; and the
//    replay rate of 1. in both.

#include <grpcpp/grpcpp.h>
#include <unistd.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "nalto/analysis/analysis.hpp"
#include "nalto/analysis/internal.hpp"
#include "nalto/mapping/names.hpp"
#include "nalto/mapping/slots.hpp"
#include "nalto/runtime/grpc_call.hpp"
#include "nalto/runtime/grpc_sim_runtime.hpp"
#include "nalto/runtime/process.hpp"
#include "sim.grpc.pb.h"

namespace {

using Clock = std::chrono::steady_clock;
using nalto::Json;
namespace pb = nalto::sim::v1;

constexpr int ROWS = 5000;
// Short runs, many times over, taking turns: the loopback's speed drifts on a shared machine.
constexpr int RUNS = 15;
constexpr int STARTS = 10;
const std::string SIMS = NALTO_EXAMPLE_SIMS_DIR;

// A live sim keeps its output reader pending on the loop, so the loop runs until the task is done.
template <class T>
T run(asio::io_context& context, asio::awaitable<T> task) {
  std::optional<T> result;
  std::exception_ptr failure;
  bool done = false;
  asio::co_spawn(context, std::move(task), [&](std::exception_ptr error, T value) {
    failure = error;
    if (!error) result.emplace(std::move(value));
    done = true;
  });
  context.restart();
  while (!done) context.run_one();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A started sim with a connected client; the sim is stopped when this goes.
struct Sim {
  nalto::runtime::GrpcSimRuntime& runtime;
  std::string address;
  std::unique_ptr<nalto::outside::SimProcess> process;
  std::unique_ptr<nalto::outside::SimClient> client;

  ~Sim() {
    if (process) process->kill();
  }
};

asio::awaitable<int> start(Sim& sim, std::string path, Json env, std::function<void(std::string)> on_output) {
  const int port = sim.runtime.get_free_port();
  sim.address = "localhost:" + std::to_string(port);
  sim.process =
      co_await sim.runtime.make_in_process(path, "localhost", port, std::move(env), std::move(on_output));
  co_await sim.runtime.check_serving(sim.address, 60);
  sim.client = sim.runtime.client_make({.run_id = "bench",
                                        .sim_id = "bench",
                                        .env_id = "bench",
                                        .address = sim.address,
                                        .env_init = Json::object(),
                                        .protocol = "grpc"});
  co_await sim.client->init();
  co_await sim.client->make();
  co_return 0;
}

// One episode of ROWS rows whose recorded actions are random actions of the sim's own space, and the
// plan that maps every sim variable to a column of its own.
struct Replay {
  nalto::Plan plan;
  Json episode;
};

asio::awaitable<Replay> prepare(Sim& sim) {
  const Json mappings = co_await nalto::sim_mappings(*sim.client);
  std::vector<nalto::SlotColumn> sensors, actions;
  std::vector<std::string> core;
  for (const Json& m : mappings["sensors"]) {
    sensors.emplace_back(m["name"].get<std::string>(), "s" + std::to_string(sensors.size()));
    core.push_back(nalto::mapping_names(m).front());
  }
  for (const Json& m : mappings["actions"])
    actions.emplace_back(m["name"].get<std::string>(), "a" + std::to_string(actions.size()));
  const std::unique_ptr<nalto::outside::ComputeSpace> space =
      sim.runtime._to_compute_space(co_await sim.client->action_space_info());
  Json recorded = Json::object();
  for (int row = 0; row < ROWS; ++row) {
    const Json sample = sim.runtime.as_compute_sees(space->sample());
    for (const auto& [slot, key] : actions) recorded[key].push_back(*nalto::read_slot(sample, slot));
  }
  co_return Replay{nalto::Plan{.sensors = sensors, .actions = actions, .core = core},
                   Json{{"episode", 0}, {"n_rows", ROWS}, {"actions", recorded}}};
}

double replay_rate(asio::io_context& context, Sim& sim, const Replay& replay) {
  const auto started = Clock::now();
  const auto predictions =
      run(context, nalto::detail::rollout_predictions(*sim.client, replay.plan, replay.episode, 300));
  const double seconds = seconds_since(started);
  return static_cast<double>(predictions.values.empty() ? 0 : predictions.values[0].size()) / seconds;
}

double client_rate(asio::io_context& context, Sim& sim, const Json& action) {
  const auto started = Clock::now();
  run(context, [&]() -> asio::awaitable<int> {
    for (int row = 1; row < ROWS; ++row) (void)co_await sim.client->step(action);
    co_return 0;
  }());
  return (ROWS - 1) / seconds_since(started);
}

double bare_rate(const std::string& address, const Json& action) {
  const auto stub = pb::Simulator::NewStub(nalto::runtime::sim_channel(address));
  pb::JsonValue request, answer;
  request.set_json(nalto::dump_json(action));
  const auto started = Clock::now();
  for (int row = 1; row < ROWS; ++row) {
    grpc::ClientContext call;
    if (!stub->Step(&call, request, &answer).ok()) throw std::runtime_error("a bare Step call failed");
  }
  return (ROWS - 1) / seconds_since(started);
}

void instant_replay(asio::io_context& context, nalto::runtime::GrpcSimRuntime& runtime) {
  Sim sim{runtime};
  run(context, start(sim, SIMS + "/heated_room/heated-room", Json{{"HEATED_ROOM_INSTANT", "1"}}, {}));
  const Replay replay = run(context, prepare(sim));
  const Json action = run(context, [&]() -> asio::awaitable<Json> {
    co_return runtime.as_compute_sees(
        runtime._to_compute_space(co_await sim.client->action_space_info())->sample());
  }());
  std::vector<double> ratios, replays, bares, clients;
  for (int i = 0; i < RUNS; ++i) {
    replays.push_back(replay_rate(context, sim, replay));
    clients.push_back(client_rate(context, sim, action));
    bares.push_back(bare_rate(sim.address, action));
    ratios.push_back(replays.back() / bares.back());
  }
  std::sort(ratios.begin(), ratios.end());
  std::sort(replays.begin(), replays.end());
  std::sort(bares.begin(), bares.end());
  std::sort(clients.begin(), clients.end());
  constexpr int MID = RUNS / 2;
  std::printf("C++ sim, instant answers, %d rows x %d alternating runs (medians):\n", ROWS, RUNS);
  std::printf("  replay through the runtime : %8.0f rows/s (%.1f us/row)\n", replays[MID],
              1e6 / replays[MID]);
  std::printf("  client step() calls alone  : %8.0f calls/s (%.1f us/call)\n", clients[MID],
              1e6 / clients[MID]);
  std::printf("  bare blocking Step calls   : %8.0f calls/s (%.1f us/call)\n", bares[MID], 1e6 / bares[MID]);
  std::printf("  ratio of replay to bare    : %8.3f (quartiles %.3f .. %.3f)\n", ratios[MID],
              ratios[RUNS / 4], ratios[RUNS - 1 - RUNS / 4]);
}

void side_by_side_ceiling(asio::io_context& context, nalto::runtime::GrpcSimRuntime& runtime) {
  Sim first{runtime}, second{runtime};
  for (Sim* sim : {&first, &second})
    run(context, start(*sim, SIMS + "/heated_room/heated-room", Json{{"HEATED_ROOM_INSTANT", "1"}}, {}));
  const Json action = Json{{"heater_power", Json::array({100.0})}, {"fan", 1}};
  std::vector<double> ratios;
  for (int i = 0; i < RUNS; ++i) {
    const double alone = bare_rate(first.address, action);
    const auto started = Clock::now();
    std::thread other([&] { bare_rate(second.address, action); });
    bare_rate(first.address, action);
    other.join();
    ratios.push_back(2 * (ROWS - 1) / seconds_since(started) / alone);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf(
      "Bare blocking Step calls to 2 instant C++ sims from 2 threads, against 1 sim from 1 thread:\n");
  std::printf("  throughput ratio           : %8.3f (quartiles %.3f .. %.3f)\n", ratios[RUNS / 2],
              ratios[RUNS / 4], ratios[RUNS - 1 - RUNS / 4]);
}

void python_replay(asio::io_context& context, nalto::runtime::GrpcSimRuntime& runtime) {
  Sim sim{runtime};
  const auto started = Clock::now();
  run(context, start(sim, SIMS + "/python_room", Json::object(), {}));
  const double start_s = seconds_since(started);
  const Replay replay = run(context, prepare(sim));
  std::printf("Python sim: started and serving in %.0f ms; replay %8.0f rows/s\n", start_s * 1e3,
              replay_rate(context, sim, replay));
}

void serving_latency(asio::io_context& context, nalto::runtime::GrpcSimRuntime& runtime) {
  std::vector<double> gaps, starts;
  for (int i = 0; i < STARTS; ++i) {
    Sim sim{runtime};
    long long first_serving_ns = 0;
    std::function<void(std::string)> on_output = [&](std::string line) {
      const std::string prefix = "first SERVING answer at ";
      if (line.starts_with(prefix)) first_serving_ns = std::stoll(line.substr(prefix.size()));
    };
    const auto started = Clock::now();
    run(context, [&]() -> asio::awaitable<int> {
      const int port = runtime.get_free_port();
      sim.address = "localhost:" + std::to_string(port);
      std::string path = SIMS + "/heated_room/heated-room";
      Json env = {{"NALTO_SIM_TRACE", "1"}};
      sim.process =
          co_await runtime.make_in_process(std::move(path), "localhost", port, std::move(env), on_output);
      co_await runtime.check_serving(sim.address, 60);
      co_return 0;
    }());
    const auto returned = std::chrono::system_clock::now();
    starts.push_back(seconds_since(started) * 1e3);
    // The sim's line may still be on its way through the pipe.
    for (int wait = 0; wait < 100 && first_serving_ns == 0; ++wait) {
      asio::steady_timer timer(context, std::chrono::milliseconds(10));
      timer.async_wait([](auto) {});
      context.restart();
      context.run_one();
    }
    if (first_serving_ns == 0) throw std::runtime_error("the sim did not report its first SERVING answer");
    const long long returned_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(returned.time_since_epoch()).count();
    gaps.push_back(static_cast<double>(returned_ns - first_serving_ns) / 1e6);
  }
  std::sort(gaps.begin(), gaps.end());
  std::sort(starts.begin(), starts.end());
  std::printf(
      "C++ sim, %d starts: first SERVING answer -> check_serving returned: median %.2f ms, max %.2f ms\n",
      STARTS, gaps[STARTS / 2], gaps.back());
  std::printf("                 start -> serving: median %.1f ms, max %.1f ms\n", starts[STARTS / 2],
              starts.back());
}

constexpr const char* NO_PID_NAMESPACE = "NALTO_TEST_NO_PID_NAMESPACE";

// Sims started in its scope run without a PID namespace of their own.
class WithoutNamespace {
 public:
  WithoutNamespace() { ::setenv(NO_PID_NAMESPACE, "1", 1); }
  ~WithoutNamespace() { ::unsetenv(NO_PID_NAMESPACE); }
  WithoutNamespace(const WithoutNamespace&) = delete;
  WithoutNamespace& operator=(const WithoutNamespace&) = delete;
};

std::string percentiles(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  char text[96];
  std::snprintf(text, sizeof text, "median %7.2f ms, 90th percentile %7.2f ms", values[values.size() / 2],
                values[values.size() * 9 / 10]);
  return text;
}

// A sim that exits at once, started and awaited `count` times: the time until start_sim_process
// returns (the sim has been exec'd), and the time from there until wait() returns (its end, and the
// search for what it left).
struct StartAndEnd {
  std::vector<double> start, end;
};

void start_and_end(asio::io_context& context, const std::string& sim, int count, StartAndEnd& times) {
  for (int i = 0; i < count; ++i) {
    const auto started = Clock::now();
    Clock::time_point running;
    run(context, [&]() -> asio::awaitable<int> {
      std::string path = sim;
      std::string host = "localhost";
      const auto process =
          co_await nalto::runtime::start_sim_process(std::move(path), std::move(host), 1, Json::object(), {});
      running = Clock::now();
      co_return co_await process->wait();
    }());
    times.start.push_back(std::chrono::duration<double>(running - started).count() * 1e3);
    times.end.push_back(seconds_since(running) * 1e3);
  }
}

// Starts the C++ sim until it serves, `count` times.
std::vector<double> start_to_serving(asio::io_context& context, nalto::runtime::GrpcSimRuntime& runtime,
                                     int count) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    Sim sim{runtime};
    const auto started = Clock::now();
    run(context, [&]() -> asio::awaitable<int> {
      const int port = runtime.get_free_port();
      sim.address = "localhost:" + std::to_string(port);
      std::string path = SIMS + "/heated_room/heated-room";
      sim.process = co_await runtime.make_in_process(std::move(path), "localhost", port, Json::object(), {});
      co_await runtime.check_serving(sim.address, 60);
      co_return 0;
    }());
    times.push_back(seconds_since(started) * 1e3);
  }
  return times;
}

void isolation_cost(asio::io_context& context, nalto::runtime::GrpcSimRuntime& runtime) {
  constexpr int STARTS_EACH = 60;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("nalto-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::create_symlink("/bin/true", dir / "true");
  const std::string trivial = (dir / "true").string();
  StartAndEnd own, none;
  std::vector<double> own_serving, none_serving;
  // Taking turns, as the machine's speed drifts.
  for (int round = 0; round < 3; ++round) {
    start_and_end(context, trivial, STARTS_EACH / 3, own);
    for (const double t : start_to_serving(context, runtime, STARTS / 2)) own_serving.push_back(t);
    const WithoutNamespace without;
    start_and_end(context, trivial, STARTS_EACH / 3, none);
    for (const double t : start_to_serving(context, runtime, STARTS / 2)) none_serving.push_back(t);
  }
  std::filesystem::remove_all(dir);
  std::printf("A sim's start in a PID namespace of its own under our init, and without one:\n");
  std::printf("  /bin/true, %d starts: started   in a namespace %s\n", STARTS_EACH,
              percentiles(own.start).c_str());
  std::printf("                                   without one    %s\n", percentiles(none.start).c_str());
  std::printf("                      ended     in a namespace %s\n", percentiles(own.end).c_str());
  std::printf("                                   without one    %s\n", percentiles(none.end).c_str());
  std::printf("  C++ sim, %d starts, to serving: in a namespace %s\n", 3 * (STARTS / 2),
              percentiles(own_serving).c_str());
  std::printf("                                   without one    %s\n", percentiles(none_serving).c_str());
}

}  // namespace

int main() {
  asio::io_context context;
  nalto::runtime::GrpcSimRuntime runtime;
  const nalto::outside::ScopedSimRuntime installed(runtime);
  instant_replay(context, runtime);
  if (const auto isolation = runtime.last_isolation(); !isolation || !isolation->own_pid_namespace)
    std::printf("  (the sim ran without a PID namespace of its own: %s)\n",
                isolation ? isolation->detail.c_str() : "unknown");
  {
    const WithoutNamespace without;
    std::printf("The same, without a PID namespace:\n");
    instant_replay(context, runtime);
  }
  side_by_side_ceiling(context, runtime);
  python_replay(context, runtime);
  serving_latency(context, runtime);
  isolation_cost(context, runtime);
}
