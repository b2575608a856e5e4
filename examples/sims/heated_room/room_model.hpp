#pragma once

// A room with an electric heater and a fan, as three lumped heat capacities (heater body, room air,
// walls) joined by conductances; the walls and the fan's air exchange lose heat to the outside.
// python_room/sim.py holds the same model in Python, operation for operation, so both give the same
// numbers: change them together.

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>
#include <utility>

namespace nalto::sims::heated_room {

inline constexpr double MAX_HEATER_POWER = 3000.0;  // W
inline constexpr int FAN_SETTINGS = 3;             // 0 off, 1 low, 2 high
inline constexpr double MAX_SUB_STEP = 5.0;         // s; well below the shortest time constant

struct Parameters {
  double room_capacity = 1.2e5;             // J/K, air and furniture
  double wall_capacity = 2.0e6;             // J/K
  double heater_capacity = 1.5e4;           // J/K
  double heater_conductance = 60.0;         // W/K, heater to air with the fan off
  double fan_mixing = 0.8;                  // heater conductance gained per fan setting, relative
  double room_wall_conductance = 250.0;     // W/K
  double wall_outside_conductance = 120.0;  // W/K
  double base_ventilation = 10.0;           // W/K, air exchange with the fan off
  double fan_ventilation = 30.0;            // W/K of air exchange per fan setting
  double outside_temperature = 5.0;         // °C
  double time_step = 60.0;                  // s per step
};

// The members a caller may override by name.
inline constexpr std::array<std::pair<std::string_view, double Parameters::*>, 11> PARAMETER_FIELDS{{
    {"room_capacity", &Parameters::room_capacity},
    {"wall_capacity", &Parameters::wall_capacity},
    {"heater_capacity", &Parameters::heater_capacity},
    {"heater_conductance", &Parameters::heater_conductance},
    {"fan_mixing", &Parameters::fan_mixing},
    {"room_wall_conductance", &Parameters::room_wall_conductance},
    {"wall_outside_conductance", &Parameters::wall_outside_conductance},
    {"base_ventilation", &Parameters::base_ventilation},
    {"fan_ventilation", &Parameters::fan_ventilation},
    {"outside_temperature", &Parameters::outside_temperature},
    {"time_step", &Parameters::time_step},
}};

struct State {  // °C
  double room = 18.0;
  double wall = 16.0;
  double heater = 18.0;
};

// The state one time step later, with `power` in [0, MAX_HEATER_POWER] W and `fan` in [0, FAN_SETTINGS).
inline State advance(const Parameters& p, State s, double power, int fan) {
  const int steps = std::max(1, static_cast<int>(std::ceil(p.time_step / MAX_SUB_STEP)));
  const double dt = p.time_step / steps;
  const double heater_air = p.heater_conductance * (1.0 + p.fan_mixing * fan);
  const double ventilation = p.base_ventilation + p.fan_ventilation * fan;
  for (int i = 0; i < steps; ++i) {
    const double to_room = heater_air * (s.heater - s.room);
    const double to_wall = p.room_wall_conductance * (s.room - s.wall);
    const double wall_out = p.wall_outside_conductance * (s.wall - p.outside_temperature);
    const double air_out = ventilation * (s.room - p.outside_temperature);
    s.heater += dt * (power - to_room) / p.heater_capacity;
    s.room += dt * (to_room - to_wall - air_out) / p.room_capacity;
    s.wall += dt * (to_wall - wall_out) / p.wall_capacity;
  }
  return s;
}

}  // namespace nalto::sims::heated_room
