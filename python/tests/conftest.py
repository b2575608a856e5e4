import os
import pathlib
import sys

import pytest

PYTHON = pathlib.Path(__file__).resolve().parents[1]
REPOSITORY = PYTHON.parent
sys.path.insert(0, str(PYTHON))


@pytest.fixture(params=["numpy", "no numpy"])
def numpy_or_not(request, monkeypatch):
    """Runs a test as for an env that uses numpy and again for one that does not; yields numpy or None."""
    import numpy

    if request.param == "no numpy":
        monkeypatch.setitem(sys.modules, "numpy", None)
        return None
    return numpy


def build_folder():
    return pathlib.Path(os.environ.get("NALTO_BUILD_DIR", REPOSITORY / "build"))
