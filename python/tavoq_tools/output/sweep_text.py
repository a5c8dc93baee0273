"""Sweeps and tornado charts as ``tavoq sweep`` shows them: a table, CSV rows, and a figure of
the estimates with their bands (a sweep) or of the ranked bars (a tornado)."""

from __future__ import annotations

import csv
import io
import math
import sys
from typing import Any

from ..analysis.sweep import PAIRED, SweepResult, TornadoResult
from ..results.summary import Estimate
from .numbers import estimate_cell

__all__ = ["rows_csv", "sweep_png", "sweep_report", "tornado_png", "tornado_report"]


def _cell(e: Estimate | None, digits: int = 4) -> str:
    return estimate_cell(e, digits)


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    return [
        "  " + "  ".join(c.ljust(w) for c, w in zip(row, widths, strict=True)).rstrip()
        for row in [header, *rows]
    ]


def sweep_report(result: SweepResult) -> str:
    """Each point's estimates and their change from the first point, with intervals."""
    lines = [
        f"{len(result.points)} points, each {result.runs:,} runs seeded {result.seed} (the same "
        "runs and seeds at every point); changes from the first point are over the paired runs."
    ]
    for name in PAIRED:
        lines += ["", f"{name}:"]
        header = [*result.keys, name, "change from the first point"]
        rows = [
            [
                *(f"{v:g}" for v in point.values),
                _cell(point.estimates.get(name)),
                _cell(point.differences.get(name), 3),
            ]
            for point in result.points
        ]
        lines += _table(header, rows)
    return "\n".join(lines)


def tornado_report(result: TornadoResult) -> str:
    """The bars ranked by their change in the result's measure."""
    base = result.base[result.measure]
    how = (
        f"each parameter at x{1 - result.spread:g} and x{1 + result.spread:g}"
        if result.spread is not None
        else "each parameter over its range"
    )
    lines = [
        f"Tornado of the {result.measure} ({_cell(base)} as the model stands): {how}, "
        f"{result.runs:,} runs seeded {result.seed} at every end; changes over the paired runs.",
        "",
    ]
    header = ["parameter", "low", "high", "at low", "at high", "change, low to high"]
    rows = [
        [
            bar.key,
            f"{bar.low:g}",
            f"{bar.high:g}",
            _cell(bar.at_low[result.measure]),
            _cell(bar.at_high[result.measure]),
            _cell(bar.change[result.measure], 3),
        ]
        for bar in result.bars
    ]
    return "\n".join(lines + _table(header, rows))


def rows_csv(rows: list[dict[str, Any]]) -> str:
    """Rows of one shape as CSV, a header first; empty cells for None."""
    buffer = io.StringIO()
    if rows:
        writer = csv.DictWriter(buffer, fieldnames=list(rows[0]), lineterminator="\n")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: "" if v is None else v for k, v in row.items()})
    return buffer.getvalue()


def _figure() -> Any:
    from .figures import load_matplotlib

    Figure = load_matplotlib()
    if Figure is None:
        print("matplotlib is not installed: no figure written", file=sys.stderr)
    return Figure


def _png(fig: Any) -> bytes:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=100)
    return buffer.getvalue()


def _band(ax: Any, x: list[float], estimates: list[Estimate | None], label: str) -> None:
    shown = [(xi, e) for xi, e in zip(x, estimates, strict=True) if e is not None]
    xs = [xi for xi, _ in shown]
    ax.plot(xs, [e.value for _, e in shown], marker="o", label=label)
    low = [e.lower if e.lower is not None else e.value for _, e in shown]
    high = [e.upper if e.upper is not None else e.value for _, e in shown]
    ax.fill_between(xs, low, high, alpha=0.25)


def sweep_png(result: SweepResult) -> bytes | None:
    """Per PAIRED estimate: its value over the first key with the 95% band, one line per
    value of the other keys; below, its change from the first point with its band."""
    Figure = _figure()
    if Figure is None:
        return None
    fig = Figure(figsize=(12, 7), layout="constrained")
    grid = fig.add_gridspec(2, len(PAIRED))
    key = result.keys[0]
    others = sorted({p.values[1:] for p in result.points})
    for j, name in enumerate(PAIRED):
        top, bottom = fig.add_subplot(grid[0, j]), fig.add_subplot(grid[1, j])
        for rest in others:
            points = [p for p in result.points if p.values[1:] == rest]
            x = [p.values[0] for p in points]
            label = ", ".join(f"{k}={v:g}" for k, v in zip(result.keys[1:], rest, strict=True))
            _band(top, x, [p.estimates.get(name) for p in points], label or name)
            _band(bottom, x, [p.differences.get(name) for p in points], label or name)
        top.set_title(name, fontsize=10)
        bottom.set_title(f"{name}: change from the first point", fontsize=10)
        for ax in (top, bottom):
            ax.set_xlabel(key, fontsize=8)
            if result.log_scale[0]:
                ax.set_xscale("log")
                ax.tick_params(axis="x", which="minor", labelbottom=False)
        if len(others) > 1:
            top.legend(fontsize=7)
    return _png(fig)


def tornado_png(result: TornadoResult, limit: int = 25) -> bytes | None:
    """Bars from the measure at the low end to the high end, around the model's value,
    largest change on top, each end with its interval."""
    Figure = _figure()
    if Figure is None:
        return None
    bars = list(result.bars[:limit])[::-1]
    fig = Figure(figsize=(11, 1 + 0.35 * max(1, len(bars))), layout="constrained")
    ax = fig.add_subplot(1, 1, 1)
    base = result.base[result.measure].value
    for i, bar in enumerate(bars):
        low, high = bar.at_low[result.measure], bar.at_high[result.measure]
        ax.barh(i, low.value - base, left=base, color="tab:blue", alpha=0.7)
        ax.barh(i, high.value - base, left=base, color="tab:red", alpha=0.7)
        for e in (low, high):
            if e.lower is not None and e.upper is not None and math.isfinite(e.upper):
                ax.plot([e.lower, e.upper], [i, i], color="black", linewidth=1)
    ax.axvline(base, color="grey", linewidth=0.8)
    ax.set_yticks(range(len(bars)), [b.key for b in bars], fontsize=8)
    ax.set_xlabel(f"{result.measure} (blue: parameter low, red: high)")
    return _png(fig)
