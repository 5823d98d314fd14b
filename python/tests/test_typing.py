"""mypy --strict accepts the package and a script that calls every documented
function, and catches the mistakes the types are there for."""
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

from conftest import PYTHON_DIR

# Kept between runs: a cold mypy takes seconds, a warm one a fraction.
CACHE = os.path.join(tempfile.gettempdir(), "zrqapi-mypy-cache")

MISTAKES = """\
import zrqapi
m = zrqapi.Machine(units="feet")
m.laser("off")
m.move_to(x="1")
zrqapi.library().NirekSetTimeout("5")
m.jog("q")
"""


def mypy(*paths):
    if shutil.which("mypy") is None and subprocess.run([sys.executable, "-m", "mypy", "--version"],
                                                       capture_output=True).returncode != 0:
        pytest.skip("mypy is not installed (Debian: apt-get install mypy)")
    command = ["mypy"] if shutil.which("mypy") else [sys.executable, "-m", "mypy"]
    return subprocess.run(command + ["--strict", "--cache-dir", CACHE, "--no-error-summary", *paths],
                          cwd=PYTHON_DIR, capture_output=True, text=True, timeout=120)


def test_the_package_and_a_user_script_are_strictly_typed():
    done = mypy("zrqapi", os.path.join("tests", "typed_user_script.py"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_mistakes_in_user_code_are_type_errors(tmp_path):
    script = tmp_path / "mistakes.py"
    script.write_text(MISTAKES)
    done = mypy(str(script))
    lines = sorted({int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line})
    assert lines == [2, 3, 4, 5, 6], done.stdout
