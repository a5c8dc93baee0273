"""A batch of runs as chunks of consecutive run indices: the one planner of chunks, and the
runs of a chunk.

Run i of a batch seeded ``seed`` is seeded ``seed + i`` (wrapped to a signed 32-bit value, as
the engine does) whichever chunk holds it. A chunk holding runs ``first .. first + count - 1``
is therefore one ``runnerStatistics`` call of ``count`` runs seeded ``seed + first``, and the
chunks merged in run order give exactly the numbers of one batch of all the runs, however the
batch was split and wherever the chunks ran.

``run_chunk`` needs only a plain-data model (anything with ``build() -> (matrix, tree)``); it
builds the native objects in the process that calls it, so a chunk can be sent to another
process or machine as a pickled model and a few integers.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Protocol

from ..errors import INT32_MIN, check_integer, wrap_int32
from ..results.counts import BatchStatistics, merge

__all__ = [
    "CHUNKS_PER_WORKER",
    "MAX_CHUNK_RUNS",
    "MIN_PLANNED_CHUNK_RUNS",
    "MIN_PROGRESS_CHUNK_RUNS",
    "Buildable",
    "RunChunks",
    "local_chunk_runner",
    "plan_chunks",
    "progress_chunk_runs",
    "run_chunk",
]

# How a batch is split when the caller does not say (see plan_chunks):
# - a few chunks per worker, so that a worker that finishes early takes another chunk
#   instead of idling while the slowest one ends, and a lost worker costs a small share;
CHUNKS_PER_WORKER = 4
# - never so few runs that the cost of a chunk on a cluster (about 15 ms measured on a local
#   cluster: task sent, model built, result sent back and merged) rivals the runs themselves;
#   10,000 runs of a small model take about 150 ms on one core ...
MIN_PLANNED_CHUNK_RUNS = 10_000
# - ... nor so many that one chunk holds a worker for long or that a retry repeats much work.
#   Its per-run arrays take 16 MB at this size.
MAX_CHUNK_RUNS = 1_000_000

# A batch on this machine is one chunk, unless a progress bar counts chunks: then about
# this many chunks, so that the bar moves smoothly ...
PROGRESS_STEPS = 100
# ... but each large enough for every thread to get a share of the runs.
MIN_PROGRESS_CHUNK_RUNS = 256

# A native call keeps Python's lock until it returns. On a Dask worker that silences the
# worker's heartbeats, and the scheduler restarts a worker silent for longer than its
# worker-ttl (5 minutes by default), again at every retry of a chunk that long. So a chunk
# calls the engine in slices of about SLICE_SECONDS, the first of FIRST_SLICE_RUNS runs and
# each at most SLICE_GROWTH times the last, and the process's other threads run between
# them. Merged in run order, the slices give exactly the chunk's numbers.
SLICE_SECONDS = 1.0
FIRST_SLICE_RUNS = 1
SLICE_GROWTH = 8


class Buildable(Protocol):
    """A plain-data model: pickles as data and builds the native objects where it runs:
    (matrix, tree) or (matrix, tree, interactions), interactions None or a
    ``tavoq.Interactions``."""

    def build(self) -> tuple[Any, ...]: ...


def _built(model: Buildable) -> tuple[Any, Any, Any]:
    built = tuple(model.build())
    if len(built) not in (2, 3):
        raise ValueError(
            f"build() must give (matrix, tree) or (matrix, tree, interactions), got {len(built)} "
            "items"
        )
    return built[0], built[1], built[2] if len(built) == 3 else None


def run_chunk(
    model: Buildable, horizon: int, seed: int, first: int, count: int, bin_width: int = 1
) -> BatchStatistics:
    """Runs ``first .. first + count - 1`` of the batch seeded ``seed``, ``horizon`` time units
    each, the curves in bins of ``bin_width`` units. The model is built here: on a Dask
    worker this is the worker's own process. The engine is called in slices of about
    SLICE_SECONDS, so the process's other threads (a worker's heartbeats) keep running."""
    horizon = check_integer("horizon", horizon)
    seed = check_integer("seed", seed, INT32_MIN)
    first = check_integer("first", first, 0)
    count = check_integer("count", count, 0)
    bin_width = check_integer("bin_width", bin_width)
    matrix, tree, interactions = _built(model)
    return _in_slices(
        lambda start, runs: _runs(
            matrix, tree, interactions, horizon, seed, start, runs, bin_width
        ),
        first,
        count,
    )


def _runs(
    matrix: Any,
    tree: Any,
    interactions: Any,
    horizon: int,
    seed: int,
    first: int,
    count: int,
    bin_width: int,
) -> BatchStatistics:
    """Runs ``first .. first + count - 1`` of the batch seeded ``seed``: one native call. It
    writes nothing: the first draws out of range come back as counts per component."""
    import tavoq  # imported where the runs happen, which may be another process

    # A model without interactions makes the call without the argument: the plain engine.
    extra = {} if interactions is None else {"interactions": interactions}
    native = tavoq.runnerStatistics(
        count, horizon, matrix, tree, wrap_int32(seed + first), bin_width, **extra
    )
    return BatchStatistics.from_native(native, first_run=first)


def _in_slices(
    run: Callable[[int, int], BatchStatistics], first: int, count: int
) -> BatchStatistics:
    """``run(start, runs)`` over ``first .. first + count - 1`` in slices of about
    SLICE_SECONDS each, merged into one result (see SLICE_SECONDS).

    Each slice is merged as soon as it returns and its arrays are let go: keeping every slice
    until the chunk ends would hold each slice's curves at once."""
    merged: BatchStatistics | None = None
    start, end = first, first + count
    size = min(count, FIRST_SLICE_RUNS)
    while True:
        runs = min(size, end - start)
        began = time.perf_counter()
        part = run(start, runs)
        spent = time.perf_counter() - began
        merged = part if merged is None else merge([merged, part], runs=range(first, start + runs))
        del part
        start += runs
        if start >= end:
            return merged
        wanted = int(runs * SLICE_SECONDS / spent) if spent > 0.0 else runs * SLICE_GROWTH
        size = max(1, min(wanted, runs * SLICE_GROWTH))


def plan_chunks(
    runs: int, chunk_runs: int | None = None, workers: int = 1, *, first: int = 0
) -> list[range]:
    """Runs ``first .. first + runs - 1`` as consecutive ranges, in run order.

    With ``chunk_runs`` every chunk but the last holds that many runs. Otherwise the runs are
    shared into ``CHUNKS_PER_WORKER`` chunks per worker of equal size give or take one run,
    fewer when a chunk would hold under ``MIN_PLANNED_CHUNK_RUNS`` runs (a smaller batch is one chunk)
    and more when it would hold over ``MAX_CHUNK_RUNS``. The split never changes the result.
    """
    runs = check_integer("runs", runs, 0)
    workers = check_integer("workers", workers)
    first = check_integer("first", first, 0)
    if runs == 0:
        return []
    if chunk_runs is not None:
        size = check_integer("chunk_runs", chunk_runs)
        return [range(s, min(s + size, first + runs)) for s in range(first, first + runs, size)]
    count = CHUNKS_PER_WORKER * workers
    count = min(
        count, max(1, runs // MIN_PLANNED_CHUNK_RUNS)
    )  # fewer when chunks would be too small
    count = max(count, math.ceil(runs / MAX_CHUNK_RUNS))  # more when they would be too large
    # Equal sizes give or take one run (no small last chunk); as MAX_CHUNK_RUNS is at least
    # twice MIN_PLANNED_CHUNK_RUNS, both bounds hold for every chunk of a batch of MIN_PLANNED_CHUNK_RUNS or more.
    base, extra = divmod(runs, count)
    chunks, start = [], first
    for i in range(count):
        stop = start + base + (1 if i < extra else 0)
        chunks.append(range(start, stop))
        start = stop
    return chunks


def progress_chunk_runs(runs: int) -> int:
    """Runs per chunk when a progress bar counts the chunks: about PROGRESS_STEPS of them,
    none smaller than MIN_PROGRESS_CHUNK_RUNS (unless the batch is)."""
    return max(math.ceil(runs / PROGRESS_STEPS), min(runs, MIN_PROGRESS_CHUNK_RUNS))


RunChunks = Callable[[Sequence[range]], Iterable[BatchStatistics]]


def local_chunk_runner(
    model: Buildable,
    horizon: int,
    seed: int,
    *,
    on_chunk: Callable[[BatchStatistics], None] | None = None,
    bin_width: int = 1,
) -> RunChunks:
    """Runs chunks one after the other in this process, the model built once, and yields
    each chunk's statistics as it finishes (the caller merges and lets go of it).

    ``on_chunk`` is called with each chunk's statistics as it finishes (a progress bar)."""
    matrix, tree, interactions = _built(model)
    horizon = check_integer("horizon", horizon)
    seed = check_integer("seed", seed, INT32_MIN)
    bin_width = check_integer("bin_width", bin_width)

    def run(chunks: Sequence[range]) -> Iterator[BatchStatistics]:
        for chunk in chunks:
            part = _runs(
                matrix, tree, interactions, horizon, seed, chunk.start, len(chunk), bin_width
            )
            if on_chunk is not None:
                on_chunk(part)
            yield part

    return run
