// The committed example dataset against the example sim: its columns are the sim's variables, and the
// sim predicts them well while a sim that misses the heater does not.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../examples/sims/heated_room/room_model.hpp"
#include "examples/sim_harness.hpp"
#include "nalto/mapping/plan.hpp"

namespace nalto {
namespace {

namespace fs = std::filesystem;
namespace room = sims::heated_room;
using testing::Sim;

const fs::path DATASET = fs::path(NALTO_SOURCE_DIR) / "examples/datasets/heated-room";

struct Row {
  int episode = 0, row = 0;
  std::vector<double> values;  // c0 ... c5
};

std::vector<Row> read_rows() {
  std::ifstream in(DATASET / "rows.csv");
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "episode,row,c0,c1,c2,c3,c4,c5");
  std::vector<Row> rows;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string field;
    Row row;
    std::getline(fields, field, ',');
    row.episode = std::stoi(field);
    std::getline(fields, field, ',');
    row.row = std::stoi(field);
    while (std::getline(fields, field, ',')) row.values.push_back(std::stod(field));
    EXPECT_EQ(row.values.size(), 6u) << line;
    rows.push_back(std::move(row));
  }
  return rows;
}

Json columns_answer() {
  std::ifstream in(DATASET / "dataset.json");
  const Json description = Json::parse(in);
  Json answer = {{"raw_names", Json::object()},
                 {"sensor_variables", Json::array()},
                 {"action_variables", Json::array()}};
  for (const Json& column : description["columns"]) {
    answer["raw_names"][column["key"].get<std::string>()] = column["raw_name"];
    answer[column["role"] == "sensor" ? "sensor_variables" : "action_variables"].push_back(column["key"]);
  }
  return answer;
}

Json heated_room_mappings() {
  testing::Loop loop;
  Sim sim;
  return loop.run([&]() -> asio::awaitable<Json> {
    std::string path = testing::HEATED_ROOM, serving = "serving on";
    co_await sim.start(std::move(path));
    EXPECT_TRUE(co_await sim.until_line(std::move(serving)));
    const Json answer = sim.ask(&sim::v1::Simulator::Stub::GetMappings).value;
    sim.process->terminate();
    co_await sim.process->wait();
    co_return Json{{"sensors", answer["sensor_space"]["mappings"]},
                   {"actions", answer["action_space"]["mappings"]}};
  }());
}

// 100 × (1 − RMSE / range of the truth) per sensor, averaged over the room, wall and heater columns.
double score(const std::vector<Row>& rows, const room::Parameters& parameters) {
  std::vector<double> squares(3), low(3, INFINITY), high(3, -INFINITY);
  room::State state;
  for (const Row& row : rows) {
    if (row.row == 0)
      state = room::State{};
    else
      state = room::advance(parameters, state, row.values[4], static_cast<int>(row.values[5]));
    const double predicted[] = {state.room, state.wall, state.heater};
    for (int i = 0; i < 3; ++i) {
      squares[i] += std::pow(predicted[i] - row.values[i], 2);
      low[i] = std::min(low[i], row.values[i]);
      high[i] = std::max(high[i], row.values[i]);
    }
  }
  double sum = 0;
  for (int i = 0; i < 3; ++i)
    sum += 100 * std::max(0.0, 1 - std::sqrt(squares[i] / rows.size()) / (high[i] - low[i]));
  return sum / 3;
}

TEST(ExampleDatasetTest, EveryActionAndTheThreeSensorsOfTheSimHaveAColumn) {
  const Plan plan = plan_analysis(heated_room_mappings(), columns_answer());
  const std::vector<SlotColumn> sensors = {{"[0]", "c0"}, {"[1]", "c1"}, {"[2]", "c2"}};
  const std::vector<SlotColumn> actions = {{"['heater_power'][0]", "c4"}, {"['fan']", "c5"}};
  EXPECT_EQ(plan.sensors, sensors);
  EXPECT_EQ(plan.actions, actions);
}

TEST(ExampleDatasetTest, HasWholeEpisodesThatTheSimPredictsWell) {
  EXPECT_LT(fs::file_size(DATASET / "rows.csv") + fs::file_size(DATASET / "dataset.json"), 2'000'000u);
  const std::vector<Row> rows = read_rows();
  int episodes = 0;
  for (std::size_t i = 0; i < rows.size();) {
    ASSERT_EQ(rows[i].episode, episodes);
    std::size_t n = 0;
    for (; i < rows.size() && rows[i].episode == episodes; ++i, ++n)
      ASSERT_EQ(rows[i].row, static_cast<int>(n));
    EXPECT_GE(n, 30u);
    EXPECT_LE(n, 150u);
    ++episodes;
  }
  EXPECT_EQ(episodes, 40);

  const double good = score(rows, room::Parameters{});
  room::Parameters no_heater;
  no_heater.heater_conductance = 0;
  EXPECT_GT(good, 90.0);
  EXPECT_LT(score(rows, no_heater), good - 30);
}

}  // namespace
}  // namespace nalto
