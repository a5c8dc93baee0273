"""Argument conversion at the module boundary: ints, floats, containers and their errors."""

import math

import pytest
from conftest import INT32_MAX, INT32_MIN, NO_TRANSITION

import tavoq


class Index:
    """An object with an integer-index method and nothing else numeric."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    """An object that converts with float()."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Boom(Exception):
    pass


# ---------------------------------------------------------------------------
# 32-bit int parameters


@pytest.mark.parametrize(
    "value, expected_len",
    [(True, 1), (False, 0), (Index(3), 3), (Index(0), 0), (5, 5)],
    ids=["True", "False", "index-3", "index-0", "int"],
)
def test_sim_time_accepted(value, expected_len, worked_example):
    ex = worked_example
    assert tavoq.runnerSingleSim(value, ex.matrix, ex.tree, 0) == ex.expected[:expected_len]


class IntOnly:
    """An object that converts with int() but has no integer-index method."""

    def __int__(self):
        return 3


def test_int_parameter_accepts_int_protocol(worked_example):
    ex = worked_example
    assert tavoq.runnerSingleSim(IntOnly(), ex.matrix, ex.tree, 0) == ex.expected[:3]
    assert tavoq.Inspection(IntOnly()).quantile(0.5, 0) == 3.0


def test_int_bounds_accepted():
    # The ends of the 32-bit range are accepted for every int parameter.
    assert tavoq.Inspection(INT32_MAX).cdf(float(INT32_MAX)) == 1.0
    assert tavoq.InstantaneousFailure(INT32_MAX).pdf(float(INT32_MAX)) == 1.0
    assert tavoq.Distribution().quantile(0.5, INT32_MIN) == NO_TRANSITION
    assert tavoq.Maintenance([INT32_MIN]).quantile(0.5, INT32_MAX) == float(INT32_MIN)
    assert tavoq.CutsetTree(INT32_MIN).findNode([1]) == []


def test_bool_and_index_as_int_elements():
    tree = tavoq.CutsetTree(3)
    tree.insertNode([True, False, Index(1)])
    assert tree.findNode([1, 1, 1]) == [1, 0, 1]
    assert tavoq.Inspection(Index(10)).quantile(0.5, Index(3)) == 7.0
    assert tavoq.Inspection(True).quantile(0.5, False) == 1.0
    assert tavoq.Maintenance([Index(7)]).quantile(0.5, 0) == 7.0


@pytest.mark.parametrize(
    "seed",
    [0, -1, INT32_MIN, INT32_MAX, True, Index(12)],
    ids=["0", "-1", "min", "max", "True", "index"],
)
def test_seed_accepted(seed, worked_example):
    ex = worked_example
    assert tavoq.runnerSingleSim(ex.sim_time, ex.matrix, ex.tree, seed) == ex.expected


# ---------------------------------------------------------------------------
# double parameters


def test_float_parameters_accept_ints():
    ints = tavoq.Normal(0, 1)
    floats = tavoq.Normal(0.0, 1.0)
    for x in (-1.5, 0.0, 0.25, 2.0):
        assert ints.pdf(x) == floats.pdf(x)
        assert ints.cdf(x) == floats.cdf(x)
    for p in (0.1, 0.5, 0.9):
        assert ints.quantile(p, 0) == floats.quantile(p, 0)
    assert ints.pdf(0) == floats.pdf(0.0)
    assert tavoq.Uniform(1, 3).quantile(0, 0) == 1.0
    assert tavoq.Uniform(1, 3).quantile(1, 0) == 3.0
    assert tavoq.Exponential(2).pdf(0) == 2.0


@pytest.mark.parametrize(
    "value, expected",
    [(True, 0.0), (Index(1), 0.0), (Floaty(1.0), 0.0), (2**62, 1.0)],
    ids=["bool", "index", "float-protocol", "big-int"],
)
def test_float_parameter_accepts_numbers(value, expected):
    # Uniform(1, 3).cdf at 1 is (1 - 1) / 2 = 0; far above 3 it is 1.
    assert tavoq.Uniform(1.0, 3.0).cdf(value) == expected


# ---------------------------------------------------------------------------
# Containers


def as_tuples(matrix):
    return tuple(tuple(tuple(row) for row in comp) for comp in matrix)


@pytest.mark.parametrize(
    "shape",
    ["list", "tuple", "generator", "mixed", "map", "dict-values"],
    ids=["list", "tuple", "generator", "mixed", "map", "dict-values"],
)
def test_matrix_containers(shape, worked_example):
    ex = worked_example
    m = ex.matrix
    if shape == "list":
        arg = m
    elif shape == "tuple":
        arg = as_tuples(m)
    elif shape == "generator":
        arg = ((tuple(row) for row in comp) for comp in m)
    elif shape == "mixed":
        arg = (list(comp) for comp in as_tuples(m))
    elif shape == "map":
        arg = map(lambda comp: tuple(comp), m)
    else:
        arg = {"c0": m[0]}.values()
    assert tavoq.runnerSingleSim(ex.sim_time, arg, ex.tree, 0) == ex.expected


def test_matrix_shares_instances_and_accepts_python_subclasses(tree_1):
    class MyFailure(tavoq.InstantaneousFailure):
        pass

    class MyInspection(tavoq.Inspection):
        def quantile(self, p, t):  # visible to Python callers only
            return -1.0

    never = tavoq.Distribution()
    matrix = [[[never, MyFailure(3)], [MyInspection(5), never]]]
    assert matrix[0][1][0].quantile(0.5, 0) == -1.0
    # The engine uses the compiled implementation, so this is the worked example again.
    assert tavoq.runnerSingleSim(8, matrix, tree_1, 0) == [0, 0, 0, 1, 1, 1, 1, 1]


def test_cutset_tree_python_subclass_accepted(worked_example):
    class MyTree(tavoq.CutsetTree):
        pass

    tree = MyTree(1)
    tree.insertNode([1])
    ex = worked_example
    assert tavoq.runnerSingleSim(ex.sim_time, ex.matrix, tree, 0) == ex.expected


@pytest.mark.parametrize(
    "make_cutset, query, stored",
    [
        (lambda: (1, 0, 1), [1, 1, 1], [1, 0, 1]),
        (lambda: range(3), [0, 1, 1], [0, 1, 2]),
        (lambda: (x for x in [1, 0, 1]), [1, 1, 1], [1, 0, 1]),
        (lambda: bytearray([1, 0, 1]), [1, 1, 1], [1, 0, 1]),
        (lambda: {"a": 1, "b": 0, "c": 1}.values(), [1, 1, 1], [1, 0, 1]),
        (lambda: map(int, "101"), [1, 1, 1], [1, 0, 1]),
        (lambda: {1: "a", 0: "b", 2: "c"}.keys(), [1, 1, 1], [1, 0, 2]),
    ],
    ids=["tuple", "range", "generator", "bytearray", "dict-values", "map", "dict-keys"],
)
def test_insert_node_containers(make_cutset, query, stored):
    tree = tavoq.CutsetTree(3)
    tree.insertNode(make_cutset())
    assert tree.findNode(query) == stored
    assert tree.findNode(make_cutset()) == stored


def test_list_iterator_is_not_an_accepted_container():
    # A plain list iterator is neither a sequence nor one of the accepted iterable kinds.
    tree = tavoq.CutsetTree(3)
    with pytest.raises(TypeError):
        tree.insertNode(iter([1, 0, 1]))
    assert tree.findNode([1, 1, 1]) == []


def test_zip_and_dict_items_as_outer_containers():
    tree = tavoq.CutsetTree(3)
    # zip yields the tuples (1, 0, 0) and (0, 1, 0)
    tree.constructTree(zip([1, 0], [0, 1], [0, 0]))
    assert tree.findNode([1, 0, 1]) == [1, 0, 0]
    assert tree.findNode([0, 1, 1]) == [0, 1, 0]
    # dict items are pairs: the cut set (1, 1) of a two-component tree
    tree2 = tavoq.CutsetTree(2)
    tree2.constructTree({1: 1}.items())
    assert tree2.findNode([1, 1]) == [1, 1]
    with pytest.raises(TypeError):
        tavoq.CutsetTree(3).insertNode(zip([1, 0, 1]))  # its elements are tuples


@pytest.mark.parametrize(
    "values",
    [{7}, frozenset({7}), {7: "x"}.keys(), {"x": 7}.values(), (7,), range(7, 8)],
    ids=["set", "frozenset", "dict-keys", "dict-values", "tuple", "range"],
)
def test_maintenance_containers(values):
    assert tavoq.Maintenance(values).quantile(0.5, 0) == 7.0


def test_str_subclass_rejected():
    class S(str):
        pass

    with pytest.raises(TypeError):
        tavoq.CutsetTree(3).insertNode(S("101"))


def test_construct_tree_containers():
    tree = tavoq.CutsetTree(3)
    tree.constructTree(((1, 0, 0),) + tuple([(0, 1, 0)]))
    tree.constructTree(c for c in [range(0, 0), [0, 0, 1]][1:])
    assert tree.findNode([1, 1, 0]) == [1, 0, 0]
    assert tree.findNode([0, 1, 1]) == [0, 1, 0]
    assert tree.findNode([0, 0, 1]) == [0, 0, 1]
    with pytest.raises(TypeError):
        tree.constructTree("101")
    with pytest.raises(TypeError):
        tree.constructTree(["101"])
    with pytest.raises(TypeError):
        tree.constructTree([1, 0, 1])


def test_arguments_not_modified(worked_example):
    cutset = [1, 0, 1]
    tree = tavoq.CutsetTree(3)
    tree.insertNode(cutset)
    tree.constructTree([cutset])
    assert cutset == [1, 0, 1]
    found = tree.findNode(cutset)
    assert found == cutset and found is not cutset
    found.append(9)
    assert tree.findNode(cutset) == [1, 0, 1]
    ex = worked_example
    before = [[list(row) for row in comp] for comp in ex.matrix]
    tavoq.runnerSingleSim(ex.sim_time, ex.matrix, ex.tree, 0)
    assert ex.matrix == before


def test_maintenance_keeps_its_own_copy():
    times = [7]
    m = tavoq.Maintenance(times)
    times[0] = 9
    times.append(11)
    assert m.quantile(0.5, 0) == 7.0


def test_results_are_new_lists(worked_example):
    ex = worked_example
    a = tavoq.runnerSingleSim(ex.sim_time, ex.matrix, ex.tree, 0)
    b = tavoq.runnerSingleSim(ex.sim_time, ex.matrix, ex.tree, 0)
    assert type(a) is list and a == b and a is not b
    assert all(type(v) is int for v in a)


# ---------------------------------------------------------------------------
# Order of conversion and Python errors raised while reading containers


def test_generator_not_consumed_when_earlier_argument_fails(worked_example, capfd):
    ex = worked_example
    pulled = []

    def rows():
        for comp in ex.matrix:
            pulled.append(comp)
            yield comp

    gen = rows()
    with pytest.raises(TypeError):
        tavoq.runnerSingleSim(10.0, gen, ex.tree, 0)
    with pytest.raises(TypeError):
        tavoq.runnerMultipleSim(2**31, 8, gen, ex.tree, 0)
    with pytest.raises(TypeError):
        tavoq.runnerParallelSim(1, "8", gen, ex.tree, 0)
    assert pulled == []
    assert capfd.readouterr().out == ""
    # Still intact: it converts like the list it yields.
    assert tavoq.runnerSingleSim(ex.sim_time, gen, ex.tree, 0) == ex.expected
    assert len(pulled) == 1


def test_generator_consumed_even_when_later_argument_fails(worked_example):
    ex = worked_example
    pulled = []

    def rows():
        for comp in ex.matrix:
            pulled.append(comp)
            yield comp

    with pytest.raises(TypeError):
        tavoq.runnerSingleSim(ex.sim_time, rows(), ex.tree, 1.0)
    assert len(pulled) == 1


def test_exception_in_matrix_generator_propagates(worked_example, capfd):
    ex = worked_example
    err = Boom("from the generator")

    def rows():
        yield ex.matrix[0]
        raise err

    for call in (
        lambda: tavoq.runnerSingleSim(ex.sim_time, rows(), ex.tree, 0),
        lambda: tavoq.runnerMultipleSim(1, ex.sim_time, rows(), ex.tree, 0),
        lambda: tavoq.runnerParallelSim(1, ex.sim_time, rows(), ex.tree, 0),
    ):
        with pytest.raises(Boom) as info:
            call()
        assert info.value is err
    assert capfd.readouterr().out == ""


def test_exception_in_inner_generator_propagates(worked_example):
    ex = worked_example

    def inner():
        yield tavoq.Distribution()
        raise Boom("inner")

    matrix = [[inner(), [tavoq.Inspection(5), tavoq.Distribution()]]]
    with pytest.raises(Boom, match="^inner$"):
        tavoq.runnerSingleSim(ex.sim_time, matrix, ex.tree, 0)


@pytest.mark.parametrize(
    "call",
    [
        lambda g: tavoq.CutsetTree(3).insertNode(g),
        lambda g: tavoq.CutsetTree(3).findNode(g),
        lambda g: tavoq.CutsetTree(3).constructTree([g]),
        lambda g: tavoq.Maintenance(g),
    ],
    ids=["insertNode", "findNode", "constructTree", "Maintenance"],
)
def test_exception_in_int_generator_propagates(call):
    def values():
        yield 1
        raise Boom("ints")

    with pytest.raises(Boom, match="^ints$"):
        call(values())


class FailingLength:
    """A sequence whose length cannot be taken."""

    def __getitem__(self, i):
        if i < 3:
            return 1
        raise IndexError

    def __len__(self):
        raise Boom("length")


class FailingItem:
    """A sequence whose second item raises."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise Boom("item")
        if i < 3:
            return 1
        raise IndexError


@pytest.mark.parametrize(
    "seq_cls, message", [(FailingLength, "length"), (FailingItem, "item")], ids=["len", "getitem"]
)
def test_exception_in_sequence_propagates(seq_cls, message):
    tree = tavoq.CutsetTree(3)
    with pytest.raises(Boom, match=f"^{message}$"):
        tree.insertNode(seq_cls())
    assert tree.findNode([1, 1, 1]) == []


def test_custom_sequence_accepted():
    class Seq:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if 0 <= i < 3:
                return [1, 0, 1][i]
            raise IndexError

    tree = tavoq.CutsetTree(3)
    tree.insertNode(Seq())
    assert tree.findNode([1, 1, 1]) == [1, 0, 1]


def test_none_cells_pass_conversion_but_not_the_runner(tree_1):
    # Conversion accepts None cells; the runner refuses them with ValueError, not TypeError.
    matrix = [[[tavoq.Distribution(), None], [tavoq.Distribution(), tavoq.Distribution()]]]
    with pytest.raises(ValueError):
        tavoq.runnerSingleSim(3, matrix, tree_1, 0)


def test_none_tree_passes_conversion(worked_example):
    ex = worked_example
    with pytest.raises(ValueError):
        tavoq.runnerSingleSim(ex.sim_time, ex.matrix, None, 0)


def test_float_results_keep_nan_and_infinity():
    e = tavoq.Exponential(2.0)
    assert math.isnan(e.quantile(1.5, 0))
    assert e.quantile(1.0, 0) == math.inf
    assert type(e.quantile(0.5, 0)) is float
