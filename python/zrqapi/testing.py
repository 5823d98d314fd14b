"""A simulated box for testing machine scripts without hardware.

::

    from zrqapi.testing import SimulatedBox

    with SimulatedBox(identifier="K12.1A") as box:
        with box.machine(units="in") as m:
            m.move_to(x=1, y=0.5)
    print(box.log)        # what the box received, one event a line
    print(box.segments()) # the pen-down path, in motor steps

With pytest, ``pytest_plugins = ["zrqapi.testing"]`` in a ``conftest.py``
gives the ``simulated_box`` fixture.
"""
from __future__ import annotations

import os
import re
import selectors
import shutil
import signal
import subprocess
import tempfile
import time
import weakref
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from . import _library
from .errors import SimulatorError

# Keyword arguments that become simulator options (see `zrq-boxsim --help`).
# True switches a flag on; a list or tuple is joined with commas.
SIMULATOR_OPTIONS = {
    # identity
    "identifier": "--id", "step_info": "--step-info", "vunit": "--vunit", "no_report": "--no-report",
    "speed": "--speed", "homing_speed": "--homing-speed",
    # pacing
    "baud": "--baud", "pace_input": "--pace-input", "latency": "--latency", "frame_gap": "--frame-gap",
    "exit_after_idle": "--exit-after-idle",
    # faults
    "silent": "--silent", "prompt": "--prompt", "stuck_at_prompt": "--stuck-at-prompt",
    "drop_ack": "--drop-ack", "drop_ack_prob": "--drop-ack-prob", "seed": "--seed",
    "ack_delay": "--ack-delay", "echo_n": "--echo-n", "sync_from": "--sync-from",
    "sync_echo_delay": "--sync-echo-delay", "noise": "--noise", "homing_fails": "--homing-fails",
    "ramp_fails": "--ramp-fails",
}

Segment = Tuple[Tuple[float, float], Tuple[float, float]]


def find_simulator() -> str:
    """The ``zrq-boxsim`` to run: ``ZRQAPI_BOXSIM``, then PATH, then beside the loaded library."""
    named = os.environ.get("ZRQAPI_BOXSIM")
    if named:
        if not os.access(named, os.X_OK):
            raise SimulatorError(f"ZRQAPI_BOXSIM={named} is no executable file")
        return named
    found = shutil.which("zrq-boxsim")
    if found:
        return found
    places: List[str] = []
    try:
        libdir = os.path.dirname(_library.library().path)
        # A build tree keeps it in sim/ beside the library; an install in ../bin.
        places += [os.path.join(libdir, "sim", "zrq-boxsim"), os.path.join(libdir, "..", "bin", "zrq-boxsim")]
    except Exception:  # the library's absence is reported where it is used
        pass
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    places.append(os.path.join(repo, "build", "sim", "zrq-boxsim"))
    for place in places:
        if os.access(place, os.X_OK):
            return os.path.realpath(place)
    raise SimulatorError("cannot find zrq-boxsim: set ZRQAPI_BOXSIM, put it on PATH, or build it")


def simulator_arguments(options: Mapping[str, Any]) -> List[str]:
    """Turns keyword options into simulator arguments."""
    arguments: List[str] = []
    for name, value in options.items():
        if name not in SIMULATOR_OPTIONS:
            raise TypeError(f"unknown simulator option {name!r}; known: {', '.join(sorted(SIMULATOR_OPTIONS))}")
        flag = SIMULATOR_OPTIONS[name]
        if value is None or value is False:
            continue
        if value is True:
            arguments.append(flag)
        elif isinstance(value, (list, tuple)):
            arguments += [flag, ",".join(str(v) for v in value)]
        else:
            arguments += [flag, str(value)]
    return arguments


class SimulatedBox:
    """``zrq-boxsim`` on a fresh pseudo-terminal under a temporary ``ZRQAPI_ROOT``.

    The box is linked as ``dev/com<port>`` under :attr:`root`, and unless
    ``config`` is False, ``qorin/qorin.cfg`` names that port, so
    ``Machine(root=box.root)`` (or :meth:`machine`) finds it. ``mpm`` writes
    MPM files: ``{"K12": "46 MPM.VER ...\\n..."}`` becomes ``qorin/mpm/K12.mpm``.
    Other keyword arguments are simulator options (:data:`SIMULATOR_OPTIONS`:
    ``identifier``, ``baud``, ``silent``, ``drop_ack``...); ``extra`` passes
    arguments as they are.

    While it runs, :attr:`log` is the box's log so far and :attr:`svg` the
    path drawn so far; after the ``with`` block (or :meth:`stop`) both are
    complete. The temporary directory is removed then, unless ``keep``. A box
    never stopped is stopped when it is dropped or the interpreter exits.
    """

    def __init__(self, port: int = 3, config: bool = True, mpm: Optional[Mapping[str, str]] = None,
                 extra: Sequence[str] = (), simulator: Optional[str] = None, keep: bool = False,
                 **options: Any) -> None:
        self.port = port
        self.config = config
        self.mpm = dict(mpm or {})
        self.arguments = simulator_arguments(options) + list(extra)
        self.simulator = simulator
        self.keep = keep
        self.root = ""
        self.tty = ""
        self.stderr = ""
        self._log = ""
        self._svg = ""
        self._process: Optional["subprocess.Popen[bytes]"] = None
        self._stderr: Any = None
        self._finalizer: Optional[weakref.finalize] = None

    # ---- life cycle ----

    def __enter__(self) -> "SimulatedBox":
        self.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        status = self.stop()
        # A simulator that died mid-test would otherwise pass for a silent box.
        if status != 0 and exc[0] is None:
            raise SimulatorError(f"zrq-boxsim ended with status {status}: {self.stderr or 'no message'}")

    def start(self) -> None:
        """Writes the root and starts the simulator; returns once its terminal is linked."""
        simulator = self.simulator or find_simulator()
        self.root = tempfile.mkdtemp(prefix="zrq-box-")
        try:
            self._write_root()
            command = [simulator, "--link", self.com_link, "--log", self.log_path, "--svg", self.svg_path]
            self._stderr = open(os.path.join(self.root, "boxsim.err"), "w+")
            self._process = subprocess.Popen(command + self.arguments, stdin=subprocess.DEVNULL,
                                             stdout=subprocess.PIPE, stderr=self._stderr)
            # Not outliving the interpreter (or this object) even when stop() is never called.
            self._finalizer = weakref.finalize(self, _end_simulator, self._process, self.root, self.keep)
            self.tty = self._first_line(5.0)
            if not self.tty.startswith("/"):
                time.sleep(0.05)  # let a failing simulator finish its message
                why = self._stderr_text() or "no terminal path printed"
                self.stop()
                raise SimulatorError(f"{os.path.basename(simulator)} did not start: {why}")
        except BaseException:
            if self._process is None:
                shutil.rmtree(self.root, ignore_errors=True)
            elif self._process.poll() is None:
                self.stop()
            raise

    def _write_root(self) -> None:
        os.makedirs(os.path.join(self.root, "dev"))
        if self.config:
            self.write_file("qorin/qorin.cfg", f"{self.port} COMPORT simulated box on COM{self.port}\n")
        for name, text in self.mpm.items():
            self.write_file(f"qorin/mpm/{name}.mpm", text)

    def _first_line(self, seconds: float) -> str:
        assert self._process is not None and self._process.stdout is not None
        line = b""
        end = time.monotonic() + seconds
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            while not line.endswith(b"\n") and time.monotonic() < end:
                if not selector.select(max(0.0, end - time.monotonic())):
                    break
                byte = os.read(self._process.stdout.fileno(), 1)
                if not byte:
                    break
                line += byte
        return line.decode(errors="replace").strip()

    def _stderr_text(self) -> str:
        if self._stderr is None:
            return ""
        self._stderr.flush()
        self._stderr.seek(0)
        return str(self._stderr.read()).strip()

    def stop(self) -> int:
        """Stops the simulator, keeps its log, SVG and standard error, removes the root.

        Returns the simulator's exit status (negative: the signal that ended it)."""
        status = 0
        if self._finalizer is not None:
            self._finalizer.detach()
            self._finalizer = None
        if self._process is not None:
            if self._process.poll() is None:
                self._process.send_signal(signal.SIGTERM)
                try:
                    self._process.wait(10)
                except subprocess.TimeoutExpired:
                    self._process.kill()
                    self._process.wait()
            status = self._process.returncode
            if self._process.stdout is not None:
                self._process.stdout.close()
            self._process = None
        if self.root and os.path.isdir(self.root):
            self._log = self._read(self.log_path)
            self._svg = self._read(self.svg_path)
            if self._stderr is not None:
                self.stderr = self._stderr_text()
                self._stderr.close()
                self._stderr = None
            if not self.keep:
                shutil.rmtree(self.root, ignore_errors=True)
        return status

    @property
    def running(self) -> bool:
        """Whether the simulator is still running."""
        return self._process is not None and self._process.poll() is None

    def clear_faults(self) -> None:
        """Ends every fault option; the box keeps its positions and parameters."""
        if self._process is not None:
            self._process.send_signal(signal.SIGUSR1)

    # ---- files ----

    @property
    def com_link(self) -> str:
        """The link the library opens as COM<port>: ``<root>/dev/com<port>``."""
        return os.path.join(self.root, "dev", f"com{self.port}")

    @property
    def log_path(self) -> str:
        """Where the simulator writes its log while it runs."""
        return os.path.join(self.root, "box.log")

    @property
    def svg_path(self) -> str:
        """Where the simulator writes the drawn path when it stops."""
        return os.path.join(self.root, "drawing.svg")

    def write_file(self, relative: str, text: str) -> str:
        """Writes a file under the root (a configuration or MPM file); returns its path."""
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as file:
            file.write(text)
        return path

    @staticmethod
    def _read(path: str) -> str:
        try:
            with open(path) as file:
                return file.read()
        except OSError:
            return ""

    # ---- records ----

    @property
    def log(self) -> str:
        """The box's log: one event a line, microseconds since start, then the event."""
        return self._read(self.log_path) if self.running else self._log

    @property
    def svg(self) -> str:
        """The pen-down path as SVG, in motor steps: so far while the box runs, complete after."""
        if not self.running or self._process is None:
            return self._svg
        before = self._svg_identity()
        self._process.send_signal(signal.SIGUSR2)
        end = time.monotonic() + 5.0
        while self._svg_identity() == before and self.running and time.monotonic() < end:
            time.sleep(0.005)
        return self._read(self.svg_path)

    def _svg_identity(self) -> Tuple[int, int, int]:
        try:
            st = os.stat(self.svg_path)
        except OSError:
            return (0, 0, 0)
        return (st.st_ino, st.st_mtime_ns, st.st_size)

    def events(self) -> List[str]:
        """The log's events without their times ("p 34 1", "a 1024 -2048", "n -> 2"...)."""
        return [line.split(" ", 1)[1] for line in self.log.splitlines() if " " in line]

    def segments(self) -> List[Segment]:
        """The pen-down path from the SVG (so far while the box runs), as ((x0, y0), (x1, y1))
        in motor steps, Y up."""
        found: List[Segment] = []
        for d in re.findall(r'\bd="([^"]*)"', self.svg):
            here: Optional[Tuple[float, float]] = None
            for letter, x, y in re.findall(r"([ML])\s*(-?[\d.]+)\s+(-?[\d.]+)", d):
                point = (float(x), 0.0 - float(y))
                if letter == "L" and here is not None:
                    found.append((here, point))
                here = point
        return found

    # ---- driving it ----

    @property
    def environ(self) -> Dict[str, str]:
        """The environment a separate process needs to find this box."""
        return {"ZRQAPI_ROOT": self.root}

    def machine(self, **kwargs: Any) -> Any:
        """A :class:`~zrqapi.Machine` initialised on this box."""
        from .machine import Machine
        return Machine(root=self.root, **kwargs)

    def link(self, **kwargs: Any) -> Any:
        """A :class:`~zrqapi.Link` on this box's port."""
        from .link import Link
        return Link(self.port, root=self.root, **kwargs)


def _end_simulator(process: "subprocess.Popen[bytes]", root: str, keep: bool) -> None:
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if not keep:
        shutil.rmtree(root, ignore_errors=True)


try:
    import pytest
except ImportError:  # pytest is optional
    pytest = None  # type: ignore[assignment]

if pytest is not None:

    @pytest.fixture
    def simulated_box() -> Iterator[SimulatedBox]:
        """A running :class:`SimulatedBox` with default options."""
        with SimulatedBox() as box:
            yield box
