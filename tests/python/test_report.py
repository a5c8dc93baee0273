"""Tests of the reporting helpers: statistics, k-out-of-n cut sets, text, plot, examples."""

import itertools
import math
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

import tavoq
import tavoq_tools as report

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
never = tavoq.Distribution


# ---------------------------------------------------------------- binomial statistics


@pytest.mark.parametrize(
    ("failures", "trials", "confidence", "lower", "upper"),
    [
        # Wilson score intervals worked out by hand from the closed form.
        (0, 10, 0.95, 0.0, 0.27753),
        (5, 10, 0.95, 0.23659, 0.76341),
        (10, 10, 0.95, 0.72247, 1.0),
        (1, 100, 0.95, 0.00177, 0.05449),
        (5, 10, 0.90, 0.26927, 0.73073),
    ],
)
def test_wilson_interval_matches_hand_computed_values(failures, trials, confidence, lower, upper):
    lo, hi = report.wilson_interval(failures, trials, confidence)
    assert lo == pytest.approx(lower, abs=1e-5)
    assert hi == pytest.approx(upper, abs=1e-5)


def test_wilson_interval_ends_are_exact_at_zero_and_all_failures():
    assert report.wilson_interval(0, 37)[0] == 0.0
    assert report.wilson_interval(37, 37)[1] == 1.0


@pytest.mark.parametrize(("failures", "trials", "expected"), [(25, 100, 0.0433013), (0, 5, 0.0)])
def test_binomial_stderr(failures, trials, expected):
    assert report.binomial_stderr(failures, trials) == pytest.approx(expected, abs=1e-7)


@pytest.mark.parametrize(
    "call",
    [
        lambda: report.wilson_interval(1, 0),
        lambda: report.wilson_interval(11, 10),
        lambda: report.wilson_interval(-1, 10),
        lambda: report.wilson_interval(1, 10, confidence=1.0),
        lambda: report.binomial_stderr(0, 0),
        lambda: report.point_unavailability([1, 2], 0),
        lambda: report.point_unavailability([1, 11], 10),
    ],
)
def test_invalid_binomial_inputs_are_refused(call):
    with pytest.raises(ValueError):
        call()


@pytest.mark.parametrize(("trials", "p"), [(200, 0.1), (500, 0.01), (50, 0.3)])
def test_wilson_interval_covers_known_proportion_of_binomial_draws(trials, p):
    rng = random.Random(1234)
    draws = 2000
    covered = 0
    for _ in range(draws):
        lo, hi = report.wilson_interval(rng.binomialvariate(trials, p), trials)
        covered += lo <= p <= hi
    # Exact coverage of these cases lies between 0.95 and 0.963; 2000 draws give +-0.005.
    assert 0.935 <= covered / draws <= 0.978


def test_point_unavailability_per_time_unit():
    curve = report.point_unavailability([0, 3, 10, 7], 10)
    assert len(curve) == 4
    assert curve.value == (0.0, 0.3, 1.0, 0.7)
    assert curve.stderr[1] == pytest.approx(math.sqrt(0.3 * 0.7 / 10))
    assert curve.stderr[2] == 0.0
    for t, count in enumerate(curve.counts):
        assert (curve.lower[t], curve.upper[t]) == report.wilson_interval(count, 10)
        assert curve.lower[t] <= curve.value[t] <= curve.upper[t]


# ---------------------------------------------------------------- Student t and batch means


@pytest.mark.parametrize(
    ("p", "df", "expected"),
    [
        (0.975, 1, 12.7062),
        (0.975, 2, 4.3027),
        (0.975, 5, 2.5706),
        (0.975, 10, 2.2281),
        (0.975, 30, 2.0423),
        (0.995, 4, 4.6041),
        (0.95, 19, 1.7291),
        (0.975, 1000, 1.9623),
        (0.95, 500, 1.6479),
    ],
)
def test_student_t_quantile_matches_tables(p, df, expected):
    assert report.student_t_quantile(p, df) == pytest.approx(expected, abs=1e-4)


@pytest.mark.parametrize("df", [1, 2, 7, 300, 301, 5000])
def test_student_t_quantile_is_symmetric_and_above_normal(df):
    q = report.student_t_quantile(0.975, df)
    assert report.student_t_quantile(0.025, df) == pytest.approx(-q, rel=1e-12)
    assert report.student_t_quantile(0.5, df) == 0.0
    assert q > 1.959964


def test_student_t_quantile_falls_with_degrees_of_freedom():
    values = [report.student_t_quantile(0.975, df) for df in (1, 2, 5, 299, 300, 301, 302, 10**6)]
    assert values == sorted(values, reverse=True)
    assert values[-1] == pytest.approx(1.959964, abs=1e-5)


def test_mean_unavailability_hand_computed():
    # Horizon 2, 10 runs per batch; batch means 0.1, 0.2, 0.3, 0.4 however the failed time
    # units are spread within a batch.
    batches = [[2, 0], [4, 0], [0, 6], [3, 5]]
    mean = report.mean_unavailability(batches, runs_per_batch=10)
    assert mean.batch_means == pytest.approx((0.1, 0.2, 0.3, 0.4))
    assert mean.mean == pytest.approx(0.25)
    se = math.sqrt(0.05 / 3) / 2  # s = sqrt(sum of squared deviations / 3), over sqrt(4)
    assert mean.stderr == pytest.approx(se)
    assert mean.lower == pytest.approx(0.25 - 3.182446 * se, abs=1e-6)
    assert mean.upper == pytest.approx(0.25 + 3.182446 * se, abs=1e-6)
    assert (mean.n_batches, mean.runs_per_batch, mean.confidence) == (4, 10, 0.95)


def test_mean_unavailability_interval_is_clamped_to_unit_range():
    mean = report.mean_unavailability([[0, 0], [0, 0], [0, 6]], runs_per_batch=10)
    assert mean.lower == 0.0
    assert mean.upper < 1.0


@pytest.mark.parametrize(
    ("batches", "runs_per_batch"),
    [([[1, 2]], 5), ([[1, 2], [1]], 5), ([[], []], 5), ([[1], [2]], 0)],
)
def test_mean_unavailability_refuses_unusable_batches(batches, runs_per_batch):
    with pytest.raises(ValueError):
        report.mean_unavailability(batches, runs_per_batch)


def test_batch_interval_covers_true_mean_of_correlated_runs():
    # Each run is failed for its whole horizon or not at all: time units are perfectly
    # correlated. The t interval from 5 batches must cover p about 95% of the time; a normal
    # quantile would cover it only about 87% of the time.
    rng = random.Random(99)
    p, runs, k, reps = 0.3, 50, 5, 2000
    covered = 0
    for _ in range(reps):
        batches = [[rng.binomialvariate(runs, p)] * 10 for _ in range(k)]
        mean = report.mean_unavailability(batches, runs)
        covered += mean.lower <= p <= mean.upper
    assert 0.93 <= covered / reps <= 0.97


def test_combine_batches_sums_elementwise():
    assert report.combine_batches([[1, 2, 3], [4, 5, 6], [0, 1, 0]]) == [5, 8, 9]
    with pytest.raises(ValueError):
        report.combine_batches([[1, 2], [1]])
    with pytest.raises(ValueError):
        report.combine_batches([])


def test_batch_seeds_wrap_like_the_engine():
    assert report.batch_seeds(100, 3, 25) == [100, 125, 150]
    assert report.batch_seeds(2**31 - 10, 3, 5) == [2**31 - 10, 2**31 - 5, -(2**31)]


def repairable_component():
    return [[never(), tavoq.Exponential(0.05)], [tavoq.Exponential(0.2), never()]]


@pytest.mark.parametrize("seed", [5, 2**31 - 30])
def test_batches_together_equal_one_call_with_all_runs(seed):
    matrix = [repairable_component(), repairable_component()]
    tree = tavoq.CutsetTree(2)
    tree.constructTree([[1, 0], [0, 1]])
    with report.native_stdout_silenced():
        batches = report.run_batches(tavoq.runnerMultipleSim, 4, 15, 60, matrix, tree, seed)
        whole = tavoq.runnerMultipleSim(60, 60, matrix, tree, seed)
    assert len(batches) == 4
    assert len(set(map(tuple, batches))) > 1  # different seeds, different batches
    assert report.combine_batches(batches) == whole


def test_simulated_unavailability_agrees_with_exact_curve():
    # One component failing at an exponential time and never repaired: the engine starts the
    # failure at the whole time unit below the sampled time, so P(failed at t) =
    # 1 - exp(-rate (t + 1)).
    rate, horizon, k, per_batch = 0.01, 200, 20, 500
    matrix = [[[never(), tavoq.Exponential(rate)], [never(), never()]]]
    tree = tavoq.CutsetTree(1)
    tree.insertNode([1])
    with report.native_stdout_silenced():
        batches = report.run_batches(
            tavoq.runnerParallelSim, k, per_batch, horizon, matrix, tree, 2024
        )
    curve = report.point_unavailability(report.combine_batches(batches), k * per_batch, 0.999)
    for t in (0, 10, 50, 120, 199):
        exact = 1.0 - math.exp(-rate * (t + 1))
        assert curve.lower[t] <= exact <= curve.upper[t]
    exact_mean = sum(1.0 - math.exp(-rate * (t + 1)) for t in range(horizon)) / horizon
    mean = report.mean_unavailability(batches, per_batch, confidence=0.999)
    assert mean.lower <= exact_mean <= mean.upper
    # Runs that fail stay failed, so the time units of a run are strongly correlated and the
    # honest interval is far wider than one that treats every time unit as independent.
    naive_se = math.sqrt(exact_mean * (1 - exact_mean) / (k * per_batch * horizon))
    assert mean.stderr > 5 * naive_se


# ---------------------------------------------------------------- k out of n


@pytest.mark.parametrize(("n", "k"), [(1, 1), (3, 1), (3, 2), (3, 3), (5, 2), (6, 4)])
def test_k_out_of_n_cutsets_fail_the_system_at_k_failures(n, k):
    cutsets = report.k_out_of_n_cutsets(n, k)
    assert len(cutsets) == math.comb(n, k)
    tree = tavoq.CutsetTree(n)
    tree.constructTree(cutsets)
    for pattern in itertools.product((0, 1), repeat=n):
        assert bool(tree.findWithin(list(pattern))) == (sum(pattern) >= k), pattern


@pytest.mark.parametrize(("n", "k"), [(0, 1), (3, 0), (3, 4), (-1, -1), (40, 20)])
def test_k_out_of_n_cutsets_refuses_impossible_or_huge_structures(n, k):
    with pytest.raises(ValueError, match=f"{k} out of {n}|k = {k}, n = {n}"):
        report.k_out_of_n_cutsets(n, k)


# ---------------------------------------------------------------- text and console


def test_format_summary_reports_requested_times_and_mean():
    curve = report.point_unavailability([0, 3, 10, 7], 10)
    mean = report.mean_unavailability([[0, 2, 4, 3], [0, 1, 6, 4]], 5)
    text = report.format_summary(curve, [1, 3], mean, time_unit="d")
    lines = text.splitlines()
    assert "10 runs" in lines[0] and "Wilson 95%" in lines[0]
    assert "time [d]" in lines[1]
    assert lines[2].split()[:2] == ["1", "0.3"]
    assert lines[3].split()[:2] == ["3", "0.7"]
    assert f"[{curve.lower[3]:.4g}, {curve.upper[3]:.4g}]" in lines[3]
    assert f"{mean.mean:.4g}" in lines[4] and "2 independent batches of 5 runs" in lines[4]
    assert len(lines) == 5
    with pytest.raises(ValueError):
        report.format_summary(curve, [4])


def test_text_curve_bars_follow_slice_maxima():
    lines = report.text_curve([0.1, 0.2, 0.0, 0.4], rows=2, width=10).splitlines()
    assert len(lines) == 3
    assert lines[1].split()[0] == "0" and lines[1].count("#") == 5
    assert lines[2].split()[0] == "2" and lines[2].count("#") == 10
    assert report.text_curve([0.0, 0.0], rows=5).count("#") == 0
    with pytest.raises(ValueError):
        report.text_curve([])


def test_native_stdout_silenced_hides_progress_lines_only(capfd):
    matrix = [repairable_component()]
    tree = tavoq.CutsetTree(1)
    tree.insertNode([1])
    print("before", flush=True)
    with report.native_stdout_silenced():
        counts = tavoq.runnerMultipleSim(3, 20, matrix, tree, 1)
        os.write(1, b"raw write\n")
    print("after", flush=True)
    out = capfd.readouterr().out
    assert len(counts) == 20
    assert out == "before\nafter\n"


def test_native_stdout_silenced_restores_descriptor_after_error(capfd):
    with pytest.raises(RuntimeError), report.native_stdout_silenced():
        raise RuntimeError("boom")
    os.write(1, b"visible\n")
    assert capfd.readouterr().out == "visible\n"


# ---------------------------------------------------------------- plot


@pytest.mark.parametrize("log_scale", [False, True])
def test_plot_writes_png(tmp_path, log_scale):
    pytest.importorskip("matplotlib")
    curve = report.point_unavailability([0, 1, 4, 9, 3, 0], 20)
    mean = report.mean_unavailability([[0, 1, 2, 5, 1, 0], [0, 0, 2, 4, 2, 0]], 10)
    path = tmp_path / "nested" / "curve.png"
    written = report.plot_unavailability(curve, path, mean, title="t", log_scale=log_scale)
    assert written == path
    data = path.read_bytes()
    assert len(data) > 1000
    assert data.startswith(b"\x89PNG\r\n\x1a\n")


def test_plot_without_matplotlib_says_so_and_returns_none(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    curve = report.point_unavailability([0, 1], 2)
    assert report.plot_unavailability(curve, tmp_path / "c.png") is None
    assert "matplotlib" in capsys.readouterr().err
    assert not (tmp_path / "c.png").exists()


# ---------------------------------------------------------------- examples


@pytest.mark.parametrize(
    ("script", "expected"),
    [
        ("pumping_station.py", "Mean unavailability over 0..8759 h"),
        ("sensor_array.py", "Expected mean over the horizon"),
        ("scheduled_maintenance.py", "with maintenance plan:"),
    ],
)
def test_example_runs_end_to_end(tmp_path, script, expected):
    png = tmp_path / "example.png"
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / script), "--runs", "200", "--plot", str(png)],
        capture_output=True, text=True, timeout=120, check=False,
    )
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout
    assert "Simulation 0 done." not in result.stdout  # progress lines kept off the report
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert png.stat().st_size > 0
