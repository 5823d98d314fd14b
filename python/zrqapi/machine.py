"""The machine in application units: the ``Kap_`` functions as a Python object."""
from __future__ import annotations

import ctypes
import time
from typing import Any, Dict, NamedTuple, Optional

from . import _library
from .errors import NotInitialized, WaitTimeout, ZrqError, error_for
from .units import TENTH_MILS_PER_INCH, TENTH_MILS_PER_UNIT, check_units, from_tenth_mils, to_tenth_mils

_AXES = ("x", "y", "z", "r")


class Position(NamedTuple):
    """Where the axes are, in the machine's (or the call's) units."""

    x: float
    y: float
    z: float
    r: float


class RealtimePosition(NamedTuple):
    """The box's three axis slots as it runs: X, the axis in the second slot
    (Y unless a Z or R jog put another there) and the third slot (Z in 3D
    mode, 0 in 2D mode)."""

    x: float
    y: float
    z: float


class Machine:
    """A controller box driven in application units.

    ``Machine()`` initialises the box (the port from the configuration file,
    or ``port`` 1..8), and ``close()`` or the end of a ``with`` block finishes
    it. Positions are floats in ``units`` ("mm", "in", "mil" or "tenth_mil");
    every method that takes or returns a length also accepts ``units=`` for
    that one call. Speeds are in units per minute.

    ``root`` is the directory the library finds its configuration file,
    MPM files and ``dev/comN`` links under (``ZRQAPI_ROOT``); None keeps the
    environment's.

    A failure raises the :class:`~zrqapi.ZrqError` subclass of its result
    code. The library holds one port per process, so only one Machine (or
    :class:`~zrqapi.Link`) may be open at a time.
    """

    def __init__(self, root: Optional[str] = None, port: Optional[int] = None, units: str = "mm",
                 library: Optional[_library.Library] = None) -> None:
        self.units = check_units(units)
        self._lib = library or _library.library()
        self._open = False
        self._pen_down = True
        self._target: Optional[Dict[str, int]] = None
        _library.claim(self)
        try:
            self._initialise(root, port)
        except BaseException:
            _library.release(self)
            raise

    def _initialise(self, root: Optional[str], port: Optional[int]) -> None:
        with _library.root_environment(root):
            if port is None:
                code, name = self._lib.Kap_Init(), "Kap_Init"
            else:
                code, name = self._lib.Kap_InitOnCom(port), "Kap_InitOnCom"
        if code != 0:
            raise error_for(code, name, self._lib.error_string(), initialising=True)
        self._open = True
        # Initialisation leaves the pen up on the box but wanted down.
        self._pen_down = True

    # ---- life cycle ----

    def __enter__(self) -> "Machine":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Finishes the box (its closing commands) and closes the port. Safe to call twice."""
        if not self._open:
            return
        self._open = False
        try:
            # On a port that is no longer open Kap_Finish would wait out four
            # time-outs for nothing.
            if self._lib.NirekIsInstalled():
                self._lib.Kap_Finish()
        finally:
            _library.release(self)

    @property
    def is_open(self) -> bool:
        """Whether the box is initialised and not yet finished."""
        return self._open

    def __repr__(self) -> str:
        return f"<zrqapi.Machine {'open' if self._open else 'closed'}, units={self.units!r}>"

    # ---- helpers ----

    def _call(self, name: str, *args: int) -> int:
        # Without an open port the pen and jog calls would wait out a
        # time-out per command; refuse them here instead.
        if not self._open:
            raise NotInitialized("Not initialized", 10, name)
        code = getattr(self._lib, name)(*args)
        if code != 0:
            raise error_for(code, name, self._lib.error_string())
        return code

    def _units(self, units: Optional[str]) -> str:
        return self.units if units is None else check_units(units)

    def _read_machine(self) -> Dict[str, int]:
        x, y, z, r = (ctypes.c_int32() for _ in range(4))
        self._call("Kap_GetMachinePosition", *(ctypes.byref(v) for v in (x, y, z)))  # type: ignore[arg-type]
        self._call("Kap_GetRotorPosition", ctypes.byref(r))  # type: ignore[arg-type]
        return {"x": x.value, "y": y.value, "z": z.value, "r": r.value}

    def _targets(self) -> Dict[str, int]:
        # The targets of the moves sent so far; read from the box when a
        # home, jog or stop left them unknown.
        if self._target is None:
            self._target = self._read_machine()
        return self._target

    # ---- setting up ----

    def velocity(self, speed: float, units: Optional[str] = None) -> float:
        """Sets the path speed in units per minute and returns the speed set.

        The box takes whole inches per minute, so the speed is rounded to
        the nearest one (at least 1)."""
        u = self._units(units)
        ipm = round(float(speed) * TENTH_MILS_PER_UNIT[u] / TENTH_MILS_PER_INCH)
        if not speed > 0 or ipm < 1:
            raise ValueError(f"speed {speed} {u}/min is below the slowest the box takes, 1 in/min")
        if ipm > _library.INT32_MAX:
            raise ValueError(f"speed {speed} {u}/min is out of range")
        self._call("Kap_Velocity", ipm)
        return ipm * TENTH_MILS_PER_INCH / TENTH_MILS_PER_UNIT[u]

    def sample_spacing(self, count: int, distance: float, units: Optional[str] = None) -> None:
        """Every ``distance`` of travel the box takes ``count`` samples."""
        self._call("Kap_SetSampleSpacing", count, to_tenth_mils(distance, self._units(units), "distance"))

    def laser(self, on: bool) -> None:
        """Switches the pulse output (the laser) on or off."""
        self._call("Kap_LaserOn", 1 if on else 0)

    # ---- moving ----

    def pen_up(self) -> None:
        """Lifts the pen now and keeps it up for the moves that follow."""
        self._call("Kap_PenUp")
        # The library would otherwise lower it again before the next move.
        self._lib.NirekPenUp()
        self._pen_down = False

    def pen_down(self) -> None:
        """Lowers the pen now and keeps it down for the moves that follow."""
        self._call("Kap_PenDown")
        self._lib.NirekPenDown()
        self._pen_down = True

    @property
    def pen_is_down(self) -> bool:
        """Whether moves are made with the pen down (true after initialisation)."""
        return self._pen_down

    def move_to(self, x: Optional[float] = None, y: Optional[float] = None, z: Optional[float] = None,
                r: Optional[float] = None, units: Optional[str] = None, wait: bool = False) -> None:
        """Moves to an absolute position; axes left out keep their target.

        X, Y and Z move together; R moves after them. With ``wait`` the call
        returns once the box stopped."""
        u = self._units(units)
        want = {axis: to_tenth_mils(value, u, axis) for axis, value in zip(_AXES, (x, y, z, r))
                if value is not None}
        if not want:
            raise TypeError("move_to needs at least one of x, y, z, r")
        try:
            self._move(want)
        except ZrqError:
            # Whether the box took the move is unknown: read the targets afresh.
            self._target = None
            raise
        if wait:
            self.wait_until_idle()

    def _move(self, want: Dict[str, int]) -> None:
        target = self._targets()
        if "x" in want or "y" in want:
            nx, ny = want.get("x", target["x"]), want.get("y", target["y"])
            if "z" in want:
                # Z rides in the third axis slot only in 3D mode.
                self._lib.Kap_3dMode()
                self._call("Kap_MoveXYZ", nx, ny, want["z"])
                target["z"] = want["z"]
            else:
                self._call("Kap_MoveXY", nx, ny)
            target["x"], target["y"] = nx, ny
        elif "z" in want:
            self._call("Kap_MoveZ", want["z"])
            target["z"] = want["z"]
        if "r" in want:
            self._call("Kap_MoveR", want["r"])
            target["r"] = want["r"]

    def move_by(self, x: float = 0.0, y: float = 0.0, z: float = 0.0, r: float = 0.0,
                units: Optional[str] = None, wait: bool = False) -> None:
        """Moves by a distance from the current targets."""
        u = self._units(units)
        target = dict(self._targets())
        deltas = {axis: to_tenth_mils(value, u, axis) for axis, value in zip(_AXES, (x, y, z, r)) if value}
        if not deltas:
            return
        absolute = {axis: from_tenth_mils(target[axis] + d, "tenth_mil") for axis, d in deltas.items()}
        self.move_to(units="tenth_mil", wait=wait, **absolute)

    def home(self, wait: bool = False) -> None:
        """Homes every axis; raises CommandFailed when the box reports it failed.

        The box travels home after it answered; ``wait`` returns once it stopped."""
        self._target = None
        self._call("Kap_Home")
        if wait:
            self.wait_until_idle()

    @property
    def in_motion(self) -> bool:
        """Whether the box is moving now."""
        return self._open and self._lib.Kap_InMotion() != 0

    def wait_until_idle(self, timeout: Optional[float] = None, poll: float = 0.02) -> None:
        """Returns once the box stopped; raises WaitTimeout after ``timeout`` seconds."""
        if not self._open:
            raise NotInitialized("Not initialized", 10, "wait_until_idle")
        deadline = None if timeout is None else time.monotonic() + timeout
        while self._lib.Kap_InMotion() != 0:
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                raise WaitTimeout(f"the box was still moving after {timeout} s")
            time.sleep(poll if deadline is None else max(0.0, min(poll, deadline - now)))

    def estop(self) -> None:
        """Emergency stop: the box halts where it is and the link is resynchronised."""
        if not self._open:
            raise NotInitialized("Not initialized", 10, "NirekEstop")
        self._target = None
        if self._lib.NirekEstop() != 0:
            raise error_for(9, "NirekEstop", "Can't synchronize")

    # ---- jogging ----

    def jog(self, axis: str) -> "Jog":
        """Begins a jog of one axis ("x", "y", "z" or "r"); use it as a context manager."""
        names = {"x": "Kap_JogBeginX", "y": "Kap_JogBeginY", "z": "Kap_JogBeginZ", "r": "Kap_JogBeginR"}
        if axis not in names:
            raise ValueError(f"unknown axis {axis!r}; use x, y, z or r")
        self._target = None
        self._call(names[axis])
        return Jog(self)

    # ---- reading positions ----

    def position(self, units: Optional[str] = None) -> Position:
        """X, Y, Z and R where they are now."""
        u = self._units(units)
        now = self._read_machine()
        return Position(*(from_tenth_mils(now[axis], u) for axis in _AXES))

    def realtime_position(self, units: Optional[str] = None) -> RealtimePosition:
        """The three axis slots as the box runs (see :class:`RealtimePosition`)."""
        u = self._units(units)
        x, y, z = (ctypes.c_int32() for _ in range(3))
        self._call("Kap_GetRtPos", *(ctypes.byref(v) for v in (x, y, z)))  # type: ignore[arg-type]
        return RealtimePosition(*(from_tenth_mils(v.value, u) for v in (x, y, z)))


class Jog:
    """A running jog: feed it target positions, end it by leaving the ``with`` block."""

    def __init__(self, machine: Machine) -> None:
        self._machine = machine
        self._running = True

    def __enter__(self) -> "Jog":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.end()

    def move_to(self, position: float, units: Optional[str] = None) -> None:
        """Sends the jogged axis towards ``position``."""
        m = self._machine
        m._call("Kap_JogSetPosition", to_tenth_mils(position, m._units(units)))

    def end(self) -> None:
        """Ends the jog; the second axis slot holds Y again."""
        if self._running:
            self._running = False
            if self._machine.is_open:
                self._machine._call("Kap_JogEnd")
