import enum

import numpy as np
import pytest

from nalto_sim import _values


def nested(levels, inner):
    for _ in range(levels):
        inner = [inner]
    return inner


class Gear(enum.IntEnum):
    LOW = 1


@pytest.mark.parametrize("value, expected", [
    (np.float32(1.5), 1.5),
    (np.int64(7), 7),
    (np.bool_(True), True),
    (np.arange(3, dtype=np.int16), [0, 1, 2]),
    (np.array([[1.0, np.nan], [np.inf, -np.inf]]), [[1.0, None], [None, None]]),
    (np.float64("nan"), None),
    (float("inf"), None),
    ((1, (2.0, "x")), [1, [2.0, "x"]]),
    ({"a": np.zeros(2), "b": None}, {"a": [0.0, 0.0], "b": None}),
    ({1: "one", np.int64(2): "two", 0.5: "half", False: "no"}, {"1": "one", "2": "two", "0.5": "half", "false": "no"}),
    (Gear.LOW, 1),
    (np.array(["a", "b"]), ["a", "b"]),
])
def test_numpy_and_python_values_become_json(value, expected):
    out = _values.to_json(value)
    assert out == expected
    assert type(out) is type(expected)


@pytest.mark.parametrize("value, message", [
    ({"seen": {1, 2}}, "['seen'] is a set, which JSON cannot carry"),
    ([0, [1, b"raw"]], "[1][1] is a bytes, which JSON cannot carry"),
    ({"z": np.array([1 + 2j])}, "['z'][0] is a complex, which JSON cannot carry"),
    ({"when": object()}, "['when'] is a object, which JSON cannot carry"),
    ({(1, 2): 3}, "has a key (1, 2) of type tuple, which JSON cannot carry"),
    (nested(70, np.zeros((1,) * 31)), "[0]" * 8 + "... nests deeper than 100 levels, the most the tool reads "
                                                  "(does it hold itself?)"),
])
def test_what_json_cannot_carry_is_named_with_its_place(value, message):
    with pytest.raises(_values.NotJson) as raised:
        _values.to_json(value)
    assert str(raised.value) == message

