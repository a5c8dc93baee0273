"""simulate: threads, the progress bar and chunks change no number."""

import importlib
import io
import json
import sys
from pathlib import Path

import numpy as np
import pytest

import tavoq
from tavoq_tools import cli
from tavoq_tools.model.file import load_model


class _Terminal(io.StringIO):
    def isatty(self):
        return True


# The module, not the function that the package exports under the same name.
simulate_module = importlib.import_module("tavoq_tools.run.simulate")
ROOT = Path(__file__).resolve().parents[3]
STATION = ROOT / "examples" / "pumping_station.toml"
# The console script that `pip install .` puts beside the interpreter.
COMMAND = [str(Path(sys.executable).with_name("tavoq"))]
FILES = ["components.csv", "curves.csv", "cutsets.csv", "summary.json", "summary.png"]


def test_a_run_without_a_thread_count_uses_all_cores_after_one_with_it(capfd):
    def threads_in_use():
        capfd.readouterr()
        tavoq.runnerParallelSim(0, 1, [], None, 0)
        first = capfd.readouterr().out.splitlines()[0]
        return int(first.rsplit(" ", 1)[1])

    if simulate_module.default_threads() == 1:
        pytest.skip("one core: the two counts cannot be told apart")
    model = load_model(STATION)
    try:
        simulate_module.simulate(model, runs=10, horizon=50, threads=1)
        assert threads_in_use() == 1
        simulate_module.simulate(model, runs=10, horizon=50)
        assert threads_in_use() == simulate_module.default_threads()
    finally:
        tavoq.limitOMPThreads(simulate_module.default_threads())


def test_progress_bar_changes_no_number(monkeypatch, capsys):
    monkeypatch.setattr(simulate_module, "PROGRESS_DELAY_S", 0)  # draw even a short batch
    outputs, bars = [], []
    for stderr in (io.StringIO(), _Terminal()):
        monkeypatch.setattr(sys, "stderr", stderr)
        assert cli.main(["run", str(STATION), "--runs", "3000", "--json"]) == 0
        outputs.append(json.loads(capsys.readouterr().out))
        bars.append(stderr.getvalue())
    assert "run/s]" not in bars[0]
    assert "run/s]" in bars[1]  # the bar was drawn
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize("chunk_runs", [1, 7, 64])
def test_chunks_give_the_batch_of_one_call(chunk_runs):
    model = load_model(STATION)
    whole = simulate_module.simulate(model, runs=150, seed=-3, horizon=2500)
    chunked = simulate_module.simulate(
        model, runs=150, seed=-3, horizon=2500, chunk_runs=chunk_runs
    )
    for name in (
        "failed_runs",
        "first_failures",
        "system_failures",
        "downtime",
        "component_downtime",
        "component_failures",
        "triggered_failures",
        "cutset_failures",
    ):
        np.testing.assert_array_equal(getattr(chunked, name), getattr(whole, name))
    assert whole.failed_runs.sum() > 0


def test_chunk_seeds_wrap_like_the_engine():
    # Run i is seeded seed + i modulo 2**32, so chunks that start past the largest seed wrap.
    model = load_model(STATION)
    top = 2**31 - 1
    chunked = simulate_module.simulate(model, runs=10, seed=top, horizon=2000, chunk_runs=4)
    matrix, tree, interactions = model.build()
    whole = tavoq.runnerStatistics(10, 2000, matrix, tree, top, interactions=interactions)
    np.testing.assert_array_equal(chunked.downtime, whole.downtime)
    np.testing.assert_array_equal(chunked.failed_runs, whole.failedRuns)
    assert whole.downtime.sum() > 0
