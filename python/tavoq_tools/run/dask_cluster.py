"""A batch of runs on a Dask cluster, identical to the same batch run on this machine.

The batch is split into chunks of consecutive run indices (``chunks.plan_chunks``). Each chunk
is one task: it receives the plain-data model (pickled as data, never native objects), builds
the matrix and tree on its worker and runs ``runnerStatistics`` for its runs with seed
``seed + first index``. The results are gathered as they complete and merged in run order by
``results.counts.merge``, which checks that every run index is held exactly once.

Nothing is lost or counted twice:
- a task whose worker dies is sent again by the scheduler, and a task that raises is retried
  (``retries``); the chunk's runs are seeded by their index, so a rerun gives the same numbers;
- a task that still fails raises here, the other chunks are cancelled, and no partial result
  is returned.

Dask is an optional extra (``pip install tavoq[dask]``); it is imported only when a batch is
sent to a cluster, and nothing else in the package needs it.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import CancelledError
from typing import Any

from ..errors import INT32_MIN, DaskMissingError, check_integer
from ..results.counts import BatchStatistics, merge_as_they_come
from .chunks import Buildable, RunChunks, plan_chunks, run_chunk
from .plan import plan_run
from .precise import check_max_runs, run_until_precise

__all__ = [
    "DEFAULT_WORKER_TIMEOUT_S",
    "DaskMissingError",
    "NoWorkersError",
    "SchedulerLostError",
    "check_worker_timeout",
    "checked_client",
    "completed",
    "dask_chunk_runner",
    "import_distributed",
    "run_on_dask",
    "simulate_on_dask",
    "workers_of",
]

# Times a task that raised is run again before the batch gives up. A worker that dies is not
# counted here: the scheduler resends its tasks on its own.
RETRIES = 3
# A cluster without a worker holds its tasks until one joins; the batch waits this long for
# one (unless the caller says otherwise) and then gives up, instead of waiting forever ...
DEFAULT_WORKER_TIMEOUT_S = 600.0
# ... and looks at the cluster's workers when no chunk came back within this time.
WORKER_POLL_S = 1.0


class NoWorkersError(RuntimeError):
    """The cluster had no worker for longer than the batch would wait."""


class SchedulerLostError(RuntimeError):
    """The Dask scheduler went away during a batch (stopped, killed or restarted), taking the
    batch's tasks with it."""


def _reason(err: BaseException) -> str:
    """Dask's reason for cancelling futures, or the first line of its error: its text goes on
    with the ids of every future."""
    lines = str(err).strip().splitlines()
    for line in lines:
        if "for reason:" in line:
            return line.split("for reason:", 1)[1].strip().rstrip(".")
    return lines[0] if lines else type(err).__name__


def _scheduler_address(client: Any) -> str:
    try:
        return str(client.scheduler.address)
    except Exception:  # only for the message: a client without one still gets a message
        return "?"


def import_distributed() -> Any:
    try:
        import distributed
    except ImportError as error:
        raise DaskMissingError(
            "running on a Dask cluster needs dask.distributed, which is not installed: "
            "pip install tavoq[dask] (or pip install .[dask] in the source tree), on this "
            "machine and on every worker"
        ) from error
    return distributed


def workers_of(client: Any) -> int:
    """Threads the cluster has now (at least 1: a cluster may still be starting)."""
    try:
        return max(1, sum(client.nthreads().values()))
    except Exception:  # the plan only needs a rough count; a failing query leaves it at one
        return 1


def dask_chunk_runner(
    client: Any,
    model: Buildable,
    horizon: int,
    seed: int,
    *,
    on_chunk: Callable[[BatchStatistics], None] | None = None,
    retries: int = RETRIES,
    worker_timeout: float = DEFAULT_WORKER_TIMEOUT_S,
    on_waiting: Callable[[], None] | None = None,
    bin_width: int = 1,
) -> RunChunks:
    """A function that runs a list of run ranges as tasks on ``client`` and yields their
    statistics in the order they complete, for the caller to merge and let go of;
    ``on_chunk`` sees each one as it arrives.

    While the cluster has no worker, the tasks wait for one: ``on_waiting`` is called once
    each time that begins, and after ``worker_timeout`` seconds without a worker the batch
    raises NoWorkersError. A worker that joins in time takes the tasks as usual."""
    distributed = checked_client(client)

    def run(chunks: Sequence[range]) -> Iterator[BatchStatistics]:
        futures = [
            client.submit(
                run_chunk,
                model,
                horizon,
                seed,
                chunk.start,
                len(chunk),
                bin_width,
                pure=False,
                retries=retries,
            )
            for chunk in chunks
        ]
        for _, part in completed(distributed, client, futures, worker_timeout, on_waiting):
            if on_chunk is not None:
                on_chunk(part)
            yield part
            del part

    return run


def checked_client(client: Any) -> Any:
    """dask.distributed, once ``client`` is known to be its Client."""
    distributed = import_distributed()
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed Client, got {type(client).__name__}")
    return distributed


def completed(
    distributed: Any,
    client: Any,
    futures: list[Any],
    worker_timeout: float,
    on_waiting: Callable[[], None] | None,
) -> Iterator[tuple[int, Any]]:
    """(index, result) of each of ``futures`` as it completes. A task's own error is raised
    once its retries are spent, a lost scheduler as SchedulerLostError, a cluster without a
    worker for ``worker_timeout`` seconds as NoWorkersError (``on_waiting`` called as the
    wait begins); whatever ends early cancels the tasks still running."""
    poll = min(WORKER_POLL_S, worker_timeout / 4)
    index = {future: i for i, future in enumerate(futures)}
    pending = set(futures)
    alone_since: float | None = None  # since when the cluster has had no worker

    def has_workers() -> bool:
        try:
            return bool(client.nthreads())
        except Exception:  # a scheduler that does not answer is no sign of a lost worker
            return True

    def lost(err: BaseException) -> SchedulerLostError:
        return SchedulerLostError(
            f"the Dask scheduler at {_scheduler_address(client)} went away (stopped or "
            f"restarted) with the batch's tasks: {len(pending)} of {len(futures)} chunks "
            f"were not run ({_reason(err)})"
        )

    try:
        while pending:
            try:
                done = distributed.wait(
                    list(pending), timeout=poll, return_when="FIRST_COMPLETED"
                ).done
            except TimeoutError:
                done = set()
            except (CancelledError, distributed.comm.CommClosedError) as err:
                raise lost(err) from None
            for future in done:
                try:
                    # Raises the task's own error once its retries are spent.
                    part = future.result()
                except (CancelledError, distributed.comm.CommClosedError) as err:
                    raise lost(err) from None
                pending.discard(future)
                yield index[future], part
                del part
            if done or has_workers():
                alone_since = None
            elif alone_since is None:
                alone_since = time.monotonic()
                if on_waiting is not None:
                    on_waiting()
            elif time.monotonic() - alone_since > worker_timeout:
                raise NoWorkersError(
                    f"the Dask cluster had no worker for {worker_timeout:g} s; "
                    f"{len(pending)} of {len(futures)} chunks were not run"
                )
    finally:
        # On an error or Ctrl-C, leave nothing running on the cluster.
        unfinished = [f for f in futures if not f.done()]
        if unfinished:
            client.cancel(unfinished)


def simulate_on_dask(
    client: Any,
    model: Buildable,
    runs: int,
    seed: int,
    horizon: int,
    *,
    chunk_runs: int | None = None,
    on_chunk: Callable[[BatchStatistics], None] | None = None,
    target_ci: float | None = None,
    max_runs: int | None = None,
    worker_timeout: float = DEFAULT_WORKER_TIMEOUT_S,
    on_waiting: Callable[[], None] | None = None,
    points: int | None = None,
) -> BatchStatistics:
    """Runs ``0 .. runs - 1`` of the batch seeded ``seed`` on the cluster of ``client`` (a
    ``dask.distributed.Client``); identical to one local ``runnerStatistics`` batch.

    ``points`` bounds the entries of the curves as ``simulate``'s does (default
    ``DEFAULT_POINTS``): a longer horizon is counted in bins of ``bin_width_for(horizon,
    points)`` units.

    ``chunk_runs`` sets the runs per task (default: see ``chunks.plan_chunks``); ``on_chunk``
    is called with each chunk's statistics as it completes (a progress bar: ``n_runs``).

    With ``target_ci``, ``runs`` is the first round and rounds of chunks follow until the mean
    unavailability is known to ±target_ci of itself or ``max_runs`` runs were made (see
    ``precise.run_until_precise``); ``precise.PreciseResult.of(result, target_ci, max_runs)``
    then says which, and ``n_runs`` how many runs it took.

    While the cluster has no worker the batch waits for one, calling ``on_waiting`` as it
    begins to, and raises NoWorkersError after ``worker_timeout`` seconds without one.
    """
    runs = check_integer("runs", runs)
    seed = check_integer("seed", seed, INT32_MIN)
    horizon = check_integer("horizon", horizon)
    check_max_runs(target_ci, max_runs)
    if not callable(getattr(model, "build", None)):
        raise TypeError(f"model must have a build() method, got {type(model).__name__}")
    worker_timeout = check_worker_timeout(worker_timeout)
    plan = plan_run(horizon, points)
    return run_on_dask(
        client,
        model,
        runs,
        seed,
        horizon,
        chunk_runs=chunk_runs,
        on_chunk=on_chunk,
        target_ci=target_ci,
        max_runs=max_runs,
        worker_timeout=worker_timeout,
        on_waiting=on_waiting,
        bin_width=plan.bin_width,
    )


def check_worker_timeout(seconds: object) -> float:
    if (
        isinstance(seconds, bool)
        or not isinstance(seconds, int | float)
        or not 0.0 < seconds < math.inf
    ):
        raise ValueError(f"worker_timeout must be a positive number of seconds, got {seconds!r}")
    return float(seconds)


def run_on_dask(
    client: Any,
    model: Buildable,
    runs: int,
    seed: int,
    horizon: int,
    *,
    chunk_runs: int | None = None,
    on_chunk: Callable[[BatchStatistics], None] | None = None,
    target_ci: float | None = None,
    max_runs: int | None = None,
    worker_timeout: float = DEFAULT_WORKER_TIMEOUT_S,
    on_waiting: Callable[[], None] | None = None,
    bin_width: int = 1,
) -> BatchStatistics:
    """``simulate_on_dask`` for arguments already checked (as ``simulate`` checks them)."""
    execute = dask_chunk_runner(
        client,
        model,
        horizon,
        seed,
        on_chunk=on_chunk,
        worker_timeout=worker_timeout,
        on_waiting=on_waiting,
        bin_width=bin_width,
    )
    workers = workers_of(client)
    if target_ci is not None:
        result = run_until_precise(
            execute,
            target_ci,
            max_runs,
            first_runs=runs,
            chunk_runs=chunk_runs,
            workers=workers,
        )
        return result.statistics
    return merge_as_they_come(execute(plan_chunks(runs, chunk_runs, workers)), range(runs))
