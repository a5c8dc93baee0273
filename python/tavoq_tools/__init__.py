"""Tools around the tavoq module: model files, statistics, reports, the command and scale-out.

- ``load_model`` -> ``Model``: a model file (TOML, or a Galileo or Open-PSA fault tree) as
  plain data; ``Model.build()`` gives the
  matrix and the ``FaultTree`` for runnerStatistics; ``ModelError`` names the file, key and what is allowed.
- ``simulate``: a model's batch run chunk by chunk (run i seeded seed + i), as one result.
- ``importance`` -> ``ImportanceResult``: Birnbaum, criticality, Fussell-Vesely, RAW and
  RRW of components and named gates, with intervals, from held runs on the same seeds.
- ``sweep`` and ``tornado``: the system's estimates over a grid of model-file values, or each
  parameter low and high, on common random numbers; ``uncertainty``: the results over the
  distribution of parameters given as distributions.
- ``BatchStatistics`` and ``merge``: the counts of ``runnerStatistics`` for a range of runs, and
  one result for chunks of consecutive runs, identical to a single batch.
- ``summarize_model(model, stats)`` -> ``Summary``: unavailability, reliability, time to
  first failure, failures, MTBF, down time, gate, component, cut-set and crew tables, each
  with a 95% interval and its method, labelled from the model as the command reports them
  (``summarize`` is the same for a batch labelled by hand); ``format_report`` (text),
  ``plot_summary`` (figure), ``write_outputs`` (files); ``describe_model``, the paragraph
  about a model that heads the report.
- ``k_out_of_n_cutsets``: the cut sets of a k-out-of-n structure, for CutsetTree.constructTree.
- ``binomial_interval`` (Clopper-Pearson at small counts, Wilson above),
  ``clopper_pearson_interval``, ``wilson_interval`` and ``student_t_quantile``: the interval
  helpers the estimates use.
- ``native_stdout_silenced``: keeps the runners' progress lines off the terminal.
"""

from __future__ import annotations

import os
from importlib import import_module

# Each batch of the engine opens one OpenMP parallel region, on a thread started for it. By
# default the team's threads spin for a while after a region ends, and on a machine with few
# cores that spinning takes the cores the next batch needs: a batch of 1,000 runs cost 3.9
# ms instead of 1.7 ms. Waiting passively costs nothing measurable on a large batch. This
# must be set before the engine (and with it the OpenMP runtime) is loaded, which this
# package does only when first needed; a value the user set is kept.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

# Not typing's: the command imports this package first of all, and typing takes a while to
# load (Ctrl-C meanwhile would be a traceback). Type checkers take the name as typing's.
TYPE_CHECKING = False

# Each name is imported from its module on first use: the command imports this package first
# of all, and numpy, the engine and the rest then load inside its own handling of Ctrl-C
# rather than before it (where Ctrl-C gave a traceback).
_HOMES = {
    "ModelError": ".errors",
    "load_model": ".formats.file",
    "k_out_of_n_cutsets": ".model.logic",
    "Model": ".model.system",
    "plot_summary": ".output.figures",
    "write_outputs": ".output.files",
    "format_report": ".output.report",
    "describe_model": ".output.model_text",
    "BatchStatistics": ".results.counts",
    "merge": ".results.counts",
    "binomial_interval": ".results.intervals",
    "clopper_pearson_interval": ".results.intervals",
    "student_t_quantile": ".results.intervals",
    "wilson_interval": ".results.intervals",
    "ComponentRow": ".results.summary",
    "Curve": ".results.summary",
    "CutsetRow": ".results.summary",
    "Estimate": ".results.summary",
    "GateRow": ".results.summary",
    "Percentile": ".results.summary",
    "Summary": ".results.summary",
    "summarize": ".results.summary",
    "summarize_model": ".results.model_summary",
    "native_stdout_silenced": ".run.native_output",
    "simulate": ".run.simulate",
    "Simulated": ".run.simulate",
    "importance": ".run.simulate",
    "sweep": ".run.simulate",
    "tornado": ".run.simulate",
    "uncertainty": ".run.simulate",
    "ImportanceResult": ".analysis.importance",
}

if TYPE_CHECKING:
    from typing import Any

    from .analysis.importance import ImportanceResult
    from .errors import ModelError
    from .formats.file import load_model
    from .model.logic import k_out_of_n_cutsets
    from .model.system import Model
    from .output.figures import plot_summary
    from .output.files import write_outputs
    from .output.model_text import describe_model
    from .output.report import format_report
    from .results.counts import BatchStatistics, merge
    from .results.intervals import (
        binomial_interval,
        clopper_pearson_interval,
        student_t_quantile,
        wilson_interval,
    )
    from .results.model_summary import summarize_model
    from .results.summary import (
        ComponentRow,
        Curve,
        CutsetRow,
        Estimate,
        GateRow,
        Percentile,
        Summary,
        summarize,
    )
    from .run.native_output import native_stdout_silenced
    from .run.simulate import Simulated, importance, simulate, sweep, tornado, uncertainty


def __getattr__(name: str) -> Any:
    if name not in _HOMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(import_module(_HOMES[name], __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})


__all__ = [
    "BatchStatistics",
    "ComponentRow",
    "Curve",
    "CutsetRow",
    "Estimate",
    "GateRow",
    "ImportanceResult",
    "Model",
    "ModelError",
    "Percentile",
    "Simulated",
    "Summary",
    "binomial_interval",
    "clopper_pearson_interval",
    "describe_model",
    "format_report",
    "importance",
    "k_out_of_n_cutsets",
    "load_model",
    "merge",
    "native_stdout_silenced",
    "plot_summary",
    "simulate",
    "student_t_quantile",
    "summarize",
    "summarize_model",
    "sweep",
    "tornado",
    "uncertainty",
    "wilson_interval",
    "write_outputs",
]
