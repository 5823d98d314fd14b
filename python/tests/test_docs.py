"""The Python code of docs/python.md runs and prints what the page says."""
import contextlib
import io
import os
import re

from conftest import REPO
from zrqapi.testing import SimulatedBox

PAGE = open(os.path.join(REPO, "docs", "python.md")).read()
BLOCKS = re.findall(r"```python\n(.*?)```", PAGE, re.S)


def block(containing):
    found = [b for b in BLOCKS if containing in b]
    assert len(found) == 1, containing
    return found[0]


def run(code, namespace=None):
    namespace = {} if namespace is None else namespace
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "docs/python.md", "exec"), namespace)
    return out.getvalue(), namespace


def test_the_complete_example_prints_what_the_page_shows(lib):
    printed, _ = run(BLOCKS[0])
    shown = re.search(r"^prints\n\n((?:    .*\n)+)", PAGE, re.M).group(1)
    assert printed == "".join(line[4:] + "\n" for line in shown.splitlines())


def test_the_link_example_runs(lib, monkeypatch):
    with SimulatedBox(baud=0) as box:
        monkeypatch.setenv("ZRQAPI_ROOT", box.root)
        printed, _ = run("import zrqapi\n" + block("zrqapi.Link(3)"))
    assert printed.splitlines()[:2] == ["BoxState.PROTOCOL", "ZRQBOX.1"]
    assert "p 34 1" in box.events() and "k 3 500" in box.events()


def test_the_testing_example_passes(lib):
    _, namespace = run(block("def test_my_drawing"))
    namespace["test_my_drawing_lifts_the_pen_for_travel"]()
