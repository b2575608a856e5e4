// What an evidence page costs at the scale of real logs: 20 episodes of 20,000 rows, 30 sensors,
// predictions of full precision that are noise (the reduction's worst case: every bucket's least and
// greatest values fall on different rows for each series). On the node's own Service, in this process
// (medians of 3):
//
// - the scoring request without and with a page (the page's reduction, its HTML and the writes of the
//   page and its data, fsynced, into a state folder under /tmp);
// - the page's size and its data's;
// - the time Chromium (headless, from disk) takes until the page's script has drawn the charts of the
//   worst episode, as the page logs it (performance.now(), from the start of the navigation).

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
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

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double seconds_of(const std::function<void()>& work) {
  std::vector<double> times;
  for (int run = 0; run < RUNS; ++run) {
    const auto start = Clock::now();
    work();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  return median(times);
}

std::string chromium() {
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "");
  for (std::string folder; std::getline(path, folder, ':');)
    if (!folder.empty() && ::access((folder + "/chromium").c_str(), X_OK) == 0) return folder + "/chromium";
  return {};
}

// The milliseconds from the start of the navigation until the page logged its charts drawn.
double draw_ms(const std::string& browser, const std::filesystem::path& page,
               const std::filesystem::path& dir) {
  const std::filesystem::path profile = dir / "profile";
  std::filesystem::remove_all(profile);
  const std::string log = (dir / "chromium.log").string();
  const std::string command =
      "timeout 60 " + browser +
      " --headless --no-sandbox --enable-logging=stderr --v=0 --user-data-dir=" + profile.string() +
      " --dump-dom file://" + page.string() + " >/dev/null 2>" + log;
  if (std::system(command.c_str()) != 0) throw std::runtime_error("chromium failed: see " + log);
  std::ifstream in(log);
  const std::string marker = "nalto-evidence-page: drew ";
  for (std::string line; std::getline(in, line);) {
    const std::size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    const std::size_t ms = line.find(" at ", at), in = line.find(" in ", at);
    std::fprintf(stderr, "    drawing took %.0f ms\n", std::strtod(line.c_str() + in + 4, nullptr));
    return std::strtod(line.c_str() + ms + 4, nullptr);
  }
  throw std::runtime_error("the page logged no drawing: see " + log);
}

void run(const std::filesystem::path& dir) {
  write_dataset(dir / "data" / "scale");
  std::filesystem::create_directories(dir / "state");
  std::filesystem::permissions(dir / "state", std::filesystem::perms::owner_all);
  node::Service service(node::Catalog::load(dir / "data"), {}, node::RunIndex(),
                        node::EvidencePages{.store = node::PageStore::in_folder(dir / "state", 10)});
  const auto predictions = make_predictions();
  const std::string plain = score_body(predictions, 10);
  std::string paged = plain;
  paged.insert(paged.size() - 1, ",\"evidence_page\":{\"sim\":\"bench/sim\"}");

  std::size_t checksum = 0;
  const double without = seconds_of([&] {
    const node::Reply reply = service.score_rollouts(plain);
    if (reply.status != 200) throw std::runtime_error(reply.body);
    checksum += reply.body.size();
  });
  std::filesystem::path page;
  const double with = seconds_of([&] {
    const node::Reply reply = service.score_rollouts(paged);
    const Json answer = Json::parse(reply.body);
    if (reply.status != 200 || !answer["evidence_page"]["path"].is_string())
      throw std::runtime_error(reply.body);
    page = answer["evidence_page"]["path"].get<std::string>();
  });
  std::filesystem::path data = page;
  data.replace_extension(".json");

  std::printf("%d episodes x %d rows x %d sensors (checksum %zu)\n", EPISODES, ROWS, SENSORS, checksum % 10);
  std::printf("  request without a page : %.3f s\n", without);
  std::printf("  request with a page    : %.3f s (+%.3f s)\n", with, with - without);
  std::printf("  page                   : %.2f MB (%.2f MiB); its data for a later page: %.2f MB\n",
              static_cast<double>(std::filesystem::file_size(page)) / 1e6,
              static_cast<double>(std::filesystem::file_size(page)) / MiB,
              static_cast<double>(std::filesystem::file_size(data)) / 1e6);
  const std::string browser = chromium();
  if (browser.empty()) {
    std::printf("  drawn in Chromium      : chromium is not installed (scripts/bootstrap installs it)\n");
    return;
  }
  std::vector<double> drawn;
  for (int run = 0; run < RUNS; ++run) drawn.push_back(draw_ms(browser, page, dir));
  std::printf(
      "  drawn in Chromium      : %.0f ms from the start of the navigation (60 charts of one episode)\n",
      median(drawn));
}

}  // namespace

int main() {
  char pattern[] = "/tmp/nalto-evidence-page-bench.XXXXXX";
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
