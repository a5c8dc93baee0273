"""Rare-event estimates: the unreliability of a system whose failure crude runs would almost
never see, by failure biasing (importance sampling, docs/rare-events.md).

The runs (``tavoq.runnerRareSampling``) draw the exponential failures of components whose
working state has only exponential transitions at scaled rates, and carry the likelihood
ratio of their path. The factors follow from ``bias``, the probability the biased runs give
to the next step towards a failure: with every component working, a first failure within
the horizon; with some component failed, a further failure before its repair (shared out
evenly among the working components, "balanced"); and the failures on demand at the start,
which together happen with probability ``bias``. Every other transition keeps its law, so
the estimate is unbiased for any model; it is fast where the paths to failure are made of
the biased failures.

The interval is Student t over the runs' weighted outcomes, which are independent. The
result says how many runs failed (hits), how evenly the weight is spread over them, and
warns where the interval cannot be trusted.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable, Mapping
from dataclasses import asdict, dataclass, replace
from typing import TYPE_CHECKING, Any

import numpy as np

from ..errors import INT32_MIN, ModelError, check_integer
from ..model import distributions
from ..model.interactions import exponential_rate
from ..model.system import Model, RareSettings
from ..results.intervals import poisson_interval, student_t_quantile
from ..results.summary import Estimate, json_safe
from .rare_chunks import ChunkCalls, local_calls
from .static_rare import STATIC_METHOD, StaticTree, static_tree

if TYPE_CHECKING:
    from ..analysis.importance import ImportanceResult
    from ..model.graph import LogicGraph

__all__ = [
    "DEFAULT_BIAS",
    "RareEstimate",
    "bias_factors",
    "demand_chance",
    "life_chance",
    "rare_importance",
    "rare_lives",
    "rare_unreliability",
]

# Fewer failed runs than this, or a weight spread over fewer effective runs, and the
# interval is said to rest on too little.
FEW_HITS = 30
# A weight spread over fewer effective runs than this share of the failed runs: the biasing
# does not follow the paths that carry the probability (most failed runs weigh nothing),
# and such an estimate falls short of the truth more often than its interval says.
EVEN_SHARE = 0.01
# The variance estimate's own relative standard error (from the fourth moment of the runs'
# outcomes) above which the interval's width is itself a guess: heavy-tailed weights.
VARIANCE_ERROR = 0.5
# A single run carrying more than this share of the estimate: the weights degenerate.
LARGEST_SHARE = 0.5
METHOD = "failure biasing (importance sampling)"
# One default, the model file's: a [rare] table without a bias takes it too.
DEFAULT_BIAS = RareSettings.bias
CHUNK = 200_000
#: The points of the unreliability curve: this many, evenly over the horizon.
CURVE_POINTS = 10
#: The minimal cut sets, smallest first, whose failure at each system failure is counted.
CUT_SETS_CHECKED = 1000


@dataclass(frozen=True)
class RareEstimate:
    """P(system failed by the horizon) from failure-biased runs, with what it rests on.

    ``factors``: the rate factors while every component works and while some is failed.
    ``hits``: the runs that failed; ``effective_runs``: (sum w)^2 / sum w^2 over them, the
    failed runs of equal weight that would give as much; ``largest_share``: the largest
    weight over their sum. ``variance_ratio``: crude runs' variance per run, p (1 - p), over
    the biased runs' (how many crude runs one biased run is worth, before their costs).
    ``variance_error``: the relative standard error of that variance estimate, from the
    runs' fourth moment: how far the interval's own width can be trusted. ``warnings``: what
    makes the interval doubtful.

    From splitting, ``runs`` are its independent roots, ``hits`` the first failures of the
    paths of their trajectories, ``largest_share`` the largest root's part of the estimate,
    and ``variance_ratio`` is per trajectory (one costs at most a crude run); ``levels`` are
    the importance at which it split (the last, the failed system), ``splits`` the copies
    made at each but the last, and ``level_hits`` the crossings up into each over all roots
    (the last, the failures). ``mean_unavailability`` and ``failures`` (the expected system
    failures within the horizon) of repairable systems: splitting's trajectories run on
    after a failure, and so do failure biasing's runs, biased alike, each weighed by its
    whole path's likelihood ratio; a static tree's runs give None.

    ``curve``: P(system failed within the first t units) at CURVE_POINTS points t of the
    horizon, from the same runs (1 - R(t)), each with its interval. ``causes``: per
    component whose transition turned the system failed in some failed run, P(the system
    fails by the horizon, brought down by that component's transition), with its interval,
    largest first; they sum to the estimate. ``cut_sets`` and ``gates``: per minimal cut set
    (of the CUT_SETS_CHECKED smallest) and per named gate failed at some failure, P(the
    system fails by the horizon with it failed then), largest first; a failure with two cut
    sets failed counts in both. ``cause_factor``: with splitting, how many times as often as
    their laws say the common causes of several members were drawn (1: as they say), each
    path weighed back by its likelihood ratio; ``causes_natural``, why they were drawn as
    their laws say where the engine would have drawn them more often. ``start_factor``:
    likewise for the first failures, drawn more often while the system is at its start
    level, when they are rare within the horizon themselves. ``demand_chance``: with
    failure biasing, the chance at which the rarer failures on demand were drawn (0: all as
    their laws say).
    ``life_chance``: likewise, the chance at which the rarer lives of laws whose rate cannot
    be scaled (Weibull, lognormal, gamma) were made to end within the run.
    ``cut_set_sum``: for a static tree (tavoq_tools.run.static_rare), the summed probability
    of its minimal cut sets, over which the runs were drawn."""

    method: str
    reason: str
    runs: int
    horizon: int
    seed: int
    bias: float
    factors: tuple[float, float]
    unreliability: Estimate
    relative_half_width: float
    hits: int
    effective_runs: float
    largest_share: float
    variance_ratio: float
    variance_error: float
    warnings: tuple[str, ...]
    curve: tuple[tuple[int, Estimate], ...] = ()
    causes: tuple[tuple[str, Estimate], ...] = ()
    splits: tuple[int, ...] = ()
    levels: tuple[int, ...] = ()
    level_hits: tuple[int, ...] = ()
    mean_unavailability: Estimate | None = None
    failures: Estimate | None = None
    cut_sets: tuple[tuple[str, Estimate], ...] = ()
    gates: tuple[tuple[str, Estimate], ...] = ()
    cause_factor: float = 1.0
    causes_natural: str = ""
    start_factor: float = 1.0
    demand_chance: float = 0.0
    life_chance: float = 0.0
    cut_set_sum: float | None = None

    def to_dict(self) -> dict[str, Any]:
        """Plain values for JSON (infinities and NaN as null)."""
        return json_safe(asdict(self))


def _check_bias(bias: float) -> float:
    if isinstance(bias, bool) or not isinstance(bias, (int, float)):
        raise ModelError("rare.bias", f"must be a number in (0, 1), got {bias!r}")
    if not 0.0 < bias < 1.0:
        raise ModelError("rare.bias", f"must be in (0, 1), got {bias!r}")
    return float(bias)


def bias_factors(model: Model, horizon: int, bias: float) -> tuple[float, float]:
    """The rate factors of ``bias`` for ``model`` over ``horizon`` units, never below 1.

    While every component works, the biased components' failures together come within the
    horizon with probability ``bias``. While some are failed, a further failure comes before
    a repair with probability ``bias``: the repair rate is the components' mean rate out of
    their failed states (an exponential's, or ln 2 over a median for other laws)."""
    bias = _check_bias(bias)
    failure = 0.0  # the biased failure rates, summed over the components
    biased = 0
    repairs: list[float] = []
    for component in model.components:
        working = component.states[0]
        out = [t for t in component.transitions if t.source == working]
        exponential = bool(out) and all(t.distribution == "exponential" for t in out)
        for t in component.transitions:
            if t.source == working:
                continue
            if t.distribution == "exponential":
                rate = exponential_rate(t.params)
            else:
                median = distributions.native(t.distribution, t.params).quantile(0.5, 0)
                rate = math.log(2.0) / median if median > 0 else math.inf
            repairs += [rate] * len(component.names)
        if exponential:
            failure += sum(exponential_rate(t.params) for t in out) * len(component.names)
            biased += len(component.names)
    if failure <= 0 or horizon <= 0:
        return 1.0, 1.0
    working_factor = -math.log1p(-bias) / (failure * horizon)
    repair = float(np.mean([r for r in repairs if math.isfinite(r)] or [1.0 / horizon]))
    # Of n biased components, one is failed: the other n - 1 share the biased rate.
    others = failure * max(biased - 1, 1) / biased
    degraded_factor = bias / (1.0 - bias) * repair / others
    return max(1.0, working_factor), max(1.0, degraded_factor)


def demand_chance(model: Model, matrix: Any, tree: Any) -> float:
    """The chance at which ``model``'s rarer failures on demand are drawn, ``matrix`` and
    ``tree`` as the runs take them: the fewest component failures that fail the system over
    the number of components that fail on demand, at most 1/2, so that a run sees about as
    many as a cut set needs; 0 (none biased) without failures on demand."""
    demands = sum(
        len(component.names)
        for component in model.components
        if any(t.distribution == "demand" for t in component.transitions)
    )
    if demands == 0:
        return 0.0
    return min(0.5, _fewest_failures(matrix, tree) / demands)


# The native laws whose lives failure biasing can force to end within a run: their chance to
# end by a time, and their law given that they do, do not depend on the time they start.
FORCED_LAWS = frozenset({"Weibull", "Lognormal", "Gamma"})


def rare_lives(model: Model, horizon: int, below: float = 0.5) -> dict[str, float]:
    """Per component whose working transitions are not all exponential and all of laws whose
    lives can be forced (FORCED_LAWS, or exponential beside them), the chance that its
    first life ends within ``horizon`` units, when that is below ``below`` for every one of
    its working transitions. Failure biasing draws such lives to end within the run more
    often (life_chance) and weighs them back."""
    lives: dict[str, float] = {}
    for component in model.components:
        out = [t for t in component.transitions if t.source == component.states[0]]
        if not out or all(t.distribution == "exponential" for t in out):
            continue
        laws = [distributions.native(t.distribution, t.params) for t in out]
        if any(type(law).__name__ not in FORCED_LAWS | {"Exponential"} for law in laws):
            continue
        chances = [float(law.cdf(float(horizon))) for law in laws]
        if max(chances) < below:
            lives[component.names[0]] = -math.expm1(math.fsum(math.log1p(-p) for p in chances))
    return lives


def _fewest_failures(matrix: Any, tree: Any) -> int:
    """The fewest component failures that fail the system (1 for logic that is not
    coherent, which has no distance to failure)."""
    import tavoq

    try:
        return max(int(tavoq.runnerRareSplitting(0, 1, matrix, tree, 0)["levels"][-1]), 1)
    except ValueError:
        return 1


def life_chance(model: Model, matrix: Any, tree: Any, horizon: int) -> float:
    """The chance at which ``model``'s rarer lives of other laws than the exponential are
    made to end within a run, as demand_chance: the fewest component failures that fail the
    system over the number of components with such lives (rare_lives), at most 1/2; 0 (none
    forced) without them."""
    rare = rare_lives(model, horizon)
    lives = sum(len(c.names) for c in model.components if c.names[0] in rare)
    if lives == 0:
        return 0.0
    return min(0.5, _fewest_failures(matrix, tree) / lives)


def rare_unreliability(
    model: Model,
    runs: int | None = None,
    seed: int | None = None,
    *,
    bias: float = DEFAULT_BIAS,
    horizon: int | None = None,
    target_ci: float | None = None,
    max_runs: int | None = None,
    tree: Any = None,
    graph: LogicGraph | None = None,
    calls: ChunkCalls | None = None,
) -> RareEstimate:
    """P(``model``'s system fails within ``horizon``) from failure-biased runs, or for a
    static tree (static_rare, which may have triggers) from runs drawn over its minimal cut
    sets.

    ``calls`` runs the chunks of failure-biased runs (tavoq_tools.run.rare_chunks: on a Dask
    cluster, with the model's own logic); by default, here. A static tree's runs, drawn in
    Python, run here.

    ``tree`` (a ``tavoq.FaultTree`` of the model's components) replaces the model's logic:
    the same components, biased alike, with a node held (see rare_importance); ``graph``,
    the same logic as a LogicGraph, lets a static tree run over its cut sets then too.

    ``runs``, ``seed`` and ``horizon`` default to the model's [simulation] settings. With
    ``target_ci``, runs are added (doubling, up to ``max_runs``, default 100 times ``runs``)
    until the 95% interval's half-width is at most ``target_ci`` times the estimate. The
    runs continue the batch's indices, so the result equals one call of their number.
    @raises ModelError  a model with interactions, or a ``bias`` outside (0, 1)."""
    sim = model.simulation
    runs = check_integer("runs", sim.runs if runs is None else runs, 2)
    seed = check_integer("seed", sim.seed if seed is None else seed, INT32_MIN)
    horizon = check_integer("horizon", sim.horizon if horizon is None else horizon)
    bias = _check_bias(bias)
    if target_ci is not None and not (isinstance(target_ci, (int, float)) and target_ci > 0):
        raise ModelError("target_ci", f"must be a number above 0, got {target_ci!r}")
    limit = check_integer("max_runs", 100 * runs if max_runs is None else max_runs, runs)
    static = static_tree(model, graph) if horizon > 0 and (tree is None or graph) else None
    if static is not None:
        return _static_unreliability(model, static, runs, seed, horizon, target_ci, limit, bias)
    if model.has_interactions:
        raise ModelError(
            "rare",
            "failure biasing takes models without interactions (standby groups, crews, "
            "triggers, common causes, planned states) for now",
        )
    matrix, built, _ = model.build()
    tree = built if tree is None else tree
    calls = calls or local_calls(matrix, tree)
    factors = bias_factors(model, horizon, bias)
    on_demand = demand_chance(model, matrix, tree)
    forced = life_chance(model, matrix, tree, horizon)
    weights: list[np.ndarray] = []
    firsts: list[np.ndarray] = []
    causes: list[np.ndarray] = []
    failed_counts: list[np.ndarray] = []
    failed_members: list[np.ndarray] = []
    # Per run, its whole path's weight times its units down, and times its failures.
    down: list[np.ndarray] = []
    stops: list[np.ndarray] = []
    done = 0
    goal = runs
    while True:
        chunks = [
            {
                "nSimulations": count,
                "simTime": horizon,
                "seed": seed,
                "biasWhileWorking": factors[0],
                "biasWhileDegraded": factors[1],
                "firstRun": start,
                "withFailed": True,
                "demandChance": on_demand,
                "lifeChance": forced,
                "toHorizon": True,
            }
            for start, count in calls.starts(done, goal, CHUNK)
        ]
        try:
            found = calls.run("runnerRareSampling", chunks)
        except ValueError as err:  # a top that cannot fail
            raise ModelError("failed_when", str(err)) from None
        for first, log_weight, cause, counts, members, downtime, failures, end in found:
            weights.append(np.where(first < horizon, np.exp(log_weight), 0.0))
            firsts.append(first)
            causes.append(cause)
            failed_counts.append(counts)
            failed_members.append(members)
            whole = np.exp(end)
            down.append(whole * downtime / max(horizon, 1))
            stops.append(whole * failures)
        done = goal
        weighted = np.concatenate(weights)
        result = replace(
            _estimate(weighted, horizon, seed, bias, factors),
            demand_chance=on_demand,
            life_chance=forced,
        )
        if target_ci is None or result.relative_half_width <= target_ci or done >= limit:
            cut_sets, gates = failed_at_failure(
                model,
                np.concatenate(failed_counts),
                np.concatenate(failed_members),
                functools.partial(_part_of, weighted),
            )
            return replace(
                result,
                mean_unavailability=_mean_interval(np.concatenate(down), "t over runs")[0],
                failures=_mean_interval(np.concatenate(stops), "t over runs")[0],
                curve=_curve(result, np.concatenate(firsts), weighted),
                causes=_causes(np.concatenate(causes), weighted, model.component_names),
                cut_sets=cut_sets,
                gates=gates,
            )
        goal = min(2 * done, limit)


def _overlap_interval(weighted: np.ndarray, total: float) -> Estimate:
    """A static tree's P = S (1 - d) with its 95% interval, where S sums the probabilities
    of its minimal cut sets and d is the mean of 1 - w / S over the runs: how far the cut
    sets overlap. Most runs fail their picked set alone and weigh S, so d rests on the few
    that do not, and its interval is never narrower than the Poisson interval of those few
    (3.7 of them when none was seen): no part of the interval lacks runs behind it."""
    overlap = np.maximum(1.0 - weighted / total, 0.0)  # rounding can pass S
    d = _mean_interval(overlap, "")[0]
    upper = d.upper if d.upper is not None else poisson_interval(0, 0.95)[1] / len(weighted)
    return Estimate(
        total * (1.0 - d.value),
        total * (1.0 - min(upper, 1.0)),
        total * (1.0 - (d.lower or 0.0)),
        f"{STATIC_METHOD}; t over runs of the cut sets' overlap",
    )


def _static_unreliability(
    model: Model,
    tree: StaticTree,
    runs: int,
    seed: int,
    horizon: int,
    target_ci: float | None,
    limit: int,
    bias: float,
) -> RareEstimate:
    """rare_unreliability of a static tree (tavoq_tools.run.static_rare), by ``horizon``
    >= 1, from runs drawn over its minimal cut sets, with the same checked settings."""
    parts: list[tuple[np.ndarray, ...]] = []
    done, goal = 0, runs
    while True:
        while done < goal:
            n = min(tree.chunk, goal - done)
            parts.append(tree.runs(seed, done, n))
            done += n
        weighted = np.concatenate([p[0] for p in parts])
        estimate = _overlap_interval(weighted, tree.total)
        high = estimate.upper if estimate.upper is not None else estimate.value
        half = max(high - estimate.value, estimate.value - (estimate.lower or 0.0))
        if target_ci is None or half <= target_ci * estimate.value or done >= limit:
            break
        goal = min(2 * done, limit)
    cut_sets, gates = failed_at_failure(
        model,
        np.concatenate([p[2] for p in parts]),
        np.concatenate([p[3] for p in parts]),
        functools.partial(_part_of, weighted),
    )
    return replace(
        _estimate(weighted, horizon, seed, bias, (1.0, 1.0)),
        unreliability=estimate,
        relative_half_width=half / estimate.value,
        method=STATIC_METHOD,
        reason="every component fails on demand at the start (a static tree)",
        # Failed from the start or never: the same at every point of the curve.
        curve=tuple((t, estimate) for t in curve_points(horizon)),
        causes=_causes(np.concatenate([p[1] for p in parts]), weighted, model.component_names),
        cut_sets=cut_sets,
        gates=gates,
        cut_set_sum=tree.total,
    )


def _mean_interval(values: np.ndarray, what: str) -> tuple[Estimate, float, float, float]:
    """The mean of the runs' weighted outcomes ``values`` with its 95% interval: Student t,
    never narrower than the Poisson interval of the failed runs behind it, scaled. Also the
    sums of the failed runs' weights and of their squares, and the variance per run."""
    n = len(values)
    failed = values[values > 0]
    hits = len(failed)
    # math.fsum: the sum does not depend on how the runs were split.
    total = math.fsum(failed.tolist())
    squares = math.fsum((failed * failed).tolist())
    mean = total / n
    variance = max(squares - total * mean, 0.0) / (n - 1)
    if hits == 0:
        return Estimate(0.0, 0.0, None, f"{METHOD}; no run failed"), total, squares, variance
    half = student_t_quantile(0.975, n - 1) * math.sqrt(variance / n)
    low, high = poisson_interval(hits, 0.95)
    estimate = Estimate(
        mean,
        max(0.0, min(mean - half, mean * low / hits)),
        max(mean + half, mean * high / hits),
        f"{METHOD}; {what}",
    )
    return estimate, total, squares, variance


def _part_of(weighted: np.ndarray, mask: np.ndarray) -> Estimate:
    """The estimate from the failed runs of a boolean mask over the runs."""
    return _mean_interval(np.where(mask, weighted, 0.0), "t over runs")[0]


def curve_points(horizon: int) -> list[int]:
    """The units t of the unreliability curve: CURVE_POINTS of them, evenly over the
    horizon."""
    return sorted({max(1, round(horizon * k / CURVE_POINTS)) for k in range(1, CURVE_POINTS + 1)})


def _curve(
    result: RareEstimate, first: np.ndarray, weighted: np.ndarray
) -> tuple[tuple[int, Estimate], ...]:
    """P(failed within the first t units) at the curve's points. A run's weight is that of
    its path to its first failure or the horizon, which decides whether it failed by t."""
    horizon = result.horizon
    if horizon <= 0:
        return ()
    points = curve_points(horizon)
    return tuple(
        (t, result.unreliability)
        if t == horizon
        else (t, _mean_interval(np.where(first < t, weighted, 0.0), "t over runs")[0])
        for t in points
    )


def _causes(
    cause: np.ndarray, weighted: np.ndarray, names: list[str]
) -> tuple[tuple[str, Estimate], ...]:
    """Per component that brought the system down in some failed run, its part of the
    estimate with its interval, largest first."""
    found = []
    for c in sorted(set(cause[weighted > 0].tolist())):
        if c < 0:
            continue
        part = _mean_interval(np.where(cause == c, weighted, 0.0), "t over runs")[0]
        found.append((names[c] if c < len(names) else f"#{c}", part))
    found.sort(key=lambda item: -item[1].value)
    return tuple(found)


def failed_at_failure(
    model: Model,
    counts: np.ndarray,
    members: np.ndarray,
    part: Callable[[np.ndarray], Estimate],
) -> tuple[tuple[tuple[str, Estimate], ...], tuple[tuple[str, Estimate], ...]]:
    """The minimal cut sets and the named gates failed at the failures, each with its part
    of the estimate, largest first. ``counts`` gives, per failure (or per run, 0 where it
    did not fail), how many components were failed then, ``members`` those components one
    failure after another; ``part(mask)`` is the estimate from the failures of a boolean
    mask over them. Failures with the same failed components are looked at once."""
    from ..model.cutsets import smallest_cutsets

    graph = model.logic_graph
    ends = np.cumsum(counts)
    sets: dict[frozenset[int], list[int]] = {}
    for i in np.flatnonzero(counts).tolist():
        key = frozenset(members[ends[i] - counts[i] : ends[i]].tolist())
        sets.setdefault(key, []).append(i)
    cut_sets = smallest_cutsets(graph, CUT_SETS_CHECKED).cutsets if graph.coherent else ()
    names = graph.component_names  # the components, then the standby groups' leaves
    where = list(sets.values())
    states = np.zeros((len(where), len(names)), dtype=bool)
    for row, failed in enumerate(sets):
        states[row, list(failed)] = True
    found_cuts: dict[tuple[int, ...], list[int]] = {}
    found_gates: dict[str, list[int]] = {}
    # Whole columns at a time: a run of many distinct failed states looks at each once.
    if graph.named and where:
        values = graph.evaluate_many(states)
        for name, gate in graph.named:
            for row in np.flatnonzero(values[:, gate]).tolist():
                found_gates.setdefault(name, []).extend(where[row])
    for cut in cut_sets if where else ():
        for row in np.flatnonzero(states[:, list(cut)].all(axis=1)).tolist():
            found_cuts.setdefault(cut, []).extend(where[row])

    def parts(found: Mapping[Any, list[int]], label: Callable[[Any], str]) -> Any:
        listed = []
        for key, where in found.items():
            mask = np.zeros(len(counts), dtype=bool)
            mask[where] = True
            listed.append((label(key), part(mask)))
        listed.sort(key=lambda item: -item[1].value)
        return tuple(listed)

    return (
        parts(found_cuts, lambda cut: "{" + ", ".join(names[c] for c in cut) + "}"),
        parts(found_gates, str),
    )


def _estimate(
    weighted: np.ndarray, horizon: int, seed: int, bias: float, factors: tuple[float, float]
) -> RareEstimate:
    n = len(weighted)
    failed = weighted[weighted > 0]
    hits = len(failed)
    estimate, total, squares, variance = _mean_interval(weighted, "t over runs")
    mean = estimate.value
    warnings = []
    if hits == 0:
        warnings.append("no run failed: the runs say nothing of the probability")
        half, effective, largest, ratio, variance_error = math.inf, 0.0, 0.0, math.nan, math.nan
    else:
        half = max(estimate.upper - mean, mean - estimate.lower)  # type: ignore[operator]
        effective = total * total / squares
        largest = float(failed.max()) / total
        ratio = mean * (1.0 - mean) / variance if variance > 0 else math.inf
        # numpy's sums of the whole array: the same array (the runs in order) however the
        # batch was split, so the same figure.
        centred = weighted - mean
        second = float(np.sum(centred * centred)) / n
        fourth = float(np.sum(centred**4)) / n
        variance_error = (
            math.sqrt(max(fourth / second**2 - (n - 3) / (n - 1), 0.0) / n) if second > 0 else 0.0
        )
        # Where the Poisson floor of the hits sets the interval, a doubtful variance does
        # not widen it (runs of nearly equal weight, but for a rare heavier one).
        t_half = student_t_quantile(0.975, n - 1) * math.sqrt(variance / n)
        floor = mean * (poisson_interval(hits, 0.95)[1] / hits - 1.0)
        if variance_error > VARIANCE_ERROR and t_half * math.sqrt(1 + variance_error) > floor:
            warnings.append(
                f"the variance behind the interval is itself uncertain by +-{variance_error:.0%}:"
                " a few heavy runs decide it, and the interval cannot be trusted"
            )
        if hits < FEW_HITS:
            warnings.append(f"only {hits} runs failed: the interval rests on them")
        if effective < max(FEW_HITS, EVEN_SHARE * hits):
            warnings.append(
                f"the weight rests on about {effective:.0f} of the {hits} failed runs: the "
                "biasing misses the paths that carry the probability, and the estimate may "
                "be short of it by more than its interval"
            )
        if largest > LARGEST_SHARE:
            warnings.append(
                f"one run carries {largest:.0%} of the estimate: the weights degenerate"
            )
    return RareEstimate(
        method=METHOD,
        reason=_REASON,
        runs=n,
        horizon=horizon,
        seed=seed,
        bias=bias,
        factors=factors,
        unreliability=estimate,
        relative_half_width=half / mean if mean > 0 else math.inf,
        hits=hits,
        effective_runs=effective,
        largest_share=largest,
        variance_ratio=ratio,
        variance_error=variance_error,
        warnings=tuple(warnings),
    )


_REASON = (
    "the model has no interactions, and failure biasing is unbiased whatever the laws; it "
    "gains where the failures on the way to a system failure are exponential"
)


def rare_importance(
    model: Model,
    names: list[str] | None = None,
    runs: int | None = None,
    seed: int | None = None,
    *,
    bias: float = DEFAULT_BIAS,
    horizon: int | None = None,
    target_ci: float | None = None,
    max_runs: int | None = None,
) -> tuple[RareEstimate, ImportanceResult]:
    """The unreliability at the horizon and the importance of the components and named
    gates ``names`` (default: all) for it, each held failed and held working in the logic,
    every estimate by failure biasing on the same seeds (tavoq_tools.analysis.importance,
    rare_measures), or for a static tree over the held logic's minimal cut sets. Holding a node changes the regimes the biasing follows, so the runs of
    the three estimates are not paired: their intervals are combined as independent ones.
    Models without interactions whose logic is coherent."""
    from ..analysis.conditioned import Held, can_hold_in_logic, hold_in_logic
    from ..analysis.importance import rare_measures, targets_of

    if not can_hold_in_logic(model):
        raise ModelError(
            "rare",
            "importance in rare mode takes models without interactions whose logic is "
            "coherent (or, and, atleast)",
        )
    options: dict[str, Any] = {
        "bias": bias,
        "horizon": horizon,
        "target_ci": target_ci,
        "max_runs": max_runs,
    }
    base = rare_unreliability(model, runs, seed, **options)

    def held(node: int, failed: bool) -> Estimate:
        h = Held(model, node, failed, True)
        constant = h.constant
        if constant is not None:
            value = 1.0 if constant else 0.0
            return Estimate(value, value, value, "exact: the held logic is constant")
        _, tree, _ = h.build()
        # A static tree runs over the held logic's cut sets, as its base estimate did.
        logic = hold_in_logic(model.logic_graph, node, failed) if base.cut_set_sum else None
        graph = None if isinstance(logic, bool) else logic
        return rare_unreliability(
            model, runs, seed, tree=tree, graph=graph, **options
        ).unreliability

    found = [
        (name, kind, held(node, True), held(node, False))
        for name, kind, node in targets_of(model, names)
    ]
    return base, rare_measures(base.unreliability, found, base.runs, base.seed, base.horizon)
