"""The text of a rare-event estimate, as ``tavoq run --rare`` prints it."""

from __future__ import annotations

from ..run.rare import RareEstimate

__all__ = ["rare_report"]

#: The components the report lists as causes, largest first; the JSON has them all.
CAUSES_SHOWN = 10


def rare_report(result: RareEstimate, target_ci: float | None = None) -> str:
    """The estimate with its interval, what it rests on, and its warnings."""
    e = result.unreliability
    working, degraded = result.factors
    lines = [
        f"Rare-event mode: {result.method}; {result.reason}.",
        f"Bias {result.bias:g}: failure rates x{working:,.4g} while every component works, "
        f"x{degraded:,.4g} while some component is failed.",
    ]
    if e.upper is None:
        lines.append(f"P(system failed by unit {result.horizon}): no estimate.")
    else:
        lines.append(
            f"P(system failed by unit {result.horizon}) = {e.value:.4g} "
            f"[{e.lower:.4g}, {e.upper:.4g}] (95%, +-{result.relative_half_width:.1%})"
        )
        lines.append(
            f"Failed runs: {result.hits:,} of {result.runs:,}, their weight spread over about "
            f"{result.effective_runs:,.0f}; the largest carries {result.largest_share:.2%}."
        )
        lines.append(
            f"Crude runs would need {result.variance_ratio:,.4g} times as many runs for the "
            "same interval (before their cost per run); the variance behind the interval is "
            f"known to +-{result.variance_error:.0%}."
        )
    if e.upper is not None and result.curve:
        lines.append("P(system failed within the first t units), from the same runs:")
        lines += [
            f"  t = {t:>{len(str(result.horizon))}}  {p.value:.4g} "
            + ("" if p.upper is None else f"[{p.lower:.4g}, {p.upper:.4g}]")
            for t, p in result.curve
        ]
    if e.upper is not None and result.causes:
        lines.append(
            "Brought down by (the component whose transition turned the system failed; its "
            "part of the estimate):"
        )
        width = max(len(name) for name, _ in result.causes[:CAUSES_SHOWN])
        lines += [
            f"  {name:<{width}}  {p.value:.4g} [{p.lower:.4g}, {p.upper:.4g}]  "
            f"{p.value / e.value:.1%}"
            for name, p in result.causes[:CAUSES_SHOWN]
        ]
        if len(result.causes) > CAUSES_SHOWN:
            lines.append(f"  ... and {len(result.causes) - CAUSES_SHOWN} more (in --json)")
    if target_ci is not None:
        met = result.relative_half_width <= target_ci
        lines.append(
            f"Target +-{target_ci:.1%}: {'met' if met else 'not met'} after {result.runs:,} runs."
        )
    lines += [f"Warning: {w}." for w in result.warnings]
    return "\n".join(lines)
