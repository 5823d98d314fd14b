#!/usr/bin/env python3
"""Draws a small house with the pen, homes, and reads the positions back.

    python3 examples/draw_house.py              # on a simulated box; writes house.svg
    python3 examples/draw_house.py --root DIR   # on the box that DIR/qorin/qorin.cfg names

Exit status: 0, or the library's result code of the failure.
"""
import argparse
import sys

import zrqapi
from zrqapi.testing import SimulatedBox

# Pen strokes, (x, y) in inches: the walls and the roof in one line, then the door.
STROKES = [
    [(0.5, 0.5), (2.0, 0.5), (2.0, 1.75), (0.5, 1.75), (0.5, 0.5), (1.25, 2.5), (2.0, 1.75)],
    [(1.1, 0.5), (1.1, 1.1), (1.4, 1.1), (1.4, 0.5)],
]


def draw(m: zrqapi.Machine, speed: float = 90) -> None:
    m.velocity(speed)  # inches per minute
    for first, *rest in STROKES:
        m.pen_up()  # travel to the stroke's start without drawing
        m.move_to(*first)
        m.pen_down()
        for point in rest:
            m.move_to(*point)
    m.pen_up()
    m.wait_until_idle(timeout=60)
    print("at the last corner:", m.position())
    m.home(wait=True)
    print("after homing:      ", m.position())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", help="ZRQAPI_ROOT of a real box (default: a simulated one)")
    parser.add_argument("--svg", default="house.svg", help="where the simulated box's drawing goes")
    parser.add_argument("--speed", type=float, default=90, help="pen speed in inches per minute (default 90)")
    args = parser.parse_args()
    try:
        if args.root:
            with zrqapi.Machine(root=args.root, units="in") as m:
                draw(m, args.speed)
            return 0
        with SimulatedBox() as box:
            with box.machine(units="in") as m:
                draw(m, args.speed)
        with open(args.svg, "w") as file:
            file.write(box.svg)
        print(f"{len(box.segments())} pen strokes drawn, see {args.svg}")
        return 0
    except zrqapi.NotResponding:
        print("the box does not answer: is it switched on and cabled?", file=sys.stderr)
        return 8
    except zrqapi.ZrqError as error:
        print(f"draw_house: {error}", file=sys.stderr)
        return error.code or 1


if __name__ == "__main__":
    sys.exit(main())
