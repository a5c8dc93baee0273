"""Tools around the tavoq module: model files, statistics, reports, the command and scale-out.

- ``point_unavailability``: counts per time unit of a batch runner -> unavailability, its
  binomial standard error and Wilson interval at every time unit.
- ``run_batches`` and ``mean_unavailability``: the mean unavailability over the horizon with a
  Student t interval from independent batches with disjoint seeds (the time units of one run
  are correlated, so the per-time-unit intervals say nothing about the mean).
- ``k_out_of_n_cutsets``: the cut sets of a k-out-of-n structure, for CutsetTree.constructTree.
- ``format_summary``, ``text_curve`` and ``plot_unavailability`` (matplotlib, optional).
- ``native_stdout_silenced``: keeps the runners' progress lines off the terminal.
"""

from .console import native_stdout_silenced
from .plot import plot_unavailability
from .stats import (
    MeanUnavailability,
    UnavailabilityCurve,
    batch_seeds,
    binomial_stderr,
    combine_batches,
    mean_unavailability,
    point_unavailability,
    run_batches,
    student_t_quantile,
    wilson_interval,
)
from .text import format_summary, text_curve
from .trees import k_out_of_n_cutsets

__all__ = [
    "MeanUnavailability",
    "UnavailabilityCurve",
    "batch_seeds",
    "binomial_stderr",
    "combine_batches",
    "format_summary",
    "k_out_of_n_cutsets",
    "mean_unavailability",
    "native_stdout_silenced",
    "plot_unavailability",
    "point_unavailability",
    "run_batches",
    "student_t_quantile",
    "text_curve",
    "wilson_interval",
]
