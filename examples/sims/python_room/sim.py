"""The heated room as a sim in Python.

The model is the one of heated_room/room_model.hpp, operation for operation, so that both sims give
the same numbers. This sim keeps no mappings of its own: its spaces name their leaves instead.
Members of env_init named like the model's parameters replace their defaults.
"""

import argparse
import ipaddress
import json
import math
import signal
import sys
from concurrent import futures

import grpc

import health_pb2
import health_pb2_grpc
import sim_pb2
import sim_pb2_grpc

MAX_HEATER_POWER = 3000.0  # W
FAN_SETTINGS = 3  # 0 off, 1 low, 2 high
MAX_SUB_STEP = 5.0  # s
LONGEST_STEP = 86400.0  # s
COMFORT = 21.0  # °C; the reward is the distance to it, negated

SENSOR_NAMES = ["Room Temperature", "Wall Temperature", "Heater Temperature"]
POWER_NAME = "Heater Power"
FAN_NAME = "Fan Setting"

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


class BadRequest(Exception):
    pass


def is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def is_loopback(host):
    bare = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if bare.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(bare).is_loopback
    except ValueError:
        return False


class Room(sim_pb2_grpc.SimulatorServicer):
    def __init__(self):
        self.parameters = dict(DEFAULTS)
        self.state = INITIAL_STATE

    def _answer(self, context, body):
        try:
            return body()
        except BadRequest as e:
            context.abort(grpc.StatusCode.INVALID_ARGUMENT, str(e))

    def Init(self, request, context):
        return sim_pb2.Empty()

    def Make(self, request, context):
        def body():
            env_init = parse(request.env_init_json or "{}", "env_init")
            if not isinstance(env_init, dict):
                raise BadRequest(f"env_init must be a JSON object, not {json.dumps(env_init)}")
            chosen = dict(DEFAULTS)
            for name in DEFAULTS:
                if name in env_init:
                    if not is_number(env_init[name]):
                        raise BadRequest(
                            f"env_init member '{name}' must be a number, not {json.dumps(env_init[name])}")
                    chosen[name] = float(env_init[name])
            if not all(chosen[c] > 0 for c in ("room_capacity", "wall_capacity", "heater_capacity")):
                raise BadRequest("the heat capacities must be positive")
            if not 0 < chosen["time_step"] <= LONGEST_STEP:
                raise BadRequest("time_step must be more than 0 and at most 86400 seconds")
            self.parameters = chosen
            self.state = INITIAL_STATE
            return sim_pb2.Empty()

        return self._answer(context, body)

    def SensorSpaceInfo(self, request, context):
        space = {"type": "box", "shape": [3], "low": -273.15, "high": 1000.0, "dtype": "float64",
                 "names": SENSOR_NAMES}
        return sim_pb2.JsonValue(json=json.dumps(space))

    def ActionSpaceInfo(self, request, context):
        power = {"type": "box", "shape": [1], "low": 0.0, "high": MAX_HEATER_POWER, "dtype": "float64",
                 "names": [POWER_NAME]}
        fan = {"type": "discrete", "n": FAN_SETTINGS, "name": FAN_NAME}
        return sim_pb2.JsonValue(json=json.dumps({"type": "dict", "spaces": {"heater_power": power, "fan": fan}}))

    def Reset(self, request, context):
        self.state = INITIAL_STATE
        return sim_pb2.JsonValue(json=json.dumps([list(self.state), {}]))

    def Step(self, request, context):
        def body():
            power, fan = parse_action(parse(request.json, "the action"))
            self.state = advance(self.parameters, self.state, power, fan)
            reward = -abs(self.state[0] - COMFORT)
            return sim_pb2.JsonValue(json=json.dumps([list(self.state), reward, False, False, {}]))

        return self._answer(context, body)

    def Close(self, request, context):
        return sim_pb2.Empty()


def no_constant(name):
    raise ValueError(f"{name} is no JSON value")


def parse(text, what):
    try:
        return json.loads(text, parse_constant=no_constant)
    except ValueError as e:
        raise BadRequest(f"{what} is not JSON: {e}") from e


def parse_action(action):
    if not isinstance(action, dict):
        raise BadRequest('the action must be an object {"heater_power": [watts], "fan": 0|1|2}, not '
                         + json.dumps(action))
    for key in action:
        if key not in ("heater_power", "fan"):
            raise BadRequest(f"the action has an unknown member '{key}'")
    for key in ("heater_power", "fan"):
        if key not in action:
            raise BadRequest(f"the action lacks '{key}'")
    power, fan = action["heater_power"], action["fan"]
    if not isinstance(power, list) or len(power) != 1:
        raise BadRequest(f"'heater_power' must be a list of one number, not {json.dumps(power)}")
    if not isinstance(fan, int) or isinstance(fan, bool) or not 0 <= fan < FAN_SETTINGS:
        raise BadRequest(f"'fan' must be 0, 1 or 2, not {json.dumps(fan)}")
    if not is_number(power[0]):
        raise BadRequest(f"'heater_power'[0] must be a number, not {json.dumps(power[0])}")
    return min(max(float(power[0]), 0.0), MAX_HEATER_POWER), fan


class Health(health_pb2_grpc.HealthServicer):
    def Check(self, request, context):
        if request.service not in ("", "nalto.sim.v1.Simulator"):
            context.abort(grpc.StatusCode.NOT_FOUND, f"unknown service {request.service}")
        return health_pb2.HealthCheckResponse(status=health_pb2.HealthCheckResponse.SERVING)


def main():
    parser = argparse.ArgumentParser(description="The heated room sim.")
    parser.add_argument("--host", required=True)
    parser.add_argument("--port", required=True, type=int)
    args = parser.parse_args()
    if not is_loopback(args.host):
        print(f"python room: refusing to serve on '{args.host}': only a loopback host "
              "(localhost, 127.0.0.0/8, ::1) is allowed", file=sys.stderr, flush=True)
        return 2
    bare = args.host.strip("[]")
    address = f"[{bare}]:{args.port}" if ":" in bare else f"{bare}:{args.port}"

    # Calls are taken one at a time, as the sim keeps one state.
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=1),
                         options=[("grpc.so_reuseport", 0)])
    sim_pb2_grpc.add_SimulatorServicer_to_server(Room(), server)
    health_pb2_grpc.add_HealthServicer_to_server(Health(), server)
    try:
        port = server.add_insecure_port(address)
    except RuntimeError:
        port = 0
    if port == 0:
        print(f"python room: cannot serve on {address}", file=sys.stderr, flush=True)
        return 1
    server.start()

    def stop(signum, frame):
        server.stop(0.1)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print(f"python room: serving on {args.host}:{port}", flush=True)
    server.wait_for_termination()
    return 0


if __name__ == "__main__":
    sys.exit(main())
