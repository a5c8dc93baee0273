"""The cut-set tree through the module: what its calls return and print, and a chain too long
for recursion. The insertion and lookup rules are tested in C++ (tests/cpp/test_cutset_tree.cpp)."""

import itertools

import pytest
from conftest import run_python

import tavoq

MSG = "cutset size wrong.\n"


def all_queries(n):
    return [list(bits) for bits in itertools.product([0, 1], repeat=n)]


def tree_of(*cutsets, size=3):
    tree = tavoq.CutsetTree(size)
    for c in cutsets:
        tree.insertNode(c)
    return tree


def test_stderr_only(capfd):
    tree = tavoq.CutsetTree(3)
    tree.findNode([])
    out, err = capfd.readouterr()
    assert out == ""
    assert err == MSG


def test_find_node_returns_fresh_lists():
    tree = tree_of([1, 0, 0])
    first = tree.findNode([1, 1, 0])
    first[0] = 7
    assert tree.findNode([1, 1, 0]) == [1, 0, 0]


@pytest.mark.parametrize(
    "cutsets",
    [
        [[1, 0, 0]],
        [[1, 1, 0], [1, 0, 1]],
        [[0, 1, 0], [1, 0, 1]],
        [[0, 1, 1], [1, 1, 0], [1, 0, 0]],
    ],
)
def test_find_within_answers_from_the_cut_sets_the_engine_counts(cutsets):
    # The insertion rules themselves are tested in C++; here findWithin must give one of the
    # cut sets getCutsets lists exactly when one of them lies within the query.
    tree = tree_of(*cutsets)
    stored = tree.getCutsets()
    for query in all_queries(3):
        within = [c for c in stored if all(q != 0 for q, m in zip(query, c) if m == 1)]
        found = tree.findWithin(query)
        assert (found != []) == bool(within), query
        assert found == [] or found in within, query


def test_long_chain_of_one_hundred_thousand_components():
    code = """
        import tavoq
        n = 100_000
        a = [1] * (n - 2) + [1, 0]
        b = [1] * (n - 2) + [0, 1]
        tree = tavoq.CutsetTree(n)
        tree.insertNode(a)
        tree.insertNode(b)
        print(tree.findNode([1] * n) == a)
        print(tree.findNode(b) == b)
        print(tree.findNode([1] * (n - 2) + [0, 0]) == [])
        print(tree.findNode([0] + [1] * (n - 1)) == [])
        # [1]*(n-2) + [0, 0] lies within b and replaces it deep down the chain.
        c = [1] * (n - 2) + [0, 0]
        tree2 = tavoq.CutsetTree(n)
        tree2.constructTree([a, b, c])
        print(tree2.findNode([1] * n) == c and tree2.findNode(b) == c)
        del tree, tree2
        print("done")
    """
    result = run_python(code, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["True"] * 5 + ["done"]
    assert result.stderr == ""
