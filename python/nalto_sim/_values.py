"""Python values as JSON can carry them: numpy arrays and scalars, tuples, mappings."""

import json
import math
import sys
from collections.abc import Mapping


def loaded_numpy():
    """numpy when the env (or anything else) has imported it, else None. The library never imports it
    itself: a sim without numpy starts a tenth of a second sooner, and holds no numpy value anyway."""
    return sys.modules.get("numpy")


class PlacedError(ValueError):
    """A fault at a place inside a value; `path` says where, e.g. "['pose'][2]"."""

    SHOWN_KEYS = 8  # of a deeper place, the outermost keys shown

    def __init__(self, what):
        super().__init__(what)
        self.what = what
        self.keys = []  # outermost first

    def within(self, key):
        self.keys.insert(0, f"[{key!r}]")
        return self

    @property
    def path(self):
        shown = "".join(self.keys[:self.SHOWN_KEYS])
        return shown + "..." if len(self.keys) > self.SHOWN_KEYS else shown

    def __str__(self):
        return f"{self.path} {self.what}" if self.keys else self.what


class NotJson(PlacedError):
    """A value JSON cannot carry."""


# The deepest a value may nest: the tool reads answers nested at most 128 levels, the answer's own list
# and an observation's spaces included.
MAX_DEPTH = 100


def json_key(key):
    np = loaded_numpy()
    if np is not None and isinstance(key, np.generic):
        key = key.item()
    if isinstance(key, str):
        return str(key)
    if key is None or isinstance(key, (bool, int, float)):
        return json.dumps(key)  # as json.dumps itself writes such keys
    raise NotJson(f"has a key {key!r} of type {type(key).__name__}, which JSON cannot carry")


def array_to_json(value, depth=0):
    """A numpy array as nested lists of Python numbers."""
    if depth + value.ndim > MAX_DEPTH:
        _deeper(MAX_DEPTH)
    if value.dtype.kind in "biu":
        return value.tolist()
    if value.dtype.kind == "f":
        out = value.tolist()
        return out if loaded_numpy().isfinite(value).all() else to_json(out, depth)
    return to_json(value.tolist(), depth)


def to_json(value, depth=0):
    """`value` with every list-like as a list, every mapping as a dict of text keys and every number a
    Python int or float. NaN and the infinities become null: JSON has no such numbers, and null is what
    the tool reads as a value that is no number. Raises NotJson for what JSON cannot carry, such as a set,
    bytes or a complex number."""
    kind = type(value)
    if kind is float:
        return value if math.isfinite(value) else None
    if kind is int or kind is str or kind is bool or value is None:
        return value
    if kind is list or kind is tuple:
        return _sequence(value, depth)
    if kind is dict:
        return _mapping(value, depth)
    np = loaded_numpy()
    if np is not None:
        if isinstance(value, np.ndarray):
            return array_to_json(value, depth)
        if isinstance(value, np.generic):
            return to_json(value.item(), depth)
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, int):
        return int(value)  # an IntEnum, say
    if isinstance(value, float):
        return to_json(float(value))
    if isinstance(value, str):
        return str(value)
    if isinstance(value, Mapping):
        return _mapping(value, depth)
    if isinstance(value, (list, tuple)):
        return _sequence(value, depth)
    raise NotJson(_what(value))


def _what(value):
    kind = type(value)
    name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
    return f"is a {name}, which JSON cannot carry"


def _deeper(depth):
    if depth >= MAX_DEPTH:
        raise NotJson(f"nests deeper than {MAX_DEPTH} levels, the most the tool reads (does it hold itself?)")
    return depth + 1


def _sequence(value, depth):
    depth = _deeper(depth)
    out = []
    for i, element in enumerate(value):
        try:
            out.append(to_json(element, depth))
        except NotJson as e:
            raise e.within(i)
    return out


def _mapping(value, depth):
    depth = _deeper(depth)
    out = {}
    for key, member in value.items():
        text = json_key(key)
        try:
            out[text] = to_json(member, depth)
        except NotJson as e:
            raise e.within(key)
    return out


def dumps(value):
    """JSON text of a value already converted by to_json."""
    return json.dumps(value, separators=(",", ":"))
