"""The cut-set tree: insertion with minimality along each path, and path lookup."""

import itertools
import random

import pytest

import tavoq
from conftest import run_python

MSG = "cutset size wrong.\n"


# ---------------------------------------------------------------------------
# A small model of the tree, written from the insertion and lookup rules, used to
# check longer random insertion sequences.


def is_subset(a, b):
    """Whether a lies within b; positions a vector lacks read as 0."""
    if not a or not b:
        return False
    for j in range(max(len(a), len(b))):
        aj = a[j] if j < len(a) else 0
        bj = b[j] if j < len(b) else 0
        if bj == 0 and aj == 1:
            return False
    return True


class ModelNode:
    def __init__(self, parent=None, cutset=()):
        self.zero = None
        self.one = None
        self.parent = parent
        self.cutset = list(cutset)


class ModelTree:
    def __init__(self):
        self.root = ModelNode()
        self.messages = 0

    def insert(self, c):
        c = list(c)
        node, i = self.root, 0
        while True:
            if i >= len(c):
                self.messages += 1
                return
            if not node.cutset:
                attr = "zero" if c[i] == 0 else "one"
                child = getattr(node, attr)
                if child is not None:
                    node, i = child, i + 1
                    continue
                setattr(node, attr, ModelNode(node, c))
                return
            k = node.cutset
            if is_subset(k, c):
                return
            if is_subset(c, k):
                self._replace(node, i, c)
            else:
                self._push_down(node, i, c)
            return

    def _replace(self, node, i, c):
        parent = node.parent
        z, o = parent.zero, parent.one
        parent.zero = parent.one = None
        if i == 1:
            self.insert(c)
        else:
            parent.cutset = list(c)
        for sub in (z, o):
            if sub is not None:
                for k in self._preorder_cutsets(sub):
                    self.insert(k)

    def _push_down(self, node, i, c):
        k = node.cutset
        node.cutset = []
        attr = "zero" if c[i] == 0 else "one"
        setattr(node, attr, ModelNode(node, c))
        self.insert(k)

    def _preorder_cutsets(self, node):
        out, stack = [], [node]
        while stack:
            n = stack.pop()
            if n.cutset:
                out.append(list(n.cutset))
            if n.one is not None:
                stack.append(n.one)
            if n.zero is not None:
                stack.append(n.zero)
        return out

    def find(self, q):
        node, i = self.root, 0
        while node is not None:
            if is_subset(node.cutset, q):
                return list(node.cutset)
            if i >= len(q):
                self.messages += 1
                return []
            node = node.zero if q[i] == 0 else node.one
            i += 1
        return []


def all_queries(n):
    return [list(bits) for bits in itertools.product([0, 1], repeat=n)]


def tree_of(*cutsets, size=3):
    tree = tavoq.CutsetTree(size)
    for c in cutsets:
        tree.insertNode(c)
    return tree


def answers(tree, n=3):
    return [tree.findNode(q) for q in all_queries(n)]


# ---------------------------------------------------------------------------
# The numbered cases, as far as Python can see them


def test_case1_new_tree(capfd):
    tree = tavoq.CutsetTree(3)
    assert tree.findNode([1, 1, 1]) == []
    assert all(r == [] for r in answers(tree))
    assert capfd.readouterr().err == ""


def test_case2_first_insert(capfd):
    tree = tree_of([1, 0, 0])
    assert tree.findNode([1, 1, 0]) == [1, 0, 0]
    assert tree.findNode([1, 0, 0]) == [1, 0, 0]
    assert tree.findNode([0, 1, 1]) == []
    assert capfd.readouterr().err == ""


def test_case3_duplicate_insert_changes_nothing(capfd):
    assert answers(tree_of([1, 0, 0], [1, 0, 0])) == answers(tree_of([1, 0, 0]))
    assert capfd.readouterr().err == ""


def test_case4_superset_dropped():
    tree = tree_of([1, 0, 0], [1, 1, 0])
    assert tree.findNode([1, 1, 0]) == [1, 0, 0]
    assert tree.findNode([1, 1, 1]) == [1, 0, 0]
    assert answers(tree) == answers(tree_of([1, 0, 0]))


def test_case5_subset_replaces():
    tree = tree_of([1, 1, 0], [1, 0, 0])
    assert tree.findNode([1, 1, 0]) == [1, 0, 0]
    assert tree.findNode([1, 0, 1]) == [1, 0, 0]
    assert tree.findNode([1, 0, 0]) == [1, 0, 0]
    assert tree.findNode([0, 1, 1]) == []
    assert answers(tree) == answers(tree_of([1, 0, 0]))


def test_case6_push_down(capfd):
    tree = tree_of([1, 1, 0], [1, 0, 1])
    assert tree.findNode([1, 1, 1]) == [1, 1, 0]
    assert tree.findNode([1, 0, 1]) == [1, 0, 1]
    assert tree.findNode([1, 0, 0]) == []
    assert tree.findNode([1, 1, 0]) == [1, 1, 0]
    assert tree.findNode([0, 1, 1]) == []
    assert capfd.readouterr().err == ""


def test_case7_lookup_follows_the_query_path():
    tree = tree_of([0, 1, 0])
    assert tree.findNode([0, 1, 0]) == [0, 1, 0]
    assert tree.findNode([1, 1, 0]) == []  # [0,1,0] lies within it but is off its path
    tree.insertNode([1, 1, 0])
    assert tree.findNode([1, 1, 0]) == [1, 1, 0]
    assert tree.findNode([0, 1, 1]) == [0, 1, 0]


def test_case8_replacement_at_depth_two(capfd):
    tree = tree_of([1, 1, 0], [1, 0, 1], [1, 0, 0])
    assert tree.findNode([1, 0, 0]) == [1, 0, 0]
    assert tree.findNode([1, 0, 1]) == [1, 0, 0]
    assert tree.findNode([1, 1, 1]) == [1, 0, 0]
    assert tree.findNode([1, 1, 0]) == [1, 0, 0]
    assert tree.findNode([0, 1, 1]) == []
    assert capfd.readouterr().err == ""


def test_case9_empty_vectors_print_once_each(capfd):
    tree = tree_of([1, 0, 0])
    capfd.readouterr()
    assert tree.insertNode([]) is None
    assert capfd.readouterr().err == MSG
    assert tree.findNode([]) == []
    assert capfd.readouterr().err == MSG
    assert answers(tree) == answers(tree_of([1, 0, 0]))
    assert capfd.readouterr().err == ""


def test_case9_empty_vectors_on_new_tree(capfd):
    tree = tavoq.CutsetTree(3)
    tree.insertNode([])
    assert tree.findNode([]) == []
    out, err = capfd.readouterr()
    assert (out, err) == ("", MSG * 2)
    assert all(r == [] for r in answers(tree))


@pytest.mark.parametrize("stored", [[0, 0, 0], [2, 0, 0]], ids=["zeros", "two"])
def test_case10_cut_set_without_members(stored):
    tree = tree_of(stored)
    side = [0] if stored[0] == 0 else [1]
    for q in all_queries(3):
        expected = stored if [q[0] != 0] == [side[0] != 0] else []
        assert tree.findNode(q) == expected
    # Any later cut set whose walk reaches it is dropped.
    later = [side[0], 1, 1]
    tree.insertNode(later)
    assert tree.findNode(later) == stored
    assert tree.findNode([side[0], 0, 1]) == stored


def test_case10_values_other_than_one_navigate_like_one():
    tree = tree_of([2, 0, 1])
    # 2 counts as non-zero for the walk, but only 1 counts as a member.
    assert tree.findNode([1, 0, 1]) == [2, 0, 1]
    assert tree.findNode([5, 0, 1]) == [2, 0, 1]
    assert tree.findNode([5, 0, 0]) == []
    assert tree.findNode([0, 0, 1]) == []


def test_case11_construct_tree_equals_inserts(capfd):
    built = tavoq.CutsetTree(3)
    assert built.constructTree([[1, 1, 0], [1, 0, 0]]) is None
    assert answers(built) == answers(tree_of([1, 1, 0], [1, 0, 0]))
    before = answers(built)
    built.constructTree([])
    assert answers(built) == before
    assert capfd.readouterr().err == ""


def test_case11_construct_tree_keeps_content():
    tree = tree_of([0, 1, 0])
    tree.constructTree([[1, 0, 1]])
    assert tree.findNode([0, 1, 1]) == [0, 1, 0]
    assert tree.findNode([1, 1, 1]) == [1, 0, 1]
    assert answers(tree) == answers(tree_of([0, 1, 0], [1, 0, 1]))


def test_case12_size_limits_nothing(capfd):
    tree = tavoq.CutsetTree(3)
    tree.insertNode([1, 0, 0, 0, 1])
    tree.insertNode([0, 1, 1, 0, 0])
    assert tree.findNode([1, 1, 0, 0, 1]) == [1, 0, 0, 0, 1]
    assert tree.findNode([1, 1, 1, 1, 0]) == []
    assert tree.findNode([0, 1, 1, 1, 1]) == [0, 1, 1, 0, 0]
    small = tavoq.CutsetTree(0)
    small.insertNode([1, 1])
    assert small.findNode([1, 1]) == [1, 1]
    negative = tavoq.CutsetTree(-5)
    negative.insertNode([0, 1])
    assert negative.findNode([0, 1]) == [0, 1]
    assert capfd.readouterr().err == ""


def test_short_query_runs_out_on_its_walk(capfd):
    tree = tree_of([1, 1, 0], [1, 0, 1])
    capfd.readouterr()
    assert tree.findNode([1]) == []
    assert capfd.readouterr().err == MSG


def test_short_insert_runs_out_on_its_walk(capfd):
    tree = tree_of([1, 1, 0], [1, 0, 1])
    before = answers(tree)
    capfd.readouterr()
    assert tree.insertNode([1]) is None
    assert capfd.readouterr().err == MSG
    assert answers(tree) == before


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


# ---------------------------------------------------------------------------
# Vectors of differing lengths in one tree: missing positions read as 0, and
# containment runs over the longer of the two.


@pytest.mark.parametrize(
    "stored, query, expected",
    [
        ([[1, 0, 0]], [1, 0, 0, 0, 0], [1, 0, 0]),
        ([[1, 0, 0]], [1], [1, 0, 0]),
        ([[1, 0, 0]], [1, 1, 1, 1, 1, 1], [1, 0, 0]),
        ([[1, 0, 1]], [1, 0], []),
        ([[1, 0, 0, 1]], [1, 1, 1], []),
        ([[1, 0, 0, 1]], [1, 1, 1, 1], [1, 0, 0, 1]),
        ([[1, 0, 0, 1]], [1, 0, 0, 1, 0, 0], [1, 0, 0, 1]),
        ([[1, 0, 0, 0, 0]], [1], [1, 0, 0, 0, 0]),
        ([[1, 1]], [1, 1, 0, 0], [1, 1]),
        ([[0, 1]], [0, 1, 1], [0, 1]),
        ([[0, 1]], [0, 0, 1], []),
    ],
    ids=["longer-query", "query-of-one", "long-query-of-ones", "member-beyond-query",
         "member-beyond-query-4", "member-at-end", "query-longer-than-stored",
         "stored-trailing-zeros", "pair-in-longer", "zero-side-longer", "zero-side-member-beyond"],
)
def test_differing_lengths_lookup(stored, query, expected, capfd):
    tree = tavoq.CutsetTree(3)
    tree.constructTree(stored)
    assert tree.findNode(query) == expected
    model = ModelTree()
    for c in stored:
        model.insert(c)
    assert model.find(query) == expected
    assert model.messages == 0
    assert capfd.readouterr().err == ""


def test_differing_lengths_longer_superset_dropped():
    tree = tree_of([1, 0])
    tree.insertNode([1, 0, 0, 1])
    assert tree.findNode([1, 0, 0, 1]) == [1, 0]
    assert tree.findNode([1, 1, 1, 1]) == [1, 0]


def test_differing_lengths_shorter_subset_replaces():
    # [1, 0] lies within [1, 0, 1] (its missing third position reads as 0).
    tree = tree_of([1, 0, 1])
    tree.insertNode([1, 0])
    assert tree.findNode([1, 0, 0]) == [1, 0]
    assert tree.findNode([1, 1, 1]) == [1, 0]
    assert tree.findNode([1, 0, 1]) == [1, 0]


def test_differing_lengths_neither_contains_the_other():
    # [1, 1] does not lie within [1, 0, 1] and [1, 0, 1] has a member beyond [1, 1].
    tree = tree_of([1, 0, 1])
    tree.insertNode([1, 1])
    assert tree.findNode([1, 1, 0]) == [1, 1]
    assert tree.findNode([1, 0, 1]) == [1, 0, 1]
    assert tree.findNode([1, 0, 0]) == []


def test_differing_lengths_member_beyond_end_keeps_longer(capfd):
    # [1, 0, 0, 1] does not lie within [1, 1, 1]: it has a member beyond that vector's end.
    tree = tree_of([1, 0, 0, 1])
    tree.insertNode([1, 1, 1])
    assert tree.findNode([1, 1, 1]) == [1, 1, 1]
    assert tree.findNode([1, 0, 0, 1]) == [1, 0, 0, 1]
    assert capfd.readouterr().err == ""


# ---------------------------------------------------------------------------
# Random insertion sequences against the model


def random_cutset(rng, n, allow_two):
    values = [0, 1, 2] if allow_two else [0, 1]
    weights = [5, 4, 1] if allow_two else [1, 1]
    return rng.choices(values, weights=weights, k=n)


@pytest.mark.parametrize("seed", range(40), ids=[f"seed{s}" for s in range(40)])
def test_random_sequences_match_model(seed, capfd):
    rng = random.Random(seed)
    n = rng.choice([3, 4, 5, 6])
    allow_two = seed % 4 == 3
    tree = tavoq.CutsetTree(n)
    model = ModelTree()
    for _ in range(rng.randint(1, 14)):
        if rng.random() < 0.2:
            batch = [random_cutset(rng, n, allow_two) for _ in range(rng.randint(0, 3))]
            tree.constructTree(batch)
            for c in batch:
                model.insert(c)
        else:
            c = random_cutset(rng, n, allow_two)
            tree.insertNode(c)
            model.insert(c)
        q = random_cutset(rng, n, True)
        assert tree.findNode(q) == model.find(q)
    for q in all_queries(n):
        assert tree.findNode(q) == model.find(q), q
    assert model.messages == 0
    assert_lists_what_it_holds(tree, model, n)
    assert capfd.readouterr().err == ""


def assert_lists_what_it_holds(tree, model, n):
    """getCutsets is the model's pre-order (node, zero branch, one branch); findWithin the
    first of those within the query, wherever it is stored, silently."""
    stored = model._preorder_cutsets(model.root)
    assert tree.getCutsets() == stored
    for q in all_queries(n) + [[2] * n, [0] * (n + 1) + [1]]:
        assert tree.findWithin(q) == next((c for c in stored if is_subset(c, q)), []), q


def test_random_mixed_length_sequences_match_model(capfd):
    """Sequences of differing lengths whose walks never run past a vector's end."""
    checked = 0
    rng = random.Random(1234)
    while checked < 60:
        lengths = [rng.randint(1, 5) for _ in range(rng.randint(1, 6))]
        cutsets = [random_cutset(rng, k, False) for k in lengths]
        queries = [random_cutset(rng, rng.randint(1, 6), False) for _ in range(20)]
        model = ModelTree()
        for c in cutsets:
            model.insert(c)
        expected = [model.find(q) for q in queries]
        if model.messages:
            continue  # some walk ran out: not the case under test here
        checked += 1
        tree = tavoq.CutsetTree(5)
        tree.constructTree(cutsets)
        assert [tree.findNode(q) for q in queries] == expected, (cutsets, queries)
        assert_lists_what_it_holds(tree, model, 6)
    assert capfd.readouterr().err == ""


# ---------------------------------------------------------------------------
# A long chain of nodes


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
