"""Where the chunks of a rare-event estimate run: on this machine, or as tasks on a Dask
cluster (docs/scale-out.md).

A chunk is one call of a native rare-event runner (``runnerRareSampling`` or
``runnerRareSplitting``) for consecutive runs or roots of the batch, each seeded from (seed,
its index) alone, so an estimate is the same however its chunks are spread. A task receives
the plain-data model and builds its native objects on its worker, as crude chunks do."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from ..model.system import Model

__all__ = ["Chunk", "ChunkCalls", "dask_calls", "local_calls"]

#: A runner's keyword arguments but the model's native objects (matrix, tree, interactions).
Chunk = dict[str, Any]


@dataclass(frozen=True)
class ChunkCalls:
    """``run(runner, chunks)`` runs the chunks of a native runner, named, and gives their
    results in the chunks' order, on ``workers`` threads at once."""

    run: Callable[[str, Sequence[Chunk]], list[Any]]
    workers: int = 1

    def starts(self, first: int, stop: int, most: int) -> list[tuple[int, int]]:
        """(first index, count) of the chunks of indices first .. stop - 1: at most ``most``
        each, and one per worker where that is fewer."""
        size = min(most, max(1, math.ceil((stop - first) / self.workers)))
        return [(start, min(size, stop - start)) for start in range(first, stop, size)]


def _call(runner: str, matrix: Any, tree: Any, interactions: Any, chunk: Chunk) -> Any:
    import tavoq

    native = {"transitionsMatrix": matrix, "faultTree": tree}
    if runner == "runnerRareSplitting":
        native["interactions"] = interactions
    return getattr(tavoq, runner)(**native, **chunk)


def local_calls(matrix: Any, tree: Any, interactions: Any = None) -> ChunkCalls:
    """The chunks run here, one after another, on these native objects."""

    def run(runner: str, chunks: Sequence[Chunk]) -> list[Any]:
        return [_call(runner, matrix, tree, interactions, chunk) for chunk in chunks]

    return ChunkCalls(run)


def _on_worker(model: Model, runner: str, chunk: Chunk) -> Any:
    matrix, tree, interactions = model.build()
    return _call(runner, matrix, tree, interactions, chunk)


def dask_calls(
    client: Any,
    model: Model,
    worker_timeout: float | None = None,
    on_waiting: Callable[[], None] | None = None,
) -> ChunkCalls:
    """The chunks run as tasks on the cluster of ``client``, each retried as crude chunks
    are; a cluster without a worker for ``worker_timeout`` seconds (default
    DEFAULT_WORKER_TIMEOUT_S) raises NoWorkersError, ``on_waiting`` called as the wait
    begins."""
    from .dask_cluster import (
        DEFAULT_WORKER_TIMEOUT_S,
        RETRIES,
        check_worker_timeout,
        checked_client,
        completed,
        workers_of,
    )

    distributed = checked_client(client)
    timeout = check_worker_timeout(
        DEFAULT_WORKER_TIMEOUT_S if worker_timeout is None else worker_timeout
    )

    def run(runner: str, chunks: Sequence[Chunk]) -> list[Any]:
        futures = [
            client.submit(_on_worker, model, runner, chunk, pure=False, retries=RETRIES)
            for chunk in chunks
        ]
        results: list[Any] = [None] * len(futures)
        for i, part in completed(distributed, client, futures, timeout, on_waiting):
            results[i] = part
        return results

    return ChunkCalls(run, workers_of(client))
