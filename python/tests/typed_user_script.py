"""A user's script calling every documented function, for mypy --strict (never run)."""
import ctypes
from typing import List, Optional, Tuple

import zrqapi
from zrqapi.testing import Segment, SimulatedBox


def draw(m: zrqapi.Machine) -> zrqapi.Position:
    units: zrqapi.Units = "in"
    m.timeout = 5.0
    seconds: float = m.timeout
    speed: float = m.velocity(90, units=units)
    m.sample_spacing(2, 0.01, units="in")
    m.laser(True)
    m.pen_up()
    m.move_to(x=0.5, y=0.5)
    m.move_to(0.5, 0.5, 0.1, 0.0, units="mm", wait=True)
    m.pen_down()
    m.move_by(x=0.1, units="mm")
    m.move_by(0.1, 0.1, 0.0, 0.0, wait=False)
    down: bool = m.pen_is_down
    moving: bool = m.in_motion
    m.wait_until_idle(timeout=seconds + speed, poll=0.05)
    m.home(wait=True)
    axis: zrqapi.Axis = "x"
    with m.jog(axis) as jog:
        jog.move_to(1.5, units="in")
    jog.end()
    here: zrqapi.RealtimePosition = m.realtime_position(units="mm")
    print(here.x + here.y + here.z, down, moving, m.is_open)
    m.estop()
    return m.position(units="mm")


def raw(link: zrqapi.Link) -> Tuple[int, str, zrqapi.BoxState]:
    link.timeout = 10.0
    link.wait_mode = True
    mode: bool = link.wait_mode
    previous: bool = link.debug(False)
    link.sync()
    link.sync(letter_n=True)
    link.param(34, 1)
    link.pen(down=True)
    link.move_xy(8000 * 1024, 0)
    link.move_xy_by(10, -10)
    link.speed(500)
    link.command("Nirek1Speed", 3, 500)
    link.wait_halt()
    homed: bool = link.home()
    busy: bool = link.busy
    print(mode, previous, homed, busy, link.is_open, link.port)
    link.estop()
    return link.position(3) + link.info(26, 3), link.identifier(), link.box_state()


def library_calls() -> Tuple[int, int]:
    lib: zrqapi.Library = zrqapi.library()
    previous: int = lib.NirekSetTimeout(100)
    lib.Kap_SetDebugMask(0)
    x, y, z = ctypes.c_int32(), ctypes.c_int32(), ctypes.c_int32()
    code: int = lib.Kap_GetRtPos(ctypes.byref(x), ctypes.byref(y), ctypes.byref(z))
    text: str = lib.error_string()
    path: str = lib.path
    print(previous, code, text, path)
    return lib.version()


def main() -> None:
    try:
        with SimulatedBox(identifier="K12.1A", baud=0, drop_ack=3) as box:
            root: str = box.root
            with box.machine(units="in", timeout=2.0) as m:
                print(draw(m))
            with zrqapi.Machine(root=root, port=box.port, units="mm") as m2:
                print(m2.position())
            with box.link() as link:
                print(raw(link))
            box.clear_faults()
            box.write_file("qorin/extra.txt", "text")
            segments: List[Segment] = box.segments()
            events: List[str] = box.events()
            log: str = box.log + box.svg
            status: int = box.stop()
            print(segments, events, log, status, box.running, box.environ, box.com_link)
        print(library_calls())
    except zrqapi.AckTimeout as error:
        code: Optional[int] = error.code
        print(code, error.message, error.function)
    except (zrqapi.PortInUse, zrqapi.PortNotFound, zrqapi.WaitTimeout, zrqapi.NotInitialized) as error:
        print(error)
    except zrqapi.ZrqError as error:
        print(error)


if __name__ == "__main__":
    main()
