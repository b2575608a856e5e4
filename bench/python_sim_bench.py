#!/usr/bin/python3
"""What the nalto_sim library costs per Step: the Python heated room served by the library beside the
same model behind a hand-written servicer (the way Python sims were written before the library: parse
the action's JSON, check it, step, write the answer's JSON), both over gRPC on loopback, and both
without gRPC (the handler bodies called directly). Usage: bench/python_sim_bench.py [STEPS] [RUNS]
"""

import json
import os
import pathlib
import socket
import statistics
import subprocess
import sys
import time

import grpc

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(REPOSITORY / "python"), str(REPOSITORY / "examples/sims/python_room")]

from nalto_sim import _protocol as protocol  # noqa: E402
from nalto_sim import _serve  # noqa: E402

# The room's module, without serving: its `if __name__ == "__main__"` keeps it quiet on import.
import sim as room  # noqa: E402

ACTIONS = [{"heater_power": [1500.0], "fan": 1}, {"heater_power": [0.0], "fan": 0},
           {"heater_power": [3000.0], "fan": 2}]


class HandWritten:
    """The room's calls as a hand-written servicer holds them."""

    def __init__(self):
        self.parameters, self.state = dict(room.DEFAULTS), room.INITIAL_STATE

    def Reset(self, request):
        self.state = room.INITIAL_STATE
        return protocol.JsonValue(json=json.dumps([list(self.state), {}]))

    def Step(self, request):
        action = json.loads(request.json)
        if not isinstance(action, dict) or set(action) != {"heater_power", "fan"}:
            raise ValueError("bad action")
        power, fan = action["heater_power"], action["fan"]
        if not isinstance(power, list) or len(power) != 1 or not isinstance(power[0], (int, float)):
            raise ValueError("bad heater_power")
        if not isinstance(fan, int) or isinstance(fan, bool) or not 0 <= fan < room.FAN_SETTINGS:
            raise ValueError("bad fan")
        power = min(max(float(power[0]), 0.0), room.MAX_HEATER_POWER)
        self.state = room.advance(self.parameters, self.state, power, fan)
        reward = -abs(self.state[0] - room.COMFORT)
        return protocol.JsonValue(json=json.dumps([list(self.state), reward, False, False, {}]))


def hand_written_main(port):
    from concurrent import futures

    servicer = HandWritten()

    def handler(name, request_type):
        return grpc.unary_unary_rpc_method_handler(
            lambda request, context: getattr(servicer, name)(request),
            request_deserializer=request_type.FromString,
            response_serializer=protocol.JsonValue.SerializeToString)

    server = grpc.server(futures.ThreadPoolExecutor(max_workers=1), handlers=[grpc.method_handlers_generic_handler(
        protocol.SIM_SERVICE, {"Reset": handler("Reset", protocol.Empty), "Step": handler("Step", protocol.JsonValue)})])
    server.add_insecure_port(f"localhost:{port}")
    server.start()
    server.wait_for_termination()


def library_main(port):
    _serve.serve(room.Room, ["--host", "localhost", "--port", str(port)])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def served(kind):
    port = free_port()
    process = subprocess.Popen([sys.executable, __file__, "--serve", kind, str(port)], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        channel = grpc.insecure_channel(f"localhost:{port}")
        try:
            grpc.channel_ready_future(channel).result(timeout=1)
            return process, channel
        except grpc.FutureTimeoutError:
            channel.close()
            if time.monotonic() > deadline:
                process.kill()
                raise SystemExit(f"the {kind} room did not serve")


def stub(channel, method, request_type):
    return channel.unary_unary(f"/{protocol.SIM_SERVICE}/{method}", request_serializer=request_type.SerializeToString,
                               response_deserializer=protocol.JsonValue.FromString)


def seconds_per_step(channel, steps, make):
    if make:
        channel.unary_unary(f"/{protocol.SIM_SERVICE}/Make", request_serializer=protocol.MakeRequest.SerializeToString,
                            response_deserializer=protocol.Empty.FromString)(protocol.MakeRequest(env_init_json="{}"))
    stub(channel, "Reset", protocol.Empty)(protocol.Empty())
    step = stub(channel, "Step", protocol.JsonValue)
    requests = [protocol.JsonValue(json=json.dumps(a)) for a in ACTIONS]
    start = time.perf_counter()
    for i in range(steps):
        step(requests[i % len(requests)])
    return (time.perf_counter() - start) / steps


def direct_seconds_per_step(steps):
    """The handler bodies alone, without gRPC: what each side costs of its own."""
    requests = [protocol.JsonValue(json=json.dumps(a)) for a in ACTIONS]
    hand = HandWritten()
    library = _serve.Sim(room.Room)
    library.make(protocol.MakeRequest(env_init_json="{}"))
    library.reset()
    out = {}
    for name, call in (("hand-written", hand.Step), ("nalto_sim", library.step)):
        start = time.perf_counter()
        for i in range(steps):
            call(requests[i % len(requests)])
        out[name] = (time.perf_counter() - start) / steps
    return out


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--serve":
        (hand_written_main if sys.argv[2] == "hand-written" else library_main)(int(sys.argv[3]))
        return
    steps = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    print(f"The Python heated room, {steps} Steps per run, {runs} alternating runs, medians; "
          f"{os.cpu_count()} cores")
    servers = {kind: served(kind) for kind in ("hand-written", "nalto_sim")}
    try:
        times = {kind: [] for kind in servers}
        for _ in range(runs):
            for kind, (_, channel) in servers.items():
                times[kind].append(seconds_per_step(channel, steps, make=kind == "nalto_sim"))
    finally:
        for process, channel in servers.values():
            channel.close()
            process.terminate()
            process.wait(timeout=10)
    over_grpc = {kind: statistics.median(t) for kind, t in times.items()}
    directly = [direct_seconds_per_step(steps * 3) for _ in range(runs)]
    direct = {kind: statistics.median(d[kind] for d in directly) for kind in over_grpc}
    print(f"{'':34}{'hand-written':>14}{'nalto_sim':>14}{'ratio':>8}")
    for label, figures in (("per Step over gRPC (us)", over_grpc), ("per Step, handler alone (us)", direct)):
        hand, library = figures["hand-written"], figures["nalto_sim"]
        print(f"{label:34}{hand * 1e6:14.1f}{library * 1e6:14.1f}{library / hand:8.2f}")
    extra = direct["nalto_sim"] - direct["hand-written"]
    print(f"the library's own cost per Step: {extra * 1e6:.1f} us, "
          f"{100 * extra / over_grpc['hand-written']:.1f}% of a hand-written Step over gRPC")


if __name__ == "__main__":
    main()
