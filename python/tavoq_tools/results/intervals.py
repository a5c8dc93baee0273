"""Interval methods, each written once: the normal and Student t quantiles, the Wilson score
and Clopper-Pearson intervals of a binomial proportion and the two combined
(``binomial_bands``), the Poisson interval of a count and the bound for "nothing seen in n
runs".

A count of runs (runs failed at t, runs failed by t) is binomial. The normal approximation
collapses to zero width near 0 and 1, where unavailabilities sit. The Wilson score interval
stays inside [0, 1] and covers well at moderate counts, but not at small ones: after one
success its lower end is about 0.18 / n, so a true proportion a little below that (an expected
count near 0.2) is covered only when nothing is seen, about 84% of the time at 95%. The
Clopper-Pearson interval is exact (it covers at least the nominal share for every true
proportion) but needs the binomial distribution function. ``binomial_bands`` therefore uses
Clopper-Pearson where the count or its complement is small (at most ``EXACT_COUNTS``), where a
few terms of that function give it, and Wilson elsewhere, where Wilson is good and cheap.
"""

from __future__ import annotations

import functools
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


def wilson_bounds(successes: float, trials: int, z: float) -> tuple[float, float]:
    """``wilson_bands`` for one count, in plain floats: the same operations in the same order,
    so the same bounds, without numpy's cost per call (a summary makes one per component)."""
    k = float(successes)
    p = k / trials
    z2n = z * z / trials
    centre = (p + z2n / 2.0) / (1.0 + z2n)
    spread = max(p * (1.0 - p), 0.0) / trials + z2n / (4.0 * trials)
    half = z / (1.0 + z2n) * math.sqrt(spread)
    lower = 0.0 if k <= 0 else min(max(centre - half, 0.0), 1.0)
    upper = 1.0 if k >= trials else min(max(centre + half, 0.0), 1.0)
    return lower, upper


def _check_binomial(successes: int, trials: int, confidence: float) -> None:
    if trials <= 0:
        raise ValueError("trials must be positive")
    if not 0 <= successes <= trials:
        raise ValueError("successes must lie between 0 and trials")
    critical_value(confidence)  # checks the confidence


def wilson_interval(failures: int, trials: int, confidence: float = 0.95) -> tuple[float, float]:
    """Wilson score interval of a binomial proportion, clamped to [0, 1]."""
    _check_binomial(failures, trials, confidence)
    lower, upper = wilson_bands(failures, trials, critical_value(confidence))
    return float(lower), float(upper)


# Counts (of successes or of failures) up to which ``binomial_bands`` gives the exact
# Clopper-Pearson bounds. Computed exactly over expected counts 0.05 to 60 for 40, 400 and
# 4,000 trials, Wilson alone covers 83.8% at worst (expected count 0.18); with exact bounds up
# to a count of 5 the worst is 92.9%, up to 10 it is 93.5%, up to 20 93.7%: what is left is
# Wilson's own ripple at moderate counts.
EXACT_COUNTS = 10


def _binomial_roots(js: np.ndarray, trials: int, targets: np.ndarray) -> np.ndarray:
    """For each (j, target): the p at which P(X <= j) = target, X ~ Binomial(trials, p),
    where 0 <= j < trials. The cost grows with the largest j (terms of the sum).

    The distribution function falls from 1 to 0 as p goes from 0 to 1, so bisection finds
    the roots, all at once. It halves log p between 1e-30 and 1, so 64 steps leave each root
    within a relative 1e-17, however small. Every root lies above 1e-30: the smallest, the
    lower end after one success, is about (1 - confidence) / (2 trials), above 1e-30 for any
    confidence up to 0.9999 and trials up to 10**25."""
    i = np.arange(int(js.max()) + 1, dtype=np.float64)
    log_choose = np.array(
        [math.lgamma(trials + 1) - math.lgamma(k + 1) - math.lgamma(trials - k + 1) for k in i]
    )
    unused = np.where(i[None, :] <= js[:, None], 0.0, -np.inf)
    lo, hi = np.full(len(js), math.log(1e-30)), np.zeros(len(js))
    for _ in range(64):
        mid = (lo + hi) / 2.0
        p = np.exp(mid)[:, None]
        terms = np.exp(log_choose + unused + i * np.log(p) + (trials - i) * np.log1p(-p))
        above = terms.sum(axis=1) > targets
        lo = np.where(above, mid, lo)
        hi = np.where(above, hi, mid)
    return np.exp((lo + hi) / 2.0)


def _clopper_pearson(
    successes: np.ndarray, trials: int, confidence: float
) -> tuple[np.ndarray, np.ndarray]:
    """Bounds for each count of ``successes`` (an int array)."""
    alpha = 1.0 - confidence
    k = np.asarray(successes, dtype=np.int64)
    # Bounds for k and for trials - k mirror each other; the smaller count needs fewer terms.
    mirrored = k > trials - k
    m = np.where(mirrored, trials - k, k)
    lower, upper = _clopper_pearson_small(m, trials, alpha)
    return np.where(mirrored, 1.0 - upper, lower), np.where(mirrored, 1.0 - lower, upper)


def _clopper_pearson_small(
    m: np.ndarray, trials: int, alpha: float
) -> tuple[np.ndarray, np.ndarray]:
    # For counts m of at most half the trials, so that the upper end is below 1.
    lower = np.zeros(len(m))
    # Lower end: P(X >= m) = alpha / 2, that is P(X <= m - 1) = 1 - alpha / 2; 0 after none.
    some = m > 0
    if some.any():
        lower[some] = _binomial_roots(m[some] - 1, trials, np.full(some.sum(), 1 - alpha / 2))
    # Upper end: P(X <= m) = alpha / 2.
    upper = _binomial_roots(m, trials, np.full(len(m), alpha / 2))
    return lower, upper


def clopper_pearson_interval(
    successes: int, trials: int, confidence: float = 0.95
) -> tuple[float, float]:
    """Exact two-sided Clopper-Pearson interval of a binomial proportion. Its cost grows with
    the smaller of ``successes`` and ``trials - successes`` (terms of the distribution
    function), so it is meant for small counts; ``binomial_bands`` uses it there."""
    _check_binomial(successes, trials, confidence)
    lower, upper = _clopper_pearson(np.array([successes]), trials, confidence)
    return float(lower[0]), float(upper[0])


def binomial_bands(
    successes: np.ndarray | int, trials: int, confidence: float
) -> tuple[np.ndarray, np.ndarray]:
    """Bounds for integer ``successes`` out of ``trials`` (arrays allowed): Clopper-Pearson
    where the count or ``trials`` minus it is at most EXACT_COUNTS, Wilson score elsewhere.

    A curve of any length needs the exact bounds of EXACT_COUNTS + 1 counts only, computed
    at once and looked up, so it costs little more than Wilson alone."""
    k = np.asarray(successes, dtype=np.int64)
    lower, upper = wilson_bands(k, trials, critical_value(confidence))
    lower, upper = np.atleast_1d(lower).copy(), np.atleast_1d(upper).copy()
    flat = np.atleast_1d(k)
    m = np.minimum(flat, trials - flat)
    small = m <= EXACT_COUNTS
    if small.any():
        # One table of the exact bounds for the counts 0 .. EXACT_COUNTS; a count near
        # ``trials`` takes the mirror image of its complement's.
        table = np.arange(min(EXACT_COUNTS, trials // 2) + 1)
        low, high = _clopper_pearson_small(table, trials, 1.0 - confidence)
        mirrored = flat[small] > trials - flat[small]
        m = m[small]
        lower[small] = np.where(mirrored, 1.0 - high[m], low[m])
        upper[small] = np.where(mirrored, 1.0 - low[m], high[m])
    if k.ndim == 0:
        return lower[0], upper[0]
    return lower, upper


def binomial_interval(
    successes: int, trials: int, confidence: float = 0.95
) -> tuple[float, float]:
    """The interval ``binomial_bands`` gives for one count."""
    _check_binomial(successes, trials, confidence)
    lower, upper = binomial_bands(successes, trials, confidence)
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


@functools.lru_cache(maxsize=256)  # a summary asks for the same quantile once per row
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
    # 1 - x^(1/n) without the cancellation of 1 - x^(1/n) for large n.
    return -math.expm1(math.log((1.0 - confidence) / 2.0) / n)


def _poisson_cdf(k: int, lam: float) -> float:
    if lam <= 0.0:
        return 1.0
    log_lam = math.log(lam)
    return math.fsum(math.exp(i * log_lam - lam - math.lgamma(i + 1)) for i in range(k + 1))


@functools.lru_cache(maxsize=4096)  # reports ask again for the same small counts
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
