"""Tests of the reporting helpers: statistics, summary, report, files, cut-set tree builder,
text, plot (the examples are run through the command in test_cli.py)."""

import csv
import dataclasses
import itertools
import json
import math
import os
import pickle
import random
import signal
import statistics
import sys
import types
from pathlib import Path

import pytest

import tavoq
import tavoq_tools as report
from tavoq_tools.errors import wrap_int32

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


@pytest.mark.parametrize(
    "call",
    [
        lambda: report.wilson_interval(1, 0),
        lambda: report.wilson_interval(11, 10),
        lambda: report.wilson_interval(-1, 10),
        lambda: report.wilson_interval(1, 10, confidence=1.0),
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


# ---------------------------------------------------------------- Student t


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


def repairable_component():
    return [[never(), tavoq.Exponential(0.05)], [tavoq.Exponential(0.2), never()]]


# ---------------------------------------------------------------- run statistics and merge


def stats_from_runs(runs, horizon=None, *, components=((0, 0, 0),), cutsets=(), seed=7,
                    first_run=0):
    """BatchStatistics of runs given as their system state (0/1) at each time unit.

    ``components`` holds (downtime, failures, triggered) per component, which the system
    states do not determine.
    """
    horizon = len(runs[0]) if horizon is None else horizon
    failed_runs = [sum(run[t] for run in runs) for t in range(horizon)]
    first = [0] * horizon
    for run in runs:
        if 1 in run:
            first[run.index(1)] += 1
    starts = [sum(1 for t, s in enumerate(run) if s and (t == 0 or not run[t - 1]))
              for run in runs]
    return report.BatchStatistics(
        seed=seed, first_run=first_run, n_runs=len(runs), sim_time=horizon,
        failed_runs=failed_runs, first_failures=first, system_failures=starts,
        downtime=[sum(run) for run in runs],
        component_downtime=[c[0] for c in components],
        component_failures=[c[1] for c in components],
        triggered_failures=[c[2] for c in components],
        cutset_failures=list(cutsets),
    )


# Six runs over four time units: 5 system failures, 6 units down, first failures at 0, 1, 1, 3.
SIX_RUNS = [[0, 0, 0, 0], [0, 1, 1, 0], [1, 0, 1, 0], [0, 0, 0, 1], [0, 0, 0, 0], [0, 1, 0, 0]]


def six_runs(**kwargs):
    args = {"components": [(4, 3, 3), (2, 2, 2), (0, 0, 0)], "cutsets": [3, 1, 2]} | kwargs
    return stats_from_runs(SIX_RUNS, **args)


def test_merge_of_shuffled_chunks_equals_whole_and_survives_pickling():
    whole = six_runs()
    # Component and cut-set counts of each chunk; they add up to those of six_runs().
    counts = {4: ([(1, 1, 1), (0, 0, 0), (0, 0, 0)], [1, 0, 0]),
              0: ([(0, 0, 0)] * 3, [0, 0, 0]),
              1: ([(3, 2, 2), (2, 2, 2), (0, 0, 0)], [2, 1, 2])}
    parts = [
        stats_from_runs(SIX_RUNS[i:j], components=counts[i][0], cutsets=counts[i][1],
                        first_run=i)
        for i, j in [(4, 6), (0, 1), (1, 4)]
    ]
    merged = report.merge(parts, runs=range(6))
    assert merged == whole
    assert merged != report.merge(parts[:2] + [stats_from_runs(SIX_RUNS[1:4], first_run=1,
                                                               components=[(0, 0, 0)] * 3,
                                                               cutsets=[0, 0, 0])])
    assert pickle.loads(pickle.dumps(merged)) == merged
    with pytest.raises(ValueError):
        merged.downtime[0] = 5  # read-only


def test_from_native_recovers_the_job_seed_across_the_int32_wrap():
    native = types.SimpleNamespace(
        seed=-(2**31), nSimulations=1, simTime=2, failedRuns=[0, 1], firstFailures=[0, 1],
        systemFailures=[1], downtime=[1], componentDowntime=[1], componentFailures=[1],
        triggeredFailures=[1], cutsetFailures=[1],
    )
    stats = report.BatchStatistics.from_native(native, first_run=1)
    assert (stats.seed, stats.first_run) == (2**31 - 1, 1)  # run 1 of seed INT32_MAX
    with pytest.raises(ValueError, match="runnerStatistics"):
        report.BatchStatistics.from_native(object())


def _chunk(first_run, n, **kwargs):
    return stats_from_runs([[0, 1]] * n, first_run=first_run, **kwargs)


@pytest.mark.parametrize(
    ("parts", "runs", "message"),
    [
        ([_chunk(0, 2), _chunk(3, 2)], None, "runs 2..2 are missing"),
        ([_chunk(0, 3), _chunk(2, 2)], None, "runs 2..2 are held more than once"),
        ([_chunk(0, 2), _chunk(0, 2)], None, "held more than once"),
        ([_chunk(0, 2), _chunk(2, 2)], range(6), "runs 4..5 are missing"),
        ([_chunk(2, 2), _chunk(4, 2)], range(6), "runs 0..1 are missing"),
        ([_chunk(0, 2), _chunk(2, 2)], range(3), "outside"),
        ([_chunk(0, 2), _chunk(2, 2, seed=8)], None, "seed"),
        ([_chunk(0, 2), stats_from_runs([[0, 1, 0]] * 2, first_run=2)], None, "sim_time"),
        ([_chunk(0, 2), _chunk(2, 2, components=[(0, 0, 0)] * 2)], None, "components"),
        ([_chunk(0, 2), _chunk(2, 2, cutsets=[0])], None, "cut sets"),
        ([_chunk(0, 2), [0, 1]], None, "BatchStatistics"),
        ([], None, "nothing"),
    ],
)
def test_merge_refuses_what_is_not_one_batch(parts, runs, message):
    with pytest.raises(ValueError, match=message):
        report.merge(parts, runs=runs)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"failed_runs": [1, 2, 2]}, "failed_runs has 3 entries"),
        ({"downtime": [0, 2, 2, 1, 0]}, "downtime has 5 entries"),
        ({"failed_runs": [1, 2, 2, 7]}, "more than the 6 runs"),
        ({"failed_runs": [1, 2, 2, 2]}, "do not count the same"),
        ({"first_failures": [1, 2, 1, 1]}, "first_failures"),
        ({"triggered_failures": [3, 3, 0]}, "triggered_failures"),
        ({"cutset_failures": [6, 0, 0]}, "cut set"),
        ({"component_downtime": [25, 0, 0]}, "downtime exceeds"),
        ({"component_failures": [1, -1, 0]}, "negative"),
        ({"component_failures": [1.5, 0, 0]}, "integers"),
        ({"component_failures": [3, 2]}, "per-component"),
        ({"seed": 2**31}, "32-bit"),
        ({"n_runs": 6.0}, "n_runs must be an integer"),
    ],
)
def test_run_statistics_refuses_inconsistent_counts(change, message):
    good = six_runs()
    fields = {f.name: getattr(good, f.name) for f in dataclasses.fields(report.BatchStatistics)}
    with pytest.raises(ValueError, match=message):
        report.BatchStatistics(**(fields | change))


# ---------------------------------------------------------------- summary


def close(estimate, value, lower, upper):
    return (estimate.value, estimate.lower, estimate.upper) == pytest.approx(
        (value, lower, upper), abs=1e-6
    )


def test_summary_of_six_runs_matches_hand_computation():
    # Worked by hand: per-run downtime fractions 0, .5, .5, .25, 0, .25; failures per run
    # 0, 1, 2, 1, 0, 1; min(T, 4) per run 4, 1, 0, 3, 4, 1; t(0.975, 5) = 2.570582.
    sm = report.summarize(six_runs(), component_names=["a", "b", "c"],
                          cutset_names=["x", "y", "z"], unit="h")
    assert list(sm.unavailability.value) == [1 / 6, 2 / 6, 2 / 6, 1 / 6]
    assert (sm.unavailability.lower[1], sm.unavailability.upper[1]) == pytest.approx(
        report.wilson_interval(2, 6))
    assert list(sm.reliability.value) == pytest.approx([5 / 6, 3 / 6, 3 / 6, 2 / 6])
    assert (sm.reliability.lower[0], sm.reliability.upper[0]) == pytest.approx(
        (1 - report.wilson_interval(1, 6)[1], 1 - report.wilson_interval(1, 6)[0]))
    assert close(sm.mean_unavailability, 0.25, 0.015339, 0.484661)
    assert close(sm.failure_probability, 4 / 6, *report.wilson_interval(4, 6))
    assert close(sm.restricted_mean_time_to_failure, 13 / 6, 0.359117, 3.974216)
    assert sm.restricted_mean_time_to_failure.value == pytest.approx(sum(sm.reliability.value))
    assert sm.mean_time_to_failure is None  # two runs never failed
    p5, p50, p95 = sm.time_to_failure_percentiles
    assert (p5.estimate.value, p50.estimate.value, p95.estimate) == (0, 1, None)
    assert (p50.estimate.lower, p50.estimate.upper) == (0, None)  # rank 7 > 4 failed runs
    assert close(sm.failures_per_run, 5 / 6, 0.043347, 1.623320)
    assert close(sm.mtbf, 3.6, 0.0, 8.045963)  # 18 h up over 5 failures; lower end clamped
    assert close(sm.mean_down_time, 1.2, 0.671684, 1.728316)
    assert (sm.runs_failed, sm.system_failures, sm.downtime) == (4, 5, 6)
    a, b, c = sm.components
    assert close(a.unavailability, 4 / 24, *report.wilson_interval(1, 6))
    # Garwood intervals for counts 3 and 0 (tables): [0.6187, 8.7673] and [0, 3.6889].
    assert close(a.failures_per_run, 0.5, 0.618672 / 6, 8.767273 / 6)
    assert close(c.failures_per_run, 0.0, 0.0, 3.688879 / 6)
    assert close(b.criticality, 2 / 5, *report.wilson_interval(2, 5))
    assert [(row.name, row.failures) for row in sm.cutsets] == [("x", 3), ("z", 2), ("y", 1)]
    assert close(sm.cutsets[1].share, 2 / 5, *report.wilson_interval(2, 5))


def test_time_to_failure_when_every_run_failed():
    # Run k is first failed at unit k; the order-statistic interval of the median of 100 runs
    # spans ranks 40 and 61, that is units 39 and 60. The 2.5th percentile is the 3rd value.
    runs = [[0] * k + [1] * (100 - k) for k in range(100)]
    sm = report.summarize(stats_from_runs(runs), percentiles=(2.5, 50, 95))
    p2, p50, p95 = sm.time_to_failure_percentiles
    assert (p50.estimate.value, p50.estimate.lower, p50.estimate.upper) == (49, 39, 60)
    assert (p2.percent, p2.estimate.value, p95.estimate.value) == (2.5, 2, 94)
    mean = sm.mean_time_to_failure
    half = 1.984217 * statistics.stdev(range(100)) / 10  # t(0.975, 99)
    assert close(mean, 49.5, 49.5 - half, 49.5 + half)
    assert close(sm.restricted_mean_time_to_failure, mean.value, mean.lower, mean.upper)


def test_nothing_failed_gives_bounds_and_no_ratios():
    n = 40
    sm = report.summarize(stats_from_runs([[0] * 10] * n, components=[(0, 0, 0)],
                                          cutsets=[0]))
    bound = 1 - 0.025 ** (1 / n)  # Clopper-Pearson upper end after 0 of n
    assert close(sm.mean_unavailability, 0.0, 0.0, bound)
    assert close(sm.failure_probability, 0.0, 0.0, report.wilson_interval(0, n)[1])
    assert close(sm.failures_per_run, 0.0, 0.0, -math.log(0.025) / n)
    assert close(sm.restricted_mean_time_to_failure, 10.0, 10.0 * (1 - bound), 10.0)
    assert sm.mtbf is None and sm.mean_down_time is None and sm.mean_time_to_failure is None
    assert sm.components[0].criticality is None and sm.cutsets[0].share is None
    assert all(p.estimate is None for p in sm.time_to_failure_percentiles)
    assert "no system failure occurred" in report.format_report(sm)
    always_down = report.summarize(stats_from_runs([[1] * 10] * n))
    assert close(always_down.mean_unavailability, 1.0, 1 - bound, 1.0)


def test_mean_unavailability_interval_covers_true_mean_of_correlated_runs():
    # Each run is failed for its whole horizon or not at all: time units are perfectly
    # correlated, and only the spread over runs gives an honest interval.
    rng = random.Random(99)
    p, runs, reps = 0.3, 50, 1000
    covered = 0
    for _ in range(reps):
        states = [[int(rng.random() < p)] * 3 for _ in range(runs)]
        mean = report.summarize(stats_from_runs(states)).mean_unavailability
        covered += mean.lower <= p <= mean.upper
    assert 0.925 <= covered / reps <= 0.975


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: report.summarize(stats_from_runs([], 3)), "no runs"),
        (lambda: report.summarize(six_runs(), component_names=["a"]), "1 component names"),
        (lambda: report.summarize(six_runs(), cutset_names=["a"] * 4), "4 cut set names"),
        (lambda: report.summarize(six_runs(), percentiles=[100]), "percentile"),
        (lambda: report.summarize(six_runs(), confidence=1.0), "confidence"),
    ],
)
def test_summarize_refuses_bad_input(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_horizon_zero_is_summarized_without_time_estimates():
    sm = report.summarize(stats_from_runs([[], []], 0, components=[(0, 0, 0)], cutsets=[0]))
    assert sm.mean_unavailability is None and len(sm.unavailability) == 0
    assert close(sm.failure_probability, 0.0, 0.0, 0.0)
    assert sm.components[0].unavailability is None
    text = report.format_report(sm)
    assert "horizon 0" in text
    json.dumps(sm.to_dict(curves=True), allow_nan=False)


# ---------------------------------------------------------------- report, files and figure


REPORT_CASES = {
    "six_runs": lambda: six_runs(),
    "nothing_failed": lambda: stats_from_runs([[0] * 5] * 3, components=[(0, 0, 0)],
                                              cutsets=[0, 0]),
    "one_run": lambda: stats_from_runs([[0, 1, 1, 0, 1]], components=[(3, 2, 2)], cutsets=[2]),
    "horizon_zero": lambda: stats_from_runs([[]], 0, components=[(0, 0, 0)], cutsets=[0]),
}


@pytest.mark.parametrize("case", REPORT_CASES)
@pytest.mark.parametrize("long_names", [False, True])
def test_report_fits_100_columns_and_names_every_method(case, long_names):
    stats = REPORT_CASES[case]()
    names = [f"component_with_a_long_descriptive_name_{i}" if long_names else f"c{i}"
             for i in range(stats.n_components)]
    cut_names = [" & ".join(names) * (3 if long_names else 1)] * stats.n_cutsets
    sm = report.summarize(stats, component_names=names, cutset_names=cut_names, unit="h")
    text = report.format_report(sm)
    assert max(len(line) for line in text.splitlines()) <= 100
    estimates = [sm.mean_unavailability, sm.failure_probability, sm.failures_per_run,
                 sm.restricted_mean_time_to_failure, sm.mtbf, sm.mean_down_time]
    for row in sm.components:
        estimates += [row.unavailability, row.failures_per_run, row.criticality]
    for e in filter(None, estimates):
        assert e.method.split(";")[0] in text
    for name in names:
        assert name in text


def test_outputs_round_trip_and_match_the_summary(tmp_path):
    sm = report.summarize(six_runs(), component_names=["a", "b", "c"], unit="h")
    written = report.write_outputs(sm, tmp_path / "out", figure=False)
    assert sorted(p.name for p in written) == [
        "components.csv", "curves.csv", "cutsets.csv", "summary.json"]
    data = json.loads((tmp_path / "out" / "summary.json").read_text(),
                      parse_constant=lambda c: pytest.fail(f"{c} in JSON"))
    assert data == sm.to_dict()
    assert data["mtbf"]["lower"] == 0.0 and data["mean_time_to_failure"] is None
    with open(tmp_path / "out" / "curves.csv", newline="") as f:
        curves = list(csv.DictReader(f))
    assert [int(row["time"]) for row in curves] == [0, 1, 2, 3]
    assert [float(row["unavailability_upper"]) for row in curves] == list(
        sm.unavailability.upper)  # full precision, bit for bit
    assert [float(row["reliability"]) for row in curves] == list(sm.reliability.value)
    with open(tmp_path / "out" / "components.csv", newline="") as f:
        components = list(csv.DictReader(f))
    assert [row["name"] for row in components] == ["a", "b", "c"]
    assert float(components[0]["criticality"]) == 0.6
    with open(tmp_path / "out" / "cutsets.csv", newline="") as f:
        assert [row["index"] for row in csv.DictReader(f)] == ["0", "2", "1"]  # largest first
    nothing = report.summarize(stats_from_runs([[0, 0]] * 3, components=[(0, 0, 0)]))
    report.write_outputs(nothing, tmp_path / "none", figure=False)
    with open(tmp_path / "none" / "components.csv", newline="") as f:
        assert next(csv.DictReader(f))["criticality"] == ""  # None is an empty cell


def test_outputs_are_written_as_one_set(tmp_path, monkeypatch):
    sm = report.summarize(six_runs())
    out = tmp_path / "out"
    out.mkdir()
    (out / "curves.csv").write_text("previous\n")
    real_write_bytes = Path.write_bytes
    calls = []

    def fail_at_the_third(self, data):
        calls.append(self)
        if len(calls) == 3:
            real_write_bytes(self, data[: len(data) // 2])
            raise OSError(28, "No space left on device")
        return real_write_bytes(self, data)

    monkeypatch.setattr(Path, "write_bytes", fail_at_the_third)
    with pytest.raises(OSError, match="cannot write .*components.csv: No space left"):
        report.write_outputs(sm, out, figure=False)
    monkeypatch.undo()
    # Neither the two files complete before the failure nor any temporary is left.
    assert sorted(p.name for p in out.iterdir()) == ["curves.csv"]
    assert (out / "curves.csv").read_text() == "previous\n"
    # A directory made for the set is removed with it.
    monkeypatch.setattr(Path, "write_bytes", fail_at_the_third)
    calls.clear()
    with pytest.raises(OSError):
        report.write_outputs(sm, tmp_path / "new" / "deeper", figure=False)
    monkeypatch.undo()
    assert not (tmp_path / "new").exists()


def test_a_rename_that_fails_puts_back_the_files_already_renamed(tmp_path, monkeypatch):
    sm = report.summarize(six_runs())
    (tmp_path / "summary.json").write_text("old summary\n")
    (tmp_path / "cutsets.csv").write_text("old cut sets\n")
    real_replace = os.replace

    def refuse_the_third(source, target):
        if Path(target).name == "components.csv":  # third of the set, after two renames
            raise OSError(1, "Operation not permitted")
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", refuse_the_third)
    with pytest.raises(OSError, match="cannot write .*components.csv: Operation not permitted"):
        report.write_outputs(sm, tmp_path, figure=False)
    monkeypatch.undo()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cutsets.csv", "summary.json"]
    assert (tmp_path / "summary.json").read_text() == "old summary\n"
    assert (tmp_path / "cutsets.csv").read_text() == "old cut sets\n"
    report.write_outputs(sm, tmp_path, figure=False)  # and then the whole new set
    assert json.loads((tmp_path / "summary.json").read_text()) == sm.to_dict()
    assert len(list(tmp_path.iterdir())) == 4


def test_ctrl_c_while_the_files_are_placed_waits_for_the_whole_set(tmp_path, monkeypatch):
    sm = report.summarize(six_runs())
    real_replace = os.replace

    def replace_then_interrupt(source, target):
        real_replace(source, target)
        os.kill(os.getpid(), signal.SIGINT)  # held off until every file is in place

    monkeypatch.setattr(os, "replace", replace_then_interrupt)
    with pytest.raises(KeyboardInterrupt):
        report.write_outputs(sm, tmp_path, figure=False)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "components.csv", "curves.csv", "cutsets.csv", "summary.json"]


def test_figure_is_written_whole_or_not_at_all(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    sm = report.summarize(six_runs())
    written = report.write_outputs(sm, tmp_path / "ok")
    assert (tmp_path / "ok" / "summary.png") in written
    assert (tmp_path / "ok" / "summary.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    real_savefig = Figure.savefig

    def broken_savefig(self, fname, **kwargs):
        real_savefig(self, fname, **kwargs)
        raise RuntimeError("renderer failed")

    monkeypatch.setattr(Figure, "savefig", broken_savefig)
    with pytest.raises(RuntimeError, match="renderer failed"):
        report.plot_summary(sm, tmp_path / "bad" / "summary.png")
    assert not (tmp_path / "bad").exists()


def test_outputs_without_matplotlib_skip_only_the_figure(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    written = report.write_outputs(report.summarize(six_runs()), tmp_path)
    assert len(written) == 4 and not (tmp_path / "summary.png").exists()
    assert "matplotlib" in capsys.readouterr().err


# ---------------------------------------------------------------- with the engine


def test_series_pair_end_to_end():
    # Two repairable components in series. Each system failure starts with the failure of one
    # component while both work, so the criticality index of each is its share of the total
    # failure rate: 0.01 / 0.04 and 0.03 / 0.04.
    matrix = [
        [[never(), tavoq.Exponential(0.01)], [tavoq.Exponential(0.5), never()]],
        [[never(), tavoq.Exponential(0.03)], [tavoq.Exponential(0.5), never()]],
    ]
    tree = tavoq.CutsetTree(2)
    tree.constructTree([[1, 0], [0, 1]])
    n, horizon, seed = 600, 300, 2**31 - 250
    whole = report.BatchStatistics.from_native(tavoq.runnerStatistics(n, horizon, matrix, tree,
                                                                     seed))
    chunks = [
        report.BatchStatistics.from_native(
            tavoq.runnerStatistics(stop - start, horizon, matrix, tree,
                                   wrap_int32(seed + start)), start)
        for start, stop in [(250, 600), (0, 250)]
    ]
    assert report.merge(chunks, runs=range(n)) == whole  # across the int32 wrap of the seeds
    assert list(whole.failed_runs) == tavoq.runnerParallelSim(n, horizon, matrix, tree, seed)
    sm = report.summarize(whole, component_names=["a", "b"], cutset_names=["a", "b"],
                          confidence=0.9999)
    a, b = sm.components
    assert a.criticality.lower <= 0.25 <= a.criticality.upper
    assert b.criticality.lower <= 0.75 <= b.criticality.upper
    assert a.triggered + b.triggered == sm.system_failures > 0
    assert max(len(line) for line in report.format_report(sm).splitlines()) <= 100


def test_simulated_unavailability_agrees_with_exact_curve():
    # One component failing at an exponential time and never repaired: the engine starts the
    # failure at the whole time unit below the sampled time, so P(failed at t) =
    # 1 - exp(-rate (t + 1)), and R(t) is 1 - P(failed at t).
    rate, horizon, n = 0.01, 200, 10_000
    matrix = [[[never(), tavoq.Exponential(rate)], [never(), never()]]]
    tree = tavoq.CutsetTree(1)
    tree.insertNode([1])
    sm = report.summarize(tavoq.runnerStatistics(n, horizon, matrix, tree, 2024),
                          confidence=0.999)
    for t in (0, 10, 50, 120, 199):
        exact = 1.0 - math.exp(-rate * (t + 1))
        assert sm.unavailability.lower[t] <= exact <= sm.unavailability.upper[t]
        assert sm.reliability.lower[t] <= 1 - exact <= sm.reliability.upper[t]
    exact_mean = sum(1.0 - math.exp(-rate * (t + 1)) for t in range(horizon)) / horizon
    mean = sm.mean_unavailability
    assert mean.lower <= exact_mean <= mean.upper
    # Runs that fail stay failed, so the time units of a run are strongly correlated and the
    # honest interval is far wider than one that treats every time unit as independent.
    naive_half = 3.3 * math.sqrt(exact_mean * (1 - exact_mean) / (n * horizon))
    assert mean.upper - mean.value > 5 * naive_half


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
