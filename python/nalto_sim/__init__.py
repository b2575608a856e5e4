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

from . import spaces
from ._serve import serve

__all__ = ["serve", "spaces"]
