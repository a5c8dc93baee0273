"""Run a model: its batch of runs, split into chunks of consecutive run indices.

Run i of a batch is seeded ``seed + i`` whatever chunk it falls in: a chunk holding runs
``first .. first + n - 1`` is one ``runnerStatistics`` call of n runs seeded ``seed + first``.
The chunks' statistics are merged in run order, so the result is the same as one batch of all
the runs, however the batch was split. Chunks are what a progress bar counts, and what can be
sent elsewhere: ``run_chunk`` needs only the plain-data Model.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING

from .model import INT32_MAX, INT32_MIN, Model

if TYPE_CHECKING:
    from .statistics import RunStatistics

__all__ = ["chunk_ranges", "default_chunk_runs", "run_chunk", "simulate"]

# A bar that would vanish in under this many seconds is not worth drawing.
PROGRESS_DELAY_S = 0.5
# Aim for about this many chunks when a bar is shown, so that it moves smoothly ...
PROGRESS_STEPS = 100
# ... but keep chunks large enough for every thread to get a share of the runs.
MIN_CHUNK_RUNS = 256


def _wrap32(value: int) -> int:
    """Two's-complement wrap into a signed 32-bit int, as the engine adds seeds."""
    value &= 0xFFFFFFFF
    return value - 2**32 if value > INT32_MAX else value


def _whole(name: str, value: object, low: int = 1, high: int = INT32_MAX) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        what = "a positive integer" if low == 1 else f"an integer from {low}"
        raise ValueError(f"{name} must be {what} up to {high}, got {value!r}")
    return value


def default_chunk_runs(runs: int, progress: bool) -> int:
    """Runs per chunk: all of them in one call, unless a progress bar needs steps."""
    if not progress:
        return runs
    return max(math.ceil(runs / PROGRESS_STEPS), min(runs, MIN_CHUNK_RUNS))


def chunk_ranges(runs: int, chunk_runs: int) -> Iterator[tuple[int, int]]:
    """(first run index, number of runs) of each chunk, in run order."""
    for first in range(0, runs, chunk_runs):
        yield first, min(chunk_runs, runs - first)


def _run_built(matrix, tree, horizon: int, seed: int, first: int, n: int) -> RunStatistics:
    import tavoq

    from .statistics import RunStatistics

    native = tavoq.runnerStatistics(n, horizon, matrix, tree, _wrap32(seed + first))
    return RunStatistics.from_native(native, first_run=first)


def run_chunk(model: Model, seed: int, horizon: int, first: int, n: int) -> RunStatistics:
    """Runs ``first .. first + n - 1`` of the batch seeded ``seed``, from the plain model
    (built here, so this runs wherever the model is sent)."""
    matrix, tree = model.build()
    return _run_built(matrix, tree, horizon, seed, first, n)


@contextmanager
def _progress_bar(enabled: bool, total: int):
    if not enabled:
        yield None
        return
    from tqdm import tqdm

    bar = tqdm(
        total=total, unit="run", unit_scale=True, file=sys.stderr, delay=PROGRESS_DELAY_S,
        dynamic_ncols=True, leave=False,
    )
    try:
        yield bar
    finally:
        bar.close()


def simulate(
    model: Model,
    runs: int | None = None,
    seed: int | None = None,
    *,
    threads: int | None = None,
    horizon: int | None = None,
    chunk_runs: int | None = None,
    progress: bool = False,
    client: object = None,
    target_ci: float | None = None,
    max_runs: int | None = None,
) -> RunStatistics:
    """Simulate ``model`` and return the statistics of its runs.

    ``runs``, ``seed``, ``threads`` and ``horizon`` default to the model's [simulation]
    settings. ``chunk_runs`` splits the batch (default: one chunk, or about a hundred with a
    progress bar); the result does not depend on it. ``progress`` draws a tqdm bar on stderr
    once a batch lasts more than half a second. Ctrl-C raises KeyboardInterrupt from the
    running chunk.

    ``client`` (a Dask client), ``target_ci`` and ``max_runs`` are reserved for running on a
    cluster and until a precision is reached; this version runs locally only and raises
    ValueError when they are given.
    """
    if not isinstance(model, Model):
        raise TypeError(f"model must be a tavoq_tools Model, got {type(model).__name__}")
    settings = model.simulation
    runs = _whole("runs", settings.runs if runs is None else runs)
    seed = _whole("seed", settings.seed if seed is None else seed, INT32_MIN)
    horizon = _whole("horizon", settings.horizon if horizon is None else horizon)
    threads = settings.threads if threads is None else _whole("threads", threads)
    chunk = default_chunk_runs(runs, bool(progress)) if chunk_runs is None else (
        _whole("chunk_runs", chunk_runs)
    )
    if client is not None:
        raise ValueError(
            "simulate(client=...): running on a Dask cluster is not available in this "
            "version; leave client out to run on this machine"
        )
    if target_ci is not None or max_runs is not None:
        raise ValueError(
            "simulate(target_ci=..., max_runs=...): running until a precision is reached is "
            "not available in this version; give runs instead"
        )

    import tavoq

    from .statistics import merge

    if threads is not None:
        tavoq.limitOMPThreads(threads)
    matrix, tree = model.build()
    parts = []
    with _progress_bar(bool(progress), runs) as bar:
        for first, n in chunk_ranges(runs, chunk):
            parts.append(_run_built(matrix, tree, horizon, seed, first, n))
            if bar is not None:
                bar.update(n)
    return merge(parts)
