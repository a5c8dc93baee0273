"""The table of distribution kinds: every entry checks, builds and describes its kind."""

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
