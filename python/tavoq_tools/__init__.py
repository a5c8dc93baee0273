"""Tools around the tavoq module: model files, statistics, reports, the command and scale-out.

- ``load_model`` -> ``Model``: a model file (TOML, or a Galileo or Open-PSA fault tree) as
  plain data; ``Model.build()`` gives the
  matrix and the ``FaultTree`` for runnerStatistics; ``ModelError`` names the file, key and what is allowed.
- ``simulate``: a model's batch run chunk by chunk (run i seeded seed + i), as one result.
- ``BatchStatistics`` and ``merge``: the counts of ``runnerStatistics`` for a range of runs, and
  one result for chunks of consecutive runs, identical to a single batch.
- ``summarize`` -> ``Summary``: unavailability, reliability, time to first failure, failures,
  MTBF, down time, gate, component and cut-set tables, each with a 95% interval and its method;
  ``format_report`` (text), ``plot_summary`` (figure), ``write_outputs`` (files).
- ``k_out_of_n_cutsets``: the cut sets of a k-out-of-n structure, for CutsetTree.constructTree.
- ``binomial_interval`` (Clopper-Pearson at small counts, Wilson above),
  ``clopper_pearson_interval``, ``wilson_interval`` and ``student_t_quantile``: the interval
  helpers the estimates use.
- ``native_stdout_silenced``: keeps the runners' progress lines off the terminal.
"""

from .errors import ModelError
from .model.file import load_model
from .model.logic import k_out_of_n_cutsets
from .model.system import Model
from .output.figures import plot_summary
from .output.files import write_outputs
from .output.report import format_report
from .results.counts import BatchStatistics, merge
from .results.intervals import (
    binomial_interval,
    clopper_pearson_interval,
    student_t_quantile,
    wilson_interval,
)
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
from .run.simulate import simulate

__all__ = [
    "BatchStatistics",
    "ComponentRow",
    "Curve",
    "CutsetRow",
    "Estimate",
    "GateRow",
    "Model",
    "ModelError",
    "Percentile",
    "Summary",
    "binomial_interval",
    "clopper_pearson_interval",
    "format_report",
    "k_out_of_n_cutsets",
    "load_model",
    "merge",
    "native_stdout_silenced",
    "plot_summary",
    "simulate",
    "student_t_quantile",
    "summarize",
    "wilson_interval",
    "write_outputs",
]
