"""What one batch of runs says about the system, each number with a 95% interval and its method.

The counts come from ``BatchStatistics`` (or the native result it copies). Runs are independent
and identically distributed, so every estimate is built on what is known per run:

- point unavailability at t and the probability of a first failure by t are binomial
  proportions over runs: the exact Clopper-Pearson interval where the count of runs (or of
  the other runs) is at most 10, where the Wilson interval under-covers, else the Wilson score
  interval (``intervals.binomial_bands``);
- the mean unavailability, of the system, of each component and of each gate, and the
  expected number of system failures are means of one value per run (its downtime fraction,
  its failure count): Student t intervals over runs. The time units within one run are
  strongly correlated, so nothing is taken from them as samples. For the system the per-run
  values are at hand; for components and gates the engine sums each run's failed units and
  their square, which give the same mean and spread;
- MTBF (uptime / failures) and mean down time (downtime / failures) are ratios of two sums over
  runs: ratio estimators with a delta-method interval over runs;
- time to first failure T is counted in whole time units (a failure within unit t gives
  T = t). Runs that never failed are censored at the horizon H, so the mean is given as the
  mean of min(T, H), which equals the sum of R(t) over the horizon, with a Student t interval
  over runs (its per-run values follow from the first-failure histogram). The plain mean is
  given only when every run failed. Percentiles come with an order-statistic interval; one
  not reached within the horizon with the lower end of a one-sided one ("at least x");
- counts per run (failures of each component and gate, counted per unit for gates as for
  the system) are means of one count per run, and shares of the system failures (criticality
  of components and gates, cut-set shares) are ratios of two sums over runs, the run's count
  and its system failures: Student t and delta-method intervals over runs, from the engine's
  exact sums of each run's count squared and times its system failures. They follow the runs'
  spread, however over-dispersed (runs that fail many times, or not at all). Where few runs
  carry a mean (at most FEW_EFFECTIVE_RUNS in effect: (sum x)^2 / sum x^2, for counts and
  unavailabilities alike), a t interval is too narrow, and the interval is the hull of it and
  the binomial interval of that many runs, scaled to the mean; a share with at most
  EXACT_COUNTS failures in or out of it joins the Wilson interval over the failures. A batch made
  without those sums (by hand) gets the Poisson interval of the total and the Wilson interval
  over failures taken as independent trials. A batch made without the sums of squares of the
  downtime gives component and gate unavailability the conservative "variance bound":
  per-run fractions in [0, 1] with mean m vary by at most m (1 - m), so the Wilson interval
  for n runs covers it, but is often several times too wide.

Intervals over runs rest on the mean of many runs being near normal. Per-run values are
skewed (most runs never see a rare failure), and at few runs a Student t interval covers less
than it says: about 86-93% at 20 runs, for a component's unavailability or the mean down
time. ``summarize`` warns (``FewRunsWarning``) below FEW_RUNS runs.

When nothing was seen (no downtime, no failure, or no uptime), a mean over runs has zero
spread and a t interval would have zero width; the interval is then an exact bound for
"nothing seen in n runs" instead (Clopper-Pearson, or Poisson for counts), and the method says
so.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from dataclasses import asdict, dataclass
from fractions import Fraction
from typing import Any

import numpy as np

from ..errors import FewRunsWarning
from .counts import BatchStatistics
from .intervals import (
    EXACT_COUNTS,
    binomial_bands,
    critical_value,
    none_seen_bound,
    normal_quantile,
    poisson_interval,
    student_t_quantile,
    wilson_bands,
    wilson_bounds,
)

BINOMIAL = "Clopper-Pearson/Wilson"  # over runs; the report has room for 23 characters
WILSON_BOUNDED = "Wilson, variance bound"
WILSON_FAILURES = "Wilson over failures"
T_RUNS = "Student t over runs"
RATIO = "delta method over runs"
ORDER = "order statistics"
ORDER_ONE_SIDED = "order statistics, one-sided"
T_SMALL_COUNT = "t over runs + binomial"
RATIO_SMALL_COUNT = "delta method + Wilson"
POISSON = "Poisson on the total"
NONE_SEEN = "Clopper-Pearson bound"
POISSON_NONE_SEEN = "Poisson bound"
HORIZON_ZERO = "exact: horizon 0"
ONE_RUN = "one run: no interval"

DEFAULT_PERCENTILES = (5, 50, 95)
# Below this many runs the intervals over runs may cover less than their confidence (see the
# module's notes); summarize warns.
FEW_RUNS = 100


@dataclass(frozen=True)
class Estimate:
    """A value with its interval. ``lower``/``upper`` are None when no interval exists (one
    run) or, for a percentile, when the bound lies beyond the horizon."""

    value: float
    lower: float | None
    upper: float | None
    method: str

    def to_dict(self) -> dict[str, Any]:
        return json_safe(asdict(self))


@dataclass(frozen=True, eq=False)
class Curve:
    """A value per bin of time units (per unit when the bins are 1 unit wide) with its
    pointwise band (float arrays, one entry per bin)."""

    value: np.ndarray
    lower: np.ndarray
    upper: np.ndarray
    method: str

    def __len__(self) -> int:
        return len(self.value)

    def to_dict(self) -> dict[str, Any]:
        return json_safe(
            {
                "value": self.value.tolist(),
                "lower": self.lower.tolist(),
                "upper": self.upper.tolist(),
                "method": self.method,
            }
        )


@dataclass(frozen=True)
class Percentile:
    """The ``percent``-th percentile of the time to first failure; None when not reached
    within the horizon. Then ``at_least`` is what can be said: the lower end of a one-sided
    interval at the confidence (the percentile lies at or above it)."""

    percent: float
    estimate: Estimate | None
    at_least: float | None = None


@dataclass(frozen=True)
class ComponentRow:
    name: str
    downtime: int  # time units down, summed over runs
    failures: int  # transitions from working to a failed state, summed over runs
    triggered: int  # system failures this component's transition caused
    unavailability: Estimate | None  # None at horizon 0
    failures_per_run: Estimate
    criticality: Estimate | None  # share of system failures triggered; None without any


@dataclass(frozen=True)
class GateRow:
    """A named gate of the fault tree (an intermediate event)."""

    name: str
    downtime: int  # time units its output was failed, summed over runs
    # units at which its output is failed and was working the unit before (as system failures
    # are counted), summed over runs; every crossing to failed for a batch that lacks them
    failures: int
    triggered: int  # system failures at which the causing transition turned it failed
    unavailability: Estimate | None  # None at horizon 0
    failures_per_run: Estimate
    criticality: Estimate | None  # share of system failures; None without any


@dataclass(frozen=True)
class CutsetRow:
    index: int  # position in the tree's getCutsets() order
    name: str
    failures: int  # system failures at which this cut set was completed
    share: Estimate | None  # failures / all system failures; None without any


@dataclass(frozen=True)
class CrewRow:
    """A pool of repair crews, over the runs."""

    name: str
    crews: int  # crews in the pool (0: not told)
    requests: int  # requests for a crew, summed over runs
    # busy crew-units / (crews * horizon); None at horizon 0 or when the size is not told
    utilisation: Estimate | None
    mean_wait: Estimate | None  # time units waited per request; None without requests
    longest_queue: Estimate  # mean over runs of the run's longest queue
    # System failures that began while every crew was busy and a unit waited (None: not
    # counted), and their share of all system failures (None without system failures).
    saturated_failures: int | None = None
    saturated_share: Estimate | None = None


@dataclass(frozen=True)
class PlannedSplit:
    """The system's unavailability split by cause, for models with planned states: down
    for a failure (unplanned, at least one failed-kind state the logic needs) and down for
    planned reasons only. ``curve`` is the planned part of the point unavailability."""

    unplanned_downtime: int
    planned_downtime: int
    unplanned: Estimate | None  # None at horizon 0
    planned: Estimate | None
    curve: Curve


@dataclass(frozen=True, eq=False)
class Summary:
    """Everything ``summarize`` draws from one batch; times are in whole time units."""

    n_runs: int
    horizon: int
    unit: str
    seed: int
    first_run: int
    confidence: float
    runs_failed: int  # runs with at least one system failure
    system_failures: int  # all system failures of all runs
    downtime: int  # failed time units of all runs
    unavailability: Curve  # point unavailability per bin: the mean over its units
    reliability: Curve  # R(t) at each bin's last unit: no system failure at units 0..t
    mean_unavailability: Estimate | None  # None at horizon 0
    failure_probability: Estimate  # at least one system failure within the horizon
    restricted_mean_time_to_failure: Estimate  # mean of min(T, horizon)
    mean_time_to_failure: Estimate | None  # only when every run failed
    time_to_failure_percentiles: tuple[Percentile, ...]
    failures_per_run: Estimate
    mtbf: Estimate | None  # uptime / failures; None without failures
    mean_down_time: Estimate | None  # downtime / failures; None without failures
    components: tuple[ComponentRow, ...]
    cutsets: tuple[CutsetRow, ...]  # largest share first
    gates: tuple[GateRow, ...] = ()  # the model's named gates, in file order
    top_gate: str | None = None  # the name of the gate in ``gates`` that is the top, if any
    cutset_note: str = ""  # why there is no cut-set table, when there is none
    bin_width: int = 1  # time units per entry of the curves (the last bin may be shorter)
    step: float = 1.0  # the length of one time unit in ``unit``; the report shows times so
    repairable: bool = True  # False: no component is ever restored (the report leads with F(H))
    # Models with planned states: the unavailability by cause (system_failures, R(t), MTBF
    # and the criticality count unplanned failures only). None without planned states.
    planned: PlannedSplit | None = None
    crews: tuple[CrewRow, ...] = ()  # the repair crew pools, in file order

    @property
    def bin_starts(self) -> np.ndarray:
        """The first time unit of each bin of the curves."""
        return np.arange(0, self.horizon, self.bin_width, dtype=np.int64)

    @property
    def bin_ends(self) -> np.ndarray:
        """The last time unit of each bin of the curves (where R(t) is taken)."""
        return np.minimum(self.bin_starts + self.bin_width, self.horizon) - 1

    def gates_top_down(self) -> tuple[GateRow, ...]:
        """The gates as a fault tree is read: the top first (when it is a named gate), then
        the others in file order."""
        return tuple(sorted(self.gates, key=lambda g: g.name != self.top_gate))

    def to_dict(self, *, curves: bool = False) -> dict[str, Any]:
        """JSON-safe nested dict (no NaN or infinity: missing values are None).

        The curves hold one entry per bin, so they are left out unless asked for.
        """
        est = _estimate_dict
        data: dict[str, Any] = {
            "n_runs": self.n_runs,
            "horizon": self.horizon,
            "unit": self.unit,
            "seed": self.seed,
            "first_run": self.first_run,
            "bin_width": self.bin_width,
            "confidence": self.confidence,
            "runs_failed": self.runs_failed,
            "system_failures": self.system_failures,
            "downtime": self.downtime,
            "mean_unavailability": est(self.mean_unavailability),
            "failure_probability": est(self.failure_probability),
            "restricted_mean_time_to_failure": est(self.restricted_mean_time_to_failure),
            "mean_time_to_failure": est(self.mean_time_to_failure),
            "time_to_failure_percentiles": [
                {"percent": p.percent, "estimate": est(p.estimate), "at_least": p.at_least}
                for p in self.time_to_failure_percentiles
            ],
            "failures_per_run": est(self.failures_per_run),
            "mtbf": est(self.mtbf),
            "mean_down_time": est(self.mean_down_time),
            "components": [_row_dict(c) for c in self.components],
            "cutsets": [
                {"index": c.index, "name": c.name, "failures": c.failures, "share": est(c.share)}
                for c in self.cutsets
            ],
            "cutset_note": self.cutset_note,
            "step": self.step,
            "repairable": self.repairable,
            "top_gate": self.top_gate,
            "gates": [_row_dict(g) for g in self.gates],
        }
        # Only models that have them get these keys: the files of other models hold none.
        if self.planned is not None:
            data["planned"] = {
                "unplanned_downtime": self.planned.unplanned_downtime,
                "planned_downtime": self.planned.planned_downtime,
                "unplanned_unavailability": est(self.planned.unplanned),
                "planned_unavailability": est(self.planned.planned),
            }
        if self.crews:
            data["crews"] = [
                {
                    "name": c.name,
                    "crews": c.crews,
                    "requests": c.requests,
                    "utilisation": est(c.utilisation),
                    "mean_wait": est(c.mean_wait),
                    "longest_queue": est(c.longest_queue),
                }
                | (
                    {}
                    if c.saturated_failures is None
                    else {
                        "saturated_failures": c.saturated_failures,
                        "saturated_share": est(c.saturated_share),
                    }
                )
                for c in self.crews
            ]
        if curves:
            data["curves"] = {
                "time": self.bin_starts.tolist(),
                "time_end": self.bin_ends.tolist(),
                "unavailability": self.unavailability.to_dict(),
                "reliability": self.reliability.to_dict(),
            }
            if self.planned is not None:
                data["curves"]["planned_unavailability"] = self.planned.curve.to_dict()
        return json_safe(data)


def _estimate_dict(estimate: Estimate | None) -> dict[str, Any] | None:
    return None if estimate is None else estimate.to_dict()


def _row_dict(row: ComponentRow | GateRow) -> dict[str, Any]:
    """A row of the component or the gate table in ``Summary.to_dict`` (the two have one
    shape)."""
    return {
        "name": row.name,
        "downtime": row.downtime,
        "failures": row.failures,
        "triggered": row.triggered,
        "unavailability": _estimate_dict(row.unavailability),
        "failures_per_run": _estimate_dict(row.failures_per_run),
        "criticality": _estimate_dict(row.criticality),
    }


def json_safe(value: Any) -> Any:
    """``value`` for JSON: numpy numbers as Python's, infinities and NaN as None."""
    if isinstance(value, dict):
        return {k: json_safe(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [json_safe(v) for v in value]
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, float | np.floating):
        value = float(value)
        return value if math.isfinite(value) else None
    return value


# ---------------------------------------------------------------- interval helpers


def _wilson_estimate(successes: float, trials: int, z: float, method: str) -> Estimate:
    lower, upper = wilson_bounds(successes, trials, z)
    return Estimate(successes / trials, lower, upper, method)


def _binomial_estimate(successes: int, trials: int, confidence: float) -> Estimate:
    lower, upper = binomial_bands(successes, trials, confidence)
    return Estimate(successes / trials, float(lower), float(upper), BINOMIAL)


def _sum_sq_dev(total: int, squares: float, n: int) -> float:
    """The sum over runs of (x - mean)^2 from the sums of x and of x^2 over ``n`` runs.

    ``squares`` is a whole number held in a float64; below 2**53 it is exact and so is this
    (integer arithmetic). Above, its rounding (a relative 1e-16) only matters when the runs
    hardly differ, where the spread comes out a little off or, clamped, zero."""
    if squares < 2**53:
        return (int(squares) * n - total * total) / n
    return max(squares - total * total / n, 0.0)


def _unavailability(
    down: int, squares: np.ndarray, i: int, n: int, horizon: int, confidence: float
) -> Estimate | None:
    """Mean unavailability of a component or gate that was down ``down`` units over ``n``
    runs, from ``squares[i]``, the sum over runs of its failed units squared. None at
    horizon 0; the variance bound when the batch has no sums of squares."""
    if horizon == 0:
        return None
    if not len(squares):
        return _wilson_estimate(down / horizon, n, critical_value(confidence), WILSON_BOUNDED)
    return _fraction_mean(down, _sum_sq_dev(down, float(squares[i]), n), n, horizon, confidence)


def _fraction_mean(
    down: int, sum_sq_dev: float, n: int, horizon: int, confidence: float
) -> Estimate:
    """Mean over runs of the fraction of the horizon spent down, from the total failed units
    ``down`` and the sum of squared deviations of the per-run failed units."""
    mean = down / (n * horizon)
    if down == 0:
        # Never down: the mean is at most the chance that a run has any downtime.
        return Estimate(0.0, 0.0, none_seen_bound(n, confidence), NONE_SEEN)
    if down == n * horizon:
        # Never up: the same bound, on the chance that a run has any uptime.
        return Estimate(1.0, 1.0 - none_seen_bound(n, confidence), 1.0, NONE_SEEN)
    if sum_sq_dev <= 0.0 and n >= 2:
        # Every run spent the same share down: the runs unlike these were not seen, and
        # their chance is at most the bound for none seen in n runs; they move the mean
        # towards 0 or 1 by at most that share.
        bound = none_seen_bound(n, confidence)
        return Estimate(mean, mean * (1.0 - bound), mean + bound * (1.0 - mean), NONE_SEEN)
    t = _t_estimate(mean, sum_sq_dev / horizon**2, n, confidence, 0.0, 1.0)
    # The per-run fractions' sums, and those of the fractions of the horizon spent up.
    down_sum = down / horizon
    down_squares = sum_sq_dev / horizon**2 + down_sum * down_sum / n
    up_sum = n - down_sum
    up_squares = n - 2.0 * down_sum + down_squares
    if down_sum <= up_sum:
        return _few_runs_hull(t, down_sum, down_squares, n, confidence, 1.0)
    # Mostly down: the runs that are up for a while are the rare ones.
    up = _few_runs_hull(
        Estimate(1.0 - t.value, _flip(t.upper), _flip(t.lower), t.method),
        up_sum,
        up_squares,
        n,
        confidence,
        1.0,
    )
    return Estimate(t.value, _flip(up.upper), _flip(up.lower), up.method)


def _flip(x: float | None) -> float | None:
    return None if x is None else 1.0 - x


# Up to this effective number of runs with a value, (sum x)^2 / sum x^2 over the runs, a mean
# of skewed per-run values is too rarely seen for a t interval alone (see _few_runs_hull).
FEW_EFFECTIVE_RUNS = 30


def _few_runs_hull(
    t: Estimate, total: float, squares: float, n: int, confidence: float, high: float
) -> Estimate:
    """``t``, the t interval of a mean of non-negative per-run values with sum ``total`` and
    sum of squares ``squares``, or, where few runs carry the sum, its hull with the scaled
    Poisson interval.

    A rare event leaves most runs at 0 and a few with a value: the mean of n runs is skewed,
    and a t interval from a handful of non-zero runs misses the true mean far more often than
    it says (the runs that would show the spread were not drawn). k = total^2 / squares is the
    number of equal values that would give these sums, at most the runs with a value. Where
    k <= FEW_EFFECTIVE_RUNS the sum is taken as k runs (rounded down, which widens) of n
    with equal values, whose share gets the binomial interval (exact Clopper-Pearson at
    small counts), and the interval holds both: for values of 0 or 1 per run, k is the runs
    with a value and this is the binomial interval of their count; over-dispersed counts
    (several per run) and long stretches of downtime give a smaller k, a wider interval."""
    if t.lower is None or t.upper is None or total <= 0 or squares <= 0:
        return t
    k = total * total / squares
    if k > FEW_EFFECTIVE_RUNS:
        return t
    # k is at most the runs with a value, so at most n: m of n runs, as a proportion.
    m = min(max(1, math.floor(k)), n)
    low, up = binomial_bands(m, n, confidence)
    mean = total / n
    share = m / n
    scaled = Estimate(t.value, mean * float(low) / share, min(high, mean * float(up) / share), "")
    return _hull(t, scaled, T_SMALL_COUNT)


def _t_estimate(
    mean: float,
    sum_sq_dev: float,
    n: int,
    confidence: float,
    low: float,
    high: float,
    method: str = T_RUNS,
) -> Estimate:
    """Student t interval for a mean over ``n`` runs, from the sum of squared deviations."""
    if n < 2:
        return Estimate(mean, None, None, f"{method}; {ONE_RUN}")
    se = math.sqrt(max(sum_sq_dev, 0.0) / (n - 1) / n)
    half = student_t_quantile(0.5 + confidence / 2.0, n - 1) * se
    return Estimate(mean, max(low, mean - half), min(high, mean + half), method)


def _per_run_count(
    count: int, squares: np.ndarray, i: int, n: int, horizon: int, confidence: float
) -> Estimate:
    """Failures per run from their total ``count`` and ``squares[i]``, the sum over runs of
    each run's count squared: a Student t interval over runs, which follows the spread of
    the runs however over-dispersed they are, joined where few runs carry the count by the
    binomial interval of that many runs, scaled (``_few_runs_hull``). Without the squares (a batch made by
    hand): the Poisson interval of the total alone."""
    if horizon == 0 and count == 0:
        return Estimate(0.0, 0.0, 0.0, HORIZON_ZERO)
    low, high = poisson_interval(count, confidence)
    poisson = Estimate(count / n, low / n, high / n, POISSON if count else POISSON_NONE_SEEN)
    if count == 0 or not len(squares):
        return poisson
    t = _t_estimate(
        count / n, _sum_sq_dev(count, float(squares[i]), n), n, confidence, 0.0, math.inf
    )
    return _few_runs_hull(t, float(count), float(squares[i]), n, confidence, math.inf)


def _hull(a: Estimate, b: Estimate, method: str) -> Estimate:
    """The smallest interval holding both (same value), named ``method``."""
    assert a.lower is not None and a.upper is not None
    assert b.lower is not None and b.upper is not None
    return Estimate(a.value, min(a.lower, b.lower), max(a.upper, b.upper), method)


def _share(
    count: int,
    total: int,
    squares: np.ndarray,
    times_failures: np.ndarray,
    i: int,
    failure_squares: float,
    n: int,
    confidence: float,
    z: float,
) -> Estimate | None:
    """A share of the ``total`` system failures: ``count`` of them, with ``squares[i]`` and
    ``times_failures[i]`` the sums over runs of the run's count squared and times the run's
    system failures (``failure_squares``: the sum of those squared). A ratio of two sums over
    runs, with the delta-method interval over runs, which holds however many times a run
    fails. Where the count or the rest is small (up to EXACT_COUNTS), where that interval is
    too narrow, the Wilson interval over the failures joins it. Without the sums (a batch
    made by hand): Wilson over the failures alone, which takes them as independent trials.
    None without system failures."""
    if total == 0:
        return None
    wilson = _wilson_estimate(count, total, z, WILSON_FAILURES)
    if not len(squares) or not len(times_failures):
        return wilson
    ratio = _ratio_of_sums(
        count,
        total,
        float(squares[i]),
        failure_squares,
        float(times_failures[i]),
        n,
        confidence,
        high=1.0,
    )
    assert ratio is not None
    if ratio.lower is None or ratio.upper is None:
        return ratio
    if min(count, total - count) > EXACT_COUNTS:
        return ratio
    return _hull(ratio, wilson, RATIO_SMALL_COUNT)


class _RowEstimates:
    """The estimates of the component and gate rows, each made once per distinct count (with
    the sums of squares its interval reads) and shared by the rows that have it (they are
    frozen). Making an estimate costs far more than looking one up, and a large model has
    thousands of components and gates alike."""

    def __init__(
        self,
        n: int,
        horizon: int,
        total_failures: int,
        failure_squares: float,
        confidence: float,
    ):
        self.n, self.horizon, self.total_failures = n, horizon, total_failures
        self.failure_squares = failure_squares
        self.confidence, self.z = confidence, critical_value(confidence)
        self.unavailabilities: dict[tuple[int, float, bool], Estimate | None] = {}
        self.per_run: dict[tuple[int, float, bool], Estimate] = {}
        self.criticalities: dict[tuple[int, float, float, bool], Estimate | None] = {}

    def unavailability(self, down: int, squares: np.ndarray, i: int) -> Estimate | None:
        key = (down, float(squares[i]) if len(squares) else 0.0, bool(len(squares)))
        if key not in self.unavailabilities:
            self.unavailabilities[key] = _unavailability(
                down, squares, i, self.n, self.horizon, self.confidence
            )
        return self.unavailabilities[key]

    def failures_per_run(self, count: int, squares: np.ndarray, i: int) -> Estimate:
        key = (count, float(squares[i]) if len(squares) else 0.0, bool(len(squares)))
        if key not in self.per_run:
            self.per_run[key] = _per_run_count(
                count, squares, i, self.n, self.horizon, self.confidence
            )
        return self.per_run[key]

    def criticality(
        self, triggered: int, squares: np.ndarray, times_failures: np.ndarray, i: int
    ) -> Estimate | None:
        summed = bool(len(squares))
        key = (
            triggered,
            float(squares[i]) if summed else 0.0,
            float(times_failures[i]) if summed else 0.0,
            summed,
        )
        if key not in self.criticalities:
            self.criticalities[key] = _share(
                triggered,
                self.total_failures,
                squares,
                times_failures,
                i,
                self.failure_squares,
                self.n,
                self.confidence,
                self.z,
            )
        return self.criticalities[key]


def _gate_rows(
    stats: BatchStatistics, gates: Sequence[tuple[str, int]], estimates: _RowEstimates
) -> tuple[GateRow, ...]:
    for name, g in gates:
        if not 0 <= g < stats.n_gates:
            raise ValueError(f'gate "{name}" has index {g}; the batch has {stats.n_gates} gates')
    # Failures counted as the system's where the batch has them, else every crossing.
    per_unit = len(stats.gate_unit_failures) > 0
    counts = (stats.gate_unit_failures if per_unit else stats.gate_failures).tolist()
    count_squares = stats.gate_unit_failures_squares if per_unit else _empty_squares()
    downtime = stats.gate_downtime.tolist()
    triggered = stats.gate_triggered.tolist()
    return tuple(
        GateRow(
            name,
            downtime[g],
            counts[g],
            triggered[g],
            estimates.unavailability(downtime[g], stats.gate_downtime_squares, g),
            estimates.failures_per_run(counts[g], count_squares, g),
            estimates.criticality(
                triggered[g],
                stats.gate_triggered_squares,
                stats.gate_triggered_times_system_failures,
                g,
            ),
        )
        for name, g in gates
    )


def _empty_squares() -> np.ndarray:
    return np.zeros(0, dtype=np.float64)


def _ratio_estimate(
    numer: np.ndarray, denom: np.ndarray, confidence: float, high: float
) -> Estimate | None:
    """sum(numer) / sum(denom) over runs with a delta-method interval; None if sum(denom)=0."""
    total = float(denom.sum())
    if total == 0.0:
        return None
    n = len(denom)
    ratio = float(numer.sum()) / total
    if n < 2:
        return Estimate(ratio, None, None, f"{RATIO}; {ONE_RUN}")
    residual = numer - ratio * denom
    se = math.sqrt(float(np.dot(residual, residual)) / (n - 1) / n) / (total / n)
    half = student_t_quantile(0.5 + confidence / 2.0, n - 1) * se
    return Estimate(ratio, max(0.0, ratio - half), min(high, ratio + half), RATIO)


# ---------------------------------------------------------------- the summary


def _names(given: Sequence[str] | None, count: int, prefix: str, what: str) -> list[str]:
    if given is None:
        return [f"{prefix}{i}" for i in range(count)]
    names = [str(name) for name in given]
    if len(names) != count:
        raise ValueError(f"{len(names)} {what} names given for {count} {what}s")
    return names


def _time_to_failure(
    stats: BatchStatistics, cum: np.ndarray, confidence: float, percentiles: Sequence[float]
) -> tuple[Estimate, Estimate | None, tuple[Percentile, ...]]:
    n, horizon = stats.n_runs, stats.sim_time
    failed = int(cum[-1]) if horizon else 0
    if horizon == 0:
        zero = Estimate(0.0, 0.0, 0.0, HORIZON_ZERO)
        return zero, None, tuple(Percentile(float(p), None) for p in percentiles)

    if stats.bin_width == 1:
        times = np.arange(horizon, dtype=np.float64)
        weights = stats.first_failures.astype(np.float64)
    else:
        # Binned curves: the runs' own first failure times, counted per distinct time, give
        # the same figures as a curve per unit (its units without a first failure add 0).
        if len(stats.first_failure_times) != n:
            raise ValueError("a batch with binned curves needs its first_failure_times")
        ff = stats.first_failure_times
        distinct, counts = np.unique(ff[ff < horizon], return_counts=True)
        times = distinct.astype(np.float64)
        weights = counts.astype(np.float64)
        cum = np.cumsum(counts)
    censored = float(n - failed)
    # Per-run min(T, H): value t for the runs first failed at t, H for those that never failed.
    restricted_mean = (float(np.dot(times, weights)) + horizon * censored) / n
    if failed == 0:
        # Every run lasted the horizon; min(T, H) < H needs a failure, whose probability is at
        # most the Clopper-Pearson bound for none seen in n runs.
        lower = horizon * (1.0 - none_seen_bound(n, confidence))
        restricted = Estimate(float(horizon), lower, float(horizon), NONE_SEEN)
    else:
        dev = float(np.dot(weights, (times - restricted_mean) ** 2))
        dev += censored * (horizon - restricted_mean) ** 2
        restricted = _t_estimate(restricted_mean, dev, n, confidence, 0.0, float(horizon))

    plain = None
    if failed == n:
        plain_mean = float(np.dot(times, weights)) / n
        dev = float(np.dot(weights, (times - plain_mean) ** 2))
        plain = _t_estimate(plain_mean, dev, n, confidence, 0.0, float(horizon - 1))

    z = critical_value(confidence)
    # A percentile beyond the horizon has only a lower bound: one-sided, all the confidence
    # on that side.
    z_one_sided = normal_quantile(confidence)

    def order_statistic(rank: int) -> float:
        # The rank-th smallest T (1-based); only called for ranks within the failed runs.
        return float(times[np.searchsorted(cum, rank, side="left")])

    result = []
    for percent in percentiles:
        p = Fraction(str(percent)) / 100
        rank = max(1, math.ceil(p * n))
        if rank > failed:
            # Not reached: the rank-th first failure lies at H or later. Its lower bound is
            # the order statistic that the runs below the percentile reach with the
            # confidence; H itself when even that rank failed after the horizon.
            spread = z_one_sided * math.sqrt(n * float(p) * (1.0 - float(p)))
            low_rank = math.floor(n * float(p) - spread)
            if low_rank > failed:
                at_least = float(horizon)
            else:
                at_least = order_statistic(low_rank) if low_rank >= 1 else 0.0
            result.append(Percentile(float(percent), None, at_least))
            continue
        # Ranks whose order statistics bracket the percentile with the chosen confidence
        # (normal approximation to the binomial count of runs below it).
        spread = z * math.sqrt(n * float(p) * (1.0 - float(p)))
        low_rank = math.floor(n * float(p) - spread)
        high_rank = math.ceil(n * float(p) + spread) + 1
        lower = order_statistic(low_rank) if low_rank >= 1 else 0.0
        upper = order_statistic(high_rank) if high_rank <= failed else None
        estimate = Estimate(order_statistic(rank), lower, upper, ORDER)
        result.append(Percentile(float(percent), estimate))
    return restricted, plain, tuple(result)


def summarize(
    stats: Any,
    *,
    component_names: Sequence[str] | None = None,
    cutset_names: Sequence[str] | None = None,
    gates: Sequence[tuple[str, int]] = (),
    top_gate: int | None = None,
    cutset_note: str = "",
    unit: str = "",
    step: float = 1.0,
    repairable: bool = True,
    confidence: float = 0.95,
    percentiles: Sequence[float] = DEFAULT_PERCENTILES,
    crew_pools: Sequence[tuple[str, int]] | None = None,
) -> Summary:
    """Summarize a batch: a ``BatchStatistics``, or the native ``tavoq.RunStatistics``.

    ``component_names`` and ``cutset_names`` label the tables (cut sets in the tree's
    ``getCutsets()`` order); ``gates`` names gates of a FaultTree run as (name, gate
    index), in file order, and ``top_gate`` is the gate index of the top (the report lists
    that gate first when it is one of them); ``cutset_note`` says why a model has no
    cut-set table; ``unit`` labels times in the report, in which one time unit lasts
    ``step``; ``repairable`` False says that no component is ever restored; ``crew_pools``
    names the batch's crew pools with their number of crews, as (name, crews), in pool order.

    A batch with planned states gets the unavailability split into unplanned and planned
    (``planned``); its system failures, R(t), MTBF, mean down time per failure and the
    criticality are the unplanned failures', as the engine counts them.
    """
    if not isinstance(stats, BatchStatistics):
        stats = BatchStatistics.from_native(stats)
    if not (isinstance(step, int | float) and math.isfinite(step) and step > 0):
        raise ValueError(f"step must be a positive number, got {step!r}")
    z = critical_value(confidence)
    n = stats.n_runs
    if n == 0:
        raise ValueError("no runs to summarize")
    if n < FEW_RUNS:
        warnings.warn(FewRunsWarning(n, FEW_RUNS), stacklevel=2)
    for percent in percentiles:
        if not 0 < percent < 100:
            raise ValueError(f"percentile {percent} must lie strictly between 0 and 100")
    component_names = _names(component_names, stats.n_components, "component_", "component")
    cutset_names = _names(cutset_names, stats.n_cutsets, "cutset_", "cut set")

    system = _system_estimates(stats, confidence, percentiles)
    # The system failures' sum of squares over runs, for the shares' intervals.
    failures = stats.system_failures.astype(np.float64)
    failure_squares = float(np.dot(failures, failures))
    total_failures = system["system_failures"]
    # The component and gate tables share one estimate per distinct count (_RowEstimates).
    estimates = _RowEstimates(n, stats.sim_time, total_failures, failure_squares, confidence)
    return Summary(
        n_runs=n,
        horizon=stats.sim_time,
        unit=unit,
        seed=stats.seed,
        first_run=stats.first_run,
        confidence=confidence,
        **system,
        components=_component_rows(stats, component_names, estimates),
        cutsets=_cutset_rows(stats, cutset_names, total_failures, failure_squares, confidence, z),
        gates=_gate_rows(stats, gates, estimates),
        top_gate=next((name for name, g in gates if g == top_gate), None),
        cutset_note=cutset_note,
        bin_width=stats.bin_width,
        step=float(step),
        repairable=bool(repairable),
        crews=_crew_rows(stats, crew_pools, confidence),
    )


def _system_estimates(
    stats: BatchStatistics, confidence: float, percentiles: Sequence[float]
) -> dict[str, Any]:
    """The system's part of a Summary, by field: its curves, totals and estimates over runs."""
    n, horizon = stats.n_runs, stats.sim_time
    # Point unavailability and reliability: binomial counts over runs at every time unit.
    # In bins of several units the unavailability is the mean over the bin's units: a run's
    # share of the bin spent failed lies in [0, 1], so its variance is at most p(1 - p) and
    # the Wilson band with that bound holds. R(t) is taken at each bin's last unit, where
    # the count of runs failed so far is exact.
    unavailability = _point_curve(stats.failed_runs, stats, confidence)
    cum = np.cumsum(stats.first_failures)
    lower, upper = binomial_bands(cum, n, confidence)
    reliability = Curve(1.0 - cum / n, 1.0 - upper, 1.0 - lower, BINOMIAL)

    runs_failed = int(cum[-1]) if horizon else 0
    failures = stats.system_failures.astype(np.float64)
    total_failures = int(stats.system_failures.sum())
    downtime = stats.downtime.astype(np.float64)
    total_downtime = int(stats.downtime.sum())

    if horizon == 0:
        mean_unavailability = None
        failure_probability = Estimate(0.0, 0.0, 0.0, HORIZON_ZERO)
        failures_per_run = Estimate(0.0, 0.0, 0.0, HORIZON_ZERO)
    else:
        centred = downtime - total_downtime / n
        mean_unavailability = _fraction_mean(
            total_downtime, float(np.dot(centred, centred)), n, horizon, confidence
        )
        failure_probability = _binomial_estimate(runs_failed, n, confidence)
        failures_per_run = _per_run_count(
            total_failures,
            np.array([float(np.dot(failures, failures))]),
            0,
            n,
            horizon,
            confidence,
        )

    restricted, plain, percentile_rows = _time_to_failure(stats, cum, confidence, percentiles)
    uptime = horizon - downtime
    mtbf = _ratio_estimate(uptime, failures, confidence, math.inf)
    planned = None
    if stats.has_planned:
        planned = _planned_split(stats, confidence)
        # A failure's down time leaves out the planned stops.
        unplanned = downtime - stats.planned_downtime.astype(np.float64)
        mean_down_time = _ratio_estimate(unplanned, failures, confidence, float(horizon))
    else:
        mean_down_time = _ratio_estimate(downtime, failures, confidence, float(horizon))
    return {
        "runs_failed": runs_failed,
        "system_failures": total_failures,
        "downtime": total_downtime,
        "unavailability": unavailability,
        "reliability": reliability,
        "mean_unavailability": mean_unavailability,
        "failure_probability": failure_probability,
        "restricted_mean_time_to_failure": restricted,
        "mean_time_to_failure": plain,
        "time_to_failure_percentiles": percentile_rows,
        "failures_per_run": failures_per_run,
        "mtbf": mtbf,
        "mean_down_time": mean_down_time,
        "planned": planned,
    }


def _component_rows(
    stats: BatchStatistics, names: Sequence[str], estimates: _RowEstimates
) -> tuple[ComponentRow, ...]:
    return tuple(
        ComponentRow(
            name,
            down,
            count,
            triggered,
            estimates.unavailability(down, stats.component_downtime_squares, i),
            estimates.failures_per_run(count, stats.component_failures_squares, i),
            estimates.criticality(
                triggered,
                stats.triggered_failures_squares,
                stats.triggered_times_system_failures,
                i,
            ),
        )
        for i, (name, down, count, triggered) in enumerate(
            zip(
                names,
                stats.component_downtime.tolist(),
                stats.component_failures.tolist(),
                stats.triggered_failures.tolist(),
                strict=True,
            )
        )
    )


def _cutset_rows(
    stats: BatchStatistics,
    names: Sequence[str],
    total_failures: int,
    failure_squares: float,
    confidence: float,
    z: float,
) -> tuple[CutsetRow, ...]:
    """The cut sets by failures, most first (ties in the tree's order)."""
    rows = [
        CutsetRow(
            i,
            name,
            int(stats.cutset_failures[i]),
            _share(
                int(stats.cutset_failures[i]),
                total_failures,
                stats.cutset_failures_squares,
                stats.cutset_times_system_failures,
                i,
                failure_squares,
                stats.n_runs,
                confidence,
                z,
            ),
        )
        for i, name in enumerate(names)
    ]
    rows.sort(key=lambda row: (-row.failures, row.index))
    return tuple(rows)


def _point_curve(counts: np.ndarray, stats: BatchStatistics, confidence: float) -> Curve:
    """The share of runs down per bin, ``counts`` being the bins' sums over their units."""
    n, horizon = stats.n_runs, stats.sim_time
    if stats.bin_width == 1:
        lower, upper = binomial_bands(counts, n, confidence)
        return Curve(counts / n, lower, upper, BINOMIAL)
    starts = np.arange(0, horizon, stats.bin_width, dtype=np.int64)
    units = (np.minimum(starts + stats.bin_width, horizon) - starts).astype(np.float64)
    mean_down = counts / units
    lower, upper = wilson_bands(mean_down, n, critical_value(confidence))
    return Curve(mean_down / n, lower, upper, WILSON_BOUNDED)


def _planned_split(stats: BatchStatistics, confidence: float) -> PlannedSplit:
    n, horizon = stats.n_runs, stats.sim_time
    planned_per_run = stats.planned_downtime.astype(np.float64)
    unplanned_per_run = stats.downtime.astype(np.float64) - planned_per_run
    planned_total = int(stats.planned_downtime.sum())
    unplanned_total = int(stats.downtime.sum()) - planned_total
    means: list[Estimate | None] = []
    for total, per_run in ((unplanned_total, unplanned_per_run), (planned_total, planned_per_run)):
        if horizon == 0:
            means.append(None)
            continue
        centred = per_run - total / n
        means.append(
            _fraction_mean(total, float(np.dot(centred, centred)), n, horizon, confidence)
        )
    planned_runs = (
        stats.planned_runs if stats.planned_runs.size else np.zeros(stats.n_bins, np.int64)
    )
    curve = _point_curve(planned_runs, stats, confidence)
    return PlannedSplit(unplanned_total, planned_total, means[0], means[1], curve)


def _crew_rows(
    stats: BatchStatistics, pools: Sequence[tuple[str, int]] | None, confidence: float
) -> tuple[CrewRow, ...]:
    n, horizon = stats.n_runs, stats.sim_time
    if pools is None:
        # Without the pools' sizes the utilisation cannot be told: 0 crews stands for unknown.
        pools = [(f"pool_{i}", 0) for i in range(stats.n_pools)]
    else:
        pools = [(str(name), int(crews)) for name, crews in pools]
        for name, crews in pools:
            if crews < 1:
                raise ValueError(f'crew pool "{name}" must have at least one crew, got {crews}')
    if len(pools) != stats.n_pools:
        raise ValueError(f"{len(pools)} crew pools named for {stats.n_pools} crew pools")
    rows = []
    for i, (name, crews) in enumerate(pools):
        busy = int(stats.crew_busy[i])
        wait = int(stats.crew_wait[i])
        requests = int(stats.crew_requests[i])
        longest = int(stats.crew_longest_queue[i])
        utilisation = None
        if horizon and crews:
            capacity = crews * horizon
            utilisation = _fraction_mean(
                busy,
                _sum_sq_dev(busy, float(stats.crew_busy_squares[i]), n),
                n,
                capacity,
                confidence,
            )
        mean_wait = _ratio_of_sums(
            wait,
            requests,
            float(stats.crew_wait_squares[i]),
            float(stats.crew_requests_squares[i]),
            float(stats.crew_wait_times_requests[i]),
            n,
            confidence,
        )
        if longest == 0:
            bound = poisson_interval(0, confidence)[1] / n
            queue = Estimate(0.0, 0.0, bound, POISSON_NONE_SEEN)
        else:
            queue = _t_estimate(
                longest / n,
                _sum_sq_dev(longest, float(stats.crew_longest_queue_squares[i]), n),
                n,
                confidence,
                0.0,
                math.inf,
            )
        saturated, share = None, None
        if stats.crew_saturated_failures.size:
            saturated = int(stats.crew_saturated_failures[i])
            share = _saturated_share(stats, i, confidence)
        rows.append(
            CrewRow(name, crews, requests, utilisation, mean_wait, queue, saturated, share)
        )
    return tuple(rows)


def _saturated_share(stats: BatchStatistics, i: int, confidence: float) -> Estimate | None:
    """The share of all system failures that began with crew pool ``i`` saturated, with the
    interval of a component's criticality; None without system failures."""
    failures = stats.system_failures
    return _share(
        int(stats.crew_saturated_failures[i]),
        int(failures.sum()),
        stats.crew_saturated_failures_squares,
        stats.crew_saturated_times_system_failures,
        i,
        float(np.dot(failures, failures)),
        stats.n_runs,
        confidence,
        critical_value(confidence),
    )


def _ratio_of_sums(
    numer: int,
    denom: int,
    numer_squares: float,
    denom_squares: float,
    cross: float,
    n: int,
    confidence: float,
    high: float = math.inf,
) -> Estimate | None:
    """sum(x) / sum(y) over runs with the delta-method interval of ``_ratio_estimate``, from
    the sums of x, y, x^2, y^2 and x*y over runs instead of the per-run values."""
    if denom == 0:
        return None
    ratio = numer / denom
    if n < 2:
        return Estimate(ratio, None, None, f"{RATIO}; {ONE_RUN}")
    # sum (x - r y)^2 = sum x^2 - 2 r sum xy + r^2 sum y^2
    residual = max(numer_squares - 2.0 * ratio * cross + ratio * ratio * denom_squares, 0.0)
    se = math.sqrt(residual / (n - 1) / n) / (denom / n)
    half = student_t_quantile(0.5 + confidence / 2.0, n - 1) * se
    return Estimate(ratio, max(0.0, ratio - half), min(high, ratio + half), RATIO)
