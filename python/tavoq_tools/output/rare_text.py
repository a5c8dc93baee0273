"""The text of a rare-event estimate, as ``tavoq run --rare`` prints it."""

from __future__ import annotations

from ..run.rare import RareEstimate
from .numbers import estimate_cell

__all__ = ["rare_report"]

#: The components the report lists as causes, largest first; the JSON has them all.
CAUSES_SHOWN = 10


def _share(x: float) -> str:
    """A relative half-width as a percentage, with digits where it is below 1%."""
    return f"{x:.1%}" if x >= 0.01 or x == 0 else f"{100 * x:.2g}%"


def rare_report(result: RareEstimate, target_ci: float | None = None) -> str:
    """The estimate with its interval, what it rests on, and its warnings."""
    e = result.unreliability
    splitting = bool(result.levels)
    lines = [f"Rare-event mode: {result.method}; {result.reason}."]
    if splitting:
        away = result.levels[-1]
        failures = f"{away} failure{'s' if away != 1 else ''} away"
        if len(result.levels) > 1:
            lines.append(
                f"{result.runs:,} independent roots, split at "
                f"{', '.join(map(str, result.levels[:-1]))} component failures nearer the top "
                f"into {', '.join(map(str, result.splits))} copies; the failed system is "
                f"{failures}."
            )
        else:
            lines.append(
                f"{result.runs:,} independent roots and no level to split at: the failed "
                f"system is {failures}, so the roots are crude runs."
            )
        if result.cause_factor > 1:
            lines.append(
                f"Common causes of several units drawn x{result.cause_factor:,.4g} as often "
                "as their laws say, each path weighed back by its likelihood ratio."
            )
        if result.causes_natural:
            lines.append(result.causes_natural[0].upper() + result.causes_natural[1:] + ".")
        if result.start_factor > 1:
            lines.append(
                f"First failures drawn x{result.start_factor:,.4g} as often as their laws say "
                "while the system is at its start level (they are rare within the horizon), "
                "each path weighed back by its likelihood ratio."
            )
    elif result.cut_set_sum is not None:
        lines.append(
            "Each run fails one minimal cut set, picked as often as its probability (they sum "
            f"to {result.cut_set_sum:.4g}), and draws the other components as they are; each "
            "run weighed by its likelihood ratio."
        )
    else:
        working, degraded = result.factors
        if working == degraded == 1.0 and (result.demand_chance > 0 or result.life_chance > 0):
            lines.append(f"Bias {result.bias:g}: no failure rate scaled.")
        else:
            lines.append(
                f"Bias {result.bias:g}: failure rates x{working:,.4g} while every component "
                f"works, x{degraded:,.4g} while some component is failed."
            )
        if result.demand_chance > 0:
            lines.append(
                f"Failures on demand rarer than {result.demand_chance:.4g} drawn with that "
                "chance, each run weighed back by its likelihood ratio."
            )
        if result.life_chance > 0:
            lines.append(
                f"Weibull, lognormal and gamma lives that end within the run with a chance "
                f"below {result.life_chance:.4g} made to end there with that chance, each run "
                "weighed back by its likelihood ratio."
            )
    if e.upper is None:
        lines.append(f"P(system failed by unit {result.horizon}): no estimate.")
    else:
        lines.append(
            f"P(system failed by unit {result.horizon}) = {estimate_cell(e)} "
            f"(95%, +-{_share(result.relative_half_width)})"
        )
    if e.upper is not None and splitting:
        lines.append(
            "Crossings up into each level over all roots: "
            + ", ".join(f"{h:,}" for h in result.level_hits)
            + f" (the last, failures); the largest root carries {result.largest_share:.2%} "
            "of the estimate."
        )
        lines.append(
            f"Crude runs would need {result.variance_ratio:,.4g} times as many runs as these "
            "trajectories for the same interval (a trajectory costs at most a crude run)."
        )
    elif e.upper is not None:
        lines.append(
            f"Failed runs: {result.hits:,} of {result.runs:,}, their weight spread over about "
            f"{result.effective_runs:,.0f}; the largest carries {result.largest_share:.2%}."
        )
        lines.append(
            f"Crude runs would need {result.variance_ratio:,.4g} times as many runs for the "
            "same interval (before their cost per run); the variance behind the interval is "
            f"known to +-{result.variance_error:.0%}."
        )
    for name, figure in (
        ("Mean unavailability", result.mean_unavailability),
        ("Expected system failures", result.failures),
    ):
        if e.upper is not None and figure is not None and figure.upper is not None:
            lines.append(f"{name} over the horizon = {estimate_cell(figure)}")
    if e.upper is not None and result.curve:
        lines.append("P(system failed within the first t units), from the same runs:")
        lines += [
            f"  t = {t:>{len(str(result.horizon))}}  {estimate_cell(p)}" for t, p in result.curve
        ]
    if e.upper is not None and result.causes:
        lines.append(
            "Brought down by (the component whose transition turned the system failed; its "
            "part of the estimate):"
        )
        width = max(len(name) for name, _ in result.causes[:CAUSES_SHOWN])
        lines += [
            f"  {name:<{width}}  {estimate_cell(p)}  {p.value / e.value:.1%}"
            for name, p in result.causes[:CAUSES_SHOWN]
        ]
        if len(result.causes) > CAUSES_SHOWN:
            lines.append(f"  ... and {len(result.causes) - CAUSES_SHOWN} more (in --json)")
    for title, listed in (
        (
            "Minimal cut sets failed at the failure (a failure may count in several)",
            result.cut_sets,
        ),
        ("Named gates failed at the failure", result.gates),
    ):
        if e.upper is None or not listed:
            continue
        lines.append(f"{title}:")
        width = max(len(name) for name, _ in listed[:CAUSES_SHOWN])
        lines += [
            f"  {name:<{width}}  {estimate_cell(p)}  {p.value / e.value:.1%}"
            for name, p in listed[:CAUSES_SHOWN]
        ]
        if len(listed) > CAUSES_SHOWN:
            lines.append(f"  ... and {len(listed) - CAUSES_SHOWN} more (in --json)")
    if target_ci is not None:
        met = result.relative_half_width <= target_ci
        lines.append(
            f"Target +-{target_ci:.1%}: {'met' if met else 'not met'} after {result.runs:,} "
            f"{'roots' if splitting else 'runs'}."
        )
    lines += [f"Warning: {w}." for w in result.warnings]
    return "\n".join(lines)
