"""Plain-text reports of unavailability results."""

from __future__ import annotations

from collections.abc import Iterable
from itertools import pairwise

from ..results.intervals import UnavailabilityCurve
from ..results.summary import Estimate


def _pct(confidence: float) -> str:
    return f"{confidence * 100:g}%"


def format_summary(
    curve: UnavailabilityCurve,
    times: Iterable[int],
    mean: Estimate | None = None,
    time_unit: str = "h",
) -> str:
    """A table of the point unavailability at ``times`` and, if given, the mean with its CI
    (``Summary.mean_unavailability``)."""
    pct = _pct(curve.confidence)
    lines = [
        f"Point unavailability over {curve.n_runs} runs "
        f"(binomial std. error, Wilson {pct} interval):",
        f"  {'time [' + time_unit + ']':>12}  {'unavail.':>10}  {'std. err.':>9}  {pct} interval",
    ]
    for t in times:
        if not 0 <= t < len(curve):
            raise ValueError(f"time {t} lies outside the horizon 0..{len(curve) - 1}")
        lines.append(
            f"  {t:>12}  {curve.value[t]:>10.4g}  {curve.stderr[t]:>9.2g}  "
            f"[{curve.lower[t]:.4g}, {curve.upper[t]:.4g}]"
        )
    if mean is not None:
        interval = (
            "no interval" if mean.lower is None or mean.upper is None
            else f"95% interval [{mean.lower:.4g}, {mean.upper:.4g}]"
        )
        lines.append(
            f"Mean unavailability over 0..{len(curve) - 1} {time_unit}: {mean.value:.4g} "
            f"({interval}, {mean.method})"
        )
    return "\n".join(lines)


def text_curve(
    values: list[float] | tuple[float, ...],
    rows: int = 24,
    width: int = 50,
    time_unit: str = "h",
) -> str:
    """A coarse horizontal bar chart: one row per slice of the horizon, bar = its maximum.

    The maximum rather than the mean of each slice keeps the peaks of a saw-tooth visible.
    Bars are scaled to the largest value in the curve, which the header states.
    """
    if not values:
        raise ValueError("empty curve")
    rows = max(1, min(rows, len(values)))
    top = max(values)
    scale = width / top if top > 0 else 0.0
    bounds = [round(i * len(values) / rows) for i in range(rows + 1)]
    lines = [f"  {'from [' + time_unit + ']':>12}  max. unavail.  (bar: 0 .. {top:.3g})"]
    for start, stop in pairwise(bounds):
        peak = max(values[start:stop])
        lines.append(f"  {start:>12}  {peak:>13.4g}  {'#' * round(peak * scale)}")
    return "\n".join(lines)

