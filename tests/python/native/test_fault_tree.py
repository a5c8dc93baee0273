"""The FaultTree binding: arguments, errors, pinning, and runnerStatistics taking one."""

import numpy as np
import pytest
from conftest import run_python

import tavoq

D = tavoq.Distribution


def two_of_three_or_valve():
    """atleast(2, pump 0, 1, 2) or valve 3."""
    t = tavoq.FaultTree(4)
    pumps = t.addGate("atleast", [0, 1, 2], k=2)
    t.setTop(t.addGate("or", [pumps, 3]))
    return t


def test_nodes_are_numbered_after_the_components():
    t = tavoq.FaultTree(3)
    assert (t.nComponents, t.nGates, t.top) == (3, 0, -1)
    assert t.addGate("or", [0, 1]) == 3
    assert t.addGate("and", [3, 2]) == 4
    assert t.addGate("atleast", [3, 4, 0], 2) == 5
    t.setTop(4)
    assert (t.nGates, t.top) == (3, 4)


@pytest.mark.parametrize(
    "failed, top, gates",
    [
        ([], False, [False, False]),
        ([1, 1], True, [True, True]),
        ([0, 0, 0, 5], True, [False, True]),  # any non-zero value is failed
        ([True, False, True], True, [True, True]),
        (np.array([0, 1, 0, 0]), False, [False, False]),
        ([1, 1, 1, 1, 1, 1], True, [True, True]),  # entries past the components: ignored
    ],
    ids=["none", "two-pumps", "valve-state-5", "bools", "numpy", "long-list"],
)
def test_evaluate_converts_its_argument(failed, top, gates):
    t = two_of_three_or_valve()
    assert t.evaluate(failed) is top
    assert t.evaluateGates(failed) == gates


@pytest.mark.parametrize(
    "call, error, message",
    [
        ("tavoq.FaultTree(0)", ValueError, "at least 1, got 0"),
        ("t.addGate('nxor', [0, 1])", ValueError, 'unknown gate kind "nxor"'),
        ("t.addGate('not', [0, 1])", ValueError, "exactly 1 input, got 2"),
        ("t.addGate('pand', [0])", ValueError, "at least 2 inputs, got 1"),
        ("t.addGate('or', [])", ValueError, "at least one input"),
        ("t.addGate('or', [0, -1])", ValueError, "input -1"),
        ("t.addGate('and', [0, 6])", ValueError, "input 6 .* not a node"),
        ("t.addGate('atleast', [0, 1])", ValueError, "k must be between 1 and .* got 0"),
        ("t.addGate('atleast', [0, 1], 3)", ValueError, "got 3"),
        ("t.addGate('or', [0, 1], k=1)", ValueError, "atleast gates only"),
        ("t.addGate('or', 'ab')", TypeError, "incompatible"),
        ("t.addGate('or', [0.5])", TypeError, "incompatible"),
        ("t.setTop(6)", ValueError, "6 is not a node"),
        ("tavoq.FaultTree(2).evaluate([1])", ValueError, "no top"),
    ],
    ids=[
        "no-components",
        "kind",
        "not-arity",
        "pand-arity",
        "empty",
        "negative",
        "missing",
        "k-missing",
        "k-large",
        "k-on-or",
        "inputs-str",
        "inputs-float",
        "top",
        "evaluate-no-top",
    ],
)
def test_bad_arguments_are_refused_by_name(call, error, message):
    t = two_of_three_or_valve()
    with pytest.raises(error, match=message):
        eval(call, {"tavoq": tavoq, "t": t})
    assert (t.nGates, t.top) == (2, 5)


def test_tree_cannot_change_while_a_batch_reads_it():
    code = """
        import signal, tavoq
        D = tavoq.Distribution
        pump = [[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.1), D()]]
        t = tavoq.FaultTree(2)
        t.setTop(t.addGate("and", [0, 1]))
        expected = list(tavoq.runnerStatistics(60000, 400, [pump, pump], t, 3).failedRuns)
        refusals = []
        def handler(*_):
            for change in (lambda: t.addGate("or", [0]), lambda: t.setTop(0)):
                try:
                    change()
                except RuntimeError as error:
                    refusals.append(str(error))
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        got = list(tavoq.runnerStatistics(60000, 400, [pump, pump], t, 3).failedRuns)
        signal.setitimer(signal.ITIMER_REAL, 0)
        assert len(refusals) == 2 and all("in use" in r for r in refusals), refusals
        assert got == expected
        assert t.nGates == 1 and t.top == 2
        t.setTop(0)  # free again once the call has returned
        print("pinned")
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "pinned" in result.stdout


def test_uninitialised_tree_is_refused():
    result = run_python(
        """
        import tavoq
        obj = tavoq.FaultTree.__new__(tavoq.FaultTree)
        for use in (lambda: obj.addGate("or", [0]), lambda: obj.nGates,
                    lambda: tavoq.FaultTree.evaluate(None, [1])):
            try:
                use()
            except TypeError:
                print("refused")
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["refused"] * 3


def pumps_and_valve():
    pump = [[D(), tavoq.Exponential(1 / 50)], [tavoq.Exponential(1 / 5), D()]]
    return [pump] * 4


def test_runner_statistics_takes_either_tree_with_the_same_runs():
    matrix = pumps_and_valve()
    cutsets = tavoq.CutsetTree(4)
    cutsets.constructTree([[1, 1, 0, 0], [1, 0, 1, 0], [0, 1, 1, 0], [0, 0, 0, 1]])
    by_cutsets = tavoq.runnerStatistics(300, 200, matrix, cutsets, 11)
    by_graph = tavoq.runnerStatistics(300, 200, matrix, two_of_three_or_valve(), 11)
    for name in (
        "failedRuns",
        "firstFailures",
        "systemFailures",
        "downtime",
        "componentDowntime",
        "componentFailures",
        "triggeredFailures",
        "componentDowntimeSquares",
    ):
        assert np.array_equal(getattr(by_cutsets, name), getattr(by_graph, name)), name
    assert by_graph.systemFailures.sum() > 0
    assert len(by_cutsets.cutsetFailures) == 4 and len(by_graph.cutsetFailures) == 0
    for name in ("gateDowntime", "gateFailures", "gateTriggered", "gateDowntimeSquares"):
        assert len(getattr(by_cutsets, name)) == 0, name
        assert len(getattr(by_graph, name)) == 2, name
    assert by_graph.gateTriggered[1] == by_graph.systemFailures.sum()
    assert by_graph.gateDowntime[1] == by_graph.downtime.sum()
    for name, dtype in (
        ("gateDowntimeSquares", np.float64),
        ("gateTriggered", np.int64),
        ("componentDowntimeSquares", np.float64),
    ):
        array = getattr(by_graph, name)
        assert array.dtype == dtype and not array.flags.writeable, name


@pytest.mark.parametrize(
    "tree, error, message",
    [
        ("tavoq.FaultTree(4)", ValueError, "no top"),
        ("small", ValueError, "3 components and the transitions matrix 4"),
        ("None", ValueError, "Cutset matrix must not be null"),
        ("[[1, 0, 0, 0]]", TypeError, "incompatible function arguments"),
    ],
    ids=["no-top", "components", "none", "list"],
)
def test_runner_statistics_refuses_a_bad_fault_tree(tree, error, message):
    small = tavoq.FaultTree(3)
    small.setTop(small.addGate("or", [0, 1, 2]))
    with pytest.raises(error, match=message):
        tavoq.runnerStatistics(
            2, 10, pumps_and_valve(), eval(tree, {"tavoq": tavoq, "small": small}), 1
        )
    small.setTop(0)  # a refused call leaves the tree free to change
