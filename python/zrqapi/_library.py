"""Loading the shared library and declaring the type of every export.

ctypes passes a Python int to a ``c_int32`` argument by keeping its low 32
bits, so 2**32 + 5 would reach the library as 5. Every bound function here
refuses a value that does not fit its argument instead.
"""
from __future__ import annotations

import contextlib
import ctypes
import os
import sys
from typing import Any, Callable, Dict, Iterator, Optional, Sequence, Tuple, Union

from .errors import LibraryNotFound

_I32 = ctypes.c_int32
_U32 = ctypes.c_uint32
_I32P = ctypes.POINTER(ctypes.c_int32)
_TEXT = ctypes.c_char_p

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

# name: (result type, argument types), in the order of include/zrqapi.h.
PROTOTYPES: Dict[str, Tuple[Any, Tuple[Any, ...]]] = {
    "NirekInstall": (_I32, (_I32,)),
    "NirekIsInstalled": (_I32, ()),
    "NirekRemove": (_I32, ()),
    "NirekSetTimeout": (_I32, (_I32,)),
    "NirekSetWaitMode": (_I32, (_I32,)),
    "NirekSetDebugMask": (_I32, (_I32,)),
    "NirekParam": (_I32, (_I32, _I32)),
    "NirekSync": (_I32, (_I32,)),
    "NirekEstop": (_I32, ()),
    "NirekGetBoxState": (_I32, ()),
    "NirekGetInfo": (_U32, (_I32, _I32)),
    "NirekGetSavedID": (_I32, (ctypes.c_char_p,)),
    "NirekGetState": (_I32, ()),
    "NirekHome1": (_I32, (_I32, _I32, _I32, _I32)),
    "NirekHome": (_I32, (_I32,)),
    "NirekHomed": (_I32, ()),
    "NirekMakeRamps": (_I32, ()),
    "NirekMakeRampsWorked": (_I32, ()),
    "NirekXrel": (_I32, (_I32,)),
    "NirekYrel": (_I32, (_I32,)),
    "NirekXabs": (_I32, (_I32,)),
    "NirekYabs": (_I32, (_I32,)),
    "Nirek1abs": (_I32, (_I32, _I32)),
    "Nirek1rel": (_I32, (_I32, _I32)),
    "NirekXYrel": (_I32, (_I32, _I32)),
    "NirekXYZrel": (_I32, (_I32, _I32, _I32)),
    "NirekXYabs": (_I32, (_I32, _I32)),
    "NirekXYZabs": (_I32, (_I32, _I32, _I32)),
    "NirekPenUpNow": (_I32, ()),
    "NirekPenDownNow": (_I32, ()),
    "NirekPenUp": (_I32, ()),
    "NirekPenDown": (_I32, ()),
    "NirekSelectY": (_I32, (_I32,)),
    "NirekSelectXY": (_I32, (_I32, _I32)),
    "NirekSelectXYZ2": (_I32, (_I32, _I32, _I32)),
    "NirekWaitHalt": (_I32, ()),
    "NirekTrainBegin": (_I32, ()),
    "NirekTrainEnd": (_I32, ()),
    "NirekVector": (_I32, (_I32,)),
    "NirekSpeed": (_I32, (_I32,)),
    "Nirek1Speed": (_I32, (_I32, _I32)),
    "NirekTestMode": (_I32, (_I32,)),
    "NirekSetMinPulse": (_I32, (_I32,)),
    "NirekSetPulseDuty": (_I32, (_I32,)),
    "NirekSetPulseEnable": (_I32, (_I32,)),
    "NirekSetPulseSpacing": (_I32, (_I32, _I32)),
    "NirekSetTrainRatio": (_I32, (_I32, _I32, _I32)),
    "NirekSetEncoder": (_I32, (_I32, _I32)),
    "Kap_Init": (_I32, ()),
    "Kap_init": (_I32, ()),
    "Kap_InitOnCom": (_I32, (_I32,)),
    "Kap_Finish": (_I32, ()),
    "Kap_GetApiVersion": (_I32, (_I32P, _I32P)),
    "Kap_SetWaitMode": (_I32, (_I32,)),
    "Kap_3dMode": (_I32, ()),
    "Kap_2dMode": (_I32, ()),
    "Kap_SetDebugMask": (_I32, (_I32,)),
    "Kap_GetErrorString": (_TEXT, ()),
    "Kap_TestCall": (_I32, (_I32,)),
    "Kap_SetSampleSpacing": (_I32, (_I32, _I32)),
    "Kap_Velocity": (_I32, (_I32,)),
    "Kap_VelocityMils": (_I32, (_I32,)),
    "Kap_PenUp": (_I32, ()),
    "Kap_PenDown": (_I32, ()),
    "Kap_Home": (_I32, ()),
    "Kap_InMotion": (_I32, ()),
    "Kap_LaserOn": (_I32, (_I32,)),
    "Kap_MoveXY": (_I32, (_I32, _I32)),
    "Kap_MoveXYZ": (_I32, (_I32, _I32, _I32)),
    "Kap_MoveZ": (_I32, (_I32,)),
    "Kap_MoveR": (_I32, (_I32,)),
    "Kap_Move4Axis": (_I32, (_I32,)),
    "Kap_JogBeginX": (_I32, ()),
    "Kap_JogBeginY": (_I32, ()),
    "Kap_JogBeginZ": (_I32, ()),
    "Kap_JogBeginR": (_I32, ()),
    "Kap_JogSetPosition": (_I32, (_I32,)),
    "Kap_JogEnd": (_I32, ()),
    "Kap_GetRtPos": (_I32, (_I32P, _I32P, _I32P)),
    "Kap_GetMachinePosition": (_I32, (_I32P, _I32P, _I32P)),
    "Kap_GetRotorPosition": (_I32, (_I32P,)),
    "Kap_Get4AxisPosition": (_I32, (_I32P,)),
    "Kap_DumbTerminal": (_I32, (_I32,)),
}

# The DLL exports a few routines under a decorated name only.
_WINDOWS_ONLY_DECORATED = {"NirekSetEncoder"}

if sys.platform == "win32":
    DEFAULT_NAMES: Sequence[str] = ("ZRQAPI.dll",)
else:
    DEFAULT_NAMES = ("libzrqapi.so.2",)


def _checked(name: str, function: Callable[..., Any], argtypes: Sequence[Any]) -> Callable[..., Any]:
    """Wraps a ctypes function so that an integer outside its argument's range is refused."""
    ranges = []
    for t in argtypes:
        if t is _I32:
            ranges.append((INT32_MIN, INT32_MAX))
        else:
            ranges.append(None)

    def call(*args: Any) -> Any:
        if len(args) != len(argtypes):
            raise TypeError(f"{name} takes {len(argtypes)} argument(s), not {len(args)}")
        for index, (value, bounds) in enumerate(zip(args, ranges)):
            if bounds is None:
                continue
            if not isinstance(value, int):
                raise TypeError(f"{name}: argument {index + 1} must be an int, not {type(value).__name__}")
            if not bounds[0] <= value <= bounds[1]:
                raise OverflowError(
                    f"{name}: argument {index + 1} ({value}) does not fit a signed 32-bit integer")
        return function(*args)

    call.__name__ = name
    call.__doc__ = f"{name}: see docs/api.md."
    return call


class Library:
    """The loaded library: one attribute per export, each range-checked.

    ``path`` is the file that was loaded; ``raw`` is the ctypes handle for
    anyone who needs the unchecked functions.
    """

    def __init__(self, path: Optional[str] = None) -> None:
        candidates = [path] if path else ([os.environ["ZRQAPI_LIBRARY"]]
                                          if os.environ.get("ZRQAPI_LIBRARY") else list(DEFAULT_NAMES))
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL  # type: ignore[attr-defined]
        errors = []
        self.raw: Any = None
        for candidate in candidates:
            try:
                self.raw = loader(candidate)
                break
            except OSError as error:
                errors.append(f"{candidate}: {error}")
        if self.raw is None:
            raise LibraryNotFound(
                "cannot load the ZRQAPI library (" + "; ".join(errors)
                + "); install it, or set ZRQAPI_LIBRARY to its path")
        self.functions: Dict[str, Any] = {}
        for name, (restype, argtypes) in PROTOTYPES.items():
            function = self._lookup(name, argtypes)
            function.restype = restype
            function.argtypes = list(argtypes)
            self.functions[name] = function
            setattr(self, name, _checked(name, function, argtypes))
        self.path = _loaded_from(self.raw, self.functions["Kap_TestCall"]) or candidates[0]

    def _lookup(self, name: str, argtypes: Sequence[Any]) -> Any:
        try:
            return getattr(self.raw, name)
        except AttributeError:
            if sys.platform != "win32" and name not in _WINDOWS_ONLY_DECORATED:
                raise
            decorated = f"_{name}@{4 * len(argtypes)}"
            return getattr(self.raw, decorated)

    def version(self) -> Tuple[int, int]:
        """The API version the library reports, as (major, minor)."""
        major, minor = ctypes.c_int32(), ctypes.c_int32()
        self.functions["Kap_GetApiVersion"](ctypes.byref(major), ctypes.byref(minor))
        return major.value, minor.value

    def error_string(self) -> str:
        """The library's last message, or "" when none was set yet."""
        text = self.functions["Kap_GetErrorString"]()
        return text.decode("latin-1") if text else ""


def _loaded_from(handle: Any, function: Any) -> Optional[str]:
    """The file the library was loaded from, as the system linker resolved it."""
    try:
        if sys.platform == "win32":
            buffer = ctypes.create_unicode_buffer(32768)
            kernel32 = ctypes.WinDLL("kernel32")  # type: ignore[attr-defined]
            kernel32.GetModuleFileNameW.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32]
            if kernel32.GetModuleFileNameW(handle._handle, buffer, len(buffer)):
                return buffer.value
            return None

        class DlInfo(ctypes.Structure):
            _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                        ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]

        process = ctypes.CDLL(None)
        dladdr = process.dladdr
        dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
        info = DlInfo()
        address = ctypes.cast(function, ctypes.c_void_p)
        if dladdr(address, ctypes.byref(info)) and info.dli_fname:
            return os.path.realpath(info.dli_fname.decode())
    except (AttributeError, OSError):
        pass
    return None


_library: Optional[Library] = None


def library() -> Library:
    """The process's library, loaded on first use (``ZRQAPI_LIBRARY`` or the usual search)."""
    global _library
    if _library is None:
        _library = Library()
    return _library


@contextlib.contextmanager
def root_environment(root: Optional[Union[str, "os.PathLike[str]"]]) -> Iterator[None]:
    """Sets ZRQAPI_ROOT for the calls inside (None: leaves it), then puts it back.

    The library reads the root only while it opens the port and reads its
    files, so the process environment need not keep it afterwards."""
    if root is None:
        yield
        return
    saved = os.environ.get("ZRQAPI_ROOT")
    os.environ["ZRQAPI_ROOT"] = os.fspath(root)
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop("ZRQAPI_ROOT", None)
        else:
            os.environ["ZRQAPI_ROOT"] = saved


# The library keeps one port and one set of axis tables per process, so only
# one Machine or Link may hold it at a time.
_holder: Optional[object] = None


def claim(holder: object) -> None:
    """Marks the library as held by ``holder``; refuses a second holder."""
    global _holder
    if _holder is not None and _holder is not holder:
        from .errors import ZrqError
        raise ZrqError(f"the library is already held by {_holder!r}; close it first "
                       "(the library keeps one port per process)")
    _holder = holder


def release(holder: object) -> None:
    global _holder
    if _holder is holder:
        _holder = None
