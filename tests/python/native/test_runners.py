"""Runner input errors, the no-progress guard, interruption, and the runners' output lines."""

import math
import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import tavoq

THREAD_PREFIX = "Numero de threads disponiveis: "
NULL_TREE = "Cutset matrix must not be null."
EMPTY_MATRIX = "Transitions matrix must not be empty."
ALLOC_PARALLEL_STDERR = "Erro ao alocar memória para os estados locais.\n"
ALLOC_PARALLEL = "Failed to allocate local states in runnerParallelSim."
ALLOC_MULTIPLE = "Failed to allocate systemStates in runnerMultipleSim."

D = tavoq.Distribution


def closing(n):
    return f"Simulation {n} done.\nAll Simulations Done.\n"


def call_runner(kind, n, sim_time, matrix, tree, seed=0):
    if kind == "single":
        return tavoq.runnerSingleSim(sim_time, matrix, tree, seed)
    if kind == "multiple":
        return tavoq.runnerMultipleSim(n, sim_time, matrix, tree, seed)
    return tavoq.runnerParallelSim(n, sim_time, matrix, tree, seed)


RUNNERS = ["single", "multiple", "parallel"]


def assert_no_run_output(kind, out):
    """Nothing but (for the parallel runner) its thread line: no run was reported."""
    lines = out.splitlines()
    if kind == "parallel":
        assert all(line.startswith(THREAD_PREFIX) for line in lines), out
        assert len(lines) <= 1
    else:
        assert lines == []


def two_component_model():
    """Two repairable components; the system fails when both are failed."""
    fail = tavoq.Exponential(0.2)
    repair = tavoq.Exponential(0.5)
    comp = [[D(), fail], [repair, D()]]
    matrix = [comp, [[D(), tavoq.Weibull(4.0, 1.5)], [tavoq.Uniform(0.0, 3.0), D()]]]
    tree = tavoq.CutsetTree(2)
    tree.insertNode([1, 1])
    return matrix, tree


# ---------------------------------------------------------------------------
# Null tree and empty matrix


@pytest.mark.parametrize("kind", RUNNERS, ids=RUNNERS)
@pytest.mark.parametrize(
    "matrix_name, tree_given, message",
    [
        ("worked", False, NULL_TREE),
        ("empty", False, NULL_TREE),
        ("none-cell", False, NULL_TREE),
        ("empty", True, EMPTY_MATRIX),
        ("no-rows", True, EMPTY_MATRIX),
        ("no-rows-then-rows", True, EMPTY_MATRIX),
        ("no-rows-then-none", True, EMPTY_MATRIX),
    ],
    ids=[
        "null-tree",
        "null-tree-empty-matrix",
        "null-tree-none-cell",
        "empty-matrix",
        "component-without-rows",
        "first-component-without-rows",
        "no-rows-then-none-cell",
    ],
)
def test_tree_and_matrix_checks(kind, matrix_name, tree_given, message, worked_example, capfd):
    matrices = {
        "worked": worked_example.matrix,
        "empty": [],
        "none-cell": [[[D(), None], [D(), D()]]],
        "no-rows": [[]],
        "no-rows-then-rows": [[], [[D(), D()], [D(), D()]]],
        "no-rows-then-none": [[], [[None]]],
    }
    tree = worked_example.tree if tree_given else None
    with pytest.raises(ValueError) as info:
        call_runner(kind, 3, 8, matrices[matrix_name], tree)
    assert str(info.value) == message
    out, err = capfd.readouterr()
    assert_no_run_output(kind, out)
    assert err == ""


@pytest.mark.parametrize("n", [0, -1, -50], ids=["0", "-1", "-50"])
@pytest.mark.parametrize("kind", ["multiple", "parallel"], ids=["multiple", "parallel"])
@pytest.mark.parametrize(
    "matrix, tree_given",
    [([], False), ([], True), ([[]], True)],
    ids=["null-tree", "empty-matrix", "no-rows"],
)
def test_batch_without_runs_checks_nothing(kind, n, matrix, tree_given, tree_1, capfd):
    tree = tree_1 if tree_given else None
    assert call_runner(kind, n, 4, matrix, tree) == [0, 0, 0, 0]
    out = capfd.readouterr().out
    if kind == "parallel":
        assert out.startswith(THREAD_PREFIX)
        out = out.split("\n", 1)[1]
    assert out == closing(n)


# ---------------------------------------------------------------------------
# Shape of the matrix and None cells, checked before any run


def shape_case(name):
    """Return (matrix, component, states named in the message)."""
    never = D()
    ok = [[never, never], [never, never]]
    cases = {
        "none-first": ([[[never, None], [never, never]]], 0, (0, 1)),
        "none-diagonal": ([ok, [[never, never], [never, None]]], 1, (1, 1)),
        # Component 1 never leaves state 0, so its row 1 would never be visited.
        "none-unvisited": (
            [
                [[never, tavoq.InstantaneousFailure(1)], [never, never]],
                [[never, never], [None, never]],
            ],
            1,
            (1, 0),
        ),
        "short-component": ([ok, [[never, never]]], 1, (2,)),
        "short-row": ([ok, [[never, never], [never]]], 1, (1,)),
        "short-first-row": ([[[never, never], [never]]], 0, (1,)),
        "short-third-component": ([ok, ok, [[never], [never, never]]], 2, (0,)),
    }
    return cases[name]


SHAPE_CASES = [
    "none-first",
    "none-diagonal",
    "none-unvisited",
    "short-component",
    "short-row",
    "short-first-row",
    "short-third-component",
]


@pytest.mark.parametrize("kind", RUNNERS, ids=RUNNERS)
@pytest.mark.parametrize("case", SHAPE_CASES, ids=SHAPE_CASES)
def test_matrix_shape_errors(kind, case, capfd):
    matrix, component, states = shape_case(case)
    tree = tavoq.CutsetTree(len(matrix))
    tree.insertNode([1] * len(matrix))
    with pytest.raises(ValueError) as info:
        call_runner(kind, 3, 8, matrix, tree)
    message = str(info.value)
    assert message not in (NULL_TREE, EMPTY_MATRIX)
    assert re.search(rf"\bcomponent {component}\b", message, re.IGNORECASE), message
    for state in states:
        assert re.search(rf"\b{state}\b", message), message
    assert re.search(r"state", message, re.IGNORECASE), message
    out, err = capfd.readouterr()
    assert_no_run_output(kind, out)
    assert err == ""


@pytest.mark.parametrize("kind", RUNNERS, ids=RUNNERS)
def test_null_tree_reported_before_shape(kind, capfd):
    matrix, _, _ = shape_case("short-row")
    with pytest.raises(ValueError, match=f"^{re.escape(NULL_TREE)}$"):
        call_runner(kind, 2, 5, matrix, None)
    capfd.readouterr()


def test_extra_rows_and_entries_are_not_consulted(worked_example):
    # The number of states comes from component 0; component 1 has more rows and entries,
    # and an entry beyond that number that would fire at once is never sampled.
    never = D()
    extra = [
        [never, never, tavoq.InstantaneousFailure(0)],
        [never, never, never],
        [tavoq.InstantaneousFailure(0), never, never],
    ]
    matrix = worked_example.matrix + [extra]
    tree = tavoq.CutsetTree(2)
    tree.insertNode([1, 0])
    assert tavoq.runnerSingleSim(8, matrix, tree, 0) == worked_example.expected


# ---------------------------------------------------------------------------
# Negative simTime


@pytest.mark.parametrize("sim_time", [-1, -(2**31)], ids=["-1", "min"])
@pytest.mark.parametrize("with_tree", [True, False], ids=["tree", "null-tree"])
def test_single_negative_sim_time(sim_time, with_tree, worked_example, capfd):
    tree = worked_example.tree if with_tree else None
    with pytest.raises(MemoryError):
        tavoq.runnerSingleSim(sim_time, worked_example.matrix, tree, 0)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("n", [1, 0, 5], ids=["1", "0", "5"])
@pytest.mark.parametrize("with_tree", [True, False], ids=["tree", "null-tree"])
def test_multiple_negative_sim_time(n, with_tree, worked_example, capfd):
    tree = worked_example.tree if with_tree else None
    with pytest.raises(RuntimeError) as info:
        tavoq.runnerMultipleSim(n, -1, worked_example.matrix, tree, 0)
    assert type(info.value) is RuntimeError
    assert str(info.value) == ALLOC_MULTIPLE
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("n", [1, 0, 5], ids=["1", "0", "5"])
@pytest.mark.parametrize("with_tree", [True, False], ids=["tree", "null-tree"])
def test_parallel_negative_sim_time(n, with_tree, worked_example, capfd):
    tree = worked_example.tree if with_tree else None
    with pytest.raises(RuntimeError) as info:
        tavoq.runnerParallelSim(n, -3, worked_example.matrix, tree, 0)
    assert type(info.value) is RuntimeError
    assert str(info.value) == ALLOC_PARALLEL
    out, err = capfd.readouterr()
    assert err == ALLOC_PARALLEL_STDERR
    lines = out.splitlines()
    assert len(lines) == 1 and lines[0].startswith(THREAD_PREFIX)


# ---------------------------------------------------------------------------
# A batch that cannot fit in memory


# 257 buffers of 8 GiB (256 thread slots and the total) fit on no machine this runs on.
# Without the check the buffers would be granted and zero-filled until the kernel killed the
# process; the child's address space is capped so that a missing check fails quickly instead.
# ASan cannot run under such a cap.
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address-space cap that keeps a failure safe is not usable under ASan",
)
@pytest.mark.parametrize("runner", ["runnerParallelSim", "runnerStatistics"])
def test_batch_that_cannot_fit_raises_memory_error(runner):
    code = f"""
        import resource, tavoq
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        D = tavoq.Distribution
        tree = tavoq.CutsetTree(1)
        tree.insertNode([1])
        tavoq.limitOMPThreads(256)
        try:
            tavoq.{runner}(4, 2**31 - 1, [[[D(), D()], [D(), D()]]], tree, 1)
        except MemoryError as error:
            print("refused:", error)
        """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert re.search(
        r"refused: .*needs [\d.]+ GiB and the process can get [\d.]+ GiB", result.stdout
    ), result.stdout[-2000:]


# ---------------------------------------------------------------------------
# A model that never advances the clock


def looping_model(at):
    flip = tavoq.InstantaneousFailure(at)
    back = tavoq.InstantaneousFailure(at)
    return [[[D(), flip], [back, D()]]]


@pytest.mark.parametrize("kind", RUNNERS, ids=RUNNERS)
@pytest.mark.parametrize("at", [0, 3], ids=["at-0", "at-3"])
def test_no_progress_raises(kind, at, tree_1, capfd):
    with pytest.raises(RuntimeError) as info:
        call_runner(kind, 2, 10, looping_model(at), tree_1)
    message = str(info.value)
    assert re.search(rf"no progress at time unit {at}\b", message, re.IGNORECASE), message
    out, _ = capfd.readouterr()
    assert "All Simulations Done." not in out


def test_no_progress_beyond_horizon_is_not_reached(tree_1):
    # The endless transitions fall due at 3; a run that ends before 3 never applies them.
    assert tavoq.runnerSingleSim(3, looping_model(3), tree_1, 0) == [0, 0, 0]


def test_no_progress_leaves_objects_usable(tree_1, capfd):
    model = looping_model(0)
    with pytest.raises(RuntimeError):
        tavoq.runnerSingleSim(4, model, tree_1, 0)
    assert tree_1.findNode([1]) == [1]
    assert model[0][0][1].quantile(0.5, 1) == -1.0
    assert capfd.readouterr().err == ""


# ---------------------------------------------------------------------------
# Interruption with Ctrl-C


INTERRUPT_CHILD = """
    import signal, sys
    import tavoq
    signal.signal(signal.SIGINT, signal.default_int_handler)
    D = tavoq.Distribution
    fail, repair = tavoq.Exponential(0.2), tavoq.Exponential(0.5)
    matrix = [[[D(), fail], [repair, D()]]] * 4
    tree = tavoq.CutsetTree(4)
    tree.constructTree([[1, 1, 0, 0], [0, 0, 1, 1]])
    runner = getattr(tavoq, sys.argv[1])
    print("READY", flush=True)
    try:
        runner(10**8, 2000, matrix, tree, 7)
    except KeyboardInterrupt:
        print("INTERRUPTED", flush=True)
        sys.exit(3)
    print("RETURNED", flush=True)
"""


@pytest.mark.parametrize(
    "runner", ["runnerMultipleSim", "runnerParallelSim"], ids=["multiple", "parallel"]
)
def test_ctrl_c_stops_a_long_batch(runner):
    proc = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(INTERRUPT_CHILD), runner],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert proc.stdout.readline().strip() == "READY"
        time.sleep(1.0)
        assert proc.poll() is None, "the batch ended on its own"
        proc.send_signal(signal.SIGINT)
        try:
            out, err = proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            pytest.fail("the batch did not stop after SIGINT")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert "RETURNED" not in out
    assert "INTERRUPTED" in out, (out[-2000:], err[-2000:])
    assert proc.returncode == 3
    assert "All Simulations Done." not in out


# ---------------------------------------------------------------------------
# Output lines and results


@pytest.mark.parametrize("kind", ["multiple", "parallel"], ids=["multiple", "parallel"])
def test_zero_runs(kind, worked_example, capfd):
    ex = worked_example
    assert call_runner(kind, 0, ex.sim_time, ex.matrix, ex.tree) == [0] * ex.sim_time
    out, err = capfd.readouterr()
    if kind == "parallel":
        first, out = out.split("\n", 1)
        assert first.startswith(THREAD_PREFIX)
    assert out == closing(0)
    assert err == ""


@pytest.mark.parametrize("kind", ["multiple", "parallel"], ids=["multiple", "parallel"])
def test_one_run(kind, worked_example, capfd):
    ex = worked_example
    assert call_runner(kind, 1, ex.sim_time, ex.matrix, ex.tree) == ex.expected
    out, err = capfd.readouterr()
    if kind == "parallel":
        first, out = out.split("\n", 1)
        assert first.startswith(THREAD_PREFIX)
    assert out == "Simulation 0 done.\n" + closing(1)
    assert err == ""


def test_single_run_writes_nothing(worked_example, capfd):
    ex = worked_example
    assert tavoq.runnerSingleSim(ex.sim_time, ex.matrix, ex.tree, 0) == ex.expected
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("kind", ["multiple", "parallel"], ids=["multiple", "parallel"])
def test_progress_lines_every_ten_thousand(kind, worked_example, capfd):
    ex = worked_example
    n = 10001
    assert call_runner(kind, n, 5, ex.matrix, ex.tree) == [n * s for s in ex.expected[:5]]
    lines = capfd.readouterr().out.splitlines()
    if kind == "parallel":
        assert lines[0].startswith(THREAD_PREFIX)
        lines = lines[1:]
        assert sorted(lines[:2]) == ["Simulation 0 done.", "Simulation 10000 done."]
        lines = lines[2:]
    else:
        assert lines[:2] == ["Simulation 0 done.", "Simulation 10000 done."]
        lines = lines[2:]
    assert lines == ["Simulation 10001 done.", "All Simulations Done."]


@pytest.mark.parametrize("kind", RUNNERS, ids=RUNNERS)
def test_zero_sim_time(kind, worked_example, capfd):
    ex = worked_example
    assert call_runner(kind, 2, 0, ex.matrix, ex.tree) == []
    out = capfd.readouterr().out
    if kind == "single":
        assert out == ""
    else:
        assert out.endswith("Simulation 0 done.\n" + closing(2))


def test_zero_sim_time_still_samples(tree_1, capfd):
    # Seed 5489 gives the engine output 3499211612 first, so the first draw is
    # 13668795 * 2**-24, which prints as 0.814724.  The one entry always answers -4.
    matrix = [[[tavoq.Maintenance([-4])]]]
    assert tavoq.runnerSingleSim(0, matrix, tree_1, 5489) == []
    assert capfd.readouterr().out == "Warning: nextTimeDouble is out of bounds: -4  0.814724\n"
    assert tavoq.runnerMultipleSim(1, 0, matrix, tree_1, 5489) == []
    out = capfd.readouterr().out
    assert out == (
        "Warning: nextTimeDouble is out of bounds: -4  0.814724\nSimulation 0 done.\n" + closing(1)
    )


def test_zero_sim_time_still_validates(capfd):
    with pytest.raises(ValueError, match=f"^{re.escape(NULL_TREE)}$"):
        tavoq.runnerSingleSim(0, [], None, 0)
    with pytest.raises(ValueError, match=f"^{re.escape(NULL_TREE)}$"):
        tavoq.runnerMultipleSim(1, 0, [], None, 0)
    capfd.readouterr()


@pytest.mark.parametrize("threads", [1, 2, 3], ids=["1", "2", "3"])
def test_thread_line_follows_limit(threads, omp_threads_restored, worked_example, capfd):
    ex = worked_example
    tavoq.limitOMPThreads(threads)
    assert tavoq.runnerParallelSim(4, ex.sim_time, ex.matrix, ex.tree, 0) == [
        4 * s for s in ex.expected
    ]
    out = capfd.readouterr().out
    lines = out.splitlines()
    assert lines[0] == f"{THREAD_PREFIX}{threads}"
    assert lines[1:] == ["Simulation 0 done.", "Simulation 4 done.", "All Simulations Done."]


def test_batch_equals_sum_of_single_runs(omp_threads_restored, capfd):
    matrix, tree = two_component_model()
    n, sim_time, seed = 60, 200, 11
    singles = [tavoq.runnerSingleSim(sim_time, matrix, tree, seed + i) for i in range(n)]
    expected = [sum(col) for col in zip(*singles)]
    assert any(expected), "the model should fail sometimes"
    assert all(v in (0, 1) for s in singles for v in s)
    assert tavoq.runnerMultipleSim(n, sim_time, matrix, tree, seed) == expected
    for threads in (1, 2, 3):
        tavoq.limitOMPThreads(threads)
        assert tavoq.runnerParallelSim(n, sim_time, matrix, tree, seed) == expected
    capfd.readouterr()


@pytest.mark.parametrize(
    "env, line",
    [
        # The limit caps every team: the batch must not wait for threads that never start.
        ({"OMP_THREAD_LIMIT": "1"}, f"{THREAD_PREFIX}1"),
        ({"OMP_THREAD_LIMIT": "2"}, f"{THREAD_PREFIX}2"),
        # OpenMP may start fewer threads than asked for; the line gives what was asked.
        ({"OMP_DYNAMIC": "true"}, f"{THREAD_PREFIX}4"),
    ],
    ids=["limit-1", "limit-2", "dynamic"],
)
def test_openmp_environment_limits_the_team(env, line):
    code = """
        import sys, tavoq
        none, fail, repair = tavoq.Distribution(), tavoq.Exponential(0.05), tavoq.Exponential(0.5)
        tree = tavoq.CutsetTree(2)
        tree.constructTree([[1, 1]])
        matrix = [[[none, fail], [repair, none]]] * 2
        want = tavoq.runnerMultipleSim(300, 400, matrix, tree, 5)
        tavoq.limitOMPThreads(4)
        for _ in range(3):
            assert tavoq.runnerParallelSim(300, 400, matrix, tree, 5) == want
            assert list(tavoq.runnerStatistics(300, 400, matrix, tree, 5).failedRuns) == want
        assert any(want)
    """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, **env},
    )
    assert result.returncode == 0, result.stderr
    assert f"\n{line}\n" in result.stdout


def test_batch_seeds_wrap(capfd):
    # Run i is seeded with seed + i modulo 2**32: from INT32_MAX the next run uses INT32_MIN.
    matrix, tree = two_component_model()
    a = tavoq.runnerSingleSim(150, matrix, tree, 2**31 - 1)
    b = tavoq.runnerSingleSim(150, matrix, tree, -(2**31))
    got = tavoq.runnerMultipleSim(2, 150, matrix, tree, 2**31 - 1)
    assert got == [x + y for x, y in zip(a, b)]
    capfd.readouterr()


def out_of_bounds_model():
    # Component 0's first draws are all negative, component 1's all past the largest delay.
    return [
        [[D(), tavoq.Uniform(-5.0, -1.0)], [D(), D()]],
        [[D(), tavoq.Uniform(3e9, 4e9)], [D(), D()]],
        [[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.5), D()]],
    ]


@pytest.mark.parametrize("tree_kind", ["cutsets", "fault tree"])
def test_statistics_curves_by_bin_and_delay_counts(tree_kind, capfd):
    matrix = out_of_bounds_model()
    if tree_kind == "cutsets":
        tree = tavoq.CutsetTree(3)
        tree.constructTree([[0, 0, 1]])
    else:
        tree = tavoq.FaultTree(3)
        tree.setTop(tree.addGate("or", [2]))
    units = tavoq.runnerStatistics(50, 10, matrix, tree, 4)
    bins = tavoq.runnerStatistics(50, 10, matrix, tree, 4, binWidth=4)
    assert capfd.readouterr().out == ""  # counted, not printed
    assert (units.binWidth, bins.binWidth) == (1, 4)
    assert list(bins.failedRuns) == [units.failedRuns[a : a + 4].sum() for a in (0, 4, 8)]
    assert list(bins.firstFailures) == [units.firstFailures[a : a + 4].sum() for a in (0, 4, 8)]
    assert bins.downtime.sum() == units.downtime.sum() > 0
    for stats in (units, bins):
        assert list(stats.negativeDelays) == [50, 0, 0]
        assert list(stats.delaysPastLimit) == [0, 50, 0]
        assert stats.negativeDelays.dtype == np.int64
        assert not stats.delaysPastLimit.flags.writeable
    with pytest.raises(ValueError, match="^binWidth must be at least 1, got 0.$"):
        tavoq.runnerStatistics(50, 10, matrix, tree, 4, binWidth=0)


def test_parallel_runner_still_prints_each_out_of_bounds_draw(capfd):
    tree = tavoq.CutsetTree(3)
    tree.constructTree([[0, 0, 1]])
    tavoq.runnerParallelSim(3, 10, out_of_bounds_model(), tree, 4)
    lines = capfd.readouterr().out.splitlines()
    warned = [line for line in lines if line.startswith("Warning: nextTimeDouble is out of")]
    assert len(warned) == 6


# ---------------------------------------------------------------------------
# Failure-biased runs (runnerRareSampling)
# ---------------------------------------------------------------------------


def both_failed_tree():
    tree = tavoq.FaultTree(2)
    tree.setTop(tree.addGate("and", [0, 1]))
    return tree


def test_rare_sampling_is_the_same_on_any_number_of_threads(omp_threads_restored):
    matrix, _ = two_component_model()
    runs, horizons = [], []
    for threads in (1, 2, 3):
        tavoq.limitOMPThreads(threads)
        first, log_weight, cause, *horizon = tavoq.runnerRareSampling(
            500, 8, matrix, both_failed_tree(), 9, 4.0, 2.0, toHorizon=threads > 1
        )
        runs.append((first.tolist(), log_weight.tolist()))
        # The component whose failure completed the cut set, in every failed run only.
        assert ((cause >= 0) == (first < 8)).all() and set(cause[first < 8]) == {0, 1}
        horizons.append([a.tolist() for a in horizon])
    # Runs that go on to the horizon find the same first failures.
    assert runs[0] == runs[1] == runs[2] and horizons[1] == horizons[2]
    assert 0 < sum(f < 8 for f in runs[0][0]) < 500
    # Two calls that split the batch give its runs.
    parts = [
        tavoq.runnerRareSampling(n, 8, matrix, both_failed_tree(), 9, 4.0, 2.0, firstRun=first)
        for first, n in ((0, 200), (200, 300))
    ]
    assert [v for first, _, _ in parts for v in first.tolist()] == runs[0][0]
    assert [v for _, weights, _ in parts for v in weights.tolist()] == runs[0][1]


def test_rare_sampling_leaves_other_laws_as_they_are():
    # Component 1 fails by a Weibull and is not biased; component 0's failures are. The
    # weighted estimate agrees with unbiased runs of the same runner.
    matrix, _ = two_component_model()
    n, horizon = 100_000, 30

    def estimate(seed, *factors):
        first, log_weight, _ = tavoq.runnerRareSampling(
            n, horizon, matrix, both_failed_tree(), seed, *factors
        )
        values = np.where(first < horizon, np.exp(log_weight), 0.0)
        return values.mean(), values.std(ddof=1) / np.sqrt(n), log_weight

    crude, crude_se, weights = estimate(1, 1.0, 1.0)
    assert not weights.any()
    biased, biased_se, weights = estimate(2, 3.0, 0.5)
    assert weights.any()
    assert abs(biased - crude) <= 4 * np.hypot(crude_se, biased_se)


def test_the_cause_of_a_rare_failure_is_the_transition_that_completed_it():
    # b fails at once and stays failed; a fails later: a completes "a and b" in nearly every
    # run (both in unit 0 only when a's delay is 0, about 5%, and then b, listed after a, is).
    a = [[D(), tavoq.Exponential(0.05)], [tavoq.Exponential(0.5), D()]]
    b = [[D(), tavoq.Exponential(50.0)], [D(), D()]]
    first, _, cause = tavoq.runnerRareSampling(2000, 40, [a, b], both_failed_tree(), 3, 1.0, 1.0)
    failed = first < 40
    assert failed.sum() > 1000
    assert (cause[failed] == 0).mean() > 0.9 and (cause[~failed] == -1).all()


@pytest.mark.parametrize(
    "change, error, message",
    [
        ({"simTime": -1}, ValueError, "simTime must be at least 0"),
        ({"biasWhileWorking": 0.0}, ValueError, "finite factor above 0"),
        ({"biasWhileDegraded": float("nan")}, ValueError, "finite factor above 0"),
        ({"biasWhileWorking": float("inf")}, ValueError, "finite factor above 0"),
        ({"faultTree": None}, ValueError, "Fault tree must not be null."),
        ({"transitionsMatrix": []}, ValueError, "must not be empty"),
        ({"firstRun": -1}, ValueError, "firstRun must be at least 0"),
        ({"demandChance": 1.0}, ValueError, "demandChance must be in [0, 1)."),
        ({"lifeChance": -0.1}, ValueError, "lifeChance must be in [0, 1)."),
        ({"lifeChance": float("nan")}, ValueError, "lifeChance must be in [0, 1)."),
    ],
)
def test_rare_sampling_refuses_bad_input(change, error, message):
    matrix, _ = two_component_model()
    args = {
        "nSimulations": 10,
        "simTime": 20,
        "transitionsMatrix": matrix,
        "faultTree": both_failed_tree(),
        "seed": 1,
        "biasWhileWorking": 2.0,
        "biasWhileDegraded": 2.0,
    }
    with pytest.raises(error, match=re.escape(message)):
        tavoq.runnerRareSampling(**(args | change))


# ---------------------------------------------------------------------------
# Fixed-effort splitting (runnerRareSplitting)
# ---------------------------------------------------------------------------


def three_of_three():
    """Three units that fail the system together; one fails by a Weibull, is repaired by a
    lognormal, so the redraw of a kept state from its law given its age is exercised."""
    fail, repair = tavoq.Exponential(0.03), tavoq.Exponential(0.5)
    exponential = [[D(), fail], [repair, D()]]
    other = [[D(), tavoq.Weibull(25.0, 1.5)], [tavoq.Lognormal(0.3, 0.6), D()]]
    tree = tavoq.FaultTree(3)
    tree.setTop(tree.addGate("and", [0, 1, 2]))
    return [exponential, other, exponential], tree


INTERACTING_PAIR = """
failed_when = "pumps or (v1 and v2)"
[simulation]
horizon = 60
[crews.fitter]
count = 1
[components.a]
states = ["running", "standby", "failed"]
kinds = { standby = "working" }
transitions = [
  { from = "running", to = "failed", distribution = "weibull", scale = 30, shape = 1.5 },
  { from = "failed", to = "standby", distribution = "exponential", rate = 0.2, crew = "fitter" },
]
[components.b]
states = ["running", "standby", "failed"]
kinds = { standby = "working" }
transitions = [
  { from = "running", to = "failed", distribution = "exponential", rate = 0.04 },
  { from = "standby", to = "failed", distribution = "exponential", rate = 0.01 },
  { from = "failed", to = "standby", distribution = "lognormal", mean = 5, sd = 2, crew = "fitter" },
]
[components.v1]
states = ["open", "stuck"]
transitions = [
  { from = "open", to = "stuck", distribution = "exponential", rate = 0.02 },
  { from = "stuck", to = "open", distribution = "exponential", rate = 0.3 },
]
[components.v2]
states = ["open", "stuck"]
transitions = [
  { from = "open", to = "stuck", distribution = "exponential", rate = 0.02 },
  { from = "stuck", to = "open", distribution = "exponential", rate = 0.3 },
]
[standby.pumps]
units = ["a", "b"]
active = "running"
standby = "standby"
switch_failure = 0.1
switch_failed = "failed"
[common_cause.valves]
members = ["v1", "v2"]
distribution = "exponential"
rate = 0.002
to = "stuck"
"""


def splitting_model(kind):
    """(matrix, tree, interactions, splits): three units failing together, or a standby pair
    with a crew, a switch-over that can fail and two valves with a common cause; with
    "pand", the units or the valves must fail in an order (the units' not their index's)."""
    if kind.startswith("plain"):
        matrix, tree = three_of_three()
        if kind.endswith("pand"):
            tree = tavoq.FaultTree(3)
            tree.setTop(tree.addGate("pand", [2, 0, 1]))
        return matrix, tree, None, [8, 20]
    import tomllib

    from tavoq_tools.formats.file import model_from_dict

    text = INTERACTING_PAIR
    if kind.endswith("pand"):
        text = text.replace('"pumps or (v1 and v2)"', '"pumps or pand(v2, v1)"')
    matrix, tree, interactions = model_from_dict(tomllib.loads(text)).build()
    return matrix, tree, interactions, [6]


@pytest.mark.parametrize(
    "kind", ["plain", "interacting", "plain pand", "interacting pand", "interacting biased"]
)
def test_rare_splitting_is_the_same_on_any_number_of_threads_and_split(omp_threads_restored, kind):
    matrix, tree, interactions, splits = splitting_model(kind)
    # Biased: first failures drawn five times as often, rows drawn again as the system
    # leaves its start level and comes back.
    bias = {"startFactor": 5.0} if kind.endswith("biased") else {}
    found = []
    for threads in (1, 2, 3):
        tavoq.limitOMPThreads(threads)
        out = tavoq.runnerRareSplitting(
            12 if kind == "plain" else 40,
            60,
            matrix,
            tree,
            5,
            splits,
            interactions=interactions,
            **bias,
        )
        found.append({key: np.asarray(value).tolist() for key, value in out.items()})
    assert found[0] == found[1] == found[2]
    assert sum(found[0]["hits"]) > 0
    roots = len(found[0]["hits"])
    parts = [
        tavoq.runnerRareSplitting(
            n, 60, matrix, tree, 5, splits, firstRoot=first, interactions=interactions, **bias
        )
        for first, n in ((0, 5), (5, roots - 5))
    ]
    for key in (
        "hits",
        "downtime",
        "failures",
        "weightedDowntime",
        "weightedFailures",
        "trajectories",
        "failureUnit",
        "failureWeight",
        "cause",
    ):
        assert [v for p in parts for v in p[key].tolist()] == found[0][key], key
    # Each first failure lies before the horizon with a cause among the components; a root's
    # trajectories are down at least one unit per first failure, and fail at least as often.
    assert all(0 <= u < 60 for u in found[0]["failureUnit"])
    assert set(found[0]["cause"]) <= set(range(len(matrix)))
    hits, down, fails = (np.array(found[0][k]) for k in ("hits", "downtime", "failures"))
    assert (down >= hits).all() and (fails >= hits).all()
    if interactions is None:
        # Every crossing up into a level makes split - 1 retrials there, and nothing is weighed.
        assert found[0]["born"] == [(s - 1) * c for s, c in zip(splits, found[0]["crossings"])]
        assert found[0]["causeFactors"] == [] and set(found[0]["failureWeight"]) == {1.0}
        assert found[0]["weightedDowntime"] == [float(v) for v in found[0]["downtime"]]
    else:
        # The valves' common cause (rate 0.002) would fire 0.12 times in 60 units: it is drawn
        # so that it fires twice, and the paths split by their weights.
        assert found[0]["causeFactors"] == [pytest.approx(2 / 0.12)]
        assert len(set(found[0]["failureWeight"])) > 1
    if kind.startswith("plain"):  # a pand is as far from failing as an and
        assert found[0]["levels"] == [1, 2, 3] and found[0]["weight"] == 1 / 160
    else:
        # The pair's leaf is two failures from down, the valves' two: the top is two away,
        # and each failure lists the pumps' leaf (index 4) or both valves.
        assert found[0]["levels"] == [1, 2] and found[0]["weight"] == 1 / 6
        ends = np.cumsum(found[0]["failedCount"])
        for end, count in zip(ends, found[0]["failedCount"]):
            failed = set(found[0]["failed"][end - count : end])
            assert 4 in failed or {2, 3} <= failed, failed


@pytest.mark.parametrize("kind", ["plain", "plain pand"])
def test_rare_splitting_agrees_with_crude_runs_whatever_the_laws(kind):
    # Crude runs of the same laws (failure biasing with no bias is crude Monte Carlo, and so
    # is splitting with no split) and split roots, with a Weibull life and a lognormal repair
    # drawn again at each split, estimate the same P(failed within 60 units). With a pand,
    # each copy keeps the order its parent saw: one that forgot it would count orders the
    # gate refuses.
    matrix, tree, _, _ = splitting_model(kind)
    n = 200_000
    first, _, _ = tavoq.runnerRareSampling(n, 60, matrix, tree, 1, 1.0, 1.0)
    crude, crude_se = (first < 60).mean(), (first < 60).std(ddof=1) / np.sqrt(n)
    assert 3e-4 < crude < 1e-2
    unsplit = tavoq.runnerRareSplitting(2000, 60, matrix, tree, 3)
    assert unsplit["weight"] == 1.0 and (unsplit["trajectories"] == 1).all()
    roots = 20_000
    out = tavoq.runnerRareSplitting(roots, 60, matrix, tree, 2, [4, 8])
    per_root = out["weight"] * out["hits"]
    split, split_se = per_root.mean(), per_root.std(ddof=1) / np.sqrt(roots)
    assert abs(split - crude) <= 4 * np.hypot(crude_se, split_se), (split, crude)
    assert split_se < crude_se  # and the splits paid for their work here


def test_rare_splitting_with_slow_rows_agrees_with_crude_runs():
    # With interactions, a retrial leaves its components' slow exponential rows (rates below
    # 0.01: here pump b's and the valves') undrawn, and draws their first firing as
    # one; pump b's standby row is drawn again whenever pump a fails or comes back. The
    # system fails when both valves are stuck, mostly one after the other, the second within
    # a retrial; their common cause is drawn about 21 times as often, each path weighed back.
    # Roots never split and not biased are crude runs of the same model.
    import tomllib

    from tavoq_tools.formats.file import model_from_dict

    text = INTERACTING_PAIR.replace('"pumps or (v1 and v2)"', '"v1 and v2"')
    changes = [
        ("0.02 }", "0.008 }"),
        ("0.002\n", "0.0002\n"),
        ("0.04 }", "0.008 }"),
        ("0.01 }", "0.002 }"),
    ]
    for fast, slow in changes:
        text = text.replace(f"rate = {fast}", f"rate = {slow}")
    matrix, tree, interactions = model_from_dict(tomllib.loads(text)).build()
    crude = tavoq.runnerRareSplitting(
        100_000,
        60,
        matrix,
        tree,
        1,
        [1],
        interactions=interactions,
        causeFactors=[],
        startFactor=1.0,
    )
    split = tavoq.runnerRareSplitting(10_000, 60, matrix, tree, 2, [8], interactions=interactions)
    assert (crude["trajectories"] == 1).all() and split["trajectories"].sum() > 20_000
    assert split["causeFactors"] == [pytest.approx(2 / (0.0002 * 60))]
    # Every unit's exponential failure drawn 20 times as often until the first: the valves'
    # first failures (each about 0.1 in the horizon) come at a fiftieth of their weight.
    biased = tavoq.runnerRareSplitting(
        10_000, 60, matrix, tree, 3, [8], interactions=interactions, startFactor=20.0
    )
    # Left to choose, the rows of the states a run starts in (pump b in standby, the valves
    # open; pump a's Weibull life is never biased) fire 1.08 times in 60 units: not rare, no
    # bias. In 10 units, 0.18 times: drawn so that they fire twice.
    assert biased["startFactor"] == 20.0 and split["startFactor"] == 1.0
    short = tavoq.runnerRareSplitting(0, 10, matrix, tree, 1, [8], interactions=interactions)
    assert short["startFactor"] == pytest.approx(2 / (0.018 * 10))
    # P(failed), the units down and the failures, each weighed back by the paths' ratios.
    for out in (split, biased):
        weighed = np.bincount(out["hitRoot"], weights=out["failureWeight"], minlength=10_000)
        for crude_runs, split_runs in (
            (crude["hits"], weighed),
            (crude["downtime"], out["weightedDowntime"]),
            (crude["failures"], out["weightedFailures"]),
        ):
            runs = [crude_runs, out["weight"] * split_runs]
            (p, p_se), (q, q_se) = ((x.mean(), x.std(ddof=1) / np.sqrt(len(x))) for x in runs)
            assert p > 0.01 and abs(p - q) <= 4 * np.hypot(p_se, q_se), (p, q)
    assert crude["hits"].mean() < 0.1


@pytest.mark.parametrize(
    "change, message",
    [
        ({"simTime": -1}, "simTime must be at least 0"),
        ({"splits": [0, 2]}, "splitting factor must be at least 1, got 0"),
        ({"splits": [2]}, "one splitting factor per level but the failed system's: 2, got 1"),
        ({"levels": [2, 1]}, "levels must increase, each from 1 to 3"),
        ({"levels": [0]}, "levels must increase"),
        ({"levels": [4]}, "levels must increase"),
        ({"firstRoot": -1}, "firstRoot must be at least 0"),
        ({"nRoots": 2, "firstRoot": 2**31 - 2}, "at most 2147483647"),
        ({"faultTree": None}, "Fault tree must not be null."),
        ({"causeFactors": [2.0]}, "Common-cause factors need a model with common causes"),
        ({"startFactor": 2.0}, "A start factor needs a model with interactions"),
    ],
)
def test_rare_splitting_refuses_bad_input(change, message):
    matrix, tree = three_of_three()
    args = {
        "nRoots": 2,
        "simTime": 20,
        "transitionsMatrix": matrix,
        "faultTree": tree,
        "seed": 1,
        "splits": [2, 2],
    }
    with pytest.raises(ValueError, match=re.escape(message)):
        tavoq.runnerRareSplitting(**(args | change))


@pytest.mark.parametrize(
    "factors, law, message",
    [
        ([1.0, 1.0], "", "one common-cause factor per common cause: 1, got 2"),
        ([0.5], "", "at least 1, got 0.5"),
        ([math.nan], "", "at least 1, got nan"),
        ([math.inf], "", "at least 1, got inf"),
        ([2.0], "weibull", "cannot be drawn more often: its law is not exponential"),
        ({"startFactor": 0.5}, "", "start factor must be a finite number of at least 1"),
        ({"startFactor": math.inf}, "", "start factor must be a finite number of at least 1"),
        ({"startFactor": math.nan}, "", "start factor must be a finite number of at least 1"),
    ],
)
def test_rare_splitting_refuses_bad_factors(factors, law, message):
    import tomllib

    from tavoq_tools.formats.file import model_from_dict

    text = INTERACTING_PAIR
    if law:
        text = text.replace(
            'distribution = "exponential"\nrate = 0.002',
            'distribution = "weibull"\nscale = 500\nshape = 2',
        )
    matrix, tree, interactions = model_from_dict(tomllib.loads(text)).build()
    given = factors if isinstance(factors, dict) else {"causeFactors": factors}
    with pytest.raises(ValueError, match=re.escape(message)):
        tavoq.runnerRareSplitting(2, 20, matrix, tree, 1, [2], interactions=interactions, **given)


def test_rare_splitting_refuses_logic_it_cannot_count():
    matrix, _ = three_of_three()
    for kind in ("xor", "nand", "not"):
        other = tavoq.FaultTree(3)
        other.setTop(other.addGate(kind, [0] if kind == "not" else [0, 1]))
        with pytest.raises(ValueError, match="with non-coherent gates"):
            tavoq.runnerRareSplitting(2, 20, matrix, other, 1)


# ---------------------------------------------------------------------------
# Critical time over the base runs (runnerImportance)
# ---------------------------------------------------------------------------


def shared_input_tree():
    # top = (c or a) and (c or b): c reaches the top by two paths at once, so with a and b
    # working it is critical though neither path alone would say so.
    tree = tavoq.FaultTree(3)
    left = tree.addGate("or", [0, 1])
    right = tree.addGate("or", [0, 2])
    tree.setTop(tree.addGate("and", [left, right]))
    return tree


def test_importance_runs_split_and_thread_alike_and_see_shared_inputs(omp_threads_restored):
    matrix = [two_component_model()[0][0]] * 3
    found = []
    for threads in (1, 2):
        tavoq.limitOMPThreads(threads)
        found.append(tavoq.runnerImportance(300, 50, matrix, shared_input_tree(), 4, [0, 1, 3]))
    assert all(np.array_equal(found[0][k], found[1][k]) for k in found[0])
    parts = [
        tavoq.runnerImportance(n, 50, matrix, shared_input_tree(), 4, [0, 1, 3], firstRun=first)
        for first, n in ((0, 100), (100, 200))
    ]
    for key, value in found[0].items():
        assert np.array_equal(np.concatenate([p[key] for p in parts]), value), key
    stats = tavoq.runnerStatistics(300, 50, matrix, shared_input_tree(), 4)
    assert found[0]["downtime"].tolist() == stats.downtime.tolist()
    # Component 0 is critical whenever it alone decides: its critical time covers every
    # unit the system is down with a and b working, so it is at least the downtime where
    # component 0 is the only one failed.
    assert found[0]["criticalFailed"][:, 0].sum() > 0
    assert found[0]["criticalWorking"][:, 0].sum() > found[0]["criticalWorking"][:, 1].sum()


@pytest.mark.parametrize(
    "change, message",
    [
        ({"nodes": [7]}, "node 7 is not a component or gate of the tree"),
        ({"nodes": [-1]}, "node -1 is not a component or gate of the tree"),
        ({"simTime": -1}, "simTime must be at least 0"),
        ({"firstRun": -1}, "firstRun must be at least 0"),
        ({"faultTree": None}, "Fault tree must not be null."),
    ],
)
def test_importance_runs_refuse_bad_input(change, message):
    matrix = [two_component_model()[0][0]] * 3
    args = {
        "nSimulations": 5,
        "simTime": 10,
        "transitionsMatrix": matrix,
        "faultTree": shared_input_tree(),
        "seed": 1,
        "nodes": [0],
    }
    with pytest.raises(ValueError, match=re.escape(message)):
        tavoq.runnerImportance(**(args | change))


def test_importance_runs_refuse_logic_that_is_not_coherent():
    tree = tavoq.FaultTree(2)
    tree.setTop(tree.addGate("xor", [0, 1]))
    matrix, _ = two_component_model()
    with pytest.raises(ValueError, match="the logic must be coherent"):
        tavoq.runnerImportance(5, 10, matrix, tree, 1, [0])


# ---------------------------------------------------------------------------
# Runs of many samples in one call (runnerSamples)
# ---------------------------------------------------------------------------


def both_failed_fault_tree():
    tree = tavoq.FaultTree(2)
    tree.setTop(tree.addGate("and", [0, 1]))
    return tree


def sample_matrices():
    """Three samples of the two-component model, differing in the first one's failure rate."""
    base, _ = two_component_model()
    return [[[[D(), tavoq.Exponential(rate)], base[0][1]], base[1]] for rate in (0.1, 0.2, 0.4)]


def test_samples_are_each_their_own_batch_on_any_threads(omp_threads_restored):
    matrices = sample_matrices()
    found = []
    for threads in (1, 2, 3):
        tavoq.limitOMPThreads(threads)
        found.append(tavoq.runnerSamples(70, 40, matrices, both_failed_fault_tree(), 9, 30))
    assert all(np.array_equal(f[k], found[0][k]) for f in found for k in f)
    for j, matrix in enumerate(matrices):
        stats = tavoq.runnerStatistics(70, 40, matrix, both_failed_fault_tree(), 9 + 30 + 70 * j)
        run = slice(70 * j, 70 * (j + 1))
        for key, name in (
            ("downtime", "downtime"),
            ("systemFailures", "systemFailures"),
            ("firstFailureTimes", "firstFailureTimes"),
        ):
            assert found[0][key][run].tolist() == getattr(stats, name).tolist(), (j, key)
    # The samples differ, so a call that took one matrix for all would not pass the above.
    assert found[0]["downtime"][:70].sum() != found[0]["downtime"][140:].sum()


@pytest.mark.parametrize(
    "change, message",
    [
        ({"simTime": -1}, "simTime must be at least 0"),
        ({"runsPerSample": -1}, "runsPerSample and firstRun must be at least 0"),
        ({"firstRun": -1}, "runsPerSample and firstRun must be at least 0"),
        ({"firstRun": 2**31 - 10}, "must be at most 2147483647"),
        ({"interactions": [None]}, "Give one interactions per matrix, or none."),
        ({"faultTree": None}, "Fault tree must not be null."),
        ({"matrices": [[]]}, "must not be empty"),
    ],
)
def test_samples_refuse_bad_input(change, message):
    args = {
        "runsPerSample": 5,
        "simTime": 10,
        "matrices": sample_matrices()[:2],
        "faultTree": both_failed_fault_tree(),
        "seed": 1,
    }
    with pytest.raises(ValueError, match=re.escape(message)):
        tavoq.runnerSamples(**(args | change))


def test_samples_that_differ_in_more_than_their_laws_are_refused():
    # The threads' sums are shaped by the first sample: one whose components act on each
    # other beside one whose do not would not fit them.
    crew = tavoq.Interactions(2)
    crew.addCrewPool(1)
    crew.setCrew(0, 1, 0, 0)
    with pytest.raises(ValueError, match="sample 1 differs from sample 0"):
        tavoq.runnerSamples(
            5, 10, sample_matrices()[:2], both_failed_fault_tree(), 1, 0, [None, crew]
        )
