"""The interval helpers: the Wilson and Clopper-Pearson intervals, the two combined, and the
Student t quantile."""

import math
import random

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
