import math

import pytest

from nalto_sim import spaces


class GymBox:
    """Shaped as Gymnasium's Box: numpy bounds of the box's shape, a numpy dtype."""

    def __init__(self, np, low, high, shape, dtype):
        self.low = np.full(shape, low, dtype=dtype)
        self.high = np.full(shape, high, dtype=dtype)
        self.shape, self.dtype = shape, np.dtype(dtype)


class GymDiscrete:
    def __init__(self, n, start=0):
        self.n, self.start, self.shape = n, start, ()


class GymMultiBinary:
    def __init__(self, n):
        self.n, self.shape, self.dtype = n, (n,), "int8"


class GymMultiDiscrete:
    def __init__(self, np, nvec):
        self.nvec = np.array(nvec)
        self.shape, self.dtype = self.nvec.shape, "int64"


class GymText:
    max_length = 10


def test_spaces_are_described_as_the_protocol_carries_them():
    space = spaces.Dict({
        "pose": spaces.Box(-1.0, [1.0, 2.0, math.inf, 4.0], shape=(2, 2), dtype="float32", names="abcd"),
        "gear": spaces.Discrete(5, name="Gear"),
        "flags": spaces.Tuple([spaces.Box(0, 9, dtype="uint8"), spaces.Discrete(2)]),
    })
    assert spaces.describe(space) == {"type": "dict", "spaces": {
        "pose": {"type": "box", "shape": [4], "low": -1.0, "high": [1.0, 2.0, None, 4.0],
                 "dtype": "float64", "names": ["a", "b", "c", "d"]},
        "gear": {"type": "discrete", "n": 5, "name": "Gear"},
        "flags": {"type": "tuple", "spaces": [
            {"type": "box", "shape": [1], "low": 0, "high": 9, "dtype": "int64"},
            {"type": "discrete", "n": 2}]},
    }}


def test_gymnasium_spaces_are_recognised_by_their_attributes():
    import numpy as np  # Gymnasium's spaces hold numpy values

    described = {
        "box": spaces.describe(GymBox(np, -np.inf, 5.0, (3,), np.float32)),
        "discrete": spaces.describe(GymDiscrete(np.int64(4))),
        "binary": spaces.describe(GymMultiBinary(2)),
        "multi": spaces.describe(GymMultiDiscrete(np, [[2, 3], [4, 5]])),
    }
    assert described == {
        "box": {"type": "box", "shape": [3], "low": None, "high": 5.0, "dtype": "float64"},
        "discrete": {"type": "discrete", "n": 4},
        "binary": {"type": "box", "shape": [2], "low": 0, "high": 1, "dtype": "int64"},
        "multi": {"type": "box", "shape": [4], "low": 0, "high": [1, 2, 3, 4], "dtype": "int64"},
    }


@pytest.mark.parametrize("space, message", [
    (spaces.Dict(gear=spaces.Discrete(3, start=1)),
     "the space['gear'] is Discrete(3, start=1): the sim protocol's discrete values count from 0"),
    (spaces.Tuple([spaces.Box(0, 1), GymText()]), "the space[1] is a GymText, which the sim protocol cannot carry"),
    (spaces.Dict({1: spaces.Discrete(2)}), "the space has the key 1: a Dict space's keys must be texts"),
    (spaces.Tuple([spaces.Box(float("nan"), 1)]), "the space[0] has a NaN low value"),
])
def test_a_space_the_protocol_cannot_carry_is_refused_by_its_place(space, message):
    with pytest.raises(spaces.SpaceError, match=message.replace("(", r"\(").replace(")", r"\)").replace("[", r"\[")):
        spaces.describe(space)


@pytest.mark.parametrize("make, message", [
    (lambda: spaces.Box(0, [1, 2], shape=(3,)), "Box high has 2 values for 3 elements"),
    (lambda: spaces.Box(2, 1), "Box element 0 has low 2.0 above high 1.0"),
    (lambda: spaces.Box(0, 1, shape=(2,), names=["x"]), "Box names has 1 names for 2 elements"),
    (lambda: spaces.Box(0, 1, dtype="complex64"), "dtype 'complex64' is neither a float nor an integer type"),
    (lambda: spaces.Discrete(0), "Discrete n must be a positive whole number, not 0"),
])
def test_a_space_that_is_not_well_formed_is_refused_when_made(make, message):
    with pytest.raises(spaces.SpaceError) as raised:
        make()
    assert str(raised.value).startswith(message)


ACTION_SPACE = spaces.Dict({
    "push": spaces.Box(-1, 1, shape=(2, 2), dtype="float32"),
    "gear": spaces.Discrete(3),
    "pair": spaces.Tuple([spaces.Box(0, 10, shape=(1,), dtype="int32"), spaces.Discrete(2)]),
})


def test_actions_reach_the_env_as_it_expects_them(numpy_or_not):
    np = numpy_or_not
    action = spaces.carrier(ACTION_SPACE).to_env({"push": [0.5, -0.5, 0.25, 1.0], "gear": 2.0, "pair": [[7], 1]})
    assert set(action) == {"push", "gear", "pair"}
    assert action["gear"] == 2 and type(action["gear"]) is int
    assert isinstance(action["pair"], tuple) and action["pair"][1] == 1
    if np is None:
        assert action["push"] == [[0.5, -0.5], [0.25, 1.0]]
        assert action["pair"][0] == [7]
    else:
        assert action["push"].dtype == np.float32 and action["push"].shape == (2, 2)
        assert action["push"].tolist() == [[0.5, -0.5], [0.25, 1.0]]
        assert action["pair"][0].dtype == np.int32 and action["pair"][0].tolist() == [7]


@pytest.mark.parametrize("action, message", [
    ([1, 2], "is [1, 2], not an object"),
    ({"push": [0, 0, 0, 0], "gear": 1}, "lacks the member 'pair'"),
    ({"push": [0, 0, 0], "gear": 1, "pair": [[1], 0]}, "['push'] is [0, 0, 0], not a list of 4 numbers"),
    ({"push": [0, 0, 0, 0], "gear": 3, "pair": [[1], 0]}, "['gear'] is 3, outside Discrete(3)'s 0..2"),
    ({"push": [0, 0, 0, 0], "gear": 1.5, "pair": [[1], 0]}, "['gear'] is 1.5, not a whole number"),
    ({"push": [0, 0, 0, 0], "gear": 1, "pair": [[1], 0, 3]}, "['pair'] is [[1], 0, 3], not a list of 2 values"),
    ({"push": [0, 0, 0, 0], "gear": 1, "pair": [[1], True]}, "['pair'][1] is True, not a whole number"),
    ({"push": [0, 0, 0, 0], "gear": 1, "pair": [[1], 0], "x": 1}, "has the member 'x', which the space does not"),
    ({"push": [0, 0, "hot", 0], "gear": 1, "pair": [[1], 0]}, "['push']"),
    ({"push": [0, 0, 0, 0], "gear": 1, "pair": [[1.5], 0]}, "['pair'][0]"),
])
def test_an_action_that_does_not_fit_is_named_by_its_place(numpy_or_not, action, message):
    with pytest.raises(spaces.ActionError) as raised:
        spaces.carrier(ACTION_SPACE).to_env(action)
    assert str(raised.value).startswith(message)


def test_observations_travel_flattened_as_their_boxes(numpy_or_not):
    np = numpy_or_not
    space = spaces.Dict(pose=spaces.Box(-9, 9, shape=(2, 3)), tag=spaces.Tuple([spaces.Discrete(4)]))
    pose = [[1.0, 2.0, float("nan")], [4.0, 5.0, 6.0]]
    observation = {"pose": pose if np is None else np.array(pose, dtype=np.float32), "tag": (3,), "extra": (1, 2)}
    assert spaces.carrier(space).from_env(observation) == {
        "pose": [1.0, 2.0, None, 4.0, 5.0, 6.0], "tag": [3], "extra": [1, 2]}
