"""Where COM1..COM8 are on this system, and why one could not be opened.

The library reports a missing port and one another process holds with the
same result; the device itself tells them apart."""
from __future__ import annotations

import errno
import os
import re
import sys
from typing import List, NamedTuple, Optional

from .errors import PortError, PortInUse, PortNotFound, ZrqError


class PortInfo(NamedTuple):
    """One of COM1..COM8: the device it stands for and what is known of it."""

    port: int
    path: str
    state: str  #: "missing", "no access" or "present"


def _root(root: Optional[str]) -> str:
    return root if root is not None else os.environ.get("ZRQAPI_ROOT") or "/etc/zrqapi"


def device_path(port: int, root: Optional[str] = None) -> str:
    """The device the library opens for COM``port`` (Linux: under the root's dev/, else /dev/ttyS)."""
    if sys.platform == "win32":
        return f"\\\\.\\COM{port}"
    link = os.path.join(_root(root), "dev", f"com{port}")
    return link if os.path.lexists(link) else f"/dev/ttyS{port - 1}"


def configured_port(root: Optional[str] = None) -> Optional[int]:
    """The port the configuration files name, as the library finds it (None: neither does)."""
    for relative in ("qorin/qorin.cfg", "qv/main.cfg"):
        try:
            with open(os.path.join(_root(root), relative), errors="replace") as file:
                for line in file:
                    if " COMPORT " in line:
                        match = re.match(r"\s*(-?\d+)", line)
                        return int(match.group(1)) if match else 0
        except OSError:
            continue
    return None


def describe(port: int, root: Optional[str] = None) -> PortInfo:
    """What COM``port`` is, without opening it (an open would pulse the line)."""
    path = device_path(port, root)
    if sys.platform == "win32":
        return PortInfo(port, path, "present")
    try:
        os.stat(path)
    except OSError as error:
        return PortInfo(port, path, "no access" if error.errno == errno.EACCES else "missing")
    return PortInfo(port, path, "present" if os.access(path, os.R_OK | os.W_OK) else "no access")


def ports(root: Optional[str] = None) -> List[PortInfo]:
    """COM1..COM8 as :func:`describe` sees them."""
    return [describe(port, root) for port in range(1, 9)]


def port_error(error: ZrqError, root: Optional[str], port: Optional[int]) -> ZrqError:
    """The PortError subclass that says why the port did not open (``error`` when that is unknown)."""
    number = port if port is not None else configured_port(root)
    if number is None or not 1 <= number <= 8:
        return error
    info = describe(number, root)
    if info.state == "missing":
        return PortNotFound(f"COM{number} ({info.path}) does not exist", 7, error.function)
    if info.state == "no access":
        return PortError(f"COM{number} ({info.path}): no permission to open it", 7, error.function)
    return PortInUse(f"COM{number} ({info.path}) is in use: another program or process holds it",
                     7, error.function)
