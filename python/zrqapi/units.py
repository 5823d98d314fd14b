"""Units of length: every position the library takes is in tenths of a mil."""
from __future__ import annotations

import math
import numbers
import operator
from typing import Any, Dict, Literal

from ._library import INT32_MAX, INT32_MIN

#: The names of the units of length.
Units = Literal["mm", "in", "mil", "tenth_mil"]

#: The names of the axes.
Axis = Literal["x", "y", "z", "r"]

#: Tenths of a mil (0.0001 inch) in one unit.
TENTH_MILS_PER_UNIT: Dict[str, float] = {
    "mm": 10000.0 / 25.4,
    "in": 10000.0,
    "mil": 10.0,
    "tenth_mil": 1.0,
}

#: Tenths of a mil in one inch; speeds reach the library in inches per minute.
TENTH_MILS_PER_INCH = 10000.0

# Decimals that tell every tenth of a mil apart and add no float noise
# (0.0001 inch is 0.00254 mm).
_DECIMALS = {"mm": 5, "in": 4, "mil": 1, "tenth_mil": 0}


def check_units(units: Any) -> Units:
    """Returns ``units`` when it names a known unit; raises ValueError otherwise."""
    if not isinstance(units, str) or units not in TENTH_MILS_PER_UNIT:
        raise ValueError(f"unknown units {units!r}; use one of {', '.join(TENTH_MILS_PER_UNIT)}")
    return units  # type: ignore[return-value]


def number(value: Any, what: str) -> float:
    """``value`` as a float: ints, floats and numpy numbers pass; booleans and text are refused,
    with a TypeError that names ``what``."""
    if isinstance(value, (bool, str, bytes, bytearray)) or type(value).__name__ == "bool_":
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    if hasattr(type(value), "__index__"):
        return float(operator.index(value))
    if isinstance(value, numbers.Real):
        return float(value)
    raise TypeError(f"{what} must be a number, not {type(value).__name__}")


def flag(value: Any, what: str) -> bool:
    """``value`` when it is a boolean: "off" and "no" are true strings, so nothing else is taken."""
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be True or False, not {type(value).__name__}")
    return value


def scaled(value: Any, units: str, what: str) -> float:
    """A length in (unrounded) tenths of a mil, refusing what is no finite number."""
    tenths = number(value, what) * TENTH_MILS_PER_UNIT[check_units(units)]
    if math.isnan(tenths) or math.isinf(tenths):
        raise ValueError(f"{what} {value!r} is not a finite number")
    return tenths


def to_tenth_mils(value: Any, units: str, what: str = "position") -> int:
    """Converts a length to whole tenths of a mil, refusing one that does not fit 32 bits."""
    tenths = round(scaled(value, units, what))
    if not INT32_MIN <= tenths <= INT32_MAX:
        raise ValueError(f"{what} {value} {units} is out of range (at most ±214748.3647 inches)")
    return tenths


def from_tenth_mils(value: int, units: str) -> float:
    """Converts tenths of a mil to ``units``, rounded to the digits that 0.0001 inch needs there."""
    u = check_units(units)
    return round(value / TENTH_MILS_PER_UNIT[u], _DECIMALS[u]) + 0.0
