"""One exception class per result code, all under :class:`ZrqError`."""
from __future__ import annotations

from typing import Dict, Optional, Type


class ZrqError(Exception):
    """A call into the library failed.

    ``code`` is the library's result code (None for failures found on the
    Python side, such as a wait that timed out), ``message`` the library's
    message for it and ``function`` the export that returned it.
    """

    def __init__(self, message: str, code: Optional[int] = None, function: Optional[str] = None) -> None:
        self.message = message
        self.code = code
        self.function = function
        where = f"{function}: " if function else ""
        suffix = f" (result {code})" if code is not None else ""
        super().__init__(f"{where}{message}{suffix}")


class CommandFailed(ZrqError):
    """1: a move, its axis selection, homing or a jog position failed."""


class NoPerformanceCounter(ZrqError):
    """2: the system has no high-resolution counter."""


class ConfigError(ZrqError):
    """3: neither configuration file names the box's port."""


class MpmError(ZrqError):
    """5, 6, 10 during initialisation: the MPM file is unreadable, bad or of the wrong version."""


class PortError(ZrqError):
    """7: the port number is not 1..8, or the port cannot be opened (for instance another process holds it)."""


class PortNotFound(PortError):
    """7: the port's device does not exist (an unplugged adapter, a missing link)."""


class PortInUse(PortError):
    """7: the port exists, but another program or process holds it."""


class NotResponding(ZrqError):
    """8: the box answered neither the probe nor with its prompt."""


class SyncError(ZrqError):
    """9: the link could not be synchronised."""


class NotInitialized(ZrqError):
    """10 after initialisation: no port is open."""


class MotionParameterError(ZrqError):
    """11: a step or velocity unit the box or its MPM file gave is out of range."""


class AckTimeout(ZrqError, TimeoutError):
    """256: the box did not acknowledge a command or answer a query in time.

    The library has resynchronised the link, or, when the box did not answer
    that either, marked it dead: later calls fail at once until it is reopened."""


class WaitTimeout(ZrqError, TimeoutError):
    """The box was still moving when ``wait_until_idle`` ran out of time."""


class LibraryNotFound(ZrqError, OSError):
    """The shared library could not be loaded."""


class SimulatorError(ZrqError):
    """The box simulator could not be found or did not start."""


_BY_CODE: Dict[int, Type[ZrqError]] = {
    1: CommandFailed,
    2: NoPerformanceCounter,
    3: ConfigError,
    5: MpmError,
    6: MpmError,
    7: PortError,
    8: NotResponding,
    9: SyncError,
    10: NotInitialized,
    11: MotionParameterError,
    256: AckTimeout,
}

_ACK_TIMEOUT_TEXT = "the box did not acknowledge in time"


def error_for(code: int, function: str, message: str, initialising: bool = False) -> ZrqError:
    """The exception for a non-zero result of ``function``."""
    if initialising and code == 10:
        cls: Type[ZrqError] = MpmError
    else:
        cls = _BY_CODE.get(code, ZrqError)
    if code == 256:
        # The library leaves whatever message came before; it says nothing about this.
        message = _ACK_TIMEOUT_TEXT
    return cls(message or "failed", code, function)


def stop_error(code: int) -> ZrqError:
    """The exception for a non-zero result of ``NirekEstop``."""
    if code == 2:
        return ZrqError("the stop bytes could not all be written", 2, "NirekEstop")
    return SyncError("the stop was sent, but the link could not be resynchronised", 9, "NirekEstop")
