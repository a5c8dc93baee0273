"""Optional PNG plot of an unavailability curve; matplotlib is imported only when plotting."""

from __future__ import annotations

import sys
from pathlib import Path

from .stats import MeanUnavailability, UnavailabilityCurve


def plot_unavailability(
    curve: UnavailabilityCurve,
    path: str | Path,
    mean: MeanUnavailability | None = None,
    title: str = "Unavailability",
    time_unit: str = "h",
    log_scale: bool = False,
) -> Path | None:
    """Write the curve with its confidence band (and the mean, if given) to a PNG at ``path``.

    ``log_scale`` shows small unavailabilities next to large ones; time units with no failed
    run then leave gaps, as log(0) has no place on the axis.
    Returns the path written, or None after saying so on stderr when matplotlib is missing.
    """
    try:
        from matplotlib.figure import Figure
    except ImportError:
        print("matplotlib is not installed: no plot written", file=sys.stderr)
        return None

    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    times = range(len(curve))
    # A bare Figure renders with the Agg canvas and leaves pyplot's global state alone.
    fig = Figure(figsize=(9, 4.5), layout="constrained")
    ax = fig.add_subplot()
    pct = f"{curve.confidence * 100:g}%"
    ax.fill_between(times, curve.lower, curve.upper, step="post", alpha=0.3,
                    color="tab:blue", label=f"Wilson {pct} interval")
    ax.step(times, curve.value, where="post", color="tab:blue", linewidth=1.0,
            label=f"point unavailability ({curve.n_runs} runs)")
    if mean is not None:
        ax.axhspan(mean.lower, mean.upper, color="tab:red", alpha=0.15)
        ax.axhline(mean.mean, color="tab:red", linewidth=1.0, linestyle="--",
                   label=f"mean {mean.mean:.3g} [{mean.lower:.3g}, {mean.upper:.3g}]")
    ax.set_xlim(0, max(1, len(curve) - 1))
    if log_scale:
        ax.set_yscale("log", nonpositive="mask")
    else:
        ax.set_ylim(bottom=0)
    ax.set_xlabel(f"time [{time_unit}]")
    ax.set_ylabel("unavailability")
    ax.set_title(title)
    ax.grid(alpha=0.3)
    ax.legend(loc="best", fontsize="small")
    fig.savefig(path, format="png", dpi=110)
    return path
