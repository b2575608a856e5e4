// The analysis at the scale of real logs: 20 episodes of 20,000 rows (and of 36,000, an hour at 10 Hz),
// 30 sensors. For each size, a generated dataset is served by the reference compute node, and this
// program posts the analysis request as the tool does (the body written while it is sent) with
// predictions of full precision, several times. It prints:
//
// - the node: the time it takes to load rows.csv and its memory then, against the file and the
//   columns as doubles; the request's time; its memory growth during the request (peak less the
//   resident size before), against the predictions' binary size;
// - the tool: its peak resident size while posting, over its size before the predictions were made,
//   against the predictions' binary size.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "nalto/analysis/internal.hpp"
#include "nalto/node/node_post.hpp"
#include "random_rollouts.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using nalto::Json;
using nalto::bench::NodeProcess;
using nalto::bench::read_file;

constexpr int EPISODES = 20, SENSORS = 30, ACTIONS = 2, RUNS = 3;
constexpr double MiB = 1024.0 * 1024.0;
const std::string NODE = NALTO_COMPUTE_NODE_EXE;
const std::string TOKEN = "bench-token-7a41";
const std::string ID = "5b0e7c9a-2f41-4d8e-b3a6-90c1d2e3f4a5";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A line of /proc/PID/status in KiB, as bytes.
double status_bytes(const std::string& pid, const std::string& field) {
  const std::string status = read_file("/proc/" + pid + "/status");
  const std::size_t at = status.find(field + ":");
  if (at == std::string::npos) throw std::runtime_error("no " + field + " in /proc/" + pid + "/status");
  return std::strtod(status.c_str() + at + field.size() + 1, nullptr) * 1024;
}

// The peak resident size starts again from the resident size now. The node is not dumpable, so only
// root may do this to it.
void reset_peak(const std::string& pid) {
  std::ofstream file("/proc/" + pid + "/clear_refs");
  file << "5" << std::flush;
  if (!file)
    throw std::runtime_error("cannot reset the peak resident size of process " + pid +
                             ": the compute node is not dumpable, so only root can; run the bench as root");
}

void append(std::string& out, double value) {
  char buffer[32];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// dataset.json and rows.csv of `rows` rows an episode; returns the size of rows.csv.
std::uintmax_t write_dataset(const std::filesystem::path& folder, int rows) {
  std::filesystem::create_directories(folder);
  Json columns = Json::array();
  for (int s = 0; s < SENSORS; ++s)
    columns.push_back(
        {{"key", "s" + std::to_string(s)}, {"raw_name", "sensor " + std::to_string(s)}, {"role", "sensor"}});
  for (int a = 0; a < ACTIONS; ++a) columns.push_back({{"key", "a" + std::to_string(a)}, {"role", "action"}});
  std::ofstream(folder / "dataset.json") << Json{{"id", ID}, {"name", "scale"}, {"columns", columns}}.dump();

  std::ofstream csv(folder / "rows.csv");
  std::string line = "episode,row";
  for (const Json& column : columns) line += "," + column["key"].get<std::string>();
  csv << line << '\n';
  std::mt19937_64 random(11);
  for (int e = 0; e < EPISODES; ++e) {
    for (int r = 0; r < rows; ++r) {
      line = std::to_string(e) + "," + std::to_string(r);
      for (int s = 0; s < SENSORS; ++s) {
        line += ',';
        append(line, static_cast<double>(15000 + random() % 15000) / 1000);
      }
      for (int a = 0; a < ACTIONS; ++a) {
        line += ',';
        append(line, static_cast<double>(random() % 3));
      }
      csv << line << '\n';
    }
  }
  csv.close();
  return std::filesystem::file_size(folder / "rows.csv");
}

struct Post {
  double seconds, node_growth, tool_peak;
};

// Posts one analysis from a child process of its own, whose memory starts clean.
Post post(const NodeProcess& node, int rows, int run) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) throw std::runtime_error("no pipe");
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    Post result{-1, 0, 0};
    try {
      const std::string self = "self", node_pid = std::to_string(node.pid());
      const double tool_before = status_bytes(self, "VmRSS");
      const nalto::Plan plan = nalto::bench::sensors_plan(SENSORS);
      const Json claim{{"simulatorId", "bench"},
                       {"simulatorImplementationId", "local"},
                       {"validationRunId", "run-" + std::to_string(rows) + "-" + std::to_string(run)},
                       {"maxLagSteps", 3}};
      nalto::detail::AnalysisBody body(Json{{"id", ID}}, nalto::claimed_scoring(claim, "sha"), plan,
                                       nalto::bench::random_rollouts(EPISODES, rows, SENSORS));
      reset_peak(self);
      const double node_before = status_bytes(node_pid, "VmRSS");
      reset_peak(node_pid);
      const auto start = Clock::now();
      auto write = [&body](char* out, std::size_t capacity) { return body.read(out, capacity); };
      const Json answer = nalto::node_post_streamed("sim-analyze-rollouts", write, 600);
      result.seconds = seconds_since(start);
      if (answer["summary"]["sensors_scored"] != SENSORS)
        throw std::runtime_error("not scored: " + answer.dump());
      result.node_growth = status_bytes(node_pid, "VmHWM") - node_before;
      result.tool_peak = status_bytes(self, "VmHWM") - tool_before;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
    }
    [[maybe_unused]] const ssize_t written = ::write(pipe_fds[1], &result, sizeof result);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  Post result{-1, 0, 0};
  const ssize_t got = ::read(pipe_fds[0], &result, sizeof result);
  ::close(pipe_fds[0]);
  ::waitpid(child, nullptr, 0);
  if (got != sizeof result || result.seconds < 0) throw std::runtime_error("the analysis request failed");
  return result;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void scale(const std::filesystem::path& dir, int rows) {
  const std::filesystem::path datasets = dir / std::to_string(rows);
  const double csv_bytes = static_cast<double>(write_dataset(datasets / "scale", rows));
  const double values = static_cast<double>(EPISODES) * rows * SENSORS;
  const double predictions_bytes = values * sizeof(double);
  const double columns_bytes = static_cast<double>(EPISODES) * rows * (SENSORS + ACTIONS) * sizeof(double);

  const auto started = Clock::now();
  const NodeProcess node(NODE, datasets.string(), TOKEN, dir.string());
  const double load_s = seconds_since(started);
  const std::string pid = std::to_string(node.pid());
  const double loaded = status_bytes(pid, "VmRSS"), load_peak = status_bytes(pid, "VmHWM");
  ::setenv("NALTO_COMPUTE_URL", node.url().c_str(), 1);
  ::setenv("NALTO_COMPUTE_TOKEN", TOKEN.c_str(), 1);

  std::vector<double> times, growths, peaks;
  for (int run = 0; run < RUNS; ++run) {
    const Post p = post(node, rows, run);
    times.push_back(p.seconds);
    growths.push_back(p.node_growth);
    peaks.push_back(p.tool_peak);
  }
  std::printf("%d episodes x %d rows x %d sensors: %.1f M predictions, %.1f MiB as doubles\n", EPISODES, rows,
              SENSORS, values / 1e6, predictions_bytes / MiB);
  std::printf(
      "  node, loading    : rows.csv %.1f MiB in %.2f s (start included); resident %.1f MiB, peak %.1f MiB;"
      " columns as doubles %.1f MiB\n",
      csv_bytes / MiB, load_s, loaded / MiB, load_peak / MiB, columns_bytes / MiB);
  std::printf(
      "  node, analysis   : %.2f s (median of %d; %.2f .. %.2f), memory growth %.1f MiB = %.2fx the "
      "predictions\n",
      median(times), RUNS, *std::min_element(times.begin(), times.end()),
      *std::max_element(times.begin(), times.end()), median(growths) / MiB,
      median(growths) / predictions_bytes);
  std::printf(
      "  tool, posting    : peak %.1f MiB over its start = %.2fx the predictions (%.1f MiB beyond them)\n",
      median(peaks) / MiB, median(peaks) / predictions_bytes, (median(peaks) - predictions_bytes) / MiB);
  std::fflush(stdout);
}

}  // namespace

int main() {
  char pattern[] = "/tmp/nalto-scale-bench.XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(pattern);
  int status = 0;
  try {
    scale(dir, 20'000);
    scale(dir, 36'000);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(dir);
  return status;
}
