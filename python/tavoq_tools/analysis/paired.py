"""Estimates from two batches run on the same seeds: run i of one paired with run i of the
other, so that what the runs share cancels out of the difference.

Each pair of runs is one independent sample, so the intervals are over pairs: a Student t
interval for a mean difference, the delta method for a ratio of two means (the ratio's
linearised per-pair residual a_i - R b_i, over pairs). Per-run values are fractions of the
horizon in [0, 1] (downtime, or whether the run failed).
"""

from __future__ import annotations

import math

import numpy as np

from ..results.intervals import none_seen_bound, student_t_quantile
from ..results.summary import T_RUNS, Estimate

__all__ = [
    "EQUAL_IN_EVERY_RUN",
    "PAIRED_RATIO",
    "PAIRED_T",
    "mean_difference",
    "mean_over_runs",
    "ratio_of_means",
]

PAIRED_T = "Student t over paired runs"
PAIRED_RATIO = "delta method over paired runs"
EQUAL_IN_EVERY_RUN = "exact: the same in every run"
NONE_IN_BELOW = "Clopper-Pearson bound below"


def _check(a: np.ndarray, b: np.ndarray) -> int:
    if a.shape != b.shape or a.ndim != 1:
        raise ValueError(f"paired runs must be two equal 1-d arrays, got {a.shape}, {b.shape}")
    return len(a)


def mean_over_runs(a: np.ndarray, confidence: float = 0.95) -> Estimate:
    """mean(a) over runs with its Student t interval (exact when every run gives the same)."""
    e = mean_difference(a, np.zeros_like(a, dtype=float), confidence)
    return Estimate(e.value, e.lower, e.upper, T_RUNS if e.method == PAIRED_T else e.method)


def mean_difference(a: np.ndarray, b: np.ndarray, confidence: float = 0.95) -> Estimate:
    """mean(a) - mean(b) over pairs, with its t interval; exact when every pair differs by
    the same amount (a node that never matters differs by 0 in every run)."""
    n = _check(a, b)
    d = np.asarray(a, dtype=float) - np.asarray(b, dtype=float)
    mean = float(d.mean()) if n else math.nan
    if n == 0 or bool(np.all(d == d[0])):
        return Estimate(mean, mean, mean, EQUAL_IN_EVERY_RUN)
    if n < 2:
        return Estimate(mean, None, None, PAIRED_T)
    se = float(d.std(ddof=1)) / math.sqrt(n)
    half = student_t_quantile(0.5 + confidence / 2.0, n - 1) * se
    return Estimate(mean, max(-1.0, mean - half), min(1.0, mean + half), PAIRED_T)


def ratio_of_means(
    a: np.ndarray, b: np.ndarray, confidence: float = 0.95, *, low: float = 0.0
) -> Estimate | None:
    """sum(a) / sum(b) over pairs with its delta-method interval, its lower end at least
    ``low``.

    None when b is 0 in every run and a is too (nothing to compare). When b is 0 in every
    run and a is not, the ratio is infinite; its lower bound is mean(a) over the exact upper
    bound of a mean of fractions that were 0 in all n runs (Clopper-Pearson)."""
    n = _check(a, b)
    a = np.asarray(a, dtype=float)
    b = np.asarray(b, dtype=float)
    total_a, total_b = float(a.sum()), float(b.sum())
    if total_b == 0.0:
        if total_a == 0.0:
            return None
        bound = total_a / n / none_seen_bound(n, confidence)
        return Estimate(math.inf, bound, math.inf, NONE_IN_BELOW)
    ratio = total_a / total_b
    if bool(np.all(a == ratio * b)):
        return Estimate(ratio, ratio, ratio, EQUAL_IN_EVERY_RUN)
    if n < 2:
        return Estimate(ratio, None, None, PAIRED_RATIO)
    residual = a - ratio * b
    se = float(np.sqrt(np.sum(residual * residual) / (n - 1) / n)) / (total_b / n)
    half = student_t_quantile(0.5 + confidence / 2.0, n - 1) * se
    return Estimate(ratio, max(low, ratio - half), ratio + half, PAIRED_RATIO)
