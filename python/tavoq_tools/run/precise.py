"""Running until precise enough: rounds of chunks until the 95% interval of the mean
unavailability is narrow enough.

``run_until_precise`` does not care how chunks run: it is given a function that runs a list of
ranges (one after the other here, or as tasks on a Dask cluster) and returns their
statistics. The rounds continue the run indices, so the result equals one batch of its runs.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable
from dataclasses import dataclass

from ..errors import FewRunsWarning, check_integer
from ..results.counts import BatchStatistics, RunMerger
from ..results.summary import Estimate, summarize
from .chunks import RunChunks, plan_chunks

__all__ = [
    "DEFAULT_FIRST_RUNS",
    "DEFAULT_MAX_RUNS",
    "PreciseResult",
    "check_max_runs",
    "check_target",
    "most_runs",
    "relative_half_width",
    "run_until_precise",
]

# Until precise enough: a first round of this many runs unless the caller says otherwise ...
DEFAULT_FIRST_RUNS = 10_000
# ... and at most this many runs in all unless the caller says otherwise (16 bytes a run are
# kept in memory: 160 MB).
DEFAULT_MAX_RUNS = 10_000_000
# Each further round aims at the runs the last interval asks for, with this margin, and grows
# the batch by at least a quarter and at most fourfold (an early interval is itself rough).
ROUND_MARGIN = 1.1
ROUND_MIN_GROWTH = 1.25
ROUND_MAX_GROWTH = 4.0


def check_target(target_ci: object) -> float:
    if (
        isinstance(target_ci, bool)
        or not isinstance(target_ci, int | float)
        or not 0.0 < target_ci < math.inf
    ):
        raise ValueError(f"target_ci must be a positive number (0.1 for ±10%), got {target_ci!r}")
    return float(target_ci)


def check_max_runs(
    target_ci: float | None,
    max_runs: int | None,
    *,
    names: tuple[str, str] = ("target_ci", "max_runs"),
) -> None:
    """Refuse a ``max_runs`` without a ``target_ci``: it bounds only a run until precise.
    ``names`` are what the caller calls the two (the command: its options)."""
    if max_runs is not None and target_ci is None:
        raise ValueError(f"{names[1]} bounds a run until {names[0]} is reached; give both")


def most_runs(runs: int, target_ci: float | None, max_runs: int | None) -> int:
    """The most runs a batch of ``runs`` may end with: ``runs``, or with a ``target_ci`` the
    ``max_runs`` its rounds may reach (DEFAULT_MAX_RUNS unless given)."""
    if target_ci is None:
        return runs
    return max(runs, DEFAULT_MAX_RUNS if max_runs is None else max_runs)


def _width(stats: BatchStatistics) -> float:
    """The relative half-width of a round's mean unavailability. A round's few runs say
    nothing of the final batch's, so the warning about few runs is the final summary's."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FewRunsWarning)
        return relative_half_width(summarize(stats).mean_unavailability)


def relative_half_width(estimate: Estimate | None) -> float:
    """The larger side of the interval over the estimate (0.1 means within ±10%).

    Infinite when there is no interval (one run, horizon 0) or the estimate is 0: nothing
    was seen, so no number of runs so far bounds the error relative to it."""
    if estimate is None or estimate.lower is None or estimate.upper is None:
        return math.inf
    if estimate.value <= 0.0:
        return math.inf
    half = max(estimate.upper - estimate.value, estimate.value - estimate.lower)
    return half / estimate.value


@dataclass(frozen=True, eq=False)
class PreciseResult:
    """What ``run_until_precise`` did: the statistics of all its runs (one batch of
    ``statistics.n_runs`` runs), whether the target was reached, and the interval it ended at."""

    statistics: BatchStatistics
    reached: bool  # False: max_runs came first
    target_ci: float
    max_runs: int
    relative_half_width: float  # of the mean unavailability's 95% interval at the end

    @classmethod
    def of(
        cls, statistics: BatchStatistics, target_ci: float, max_runs: int | None = None
    ) -> PreciseResult:
        """The same verdict for a batch that ``run_until_precise`` (here or on Dask) returned:
        it depends only on the statistics, so a caller that got them back can report it."""
        target_ci = check_target(target_ci)
        max_runs = DEFAULT_MAX_RUNS if max_runs is None else check_integer("max_runs", max_runs)
        width = _width(statistics)
        return cls(statistics, width <= target_ci, target_ci, max_runs, width)

    @property
    def n_runs(self) -> int:
        return self.statistics.n_runs

    def describe(self) -> str:
        """One line for the user: which limit stopped the runs, and after how many."""
        if math.isfinite(self.relative_half_width):
            got = f"±{_percent(self.relative_half_width)}"
        elif self.n_runs < 2:
            got = "no interval yet: one run gives none"
        else:
            got = "no interval yet: no downtime seen"
        if self.reached:
            return (
                f"Target ±{_percent(self.target_ci)} on the mean unavailability reached after "
                f"{self.n_runs:,} runs ({got})"
            )
        return (
            f"Stopped at the maximum of {self.max_runs:,} runs before the target "
            f"±{_percent(self.target_ci)} on the mean unavailability ({got})"
        )


def _percent(fraction: float) -> str:
    return f"{fraction * 100:.3g}%"


def _next_total(done: int, width: float, target: float, max_runs: int) -> int:
    # The interval narrows as 1/sqrt(runs): runs needed ~ done * (width / target)^2.
    low = math.ceil(done * ROUND_MIN_GROWTH)
    high = math.floor(done * ROUND_MAX_GROWTH)
    if math.isfinite(width):
        wanted = math.ceil(done * (width / target) ** 2 * ROUND_MARGIN)
    else:
        wanted = high
    return min(max(wanted, low, done + 1), high, max_runs)


def run_until_precise(
    run_chunks: RunChunks,
    target_ci: float,
    max_runs: int | None = None,
    *,
    first_runs: int | None = None,
    chunk_runs: int | None = None,
    workers: int = 1,
    on_round: Callable[[BatchStatistics, float], None] | None = None,
) -> PreciseResult:
    """Run rounds of chunks until the mean unavailability is known to ±``target_ci`` of
    itself (0.1: the 95% interval lies within ±10% of the estimate), or ``max_runs`` runs.

    ``run_chunks(ranges)`` runs the given run ranges and returns their statistics (in any
    order); the rounds' chunks continue the run indices, so the result is identical to one
    batch of the runs it ended with. The first round has ``first_runs`` runs (default
    DEFAULT_FIRST_RUNS, at most max_runs, default DEFAULT_MAX_RUNS); each later round aims
    at the runs the last interval asks for. The check is made after each round, so the
    batch may end somewhat past the fewest runs that would have done. ``on_round`` is called
    with the statistics so far and their relative half-width after each round.
    """
    target_ci = check_target(target_ci)
    max_runs = DEFAULT_MAX_RUNS if max_runs is None else check_integer("max_runs", max_runs)
    first_runs = (
        DEFAULT_FIRST_RUNS if first_runs is None else check_integer("first_runs", first_runs)
    )
    total = min(first_runs, max_runs)
    stats: BatchStatistics | None = None
    done = 0
    while True:
        chunks = plan_chunks(total - done, chunk_runs, workers, first=done)
        # The runs so far and each new chunk as it comes, never every chunk at once.
        merger = RunMerger(range(total))
        if stats is not None:
            merger.add(stats)
        for part in run_chunks(chunks):
            merger.add(part)
        stats = merger.result()
        done = total
        width = _width(stats)
        if on_round is not None:
            on_round(stats, width)
        reached = width <= target_ci
        if reached or done >= max_runs:
            return PreciseResult(stats, reached, target_ci, max_runs, width)
        total = _next_total(done, width, target_ci, max_runs)
