"""Importance measures of components and named gates, each with its 95% interval.

For a node c (a component, or a named gate) and the system's measure Q (the mean
unavailability over the horizon, or the unreliability at the horizon, P(a failure by then)),
with Q(c failed) and Q(c working) the measure with c held failed or working throughout
(tavoq_tools.analysis.conditioned):

- Birnbaum: I_B = Q(c failed) - Q(c working), the chance that c is critical;
- criticality importance: I_CR = I_B q_c / Q, taken as (Q - Q(c working)) / Q, which equals
  it when c fails independently of the rest (Rausand & Hoyland, System Reliability Theory,
  2nd ed., sec. 5.4);
- Fussell-Vesely, in two forms that the field both calls FV:
  - the cut-set form (Vesely's definition): the chance that some failed minimal cut set
    contains c, given the system failed, P(union of the cut sets with c) / Q. Given when the
    model's minimal cut sets are listed and the logic is held in the logic;
  - the reduction form: (Q - Q(c working)) / Q, the share of Q removed by a perfect c
    (NUREG/CR-3385's FV as most PSA codes compute it from cut sets under the rare-event
    approximation, where the two forms agree). It equals I_CR here.
- risk achievement worth RAW = Q(c failed) / Q, and risk reduction worth RRW = Q / Q(c
  working): infinite when c working makes the system never fail (c in every cut set).

Every held batch runs the base batch's runs with the base batch's seeds, so each measure
comes from per-run pairs (tavoq_tools.analysis.paired): a difference or ratio of paired means
whose interval is over the runs. Where a node is held in the logic, its held runs draw as
the base runs do, and the engine can give their figures from the base runs themselves (its
critical time, runnerImportance): one pass for every node, the same numbers.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from ..model.graph import Gate, LogicGraph
from ..model.system import Model, ModelError
from ..results.intervals import normal_quantile
from ..results.summary import Estimate
from .conditioned import Held, can_hold_in_logic, down_state
from .paired import EQUAL_IN_EVERY_RUN, mean_difference, ratio_of_means

if TYPE_CHECKING:
    from ..results.counts import BatchStatistics

__all__ = [
    "BASES",
    "Importance",
    "ImportanceResult",
    "NodeImportance",
    "asked_names",
    "importance",
    "rare_measures",
    "targets_of",
]

#: The measures' bases: the system's mean unavailability and its unreliability at the horizon.
BASES = ("mean unavailability", "unreliability at the horizon")
IN_LOGIC = "held in the logic, same draws"
IN_PLANT = "held in the plant, same seeds"
FROM_BASE_RUN = "from the base runs' critical time"
RARE = "held in the logic, failure biasing (independent estimates)"
INDEPENDENT = "delta method, independent estimates"
MEASURE_NAMES = (
    "birnbaum",
    "criticality",
    "fussell_vesely",
    "fussell_vesely_reduction",
    "raw",
    "rrw",
)


@dataclass(frozen=True)
class Importance:
    """The measures of one node for one basis (see the module's notes). None where a
    measure has no value: Q = 0 (the system never failed in the base runs), or a form not
    given for this model."""

    birnbaum: Estimate
    criticality: Estimate | None
    fussell_vesely: Estimate | None
    fussell_vesely_reduction: Estimate | None
    raw: Estimate | None
    rrw: Estimate | None

    def to_dict(self) -> dict[str, Any]:
        """Each measure as value, lower, upper and method (None where it has no value, the
        string "inf" where it is infinite)."""
        out: dict[str, Any] = {}
        for name in MEASURE_NAMES:
            e = getattr(self, name)
            out[name] = (
                None
                if e is None
                else {
                    "value": _infinite(e.value),
                    "lower": _infinite(e.lower),
                    "upper": _infinite(e.upper),
                    "method": e.method,
                }
            )
        return out


@dataclass(frozen=True)
class NodeImportance:
    """A component's or named gate's measures, per basis (keys of BASES), and how it was
    held (IN_LOGIC or IN_PLANT)."""

    name: str
    kind: str
    method: str
    measures: dict[str, Importance]


@dataclass(frozen=True)
class ImportanceResult:
    """The measures of the nodes asked, ranked by Birnbaum importance for the mean
    unavailability (largest first), with what it cost: ``batches`` held batches of ``runs``
    runs each beside the base batch."""

    nodes: tuple[NodeImportance, ...]
    runs: int
    seed: int
    horizon: int
    batches: int
    base: dict[str, float] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        """Plain data for JSON: each node's measures per basis (see Importance.to_dict)."""
        from ..results.summary import json_safe

        return json_safe(
            {
                "runs": self.runs,
                "seed": self.seed,
                "horizon": self.horizon,
                "held_batches": self.batches,
                "base": self.base,
                "nodes": [
                    {"name": node.name, "kind": node.kind, "held": node.method}
                    | {basis: m.to_dict() for basis, m in node.measures.items()}
                    for node in self.nodes
                ],
            }
        )


def _infinite(x: float | None) -> float | str | None:
    """An infinite measure (an RRW of a component in every cut set) as the string "inf" for
    JSON, which has no infinity, rather than the None of a measure without a value."""
    return "inf" if x is not None and math.isinf(x) and x > 0 else x


# A batch's per-run values, per basis: the fraction of the horizon down, and whether it
# failed by the horizon.
PerRun = tuple[np.ndarray, np.ndarray]
RunBatch = Callable[[Any], "BatchStatistics"]
# The engine's runnerImportance over the base runs, for the nodes given: a dict of numpy
# arrays (criticalWorking, criticalFailed, firstHeldFailed, firstHeldWorking: runs x nodes;
# downtime, firstFailure: per run).
CriticalRuns = Callable[[list[int]], dict[str, np.ndarray]]


def per_run(stats: BatchStatistics) -> PerRun:
    """The per-run values of a batch, per basis (see BASES)."""
    horizon = stats.sim_time
    if horizon <= 0:
        zeros = np.zeros(stats.n_runs)
        return zeros, zeros
    down = np.asarray(stats.downtime, dtype=float) / horizon
    failed = (np.asarray(stats.first_failure_times) < horizon).astype(float)
    return down, failed


def _constant(value: bool, runs: int) -> PerRun:
    """Per-run values of a system held down (True) or up (False) throughout."""
    v = np.full(runs, 1.0 if value else 0.0)
    return v, v.copy()


def _targets(model: Model, asked: Sequence[str] | None) -> list[tuple[str, str, int]]:
    """(name, kind, node) for the names asked (default: every component, then every named
    gate); ModelError naming one that is neither."""
    components = model.component_names
    graph = model.logic_graph
    in_logic = can_hold_in_logic(model)
    gates = {name: graph.n_components + index for name, index in graph.named} if in_logic else {}
    if asked is None:
        return [(n, "component", i) for i, n in enumerate(components)] + [
            (n, "gate", node) for n, node in gates.items()
        ]
    found = []
    index = {n: i for i, n in enumerate(components)}
    for name in asked:
        if name in index:
            found.append((name, "component", index[name]))
        elif name in gates:
            found.append((name, "gate", gates[name]))
        else:
            from ..errors import unknown

            known = [*components, *gates]
            where = (
                ""
                if in_logic or name not in dict(graph.named)
                else ("a gate is held only in the logic of a model without interactions; ")
            )
            raise ModelError(
                "importance", where + unknown("component or gate", name, "importance", known)
            )
    return found


def _holdable(model: Model, node: int, in_logic: bool) -> bool:
    """Whether the node can be held down: held in the logic anything can; in the plant, a
    component with a state that is not working."""
    if in_logic:
        return True
    return down_state([c.state_kinds for c in model.components for _ in c.names][node]) is not None


def _cutset_union(model: Model, node: int) -> LogicGraph | bool:
    """The logic 'some minimal cut set containing component ``node`` has failed', or False
    when no cut set contains it."""
    names = model.logic_names
    position = {n: i for i, n in enumerate(names)}
    containing = [c for c in model.minimal_cutsets() if names[node] in c]
    if not containing:
        return False
    gates = [Gate("and", tuple(position[m] for m in c)) for c in containing]
    n = len(names)
    gates.append(Gate("or", tuple(n + i for i in range(len(containing)))))
    return LogicGraph(tuple(names), tuple(gates), len(gates) - 1)


def _cutsets_listed(model: Model) -> bool:
    return model.logic_layout.cutset_gates is not None


def importance(
    model: Model,
    names: Sequence[str] | None = None,
    *,
    run_batch: RunBatch,
    base: BatchStatistics,
    confidence: float = 0.95,
    critical_runs: CriticalRuns | None = None,
    cutset_form: bool = False,
) -> ImportanceResult:
    """The importance of the components and named gates ``names`` (default: all of them),
    from ``base``, a batch of the model, and held batches of the same runs made by
    ``run_batch(held_model)`` (see tavoq_tools.run.simulate.importance for the usual call).

    Where nodes are held in the logic and ``critical_runs(nodes)`` is given (the engine's
    runnerImportance over the base runs), the held runs' figures come from the base runs
    themselves (FROM_BASE_RUN): one pass for every node. ``cutset_form`` then adds the
    cut-set form of Fussell-Vesely, one batch per component; held batches give it anyway
    where the cut sets are listed.

    Raises ModelError for a name that is neither a component nor a named gate that can be
    held, or a component held in the plant that is never down."""
    # By default a component that is never down is left out: it has nothing to measure.
    targets = targets_of(model, names)
    in_logic = can_hold_in_logic(model)
    runs = base.n_runs
    base_values = per_run(base)
    from_base = in_logic and critical_runs is not None
    cutset_form = in_logic and _cutsets_listed(model) and (cutset_form or not from_base)
    batches = 0
    if from_base:
        assert critical_runs is not None
        critical = _critical_values(critical_runs, [node for _, _, node in targets], base)

    def held(node: int, failed: bool) -> PerRun:
        nonlocal batches
        h = Held(model, node, failed, in_logic)
        constant = h.constant
        if constant is not None:
            return _constant(constant, runs)
        batches += 1
        return per_run(run_batch(h))

    nodes = []
    for k, (name, kind, node) in enumerate(targets):
        if from_base:
            failed, working = critical[0][k], critical[1][k]
        else:
            failed = held(node, True)
            working = held(node, False)
        union: PerRun | None = None
        if cutset_form and kind == "component":
            graph = _cutset_union(model, node)
            if isinstance(graph, bool):
                union = _constant(False, runs)
            else:
                batches += 1
                union = per_run(run_batch(_Observed(model, graph)))
        # Held working, the logic itself may never fail (the node is in every cut set): its
        # RRW is infinite, not merely without a failure seen.
        never = in_logic and Held(model, node, False, True).constant is False
        measures = {
            basis: _measures(
                base_values[b],
                failed[b],
                working[b],
                None if union is None else union[b],
                working_never_fails=never,
                confidence=confidence,
            )
            for b, basis in enumerate(BASES)
        }
        method = FROM_BASE_RUN if from_base else IN_LOGIC if in_logic else IN_PLANT
        nodes.append(NodeImportance(name, kind, method, measures))
    nodes.sort(key=lambda n: -n.measures[BASES[0]].birnbaum.value)
    return ImportanceResult(
        tuple(nodes),
        runs,
        base.seed,
        base.sim_time,
        batches,
        {
            basis: float(base_values[b].mean()) if runs else math.nan
            for b, basis in enumerate(BASES)
        },
    )


def _critical_values(
    critical_runs: CriticalRuns, nodes: list[int], base: BatchStatistics
) -> tuple[list[PerRun], list[PerRun]]:
    """Per node, the per-run values of the runs held failed and held working, from the
    base runs' critical time: held failed, a run is also down where the node is working and
    critical; held working, it is up where the node is failed and critical."""
    found = critical_runs(nodes)
    horizon = base.sim_time
    if not np.array_equal(found["downtime"], base.downtime):
        raise RuntimeError("the critical runs are not the base runs: their downtime differs")
    down = np.asarray(base.downtime, dtype=float)
    span = max(horizon, 1)  # a horizon of 0 has no units: every figure is 0
    failed, working = [], []
    for k in range(len(nodes)):
        failed.append(
            (
                (down + found["criticalWorking"][:, k]) / span,
                (found["firstHeldFailed"][:, k] < horizon).astype(float),
            )
        )
        working.append(
            (
                (down - found["criticalFailed"][:, k]) / span,
                (found["firstHeldWorking"][:, k] < horizon).astype(float),
            )
        )
    return failed, working


def _measures(
    base: np.ndarray,
    failed: np.ndarray,
    working: np.ndarray,
    union: np.ndarray | None,
    *,
    working_never_fails: bool,
    confidence: float,
) -> Importance:
    birnbaum = mean_difference(failed, working, confidence)
    if not base.any():
        return Importance(birnbaum, None, None, None, None, None)
    reduction = ratio_of_means(base - working, base, confidence, low=-math.inf)
    fv = None if union is None else ratio_of_means(union, base, confidence)
    raw = ratio_of_means(failed, base, confidence)
    if working_never_fails:
        rrw: Estimate | None = Estimate(math.inf, math.inf, math.inf, EQUAL_IN_EVERY_RUN)
    else:
        rrw = ratio_of_means(base, working, confidence)
    return Importance(birnbaum, reduction, fv, reduction, raw, rrw)


@dataclass(frozen=True)
class _Observed:
    """The model with another logic (same components, same draws): for the cut-set form."""

    model: Model
    graph: LogicGraph

    @property
    def simulation(self) -> Any:
        return self.model.simulation

    def build(self) -> tuple[list, Any, Any]:
        return self.model.matrix(), self.graph.to_native(), None


def asked_names(
    asked: bool | str | Sequence[str], model: Model, base: BatchStatistics
) -> list[str] | None:
    """The nodes an importance request names: all (None) for True, the components and
    gates listed, or for ``"top:N"`` the N components that triggered the most system
    failures in the base runs (their criticality), leaving out those that triggered none.
    ValueError for an N that is not a positive integer."""
    if asked is True:
        return None
    if isinstance(asked, bool):
        raise ValueError("importance=False asks for no measure")
    if isinstance(asked, str):
        if not asked.startswith("top:"):
            return [asked]
        try:
            count = int(asked[4:])
        except ValueError:
            count = 0
        if count < 1:
            raise ValueError(f"importance {asked}: give top:N with N a positive integer")
        triggered = base.triggered_failures
        order = sorted(range(len(triggered)), key=lambda c: (-int(triggered[c]), c))
        names = model.component_names
        return [names[c] for c in order[:count] if triggered[c] > 0]
    return list(asked)


def targets_of(model: Model, names: Sequence[str] | None) -> list[tuple[str, str, int]]:
    """(name, kind, node) of the components and named gates ``names`` (default: all that
    can be held), checked as ``importance`` checks them."""
    in_logic = can_hold_in_logic(model)
    found = _targets(model, names)
    for name, _, node in found:
        if names is not None and not _holdable(model, node, in_logic):
            raise ModelError("importance", f"{name} is never down (every state of it is working)")
    return [t for t in found if _holdable(model, t[2], in_logic)]


def _independent_ratio(a: Estimate, b: Estimate, confidence: float) -> Estimate | None:
    """a / b of two independent estimates, by the delta method on the logarithm (their
    standard errors read off their intervals); infinite when b is exactly 0."""
    z = normal_quantile(0.5 + confidence / 2)
    if b.value == 0:
        if a.value == 0:
            return None
        exact = b.lower == b.upper == 0
        low = math.inf if exact else a.value / b.upper if b.upper else math.inf
        return Estimate(math.inf, low, math.inf, "exact" if exact else "bound")
    if a.value == 0:
        return Estimate(0.0, 0.0, _upper_ratio(a, b), "bound")
    ratio = a.value / b.value
    relative = math.hypot(_se(a, z) / a.value, _se(b, z) / b.value)
    return Estimate(
        ratio, ratio * math.exp(-z * relative), ratio * math.exp(z * relative), INDEPENDENT
    )


def _upper_ratio(a: Estimate, b: Estimate) -> float:
    return (a.upper or 0.0) / b.lower if b.lower else math.inf


def _se(e: Estimate, z: float) -> float:
    if e.lower is None or e.upper is None:
        return math.inf
    return (e.upper - e.lower) / 2 / z


def _independent_difference(a: Estimate, b: Estimate, z: float) -> Estimate:
    half = z * math.hypot(_se(a, z), _se(b, z))
    d = a.value - b.value
    return Estimate(d, max(-1.0, d - half), min(1.0, d + half), INDEPENDENT)


def rare_measures(
    base: Estimate,
    found: list[tuple[str, str, Estimate, Estimate]],
    runs: int,
    seed: int,
    horizon: int,
    confidence: float = 0.95,
) -> ImportanceResult:
    """The measures for the unreliability at the horizon from independent estimates of it:
    the base model's and, per (name, kind), with the node held failed and held working."""
    z = normal_quantile(0.5 + confidence / 2)
    nodes = []
    for name, kind, failed, working in found:
        birnbaum = _independent_difference(failed, working, z)
        if base.value == 0:
            measures = Importance(birnbaum, None, None, None, None, None)
        else:
            removed = _independent_difference(base, working, z)  # Q - Q(c up)
            reduction = Estimate(
                removed.value / base.value,
                None if removed.lower is None else removed.lower / base.value,
                None if removed.upper is None else removed.upper / base.value,
                INDEPENDENT,
            )
            measures = Importance(
                birnbaum,
                reduction,
                None,
                reduction,
                _independent_ratio(failed, base, confidence),
                _independent_ratio(base, working, confidence),
            )
        nodes.append(NodeImportance(name, kind, RARE, {BASES[1]: measures}))
    nodes.sort(key=lambda n: -n.measures[BASES[1]].birnbaum.value)
    return ImportanceResult(
        tuple(nodes), runs, seed, horizon, 2 * len(found), {BASES[1]: base.value}
    )
