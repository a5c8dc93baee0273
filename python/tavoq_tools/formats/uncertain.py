"""Parameters known only within a distribution (state-of-knowledge uncertainty).

In a model file, a law's numeric parameter (of a transition or a common cause) may be a
table instead of a number:

- ``{ lognormal = 1000, error_factor = 3 }``: median 1000, 95th percentile / median = 3 (the
  form of the field);
- ``{ uniform = [500, 1500] }``, ``{ loguniform = [100, 10000] }``;
- ``{ gamma = [shape, scale] }``, ``{ beta = [alpha, beta] }`` (for probabilities),
  ``{ triangular = [low, mode, high] }``;
- ``{ normal = [mean, sd] }``: a normal law cut at 0 (a draw is never below 0; its mean is
  the cut law's, a little above ``mean`` when ``sd`` is not small beside it);
- ``{ histogram = [b0, b1, ..., bn], weights = [w1, ..., wn] }``: uniform within each bin
  [b(i-1), bi], bin i drawn with odds wi;
- ``group = "pumps"`` beside any of them: the parameters of one group move together, one
  draw for all (components of one type), each through its own law.

An ordinary run takes each such parameter at its mean; ``tavoq run --uncertainty`` draws
them (tavoq_tools.analysis.uncertainty).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from statistics import NormalDist
from typing import Any

import numpy as np

from ..errors import ModelError, shown

__all__ = ["LAWS", "Uncertain", "find_uncertain", "lognormal_of_mean", "with_means"]

#: Law -> the number of values it takes (1: a number beside ``error_factor``).
LAWS = {
    "lognormal": 1,
    "uniform": 2,
    "loguniform": 2,
    "gamma": 2,
    "beta": 2,
    "triangular": 3,
    "normal": 2,
    "histogram": 0,  # any number of bounds, with weights
}
_OPTIONS = {"error_factor", "group", "weights"}
_Z95 = NormalDist().inv_cdf(0.95)
_STANDARD = NormalDist()


def _bins(values: tuple[float, ...]) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """A histogram's values, its n + 1 bounds then its n weights, apart."""
    n = (len(values) - 1) // 2
    return values[: n + 1], values[n + 1 :]


@dataclass(frozen=True)
class Uncertain:
    """One uncertain parameter: its key path, law, the law's values and its group (or "")."""

    key: str
    law: str
    values: tuple[float, ...]
    group: str = ""

    @property
    def mean(self) -> float:
        v = self.values
        if self.law == "lognormal":
            return v[0] * math.exp(self._sigma**2 / 2)
        if self.law == "uniform":
            return (v[0] + v[1]) / 2
        if self.law == "loguniform":
            return v[0] if v[0] == v[1] else (v[1] - v[0]) / math.log(v[1] / v[0])
        if self.law == "gamma":
            return v[0] * v[1]
        if self.law == "beta":
            return v[0] / (v[0] + v[1])
        if self.law == "normal":
            mean, sd = v
            alpha = -mean / sd  # the cut at 0, in standard deviations
            return mean + sd * _STANDARD.pdf(alpha) / (1 - _STANDARD.cdf(alpha))
        if self.law == "histogram":
            bounds, weights = _bins(v)
            middles = (np.asarray(bounds[:-1]) + np.asarray(bounds[1:])) / 2
            return float(np.dot(middles, weights) / sum(weights))
        return sum(v) / 3  # triangular

    @property
    def _sigma(self) -> float:
        return math.log(self.values[1]) / _Z95

    def quantile(self, u: np.ndarray) -> np.ndarray:
        """The law's quantiles at probabilities ``u`` in (0, 1)."""
        u = np.asarray(u, dtype=float)
        v = self.values
        if self.law == "lognormal":
            z = np.array([NormalDist().inv_cdf(float(p)) for p in u.ravel()]).reshape(u.shape)
            return v[0] * np.exp(self._sigma * z)
        if self.law == "uniform":
            return v[0] + u * (v[1] - v[0])
        if self.law == "normal":
            below = _STANDARD.cdf(-v[0] / v[1])  # the mass cut off
            kept = [_STANDARD.inv_cdf(below + float(p) * (1 - below)) for p in u.ravel()]
            return np.maximum(v[0] + v[1] * np.array(kept).reshape(u.shape), 0.0)
        if self.law == "histogram":
            bounds, weights = np.asarray(_bins(v)[0]), np.asarray(_bins(v)[1])
            edges = np.concatenate([[0.0], np.cumsum(weights) / weights.sum()])
            # The bin whose share of the odds holds u (a bin of weight 0 holds none).
            i = np.clip(np.searchsorted(edges, u, side="right") - 1, 0, len(weights) - 1)
            within = (u - edges[i]) / np.maximum(edges[i + 1] - edges[i], 1e-300)
            return bounds[i] + np.clip(within, 0.0, 1.0) * (bounds[i + 1] - bounds[i])
        if self.law == "loguniform":
            return np.exp(math.log(v[0]) + u * (math.log(v[1]) - math.log(v[0])))
        if self.law == "triangular":
            low, mode, high = v
            cut = (mode - low) / (high - low) if high > low else 0.5
            left = low + np.sqrt(u * (high - low) * (mode - low))
            right = high - np.sqrt((1 - u) * (high - low) * (high - mode))
            return np.where(u < cut, left, right)
        cdf = _gamma_cdf if self.law == "gamma" else _beta_cdf
        high = v[0] * v[1] * 50 + 50 * v[1] if self.law == "gamma" else 1.0
        return _invert(lambda x: cdf(x, v), u, 0.0, high)


def lognormal_of_mean(mean: float, error_factor: float, level: float) -> tuple[float, float]:
    """The median and the 95% error factor of the lognormal of mean ``mean`` whose ``level``
    quantile is ``error_factor`` times its median (the form that Open-PSA files use): with
    σ = ln(error_factor) / z_level, the median is mean·exp(−σ²/2) and the 95% error factor
    exp(z_0.95·σ). Needs mean > 0, error_factor > 1 and 0.5 < level < 1."""
    z = NormalDist().inv_cdf(level)
    sigma = math.log(error_factor) / z
    # At the 95% level the error factor is the field's already: kept as given, not
    # rounded through exp(log(...)).
    factor = error_factor if z == _Z95 else math.exp(_Z95 * sigma)
    return mean * math.exp(-(sigma**2) / 2), factor


def _invert(cdf: Any, u: np.ndarray, low: float, high: float) -> np.ndarray:
    """x with cdf(x) = u, by bisection on [low, high], each u at once."""
    lo = np.full(u.shape, low)
    hi = np.full(u.shape, high)
    for _ in range(80):
        mid = (lo + hi) / 2
        below = cdf(mid) < u
        lo = np.where(below, mid, lo)
        hi = np.where(below, hi, mid)
    return (lo + hi) / 2


def _gamma_cdf(x: np.ndarray, v: tuple[float, ...]) -> np.ndarray:
    """The regularized lower incomplete gamma P(shape, x / scale): its series below
    shape + 1, its continued fraction above (Numerical Recipes, sec. 6.2), each until its
    terms stop counting."""
    a = v[0]
    t = np.maximum(np.asarray(x, dtype=float) / v[1], 1e-300)
    out = np.empty_like(t)
    low = t < a + 1
    if low.any():
        s = t[low]
        term = np.full(s.shape, 1.0 / a)
        total = term.copy()
        for n in range(1, 10_000):
            term = term * s / (a + n)
            total = total + term
            if np.all(term <= 1e-16 * total):
                break
        out[low] = np.exp(a * np.log(s) - s - math.lgamma(a)) * total
    if (~low).any():
        s = t[~low]
        tiny = 1e-300
        b = s + 1 - a
        c = np.full(s.shape, 1 / tiny)
        d = 1 / b
        h = d.copy()
        for i in range(1, 10_000):
            an = -i * (i - a)
            b = b + 2
            d = an * d + b
            d = 1 / np.where(np.abs(d) < tiny, tiny, d)
            c = b + an / np.where(np.abs(c) < tiny, tiny, c)
            step = d * c
            h = h * step
            if np.all(np.abs(step - 1) <= 1e-15):
                break
        out[~low] = 1 - np.exp(a * np.log(s) - s - math.lgamma(a)) * h
    return np.clip(out, 0.0, 1.0)


def _beta_cdf(x: np.ndarray, v: tuple[float, ...]) -> np.ndarray:
    """The regularized incomplete beta I_x(alpha, beta) by its continued fraction
    (Numerical Recipes, sec. 6.4), through the symmetry where it converges slowly."""
    a, b = v
    x = np.clip(np.asarray(x, dtype=float), 1e-300, 1 - 1e-16)
    swap = x > (a + 1) / (a + b + 2)
    xs = np.where(swap, 1 - x, x)
    aa = np.where(swap, b, a)
    bb = np.where(swap, a, b)
    front = np.exp(
        np.vectorize(math.lgamma)(aa + bb)
        - np.vectorize(math.lgamma)(aa)
        - np.vectorize(math.lgamma)(bb)
        + aa * np.log(xs)
        + bb * np.log1p(-xs)
    )
    tiny = 1e-300
    c = np.ones_like(xs)
    d = 1 - (aa + bb) * xs / (aa + 1)
    d = 1 / np.where(np.abs(d) < tiny, tiny, d)
    h = d.copy()
    for m in range(1, 2000):
        num = m * (bb - m) * xs / ((aa + 2 * m - 1) * (aa + 2 * m))
        d = 1 + num * d
        d = 1 / np.where(np.abs(d) < tiny, tiny, d)
        c = 1 + num / c
        h = h * d * c
        num = -(aa + m) * (aa + bb + m) * xs / ((aa + 2 * m) * (aa + 2 * m + 1))
        d = 1 + num * d
        d = 1 / np.where(np.abs(d) < tiny, tiny, d)
        c = 1 + num / c
        step = d * c
        h = h * step
        if np.all(np.abs(step - 1) <= 1e-15):
            break
    value = front * h / aa
    return np.clip(np.where(swap, 1 - value, value), 0.0, 1.0)


def _law(key: str, table: Mapping[str, Any]) -> Uncertain:
    laws = [k for k in table if k in LAWS]
    unknown = [k for k in table if k not in LAWS and k not in _OPTIONS]
    if len(laws) != 1 or unknown:
        raise ModelError(
            key,
            f"an uncertain parameter names one law ({', '.join(LAWS)}) and may add "
            f"error_factor (lognormal) and group; got {', '.join(map(str, table))}",
        )
    law = laws[0]
    given = table[law]
    if "weights" in table and law != "histogram":
        raise ModelError(f"{key}.weights", "goes with histogram only")
    if law == "histogram":
        return _histogram(key, table)
    values = [given] if LAWS[law] == 1 else given
    if not isinstance(values, list) or len(values) != LAWS[law]:
        form = {1: "a number", 2: "[a, b]", 3: "[low, mode, high]"}[LAWS[law]]
        raise ModelError(f"{key}.{law}", f"takes {form}, got {shown(given)}")
    for v in values:
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
            raise ModelError(f"{key}.{law}", f"must hold finite numbers, got {shown(given)}")
    numbers = tuple(float(v) for v in values)
    if law == "lognormal":
        ef = table.get("error_factor")
        if isinstance(ef, bool) or not isinstance(ef, (int, float)) or not ef > 1:
            raise ModelError(
                f"{key}.error_factor",
                f"a lognormal needs error_factor > 1 (95th percentile / median), got {shown(ef)}",
            )
        if not numbers[0] > 0:
            raise ModelError(f"{key}.lognormal", f"the median must be > 0, got {numbers[0]:g}")
        numbers = (numbers[0], float(ef))
    elif "error_factor" in table:
        raise ModelError(f"{key}.error_factor", "goes with lognormal only")
    rule = _broken_rule(law, numbers)
    if rule:
        raise ModelError(f"{key}.{law}", f"needs {rule}, got {shown(given)}")
    group = table.get("group", "")
    if not isinstance(group, str):
        raise ModelError(f"{key}.group", f"must be a name, got {shown(group)}")
    return Uncertain(key, law, numbers, group)


def _numbers(key: str, given: Any) -> tuple[float, ...]:
    if not isinstance(given, list) or not given:
        raise ModelError(key, f"takes a list of numbers, got {shown(given)}")
    for v in given:
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
            raise ModelError(key, f"must hold finite numbers, got {shown(given)}")
    return tuple(float(v) for v in given)


def _histogram(key: str, table: Mapping[str, Any]) -> Uncertain:
    bounds = _numbers(f"{key}.histogram", table["histogram"])
    weights = _numbers(f"{key}.weights", table.get("weights"))
    if len(bounds) < 2 or any(a >= b for a, b in zip(bounds, bounds[1:])):
        raise ModelError(
            f"{key}.histogram", f"needs at least 2 bounds, increasing, got {shown(bounds)}"
        )
    if len(weights) != len(bounds) - 1 or min(weights) < 0 or not sum(weights) > 0:
        raise ModelError(
            f"{key}.weights",
            f"needs one weight >= 0 per bin ({len(bounds) - 1}), not all 0, got {shown(weights)}",
        )
    group = table.get("group", "")
    if not isinstance(group, str):
        raise ModelError(f"{key}.group", f"must be a name, got {shown(group)}")
    return Uncertain(key, "histogram", bounds + weights, group)


def _broken_rule(law: str, v: tuple[float, ...]) -> str:
    """The rule the law's values break, or ""."""
    if law == "uniform" and not v[0] <= v[1]:
        return "low <= high"
    if law == "loguniform" and not 0 < v[0] <= v[1]:
        return "0 < low <= high"
    if law == "gamma" and not (v[0] > 0 and v[1] > 0):
        return "shape > 0 and scale > 0"
    if law == "beta" and not (v[0] > 0 and v[1] > 0):
        return "alpha > 0 and beta > 0"
    if law == "triangular" and not (v[0] <= v[1] <= v[2] and v[0] < v[2]):
        return "low <= mode <= high, low < high"
    if law == "normal" and not (v[0] > 0 and v[1] > 0):
        return "mean > 0 and sd > 0"
    return ""


def _parameter_tables(data: Mapping[str, Any]) -> list[tuple[str, dict[str, Any], str]]:
    """(key path of the table, the table, parameter name) for every table-valued entry of
    a transition or common cause."""
    found = []
    components = data.get("components")
    if isinstance(components, dict):
        for name, table in components.items():
            transitions = table.get("transitions") if isinstance(table, dict) else None
            for i, t in enumerate(transitions if isinstance(transitions, list) else []):
                if isinstance(t, dict):
                    found += [
                        (f"components.{name}.transitions[{i}]", t, k)
                        for k, v in t.items()
                        if isinstance(v, dict)
                    ]
    causes = data.get("common_cause")
    if isinstance(causes, dict):
        for name, table in causes.items():
            if isinstance(table, dict):
                found += [
                    (f"common_cause.{name}", table, k)
                    for k, v in table.items()
                    if isinstance(v, dict)
                ]
    return found


def find_uncertain(data: Mapping[str, Any]) -> list[Uncertain]:
    """The uncertain parameters of a model file's data, in file order; ModelError for a
    table that is not one."""
    return [_law(f"{key}.{name}", table[name]) for key, table, name in _parameter_tables(data)]


def with_means(data: Mapping[str, Any]) -> Mapping[str, Any]:
    """``data`` with every uncertain parameter at its mean (``data`` itself when it has
    none): what an ordinary run takes."""
    tables = _parameter_tables(data)
    if not tables:
        return data
    import copy

    data = copy.deepcopy(dict(data))
    for (key, _, name), parameter in zip(tables, find_uncertain(data), strict=True):
        holder = _resolve(data, key)
        holder[name] = parameter.mean
    return data


def _resolve(data: Mapping[str, Any], key: str) -> dict[str, Any]:
    """The table at a key path made by _parameter_tables (names without dots)."""
    head, _, rest = key.partition(".")
    here: Any = data[head]
    for part in rest.split("."):
        name, _, index = part.partition("[")
        here = here[name]
        if index:
            here = here[int(index[:-1])]
    return here
