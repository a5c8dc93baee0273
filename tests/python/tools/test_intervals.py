"""The interval helpers: the Wilson interval and the Student t quantile."""

import random

import pytest

import tavoq_tools as report


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
