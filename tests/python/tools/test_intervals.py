"""The interval helpers: the Wilson and Clopper-Pearson intervals, the two combined, and the
Student t quantile."""

import math
import random
from pathlib import Path

import numpy as np
import pytest

import tavoq_tools as report
from tavoq_tools.results.intervals import (
    EXACT_COUNTS,
    binomial_bands,
    wilson_bands,
    wilson_bounds,
)


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
    ("successes", "trials", "confidence", "lower", "upper"),
    [
        # Published tables, and the closed forms 1 - (1 - a/2)^(1/n) after one success and
        # 1 - (a/2)^(1/n) after none.
        (5, 10, 0.95, 0.187086, 0.812914),
        (2, 6, 0.95, 0.043272, 0.777222),
        (0, 10, 0.95, 0.0, -math.expm1(math.log(0.025) / 10)),
        (1, 400, 0.95, -math.expm1(math.log(0.975) / 400), None),
        (399, 400, 0.95, None, math.exp(math.log(0.975) / 400)),
        (0, 10**9, 0.99, 0.0, -math.expm1(math.log(0.005) / 1e9)),
        (1, 10**9, 0.99, -math.expm1(math.log(0.995) / 1e9), None),
    ],
)
def test_clopper_pearson_interval_matches_tables(successes, trials, confidence, lower, upper):
    lo, hi = report.clopper_pearson_interval(successes, trials, confidence)
    # Table values carry 6 decimals; the closed forms hold to rounding, however small.
    tolerance = {"abs": 6e-7} if trials < 100 and successes else {"rel": 1e-9, "abs": 0.0}
    if lower is not None:
        assert lo == pytest.approx(lower, **tolerance)
    if upper is not None:
        assert hi == pytest.approx(upper, **tolerance)


def test_binomial_bands_are_exact_at_small_counts_and_wilson_above():
    trials = 500
    k = np.arange(trials + 1)
    lower, upper = binomial_bands(k, trials, 0.95)
    exact = [report.clopper_pearson_interval(int(i), trials) for i in k]
    wilson = np.column_stack(wilson_bands(k, trials, 1.959963984540054))
    small = np.minimum(k, trials - k) <= EXACT_COUNTS
    bands = np.column_stack((lower, upper))
    np.testing.assert_allclose(bands[small], np.array(exact)[small], rtol=1e-12)
    np.testing.assert_allclose(bands[~small], wilson[~small], rtol=1e-12)
    # The mirror image: bounds for trials - k are 1 minus those for k; one count alone agrees.
    np.testing.assert_allclose(lower[::-1], 1 - upper, atol=1e-15)
    assert report.binomial_interval(3, trials) == (lower[3], upper[3])
    # The switch keeps the ends rising with the count.
    assert np.all(np.diff(lower) > 0) and np.all(np.diff(upper) > 0)


@pytest.mark.parametrize(
    ("trials", "p", "wilson_misses"),
    [
        # Expected count 0.17: one success puts Wilson's lower end (0.00044) above p.
        (400, 0.00043, True),
        (400, 0.0015, False),
        (400, 0.005, False),
        (400, 0.02, False),
        (40, 0.1, False),
        (400, 1 - 0.00043, True),  # R(t) near 1, in runs that rarely fail
        (1000, 0.9975, False),
    ],
)
def test_binomial_bands_cover_at_small_expected_counts(trials, p, wilson_misses):
    # Small batches against the exact proportion, drawn with a seeded generator.
    counts = np.random.default_rng(20251208).binomial(trials, p, size=4000)
    lower, upper = binomial_bands(counts, trials, 0.95)
    assert np.mean((lower <= p) & (p <= upper)) >= 0.93
    if wilson_misses:  # the cases are hard: Wilson alone fails them
        lower, upper = wilson_bands(counts, trials, 1.959963984540054)
        assert np.mean((lower <= p) & (p <= upper)) < 0.9


@pytest.mark.parametrize(
    "call",
    [
        lambda: report.clopper_pearson_interval(1, 0),
        lambda: report.binomial_interval(11, 10),
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


def test_the_scalar_wilson_bounds_are_the_bands_bit_for_bit():
    # The summary's rows use the scalar form; the curves the array form: they must agree.
    rng = np.random.default_rng(3)
    for trials in (1, 7, 400, 100_000):
        counts = np.concatenate(
            [[0.0, 0.5, trials - 0.5, float(trials)], rng.uniform(0, trials, 200)]
        )
        for z in (1.0, 1.959963984540054, 3.89):
            lower, upper = wilson_bands(counts, trials, z)
            scalar = [wilson_bounds(float(k), trials, z) for k in counts]
            assert [lo for lo, _ in scalar] == lower.tolist()
            assert [hi for _, hi in scalar] == upper.tolist()


# ---------------------------------------------------------------- coverage over batches
#
# The summary's intervals against the value they estimate, over many batches of FEW_RUNS runs
# (the fewest the summary takes without warning) of the examples and of two models whose runs
# are over-dispersed: runs that fail many times or not at all. The value estimated is that of
# all the batches' runs together: its own error is 1 / sqrt(batches) of a batch's standard
# error, a few per cent of it, which moves a 95% coverage by well under a point.

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"

# Runs fail in clusters: the header is down in about half the runs, for a few hundred hours,
# and then every failure of either pump brings the system down (tens of failures in those
# runs, none in the others; variance / mean of the failures per run far above 1).
CLUSTERED = """
name = "Clustered failures"
failed_when = "header and pumps"

[gates]
pumps = "pump_a or pump_b"

[simulation]
horizon = 2000
runs = 1000
seed = 101

[components.header]
transitions = [
  { from = "working", to = "failed", distribution = "exponential", mttf = 3000 },
  { from = "failed", to = "working", distribution = "exponential", mean = 300 },
]

[components.pump_a]
transitions = [
  { from = "working", to = "failed", distribution = "exponential", mttf = 40 },
  { from = "failed", to = "working", distribution = "exponential", mean = 4 },
]

[components.pump_b]
transitions = [
  { from = "working", to = "failed", distribution = "exponential", mttf = 40 },
  { from = "failed", to = "working", distribution = "exponential", mean = 4 },
]
"""

# Corrosive water arrives in some runs and never leaves; a trigger then moves the pumps to a
# worn regime where they fail ten times as often. A common cause fails all three pumps at
# once now and then. Runs differ in their rate: over-dispersed failures and shares.
WORN = """
name = "Worn pumps"
failed_when = "pumps or valve"

[gates]
pumps = "atleast(2, pump_1, pump_2, pump_3)"

[simulation]
horizon = 2000
runs = 1000
seed = 202

[components.water]
states = ["clean", "corrosive"]
kinds = { corrosive = "failed" }
transitions = [
  { from = "clean", to = "corrosive", distribution = "exponential", mttf = 2500 },
]

[components.pump]
count = 3
states = ["working", "failed", "worn", "worn_failed"]
kinds = { worn = "working" }
transitions = [
  { from = "working", to = "failed", distribution = "exponential", mttf = 400 },
  { from = "failed", to = "working", distribution = "exponential", mean = 12 },
  { from = "worn", to = "worn_failed", distribution = "exponential", mttf = 40 },
  { from = "worn_failed", to = "worn", distribution = "exponential", mean = 12 },
]

[components.valve]
transitions = [
  { from = "working", to = "failed", distribution = "exponential", mttf = 4000 },
  { from = "failed", to = "working", distribution = "exponential", mean = 60 },
]

[common_cause.shock]
members = ["pump"]
to = "failed"
distribution = "exponential"
mttf = 1500

[[triggers]]
when = "water"
fails = true
move = [
  { components = ["pump_1", "pump_2", "pump_3"], from = ["working"], to = "worn" },
  { components = ["pump_1", "pump_2", "pump_3"], from = ["failed"], to = "worn_failed" },
]
"""

COVERAGE_MODELS = {
    **{p.stem: p for p in sorted(EXAMPLES.glob("*.toml"))},
    "clustered": CLUSTERED,
    "worn": WORN,
}


def _load(tmp_path, source):
    from tavoq_tools.formats.file import load_model

    if isinstance(source, Path):
        return load_model(source)
    path = tmp_path / "model.toml"
    path.write_text(source)
    return load_model(path)


def _summary(model, stats):
    """The summary the command makes of a batch of the model."""
    from tavoq_tools.results.summary import summarize

    layout = model.logic_layout
    names = []
    if layout.cutset_gates is not None:
        stats = stats.with_cutsets_from_gates(g for _, g in layout.cutset_gates)
        names = [label for label, _ in layout.cutset_gates]
    return summarize(
        stats,
        component_names=model.component_names,
        cutset_names=names,
        gates=layout.named_gates,
        top_gate=layout.top_gate,
        unit=model.simulation.unit,
        step=model.simulation.step,
        repairable=model.repairable,
        crew_pools=model.crew_pools,
    )


# Curve points checked: a few bins, spread over the horizon.
CURVE_POINTS = (0.1, 0.35, 0.6, 0.99)


def _estimates(sm):
    """Every estimate of a summary that has a value to cover, by name. A percentile not
    reached within the horizon gives (at_least, inf)."""
    out = {}
    for key in (
        "mean_unavailability",
        "failure_probability",
        "restricted_mean_time_to_failure",
        "mean_time_to_failure",
        "failures_per_run",
        "mtbf",
        "mean_down_time",
    ):
        out[key] = getattr(sm, key)
    for p in sm.time_to_failure_percentiles:
        if p.estimate is None and p.at_least is not None:
            out[f"percentile {p.percent:g}"] = report.Estimate(
                math.inf, p.at_least, math.inf, "order statistics, one-sided"
            )
        else:
            out[f"percentile {p.percent:g}"] = p.estimate
    for kind, rows in (("component", sm.components), ("gate", sm.gates)):
        for row in rows:
            out[f"{kind} {row.name} unavailability"] = row.unavailability
            out[f"{kind} {row.name} failures per run"] = row.failures_per_run
            out[f"{kind} {row.name} criticality"] = row.criticality
    for row in sm.cutsets:
        out[f"cut set {row.name} share"] = row.share
    if sm.planned is not None:
        out["unplanned unavailability"] = sm.planned.unplanned
        out["planned unavailability"] = sm.planned.planned
    for row in sm.crews:
        out[f"crew {row.name} utilisation"] = row.utilisation
        out[f"crew {row.name} mean wait"] = row.mean_wait
        out[f"crew {row.name} longest queue"] = row.longest_queue
    for share in CURVE_POINTS:
        for name, curve in (("unavailability", sm.unavailability), ("R", sm.reliability)):
            b = min(int(share * len(curve)), len(curve) - 1)
            out[f"{name}(bin {b})"] = report.Estimate(
                float(curve.value[b]), float(curve.lower[b]), float(curve.upper[b]), curve.method
            )
    return out


# Methods whose intervals are exact bounds or hulls with one: they cover at least their
# confidence, often more (a count of a few, or none), so only that floor is checked for them.
# So is a count of runs at most EXACT_COUNTS, which takes the exact Clopper-Pearson interval.
CONSERVATIVE = (
    "Clopper-Pearson bound",
    "Poisson bound",
    "t over runs + binomial",
    "delta method + Wilson",
    "order statistics",
    "order statistics, one-sided",
    "Wilson, variance bound",
)


def _conservative(e, n):
    # A count of runs is promised at least 93% (Clopper-Pearson at small counts, Wilson's
    # ripple above): only that floor is checked for it.
    if e.method == "Clopper-Pearson/Wilson":
        return True
    return e.method.split(";")[0] in CONSERVATIVE


def _coverage(tmp_path, source, batches):
    from tavoq_tools.results.counts import merge
    from tavoq_tools.results.summary import FEW_RUNS
    from tavoq_tools.run.chunks import run_chunk
    from tavoq_tools.run.plan import plan_run

    model = _load(tmp_path, source)
    sim = model.simulation
    # Curves binned as the command bins them.
    width = plan_run(sim.horizon).bin_width
    parts = [
        run_chunk(model, sim.horizon, sim.seed, b * FEW_RUNS, FEW_RUNS, width)
        for b in range(batches)
    ]
    truth = _estimates(_summary(model, merge(parts)))
    hits: dict[str, list[bool]] = {name: [] for name in truth}
    exact_method: dict[str, int] = dict.fromkeys(truth, 0)
    same: dict[str, bool] = dict.fromkeys(truth, True)  # every batch gave the value itself
    for part in parts:
        found = _estimates(_summary(model, part))
        for name, true in truth.items():
            e = found.get(name)
            if true is None:
                continue
            if e is None or e.lower is None:
                hits[name].append(False)
                continue
            upper = math.inf if e.upper is None else e.upper
            hits[name].append(e.lower <= true.value <= upper)
            same[name] = same[name] and e.lower == e.upper == true.value
            exact_method[name] += _conservative(e, FEW_RUNS)
    # A value at a bound (0 or 1), or the same in every run (a fixed schedule), is given
    # exactly, and one beyond the horizon (a percentile that all the runs together do not
    # reach) is not known: none has a coverage to show.
    return {
        name: (float(np.mean(h)), exact_method[name] / len(h))
        for name, h in hits.items()
        if h
        and not same[name]
        and math.isfinite(truth[name].value)
        and truth[name].value not in (0.0, 1.0)
    }


# Statistics known to cover less at batches of FEW_RUNS runs, with what they covered over
# 200 batches: each rests on rare runs that a batch of this size mostly lacks. The gate
# no_cooling needs both trains down at once; the crews' mean waits come from the few
# requests that find the crew busy. The test fails when one of them comes into the band,
# so that the list stays true.
KNOWN_SHORT = {
    ("cooling_system", "gate no_cooling unavailability"),  # 0.875
    ("plant", "crew mechanic mean wait"),  # 0.85
    ("plant", "crew instrument_tech mean wait"),  # 0.885
}


# Ratios of two sums over runs whose delta-method interval covers a little less over 1,000
# batches of FEW_RUNS runs: the cooling system's down time per failure (0.909), where a stuck
# valve's month down sits among grid outages of hours. With them, two of the plant's figures
# that rest on its standby pump's rare turns: pump_b's unavailability (0.925) and the
# mechanics' longest queue (0.929). Their quick check is the band's; here only that they
# stay near.
RATIOS_SHORT = {
    ("cooling_system", "mean_down_time"),
    ("plant", "component pump_b unavailability"),
    ("plant", "crew mechanic longest queue"),
}


def _check_coverage(tmp_path, name, batches, band, near=()):
    coverage = _coverage(tmp_path, COVERAGE_MODELS[name], batches)
    low, high = band
    failed = {}
    for statistic in [s for m, s in KNOWN_SHORT if m == name]:
        covered, _ = coverage.pop(statistic)
        assert covered < low, f"{name}: {statistic} covers {covered}: not short any more"
    for statistic in [s for m, s in near if m == name]:
        covered, _ = coverage.pop(statistic)
        assert covered >= low - 0.03, f"{name}: {statistic} covers {covered}"
    for statistic, (covered, conservative) in coverage.items():
        # A statistic whose intervals are exact bounds or hulls with one in some batches must
        # cover at least its share; the others within the band.
        if covered < low or (conservative == 0 and covered > high):
            failed[statistic] = (covered, conservative)
    assert not failed, f"{name}: coverage (share, share of exact bounds) outside {band}: {failed}"
    return coverage


@pytest.mark.parametrize("name", list(COVERAGE_MODELS))
def test_intervals_cover_over_batches_of_the_fewest_runs_without_warning(tmp_path, name):
    # 200 batches: a coverage of 95% is seen within about +-3 points.
    _check_coverage(tmp_path, name, 200, (0.90, 0.99))


@pytest.mark.thorough
@pytest.mark.parametrize("name", list(COVERAGE_MODELS))
def test_intervals_cover_93_to_97_percent_over_a_thousand_batches(tmp_path, name):
    # 1,000 batches: a coverage of 95% is seen within about +-1.4 points.
    _check_coverage(tmp_path, name, 1000, (0.93, 0.97), near=RATIOS_SHORT)
