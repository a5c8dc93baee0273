"""Failure-logic expressions -> minimal cut sets, checked against brute force over every
pattern of failed components."""

import itertools
import math

import pytest
from conftest import examples
from hypothesis import given, settings
from hypothesis import strategies as st

import tavoq
from tavoq_tools import k_out_of_n_cutsets
from tavoq_tools.model.logic import (
    LogicError,
    _Parser,
    minimal_cutsets,
    minimize,
    parse,
    simple_form,
)

NAMES = ["a", "b", "c", "d", "e"]

# An expression tree as nested tuples: ("name", n), ("and", [...]), ("or", [...]),
# ("atleast", k, [...]). It is written out as text and also evaluated directly, so the parser
# and the expansion are both checked against an evaluation that uses neither.
leaves = st.sampled_from(NAMES).map(lambda n: ("name", n))


def _trees(depth):
    """Trees of at most ``depth`` levels of gates over the leaves, built level by level (a
    fixed depth keeps the expansion small without hypothesis's recursive size heuristics)."""
    if depth == 0:
        return leaves
    lists = st.lists(_trees(depth - 1), min_size=1, max_size=3)
    return st.one_of(
        leaves,
        lists.map(lambda xs: ("and", xs)),
        lists.map(lambda xs: ("or", xs)),
        lists.flatmap(lambda xs: st.integers(1, len(xs)).map(lambda k: ("atleast", k, xs))),
    )


trees = _trees(3)


def text(node, spaces):
    kind = node[0]
    if kind == "name":
        return node[1]
    if kind == "atleast":
        inner = ("," + spaces).join(text(x, spaces) for x in node[2])
        return f"atleast({node[1]},{spaces}{inner})"
    # Parenthesize every operand: the check is on meaning, not on precedence.
    return f" {kind} ".join(f"({spaces}{text(x, spaces)}{spaces})" for x in node[1])


def holds(node, failed):
    kind = node[0]
    if kind == "name":
        return node[1] in failed
    if kind == "and":
        return all(holds(x, failed) for x in node[1])
    if kind == "or":
        return any(holds(x, failed) for x in node[1])
    return sum(holds(x, failed) for x in node[2]) >= node[1]


def assert_minimal_cutsets_of(cutsets, fails):
    sets = [frozenset(c) for c in cutsets]
    assert len(set(sets)) == len(sets)
    for x, y in itertools.permutations(sets, 2):
        assert not x < y, f"{set(x)} lies within {set(y)}: not minimal"
    for bits in itertools.product((0, 1), repeat=len(NAMES)):
        failed = {n for n, bit in zip(NAMES, bits, strict=True) if bit}
        assert fails(failed) == any(c <= failed for c in sets), sorted(failed)


@settings(max_examples=examples(200), derandomize=True, deadline=None)
@given(trees, st.sampled_from(["", " ", "  \t"]))
def test_expression_gives_its_minimal_cutsets(tree, spaces):
    cutsets = minimal_cutsets(parse(text(tree, spaces)), NAMES)
    assert_minimal_cutsets_of(cutsets, lambda failed: holds(tree, failed))
    # Members in model order, smallest cut sets first.
    assert all(list(c) == sorted(c, key=NAMES.index) for c in cutsets)
    assert [len(c) for c in cutsets] == sorted(len(c) for c in cutsets)


@settings(max_examples=examples(100), derandomize=True, deadline=None)
@given(st.lists(st.sets(st.sampled_from(NAMES), min_size=1), min_size=1, max_size=8))
def test_given_cutsets_are_minimized(given_sets):
    cutsets = minimize([sorted(c) for c in given_sets], NAMES)
    assert_minimal_cutsets_of(cutsets, lambda failed: any(c <= failed for c in given_sets))


def test_and_binds_tighter_than_or():
    assert minimal_cutsets(parse("a or b and c"), NAMES) == [("a",), ("b", "c")]
    assert minimal_cutsets(parse("(a or b) and c"), NAMES) == [("a", "c"), ("b", "c")]


@pytest.mark.parametrize(
    ("expression", "column", "message"),
    [
        ("", 1, "the expression is empty"),
        ("   ", 1, "the expression is empty"),
        ("a and", 6, 'expected a component name, "(" or "atleast", found the end'),
        ("a or or b", 6, 'found "or"'),
        ("(a or b", 8, 'expected ")"'),
        ("a b", 3, 'expected "and", "or" or the end, found "b"'),
        ("a)", 2, 'found ")"'),
        ("a | b", 3, 'unexpected character "|"'),
        ("a and not b", 7, '"not" is written as a call: not(x)'),
        ("a and not(b, c)", 7, "not takes exactly 1 argument, got 2"),
        ("pand(a)", 1, "pand takes at least 2 arguments, got 1"),
        ("a or pand(a, b)", 6, "pand makes the logic order-dependent or not coherent"),
        ("atleast 2, a, b", 9, 'expected "(" after "atleast"'),
        ("atleast(a, b)", 9, "expected the number k"),
        ("atleast(2 a, b)", 11, 'expected "," after k'),
        ("atleast(2, a, b", 16, 'expected "," or ")"'),
        ("atleast(0, a, b)", 9, "1 <= k <= the number of its arguments (2), got 0"),
        ("atleast(3, a, b)", 9, "got 3"),
        ("a or atleast", 13, 'expected "(" after "atleast"'),
        ("and", 1, 'found "and"'),
        ("(" * 150 + "a" + ")" * 150, 101, "nested deeper than 100 levels"),
        ("a or zz", 6, 'unknown component "zz"'),
        # Python refuses to convert integers of thousands of digits: no ValueError escapes.
        ("atleast(" + "9" * 5000 + ", a, b)", 9, "(2), got 99999999999999999999..."),
    ],
)
def test_bad_expression_reports_its_column(expression, column, message):
    with pytest.raises(LogicError) as caught:
        minimal_cutsets(parse(expression), NAMES)
    assert caught.value.column == column
    assert message in str(caught.value)


def test_expansion_past_the_limit_is_refused():
    names = [f"x{i}" for i in range(450)]
    for expression in (f"atleast(12, {', '.join(names[:24])})", f"atleast(2, {', '.join(names)})"):
        with pytest.raises(LogicError, match="more than 100000 minimal cut sets"):
            minimal_cutsets(parse(expression), names)


@pytest.mark.parametrize(("k", "n"), [(20, 20), (18, 20), (1000, 1000), (98, 100)])
def test_k_of_n_near_n_is_expanded_whatever_the_smaller_counts(k, n):
    # At least k of n has C(n, k) minimal cut sets however large C(n, j) is for j < k.
    names = [f"x{i}" for i in range(n)]
    cutsets = minimal_cutsets(parse(f"atleast({k}, {', '.join(names)})"), names)
    assert len(cutsets) == math.comb(n, k)
    assert {len(c) for c in cutsets} == {k}
    assert len(set(cutsets)) == len(cutsets)


def test_leading_zeros_of_k_are_only_zeros():
    names = ["a", "b", "c"]
    assert minimal_cutsets(parse("atleast(0000000002, a, b, c)"), names) == minimal_cutsets(
        parse("atleast(2, a, b, c)"), names
    )


@pytest.mark.parametrize(("n", "k"), [(1, 1), (3, 1), (3, 2), (3, 3), (5, 2), (6, 4)])
def test_k_out_of_n_cutsets_fail_the_system_at_k_failures(n, k):
    cutsets = k_out_of_n_cutsets(n, k)
    assert len(cutsets) == math.comb(n, k)
    tree = tavoq.CutsetTree(n)
    tree.constructTree(cutsets)
    for pattern in itertools.product((0, 1), repeat=n):
        assert bool(tree.findWithin(list(pattern))) == (sum(pattern) >= k), pattern


@pytest.mark.parametrize(("n", "k"), [(0, 1), (3, 0), (3, 4), (-1, -1), (40, 20)])
def test_k_out_of_n_cutsets_refuses_impossible_or_huge_structures(n, k):
    with pytest.raises(ValueError, match=f"{k} out of {n}|k = {k}, n = {n}"):
        k_out_of_n_cutsets(n, k)


@pytest.mark.parametrize(
    "text",
    [
        "a",
        "a or b_1 or c",
        "a and b and c",
        "atleast(2, a, bb, c)",
        "atleast(02, a, bb, c)",
        # Near misses read by the parser: mixed operators, doubled spaces, nested terms.
        "a or b and c",
        "a  or b",
        "atleast(2,a, b, c)",
        "atleast(2, a, (b or c), d)",
        " a or b",
    ],
)
def test_common_forms_parse_to_the_parsers_nodes(text):
    # parse() reads the forms fault-tree files write without the tokenizer; the nodes
    # and their columns must be those of the recursive-descent parser.
    parser = _Parser(text)
    expected = parser.expression()
    assert parser.peek().kind == "end"
    assert parse(text) == expected
    assert list(parse(text).names()) == list(expected.names())


@pytest.mark.parametrize(
    ("text", "form"),
    [
        ("g7", ("name", 0, ["g7"])),
        ("a or b", ("or", 0, ["a", "b"])),
        ("atleast(2, a, b, c)", ("atleast", 2, ["a", "b", "c"])),
        ("a or and", None),
        ("a or b and c", None),
        ("atleast(3, a, b)", None),
        ("atleast(0, a, b)", None),
        ("not", None),
        ("", None),
    ],
)
def test_simple_form_leaves_every_other_text_to_the_parser(text, form):
    assert simple_form(text) == form
