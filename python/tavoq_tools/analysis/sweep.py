"""Sensitivity: the system's estimates over a grid of parameter values, and tornado charts.

Every point of a grid, and both ends of every tornado bar, runs the same runs on the same
seeds (common random numbers): run i of one point starts from the same draws as run i of
another, so the difference between two points, taken over the paired runs, has an interval
far narrower than either point's own where the change is small. Each point is an ordinary
batch, so it equals a separate run of that model bit for bit.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from ..errors import ModelError
from ..formats.document import Document, numeric_parameters
from ..results.model_summary import summarize_model
from ..results.summary import Estimate
from .importance import per_run
from .paired import mean_difference, mean_over_runs

if TYPE_CHECKING:
    from ..model.system import Model
    from ..results.counts import BatchStatistics

__all__ = [
    "ESTIMATES",
    "PAIRED",
    "SweepPoint",
    "SweepResult",
    "TornadoBar",
    "TornadoResult",
    "grid_values",
    "rows_frame",
    "sweep",
    "tornado",
]

#: The system's estimates each point reports, by name: the Summary attribute they come from.
ESTIMATES = {
    "mean unavailability": "mean_unavailability",
    "P(failure by the horizon)": "failure_probability",
    "failures per run": "failures_per_run",
    "mean time to first failure, min(T,H)": "restricted_mean_time_to_failure",
    "MTBF": "mtbf",
    "mean down time per failure": "mean_down_time",
}
#: The estimates whose differences between points are taken over paired runs.
PAIRED = ("mean unavailability", "P(failure by the horizon)", "failures per run")
# Keys whose values are probabilities: a tornado's high end stops at 1.
_PROBABILITIES = frozenset({"probability", "beta"})
# Keys whose values are whole numbers (an inspection interval, a fixed time, a crew count):
# a tornado's ends are rounded outwards.
_WHOLE = frozenset({"interval", "at", "count"})

RunBatch = Callable[["Model"], "BatchStatistics"]


def grid_values(text: str) -> tuple[list[float], bool]:
    """VALUES of ``--set KEY=VALUES``: a list ``1,2,5``, or a range ``start:stop:count``
    (count values from start to stop, ends included), ``start:stop:count:log`` on a log
    scale. Returns the values and whether the scale is logarithmic; ValueError for
    anything else, or an empty range."""
    text = text.strip()
    if not text:
        raise ValueError("no values: give a list (1,2,5) or a range (start:stop:count[:log])")
    if ":" in text:
        parts = text.split(":")
        log = len(parts) == 4 and parts[3].strip().lower() == "log"
        if len(parts) not in (3, 4) or (len(parts) == 4 and not log):
            raise ValueError(f"{text!r}: a range is start:stop:count, or start:stop:count:log")
        start, stop = _number(parts[0]), _number(parts[1])
        try:
            count = int(parts[2])
        except ValueError:
            raise ValueError(f"{text!r}: the count {parts[2]!r} is not a whole number") from None
        if count < 1 or count > 10_000:
            raise ValueError(f"{text!r}: an empty range; the count must be 1 to 10,000")
        if log and (start <= 0 or stop <= 0):
            raise ValueError(f"{text!r}: a log range needs start and stop above 0")
        if count == 1:
            return [start], log
        spaced = np.geomspace(start, stop, count) if log else np.linspace(start, stop, count)
        return [float(v) for v in spaced], log
    values = [_number(v) for v in text.split(",") if v.strip()]
    if not values:
        raise ValueError(f"{text!r}: no values")
    return values, False


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{text.strip()!r} is not a number") from None
    if not math.isfinite(value):
        raise ValueError(f"{text.strip()!r} is not a finite number")
    return value


@dataclass(frozen=True)
class SweepPoint:
    """One grid point: its values (one per key), the system's estimates (ESTIMATES), and
    for PAIRED ones the difference from the first point over the paired runs."""

    values: tuple[float, ...]
    estimates: dict[str, Estimate | None]
    differences: dict[str, Estimate]


@dataclass(frozen=True)
class SweepResult:
    """The grid's points in order (the last key varies fastest)."""

    keys: tuple[str, ...]
    log_scale: tuple[bool, ...]
    points: tuple[SweepPoint, ...]
    runs: int
    seed: int

    def rows(self) -> list[dict[str, Any]]:
        """One flat row per point: the keys' values, each estimate with its bounds, and each
        difference from the first point with its bounds."""
        rows = []
        for point in self.points:
            row: dict[str, Any] = dict(zip(self.keys, point.values, strict=True))
            for name in ESTIMATES:
                e = point.estimates.get(name)
                row |= _cells(name, e)
            for name in PAIRED:
                row |= _cells(f"{name}, change from the first point", point.differences.get(name))
            rows.append(row)
        return rows

    def to_dict(self) -> dict[str, Any]:
        from ..results.summary import json_safe

        return json_safe(
            {
                "keys": list(self.keys),
                "log_scale": list(self.log_scale),
                "runs": self.runs,
                "seed": self.seed,
                "points": [
                    {
                        "values": list(p.values),
                        "estimates": {k: _estimate(e) for k, e in p.estimates.items()},
                        "change_from_first_point": {
                            k: _estimate(e) for k, e in p.differences.items()
                        },
                    }
                    for p in self.points
                ],
            }
        )

    def to_frame(self) -> Any:
        """The rows as a pandas DataFrame (pandas is optional: ImportError without it)."""
        return rows_frame(self.rows())


def _estimate(e: Estimate | None) -> dict[str, Any] | None:
    if e is None:
        return None
    return {"value": e.value, "lower": e.lower, "upper": e.upper, "method": e.method}


def _cells(name: str, e: Estimate | None) -> dict[str, Any]:
    if e is None:
        return {name: None, f"{name} lower": None, f"{name} upper": None}
    return {name: e.value, f"{name} lower": e.lower, f"{name} upper": e.upper}


def rows_frame(rows: list[dict[str, Any]]) -> Any:
    """Rows of one shape as a pandas DataFrame; ImportError naming pandas without it."""
    try:
        import pandas as pd  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError("to_frame needs pandas: pip install pandas") from None
    return pd.DataFrame(rows)


def _at_point(document: Document, keys: Sequence[str], values: Sequence[float]) -> Model:
    """The model at one grid point; ModelError naming the point where it is invalid."""
    for key, value in zip(keys, values, strict=True):
        document = document.with_value(key, value)
    try:
        return document.model()
    except ModelError as err:
        point = ", ".join(f"{k}={v:g}" for k, v in zip(keys, values, strict=True))
        raise ModelError(err.key, f"{err.message} (at the grid point {point})", err.file) from None


def _estimates(model: Model, stats: BatchStatistics) -> dict[str, Estimate | None]:
    import warnings

    from ..errors import FewRunsWarning

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FewRunsWarning)  # the caller warns once
        summary = summarize_model(model, stats)
    return {name: getattr(summary, attr) for name, attr in ESTIMATES.items()}


def _paired_values(stats: BatchStatistics) -> dict[str, np.ndarray]:
    down, failed = per_run(stats)
    return {
        PAIRED[0]: down,
        PAIRED[1]: failed,
        PAIRED[2]: np.asarray(stats.system_failures, dtype=float),
    }


def sweep(
    document: Document,
    settings: Mapping[str, Sequence[float]],
    *,
    run_batch: RunBatch,
    log_scale: Mapping[str, bool] | None = None,
    confidence: float = 0.95,
) -> SweepResult:
    """The grid of ``settings`` (key path -> values) over ``document``, each point a batch
    made by ``run_batch(model)`` with the same runs and seed. Every point's model is built
    and checked before any runs; ModelError names a bad key (with a suggestion) or the
    point whose values make the model invalid."""
    keys = tuple(settings)
    if not keys:
        raise ValueError("nothing to sweep: give at least one key and its values")
    for key in keys:
        document.get(key)  # a key that does not exist fails here, before any runs
        if not settings[key]:
            raise ValueError(f"{key}: no values")
    grid = list(itertools.product(*(settings[k] for k in keys)))
    models = [_at_point(document, keys, values) for values in grid]
    points: list[SweepPoint] = []
    first: dict[str, np.ndarray] | None = None
    runs = seed = 0
    for values, model in zip(grid, models, strict=True):
        stats = run_batch(model)
        runs, seed = stats.n_runs, stats.seed
        paired = _paired_values(stats)
        if first is None:
            first = paired
        differences = {
            name: mean_difference(paired[name], first[name], confidence) for name in PAIRED
        }
        points.append(SweepPoint(tuple(values), _estimates(model, stats), differences))
    logs = tuple(bool((log_scale or {}).get(k, False)) for k in keys)
    return SweepResult(keys, logs, tuple(points), runs, seed)


@dataclass(frozen=True)
class TornadoBar:
    """One parameter at its low and high value: the estimates there, and the change from
    low to high over the paired runs, per PAIRED estimate."""

    key: str
    base_value: float
    low: float
    high: float
    at_low: dict[str, Estimate]
    at_high: dict[str, Estimate]
    change: dict[str, Estimate]


@dataclass(frozen=True)
class TornadoResult:
    """The bars ranked by the size of their change in ``measure`` (a PAIRED name), largest
    first, and the base model's estimates."""

    measure: str
    spread: float | None
    base: dict[str, Estimate]
    bars: tuple[TornadoBar, ...]
    runs: int
    seed: int

    def rows(self) -> list[dict[str, Any]]:
        rows = []
        for bar in self.bars:
            row: dict[str, Any] = {
                "key": bar.key,
                "value": bar.base_value,
                "low": bar.low,
                "high": bar.high,
            }
            for name in PAIRED:
                row |= _cells(f"{name} at low", bar.at_low[name])
                row |= _cells(f"{name} at high", bar.at_high[name])
                row |= _cells(f"{name}, change from low to high", bar.change[name])
            rows.append(row)
        return rows

    def to_dict(self) -> dict[str, Any]:
        from ..results.summary import json_safe

        return json_safe(
            {
                "measure": self.measure,
                "spread": self.spread,
                "runs": self.runs,
                "seed": self.seed,
                "base": {k: _estimate(e) for k, e in self.base.items()},
                "bars": self.rows(),
            }
        )

    def to_frame(self) -> Any:
        """The rows as a pandas DataFrame (pandas is optional: ImportError without it)."""
        return rows_frame(self.rows())


def _paired_estimates(values: dict[str, np.ndarray], confidence: float) -> dict[str, Estimate]:
    """Each PAIRED mean over runs with its t interval."""
    return {name: mean_over_runs(values[name], confidence) for name in PAIRED}


def tornado(
    document: Document,
    *,
    run_batch: RunBatch,
    spread: float | None = 0.2,
    keys: Sequence[str] | None = None,
    ranges: Mapping[str, tuple[float, float]] | None = None,
    measure: str = PAIRED[0],
    confidence: float = 0.95,
) -> TornadoResult:
    """Each parameter ``keys`` (default: every numeric parameter of every law,
    ``numeric_parameters``) at value x (1 - spread) and x (1 + spread), or at the (low,
    high) of ``ranges``, the rest at their values; ranked by the change in ``measure``."""
    if measure not in PAIRED:
        raise ValueError(f"measure must be one of {', '.join(PAIRED)}, got {measure!r}")
    ranges = dict(ranges or {})
    if spread is not None and not 0 < spread < 1:
        raise ValueError(f"the spread must lie strictly between 0 and 1, got {spread:g}")
    chosen = list(keys) if keys is not None else list(ranges) or list(numeric_parameters(document))
    if not chosen:
        raise ValueError("the model has no numeric parameter to vary")
    plans = []
    for key in chosen:
        value = document.get(key)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ModelError(key, f"holds {value!r}, not a number to vary", document.file or None)
        if key in ranges:
            low, high = ranges[key]
        elif spread is None:
            raise ValueError(f"{key}: give its range or a spread")
        else:
            low, high = value * (1 - spread), value * (1 + spread)
            if key.rsplit(".", 1)[-1] in _PROBABILITIES:
                high = min(high, 1.0)
            if key.rsplit(".", 1)[-1] in _WHOLE:  # a time unit or a count: whole only
                low, high = math.floor(low), math.ceil(high)
        plans.append((key, float(value), low, high))
    models = [
        (_at_point(document, [key], [low]), _at_point(document, [key], [high]))
        for key, _, low, high in plans
    ]
    base_stats = run_batch(document.model())
    base = _paired_estimates(_paired_values(base_stats), confidence)
    bars = []
    for (key, value, low, high), (low_model, high_model) in zip(plans, models, strict=True):
        at_low = _paired_values(run_batch(low_model))
        at_high = _paired_values(run_batch(high_model))
        change = {n: mean_difference(at_high[n], at_low[n], confidence) for n in PAIRED}
        bars.append(
            TornadoBar(
                key,
                value,
                low,
                high,
                _paired_estimates(at_low, confidence),
                _paired_estimates(at_high, confidence),
                change,
            )
        )
    bars.sort(key=lambda b: -abs(b.change[measure].value))
    return TornadoResult(measure, spread, base, tuple(bars), base_stats.n_runs, base_stats.seed)
