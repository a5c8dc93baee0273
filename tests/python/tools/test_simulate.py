"""simulate: threads, the progress bar and chunks change no number."""

import importlib
import importlib.util
import io
import json
import sys
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest

import tavoq
import tavoq_tools as tt
from tavoq_tools import cli
from tavoq_tools.formats.file import load_model


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


# ---------------------------------------------------------------------------------------
# Curves at a resolution: bins of several units, every other figure exact.


def _estimates(summary):
    """Every figure of a summary but the curves (and the bin width), as a dict."""
    data = summary.to_dict()
    data.pop("bin_width")
    return data


@pytest.mark.parametrize(
    ("horizon", "points", "width"),
    [(3000, 300, 10), (3001, 300, 11), (2999, 1000, 3), (500, 7, 72)],
    ids=["even", "short-last-bin", "small-bins", "few-points"],
)
def test_binned_curves_sum_the_units_and_leave_every_other_figure_exact(horizon, points, width):
    from tavoq_tools.results.summary import summarize
    from tavoq_tools.run.plan import plan_run

    model = load_model(STATION)
    full = simulate_module.simulate(model, runs=300, seed=3, horizon=horizon, points=horizon)
    binned = simulate_module.simulate(model, runs=300, seed=3, horizon=horizon, points=points)
    assert (full.bin_width, binned.bin_width) == (1, width)
    assert binned.n_bins == -(-horizon // width) <= points
    # The plan the command checks memory by is the layout the engine made.
    plan = plan_run(horizon, points)
    assert (plan.bin_width, plan.bins) == (width, len(binned.failed_runs))
    # The engine's bins are the sums of its units.
    starts = np.arange(0, horizon, width)
    for name in ("failed_runs", "first_failures"):
        np.testing.assert_array_equal(
            getattr(binned, name), np.add.reduceat(getattr(full, name), starts), err_msg=name
        )
    for name in ("system_failures", "downtime", "first_failure_times", "component_downtime"):
        np.testing.assert_array_equal(getattr(binned, name), getattr(full, name), err_msg=name)

    names = model.component_names
    a = summarize(full, component_names=names, unit="h")
    b = summarize(binned, component_names=names, unit="h")
    assert _estimates(a) == _estimates(b)
    # Point unavailability: the mean over the bin's units; R(t) at the bin's last unit.
    units = np.minimum(starts + width, horizon) - starts
    np.testing.assert_allclose(
        b.unavailability.value,
        np.add.reduceat(a.unavailability.value, starts) / units,
        rtol=1e-12,
        atol=0,
    )
    ends = b.bin_ends
    assert ends[-1] == horizon - 1
    for field in ("value", "lower", "upper"):
        np.testing.assert_array_equal(
            getattr(b.reliability, field), getattr(a.reliability, field)[ends]
        )
    assert np.all(b.unavailability.lower <= b.unavailability.value)
    assert np.all(b.unavailability.value <= b.unavailability.upper)


def test_the_default_keeps_every_unit_of_a_short_horizon_and_bins_a_long_one():
    model = load_model(STATION)
    short = simulate_module.simulate(model, runs=50, seed=1, horizon=2000)
    matrix, tree, _ = model.build()
    native = tavoq.runnerStatistics(50, 2000, matrix, tree, 1)
    assert short.bin_width == 1
    np.testing.assert_array_equal(short.failed_runs, native.failedRuns)
    long = simulate_module.simulate(model, runs=50, seed=1, horizon=2001)
    assert (long.bin_width, long.n_bins) == (2, 1001)
    with pytest.raises(ValueError, match="points must be"):
        simulate_module.simulate(model, runs=5, points=0)


@pytest.mark.parametrize("points", [None, 100], ids=["default", "binned"])
def test_chunks_and_a_progress_bar_change_no_binned_number(points, monkeypatch):
    model = load_model(STATION)
    kwargs = {"runs": 600, "seed": 9, "horizon": 5000, "points": points}
    whole = simulate_module.simulate(model, **kwargs)
    monkeypatch.setattr(sys, "stderr", _Terminal())
    assert simulate_module.simulate(model, chunk_runs=77, **kwargs) == whole
    assert simulate_module.simulate(model, progress=True, **kwargs) == whole


def test_negative_first_draws_are_one_warning_naming_the_components(tmp_path):
    from tavoq_tools.errors import NegativeDelayWarning
    from tavoq_tools.formats.file import model_from_dict

    def part(stddev):
        return {
            "transitions": [
                {
                    "from": "working",
                    "to": "failed",
                    "distribution": "normal",
                    "mean": 1,
                    "stddev": stddev,
                },
                {"from": "failed", "to": "working", "distribution": "exponential", "mean": 5},
            ]
        }

    model = model_from_dict(
        {
            "failed_when": "calm or wild",
            "simulation": {"horizon": 50, "runs": 400, "seed": 2},
            "components": {"calm": part(1e-6), "wild": part(100)},
        }
    )
    with pytest.warns(NegativeDelayWarning) as caught:
        stats = simulate_module.simulate(model, chunk_runs=50)
    [warning] = caught
    assert warning.message.count == int(stats.negative_delays.sum()) > 100
    assert stats.negative_delays[0] == 0
    assert warning.message.where == f"wild {warning.message.count:,}"


def test_rare_estimates_do_not_depend_on_how_the_runs_were_split(tmp_path):
    from tavoq_tools.errors import ModelError
    from tavoq_tools.results.intervals import poisson_interval
    from tavoq_tools.run.rare import rare_unreliability

    from .test_cli import RARE_MODEL

    path = tmp_path / "trains.toml"
    path.write_text(RARE_MODEL)
    model = load_model(path)
    # Rounds of 500, 1000, 2000 ... runs until +-10%: the runs of one call of that many.
    rounds = rare_unreliability(model, runs=500, target_ci=0.1)
    assert rounds.runs > 500 and rounds.relative_half_width <= 0.1
    assert rare_unreliability(model, runs=rounds.runs) == rounds
    # Few runs: the estimate says what it rests on.
    few = rare_unreliability(model, runs=20)
    assert any("runs failed" in w for w in few.warnings)
    # ... and its interval is never narrower than the Poisson one of its failed runs.
    e, (low, high) = few.unreliability, poisson_interval(few.hits, 0.95)
    assert e.lower <= e.value * low / few.hits and e.upper >= e.value * high / few.hits
    for bias in (0.0, 1.0, float("nan")):
        with pytest.raises(ModelError, match="rare.bias"):
            rare_unreliability(model, bias=bias)


def test_the_rare_table_sets_rare_mode_from_the_file_python_and_command(tmp_path):
    from tavoq_tools.errors import ModelError
    from tavoq_tools.formats.toml_writer import model_to_toml
    from tavoq_tools.model.system import RareSettings
    from tavoq_tools.run.rare import rare_unreliability
    from tavoq_tools.run.splitting import rare_splitting

    from .test_cli import RARE_MODEL, run_tavoq

    path = tmp_path / "trains.toml"
    path.write_text(RARE_MODEL + "[rare]\nbias = 0.6\ntarget_ci = 0.08\n")
    model = load_model(path)
    assert model.rare == RareSettings(bias=0.6, target_ci=0.08)
    assert load_model(_written(tmp_path, model_to_toml(model))) == model
    # simulate(rare=True) runs the table's settings; a method or settings given win.
    found = tt.simulate(model, 500, rare=True)
    assert found == replace(
        rare_unreliability(model, 500, bias=0.6, target_ci=0.08), reason=found.reason
    )
    assert found.relative_half_width <= 0.08 and found.bias == 0.6
    # "auto" took failure biasing for this 2-out-of-3, and said why.
    assert "2 component failures, all exponential" in found.reason
    plain = tt.simulate(model, 500, rare=RareSettings(method="sampling"))
    assert plain == rare_unreliability(model, 500) and plain.bias == 0.5
    split = RareSettings(method="splitting", levels=(1, 2), splits=(40,))
    assert load_model(_written(tmp_path, model_to_toml(replace(model, rare=split)))).rare == split
    found = tt.simulate(model, 300, rare=split)
    assert found == rare_splitting(model, 300, levels=[1], splits=[40])
    assert found.splits == (40,) and found.levels == (1, 2) and found.runs == 300
    for options, message in (
        ({"chunk_runs": 100}, "rare mode takes no chunk_runs"),
        ({"importance": True}, "rare mode takes no importance"),
        ({"points": 10}, "rare mode takes no points"),
    ):
        with pytest.raises(ValueError, match=message):
            tt.simulate(model, 500, rare=True, **options)
    if importlib.util.find_spec("distributed") is not None:  # a cluster's runs: test_dask_cluster
        with pytest.raises(TypeError, match="client must be a dask.distributed Client"):
            tt.simulate(model, 500, rare=True, client=object())
    # The command takes the table's target where it gives none.
    assert "Target +-8.0%: met" in run_tavoq("run", path, "--rare", "--runs", 500).stdout
    for table, key in (
        ("bias = 1.5", "rare.bias"),
        ('method = "spliting"', "rare.method"),
        ("levels = 3", "rare.levels"),
        ("levels = [2, 2]", "rare.levels"),
        ("splits = [0]", "rare.splits"),
        ("max_runs = 1", "rare.max_runs"),
    ):
        with pytest.raises(ModelError) as err:
            load_model(_written(tmp_path, RARE_MODEL + f"[rare]\n{table}\n"))
        assert err.value.key == key


@pytest.mark.parametrize(
    ("logic", "shared", "chosen"),
    [
        ("pand(unit_1, unit_2, unit_3)", False, "splitting"),  # three failures, in order
        ("pand(unit_1, unit_2)", False, "sampling"),
        ("xor(unit_1, unit_2)", False, "sampling"),
        ("pand(unit_1, unit_2)", True, "splitting"),
        ("xor(unit_1, unit_2)", True, "non-coherent gates"),
    ],
)
def test_auto_takes_order_gates_by_their_failures_and_refuses_what_neither_method_takes(
    tmp_path, logic, shared, chosen
):
    # An order gate counts as its threshold (a pand as an and), so the usual rules choose;
    # non-coherent logic has no distance to split on, and failure biasing takes no
    # interactions: that model is refused, naming the gates.
    from tavoq_tools.errors import ModelError
    from tavoq_tools.run.rare_method import choose_method

    from .test_cli import RARE_MODEL

    text = RARE_MODEL.replace('"atleast(2, unit_1, unit_2, unit_3)"', f'"{logic}"')
    if shared:
        text += (
            '[common_cause.pair]\nmembers = ["unit_1", "unit_2"]\n'
            'distribution = "exponential"\nrate = 1e-9\nto = "failed"\n'
        )
    model = load_model(_written(tmp_path, text))
    if chosen.startswith("non-coherent"):
        with pytest.raises(ModelError, match=chosen):
            choose_method(model)
    else:
        method, reason = choose_method(model)
        assert method == chosen, reason
        result = tt.simulate(model, 50, rare=True)
        assert result.reason == reason
        assert result.method.startswith("RESTART" if chosen == "splitting" else "failure")
        if shared:  # first failures drawn more often, and the distance follows order gates
            assert result.level_hits[0] > 0, result


def _written(folder, text):
    path = folder / "written.toml"
    path.write_text(text)
    return path
