"""Run a model: its batch of runs, split into chunks of consecutive run indices.

Run i of a batch is seeded ``seed + i`` whatever chunk it falls in: a chunk holding runs
``first .. first + n - 1`` is one ``runnerStatistics`` call of n runs seeded ``seed + first``.
The chunks' statistics are merged in run order, so the result is the same as one batch of all
the runs, however the batch was split. Chunks are what a progress bar counts, and what can be
sent elsewhere: ``chunks.run_chunk`` needs only the plain-data Model, and
``dask_cluster`` runs the chunks as tasks on a Dask cluster.
"""

from __future__ import annotations

import dataclasses
import os
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, TypedDict, Unpack, overload

import numpy as np

from ..errors import INT32_MAX, INT32_MIN, NegativeDelayWarning, check_integer, wrap_int32
from ..model.system import Model
from .chunks import plan_chunks, progress_chunk_runs
from .plan import DEFAULT_POINTS, bin_width_for, plan_run
from .precise import check_max_runs

if TYPE_CHECKING:
    from collections.abc import Mapping
    from pathlib import Path

    from ..analysis.importance import ImportanceResult
    from ..analysis.sweep import SweepResult, TornadoResult
    from ..analysis.uncertainty import SampleModel, UncertaintyResult
    from ..formats.document import Document
    from ..model.system import RareSettings
    from ..results.counts import BatchStatistics
    from .rare import RareEstimate

__all__ = [
    "DEFAULT_POINTS",
    "Simulated",
    "batch_of",
    "bin_width_for",
    "default_threads",
    "importance",
    "simulate",
    "sweep",
    "tornado",
    "uncertainty",
]

# A bar that would vanish in under this many seconds is not worth drawing.
PROGRESS_DELAY_S = 0.5


# OpenMP reads OMP_NUM_THREADS once, when the process starts; read it as early. (Libraries
# change it later for the processes they start: Dask's LocalCluster does.)
_OMP_NUM_THREADS = os.environ.get("OMP_NUM_THREADS", "")


def default_threads() -> int:
    """The threads a run uses when neither the call nor the model says: the first number of
    OMP_NUM_THREADS when set, as OpenMP itself starts, else every core this process may use."""
    first = _OMP_NUM_THREADS.split(",")[0].strip()
    if first.isdigit() and int(first) > 0:
        return int(first)
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


@contextmanager
def _progress_bar(enabled: bool, total: int | None) -> Iterator[Any]:
    if not enabled:
        yield None
        return
    from tqdm import tqdm

    bar = tqdm(
        total=total,
        unit="run",
        unit_scale=True,
        file=sys.stderr,
        delay=PROGRESS_DELAY_S,
        dynamic_ncols=True,
        leave=False,
    )
    try:
        yield bar
    finally:
        bar.close()


class Simulated(NamedTuple):
    """A batch's statistics and the importance measures asked of ``simulate`` beside it,
    on the same runs."""

    statistics: BatchStatistics
    importance: ImportanceResult


class SimulateOptions(TypedDict, total=False):
    """The keyword options of ``simulate`` beside ``importance`` and ``rare``."""

    threads: int | None
    horizon: int | None
    chunk_runs: int | None
    progress: bool
    client: object
    target_ci: float | None
    max_runs: int | None
    worker_timeout: float | None
    on_waiting: Callable[[], None] | None
    points: int | None


@overload
def simulate(
    model: Model,
    runs: int | None = None,
    seed: int | None = None,
    *,
    importance: None = None,
    rare: None = None,
    **options: Unpack[SimulateOptions],
) -> BatchStatistics: ...


@overload
def simulate(
    model: Model,
    runs: int | None = None,
    seed: int | None = None,
    *,
    importance: bool | str | Sequence[str],
    rare: None = None,
    **options: Unpack[SimulateOptions],
) -> BatchStatistics | Simulated: ...


@overload
def simulate(
    model: Model,
    runs: int | None = None,
    seed: int | None = None,
    *,
    rare: Literal[True] | str | RareSettings,
    importance: None = None,
    **options: Unpack[SimulateOptions],
) -> RareEstimate: ...


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
    worker_timeout: float | None = None,
    on_waiting: Callable[[], None] | None = None,
    points: int | None = None,
    importance: bool | str | Sequence[str] | None = None,
    rare: bool | str | RareSettings | None = None,
) -> BatchStatistics | Simulated | RareEstimate:
    """Simulate ``model`` and return the statistics of its runs.

    ``runs``, ``seed``, ``threads`` and ``horizon`` default to the model's [simulation]
    settings. ``chunk_runs`` splits the batch (default: one chunk, or about a hundred with a
    progress bar); the result does not depend on it. ``progress`` draws a tqdm bar on stderr
    once a batch lasts more than half a second. Ctrl-C raises KeyboardInterrupt from the
    running chunk.

    ``client`` (a ``dask.distributed.Client``) runs the chunks as tasks on its cluster
    (see tavoq_tools.run.dask_cluster; ``threads`` then has no effect, the workers have their own
    cores); the bar moves as chunks complete. The result is the same as on this machine.
    While the cluster has no worker, the runs wait for one: ``on_waiting`` is called as that
    begins, and after ``worker_timeout`` seconds without one (default 600) the call raises
    ``dask_cluster.NoWorkersError``.

    ``target_ci`` (0.1 for ±10%) runs chunk after chunk until the 95% interval of the mean
    unavailability lies within ±target_ci of the estimate, or ``max_runs`` runs were made
    (default tavoq_tools.run.precise.DEFAULT_MAX_RUNS); ``runs`` is then the first round. The
    result equals one batch of ``n_runs`` runs; ``precise.PreciseResult.of(result, target_ci,
    max_runs)`` says which limit stopped it.

    ``points`` bounds the entries of the curves (default DEFAULT_POINTS): a longer horizon
    is counted in bins of ``bin_width_for(horizon, points)`` units (``bin_width`` of the
    result), each curve entry summing its bin's units. Every other figure is exact whatever
    the bins, and a horizon of at most ``points`` units keeps every unit.

    Negative first draws, which the engine counts per component, are reported as one
    ``NegativeDelayWarning`` naming the components.

    ``importance`` also measures the importance of components and named gates on the same
    runs (see ``importance``): True for all, a list of names, one name, or ``"top:N"`` for
    the N components that triggered the most system failures. The call then returns a
    ``Simulated`` pair, ``(statistics, importance)``; False or None returns the statistics
    alone.

    ``rare`` runs rare-event mode instead (tavoq_tools.run.rare, docs/rare-events.md) and
    returns its ``RareEstimate`` of the unreliability: True for the model's ``[rare]``
    settings (or the defaults), a method name, or ``RareSettings``. ``target_ci`` and
    ``max_runs``, when given, override the settings'; ``client`` runs its chunks on the
    cluster, with the same numbers; the other options of crude batches (chunks, progress,
    points) do not apply and are refused.
    """
    if rare is not None and rare is not False:
        return _rare_run(
            model,
            runs,
            seed,
            horizon,
            threads,
            rare,
            importance,
            target_ci,
            max_runs,
            {"chunk_runs": chunk_runs, "progress": progress or None, "points": points},
            client=client,
            worker_timeout=worker_timeout,
            on_waiting=on_waiting,
        )
    runs, seed, horizon, threads = _settings(model, runs, seed, horizon, threads)
    if chunk_runs is not None:
        chunk = check_integer("chunk_runs", chunk_runs)
    else:
        chunk = progress_chunk_runs(runs) if progress else runs
    check_max_runs(target_ci, max_runs)
    if max_runs is not None:
        max_runs = check_integer("max_runs", max_runs)
    bin_width = plan_run(horizon, points).bin_width
    result = _simulate(
        model,
        runs,
        seed,
        threads,
        horizon,
        chunk,
        chunk_runs,
        progress,
        client,
        target_ci,
        max_runs,
        worker_timeout,
        on_waiting,
        bin_width,
    )
    # A demand failure that does not happen is a negative first draw on purpose: not warned of.
    quiet = frozenset(getattr(model, "demand_components", ()))
    negative = [0 if c in quiet else n for c, n in enumerate(result.negative_delays.tolist())]
    if any(negative):
        warnings.warn(
            NegativeDelayWarning.of_counts(negative, model.component_names),
            stacklevel=2,
        )
    if importance is None or importance is False:
        return result
    return Simulated(result, _importance_beside(model, result, importance, threads, client))


def _rare_run(
    model: Model,
    runs: int | None,
    seed: int | None,
    horizon: int | None,
    threads: int | None,
    rare: bool | str | RareSettings,
    importance: object,
    target_ci: float | None,
    max_runs: int | None,
    crude_only: Mapping[str, object],
    **cluster: Any,
) -> RareEstimate:
    """``simulate(..., rare=...)``: the settings resolved, then rare_estimate."""
    from ..model.system import RareSettings
    from .rare_method import rare_estimate

    taken = [name for name, value in crude_only.items() if value is not None]
    if importance is not None and importance is not False:
        taken.insert(0, "importance (see tavoq_tools.run.rare.rare_importance)")
    if taken:
        raise ValueError(f"rare mode takes no {', '.join(taken)}")
    if isinstance(rare, RareSettings):
        settings = rare
    elif rare is True:
        settings = model.rare or RareSettings()
    elif isinstance(rare, str):
        settings = dataclasses.replace(model.rare or RareSettings(), method=rare)
    else:
        raise TypeError(
            f"rare must be True, a method name or RareSettings, got {type(rare).__name__}"
        )
    import tavoq

    tavoq.limitOMPThreads(default_threads() if threads is None else threads)
    return rare_estimate(
        model,
        settings,
        runs,
        seed,
        horizon=horizon,
        target_ci=target_ci,
        max_runs=max_runs,
        **cluster,
    )


def _importance_beside(
    model: Model,
    base: BatchStatistics,
    asked: bool | str | Sequence[str],
    threads: int | None,
    client: object,
) -> ImportanceResult:
    """The importance ``simulate(..., importance=asked)`` adds, on the runs of ``base``."""
    from ..analysis.importance import asked_names

    if not isinstance(asked, bool | str) and (
        not isinstance(asked, Sequence) or not all(isinstance(n, str) for n in asked)
    ):
        raise TypeError(
            "importance must be True, a name, a list of names or 'top:N', got "
            f"{type(asked).__name__}"
        )
    names = asked_names(asked, model, base)
    return importance(
        model,
        names,
        base.n_runs,
        base.seed,
        threads=threads,
        horizon=base.sim_time,
        client=client,
        base=base,
    )


def _settings(
    model: Model, runs: int | None, seed: int | None, horizon: int | None, threads: int | None
) -> tuple[int, int, int, int | None]:
    """The runs, seed, horizon and threads of a call: the given ones, checked, or the
    model's [simulation] settings."""
    if not isinstance(model, Model):
        raise TypeError(f"model must be a tavoq_tools Model, got {type(model).__name__}")
    settings = model.simulation
    runs = check_integer("runs", settings.runs if runs is None else runs)
    seed = check_integer("seed", settings.seed if seed is None else seed, INT32_MIN)
    horizon = check_integer("horizon", settings.horizon if horizon is None else horizon)
    threads = settings.threads if threads is None else check_integer("threads", threads)
    return runs, seed, horizon, threads


def batch_of(
    model: Any,
    runs: int,
    seed: int,
    *,
    threads: int | None = None,
    horizon: int | None = None,
    client: object = None,
) -> BatchStatistics:
    """One batch of a model or of a plain-data stand-in for one (anything with
    ``simulation`` and ``build()``: a held model, a sweep's point), runs 0 .. runs - 1
    seeded ``seed``, as ``simulate`` makes it (here, or on ``client``'s cluster). The
    analyses read its per-run figures, so its curves are one bin (over ``horizon``, the
    model's unless given)."""
    horizon = model.simulation.horizon if horizon is None else horizon
    return _simulate(
        model,
        runs,
        seed,
        threads,
        horizon,
        runs,
        None,
        False,
        client,
        None,
        None,
        None,
        None,
        max(1, horizon),
    )


def _simulate(
    model: Model,
    runs: int,
    seed: int,
    threads: int | None,
    horizon: int,
    chunk: int,
    chunk_runs: int | None,
    progress: bool,
    client: object,
    target_ci: float | None,
    max_runs: int | None,
    worker_timeout: float | None,
    on_waiting: Callable[[], None] | None,
    bin_width: int,
) -> BatchStatistics:
    if client is not None:
        from .dask_cluster import DEFAULT_WORKER_TIMEOUT_S, check_worker_timeout, run_on_dask

        if worker_timeout is None:
            worker_timeout = DEFAULT_WORKER_TIMEOUT_S
        worker_timeout = check_worker_timeout(worker_timeout)

        # Chunks on a cluster are sized for the cluster unless the caller says otherwise.
        with _progress_bar(bool(progress), None if target_ci is not None else runs) as bar:
            return run_on_dask(
                client,
                model,
                runs,
                seed,
                horizon,
                chunk_runs=chunk_runs,
                on_chunk=None if bar is None else (lambda part: bar.update(part.n_runs)),
                target_ci=target_ci,
                max_runs=max_runs,
                worker_timeout=worker_timeout,
                on_waiting=on_waiting,
                bin_width=bin_width,
            )

    import tavoq

    from ..results.counts import merge_as_they_come
    from .chunks import local_chunk_runner
    from .precise import run_until_precise

    # The count is the module's for later calls too: set it every time, so that a run
    # without one uses all cores even after a run with one.
    tavoq.limitOMPThreads(default_threads() if threads is None else threads)
    with _progress_bar(bool(progress), None if target_ci is not None else runs) as bar:
        run_chunks = local_chunk_runner(
            model,
            horizon,
            seed,
            on_chunk=None if bar is None else (lambda part: bar.update(part.n_runs)),
            bin_width=bin_width,
        )
        if target_ci is not None:
            # A bar moves in steps of the first round's chunks; otherwise rounds are planned
            # as on a one-worker cluster.
            step = chunk if chunk_runs is not None or progress else None
            result = run_until_precise(
                run_chunks, target_ci, max_runs, first_runs=runs, chunk_runs=step
            )
            return result.statistics
        # Each chunk is merged as it finishes and let go: with a progress bar there are a
        # hundred of them, and keeping them all held a hundred copies of the curves.
        return merge_as_they_come(run_chunks(plan_chunks(runs, chunk)), range(runs))


def importance(
    model: Model,
    names: Sequence[str] | None = None,
    runs: int | None = None,
    seed: int | None = None,
    *,
    threads: int | None = None,
    horizon: int | None = None,
    client: object = None,
    base: BatchStatistics | None = None,
    cutset_form: bool = False,
) -> ImportanceResult:
    """Importance measures of the components and named gates ``names`` (default: all), each
    with its interval (tavoq_tools.analysis.importance): held batches of the same runs, on
    the same seeds, as ``base`` (a batch of the model from ``simulate`` with these runs,
    seed and horizon; made here when not given). In a model without interactions whose
    logic is coherent, one pass over the base runs gives every node's held runs (their
    critical time, runnerImportance); ``cutset_form`` adds the cut-set form of
    Fussell-Vesely, a batch per component. Otherwise, or on ``client``'s cluster, each
    node takes two held batches (three with the cut-set form where the cut sets are
    listed)."""
    from ..analysis.importance import importance as measure

    runs, seed, horizon, threads = _settings(model, runs, seed, horizon, threads)

    def run_batch(held: Any) -> BatchStatistics:
        return batch_of(held, runs, seed, threads=threads, horizon=horizon, client=client)

    if base is None:
        base = run_batch(model)
    elif (base.n_runs, base.seed, base.sim_time, base.first_run) != (runs, seed, horizon, 0):
        raise ValueError(
            f"base must be runs 0..{runs - 1} seeded {seed} over {horizon} units, got "
            f"{base.n_runs} runs from {base.first_run} seeded {base.seed} over {base.sim_time}"
        )

    def critical_runs(nodes: list[int]) -> dict[str, np.ndarray]:
        import tavoq

        tavoq.limitOMPThreads(default_threads() if threads is None else threads)
        tree = model.logic_graph.to_native()
        found = tavoq.runnerImportance(runs, horizon, model.matrix(), tree, seed, nodes)
        return {key: np.asarray(value) for key, value in found.items()}

    # On a cluster the held batches run as chunks there; here, one pass over the base runs
    # gives every node's figures where the logic holds them.
    return measure(
        model,
        names,
        run_batch=run_batch,
        base=base,
        critical_runs=critical_runs if client is None else None,
        cutset_form=cutset_form,
    )


def _document(model: Model | Document | str | Path) -> Document:
    from ..formats.document import Document

    if isinstance(model, Document):
        return model
    if isinstance(model, Model):
        return Document.of_model(model)
    return Document.of_file(model)


def _batch_runner(
    document: Document,
    runs: int | None,
    seed: int | None,
    threads: int | None,
    client: object,
) -> Callable[[Model], BatchStatistics]:
    """Every model of a sweep run with the same runs and seed: the base document's unless
    given. Each is an ordinary batch, as ``simulate`` makes it."""
    settings = document.model().simulation
    runs = check_integer("runs", settings.runs if runs is None else runs)
    seed = check_integer("seed", settings.seed if seed is None else seed, INT32_MIN)

    def run_batch(model: Model) -> BatchStatistics:
        # A point may change the horizon; the curves are not reported, so one bin each.
        pick = settings.threads if threads is None else threads
        return batch_of(model, runs, seed, threads=pick, client=client)

    return run_batch


def sweep(
    model: Model | Document | str | Path,
    settings: Mapping[str, Sequence[float]],
    runs: int | None = None,
    seed: int | None = None,
    *,
    threads: int | None = None,
    client: object = None,
    log_scale: Mapping[str, bool] | None = None,
) -> SweepResult:
    """The system's estimates over the grid of ``settings`` (model-file key path -> values,
    e.g. ``{"components.valve.transitions[0].mttf": [500, 1000, 2000]}``), every point on
    the same runs and seeds, with each point's difference from the first over the paired
    runs (tavoq_tools.analysis.sweep). ``model`` is a model file's path, a Model (its
    paths are those of its TOML form, as ``tavoq convert`` writes it) or a Document."""
    from ..analysis.sweep import sweep as run_sweep

    document = _document(model)
    if threads is not None:
        threads = check_integer("threads", threads)
    return run_sweep(
        document,
        settings,
        run_batch=_batch_runner(document, runs, seed, threads, client),
        log_scale=log_scale,
    )


def tornado(
    model: Model | Document | str | Path,
    spread: float | None = 0.2,
    runs: int | None = None,
    seed: int | None = None,
    *,
    keys: Sequence[str] | None = None,
    ranges: Mapping[str, tuple[float, float]] | None = None,
    measure: str = "mean unavailability",
    threads: int | None = None,
    client: object = None,
) -> TornadoResult:
    """Each parameter of each law (or ``keys``) at its value times 1 - ``spread`` and 1 +
    ``spread`` (or the (low, high) of ``ranges``), on the same runs and seeds, ranked by
    the change in ``measure`` (tavoq_tools.analysis.sweep.tornado)."""
    from ..analysis.sweep import tornado as run_tornado

    document = _document(model)
    if threads is not None:
        threads = check_integer("threads", threads)
    return run_tornado(
        document,
        run_batch=_batch_runner(document, runs, seed, threads, client),
        spread=spread,
        keys=keys,
        ranges=ranges,
        measure=measure,
    )


def uncertainty(
    model: Document | str | Path,
    samples: int,
    inner_runs: int | None = None,
    seed: int | None = None,
    *,
    threads: int | None = None,
    progress: bool = False,
) -> UncertaintyResult:
    """``samples`` outer samples of the model file's uncertain parameters, each with
    ``inner_runs`` runs (default DEFAULT_INNER_RUNS) on this machine's threads: the mean,
    percentiles and rank correlations of the system's results over the parameters'
    distribution (tavoq_tools.analysis.uncertainty). ``seed`` defaults to the model's."""
    import tavoq

    from ..analysis.uncertainty import DEFAULT_INNER_RUNS
    from ..analysis.uncertainty import uncertainty as run_uncertainty

    document = _document(model)
    settings = document.model().simulation
    samples = check_integer("samples", samples, 2)
    inner = check_integer("inner_runs", DEFAULT_INNER_RUNS if inner_runs is None else inner_runs)
    if samples * inner > INT32_MAX:
        raise ValueError(
            f"samples x inner_runs must be at most {INT32_MAX:,} runs, got {samples * inner:,}"
        )
    seed = check_integer("seed", settings.seed if seed is None else seed, INT32_MIN)
    threads = settings.threads if threads is None else check_integer("threads", threads)
    tavoq.limitOMPThreads(default_threads() if threads is None else threads)

    # Only the laws' parameters differ between samples: the logic is built once, and a block
    # of samples is one engine call whose per-run arrays are read as they come.
    base = document.model()
    tree = base.logic_graph.to_native()
    horizon = base.simulation.horizon

    def run_samples(
        models: list[SampleModel], first: int, count: int
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        layouts = [m.interactions for m in models]
        runs = tavoq.runnerSamples(
            count,
            horizon,
            [m.matrix for m in models],
            tree,
            wrap_int32(seed),
            first,
            None if all(x is None for x in layouts) else layouts,
        )
        down = runs["downtime"] / max(1, horizon)
        failed = (runs["firstFailureTimes"] < horizon).astype(float)
        return down, failed, runs["systemFailures"].astype(float)

    with _progress_bar(progress, samples) as bar:
        return run_uncertainty(
            document,
            samples,
            run_samples=run_samples,
            seed=seed,
            inner_runs=inner,
            on_samples=None if bar is None else bar.update,
        )
