"""The heated room as a sim in Python, on the nalto_sim library.

The model is the one of heated_room/room_model.hpp, operation for operation, so that both sims give
the same numbers. This sim keeps no mappings of its own: its spaces name their values instead.
Members of env_init named like the model's parameters replace their defaults.
"""

import math

import nalto_sim
from nalto_sim.spaces import Box, Dict, Discrete

MAX_HEATER_POWER = 3000.0  # W
FAN_SETTINGS = 3  # 0 off, 1 low, 2 high
MAX_SUB_STEP = 5.0  # s
LONGEST_STEP = 86400.0  # s
COMFORT = 21.0  # °C; the reward is the distance to it, negated

DEFAULTS = {
    "room_capacity": 1.2e5,
    "wall_capacity": 2.0e6,
    "heater_capacity": 1.5e4,
    "heater_conductance": 60.0,
    "fan_mixing": 0.8,
    "room_wall_conductance": 250.0,
    "wall_outside_conductance": 120.0,
    "base_ventilation": 10.0,
    "fan_ventilation": 30.0,
    "outside_temperature": 5.0,
    "time_step": 60.0,
}
INITIAL_STATE = (18.0, 16.0, 18.0)  # room, wall, heater in °C


def advance(p, state, power, fan):
    room, wall, heater = state
    steps = max(1, math.ceil(p["time_step"] / MAX_SUB_STEP))
    dt = p["time_step"] / steps
    heater_air = p["heater_conductance"] * (1.0 + p["fan_mixing"] * fan)
    ventilation = p["base_ventilation"] + p["fan_ventilation"] * fan
    outside = p["outside_temperature"]
    for _ in range(steps):
        to_room = heater_air * (heater - room)
        to_wall = p["room_wall_conductance"] * (room - wall)
        wall_out = p["wall_outside_conductance"] * (wall - outside)
        air_out = ventilation * (room - outside)
        heater += dt * (power - to_room) / p["heater_capacity"]
        room += dt * (to_room - to_wall - air_out) / p["room_capacity"]
        wall += dt * (to_wall - wall_out) / p["wall_capacity"]
    return room, wall, heater


def parameters(env_init):
    chosen = dict(DEFAULTS)
    for name in DEFAULTS.keys() & env_init.keys():
        value = env_init[name]
        if not isinstance(value, (int, float)) or isinstance(value, bool):
            raise ValueError(f"env_init member '{name}' must be a number, not {value!r}")
        chosen[name] = float(value)
    if not all(chosen[c] > 0 for c in ("room_capacity", "wall_capacity", "heater_capacity")):
        raise ValueError("the heat capacities must be positive")
    if not 0 < chosen["time_step"] <= LONGEST_STEP:
        raise ValueError("time_step must be more than 0 and at most 86400 seconds")
    return chosen


class Room:
    observation_space = Box(-273.15, 1000.0, shape=(3,),
                            names=["Room Temperature", "Wall Temperature", "Heater Temperature"])
    action_space = Dict({"heater_power": Box(0.0, MAX_HEATER_POWER, shape=(1,), names=["Heater Power"]),
                         "fan": Discrete(FAN_SETTINGS, name="Fan Setting")})

    def __init__(self, env_init):
        self.parameters = parameters(env_init)
        self.state = INITIAL_STATE

    def reset(self, seed=None, options=None):
        self.state = INITIAL_STATE
        return list(self.state), {}

    def step(self, action):
        power = min(max(float(action["heater_power"][0]), 0.0), MAX_HEATER_POWER)
        self.state = advance(self.parameters, self.state, power, action["fan"])
        return list(self.state), -abs(self.state[0] - COMFORT), False, False, {}


if __name__ == "__main__":
    nalto_sim.serve(Room)
