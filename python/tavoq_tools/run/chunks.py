"""A batch of runs as chunks of consecutive run indices, and running until precise enough.

Run i of a batch seeded ``seed`` is seeded ``seed + i`` (wrapped to a signed 32-bit value, as
the engine does) whichever chunk holds it. A chunk holding runs ``first .. first + count - 1``
is therefore one ``runnerStatistics`` call of ``count`` runs seeded ``seed + first``, and the
chunks merged in run order give exactly the numbers of one batch of all the runs, however the
batch was split and wherever the chunks ran.

``run_chunk`` needs only a plain-data model (anything with ``build() -> (matrix, tree)``); it
builds the native objects in the process that calls it, so a chunk can be sent to another
process or machine as a pickled model and a few integers.

``run_until_precise`` adds chunks until the 95% interval of the mean unavailability is narrow
enough. It does not care how chunks run: it is given a function that runs a list of ranges
(one after the other here, or as tasks on a Dask cluster) and returns their statistics.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Protocol

from ..errors import INT32_MAX, INT32_MIN, wrap_int32
from ..results.counts import RunStatistics, merge
from ..results.summary import Estimate, summarize
from .native_output import engine_output_as_warnings

__all__ = [
    "CHUNKS_PER_WORKER",
    "DEFAULT_MAX_RUNS",
    "MAX_CHUNK_RUNS",
    "MIN_CHUNK_RUNS",
    "PreciseResult",
    "local_chunk_runner",
    "plan_chunks",
    "relative_half_width",
    "run_chunk",
    "run_until_precise",
]

# How a batch is split when the caller does not say (see plan_chunks):
# - a few chunks per worker, so that a worker that finishes early takes another chunk
#   instead of idling while the slowest one ends, and a lost worker costs a small share;
CHUNKS_PER_WORKER = 4
# - never so few runs that the cost of a chunk on a cluster (about 15 ms measured on a local
#   cluster: task sent, model built, result sent back and merged) rivals the runs themselves;
#   10,000 runs of a small model take about 150 ms on one core ...
MIN_CHUNK_RUNS = 10_000
# - ... nor so many that one chunk holds a worker for long or that a retry repeats much work.
#   Its per-run arrays take 16 MB at this size.
MAX_CHUNK_RUNS = 1_000_000

# A native call keeps Python's lock until it returns. On a Dask worker that silences the
# worker's heartbeats, and the scheduler restarts a worker silent for longer than its
# worker-ttl (5 minutes by default), again at every retry of a chunk that long. So a chunk
# calls the engine in slices of about SLICE_SECONDS, the first of FIRST_SLICE_RUNS runs and
# each at most SLICE_GROWTH times the last, and the process's other threads run between
# them. Merged in run order, the slices give exactly the chunk's numbers.
SLICE_SECONDS = 1.0
FIRST_SLICE_RUNS = 1
SLICE_GROWTH = 8

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


class Buildable(Protocol):
    """A plain-data model: pickles as data and builds the native objects where it runs."""

    def build(self) -> tuple[Any, Any]: ...


def _whole(name: str, value: object, low: int = 1, high: int = INT32_MAX) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{name} must be an integer from {low} to {high}, got {value!r}")
    return int(value)


def _target(target_ci: object) -> float:
    if (
        isinstance(target_ci, bool)
        or not isinstance(target_ci, int | float)
        or not 0.0 < target_ci < math.inf
    ):
        raise ValueError(f"target_ci must be a positive number (0.1 for ±10%), got {target_ci!r}")
    return float(target_ci)


def run_chunk(model: Buildable, horizon: int, seed: int, first: int, count: int) -> RunStatistics:
    """Runs ``first .. first + count - 1`` of the batch seeded ``seed``, ``horizon`` time units
    each. The model is built here: on a Dask worker this is the worker's own process. The
    engine is called in slices of about SLICE_SECONDS, so the process's other threads (a
    worker's heartbeats) keep running."""
    horizon = _whole("horizon", horizon)
    seed = _whole("seed", seed, INT32_MIN)
    first = _whole("first", first, 0)
    count = _whole("count", count, 0)
    matrix, tree = model.build()
    return _in_slices(lambda start, runs: _runs(matrix, tree, horizon, seed, start, runs),
                      first, count)


def _runs(matrix: Any, tree: Any, horizon: int, seed: int, first: int, count: int
          ) -> RunStatistics:
    """Runs ``first .. first + count - 1`` of the batch seeded ``seed``: one native call."""
    import tavoq  # imported where the runs happen, which may be another process

    with engine_output_as_warnings():
        native = tavoq.runnerStatistics(count, horizon, matrix, tree, wrap_int32(seed + first))
    return RunStatistics.from_native(native, first_run=first)


def _in_slices(run: Callable[[int, int], RunStatistics], first: int, count: int) -> RunStatistics:
    """``run(start, runs)`` over ``first .. first + count - 1`` in slices of about
    SLICE_SECONDS each, merged into one result (see SLICE_SECONDS)."""
    parts = []
    start, end = first, first + count
    size = min(count, FIRST_SLICE_RUNS)
    while True:
        runs = min(size, end - start)
        began = time.perf_counter()
        parts.append(run(start, runs))
        spent = time.perf_counter() - began
        start += runs
        if start >= end:
            break
        wanted = int(runs * SLICE_SECONDS / spent) if spent > 0.0 else runs * SLICE_GROWTH
        size = max(1, min(wanted, runs * SLICE_GROWTH))
    return parts[0] if len(parts) == 1 else merge(parts, runs=range(first, end))


def plan_chunks(
    runs: int, chunk_runs: int | None = None, workers: int = 1, *, first: int = 0
) -> list[range]:
    """Runs ``first .. first + runs - 1`` as consecutive ranges, in run order.

    With ``chunk_runs`` every chunk but the last holds that many runs. Otherwise the runs are
    shared into ``CHUNKS_PER_WORKER`` chunks per worker of equal size give or take one run,
    fewer when a chunk would hold under ``MIN_CHUNK_RUNS`` runs (a smaller batch is one chunk)
    and more when it would hold over ``MAX_CHUNK_RUNS``. The split never changes the result.
    """
    runs = _whole("runs", runs, 0)
    workers = _whole("workers", workers)
    first = _whole("first", first, 0)
    if runs == 0:
        return []
    if chunk_runs is not None:
        size = _whole("chunk_runs", chunk_runs)
        return [range(s, min(s + size, first + runs)) for s in range(first, first + runs, size)]
    count = CHUNKS_PER_WORKER * workers
    count = min(count, max(1, runs // MIN_CHUNK_RUNS))  # fewer when chunks would be too small
    count = max(count, math.ceil(runs / MAX_CHUNK_RUNS))  # more when they would be too large
    # Equal sizes give or take one run (no small last chunk); as MAX_CHUNK_RUNS is at least
    # twice MIN_CHUNK_RUNS, both bounds hold for every chunk of a batch of MIN_CHUNK_RUNS or more.
    base, extra = divmod(runs, count)
    chunks, start = [], first
    for i in range(count):
        stop = start + base + (1 if i < extra else 0)
        chunks.append(range(start, stop))
        start = stop
    return chunks


RunChunks = Callable[[Sequence[range]], Iterable[RunStatistics]]


def local_chunk_runner(
    model: Buildable,
    horizon: int,
    seed: int,
    *,
    on_chunk: Callable[[RunStatistics], None] | None = None,
) -> RunChunks:
    """Runs chunks one after the other in this process, the model built once.

    ``on_chunk`` is called with each chunk's statistics as it finishes (a progress bar)."""
    matrix, tree = model.build()
    horizon = _whole("horizon", horizon)
    seed = _whole("seed", seed, INT32_MIN)

    def run(chunks: Sequence[range]) -> list[RunStatistics]:
        parts = []
        for chunk in chunks:
            part = _runs(matrix, tree, horizon, seed, chunk.start, len(chunk))
            if on_chunk is not None:
                on_chunk(part)
            parts.append(part)
        return parts

    return run


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

    statistics: RunStatistics
    reached: bool  # False: max_runs came first
    target_ci: float
    max_runs: int
    relative_half_width: float  # of the mean unavailability's 95% interval at the end

    @classmethod
    def of(
        cls, statistics: RunStatistics, target_ci: float, max_runs: int | None = None
    ) -> PreciseResult:
        """The same verdict for a batch that ``run_until_precise`` (here or on Dask) returned:
        it depends only on the statistics, so a caller that got them back can report it."""
        target_ci = _target(target_ci)
        max_runs = DEFAULT_MAX_RUNS if max_runs is None else _whole("max_runs", max_runs)
        width = relative_half_width(summarize(statistics).mean_unavailability)
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
    on_round: Callable[[RunStatistics, float], None] | None = None,
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
    target_ci = _target(target_ci)
    max_runs = DEFAULT_MAX_RUNS if max_runs is None else _whole("max_runs", max_runs)
    first_runs = DEFAULT_FIRST_RUNS if first_runs is None else _whole("first_runs", first_runs)
    total = min(first_runs, max_runs)
    parts: list[RunStatistics] = []
    done = 0
    while True:
        chunks = plan_chunks(total - done, chunk_runs, workers, first=done)
        parts.extend(run_chunks(chunks))
        stats = merge(parts, runs=range(total))
        parts = [stats]  # keep one merged part instead of every chunk
        done = total
        width = relative_half_width(summarize(stats).mean_unavailability)
        if on_round is not None:
            on_round(stats, width)
        reached = width <= target_ci
        if reached or done >= max_runs:
            return PreciseResult(stats, reached, target_ci, max_runs, width)
        total = _next_total(done, width, target_ci, max_runs)
