// What the node's diagnostics cost at the scale of real logs: 20 episodes of 20,000 rows, 30 sensors,
// predictions of full precision. In this process, on the node's own Service, it times (medians of 3):
//
// - the scoring request read from a body already in memory (reading, scoring and diagnostics), with the
//   default search of 10 rows either side and with none;
// - the diagnostics alone on the same series (the signed lag search, the moments at the lag found and
//   the episode scores), and the score's own lag search beside them;
// - the growth of this process's peak resident size during each request.
//
// The time of a request without the diagnostics is the request's less theirs; over HTTP a request
// also takes its transfer, so the share measured here is the larger one.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "compute_node.hpp"

namespace {

namespace node = nalto::node_app;
using Clock = std::chrono::steady_clock;
using nalto::Json;

constexpr int EPISODES = 20, ROWS = 20'000, SENSORS = 30, RUNS = 3;
constexpr double MiB = 1024.0 * 1024.0;
const std::string ID = "7c2e9a41-5b0d-4f3e-8a16-2d9c0b1e4f57";

void append(std::string& out, double value) {
  char buffer[32];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

double peak_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmHWM:")) return std::strtod(line.c_str() + 6, nullptr) * 1024;
  throw std::runtime_error("no VmHWM in /proc/self/status");
}

// The peak resident size starts again from the resident size now.
void reset_peak() {
  std::ofstream("/proc/self/clear_refs") << "5" << std::flush;
}

void write_dataset(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  Json columns = Json::array();
  for (int s = 0; s < SENSORS; ++s) columns.push_back({{"key", "s" + std::to_string(s)}, {"role", "sensor"}});
  columns.push_back({{"key", "a0"}, {"role", "action"}});
  std::ofstream(folder / "dataset.json") << Json{{"id", ID}, {"name", "scale"}, {"columns", columns}}.dump();
  std::ofstream csv(folder / "rows.csv");
  std::string line = "episode,row";
  for (int s = 0; s < SENSORS; ++s) line += ",s" + std::to_string(s);
  csv << line << ",a0\n";
  std::mt19937_64 random(11);
  for (int e = 0; e < EPISODES; ++e) {
    for (int r = 0; r < ROWS; ++r) {
      line = std::to_string(e) + "," + std::to_string(r);
      for (int s = 0; s < SENSORS; ++s) {
        line += ',';
        append(line, static_cast<double>(15000 + random() % 15000) / 1000);
      }
      csv << line << ",1\n";
    }
  }
}

// predictions[e][s]: of full precision, as a sim's floating-point state gives them.
std::vector<std::vector<std::vector<double>>> make_predictions() {
  std::mt19937_64 random(12);
  std::uniform_real_distribution<double> value(15, 30);
  std::vector<std::vector<std::vector<double>>> predictions(EPISODES);
  for (auto& episode : predictions) {
    for (int s = 0; s < SENSORS; ++s) {
      std::vector<double> values(ROWS);
      for (double& v : values) v = value(random);
      episode.push_back(std::move(values));
    }
  }
  return predictions;
}

std::string score_body(const std::vector<std::vector<std::vector<double>>>& predictions, int search) {
  std::string sensors;
  for (int s = 0; s < SENSORS; ++s) sensors += (s ? ",\"s" : "\"s") + std::to_string(s) + "\"";
  std::string body =
      "{\"dataset_uuid\":\"" + ID + "\",\"core_sensor_variables\":[],\"sensor_variables\":[" + sensors +
      "],\"action_variables\":[\"a0\"],\"max_lag_steps\":3,\"search_lag_rows\":" + std::to_string(search) +
      ",\"episodes\":[";
  body.reserve(static_cast<std::size_t>(EPISODES) * ROWS * SENSORS * 20);
  for (int e = 0; e < EPISODES; ++e) {
    body += (e ? ",{\"episode\":" : "{\"episode\":") + std::to_string(e) + ",\"predictions\":{";
    for (int s = 0; s < SENSORS; ++s) {
      body += (s ? ",\"s" : "\"s") + std::to_string(s) + "\":[";
      for (int r = 0; r < ROWS; ++r) {
        if (r) body += ',';
        append(body, predictions[e][s][r]);
      }
      body += ']';
    }
    body += "}}";
  }
  return body + "]}";
}

struct Timing {
  double seconds = 0, growth = 0;
};

Timing measure(const std::function<void()>& work) {
  std::vector<double> times, growths;
  for (int run = 0; run < RUNS; ++run) {
    reset_peak();
    const double before = peak_bytes();
    const auto start = Clock::now();
    work();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    growths.push_back(peak_bytes() - before);
  }
  std::sort(times.begin(), times.end());
  std::sort(growths.begin(), growths.end());
  return {times[RUNS / 2], growths[RUNS / 2]};
}

void run(const std::filesystem::path& dir) {
  write_dataset(dir / "scale");
  node::Service service(node::Catalog::load(dir));
  const node::Dataset& dataset = *service.catalog()->by_id(ID);
  const auto predictions = make_predictions();

  std::vector<std::vector<node::SeriesPair>> series(SENSORS);
  for (int s = 0; s < SENSORS; ++s)
    for (int e = 0; e < EPISODES; ++e)
      series[s].push_back({std::span(dataset.column("s" + std::to_string(s))->values)
                               .subspan(dataset.episodes[e].first, dataset.episodes[e].count),
                           predictions[e][s]});

  std::size_t checksum = 0;
  const Timing score_search = measure([&] {
    for (const auto& pairs : series) checksum += node::fit_sensor(pairs, 3, node::MIN_SCORED_ROWS)->lag_steps;
  });
  const Timing diagnostics = measure([&] {
    for (const auto& pairs : series) {
      checksum += node::diagnose_sensor(pairs, node::DEFAULT_SEARCH_LAG, node::MIN_SCORED_ROWS)->n_rows;
      const node::SensorFit fit = *node::fit_sensor(pairs, 3, node::MIN_SCORED_ROWS);
      for (const node::SeriesPair& pair : pairs)
        checksum += static_cast<std::size_t>(*node::episode_score(pair, fit, node::MIN_SCORED_ROWS));
    }
  });
  // The episode scores above reran the score's lag search, which the request does once only.
  const double diagnostics_s = diagnostics.seconds - score_search.seconds;

  Timing requests[2];
  for (const int search : {0, 10}) {
    const std::string body = score_body(predictions, search);
    requests[search ? 1 : 0] = measure([&] {
      const node::Reply reply = service.score_rollouts(body);
      if (reply.status != 200) throw std::runtime_error(reply.body);
      checksum += reply.body.size();
    });
  }
  const double without = requests[1].seconds - diagnostics_s;
  std::printf("%d episodes x %d rows x %d sensors (checksum %zu)\n", EPISODES, ROWS, SENSORS, checksum % 10);
  std::printf("  score's lag search (0..3)             : %.3f s\n", score_search.seconds);
  std::printf("  diagnostics (search 10, moments, episodes): %.3f s\n", diagnostics_s);
  std::printf("  request, search 10                    : %.3f s, peak growth %.1f MiB\n", requests[1].seconds,
              requests[1].growth / MiB);
  std::printf("  request, search 0                     : %.3f s, peak growth %.1f MiB\n", requests[0].seconds,
              requests[0].growth / MiB);
  std::printf("  request without the diagnostics       : %.3f s; the diagnostics add %.1f%%\n", without,
              100 * diagnostics_s / without);
}

}  // namespace

int main() {
  char pattern[] = "/tmp/nalto-diagnostics-bench.XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(pattern);
  int status = 0;
  try {
    run(dir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(dir);
  return status;
}
