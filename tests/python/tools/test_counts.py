"""BatchStatistics: its checks, from_native and the merge of chunks."""

import dataclasses
import pickle
import types

import numpy as np
import pytest

import tavoq
import tavoq_tools as report
from tavoq_tools.errors import wrap_int32

from .batches import (
    PLANT_RUNS,
    POOL_RUNS,
    SIX_RUNS,
    never,
    plant_stats,
    repairable_component,
    six_runs,
    six_runs_chunk,
    stats_from_runs,
)


def test_merge_of_shuffled_chunks_equals_whole_and_survives_pickling():
    whole = six_runs()
    # Component and cut-set counts of each chunk; they add up to those of six_runs().
    counts = {
        4: ([(1, 1, 1, 1), (0, 0, 0, 0), (0, 0, 0, 0)], [1, 0, 0]),
        0: ([(0, 0, 0, 0)] * 3, [0, 0, 0]),
        1: ([(3, 2, 2, 9), (2, 2, 2, 2), (0, 0, 0, 0)], [2, 1, 2]),
    }
    parts = [
        stats_from_runs(SIX_RUNS[i:j], components=counts[i][0], cutsets=counts[i][1], first_run=i)
        for i, j in [(4, 6), (0, 1), (1, 4)]
    ]
    merged = report.merge(parts, runs=range(6))
    assert merged == whole
    assert merged != report.merge(
        parts[:2]
        + [
            stats_from_runs(
                SIX_RUNS[1:4], first_run=1, components=[(0, 0, 0, 0)] * 3, cutsets=[0, 0, 0]
            )
        ]
    )
    assert pickle.loads(pickle.dumps(merged)) == merged
    with pytest.raises(ValueError):
        merged.downtime[0] = 5  # read-only


def test_the_fields_are_the_engines_arrays_as_its_table_declares_them():
    from tavoq_tools.results.counts import STATISTICS

    table = tavoq.RunStatistics.statistics
    assert {stat.native: (stat.axis, stat.dtype, stat.combine) for stat in STATISTICS} == {
        name: tuple(rest) for name, *rest in table
    }
    assert len({name for name, *_ in table}) == len(table) == len(STATISTICS)
    # Every array the table names comes with its declared dtype, and is copied.
    tree = tavoq.FaultTree(2)
    tree.setTop(tree.addGate("and", [0, 1]))
    native = tavoq.runnerStatistics(3, 40, [repairable_component()] * 2, tree, 5)
    copied = report.BatchStatistics.from_native(native)
    for name, _, dtype, _ in table:
        assert getattr(native, name).dtype == np.dtype(dtype), name
    for stat in STATISTICS:
        assert np.array_equal(getattr(copied, stat.name), getattr(native, stat.native))


def test_from_native_recovers_the_job_seed_across_the_int32_wrap():
    native = types.SimpleNamespace(
        seed=-(2**31),
        nSimulations=1,
        simTime=2,
        failedRuns=[0, 1],
        firstFailures=[0, 1],
        systemFailures=[1],
        downtime=[1],
        componentDowntime=[1],
        componentFailures=[1],
        triggeredFailures=[1],
        cutsetFailures=[1],
    )
    stats = report.BatchStatistics.from_native(native, first_run=1)
    assert (stats.seed, stats.first_run) == (2**31 - 1, 1)  # run 1 of seed INT32_MAX
    with pytest.raises(ValueError, match="runnerStatistics"):
        report.BatchStatistics.from_native(object())


@pytest.mark.parametrize(
    ("parts", "runs", "message"),
    [
        ([six_runs_chunk(0, 2), six_runs_chunk(3, 2)], None, "runs 2..2 are missing"),
        ([six_runs_chunk(0, 3), six_runs_chunk(2, 2)], None, "runs 2..2 are held more than once"),
        ([six_runs_chunk(0, 2), six_runs_chunk(0, 2)], None, "held more than once"),
        ([six_runs_chunk(0, 2), six_runs_chunk(2, 2)], range(6), "runs 4..5 are missing"),
        ([six_runs_chunk(2, 2), six_runs_chunk(4, 2)], range(6), "runs 0..1 are missing"),
        ([six_runs_chunk(0, 2), six_runs_chunk(2, 2)], range(3), "outside"),
        ([six_runs_chunk(0, 2), six_runs_chunk(2, 2, seed=8)], None, "seed"),
        ([six_runs_chunk(0, 2), stats_from_runs([[0, 1, 0]] * 2, first_run=2)], None, "sim_time"),
        (
            [six_runs_chunk(0, 2), six_runs_chunk(2, 2, components=[(0, 0, 0)] * 2)],
            None,
            "components",
        ),
        ([six_runs_chunk(0, 2), six_runs_chunk(2, 2, cutsets=[0])], None, "cut sets"),
        ([six_runs_chunk(0, 2), [0, 1]], None, "BatchStatistics"),
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
        # Component a is down 4 units over 6 runs of 4: its squares lie within [16/6, 16].
        ({"component_downtime_squares": [2, 2, 0]}, "squares is too small"),
        ({"component_downtime_squares": [17, 2, 0]}, "squares is too large"),
        ({"gate_downtime": [1], "gate_failures": [1], "gate_triggered": [6]}, "more than the 5"),
        ({"seed": 2**31}, "32-bit"),
        ({"n_runs": 6.0}, "n_runs must be an integer"),
    ],
)
def test_run_statistics_refuses_inconsistent_counts(change, message):
    good = six_runs()
    fields = {f.name: getattr(good, f.name) for f in dataclasses.fields(report.BatchStatistics)}
    with pytest.raises(ValueError, match=message):
        report.BatchStatistics(**(fields | change))


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
    whole = report.BatchStatistics.from_native(
        tavoq.runnerStatistics(n, horizon, matrix, tree, seed)
    )
    chunks = [
        report.BatchStatistics.from_native(
            tavoq.runnerStatistics(stop - start, horizon, matrix, tree, wrap_int32(seed + start)),
            start,
        )
        for start, stop in [(250, 600), (0, 250)]
    ]
    assert report.merge(chunks, runs=range(n)) == whole  # across the int32 wrap of the seeds
    assert list(whole.failed_runs) == tavoq.runnerParallelSim(n, horizon, matrix, tree, seed)
    sm = report.summarize(
        whole, component_names=["a", "b"], cutset_names=["a", "b"], confidence=0.9999
    )
    a, b = sm.components
    assert a.criticality.lower <= 0.25 <= a.criticality.upper
    assert b.criticality.lower <= 0.75 <= b.criticality.upper
    assert a.triggered + b.triggered == sm.system_failures > 0
    assert max(len(line) for line in report.format_report(sm).splitlines()) <= 100


def gated(first_run, n_runs, gate_downtime):
    """A chunk of two-unit runs with one gate down ``gate_downtime`` units in each run."""
    stats = stats_from_runs([[0, 1]] * n_runs, first_run=first_run)
    values = {f.name: getattr(stats, f.name) for f in dataclasses.fields(stats)}
    values |= {
        "gate_downtime": [gate_downtime * n_runs],
        "gate_failures": [n_runs],
        "gate_triggered": [n_runs],
        "gate_downtime_squares": [gate_downtime**2 * n_runs],
        "component_downtime_squares": [0],
        # One failure a run, which the gate caused: its counts' sums over runs.
        "gate_unit_failures": [n_runs],
        "gate_unit_failures_squares": [n_runs],
        "gate_triggered_squares": [n_runs],
        "gate_triggered_times_system_failures": [n_runs],
    }
    return report.BatchStatistics(**values)


def test_gate_counts_and_squares_merge_as_sums_and_map_to_cut_sets():
    merged = report.merge([gated(0, 3, 1), gated(3, 2, 2)], runs=range(5))
    assert list(merged.gate_downtime) == [7] and list(merged.gate_downtime_squares) == [11.0]
    assert list(merged.gate_failures) == list(merged.gate_triggered) == [5]
    assert list(merged.with_cutsets_from_gates([0, 0]).cutset_failures) == [5, 5]
    assert list(merged.gate_unit_failures) == [5]
    assert list(merged.gate_unit_failures_squares) == list(merged.gate_triggered_squares) == [5]
    # A cut set watched by an observer gate takes that gate's sums over runs.
    observed = merged.with_cutsets_from_gates([0, 0])
    assert list(observed.cutset_failures_squares) == [5.0, 5.0]
    assert list(observed.cutset_times_system_failures) == [5.0, 5.0]
    with pytest.raises(ValueError, match="gate index out of range"):
        merged.with_cutsets_from_gates([1])
    plain = stats_from_runs([[0, 1]] * 2, first_run=5)
    with pytest.raises(ValueError, match="number of gates"):
        report.merge([merged, plain])
    values = {f.name: getattr(merged, f.name) for f in dataclasses.fields(merged)}
    with pytest.raises(ValueError, match="gate_downtime_squares has 2 entries, not 1"):
        report.BatchStatistics(**(values | {"gate_downtime_squares": [1.0, 2.0]}))
    # Counts per unit cannot exceed the crossings, nor squares fall below what the counts
    # need: 5 failures over 5 runs square to at least 5.
    for bad, message in (
        ({"gate_unit_failures": [6]}, "more failures than gate_failures"),
        ({"gate_unit_failures_squares": [4.0]}, "does not fit the counts"),
        ({"gate_triggered_squares": [1.0]}, "does not fit the counts"),
    ):
        with pytest.raises(ValueError, match=message):
            report.BatchStatistics(**(values | bad))


def _native_chunks(bin_width, ranges, horizon=700, seed=4):
    from tavoq_tools.formats.file import load_model
    from tavoq_tools.run.chunks import run_chunk

    from .test_simulate import STATION

    model = load_model(STATION)
    return [run_chunk(model, horizon, seed, r.start, len(r), bin_width) for r in ranges]


@pytest.mark.parametrize("bin_width", [1, 9], ids=["per-unit", "binned"])
def test_merging_as_they_come_equals_one_batch_in_any_order(bin_width):
    from tavoq_tools.results.counts import RunMerger, merge_as_they_come

    ranges = [range(0, 40), range(40, 41), range(41, 90), range(90, 90), range(90, 130)]
    parts = _native_chunks(bin_width, ranges)
    [whole] = _native_chunks(bin_width, [range(0, 130)])
    assert whole.bin_width == bin_width
    for order in ([0, 1, 2, 3, 4], [4, 2, 0, 3, 1]):
        assert merge_as_they_come((parts[i] for i in order), range(130)) == whole
    assert report.merge(parts, runs=range(130)) == whole
    # A run held twice, a run missing, a run outside the job, a part of another job.
    merger = RunMerger(range(130))
    merger.add(parts[2])
    with pytest.raises(ValueError, match="runs 41..89 are held more than once"):
        merger.add(parts[2])
    merger.add(parts[0])
    with pytest.raises(ValueError, match="runs 40..40 are missing"):
        merger.result()
    with pytest.raises(ValueError, match="lie outside the job's runs"):
        RunMerger(range(50)).add(parts[2])
    [other] = _native_chunks(bin_width + 1, [range(40, 41)])
    with pytest.raises(ValueError, match="bin_width"):
        merger.add(other)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda t, i: t.__setitem__(i, 700), "system_failures disagree"),
        (lambda t, i: t.__setitem__(t < 691, t[t < 691] + 9), "first_failures disagree"),
        (lambda t, i: t.__setitem__(i, 701), "past sim_time"),
    ],
    ids=["a-failed-run-marked-never", "times-moved", "past-the-horizon"],
)
def test_first_failure_times_must_agree_with_the_other_counts(change, message):
    [part] = _native_chunks(9, [range(0, 60)])
    values = {f.name: getattr(part, f.name) for f in dataclasses.fields(part)}
    times = np.array(values["first_failure_times"])
    failed = int(np.argmax(times < 700))  # a run that failed
    assert times[failed] < 691
    change(times, failed)
    values["first_failure_times"] = times
    with pytest.raises(ValueError, match=message):
        report.BatchStatistics(**values)


def test_chunks_with_planned_stops_and_crews_merge_into_the_whole_batch():
    whole = plant_stats()
    parts = [
        plant_stats(PLANT_RUNS[:1], [pool[:1] for pool in POOL_RUNS]),
        plant_stats(PLANT_RUNS[1:], [pool[1:] for pool in POOL_RUNS], first_run=1),
    ]
    assert report.merge(parts[::-1], runs=range(4)) == whole
    assert whole.has_planned and whole.n_pools == 2


def test_a_chunk_without_planned_counts_does_not_merge_with_one_that_has_them():
    with_planned = plant_stats(PLANT_RUNS[:1], [pool[:1] for pool in POOL_RUNS])
    fields = {f.name: getattr(with_planned, f.name) for f in dataclasses.fields(with_planned)}
    fields |= {"planned_runs": [], "planned_downtime": [], "first_run": 1}
    with pytest.raises(ValueError, match="counted: planned_runs in one only"):
        report.merge([with_planned, report.BatchStatistics(**fields)])


@pytest.mark.parametrize(
    "change, message",
    [
        ({"planned_runs": [0, 1, 1, 1, 0]}, "do not count the same units"),
        ({"planned_runs": [3, 0, 1, 0, 0]}, "more runs than failed_runs"),
        (
            {"planned_downtime": [2, 1, 1, 0], "planned_runs": [1, 2, 1, 0, 0]},
            "exceeds its downtime",
        ),
        ({"planned_downtime": [2, 1, 0]}, "planned_downtime has 3 entries, not 4"),
        ({"crew_wait": [1]}, "per-pool arrays differ"),
    ],
)
def test_planned_and_crew_counts_that_cannot_come_from_a_batch_are_refused(change, message):
    good = plant_stats()
    fields = {f.name: getattr(good, f.name) for f in dataclasses.fields(good)} | change
    with pytest.raises(ValueError, match=message):
        report.BatchStatistics(**fields)
