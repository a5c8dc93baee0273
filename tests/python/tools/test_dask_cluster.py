"""Chunked batches, on this machine and on a Dask cluster: identical to one batch of the runs.

The cluster tests share one LocalCluster of two worker processes and are skipped when Dask is
not installed; the rest needs no Dask.
"""

import contextlib
import json
import logging
import os
import signal
import subprocess
import sys
import threading
import time
import weakref
from dataclasses import dataclass
from pathlib import Path

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import tavoq
from tavoq_tools import cli
from tavoq_tools.formats.file import load_model
from tavoq_tools.results.counts import BatchStatistics
from tavoq_tools.run import chunks, precise
from tavoq_tools.run import dask_cluster as dask_runner

STATION = Path(__file__).resolve().parents[3] / "examples" / "pumping_station.toml"
# Near the top of the signed 32-bit range, so the seeds of later chunks wrap around.
SEED = 2**31 - 1_200


MODEL = load_model(STATION)  # plain data: pickled to the workers, built there
HORIZON = 2_000


def one_batch(runs, model=MODEL, horizon=HORIZON, seed=SEED, bin_width=1):
    matrix, tree, interactions = model.build()
    extra = {} if interactions is None else {"interactions": interactions}
    return BatchStatistics.from_native(
        tavoq.runnerStatistics(runs, horizon, matrix, tree, seed, bin_width, **extra)
    )


@contextlib.contextmanager
def time_limit(seconds):
    """Fail instead of hanging when the cluster does not recover."""

    def expire(signum, frame):
        raise TimeoutError(f"no result within {seconds} s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address="127.0.0.1:0",
        silence_logs=logging.CRITICAL,
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


# ---------------------------------------------------------------- chunk plans


@st.composite
def batches(draw):
    """(runs, chunk_runs or None), at most 10,000 chunks when chunk_runs is given."""
    runs = draw(st.integers(1, 2**31 - 1))
    chunk_runs = draw(st.one_of(st.none(), st.integers(max(1, runs // 10_000), 2**31 - 1)))
    return runs, chunk_runs


@given(batch=batches(), workers=st.integers(1, 256), first=st.integers(0, 10**6))
@example(batch=(15_000, None), workers=1, first=0)  # 1 chunk or 2, none too small
@example(batch=(9_000_001, None), workers=1, first=0)  # chunks capped in size
def test_plan_covers_every_run_once_in_bounded_chunks(batch, workers, first):
    runs, chunk_runs = batch
    plan = chunks.plan_chunks(runs, chunk_runs, workers, first=first)
    assert plan[0].start == first and plan[-1].stop == first + runs
    assert all(a.stop == b.start for a, b in zip(plan, plan[1:]))
    assert all(chunk.step == 1 and len(chunk) > 0 for chunk in plan)
    sizes = [len(chunk) for chunk in plan]
    if chunk_runs is not None:
        assert all(size == chunk_runs for size in sizes[:-1]) and sizes[-1] <= chunk_runs
    else:
        assert max(sizes) - min(sizes) <= 1
        assert max(sizes) <= chunks.MAX_CHUNK_RUNS
        assert min(sizes) >= min(runs, chunks.MIN_PLANNED_CHUNK_RUNS)
        if runs >= chunks.CHUNKS_PER_WORKER * workers * chunks.MIN_PLANNED_CHUNK_RUNS:
            assert len(plan) >= chunks.CHUNKS_PER_WORKER * workers


# ---------------------------------------------------------------- a chunk in slices


def test_a_chunk_called_in_slices_is_one_batch(monkeypatch):
    # Runs 150 .. 549; the seeds of the later ones wrap past 2**31 - 1.
    monkeypatch.setattr(chunks, "FIRST_SLICE_RUNS", 10**9)
    whole = chunks.run_chunk(MODEL, HORIZON, SEED, 150, 400)
    monkeypatch.setattr(chunks, "FIRST_SLICE_RUNS", 7)
    monkeypatch.setattr(chunks, "SLICE_SECONDS", 0.0)  # then one run a slice
    assert chunks.run_chunk(MODEL, HORIZON, SEED, 150, 400) == whole
    assert whole.n_runs == 400 and whole.first_run == 150
    assert chunks.run_chunk(MODEL, HORIZON, SEED, 150, 0).n_runs == 0


def test_a_chunk_lets_each_slice_go_once_merged(monkeypatch):
    # Every slice holds two arrays of the horizon's length: a chunk that kept them all until
    # it returned held hundreds of MB at a horizon of 10**6.
    slices, most_held = [], 0
    real_runs = chunks._runs

    def runs(*args):
        nonlocal most_held
        most_held = max(most_held, sum(ref() is not None for ref in slices))
        part = real_runs(*args)
        slices.append(weakref.ref(part))
        return part

    monkeypatch.setattr(chunks, "_runs", runs)
    monkeypatch.setattr(chunks, "SLICE_SECONDS", 0.0)  # one run a slice
    result = chunks.run_chunk(MODEL, HORIZON, SEED, 0, 40)
    assert len(slices) == 40
    assert most_held == 1  # the first slice, which is the merged result until the second
    assert result == one_batch(40)


def test_other_threads_run_during_a_long_chunk(monkeypatch):
    # A Dask worker answers its scheduler from another thread; a chunk that kept Python's lock
    # for its whole length would silence it. Without slices this chunk is one gap of ~2.5 s.
    monkeypatch.setattr(chunks, "SLICE_SECONDS", 0.05)

    def longest_silence(runs):
        ticks, done = [], threading.Event()

        def tick():
            while not done.is_set():
                ticks.append(time.perf_counter())
                time.sleep(0.005)

        ticker = threading.Thread(target=tick)
        ticker.start()
        time.sleep(0.05)
        began = time.perf_counter()
        chunks.run_chunk(MODEL, HORIZON, SEED, 0, runs)
        ended = time.perf_counter()
        done.set()
        ticker.join()
        seen = [began] + [t for t in ticks if began < t < ended] + [ended]
        return ended - began, max(b - a for a, b in zip(seen, seen[1:]))

    runs = 5_000
    for _ in range(4):  # lengthen the chunk until it lasts long enough to mean something
        length, silence = longest_silence(runs)
        if length > 1.5:
            break
        runs = int(runs * 2.5 / max(length, 0.01))
    assert length > 1.5
    assert silence < 1.0


# ---------------------------------------------------------------- until precise enough


def test_until_precise_stops_at_the_target_with_one_batch_of_its_runs():
    seen = []
    result = precise.run_until_precise(
        chunks.local_chunk_runner(MODEL, HORIZON, SEED),
        0.1,
        100_000,
        first_runs=300,
        on_round=lambda stats, width: seen.append((stats.n_runs, width)),
    )
    assert result.reached
    assert len(seen) >= 2  # the first round was not precise enough
    assert all(width > 0.1 for _, width in seen[:-1])
    assert seen[-1] == (result.n_runs, result.relative_half_width) and seen[-1][1] <= 0.1
    assert result.statistics == one_batch(result.n_runs)


def test_one_run_is_said_to_give_no_interval_whatever_its_downtime():
    single = one_batch(1, horizon=MODEL.simulation.horizon)  # past the planned maintenance
    assert single.downtime.sum() > 0, "the run must have downtime for the check to mean anything"
    text = precise.PreciseResult.of(single, 0.1, 1).describe()
    assert text.endswith("(no interval yet: one run gives none)")


@pytest.mark.parametrize(
    ("target", "max_runs", "verdict"),
    [
        ("0.1", None, "Target ±10% on the mean unavailability reached after {n:,} runs"),
        ("0.001", "1200", "Stopped at the maximum of 1,200 runs before the target ±0.1%"),
    ],
)
def test_command_runs_until_precise_and_says_which_limit_stopped_it(
    capsys, target, max_runs, verdict
):
    args = ["run", str(STATION), "--horizon", "2000", "--seed", "-9", "--json"]
    more = [] if max_runs is None else ["--max-runs", max_runs]
    assert cli.main([*args, "--runs", "500", "--target-ci", target, *more]) == 0
    printed = capsys.readouterr()
    summary = json.loads(printed.out)
    n = summary["n_runs"]
    assert n > 500
    assert verdict.format(n=n) in printed.err
    # The same numbers as one batch of that many runs.
    assert cli.main([*args, "--runs", str(n)]) == 0
    assert json.loads(capsys.readouterr().out) == summary


# ---------------------------------------------------------------- arguments, and without Dask


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--max-runs", "5000"], "--max-runs bounds a run until --target-ci is reached"),
        (["--target-ci", "0"], "argument --target-ci: must be a positive number"),
        (["--scheduler", "tcp://127.0.0.1:1"], "pip install tavoq[dask]"),
        (["--worker-timeout", "5"], "--worker-timeout: the time a cluster may be without"),
        (["--worker-timeout", "-5"], "argument --worker-timeout: must be a positive number"),
    ],
)
def test_bad_cluster_or_precision_arguments_exit_2(monkeypatch, capsys, args, message):
    monkeypatch.setitem(sys.modules, "distributed", None)
    try:
        code = cli.main(["run", str(STATION), *args])
    except SystemExit as exit:  # argparse's own errors leave through sys.exit
        code = exit.code
    assert code == 2
    printed = capsys.readouterr()
    assert printed.out == ""
    assert message in printed.err and printed.err.count("\n") == 1


def test_nothing_else_imports_dask():
    code = (
        "import sys, pkgutil, importlib, tavoq_tools\n"
        "for m in pkgutil.walk_packages(tavoq_tools.__path__, 'tavoq_tools.'):\n"
        "    importlib.import_module(m.name)\n"
        "loaded = [m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')]\n"
        "assert not loaded, loaded\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


# ---------------------------------------------------------------- on a cluster


@pytest.mark.parametrize(
    ("chunk_runs", "points", "bin_width"), [(450, None, 1), (1_300, None, 1), (450, 300, 7)]
)
def test_cluster_result_is_one_local_batch(client, chunk_runs, points, bin_width):
    runs, seen = 3_000, []
    result = dask_runner.simulate_on_dask(
        client,
        MODEL,
        runs,
        SEED,
        HORIZON,
        chunk_runs=chunk_runs,
        on_chunk=seen.append,
        points=points,
    )
    assert result == one_batch(runs, bin_width=bin_width)
    assert len(result.failed_runs) == -(-HORIZON // bin_width)
    assert sorted(part.first_run for part in seen) == list(range(0, runs, chunk_runs))


@pytest.mark.parametrize("lost", [0, 1, -1])
def test_a_lost_chunk_raises_instead_of_a_partial_result(client, monkeypatch, lost):
    def plan_missing_one(*args, **kwargs):
        plan = chunks.plan_chunks(*args, **kwargs)
        del plan[lost]
        return plan

    monkeypatch.setattr(dask_runner, "plan_chunks", plan_missing_one)
    with pytest.raises(ValueError, match="missing"):
        dask_runner.simulate_on_dask(client, MODEL, 2_000, SEED, HORIZON, chunk_runs=500)


@pytest.mark.parametrize("precise", [False, True])
def test_command_on_a_cluster_prints_the_numbers_of_this_machine(client, capsys, precise):
    args = ["run", str(STATION), "--runs", "700", "--horizon", "2000", "--json"]
    if precise:
        args += ["--target-ci", "0.1", "--max-runs", "100000"]
    assert cli.main(args) == 0
    here = capsys.readouterr()
    address = client.scheduler.address
    assert cli.main([*args, "--scheduler", address]) == 0
    there = capsys.readouterr()
    assert json.loads(there.out) == json.loads(here.out)
    assert f"runs on {address} in" in there.err
    if precise:  # the same verdict
        assert here.err.splitlines()[-1] == there.err.splitlines()[-1]
        assert there.err.splitlines()[-1].startswith("Target ±10% on the mean unavailability")


@pytest.fixture
def empty_cluster():
    """A cluster that has no worker until the test adds one."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=0,
        threads_per_worker=1,
        processes=True,
        dashboard_address="127.0.0.1:0",
        silence_logs=logging.CRITICAL,
    )
    client = distributed.Client(cluster)
    yield cluster, client
    client.close()
    cluster.close()


def test_a_cluster_without_workers_is_waited_for_then_given_up(empty_cluster):
    _, client = empty_cluster
    said = []
    with time_limit(60), pytest.raises(dask_runner.NoWorkersError, match="2 of 2 chunks"):
        dask_runner.simulate_on_dask(
            client,
            MODEL,
            1_000,
            SEED,
            HORIZON,
            chunk_runs=500,
            worker_timeout=0.5,
            on_waiting=lambda: said.append("waiting"),
        )
    assert said == ["waiting"]
    assert not client.processing()  # nothing left queued on the cluster


def test_a_worker_that_joins_in_time_gives_the_batch_its_numbers(empty_cluster):
    cluster, client = empty_cluster
    said = []

    def waiting():
        said.append("waiting")
        cluster.scale(1)

    with time_limit(120):
        result = dask_runner.simulate_on_dask(
            client,
            MODEL,
            1_000,
            SEED,
            HORIZON,
            chunk_runs=300,
            worker_timeout=60,
            on_waiting=waiting,
        )
    assert said == ["waiting"]
    assert result == one_batch(1_000)


def test_command_on_a_cluster_without_workers_says_so_and_gives_up(empty_cluster, capsys):
    _, client = empty_cluster
    address = client.scheduler.address
    args = ["run", str(STATION), "--runs", "100", "--scheduler", address, "--worker-timeout", "1"]
    with time_limit(60):
        assert cli.main(args) == 1
    err = capsys.readouterr().err.splitlines()
    assert err == [
        f"tavoq: the Dask cluster at {address} has no worker; waiting up to 1 s for one "
        "(--worker-timeout)",
        f"tavoq: error: {STATION}: the Dask cluster had no worker for 1 s; 1 of 1 chunks were "
        "not run",
    ]


@dataclass(frozen=True)
class GatedModel:
    """A model whose chunks, once started on a worker, wait until the file ``gate`` exists:
    a worker can then be killed while it is surely in the middle of a chunk."""

    model: object
    gate: str

    def build(self):
        gate = Path(self.gate)
        (gate.parent / f"started-{os.getpid()}").touch()
        deadline = time.monotonic() + 60
        while not gate.exists():
            if time.monotonic() > deadline:
                raise TimeoutError("the gate was never opened")
            time.sleep(0.01)
        return self.model.build()


def test_a_worker_killed_mid_chunk_changes_nothing(client, tmp_path):
    gate = tmp_path / "gate"
    model = GatedModel(MODEL, str(gate))
    killed = []

    def kill_a_worker_then_open_the_gate():
        try:
            deadline = time.monotonic() + 60
            while len(started := sorted(tmp_path.glob("started-*"))) < 2:
                if time.monotonic() > deadline:
                    return
                time.sleep(0.01)
            pid = int(started[0].name.removeprefix("started-"))
            os.kill(pid, signal.SIGKILL)
            killed.append(pid)
        finally:
            gate.touch()

    killer = threading.Thread(target=kill_a_worker_then_open_the_gate)
    with time_limit(180):
        killer.start()
        result = dask_runner.simulate_on_dask(client, model, 3_000, SEED, HORIZON, chunk_runs=500)
        killer.join()
        assert killed, "the two workers never both started a chunk"
        assert result == one_batch(3_000)
        # The nanny starts a fresh worker in place of the killed one.
        client.wait_for_workers(2, timeout=60)
    assert killed[0] not in client.run(os.getpid).values()


def dask_process(*args, log):
    """A `dask scheduler` or `dask worker` of its own process, logging into ``log``."""
    dask = Path(sys.executable).with_name("dask")
    return subprocess.Popen(
        [str(dask), *args, "--no-dashboard"], stdout=log, stderr=subprocess.STDOUT
    )


def scheduler_address(log_path, deadline):
    while time.monotonic() < deadline:
        for line in log_path.read_text().splitlines():
            if "Scheduler at:" in line:
                return line.split("Scheduler at:")[1].strip()
        time.sleep(0.1)
    pytest.fail("the scheduler never said its address")


def worker_registered(log_path, deadline):
    while time.monotonic() < deadline:
        if "Register worker" in log_path.read_text():
            return
        time.sleep(0.1)
    pytest.fail("the worker never registered with the scheduler")


@pytest.mark.parametrize("restarted", [False, True], ids=["killed", "restarted"])
def test_a_scheduler_that_goes_away_is_one_line_naming_it(tmp_path, restarted):
    pytest.importorskip("distributed")
    logs = tmp_path / "scheduler.log"
    processes = []
    try:
        with open(logs, "w") as log:
            scheduler = dask_process("scheduler", "--host", "127.0.0.1", "--port", "0", log=log)
            processes.append(scheduler)
            address = scheduler_address(logs, time.monotonic() + 60)
            processes.append(dask_process("worker", address, "--nthreads", "1", log=log))
            worker_registered(logs, time.monotonic() + 60)
            command = subprocess.Popen(
                [
                    str(Path(sys.executable).with_name("tavoq")),
                    *("run", str(STATION), "--runs", "3000000", "--scheduler", address),
                ],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )
            processes.append(command)
            # The model's paragraph is printed once the client is connected.
            assert command.stdout.readline().startswith("Pumping station")
            time.sleep(1)
            scheduler.kill()
            scheduler.wait(timeout=30)
            if restarted:  # a new scheduler at the same address
                port = address.rsplit(":", 1)[1]
                processes.append(
                    dask_process("scheduler", "--host", "127.0.0.1", "--port", port, log=log)
                )
            _, err = command.communicate(timeout=120)  # a guard only
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
    assert command.returncode == 1
    # A restarted scheduler may be reached before it has a worker, and the wait for
    # one is said; the failure itself is one line, the last.
    *before, last = err.splitlines()
    assert last.startswith(
        f"tavoq: error: {STATION}: the Dask scheduler at {address} went away (stopped or "
        "restarted) with the batch's tasks: "
    ), err
    assert all("has no worker; waiting" in line for line in before), err


def test_a_sweep_and_held_batches_on_a_cluster_are_those_of_this_machine(client):
    # The points and the held models are plain data that build where they run.
    import tavoq_tools as tt

    cooling = Path(__file__).resolve().parents[3] / "examples" / "cooling_system.toml"
    key = "components.pump_a.transitions[0].scale"
    here = tt.sweep(cooling, {key: [3000, 6000]}, 400, 2)
    there = tt.sweep(cooling, {key: [3000, 6000]}, 400, 2, client=client)
    assert here.to_dict() == there.to_dict()
    plant = tt.load_model(Path(cooling).parent / "plant.toml")
    assert (
        tt.importance(plant, ["pump_a"], 300, 2).to_dict()
        == tt.importance(plant, ["pump_a"], 300, 2, client=client).to_dict()
    )


@pytest.mark.parametrize(
    ("first", "stop", "most", "workers"),
    [(0, 10_000, 200_000, 1), (10_000, 20_000, 200_000, 4), (5, 1_000, 70, 3), (7, 9, 100, 8)],
)
def test_rare_chunks_cover_each_index_once_one_per_worker_at_most_the_limit(
    first, stop, most, workers
):
    from tavoq_tools.run.rare_chunks import ChunkCalls

    starts = ChunkCalls(lambda runner, chunks: [], workers).starts(first, stop, most)
    covered = [i for start, count in starts for i in range(start, start + count)]
    assert covered == list(range(first, stop))
    assert all(0 < count <= most for _, count in starts)
    fewest = -(-(stop - first) // most)  # chunks of the limit
    # Here, the chunks of the limit, as before; on a cluster, about one per worker.
    assert len(starts) == fewest if workers == 1 else fewest <= len(starts) <= max(workers, fewest)


@pytest.mark.parametrize("method", ["sampling", "splitting"])
def test_rare_mode_on_a_cluster_gives_the_numbers_of_this_machine(
    client, capsys, monkeypatch, tmp_path, method
):
    # Failure biasing on the 2-out-of-3 of the command's tests; splitting on the pumping
    # station, whose standby pumps and crews the workers build from the plain model. Small
    # chunks put several on each worker; the numbers are one local call's.
    from tavoq_tools.run import rare, splitting

    from .test_cli import RARE_MODEL

    path = tmp_path / "rare.toml"
    path.write_text(RARE_MODEL)
    model = path if method == "sampling" else STATION
    args = ["run", str(model), "--rare", method, "--runs", "1000", "--json"]
    if method == "splitting":
        args += ["--runs", "60", "--horizon", "300"]
    assert cli.main(args) == 0
    whole = capsys.readouterr()
    monkeypatch.setattr(rare, "CHUNK", 150)
    monkeypatch.setattr(splitting, "ROOTS_PER_CALL", 7)
    assert cli.main([*args, "--scheduler", client.scheduler.address]) == 0
    there = capsys.readouterr()
    assert json.loads(there.out) == json.loads(whole.out)
    assert json.loads(there.out)["hits"] > 0
