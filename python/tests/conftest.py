"""Runs the tests against the source package and the library of the build tree,
unless ZRQAPI_LIBRARY / ZRQAPI_BOXSIM name others."""
import os
import sys

import pytest

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(PYTHON_DIR)
sys.path.insert(0, PYTHON_DIR)

_built = os.path.join(REPO, "build", "libzrqapi.so.2")
if "ZRQAPI_LIBRARY" not in os.environ and os.path.exists(_built):
    os.environ["ZRQAPI_LIBRARY"] = _built

from zrqapi.testing import simulated_box  # noqa: E402,F401  (the fixture users get)


@pytest.fixture(scope="session")
def lib():
    import zrqapi
    try:
        return zrqapi.library()
    except zrqapi.LibraryNotFound as error:
        pytest.skip(f"no ZRQAPI library to test: {error.message}")


@pytest.fixture
def box(lib):
    """A running simulated box, unpaced so that the suite stays quick."""
    from zrqapi.testing import SimulatedBox
    with SimulatedBox(baud=0) as simulated:
        yield simulated
