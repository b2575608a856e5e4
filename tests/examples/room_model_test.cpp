#include "../examples/sims/heated_room/room_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace nalto::sims::heated_room {
namespace {

State run(const Parameters& p, int steps, double power, int fan) {
  State s;
  for (int i = 0; i < steps; ++i) s = advance(p, s, power, fan);
  return s;
}

TEST(RoomModelTest, HeatingWarmsTheRoomThroughTheHeater) {
  const Parameters p;
  const State cold = run(p, 60, 0.0, 0), heated = run(p, 60, 2000.0, 0);
  EXPECT_GT(heated.room, cold.room + 5.0);
  EXPECT_GT(heated.wall, cold.wall);
  EXPECT_GT(heated.heater, heated.room);
  EXPECT_LT(cold.room, State{}.room);
}

TEST(RoomModelTest, TheFanSpeedsUpTheExchange) {
  const Parameters p;
  // More air exchange: an unheated room cools faster toward the outside.
  EXPECT_LT(run(p, 30, 0.0, 2).room, run(p, 30, 0.0, 1).room);
  EXPECT_LT(run(p, 30, 0.0, 1).room, run(p, 30, 0.0, 0).room);
  // Better mixing: the heater gives its heat to the air at a smaller temperature difference.
  const State still = run(p, 30, 2000.0, 0), blown = run(p, 30, 2000.0, 2);
  EXPECT_LT(blown.heater - blown.room, still.heater - still.room);
}

TEST(RoomModelTest, StaysBetweenTheOutsideAndTheHeatersReachAndSettlesOutside) {
  const Parameters p;
  std::mt19937 random(7);
  std::uniform_real_distribution<double> power(0.0, MAX_HEATER_POWER);
  std::uniform_int_distribution<int> fan(0, FAN_SETTINGS - 1);
  State s;
  for (int i = 0; i < 3000; ++i) {
    s = advance(p, s, power(random), fan(random));
    for (const double t : {s.room, s.wall, s.heater}) {
      ASSERT_TRUE(std::isfinite(t)) << i;
      ASSERT_GT(t, p.outside_temperature) << i;
      ASSERT_LT(t, 150.0) << i;
    }
  }
  const State settled = run(p, 3000, 0.0, 1);
  EXPECT_NEAR(settled.room, p.outside_temperature, 0.05);
  EXPECT_NEAR(settled.wall, p.outside_temperature, 0.05);
}

TEST(RoomModelTest, ALongerStepIsTheSameAsShorterOnes) {
  Parameters minute, two_minutes;
  two_minutes.time_step = 120.0;
  const State twice = advance(minute, advance(minute, State{}, 1500.0, 1), 1500.0, 1);
  const State once = advance(two_minutes, State{}, 1500.0, 1);
  EXPECT_NEAR(once.room, twice.room, 1e-9);
  EXPECT_NEAR(once.wall, twice.wall, 1e-9);
  EXPECT_NEAR(once.heater, twice.heater, 1e-9);
}

}  // namespace
}  // namespace nalto::sims::heated_room
