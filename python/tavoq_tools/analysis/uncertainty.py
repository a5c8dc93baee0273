"""Parameter uncertainty in two loops: outer samples of the uncertain parameters
(tavoq_tools.formats.uncertain), and for each a batch of inner runs.

- **Seeds.** The outer draws come from a stream of their own, seeded from the batch's seed
  (numpy's PCG64, one row of uniforms per sample, one column per draw: a group shares one),
  so the inner runs never change the parameters drawn. Sample j runs runs j M .. j M + M - 1
  of the batch seeded S, so with every parameter fixed the N samples together are the
  ordinary batch of N M runs, bit for bit.
- **The mean** over the parameters' distribution is the mean of the N samples' results,
  with a Student t interval over the samples: each sample's result varies by its
  parameters and by its inner runs, and both are in that spread.
- **Percentiles** (5th, 50th, 95th) are those of the samples' results, with a
  distribution-free interval from order statistics. Each result holds its inner runs' noise
  too, which widens the spread a little; ``inner_share`` says by how much (the inner
  variance over the total), and a warning says when it is over INNER_SHARE_WARNING.
- **Which parameter matters**: Spearman's rank correlation of each parameter's draws with
  the result over the samples, with Fisher's interval.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from ..formats.document import Document
from ..formats.uncertain import Uncertain, find_uncertain
from ..results.intervals import normal_quantile, student_t_quantile
from ..results.summary import Estimate

if TYPE_CHECKING:
    from ..model.system import Model

__all__ = [
    "DEFAULT_INNER_RUNS",
    "INNER_SHARE_WARNING",
    "OUTER_STREAM",
    "RESULTS",
    "UncertaintyResult",
    "outer_draws",
    "uncertainty",
]

#: Inner runs per outer sample unless told: enough that the inner noise of a result of a few
#: per cent is a small share of a spread of a factor of a few; the result says its share.
DEFAULT_INNER_RUNS = 1000
#: Above this share of the spread from the inner runs, the percentiles are too wide.
INNER_SHARE_WARNING = 0.1
#: Mixed into the seed of the outer stream, so that it is never the inner runs' generator.
OUTER_STREAM = 0x0A7E4C
#: The system's results per sample.
RESULTS = ("mean unavailability", "P(failure by the horizon)", "failures per run")
PERCENTILES = (5, 50, 95)

# The runs of a block of samples: given their models, the first run of the first and the runs
# per sample (sample i of the block runs first + i M ..), each run's fraction of the horizon
# down, whether it failed by the horizon, and its system failures, in run order.
RunSamples = Callable[[list["SampleModel"], int, int], tuple[np.ndarray, np.ndarray, np.ndarray]]


def outer_draws(parameters: list[Uncertain], samples: int, seed: int) -> np.ndarray:
    """Each parameter's value in each sample (samples x parameters): one uniform per
    group (or per parameter without one) per sample, from the outer stream, through each
    parameter's law. The first k samples are the same whatever ``samples``."""
    slots: dict[str, int] = {}
    column = []
    for i, p in enumerate(parameters):
        name = p.group or f"\0{i}"
        column.append(slots.setdefault(name, len(slots)))
    rng = np.random.Generator(np.random.PCG64([seed % 2**32, OUTER_STREAM]))
    u = rng.random((samples, max(1, len(slots))))
    # Away from 0 and 1, where some laws have no finite quantile.
    u = np.clip(u, 1e-12, 1 - 1e-12)
    values = np.empty((samples, len(parameters)))
    for i, p in enumerate(parameters):
        values[:, i] = p.quantile(u[:, column[i]])
    return values


@dataclass(frozen=True)
class Percentile:
    percent: int
    estimate: Estimate


@dataclass(frozen=True)
class Ranking:
    """A parameter's rank correlation with a result over the samples."""

    key: str
    correlation: Estimate


@dataclass(frozen=True)
class UncertaintyResult:
    """Per result (RESULTS): the mean over the parameters' distribution, its percentiles,
    the share of the spread from the inner runs, and the parameters ranked by |rank
    correlation| with it. ``values`` holds the samples' parameters, ``results`` their
    results (samples x RESULTS)."""

    parameters: tuple[str, ...]
    samples: int
    inner_runs: int
    seed: int
    values: np.ndarray
    results: np.ndarray
    mean: dict[str, Estimate]
    percentiles: dict[str, tuple[Percentile, ...]]
    inner_share: dict[str, float]
    ranking: dict[str, tuple[Ranking, ...]]
    warnings: tuple[str, ...] = field(default=())

    def rows(self) -> list[dict[str, Any]]:
        """One row per sample: its parameters' values and its results."""
        return [
            {"sample": j}
            | dict(zip(self.parameters, map(float, self.values[j]), strict=True))
            | dict(zip(RESULTS, map(float, self.results[j]), strict=True))
            for j in range(self.samples)
        ]

    def to_dict(self) -> dict[str, Any]:
        from ..results.summary import json_safe

        def estimate(e: Estimate) -> dict[str, Any]:
            return {"value": e.value, "lower": e.lower, "upper": e.upper, "method": e.method}

        return json_safe(
            {
                "parameters": list(self.parameters),
                "samples": self.samples,
                "inner_runs": self.inner_runs,
                "seed": self.seed,
                "warnings": list(self.warnings),
                "results": {
                    name: {
                        "mean": estimate(self.mean[name]),
                        "percentiles": {
                            str(p.percent): estimate(p.estimate) for p in self.percentiles[name]
                        },
                        "inner_share": self.inner_share[name],
                        "rank_correlation": {
                            r.key: estimate(r.correlation) for r in self.ranking[name]
                        },
                    }
                    for name in RESULTS
                },
            }
        )

    def to_frame(self) -> Any:
        """The samples as a pandas DataFrame (pandas is optional: ImportError without it)."""
        from .sweep import rows_frame

        return rows_frame(self.rows())


def _order_statistic(values: np.ndarray, percent: int, confidence: float) -> Estimate:
    """The percent-th percentile of ``values`` with the distribution-free interval between
    two order statistics (the binomial's normal approximation for their ranks)."""
    x = np.sort(values)
    n = len(x)
    p = percent / 100
    z = normal_quantile(0.5 + confidence / 2)
    half = z * math.sqrt(n * p * (1 - p))
    low = max(0, math.floor(n * p - half) - 1)
    high = min(n - 1, math.ceil(n * p + half))
    value = float(np.percentile(x, percent))
    return Estimate(value, float(x[low]), float(x[high]), "order statistics over samples")


def _ranks(x: np.ndarray) -> np.ndarray:
    order = np.argsort(x, kind="stable")
    ranks = np.empty(len(x))
    ranks[order] = np.arange(len(x))
    # Ties take their mean rank.
    _, inverse, counts = np.unique(x, return_inverse=True, return_counts=True)
    sums = np.bincount(inverse, weights=ranks)
    return (sums / counts)[inverse]


def _spearman(a: np.ndarray, b: np.ndarray, confidence: float) -> Estimate:
    n = len(a)
    ra, rb = _ranks(a), _ranks(b)
    if n < 4 or ra.std() == 0 or rb.std() == 0:
        return Estimate(0.0, None, None, "Spearman")
    r = float(np.corrcoef(ra, rb)[0, 1])
    r = max(-0.999999, min(0.999999, r))
    half = normal_quantile(0.5 + confidence / 2) / math.sqrt(n - 3)
    z = math.atanh(r)
    return Estimate(r, math.tanh(z - half), math.tanh(z + half), "Spearman, Fisher z")


@dataclass(frozen=True)
class SampleModel:
    """What the engine takes of one sample's model: its transitions matrix, and its
    interactions (native) or None."""

    matrix: list
    interactions: Any


class _Sampler:
    """Each sample's SampleModel from its parameters' values.

    Where only components' laws are uncertain and no common cause reads their rates (a
    beta factor takes its members' rates), a sample changes the matrix rows of those
    components alone: each takes the drawn values, which are checked as its laws'
    parameters, and its rows replace the base model's. Building and checking the whole model
    took about as long as a thousand of its runs. Otherwise each sample is the whole model
    made from the file's data with the drawn values."""

    def __init__(self, document: Document, keys: tuple[str, ...]) -> None:
        self.document = document
        self.keys = keys
        base = document.model()
        self.base = base
        self.fast = not base.common_causes and all(k.startswith("components.") for k in keys)
        self.matrix = base.matrix() if self.fast else []
        self.interactions = _native_interactions(base) if self.fast else None
        self.position = {c.name: i for i, c in enumerate(base.components)}
        # Per key: the component's name, the transition's index, the parameter.
        self.slots: list[tuple[str, int, str]] = []
        for key in keys if self.fast else ():
            name, rest = key[len("components.") :].split(".", 1)
            index, parameter = rest[len("transitions[") :].split("].", 1)
            self.slots.append((name, int(index), parameter))

    def sample(self, values: np.ndarray) -> SampleModel:
        if not self.fast:
            model = self.document.with_values(
                dict(zip(self.keys, map(float, values), strict=True))
            ).model()
            return SampleModel(model.matrix(), _native_interactions(model))
        changes: dict[str, dict[int, dict[str, float]]] = {}
        for (name, index, parameter), value in zip(self.slots, values, strict=True):
            changes.setdefault(name, {}).setdefault(index, {})[parameter] = float(value)
        components = self.base.components
        changed = {
            self.position[name]: components[self.position[name]].with_parameters(given)
            for name, given in changes.items()
        }
        return SampleModel(self.base.matrix_with(self.matrix, changed), self.interactions)


def _native_interactions(model: Model) -> Any:
    if not model.has_interactions:
        return None
    return model.interaction_layout.to_native(len(model.component_names))


# Samples per engine call: enough runs in each that starting the call's threads is a small
# part of it, few enough that the progress bar moves; and few enough that the call's
# matrices, one per sample, hold at most COMPONENTS_PER_CALL components together (a sample
# of a 10,000-component model with one inner run would otherwise bring 200,000 matrices).
RUNS_PER_CALL = 200_000
COMPONENTS_PER_CALL = 1_000_000


def uncertainty(
    document: Document,
    samples: int,
    *,
    run_samples: RunSamples,
    seed: int,
    inner_runs: int = DEFAULT_INNER_RUNS,
    confidence: float = 0.95,
    on_samples: Callable[[int], None] | None = None,
) -> UncertaintyResult:
    """``samples`` outer samples of ``document``'s uncertain parameters, their runs made by
    ``run_samples`` (see RunSamples) a block of samples at a time, sample j's runs being
    runs j M .. j M + M - 1 of the batch seeded ``seed``. Every sample's model is checked
    before its runs; ModelError names the sample whose parameters make the model invalid.
    ``on_samples(k)`` is told of each block of k samples done."""
    from ..errors import ModelError

    if samples < 2:
        raise ValueError(f"samples must be at least 2, got {samples}")
    if inner_runs < 1:
        raise ValueError(f"inner_runs must be at least 1, got {inner_runs}")
    parameters = find_uncertain(document.data)
    values = outer_draws(parameters, samples, seed)
    keys = tuple(p.key for p in parameters)
    sampler = _Sampler(document, keys)
    results = np.empty((samples, len(RESULTS)))
    inner_var = np.empty((samples, len(RESULTS)))
    components = len(sampler.base.component_names)
    block = max(1, min(RUNS_PER_CALL // inner_runs, COMPONENTS_PER_CALL // components))
    for start in range(0, samples, block):
        stop = min(samples, start + block)
        models = []
        for j in range(start, stop):
            try:
                models.append(sampler.sample(values[j]))
            except ModelError as err:
                drawn = ", ".join(f"{k}={v:.6g}" for k, v in zip(keys, values[j], strict=True))
                raise ModelError(
                    err.key, f"{err.message} (in sample {j}: {drawn})", err.file
                ) from None
        per = run_samples(models, start * inner_runs, inner_runs)
        for k, x in enumerate(per):
            runs = np.asarray(x, dtype=float).reshape(stop - start, inner_runs)
            results[start:stop, k] = runs.mean(axis=1)
            inner_var[start:stop, k] = (
                runs.var(axis=1, ddof=1) / inner_runs if inner_runs > 1 else 0.0
            )
        if on_samples is not None:
            on_samples(stop - start)
    t = student_t_quantile(0.5 + confidence / 2, samples - 1)
    mean: dict[str, Estimate] = {}
    percentiles: dict[str, tuple[Percentile, ...]] = {}
    share: dict[str, float] = {}
    ranking: dict[str, tuple[Ranking, ...]] = {}
    warnings = []
    for k, name in enumerate(RESULTS):
        column = results[:, k]
        m = float(column.mean())
        se = float(column.std(ddof=1)) / math.sqrt(samples)
        mean[name] = Estimate(m, m - t * se, m + t * se, "Student t over samples")
        percentiles[name] = tuple(
            Percentile(p, _order_statistic(column, p, confidence)) for p in PERCENTILES
        )
        total = float(column.var(ddof=1))
        share[name] = float(inner_var[:, k].mean()) / total if total > 0 else 0.0
        ranked = [
            Ranking(key, _spearman(values[:, i], column, confidence)) for i, key in enumerate(keys)
        ]
        ranked.sort(key=lambda r: -abs(r.correlation.value))
        ranking[name] = tuple(ranked)
        if parameters and share[name] > INNER_SHARE_WARNING:
            warnings.append(
                f"the inner runs make up {share[name]:.0%} of the spread of the {name}: its "
                f"percentiles are that much too wide; give more inner runs"
            )
    if not parameters:
        warnings.append("the model has no uncertain parameter: every sample is the same model")
    return UncertaintyResult(
        keys,
        samples,
        inner_runs,
        seed,
        values,
        results,
        mean,
        percentiles,
        share,
        ranking,
        tuple(warnings),
    )
