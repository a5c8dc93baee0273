"""Counting and listing minimal cut sets of a logic graph within a budget of work."""

import itertools
import math

import pytest
from conftest import examples, run_capped
from hypothesis import given, settings
from hypothesis import strategies as st

from tavoq_tools.model.cutsets import (
    _independence,
    _walks,
    all_cutsets,
    count_cutsets,
    layout_of,
    smallest_cutsets,
)
from tavoq_tools.model.graph import Gate, LogicGraph, build_graph, graph_of_cutsets

N_COMPONENTS = 7


def brute_force(graph):
    """Every minimal cut set by trying every failure pattern, smallest first."""
    n = graph.n_components
    found = []
    for size in range(n + 1):
        for members in itertools.combinations(range(n), size):
            if any(set(m) <= set(members) for m in found):
                continue
            bits = [1 if i in members else 0 for i in range(n)]
            if graph.evaluate(bits):
                found.append(members)
    return found


@st.composite
def graphs(draw):
    """Graphs over 7 components whose gates share inputs and name inputs twice."""
    n = N_COMPONENTS
    gates = []
    for i in range(draw(st.integers(1, 7))):
        inputs = tuple(draw(st.lists(st.integers(0, n + i - 1), min_size=1, max_size=4)))
        kind = draw(st.sampled_from(["or", "and", "atleast"]))
        k = draw(st.integers(1, len(inputs))) if kind == "atleast" else 0
        gates.append(Gate(kind, inputs, k))
    top = draw(st.integers(0, len(gates) - 1))
    return LogicGraph(tuple(f"c{i}" for i in range(n)), tuple(gates), top)


@settings(max_examples=examples(300), deadline=None)
@given(graphs(), st.integers(1, 6))
def test_count_and_list_agree_with_every_failure_pattern(graph, limit):
    truth = brute_force(graph)
    assert count_cutsets(graph).exact == len(truth)
    listed = smallest_cutsets(graph, limit)
    assert listed.complete
    assert len(listed.cutsets) == min(limit, len(truth))
    assert all(c in truth for c in listed.cutsets)
    assert [len(c) for c in listed.cutsets] == [len(c) for c in truth[:limit]]
    assert all_cutsets(graph, len(truth)) == truth
    assert all_cutsets(graph, len(truth) - 1) is None if truth else True


@settings(max_examples=examples(300), deadline=None)
@given(graphs())
def test_inputs_are_independent_when_they_share_no_component(graph):
    n = graph.n_components
    below = [{i} for i in range(n)]
    for gate in graph.gates:
        below.append(set().union(*(below[x] for x in gate.inputs)))
    under_top = {graph.top}
    for i in range(graph.n_gates - 1, -1, -1):
        if i in under_top:
            under_top.update(x - n for x in graph.gates[i].inputs if x >= n)
    for i, gate in enumerate(graph.gates):
        if i in under_top:
            sizes = sum(len(below[x]) for x in gate.inputs)
            assert _independence(graph)[i] == (sizes == len(below[n + i]))


def below(graph, node):
    """Every node under ``node`` (not itself)."""
    n, found, stack = graph.n_components, set(), [node]
    while stack:
        x = stack.pop()
        if x >= n:
            for y in graph.gates[x - n].inputs:
                if y not in found:
                    found.add(y)
                    stack.append(y)
    return found


def preorder(graph, node, seen, order):
    """The components met by a recursive depth-first walk, inputs in listed order."""
    if node in seen:
        return
    seen.add(node)
    if node < graph.n_components:
        order.append(node)
        return
    for x in graph.gates[node - graph.n_components].inputs:
        preorder(graph, x, seen, order)


@settings(max_examples=examples(300), deadline=None)
@given(graphs())
def test_the_walks_agree_with_what_they_stand_for(graph):
    n, top = graph.n_components, graph.n_components + graph.top
    order, needed, module, uses = _walks(graph)
    expected_order: list[int] = []
    preorder(graph, top, set(), expected_order)
    assert order == expected_order
    under = below(graph, top) | {top}
    assert needed == [n + g in under for g in range(graph.n_gates)]
    parents = {x: [] for x in range(n + graph.n_gates)}
    for g, gate in enumerate(graph.gates):
        if n + g in under:
            for x in gate.inputs:
                parents[x].append(n + g)
    assert uses == [len(parents[n + g]) for g in range(graph.n_gates)]
    for g in range(graph.n_gates):
        inside = below(graph, n + g) | {n + g}
        # A module: whatever lies below it is reached from within it only.
        alone = all(p in inside for x in below(graph, n + g) for p in parents[x])
        assert module[g] == (n + g in under and alone), g


@pytest.mark.parametrize(
    ("offsets", "inputs", "top", "message"),
    [
        ([0, 2], [0, 5], 0, "input 5 is neither a component nor an earlier gate"),
        ([0, 1, 2], [0, 4], 1, "input 4 is neither a component nor an earlier gate"),
        ([0, 1, 2], [0, -1], 1, "input -1 is neither"),
        ([0, 2], [0, 1], 1, "top gate 1 out of range"),
        ([0, 3], [0, 1], 0, "offsets must run from 0"),
        ([1, 2], [0, 1], 0, "offsets must run from 0"),
        ([0, 2, 1, 2], [0, 1], 0, "must not decrease"),
    ],
)
def test_the_native_walks_refuse_a_graph_that_is_not_one(offsets, inputs, top, message):
    import numpy as np

    import tavoq

    with pytest.raises(ValueError, match=message):
        tavoq.graphWalks(3, np.array(offsets), np.array(inputs), top)


@settings(max_examples=examples(100), deadline=None)
@given(graphs(), st.integers(20, 400))
def test_short_budget_gives_a_true_lower_bound(graph, budget):
    # With too little work to finish, what comes back is the exact number of minimal cut
    # sets of up to `order` components, and the sets listed are true ones.
    truth = brute_force(graph)
    count = count_cutsets(graph, budget)
    if count.exact is not None:
        assert count.exact == len(truth)
    else:
        assert count.at_least == sum(1 for c in truth if len(c) <= count.order)
    listed = smallest_cutsets(graph, 3, budget)
    assert all(c in truth for c in listed.cutsets)
    if listed.complete:
        assert [len(c) for c in listed.cutsets] == [len(c) for c in truth[:3]]


def groups(n_groups, size, inner, outer):
    names = [f"c{g}_{i}" for g in range(n_groups) for i in range(size)]
    gates = {f"g{g}": f" {inner} ".join(f"c{g}_{i}" for i in range(size)) for g in range(n_groups)}
    return build_graph(names, gates, f" {outer} ".join(gates))


def at_least(k, n):
    names = [f"c{i}" for i in range(n)]
    return build_graph(names, {}, f"atleast({k}, {', '.join(names)})")


def is_minimal_cutset(graph, members):
    """Whether ``members`` failed fail the top, and no longer do with any one of them
    working (the graph is monotone)."""
    bits = [1 if i in members else 0 for i in range(graph.n_components)]
    if not graph.evaluate(bits):
        return False
    for i in members:
        bits[i] = 0
        if graph.evaluate(bits):
            return False
        bits[i] = 1
    return True


def chain(depth, kind):
    """``depth`` gates, each the ``kind`` of the one below and a component of its own."""
    gates = [Gate(kind, (0, 1))] + [Gate(kind, (depth + i, i + 1)) for i in range(1, depth)]
    return LogicGraph(tuple(f"c{i}" for i in range(depth + 1)), tuple(gates), depth - 1)


LARGE = {
    "11-groups-of-3-in-series": (lambda: groups(11, 3, "or", "and"), 3**11, 11),
    "and-of-300": (lambda: groups(1, 300, "and", "or"), 1, 300),
    "chain-of-300-ors": (lambda: chain(300, "or"), 301, 1),
    "chain-of-300-ands": (lambda: chain(300, "and"), 1, 301),
    "three-trains-of-50": (lambda: groups(3, 50, "or", "and"), 50**3, 3),
    "atleast-5-of-30": (lambda: at_least(5, 30), math.comb(30, 5), 5),
    "30-trains-of-3": (lambda: groups(30, 3, "or", "and"), 3**30, 30),
    "20000-in-series": (lambda: groups(1, 20000, "or", "or"), 20000, 1),
    "parallel-of-400-pairs": (lambda: groups(400, 2, "and", "or"), 400, 2),
}


@pytest.mark.parametrize(("make", "count", "size"), list(LARGE.values()), ids=list(LARGE))
def test_large_trees_are_counted_exactly(make, count, size):
    graph = make()
    assert count_cutsets(graph).exact == count
    listed = smallest_cutsets(graph, 10)
    assert listed.complete and len(listed.cutsets) == min(10, count)
    for members in listed.cutsets:
        assert len(members) == size and is_minimal_cutset(graph, members)


@pytest.mark.parametrize("name", ["and-of-300", "chain-of-300-ors", "chain-of-300-ands"])
def test_simple_trees_past_the_budget_get_their_table(name):
    graph = LARGE[name][0]()
    count = count_cutsets(graph).exact
    watched, layout = layout_of(graph)
    assert len(layout.cutset_gates) == count and not layout.cutset_note
    assert watched.n_gates == graph.n_gates + count


def test_a_deep_chain_is_counted_in_linear_memory():
    # Each gate's components as one bit mask took depth^2 / 16 bytes: 625 MB here.
    result = run_capped(
        """
        from tavoq_tools.model.cutsets import count_cutsets
        from tavoq_tools.model.graph import Gate, LogicGraph

        n = 100_000
        gates = [Gate("or", (0, 1))] + [Gate("or", (n + i, i + 1)) for i in range(1, n)]
        print(count_cutsets(LogicGraph(tuple(map(str, range(n + 1))), tuple(gates), n - 1)))
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == (
        "CutsetCount(exact=100001, at_least=100001, order=0, none_because='')"
    )


@pytest.mark.parametrize(
    ("graph", "count"),
    [
        (groups(11, 3, "or", "and"), 3**11),
        (at_least(3, 10), math.comb(10, 3)),
        (groups(1, 3000, "or", "or"), 3000),
        (
            build_graph(
                [f"c{g}_{i}" for g in range(4) for i in range(5)],
                {f"g{g}": " or ".join(f"c{g}_{i}" for i in range(5)) for g in range(4)},
                "atleast(2, g0, g1, g2, g3)",
            ),
            math.comb(4, 2) * 25,
        ),
    ],
    ids=["groups-in-series", "atleast", "wide-or", "atleast-of-groups"],
)
def test_independent_modules_are_counted_and_listed_past_the_budget(graph, count):
    # Too little budget for the diagram: the count of independent modules still holds, and
    # their smallest sets are listed from their inputs' sets.
    assert count_cutsets(graph, budget=20).exact == count
    truth = smallest_cutsets(graph, 30)
    assert truth.complete and len(truth.cutsets) == min(count, 30)
    for limit in (1, 7, 30):
        listed = smallest_cutsets(graph, limit, budget=100)
        assert listed.complete
        assert [len(c) for c in listed.cutsets] == [len(c) for c in truth.cutsets[:limit]]
        assert all(is_minimal_cutset(graph, members) for members in listed.cutsets)


def test_shared_power_is_counted():
    # Three trains of 50 causes, one power supply feeding all: 50^3 + 1.
    names = [f"t{t}_{i}" for t in range(3) for i in range(50)] + ["power"]
    gates = {
        f"train{t}": " or ".join(f"t{t}_{i}" for i in range(50)) + " or power" for t in range(3)
    }
    graph = build_graph(names, gates, "train0 and train1 and train2")
    assert count_cutsets(graph).exact == 50**3 + 1
    assert smallest_cutsets(graph, 1).cutsets == ((names.index("power"),),)


def test_hard_tree_stops_within_budget_with_a_lower_bound():
    # atleast over many overlapping ors: far too much work; the answer is a lower bound,
    # never a hang.
    names = [f"c{i}" for i in range(60)]
    gates = {
        f"g{g}": " or ".join(names[(7 * g + j * 11) % 60] for j in range(5)) for g in range(40)
    }
    graph = build_graph(names, gates, f"atleast(12, {', '.join(gates)})")
    count = count_cutsets(graph)
    assert count.exact is None and count.order >= 1 and count.describe().startswith("at least")
    assert not smallest_cutsets(graph, 10_000).complete


@settings(max_examples=examples(100), deadline=None)
@given(graphs())
def test_layout_watches_each_minimal_cut_set(graph):
    truth = brute_force(graph)
    watched, layout = layout_of(graph, limit=len(truth))
    assert layout.top_gate == graph.top and watched.gates[: graph.n_gates] == graph.gates
    labels = [" & ".join(f"c{i}" for i in c) for c in truth]
    assert [label for label, _ in layout.cutset_gates] == labels
    for bits in itertools.product([0, 1], repeat=graph.n_components):
        states = watched.evaluate_gates(bits)
        assert states[graph.top] == graph.evaluate(bits)
        for members, (_, g) in zip(truth, layout.cutset_gates, strict=True):
            assert states[g] == all(bits[i] for i in members)


@pytest.mark.parametrize(
    ("make", "limit", "note"),
    [
        (
            lambda: at_least(5, 30),
            10_000,
            "142,506 minimal cut sets: more than the 10,000 a table shows",
        ),
        (
            lambda: groups(2, 3, "or", "and"),
            8,
            "9 minimal cut sets: more than the 8 a table shows",
        ),
    ],
    ids=["atleast", "just-over"],
)
def test_layout_without_a_table_says_why(make, limit, note):
    graph = make()
    watched, layout = layout_of(graph, limit=limit)
    assert watched == graph and layout.cutset_gates is None and layout.cutset_note == note


def test_layout_of_given_cutsets_uses_their_gates():
    graph = graph_of_cutsets(["p", "q", "v"], [["q", "p"], ["v"]])
    watched, layout = layout_of(graph, given_as_cutsets=True)
    assert watched is graph
    assert layout.cutset_gates == (("p & q", 0), ("v", 1)) and layout.top_gate == 2


def test_counting_again_and_listing_after_counting_give_the_same_answers():
    # The walks and the diagrams built within the budget are kept for the last graph:
    # asking again, or in another order, must not change a count or a listed set.
    names = [f"c{i}" for i in range(60)]
    gates = {
        f"g{g}": " or ".join(names[(7 * g + j * 11) % 60] for j in range(5)) for g in range(40)
    }

    def fresh():
        return build_graph(names, gates, f"atleast(12, {', '.join(gates)})")

    listed_first = smallest_cutsets(fresh(), 50)
    graph = fresh()
    count = count_cutsets(graph)
    assert count_cutsets(graph) == count
    assert smallest_cutsets(graph, 50) == listed_first
    assert count_cutsets(fresh()) == count
