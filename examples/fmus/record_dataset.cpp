// Records examples/fmus/datasets/mass-spring-damper/ from the example FMU through the FMU host, with
// other parameters than the FMU's own (the "real" system a calibration should find), noisy sensors and
// random piecewise-constant forces. The seed is fixed, so every run writes the same files.
//
// Usage: record_fmu_dataset FMU FOLDER   (writes FOLDER/dataset.json and FOLDER/rows.csv)

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include "fmu_sim.hpp"

namespace {

using nalto::fmu::Json;

constexpr std::uint64_t SEED = 20261210;
constexpr int EPISODES = 24;
constexpr int SHORTEST_EPISODE = 60, LONGEST_EPISODE = 120;  // rows of 0.05 s
constexpr double MAX_FORCE = 5.0;                            // N
constexpr double POSITION_NOISE = 0.002, VELOCITY_NOISE = 0.005;
// The recorded system: the FMU's defaults are a stiffness of 4 and a damping of 0.4.
const Json TRUE_PARAMETERS = {{"stiffness", 6.5}, {"damping", 0.9}};

// Draws from the generator's raw output only, so the data do not depend on a library's distributions.
class Random {
 public:
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  double uniform(double low, double high) { return low + (high - low) * uniform(); }
  int whole(int low, int high) { return low + static_cast<int>(uniform() * (high - low + 1)); }
  // Irwin-Hall: the sum of twelve uniforms, less six, is close to a standard normal.
  double normal(double sd) {
    double sum = -6.0;
    for (int i = 0; i < 12; ++i) sum += uniform();
    return sum * sd;
  }

 private:
  std::mt19937_64 engine_{SEED};
};

std::string number(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%.5f", x);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: record_fmu_dataset FMU FOLDER" << std::endl;
    return 2;
  }
  nalto::fmu::FmuSimulator fmu(argv[1]);
  if (fmu.load_error()) {
    std::cerr << *fmu.load_error() << std::endl;
    return 1;
  }
  fmu.make({{"parameters", TRUE_PARAMETERS}});
  const std::filesystem::path folder = argv[2];
  std::filesystem::create_directories(folder);
  const Json dataset = {{"id", "9b1d4c7e-2f6a-4e83-b5d0-7a3c9e1f8d24"},
                        {"name", "mass-spring-damper-demo"},
                        {"columns",
                         {{{"key", "c0"}, {"raw_name", "position"}, {"role", "sensor"}},
                          {{"key", "c1"}, {"raw_name", "velocity"}, {"role", "sensor"}},
                          {{"key", "c2"}, {"raw_name", "force"}, {"role", "action"}}}}};
  std::ofstream(folder / "dataset.json") << dataset.dump(2) << "\n";
  std::ofstream rows(folder / "rows.csv");
  rows << "episode,row,c0,c1,c2\n";
  Random random;
  for (int episode = 0; episode < EPISODES; ++episode) {
    const int n_rows = random.whole(SHORTEST_EPISODE, LONGEST_EPISODE);
    Json obs = fmu.reset()[0];
    double force = 0.0;
    int hold = 0;
    for (int row = 0; row < n_rows; ++row) {
      if (row > 0) {
        if (hold-- <= 0) {
          force = random.uniform(-MAX_FORCE, MAX_FORCE);
          hold = random.whole(8, 30);
        }
        obs = fmu.step(Json::array({force}))[0];
      }
      rows << episode << "," << row << "," << number(obs[0].get<double>() + random.normal(POSITION_NOISE))
           << "," << number(obs[1].get<double>() + random.normal(VELOCITY_NOISE)) << "," << number(force)
           << "\n";
    }
  }
  return 0;
}
