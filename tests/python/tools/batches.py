"""Batches made by hand for the tests of the results and output layers."""

import pytest

import tavoq
import tavoq_tools as report

never = tavoq.Distribution


def repairable_component():
    return [[never(), tavoq.Exponential(0.05)], [tavoq.Exponential(0.2), never()]]


def stats_from_runs(
    runs, horizon=None, *, components=((0, 0, 0),), cutsets=(), seed=7, first_run=0
):
    """BatchStatistics of runs given as their system state (0/1) at each time unit.

    ``components`` holds (downtime, failures, triggered) per component, which the system
    states do not determine, and may add the sum over runs of each run's downtime squared
    (for every component or for none).
    """
    horizon = len(runs[0]) if horizon is None else horizon
    failed_runs = [sum(run[t] for run in runs) for t in range(horizon)]
    first = [0] * horizon
    for run in runs:
        if 1 in run:
            first[run.index(1)] += 1
    starts = [
        sum(1 for t, s in enumerate(run) if s and (t == 0 or not run[t - 1])) for run in runs
    ]
    return report.BatchStatistics(
        seed=seed,
        first_run=first_run,
        n_runs=len(runs),
        sim_time=horizon,
        failed_runs=failed_runs,
        first_failures=first,
        system_failures=starts,
        downtime=[sum(run) for run in runs],
        component_downtime=[c[0] for c in components],
        component_failures=[c[1] for c in components],
        triggered_failures=[c[2] for c in components],
        cutset_failures=list(cutsets),
        component_downtime_squares=[c[3] for c in components if len(c) > 3],
    )


# Six runs over four time units: 5 system failures, 6 units down, first failures at 0, 1, 1, 3.
SIX_RUNS = [[0, 0, 0, 0], [0, 1, 1, 0], [1, 0, 1, 0], [0, 0, 0, 1], [0, 0, 0, 0], [0, 1, 0, 0]]


def six_runs(**kwargs):
    # Component a is down 3 units in one run and 1 in another, b 1 unit in each of two runs.
    args = {"components": [(4, 3, 3, 10), (2, 2, 2, 2), (0, 0, 0, 0)], "cutsets": [3, 1, 2]}
    args |= kwargs
    return stats_from_runs(SIX_RUNS, **args)


def six_runs_chunk(first_run, n, **kwargs):
    return stats_from_runs([[0, 1]] * n, first_run=first_run, **kwargs)


def close(estimate, value, lower, upper):
    return (estimate.value, estimate.lower, estimate.upper) == pytest.approx(
        (value, lower, upper), abs=1e-6
    )
