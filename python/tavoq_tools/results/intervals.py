"""Binomial and Student t helpers, and the point unavailability curve of a batch's counts.

A batch runner returns, for every time unit t, the number c[t] of runs in which the system
was failed at t. Over N independent runs c[t] is a binomial draw, so the point unavailability
c[t] / N gets a binomial standard error and a Wilson score interval. The Wilson interval is
used rather than the normal approximation because unavailabilities sit close to 0 (or 1),
where the normal interval collapses to zero width or leaves [0, 1].

The mean unavailability over the horizon cannot be taken from these counts: the time units of
one run are strongly correlated. It comes from the per-run downtime of ``runnerStatistics``
(see ``summary.summarize``).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from statistics import NormalDist

def _z(confidence: float) -> float:
    if not 0.0 < confidence < 1.0:
        raise ValueError("confidence must lie strictly between 0 and 1")
    return NormalDist().inv_cdf(0.5 + confidence / 2.0)


def binomial_stderr(failures: int, trials: int) -> float:
    """Standard error sqrt(p (1 - p) / n) of the proportion p = failures / trials."""
    if trials <= 0:
        raise ValueError("trials must be positive")
    p = failures / trials
    return math.sqrt(p * (1.0 - p) / trials)


def wilson_interval(failures: int, trials: int, confidence: float = 0.95) -> tuple[float, float]:
    """Wilson score interval of a binomial proportion, clamped to [0, 1]."""
    if trials <= 0:
        raise ValueError("trials must be positive")
    if not 0 <= failures <= trials:
        raise ValueError("failures must lie between 0 and trials")
    z = _z(confidence)
    p = failures / trials
    z2n = z * z / trials
    centre = (p + z2n / 2.0) / (1.0 + z2n)
    half = z / (1.0 + z2n) * math.sqrt(p * (1.0 - p) / trials + z2n / (4.0 * trials))
    # At 0 or n failures one end is exactly 0 or 1; rounding would leave it a hair off.
    lower = 0.0 if failures == 0 else max(0.0, centre - half)
    upper = 1.0 if failures == trials else min(1.0, centre + half)
    return lower, upper


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
    z = NormalDist().inv_cdf(p)
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


@dataclass(frozen=True)
class UnavailabilityCurve:
    """Point unavailability at every time unit with its standard error and Wilson interval."""

    counts: tuple[int, ...]
    n_runs: int
    confidence: float
    value: tuple[float, ...]
    stderr: tuple[float, ...]
    lower: tuple[float, ...]
    upper: tuple[float, ...]

    def __len__(self) -> int:
        return len(self.counts)


def point_unavailability(
    counts: Sequence[int], n_runs: int, confidence: float = 0.95
) -> UnavailabilityCurve:
    """Turn the counts of a batch runner (over ``n_runs`` runs) into an unavailability curve."""
    if n_runs <= 0:
        raise ValueError("n_runs must be positive")
    counts = tuple(int(c) for c in counts)
    bad = [c for c in counts if not 0 <= c <= n_runs]
    if bad:
        raise ValueError(f"count {bad[0]} does not lie between 0 and n_runs = {n_runs}")
    intervals = [wilson_interval(c, n_runs, confidence) for c in counts]
    return UnavailabilityCurve(
        counts=counts,
        n_runs=n_runs,
        confidence=confidence,
        value=tuple(c / n_runs for c in counts),
        stderr=tuple(binomial_stderr(c, n_runs) for c in counts),
        lower=tuple(lo for lo, _ in intervals),
        upper=tuple(hi for _, hi in intervals),
    )
