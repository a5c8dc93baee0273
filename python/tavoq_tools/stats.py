"""Statistics of batch results: point unavailability and its mean over the horizon.

A batch runner returns, for every time unit t, the number c[t] of runs in which the system
was failed at t. Over N independent runs c[t] is a binomial draw, so the point unavailability
c[t] / N gets a binomial standard error and a Wilson score interval. The Wilson interval is
used rather than the normal approximation because unavailabilities sit close to 0 (or 1),
where the normal interval collapses to zero width or leaves [0, 1].

The mean unavailability over the horizon is the average of c[t] / N over t. Its uncertainty
cannot be taken from the per-time-unit intervals: the time units of one run are strongly
correlated (a pump that is down at t is likely down at t + 1), while the counts no longer say
which run was failed when. Independent batches restore the missing information: each batch
mean is the average of its runs' time-averages, the batch means are independent and equally
distributed, and their spread gives a Student t interval (see ``run_batches`` and
``mean_unavailability``).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from statistics import NormalDist

INT32_MIN = -(2**31)


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


def _wrap_int32(value: int) -> int:
    # The engine adds run indices to the seed modulo 2**32; the binding takes a signed 32-bit int.
    return (value - INT32_MIN) % 2**32 + INT32_MIN


def batch_seeds(seed: int, n_batches: int, runs_per_batch: int) -> list[int]:
    """First seeds of batches whose runs get the disjoint seeds seed, seed + 1, ... in turn.

    Batch j starts at seed + j * runs_per_batch, so the k batches together cover exactly the
    runs of one call with k * runs_per_batch runs and the same seed.
    """
    return [_wrap_int32(seed + j * runs_per_batch) for j in range(n_batches)]


def run_batches(
    runner: Callable[..., list[int]],
    n_batches: int,
    runs_per_batch: int,
    sim_time: int,
    matrix,
    tree,
    seed: int,
) -> list[list[int]]:
    """Call ``runner`` (runnerParallelSim or runnerMultipleSim) once per batch, seeds disjoint."""
    if n_batches < 1 or runs_per_batch < 1:
        raise ValueError("n_batches and runs_per_batch must be positive")
    return [
        runner(runs_per_batch, sim_time, matrix, tree, s)
        for s in batch_seeds(seed, n_batches, runs_per_batch)
    ]


def combine_batches(batches: Sequence[Sequence[int]]) -> list[int]:
    """Element-wise sum of batch counts: the counts of all their runs taken together."""
    if not batches:
        raise ValueError("no batches given")
    lengths = {len(b) for b in batches}
    if len(lengths) != 1:
        raise ValueError("batches cover different horizons")
    return [sum(column) for column in zip(*batches, strict=True)]


@dataclass(frozen=True)
class MeanUnavailability:
    """Mean unavailability over the horizon with a Student t interval from batch means."""

    mean: float
    stderr: float
    lower: float
    upper: float
    confidence: float
    n_batches: int
    runs_per_batch: int
    batch_means: tuple[float, ...]


def mean_unavailability(
    batches: Sequence[Sequence[int]], runs_per_batch: int, confidence: float = 0.95
) -> MeanUnavailability:
    """Mean over the horizon of independent, equally sized batches, with a t interval.

    Each batch mean is sum(counts) / (runs_per_batch * horizon). With k >= 2 batches the
    interval is mean +- t(k - 1) * s / sqrt(k), s being the standard deviation of the batch
    means, clamped to [0, 1]. If no batch saw a failure (or all saw the same amount) the
    interval has zero width: then more runs are needed, not more confidence.
    """
    k = len(batches)
    if k < 2:
        raise ValueError("at least two batches are needed for an interval")
    if runs_per_batch <= 0:
        raise ValueError("runs_per_batch must be positive")
    horizon = len(batches[0])
    if horizon == 0 or any(len(b) != horizon for b in batches):
        raise ValueError("batches must cover one non-empty horizon")
    means = tuple(sum(b) / (runs_per_batch * horizon) for b in batches)
    grand = sum(means) / k
    s = math.sqrt(sum((m - grand) ** 2 for m in means) / (k - 1))
    se = s / math.sqrt(k)
    half = student_t_quantile(0.5 + confidence / 2.0, k - 1) * se
    return MeanUnavailability(
        mean=grand,
        stderr=se,
        lower=max(0.0, grand - half),
        upper=min(1.0, grand + half),
        confidence=confidence,
        n_batches=k,
        runs_per_batch=runs_per_batch,
        batch_means=means,
    )
