"""Counts of one batch of runs, and the merge of batches that cover consecutive runs.

A batch is identified by its seed and the range of run indices it holds: run i of the whole
job is seeded ``seed + i`` (modulo 2**32, read as a signed 32-bit value, as the engine does).
Splitting a job into chunks of consecutive runs and merging the chunks therefore gives exactly
the numbers of one big batch: the per-time-unit and per-component counts are sums, and the
per-run arrays are concatenated in run order. ``merge`` refuses anything that would make the
result differ from that one batch: a missing run, a run counted twice, another seed or horizon,
or another model shape. It never returns a partial answer as a whole one.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import MISSING, dataclass, field, fields
from typing import Any

import numpy as np

from ..errors import INT32_MIN, wrap_int32


def _empty() -> np.ndarray:
    return np.zeros(0, dtype=np.int64)


@dataclass(frozen=True)
class Statistic:
    """An array of a batch as the engine declares it (``tavoq.RunStatistics.statistics``):
    what indexes it (``axis``: run, bin, component, gate, cutset or pool), its ``dtype``
    (int64 counts, float64 sums of squares that hold exact integers) and how two batches of
    consecutive runs make one (``combine``: sum element by element, or concatenate in run
    order). ``optional``: a result made by hand may leave it empty although its axis has
    entries (not counted); ``required``: a result cannot be made without it."""

    name: str
    axis: str
    dtype: str
    combine: str
    optional: bool
    required: bool

    @property
    def native(self) -> str:
        """The attribute of ``tavoq.RunStatistics``: the name in camelCase."""
        head, *rest = self.name.split("_")
        return head + "".join(word.capitalize() for word in rest)


def _stat(
    axis: str,
    dtype: str = "int64",
    combine: str = "sum",
    *,
    optional: bool = False,
    required: bool = False,
) -> Any:
    """A field of BatchStatistics that is an array of the engine's."""
    metadata = {"axis": axis, "dtype": dtype, "combine": combine, "optional": optional}
    if required:
        return field(metadata=metadata)
    return field(default_factory=_empty, metadata=metadata)


def _square_array(name: str, values: Any) -> np.ndarray:
    array = np.array(values, dtype=np.float64)
    if array.ndim != 1:
        raise ValueError(f"{name} must be a one-dimensional array, got shape {array.shape}")
    if array.size and not (np.all(np.isfinite(array)) and array.min() >= 0):
        raise ValueError(f"{name} must hold finite sums that are not negative")
    array.flags.writeable = False
    return array


def _int_array(name: str, values: Any) -> np.ndarray:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{name} must be a one-dimensional array, got shape {array.shape}")
    if array.size and not np.issubdtype(array.dtype, np.integer):
        # Accept floats that hold whole numbers (e.g. read back from JSON), nothing else.
        if not np.issubdtype(array.dtype, np.floating) or not np.all(np.mod(array, 1) == 0):
            raise ValueError(f"{name} must hold integers")
    array = np.array(array, dtype=np.int64)  # a private copy the caller cannot change
    if array.size and array.min() < 0:
        raise ValueError(f"{name} holds a negative count")
    array.flags.writeable = False
    return array


@dataclass(frozen=True, eq=False)
class BatchStatistics:
    """Counts of runs ``first_run .. first_run + n_runs - 1`` of a job seeded ``seed``.

    Per bin of ``bin_width`` time units (the last may be shorter; one bin per unit when
    ``bin_width`` is 1, ceil(sim_time / bin_width) bins in all): ``failed_runs``, the sum
    over the bin's units of the runs failed there, and ``first_failures``, the runs first
    failed within it. Per run, in run order (length ``n_runs``): ``system_failures``,
    ``downtime`` and ``first_failure_times`` (the first failed unit, ``sim_time`` for a run
    that never failed; exact whatever the bins). Per component, the first draws of a run
    that were negative (``negative_delays``) or past the largest delay
    (``delays_past_limit``). The optional arrays are empty when not counted.
    Per component, summed over runs: ``component_downtime``, ``component_failures``,
    ``triggered_failures`` and ``component_downtime_squares`` (the sum over runs of each
    run's failed units squared). Per stored cut set: ``cutset_failures``. Per gate of a
    FaultTree: ``gate_downtime``, ``gate_failures`` (crossings of its output to failed),
    ``gate_triggered`` (system failures at which the causing transition turned the gate
    failed), ``gate_downtime_squares``, and ``gate_unit_failures``, its failures counted as the
    system's (units at which it is failed and was working the unit before).

    For the intervals of counts over runs (empty when not counted): the sums over runs of the
    squares of each run's ``component_failures``, ``triggered_failures``, ``cutset_failures``,
    ``gate_unit_failures`` and ``gate_triggered``, and of the run's triggered, cut-set and
    gate-triggered counts times its system failures (see COUNT_SQUARES).

    With planned states (else empty): ``planned_runs`` per bin and ``planned_downtime``
    per run count the units down for planned reasons only (failed_runs and downtime include
    them); system_failures and first_failures count unplanned failures only. Per crew pool
    (else empty), summed over runs: ``crew_busy`` (crew-units at work), ``crew_wait`` (units
    waited by the components), ``crew_requests``, ``crew_longest_queue`` (each run's longest
    queue), each with its sum of squares, and ``crew_wait_times_requests``; and
    ``crew_saturated_failures``, the system failures that began while every crew of the pool
    was busy and a unit waited, with the sums of its squares and of its products with the
    run's system failures (empty when not counted).

    The arrays of squares are float64 (empty when not counted), the others int64; all
    read-only.
    Two results compare equal when every field and every array element is equal, which is how
    a merged result is checked against one batch.
    """

    seed: int
    first_run: int
    n_runs: int
    sim_time: int
    failed_runs: np.ndarray = _stat("bin", required=True)
    first_failures: np.ndarray = _stat("bin", required=True)
    system_failures: np.ndarray = _stat("run", "int64", "concatenate", required=True)
    downtime: np.ndarray = _stat("run", "int64", "concatenate", required=True)
    component_downtime: np.ndarray = _stat("component", required=True)
    component_failures: np.ndarray = _stat("component", required=True)
    triggered_failures: np.ndarray = _stat("component", required=True)
    cutset_failures: np.ndarray = _stat("cutset", required=True)
    gate_downtime: np.ndarray = _stat("gate")
    gate_failures: np.ndarray = _stat("gate")
    gate_triggered: np.ndarray = _stat("gate")
    component_downtime_squares: np.ndarray = _stat("component", "float64", optional=True)
    gate_downtime_squares: np.ndarray = _stat("gate", "float64", optional=True)
    first_failure_times: np.ndarray = _stat("run", "int64", "concatenate", optional=True)
    negative_delays: np.ndarray = _stat("component", optional=True)
    delays_past_limit: np.ndarray = _stat("component", optional=True)
    bin_width: int = 1
    planned_runs: np.ndarray = _stat("bin", optional=True)
    planned_downtime: np.ndarray = _stat("run", "int64", "concatenate", optional=True)
    crew_busy: np.ndarray = _stat("pool")
    crew_wait: np.ndarray = _stat("pool")
    crew_requests: np.ndarray = _stat("pool")
    crew_longest_queue: np.ndarray = _stat("pool")
    crew_busy_squares: np.ndarray = _stat("pool", "float64")
    crew_wait_squares: np.ndarray = _stat("pool", "float64")
    crew_requests_squares: np.ndarray = _stat("pool", "float64")
    crew_wait_times_requests: np.ndarray = _stat("pool", "float64")
    crew_longest_queue_squares: np.ndarray = _stat("pool", "float64")
    gate_unit_failures: np.ndarray = _stat("gate", optional=True)
    component_failures_squares: np.ndarray = _stat("component", "float64", optional=True)
    triggered_failures_squares: np.ndarray = _stat("component", "float64", optional=True)
    triggered_times_system_failures: np.ndarray = _stat("component", "float64", optional=True)
    cutset_failures_squares: np.ndarray = _stat("cutset", "float64", optional=True)
    cutset_times_system_failures: np.ndarray = _stat("cutset", "float64", optional=True)
    gate_unit_failures_squares: np.ndarray = _stat("gate", "float64", optional=True)
    gate_triggered_squares: np.ndarray = _stat("gate", "float64", optional=True)
    gate_triggered_times_system_failures: np.ndarray = _stat("gate", "float64", optional=True)
    crew_saturated_failures: np.ndarray = _stat("pool", optional=True)
    crew_saturated_failures_squares: np.ndarray = _stat("pool", "float64", optional=True)
    crew_saturated_times_system_failures: np.ndarray = _stat("pool", "float64", optional=True)

    def __post_init__(self) -> None:
        for name in ("seed", "first_run", "n_runs", "sim_time", "bin_width"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int | np.integer):
                raise ValueError(f"{name} must be an integer, got {value!r}")
            object.__setattr__(self, name, int(value))
        if not INT32_MIN <= self.seed < 2**31:
            raise ValueError(f"seed {self.seed} does not fit a signed 32-bit integer")
        for name in ("first_run", "n_runs", "sim_time"):
            if getattr(self, name) < 0:
                raise ValueError(f"{name} must not be negative, got {getattr(self, name)}")
        if self.bin_width < 1:
            raise ValueError(f"bin_width must be at least 1, got {self.bin_width}")
        for stat in STATISTICS:
            make = _int_array if stat.dtype == "int64" else _square_array
            object.__setattr__(self, stat.name, make(stat.name, getattr(self, stat.name)))
        self._check_shapes()
        self._check_counts()

    def axis_length(self, axis: str) -> int:
        """Entries of an array indexed by ``axis`` (see Statistic)."""
        return {
            "bin": self.n_bins,
            "run": self.n_runs,
            "component": self.n_components,
            "gate": self.n_gates,
            "cutset": self.n_cutsets,
            "pool": self.n_pools,
        }[axis]

    def _check_shapes(self) -> None:
        told = {"bin": "the number of bins", "run": "n_runs"}
        for stat in STATISTICS:
            entries, length = len(getattr(self, stat.name)), self.axis_length(stat.axis)
            if entries == length or (stat.optional and not entries):
                continue
            if stat.optional:
                raise ValueError(f"{stat.name} has {entries} entries, not {length}")
            if stat.axis in told:
                raise ValueError(
                    f"{stat.name} has {entries} entries, {told[stat.axis]} is {length}"
                )
            raise ValueError(f"the per-{stat.axis} arrays differ in length")

    def counted(self) -> dict[str, bool]:
        """Per optional array, whether it was counted (holds its axis's entries); per-run
        arrays only when the batch holds runs (an empty one tells nothing)."""
        return {
            stat.name: len(getattr(self, stat.name)) == self.axis_length(stat.axis)
            for stat in STATISTICS
            if stat.optional and (stat.axis != "run" or self.n_runs)
        }

    def _check_counts(self) -> None:
        # Identities that hold for any batch the engine returns; a violation means the arrays
        # were mixed up or cut, and every estimate built on them would be wrong.
        n = self.n_runs
        if self.failed_runs.size and self.failed_runs.max() > n * self.bin_width:
            raise ValueError(f"failed_runs counts more than the {n} runs held")
        if self.downtime.size and self.downtime.max() > self.sim_time:
            raise ValueError(f"a run's downtime exceeds sim_time = {self.sim_time}")
        if int(self.downtime.sum()) != int(self.failed_runs.sum()):
            raise ValueError("downtime and failed_runs do not count the same failed units")
        total = int(self.system_failures.sum())
        # Each system failure has one causing transition, which completes each cut set at most
        # once.
        if int(self.triggered_failures.sum()) > total:
            raise ValueError(f"triggered_failures counts more than the {total} system failures")
        if self.cutset_failures.size and self.cutset_failures.max() > total:
            raise ValueError(f"a cut set completes more than the {total} system failures")
        if self.gate_triggered.size and self.gate_triggered.max() > total:
            raise ValueError(f"a gate fails at more than the {total} system failures")
        saturated = self.crew_saturated_failures
        if saturated.size and saturated.max() > total:
            raise ValueError(f"a crew pool is saturated at more than the {total} system failures")
        limit = n * self.sim_time
        for what, down, squares in (
            ("component", self.component_downtime, self.component_downtime_squares),
            ("gate", self.gate_downtime, self.gate_downtime_squares),
        ):
            if down.size and down.max() > limit:
                raise ValueError(f"a {what}'s downtime exceeds n_runs * sim_time = {limit}")
            if squares.size:
                self._check_squares(what, down.astype(np.float64), squares)
        if self.planned_runs.size or self.planned_downtime.size:
            if int(self.planned_runs.sum()) != int(self.planned_downtime.sum()):
                raise ValueError("planned_runs and planned_downtime do not count the same units")
            if self.planned_runs.size and np.any(self.planned_runs > self.failed_runs):
                raise ValueError("planned_runs counts more runs than failed_runs at some time")
            if self.planned_downtime.size and np.any(self.planned_downtime > self.downtime):
                raise ValueError("a run's planned_downtime exceeds its downtime")
        self._check_count_squares()
        failed = int(np.count_nonzero(self.system_failures))
        if int(self.first_failures.sum()) != failed:
            raise ValueError(
                "first_failures does not count the runs with a system failure "
                f"({int(self.first_failures.sum())} against {failed})"
            )
        times = self.first_failure_times
        if times.size:
            if times.max() > self.sim_time:
                raise ValueError(f"a run's first failure lies past sim_time = {self.sim_time}")
            if not np.array_equal(times < self.sim_time, self.system_failures > 0):
                raise ValueError("first_failure_times and system_failures disagree on a run")
            in_bins = np.bincount(
                times[times < self.sim_time] // self.bin_width, minlength=self.n_bins
            )
            if not np.array_equal(in_bins, self.first_failures):
                raise ValueError("first_failure_times and first_failures disagree on a bin")

    def _check_count_squares(self) -> None:
        if self.gate_unit_failures.size and np.any(self.gate_unit_failures > self.gate_failures):
            raise ValueError(
                "gate_unit_failures counts more failures than gate_failures crossings"
            )
        # (sum x_r)^2 <= n sum x_r^2 for per-run counts, with the slack of _check_squares.
        for name, counts in COUNT_SQUARES.items():
            squares = getattr(self, name)
            if not squares.size:
                continue
            total = getattr(self, counts)
            if total.size != squares.size:
                raise ValueError(f"{name} comes without the counts it squares")
            total = total.astype(np.float64)
            if np.any(total * total > self.n_runs * squares * (1 + 1e-9)) or np.any(
                squares < total
            ):
                raise ValueError(f"{name} does not fit the counts it squares")

    def _check_squares(self, what: str, down: np.ndarray, squares: np.ndarray) -> None:
        # For per-run units d_r in [0, H]: (sum d_r)^2 <= n sum d_r^2 (Cauchy-Schwarz) and
        # sum d_r^2 <= H sum d_r. The slack covers the rounding of sums past 2**53.
        slack = 1e-9
        if np.any(down * down > self.n_runs * squares * (1 + slack)):
            raise ValueError(
                f"{what}_downtime_squares is too small for the {what}'s downtime: the squares "
                f"of {self.n_runs} runs' downtime add up to at least downtime^2 / n_runs"
            )
        if np.any(squares > self.sim_time * down * (1 + slack)):
            raise ValueError(
                f"{what}_downtime_squares is too large for the {what}'s downtime: a run's "
                f"downtime squared is at most sim_time = {self.sim_time} times its downtime"
            )

    @property
    def n_bins(self) -> int:
        """Entries of the curves: ceil(sim_time / bin_width)."""
        return bin_count(self.sim_time, self.bin_width)

    @property
    def n_components(self) -> int:
        return len(self.component_downtime)

    @property
    def n_cutsets(self) -> int:
        return len(self.cutset_failures)

    @property
    def n_gates(self) -> int:
        return len(self.gate_downtime)

    @property
    def n_pools(self) -> int:
        return len(self.crew_busy)

    @property
    def has_planned(self) -> bool:
        """Whether the batch counted planned downtime apart (a model with planned states)."""
        return bool(self.planned_runs.size or self.planned_downtime.size)

    def with_cutsets_from_gates(self, gates: Iterable[int]) -> BatchStatistics:
        """A copy whose cut-set counts are the given observer gates' (an ``and`` gate per cut
        set, feeding nothing): the system failures whose causing transition completed it."""
        index = np.asarray(list(gates), dtype=np.int64)
        if index.size and (index.min() < 0 or index.max() >= self.n_gates):
            raise ValueError(f"gate index out of range: the batch has {self.n_gates} gates")
        values = {f.name: getattr(self, f.name) for f in fields(self)}
        values["cutset_failures"] = self.gate_triggered[index]
        for cutset, gate in (
            ("cutset_failures_squares", "gate_triggered_squares"),
            ("cutset_times_system_failures", "gate_triggered_times_system_failures"),
        ):
            counted = getattr(self, gate)
            values[cutset] = counted[index] if len(counted) else _empty()
        return BatchStatistics(**values)

    @classmethod
    def from_native(cls, native: Any, first_run: int = 0) -> BatchStatistics:
        """Copy a ``tavoq.RunStatistics`` that holds runs ``first_run ..`` of a job.

        The native object echoes the seed of its own first run, ``seed + first_run``; the job's
        seed is recovered from it so that chunks of one job carry one seed.
        """
        try:
            arrays = {
                stat.name: getattr(native, stat.native)
                for stat in STATISTICS
                if stat.required or hasattr(native, stat.native)
            }
            n_runs, sim_time, seed = native.nSimulations, native.simTime, native.seed
        except AttributeError as error:
            raise ValueError(f"not a runnerStatistics result: {error}") from None
        return cls(
            seed=wrap_int32(int(seed) - int(first_run)),
            first_run=first_run,
            n_runs=n_runs,
            sim_time=sim_time,
            bin_width=getattr(native, "binWidth", 1),
            **arrays,
        )

    @property
    def total_negative_delays(self) -> int:
        return int(self.negative_delays.sum())

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, BatchStatistics):
            return NotImplemented
        return all(
            np.array_equal(getattr(self, f.name), getattr(other, f.name)) for f in fields(self)
        )

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        # Rebuild through the constructor so an unpickled copy is checked and read-only too.
        return (type(self), tuple(getattr(self, f.name) for f in fields(self)))


# The engine's arrays, in the order of the fields (checked against
# tavoq.RunStatistics.statistics by the tests).
STATISTICS = tuple(
    Statistic(
        f.name,
        required=f.default is MISSING and f.default_factory is MISSING,
        **f.metadata,
    )
    for f in fields(BatchStatistics)
    if "axis" in f.metadata
)
PER_RUN = tuple(stat for stat in STATISTICS if stat.combine == "concatenate")
# Sums over runs of a run's count squared, with the count they square. The squares of a
# run's downtime have bounds of their own (_check_squares).
COUNT_SQUARES = {
    stat.name: stat.name.removesuffix("_squares")
    for stat in STATISTICS
    if stat.name.endswith("_squares")
    and not stat.name.endswith("downtime_squares")
    and any(other.name == stat.name.removesuffix("_squares") for other in STATISTICS)
}


def _check_alike(first: BatchStatistics, part: BatchStatistics) -> None:
    """Refuses two parts that cannot belong to one job: ValueError naming the difference."""
    for what, a, b in (
        ("seed", first.seed, part.seed),
        ("sim_time", first.sim_time, part.sim_time),
        ("bin_width", first.bin_width, part.bin_width),
        ("number of components", first.n_components, part.n_components),
        ("number of cut sets", first.n_cutsets, part.n_cutsets),
        ("number of gates", first.n_gates, part.n_gates),
        ("number of crew pools", first.n_pools, part.n_pools),
    ):
        if a != b:
            raise ValueError(f"parts differ in their {what}: {a} and {b}")
    counted, other = first.counted(), part.counted()
    for name, flag in counted.items():
        if name in other and other[name] != flag:
            raise ValueError(f"parts differ in what they counted: {name} in one only")


def bin_count(horizon: int, bin_width: int) -> int:
    """Entries of the curves of ``horizon`` units in bins of ``bin_width``: the last bin may
    be shorter."""
    return -(-horizon // bin_width)


def merge(parts: Iterable[BatchStatistics], *, runs: range | None = None) -> BatchStatistics:
    """One result for the runs of all ``parts``, identical to a single batch of those runs.

    The parts may come in any order. They must share the seed, the horizon and the numbers
    of components and cut sets, and together cover consecutive run indices exactly once;
    otherwise ValueError names the first problem found. A missing first or last chunk leaves
    no gap between the others, so a caller that knows the whole job passes ``runs`` (for
    example ``range(n)``) and the result must hold exactly those runs.
    """
    parts = list(parts)
    if not parts:
        raise ValueError("nothing to merge")
    for part in parts:
        if not isinstance(part, BatchStatistics):
            raise ValueError(f"cannot merge a {type(part).__name__}; expected BatchStatistics")
    first = parts[0]
    for part in parts[1:]:
        _check_alike(first, part)
    # Empty parts hold no runs, so they can neither fill a gap nor overlap anything.
    ordered = sorted((p for p in parts if p.n_runs), key=lambda p: p.first_run)
    if runs is not None and runs.step != 1:
        raise ValueError("runs must be a range of consecutive indices")
    if not ordered:
        if runs is not None and len(runs):
            raise ValueError(f"runs {runs.start}..{runs.stop - 1} are missing")
        return first
    expected = ordered[0].first_run if runs is None else runs.start
    if ordered[0].first_run < expected:
        raise ValueError(f"runs {ordered[0].first_run}..{expected - 1} lie outside the job's runs")
    for part in ordered:
        if part.first_run > expected:
            raise ValueError(f"runs {expected}..{part.first_run - 1} are missing")
        if part.first_run < expected:
            last = min(expected, part.first_run + part.n_runs) - 1
            raise ValueError(f"runs {part.first_run}..{last} are held more than once")
        expected = part.first_run + part.n_runs
    if runs is not None and expected != runs.stop:
        if expected < runs.stop:
            raise ValueError(f"runs {expected}..{runs.stop - 1} are missing")
        raise ValueError(f"runs {runs.stop}..{expected - 1} lie outside the job's runs")
    # Whole numbers below 2**53 add exactly in float64, in any order, so merged chunks equal
    # one batch. Past that (a run's downtime squared is below 2**62) each chunk's sum is
    # already rounded by the engine, and the merge may differ from one batch in the last bit.
    arrays = {
        stat.name: np.sum([getattr(p, stat.name) for p in ordered], axis=0, dtype=stat.dtype)
        if stat.combine == "sum"
        else np.concatenate([getattr(p, stat.name) for p in ordered])
        for stat in STATISTICS
    }
    return BatchStatistics(
        seed=first.seed,
        first_run=ordered[0].first_run,
        n_runs=expected - ordered[0].first_run,
        sim_time=first.sim_time,
        bin_width=first.bin_width,
        **arrays,
    )


class RunMerger:
    """Merges the parts of a job of runs ``runs`` as they arrive, in any order (a cluster
    returns chunks as they finish), into the result ``merge`` would give for all of them.

    A part can be let go once added: the merger holds one copy of the sums and the per-run
    arrays of the whole job, however many parts come, not each part's curves. Refuses, as ``merge`` does,
    a part of another job, a run held twice, and at ``result()`` a missing run."""

    def __init__(self, runs: range) -> None:
        if runs.step != 1:
            raise ValueError("runs must be a range of consecutive indices")
        self.runs = runs
        self._first: BatchStatistics | None = None
        self._sums: dict[str, np.ndarray] = {}
        self._per_run: dict[str, np.ndarray] = {}
        self._held: list[tuple[int, int]] = []  # (start, stop) of each part added

    def add(self, part: BatchStatistics) -> None:
        if not isinstance(part, BatchStatistics):
            raise ValueError(f"cannot merge a {type(part).__name__}; expected BatchStatistics")
        if self._first is None:
            self._first = part
            self._sums = {
                stat.name: np.array(getattr(part, stat.name), dtype=stat.dtype)
                for stat in STATISTICS
                if stat.combine == "sum"
            }
            self._place(part)
            return
        _check_alike(self._first, part)
        self._place(part)
        for name, total in self._sums.items():
            total += getattr(part, name)

    def _place(self, part: BatchStatistics) -> None:
        start, stop = part.first_run, part.first_run + part.n_runs
        if not part.n_runs:
            return
        if start < self.runs.start or stop > self.runs.stop:
            raise ValueError(f"runs {start}..{stop - 1} lie outside the job's runs")
        for a, b in self._held:
            if a < stop and start < b:
                raise ValueError(
                    f"runs {max(a, start)}..{min(b, stop) - 1} are held more than once"
                )
        self._held.append((start, stop))
        # The per-run arrays are those the first part with runs counted, and every other
        # part with runs counted them too.
        counted = part.counted()
        if not self._per_run:
            self._per_run = {
                stat.name: np.zeros(len(self.runs), dtype=np.int64)
                for stat in STATISTICS
                if stat.combine == "concatenate" and counted.get(stat.name, True)
            }
        for stat in PER_RUN:
            if stat.optional and counted[stat.name] != (stat.name in self._per_run):
                raise ValueError(f"parts differ in what they counted: {stat.name} in one only")
        offset = start - self.runs.start
        for name, values in self._per_run.items():
            values[offset : offset + part.n_runs] = getattr(part, name)

    def result(self) -> BatchStatistics:
        """The merged result; ValueError when a run of the job is missing."""
        expected = self.runs.start
        for a, b in sorted(self._held):
            if a > expected:
                raise ValueError(f"runs {expected}..{a - 1} are missing")
            expected = b
        if expected < self.runs.stop:
            raise ValueError(f"runs {expected}..{self.runs.stop - 1} are missing")
        if self._first is None:
            raise ValueError("nothing to merge")
        first = self._first
        return BatchStatistics(
            seed=first.seed,
            first_run=self.runs.start if len(self.runs) else first.first_run,
            n_runs=len(self.runs),
            sim_time=first.sim_time,
            bin_width=first.bin_width,
            **self._sums,
            **({stat.name: _empty() for stat in PER_RUN} | self._per_run),
        )


def merge_as_they_come(parts: Iterable[BatchStatistics], runs: range) -> BatchStatistics:
    """``merge(parts, runs=runs)`` for parts that come one at a time (a generator of chunks
    as they finish): each is merged on arrival and let go, never all kept at once."""
    merger = RunMerger(runs)
    for part in parts:
        merger.add(part)
    return merger.result()
