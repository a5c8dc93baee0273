"""The logic graph: built from [gates] and failed_when as written, refusing cycles and
unknown names, and evaluating as the expressions do."""

import itertools
import random

import pytest
from conftest import examples
from hypothesis import given, settings
from hypothesis import strategies as st

from tavoq_tools.analysis.conditioned import hold_in_logic
from tavoq_tools.model.graph import (
    Gate,
    GraphError,
    LogicGraph,
    PreparedGates,
    build_graph,
    graph_of_cutsets,
)
from tavoq_tools.model.logic import parse

COMPONENTS = ["a", "b", "c", "d", "e"]


def holds(node, failed, gates):
    """The expression's value, named gates read through ``gates`` (name -> parsed)."""
    if node.kind == "name":
        if node.name in gates:
            return holds(gates[node.name], failed, gates)
        return node.name in failed
    count = sum(holds(arg, failed, gates) for arg in node.args)
    return count >= {"or": 1, "and": len(node.args), "atleast": node.k}[node.kind]


@st.composite
def expressions(draw, names):
    """Expression text over ``names``, nested up to three levels."""

    def build(depth):
        if depth == 0 or draw(st.integers(0, 2)) == 0:
            return draw(st.sampled_from(names))
        args = [build(depth - 1) for _ in range(draw(st.integers(1, 3)))]
        kind = draw(st.sampled_from(["or", "and", "atleast"]))
        if kind == "atleast":
            k = draw(st.integers(1, len(args)))
            return f"atleast({k}, {', '.join(args)})"
        return "(" + f" {kind} ".join(args) + ")"

    return build(3)


@st.composite
def gate_tables(draw):
    """[gates] tables naming earlier gates only, written in a shuffled order."""
    gates = {}
    for i in range(draw(st.integers(0, 4))):
        gates[f"g{i}"] = draw(expressions(COMPONENTS + list(gates)))
    failed_when = draw(expressions(COMPONENTS + list(gates)))
    order = draw(st.permutations(list(gates)))
    return {name: gates[name] for name in order}, failed_when


@settings(max_examples=examples(150), deadline=None)
@given(gate_tables())
def test_graph_evaluates_as_the_expressions(table):
    gates, failed_when = table
    graph = build_graph(COMPONENTS, gates, failed_when)
    parsed = {name: parse(text) for name, text in gates.items()}
    top = parse(failed_when)
    assert [name for name, _ in graph.named] == list(gates)
    for bits in itertools.product([0, 1], repeat=len(COMPONENTS)):
        failed = {c for c, bit in zip(COMPONENTS, bits, strict=True) if bit}
        states = graph.evaluate_gates(bits)
        assert graph.evaluate(bits) == holds(top, failed, parsed)
        for name, index in graph.named:
            assert states[index] == holds(parsed[name], failed, parsed), name


@settings(max_examples=examples(150), deadline=None)
@given(gate_tables(), st.data())
def test_a_node_held_in_the_logic_evaluates_as_the_graph_with_it_forced(table, data):
    # Importance measures hold a component or gate failed or working by simplifying the
    # graph; the simplified graph must fail exactly when the original does with the node
    # forced, whatever the other components do.
    gates, failed_when = table
    graph = build_graph(COMPONENTS, gates, failed_when)
    n = len(COMPONENTS)
    node = data.draw(st.integers(0, n + graph.n_gates - 1))
    failed = data.draw(st.booleans())
    held = hold_in_logic(graph, node, failed)
    for bits in itertools.product([0, 1], repeat=n):
        states = list(bits)
        if node < n:
            states[node] = int(failed)
        value = states + [False] * graph.n_gates
        for i, gate in enumerate(graph.gates):
            count = sum(bool(value[j]) for j in gate.inputs)
            value[n + i] = failed if n + i == node else count >= gate.threshold
        expected = value[n + graph.top]
        got = held if isinstance(held, bool) else held.evaluate(states)
        assert got == expected, (bits, node, failed)


@pytest.mark.parametrize(
    ("gates", "failed_when", "cycle"),
    [
        ({"a": "a or x"}, "a", "gates.a -> gates.a"),
        ({"a": "b or x", "b": "a and y"}, "x", "gates.a -> gates.b -> gates.a"),
        (
            {"p": "x", "a": "b", "b": "c or y", "c": "atleast(1, a, x)"},
            "p",
            "gates.a -> gates.b -> gates.c -> gates.a",
        ),
    ],
    ids=["self", "pair", "three"],
)
def test_cycle_is_refused_with_its_path(gates, failed_when, cycle):
    with pytest.raises(GraphError, match="cycle: " + cycle.replace(".", r"\.") + "$") as err:
        build_graph(["x", "y"], gates, failed_when)
    assert err.value.key == cycle.split(" ->")[0]


@pytest.mark.parametrize(
    ("gates", "failed_when", "key", "message"),
    [
        (
            {"train": "pump or valv"},
            "train",
            "gates.train",
            'column 9: unknown name "valv"; did you mean "valve"',
        ),
        (
            {"train": "atleast(2, pump, valv, valve)"},
            "train",
            "gates.train",
            'column 18: unknown name "valv"',
        ),
        ({"train": "pump or valve"}, "trian", "failed_when", 'did you mean "train"'),
        ({"pump": "valve"}, "pump", "gates.pump", "is a component already"),
        ({"2x": "valve"}, "pump", "gates.2x", "a gate name is letters"),
        ({"or": "valve"}, "pump", "gates.or", "a gate name is letters"),
        ({"train": "pump or"}, "train", "gates.train", "column 8: expected a component name"),
        ({"train": 3}, "train", "gates.train", "must be a string"),
        ({}, "", "failed_when", "the expression is empty"),
    ],
    ids=[
        "unknown-in-gate",
        "unknown-in-atleast",
        "unknown-in-top",
        "component-name",
        "digit",
        "keyword",
        "syntax",
        "not-text",
        "empty",
    ],
)
def test_bad_gates_name_their_key(gates, failed_when, key, message):
    with pytest.raises(GraphError, match=message) as err:
        build_graph(["pump", "valve"], gates, failed_when)
    assert err.value.key == key


@settings(max_examples=examples(300), deadline=None)
@given(
    names=st.lists(
        st.one_of(
            st.sampled_from(["or", "not_", "pump", "g" * 100, "g" * 101, "_", "é", "x\u0661"]),
            st.text(alphabet="ab_1 -é\u00b2\u0661", max_size=4),
        ),
        min_size=1,
        max_size=4,
        unique=True,
    )
)
def test_a_gate_name_is_refused_as_the_name_pattern_says(names):
    # The names are checked all at once, and one by one only to say which is wrong: the
    # first that the pattern refuses, is too long or is a component's, as before.
    from tavoq_tools.model.logic import KEYWORDS, MAX_NAME_LENGTH, NAME_PATTERN

    def fault(name):
        if not NAME_PATTERN.fullmatch(name) or name in KEYWORDS:
            return "a gate name is letters"
        if len(name) > MAX_NAME_LENGTH:
            return "a gate name is at most"
        if name == "pump":
            return "is a component already"
        return None

    gates = {name: "valve" for name in names}
    faults = [f for f in map(fault, names) if f is not None]
    if not faults:
        assert build_graph(["pump", "valve"], gates, names[0]).n_gates == len(names)
    else:
        with pytest.raises(GraphError, match=faults[0]):
            build_graph(["pump", "valve"], gates, "valve")


def test_gates_in_common_forms_build_the_parsers_graph():
    # Gates written as a name, names joined by one operator or atleast of names become
    # their Gate without the parser's nodes; parentheses send the same logic through the
    # parser, which must build the same graph.
    names = ["a", "b", "c"]
    simple = {"g": "a or b", "h": "atleast(2, a, b, g)", "i": "h", "j": "c and i"}
    wrapped = {"g": "(a or b)", "h": "atleast(2, (a), b, g)", "i": "(h)", "j": "(c) and i"}
    for top in ("j", "c", "g"):
        assert build_graph(names, simple, top) == build_graph(names, wrapped, top)


def test_nested_forms_without_an_order_build_the_texts_graph_and_check_their_names():
    # A reader's nested forms, its order not given: build_graph orders the gates and
    # checks the names through the nesting, as it does for the texts.
    names = ["a", "b", "c"]
    texts = {"h": "(a and g) or c", "g": "atleast(2, a, (b or c), c)"}
    forms = {
        "h": ("or", 0, (("and", 0, ("a", "g")), "c")),
        "g": ("atleast", 2, ("a", ("or", 0, ("b", "c")), "c")),
    }
    prepared = PreparedGates(texts, forms, None)
    assert build_graph(names, prepared, "h", prepared=prepared) == build_graph(names, texts, "h")
    texts["h"] = "(a and d) or c"
    bad = PreparedGates(texts, {"h": ("or", 0, (("and", 0, ("a", "d")), "c"))}, None)
    with pytest.raises(GraphError, match='gates.h: column 8: unknown name "d"') as caught:
        build_graph(names, bad, "h", prepared=bad)
    with pytest.raises(GraphError) as from_texts:
        build_graph(names, texts, "h")
    assert str(caught.value) == str(from_texts.value)


def test_unknown_name_hook_makes_the_error():
    def unknown(key, name, column):
        return KeyError(f"{key} {name} {column}")

    with pytest.raises(KeyError, match="gates.t pmup 1"):
        build_graph(["pump"], {"t": "pmup"}, "t", unknown)


def test_gates_are_built_as_written_and_named_in_file_order():
    # b is written after a but needed by it: gate indices follow the dependencies, the
    # named list keeps the file's order.
    graph = build_graph(["x", "y", "z"], {"a": "b or z", "b": "x and (y or z)"}, "a")
    assert [name for name, _ in graph.named] == ["a", "b"]
    a, b = graph.gate_index("a"), graph.gate_index("b")
    assert b < a == graph.top
    assert graph.gates[a] == Gate("or", (3 + b, 2), 0, "a")
    assert graph.gates[b].inputs[0] == 0 and graph.gates[b].kind == "and"
    # One gate per operator: or(y, z), and(x, .), or(b, z).
    assert graph.n_gates == 3 and graph.depth == 3


@pytest.mark.parametrize(
    ("gates", "failed_when", "n_gates", "y_fails_it"),
    [
        ({}, "x", 1, False),
        ({"alias": "x"}, "alias", 1, False),
        ({"alias": "t", "t": "x or y"}, "alias", 2, True),
    ],
    ids=["component-top", "component-alias", "gate-alias"],
)
def test_bare_names_get_a_gate_of_their_own(gates, failed_when, n_gates, y_fails_it):
    graph = build_graph(["x", "y"], gates, failed_when)
    assert graph.n_gates == n_gates
    assert graph.evaluate([1, 0]) and graph.evaluate([0, 1]) == y_fails_it
    assert not graph.evaluate([0, 0])


def test_long_chain_of_named_gates_builds():
    n = 5000
    gates = {f"g{i}": f"g{i + 1} or c{i}" for i in range(n - 1)}
    gates[f"g{n - 1}"] = f"c{n - 1}"
    graph = build_graph([f"c{i}" for i in range(n)], gates, "g0")
    assert graph.depth == n
    failed = [0] * n
    failed[-1] = 1
    assert graph.evaluate(failed)


def test_repeated_input_counts_each_time():
    graph = build_graph(["x", "y", "z"], {}, "atleast(2, x, x, y)")
    assert graph.evaluate([1, 0, 0]) and not graph.evaluate([0, 1, 1])


def test_cutsets_become_ands_under_one_or():
    graph = graph_of_cutsets(["p", "q", "v"], [["p", "q"], ["v"]])
    assert [g.kind for g in graph.gates] == ["and", "and", "or"]
    for bits in itertools.product([0, 1], repeat=3):
        assert graph.evaluate(bits) == ((bits[0] and bits[1]) or bool(bits[2]))
    with pytest.raises(
        GraphError, match='cutsets\\[1\\]: unknown component "vv"; did you mean "v"'
    ):
        graph_of_cutsets(["p", "q", "v"], [["p"], ["vv"]])


def test_observers_watch_their_cut_set_and_feed_nothing():
    graph = build_graph(["x", "y", "z"], {"t": "x and (y or z)"}, "t")
    watched, added = graph.with_observers([(0, 1), (0, 2)])
    assert added == (graph.n_gates, graph.n_gates + 1)
    rng = random.Random(3)
    for _ in range(20):
        bits = [rng.randint(0, 1) for _ in range(3)]
        states = watched.evaluate_gates(bits)
        assert watched.evaluate(bits) == graph.evaluate(bits)
        assert states[added[0]] == (bits[0] and bits[1])
        assert states[added[1]] == (bits[0] and bits[2])


@settings(max_examples=examples(300), deadline=None)
@given(
    st.lists(
        st.tuples(
            st.sampled_from(["or", "and", "atleast"]),
            st.integers(0, 3),
            st.lists(st.integers(-2, 8), min_size=1, max_size=4),
        ),
        min_size=1,
        max_size=5,
    )
)
def test_graph_depth_and_its_first_faulty_gate(gates):
    # Three components; gate i may take nodes 0 .. 2 + i, and an atleast k from 1 to its
    # inputs. Its depth is one past its deepest input's (a component's is 0); the first gate
    # with a fault is named, with the first fault the checks look at.
    n = 3
    graph_gates = tuple(
        Gate(kind, tuple(x), k if kind == "atleast" else 0) for kind, k, x in gates
    )
    for i, (kind, k, inputs) in enumerate(gates):
        if kind == "atleast" and not 1 <= k <= len(inputs):
            fault = "atleast needs 1 <= k"
        else:
            bad = [x for x in inputs if not 0 <= x < n + i]
            fault = f"input {bad[0]} is neither" if bad else None
        if fault is not None:
            with pytest.raises(GraphError, match=fault) as err:
                LogicGraph(("x", "y", "z"), graph_gates, len(gates) - 1)
            assert err.value.key == f"gate {i}"
            return
    depths = [0] * n
    for _, _, inputs in gates:
        depths.append(1 + max(depths[x] for x in inputs))
    assert LogicGraph(("x", "y", "z"), graph_gates, len(gates) - 1).depth == depths[-1]


@pytest.mark.parametrize(
    ("gates", "top", "message"),
    [
        ((Gate("or", (3,)),), 0, "neither a component nor an earlier gate"),
        ((Gate("atleast", (0, 1), 3),), 0, "1 <= k <= 2"),
        ((Gate("nxor", (0, 1)),), 0, 'unknown kind "nxor"'),
        ((Gate("not", (0, 1)),), 0, "not takes exactly 1 input, got 2"),
        ((Gate("pand", (0,)),), 0, "pand takes at least 2 inputs, got 1"),
        ((Gate("or", ()),), 0, "no inputs"),
        ((Gate("or", (0,)),), 1, "top gate 1 out of range"),
    ],
    ids=["forward", "k", "kind", "not", "pand", "empty", "top"],
)
def test_graph_checks_its_gates(gates, top, message):
    with pytest.raises(GraphError, match=message):
        LogicGraph(("x", "y", "z"), gates, top)
