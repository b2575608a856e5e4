"""Sims for nalto in Gymnasium's style: write an env with `observation_space`, `action_space`, `reset()`
and `step()`, then call `serve(factory)`.

    import nalto_sim
    from nalto_sim.spaces import Box

    class Tank:
        observation_space = Box(0.0, 1e9, shape=(1,), names=["Level"])
        action_space = Box(0.0, 10.0, shape=(1,), names=["Inflow"])

        def reset(self, seed=None, options=None):
            self.level = 0.0
            return [self.level], {}

        def step(self, action):
            self.level += float(action[0])
            return [self.level], 0.0, False, False, {}

    nalto_sim.serve(lambda env_init: Tank())
"""

import sys

try:
    import google.protobuf  # noqa: F401
    import grpc  # noqa: F401
except ImportError as e:
    # A sim.json naming "python3" may start another Python than Debian's, which has them.
    package = {"google": "protobuf", "grpc": "grpcio"}.get(e.name, e.name)
    raise ImportError(f"nalto_sim needs {package}, which {sys.executable} lacks: Debian's python3-grpcio and "
                      "python3-protobuf install grpcio and protobuf for /usr/bin/python3; name that Python in "
                      "sim.json, or one that has both") from None

from . import spaces  # noqa: E402
from ._serve import serve  # noqa: E402

__all__ = ["serve", "spaces"]
