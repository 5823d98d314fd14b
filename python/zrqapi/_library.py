"""Loading the shared library and declaring the type of every export.

ctypes passes a Python int to a ``c_int32`` argument by keeping its low 32
bits, so 2**32 + 5 would reach the library as 5. Every bound function here
refuses a value that does not fit its argument instead.

Also here: which object holds the library's one port, the thread that makes
the main thread's blocking calls (so that Ctrl-C is noticed while the library
waits), and what a forked child may still do.
"""
from __future__ import annotations

import contextlib
import ctypes
import gc
import operator
import os
import queue
import sys
import threading
import time
import weakref
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from .errors import LibraryNotFound, NotInitialized, ZrqError

if TYPE_CHECKING:
    from typing import SupportsIndex as _Int

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


def integer(value: Any, what: str) -> int:
    """``value`` as an int: ints and objects with ``__index__`` (numpy integers) pass,
    booleans, floats and text are refused with a TypeError that names ``what``."""
    if isinstance(value, bool) or type(value).__name__ == "bool_":
        raise TypeError(f"{what} must be an integer, not a boolean")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None


def _checked(name: str, function: Callable[..., Any], argtypes: Sequence[Any]) -> Callable[..., Any]:
    """Wraps a ctypes function so that an integer outside its argument's range is refused."""
    checked = [t is _I32 for t in argtypes]

    def call(*args: Any) -> Any:
        if len(args) != len(argtypes):
            raise TypeError(f"{name} takes {len(argtypes)} argument(s), not {len(args)}")
        values = list(args)
        for index, value in enumerate(args):
            if not checked[index]:
                continue
            number = integer(value, f"{name}: argument {index + 1}")
            if not INT32_MIN <= number <= INT32_MAX:
                raise OverflowError(
                    f"{name}: argument {index + 1} ({number}) does not fit a signed 32-bit integer")
            values[index] = number
        return function(*values)

    call.__name__ = name
    call.__doc__ = f"{name}: see docs/api.md."
    return call


class Library:
    """The loaded library: one attribute per export, each range-checked.

    ``path`` is the file that was loaded; ``raw`` is the ctypes handle for
    anyone who needs the unchecked functions.
    """

    # One line per export, for type checkers: integer arguments take anything
    # with __index__, pointers take ctypes.byref() or a buffer.
    NirekInstall: Callable[[_Int], int]
    NirekIsInstalled: Callable[[], int]
    NirekRemove: Callable[[], int]
    NirekSetTimeout: Callable[[_Int], int]
    NirekSetWaitMode: Callable[[_Int], int]
    NirekSetDebugMask: Callable[[_Int], int]
    NirekParam: Callable[[_Int, _Int], int]
    NirekSync: Callable[[_Int], int]
    NirekEstop: Callable[[], int]
    NirekGetBoxState: Callable[[], int]
    NirekGetInfo: Callable[[_Int, _Int], int]
    NirekGetSavedID: Callable[[Any], int]
    NirekGetState: Callable[[], int]
    NirekHome1: Callable[[_Int, _Int, _Int, _Int], int]
    NirekHome: Callable[[_Int], int]
    NirekHomed: Callable[[], int]
    NirekMakeRamps: Callable[[], int]
    NirekMakeRampsWorked: Callable[[], int]
    NirekXrel: Callable[[_Int], int]
    NirekYrel: Callable[[_Int], int]
    NirekXabs: Callable[[_Int], int]
    NirekYabs: Callable[[_Int], int]
    Nirek1abs: Callable[[_Int, _Int], int]
    Nirek1rel: Callable[[_Int, _Int], int]
    NirekXYrel: Callable[[_Int, _Int], int]
    NirekXYZrel: Callable[[_Int, _Int, _Int], int]
    NirekXYabs: Callable[[_Int, _Int], int]
    NirekXYZabs: Callable[[_Int, _Int, _Int], int]
    NirekPenUpNow: Callable[[], int]
    NirekPenDownNow: Callable[[], int]
    NirekPenUp: Callable[[], int]
    NirekPenDown: Callable[[], int]
    NirekSelectY: Callable[[_Int], int]
    NirekSelectXY: Callable[[_Int, _Int], int]
    NirekSelectXYZ2: Callable[[_Int, _Int, _Int], int]
    NirekWaitHalt: Callable[[], int]
    NirekTrainBegin: Callable[[], int]
    NirekTrainEnd: Callable[[], int]
    NirekVector: Callable[[_Int], int]
    NirekSpeed: Callable[[_Int], int]
    Nirek1Speed: Callable[[_Int, _Int], int]
    NirekTestMode: Callable[[_Int], int]
    NirekSetMinPulse: Callable[[_Int], int]
    NirekSetPulseDuty: Callable[[_Int], int]
    NirekSetPulseEnable: Callable[[_Int], int]
    NirekSetPulseSpacing: Callable[[_Int, _Int], int]
    NirekSetTrainRatio: Callable[[_Int, _Int, _Int], int]
    NirekSetEncoder: Callable[[_Int, _Int], int]
    Kap_Init: Callable[[], int]
    Kap_init: Callable[[], int]
    Kap_InitOnCom: Callable[[_Int], int]
    Kap_Finish: Callable[[], int]
    Kap_GetApiVersion: Callable[[Any, Any], int]
    Kap_SetWaitMode: Callable[[_Int], int]
    Kap_3dMode: Callable[[], int]
    Kap_2dMode: Callable[[], int]
    Kap_SetDebugMask: Callable[[_Int], int]
    Kap_GetErrorString: Callable[[], Optional[bytes]]
    Kap_TestCall: Callable[[_Int], int]
    Kap_SetSampleSpacing: Callable[[_Int, _Int], int]
    Kap_Velocity: Callable[[_Int], int]
    Kap_VelocityMils: Callable[[_Int], int]
    Kap_PenUp: Callable[[], int]
    Kap_PenDown: Callable[[], int]
    Kap_Home: Callable[[], int]
    Kap_InMotion: Callable[[], int]
    Kap_LaserOn: Callable[[_Int], int]
    Kap_MoveXY: Callable[[_Int, _Int], int]
    Kap_MoveXYZ: Callable[[_Int, _Int, _Int], int]
    Kap_MoveZ: Callable[[_Int], int]
    Kap_MoveR: Callable[[_Int], int]
    Kap_Move4Axis: Callable[[_Int], int]
    Kap_JogBeginX: Callable[[], int]
    Kap_JogBeginY: Callable[[], int]
    Kap_JogBeginZ: Callable[[], int]
    Kap_JogBeginR: Callable[[], int]
    Kap_JogSetPosition: Callable[[_Int], int]
    Kap_JogEnd: Callable[[], int]
    Kap_GetRtPos: Callable[[Any, Any, Any], int]
    Kap_GetMachinePosition: Callable[[Any, Any, Any], int]
    Kap_GetRotorPosition: Callable[[Any], int]
    Kap_Get4AxisPosition: Callable[[Any], int]
    Kap_DumbTerminal: Callable[[_Int], int]

    def __init__(self, path: Optional[str] = None) -> None:
        candidates = [path] if path else ([os.environ["ZRQAPI_LIBRARY"]]
                                          if os.environ.get("ZRQAPI_LIBRARY") else list(DEFAULT_NAMES))
        loader = getattr(ctypes, "WinDLL") if sys.platform == "win32" else ctypes.CDLL
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
        return str(text.decode("latin-1")) if text else ""


def _loaded_from(handle: Any, function: Any) -> Optional[str]:
    """The file the library was loaded from, as the system linker resolved it."""
    try:
        if sys.platform == "win32":
            buffer = ctypes.create_unicode_buffer(32768)
            kernel32 = getattr(ctypes, "WinDLL")("kernel32")
            kernel32.GetModuleFileNameW.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32]
            if kernel32.GetModuleFileNameW(handle._handle, buffer, len(buffer)):
                return str(buffer.value)
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
            return os.path.realpath(bytes(info.dli_fname).decode())
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
# one Machine or Link may hold it at a time. The holder is kept weakly: a
# Machine dropped without close() is finished by its finalizer and must not be
# kept alive by this record.
_holder: Optional["weakref.ReferenceType[object]"] = None


def _current_holder() -> Optional[object]:
    return _holder() if _holder is not None else None


def claim(holder: object) -> None:
    """Marks the library as held by ``holder``; refuses a second holder."""
    global _holder
    current = _current_holder()
    if current is not None and current is not holder:
        # A holder that only a reference cycle keeps alive is finished by its
        # finalizer once collected.
        gc.collect()
        current = _current_holder()
    if current is not None and current is not holder:
        raise ZrqError(f"the library is already held by {current!r}; close it first "
                       "(the library keeps one port per process)")
    _holder = weakref.ref(holder)


def release(holder: object) -> None:
    """Gives the library up; a no-op unless ``holder`` holds it."""
    global _holder
    current = _current_holder()
    if current is holder or current is None:
        _holder = None


# ---- fork ----

# The process that opened the port. A forked child inherits the library's
# open descriptor, but the line is the parent's: the child's objects refuse
# every call instead of interleaving frames with the parent's.
_generation = 0


def generation() -> int:
    """Counts the forks this process is removed from its ancestors; objects remember it when they open."""
    return _generation


def check_owner(opened_in: int, what: str) -> None:
    """Raises NotInitialized in a forked child for an object its parent opened."""
    if opened_in != _generation:
        raise NotInitialized(f"this {what} was opened by the parent process; a forked child must not use "
                             "the parent's port", 10, what)


def _after_fork_in_child() -> None:
    global _generation, _holder, _worker, _worker_lock
    _generation += 1
    _holder = None
    # The worker thread did not survive the fork, and its lock may have been
    # held by a thread that did not either.
    _worker = None
    _worker_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


# ---- calls that Ctrl-C can interrupt ----

_Request = Tuple[Callable[..., Any], Tuple[Any, ...], threading.Event, List[Any]]


class _Worker:
    """One thread that makes the library calls of the main thread.

    A library call that waits for the box blocks the thread that made it in C,
    where Python cannot run its signal handlers. Made here, it leaves the main
    thread waiting on an event, which Ctrl-C interrupts at once."""

    def __init__(self) -> None:
        self.requests: "queue.SimpleQueue[_Request]" = queue.SimpleQueue()
        self.thread = threading.Thread(target=self._serve, name="zrqapi-calls", daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        while True:
            self.run(self.requests.get())

    @staticmethod
    def run(request: _Request) -> None:
        function, args, done, outcome = request
        try:
            outcome.append((True, function(*args)))
        except BaseException as error:  # handed to the caller's thread
            outcome.append((False, error))
        done.set()


_worker: Optional[_Worker] = None
_worker_lock = threading.Lock()

#: How long the main thread waits at a time; Ctrl-C is handled between slices at the latest.
SLICE_SECONDS = 0.05


class GaveUp(Exception):
    """The call was still running at its ``give_up_at``; it goes on in the worker thread."""


def call(function: Callable[..., Any], *args: Any, on_interrupt: Optional[Callable[[], None]] = None,
         give_up_at: Optional[float] = None, own_thread: bool = False) -> Any:
    """``function(*args)``, made so that the main thread notices Ctrl-C while it runs.

    On the main thread the call runs on the worker thread; a KeyboardInterrupt
    while it waits first calls ``on_interrupt`` (the emergency stop, which makes
    the blocked call give up), then waits for the call to end and re-raises. A
    second interrupt stops that wait. Elsewhere the function is called directly,
    unless ``give_up_at`` (a ``time.monotonic()`` value) asks for GaveUp when
    the call has not ended by then. ``own_thread`` runs it on a thread of its
    own instead of the worker: for the emergency stop, which the library lets
    pass a call that still waits."""
    global _worker
    if give_up_at is None and threading.current_thread() is not threading.main_thread():
        return function(*args)
    done = threading.Event()
    outcome: List[Any] = []
    if own_thread:
        # The stop must not queue behind a call the worker still runs.
        threading.Thread(target=_Worker.run, args=((function, args, done, outcome),), name="zrqapi-stop",
                         daemon=True).start()
    else:
        with _worker_lock:
            if _worker is None or not _worker.thread.is_alive():
                _worker = _Worker()
            worker = _worker
        worker.requests.put((function, args, done, outcome))
    try:
        while not done.wait(SLICE_SECONDS if give_up_at is None
                            else max(0.0, min(SLICE_SECONDS, give_up_at - time.monotonic()))):
            if give_up_at is not None and time.monotonic() >= give_up_at:
                raise GaveUp()
    except KeyboardInterrupt:
        try:
            if on_interrupt is not None:
                # On its own thread too: the stop resynchronises the link, which
                # takes a while on a box that does not answer.
                stopper = threading.Thread(target=on_interrupt, name="zrqapi-stop", daemon=True)
                stopper.start()
                while stopper.is_alive():
                    stopper.join(SLICE_SECONDS)
            while not done.wait(SLICE_SECONDS):
                pass
        except KeyboardInterrupt:
            pass  # asked twice: leave without waiting for the call
        raise
    succeeded, value = outcome[0]
    if not succeeded:
        raise value
    return value
