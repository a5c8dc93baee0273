"""format_report: the text report fits 100 columns and names every method it uses."""

import pytest

import tavoq_tools as report
from tavoq_tools.output.numbers import number as _num

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


@pytest.mark.parametrize(
    ("value", "lower", "upper"),
    [
        (0.99982, 0.99951, 0.99993),  # R(t) near 1 read [1, 1] at 3 digits
        (0.019104, 0.019061, 0.019147),  # a tight unavailability read [0.0191, 0.0191]
        (2.084, 2.06, 2.1),  # already apart: printed as before
        (1.0, 0.99982, 1.0),  # a bound equal to the estimate stays equal
        (0.25, 0.25 - 1e-13, 0.25 + 1e-13),  # apart only past the printable digits
    ],
    ids=["near-one", "tight", "apart", "bound-at-estimate", "beyond-digits"],
)
def test_interval_bounds_print_apart_when_they_differ(value, lower, upper):
    from tavoq_tools.output.numbers import number as _num
    from tavoq_tools.output.numbers import percent as _pct
    from tavoq_tools.output.report import _Formatter

    f = _Formatter(report.summarize(six_runs()))
    e = report.Estimate(value, lower, upper, "t")
    for fmt in (_num, _pct):
        shown, interval = f.shown(e, fmt, 4, 3)
        low, high = interval.strip("[]").split(", ")
        texts = {lower: low, value: shown, upper: high}
        numbers = sorted(texts)
        if numbers[-1] - numbers[0] > 1e-9 * abs(value):
            assert len(set(texts.values())) == len(numbers)
        if (value, lower, upper) == (2.084, 2.06, 2.1) and fmt is _num:
            assert (shown, interval) == ("2.084", "[2.06, 2.1]")


def test_a_mean_wait_and_its_interval_are_in_the_same_time():
    # With a unit of 0.5 h the mean wait per request and both bounds are halves of the
    # engine's units, and the unit follows the value.
    sm = report.summarize(plant_stats(), crew_pools=[("mechanics", 2), ("e", 1)], step=0.5)
    whole = report.summarize(plant_stats(), crew_pools=[("mechanics", 2), ("e", 1)])
    wait = sm.crews[0].mean_wait
    assert wait is not None and wait.lower is not None and wait.upper is not None
    row = next(line for line in report.format_report(sm).splitlines() if "mechanics" in line)
    whole_row = next(
        line for line in report.format_report(whole).splitlines() if "mechanics" in line
    )
    assert f"[{_num(wait.lower * 0.5, 3)}, {_num(wait.upper * 0.5, 3)}]" in row
    assert f"[{_num(wait.lower, 3)}, {_num(wait.upper, 3)}]" in whole_row
