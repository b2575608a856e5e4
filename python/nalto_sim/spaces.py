"""Spaces in Gymnasium's style, and how each travels in the sim protocol.

The protocol knows four spaces: a box of n numbers (float64 or int64), a discrete 0..n-1, a dict and a
tuple. The spaces here, and Gymnasium's (recognised by their attributes, Gymnasium itself is not needed),
are carried so:

- a Box of any shape as a box of its size, its values flattened in C (row-major) order; an action comes
  back to the env in the Box's shape;
- a float16/float32 Box as float64 (every such value is exactly a float64), an action given back in the
  Box's own dtype; an integer or bool Box as int64;
- a Discrete as a discrete; one whose `start` is not 0 is refused, as its values would not be the ones a
  dataset records;
- Gymnasium's MultiBinary and MultiDiscrete as int64 boxes.

A Box's action reaches the env as a numpy array of the Box's dtype and shape when the env has imported
numpy by the time it is made, else as a list (nested as the shape).
"""

import functools
from collections.abc import Mapping

from ._values import PlacedError, array_to_json, json_key, loaded_numpy, to_json

_FLOAT_DTYPES = ("float16", "float32", "float64")
_INTEGER_DTYPES = ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "bool")


class SpaceError(ValueError):
    """A space the protocol cannot carry, or one that is not well formed."""


def _dtype_name(dtype):
    if dtype is float:
        return "float64"
    if dtype is int:
        return "int64"
    if dtype is bool:
        return "bool"
    np = loaded_numpy()
    try:
        name = str(np.dtype(dtype)) if np is not None else str(dtype)  # numpy also reads "f4", np.float32
    except TypeError:
        name = str(dtype)
    if name not in _FLOAT_DTYPES + _INTEGER_DTYPES:
        raise SpaceError(f"dtype {dtype!r} is neither a float nor an integer type")
    return name


def _flat(values):
    """A number or nested sequence (or numpy array) as a flat list of Python numbers, in C order."""
    np = loaded_numpy()
    if np is not None and isinstance(values, (np.ndarray, np.generic)):
        return np.ravel(values).tolist()
    if isinstance(values, (list, tuple)):
        return [x for element in values for x in _flat(element)]
    return [values]


def _size(shape):
    size = 1
    for n in shape:
        size *= n
    return size


def _shape_of(values):
    np = loaded_numpy()
    if np is not None and isinstance(values, np.ndarray):
        return tuple(values.shape)
    if isinstance(values, (list, tuple)):
        return (len(values),) + (_shape_of(values[0]) if values else ())
    return None


class Box:
    """Numbers between `low` and `high`, each a number or one per element (nested as `shape`).
    `names`, one per element in C order, name the values for a dataset's columns."""

    def __init__(self, low, high, shape=None, dtype="float64", names=None):
        self.dtype = _dtype_name(dtype)
        if shape is None:
            shape = _shape_of(low) or _shape_of(high) or (1,)
        if isinstance(shape, int):
            shape = (shape,)
        self.shape = tuple(int(n) for n in shape)
        if any(n < 0 for n in self.shape):
            raise SpaceError(f"Box shape {self.shape} has a negative length")
        size = _size(self.shape)
        self.low, self.high = (self._bound(b, size, side) for b, side in ((low, "low"), (high, "high")))
        for i, (lo, hi) in enumerate(zip(self.low, self.high)):
            if lo > hi:
                raise SpaceError(f"Box element {i} has low {lo} above high {hi}")
        self.names = None if names is None else [str(name) for name in names]
        if self.names is not None and len(self.names) != size:
            raise SpaceError(f"Box names has {len(self.names)} names for {size} elements")

    @staticmethod
    def _bound(bound, size, side):
        values = [float(x) for x in _flat(bound)]
        if len(values) == 1:
            return values * size
        if len(values) != size:
            raise SpaceError(f"Box {side} has {len(values)} values for {size} elements")
        return values

    def __repr__(self):
        return f"Box(shape={self.shape}, dtype={self.dtype!r})"


class Discrete:
    """One of the n whole numbers start, ..., start + n - 1; `name` names it for a dataset's column."""

    def __init__(self, n, start=0, name=None):
        if int(n) != n or n <= 0:
            raise SpaceError(f"Discrete n must be a positive whole number, not {n!r}")
        self.n, self.start, self.name = int(n), int(start), name

    def __repr__(self):
        return f"Discrete({self.n})" if self.start == 0 else f"Discrete({self.n}, start={self.start})"


class Dict:
    """Named spaces: Dict({"position": Box(...), "gear": Discrete(5)}) or Dict(position=..., gear=...)."""

    def __init__(self, spaces=None, **more):
        self.spaces = dict(spaces or {}, **more)

    def __repr__(self):
        return f"Dict({self.spaces!r})"


class Tuple:
    """Spaces in order: Tuple([Box(...), Discrete(2)])."""

    def __init__(self, spaces):
        self.spaces = tuple(spaces)

    def __repr__(self):
        return f"Tuple({list(self.spaces)!r})"


class ActionError(PlacedError):
    """An action that does not fit the env's action space."""


class Carrier:
    """How one space travels: its protocol `description`, `to_env` for an action as JSON and `from_env`
    for an observation the env answered (already JSON-ready but for the shape of its boxes)."""

    def __init__(self, description, to_env, from_env):
        self.description, self.to_env, self.from_env = description, to_env, from_env


def describe(space):
    """The protocol's description of `space`, a JSON object."""
    return carrier(space).description


def carrier(space, where="the space"):
    """The Carrier of `space`; SpaceError names a part the protocol cannot carry by its place `where`."""
    members = getattr(space, "spaces", None)
    if isinstance(members, Mapping):
        return _dict_carrier(members, where)
    if isinstance(members, (list, tuple)):
        return _tuple_carrier(members, where)
    if hasattr(space, "nvec"):  # Gymnasium's MultiDiscrete
        nvec = _flat(space.nvec)
        start = _flat(getattr(space, "start", 0))
        start = start * len(nvec) if len(start) == 1 else start
        return _box_carrier(_shape_of(space.nvec) or (len(nvec),), start,
                            [s + n - 1 for s, n in zip(start, nvec)], space.dtype, None, where)
    if hasattr(space, "n") and hasattr(space, "start"):
        return _discrete_carrier(space, where)
    if hasattr(space, "low") and hasattr(space, "high") and hasattr(space, "shape"):
        return _box_carrier(space.shape, space.low, space.high, space.dtype, getattr(space, "names", None), where)
    if hasattr(space, "n") and hasattr(space, "shape"):  # Gymnasium's MultiBinary
        return _box_carrier(space.shape, 0, 1, "int8", None, where)
    raise SpaceError(f"{where} is a {type(space).__name__}, which the sim protocol cannot carry: it carries "
                     "Box, Discrete, Dict and Tuple spaces (and MultiBinary and MultiDiscrete as integer boxes)")


def _box_carrier(shape, low, high, dtype, names, where):
    shape = tuple(int(n) for n in shape)
    size = _size(shape)
    dtype = _dtype_name(dtype)
    integer = dtype in _INTEGER_DTYPES
    np = loaded_numpy()  # as the env was made: an action's type stays the same from step to step
    number = functools.partial(_number, integer=integer)

    def bounds(values, side):
        values = _flat(values)
        values = values * size if len(values) == 1 else values
        if len(values) != size:
            raise SpaceError(f"{where} has {len(values)} {side} values for {size} elements")
        if any(x != x for x in values):
            raise SpaceError(f"{where} has a NaN {side} value")
        if integer:
            values = [int(x) for x in values]
        else:
            values = [None if x in (float("inf"), float("-inf")) else float(x) for x in values]  # null: open
        return values[0] if values and values.count(values[0]) == size else values

    description = {"type": "box", "shape": [size], "low": bounds(low, "low"), "high": bounds(high, "high"),
                   "dtype": "int64" if integer else "float64"}
    if names is not None:
        names = [str(name) for name in names]
        if len(names) != size:
            raise SpaceError(f"{where} has {len(names)} names for {size} elements")
        description["names"] = names

    def to_env(value):
        if type(value) is not list or len(value) != size:
            raise ActionError(f"is {_text(value)}, not a list of {size} numbers")
        if np is None or integer:  # numpy would cut 1.5 to 1 unasked
            value = [_within(i, number, x) for i, x in enumerate(value)]
        if np is None:
            return _nested(value, shape) if len(shape) > 1 else value
        try:
            array = np.array(value, dtype=dtype)
        except (TypeError, ValueError, OverflowError) as e:
            raise ActionError(f"is {_text(value)}, not {size} numbers of dtype {dtype}: {e}") from None
        return array if shape == (size,) else array.reshape(shape)

    def from_env(value):
        if np is not None and isinstance(value, np.ndarray):
            return array_to_json(value if value.ndim == 1 else value.ravel())
        if isinstance(value, (list, tuple)) and len(shape) != 1:
            return to_json(_flat(value))
        return to_json(value)

    return Carrier(description, to_env, from_env)


def _number(value, integer):
    """A number of an action as a plain Python int or float; for a float, JSON's null is NaN, as numpy reads
    it. A non-integral value for an integer is refused rather than cut."""
    if type(value) is int or (type(value) is float and (not integer or value.is_integer())):
        return int(value) if integer else float(value)
    if value is None and not integer:
        return float("nan")
    raise ActionError(f"is {_text(value)}, not {'a whole number' if integer else 'a number'}")


def _nested(values, shape):
    if len(shape) == 1:
        return list(values)
    step = len(values) // shape[0] if shape[0] else 0
    return [_nested(values[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def _discrete_carrier(space, where):
    n, start = int(space.n), int(space.start)
    if start != 0:
        raise SpaceError(
            f"{where} is Discrete({n}, start={start}): the sim protocol's discrete values count from 0, so the "
            f"values a dataset records would arrive shifted. Use Discrete({n}) and add {start} in the env, or "
            f"Box({start}, {start + n - 1}, dtype='int64') to carry the values as they are")
    description = {"type": "discrete", "n": n}
    name = getattr(space, "name", None)
    if isinstance(name, str) and name:
        description["name"] = name

    def to_env(value):
        value = _number(value, integer=True)
        if not 0 <= value < n:
            raise ActionError(f"is {value}, outside Discrete({n})'s 0..{n - 1}")
        return value

    return Carrier(description, to_env, to_json)


def _dict_carrier(spaces, where):
    members = {}
    for key, space in spaces.items():
        if not isinstance(key, str):
            raise SpaceError(f"{where} has the key {key!r}: a Dict space's keys must be texts")
        members[key] = carrier(space, f"{where}[{key!r}]")
    description = {"type": "dict", "spaces": {key: c.description for key, c in members.items()}}

    def to_env(value):
        if type(value) is not dict:
            raise ActionError(f"is {_text(value)}, not an object")
        out = {}
        for key, member in members.items():
            if key not in value:
                raise ActionError(f"lacks the member {key!r}")
            out[key] = _within(key, member.to_env, value[key])
        for key in value:
            if key not in members:
                raise ActionError(f"has the member {key!r}, which the space does not")
        return out

    def from_env(value):
        if not isinstance(value, Mapping):
            return to_json(value)
        out = {}
        for key, element in value.items():
            member = members.get(key)
            out[json_key(key)] = _within(key, member.from_env if member else to_json, element)
        return out

    return Carrier(description, to_env, from_env)


def _tuple_carrier(spaces, where):
    members = [carrier(space, f"{where}[{i}]") for i, space in enumerate(spaces)]
    description = {"type": "tuple", "spaces": [c.description for c in members]}

    def to_env(value):
        if type(value) is not list or len(value) != len(members):
            raise ActionError(f"is {_text(value)}, not a list of {len(members)} values")
        return tuple(_within(i, member.to_env, element) for i, (member, element) in enumerate(zip(members, value)))

    def from_env(value):
        if not isinstance(value, (list, tuple)) or len(value) != len(members):
            return to_json(value)
        return [_within(i, member.from_env, element)
                for i, (member, element) in enumerate(zip(members, value))]

    return Carrier(description, to_env, from_env)


def _within(key, convert, value):
    """convert(value), with the place of a fault in it prefixed by `key`."""
    try:
        return convert(value)
    except PlacedError as e:
        raise e.within(key)


def _text(value, limit=80):
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."
