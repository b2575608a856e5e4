"""serve(): a Gymnasium-style env as a sim of the protocol, on the host and port the tool gives."""

import argparse
import contextlib
import ipaddress
import json
import os
import signal
import sys
import threading
import traceback
from collections.abc import Mapping
from concurrent import futures

import grpc

from . import _protocol as protocol
from ._values import PlacedError, dumps, to_json
from .spaces import SpaceError, carrier

# The tool reads answers of up to 256 MiB; gRPC's default of 4 MiB would cut a large observation.
_MESSAGE_LIMIT = 256 * 1024 * 1024
# At SIGTERM: how long calls in flight may go on (the tool has had its answers by then), and how long
# the env's close() waits for a call that went on regardless.
_STOP_GRACE_S = 0.25
_IDLE_WAIT_S = 0.5
_EMPTY = protocol.Empty()


class Refusal(Exception):
    """A call refused with a gRPC status and a text the tool shows."""

    def __init__(self, code, text):
        super().__init__(text)
        self.code = code


def _mistake(text):
    """A refusal for something the env did that the protocol cannot take."""
    return Refusal(grpc.StatusCode.INTERNAL, text)


def _kind(value):
    return type(value).__name__


class Sim:
    """The protocol's calls on one env, made by `factory(env_init)` at each Make."""

    def __init__(self, factory):
        self._factory = factory
        name = getattr(factory, "__qualname__", "")
        self._factory_name = "the factory" if not name or "<lambda>" in name else f"{name}(env_init)"
        self.env = None
        self.busy = threading.Lock()  # held through each call into the env
        self._observation = self._action = None
        self._spaces = {}

    def init(self, request):
        return _EMPTY

    def make(self, request):
        try:
            env_init = json.loads(request.env_init_json or "{}")
        except ValueError as e:
            raise Refusal(grpc.StatusCode.INVALID_ARGUMENT, f"env_init is not JSON: {e}") from None
        if not isinstance(env_init, dict):
            raise Refusal(grpc.StatusCode.INVALID_ARGUMENT,
                          f"env_init must be a JSON object, not {_kind(env_init)}")
        env_init.pop("sim_address", None)  # the tool's own, of no use to an env
        self.close()
        # A ValueError is the env's way of refusing the values it was given.
        env = _calling(self._factory_name, self._factory, env_init, refusing=ValueError)
        observation, action = (self._carrier(env, name) for name in ("observation_space", "action_space"))
        self.env, self._observation, self._action = env, observation, action
        self._spaces = {name: protocol.JsonValue(json=dumps(c.description))
                        for name, c in (("observation", observation), ("action", action))}
        return _EMPTY

    @staticmethod
    def _carrier(env, name):
        space = getattr(env, name, None)
        if space is None:
            raise _mistake(f"the env has no {name}: give it the {name} of nalto_sim.spaces (or Gymnasium's)")
        try:
            return carrier(space, f"the env's {name}")
        except SpaceError as e:
            raise _mistake(str(e)) from None

    def _env(self):
        if self.env is None:
            raise Refusal(grpc.StatusCode.FAILED_PRECONDITION, "no env yet: Make makes it")
        return self.env

    def get_mappings(self):
        mappings = getattr(self._env(), "mappings", None)
        if callable(mappings):
            mappings = _calling("mappings()", mappings)
        if mappings is None:
            raise Refusal(grpc.StatusCode.UNIMPLEMENTED, "the env keeps no mappings: its spaces name the values")
        return protocol.JsonValue(json=dumps(_converted("the env's mappings", mappings)))

    def space_info(self, name):
        self._env()
        return self._spaces[name]

    def reset(self):
        answer = _calling("reset()", self._env().reset)
        if not (_length(answer) == 2 and isinstance(answer[1], Mapping)):
            raise _mistake(
                f"reset() returned {_shape(answer)}; it must return (observation, info), info a dict, as "
                "Gymnasium's Env.reset does")
        observation, info = answer
        observation = _converted("reset()'s observation", observation, self._observation.from_env)
        return protocol.JsonValue(json=dumps([observation, _converted("reset()'s info", info)]))

    def step(self, request):
        env = self._env()
        try:
            action = self._action.to_env(json.loads(request.json))
        except PlacedError as e:
            raise Refusal(grpc.StatusCode.INVALID_ARGUMENT, f"the action{e}") from None
        except ValueError as e:
            raise Refusal(grpc.StatusCode.INVALID_ARGUMENT, f"the action is not JSON: {e}") from None
        answer = _calling("step()", env.step, action)
        if _length(answer) != 5:
            old = " (observation, reward, done, info) of the old Gym API" if _length(answer) == 4 else ""
            raise _mistake(f"step() returned {_shape(answer)}{old}; it must return (observation, reward, "
                           "terminated, truncated, info), as Gymnasium's Env.step does")
        observation, reward, terminated, truncated, info = answer
        try:
            reward = float(reward)
        except (TypeError, ValueError):
            raise _mistake(f"step()'s reward is a {_kind(reward)}, not a number") from None
        if not isinstance(info, Mapping):
            raise _mistake(f"step()'s info is a {_kind(info)}, not a dict")
        observation = _converted("step()'s observation", observation, self._observation.from_env)
        info = _converted("step()'s info", info)
        return protocol.JsonValue(json=dumps([observation, reward, bool(terminated), bool(truncated), info]))

    def close(self):
        env, self.env = self.env, None
        if env is not None and hasattr(env, "close"):
            _calling("close()", env.close)
        return _EMPTY


def _length(value):
    return len(value) if isinstance(value, (tuple, list)) else None


def _shape(value):
    n = _length(value)
    return f"a {_kind(value)} of {n} items" if n is not None else f"a {_kind(value)}"


def _calling(label, function, *args, refusing=()):
    """function(*args), named `label` ("step()"); an exception from it, its traceback written to stderr,
    refuses the call: as an invalid argument when it is one of `refusing`."""
    try:
        return function(*args)
    except Refusal:
        raise
    except Exception as e:
        # From the env's own frame on: the frames above are this library's.
        traceback.print_exception(type(e), e, e.__traceback__.tb_next)
        sys.stderr.flush()
        code = grpc.StatusCode.INVALID_ARGUMENT if isinstance(e, refusing) else grpc.StatusCode.UNKNOWN
        raise Refusal(code, f"{label} raised {type(e).__name__}: {e}") from None


def _converted(what, value, convert=to_json):
    try:
        return convert(value)
    except PlacedError as e:
        raise _mistake(f"{what}{e}") from None


def _handler(call, body, request_type, response_type, busy=contextlib.nullcontext()):
    def handle(request, context):
        try:
            with busy:
                return body(request)
        except Refusal as e:
            if e.code != grpc.StatusCode.UNIMPLEMENTED:  # an env without mappings is no fault
                print(f"nalto_sim: {call}: {e}", file=sys.stderr, flush=True)
            context.abort(e.code, str(e))
        except Exception as e:  # a fault of this library's own: still a named refusal, with its traceback
            traceback.print_exc()
            context.abort(grpc.StatusCode.INTERNAL, f"nalto_sim failed: {type(e).__name__}: {e}")

    return grpc.unary_unary_rpc_method_handler(handle, request_deserializer=request_type.FromString,
                                               response_serializer=response_type.SerializeToString)


def handlers(sim):
    """The gRPC handlers of the sim protocol on `sim`, and of the health service."""
    bodies = {
        "Init": sim.init,
        "Make": sim.make,
        "GetMappings": lambda request: sim.get_mappings(),
        "SensorSpaceInfo": lambda request: sim.space_info("observation"),
        "ActionSpaceInfo": lambda request: sim.space_info("action"),
        "Reset": lambda request: sim.reset(),
        "Step": sim.step,
        "Close": lambda request: sim.close(),
    }
    methods = {name: _handler(name, bodies[name], *types, sim.busy)
               for name, types in protocol.SIM_METHODS.items()}

    def check(request):
        if request.service not in ("", protocol.SIM_SERVICE):
            raise Refusal(grpc.StatusCode.NOT_FOUND, f"unknown service {request.service}")
        return protocol.HealthCheckResponse(status=protocol.HealthCheckResponse.SERVING)

    health = {"Check": _handler("Check", check, protocol.HealthCheckRequest, protocol.HealthCheckResponse)}
    return [grpc.method_handlers_generic_handler(protocol.SIM_SERVICE, methods),
            grpc.method_handlers_generic_handler(protocol.HEALTH_SERVICE, health)]


def _is_loopback(host):
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _arguments(argv):
    parser = argparse.ArgumentParser(
        description="A sim for nalto: `nalto sim validate --path FOLDER` runs it with --host and --port.")
    parser.add_argument("--host", required=True, help="a loopback host: localhost, 127.0.0.1 or ::1")
    parser.add_argument("--port", required=True, type=int)
    args = parser.parse_args(argv)
    args.host = args.host.strip("[]")
    if not _is_loopback(args.host):
        parser.exit(2, f"nalto_sim: refusing to serve on '{args.host}': only a loopback host (localhost, "
                       "127.0.0.0/8, ::1) is allowed, as the sim would be open to the network\n")
    if not 0 <= args.port <= 65535:
        parser.exit(2, f"nalto_sim: port {args.port} is not a port number\n")
    return args


def serve(factory, argv=None):
    """Serves the env that `factory(env_init)` makes, as the tool runs a sim: parses `--host HOST --port
    PORT` from `argv` (default: the command line), answers the sim protocol and the health service until
    SIGTERM or SIGINT, then closes the env and returns. Call it from the main thread."""
    args = _arguments(argv)
    address = f"[{args.host}]:{args.port}" if ":" in args.host else f"{args.host}:{args.port}"
    sim = Sim(factory)
    # One call at a time: an env keeps one state. A port is never shared with another server.
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=1), handlers=handlers(sim),
                         options=[("grpc.so_reuseport", 0), ("grpc.max_send_message_length", _MESSAGE_LIMIT),
                                  ("grpc.max_receive_message_length", _MESSAGE_LIMIT)])
    try:
        port = server.add_insecure_port(address)
    except RuntimeError:
        port = 0
    if port == 0:
        sys.exit(f"nalto_sim: cannot serve on {address}: is the port taken?")
    server.start()

    def stop(signum, frame):
        server.stop(grace=_STOP_GRACE_S)

    previous = {s: signal.signal(s, stop) for s in (signal.SIGTERM, signal.SIGINT)}
    print(f"nalto_sim: serving on {address}", file=sys.stderr, flush=True)
    try:
        server.wait_for_termination()
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
        _close_when_idle(sim)


def _close_when_idle(sim):
    # A call that still runs (an env stuck in its step) cannot be stopped from here, closing the env
    # under it is unsafe, and its thread would keep Python from exiting: the process ends at once.
    if not sim.busy.acquire(timeout=_IDLE_WAIT_S):
        print("nalto_sim: a call into the env still runs: ending without closing the env", file=sys.stderr,
              flush=True)
        sys.stdout.flush()
        os._exit(1)
    try:
        sim.close()
    except Refusal as e:
        print(f"nalto_sim: Close: {e}", file=sys.stderr, flush=True)
    finally:
        sim.busy.release()
