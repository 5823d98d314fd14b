"""``python -m zrqapi``: which library this package loads, and its version."""
import sys

from . import __version__
from ._library import library
from .errors import LibraryNotFound


def main() -> int:
    try:
        lib = library()
    except LibraryNotFound as error:
        print(f"zrqapi {__version__}: {error.message}", file=sys.stderr)
        return 1
    major, minor = lib.version()
    print(f"zrqapi {__version__}: library API {major}.{minor}, loaded from {lib.path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
