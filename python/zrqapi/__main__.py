"""``python -m zrqapi``: which library this package loads, the ports, and a probe of the box."""
from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from . import __version__
from ._library import library
from .errors import LibraryNotFound, ZrqError
from .link import BoxState, Link
from .ports import configured_port, ports


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python3 -m zrqapi",
        description="Without a command: which ZRQAPI library the package loads, and its API version.")
    parser.add_argument("--version", action="version", version=f"zrqapi {__version__}")
    parser.add_argument("--root", help="the directory with qorin/qorin.cfg and dev/comN (default: $ZRQAPI_ROOT)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("ports", help="COM1..COM8: the device each stands for, and whether it is there")
    probe = commands.add_parser("probe", help="open a port and ask the box whether it runs the protocol")
    probe.add_argument("port", nargs="?", type=int, help="1..8 (default: the port the configuration names)")
    return parser


def _ports(root: Optional[str]) -> int:
    wanted = configured_port(root)
    for info in ports(root):
        mark = "  (configured)" if info.port == wanted else ""
        print(f"COM{info.port}  {info.path}  {info.state}{mark}")
    return 0


def _probe(root: Optional[str], port: Optional[int]) -> int:
    number = port if port is not None else configured_port(root)
    if number is None:
        print("zrqapi: no port given and none configured (qorin/qorin.cfg)", file=sys.stderr)
        return 3
    with Link(number, root=root) as link:
        state = link.box_state()
        if state is BoxState.PROTOCOL:
            print(f"COM{number}: the box runs the protocol; identifier {link.identifier()!r}")
            return 0
        if state is BoxState.PROMPT:
            print(f"COM{number}: the box sits at its monitor prompt")
            return 0
        print(f"COM{number}: no answer")
        return 8


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "ports":
            return _ports(args.root)
        lib = library()
        if args.command == "probe":
            return _probe(args.root, args.port)
    except LibraryNotFound as error:
        print(f"zrqapi {__version__}: {error.message}", file=sys.stderr)
        return 1
    except ZrqError as error:
        print(f"zrqapi: {error}", file=sys.stderr)
        return error.code or 1
    major, minor = lib.version()
    print(f"zrqapi {__version__}: library API {major}.{minor}, loaded from {lib.path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
