"""The distribution kinds a transition may use: one entry per kind holds its parameter names,
the check of its values, its native constructor and its description, so that adding a kind
means adding one entry.

The native module is imported only when a distribution is built: a model is plain data and
can be checked and described where tavoq is not installed.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from ..errors import ModelError, check_integer, shown, unknown

__all__ = ["DISTRIBUTIONS", "KINDS", "DistributionKind", "check_params", "describe", "native"]

Params = Mapping[str, Any]


def _tavoq() -> Any:
    import tavoq

    return tavoq


def _number(key: str, value: object, *, positive: bool = True) -> float:
    ok = isinstance(value, int | float) and not isinstance(value, bool)
    number = float(value) if ok else math.nan  # type: ignore[arg-type]
    if not ok or not math.isfinite(number) or (number <= 0 if positive else number < 0):
        what = "a positive number" if positive else "a number >= 0"
        raise ModelError(key, f"must be {what}, got {shown(value)}")
    return number


def _numbers(*names: str) -> Callable[[str, Params], dict[str, Any]]:
    def check(key: str, p: Params) -> dict[str, Any]:
        return {n: _number(f"{key}.{n}", p[n]) for n in names}

    return check


@dataclass(frozen=True)
class DistributionKind:
    """One kind of distribution: ``params`` are its parameter names in the order they are
    written; ``check(key, params)`` returns the checked values or raises ModelError;
    ``native(params)`` builds the tavoq object; ``describe(params, suffix, unit)`` is the
    ``weibull, scale 2500 h, shape 2``-style text (``suffix`` is " h" or "")."""

    params: tuple[str, ...]
    check: Callable[[str, Params], dict[str, Any]]
    native: Callable[[Params], Any]
    describe: Callable[[Params, str, str], str]
    # Exponential, lognormal and gamma take some of their parameters (their check says
    # which); every other kind needs all of them.
    needs_all: bool = True


def _check_exponential(key: str, p: Params) -> dict[str, Any]:
    given = [name for name in ("mttf", "mean", "rate") if name in p]
    if len(given) != 1:
        raise ModelError(
            key,
            "exponential needs exactly one of mttf (or mean, e.g. a mean repair time) "
            f"and rate; given: {', '.join(given) or 'none'}",
        )
    name = given[0]
    value = _number(f"{key}.{name}", p[name])
    if not math.isfinite(1.0 / value) or 1.0 / value == 0.0:
        raise ModelError(f"{key}.{name}", f"{value!r} is out of range")
    return {name: value}


def _native_exponential(p: Params) -> Any:
    if "rate" in p:
        return _tavoq().Exponential(p["rate"])
    return _tavoq().Exponential(1.0 / p["mttf" if "mttf" in p else "mean"])


def _describe_exponential(p: Params, suffix: str, unit: str) -> str:
    for name in ("mttf", "mean"):
        if name in p:
            return f"exponential, {name} {p[name]:g}{suffix}"
    return f"exponential, rate {p['rate']:g}" + (f" per {unit}" if unit else "")


def _check_uniform(key: str, p: Params) -> dict[str, Any]:
    low = _number(f"{key}.low", p["low"], positive=False)
    high = _number(f"{key}.high", p["high"])
    if high <= low:
        raise ModelError(f"{key}.high", f"must be greater than low ({low:g}), got {high:g}")
    return {"low": low, "high": high}


def _check_maintenance(key: str, p: Params) -> dict[str, Any]:
    times = p["times"]
    if isinstance(times, str | bytes) or not isinstance(times, Sequence) or not times:
        raise ModelError(
            f"{key}.times", f"must be a non-empty list of positive integers, got {shown(times)}"
        )
    return {
        "times": tuple(
            check_integer(f"{key}.times[{i}]", t, 1, error=ModelError) for i, t in enumerate(times)
        )
    }


def _one_of(key: str, p: Params, what: str, names: tuple[str, ...]) -> str:
    given = [name for name in names if name in p]
    if len(given) != 1:
        raise ModelError(
            key,
            f"{what} needs exactly one of {', '.join(names)}; given: {', '.join(given) or 'none'}",
        )
    return given[0]


def _finite(key: str, value: object) -> float:
    ok = isinstance(value, int | float) and not isinstance(value, bool)
    number = float(value) if ok else math.nan  # type: ignore[arg-type]
    if not math.isfinite(number):
        raise ModelError(key, f"must be a finite number, got {shown(value)}")
    return number


def _check_lognormal(key: str, p: Params) -> dict[str, Any]:
    pairs = (("mean", "sd"), ("mu", "sigma"))
    given = [pair for pair in pairs if any(name in p for name in pair)]
    if len(given) != 1 or not all(name in p for name in given[0]):
        raise ModelError(
            key,
            "lognormal needs mean and sd (of the delay) or mu and sigma (of its logarithm); "
            f"given: {', '.join(p) or 'none'}",
        )
    if given[0] == ("mean", "sd"):
        mean = _number(f"{key}.mean", p["mean"])
        sd = _number(f"{key}.sd", p["sd"])
        mu, sigma = _lognormal_of(mean, sd)
        if sigma == 0.0:
            raise ModelError(f"{key}.sd", f"{sd!r} is too small beside the mean {mean!r}")
        if not (math.isfinite(mu) and math.isfinite(sigma)):
            raise ModelError(f"{key}.sd", f"{sd!r} is too large beside the mean {mean!r}")
        return {"mean": mean, "sd": sd}
    return {"mu": _finite(f"{key}.mu", p["mu"]), "sigma": _number(f"{key}.sigma", p["sigma"])}


def _lognormal_of(mean: float, sd: float) -> tuple[float, float]:
    """mu and sigma of the lognormal of this mean and standard deviation."""
    ratio = sd / mean
    # Past 1e150 the square overflows; log1p(r^2) is then 2 ln r to the last bit.
    spread = math.log1p(ratio * ratio) if ratio < 1e150 else 2.0 * math.log(ratio)
    return math.log(mean) - spread / 2.0, math.sqrt(spread)


def _native_lognormal(p: Params) -> Any:
    if "mu" in p:
        return _tavoq().Lognormal(p["mu"], p["sigma"])
    return _tavoq().Lognormal(*_lognormal_of(p["mean"], p["sd"]))


def _describe_lognormal(p: Params, suffix: str, unit: str) -> str:
    if "mu" in p:
        return f"lognormal, mu {p['mu']:g}, sigma {p['sigma']:g} (of ln t)"
    return f"lognormal, mean {p['mean']:g}{suffix}, sd {p['sd']:g}{suffix}"


GAMMA_SCALES = ("scale", "rate", "mean")


def _check_gamma(key: str, p: Params) -> dict[str, Any]:
    if "shape" not in p:
        raise ModelError(key, "missing parameter shape of gamma (with one of scale, rate, mean)")
    shape = _number(f"{key}.shape", p["shape"])
    name = _one_of(key, p, "gamma, besides shape,", GAMMA_SCALES)
    checked = {"shape": shape, name: _number(f"{key}.{name}", p[name])}
    scale = _gamma_scale(checked)
    if scale == 0.0 or not math.isfinite(scale):
        raise ModelError(f"{key}.{name}", f"{checked[name]!r} is out of range")
    return checked


def _gamma_scale(p: Params) -> float:
    if "scale" in p:
        return float(p["scale"])
    if "rate" in p:
        return 1.0 / p["rate"]
    return p["mean"] / p["shape"]


def _describe_gamma(p: Params, suffix: str, unit: str) -> str:
    shape = p["shape"]
    erlang = " (Erlang)" if float(shape).is_integer() else ""
    if "rate" in p:
        per = f" per {unit}" if unit else ""
        return f"gamma{erlang}, shape {shape:g}, rate {p['rate']:g}{per}"
    name = "scale" if "scale" in p else "mean"
    return f"gamma{erlang}, shape {shape:g}, {name} {p[name]:g}{suffix}"


def _check_demand(key: str, p: Params) -> dict[str, Any]:
    value = _number(f"{key}.probability", p["probability"])
    if value > 1:
        raise ModelError(f"{key}.probability", f"must be at most 1, got {shown(p['probability'])}")
    return {"probability": value}


def _native_demand(p: Params) -> Any:
    # A uniform delay on [1 - 1/p, 1): the run's first draw u gives u/p + 1 - 1/p, which is
    # below 0 (never, at the start of a run) when u < 1 - p and truncates to 0 otherwise.
    # So the failure at time 0 comes from the run's own generator with probability p,
    # rounded down to the draws' resolution of 2**-24.
    probability = p["probability"]
    return _tavoq().Uniform(1.0 - 1.0 / probability, 1.0)


KINDS: dict[str, DistributionKind] = {
    "exponential": DistributionKind(
        ("mttf", "mean", "rate"),
        _check_exponential,
        _native_exponential,
        _describe_exponential,
        needs_all=False,
    ),
    "weibull": DistributionKind(
        ("scale", "shape"),
        _numbers("scale", "shape"),
        lambda p: _tavoq().Weibull(p["scale"], p["shape"]),
        lambda p, suffix, unit: f"weibull, scale {p['scale']:g}{suffix}, shape {p['shape']:g}",
    ),
    "normal": DistributionKind(
        ("mean", "stddev"),
        _numbers("mean", "stddev"),
        lambda p: _tavoq().Normal(p["mean"], p["stddev"]),
        lambda p, suffix, unit: (
            f"normal, mean {p['mean']:g}{suffix}, stddev {p['stddev']:g}{suffix}"
        ),
    ),
    "uniform": DistributionKind(
        ("low", "high"),
        _check_uniform,
        lambda p: _tavoq().Uniform(p["low"], p["high"]),
        lambda p, suffix, unit: f"uniform, {p['low']:g} to {p['high']:g}{suffix}",
    ),
    "inspection": DistributionKind(
        ("interval",),
        lambda key, p: {
            "interval": check_integer(f"{key}.interval", p["interval"], 1, error=ModelError)
        },
        lambda p: _tavoq().Inspection(p["interval"]),
        lambda p, suffix, unit: f"inspection every {p['interval']}{suffix}",
    ),
    "maintenance": DistributionKind(
        ("times",),
        _check_maintenance,
        lambda p: _tavoq().Maintenance(list(p["times"])),
        lambda p, suffix, unit: (
            f"maintenance after one of {', '.join(str(t) for t in p['times'])}{suffix}"
        ),
    ),
    "fixed": DistributionKind(
        ("at",),
        lambda key, p: {"at": check_integer(f"{key}.at", p["at"], 0, error=ModelError)},
        lambda p: _tavoq().InstantaneousFailure(p["at"]),
        lambda p, suffix, unit: f"fixed, at {p['at']}{suffix}",
    ),
    "lognormal": DistributionKind(
        ("mean", "sd", "mu", "sigma"),
        _check_lognormal,
        _native_lognormal,
        _describe_lognormal,
        needs_all=False,
    ),
    "gamma": DistributionKind(
        ("shape", *GAMMA_SCALES),
        _check_gamma,
        lambda p: _tavoq().Gamma(p["shape"], _gamma_scale(p)),
        _describe_gamma,
        needs_all=False,
    ),
    "constant": DistributionKind(
        ("delay",),
        lambda key, p: {"delay": _number(f"{key}.delay", p["delay"], positive=False)},
        lambda p: _tavoq().Constant(p["delay"]),
        lambda p, suffix, unit: f"constant, {p['delay']:g}{suffix} after entering the state",
    ),
    "demand": DistributionKind(
        ("probability",),
        _check_demand,
        _native_demand,
        lambda p, suffix, unit: f"demand at time 0, probability {p['probability']:g}",
    ),
}

#: Distribution name -> its parameter names, in the order they are written.
DISTRIBUTIONS: dict[str, tuple[str, ...]] = {name: kind.params for name, kind in KINDS.items()}


def check_params(key: str, distribution: object, params: object) -> dict[str, Any]:
    """The checked parameters of a transition at ``key``; ModelError names what is wrong."""
    if not isinstance(distribution, str) or distribution not in KINDS:
        raise ModelError(
            f"{key}.distribution",
            unknown("distribution", distribution, "distributions", list(DISTRIBUTIONS)),
        )
    kind = KINDS[distribution]
    if not isinstance(params, Mapping):
        raise ModelError(key, f"parameters must be a mapping, got {shown(params)}")
    for name in params:
        if name not in kind.params:
            raise ModelError(
                f"{key}.{name}",
                unknown(f"parameter of {distribution}", name, "parameters", kind.params),
            )
    if kind.needs_all:
        for name in kind.params:
            if name not in params:
                raise ModelError(
                    key,
                    f"missing parameter {name} of {distribution} (needs {', '.join(kind.params)})",
                )
    return kind.check(key, params)


def native(distribution: str, params: Params) -> Any:
    """The tavoq distribution object for checked ``params``."""
    return KINDS[distribution].native(params)


def describe(distribution: str, params: Params, unit: str = "") -> str:
    """``weibull, scale 2500 h, shape 2``-style text for checked ``params``."""
    return KINDS[distribution].describe(params, f" {unit}" if unit else "", unit)
