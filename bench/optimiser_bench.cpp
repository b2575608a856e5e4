// Optimisers for fitting a sim's parameters to a dataset, measured on a stand-in for the calibration's
// objective that needs no sim process and no compute node.
//
// The objective: the heated room's model, with four of its parameters free, replayed over the recorded
// actions of the example dataset. 20 of its 40 episodes are scored, picked as the tool picks them
// (i * 39 / 19 rounded, ties to even: 0, 2, ..., 18, 21, ..., 39). Each episode starts from the sim's
// reset state, which is its row 0's prediction; row k's prediction comes from the step that applies
// row k's actions. Per sensor (room, wall, heater; the outside temperature is no prediction of the sim)
// NRMSE = RMSE / (max - min of the scored recorded values); the objective is their mean, and the score
// 100 * (1 - objective). The node also searches a lag of 0 to 3 rows per sensor; that is left out here.
//
// Free parameters, searched in the box [0, 1]^4 that maps linearly onto each one's bounds, or onto the
// logarithm of its bounds for a log-scaled one; the start is the model's defaults:
//   room_capacity [5e4, 5e5] log, wall_capacity [5e5, 8e6] log, heater_conductance [20, 200],
//   room_wall_conductance [80, 800].
//
// Methods, each with 80 evaluations counting the start's:
//   - dlib's global_function_search, given the start as an evaluation it already has, asked for 1, 2
//     or 4 points at a time (all asked before any is told, told in the order asked: how `--jobs N`
//     would use it), seeds 1 to 5; and once more with batch 1 on each parameter's own (log) bounds
//     rather than the unit box;
//   - dlib's find_min_bobyqa from the start, trust region 0.2 down to 1e-4 (no seed: one run).
// The reference is one long run of the global search (batch 1, seed 1, 1000 evaluations).
//
// Prints, per method: the best score after 20, 40, 60 and 80 evaluations (median and worst of the
// seeds), the evaluations needed to come within 1.0 and 0.3 points of the long run's best (and, for the
// global search, within 0.3 when it may go on to 200), and the optimiser's own time per evaluation over
// the first 80 (the time until the 80th evaluation less the objective's).

#include <dlib/global_optimization/global_function_search.h>
#include <dlib/optimization/optimization_bobyqa.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "room_model.hpp"

namespace {

namespace room = nalto::sims::heated_room;
using Clock = std::chrono::steady_clock;
using Point = dlib::matrix<double, 0, 1>;

constexpr int BUDGET = 80;
constexpr int LONGER_BUDGET = 200;  // to see what the global search needs beyond the budget
constexpr int LONG_BUDGET = 1000;
constexpr std::array<int, 4> CHECKPOINTS{20, 40, 60, 80};
constexpr int SEEDS = 5;
constexpr std::int64_t SCORED_EPISODES = 20;
constexpr int SENSORS = 3;  // room, wall, heater

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- the recorded episodes ----

struct Episode {
  std::vector<double> power;
  std::vector<int> fan;
  std::array<std::vector<double>, SENSORS> truth;
};

struct Recording {
  std::vector<Episode> episodes;
  std::array<double, SENSORS> range{};
};

double parse_number(std::string_view text, const std::string& where) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
    throw std::runtime_error(where + ": not a finite number: '" + std::string(text) + "'");
  return value;
}

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(line.substr(start, comma - start));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

// The tool's even spread of `wanted` episodes over `available`.
std::vector<std::size_t> pick_episodes(std::size_t available, std::int64_t wanted) {
  std::vector<std::size_t> picked;
  if (available <= static_cast<std::size_t>(wanted)) {
    for (std::size_t i = 0; i < available; ++i) picked.push_back(i);
    return picked;
  }
  const double step = static_cast<double>(available - 1) / static_cast<double>(wanted - 1);
  for (std::int64_t i = 0; i < wanted; ++i) {
    const auto episode = static_cast<std::size_t>(std::nearbyint(static_cast<double>(i) * step));
    if (picked.empty() || picked.back() != episode) picked.push_back(episode);
  }
  return picked;
}

// A line without its end, which may be CRLF.
bool read_line(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// Reads episode,row,c0..c5 with the rows of each episode together and in order.
Recording read_recording(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::string line;
  if (!read_line(in, line) || line != "episode,row,c0,c1,c2,c3,c4,c5")
    throw std::runtime_error(path + ": unexpected header '" + line + "'");
  std::vector<Episode> all;
  std::optional<double> current;
  for (int number = 2; read_line(in, line); ++number) {
    const std::string where = path + ":" + std::to_string(number);
    const auto fields = split(line);
    if (fields.size() != 8) throw std::runtime_error(where + ": expected 8 fields");
    std::array<double, 8> v{};
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = parse_number(fields[i], where);
    if (!current || v[0] != *current) {
      if (current && v[0] < *current) throw std::runtime_error(where + ": episodes out of order");
      current = v[0];
      all.emplace_back();
    }
    Episode& episode = all.back();
    if (v[1] != static_cast<double>(episode.power.size()))
      throw std::runtime_error(where + ": row " + std::string(fields[1]) + " out of order");
    const double fan = v[7];
    if (fan != std::floor(fan) || fan < 0 || fan >= room::FAN_SETTINGS)
      throw std::runtime_error(where + ": fan setting " + std::string(fields[7]) + " out of range");
    episode.power.push_back(std::clamp(v[6], 0.0, room::MAX_HEATER_POWER));  // as the sim takes it
    episode.fan.push_back(static_cast<int>(fan));
    for (int s = 0; s < SENSORS; ++s) episode.truth[static_cast<std::size_t>(s)].push_back(v[2 + s]);
  }
  if (all.empty()) throw std::runtime_error(path + ": no rows");
  Recording recording;
  std::array<double, SENSORS> low, high;
  low.fill(std::numeric_limits<double>::infinity());
  high.fill(-std::numeric_limits<double>::infinity());
  for (std::size_t index : pick_episodes(all.size(), SCORED_EPISODES)) {
    Episode& episode = all[index];
    for (std::size_t s = 0; s < SENSORS; ++s) {
      const auto [min, max] = std::minmax_element(episode.truth[s].begin(), episode.truth[s].end());
      low[s] = std::min(low[s], *min);
      high[s] = std::max(high[s], *max);
    }
    recording.episodes.push_back(std::move(episode));
  }
  for (std::size_t s = 0; s < SENSORS; ++s) {
    if (!(high[s] > low[s])) throw std::runtime_error(path + ": a sensor that never moves has no range");
    recording.range[s] = high[s] - low[s];
  }
  return recording;
}

// ---- the objective ----

double mean_nrmse(const Recording& recording, const room::Parameters& parameters) {
  std::array<double, SENSORS> squared{};
  std::size_t rows = 0;
  for (const Episode& episode : recording.episodes) {
    room::State state;
    for (std::size_t row = 0; row < episode.power.size(); ++row) {
      if (row > 0) state = room::advance(parameters, state, episode.power[row], episode.fan[row]);
      const std::array<double, SENSORS> predicted{state.room, state.wall, state.heater};
      for (std::size_t s = 0; s < SENSORS; ++s) {
        const double error = predicted[s] - episode.truth[s][row];
        squared[s] += error * error;
      }
    }
    rows += episode.power.size();
  }
  double sum = 0;
  for (std::size_t s = 0; s < SENSORS; ++s)
    sum += std::sqrt(squared[s] / static_cast<double>(rows)) / recording.range[s];
  return sum / SENSORS;
}

double score_of(double objective) {
  return 100 * (1 - objective);
}

struct Dimension {
  const char* name;
  double room::Parameters::*field;
  double low, high;
  bool log;
};

constexpr std::array<Dimension, 4> DIMENSIONS{{
    {"room_capacity", &room::Parameters::room_capacity, 5e4, 5e5, true},
    {"wall_capacity", &room::Parameters::wall_capacity, 5e5, 8e6, true},
    {"heater_conductance", &room::Parameters::heater_conductance, 20, 200, false},
    {"room_wall_conductance", &room::Parameters::room_wall_conductance, 80, 800, false},
}};

double from_unit(const Dimension& d, double u) {
  return d.log ? std::exp(std::log(d.low) + u * (std::log(d.high) - std::log(d.low)))
               : d.low + u * (d.high - d.low);
}

double to_unit(const Dimension& d, double value) {
  return d.log ? (std::log(value) - std::log(d.low)) / (std::log(d.high) - std::log(d.low))
               : (value - d.low) / (d.high - d.low);
}

room::Parameters parameters_at(const Point& x) {
  room::Parameters p;
  for (std::size_t i = 0; i < DIMENSIONS.size(); ++i)
    p.*DIMENSIONS[i].field = from_unit(DIMENSIONS[i], x(static_cast<long>(i)));
  return p;
}

Point start_point() {
  const room::Parameters defaults;
  Point x(static_cast<long>(DIMENSIONS.size()));
  for (std::size_t i = 0; i < DIMENSIONS.size(); ++i)
    x(static_cast<long>(i)) = to_unit(DIMENSIONS[i], defaults.*DIMENSIONS[i].field);
  return x;
}

struct Run {
  std::vector<double> scores;       // of each evaluation, in order
  std::vector<double> own_seconds;  // the optimiser's time until each evaluation, the objective's left out
  Point best;
};

// Runs the objective for an optimiser and keeps its run.
class Evaluator {
 public:
  explicit Evaluator(const Recording& recording) : recording_(recording) {}

  double objective(const Point& x) {
    const auto start = Clock::now();
    run_.own_seconds.push_back(std::chrono::duration<double>(start - created_).count() - objective_seconds_);
    const double value = mean_nrmse(recording_, parameters_at(x));
    objective_seconds_ += seconds_since(start);
    if (run_.scores.empty() || value < best_objective_) {
      best_objective_ = value;
      run_.best = x;
    }
    run_.scores.push_back(score_of(value));
    return value;
  }

  int count() const { return static_cast<int>(run_.scores.size()); }
  const Run& run() const { return run_; }

 private:
  const Recording& recording_;
  const Clock::time_point created_ = Clock::now();
  double objective_seconds_ = 0, best_objective_ = 0;
  Run run_;
};

// ---- the methods ----

// The box the global search sees: [0, 1] on every axis, or each parameter's own bounds (of its logarithm
// when log-scaled), which shows whether the axes' relative scales matter to it.
enum class Box { unit, own_bounds };

Run global_search(const Recording& recording, int batch, int budget, int seed, Box box = Box::unit) {
  Evaluator evaluator(recording);
  const long n = static_cast<long>(DIMENSIONS.size());
  Point low = dlib::zeros_matrix<double>(n, 1), high = dlib::ones_matrix<double>(n, 1);
  if (box == Box::own_bounds) {
    for (long i = 0; i < n; ++i) {
      const Dimension& d = DIMENSIONS[static_cast<std::size_t>(i)];
      low(i) = d.log ? std::log(d.low) : d.low;
      high(i) = d.log ? std::log(d.high) : d.high;
    }
  }
  const auto objective = [&](const Point& x) {
    return evaluator.objective(dlib::pointwise_divide(x - low, high - low));
  };
  const Point x0 = low + dlib::pointwise_multiply(start_point(), high - low);
  const double y0 = objective(x0);
  dlib::global_function_search search({dlib::function_spec(low, high)},
                                      {{dlib::function_evaluation(x0, -y0)}});
  search.set_seed(seed);
  while (evaluator.count() < budget) {
    std::vector<dlib::function_evaluation_request> asked;
    for (int i = 0; i < std::min(batch, budget - evaluator.count()); ++i)
      asked.push_back(search.get_next_x());
    for (auto& request : asked) request.set(-objective(request.x()));
  }
  return evaluator.run();
}

Run bobyqa(const Recording& recording, int budget) {
  Evaluator evaluator(recording);
  Point x = start_point();
  const long n = x.size();
  try {
    dlib::find_min_bobyqa([&](const Point& at) { return evaluator.objective(at); }, x, 2 * n + 1,
                          dlib::zeros_matrix<double>(n, 1), dlib::ones_matrix<double>(n, 1), 0.2, 1e-4,
                          budget);
  } catch (const dlib::bobyqa_failure&) {
    // Raised when the budget runs out before the trust region has shrunk (or the model fails): the
    // evaluations made stand.
  }
  return evaluator.run();
}

// ---- the figures ----

double best_after(const Run& run, int evaluations) {
  const auto end = run.scores.begin() + std::min<std::ptrdiff_t>(evaluations, std::ssize(run.scores));
  return *std::max_element(run.scores.begin(), end);
}

// Evaluations until a score of at least `target` among the first `limit`; infinite when none.
double evaluations_to(const Run& run, double target, int limit) {
  for (std::size_t i = 0; i < std::min(run.scores.size(), static_cast<std::size_t>(limit)); ++i)
    if (run.scores[i] >= target) return static_cast<double>(i + 1);
  return std::numeric_limits<double>::infinity();
}

double own_ms_per_evaluation(const Run& run, int evaluations) {
  const std::size_t n = std::min(run.scores.size(), static_cast<std::size_t>(evaluations));
  return run.own_seconds[n - 1] / static_cast<double>(n) * 1e3;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

struct Method {
  std::string name;
  std::vector<Run> runs;
};

// Median and worst over the method's runs of the evaluations to `target` within the first `limit`.
void print_evaluations_to(const Method& method, double target, int limit) {
  std::vector<double> needed;
  std::size_t longest = 0;
  for (const Run& run : method.runs) {
    needed.push_back(evaluations_to(run, target, limit));
    longest = std::max(longest, run.scores.size());
  }
  const std::string never = ">" + std::to_string(std::min(longest, static_cast<std::size_t>(limit)));
  for (double count : {median(needed), *std::max_element(needed.begin(), needed.end())}) {
    const std::string text = std::isinf(count) ? never : std::to_string(static_cast<int>(count));
    std::printf(" %5s", text.c_str());
  }
  std::printf(" ");
}

void print_method(const Method& method, double reference) {
  std::printf("%-24s", method.name.c_str());
  for (int checkpoint : CHECKPOINTS) {
    std::vector<double> best;
    for (const Run& run : method.runs) best.push_back(best_after(run, checkpoint));
    std::printf(" %6.2f %6.2f ", median(best), *std::min_element(best.begin(), best.end()));
  }
  print_evaluations_to(method, reference - 1.0, BUDGET);
  print_evaluations_to(method, reference - 0.3, BUDGET);
  print_evaluations_to(method, reference - 0.3, LONGER_BUDGET);
  std::vector<double> own;
  for (const Run& run : method.runs) own.push_back(own_ms_per_evaluation(run, BUDGET));
  std::printf(" %7.3f\n", median(own));
}

void print_parameters(const Point& x) {
  const room::Parameters p = parameters_at(x);
  for (const Dimension& d : DIMENSIONS) std::printf("  %-22s %.6g\n", d.name, p.*d.field);
}

}  // namespace

int main(int argc, char**) {
  if (argc > 1) {
    std::fprintf(stderr, "usage: optimiser_bench   (takes no arguments)\n");
    return 2;
  }
  try {
    const auto started = Clock::now();
    const Recording recording = read_recording(NALTO_SOURCE_DIR "/examples/datasets/heated-room/rows.csv");
    std::size_t rows = 0;
    for (const Episode& episode : recording.episodes) rows += episode.power.size();
    std::printf(
        "objective: %zu episodes, %zu rows, 3 sensors; budget %d evaluations (the start's included)\n",
        recording.episodes.size(), rows, BUDGET);
    std::printf("baseline (the model's defaults): score %.3f\n\n", score_of(mean_nrmse(recording, {})));

    const Run long_run = global_search(recording, 1, LONG_BUDGET, 1);
    const double reference = best_after(long_run, LONG_BUDGET);
    std::printf(
        "long run (global search, batch 1, seed 1, %d evaluations): best score %.3f, within 0.3 of it after "
        "%g evaluations and within 0.01 after %g; its own time %.2f ms per evaluation\n",
        LONG_BUDGET, reference, evaluations_to(long_run, reference - 0.3, LONG_BUDGET),
        evaluations_to(long_run, reference - 0.01, LONG_BUDGET),
        own_ms_per_evaluation(long_run, LONG_BUDGET));
    print_parameters(long_run.best);

    // Run past the budget; the figures within the budget are the runs' first evaluations, which a
    // larger budget leaves as they are.
    std::vector<Method> methods;
    for (int batch : {1, 2, 4}) {
      Method method{"global search, batch " + std::to_string(batch), {}};
      for (int seed = 1; seed <= SEEDS; ++seed)
        method.runs.push_back(global_search(recording, batch, LONGER_BUDGET, seed));
      methods.push_back(std::move(method));
    }
    Method unscaled{"global, 1, own bounds", {}};
    for (int seed = 1; seed <= SEEDS; ++seed)
      unscaled.runs.push_back(global_search(recording, 1, LONGER_BUDGET, seed, Box::own_bounds));
    methods.push_back(std::move(unscaled));
    methods.push_back({"BOBYQA (no seed, 1 run)", {bobyqa(recording, BUDGET)}});

    std::printf(
        "\nbest score after N evaluations (median, worst of seeds 1-%d); evaluations to come within 1.0 and "
        "0.3 of the long run's best within the budget of %d, and within 0.3 when the global search may "
        "go on to %d (median, worst; >N: not within N); the optimiser's own time per evaluation over the "
        "first %d (median, ms)\n",
        SEEDS, BUDGET, LONGER_BUDGET, BUDGET);
    std::printf("%-24s", "method");
    for (int checkpoint : CHECKPOINTS) std::printf("     N=%-2d      ", checkpoint);
    std::printf("  within 1.0   within 0.3  0.3 in %d  own ms\n", LONGER_BUDGET);
    for (const Method& method : methods) print_method(method, reference);

    const Run& bobyqa_run = methods.back().runs.front();
    std::printf("\nBOBYQA's best, score %.3f, in %zu evaluations:\n", best_after(bobyqa_run, BUDGET),
                bobyqa_run.scores.size());
    print_parameters(bobyqa_run.best);
    std::printf("\ntotal run time %.1f s\n", seconds_since(started));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "optimiser_bench: %s\n", error.what());
    return 1;
  }
}
