"""The table of distribution kinds: every entry checks, builds and describes its kind."""

import math

import pytest

import tavoq
from tavoq_tools.errors import ModelError
from tavoq_tools.model import distributions

# One valid parameter set per kind, the native class it must build and a word of its text.
EXAMPLES = {
    "exponential": ({"mttf": 200}, tavoq.Exponential, "mttf 200 h"),
    "weibull": ({"scale": 300, "shape": 2}, tavoq.Weibull, "scale 300 h"),
    "normal": ({"mean": 5, "stddev": 1}, tavoq.Normal, "stddev 1 h"),
    "uniform": ({"low": 0, "high": 4}, tavoq.Uniform, "0 to 4 h"),
    "inspection": ({"interval": 25}, tavoq.Inspection, "every 25 h"),
    "maintenance": ({"times": [3, 9]}, tavoq.Maintenance, "one of 3, 9 h"),
    "fixed": ({"at": 7}, tavoq.InstantaneousFailure, "at 7 h"),
    "lognormal": ({"mean": 24, "sd": 8}, tavoq.Lognormal, "sd 8 h"),
    "gamma": ({"shape": 3, "rate": 0.1}, tavoq.Gamma, "(Erlang), shape 3, rate 0.1 per h"),
    "constant": ({"delay": 48}, tavoq.Constant, "48 h after"),
    "demand": ({"probability": 0.25}, tavoq.Uniform, "probability 0.25"),
}


def test_every_kind_has_an_example():
    assert set(EXAMPLES) == set(distributions.KINDS)


@pytest.mark.parametrize("kind", sorted(EXAMPLES))
def test_each_kind_checks_builds_and_describes(kind):
    given, native_class, text = EXAMPLES[kind]
    params = distributions.check_params("t", kind, given)
    assert type(distributions.native(kind, params)) is native_class
    described = distributions.describe(kind, params, "h")
    assert described.startswith(kind) and text in described
    assert set(params) <= set(distributions.DISTRIBUTIONS[kind])


@pytest.mark.parametrize("kind", sorted(k for k, v in distributions.KINDS.items() if v.needs_all))
def test_a_kind_that_needs_every_parameter_names_the_missing_one(kind):
    given = dict(EXAMPLES[kind][0])
    missing = next(iter(given))
    del given[missing]
    with pytest.raises(ModelError, match=f"missing parameter {missing} of {kind}"):
        distributions.check_params("t", kind, given)


def test_exponential_mean_and_rate_build_the_same_distribution():
    by_mean = distributions.native("exponential", {"mean": 4.0})
    by_rate = distributions.native("exponential", {"rate": 0.25})
    assert by_mean.quantile(0.5, 0) == by_rate.quantile(0.5, 0)


def test_lognormal_by_mean_and_sd_has_that_mean_and_median():
    params = distributions.check_params("t", "lognormal", {"mean": 24, "sd": 8})
    d = distributions.native("lognormal", params)
    mu = math.log(24) - math.log1p((8 / 24) ** 2) / 2
    assert d.quantile(0.5, 0) == pytest.approx(math.exp(mu), rel=1e-12)
    n = 20000
    mean = sum(d.quantile((i + 0.5) / n, 0) for i in range(n)) / n
    assert mean == pytest.approx(24, rel=1e-3)
    by_mu = distributions.native("lognormal", {"mu": mu, "sigma": d_sigma(24, 8)})
    assert by_mu.quantile(0.9, 0) == pytest.approx(d.quantile(0.9, 0), rel=1e-12)


@pytest.mark.parametrize(("mean", "sd"), [(1.0, 1e200), (1e-100, 1e100), (3.0, 4e150)])
def test_lognormal_of_an_extreme_spread_keeps_its_median(mean, sd):
    # The median is mean / sqrt(1 + (sd / mean)^2), whose square overflows here.
    d = distributions.native(
        "lognormal", distributions.check_params("t", "lognormal", {"mean": mean, "sd": sd})
    )
    ratio = sd / mean
    log_median = math.log(mean) - (math.log(ratio) if ratio > 1 else math.log1p(ratio**2) / 2)
    assert math.log(d.quantile(0.5, 0)) == pytest.approx(log_median, rel=1e-9)


def d_sigma(mean, sd):
    return math.sqrt(math.log1p((sd / mean) ** 2))


@pytest.mark.parametrize(
    "given", [{"shape": 3, "scale": 10}, {"shape": 3, "rate": 0.1}, {"shape": 3, "mean": 30}]
)
def test_gamma_scale_rate_and_mean_say_the_same(given):
    d = distributions.native("gamma", distributions.check_params("t", "gamma", given))
    assert d.quantile(0.5, 0) == pytest.approx(tavoq.Gamma(3.0, 10.0).quantile(0.5, 0))


@pytest.mark.parametrize(
    "kind, given, key, text",
    [
        ("lognormal", {"mean": 24}, "t", "mean and sd"),
        ("lognormal", {"mean": 24, "sd": 8, "mu": 1}, "t", "mean and sd"),
        ("lognormal", {"mu": 1}, "t", "mu and sigma"),
        ("lognormal", {"mean": -2, "sd": 1}, "t.mean", "positive"),
        ("lognormal", {"mu": 1, "sigma": 0}, "t.sigma", "positive"),
        ("lognormal", {"mu": math.inf, "sigma": 1}, "t.mu", "finite"),
        ("lognormal", {"mean": 1e-300, "sd": 1e300}, "t.sd", "too large beside the mean"),
        ("lognormal", {"mean": 5e-324, "sd": 1}, "t.sd", "too large beside the mean"),
        ("gamma", {"scale": 2}, "t", "missing parameter shape"),
        ("gamma", {"shape": 2}, "t", "exactly one of scale, rate, mean"),
        ("gamma", {"shape": 2, "scale": 1, "rate": 1}, "t", "given: scale, rate"),
        ("gamma", {"shape": 0, "scale": 1}, "t.shape", "positive"),
        ("gamma", {"shape": 2, "rate": 1e-320}, "t.rate", "out of range"),
        ("constant", {"delay": -1}, "t.delay", ">= 0"),
        ("constant", {"delay": "1"}, "t.delay", ">= 0"),
        ("constant", {}, "t", "missing parameter delay"),
    ],
)
def test_new_kinds_refuse_bad_parameters_naming_the_key(kind, given, key, text):
    with pytest.raises(ModelError) as info:
        distributions.check_params("t", kind, given)
    assert info.value.key == key and text in info.value.message


@pytest.mark.parametrize("probability", [1.0, 0.5, 0.125, 1e-6])
def test_a_demand_fails_at_once_for_the_top_share_p_of_draws_and_else_never(probability):
    # At the start of a run a negative delay means never; one in [0, 1) truncates to 0.
    demand = distributions.native("demand", {"probability": probability})
    edge = 1 - probability
    for u in (0.0, edge / 2, edge * (1 - 1e-9)):
        if u < edge:
            assert demand.quantile(u, 0) < 0
    for u in (edge, edge + probability / 2, 1 - 2**-24):
        assert 0 <= demand.quantile(u, 0) < 1


@pytest.mark.parametrize(
    ("value", "message"), [(0, "positive"), (1.5, "at most 1"), ("x", "positive")]
)
def test_a_demand_probability_lies_in_0_to_1(value, message):
    with pytest.raises(ModelError, match=message):
        distributions.check_params("t", "demand", {"probability": value})
