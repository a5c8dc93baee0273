"""summarize: each estimate against a hand computation, bounds when nothing was seen, and
the engine's curve against the exact one."""

import dataclasses
import json
import math
import random
import statistics
import warnings

import numpy as np
import pytest

import tavoq
import tavoq_tools as report
from tavoq_tools.errors import FewRunsWarning
from tavoq_tools.results.summary import FEW_RUNS

from .batches import PLANT_RUNS, POOL_RUNS, close, never, plant_stats, six_runs, stats_from_runs


def test_summary_of_six_runs_matches_hand_computation():
    # Worked by hand: per-run downtime fractions 0, .5, .5, .25, 0, .25; failures per run
    # 0, 1, 2, 1, 0, 1; min(T, 4) per run 4, 1, 0, 3, 4, 1; t(0.975, 5) = 2.570582.
    # Counts of 6 runs get Clopper-Pearson intervals (tables): 1/6 [0.004211, 0.641235],
    # 2/6 [0.043272, 0.777222], 4/6 [0.222778, 0.956728].
    sm = report.summarize(
        six_runs(), component_names=["a", "b", "c"], cutset_names=["x", "y", "z"], unit="h"
    )
    assert list(sm.unavailability.value) == [1 / 6, 2 / 6, 2 / 6, 1 / 6]
    assert (sm.unavailability.lower[1], sm.unavailability.upper[1]) == pytest.approx(
        (0.043272, 0.777222), abs=1e-6
    )
    assert list(sm.reliability.value) == pytest.approx([5 / 6, 3 / 6, 3 / 6, 2 / 6])
    assert (sm.reliability.lower[0], sm.reliability.upper[0]) == pytest.approx(
        (1 - 0.641235, 1 - 0.004211), abs=1e-6
    )
    # Few runs carry the downtime: (sum x)^2 / sum x^2 = 1.5^2 / 0.625 = 3.6, so the t
    # interval joins the Clopper-Pearson interval of 3 runs of 6 (tables: [0.118117,
    # 0.881883]) scaled to the mean, 0.25 / 0.5 times it, which lies within it.
    assert close(sm.mean_unavailability, 0.25, 0.015339, 0.484661)
    assert sm.mean_unavailability.method == "t over runs + binomial"
    assert close(sm.failure_probability, 4 / 6, 0.222778, 0.956728)
    assert close(sm.restricted_mean_time_to_failure, 13 / 6, 0.359117, 3.974216)
    assert sm.restricted_mean_time_to_failure.value == pytest.approx(sum(sm.reliability.value))
    assert sm.mean_time_to_failure is None  # two runs never failed
    p5, p50, p95 = sm.time_to_failure_percentiles
    assert (p5.estimate.value, p50.estimate.value, p95.estimate) == (0, 1, None)
    assert (p50.estimate.lower, p50.estimate.upper) == (0, None)  # rank 7 > 4 failed runs
    # The 95th is not reached (rank 6 > 4 failed runs): one-sided, rank
    # floor(5.7 - 1.644854 sqrt(6 * .95 * .05)) = 4 of the first failures 0, 1, 1, 3.
    assert p95.at_least == 3
    # 5 failures in 4 runs, squares 7: (sum x)^2 / sum x^2 = 25 / 7 = 3.57, so the t interval
    # joins that of 3 runs of 6 scaled to the mean, [0.196837, 1.469903], within it.
    assert close(sm.failures_per_run, 5 / 6, 0.043347, 1.623320)
    assert sm.failures_per_run.method == "t over runs + binomial"
    assert close(sm.mtbf, 3.6, 0.0, 8.045963)  # 18 h up over 5 failures; lower end clamped
    assert close(sm.mean_down_time, 1.2, 0.671684, 1.728316)
    assert (sm.runs_failed, sm.system_failures, sm.downtime) == (4, 5, 6)
    a, b, c = sm.components
    # Student t over runs from the sums: a's per-run fractions 3/4, 1/4, 0, 0, 0, 0 (squared
    # deviations 11/24, standard error sqrt(11/24 / 5 / 6)); b's 1/4, 1/4, 0, 0, 0, 0.
    # a's downtime is carried by (sum x)^2 / sum x^2 = 1 / (10 / 16) = 1.6 runs in effect: its
    # t interval joins the Clopper-Pearson interval of 1 run of 6 (tables: [0.004211,
    # 0.641235]), scaled to the mean 1/6 by 1 / (1/6), which reaches higher.
    assert close(a.unavailability, 4 / 24, 0.0, 0.641235)
    assert 4 / 24 + 2.570582 * math.sqrt(11 / 720) < 0.641235
    assert close(b.unavailability, 2 / 24, 0.0, 2 / 24 + 2.570582 * math.sqrt(1 / 360))
    assert close(c.unavailability, 0.0, 0.0, 1 - 0.025 ** (1 / 6))  # never down: the bound
    # Garwood intervals for counts 3 and 0 (tables): [0.6187, 8.7673] and [0, 3.6889].
    assert close(a.failures_per_run, 0.5, 0.618672 / 6, 8.767273 / 6)
    assert close(c.failures_per_run, 0.0, 0.0, 3.688879 / 6)
    assert close(b.criticality, 2 / 5, *report.wilson_interval(2, 5))
    assert [(row.name, row.failures) for row in sm.cutsets] == [("x", 3), ("z", 2), ("y", 1)]
    assert close(sm.cutsets[1].share, 2 / 5, *report.wilson_interval(2, 5))


def test_component_unavailability_without_sums_of_squares_takes_the_variance_bound():
    # A batch made by hand without the squares: a mean of fractions in [0, 1] over 6 runs
    # has variance at most m (1 - m), so Wilson for 6 runs at 4/24 * 6 = 1 covers it.
    sm = report.summarize(six_runs(components=[(4, 3, 3), (6, 1, 1)]))
    a, b = sm.components
    assert a.unavailability.method == "Wilson, variance bound"
    assert close(a.unavailability, 4 / 24, *report.wilson_interval(1, 6))
    assert b.unavailability.upper == pytest.approx(report.wilson_interval(1.5, 6)[1])


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
    sm = report.summarize(stats_from_runs([[0] * 10] * n, components=[(0, 0, 0)], cutsets=[0]))
    bound = 1 - 0.025 ** (1 / n)  # Clopper-Pearson upper end after 0 of n
    assert close(sm.mean_unavailability, 0.0, 0.0, bound)
    assert close(sm.failure_probability, 0.0, 0.0, bound)
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


def test_simulated_unavailability_agrees_with_exact_curve():
    # One component failing at an exponential time and never repaired: the engine starts the
    # failure at the whole time unit below the sampled time, so P(failed at t) =
    # 1 - exp(-rate (t + 1)), and R(t) is 1 - P(failed at t).
    rate, horizon, n = 0.01, 200, 10_000
    matrix = [[[never(), tavoq.Exponential(rate)], [never(), never()]]]
    tree = tavoq.CutsetTree(1)
    tree.insertNode([1])
    sm = report.summarize(tavoq.runnerStatistics(n, horizon, matrix, tree, 2024), confidence=0.999)
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
    # The component is the system: its interval, from the engine's sums of each run's
    # downtime and its square, is the system's, from the per-run downtime itself.
    component = sm.components[0].unavailability
    assert (component.value, component.lower, component.upper) == pytest.approx(
        (mean.value, mean.lower, mean.upper), rel=1e-12
    )
    assert component.method == mean.method


def with_gates(stats, downtime_per_run, failures, triggered):
    """``stats`` with gates whose per-run downtime is given (one list of runs per gate)."""
    values = {f.name: getattr(stats, f.name) for f in dataclasses.fields(stats)}
    values["gate_downtime"] = [sum(d) for d in downtime_per_run]
    values["gate_downtime_squares"] = [sum(x * x for x in d) for d in downtime_per_run]
    values["gate_failures"] = failures
    values["gate_triggered"] = triggered
    return report.BatchStatistics(**values)


def test_gate_rows_are_means_over_runs_like_the_system():
    # Gate 0 is down exactly when the system is: its row must match the system's estimate,
    # which comes from the per-run downtime itself rather than from sums of squares.
    base = six_runs(cutsets=[])
    stats = with_gates(base, [list(base.downtime), [4, 0, 0, 0, 0, 0]], [5, 1], [5, 0])
    # The file lists the top last; the report reads the tree from the top.
    sm = report.summarize(
        stats, gates=[("pump", 1), ("top", 0)], top_gate=0, cutset_note="too many"
    )
    pump, top = sm.gates
    assert (top.name, top.downtime, top.failures, top.triggered) == ("top", 6, 5, 5)
    assert top.unavailability == sm.mean_unavailability
    assert top.criticality.value == 1.0
    # One run down all along: mean 4/24, spread from that single run, and one run of 6 in
    # effect, whose Clopper-Pearson interval (tables: [0.004211, 0.641235]) reaches higher.
    mean = 4 / 24
    se = math.sqrt((1.0 - 6 * mean**2) / 5 / 6)
    half = report.student_t_quantile(0.975, 5) * se
    assert mean + half < 0.641235
    assert close(pump.unavailability, mean, max(0.0, mean - half), 0.641235)
    assert pump.failures_per_run.value == pytest.approx(1 / 6)
    assert pump.criticality.value == 0.0
    text = report.format_report(sm)
    assert text.index("Gates (intermediate events") < text.index("Components")
    table = text[text.index("Gates (intermediate events") : text.index("Components")]
    assert [line.split()[0] for line in table.splitlines()[2:4]] == ["top", "pump"]
    assert "No cut-set table: too many" in text
    assert [g["name"] for g in sm.to_dict()["gates"]] == ["pump", "top"]  # file order
    assert sm.to_dict()["top_gate"] == "top"


def test_gate_rows_refuse_an_index_past_the_batch():
    with pytest.raises(ValueError, match='gate "x" has index 2; the batch has 0 gates'):
        report.summarize(six_runs(), gates=[("x", 2)])


def reference_component_rows(stats, names, confidence=0.95):
    """The component table as the per-component loop made it, one scalar call at a time."""
    from tavoq_tools.results import summary as sm
    from tavoq_tools.results.intervals import critical_value

    z, n, horizon = critical_value(confidence), stats.n_runs, stats.sim_time
    total = int(stats.system_failures.sum())
    rows = []
    for i, name in enumerate(names):
        down = int(stats.component_downtime[i])
        count = int(stats.component_failures[i])
        triggered = int(stats.triggered_failures[i])
        unavailability = sm._unavailability(
            down, stats.component_downtime_squares, i, n, horizon, confidence
        )
        per_run = sm._per_run_count(
            count, stats.component_failures_squares, i, n, horizon, confidence
        )
        failures = stats.system_failures.astype(np.float64)
        criticality = sm._share(
            triggered,
            total,
            stats.triggered_failures_squares,
            stats.triggered_times_system_failures,
            i,
            float(np.dot(failures, failures)),
            n,
            confidence,
            z,
        )
        rows.append(
            sm.ComponentRow(name, down, count, triggered, unavailability, per_run, criticality)
        )
    return tuple(rows)


def many_components(n_components, horizon, system_failures, seed, with_squares=True):
    """A batch of 300 runs whose components take every kind of count: none, small and large
    failure counts, no downtime and downtime in every unit of every run, no trigger and all."""
    rng = np.random.default_rng(seed)
    runs = 300
    failures = np.zeros(runs, dtype=np.int64)
    failures[:system_failures] = 1
    first = np.zeros(horizon, dtype=np.int64)
    if horizon:
        first[0] = system_failures
    failed_runs = first.copy()
    downtime = failures.copy() if horizon else np.zeros(runs, dtype=np.int64)
    down = rng.integers(0, runs * horizon + 1, n_components)
    down[0], down[-1] = 0, runs * horizon
    count = rng.choice([0, 1, 5, 29, 30, 31, 200, 12_345], n_components)
    triggered = np.zeros(n_components, dtype=np.int64)
    if system_failures:
        np.add.at(triggered, rng.integers(0, n_components, system_failures - 1), 1)
        triggered[-1] += 1
    if horizon == 0:
        count[0] = 0  # nothing simulated and nothing counted: exact
    if n_components > 4:
        down[1:4] = down[4]  # components that share a downtime but not their spread
    # Sums of squares from all runs alike (down^2 / runs) to one run holding it all.
    spread = rng.integers(0, 4, n_components)
    alike = -(-down * down // runs)
    squares = np.where(spread == 0, alike, np.minimum(alike + spread, down * horizon))
    return report.BatchStatistics(
        seed=seed,
        first_run=0,
        n_runs=runs,
        sim_time=horizon,
        failed_runs=failed_runs,
        first_failures=first,
        system_failures=failures,
        downtime=downtime,
        component_downtime=down,
        component_failures=count,
        triggered_failures=triggered,
        cutset_failures=[],
        component_downtime_squares=squares if with_squares else [],
    )


@pytest.mark.parametrize(
    ("n_components", "horizon", "system_failures"),
    [(2_000, 50, 120), (500, 50, 0), (300, 0, 0), (1, 7, 300)],
    ids=["many", "no-system-failure", "horizon-0", "one-component"],
)
@pytest.mark.parametrize("confidence", [0.95, 0.9])
@pytest.mark.parametrize("with_squares", [True, False], ids=["squares", "no-squares"])
def test_component_table_is_the_per_component_computation(
    n_components, horizon, system_failures, confidence, with_squares
):
    stats = many_components(
        n_components, horizon, system_failures, seed=n_components, with_squares=with_squares
    )
    names = [f"c{i}" for i in range(n_components)]
    sm = report.summarize(stats, component_names=names, confidence=confidence)
    assert sm.components == reference_component_rows(stats, names, confidence)


def as_gates(stats, with_squares):
    """``stats`` whose gates count what its components count, in reverse order, with or
    without their sums of squares."""
    values = {f.name: getattr(stats, f.name) for f in dataclasses.fields(stats)}
    values["gate_downtime"] = stats.component_downtime[::-1]
    values["gate_failures"] = stats.component_failures[::-1]
    values["gate_triggered"] = stats.triggered_failures[::-1]
    squares = stats.component_downtime_squares[::-1]
    values["gate_downtime_squares"] = squares if with_squares else []
    return report.BatchStatistics(**values)


@pytest.mark.parametrize(
    ("n_components", "horizon", "system_failures"),
    [(2_000, 50, 120), (500, 50, 0), (300, 0, 0)],
    ids=["many", "no-system-failure", "horizon-0"],
)
@pytest.mark.parametrize(
    ("components_squares", "gates_squares"),
    [(True, True), (True, False), (False, True)],
    ids=["squares", "gates-without", "components-without"],
)
def test_gate_table_is_the_per_gate_computation_made_once_per_count(
    monkeypatch, n_components, horizon, system_failures, components_squares, gates_squares
):
    from tavoq_tools.results import summary as sm

    base = many_components(n_components, horizon, system_failures, n_components, True)
    stats = as_gates(base, gates_squares)
    if not components_squares:
        stats = dataclasses.replace(stats, component_downtime_squares=[])
    gates = [(f"g{i}", n_components - 1 - i) for i in range(n_components)]
    made = []
    per_run_count = sm._per_run_count
    monkeypatch.setattr(
        sm,
        "_per_run_count",
        lambda count, *rest: made.append(count) or per_run_count(count, *rest),
    )
    summary = report.summarize(stats, gates=gates)
    # Once per distinct count of the components and gates, and once for the system's.
    system = [int(stats.system_failures.sum())] if stats.sim_time else []
    assert sorted(made) == sorted([*set(stats.component_failures.tolist()), *system])
    # Component i and gate g{i} count the same: the same estimates, made once per count.
    gate_view = dataclasses.replace(
        stats,
        component_downtime=stats.gate_downtime[::-1],
        component_downtime_squares=stats.gate_downtime_squares[::-1],
    )
    expected = reference_component_rows(gate_view, [name for name, _ in gates])
    assert [
        (g.name, g.downtime, g.failures, g.triggered, g.unavailability, g.failures_per_run)
        + (g.criticality,)
        for g in summary.gates
    ] == [
        (r.name, r.downtime, r.failures, r.triggered, r.unavailability, r.failures_per_run)
        + (r.criticality,)
        for r in expected
    ]


# -- planned stops and repair crews ----------------------------------------------------------


def t_interval(values, low=0.0, high=1.0, confidence=0.95):
    """Mean and Student t interval of per-run values, worked out directly, within low..high."""
    n = len(values)
    mean = statistics.fmean(values)
    half = report.student_t_quantile(0.5 + confidence / 2, n - 1) * statistics.stdev(values)
    return mean, max(low, mean - half / math.sqrt(n)), min(high, mean + half / math.sqrt(n))


def test_unavailability_splits_into_failures_and_planned_stops():
    sm = report.summarize(plant_stats())
    horizon = len(PLANT_RUNS[0])
    unplanned = [sum(s == 1 for s in run) / horizon for run in PLANT_RUNS]
    planned = [sum(s == 2 for s in run) / horizon for run in PLANT_RUNS]
    assert close(sm.planned.unplanned, *t_interval(unplanned))
    assert close(sm.planned.planned, *t_interval(planned))
    assert sm.planned.unplanned.value + sm.planned.planned.value == pytest.approx(
        sm.mean_unavailability.value
    )
    assert (sm.planned.unplanned_downtime, sm.planned.planned_downtime, sm.downtime) == (5, 4, 9)
    assert list(sm.planned.curve.value) == [0.25, 0.25, 0.25, 0.25, 0]


def test_failures_and_their_down_time_leave_the_planned_stops_out():
    sm = report.summarize(plant_stats())
    # Failure stretches: run 0 at 4, run 1 at 0-1, run 3 at 1-2 (its planned unit 0 is not one).
    assert (sm.system_failures, sm.runs_failed) == (3, 3)
    assert sm.mean_down_time.value == pytest.approx(5 / 3)
    # MTBF: the time up (neither failed nor stopped) per failure.
    assert sm.mtbf.value == pytest.approx((20 - 9) / 3)
    # First failures at 0 (run 1), 1 (run 3) and 4 (run 0).
    assert [float(r) for r in sm.reliability.value] == [0.75, 0.5, 0.5, 0.5, 0.25]


def test_crew_pools_get_utilisation_wait_and_queue_over_runs():
    sm = report.summarize(plant_stats(), crew_pools=[("mechanics", 2), ("electricians", 1)])
    horizon = len(PLANT_RUNS[0])
    mechanics, electricians = sm.crews
    assert (mechanics.name, mechanics.crews, mechanics.requests) == ("mechanics", 2, 6)
    busy = [run[0] / (2 * horizon) for run in POOL_RUNS[0]]
    assert close(mechanics.utilisation, *t_interval(busy))
    queue = [run[3] for run in POOL_RUNS[0]]
    assert close(mechanics.longest_queue, *t_interval(queue, high=math.inf))
    # The mean wait is a ratio of sums; its interval from the per-run residuals.
    waited = np.array([run[1] for run in POOL_RUNS[0]], dtype=float)
    requests = np.array([run[2] for run in POOL_RUNS[0]], dtype=float)
    ratio = waited.sum() / requests.sum()
    residual = waited - ratio * requests
    se = math.sqrt(residual @ residual / 3 / 4) / (requests.sum() / 4)
    half = report.student_t_quantile(0.975, 3) * se
    assert close(mechanics.mean_wait, ratio, max(0.0, ratio - half), ratio + half)
    assert electricians.requests == 2 and electricians.mean_wait.value == pytest.approx(0.5)


def test_a_pool_that_never_queued_gets_a_bound_not_a_zero_width_interval():
    pools = [[(1, 0, 1, 0)] * 4]
    sm = report.summarize(plant_stats(pools=pools), crew_pools=[("solo", 1)])
    (solo,) = sm.crews
    assert solo.mean_wait.value == 0 and solo.longest_queue.value == 0
    assert solo.longest_queue.upper > 0
    with pytest.raises(ValueError, match="1 crew pools named for 2"):
        report.summarize(plant_stats(), crew_pools=[("solo", 1)])
    # Without the pools' sizes there is no utilisation to give, but the rest stands.
    unnamed = report.summarize(plant_stats()).crews
    assert [(c.name, c.crews, c.utilisation) for c in unnamed] == [
        ("pool_0", 0, None),
        ("pool_1", 0, None),
    ]
    assert unnamed[0].mean_wait.value == pytest.approx(8 / 6)


def test_the_planned_split_and_the_crews_appear_in_the_json_only_when_counted():
    plain = report.summarize(six_runs()).to_dict(curves=True)
    assert "planned" not in plain and "crews" not in plain
    assert "planned_unavailability" not in plain["curves"]
    data = report.summarize(plant_stats(), crew_pools=[("m", 2), ("e", 1)]).to_dict(curves=True)
    json.dumps(data, allow_nan=False)
    assert data["planned"]["planned_downtime"] == 4
    assert [c["name"] for c in data["crews"]] == ["m", "e"]
    assert data["curves"]["planned_unavailability"]["value"][0] == 0.25


@pytest.mark.parametrize("runs", [2, FEW_RUNS - 1, FEW_RUNS])
def test_a_summary_of_few_runs_warns_that_its_intervals_may_cover_less(runs):
    stats = stats_from_runs([[0, 1, 0]] * runs)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", FewRunsWarning)
        report.summarize(stats)
    found = [w.message for w in caught if isinstance(w.message, FewRunsWarning)]
    if runs < FEW_RUNS:
        assert [(w.n_runs, w.needed) for w in found] == [(runs, FEW_RUNS)]
    else:
        assert found == []


def test_runs_alike_give_a_bound_not_an_interval_of_zero_width():
    # Every run down 1 unit of 3: no spread was seen, but runs unlike these may exist with a
    # chance up to the bound for none seen in n runs, which moves the mean by that share.
    n = 150
    sm = report.summarize(stats_from_runs([[0, 1, 0]] * n))
    bound = 1 - 0.025 ** (1 / n)
    assert close(sm.mean_unavailability, 1 / 3, (1 / 3) * (1 - bound), 1 / 3 + bound * 2 / 3)
    assert sm.mean_unavailability.method == "Clopper-Pearson bound"


SATURATED_CREW = """
failed_when = "FAILED_WHEN"

[simulation]
horizon = 8
runs = 5

[crews.mechanic]

[components.pump]
transitions = [
  { from = "working", to = "failed", distribution = "uniform", low = 2, high = 2.5 },
  { from = "failed", to = "working", distribution = "constant", delay = 5, crew = "mechanic" },
]

[components.valve]
transitions = [
  { from = "working", to = "failed", distribution = "uniform", low = 4, high = 4.5 },
  { from = "failed", to = "working", distribution = "constant", delay = 5, crew = "mechanic" },
]
"""


@pytest.mark.parametrize(
    ("failed_when", "saturated"), [("pump and valve", 5), ("pump or valve", 0)]
)
def test_crew_rows_count_the_system_failures_that_began_with_every_crew_busy(
    failed_when, saturated
):
    # The pump fails at 2 and holds the one mechanic until 7; the valve fails at 4 and waits.
    # Both failed fails the system at 4, with the valve waiting; either fails it at 2, when
    # the pump takes the free mechanic. One system failure a run, 5 runs.
    import tomllib

    from tavoq_tools.formats.file import model_from_dict

    model = model_from_dict(tomllib.loads(SATURATED_CREW.replace("FAILED_WHEN", failed_when)))
    stats = report.simulate(model, seed=3)
    sm = report.summarize(stats, crew_pools=model.crew_pools)
    (mechanic,) = sm.crews
    assert sm.system_failures == 5
    assert mechanic.saturated_failures == saturated
    assert mechanic.saturated_share.value == saturated / 5
    assert mechanic.saturated_share.lower <= saturated / 5 <= mechanic.saturated_share.upper
    saturation = report.format_report(sm).split("Crew pools saturated")[1].splitlines()
    assert saturation[2].split()[0] == "mechanic"
    assert saturation[2].endswith(f"({saturated} failures)")
    data = sm.to_dict()["crews"][0]
    assert (data["saturated_failures"], data["saturated_share"]["value"]) == (
        saturated,
        saturated / 5,
    )
    # A batch made without the count gives none, and its crew row says so.
    counted = {f.name: getattr(stats, f.name) for f in dataclasses.fields(stats)}
    uncounted = report.BatchStatistics(
        **counted
        | {"crew_saturated_failures": [], "crew_saturated_failures_squares": []}
        | {"crew_saturated_times_system_failures": []}
    )
    uncounted_summary = report.summarize(uncounted, crew_pools=model.crew_pools)
    (row,) = uncounted_summary.crews
    assert (row.saturated_failures, row.saturated_share) == (None, None)
    assert "saturated" not in report.format_report(uncounted_summary)
    assert "saturated_failures" not in report.summarize(uncounted).to_dict()["crews"][0]
