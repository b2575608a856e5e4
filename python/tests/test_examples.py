"""The library end to end: the example sims and a Gymnasium-shaped env through the real `nalto` and node."""

import json
import math
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import PYTHON, REPOSITORY, build_folder

TOKEN = "python-e2e-token"
LIMIT = 60  # s for one command; each takes a few


def built(variable, relative):
    path = os.environ.get(variable) or str(build_folder() / relative)
    if not os.path.exists(path):
        pytest.skip(f"{path} is not built: build the repository first, or set {variable}")
    return path


@pytest.fixture(scope="module")
def nalto():
    return built("NALTO_EXE", "apps/nalto/nalto")


@pytest.fixture(scope="module")
def example_sims():
    return built("NALTO_EXAMPLE_SIMS_DIR", "examples/sims")


CART_SIM = '''
import numpy as np
import nalto_sim
from nalto_sim.spaces import Box, Dict, Discrete


class Cart:
    """A cart pushed in the plane; each gear multiplies the thrust."""

    observation_space = Dict({
        "position": Box(-1e3, 1e3, shape=(2,), names=["X", "Y"]),
        "status": Dict({"speed": Box(0.0, np.inf, shape=(1,), names=["Speed"])}),
    })
    action_space = Dict({
        "thrust": Box(-1.0, 1.0, shape=(2,), dtype=np.float32, names=["Thrust X", "Thrust Y"]),
        "gear": Discrete(3, name="Gear"),
    })

    def __init__(self, env_init):
        self.gain = env_init.get("gain", 0.5)

    def reset(self, seed=None, options=None):
        self.position, self.velocity = np.zeros(2), np.zeros(2)
        return self.observation(), {}

    def step(self, action):
        self.velocity = 0.9 * self.velocity + self.gain * (action["gear"] + 1) * action["thrust"]
        self.position = self.position + self.velocity
        return self.observation(), np.float64(-np.linalg.norm(self.position)), False, False, {"v": self.velocity}

    def observation(self):
        return {"position": self.position, "status": {"speed": np.array([np.linalg.norm(self.velocity)])}}


nalto_sim.serve(Cart)
'''


def write_cart_dataset(folder, gain):
    """Two episodes of the cart with `gain`, recorded as the node reads a dataset."""
    columns = [("x", "X", "sensor"), ("y", "Y", "sensor"), ("s", "Speed", "sensor"),
               ("tx", "Thrust X", "action"), ("ty", "Thrust Y", "action"), ("g", "Gear", "action")]
    folder.mkdir(parents=True)
    (folder / "dataset.json").write_text(json.dumps({
        "id": "cart-1", "name": "cart",
        "columns": [{"key": k, "raw_name": name, "role": role} for k, name, role in columns]}))
    lines = ["episode,row," + ",".join(k for k, _, _ in columns)]
    for episode in range(2):
        x = y = vx = vy = 0.0
        for row in range(30):
            tx, ty, gear = math.sin(row / 4 + episode), math.cos(row / 5), row % 3
            if row > 0:  # row 0 is the reset's; its actions are never sent
                vx, vy = 0.9 * vx + gain * (gear + 1) * tx, 0.9 * vy + gain * (gear + 1) * ty
                x, y = x + vx, y + vy
            tx, ty = float(f"{tx:.6f}"), float(f"{ty:.6f}")
            lines.append(f"{episode},{row},{x!r},{y!r},{math.hypot(vx, vy)!r},{tx},{ty},{gear}")
    (folder / "rows.csv").write_text("\n".join(lines) + "\n")


@pytest.fixture(scope="module")
def node(tmp_path_factory):
    """A compute node serving the heated room's dataset and the cart's; yields its URL."""
    node_exe = built("NALTO_COMPUTE_NODE_EXE", "apps/nalto-compute-node/nalto-compute-node")
    datasets = tmp_path_factory.mktemp("datasets")
    (datasets / "heated-room").symlink_to(REPOSITORY / "examples/datasets/heated-room")
    write_cart_dataset(datasets / "cart", gain=0.5)
    process = subprocess.Popen([node_exe, "--datasets", str(datasets), "--port", "0"], text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=dict(os.environ, NALTO_COMPUTE_TOKEN=TOKEN))
    try:
        line = process.stdout.readline()  # "... serving N datasets on http://127.0.0.1:PORT"
        assert line.startswith("nalto-compute-node: serving"), line
        yield line.split()[-1]
    finally:
        process.terminate()
        process.wait(timeout=10)


def run(arguments, node_url=None, **env):
    environment = dict(os.environ, **env)
    environment.pop("NALTO_COMPUTE_URL", None)
    if node_url:
        environment.update(NALTO_COMPUTE_URL=node_url, NALTO_COMPUTE_TOKEN=TOKEN)
    return subprocess.run(arguments, capture_output=True, text=True, timeout=LIMIT, env=environment)


def score_of(ran):
    found = re.search(r"✓ Analyzed \d+ episodes: score ([0-9.]+)", ran.stdout)
    assert found, ran.stdout + ran.stderr
    return float(found.group(1))


def test_a_copy_of_the_minimal_sim_validates_with_the_library_on_its_path(nalto, tmp_path):
    shutil.copytree(REPOSITORY / "examples/sims/python_minimal", tmp_path / "my_sim")
    ran = run([nalto, "sim", "validate", "--path", str(tmp_path / "my_sim"), "--steps", "20"],
              PYTHONPATH=str(PYTHON))
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert "✓ Mappings: 1 sensor, 1 action" in ran.stdout
    assert "✓ The sim keeps the protocol\n" in ran.stdout


def test_the_python_room_scores_as_the_cpp_room(nalto, example_sims, node, tmp_path):
    scores = {}
    for sim in ("python_room", "heated_room/heated-room"):
        summary = tmp_path / f"{sim.split('/')[0]}.json"
        ran = run([nalto, "sim", "score", "--path", f"{example_sims}/{sim}", "--dataset", "heated-room-demo",
                   "--json", str(summary)], node)
        assert ran.returncode == 0, ran.stdout + ran.stderr
        scores[sim.split("/")[0]] = json.loads(summary.read_text())
    assert scores["python_room"]["score_percent"] == scores["heated_room"]["score_percent"] == 96.96
    assert scores["python_room"]["sensors"] == scores["heated_room"]["sensors"]


def test_a_gymnasium_shaped_env_validates_and_scores_with_only_sim_py_and_sim_json(nalto, node, tmp_path):
    (tmp_path / "sim.py").write_text(CART_SIM)
    (tmp_path / "sim.json").write_text(json.dumps({"command": ["/usr/bin/python3", "sim.py"]}))
    env = {"PYTHONPATH": str(PYTHON)}

    validated = run([nalto, "sim", "validate", "--path", str(tmp_path), "--dataset", "cart"], node, **env)
    assert validated.returncode == 0, validated.stdout + validated.stderr
    assert "✓ Mappings: 3 sensors, 3 actions" in validated.stdout

    assert score_of(run([nalto, "sim", "score", "--path", str(tmp_path), "--dataset", "cart"], node, **env)) == 100
    off = run([nalto, "sim", "score", "--path", str(tmp_path), "--dataset", "cart", "--env-init", '{"gain": 0.4}'],
              node, **env)
    assert score_of(off) < 95


def test_a_failing_env_is_named_by_validate_with_its_traceback(nalto, tmp_path):
    (tmp_path / "sim.py").write_text(CART_SIM.replace(
        "self.velocity = 0.9", "raise ZeroDivisionError('no grip') if self.gain > 1 else None\n"
                               "        self.velocity = 0.9"))
    (tmp_path / "sim.json").write_text(json.dumps({"command": ["/usr/bin/python3", "sim.py"]}))
    ran = run([nalto, "sim", "validate", "--path", str(tmp_path), "--env-init", '{"gain": 2}', "--steps", "3"],
              PYTHONPATH=str(PYTHON))
    assert ran.returncode == 1
    assert "✗ Step 1: the call failed: UNKNOWN: step() raised ZeroDivisionError: no grip" in ran.stdout + ran.stderr
    assert "Traceback (most recent call last):" in ran.stderr and "in step" in ran.stderr


def test_the_library_installs_into_a_venv_without_a_package_index(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(PYTHON, source, ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)], check=True, timeout=LIMIT)
    installed = subprocess.run([str(venv / "bin/pip"), "install", "-q", "--no-index", "--no-build-isolation",
                                str(source)], capture_output=True, text=True, timeout=LIMIT)
    assert installed.returncode == 0, installed.stderr
    imported = subprocess.run([str(venv / "bin/python"), "-c", "import nalto_sim; print(nalto_sim.__file__)"],
                              capture_output=True, text=True, timeout=LIMIT, cwd=tmp_path,
                              env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    assert imported.stdout.startswith(str(venv)), imported.stdout + imported.stderr
