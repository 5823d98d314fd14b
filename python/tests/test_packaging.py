"""Installing with pip offline, and the example of docs/python.md."""
import os
import subprocess
import sys
import venv

import pytest

import zrqapi
from zrqapi.testing import SimulatedBox

from conftest import PYTHON_DIR, REPO


def test_pip_installs_the_package_without_a_package_index(lib, tmp_path):
    environment = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(environment)
    python = str(environment / "bin" / "python")
    # No index at all: the build backend must come with the package.
    offline = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    subprocess.run([python, "-m", "pip", "install", "-q", PYTHON_DIR], env=offline, check=True,
                   capture_output=True, cwd=REPO)
    out = subprocess.run([python, "-m", "zrqapi"], env=offline, cwd=tmp_path, capture_output=True, text=True,
                         check=True).stdout
    assert "library API 2.1" in out
    where = subprocess.run([python, "-c", "import zrqapi.testing, zrqapi; print(zrqapi.__file__)"], env=offline,
                           cwd=tmp_path, capture_output=True, text=True, check=True).stdout
    assert where.startswith(str(environment))
    # The source tree stays clean.
    assert not [n for n in os.listdir(PYTHON_DIR) if n.endswith(".egg-info") or n == "build"]


def test_the_house_example_draws_its_nine_strokes(lib, tmp_path):
    svg = tmp_path / "house.svg"
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    done = subprocess.run([sys.executable, os.path.join(REPO, "examples", "draw_house.py"), "--svg", str(svg),
                           "--speed", "400"],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "9 pen strokes drawn" in done.stdout
    assert "after homing:       Position(x=0.0, y=0.0, z=0.0, r=0.0)" in done.stdout
    assert svg.read_text().count(" L") == 9


def test_the_example_reports_a_failure_by_its_code(lib, tmp_path):
    (tmp_path / "qorin").mkdir()
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    done = subprocess.run([sys.executable, os.path.join(REPO, "examples", "draw_house.py"), "--root",
                           str(tmp_path)], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 3 and "qorin.cfg" in done.stderr


def test_a_simulator_that_dies_is_reported_on_leaving_the_block(lib):
    import signal
    with pytest.raises(zrqapi.SimulatorError, match="status -11"):
        with SimulatedBox(baud=0) as box:
            box._process.send_signal(signal.SIGSEGV)
            box._process.wait(10)
    assert not os.path.exists(box.root)


def test_a_bad_simulator_option_fails_clearly(lib):
    with pytest.raises(zrqapi.SimulatorError, match="--baud"):
        with SimulatedBox(baud="fast"):
            pass
    with pytest.raises(TypeError, match="colour"):
        SimulatedBox(colour="red")
