import json
import os
import signal
import socket
import subprocess
import sys
import time
from concurrent import futures

import grpc
import numpy as np
import pytest

from conftest import PYTHON
from nalto_sim import _protocol as protocol
from nalto_sim import _serve
from nalto_sim.spaces import Box, Dict, Discrete

CALL_LIMIT = 5  # s; every call of these tests is answered at once


class Client:
    def __init__(self, address):
        self.channel = grpc.insecure_channel(address)

    def call(self, method, request=None):
        request_type, answer_type = protocol.SIM_METHODS[method]
        stub = self.channel.unary_unary(f"/{protocol.SIM_SERVICE}/{method}",
                                        request_serializer=request_type.SerializeToString,
                                        response_deserializer=answer_type.FromString)
        return stub(request if request is not None else request_type(), timeout=CALL_LIMIT)

    def value(self, method, request=None):
        return json.loads(self.call(method, request).json)

    def make(self, env_init):
        return self.call("Make", protocol.MakeRequest(env_init_json=json.dumps(env_init)))

    def step(self, action):
        return self.value("Step", protocol.JsonValue(json=json.dumps(action)))

    def health(self, service=""):
        stub = self.channel.unary_unary(f"/{protocol.HEALTH_SERVICE}/Check",
                                        request_serializer=protocol.HealthCheckRequest.SerializeToString,
                                        response_deserializer=protocol.HealthCheckResponse.FromString)
        return stub(protocol.HealthCheckRequest(service=service), timeout=CALL_LIMIT).status


@pytest.fixture
def serve():
    """serve(factory): a client of the sim on that factory, served in this process on a real channel."""
    servers = []

    def start(factory):
        server = grpc.server(futures.ThreadPoolExecutor(max_workers=1), handlers=_serve.handlers(_serve.Sim(factory)))
        port = server.add_insecure_port("localhost:0")
        server.start()
        servers.append(server)
        return Client(f"localhost:{port}")

    yield start
    for server in servers:
        server.stop(None)


class Rover:
    """A Gymnasium-shaped env: a Dict observation with a nested Box, a Dict action with a Discrete."""

    observation_space = Dict({"pose": Box(-100, 100, shape=(2, 2), names=["x0", "y0", "x1", "y1"]),
                              "status": Dict({"battery": Box(0, 1, dtype="float32")})})
    action_space = Dict({"thrust": Box(-1, 1, shape=(2,), dtype="float32"), "mode": Discrete(3)})

    def __init__(self, env_init):
        self.env_init, self.actions, self.closed = env_init, [], False

    def reset(self, seed=None, options=None):
        self.pose = np.zeros((2, 2))
        return self._observation(), {"seed": seed}

    def step(self, action):
        self.actions.append(action)
        self.pose[0] += action["thrust"] * (action["mode"] + 1)
        return self._observation(), np.float32(-1.5), np.bool_(False), False, {"pose_sum": self.pose.sum()}

    def _observation(self):
        return {"pose": self.pose.copy(), "status": {"battery": np.array([np.float32(0.5)])}}

    def close(self):
        self.closed = True


def test_a_gymnasium_shaped_env_is_served_with_numpy_values_converted(serve):
    made = []
    client = serve(lambda env_init: made.append(Rover(env_init)) or made[-1])
    client.call("Init")
    client.make({"gain": 2, "sim_address": "localhost:1"})
    assert made[0].env_init == {"gain": 2}, "the tool's own member is not the env's"

    assert client.value("SensorSpaceInfo")["spaces"]["pose"]["shape"] == [4]
    assert client.value("ActionSpaceInfo") == {"type": "dict", "spaces": {
        "thrust": {"type": "box", "shape": [2], "low": -1.0, "high": 1.0, "dtype": "float64"},
        "mode": {"type": "discrete", "n": 3}}}
    with pytest.raises(grpc.RpcError) as raised:
        client.call("GetMappings")
    assert raised.value.code() == grpc.StatusCode.UNIMPLEMENTED

    assert client.value("Reset") == [{"pose": [0.0] * 4, "status": {"battery": [0.5]}}, {"seed": None}]
    assert client.step({"thrust": [0.5, -0.25], "mode": 1}) == [
        {"pose": [1.0, -0.5, 0.0, 0.0], "status": {"battery": [0.5]}}, -1.5, False, False, {"pose_sum": 0.5}]
    thrust = made[0].actions[0]["thrust"]
    assert thrust.dtype == np.float32 and thrust.tolist() == [0.5, -0.25]

    client.call("Close")
    assert made[0].closed


def test_mappings_are_served_when_the_env_has_them_and_a_new_make_closes_the_old_env(serve):
    class Mapped(Rover):
        mappings = {"sensor_space": {"mappings": [{"name": "['pose'][0]", "name_mapped": "X"}]},
                    "action_space": {"mappings": []}}

    made = []
    client = serve(lambda env_init: made.append(Mapped(env_init)) or made[-1])
    client.make({})
    assert client.value("GetMappings") == Mapped.mappings
    client.make({})
    assert [env.closed for env in made] == [True, False]


class OldGym(Rover):
    def step(self, action):
        return self._observation(), 0.0, False, {}


class ObservationOnly(Rover):
    def reset(self, seed=None, options=None):
        self.pose = np.zeros((2, 2))
        return self._observation()


class Diverging(Rover):
    def step(self, action):
        raise FloatingPointError("the integrator diverged at t=3.5")


class HoldsASet(Rover):
    def step(self, action):
        return self._observation(), 0.0, False, False, {"visited": {1, 2}}


class DeepInfo(Rover):
    def step(self, action):
        info = {}
        for _ in range(150):  # deeper than the tool reads, shallower than Python's recursion limit
            info = {"inner": info}
        return self._observation(), 0.0, False, False, info


class InfoHoldsItself(Rover):
    def step(self, action):
        info = {}
        info["me"] = info
        return self._observation(), 0.0, False, False, info


class Unspaced:
    action_space = Discrete(2)


def refusal(client, call, *args):
    with pytest.raises(grpc.RpcError) as raised:
        getattr(client, call)(*args)
    return raised.value.code(), raised.value.details()


@pytest.mark.parametrize("env, call, code, details", [
    (ObservationOnly, "Reset", grpc.StatusCode.INTERNAL,
     "reset() returned a dict; it must return (observation, info), info a dict, as Gymnasium's Env.reset does"),
    (OldGym, "Step", grpc.StatusCode.INTERNAL,
     "step() returned a tuple of 4 items (observation, reward, done, info) of the old Gym API; it must return "
     "(observation, reward, terminated, truncated, info), as Gymnasium's Env.step does"),
    (Diverging, "Step", grpc.StatusCode.UNKNOWN, "step() raised FloatingPointError: the integrator diverged at t=3.5"),
    (HoldsASet, "Step", grpc.StatusCode.INTERNAL, "step()'s info['visited'] is a set, which JSON cannot carry"),
    (DeepInfo, "Step", grpc.StatusCode.INTERNAL,
     "step()'s info" + "['inner']" * 8 + "... nests deeper than 100 levels, the most the tool reads (does it hold "
     "itself?)"),
    (InfoHoldsItself, "Step", grpc.StatusCode.INTERNAL,
     "step()'s info" + "['me']" * 8 + "... nests deeper than 100 levels, the most the tool reads (does it hold "
     "itself?)"),
])
def test_a_mistake_in_the_env_is_named_by_its_call(serve, capfd, env, call, code, details):
    client = serve(env)
    client.make({})
    client.value("Reset") if call == "Step" else None
    answer = refusal(client, "value", call) if call == "Reset" else refusal(client, "step", {"thrust": [0, 0], "mode": 0})
    assert answer == (code, details)
    err = capfd.readouterr().err
    assert f"nalto_sim: {call}: {details}" in err
    if env is Diverging:
        assert "Traceback (most recent call last)" in err and "in step" in err


@pytest.mark.parametrize("factory, details", [
    (lambda env_init: Unspaced(), "the env has no observation_space: give it the observation_space of "
                                  "nalto_sim.spaces (or Gymnasium's)"),
    (Rover.__init__, "Rover.__init__(env_init) raised TypeError: Rover.__init__() missing 1 required positional "
                     "argument: 'env_init'"),
])
def test_a_factory_that_cannot_make_an_env_fails_make(serve, factory, details):
    assert refusal(serve(factory), "make", {})[1] == details


def test_calls_before_make_and_bad_requests_are_refused(serve):
    client = serve(Rover)
    assert refusal(client, "value", "Reset")[0] == grpc.StatusCode.FAILED_PRECONDITION
    assert refusal(client, "make", [1]) == (grpc.StatusCode.INVALID_ARGUMENT, "env_init must be a JSON object, not list")
    client.make({})
    assert refusal(client, "step", {"thrust": [0, 0], "mode": 7}) == (
        grpc.StatusCode.INVALID_ARGUMENT, "the action['mode'] is 7, outside Discrete(3)'s 0..2")
    assert client.health() == protocol.HealthCheckResponse.SERVING
    with pytest.raises(grpc.RpcError) as raised:
        client.health("some.other.Service")
    assert raised.value.code() == grpc.StatusCode.NOT_FOUND


SIM_SCRIPT = """
import pathlib, sys, time
import nalto_sim
from nalto_sim.spaces import Box

class Tank:
    observation_space = Box(0, 10)
    action_space = Box(0, 1)
    def reset(self, seed=None, options=None):
        return [0.0], {}
    def step(self, action):
        while action[0] > 0.5:  # an env stuck in its step
            pathlib.Path("stuck").touch()
            time.sleep(0.01)
        return [float(action[0])], 0.0, False, False, {}
    def close(self):
        pathlib.Path("closed").write_text("yes")

nalto_sim.serve(lambda env_init: Tank())
print("serve returned")
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_sim(folder, *arguments):
    (folder / "sim.py").write_text(SIM_SCRIPT)
    env = dict(os.environ, PYTHONPATH=str(PYTHON))
    return subprocess.Popen([sys.executable, "sim.py", *arguments], cwd=folder, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def wait_until_serving(sim, port):
    deadline = time.monotonic() + 10
    while True:
        # A new channel each time: one that failed waits out gRPC's reconnection backoff.
        client = Client(f"localhost:{port}")
        try:
            assert client.health() == protocol.HealthCheckResponse.SERVING
            return client
        except grpc.RpcError:
            client.channel.close()
            assert time.monotonic() < deadline and sim.poll() is None, sim.stderr.read()
            time.sleep(0.05)


def test_serve_runs_as_the_tool_runs_a_sim_and_ends_cleanly_on_sigterm(tmp_path):
    port = free_port()
    sim = start_sim(tmp_path, "--host", "localhost", "--port", str(port))
    try:
        client = wait_until_serving(sim, port)
        client.make({})
        assert client.step([0.25])[0] == [0.25]
        sim.send_signal(signal.SIGTERM)
        out, err = sim.communicate(timeout=10)
    finally:
        sim.kill()
    assert sim.returncode == 0, err
    assert out == "serve returned\n"
    assert (tmp_path / "closed").read_text() == "yes", "the env is closed"


def test_an_env_stuck_in_a_call_does_not_keep_the_sim_from_ending_at_sigterm(tmp_path):
    port = free_port()
    sim = start_sim(tmp_path, "--host", "localhost", "--port", str(port))
    try:
        client = wait_until_serving(sim, port)
        client.make({})
        step = client.channel.unary_unary(f"/{protocol.SIM_SERVICE}/Step",
                                          request_serializer=protocol.JsonValue.SerializeToString,
                                          response_deserializer=protocol.JsonValue.FromString)
        stuck = step.future(protocol.JsonValue(json="[0.9]"))
        deadline = time.monotonic() + 10
        while not (tmp_path / "stuck").exists():
            assert time.monotonic() < deadline, "the env never began its step"
            time.sleep(0.01)
        sim.send_signal(signal.SIGTERM)
        _, err = sim.communicate(timeout=5)  # the tool would kill it only after 10 s
        stuck.cancel()
    finally:
        sim.kill()
    assert sim.returncode == 1
    assert "nalto_sim: a call into the env still runs: ending without closing the env" in err
    assert not (tmp_path / "closed").exists()


@pytest.mark.parametrize("arguments, code, message", [
    (["--host", "0.0.0.0", "--port", "1"], 2, "refusing to serve on '0.0.0.0': only a loopback host"),
    (["--host", "localhost"], 2, "the following arguments are required: --port"),
    (["--host", "localhost", "--port", "99999"], 2, "port 99999 is not a port number"),
])
def test_serve_refuses_what_it_cannot_serve_safely(tmp_path, arguments, code, message):
    sim = start_sim(tmp_path, *arguments)
    _, err = sim.communicate(timeout=10)
    assert (sim.returncode, message in err) == (code, True), err


def test_a_taken_port_is_named(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        sim = start_sim(tmp_path, "--host", "127.0.0.1", "--port", str(taken.getsockname()[1]))
        _, err = sim.communicate(timeout=10)
    assert sim.returncode == 1
    assert "nalto_sim: cannot serve on 127.0.0.1:" in err and "is the port taken?" in err


def test_a_python_without_grpc_is_named_with_the_python_to_use():
    code = "import sys; sys.modules['grpc'] = None; import nalto_sim"
    ran = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30,
                         env=dict(os.environ, PYTHONPATH=str(PYTHON)))
    assert ran.returncode == 1
    assert (f"ImportError: nalto_sim needs grpcio, which {sys.executable} lacks: Debian's python3-grpcio and "
            "python3-protobuf install grpcio and protobuf for /usr/bin/python3") in ran.stderr
