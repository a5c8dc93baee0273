"""Minimal cut sets of a logic graph: how many there are, and the smallest ones, within a
fixed amount of work.

A graph of a few hundred gates can have more minimal cut sets than atoms in the world (11
groups of 3 in series have 177,147; 30 trains of 3 have 2 * 10^14), so they are never
listed to be counted. They are held as a zero-suppressed decision diagram (a ZBDD, Minato
1993): a family of sets as a graph of nodes "sets with variable v" / "sets without it",
shared wherever the families are. The minimal cut sets of a gate come from its inputs'
with Rauzy's operations (Rauzy 1993, "New algorithms for fault trees analysis"): the union
for ``or``, the product {a | b} for ``and``, and ``minimal``, which drops every set that
holds another. A ZBDD of a tree of independent modules has about one node per component,
whatever the number of sets; counting its sets costs one pass over its nodes.

Every operation counts its steps against ``WORK_BUDGET``, so that the answer never depends
on the machine's speed and never takes much more than a second in the worst case.
Past the budget:
- a graph whose gates all have inputs with no component in common (independent modules)
  is still counted exactly: ``or`` adds its inputs' counts, ``and`` multiplies them and
  ``atleast(k)`` takes the k-th elementary symmetric sum of them;
- otherwise only the minimal cut sets of up to m components are built, m = 1, 2, ..., for
  as long as the budget lasts (sets of up to m components of a gate are made from those of
  up to m components of its inputs, so those are exact); their number is a lower bound.

Two libraries were measured for this and not taken: oxidd 0.13 and dd 0.6 (with CUDD's
ZDDs) both treat a ZBDD as a Boolean function and offer neither the product of families
nor the minimal-sets operation, so the algorithms would be ours anyway, one Python call per
node across the binding.
"""

from __future__ import annotations

import contextlib
import heapq
import itertools
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass

import numpy as np

from .graph import Gate, LogicGraph, LogicLayout

__all__ = [
    "MAX_LISTED",
    "TABLE_CUTSETS",
    "WORK_BUDGET",
    "CutsetCount",
    "CutsetDiagram",
    "CutsetList",
    "all_cutsets",
    "count_cutsets",
    "cutset_diagram",
    "layout_of",
    "smallest_cutsets",
]

# A cut-set table of more rows than this is not read: past it the statistics show
# the named gates instead.
TABLE_CUTSETS = 10_000
# At most this many sets are listed, and listing takes up to this many more steps per set.
MAX_LISTED = 100_000
LISTING_STEPS = 20
# Steps (new nodes and remembered results) one attempt may take: about 0.15 s of CPython
# 3.12, so that loading and checking a tree of 10,000 components and gates stays within a
# second.
WORK_BUDGET = 80_000

_EMPTY = 0  # the empty family
_BASE = 1  # the family holding only the empty set
_LEAF = 1 << 62  # the level of the two terminals: below every variable


class _OverBudget(Exception):
    pass


@contextlib.contextmanager
def _recursion_for(depth: int) -> Iterator[None]:
    """The operations recurse once per variable along a path. Python calls between Python
    functions do not use the C stack since 3.11, so a deeper limit only costs memory."""
    before = sys.getrecursionlimit()
    needed = 4 * depth + 200
    if needed > before:
        sys.setrecursionlimit(needed)
    try:
        yield
    finally:
        if needed > before:
            sys.setrecursionlimit(before)


class _Zbdd:
    """Families of sets of variables 0, 1, ... (0 nearest the root).

    ``max_size`` keeps only the sets of at most that many members (None: all of them).
    """

    def __init__(self, budget: int, max_size: int | None = None):
        self.budget = budget
        self.work = 0
        self.max_size = max_size
        self.level = [_LEAF, _LEAF]
        self.lo = [_EMPTY, _BASE]
        self.hi = [_EMPTY, _BASE]
        self.has_empty = [False, True]
        self.unique: dict[tuple[int, int, int], int] = {}
        self.memo: dict[tuple[object, ...], int] = {}

    def _step(self) -> None:
        self.work += 1
        if self.work > self.budget:
            raise _OverBudget

    def node(self, level: int, lo: int, hi: int) -> int:
        if hi == _EMPTY:
            return lo
        key = (level, lo, hi)
        found = self.unique.get(key)
        if found is not None:
            return found
        self._step()
        self.level.append(level)
        self.lo.append(lo)
        self.hi.append(hi)
        self.has_empty.append(self.has_empty[lo])
        self.unique[key] = len(self.level) - 1
        return len(self.level) - 1

    def single(self, level: int) -> int:
        return self.node(level, _EMPTY, _BASE) if self.max_size != 0 else _EMPTY

    def union(self, p: int, q: int) -> int:
        if p in (_EMPTY, q):
            return q
        if q == _EMPTY:
            return p
        if p > q:
            p, q = q, p
        key = ("u", p, q)
        found = self.memo.get(key)
        if found is not None:
            return found
        lp, lq = self.level[p], self.level[q]
        if lp < lq:
            result = self.node(lp, self.union(self.lo[p], q), self.hi[p])
        elif lq < lp:
            result = self.node(lq, self.union(p, self.lo[q]), self.hi[q])
        else:
            result = self.node(
                lp, self.union(self.lo[p], self.lo[q]), self.union(self.hi[p], self.hi[q])
            )
        self._step()
        self.memo[key] = result
        return result

    def truncate(self, p: int, m: int) -> int:
        """The sets of ``p`` of at most ``m`` members."""
        if p <= _BASE:
            return p
        if m == 0:
            return _BASE if self.has_empty[p] else _EMPTY
        key = ("t", p, m)
        found = self.memo.get(key)
        if found is not None:
            return found
        result = self.node(
            self.level[p], self.truncate(self.lo[p], m), self.truncate(self.hi[p], m - 1)
        )
        self._step()
        self.memo[key] = result
        return result

    def join(self, p: int, q: int, m: int | None) -> int:
        """{a | b: a in p, b in q}, keeping sets of at most ``m`` members (None: all)."""
        if p == _EMPTY or q == _EMPTY:
            return _EMPTY
        if p == _BASE:
            return q if m is None else self.truncate(q, m)
        if q == _BASE:
            return p if m is None else self.truncate(p, m)
        if m == 0:
            return _BASE if self.has_empty[p] and self.has_empty[q] else _EMPTY
        if p > q:
            p, q = q, p
        key = ("j", p, q, m)
        found = self.memo.get(key)
        if found is not None:
            return found
        below = None if m is None else m - 1
        lp, lq = self.level[p], self.level[q]
        if lp > lq:
            p, q, lp, lq = q, p, lq, lp
        if lp < lq:
            result = self.node(lp, self.join(self.lo[p], q, m), self.join(self.hi[p], q, below))
        else:
            hi = self.union(
                self.join(self.hi[p], self.hi[q], below),
                self.union(
                    self.join(self.hi[p], self.lo[q], below),
                    self.join(self.lo[p], self.hi[q], below),
                ),
            )
            result = self.node(lp, self.join(self.lo[p], self.lo[q], m), hi)
        self._step()
        self.memo[key] = result
        return result

    def without(self, p: int, q: int) -> int:
        """The sets of ``p`` that hold no set of ``q``."""
        if q == _EMPTY or p == _EMPTY:
            return p
        if p == q or self.has_empty[q]:
            return _EMPTY
        if p == _BASE:
            return _BASE  # q has no empty set, so none of its sets lies within {}
        key = ("w", p, q)
        found = self.memo.get(key)
        if found is not None:
            return found
        lp, lq = self.level[p], self.level[q]
        if lp < lq:
            result = self.node(lp, self.without(self.lo[p], q), self.without(self.hi[p], q))
        elif lq < lp:
            result = self.without(p, self.lo[q])
        else:
            hi = self.without(self.without(self.hi[p], self.hi[q]), self.lo[q])
            result = self.node(lp, self.without(self.lo[p], self.lo[q]), hi)
        self._step()
        self.memo[key] = result
        return result

    def minimal(self, p: int) -> int:
        """The sets of ``p`` that hold no other set of ``p``."""
        if p <= _BASE:
            return p
        key = ("m", p)
        found = self.memo.get(key)
        if found is not None:
            return found
        lo = self.minimal(self.lo[p])
        result = self.node(self.level[p], lo, self.without(self.minimal(self.hi[p]), lo))
        self._step()
        self.memo[key] = result
        return result

    def count(self, p: int) -> int:
        counts = {_EMPTY: 0, _BASE: 1}
        stack = [p]
        while stack:
            top = stack[-1]
            if top in counts:
                stack.pop()
                continue
            lo, hi = self.lo[top], self.hi[top]
            if lo in counts and hi in counts:
                counts[top] = counts[lo] + counts[hi]
                stack.pop()
            else:
                stack.extend(x for x in (lo, hi) if x not in counts)
        return counts[p]

    def sizes(self, p: int) -> tuple[dict[int, int], dict[int, int]]:
        """The smallest and largest set size below each node (the empty family: none)."""
        small: dict[int, int] = {_BASE: 0}
        large: dict[int, int] = {_BASE: 0}
        stack = [p] if p != _EMPTY else []
        while stack:
            top = stack[-1]
            if top in small:
                stack.pop()
                continue
            waiting = [x for x in (self.lo[top], self.hi[top]) if x != _EMPTY and x not in small]
            if waiting:
                stack.extend(waiting)
                continue
            stack.pop()
            options_small = [small[self.lo[top]]] if self.lo[top] != _EMPTY else []
            options_large = [large[self.lo[top]]] if self.lo[top] != _EMPTY else []
            options_small.append(small[self.hi[top]] + 1)
            options_large.append(large[self.hi[top]] + 1)
            small[top], large[top] = min(options_small), max(options_large)
        return small, large

    def sets_of_size(
        self, p: int, size: int, limit: int, sizes: tuple[dict[int, int], dict[int, int]]
    ) -> Iterator[tuple[int, ...]]:
        """Up to ``limit`` sets of exactly ``size`` members of ``p``, as sorted levels;
        ``sizes`` is what sizes(p) returns."""
        small, large = sizes
        given = 0
        # (node, members still needed, members so far)
        stack: list[tuple[int, int, tuple[int, ...]]] = [(p, size, ())]
        while stack and given < limit:
            node, need, members = stack.pop()
            if node == _EMPTY or not small[node] <= need <= large[node]:
                continue
            if node == _BASE:
                given += 1
                yield members
                continue
            self._step()
            # The sets without this variable go on the stack first, to come out second.
            stack.append((self.lo[node], need, members))
            stack.append((self.hi[node], need - 1, (*members, self.level[node])))


class _Analyses:
    """What counting and listing ask of the last graph several times, each found once: the
    linear walks over it, and the diagrams built within a budget (each the same however
    often it is built, so that the budget of each attempt stays what it was)."""

    def __init__(self, graph: LogicGraph | None):
        self.graph = graph
        self.found: dict[object, object] = {}


_last_analyses = _Analyses(None)


def _analyses(graph: LogicGraph) -> dict[object, object]:
    global _last_analyses
    if _last_analyses.graph is not graph:
        _last_analyses = _Analyses(graph)
    return _last_analyses.found


def _walks(graph: LogicGraph) -> tuple[list[int], list[bool], list[bool], list[int]]:
    """The linear walks over the graph, made once per graph by the native module (they took
    seconds of Python on 200,000 gates): the components under the top in the order a
    depth-first walk from the top meets them (the components of one module come next to one
    another, which keeps the ZBDD small); per gate whether the top depends on it; whether it
    is a module, nothing below it reached from outside it (Dutuit and Rauzy 1996, "A
    linear-time algorithm to find modules of fault trees"; False for the gates not under the
    top); and how often the gates under the top take it as an input."""
    found = _analyses(graph)
    if "walks" not in found:
        import tavoq

        gates = graph.gates
        offsets = np.fromiter(
            itertools.accumulate((len(gate.inputs) for gate in gates), initial=0),
            dtype=np.int64,
            count=len(gates) + 1,
        )
        inputs = np.fromiter(
            itertools.chain.from_iterable(gate.inputs for gate in gates),
            dtype=np.int32,
            count=int(offsets[-1]),
        )
        order, under, module, uses = tavoq.graphWalks(
            graph.n_components, offsets, inputs, graph.top
        )
        found["walks"] = (
            order.tolist(),
            under.astype(bool).tolist(),
            module.astype(bool).tolist(),
            uses.tolist(),
        )
    return found["walks"]  # type: ignore[return-value]


def _variable_order(graph: LogicGraph) -> list[int]:
    return _walks(graph)[0]


def _under_top(graph: LogicGraph) -> list[bool]:
    return _walks(graph)[1]


def _independence(graph: LogicGraph) -> _Independence:
    found = _analyses(graph)
    if "independence" not in found:
        found["independence"] = _Independence(graph)
    return found["independence"]  # type: ignore[return-value]


class _Independence:
    """For each gate under the top, whether no component lies under two of its inputs (an
    input listed twice shares). A component or a module is one token: nothing outside a
    module reaches what lies below it. Only the gates that are not modules are expanded, into
    a mask of their tokens (bit positions handed out as tokens first enter a mask), so a tree
    or a chain of modules needs no mask at all. A mask is dropped once the last gate that
    takes it has used it.

    Gates are looked at in order, only as far as asked (``independence[i]``): an attempt that
    runs out of budget early needs the first gates only, and the masks of a large graph
    whose subtrees are shared far apart take much memory."""

    def __init__(self, graph: LogicGraph):
        self.graph = graph
        _, self.needed, self.module, uses = _walks(graph)
        self.uses = list(uses)  # counted down as the gates are looked at
        self.masks: dict[int, int] = {}
        self.position: dict[int, int] = {}
        self.independent = [False] * graph.n_gates
        self.done = 0  # the gates before this one are found

    def __getitem__(self, i: int) -> bool:
        while self.done <= i:
            self._next()
        return self.independent[i]

    def _next(self) -> None:
        i = self.done
        self.done += 1
        if not self.needed[i]:
            return
        n = self.graph.n_components
        gate = self.graph.gates[i]
        module, masks, position, uses = self.module, self.masks, self.position, self.uses
        tokens = [x for x in gate.inputs if x < n or module[x - n]]
        expanded = [masks[x - n] for x in gate.inputs if x >= n and not module[x - n]]
        alone = len(set(tokens)) == len(tokens)
        if expanded or not module[i]:
            seen = 0
            for x in tokens:
                seen |= 1 << position.setdefault(x, len(position))
            for mask in expanded:
                alone = alone and not seen & mask
                seen |= mask
            if not module[i]:
                masks[i] = seen
        for x in gate.inputs:
            if x >= n:
                uses[x - n] -= 1
                if not uses[x - n]:
                    masks.pop(x - n, None)
        self.independent[i] = alone


def _combined(items: list[int], combine: Callable[[int, int], int], independent: bool) -> int:
    """``combine`` over all the items. Inputs without shared components are taken from the
    last one: the walk from the top numbered their variables in input order, so each step
    only walks the new item's nodes. Otherwise pairwise, so that a gate of 10,000 inputs
    takes n log n steps, not n^2."""
    if independent:
        result = items[-1]
        for item in reversed(items[:-1]):
            result = combine(item, result)
        return result
    while len(items) > 1:
        items = [
            combine(items[i], items[i + 1]) if i + 1 < len(items) else items[i]
            for i in range(0, len(items), 2)
        ]
    return items[0]


def _gate_family(zbdd: _Zbdd, gate: Gate, parts: list[int], independent: bool) -> int:
    """The minimal cut sets of ``gate`` from its inputs' (``parts``). Families of inputs that
    share no component combine into minimal families already; others are minimised."""
    m = zbdd.max_size

    def tidy(p: int) -> int:
        return p if independent else zbdd.minimal(p)

    if gate.kind == "or":
        return tidy(_combined(parts, zbdd.union, independent))
    if gate.kind == "and":
        return _combined(parts, lambda p, q: tidy(zbdd.join(p, q, m)), independent)
    # table[j]: at least j of the inputs seen so far. Only j >= k - (inputs still to come)
    # can still reach k.
    k, count = gate.k, len(parts)
    table = [_BASE] + [_EMPTY] * k
    for seen, part in enumerate(parts, start=1):
        for j in range(min(seen, k), max(1, k - (count - seen)) - 1, -1):
            table[j] = tidy(zbdd.union(table[j], zbdd.join(table[j - 1], part, m)))
    return table[k]


def _build(graph: LogicGraph, zbdd: _Zbdd, level: dict[int, int]) -> int:
    n = graph.n_components
    independent = _independence(graph)
    needed = _under_top(graph)
    family: dict[int, int] = {}
    for i, gate in enumerate(graph.gates):
        if needed[i]:
            parts = [family[x - n] if x >= n else zbdd.single(level[x]) for x in gate.inputs]
            family[i] = _gate_family(zbdd, gate, parts, independent[i])
    return family[graph.top]


def _modular_count(graph: LogicGraph, budget: int) -> int | None:
    """The exact count when every gate's inputs share no component, else None."""
    n = graph.n_components
    independent = _independence(graph)
    needed = _under_top(graph)
    counts: dict[int, int] = {}
    work = 0
    for i, gate in enumerate(graph.gates):
        if not needed[i]:
            continue
        if not independent[i]:
            return None
        values = [counts[x - n] if x >= n else 1 for x in gate.inputs]
        if gate.kind == "or":
            counts[i] = sum(values)
        elif gate.kind == "and":
            product = 1
            for v in values:
                product *= v
            counts[i] = product
        else:
            work += len(values) * gate.k
            if work > budget:
                return None
            # Elementary symmetric sum e_k of the inputs' counts.
            e = [1] + [0] * gate.k
            for v in values:
                for j in range(gate.k, 0, -1):
                    e[j] += e[j - 1] * v
            counts[i] = e[gate.k]
    return counts[graph.top]


# A set in _modular_sets: a component, or the union of disjoint sets (the empty set: of
# none). Their members are gathered only for the sets finally listed, so a chain of n
# ``and`` gates costs n, not n^2.
_Members = int | tuple["_Members", ...]


def _members(members: _Members) -> list[int]:
    found, stack = [], [members]
    while stack:
        top = stack.pop()
        if isinstance(top, int):
            found.append(top)
        else:
            stack.extend(top)
    return found


def _modular_sets(graph: LogicGraph, limit: int, budget: int) -> list[tuple[int, ...]] | None:
    """The ``limit`` smallest minimal cut sets (component indices, each sorted) of a graph
    whose every gate has inputs without a component in common; None when some gate shares
    or past ``budget`` steps. Such a gate's sets combine its inputs' sets without a
    superset among them: ``or`` takes them all, ``and`` one of each input, ``atleast(k)`` one
    of each of k inputs; each gate keeps only its ``limit`` smallest, which are all that
    the smallest of the gates above can be made of."""
    n = graph.n_components
    independent = _independence(graph)
    needed = _under_top(graph)
    work = 0
    # Per gate: up to ``limit`` sets as (size, members), smallest first.
    families: dict[int, list[tuple[int, _Members]]] = {}

    def family(node: int) -> list[tuple[int, _Members]]:
        return families[node - n] if node >= n else [(1, node)]

    def product(a: list[tuple[int, _Members]], b: list[tuple[int, _Members]]) -> list:
        """The ``limit`` smallest unions of a set of ``a`` and one of ``b``."""
        nonlocal work
        if not a or not b:
            return []
        out: list[tuple[int, _Members]] = []
        heap = [(a[0][0] + b[0][0], 0, 0)]
        seen = {(0, 0)}
        while heap and len(out) < limit:
            size, i, j = heapq.heappop(heap)
            out.append((size, (a[i][1], b[j][1])))
            for x, y in ((i + 1, j), (i, j + 1)):
                if x < len(a) and y < len(b) and (x, y) not in seen:
                    seen.add((x, y))
                    heapq.heappush(heap, (a[x][0] + b[y][0], x, y))
        work += 2 * len(out) + 1
        return out

    def union(parts: list[list[tuple[int, _Members]]]) -> list:
        nonlocal work
        work += len(parts)
        out = list(itertools.islice(heapq.merge(*parts, key=lambda e: e[0]), limit))
        work += len(out)
        return out

    for i, gate in enumerate(graph.gates):
        if not needed[i]:
            continue
        if not independent[i]:
            return None
        parts = [family(x) for x in gate.inputs]
        if gate.kind == "or":
            families[i] = union(parts)
        elif gate.kind == "and":
            result = parts[0]
            for part in parts[1:]:
                result = product(result, part)
            families[i] = result
        else:
            # table[j]: the sets of exactly j of the inputs seen so far.
            none: _Members = ()
            table: list[list[tuple[int, _Members]]] = [[(0, none)]]
            table += [[] for _ in range(gate.k)]
            for seen_inputs, part in enumerate(parts, start=1):
                low = max(1, gate.k - (len(parts) - seen_inputs))
                for j in range(min(seen_inputs, gate.k), low - 1, -1):
                    table[j] = union([table[j], product(table[j - 1], part)])
            families[i] = table[gate.k]
        if work > budget:
            return None
    return [tuple(sorted(_members(members))) for _, members in families[graph.top]]


@dataclass(frozen=True)
class CutsetCount:
    """How many minimal cut sets the top has: ``exact``, or when it could not be counted
    within the budget (None), ``at_least`` of up to ``order`` components each."""

    exact: int | None
    at_least: int
    order: int = 0
    #: Why the logic has no minimal cut sets at all (order-dependent or not coherent).
    none_because: str = ""

    def describe(self) -> str:
        """``14,348,907``, ``at least 120,000`` or, when not even the sets of one component
        could be made, ``uncounted`` (the text of a count, without the noun); ``no`` when
        the logic has none."""
        if self.none_because:
            return "no"
        if self.exact is not None:
            return f"{self.exact:,}"
        if not self.order:
            return "uncounted"
        return f"at least {self.at_least:,}"

    def exceeds(self, limit: int) -> bool | None:
        """Whether there are more than ``limit``; None when that is not known."""
        if self.exact is not None:
            return self.exact > limit
        return True if self.at_least > limit else None


@dataclass(frozen=True)
class CutsetList:
    """Minimal cut sets as component indices, smallest first; ``complete`` when no smaller
    or equal-sized set was left out for want of budget."""

    cutsets: tuple[tuple[int, ...], ...]
    complete: bool


def _ordered(sets: Sequence[tuple[int, ...]], order: Sequence[int]) -> list[tuple[int, ...]]:
    """Sets of levels -> sets of component indices, by size and then the members."""
    members = [tuple(sorted(order[v] for v in levels)) for levels in sets]
    return sorted(members, key=lambda s: (len(s), s))


def _levels(graph: LogicGraph) -> tuple[list[int], dict[int, int]]:
    order = _variable_order(graph)
    found = _analyses(graph)
    if "levels" not in found:
        found["levels"] = {c: i for i, c in enumerate(order)}
    return order, found["levels"]  # type: ignore[return-value]


def _whole(graph: LogicGraph, budget: int) -> tuple[_Zbdd, int] | None:
    """The ZBDD of the top's minimal cut sets, or None past the budget."""
    found = _analyses(graph)
    key = ("whole", budget)
    if key not in found:
        found[key] = _build_whole(graph, budget)
    return found[key]  # type: ignore[return-value]


def _build_whole(graph: LogicGraph, budget: int) -> tuple[_Zbdd, int] | None:
    order, level = _levels(graph)
    zbdd = _Zbdd(budget)
    with _recursion_for(len(order)):
        try:
            return zbdd, _build(graph, zbdd, level)
        except _OverBudget:
            return None


class _Truncations:
    """The diagrams ``_truncated`` has built so far, and the budget they left."""

    def __init__(self, budget: int):
        self.made: list[tuple[_Zbdd, int]] = []
        self.left = budget
        self.over = False


def _truncated(graph: LogicGraph, budget: int) -> Iterator[tuple[_Zbdd, int]]:
    """The ZBDDs of the top's minimal cut sets of up to 1, 2, ... components, for as long
    as ``budget`` (shared by all of them) lasts. Those built for an earlier call on the
    same graph and budget are given again rather than built again."""
    order, level = _levels(graph)
    found = _analyses(graph)
    key = ("truncated", budget)
    if key not in found:
        found[key] = _Truncations(budget)
    record: _Truncations = found[key]  # type: ignore[assignment]
    for m in range(1, len(order) + 1):
        if m > len(record.made):
            if record.over:
                return
            zbdd = _Zbdd(record.left, m)
            with _recursion_for(len(order)):
                try:
                    top = _build(graph, zbdd, level)
                except _OverBudget:
                    record.over = True
                    return
            record.left -= zbdd.work
            record.made.append((zbdd, top))
        yield record.made[m - 1]


def count_cutsets(graph: LogicGraph, budget: int = WORK_BUDGET) -> CutsetCount:
    """The number of minimal cut sets of the top gate (see the module's text for how)."""
    if not graph.coherent:
        return CutsetCount(None, 0, none_because=graph.why_no_cutsets)
    whole = _whole(graph, budget)
    if whole is not None:
        number = whole[0].count(whole[1])
        return CutsetCount(number, number)
    exact = _modular_count(graph, WORK_BUDGET)
    if exact is not None:
        return CutsetCount(exact, exact)
    best = CutsetCount(None, 0)
    n_variables = len(_variable_order(graph))
    for zbdd, top in _truncated(graph, budget):
        number = zbdd.count(top)
        if zbdd.max_size == n_variables:  # sets of up to every component: all of them
            return CutsetCount(number, number)
        best = CutsetCount(None, number, zbdd.max_size or 0)
    return best


def _list_into(
    found: list[tuple[int, ...]], zbdd: _Zbdd, top: int, limit: int, reach: int, budget: int
) -> None:
    """Up to ``limit`` sets of ``top`` of at most ``reach`` members, the smallest first,
    appended to ``found`` (also when the budget runs out on the way)."""
    if top == _EMPTY:
        return
    zbdd.work, zbdd.budget = 0, budget
    sizes = zbdd.sizes(top)
    small, large = sizes
    for size in range(small[top], min(reach, large[top]) + 1):
        found.extend(zbdd.sets_of_size(top, size, limit - len(found), sizes))
        if len(found) >= limit:
            return


def smallest_cutsets(graph: LogicGraph, limit: int, budget: int = WORK_BUDGET) -> CutsetList:
    """Up to ``limit`` (at most MAX_LISTED) minimal cut sets of the fewest components
    (component indices, by size and then members). Among sets of one size, those that come first in the
    diagram's order of components are taken (a depth-first walk from the top)."""
    if not graph.coherent:
        return CutsetList((), True)
    order = _variable_order(graph)
    limit = min(limit, MAX_LISTED)
    # Listing costs a step per node on the way to each set; the sets share the start of
    # their ways, so a few steps per set on top of the diagram's nodes.
    listing = budget + LISTING_STEPS * limit
    found: list[tuple[int, ...]] = []
    complete = False
    try:
        whole = _whole(graph, budget)
        if whole is not None:
            _list_into(found, *whole, limit, len(order), listing)
            complete = True
        else:
            # Independent modules past the budget of the diagram (a long chain, a wide gate)
            # are listed from their inputs' sets, for a few steps per input on top.
            steps = listing + LISTING_STEPS * sum(len(gate.inputs) for gate in graph.gates)
            modular = _modular_sets(graph, limit, steps)
            if modular is not None:
                return CutsetList(tuple(sorted(modular, key=lambda s: (len(s), s))), True)
            for zbdd, top in _truncated(graph, budget):
                found = []
                _list_into(found, zbdd, top, limit, zbdd.max_size or 0, listing)
                if len(found) >= limit or zbdd.max_size == len(order):
                    complete = True
                    break
    except _OverBudget:
        pass
    return CutsetList(tuple(_ordered(found, order)), complete)


@dataclass(frozen=True)
class CutsetDiagram:
    """The top's minimal cut sets as a ZBDD over arrays. Node k >= 2 holds the sets of
    ``lo[k]`` (without component ``component[k]``) and those of ``hi[k]`` with it added;
    node 0 is the empty family, node 1 the family of the empty set. A node's children come
    before it, so one pass in index order meets every child before its parents."""

    component: np.ndarray
    lo: np.ndarray
    hi: np.ndarray
    top: int


def cutset_diagram(graph: LogicGraph, budget: int = WORK_BUDGET) -> CutsetDiagram | None:
    """The diagram of ``graph``'s minimal cut sets, or None when the logic is not coherent
    or the diagram is past the budget."""
    if not graph.coherent:
        return None
    whole = _whole(graph, budget)
    if whole is None:
        return None
    zbdd, top = whole
    order = _variable_order(graph)
    component = [-1, -1] + [order[level] for level in zbdd.level[2:]]
    return CutsetDiagram(
        np.array(component, dtype=np.int64),
        np.array(zbdd.lo, dtype=np.int64),
        np.array(zbdd.hi, dtype=np.int64),
        top,
    )


def all_cutsets(
    graph: LogicGraph, limit: int, budget: int = WORK_BUDGET
) -> list[tuple[int, ...]] | None:
    """Every minimal cut set (component indices, by size and then members) when there
    are at most ``limit`` of them and the budget allows; else None."""
    count = count_cutsets(graph, budget)
    if count.exact is None or count.exact > limit:
        return None
    listed = smallest_cutsets(graph, max(count.exact, 1), budget)
    if not listed.complete or len(listed.cutsets) != count.exact:
        return None
    return list(listed.cutsets)


def layout_of(
    graph: LogicGraph,
    given_as_cutsets: bool = False,
    limit: int = TABLE_CUTSETS,
    count: CutsetCount | None = None,
) -> tuple[LogicGraph, LogicLayout]:
    """The graph to run, and where its statistics are (see LogicLayout).

    A graph ``given_as_cutsets`` (made by graph_of_cutsets: gate i is cut set i) has its cut
    sets' gates already. Otherwise, when the top has at most ``limit`` minimal cut sets, one
    ``and`` gate per minimal cut set follows the others, feeding nothing, so that the
    run counts them without changing a draw or the verdict. ``count`` saves counting again.
    """
    names = graph.component_names

    def label(members: Sequence[int]) -> str:
        return " & ".join(names[i] for i in sorted(members))

    if given_as_cutsets:
        table = tuple((label(graph.gates[i].inputs), i) for i in range(graph.n_gates - 1))
        return graph, LogicLayout(graph.named, graph.top, table)
    count = count or count_cutsets(graph)
    if count.none_because:
        return graph, LogicLayout(graph.named, graph.top, None, count.none_because)
    listed = (
        all_cutsets(graph, limit) if count.exact is not None and count.exact <= limit else None
    )
    if listed is None:
        if count.exceeds(limit):
            note = f"{count.describe()} minimal cut sets: more than the {limit:,} a table shows"
        elif count.exact is not None:
            note = (
                f"{count.describe()} minimal cut sets, which could not be listed within the "
                "work budget"
            )
        else:
            note = (
                f"the minimal cut sets could not be counted within the work budget "
                f"({count.describe()})"
            )
        return graph, LogicLayout(graph.named, graph.top, None, note)
    watched, gates = graph.with_observers(listed)
    table = tuple((label(members), g) for members, g in zip(listed, gates, strict=True))
    return watched, LogicLayout(graph.named, graph.top, table)
