"""Tools around the tavoq module: model files, statistics, reports, the command and scale-out.

- ``point_unavailability``: counts per time unit of a batch runner -> unavailability, its
  binomial standard error and Wilson interval at every time unit.
- ``run_batches`` and ``mean_unavailability``: the mean unavailability over the horizon with a
  Student t interval from independent batches with disjoint seeds (the time units of one run
  are correlated, so the per-time-unit intervals say nothing about the mean).
- ``tree_from_predicate`` and ``tree_from_cutsets``: a CutsetTree that answers correctly for
  every combination of failed components, built by enumerating all failure patterns.
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
from .trees import (
    MAX_COMPONENTS,
    failing_patterns,
    k_out_of_n_fails,
    tree_from_cutsets,
    tree_from_predicate,
)

__all__ = [
    "MAX_COMPONENTS",
    "MeanUnavailability",
    "UnavailabilityCurve",
    "batch_seeds",
    "binomial_stderr",
    "combine_batches",
    "failing_patterns",
    "format_summary",
    "k_out_of_n_fails",
    "mean_unavailability",
    "native_stdout_silenced",
    "plot_unavailability",
    "point_unavailability",
    "run_batches",
    "student_t_quantile",
    "text_curve",
    "tree_from_cutsets",
    "tree_from_predicate",
    "wilson_interval",
]
