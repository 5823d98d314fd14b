"""Units of length: every position the library takes is in tenths of a mil."""
from __future__ import annotations

import math
from typing import Dict

from ._library import INT32_MAX, INT32_MIN

#: Tenths of a mil (0.0001 inch) in one unit.
TENTH_MILS_PER_UNIT: Dict[str, float] = {
    "mm": 10000.0 / 25.4,
    "in": 10000.0,
    "mil": 10.0,
    "tenth_mil": 1.0,
}

#: Tenths of a mil in one inch; speeds reach the library in inches per minute.
TENTH_MILS_PER_INCH = 10000.0


def check_units(units: str) -> str:
    """Returns ``units`` when it names a known unit; raises ValueError otherwise."""
    if units not in TENTH_MILS_PER_UNIT:
        raise ValueError(f"unknown units {units!r}; use one of {', '.join(TENTH_MILS_PER_UNIT)}")
    return units


def to_tenth_mils(value: float, units: str, what: str = "position") -> int:
    """Converts a length to whole tenths of a mil, refusing one that does not fit 32 bits."""
    scaled = float(value) * TENTH_MILS_PER_UNIT[check_units(units)]
    if math.isnan(scaled) or math.isinf(scaled):
        raise ValueError(f"{what} {value!r} is not a finite number")
    tenths = int(round(scaled))
    if not INT32_MIN <= tenths <= INT32_MAX:
        raise ValueError(f"{what} {value} {units} is out of range (at most ±214748.3647 inches)")
    return tenths


def from_tenth_mils(value: int, units: str) -> float:
    """Converts tenths of a mil to ``units``."""
    return value / TENTH_MILS_PER_UNIT[check_units(units)]
