"""Interval methods, each written once: the normal and Student t quantiles, the Wilson score
interval of a binomial proportion, the Poisson interval of a count and the bound for
"nothing seen in n runs".

The Wilson interval is used rather than the normal approximation because unavailabilities sit
close to 0 (or 1), where the normal interval collapses to zero width or leaves [0, 1].
"""

from __future__ import annotations

import math
from statistics import NormalDist
from typing import Any

import numpy as np


def normal_quantile(p: float) -> float:
    """Quantile of the standard normal distribution."""
    return NormalDist().inv_cdf(p)


def critical_value(confidence: float) -> float:
    """z such that a standard normal lies within +-z with probability ``confidence``."""
    if not 0.0 < confidence < 1.0:
        raise ValueError("confidence must lie strictly between 0 and 1")
    return normal_quantile(0.5 + confidence / 2.0)


def wilson_bands(
    successes: np.ndarray | float, trials: int, z: float
) -> tuple[np.ndarray, np.ndarray]:
    """Wilson score bounds for ``successes`` out of ``trials`` (arrays allowed; ``successes``
    may be fractional, a mean times ``trials``). At 0 or ``trials`` the bound is exact: rounding
    would leave it a hair off."""
    k = np.asarray(successes, dtype=np.float64)
    p = k / trials
    z2n = z * z / trials
    centre = (p + z2n / 2.0) / (1.0 + z2n)
    spread = np.maximum(p * (1.0 - p), 0.0) / trials + z2n / (4.0 * trials)
    half = z / (1.0 + z2n) * np.sqrt(spread)
    lower = np.where(k <= 0, 0.0, np.clip(centre - half, 0.0, 1.0))
    upper = np.where(k >= trials, 1.0, np.clip(centre + half, 0.0, 1.0))
    return lower, upper


def wilson_interval(failures: int, trials: int, confidence: float = 0.95) -> tuple[float, float]:
    """Wilson score interval of a binomial proportion, clamped to [0, 1]."""
    if trials <= 0:
        raise ValueError("trials must be positive")
    if not 0 <= failures <= trials:
        raise ValueError("failures must lie between 0 and trials")
    lower, upper = wilson_bands(failures, trials, critical_value(confidence))
    return float(lower), float(upper)


def _t_two_sided(t: float, df: int) -> float:
    """P(|T| <= t) for Student's t with integer df (closed form, Abramowitz & Stegun 26.7.3-4)."""
    theta = math.atan(t / math.sqrt(df))
    s, c2 = math.sin(theta), math.cos(theta) ** 2
    total, term = 1.0, 1.0
    if df % 2 == 0:
        for k in range(1, (df - 2) // 2 + 1):
            term *= (2 * k - 1) / (2 * k) * c2
            total += term
        return s * total
    if df == 1:
        return 2.0 * theta / math.pi
    for k in range(1, (df - 3) // 2 + 1):
        term *= (2 * k) / (2 * k + 1) * c2
        total += term
    return 2.0 / math.pi * (theta + s * math.cos(theta) * total)


def student_t_quantile(p: float, df: int) -> float:
    """Quantile of Student's t distribution with ``df`` (a positive int) degrees of freedom."""
    if not 0.0 < p < 1.0:
        raise ValueError("p must lie strictly between 0 and 1")
    if df < 1 or int(df) != df:
        raise ValueError("df must be a positive integer")
    if p < 0.5:
        return -student_t_quantile(1.0 - p, df)
    if p == 0.5:
        return 0.0
    z = normal_quantile(p)
    if df > 300:
        # Cornish-Fisher expansion; the closed form would need ~df terms per evaluation.
        g1 = (z**3 + z) / 4
        g2 = (5 * z**5 + 16 * z**3 + 3 * z) / 96
        g3 = (3 * z**7 + 19 * z**5 + 17 * z**3 - 15 * z) / 384
        return z + g1 / df + g2 / df**2 + g3 / df**3
    target = 2.0 * p - 1.0
    lo, hi = 0.0, max(1.0, z)
    while _t_two_sided(hi, df) < target:
        lo, hi = hi, hi * 2.0
    for _ in range(200):
        mid = (lo + hi) / 2.0
        if _t_two_sided(mid, df) < target:
            lo = mid
        else:
            hi = mid
        if hi - lo <= 1e-13 * hi:
            break
    return (lo + hi) / 2.0


def none_seen_bound(n: int, confidence: float) -> float:
    """Two-sided Clopper-Pearson upper bound of a probability after 0 successes in n trials."""
    return 1.0 - ((1.0 - confidence) / 2.0) ** (1.0 / n)


def _poisson_cdf(k: int, lam: float) -> float:
    if lam <= 0.0:
        return 1.0
    log_lam = math.log(lam)
    return math.fsum(math.exp(i * log_lam - lam - math.lgamma(i + 1)) for i in range(k + 1))


def poisson_interval(count: int, confidence: float) -> tuple[float, float]:
    """Two-sided interval for the mean of a Poisson variable observed as ``count``.

    Exact (Garwood) for counts up to 30, by bisection on the Poisson distribution function;
    above that the Wilson-Hilferty form of the chi-square quantiles, accurate to well under
    one percent there.
    """
    alpha = 1.0 - confidence
    if count == 0:
        return 0.0, -math.log(alpha / 2.0)
    if count > 30:
        z = critical_value(confidence)

        def chi2(nu: float, zq: float) -> float:
            c = 2.0 / (9.0 * nu)
            return nu * (1.0 - c + zq * math.sqrt(c)) ** 3

        return chi2(2 * count, -z) / 2.0, chi2(2 * count + 2, z) / 2.0

    def solve(f: Any) -> float:  # f falls from positive to negative as lam grows
        lo, hi = 0.0, count + 20.0 * math.sqrt(count) + 20.0
        for _ in range(100):
            mid = (lo + hi) / 2.0
            lo, hi = (mid, hi) if f(mid) > 0 else (lo, mid)
        return (lo + hi) / 2.0

    lower = solve(lambda lam: alpha / 2.0 - (1.0 - _poisson_cdf(count - 1, lam)))
    upper = solve(lambda lam: _poisson_cdf(count, lam) - alpha / 2.0)
    return lower, upper
