import importlib
import os
import pathlib
import sys

import pytest

PYTHON = pathlib.Path(__file__).resolve().parents[1]
REPOSITORY = PYTHON.parent
sys.path.insert(0, str(PYTHON))


@pytest.fixture(params=["numpy", "no numpy"])
def numpy_or_not(request, monkeypatch):
    """Runs a test with numpy and again as on a machine without it; yields numpy or None."""
    import nalto_sim._values
    import nalto_sim.spaces

    modules = (nalto_sim._values, nalto_sim.spaces)
    if request.param == "no numpy":
        monkeypatch.setitem(sys.modules, "numpy", None)  # `import numpy` raises ImportError
    for module in modules:
        importlib.reload(module)
    yield None if request.param == "no numpy" else importlib.import_module("numpy")
    monkeypatch.undo()
    for module in modules:
        importlib.reload(module)


def build_folder():
    return pathlib.Path(os.environ.get("NALTO_BUILD_DIR", REPOSITORY / "build"))
