"""Raw controller commands: the ``Nirek`` functions for those who need them."""
from __future__ import annotations

import ctypes
import enum
import weakref
from typing import Any, Callable, Optional

from . import _library
from .errors import NotInitialized, PortError, SyncError, error_for, stop_error
from .units import flag, number


# Exports that are no framed command: their result is a value, not 0 or 256.
_NOT_COMMANDS = {
    "NirekInstall", "NirekIsInstalled", "NirekRemove", "NirekSetTimeout", "NirekSetWaitMode",
    "NirekSetDebugMask", "NirekSync", "NirekEstop", "NirekGetBoxState", "NirekGetInfo",
    "NirekGetSavedID", "NirekGetState", "NirekHomed", "NirekMakeRampsWorked",
}


class BoxState(enum.IntEnum):
    """What the box answered the start-up probe with."""

    PROTOCOL = 0  #: it runs the protocol
    PROMPT = 2  #: it sits at its monitor prompt
    NO_ANSWER = 3  #: it answered nothing

    def __str__(self) -> str:
        return f"{type(self).__name__}.{self.name}"


def _remove(lib: _library.Library, generation: int) -> None:
    # A forked child never touches the parent's port.
    if generation == _library.generation():
        _library.call(lib.NirekRemove)


class Link:
    """The serial link to the box, one framed command per call.

    Positions are 22.10 counts (1024 to a motor step) and channels are the
    box's (Z = 0, Y = 1, R = 2, X = 3), as in docs/api.md. Commands raise
    :class:`~zrqapi.AckTimeout` when, in wait mode, the box did not
    acknowledge in time. ``root`` is the ``ZRQAPI_ROOT`` the port's
    ``dev/comN`` link is looked up under (None keeps the environment's).
    """

    def __init__(self, port: int, root: Optional[str] = None,
                 library: Optional[_library.Library] = None) -> None:
        self._lib = library or _library.library()
        self.port = _library.integer(port, "port")
        self._open = False
        self._generation = _library.generation()
        _library.claim(self)
        try:
            with _library.root_environment(root):
                installed = _library.call(self._lib.NirekInstall, self.port) == 0
        except BaseException:
            _library.release(self)
            raise
        if not installed:
            _library.release(self)
            from .ports import port_error
            raise port_error(PortError(f"cannot open COM{port}", 7, "NirekInstall"), root, self.port)
        self._open = True
        # A Link dropped without close() closes the port when it is collected.
        self._finalizer = weakref.finalize(self, _remove, self._lib, self._generation)

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Closes the port (``NirekRemove``). Safe to call twice."""
        if not self._open:
            return
        self._open = False
        try:
            self._finalizer()
        finally:
            _library.release(self)

    @property
    def is_open(self) -> bool:
        """Whether the port is open (False in a forked child)."""
        return (self._open and self._generation == _library.generation()
                and _library.call(self._lib.NirekIsInstalled) != 0)

    def _ready(self, name: str) -> Callable[..., Any]:
        _library.check_owner(self._generation, "Link")
        # On a closed port every read would run to its time-out.
        if not self._open:
            raise NotInitialized("the link is closed", 10, name)
        function = getattr(self._lib, name)

        def interruptible(*args: Any) -> Any:
            return _library.call(function, *args, on_interrupt=self._interrupt_stop)
        return interruptible

    def _interrupt_stop(self) -> None:
        # Ctrl-C while a command waits: the library's stop makes it give up.
        try:
            _library.call(self._lib.NirekEstop)
        except Exception:
            pass

    def command(self, name: str, *args: int) -> None:
        """Sends any command export by name (``"NirekXYabs"``, ``"Nirek1Speed"``...)."""
        if not isinstance(name, str) or not name.startswith("Nirek") or name not in _library.PROTOTYPES \
                or name in _NOT_COMMANDS:
            raise ValueError(f"{name!r} is no Nirek command")
        code = self._ready(name)(*args)
        if code != 0:
            raise error_for(code, name, "")

    # ---- settings ----

    @property
    def wait_mode(self) -> bool:
        """True: each command returns after its acknowledgement; False: it is read before the next."""
        previous = _library.call(self._lib.NirekSetWaitMode, 1)
        _library.call(self._lib.NirekSetWaitMode, previous)
        return bool(previous != 0)

    @wait_mode.setter
    def wait_mode(self, on: bool) -> None:
        _library.call(self._lib.NirekSetWaitMode, 1 if flag(on, "wait_mode") else 0)

    @property
    def timeout(self) -> float:
        """Acknowledgement and reply time-out in seconds (kept in tenths)."""
        previous = _library.call(self._lib.NirekSetTimeout, 600)
        _library.call(self._lib.NirekSetTimeout, previous)
        return float(previous) / 10.0

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        tenths = round(number(seconds, "timeout") * 10)
        if not 1 <= tenths <= _library.INT32_MAX:
            raise ValueError("the time-out is at least 0.1 s")
        _library.call(self._lib.NirekSetTimeout, tenths)

    def debug(self, on: bool) -> bool:
        """Switches the protocol's trace words on standard output; returns the previous state."""
        return bool(_library.call(self._lib.NirekSetDebugMask, 2 if flag(on, "on") else 0) != 0)

    # ---- link ----

    def sync(self, letter_n: bool = False) -> None:
        """Synchronises the link (with 'N' instead of 'i' when ``letter_n``)."""
        if self._ready("NirekSync")(1 if flag(letter_n, "letter_n") else 0) != 0:
            raise SyncError("no correct echo in 32 attempts", 9, "NirekSync")

    def estop(self) -> None:
        """Emergency stop, then a synchronisation."""
        _library.check_owner(self._generation, "Link")
        if not self._open:
            raise NotInitialized("the link is closed", 10, "NirekEstop")
        code = _library.call(self._lib.NirekEstop, own_thread=True)
        if code != 0:
            raise stop_error(code)

    def box_state(self) -> BoxState:
        """Probes the box (takes up to a second or two when it does not answer)."""
        return BoxState(self._ready("NirekGetBoxState")())

    # ---- queries ----

    def info(self, selector: int, index: int) -> int:
        """The box's unsigned 32-bit information value (missing reply bytes read as 0)."""
        return int(self._ready("NirekGetInfo")(_library.integer(selector, "selector"),
                                               _library.integer(index, "index")))

    def position(self, channel: int) -> int:
        """Where a channel is, in 22.10 counts."""
        value = self.info(2, _library.integer(channel, "channel"))
        return value - (1 << 32) if value >= 1 << 31 else value

    def identifier(self) -> str:
        """The box's stored identifier, trailing blanks removed."""
        buffer = ctypes.create_string_buffer(16)
        self._ready("NirekGetSavedID")(buffer)
        return buffer.value.decode("latin-1")

    @property
    def busy(self) -> bool:
        """Whether the box is moving (the run-state query)."""
        return bool(self._ready("NirekGetState")() == 1)

    def param(self, number: int, value: int) -> None:
        """Sets a numbered controller parameter."""
        self.command("NirekParam", _library.integer(number, "number"), _library.integer(value, "value"))

    def home(self, mask: int = -1) -> bool:
        """Homes the axes in ``mask`` (-1: all); True when the box reports success."""
        self.command("NirekHome", _library.integer(mask, "mask"))
        return bool(self._ready("NirekHomed")() != 0)

    # ---- the most used commands ----

    def move_xy(self, x: int, y: int) -> None:
        """Absolute X/Y move in counts."""
        self.command("NirekXYabs", _library.integer(x, "x"), _library.integer(y, "y"))

    def move_xy_by(self, dx: int, dy: int) -> None:
        """Relative X/Y move in counts."""
        self.command("NirekXYrel", _library.integer(dx, "dx"), _library.integer(dy, "dy"))

    def pen(self, down: bool) -> None:
        """Commands the pen now, and keeps that state for the long-form moves after it."""
        self.command("NirekPenDownNow" if flag(down, "down") else "NirekPenUpNow")
        _library.call(self._lib.NirekPenDown if down else self._lib.NirekPenUp)

    def speed(self, value: int) -> None:
        """The box's vector speed value."""
        self.command("NirekSpeed", _library.integer(value, "value"))

    def wait_halt(self) -> None:
        """Returns once the queued motion ended.

        The box holds the acknowledgement until then, so the time-out must
        cover the rest of the motion."""
        self.command("NirekWaitHalt")
