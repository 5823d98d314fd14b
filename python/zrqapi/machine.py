"""The machine in application units: the ``Kap_`` functions as a Python object."""
from __future__ import annotations

import ctypes
import functools
import math
import time
import weakref
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Type, TypeVar, cast

from . import _library
from .errors import AckTimeout, NotInitialized, WaitTimeout, ZrqError, error_for, stop_error
from .units import (TENTH_MILS_PER_INCH, TENTH_MILS_PER_UNIT, Axis, Units, check_units, flag, from_tenth_mils, number,
                    scaled, to_tenth_mils)

_AXES = ("x", "y", "z", "r")

_F = TypeVar("_F", bound=Callable[..., Any])


class Position(NamedTuple):
    """Where the axes are, in the machine's (or the call's) units."""

    x: float
    y: float
    z: float
    r: float


class RealtimePosition(NamedTuple):
    """X, Y and Z as the box runs them."""

    x: float
    y: float
    z: float


class _Session:
    """What finishing a machine needs, kept apart from the Machine so that its
    finalizer can run when the Machine itself is gone."""

    def __init__(self, lib: _library.Library) -> None:
        self.lib = lib
        self.generation = _library.generation()
        self.open = False
        # The box answered not even the resynchronisation after a stop.
        self.unreachable = False


def _make_safe(session: _Session, estop: bool) -> List[BaseException]:
    """Emergency stop (when asked), pen up and laser off, each tried whatever the others did.

    Returns what went wrong; a further Ctrl-C skips only the step it hit. A
    box that answers none of the 32 resynchronisation attempts after the stop
    is not sent the pen and laser commands: each would cost a time-out and
    another resynchronisation, and could not be heard."""
    lib = session.lib

    def stop() -> None:
        code = _library.call(lib.NirekEstop, own_thread=True)
        session.unreachable = code == 1
        if code != 0:
            raise stop_error(code)

    def command(name: str, *args: int) -> None:
        if session.unreachable:
            raise AckTimeout("not sent: the box did not answer after the stop", 256, name)
        code = _library.call(getattr(lib, name), *args)
        if code != 0:
            raise error_for(code, name, lib.error_string())

    steps: List[Callable[[], object]] = [stop] if estop else []
    # NirekPenUp keeps the pen up for the moves of a later session too.
    steps += [lambda: command("Kap_PenUp"), lambda: _library.call(lib.NirekPenUp),
              lambda: command("Kap_LaserOn", 0)]
    failures: List[BaseException] = []
    for step in steps:
        try:
            step()
        except BaseException as error:  # each step is tried whatever came before
            failures.append(error)
    return failures


def _finish(session: _Session, safe: bool) -> List[BaseException]:
    """Pen up and laser off (when ``safe``), then ``Kap_Finish``. Runs once per session."""
    if not session.open:
        return []
    session.open = False
    # A forked child never touches the parent's port.
    if session.generation != _library.generation():
        return []
    lib = session.lib
    failures: List[BaseException] = []
    # On a port that is no longer open every command would wait out its time-out for nothing.
    if _library.call(lib.NirekIsInstalled):
        if safe:
            failures = _make_safe(session, estop=False)
        try:
            # The closing commands of Kap_Finish would each wait for a box
            # that did not answer the stop: close the port alone.
            _library.call(lib.NirekRemove if session.unreachable else lib.Kap_Finish)
        except BaseException as error:
            failures.append(error)
    return failures


def _stops_on_interrupt(method: _F) -> _F:
    """Ctrl-C inside the method leaves the box stopped, with the pen up and the laser off."""

    @functools.wraps(method)
    def guarded(self: "Machine", *args: Any, **kwargs: Any) -> Any:
        try:
            return method(self, *args, **kwargs)
        except KeyboardInterrupt as interrupt:
            self._stop_after(interrupt)
            raise

    return cast(_F, guarded)


class Machine:
    """A controller box driven in application units.

    ``Machine()`` initialises the box (the port from the configuration file,
    or ``port`` 1..8), and ``close()`` or the end of a ``with`` block finishes
    it. Positions are floats in ``units`` ("mm", "in", "mil" or "tenth_mil");
    every method that takes or returns a length also accepts ``units=`` for
    that one call. Speeds are in units per minute. ``timeout`` is the time in
    seconds the box has to acknowledge a command (None keeps the library's).

    ``root`` is the directory the library finds its configuration file,
    MPM files and ``dev/comN`` links under (``ZRQAPI_ROOT``); None keeps the
    environment's.

    An exception leaving the ``with`` block (Ctrl-C included) first stops the
    box, lifts the pen and switches the laser off; ``close()`` always lifts
    the pen and switches the laser off before it finishes.

    A failure raises the :class:`~zrqapi.ZrqError` subclass of its result
    code. The library holds one port per process, so only one Machine (or
    :class:`~zrqapi.Link`) may be open at a time.
    """

    def __init__(self, root: Optional[str] = None, port: Optional[int] = None, units: Units = "mm",
                 library: Optional[_library.Library] = None, timeout: Optional[float] = None) -> None:
        self.units: Units = check_units(units)
        if port is not None:
            port = _library.integer(port, "port")
        self._lib = library or _library.library()
        self._session = _Session(self._lib)
        self._finalizer = weakref.finalize(self, _finish, self._session, True)
        self._pen_down = True
        # Targets in unrounded tenths of a mil, so that relative moves add up exactly.
        self._target: Optional[Dict[str, float]] = None
        # The axis in the box's selectable slot, and whether Z rides in the third one.
        self._slot = "y"
        self._mode3d = False
        self._handled: Optional[BaseException] = None
        # Set by a reply that never came; cleared by the next call that succeeds.
        self._silent = False
        # Whether Ctrl-C during a call has already sent the stop.
        self._stop_sent = False
        _library.claim(self)
        try:
            if timeout is not None:
                self.timeout = timeout
            self._timeout = self._read_timeout()
            self._initialise(root, port)
        except KeyboardInterrupt:
            # Ctrl-C during initialisation: an initialisation that got as far
            # as opening the port is finished, not left holding it.
            self._session.open = bool(_library.call(self._lib.NirekIsInstalled))
            self._close(report=False, safe=False)
            raise
        except BaseException:
            _library.release(self)
            raise

    def _initialise(self, root: Optional[str], port: Optional[int]) -> None:
        with _library.root_environment(root):
            # Ctrl-C stops a box that is being probed too: the stop makes the
            # initialisation give up instead of finishing its waits.
            if port is None:
                code, name = _library.call(self._lib.Kap_Init, on_interrupt=self._interrupt_stop), "Kap_Init"
            else:
                code, name = (_library.call(self._lib.Kap_InitOnCom, port, on_interrupt=self._interrupt_stop),
                              "Kap_InitOnCom")
        if code != 0:
            error = error_for(code, name, self._lib.error_string(), initialising=True)
            if code == 7:
                from .ports import port_error
                error = port_error(error, root, port)
            raise error
        self._session.open = True
        # Initialisation leaves the pen up on the box but wanted down.
        self._pen_down = True

    # ---- life cycle ----

    def __enter__(self) -> "Machine":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException], trace: Any) -> None:
        safe = error is not None and error is self._handled
        if error is not None and not safe and self.is_open:
            # Whatever went wrong, the box is left stopped, pen up, laser off.
            _make_safe(self._session, estop=True)
            safe = True
        self._close(report=error is None, safe=not safe)

    def close(self) -> None:
        """Lifts the pen, switches the laser off and finishes the box. Safe to call twice.

        Bounded on a box that stopped answering; a failed pen or laser command
        is raised after the port was closed."""
        self._close(report=True, safe=True)

    def _close(self, report: bool, safe: bool) -> None:
        try:
            failures = _finish(self._session, safe)
        finally:
            self._finalizer.detach()
            _library.release(self)
        interrupts = [f for f in failures if isinstance(f, KeyboardInterrupt)]
        if interrupts:
            raise interrupts[0]
        if report and failures:
            raise failures[0]

    @property
    def is_open(self) -> bool:
        """Whether the box is initialised and not yet finished (False in a forked child)."""
        return self._session.open and self._session.generation == _library.generation()

    def __repr__(self) -> str:
        return f"<zrqapi.Machine {'open' if self.is_open else 'closed'}, units={self.units!r}>"

    @property
    def timeout(self) -> float:
        """Seconds the box has to acknowledge a command or answer a query (the library's, for the process)."""
        return self._read_timeout()

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        tenths = round(number(seconds, "timeout") * 10)
        if not 1 <= tenths <= _library.INT32_MAX:
            raise ValueError(f"timeout {seconds} s is out of range (0.1 s at least)")
        _library.call(self._lib.NirekSetTimeout, tenths)
        self._timeout = tenths / 10.0

    def _read_timeout(self) -> float:
        previous = _library.call(self._lib.NirekSetTimeout, 600)
        _library.call(self._lib.NirekSetTimeout, previous)
        return float(previous) / 10.0

    # ---- helpers ----

    def _check_open(self, name: str) -> None:
        _library.check_owner(self._session.generation, "Machine")
        # Without an open port the pen and jog calls would wait out a
        # time-out per command; refuse them here instead.
        if not self._session.open:
            raise NotInitialized("Not initialized", 10, name)

    def _call(self, name: str, *args: Any) -> int:
        self._check_open(name)
        started = time.monotonic()
        self._stop_sent = False
        code = int(_library.call(getattr(self._lib, name), *args, on_interrupt=self._interrupt_stop))
        # A move reports a lost acknowledgement as 1, like a refused move; but
        # a refusal comes at once, and a lost acknowledgement after the whole
        # time-out. Once the box went silent the library fails moves at once
        # with 1: still a box that does not answer.
        lost = time.monotonic() - started >= self._timeout * 0.95
        if code == 256 or (code == 1 and (lost or self._silent)):
            self._silent = True
            raise AckTimeout(f"the box did not answer within the time-out ({self._timeout:g} s)", 256, name)
        if code != 0:
            raise error_for(code, name, self._lib.error_string())
        self._silent = self._session.unreachable = False
        return code

    def _interrupt_stop(self) -> None:
        # Runs while another thread's call still waits: the library's stop goes first.
        try:
            self._stop_sent = True
            self._session.unreachable = _library.call(self._lib.NirekEstop) == 1
        except Exception:  # the steps after it report a dead box
            pass

    def _stop_after(self, interrupt: BaseException) -> None:
        if self._handled is interrupt or not self.is_open:
            return
        self._handled = interrupt
        self._target = None
        _make_safe(self._session, estop=not self._stop_sent)
        self._stop_sent = False

    def _units(self, units: Optional[Units]) -> Units:
        return self.units if units is None else check_units(units)

    def _read_machine(self) -> Dict[str, int]:
        x, y, z, r = (ctypes.c_int32() for _ in range(4))
        self._call("Kap_GetMachinePosition", *(ctypes.byref(v) for v in (x, y, z)))
        self._call("Kap_GetRotorPosition", ctypes.byref(r))
        return {"x": x.value, "y": y.value, "z": z.value, "r": r.value}

    def _targets(self) -> Dict[str, float]:
        # The targets of the moves sent so far; read from the box when a
        # home, jog or stop left them unknown.
        if self._target is None:
            self._target = {axis: float(value) for axis, value in self._read_machine().items()}
        return self._target

    # ---- setting up ----

    @_stops_on_interrupt
    def velocity(self, speed: float, units: Optional[Units] = None) -> float:
        """Sets the path speed in units per minute and returns the speed set.

        The speed goes to the box in thousandths of an inch a minute (the
        library rounds that to the box's own speed step), so 15 mm/min runs
        at 15 mm/min, not at a whole inch a minute."""
        u = self._units(units)
        inches = scaled(speed, u, "speed") / TENTH_MILS_PER_INCH
        if not inches > 0 or round(inches * 1000) < 1:
            raise ValueError(f"speed {speed} {u}/min is below the slowest the box takes, 0.001 in/min")
        mils = round(inches * 1000)
        if mils > _library.INT32_MAX:
            raise ValueError(f"speed {speed} {u}/min is out of range")
        self._call("Kap_VelocityMils", mils)
        return round(mils * TENTH_MILS_PER_INCH / 1000 / TENTH_MILS_PER_UNIT[u], 6)

    @_stops_on_interrupt
    def sample_spacing(self, count: int, distance: float, units: Optional[Units] = None) -> None:
        """Every ``distance`` of travel the box takes ``count`` samples."""
        samples = _library.integer(count, "count")
        self._call("Kap_SetSampleSpacing", samples, to_tenth_mils(distance, self._units(units), "distance"))

    @_stops_on_interrupt
    def laser(self, on: bool) -> None:
        """Switches the pulse output (the laser) on or off."""
        self._call("Kap_LaserOn", 1 if flag(on, "on") else 0)

    # ---- moving ----

    @_stops_on_interrupt
    def pen_up(self) -> None:
        """Lifts the pen now and keeps it up for the moves that follow."""
        self._call("Kap_PenUp")
        # The library would otherwise lower it again before the next move.
        _library.call(self._lib.NirekPenUp)
        self._pen_down = False

    @_stops_on_interrupt
    def pen_down(self) -> None:
        """Lowers the pen now and keeps it down for the moves that follow."""
        self._call("Kap_PenDown")
        _library.call(self._lib.NirekPenDown)
        self._pen_down = True

    @property
    def pen_is_down(self) -> bool:
        """Whether moves are made with the pen down (true after initialisation)."""
        return self._pen_down

    @_stops_on_interrupt
    def move_to(self, x: Optional[float] = None, y: Optional[float] = None, z: Optional[float] = None,
                r: Optional[float] = None, units: Optional[Units] = None, wait: bool = False) -> None:
        """Moves to an absolute position; axes left out keep their target.

        X, Y and Z move together; R moves after them. With ``wait`` the call
        returns once the box stopped."""
        u = self._units(units)
        waiting = flag(wait, "wait")
        want = {axis: scaled(value, u, axis) for axis, value in zip(_AXES, (x, y, z, r)) if value is not None}
        if not want:
            raise TypeError("move_to needs at least one of x, y, z, r")
        self._move(want, u)
        if waiting:
            self.wait_until_idle()

    @_stops_on_interrupt
    def move_by(self, x: float = 0.0, y: float = 0.0, z: float = 0.0, r: float = 0.0,
                units: Optional[Units] = None, wait: bool = False) -> None:
        """Moves by a distance from the current targets.

        The targets are kept unrounded, so that many small steps add up to
        their sum: 100 moves by 0.1 mm end within one motor step of 10 mm."""
        u = self._units(units)
        waiting = flag(wait, "wait")
        deltas = {axis: scaled(value, u, axis) for axis, value in zip(_AXES, (x, y, z, r))}
        deltas = {axis: delta for axis, delta in deltas.items() if delta != 0}
        if deltas:
            self._check_open("move_by")
            target = self._targets()
            self._move({axis: target[axis] + delta for axis, delta in deltas.items()}, u)
        if waiting:
            self.wait_until_idle()

    def _move(self, want: Dict[str, float], units: str) -> None:
        counts = {axis: to_tenth_mils(value, "tenth_mil", axis) for axis, value in want.items()}
        try:
            target = self._targets()
            if "x" in want or "y" in want:
                nx, ny = want.get("x", target["x"]), want.get("y", target["y"])
                if "z" in want:
                    # Z rides in the third axis slot only in 3D mode.
                    self._call("Kap_3dMode")
                    self._mode3d = True
                    self._call("Kap_MoveXYZ", round(nx), round(ny), counts["z"])
                    target["z"] = want["z"]
                else:
                    self._call("Kap_MoveXY", round(nx), round(ny))
                target["x"], target["y"] = nx, ny
                self._slot = "y"
            elif "z" in want:
                self._call("Kap_MoveZ", counts["z"])
                target["z"] = want["z"]
                self._slot = "z"
            if "r" in want:
                self._call("Kap_MoveR", counts["r"])
                target["r"] = want["r"]
                self._slot = "r"
        except ZrqError:
            # Whether the box took the move is unknown: read the targets afresh.
            self._target = None
            raise

    @_stops_on_interrupt
    def home(self, wait: bool = False) -> None:
        """Homes every axis; raises CommandFailed when the box reports it failed.

        The box travels home after it answered; ``wait`` returns once it stopped."""
        waiting = flag(wait, "wait")
        self._target = None
        self._call("Kap_Home")
        if waiting:
            self.wait_until_idle()

    @property
    def in_motion(self) -> bool:
        """Whether the box is moving now (AckTimeout when it does not answer)."""
        return self.is_open and self._motion(None)

    def _motion(self, give_up_at: Optional[float]) -> bool:
        self._stop_sent = False
        moving = _library.call(self._lib.Kap_InMotion, on_interrupt=self._interrupt_stop, give_up_at=give_up_at)
        if moving == 256:
            self._silent = True
            raise AckTimeout(f"the box did not answer the motion query within {self._timeout:g} s", 256,
                             "Kap_InMotion")
        return bool(moving == 1)

    @_stops_on_interrupt
    def wait_until_idle(self, timeout: Optional[float] = None, poll: float = 0.02) -> None:
        """Returns once the box stopped; raises WaitTimeout after ``timeout`` seconds.

        The time-out holds in wall time, also on a box that stopped answering;
        a box that does not answer the motion query raises AckTimeout."""
        self._check_open("wait_until_idle")
        limit = None if timeout is None else number(timeout, "timeout")
        interval = number(poll, "poll")
        if limit is not None and (math.isnan(limit) or limit < 0) or not interval > 0:
            raise ValueError("timeout must be at least 0 and poll more than 0 seconds")
        deadline = None if limit is None else time.monotonic() + limit
        while True:
            try:
                if not self._motion(deadline):
                    return
            except _library.GaveUp:
                raise WaitTimeout(f"the box did not answer within {timeout} s") from None
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                raise WaitTimeout(f"the box was still moving after {timeout} s")
            time.sleep(interval if deadline is None else max(0.0, min(interval, deadline - now)))

    def estop(self) -> None:
        """Emergency stop: the box halts where it is and the link is resynchronised."""
        self._check_open("NirekEstop")
        self._target = None
        code = _library.call(self._lib.NirekEstop, own_thread=True)
        if code != 0:
            raise stop_error(code)

    # ---- jogging ----

    @_stops_on_interrupt
    def jog(self, axis: Axis) -> "Jog":
        """Begins a jog of one axis ("x", "y", "z" or "r"); use it as a context manager."""
        names = {"x": "Kap_JogBeginX", "y": "Kap_JogBeginY", "z": "Kap_JogBeginZ", "r": "Kap_JogBeginR"}
        if axis not in names:
            raise ValueError(f"unknown axis {axis!r}; use x, y, z or r")
        self._target = None
        self._call(names[axis])
        if axis in ("z", "r"):
            self._slot = axis
        return Jog(self)

    # ---- reading positions ----

    @_stops_on_interrupt
    def position(self, units: Optional[Units] = None) -> Position:
        """X, Y, Z and R where they are now, rounded to the library's 0.0001 inch."""
        u = self._units(units)
        now = self._read_machine()
        return Position(*(from_tenth_mils(now[axis], u) for axis in _AXES))

    @_stops_on_interrupt
    def realtime_position(self, units: Optional[Units] = None) -> RealtimePosition:
        """X, Y and Z as the box runs them, from its status slots when Y and Z sit in them."""
        u = self._units(units)
        x, y, z = (ctypes.c_int32() for _ in range(3))
        if self._slot == "y" and self._mode3d:
            self._call("Kap_GetRtPos", *(ctypes.byref(v) for v in (x, y, z)))
        else:
            # After a Z or R move (or in 2D mode) the slots hold other axes;
            # this reads Y and Z wherever they are.
            self._call("Kap_GetMachinePosition", *(ctypes.byref(v) for v in (x, y, z)))
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

    def move_to(self, position: float, units: Optional[Units] = None) -> None:
        """Sends the jogged axis towards ``position``."""
        m = self._machine
        m._call("Kap_JogSetPosition", to_tenth_mils(position, m._units(units), "position"))

    def end(self) -> None:
        """Ends the jog; the second axis slot holds Y again."""
        if self._running:
            self._running = False
            if self._machine.is_open:
                self._machine._call("Kap_JogEnd")
                self._machine._slot = "y"
