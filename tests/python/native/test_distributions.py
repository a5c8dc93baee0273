"""pdf, cdf and quantile of every distribution kind, and their validation."""

import math
import statistics

import pytest
from conftest import INT32_MAX, INT32_MIN, NO_TRANSITION, wrap32

import tavoq

NAN = math.nan
INF = math.inf
SQRT_2PI = math.sqrt(6.283185307179586)
BOOST_ERF_INV_OVERFLOW = (
    "Error in function boost::math::erf_inv<double>(double, double): Overflow Error"
)


def same(a, b):
    """Equal floats, with NaN equal to NaN."""
    if math.isnan(b):
        return math.isnan(a)
    return a == b


# ---------------------------------------------------------------------------
# Distribution


@pytest.mark.parametrize(
    "x",
    [0.0, -1.0, 1e300, NAN, INF, -INF, 2147483647.0],
    ids=["0", "-1", "big", "nan", "inf", "-inf", "sentinel"],
)
def test_distribution_pdf_cdf_are_no_transition(x):
    d = tavoq.Distribution()
    assert d.pdf(x) == NO_TRANSITION
    assert d.cdf(x) == NO_TRANSITION


@pytest.mark.parametrize(
    "p, t",
    [(0.5, 0), (0.0, 0), (1.0, 5), (-3.0, -7), (7.5, INT32_MAX), (NAN, INT32_MIN), (INF, 3)],
    ids=["mid", "zero", "one", "negative", "above", "nan", "inf"],
)
def test_distribution_quantile_is_no_transition(p, t):
    assert tavoq.Distribution().quantile(p, t) == NO_TRANSITION


# ---------------------------------------------------------------------------
# Normal


def normal_pdf(mean, sd, x):
    z = (x - mean) / sd
    return math.exp(math.pow(z, 2.0) * -0.5) * (1.0 / (SQRT_2PI * sd))


def normal_cdf(mean, sd, x):
    return (math.erf((x - mean) / (math.sqrt(2.0) * sd)) + 1.0) * 0.5


def test_normal_known_values():
    n = tavoq.Normal(0, 1)
    assert n.quantile(0.5, 0) == 0.0
    assert tavoq.Normal(2, 3).quantile(0.5, 7) == 2.0
    assert n.cdf(0.0) == 0.5
    assert n.pdf(0.0) == pytest.approx(1.0 / math.sqrt(2.0 * math.pi), rel=1e-15)


@pytest.mark.parametrize(
    "mean, sd, x",
    [
        (0.0, 1.0, 0.0),
        (0.0, 1.0, 1.0),
        (0.0, 1.0, -2.5),
        (2.0, 3.0, 7.0),
        (-5.0, 0.5, -5.25),
        (100.0, 10.0, 130.0),
        (0.0, 1.0, 40.0),
    ],
    ids=["std-0", "std-1", "std--2.5", "2-3-7", "neg-mean", "100-10", "far-tail"],
)
def test_normal_pdf_cdf_formulas(mean, sd, x):
    n = tavoq.Normal(mean, sd)
    assert n.pdf(x) == pytest.approx(normal_pdf(mean, sd, x), rel=1e-14, abs=1e-300)
    assert n.cdf(x) == pytest.approx(normal_cdf(mean, sd, x), rel=1e-14, abs=1e-300)


@pytest.mark.parametrize(
    "mean, sd, p",
    [
        (0.0, 1.0, 0.975),
        (0.0, 1.0, 0.025),
        (0.0, 1.0, 0.8413447460685429),
        (2.0, 3.0, 0.1),
        (-1.0, 0.25, 0.999),
        (10.0, 2.0, 1e-10),
        (0.0, 1.0, 1.0 - 2.0**-53),
    ],
    ids=["0.975", "0.025", "one-sigma", "2-3-0.1", "neg-mean", "tiny-p", "largest-below-1"],
)
def test_normal_quantile_matches_inverse_cdf(mean, sd, p):
    got = tavoq.Normal(mean, sd).quantile(p, 0)
    assert math.isfinite(got)
    if p < 1.0 - 1e-12:
        expected = statistics.NormalDist(mean, sd).inv_cdf(p)
        # (p + p) - 1.0 rounds; in the far tail that moves the result by about 1e-8.
        assert got == pytest.approx(expected, rel=1e-9, abs=1e-7)
    else:
        # (p + p) - 1 is the largest double below 1: a large but finite value.
        assert got > 8.0


@pytest.mark.parametrize("t", [0, 7, -7, INT32_MAX, INT32_MIN], ids=["0", "7", "-7", "max", "min"])
def test_normal_quantile_ignores_time(t):
    n = tavoq.Normal(1.0, 2.0)
    assert n.quantile(0.3, t) == n.quantile(0.3, 0)


@pytest.mark.parametrize(
    "p",
    [0.0, 1.0, -0.0, -0.5, 1.5, 2.0, -INF, INF],
    ids=["0", "1", "-0", "-0.5", "1.5", "2", "-inf", "inf"],
)
def test_normal_quantile_out_of_range(p):
    with pytest.raises(IndexError) as info:
        tavoq.Normal(0, 1).quantile(p, 0)
    assert str(info.value) == "p must be in [0,1]"


@pytest.mark.parametrize(
    "p", [1e-20, 2.0**-55, 5e-324, 2.0**-60], ids=["1e-20", "2**-55", "denormal", "2**-60"]
)
def test_normal_quantile_boost_overflow(p):
    # (p + p) - 1.0 rounds to exactly -1 for every p up to 2**-55.
    assert (p + p) - 1.0 == -1.0
    with pytest.raises(OverflowError) as info:
        tavoq.Normal(0, 1).quantile(p, 0)
    assert str(info.value) == BOOST_ERF_INV_OVERFLOW


def test_normal_quantile_just_above_overflow_is_finite():
    p = 2.0**-54
    assert (p + p) - 1.0 > -1.0
    assert tavoq.Normal(0, 1).quantile(p, 0) < -8.0


def test_normal_smallest_draw_probability():
    # The smallest non-zero draw of the engine, 2**-24, is well inside the domain.
    got = tavoq.Normal(0.0, 1.0).quantile(2.0**-24, 0)
    assert got == pytest.approx(statistics.NormalDist().inv_cdf(2.0**-24), rel=1e-9)


@pytest.mark.parametrize(
    "mean, sd",
    [(0.0, 0.0), (0.0, -1.0), (NAN, 1.0), (0.0, NAN), (INF, 1.0)],
    ids=["sd-0", "sd-neg", "mean-nan", "sd-nan", "mean-inf"],
)
def test_normal_accepts_any_parameters(mean, sd):
    tavoq.Normal(mean, sd)


@pytest.mark.parametrize(
    "mean, sd, method, args, expected",
    [
        (0.0, 0.0, "cdf", (1.0,), 1.0),
        (0.0, 0.0, "cdf", (-1.0,), 0.0),
        (0.0, 0.0, "pdf", (0.0,), NAN),
        (0.0, -1.0, "quantile", (0.5, 0), 0.0),
        (3.0, -2.0, "quantile", (0.5, 0), 3.0),
        (NAN, 1.0, "pdf", (0.0,), NAN),
        (0.0, NAN, "cdf", (0.0,), NAN),
        (0.0, 1.0, "pdf", (NAN,), NAN),
        (0.0, 1.0, "cdf", (INF,), 1.0),
        (0.0, 1.0, "cdf", (-INF,), 0.0),
        (0.0, 1.0, "pdf", (INF,), 0.0),
        (0.0, 1.0, "cdf", (NAN,), NAN),
    ],
    ids=[
        "sd0-cdf-above",
        "sd0-cdf-below",
        "sd0-pdf-at-mean",
        "sd-neg-median",
        "sd-neg-median-3",
        "mean-nan-pdf",
        "sd-nan-cdf",
        "pdf-nan",
        "cdf-inf",
        "cdf--inf",
        "pdf-inf",
        "cdf-nan",
    ],
)
def test_normal_degenerate_values(mean, sd, method, args, expected):
    got = getattr(tavoq.Normal(mean, sd), method)(*args)
    if math.isnan(expected):
        assert math.isnan(got)
    else:
        assert got == expected


# ---------------------------------------------------------------------------
# Exponential


@pytest.mark.parametrize(
    "method, args, expected",
    [
        ("pdf", (-0.1,), 0.0),
        ("cdf", (-0.1,), 0.0),
        ("pdf", (0.0,), 2.0),
        ("cdf", (0.0,), 0.0),
        ("quantile", (-0.1, 0), NO_TRANSITION),
        ("quantile", (-INF, 0), NO_TRANSITION),
        ("quantile", (1.5, 0), NAN),
        ("quantile", (1.0, 0), INF),
        ("quantile", (0.0, 0), 0.0),
        ("pdf", (-INF,), 0.0),
        ("cdf", (INF,), 1.0),
        ("pdf", (INF,), 0.0),
        ("pdf", (NAN,), NAN),
        ("cdf", (NAN,), NAN),
        ("quantile", (NAN, 0), NAN),
    ],
    ids=[
        "pdf-neg",
        "cdf-neg",
        "pdf-0",
        "cdf-0",
        "q-neg",
        "q--inf",
        "q-above-1",
        "q-1",
        "q-0",
        "pdf--inf",
        "cdf-inf",
        "pdf-inf",
        "pdf-nan",
        "cdf-nan",
        "q-nan",
    ],
)
def test_exponential_edge_values(method, args, expected):
    assert same(getattr(tavoq.Exponential(2.0), method)(*args), expected)


@pytest.mark.parametrize("x", [0.1, 0.5, 1.0, 3.7, 50.0], ids=["0.1", "0.5", "1", "3.7", "50"])
def test_exponential_formulas(x):
    lam = 2.0
    e = tavoq.Exponential(lam)
    assert e.pdf(x) == pytest.approx(math.exp(-lam * x) * lam, rel=1e-15, abs=1e-300)
    assert e.cdf(x) == pytest.approx(1.0 - math.exp(-lam * x), rel=1e-15)


@pytest.mark.parametrize("p", [0.1, 0.5, 0.9, 1.0 - 2.0**-24], ids=["0.1", "0.5", "0.9", "top"])
@pytest.mark.parametrize("t", [0, 99, -5], ids=["t0", "t99", "t-5"])
def test_exponential_quantile_formula(p, t):
    assert tavoq.Exponential(0.25).quantile(p, t) == pytest.approx(
        -math.log(1.0 - p) / 0.25, rel=1e-15
    )


@pytest.mark.parametrize(
    "lam, p, expected",
    [(0.0, 0.5, INF), (-1.0, 0.5, math.log(0.5)), (0.0, 0.0, NAN), (INF, 0.5, 0.0)],
    ids=["rate-0", "rate-neg", "rate-0-p-0", "rate-inf"],
)
def test_exponential_degenerate_rates(lam, p, expected):
    got = tavoq.Exponential(lam).quantile(p, 0)
    if math.isnan(expected):
        assert math.isnan(got)
    else:
        assert got == pytest.approx(expected, rel=1e-15)


# ---------------------------------------------------------------------------
# Uniform


@pytest.mark.parametrize(
    "a, b",
    [(1.0, 1.0), (2.0, 1.0), (0, 0), (INF, INF), (-1.0, -2.0)],
    ids=["equal", "reversed", "zero-ints", "inf-inf", "negatives"],
)
def test_uniform_rejects_bounds(a, b):
    with pytest.raises(ValueError) as info:
        tavoq.Uniform(a, b)
    assert str(info.value) == "Lower bound must be less than upper bound"


@pytest.mark.parametrize(
    "a, b",
    [(NAN, 1.0), (0.0, NAN), (-INF, INF), (-1.0, 0.0)],
    ids=["a-nan", "b-nan", "infinite", "negative"],
)
def test_uniform_accepts_bounds(a, b):
    tavoq.Uniform(a, b)


@pytest.mark.parametrize(
    "method, args, expected",
    [
        ("pdf", (1.0,), 0.5),
        ("pdf", (3.0,), 0.5),
        ("pdf", (2.0,), 0.5),
        ("pdf", (0.999,), 0.0),
        ("pdf", (3.001,), 0.0),
        ("cdf", (0.0,), 0.0),
        ("cdf", (4.0,), 1.0),
        ("cdf", (1.0,), 0.0),
        ("cdf", (3.0,), 1.0),
        ("cdf", (2.5,), 0.75),
        ("quantile", (0.0, 0), 1.0),
        ("quantile", (1.0, 0), 3.0),
        ("quantile", (0.25, 0), 1.5),
        ("quantile", (1.5, 0), NO_TRANSITION),
        ("quantile", (-0.1, 0), NO_TRANSITION),
        ("quantile", (INF, 0), NO_TRANSITION),
        ("quantile", (-0.0, 0), 1.0),
        ("quantile", (NAN, 0), NAN),
        ("pdf", (NAN,), 0.5),
        ("cdf", (NAN,), NAN),
        ("cdf", (INF,), 1.0),
        ("pdf", (-INF,), 0.0),
    ],
    ids=[
        "pdf-a",
        "pdf-b",
        "pdf-mid",
        "pdf-below",
        "pdf-above",
        "cdf-below",
        "cdf-above",
        "cdf-a",
        "cdf-b",
        "cdf-2.5",
        "q-0",
        "q-1",
        "q-0.25",
        "q-1.5",
        "q--0.1",
        "q-inf",
        "q--0",
        "q-nan",
        "pdf-nan",
        "cdf-nan",
        "cdf-inf",
        "pdf--inf",
    ],
)
def test_uniform_values(method, args, expected):
    assert same(getattr(tavoq.Uniform(1.0, 3.0), method)(*args), expected)


@pytest.mark.parametrize("t", [0, 12345, -1, INT32_MIN], ids=["0", "12345", "-1", "min"])
def test_uniform_quantile_ignores_time(t):
    assert tavoq.Uniform(-2.0, 6.0).quantile(0.375, t) == 1.0


def test_uniform_nan_bound_gives_nan():
    assert math.isnan(tavoq.Uniform(NAN, 1.0).quantile(0.5, 0))
    assert math.isnan(tavoq.Uniform(0.0, NAN).cdf(0.5))


def test_uniform_infinite_bounds_density():
    assert tavoq.Uniform(-INF, INF).pdf(0.0) == 0.0


# ---------------------------------------------------------------------------
# Weibull


@pytest.mark.parametrize(
    "lam, k",
    [(0.0, 2.0), (1.0, 0.0), (-1.0, 2.0), (1.0, -2.0), (-0.0, 1.0), (-INF, 1.0)],
    ids=["scale-0", "shape-0", "scale-neg", "shape-neg", "scale--0", "scale--inf"],
)
def test_weibull_rejects_parameters(lam, k):
    with pytest.raises(ValueError) as info:
        tavoq.Weibull(lam, k)
    assert str(info.value) == "Parameters must be positive"


@pytest.mark.parametrize(
    "lam, k",
    [(NAN, 1.0), (1.0, NAN), (INF, 1.0), (1e-300, 1e-300)],
    ids=["scale-nan", "shape-nan", "scale-inf", "tiny"],
)
def test_weibull_accepts_parameters(lam, k):
    tavoq.Weibull(lam, k)


def test_weibull_with_shape_one_is_exponential():
    w = tavoq.Weibull(2.0, 1.0)
    e = tavoq.Exponential(0.5)
    assert w.pdf(0.0) == 0.5
    for x in (0.3, 1.0, 4.0):
        assert w.pdf(x) == pytest.approx(e.pdf(x), rel=1e-15)
        assert w.cdf(x) == pytest.approx(e.cdf(x), rel=1e-15)
    for p in (0.1, 0.5, 0.9):
        assert w.quantile(p, 0) == pytest.approx(e.quantile(p, 0), rel=1e-15)


@pytest.mark.parametrize("t", [0, 17, -17, INT32_MAX], ids=["0", "17", "-17", "max"])
def test_weibull_argument_order_scale_then_shape(t):
    w = tavoq.Weibull(10.0, 2.0)
    assert w.quantile(1.0 - math.exp(-1.0), t) == pytest.approx(10.0, rel=1e-12)
    # With the arguments the other way round the scale would be 2.
    assert tavoq.Weibull(2.0, 10.0).quantile(1.0 - math.exp(-1.0), t) == pytest.approx(
        2.0, rel=1e-12
    )


@pytest.mark.parametrize(
    "method, args, expected",
    [
        ("pdf", (-0.5,), 0.0),
        ("cdf", (-0.5,), 0.0),
        ("cdf", (0.0,), 0.0),
        ("pdf", (0.0,), INF),
        ("quantile", (1.0, 0), INF),
        ("quantile", (0.0, 0), 0.0),
        ("quantile", (-0.1, 0), NO_TRANSITION),
        ("quantile", (1.1, 0), NO_TRANSITION),
        ("quantile", (-INF, 0), NO_TRANSITION),
        ("quantile", (INF, 0), NO_TRANSITION),
        ("cdf", (INF,), 1.0),
    ],
    ids=[
        "pdf-neg",
        "cdf-neg",
        "cdf-0",
        "pdf-0",
        "q-1",
        "q-0",
        "q-neg",
        "q-above",
        "q--inf",
        "q-inf",
        "cdf-inf",
    ],
)
def test_weibull_edge_values(method, args, expected):
    assert same(getattr(tavoq.Weibull(1.0, 0.5), method)(*args), expected)


@pytest.mark.parametrize(
    "lam, k, x",
    [(1.0, 2.0, 0.5), (3.0, 1.5, 4.0), (0.5, 0.7, 0.1), (10.0, 3.0, 10.0)],
    ids=["1-2", "3-1.5", "0.5-0.7", "10-3"],
)
def test_weibull_formulas(lam, k, x):
    w = tavoq.Weibull(lam, k)
    q = x / lam
    assert w.pdf(x) == pytest.approx(
        math.exp(-math.pow(q, k)) * (math.pow(q, k - 1.0) * (k / lam)), rel=1e-14
    )
    assert w.cdf(x) == pytest.approx(1.0 - math.exp(-math.pow(q, k)), rel=1e-14)
    p = w.cdf(x)
    assert w.quantile(p, 0) == pytest.approx(x, rel=1e-9)


def test_weibull_pdf_at_zero_shape_above_one():
    assert tavoq.Weibull(1.0, 2.0).pdf(0.0) == 0.0


# ---------------------------------------------------------------------------
# Inspection


def inspection_reference(T, t):
    """Delay to the next inspection with the 32-bit wrap-around rules.

    An interval of 0 never inspects.  The remainder is truncated toward zero with the
    sign of t (for the interval -1 it is always 0, even for t = -2**31).
    """
    if T == 0:
        return NO_TRANSITION
    r = abs(t) % abs(T)
    if t < 0:
        r = -r
    d = wrap32(T - r)
    s = wrap32(t + d)
    return float(d) if s > t else 0.0


def test_inspection_point_and_step():
    i = tavoq.Inspection(10)
    assert i.pdf(10.0) == 1.0
    assert i.pdf(10.5) == 0.0
    assert i.pdf(9.999) == 0.0
    assert i.cdf(9.999) == 0.0
    assert i.cdf(10.0) == 1.0
    assert i.cdf(1e9) == 1.0
    assert i.pdf(NAN) == 0.0
    assert i.cdf(NAN) == 0.0
    assert i.cdf(INF) == 1.0


@pytest.mark.parametrize(
    "t, expected", [(0, 10.0), (3, 7.0), (10, 10.0), (25, 5.0)], ids=["t0", "t3", "t10", "t25"]
)
@pytest.mark.parametrize("p", [0.5, 0.0, 5.0, -1.0, NAN], ids=["p0.5", "p0", "p5", "p-1", "pnan"])
def test_inspection_quantile_listed(t, expected, p):
    assert tavoq.Inspection(10).quantile(p, t) == expected


@pytest.mark.parametrize(
    "T, t, expected",
    [
        (10, -3, 13.0),
        (10, INT32_MAX - 2, 0.0),
        (-5, 3, 0.0),
        (0, 0, NO_TRANSITION),
        (0, 5, NO_TRANSITION),
        (0, -5, NO_TRANSITION),
        (0, INT32_MIN, NO_TRANSITION),
        (0, INT32_MAX, NO_TRANSITION),
        (-1, INT32_MIN, -1.0),
    ],
    ids=[
        "negative-time",
        "overflow",
        "negative-interval",
        "zero-interval-t0",
        "zero-interval-t5",
        "zero-interval-t-5",
        "zero-interval-min",
        "zero-interval-max",
        "minus-one-at-min",
    ],
)
def test_inspection_quantile_special(T, t, expected):
    assert tavoq.Inspection(T).quantile(0.5, t) == expected
    assert inspection_reference(T, t) == expected


INSPECTION_CASES = [
    (T, t)
    for T in (1, 2, 7, 10, 1000, INT32_MAX, -1, -3, -10, INT32_MIN)
    for t in (
        0,
        1,
        6,
        7,
        9,
        10,
        11,
        -1,
        -7,
        -10,
        -11,
        123456789,
        INT32_MAX,
        INT32_MAX - 1,
        INT32_MIN,
        INT32_MIN + 1,
        2**30,
    )
]


@pytest.mark.parametrize("T, t", INSPECTION_CASES, ids=[f"T{T}-t{t}" for T, t in INSPECTION_CASES])
def test_inspection_quantile_wraparound_rules(T, t):
    assert tavoq.Inspection(T).quantile(0.25, t) == inspection_reference(T, t)


# ---------------------------------------------------------------------------
# InstantaneousFailure


@pytest.mark.parametrize("value", [-1, INT32_MIN], ids=["-1", "min"])
def test_instantaneous_failure_rejects_negative(value):
    with pytest.raises(ValueError) as info:
        tavoq.InstantaneousFailure(value)
    assert str(info.value) == "Failure time must be non-negative"


def test_instantaneous_failure_accepts_zero():
    f = tavoq.InstantaneousFailure(0)
    assert f.quantile(0.5, 0) == 0.0
    assert f.pdf(0.0) == 1.0


@pytest.mark.parametrize(
    "method, args, expected",
    [
        ("quantile", (0.3, 40), 60.0),
        ("quantile", (0.3, 150), -50.0),
        ("quantile", (1.2, 40), NO_TRANSITION),
        ("quantile", (-0.1, 40), NO_TRANSITION),
        ("quantile", (0.0, 40), 60.0),
        ("quantile", (1.0, 40), 60.0),
        ("quantile", (0.3, 100), 0.0),
        ("quantile", (INF, 40), NO_TRANSITION),
        ("quantile", (-INF, 40), NO_TRANSITION),
        ("quantile", (NAN, 40), 60.0),
        ("pdf", (100.0,), 1.0),
        ("pdf", (99.5,), 0.0),
        ("cdf", (99.5,), 0.0),
        ("cdf", (100.0,), 1.0),
        ("cdf", (150.0,), 1.0),
    ],
    ids=[
        "q-before",
        "q-after",
        "q-above-1",
        "q-negative",
        "q-p0",
        "q-p1",
        "q-at",
        "q-inf",
        "q--inf",
        "q-nan",
        "pdf-at",
        "pdf-off",
        "cdf-before",
        "cdf-at",
        "cdf-after",
    ],
)
def test_instantaneous_failure_values(method, args, expected):
    assert getattr(tavoq.InstantaneousFailure(100), method)(*args) == expected


@pytest.mark.parametrize(
    "failure_time, t",
    [(0, INT32_MIN), (INT32_MAX, -1), (INT32_MAX, INT32_MIN), (5, INT32_MAX), (0, INT32_MAX)],
    ids=["0-min", "max--1", "max-min", "5-max", "0-max"],
)
def test_instantaneous_failure_wraps(failure_time, t):
    expected = float(wrap32(failure_time - t))
    assert tavoq.InstantaneousFailure(failure_time).quantile(0.5, t) == expected


# ---------------------------------------------------------------------------
# Maintenance


@pytest.mark.parametrize("values", [[], (), range(0)], ids=["list", "tuple", "range"])
def test_maintenance_rejects_empty(values):
    with pytest.raises(ValueError) as info:
        tavoq.Maintenance(values)
    assert str(info.value) == "Maintenance times cannot be empty"


@pytest.mark.parametrize(
    "p, t",
    [(0.5, 0), (0.0, 3), (1.0, -3), (-2.0, INT32_MAX), (9.0, INT32_MIN), (NAN, 1)],
    ids=["mid", "zero", "one", "negative", "above", "nan"],
)
def test_maintenance_single_entry(p, t):
    assert tavoq.Maintenance([7]).quantile(p, t) == 7.0


@pytest.mark.parametrize("x", [0.0, 7.0, -1.0, NAN, INF], ids=["0", "7", "-1", "nan", "inf"])
def test_maintenance_pdf_cdf_are_inherited(x):
    m = tavoq.Maintenance([7])
    assert m.pdf(x) == NO_TRANSITION
    assert m.cdf(x) == NO_TRANSITION


@pytest.mark.parametrize(
    "p, expected",
    [
        (0.0, 1.0),
        (0.3333, 1.0),
        (1 / 3, 2.0),
        (0.5, 2.0),
        (2 / 3, 3.0),
        (0.999, 3.0),
        (1.0, 3.0),
        (7.5, 3.0),
        (math.inf, 3.0),
        (-0.01, 1.0),
        (-math.inf, 1.0),
        (math.nan, 1.0),
    ],
)
def test_maintenance_picks_entry_floor_p_times_n(p, expected):
    # The pick follows the probability alone, so runs are reproducible; time plays no part.
    m = tavoq.Maintenance([1, 2, 3])
    assert {m.quantile(p, t) for t in (0, 17, INT32_MAX)} == {expected}


@pytest.mark.parametrize(
    "values, expected",
    [([-4], -4.0), ([0], 0.0), ([INT32_MIN], float(INT32_MIN)), ([INT32_MAX], NO_TRANSITION)],
    ids=["negative", "zero", "min", "max"],
)
def test_maintenance_entries_not_validated(values, expected):
    assert tavoq.Maintenance(values).quantile(0.5, 0) == expected


def test_maintenance_duplicates():
    m = tavoq.Maintenance([5, 5, 5, 5])
    assert {m.quantile(0.1, t) for t in range(50)} == {5.0}


# ---------------------------------------------------------------------------
# Lognormal, Gamma and Constant


def lognormal_cdf(mu, sigma, x):
    return 0.5 * math.erfc(-(math.log(x) - mu) / (sigma * math.sqrt(2.0)))


def erlang_cdf(k, scale, x):
    # P(a Poisson count of mean z is at least k), summed on the smaller side to keep digits.
    z = x / scale
    if z < k:
        return math.exp(-z) * sum(z**i / math.factorial(i) for i in range(k, k + 80))
    return 1.0 - math.exp(-z) * sum(z**i / math.factorial(i) for i in range(k))


# (distribution, cdf written out from its formula)
UNBOUNDED = {
    "lognormal-0-1": (tavoq.Lognormal(0.0, 1.0), lambda x: lognormal_cdf(0.0, 1.0, x)),
    "lognormal-3-0.4": (tavoq.Lognormal(3.0, 0.4), lambda x: lognormal_cdf(3.0, 0.4, x)),
    "erlang-3-10": (tavoq.Gamma(3.0, 10.0), lambda x: erlang_cdf(3, 10.0, x)),
    # Shape 1/2, scale s: s Z^2 / 2 for a standard normal Z, so F(x) = erf(sqrt(x / s)).
    "gamma-0.5-2": (tavoq.Gamma(0.5, 2.0), lambda x: math.erf(math.sqrt(x / 2.0))),
}


@pytest.mark.parametrize("case", list(UNBOUNDED.values()), ids=list(UNBOUNDED))
@pytest.mark.parametrize("x", [0.05, 1.0, 7.5, 40.0])
def test_lognormal_and_gamma_cdf_and_quantile_follow_their_formulas(case, x):
    d, cdf = case
    assert d.cdf(x) == pytest.approx(cdf(x), rel=1e-12, abs=1e-300)
    p = cdf(x)
    if 1e-12 < p < 1 - 1e-9:
        assert d.quantile(p, 123) == pytest.approx(x, rel=1e-9)
    # The density is the slope of the cdf.
    h = 1e-6 * x
    assert d.pdf(x) == pytest.approx((cdf(x + h) - cdf(x - h)) / (2 * h), rel=1e-5)


@pytest.mark.parametrize("case", list(UNBOUNDED.values()), ids=list(UNBOUNDED))
def test_lognormal_and_gamma_edge_values(case):
    d, _ = case
    assert d.quantile(0.0, 0) == 0.0
    assert d.quantile(1.0, 0) == INF
    for p in (-0.1, 1.1, -INF, INF, NAN):
        assert d.quantile(p, 0) == NO_TRANSITION
    assert d.cdf(-1.0) == 0.0 and d.pdf(-1.0) == 0.0
    assert d.cdf(INF) == 1.0 and d.pdf(INF) == 0.0
    assert math.isnan(d.cdf(NAN))


def test_lognormal_sample_mean_is_exp_of_mu_plus_half_sigma_squared():
    d = tavoq.Lognormal(1.0, 0.5)
    n = 20000
    sample = [d.quantile((i + 0.5) / n, 0) for i in range(n)]
    assert statistics.fmean(sample) == pytest.approx(math.exp(1.0 + 0.125), rel=1e-3)


@pytest.mark.parametrize(
    "cls, args",
    [
        (tavoq.Lognormal, (0.0, 0.0)),
        (tavoq.Lognormal, (0.0, -1.0)),
        (tavoq.Lognormal, (NAN, 1.0)),
        (tavoq.Lognormal, (INF, 1.0)),
        (tavoq.Lognormal, (0.0, NAN)),
        (tavoq.Gamma, (0.0, 1.0)),
        (tavoq.Gamma, (2.0, 0.0)),
        (tavoq.Gamma, (-1.0, 1.0)),
        (tavoq.Gamma, (NAN, 1.0)),
        (tavoq.Gamma, (1.0, INF)),
        (tavoq.Constant, (-1.0,)),
        (tavoq.Constant, (NAN,)),
        (tavoq.Constant, (INF,)),
    ],
    ids=lambda v: v.__name__ if isinstance(v, type) else repr(v),
)
def test_new_kinds_refuse_parameters_with_a_value_error(cls, args):
    with pytest.raises(ValueError):
        cls(*args)


@pytest.mark.parametrize("t", [0, 17, INT32_MAX, INT32_MIN])
def test_constant_is_a_delay_whatever_the_time(t):
    c = tavoq.Constant(12.5)
    assert c.quantile(0.0, t) == 12.5 and c.quantile(1.0, t) == 12.5
    assert c.quantile(-0.5, t) == NO_TRANSITION and c.quantile(NAN, t) == NO_TRANSITION
    assert (c.cdf(12.4), c.cdf(12.5), c.pdf(12.5), c.pdf(3.0)) == (0.0, 1.0, 1.0, 0.0)


def test_constant_delays_are_truncated_like_every_other_delay():
    # Fails 5.9 units after each start (truncated to 5), repaired 2.5 units later (2): the
    # failed units are 5, 6, then 12, 13, ...: a period of 7.
    matrix = [
        [[tavoq.Distribution(), tavoq.Constant(5.9)], [tavoq.Constant(2.5), tavoq.Distribution()]]
    ]
    tree = tavoq.CutsetTree(1)
    tree.constructTree([[1]])
    states = tavoq.runnerSingleSim(30, matrix, tree, 3)
    assert list(states) == [1 if t % 7 in (5, 6) else 0 for t in range(30)]
