// `nalto sim calibrate` as a user runs it: the real CLI and the C++ room sim against the reference node,
// on a dataset recorded from the room's model with known parameters and no noise.

#ifdef NALTO_EXE

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "nalto/support/json.hpp"
#include "room_model.hpp"
#include "support/non_regular_files.hpp"
#include "support/subprocess.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
using testing::exited;
using testing::Ran;
using testing::Subprocess;
namespace room = sims::heated_room;

const std::string ROOM = std::string(NALTO_EXAMPLE_SIMS_DIR) + "/heated_room/heated-room";
constexpr const char* TOKEN = "calibrate-e2e-token";
constexpr double ROOM_CAPACITY = 8.0e4, HEATER_CONDUCTANCE = 90.0;  // the model's defaults: 1.2e5, 60
constexpr int EPISODES = 4, ROWS = 60;

// Room, wall and heater temperatures of EPISODES episodes of the room with the known parameters, under
// heater and fan settings that change every few rows.
void record(const fs::path& folder) {
  fs::create_directories(folder);
  std::ofstream(folder / "dataset.json") << R"({"id": "known-1", "name": "room-known", "columns": [
      {"key": "r", "raw_name": "Room Temperature", "role": "sensor"},
      {"key": "w", "raw_name": "Wall Temperature", "role": "sensor"},
      {"key": "h", "raw_name": "Heater Temperature", "role": "sensor"},
      {"key": "p", "raw_name": "Heater Power", "role": "action"},
      {"key": "f", "raw_name": "Fan Setting", "role": "action"}]})";
  room::Parameters parameters;
  parameters.room_capacity = ROOM_CAPACITY;
  parameters.heater_conductance = HEATER_CONDUCTANCE;
  std::ofstream rows(folder / "rows.csv");
  rows.precision(10);
  rows << "episode,row,r,w,h,p,f\n";
  for (int episode = 0; episode < EPISODES; ++episode) {
    room::State state;
    for (int row = 0; row < ROWS; ++row) {
      const double power = ((row / 7 + episode) % 4) * 800.0;
      const int fan = (row / 11 + episode) % room::FAN_SETTINGS;
      if (row > 0) state = room::advance(parameters, state, power, fan);
      rows << episode << "," << row << "," << state.room << "," << state.wall << "," << state.heater << ","
           << power << "," << fan << "\n";
    }
  }
}

class CalibrateEndToEnd : public ::testing::Test {
 protected:
  CalibrateEndToEnd() {
    record(dir_ / "datasets/room-known");
    node_.emplace(std::vector<std::string>{NALTO_COMPUTE_NODE_EXE, "--datasets", (dir_ / "datasets").string(),
                                           "--port", "0"},
                  std::map<std::string, std::string>{{"NALTO_COMPUTE_TOKEN", TOKEN}});
    url_ = testing::node_url(*node_);
  }

  Ran calibrate(std::vector<std::string> extra) const {
    std::vector<std::string> args = {NALTO_EXE, "sim",       "calibrate", "--path",
                                     ROOM,      "--dataset", "room-known"};
    args.insert(args.end(), extra.begin(), extra.end());
    Ran ran = testing::run(args, std::chrono::seconds(50),
                           {{"NALTO_COMPUTE_URL", url_}, {"NALTO_COMPUTE_TOKEN", TOKEN}});
    if (!ran.exit) ADD_FAILURE() << "the CLI did not end within 50 s; stderr:\n" << ran.err;
    return ran;
  }

  testing::TempFolder folder_;
  const fs::path dir_ = folder_.path();
  std::optional<Subprocess> node_;
  std::string url_;
};

TEST_F(CalibrateEndToEnd, RecoversKnownParametersWithinTwoPercent) {
  const fs::path out = dir_ / "calibrated.json", summary = dir_ / "summary.json";
  const Ran run = calibrate({"--param", "room_capacity=3e4..3e5:log", "--param", "heater_conductance=20..200",
                             "--env-init", R"({"time_step": 60})", "--budget", "30", "--jobs", "2", "--out",
                             out.string(), "--json", summary.string()});
  ASSERT_EQ(run.exit, exited(0)) << run.err;
  std::ifstream written(out);
  const Json env_init = Json::parse(written);
  EXPECT_NEAR(env_init.at("room_capacity").get<double>() / ROOM_CAPACITY, 1, 0.02) << env_init;
  EXPECT_NEAR(env_init.at("heater_conductance").get<double>() / HEATER_CONDUCTANCE, 1, 0.02) << env_init;
  EXPECT_EQ(env_init.at("time_step"), 60);

  std::ifstream summary_file(summary);
  const Json s = Json::parse(summary_file);
  EXPECT_EQ(s.at("outcome"), "calibrated");
  EXPECT_EQ(s.at("evaluations"), 30);
  EXPECT_GT(s.at("fit").at("after").get<double>(), 99.5);
  EXPECT_GT(s.at("fit").at("after").get<double>(), s.at("fit").at("before").get<double>());
}

}  // namespace
}  // namespace nalto

#endif
