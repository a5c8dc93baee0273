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


# Four runs over five time units; 0 up, 1 down for a failure, 2 down for planned stops only.
PLANT_RUNS = [[0, 2, 2, 0, 1], [1, 1, 0, 2, 0], [0, 0, 0, 0, 0], [2, 1, 1, 0, 0]]
# Per pool (busy crew-units, units waited, requests, longest queue) of each of the four runs.
POOL_RUNS = [
    [(3, 2, 2, 1), (0, 0, 0, 0), (4, 0, 1, 0), (5, 6, 3, 2)],
    [(1, 0, 1, 0), (2, 1, 1, 1), (0, 0, 0, 0), (0, 0, 0, 0)],
]


def plant_stats(runs=PLANT_RUNS, pools=POOL_RUNS, first_run=0):
    """BatchStatistics of runs given by kind of downtime at each unit, with crew pools."""
    horizon = len(runs[0])
    down = [[int(s != 0) for s in run] for run in runs]
    failed = [[int(s == 1) for s in run] for run in runs]
    first = [0] * horizon
    for run in failed:
        if 1 in run:
            first[run.index(1)] += 1
    rises = [
        sum(1 for t, s in enumerate(run) if s and (t == 0 or not run[t - 1])) for run in failed
    ]

    def column(k):
        return [sum(run[k] for run in pool) for pool in pools]

    def squares(k):
        return [float(sum(run[k] ** 2 for run in pool)) for pool in pools]

    return report.BatchStatistics(
        seed=3,
        first_run=first_run,
        n_runs=len(runs),
        sim_time=horizon,
        failed_runs=[sum(run[t] for run in down) for t in range(horizon)],
        first_failures=first,
        system_failures=rises,
        downtime=[sum(run) for run in down],
        component_downtime=[0],
        component_failures=[0],
        triggered_failures=[0],
        cutset_failures=[],
        planned_runs=[sum(int(run[t] == 2) for run in runs) for t in range(horizon)],
        planned_downtime=[sum(int(s == 2) for s in run) for run in runs],
        crew_busy=column(0),
        crew_wait=column(1),
        crew_requests=column(2),
        crew_longest_queue=column(3),
        crew_busy_squares=squares(0),
        crew_wait_squares=squares(1),
        crew_requests_squares=squares(2),
        crew_wait_times_requests=[float(sum(r[1] * r[2] for r in pool)) for pool in pools],
        crew_longest_queue_squares=squares(3),
    )
