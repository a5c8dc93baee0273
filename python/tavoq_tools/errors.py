"""The package's exception and warning types, and the limits every layer checks against.

This is the bottom layer: it imports nothing else of the package, so a model, a result or a
runner can raise these without pulling in anything above it.
"""

from __future__ import annotations

import difflib
import json
from collections.abc import Callable, Sequence

# The engine's integers (seeds, horizons, run counts) are signed 32-bit values.
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1


def shown(value: object, limit: int = 40) -> str:
    """A value as a model file writes it (strings in double quotes), cut short if long."""
    text = json.dumps(value, ensure_ascii=False) if isinstance(value, str) else repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def unknown(what: str, given: object, label: str, names: Sequence[str], limit: int = 12) -> str:
    """``unknown state "x" (states: a, b, c)``, with a did-you-mean for a near miss."""
    names = list(names)
    listed = ", ".join(names[:limit]) + (", ..." if len(names) > limit else "")
    close = difflib.get_close_matches(given, names, n=1) if isinstance(given, str) else []
    hint = f'; did you mean "{close[0]}"?' if close else ""
    return f"unknown {what} {shown(given)} ({label}: {listed}){hint}"


def allowed_integers(low: int, high: int = INT32_MAX) -> str:
    """``a positive integer up to 2147483647``-style text for the integers low .. high."""
    what = {0: "a non-negative integer", 1: "a positive integer"}.get(
        low, f"an integer from {low}"
    )
    return f"{what} up to {high}"


def _named_value_error(name: str, message: str) -> Exception:
    return ValueError(f"{name} {message}" if name else message)


def check_integer(
    name: str,
    value: object,
    low: int = 1,
    high: int = INT32_MAX,
    *,
    error: Callable[[str, str], Exception] = _named_value_error,
) -> int:
    """``value`` when it is an int (not a bool) within ``low .. high``; otherwise raises
    ``error(name, "must be ... up to ..., got ...")`` (by default a ValueError that starts
    with ``name``). Every integer setting and argument of the package is checked here."""
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise error(name, f"must be {allowed_integers(low, high)}, got {shown(value)}")
    return int(value)


def one_line(text: str) -> str:
    """``text`` with every character that would break or garble a line escaped (newlines,
    tabs, other control and separator characters), so that an error stays on one line."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


class LogicError(ValueError):
    """A failure-logic expression that cannot be read. ``column`` is 1-based (0: no position)."""

    def __init__(self, message: str, column: int = 0):
        self.message = one_line(message)
        self.column = column
        super().__init__(f"column {column}: {self.message}" if column else self.message)


class ModelError(ValueError):
    """A model that cannot be run: ``file`` (or None), the ``key`` path and what is wrong.

    str() gives the one-line form ``file: key: message``.
    """

    def __init__(self, key: str, message: str, file: str | None = None):
        self.key = key
        self.message = message
        self.file = file
        parts = [p for p in (file, key, message) if p]
        super().__init__(one_line(": ".join(parts)))

    def in_file(self, file: str) -> ModelError:
        """The same problem, attributed to ``file``."""
        return ModelError(self.key, self.message, file)


class DaskMissingError(ModuleNotFoundError):
    """Running on a cluster needs Dask, which is an optional extra."""


class NegativeDelayWarning(UserWarning):
    """Some first draws of a transition in a run were negative and counted as never happening
    in that run (a negative draw later in a run happens at once). ``count`` says how many,
    ``where`` which components drew them (e.g. "pump_a 3, valve 1")."""

    def __init__(self, count: int, where: str):
        super().__init__(
            f"{count:,} first draw{'s' if count != 1 else ''} of a transition in a run "
            f"{'were' if count != 1 else 'was'} negative ({where}) "
            "and counted as never happening in that run; a negative draw later in a run "
            "happens at once. A distribution that can give negative delays, such as a "
            "normal with a large spread, is better replaced or truncated."
        )
        self.count = count
        self.where = where

    # Components named in the message, the most drawn first; the rest as a count.
    SHOWN = 5

    @classmethod
    def of_counts(cls, counts: Sequence[int], names: Sequence[str]) -> NegativeDelayWarning:
        """The warning for per-component counts (``names`` in the same order)."""
        drawn = sorted(
            ((int(n), name) for n, name in zip(counts, names, strict=True) if n > 0),
            key=lambda pair: -pair[0],
        )
        where = ", ".join(f"{name} {n:,}" for n, name in drawn[: cls.SHOWN])
        if len(drawn) > cls.SHOWN:
            where += f" and {len(drawn) - cls.SHOWN:,} more components"
        return cls(sum(n for n, _ in drawn), where)


class FewRunsWarning(UserWarning):
    """A batch of ``n_runs`` runs, fewer than ``needed``: the intervals over runs (Student t,
    delta method) of skewed per-run values cover less than their confidence there."""

    def __init__(self, n_runs: int, needed: int):
        super().__init__(
            f"{n_runs:,} run{'s' if n_runs != 1 else ''}: below {needed:,} runs the intervals "
            "over runs (unavailabilities, failures per run, shares, times) may cover less "
            "than their confidence, as the runs' values are skewed; give more runs"
        )
        self.n_runs = n_runs
        self.needed = needed


def wrap_int32(value: int) -> int:
    """``value`` modulo 2**32 as a signed 32-bit int, the way the engine adds run indices."""
    return (value - INT32_MIN) % 2**32 + INT32_MIN
