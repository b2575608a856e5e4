// plan_analysis on a large sim against a large dataset: 10,000 sensor and 10,000 action mappings
// against 10,000 sensor columns and 10,000 action columns (20,000 raw names), the columns in a
// shuffled order. Sensors are array slots with a mapped name or plain names, in varied case and
// spacing; one in five has no column (half of those with two names, the slower search), the rest
// match. Every action matches, a few of them through a column whose raw name is the slot text
// itself, so no refusal fires. Prints the median time of five runs and checks the result against
// the nested search as written (names outside, columns inside) on the first mappings of each role.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "nalto/mapping/names.hpp"
#include "nalto/mapping/plan.hpp"
#include "nalto/support/json.hpp"

namespace {

using nalto::Json;
using Clock = std::chrono::steady_clock;

constexpr int COLUMNS = 10000;
constexpr int MAPPINGS = 10000;
constexpr std::size_t CHECKED = 300;

// Joined by appending: GCC 12 at -O3 reports a false -Wrestrict for "literal" + std::string.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  ((out += parts), ...);
  return out;
}

std::string spelled(const std::string& first, const std::string& second, int n, int variant) {
  const std::string number = std::to_string(n);
  switch (variant % 4) {
    case 0:
      return cat(first, " ", second, " ", number);
    case 1:
      return cat(first, "_", second, "_", number);
    case 2:
      return cat(" ", first, "  ", second, "\t", number, " ");
    default:
      return cat(first, "   ", second, "  ", number);
  }
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::vector<int> shuffled(int n, std::mt19937& random) {
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), random);
  return order;
}

Json columns_answer(std::mt19937& random) {
  Json columns = {{"raw_names", Json::object()},
                  {"sensor_variables", Json::array()},
                  {"action_variables", Json::array()}};
  for (const int k : shuffled(COLUMNS, random)) {
    const std::string key = cat("s", std::to_string(k));
    columns["raw_names"][key] = spelled("Sensor", "Channel", k, k);
    columns["sensor_variables"].push_back(key);
  }
  for (const int k : shuffled(COLUMNS, random)) {
    const std::string key = cat("a", std::to_string(k));
    columns["raw_names"][key] =
        k % 50 == 0 ? cat("[", std::to_string(k), "]") : spelled("Actuator", "Command", k, k + 1);
    columns["action_variables"].push_back(key);
  }
  return columns;
}

Json sim_mappings(std::mt19937& random) {
  Json sensors = Json::array();
  const std::vector<int> sensor_of = shuffled(MAPPINGS, random);
  for (int i = 0; i < MAPPINGS; ++i) {
    const int k = sensor_of[i];
    const std::string slot = cat("[", std::to_string(i), "]");
    if (i % 10 == 7) {
      sensors.push_back({{"name", cat("Ghost Sensor ", std::to_string(i))}});
    } else if (i % 10 == 9) {
      sensors.push_back({{"name", slot}, {"name_mapped", cat("Unrecorded ", std::to_string(i))}});
    } else if (i % 3 == 0) {
      sensors.push_back({{"name", slot}, {"name_mapped", lower(spelled("Sensor", "Channel", k, i))}});
    } else {
      sensors.push_back({{"name", upper(spelled("Sensor", "Channel", k, i + 2))}});
    }
  }
  Json actions = Json::array();
  const std::vector<int> action_of = shuffled(MAPPINGS, random);
  for (int j = 0; j < MAPPINGS; ++j) {
    const int k = action_of[j];
    if (k % 50 == 0) {
      actions.push_back({{"name", cat("[", std::to_string(k), "]")}});
    } else if (j % 3 == 0) {
      actions.push_back({{"name", cat("[", std::to_string(j), "]")},
                         {"name_mapped", spelled("actuator", "command", k, j)}});
    } else {
      actions.push_back({{"name", upper(spelled("Actuator", "Command", k, j + 3))}});
    }
  }
  return {{"sensors", sensors}, {"actions", actions}};
}

// An ordered object finds a member by a linear search; the reference looks raw names up by hash so
// that what it measures is the nested search itself.
using RawNames = std::unordered_map<std::string, std::string>;

std::optional<std::string> nested_column(const Json& mapping, const Json& columns, const RawNames& raw,
                                         const char* role) {
  for (const std::string& name : nalto::mapping_names(mapping)) {
    for (const Json& c : columns[role]) {
      if (nalto::normalized(raw.at(c.get<std::string>())) == nalto::normalized(name)) {
        return c.get<std::string>();
      }
    }
  }
  return std::nullopt;
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
  std::mt19937 random(42);
  const Json columns = columns_answer(random);
  const Json mappings = sim_mappings(random);

  std::vector<double> times;
  std::optional<nalto::Plan> plan;
  for (int run = 0; run < 5; ++run) {
    const auto start = Clock::now();
    plan.emplace(nalto::plan_analysis(mappings, columns));
    times.push_back(ms_since(start));
  }
  std::sort(times.begin(), times.end());
  std::printf("plan_analysis: %d sensor + %d action mappings against %d sensor + %d action columns\n",
              MAPPINGS, MAPPINGS, COLUMNS, COLUMNS);
  std::printf("  median of 5: %.1f ms (min %.1f, max %.1f); %zu sensors matched, %zu actions\n", times[2],
              times.front(), times.back(), plan->sensors.size(), plan->actions.size());

  RawNames raw;
  for (auto it = columns["raw_names"].begin(); it != columns["raw_names"].end(); ++it) {
    raw.emplace(it.key(), it.value().get<std::string>());
  }
  std::vector<nalto::SlotColumn> sensors, actions;
  std::vector<std::string> core;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < CHECKED; ++i) {
    const Json& m = mappings["sensors"][i];
    if (const auto c = nested_column(m, columns, raw, "sensor_variables"); c && !c->empty()) {
      sensors.emplace_back(nalto::_field(m, "name"), *c);
      core.push_back(raw.at(*c));
    }
    const Json& a = mappings["actions"][i];
    if (const auto c = nested_column(a, columns, raw, "action_variables"))
      actions.emplace_back(nalto::_field(a, "name"), *c);
  }
  const double nested_ms = ms_since(start);
  const bool identical = actions.size() == CHECKED &&
                         std::equal(sensors.begin(), sensors.end(), plan->sensors.begin()) &&
                         std::equal(core.begin(), core.end(), plan->core.begin()) &&
                         std::equal(actions.begin(), actions.end(), plan->actions.begin());
  std::printf("nested search on the first %zu sensor and %zu action mappings: %.1f ms; %zu sensors matched\n",
              CHECKED, CHECKED, nested_ms, sensors.size());
  std::printf("  identical to plan_analysis on that subset: %s\n", identical ? "yes" : "NO");
  return identical ? 0 : 1;
}
