"""How the report and the figure print a number: significant digits, and as many more as an
interval needs for its bounds to read apart from its estimate and from each other."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ..results.summary import Estimate

__all__ = ["MAX_DIGITS", "Format", "distinct_digits", "estimate_cell", "number", "percent"]

# A formatter of a number at a given count of significant digits.
Format = Callable[[float | None, int], str]
MAX_DIGITS = 12  # enough for any two doubles an interval gives to print apart


def number(x: float | None, digits: int = 4) -> str:
    if x is None:
        return "-"
    if x == 0:
        return "0"
    return f"{x:.{digits}g}"


def percent(x: float | None, digits: int = 3) -> str:
    return "-" if x is None else f"{100 * x:.{digits}g}%"


def distinct_digits(numbers: Sequence[float | None], fmt: Format, digits: int) -> int:
    """The fewest significant digits, ``digits`` or more, at which every two of ``numbers``
    that differ print differently: an interval [0.9998, 1] must not read [1, 1]."""
    values = sorted({x for x in numbers if x is not None})
    for d in range(digits, MAX_DIGITS + 1):
        shown = [fmt(x, d) for x in values]
        if len(set(shown)) == len(shown):
            return d
    return MAX_DIGITS


def _finite_or_inf(x: float | None, digits: int) -> str:
    if x is not None and math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return number(x, digits)


def estimate_cell(e: Estimate | None, digits: int = 4) -> str:
    """``value [lower, upper]``, with as many digits as the three need to read apart (an
    infinite one as inf); ``-`` for no estimate, the value alone for no interval."""
    if e is None:
        return "-"
    if e.lower is None or e.upper is None:
        return _finite_or_inf(e.value, digits)
    d = distinct_digits([e.value, e.lower, e.upper], number, digits)
    return f"{_finite_or_inf(e.value, d)} [{_finite_or_inf(e.lower, d)}, {_finite_or_inf(e.upper, d)}]"
