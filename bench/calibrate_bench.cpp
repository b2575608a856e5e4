// `nalto sim calibrate` as a user runs it: the CLI against the reference compute node on the example
// dataset, calibrating four of the C++ room's parameters.
//
// 1. Budget 80 with seeds 1, 2 and 3, against one long run (LONG_BUDGET evaluations, seed 1): the best
//    score of each, how far below the long run's best it ends, and the evaluations it took to come
//    within 1.0 and 0.3 of it (from the -v lines). From the model's defaults, as a user whose env_init
//    holds today's values starts, and from the bounds' middles, as one who gives no start.
// 2. A room whose every Step costs 3 ms (step_cost_ms): evaluations per minute with --jobs 1 and 2, and
//    the peak resident memory of the CLI (of its largest process: itself or a sim it reaped).
//
// Usage: calibrate_bench [LONG_BUDGET]   (default 1000; about 6 minutes on a 2-core machine)

#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "child_process.hpp"

namespace {

using nalto::bench::Child;
using nalto::bench::NodeProcess;
using nalto::bench::read_file;
using nalto::bench::spawn;
using Clock = std::chrono::steady_clock;

const std::string CLI = NALTO_EXE;
const std::string NODE = NALTO_COMPUTE_NODE_EXE;
const std::string ROOM = std::string(NALTO_EXAMPLE_SIMS_DIR) + "/heated_room/heated-room";
const std::string DATASETS = std::string(NALTO_SOURCE_DIR) + "/examples/datasets";
const std::string TOKEN = "bench-token-7d1a";
// The model's own values of the parameters, the start a user's env_init would hold.
const std::string DEFAULTS =
    R"({"room_capacity": 120000, "wall_capacity": 2000000, "heater_conductance": 60, "room_wall_conductance": 250})";
const std::vector<std::string> PARAMETERS = {"room_capacity=5e4..5e5:log", "wall_capacity=5e5..8e6:log",
                                             "heater_conductance=20..200", "room_wall_conductance=80..800"};

struct Run {
  std::vector<double> scores;  // each evaluation's on the fit episodes, in order; NaN for a failed one
  double wall_s, peak_mib;
};

Run calibrate(const std::string& url, const std::string& dir, int budget, int jobs, int seed,
              const std::string& env_init) {
  std::vector<std::string> argv = {CLI,
                                   "sim",
                                   "calibrate",
                                   "--path",
                                   ROOM,
                                   "--dataset",
                                   "heated-room-demo",
                                   "--budget",
                                   std::to_string(budget),
                                   "--jobs",
                                   std::to_string(jobs),
                                   "--seed",
                                   std::to_string(seed),
                                   "--env-init",
                                   env_init,
                                   "--out",
                                   dir + "/out.json",
                                   "-v"};
  for (const std::string& parameter : PARAMETERS) argv.insert(argv.end(), {"--param", parameter});
  const auto started = Clock::now();
  const Child cli = spawn(argv, {"NALTO_COMPUTE_URL=" + url, "NALTO_COMPUTE_TOKEN=" + TOKEN},
                          dir + "/cli.out", dir + "/cli.err");
  int status = 0;
  rusage usage{};
  ::wait4(cli.pid, &status, 0, &usage);
  Run run{.scores = {},
          .wall_s = std::chrono::duration<double>(Clock::now() - started).count(),
          .peak_mib = usage.ru_maxrss / 1024.0};
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("the calibration failed:\n" + read_file(dir + "/cli.err"));
  const std::regex scored(R"(^#(\d+) (score (\S+),|failed))");
  std::istringstream lines(read_file(dir + "/cli.out"));
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, scored))
      run.scores.push_back(match[3].matched ? std::stod(match[3]) : NAN);
  }
  return run;
}

double best_of(const std::vector<double>& scores) {
  double best = -INFINITY;
  for (const double score : scores)
    if (score > best) best = score;
  return best;
}

// The evaluations it took for the best so far to come within `gap` of `target`.
std::optional<std::size_t> within(const std::vector<double>& scores, double target, double gap) {
  double best = -INFINITY;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (scores[i] > best) best = scores[i];
    if (best >= target - gap) return i + 1;
  }
  return std::nullopt;
}

std::string count_text(const std::optional<std::size_t>& n) {
  return n ? std::to_string(*n) : "-";
}

}  // namespace

int main(int argc, char** argv) {
  const int long_budget = argc > 1 ? std::stoi(argv[1]) : 1000;
  char pattern[] = "/tmp/nalto-calibrate-bench.XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  int status = 0;
  try {
    const NodeProcess node(NODE, DATASETS, TOKEN, dir);
    const Run long_run = calibrate(node.url(), dir, long_budget, 2, 1, DEFAULTS);
    const double target = best_of(long_run.scores);
    std::printf("The C++ room, 4 parameters, the example dataset (15 fit episodes):\n");
    std::printf("  long run, budget %d, --jobs 2, seed 1: best %.2f in %.0f s\n", long_budget, target,
                long_run.wall_s);
    const std::pair<const char*, std::string> starts[] = {{"the model's defaults", DEFAULTS},
                                                          {"the bounds' middles", "{}"}};
    for (const auto& [name, start] : starts) {
      std::printf("  from %s, budget 80, --jobs 2:\n", name);
      std::printf("  %-10s %8s %8s %12s %12s %12s %8s\n", "", "start", "best", "below long", "within 1.0",
                  "within 0.3", "s");
      for (const int seed : {1, 2, 3}) {
        const Run run = calibrate(node.url(), dir, 80, 2, seed, start);
        const double best = best_of(run.scores);
        std::printf("  seed %-5d %8.2f %8.2f %12.2f %12s %12s %8.1f\n", seed, run.scores.front(), best,
                    target - best, count_text(within(run.scores, target, 1.0)).c_str(),
                    count_text(within(run.scores, target, 0.3)).c_str(), run.wall_s);
      }
    }

    std::printf("\nThe room at 3 ms per Step, budget 16:\n");
    std::printf("  %-7s %16s %8s %10s\n", "--jobs", "evaluations/min", "ratio", "peak MiB");
    double rate_1 = 0;
    for (const int jobs : {1, 2}) {
      const Run run = calibrate(node.url(), dir, 16, jobs, 1, R"({"step_cost_ms": 3})");
      const double rate = static_cast<double>(run.scores.size()) * 60 / run.wall_s;
      if (jobs == 1) rate_1 = rate;
      std::printf("  %-7d %16.1f %7.2fx %10.1f\n", jobs, rate, rate / rate_1, run.peak_mib);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(dir);
  return status;
}
