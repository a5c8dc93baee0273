"""format_report: the text report fits 100 columns and names every method it uses."""

import pytest

import tavoq_tools as report

from .batches import plant_stats, six_runs, stats_from_runs

REPORT_CASES = {
    "six_runs": lambda: six_runs(),
    "nothing_failed": lambda: stats_from_runs(
        [[0] * 5] * 3, components=[(0, 0, 0)], cutsets=[0, 0]
    ),
    "one_run": lambda: stats_from_runs([[0, 1, 1, 0, 1]], components=[(3, 2, 2)], cutsets=[2]),
    "horizon_zero": lambda: stats_from_runs([[]], 0, components=[(0, 0, 0)], cutsets=[0]),
}


@pytest.mark.parametrize("case", REPORT_CASES)
@pytest.mark.parametrize("long_names", [False, True])
def test_report_fits_100_columns_and_names_every_method(case, long_names):
    stats = REPORT_CASES[case]()
    names = [
        f"component_with_a_long_descriptive_name_{i}" if long_names else f"c{i}"
        for i in range(stats.n_components)
    ]
    cut_names = [" & ".join(names) * (3 if long_names else 1)] * stats.n_cutsets
    sm = report.summarize(stats, component_names=names, cutset_names=cut_names, unit="h")
    text = report.format_report(sm)
    assert max(len(line) for line in text.splitlines()) <= 100
    estimates = [
        sm.mean_unavailability,
        sm.failure_probability,
        sm.failures_per_run,
        sm.restricted_mean_time_to_failure,
        sm.mtbf,
        sm.mean_down_time,
    ]
    for row in sm.components:
        estimates += [row.unavailability, row.failures_per_run, row.criticality]
    for e in filter(None, estimates):
        assert e.method.split(";")[0] in text
    for name in names:
        assert name in text


def test_planned_stops_and_crews_have_rows_of_their_own():
    sm = report.summarize(
        plant_stats(), crew_pools=[("mechanics", 2), ("electricians", 1)], unit="h"
    )
    text = report.format_report(sm)
    assert all(len(line) <= 100 for line in text.splitlines())
    assert "(for planned stops only: 4 h)." in " ".join(text.split())
    rows = {line[:40].strip(): line for line in text.splitlines() if line.startswith("    for ")}
    assert set(rows) == {"for failures (unplanned)", "for planned stops only"}
    assert "0.25" in rows["for failures (unplanned)"] and "0.2 " in rows["for planned stops only"]
    crews = text.split("Repair crews")[1].splitlines()
    assert crews[1].split() == [
        "pool",
        "crews",
        "utilisation",
        "mean",
        "wait",
        "per",
        "request",
        "longest",
        "queue",
    ]
    assert crews[2].split()[:3] == ["mechanics", "2", "30%"]
    assert crews[3].split()[:2] == ["electricians", "1"]
    assert "count only failures" in " ".join(text.split())


def test_a_report_without_planned_states_or_crews_says_nothing_of_them():
    text = report.format_report(report.summarize(six_runs()))
    assert "planned" not in text and "crew" not in text


def test_a_long_pool_name_gets_a_line_of_its_own():
    name = "mechanics_of_the_northern_workshop_on_call_at_night"
    sm = report.summarize(plant_stats(), crew_pools=[(name, 2), ("e", 1)], unit="h")
    lines = report.format_report(sm).splitlines()
    assert all(len(line) <= 100 for line in lines)
    assert f"  {name}" in lines
