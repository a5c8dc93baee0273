"""What Python code can do to a runner call, and what the runner must survive."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from conftest import run_python

import tavoq

D = tavoq.Distribution


def repairable():
    return [[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.1), D()]]


# Instances made with __new__ have no C++ object behind them; using one must be refused
# instead of reading uninitialised storage, and the refusal must leave the instance as it was:
# storage sized for the base class and handed to a subclass instance would later be freed with
# the subclass's size (the sanitizer run aborts on that, at `del`). Each case runs in its own
# interpreter, so a regression shows up as a failed test, not a dead test run.
@pytest.mark.parametrize(
    "cls, use",
    [
        ("tavoq.Normal", "obj.pdf(1.0)"),
        ("tavoq.Weibull", "tavoq.Distribution.pdf(obj, 1.0)"),
        ("tavoq.Weibull", "tavoq.Distribution.quantile(obj, 0.5, 0)"),
        ("Sub", "tavoq.Distribution.cdf(obj, 1.0)"),
        ("tavoq.CutsetTree", "obj.insertNode([1])"),
        ("tavoq.CutsetTree", "obj.findNode([1])"),
        ("tavoq.Exponential", "tavoq.runnerSingleSim(3, [[[obj]]], tavoq.CutsetTree(1), 1)"),
        ("tavoq.Exponential", "tavoq.runnerParallelSim(2, 3, [[[D(), obj], [obj, D()]]], t, 1)"),
        ("tavoq.CutsetTree", "tavoq.runnerMultipleSim(2, 3, [[[D()]]], obj, 1)"),
        ("tavoq.RunStatistics", "obj.failedRuns"),
        ("tavoq.RunStatistics", "obj.nSimulations"),
        ("tavoq.RunStatistics", "tavoq.RunStatistics.downtime.fget(None)"),
        ("tavoq.RunStatistics", "tavoq.RunStatistics.seed.fget(t)"),
    ],
    ids=[
        "method",
        "base-method",
        "base-quantile",
        "python-subclass",
        "tree-insert",
        "tree-find",
        "matrix-cell",
        "matrix-cell-parallel",
        "tree-argument",
        "statistics-array",
        "statistics-echo",
        "statistics-getter-none",
        "statistics-getter-other-type",
    ],
)
def test_uninitialised_instances_are_refused(cls, use):
    result = run_python(
        f"""
        import gc, tavoq
        D = tavoq.Distribution
        class Sub(tavoq.Weibull):
            pass
        t = tavoq.CutsetTree(1)
        t.insertNode([1])
        obj = {cls}.__new__({cls})
        try:
            {use}
        except TypeError:
            print("refused")
        del obj
        gc.collect()
        print("freed")
        """
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["refused", "freed"]


def test_signal_handler_reading_results_during_the_first_read(tree_1):
    # The first read of a result array once set up numpy's access under a lock that a signal
    # handler reading an array at that moment waited on forever.
    result = run_python(
        """
        import signal, tavoq
        D = tavoq.Distribution
        t = tavoq.CutsetTree(1)
        t.insertNode([1])
        m = [[[D(), tavoq.Exponential(0.5)], [D(), D()]]]
        s = tavoq.runnerStatistics(40, 5, m, t, 1)
        want = tavoq.runnerMultipleSim(40, 5, m, t, 1)
        signal.signal(signal.SIGALRM, lambda *a: s.failedRuns)
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        first = s.failedRuns
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        print(list(map(int, first)) == want, sum(want))
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    verdict, failed = result.stdout.splitlines()[-1].split()
    assert verdict == "True" and int(failed) > 0


def test_signal_handler_cannot_pull_distributions_from_a_running_batch(tree_1, capfd):
    # The handler empties the caller's matrix mid-batch and drops the last references to its
    # distributions; the runs must go on with the model they were given.
    code = """
        import signal, tavoq
        D = tavoq.Distribution
        def model():
            return [[[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.1), D()]]]
        tree = tavoq.CutsetTree(1); tree.insertNode([1])
        expected = tavoq.runnerMultipleSim(60000, 400, model(), tree, 7)
        for runner in (tavoq.runnerMultipleSim, tavoq.runnerParallelSim):
            m = model()
            def handler(*_):
                m[0][0][1] = None
                m[0][1][0] = None
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            got = runner(60000, 400, m, tree, 7)
            signal.setitimer(signal.ITIMER_REAL, 0)
            assert m[0][0][1] is None, "the handler did not run during the batch"
            assert got == expected, runner.__name__
        print("same")
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "same" in result.stdout


def test_tree_cannot_change_while_a_batch_reads_it():
    code = """
        import signal, time, tavoq
        D = tavoq.Distribution
        m = [[[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.1), D()]]]
        tree = tavoq.CutsetTree(1); tree.insertNode([1])
        start = time.perf_counter()
        expected = tavoq.runnerParallelSim(60000, 400, m, tree, 3)
        took = time.perf_counter() - start
        refusals = []
        def handler(*_):
            try:
                tree.insertNode([0])
            except RuntimeError as error:
                refusals.append(str(error))
        signal.signal(signal.SIGALRM, handler)
        # A quarter into the call, however fast the machine runs it.
        signal.setitimer(signal.ITIMER_REAL, took / 4)
        got = tavoq.runnerParallelSim(60000, 400, m, tree, 3)
        signal.setitimer(signal.ITIMER_REAL, 0)
        assert refusals and "in use" in refusals[0], refusals
        assert got == expected
        tree.insertNode([0])  # free again once the call has returned
        assert tree.findNode([0]) == [0]
        print("pinned")
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "pinned" in result.stdout


def test_forked_children_can_run_parallel_batches():
    # After a parallel region, OpenMP's threads do not exist in a forked child; the child
    # must still finish its batch (on one thread), with the same numbers.
    code = """
        import multiprocessing, tavoq
        D = tavoq.Distribution
        m = [[[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.1), D()]]]
        tree = tavoq.CutsetTree(1); tree.insertNode([1])
        def job(seed):
            return tavoq.runnerParallelSim(500, 100, m, tree, seed)
        if __name__ == "__main__":
            expected = [job(1), job(2)]
            with multiprocessing.get_context("fork").Pool(2) as pool:
                assert pool.map(job, [1, 2]) == expected
            print("children done")
    """
    result = run_python(code, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "children done" in result.stdout


def test_stuck_model_with_many_components_is_reported(capfd):
    # One component flips back and forth with zero delay among many idle ones. The limit
    # grows with the number of components, so a real burst of simultaneous restorations is
    # never mistaken for a stuck model, yet this one is reported.
    idle = [[D(), D()], [D(), D()]]
    flipping = [[D(), tavoq.InstantaneousFailure(0)], [tavoq.InstantaneousFailure(0), D()]]
    matrix = [flipping] + [idle] * 300
    tree = tavoq.CutsetTree(301)
    tree.insertNode([1] + [0] * 300)
    with pytest.raises(RuntimeError, match="no progress at time unit 0"):
        tavoq.runnerSingleSim(10, matrix, tree, 1)


# 2,000 components flipping every time unit: runs of a million units take minutes.
MANY_CHEAP_TRANSITIONS = """
    n = 2000
    tree = tavoq.CutsetTree(n); tree.insertNode([1] * n)
    matrix = [[[D(), each_unit], [each_unit, D()]]] * n
"""

# One component flipping every time unit under 100,000 gates: each transition moves every
# gate's count, a tenth of a millisecond or more of work.
FEW_COSTLY_TRANSITIONS = """
    tree = tavoq.FaultTree(2)
    tree.setTop(tree.addGate("or", [tree.addGate("and", [0, 1]) for _ in range(100_000)]))
    matrix = [[[D(), each_unit], [each_unit, D()]], [[D(), D()], [D(), D()]]]
"""


def interrupt_a_long_call(call, after=0.5, model=MANY_CHEAP_TRANSITIONS):
    """Runs `call` in a child on `model`, whose runs take minutes, sends SIGINT once it is
    running, and returns the child's exit code, its output, its errors and the seconds it
    took to end after the signal."""
    # The runners hold the interpreter lock, so the signal comes from outside the process.
    code = (
        textwrap.dedent(
            """
        import tavoq
        D = tavoq.Distribution
        each_unit = tavoq.Inspection(1)
        """
        )
        + textwrap.dedent(model)
        + textwrap.dedent(
            f"""
        tavoq.limitOMPThreads(2)
        print("running", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """
        )
    )
    child = subprocess.Popen(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline().strip() == "running"
        time.sleep(after)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=120)
        waited = time.monotonic() - sent
    finally:
        child.kill()
    return child.returncode, out, err, waited


def test_ctrl_c_stops_a_single_long_run():
    code, out, err, _ = interrupt_a_long_call("tavoq.runnerSingleSim(1_000_000, matrix, tree, 1)")
    assert code == 0, err[-2000:]
    assert "interrupted" in out


@pytest.mark.parametrize("runner", ["runnerParallelSim", "runnerStatistics"])
def test_ctrl_c_stops_every_thread_of_a_batch_of_long_runs(runner):
    # Each run takes minutes. Only the calling thread can see the signal; the other one must
    # give up its run too, or the interrupt would wait for that run to end.
    code, out, err, waited = interrupt_a_long_call(
        f"tavoq.{runner}(4, 1_000_000, matrix, tree, 1)", after=1.0
    )
    assert code == 0, err[-2000:]
    assert out.splitlines()[-1] == "interrupted"
    # A run lasts minutes here: anything near that means a thread finished its run first.
    assert waited < 15, f"{runner} stopped {waited:.1f} s after Ctrl-C"


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_runs_whose_every_transition_is_costly(threads):
    # A look at the stop flag every so many transitions would come seconds apart here.
    code, out, err, waited = interrupt_a_long_call(
        f"tavoq.limitOMPThreads({threads}); tavoq.runnerStatistics(4, 1_000_000, matrix, tree, 1)",
        after=1.0,
        model=FEW_COSTLY_TRANSITIONS,
    )
    assert code == 0, err[-2000:]
    assert out.splitlines()[-1] == "interrupted"
    assert waited < 5, f"stopped {waited:.1f} s after Ctrl-C"


def test_thread_slots_are_capped(omp_threads_restored, worked_example, capfd):
    tavoq.limitOMPThreads(1_000_000)
    counts = tavoq.runnerParallelSim(
        300, worked_example.sim_time, worked_example.matrix, worked_example.tree, 1
    )
    first_line = capfd.readouterr().out.splitlines()[0]
    assert first_line == "Numero de threads disponiveis: 256"
    assert counts == [300 * s for s in worked_example.expected]


@pytest.mark.parametrize(
    "matrix, message",
    [
        ([[[]] * 100_000], r"component 0, from-state 0 has 0 entries"),
        ([[[D()]], [[D()], [None]]], r"component 1, transition from state 1 to state 0 is None"),
        (
            [[[D(), D()], [D(), D()]], [[D(), D()], [D(), D()], [D(), None]]],
            r"component 1, transition from state 2 to state 1 is None",
        ),
    ],
    ids=["huge-empty-rows", "none-in-extra-row", "none-beyond-the-state-count"],
)
def test_malformed_matrices_are_refused_with_their_place(matrix, message, tree_1):
    with pytest.raises(ValueError, match=message):
        tavoq.runnerSingleSim(1, matrix, tree_1, 1)


@pytest.mark.parametrize(
    "instance",
    ["tavoq.Weibull(1.0, 2.0)", "tavoq.Weibull.__new__(tavoq.Weibull)", "None"],
    ids=["constructed", "uninitialised", "none"],
)
def test_base_init_on_a_subclass_instance_is_refused(instance):
    # pybind11 itself would end the process here; the check must come first.
    result = run_python(
        f"""
        import tavoq
        try:
            tavoq.Distribution.__init__({instance})
        except TypeError:
            print("refused")
        class Mine(tavoq.Distribution):
            def __init__(self):
                super().__init__()
        print(Mine().quantile(0.5, 0))
        """
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["refused", "2147483647.0"]


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address-space cap that keeps a failure safe is not usable under ASan",
)
def test_a_batch_that_cannot_fit_in_memory_is_refused_before_it_starts():
    # Linux would grant these buffers and kill the process while zero-filling them; every
    # runner must refuse first and say how much it needs and how much there is. In a child,
    # so that a failed check cannot take the test session down with it.
    result = run_python(
        """
        import resource, tavoq
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))  # a missed check fails fast
        D = tavoq.Distribution
        m = [[[D(), tavoq.Exponential(0.001)], [tavoq.Exponential(0.1), D()]]]
        t = tavoq.CutsetTree(1); t.insertNode([1])
        huge = 2**31 - 1
        calls = [
            (tavoq.runnerSingleSim, (huge, m, t, 1)),
            (tavoq.runnerMultipleSim, (4, huge, m, t, 1)),
            (tavoq.runnerParallelSim, (4, huge, m, t, 1)),
            (tavoq.runnerStatistics, (4, huge, m, t, 1)),
            (tavoq.runnerStatistics, (huge, 10, m, t, 1)),
        ]
        for runner, args in calls:
            try:
                runner(*args)
                print("ran")
            except MemoryError as e:
                print("refused" if str(e).count("GiB") == 2 else f"unclear: {e}")
        """
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert [line for line in result.stdout.split("\n") if line and "Numero" not in line] == [
        "refused"
    ] * 5


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="ASan reserves far more address space than any cap used here",
)
def test_thread_stacks_past_the_address_space_limit_are_refused_not_fatal():
    # Under `ulimit -v`, OpenMP ends the process when it cannot map a thread's stack; the
    # runners must refuse first, and run once the thread count fits.
    result = run_python(
        """
        import resource, tavoq
        D = tavoq.Distribution
        m = [[[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.1), D()]]]
        t = tavoq.CutsetTree(1); t.insertNode([1])
        with open("/proc/self/status") as f:
            mapped = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        cap = mapped + (600 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        tavoq.limitOMPThreads(64)  # 63 new stacks of 16 MiB: about 1 GiB
        for runner in (tavoq.runnerParallelSim, tavoq.runnerStatistics):
            try:
                runner(100, 50, m, t, 1)
                print("ran")
            except MemoryError as e:
                print("refused" if "thread stacks" in str(e) else f"unclear: {e}")
        tavoq.limitOMPThreads(2)
        print("ran" if sum(tavoq.runnerParallelSim(100, 50, m, t, 1)) > 0 else "no failures")
        """,
        env={"OMP_STACKSIZE": "64M"},
    )
    assert result.returncode == 0, result.stderr[-3000:]
    lines = [
        line
        for line in result.stdout.split("\n")
        if line.split(" ")[0] in ("ran", "refused", "unclear:", "no")
    ]
    assert lines == ["refused", "refused", "ran"]


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="ASan reserves far more address space than any cap used here",
)
def test_a_batch_from_another_thread_counts_the_stacks_of_its_own_threads():
    # OpenMP keeps a team of threads per thread that opens a region: the threads the main
    # thread's batches left behind are not the ones a batch from a second thread runs on.
    result = run_python(
        """
        import resource, threading, tavoq
        D = tavoq.Distribution
        m = [[[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.1), D()]]]
        t = tavoq.CutsetTree(1); t.insertNode([1])
        tavoq.limitOMPThreads(16)
        tavoq.runnerStatistics(100, 50, m, t, 1)  # 16 threads, before the cap
        with open("/proc/self/status") as f:
            mapped = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        # 15 new stacks of 64 MiB do not fit, one does, with room to spare either way: the
        # process may map or unmap a few tens of MiB of its own between here and the batch.
        cap = mapped + (300 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        def other():
            for threads in (16, 2):
                tavoq.limitOMPThreads(threads)
                for runner in (tavoq.runnerParallelSim, tavoq.runnerStatistics):
                    try:
                        runner(100, 50, m, t, 1)
                        print("ran")
                    except MemoryError as e:
                        print("refused" if "thread stacks" in str(e) else f"unclear: {e}")
        worker = threading.Thread(target=other)
        worker.start()
        worker.join()
        """,
        env={"OMP_STACKSIZE": "64M"},
    )
    assert result.returncode == 0, result.stderr[-3000:]
    lines = [
        line
        for line in result.stdout.split("\n")
        if line.split(" ")[0] in ("ran", "refused", "unclear:")
    ]
    assert lines == ["refused", "refused", "ran", "ran"]


def test_stacks_of_omp_stacksize_past_the_memory_are_refused_not_fatal():
    # Without any address-space limit, OpenMP ends the process when the kernel refuses a
    # stack of that size. The refusal names both figures and the stacks' share.
    result = run_python(
        """
        import tavoq
        D = tavoq.Distribution
        m = [[[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.1), D()]]]
        t = tavoq.CutsetTree(1); t.insertNode([1])
        tavoq.limitOMPThreads(2)
        for runner in (tavoq.runnerParallelSim, tavoq.runnerStatistics):
            try:
                runner(100, 50, m, t, 1)
                print("ran")
            except MemoryError as e:
                text = str(e)
                clear = "OMP_STACKSIZE" in text and text.count("GiB") == 3
                print("refused" if clear else f"unclear: {e}")
        tavoq.limitOMPThreads(1)  # no thread to start: nothing to refuse
        print("ran" if sum(tavoq.runnerParallelSim(100, 50, m, t, 1)) > 0 else "no failures")
        """,
        env={"OMP_STACKSIZE": " 4096 G"},
    )
    assert result.returncode == 0, result.stderr[-3000:]
    lines = [
        line
        for line in result.stdout.split("\n")
        if line.split(" ")[0] in ("ran", "refused", "unclear:", "no")
    ]
    assert lines == ["refused", "refused", "ran"]


@pytest.mark.parametrize("runner", ["runnerParallelSim", "runnerStatistics"])
def test_a_child_forked_by_a_signal_handler_in_a_batch_finishes_it_alone(runner):
    # The handler runs on the calling thread while the batch's threads are busy; the child
    # has none of them. It must not wait for them: it does the batch again on its own thread
    # and gets the parent's numbers.
    result = run_python(
        f"""
        import os, signal, time, tavoq
        D = tavoq.Distribution
        m = [[[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.1), D()]]] * 2
        tree = tavoq.CutsetTree(2); tree.insertNode([1, 1])
        tavoq.limitOMPThreads(2)
        children = []
        def handler(*_):
            pid = os.fork()
            if pid:
                children.append(pid)
            else:
                signal.signal(signal.SIGALRM, signal.SIG_DFL)
                signal.alarm(60)  # a child that hangs ends instead of outliving the test
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        started = time.monotonic()
        got = tavoq.{runner}(300_000, 100, m, tree, 7)
        took = time.monotonic() - started
        total = int(sum(got.failedRuns if hasattr(got, "failedRuns") else got))
        if not children:
            print("child", total, flush=True)
            os._exit(0)
        _, status = os.waitpid(children[0], 0)
        print("parent", total, "forked in the batch" if took > 0.1 else "too fast", status)
        """,
        timeout=120,
        env={"PYTHONWARNINGS": "ignore::DeprecationWarning"},
    )
    assert result.returncode == 0, result.stderr[-3000:]
    lines = [
        line.split() for line in result.stdout.split("\n") if line.startswith(("child", "parent"))
    ]
    assert [line[0] for line in lines] == ["child", "parent"]
    child, parent = lines
    assert parent[2:] == ["forked", "in", "the", "batch", "0"]
    assert child[1] == parent[1]
