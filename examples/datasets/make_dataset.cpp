// Records the example dataset from the heated room's "real" counterpart: the sims' model with other
// parameters, noisy sensors and a slightly varying outside temperature, driven by random but plausible
// heater and fan schedules. The seed is fixed, so every run writes the same files.
//
// Usage: make_example_dataset FOLDER   (writes FOLDER/dataset.json and FOLDER/rows.csv)

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "room_model.hpp"

namespace {

using nalto::sims::heated_room::advance;
using nalto::sims::heated_room::FAN_SETTINGS;
using nalto::sims::heated_room::MAX_HEATER_POWER;
using nalto::sims::heated_room::Parameters;
using nalto::sims::heated_room::State;

constexpr std::uint64_t SEED = 20240611;
constexpr int EPISODES = 40;
constexpr int SHORTEST_EPISODE = 40, LONGEST_EPISODE = 150;  // rows
constexpr double SENSOR_NOISE = 0.05;                        // °C
constexpr double START_NOISE = 0.2;                          // °C around the sims' reset state
constexpr double OUTSIDE_SPREAD = 0.3;                       // °C between episodes

// Draws from the generator's raw output only, so the data do not depend on a library's distributions.
class Random {
 public:
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  double uniform(double low, double high) { return low + (high - low) * uniform(); }
  int integer(int low, int high) {  // both ends included
    return low + static_cast<int>(engine_() % static_cast<std::uint64_t>(high - low + 1));
  }
  double normal(double sigma) {
    const double u = 1.0 - uniform();  // in (0, 1]: the logarithm stays finite
    return sigma * std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * uniform());
  }

 private:
  std::mt19937_64 engine_{SEED};
};

// The room the data come from: close to the sims' defaults, not equal.
Parameters real_room() {
  Parameters p;
  p.room_capacity = 1.32e5;
  p.wall_capacity = 1.85e6;
  p.heater_capacity = 1.4e4;
  p.heater_conductance = 64.0;
  p.fan_mixing = 0.75;
  p.room_wall_conductance = 240.0;
  p.wall_outside_conductance = 126.0;
  p.base_ventilation = 12.0;
  p.fan_ventilation = 28.0;
  return p;
}

// A heater setting held for a while: off, or a level in steps of 50 W.
double heater_level(Random& random) {
  if (random.uniform() < 0.25) return 0.0;
  return 50.0 * random.integer(6, static_cast<int>(MAX_HEATER_POWER / 50.0));
}

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

struct Column {
  const char* raw_name;
  const char* role;
};

// Raw names as a logger would write them: the sims' names in other cases and spacing.
const std::vector<Column> COLUMNS = {
    {"room  temperature", "sensor"},   {"Wall temperature", "sensor"}, {"HEATER TEMPERATURE ", "sensor"},
    {"outside temperature", "sensor"}, {"HEATER POWER", "action"},     {"fan setting", "action"},
};

void write_description(const std::filesystem::path& file) {
  nlohmann::ordered_json columns = nlohmann::ordered_json::array();
  for (std::size_t i = 0; i < COLUMNS.size(); ++i)
    columns.push_back(
        {{"key", "c" + std::to_string(i)}, {"raw_name", COLUMNS[i].raw_name}, {"role", COLUMNS[i].role}});
  const nlohmann::ordered_json description = {
      {"id", "3f6c2a9e-1b7d-4e58-9c04-8a2d5e7b1f63"}, {"name", "heated-room-demo"}, {"columns", columns}};
  std::ofstream(file) << description.dump(2) << "\n";
}

void write_rows(const std::filesystem::path& file) {
  std::ofstream out(file);
  out << "episode,row";
  for (std::size_t i = 0; i < COLUMNS.size(); ++i) out << ",c" << i;
  out << "\n";

  Random random;
  for (int episode = 0; episode < EPISODES; ++episode) {
    Parameters room = real_room();
    room.outside_temperature += random.normal(OUTSIDE_SPREAD);
    State state;
    state.room += random.normal(START_NOISE);
    state.wall += random.normal(START_NOISE);
    state.heater += random.normal(START_NOISE);
    const int rows = random.integer(SHORTEST_EPISODE, LONGEST_EPISODE);
    double power = heater_level(random);
    int fan = random.integer(0, FAN_SETTINGS - 1);
    int power_left = random.integer(4, 20), fan_left = random.integer(8, 40);
    for (int row = 0; row < rows; ++row) {
      // Row 0 is the start; every later row shows the state after a step with that row's actions.
      if (row > 0) {
        if (--power_left == 0) {
          power = heater_level(random);
          power_left = random.integer(4, 20);
        }
        if (--fan_left == 0) {
          fan = random.integer(0, FAN_SETTINGS - 1);
          fan_left = random.integer(8, 40);
        }
        state = advance(room, state, power, fan);
      }
      out << episode << "," << row;
      for (const double sensed : {state.room, state.wall, state.heater, room.outside_temperature})
        out << "," << fixed(sensed + random.normal(SENSOR_NOISE), 3);
      out << "," << fixed(power, 1) << "," << fan << "\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " FOLDER" << std::endl;
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  write_description(folder / "dataset.json");
  write_rows(folder / "rows.csv");
  std::cout << "wrote " << (folder / "dataset.json").string() << " and " << (folder / "rows.csv").string()
            << std::endl;
  return 0;
}
