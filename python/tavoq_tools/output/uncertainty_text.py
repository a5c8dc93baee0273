"""Parameter uncertainty as ``tavoq run --uncertainty`` shows it: the mean and percentiles
of each result over the parameters' distribution, the parameters ranked by rank
correlation, and a figure of each result's histogram and distribution function."""

from __future__ import annotations

import io
import sys

import numpy as np

from ..analysis.uncertainty import RESULTS, UncertaintyResult
from ..results.summary import Estimate
from .numbers import estimate_cell

__all__ = ["uncertainty_png", "uncertainty_report"]


def _cell(e: Estimate | None, digits: int = 4) -> str:
    return estimate_cell(e, digits)


def uncertainty_report(result: UncertaintyResult) -> str:
    lines = [
        f"Parameter uncertainty: {result.samples:,} samples of {len(result.parameters)} "
        f"uncertain parameters, {result.inner_runs:,} runs each (runs j x "
        f"{result.inner_runs:,} onwards of the batch seeded {result.seed} for sample j).",
    ]
    for name in RESULTS:
        lines += ["", f"{name} over the parameters' distribution (95% intervals):"]
        lines.append(f"  mean             {_cell(result.mean[name]):<34} Student t over samples")
        for p in result.percentiles[name]:
            label = f"{p.percent}th percentile"
            lines.append(f"  {label:<16} {_cell(p.estimate):<34} order statistics")
        lines.append(f"  inner-run noise  {result.inner_share[name]:.1%} of the samples' variance")
        if result.ranking[name]:
            lines.append(
                "  parameters by Spearman's rank correlation with it (Fisher z interval):"
            )
            width = max(len(r.key) for r in result.ranking[name])
            for r in result.ranking[name]:
                lines.append(f"    {r.key:<{width}}  {_cell(r.correlation)}")
    lines += [f"Warning: {w}." for w in result.warnings]
    return "\n".join(lines)


def uncertainty_png(result: UncertaintyResult) -> bytes | None:
    """Per result: a histogram of the samples' values and their distribution function,
    the mean and the 5th and 95th percentiles marked."""
    from .figures import load_matplotlib

    Figure = load_matplotlib()
    if Figure is None:
        print("matplotlib is not installed: no figure written", file=sys.stderr)
        return None
    fig = Figure(figsize=(12, 4), layout="constrained")
    for k, name in enumerate(RESULTS):
        ax = fig.add_subplot(1, len(RESULTS), k + 1)
        values = np.sort(result.results[:, k])
        ax.hist(values, bins=min(50, max(5, len(values) // 20)), color="tab:blue", alpha=0.5)
        cdf = ax.twinx()
        cdf.plot(values, np.arange(1, len(values) + 1) / len(values), color="tab:red")
        cdf.set_ylim(0, 1)
        cdf.set_ylabel("fraction of samples at or below", fontsize=8)
        ax.axvline(result.mean[name].value, color="black", linewidth=1)
        for p in result.percentiles[name]:
            if p.percent != 50:
                ax.axvline(p.estimate.value, color="grey", linestyle="--", linewidth=0.8)
        ax.set_title(name, fontsize=10)
        ax.set_ylabel("samples", fontsize=8)
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=100)
    return buffer.getvalue()
