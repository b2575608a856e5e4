// Whole publishes of the example dataset through the C++ example sim, as a user runs them: the CLI
// against the reference compute node, with --jobs 1, 2, 4 and 8.
//
// 1. A sim whose every Step costs 3 ms (env_init {"step_cost_ms": 3}), as a sim integrating a model.
// 2. The sim in its instant mode (each Step answered at once), where the tool's own cost shows.
//
// For each: the replay's rows/s (from the CLI's debug log: the rows of the episodes replayed over the
// time from the replay's first status to the analysis request), the whole publish's wall time, their
// ratios to --jobs 1, and the peak resident memory of the CLI (of its largest process: itself or a sim
// it reaped). Medians of RUNS runs, the job counts taking turns.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.hpp"

namespace {

using nalto::bench::Child;
using nalto::bench::NodeProcess;
using nalto::bench::read_file;
using nalto::bench::spawn;

using Clock = std::chrono::steady_clock;

constexpr int RUNS = 5;
const std::string CLI = NALTO_EXE;
const std::string NODE = NALTO_COMPUTE_NODE_EXE;
const std::string ROOM = std::string(NALTO_EXAMPLE_SIMS_DIR) + "/heated_room/heated-room";
const std::string DATASETS = std::string(NALTO_SOURCE_DIR) + "/examples/datasets";
const std::string TOKEN = "bench-token-2c5e";

// Milliseconds of the day of a debug record's time stamp, "2026-12-09 12:00:01.234 ...".
double stamp_ms(const std::string& line) {
  const int h = std::stoi(line.substr(11, 2)), m = std::stoi(line.substr(14, 2));
  return ((h * 60 + m) * 60 + std::stod(line.substr(17, 6))) * 1000;
}

struct Publish {
  double rows_per_s, wall_s, peak_mib;
};

Publish publish(const std::string& url, const std::string& dir, int jobs, const std::string& env_init,
                const std::vector<std::string>& sim_env) {
  const std::string log = dir + "/cli.log";
  const std::vector<std::string> argv = {
      CLI,
      "sim",
      "publish",
      "--path",
      ROOM,
      "--dataset",
      "heated-room-demo",
      "--platform-state",
      dir + "/state.json",
      "--jobs",
      std::to_string(jobs),
      "--env-init",
      env_init,
      "--max-episodes",
      "40",
      "--implementation",
      std::to_string(::getpid()) + "-" + std::to_string(Clock::now().time_since_epoch().count())};
  const auto started = Clock::now();
  std::vector<std::string> env = {"NALTO_COMPUTE_URL=" + url, "NALTO_COMPUTE_TOKEN=" + TOKEN,
                                  "NALTO_LOG=debug"};
  env.insert(env.end(), sim_env.begin(), sim_env.end());
  const Child cli = spawn(argv, env, "/dev/null", log);
  int status = 0;
  rusage usage{};
  ::wait4(cli.pid, &status, 0, &usage);
  const double wall_s = std::chrono::duration<double>(Clock::now() - started).count();
  // 3: submitted, but no use case uses the sim; the bench links none.
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3))
    throw std::runtime_error("the publish failed:\n" + read_file(log));

  double begun = -1, ended = -1;
  long rows = 0;
  const std::regex replayed(R"(Replayed episode \S+ in \S+ s \((\d+) rows)");
  std::istringstream lines(read_file(log));
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (begun < 0 && line.find("Replaying the dataset through the sim...") != std::string::npos)
      begun = stamp_ms(line);
    if (line.find("Analyzing the sim against the dataset") != std::string::npos) ended = stamp_ms(line);
    if (std::regex_search(line, match, replayed)) rows += std::stol(match[1]);
  }
  if (begun < 0 || ended < begun)
    throw std::runtime_error("the log does not show the replay:\n" + read_file(log));
  return {static_cast<double>(rows) / ((ended - begun) / 1000), wall_s, usage.ru_maxrss / 1024.0};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void series(const std::string& url, const std::string& dir, const std::string& title,
            const std::string& env_init, const std::vector<std::string>& sim_env,
            const std::vector<int>& jobs) {
  std::map<int, std::vector<Publish>> runs;
  for (int run = 0; run < RUNS; ++run)
    for (const int j : jobs) runs[j].push_back(publish(url, dir, j, env_init, sim_env));
  std::printf("%s, %d runs (medians):\n", title.c_str(), RUNS);
  std::printf("  %-7s %12s %8s %10s %8s %10s\n", "--jobs", "rows/s", "ratio", "publish s", "ratio",
              "peak MiB");
  const auto field = [](const std::vector<Publish>& of, double Publish::*member) {
    std::vector<double> values;
    for (const Publish& p : of) values.push_back(p.*member);
    return median(values);
  };
  const double rate_1 = field(runs[jobs[0]], &Publish::rows_per_s),
               wall_1 = field(runs[jobs[0]], &Publish::wall_s);
  for (const int j : jobs) {
    const double rate = field(runs[j], &Publish::rows_per_s), wall = field(runs[j], &Publish::wall_s);
    std::printf("  %-7d %12.0f %7.2fx %10.2f %7.2fx %10.1f\n", j, rate, rate / rate_1, wall, wall_1 / wall,
                field(runs[j], &Publish::peak_mib));
  }
}

}  // namespace

int main() {
  char pattern[] = "/tmp/nalto-parallel-bench.XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  int status = 0;
  try {
    const NodeProcess node(NODE, DATASETS, TOKEN, dir);
    series(node.url(), dir, "C++ sim, 3 ms per Step", R"({"step_cost_ms": 3})", {}, {1, 2, 4, 8});
    // The sim inherits the CLI's environment.
    series(node.url(), dir, "C++ sim, instant answers", "{}", {"HEATED_ROOM_INSTANT=1"}, {1, 2});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(dir);
  return status;
}
