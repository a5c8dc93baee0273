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
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..errors import INT32_MIN, ModelError, check_integer
from ..model.interactions import CommonCause
from ..model.system import Model, check_levels
from ..results.intervals import poisson_interval, student_t_quantile
from ..results.summary import Estimate
from .rare import CURVE_POINTS, FEW_HITS, LARGEST_SHARE, RareEstimate, failed_at_failure
from .rare_chunks import ChunkCalls, local_calls

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
# The pilot's roots are seeded apart from the estimate's, and the pilot with the common
# causes as their laws say apart from both.
PILOT_SEED = 0x2545F491
NATURAL_PILOT_SEED = 0x5DEECE66
# How often the engine's biased common causes strike within the horizon, together.
EXPECTED_STRIKES = 2.0
# A failure this many times likelier than every biased cause striking keeps them unbiased.
CAUSE_MARGIN = 10.0


@dataclass(frozen=True)
class Pilot:
    """What the pilot chose: the levels, a split per level but the failed system's, the
    common-cause factors to run with (None: the engine's own choice), and ``notes`` on levels
    it never read (their splits are guesses). ``causes_natural`` says why the causes are
    drawn as their laws say, when the engine would have drawn them more often."""

    levels: list[int]
    splits: list[int]
    notes: list[str]
    cause_factors: list[float] | None = None
    causes_natural: str = ""


def choose_splits(
    matrix: Any,
    tree: Any,
    horizon: int,
    seed: int,
    levels: Sequence[int] = (),
    interactions: Any = None,
) -> Pilot:
    """The splits, about 1 / the chance that a copy born at a level goes on up before it
    falls back, from pilot roots that are then discarded (so the choice, made from other runs,
    biases nothing).

    Where the engine would draw common causes more often (CauseBias: a rare shock that jumps
    levels, which splitting cannot divide), a first pilot runs with the causes as their laws
    say. A cause adds at most its own chance of striking within the horizon to the failure's;
    when that pilot finds the system failing CAUSE_MARGIN times as often or more, the cause is
    not what makes the failure rare, and drawing it more often would only make rarer the
    paths that carry the probability, which then few roots follow: the run keeps the causes
    as they are, with that pilot's splits."""
    import tavoq

    pilot_seed = (seed ^ PILOT_SEED) & 0x7FFFFFFF
    found = tavoq.runnerRareSplitting(
        0, horizon, matrix, tree, pilot_seed, [], list(levels), interactions=interactions
    )
    all_levels = [int(v) for v in found["levels"]]
    factors = [float(f) for f in found["causeFactors"]]
    if any(f > 1 for f in factors):
        natural = [1.0] * len(factors)
        natural_seed = (seed ^ NATURAL_PILOT_SEED) & 0x7FFFFFFF
        # The engine draws the causes it biases so that together they strike twice within
        # the horizon: their own expected strikes, an upper bound on their chance, are
        # EXPECTED_STRIKES / factor.
        strikes = EXPECTED_STRIKES / max(factors)
        splits, read, chance, hits = _pilot_rounds(
            matrix,
            tree,
            horizon,
            natural_seed,
            all_levels,
            interactions,
            natural,
            give_up_below=CAUSE_MARGIN * strikes,
        )
        if hits >= PILOT_THROUGH and chance >= CAUSE_MARGIN * strikes:
            why = (
                f"common causes drawn as their laws say: a pilot so drawn found the system "
                f"failing with a chance of about {chance:.2g}, over {CAUSE_MARGIN:g} times "
                f"the {strikes:.2g} at most they add, so drawing them more often would only "
                "make the paths that carry the failure rarer"
            )
            return Pilot(all_levels, splits, _unread(all_levels, splits, read), natural, why)
    splits, read, _, _ = _pilot_rounds(
        matrix, tree, horizon, pilot_seed, all_levels, interactions, None
    )
    return Pilot(all_levels, splits, _unread(all_levels, splits, read))


def _pilot_rounds(
    matrix: Any,
    tree: Any,
    horizon: int,
    pilot_seed: int,
    all_levels: list[int],
    interactions: Any,
    cause_factors: list[float] | None,
    give_up_below: float = 0.0,
) -> tuple[list[int], list[bool], float, int]:
    """(splits, read, chance, hits): rounds that start from 2 everywhere and stop once every
    level was read and no split moved by more than a third; ``read`` per level, whether its
    split was read from the rounds; ``chance``, P(system failed) over all the rounds' roots
    (each round's estimate is unbiased for its splits), from ``hits`` failures. The rounds
    also stop once a generous bound on P(system failed) falls below ``give_up_below``: the
    crossings of the first level per root times, per level above, (copies that went on + 3)
    / copies born there."""
    import tavoq

    splits = [2] * (len(all_levels) - 1)
    read = [False] * len(splits)
    roots, first = PILOT_ROOTS, 0
    found, hits = 0.0, 0
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
            causeFactors=cause_factors,
        )
        first += roots
        found += float(out["weight"]) * math.fsum(out["failureWeight"].tolist())
        hits += int(out["hits"].sum())
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
        if settled or _generous_chance(out, roots) < give_up_below:
            break
        if out["crossings"][0] < PILOT_BORN:
            # Roots that never leave level 0 cost a few events each: take enough of them
            # for the first level to be crossed.
            roots = min(MAX_PILOT_ROOTS, roots * GROWTH * GROWTH)
    return splits, read, found / first, hits


def _generous_chance(out: dict[str, Any], roots: int) -> float:
    chance = min(1.0, float(out["crossings"][0]) / roots) if len(out["crossings"]) else 1.0
    for born, through in zip(out["born"], out["through"], strict=True):
        chance *= min(1.0, (int(through) + 3) / int(born)) if born > 0 else 1.0
    return chance


def _unread(all_levels: list[int], splits: list[int], read: list[bool]) -> list[str]:
    return [
        f"the pilot did not reach level {all_levels[k]} often enough to choose its split "
        f"({splits[k]} is a guess)"
        for k in range(len(splits))
        if not read[k]
    ]


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
    calls: ChunkCalls | None = None,
) -> RareEstimate:
    """P(``model``'s system fails within ``horizon``) by RESTART splitting, with the curve,
    the causes, and the mean unavailability and expected failures.

    ``runs`` is the number of roots (default: [simulation] runs). ``levels`` are the
    importance thresholds to split at (default: every count of component failures up to the
    failed system's); ``splits`` one factor per level but the last (default: chosen by
    choose_splits). With ``target_ci``, roots are added (doubling, up to ``max_runs``,
    default 100 times ``runs``) until the 95% interval's half-width is at most ``target_ci``
    times the estimate; the roots continue the batch's, so the result equals one call of
    their number. ``calls`` runs the roots' chunks (tavoq_tools.run.rare_chunks: on a Dask
    cluster, with the model's own logic); by default, here. The pilot runs here.
    @raises ModelError  logic with non-coherent gates, levels that do not increase
                        within 1 .. the failed level, splits of the wrong number."""

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
    calls = calls or local_calls(matrix, tree, interactions)
    try:
        if splits is None:
            pilot = choose_splits(matrix, tree, horizon, seed, asked, interactions)
        else:
            pilot = Pilot(asked, [check_integer("rare.splits", v, 1) for v in splits], [])
        asked, chosen = pilot.levels, pilot.splits
        parts: list[dict[str, Any]] = []
        done = 0
        goal = runs
        while True:
            chunks = [
                {
                    "nRoots": count,
                    "simTime": horizon,
                    "seed": seed,
                    "splits": chosen,
                    "levels": asked,
                    "firstRoot": start,
                    "causeFactors": pilot.cause_factors,
                }
                for start, count in calls.starts(done, goal, ROOTS_PER_CALL)
            ]
            for chunk, out in zip(chunks, calls.run("runnerRareSplitting", chunks), strict=True):
                out["hitRoot"] = out["hitRoot"] + chunk["firstRoot"]
                parts.append(out)
            done = goal
            result = _estimate(_joined(parts), done, horizon, seed, pilot, model)
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
    pilot: Pilot,
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
    warnings = list(pilot.notes)
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
        splits=tuple(pilot.splits),
        levels=levels,
        level_hits=level_hits,
        mean_unavailability=_over_roots(
            weight * runs["weightedDowntime"] / max(horizon, 1), total, "t over roots"
        ),
        failures=_over_roots(weight * runs["weightedFailures"], total, "t over roots"),
        cause_factor=max(runs["causeFactors"], default=1.0),
        start_factor=runs["startFactor"],
        causes_natural=pilot.causes_natural,
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
