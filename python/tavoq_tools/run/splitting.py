"""Rare-event estimates by RESTART splitting (docs/rare-events.md): the general method,
which keeps every law of the model and multiplies the runs that come near a failure.

A root (``tavoq.runnerRareSplitting``) is one run over the horizon. The levels count how
many component failures nearer the top is than with every component working, so they come
from the logic itself; the last is the failed system. When a run ends a unit at a higher
level than before, it is split into ``splits[k - 1]`` copies at each level k it reached; the
copies are drawn again from there and are dropped when they fall below the level they were
born at, so in a repairable system the work stays near the paths to failure. Every failure
then weighs 1 / (the product of the splits), which makes the estimate unbiased for any
levels and splits. The splits are chosen by a pilot, discarded, so that a copy born at a
level has about one descendant at the next (1 / the chance of going on up).

The roots are independent, and the interval is Student t over them. Trajectories of the last
level run on after their failure, so the same roots give the mean unavailability and the
expected number of system failures of repairable systems.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from ..errors import INT32_MIN, ModelError, check_integer
from ..model.interactions import CommonCause
from ..model.system import Model, check_levels
from ..results.intervals import poisson_interval, student_t_quantile
from ..results.summary import Estimate
from .rare import CURVE_POINTS, FEW_HITS, LARGEST_SHARE, RareEstimate, failed_at_failure

__all__ = ["choose_splits", "rare_splitting"]

METHOD = "RESTART splitting"
REASON = (
    "it keeps every law of the model, and its levels, counts of component failures, come from "
    "the logic"
)
# Roots per engine call, and the pilot's roots per round and most rounds.
ROOTS_PER_CALL = 20_000
PILOT_ROOTS = 200
MAX_PILOT_ROOTS = 200_000
PILOT_ROUNDS = 6
# A level's chance of going on up is read from the pilot once this many copies were born
# there and this many went on; the splits stay within 1 .. MAX_SPLIT, and a level not read
# gets at most GROWTH times its split of the round before.
PILOT_BORN = 50
PILOT_THROUGH = 5
MAX_SPLIT = 10_000
GROWTH = 4
# The pilot's roots are seeded apart from the estimate's.
PILOT_SEED = 0x2545F491


def choose_splits(
    matrix: Any,
    tree: Any,
    horizon: int,
    seed: int,
    levels: Sequence[int] = (),
    interactions: Any = None,
) -> tuple[list[int], list[int], list[str]]:
    """(levels, splits, notes): a split per level but the failed system's, about 1 / the
    chance that a copy born at that level goes on up before it falls back, from pilot roots
    that are then discarded (so the choice, made from other runs, biases nothing). Rounds
    start from 2 everywhere and stop once every level was read and no split moved by more
    than a third. ``notes`` names the levels the pilot never read: their splits are guesses."""
    import tavoq

    pilot_seed = (seed ^ PILOT_SEED) & 0x7FFFFFFF
    found = tavoq.runnerRareSplitting(
        0, horizon, matrix, tree, pilot_seed, [], list(levels), interactions=interactions
    )
    all_levels = [int(v) for v in found["levels"]]
    splits = [2] * (len(all_levels) - 1)
    read = [False] * len(splits)
    roots, first = PILOT_ROOTS, 0
    for _ in range(PILOT_ROUNDS):
        out = tavoq.runnerRareSplitting(
            roots,
            horizon,
            matrix,
            tree,
            pilot_seed,
            splits,
            all_levels,
            firstRoot=first,
            interactions=interactions,
        )
        first += roots
        new: list[int] = []
        for k, (born, through) in enumerate(zip(out["born"], out["through"], strict=True)):
            read[k] = born >= PILOT_BORN and through >= PILOT_THROUGH
            if read[k]:
                split = round(born / through)
            elif born >= PILOT_BORN or (k > 0 and all(read[:k])):
                # Reached, but few went on; or the lowest level not read above read ones:
                # more copies there bring both.
                split = GROWTH * splits[k]
            elif k == 0:  # a rare first failure: more roots, below
                split = splits[k]
            else:  # hardly reached: as the level below, which is usually less
                split = max(splits[k], min(GROWTH * splits[k], max(new[-1:] or [1])))
            new.append(min(MAX_SPLIT, max(1, split)))
        settled = all(read) and all(
            abs(a - b) <= max(a, b) / 3 for a, b in zip(new, splits, strict=True)
        )
        splits = new
        if settled:
            break
        if out["crossings"][0] < PILOT_BORN:
            # Roots that never leave level 0 cost a few events each: take enough of them
            # for the first level to be crossed.
            roots = min(MAX_PILOT_ROOTS, roots * GROWTH * GROWTH)
    notes = [
        f"the pilot did not reach level {all_levels[k]} often enough to choose its split "
        f"({splits[k]} is a guess)"
        for k in range(len(splits))
        if not read[k]
    ]
    return all_levels, splits, notes


def rare_splitting(
    model: Model,
    runs: int | None = None,
    seed: int | None = None,
    *,
    levels: Sequence[int] | None = None,
    splits: Sequence[int] | None = None,
    horizon: int | None = None,
    target_ci: float | None = None,
    max_runs: int | None = None,
    tree: Any = None,
) -> RareEstimate:
    """P(``model``'s system fails within ``horizon``) by RESTART splitting, with the curve,
    the causes, and the mean unavailability and expected failures.

    ``runs`` is the number of roots (default: [simulation] runs). ``levels`` are the
    importance thresholds to split at (default: every count of component failures up to the
    failed system's); ``splits`` one factor per level but the last (default: chosen by
    choose_splits). With ``target_ci``, roots are added (doubling, up to ``max_runs``,
    default 100 times ``runs``) until the 95% interval's half-width is at most ``target_ci``
    times the estimate; the roots continue the batch's, so the result equals one call of
    their number.
    @raises ModelError  logic with non-coherent gates, levels that do not increase
                        within 1 .. the failed level, splits of the wrong number."""
    import tavoq

    sim = model.simulation
    runs = check_integer("runs", sim.runs if runs is None else runs, 2)
    seed = check_integer("seed", sim.seed if seed is None else seed, INT32_MIN)
    horizon = check_integer("horizon", sim.horizon if horizon is None else horizon)
    if target_ci is not None and not (isinstance(target_ci, (int, float)) and target_ci > 0):
        raise ModelError("target_ci", f"must be a number above 0, got {target_ci!r}")
    limit = check_integer("max_runs", 100 * runs if max_runs is None else max_runs, runs)
    asked = [] if levels is None else list(check_levels(levels))
    matrix, built, interactions = model.build()
    tree = built if tree is None else tree
    notes: list[str] = []
    try:
        if splits is None:
            asked, chosen, notes = choose_splits(matrix, tree, horizon, seed, asked, interactions)
        else:
            chosen = [check_integer("rare.splits", v, 1) for v in splits]
        parts: list[dict[str, Any]] = []
        done = 0
        goal = runs
        while True:
            while done < goal:
                n = min(ROOTS_PER_CALL, goal - done)
                out = tavoq.runnerRareSplitting(
                    n,
                    horizon,
                    matrix,
                    tree,
                    seed,
                    chosen,
                    asked,
                    firstRoot=done,
                    interactions=interactions,
                )
                out["hitRoot"] = out["hitRoot"] + done
                parts.append(out)
                done += n
            result = _estimate(_joined(parts), done, horizon, seed, chosen, notes, model)
            if target_ci is None or result.relative_half_width <= target_ci or done >= limit:
                return result
            goal = min(2 * done, limit)
    except ValueError as err:
        text = str(err)
        key = "rare.splits" if "splitting factor" in text else "rare.levels"
        raise ModelError(
            key if "levels" in text or key == "rare.splits" else "rare", text
        ) from None


def _joined(parts: list[dict[str, Any]]) -> dict[str, Any]:
    joined: dict[str, Any] = {
        "levels": parts[0]["levels"],
        "weight": parts[0]["weight"],
        "causeFactors": parts[0]["causeFactors"],
        "startFactor": parts[0]["startFactor"],
    }
    for key in (
        "hits",
        "weightedDowntime",
        "weightedFailures",
        "trajectories",
        "hitRoot",
        "failureUnit",
        "failureWeight",
        "cause",
        "failedCount",
        "failed",
    ):
        joined[key] = np.concatenate([p[key] for p in parts])
    for key in ("crossings", "born", "through"):
        joined[key] = sum(p[key] for p in parts)
    return joined


def _over_roots(per_root: np.ndarray, hits: int, what: str) -> Estimate:
    """Student t over the roots, never narrower than the Poisson interval of the failures
    behind it, scaled."""
    n = len(per_root)
    mean = math.fsum(per_root.tolist()) / n
    if hits == 0 or mean == 0:
        return Estimate(0.0, 0.0, None, f"{METHOD}; no trajectory reached the failed system")
    half = student_t_quantile(0.975, n - 1) * float(np.std(per_root, ddof=1)) / math.sqrt(n)
    low, high = poisson_interval(hits, 0.95)
    return Estimate(
        mean,
        max(0.0, min(mean - half, mean * low / hits)),
        max(mean + half, mean * high / hits),
        f"{METHOD}; {what}",
    )


def _estimate(
    runs: dict[str, Any],
    roots: int,
    horizon: int,
    seed: int,
    splits: list[int],
    notes: list[str],
    model: Model,
) -> RareEstimate:
    weight = float(runs["weight"])
    total = int(runs["hits"].sum())
    per_root = weight * np.bincount(
        runs["hitRoot"], weights=runs["failureWeight"], minlength=roots
    )
    estimate = _over_roots(per_root, total, "t over roots")
    mean = estimate.value
    levels = tuple(int(v) for v in runs["levels"])
    level_hits = (*(int(v) for v in runs["crossings"]), total)
    warnings = list(notes)
    if total == 0:
        warnings.append("no trajectory reached the failed system: the roots say nothing of it")
        half, largest, ratio = math.inf, 0.0, math.nan
    else:
        half = max(estimate.upper - mean, mean - estimate.lower)  # type: ignore[operator]
        largest = float(per_root.max()) / float(per_root.sum())
        variance = float(np.var(per_root, ddof=1))
        # Work in trajectories: each costs at most a crude run, most far less.
        work = float(runs["trajectories"].mean())
        ratio = mean * (1.0 - mean) / (variance * work) if variance > 0 else math.inf
        thin = [f"{lv} ({h:,})" for lv, h in zip(levels, level_hits, strict=True) if h < FEW_HITS]
        if thin:
            warnings.append(f"few hits at level {', '.join(thin)}: the interval rests on them")
        if largest > LARGEST_SHARE / 5:
            warnings.append(
                f"one root carries {largest:.0%} of the estimate: the roots' estimates are "
                "skewed, and the interval may be too narrow; run more roots"
            )
        else:
            # Roots that met no shock look least skewed and miss most: the batch's own spread
            # cannot tell (docs/rare-events.md, "A shock that jumps levels"). An exponential
            # shock is drawn more often instead, when it is rare (CauseBias); others are not.
            shocks = [c for c in model.common_causes if len(c.members) > 1 and not _exponential(c)]
            if shocks:
                warnings.append(
                    f"common cause {shocks[0].name} fails {len(shocks[0].members)} units at "
                    "once and its law is not exponential, so it cannot be drawn more often: "
                    "the rare roots where such a shock leads to the failure carry much of the "
                    "estimate, and while none is among the roots the interval is too narrow; "
                    "run more roots"
                )
    curve, causes = _curve_and_causes(
        runs, roots, weight, horizon, estimate, model.component_names
    )
    cut_sets, gates = failed_at_failure(
        model, runs["failedCount"], runs["failed"], _part(runs, roots, weight)
    )
    return RareEstimate(
        method=METHOD,
        reason=REASON,
        runs=roots,
        horizon=horizon,
        seed=seed,
        bias=math.nan,
        factors=(1.0, 1.0),
        unreliability=estimate,
        relative_half_width=half / mean if mean > 0 else math.inf,
        hits=total,
        effective_runs=math.nan,
        largest_share=largest,
        variance_ratio=ratio,
        variance_error=math.nan,
        warnings=tuple(warnings),
        curve=curve,
        causes=causes,
        splits=tuple(splits),
        levels=levels,
        level_hits=level_hits,
        mean_unavailability=_over_roots(
            weight * runs["weightedDowntime"] / max(horizon, 1), total, "t over roots"
        ),
        failures=_over_roots(weight * runs["weightedFailures"], total, "t over roots"),
        cause_factor=max(runs["causeFactors"], default=1.0),
        start_factor=runs["startFactor"],
        cut_sets=cut_sets,
        gates=gates,
    )


def _exponential(cause: CommonCause) -> bool:
    return cause.beta is not None or cause.distribution == "exponential"


def _part(runs: dict[str, Any], roots: int, weight: float) -> Callable[[np.ndarray], Estimate]:
    """The estimate from the first failures of a boolean mask over them."""
    root, ratio = runs["hitRoot"], runs["failureWeight"]

    def part(mine: np.ndarray) -> Estimate:
        per_root = weight * np.bincount(root[mine], weights=ratio[mine], minlength=roots)
        return _over_roots(per_root, int(mine.sum()), "t over roots")

    return part


def _curve_and_causes(
    runs: dict[str, Any],
    roots: int,
    weight: float,
    horizon: int,
    estimate: Estimate,
    names: list[str],
) -> tuple[tuple[tuple[int, Estimate], ...], tuple[tuple[str, Estimate], ...]]:
    unit, cause = runs["failureUnit"], runs["cause"]
    if len(unit) == 0 or horizon <= 0:
        return (), ()
    part = _part(runs, roots, weight)

    points = sorted(
        {max(1, round(horizon * k / CURVE_POINTS)) for k in range(1, CURVE_POINTS + 1)}
    )
    curve = tuple((t, estimate if t == horizon else part(unit < t)) for t in points)
    found = [
        (names[c] if c < len(names) else f"#{c}", part(cause == c))
        for c in sorted(set(cause.tolist()))
        if c >= 0
    ]
    found.sort(key=lambda item: -item[1].value)
    return curve, tuple(found)
