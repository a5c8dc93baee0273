"""Optional PNG figures of results; matplotlib is imported only when plotting."""

from __future__ import annotations

import io
import sys
from pathlib import Path
from typing import Any

from ..results.summary import Estimate, Summary
from .atomic import write_files
from .numbers import distinct_digits, number


def _mean_line(ax: Any, mean: Estimate, colour: str = "tab:red") -> None:
    digits = distinct_digits((mean.lower, mean.value, mean.upper), number, 3)
    label = f"mean {number(mean.value, digits)}"
    if mean.lower is not None and mean.upper is not None:
        ax.axhspan(mean.lower, mean.upper, color=colour, alpha=0.15)
        label += f" [{number(mean.lower, digits)}, {number(mean.upper, digits)}] ({mean.method})"
    ax.axhline(mean.value, color=colour, linewidth=1.0, linestyle="--", label=label)


MAX_BARS = 20  # components shown in the criticality chart, most critical first
# Longer bar labels are cut short in the middle, keeping the end that tells the members of
# a group apart: at the longest name a model may give, the labels would squeeze the plots.
MAX_LABEL = 32


def _label(name: str) -> str:
    if len(name) <= MAX_LABEL:
        return name
    tail = MAX_LABEL // 2
    return name[: MAX_LABEL - tail - 1] + "\u2026" + name[-tail:]


def _criticality_bars(
    ax: Any,
    named: list[tuple[str, Estimate | None]],
    what: str,
    summary: Summary,
    colour: str,
) -> None:
    """Horizontal bars of the criticality index of ``named`` (in the order given)."""
    pct = f"{summary.confidence * 100:g}%"
    rows = [(name, e) for name, e in named if e is not None]
    if rows:
        values = [e.value for _, e in rows]
        errors = [
            [e.value - (e.lower or 0.0) for _, e in rows],
            [(e.upper if e.upper is not None else e.value) - e.value for _, e in rows],
        ]
        positions = list(range(len(rows)))
        ax.barh(
            positions,
            values,
            xerr=errors,
            color=colour,
            capsize=3,
            label=f"criticality index, {pct} interval ({rows[0][1].method})",
        )
        ax.set_yticks(positions, [_label(name) for name, _ in rows])
        ax.invert_yaxis()  # the first on top
        ax.set_xlim(0, 1)
        ax.legend(loc="lower right", fontsize="small")
    else:
        ax.text(
            0.5,
            0.5,
            "no system failure occurred: no criticality to show",
            ha="center",
            transform=ax.transAxes,
        )
        ax.set_yticks([])
    verb = "triggered" if what == "component" else "failed with"
    ax.set_xlabel(f"criticality index: share of the system failures the {what} {verb}")
    ax.set_title(f"Criticality of the {what}s ({summary.system_failures} system failures)")
    ax.grid(axis="x", alpha=0.3)


class FigureError(RuntimeError):
    """matplotlib is installed but cannot be loaded, so a figure asked for cannot be made."""


def load_matplotlib() -> Any:
    """matplotlib's Figure class; None when matplotlib is not installed. FigureError, with the
    real reason, when it is installed but fails to load (a library it needs is missing, the
    process is out of address space): that is no reason to go on without the figure."""
    try:
        from matplotlib.figure import Figure
    except ModuleNotFoundError as err:
        if err.name in ("matplotlib", "matplotlib.figure"):
            return None
        raise FigureError(f"matplotlib is installed but fails to load: {err}") from None
    except (ImportError, MemoryError, OSError) as err:
        reason = str(err) or ("not enough memory" if isinstance(err, MemoryError) else "")
        raise FigureError(
            f"matplotlib is installed but fails to load: {type(err).__name__}: {reason}"
        ) from None
    return Figure


def plot_summary(summary: Summary, path: str | Path) -> Path | None:
    """Write a PNG of ``summary`` (see ``figure_png``) to ``path``.

    The file appears complete or not at all (written beside ``path``, then renamed). Returns
    the path written, or None after saying so on stderr when matplotlib is missing; raises
    FigureError when it is installed and fails to load.
    """
    png = figure_png(summary)
    if png is None:
        return None
    return write_files({path: png})[0]


def figure_png(summary: Summary) -> bytes | None:
    """A PNG of ``summary``: point unavailability and reliability over time with their bands,
    and the criticality index of the components as bars with their intervals. None, after
    saying so on stderr, when matplotlib is missing; FigureError when it is installed and
    fails to load (``load_matplotlib``)."""
    Figure = load_matplotlib()
    if Figure is None:
        print(
            "matplotlib is not installed: no figure written (pip install matplotlib to get one)",
            file=sys.stderr,
        )
        return None

    unit = f" [{summary.unit}]" if summary.unit else ""
    pct = f"{summary.confidence * 100:g}%"
    fig = Figure(figsize=(11, 9), layout="constrained")
    grid = fig.add_gridspec(2, 2)
    curves = (
        (fig.add_subplot(grid[0, 0]), summary.unavailability, "point unavailability", "tab:red"),
        (fig.add_subplot(grid[0, 1]), summary.reliability, "reliability R(t)", "tab:blue"),
    )
    # One step per bin (per unit when the bins are one unit wide): the unavailability is a
    # bin's mean, drawn over the bin; R(t) is its value at the bin's last unit.
    # The axis is in the model's own time: a unit lasts ``step`` of it (1 for most models).
    starts, ends = summary.bin_starts * summary.step, summary.bin_ends * summary.step
    for ax, curve, label, colour in curves:
        times = starts if curve is summary.unavailability else ends
        if summary.horizon:
            ax.fill_between(
                times,
                curve.lower,
                curve.upper,
                step="post",
                alpha=0.3,
                color=colour,
                label=f"{pct} band ({curve.method})",
            )
            ax.step(times, curve.value, where="post", color=colour, linewidth=1.0, label=label)
            if curve is summary.unavailability and summary.planned is not None:
                # The planned stops' share of it, under the whole.
                ax.step(
                    times,
                    summary.planned.curve.value,
                    where="post",
                    color="tab:purple",
                    linewidth=1.0,
                    label="planned stops only",
                )
            if curve is summary.unavailability and summary.mean_unavailability is not None:
                _mean_line(ax, summary.mean_unavailability, "black")
            ax.set_xlim(0, max(1, summary.horizon - 1) * summary.step)
            # Below the axes: inside, the legend would hide a spike or the curve near 0.
            ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.16), fontsize="small")
        else:
            ax.text(0.5, 0.5, "horizon 0: nothing simulated", ha="center", transform=ax.transAxes)
        ax.set_ylim(0, 1.02 if curve is summary.reliability else None)
        ax.set_xlabel(f"time{unit}")
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
    curves[0][0].set_title(f"Unavailability ({summary.n_runs} runs)")
    curves[1][0].set_title("Reliability: no system failure up to t")

    if summary.gates:
        # A fault tree is read top-down: the top, then the gates in the order written.
        gates = [(g.name, g.criticality) for g in summary.gates_top_down()[:MAX_BARS]]
        _criticality_bars(fig.add_subplot(grid[1, 1]), gates, "gate", summary, "tab:green")
        components = fig.add_subplot(grid[1, 0])
    else:
        components = fig.add_subplot(grid[1, :])
    rows = [(c.name, c.criticality) for c in summary.components]
    rows = sorted(rows, key=lambda row: -row[1].value if row[1] else 0.0)[:MAX_BARS]
    _criticality_bars(components, rows, "component", summary, "tab:orange")

    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=100)
    return buffer.getvalue()
