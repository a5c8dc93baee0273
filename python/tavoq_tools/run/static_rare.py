"""Rare-event estimates of static trees: every component fails on demand at the start of a
run or never, so the system is failed from time 0 or not at all (docs/rare-events.md).

Importance sampling over the minimal cut sets, Karp, Luby and Madras's estimator of the
probability of a union. S sums P(C) = the product of its members' chances over every
minimal cut set C. Each run picks a cut set with probability P(C) / S, fails its members,
and draws every other component with its own chance. A run whose state x holds N(x)
minimal cut sets weighs S / N(x), which is P(x) over the chance of drawing x. Every run
fails, and each weight lies between S / N(x) and S, so the relative error stays bounded
however rare the failure: the runs differ only where other components fail beside the
picked cut set.

The cut sets are never listed. They are read from their zero-suppressed decision diagram
(tavoq_tools.model.cutsets), a graph of about one node per component for a tree of
independent modules: S, the walk that picks a set, and N(x) each take one pass over it.
A tree whose diagram is past its work budget runs under failure biasing instead.

Each run's numbers come from a counter-based generator (Philox) keyed by the seed, at the
run's own place in one stream: the same numbers however the runs are split into chunks.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from ..model.cutsets import WORK_BUDGET, CutsetDiagram, cutset_diagram
from ..model.graph import Gate, LogicGraph

if TYPE_CHECKING:
    from ..model.system import Model

__all__ = ["STATIC_METHOD", "StaticTree", "static_tree"]

STATIC_METHOD = "importance sampling over minimal cut sets"
# The steps the diagram of the cut sets may take: 50 times the budget of `tavoq check`, a
# few seconds of CPython at most, which a rare-event estimate can spend (a flat tree of 2,000
# sets of 3 among 1,000 shared events takes 0.4 s).
DIAGRAM_BUDGET = 50 * WORK_BUDGET
# Numbers per chunk of runs: about 32 MB at once.
CHUNK_DRAWS = 1 << 22
# States whose cut sets are counted together, in one pass over the diagram: at most 512,
# and at most this many cells (nodes x states) of each of held()'s two arrays (128 MB).
STATES_PER_PASS = 512
CELLS_PER_PASS = 1 << 24
# Tells this method's streams from any other use of a seed.
_STREAM = 0x5EED_C075 << 32


class StaticTree:
    """A static tree's chances and the diagram of its minimal cut sets, set up to draw
    runs: per node the summed probability of its sets, and which nodes the top reaches."""

    def __init__(
        self,
        chances: np.ndarray,
        diagram: CutsetDiagram,
        sources: dict[int, list[int]] | None = None,
    ) -> None:
        self.chances = chances
        self.n = len(chances)
        # The components that triggers fail, each after those that fail it, with them.
        self.triggered: list[tuple[int, list[int]]] = []
        placed: set[int] = set()

        def place(c: int) -> None:
            if c in placed or c not in (sources or {}):
                return
            placed.add(c)
            for s in sources[c]:  # type: ignore[index]
                place(s)
            self.triggered.append((c, sources[c]))  # type: ignore[index]

        for c in sorted(sources or {}):
            place(c)
        self.diagram = d = diagram
        size = len(d.lo)
        reached = np.zeros(size, dtype=bool)
        reached[d.top] = True
        for k in range(d.top, 1, -1):  # children come before their parents
            if reached[k]:
                reached[d.lo[k]] = reached[d.hi[k]] = True
        self.nodes = np.flatnonzero(reached[2:]) + 2  # the inner nodes, children first
        weight = np.zeros(size)
        weight[1] = 1.0
        for k in self.nodes.tolist():
            weight[k] = weight[d.lo[k]] + chances[d.component[k]] * weight[d.hi[k]]
        self.total = float(weight[d.top])  # S
        # At node k the walk takes its component with this chance (0 at the terminals).
        self.take = np.zeros(size)
        inner = self.nodes
        self.take[inner] = chances[d.component[inner]] * weight[d.hi[inner]] / weight[inner]
        self.take[inner[d.lo[inner] == 0]] = 1.0  # no set without it: rounding must not stop
        self.row = np.zeros(size, dtype=np.int64)  # a node's row in held()'s arrays
        self.row[1] = 1
        self.row[self.nodes] = np.arange(2, len(self.nodes) + 2)
        # A walk meets each component at most once on its way down.
        steps = int(max(1, len(set(d.component[inner].tolist()))))
        self.width = 4 * -(-(self.n + steps) // 4)  # whole Philox blocks
        self.chunk = max(1, CHUNK_DRAWS // self.width)  # runs drawn at once

    def pick(self, draws: np.ndarray) -> np.ndarray:
        """Failed states (runs x components) with one cut set each, picked by walks down
        the diagram, each taking the numbers of its row of ``draws`` in turn."""
        d = self.diagram
        failed = np.zeros((len(draws), self.n), dtype=bool)
        at = np.full(len(draws), d.top)
        rows = np.arange(len(draws))
        step = 0
        while True:
            walking = at > 1
            if not walking.any():
                return failed
            r, k = rows[walking], at[walking]
            taken = draws[r, step] < self.take[k]
            failed[r[taken], d.component[k[taken]]] = True
            at[walking] = np.where(taken, d.hi[k], d.lo[k])
            step += 1

    def held(self, states: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Per failed state (rows of ``states``), how many minimal cut sets it holds, and
        the component at which, taking the failures in index order, the first of them
        failed (the largest member of the set whose largest member comes first)."""
        d, row = self.diagram, self.row
        count = np.zeros((len(self.nodes) + 2, len(states)))
        count[1] = 1.0
        last = np.full(count.shape, np.inf)
        last[1] = -np.inf
        for k in self.nodes.tolist():
            c, lo, hi = d.component[k], row[d.lo[k]], row[d.hi[k]]
            on = states[:, c]
            count[row[k]] = count[lo] + np.where(on, count[hi], 0.0)
            last[row[k]] = np.minimum(last[lo], np.where(on, np.maximum(last[hi], c), np.inf))
        return count[row[d.top]], last[row[d.top]]

    def runs(self, seed: int, first: int, count: int) -> tuple[np.ndarray, ...]:
        """Runs first .. first + count - 1: per run its weight, the component whose failure
        failed the system, and the number of failed components, then those components one
        run after another."""
        generator = np.random.Generator(
            np.random.Philox(
                key=_STREAM | (seed & 0xFFFF_FFFF), counter=[first * self.width // 4, 0, 0, 0]
            )
        )
        draws = generator.random((count, self.width))
        failed = self.pick(draws[:, self.n :])
        picked = failed.sum(axis=1)
        failed |= draws[:, : self.n] < self.chances
        weights = np.full(count, self.total)  # N(x) = 1: the picked set and nothing more
        causes = np.zeros(count, dtype=np.int32)
        alone = failed.sum(axis=1) == picked
        if alone.any():
            # A minimal cut set fails the system at its largest member.
            causes[alone] = np.max(np.where(failed[alone], np.arange(self.n), -1), axis=1)
        more = np.flatnonzero(~alone)
        if len(more):
            # Packed to bits: the sort that finds the distinct states reads 8 times less.
            packed, inverse = np.unique(
                np.packbits(failed[more], axis=1), axis=0, return_inverse=True
            )
            states = np.unpackbits(packed, axis=1, count=self.n).astype(bool)
            held = np.empty(len(states))
            firsts = np.empty(len(states))
            step = max(1, min(STATES_PER_PASS, CELLS_PER_PASS // (len(self.nodes) + 2)))
            for start in range(0, len(states), step):
                part = slice(start, start + step)
                held[part], firsts[part] = self.held(states[part])
            inverse = inverse.reshape(-1)
            weights[more] = self.total / held[inverse]
            causes[more] = firsts[inverse].astype(np.int32)
        # The report counts the components failed as the engine would: with those that
        # triggers fail (the weights above are of the draws alone).
        for c, by in self.triggered:
            failed[:, c] |= failed[:, by].any(axis=1)
        rows, members = np.nonzero(failed)
        counts = np.bincount(rows, minlength=count).astype(np.int32)
        return weights, causes, counts, members.astype(np.int32)


def _dependencies(model: Model) -> dict[int, list[int]] | None:
    """Per component that a trigger fails, the components whose failure fails it, when the
    model's only interactions are such triggers (each certain, on a component's failure,
    moving working components to a failed state); else None. At time 0 a trigger's member
    is then failed exactly when it or one of those is: the logic can say it."""
    layout = model.interaction_layout
    if layout.kinds or layout.groups or layout.common_causes or layout.pools:
        return None
    n = len(model.component_names)
    sources: dict[int, list[int]] = {}
    for watched, on_failure, moves, chance in layout.triggers:
        if not on_failure or chance < 1.0 or not 0 <= watched < n:
            return None
        for member, before, after in moves:
            if after == 0:
                return None  # a move back to working: the logic could not say it
            if 0 in before:
                sources.setdefault(member, []).append(watched)
    return sources


def _with_dependencies(graph: LogicGraph, sources: dict[int, list[int]]) -> LogicGraph:
    """``graph`` with each component that triggers fail read as an `or` of itself and of
    what fails it (those read alike in turn), so that its cut sets hold the triggers."""
    n = graph.n_components
    node: dict[int, int] = {}
    added: list[Gate] = []

    def of(c: int) -> int:  # a component's node in the new graph
        if c not in sources:
            return c
        if c not in node:
            inputs = (c, *sorted({of(s) for s in sources[c]}))
            added.append(Gate("or", inputs))
            node[c] = n + len(added) - 1
        return node[c]

    for c in sorted(sources):
        of(c)
    shift = len(added)

    def moved(i: int) -> int:
        return of(i) if i < n else i + shift

    gates = [Gate(g.kind, tuple(moved(i) for i in g.inputs), g.k, g.name) for g in graph.gates]
    return LogicGraph(
        graph.component_names,
        (*added, *gates),
        graph.top + shift,
        tuple((name, g + shift) for name, g in graph.named),
    )


def static_tree(model: Model, graph: LogicGraph | None = None) -> StaticTree | None:
    """``model`` set up as a static tree: every component's one transition a failure on
    demand, no interactions but triggers that fail components when others fail, coherent
    logic whose diagram of minimal cut sets (the triggers read into it) is within the work
    budget; else None. ``graph`` replaces the model's logic (a node held, for importance)."""
    chances: list[float] = []
    for component in model.components:
        if len(component.transitions) != 1 or component.transitions[0].distribution != "demand":
            return None
        chances += [float(component.transitions[0].params["probability"])] * len(component.names)
    sources = _dependencies(model)
    if sources is None:
        return None
    graph = model.logic_graph if graph is None else graph
    diagram = cutset_diagram(
        _with_dependencies(graph, sources) if sources else graph, DIAGRAM_BUDGET
    )
    if diagram is None:
        return None
    tree = StaticTree(np.array(chances), diagram, sources)
    return tree if tree.total > 0 else None
