"""Drive a stepper-motor controller box from Python.

``Machine`` works in application units (mm, inches, mils) on top of the
``Kap_`` functions; ``Link`` sends raw controller commands (the ``Nirek``
functions); ``zrqapi.testing.SimulatedBox`` runs a simulated box to test
against. Failures raise subclasses of ``ZrqError``. See docs/python.md.
"""
from ._library import Library, library
from .errors import (AckTimeout, CommandFailed, ConfigError, LibraryNotFound, MotionParameterError, MpmError,
                     NoPerformanceCounter, NotInitialized, NotResponding, PortError, PortInUse, PortNotFound,
                     SimulatorError, SyncError, WaitTimeout, ZrqError)
from .link import BoxState, Link
from .machine import Jog, Machine, Position, RealtimePosition
from .units import TENTH_MILS_PER_UNIT, Axis, Units

__version__ = "2.1.0"

__all__ = [
    "AckTimeout", "Axis", "BoxState", "CommandFailed", "ConfigError", "Jog", "Library", "LibraryNotFound", "Link",
    "Machine", "MotionParameterError", "MpmError", "NoPerformanceCounter", "NotInitialized", "NotResponding",
    "PortError", "PortInUse", "PortNotFound", "Position", "RealtimePosition", "SimulatorError", "SyncError", "TENTH_MILS_PER_UNIT",
    "Units", "WaitTimeout", "ZrqError", "library", "__version__",
]
