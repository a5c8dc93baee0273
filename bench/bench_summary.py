#!/usr/bin/env python
"""Time of ``summarize`` on batches of many components, and of many named gates.

The batch is made by hand (no runs): 1,000 runs over 100 time units, and per component a
downtime, a failure count and a count of triggered system failures drawn from a seeded
generator, with failure counts spread from 0 to a few thousand so that the Poisson intervals
of both small and large counts are exercised. With ``--gates`` the batch also has that many
named gates, with a downtime, its sum of squares over runs (each run down for an even share),
a failure count and a count of triggered system failures each. The time of the runs
themselves is not part of it: docs/benchmarks.md sets the two side by side.

Usage:
    .venv/bin/python bench/bench_summary.py [--components 10000 100000] [--gates 0 20000]
        [--repeat 3]
"""

import argparse
import statistics
import time

import numpy as np

from tavoq_tools.results.counts import BatchStatistics
from tavoq_tools.results.summary import summarize

RUNS = 1_000
HORIZON = 100


def batch(components: int, seed: int = 1, gates: int = 0) -> BatchStatistics:
    rng = np.random.default_rng(seed)
    failures = rng.integers(0, 2, RUNS)  # a system failure in about half the runs
    first = np.zeros(HORIZON, dtype=np.int64)
    np.add.at(first, rng.integers(0, HORIZON, int(failures.sum())), 1)
    downtime = failures  # one unit down per failure
    failed_runs = np.zeros(HORIZON, dtype=np.int64)
    failed_runs[0] = int(downtime.sum())
    triggered = np.zeros(components, dtype=np.int64)
    np.add.at(triggered, rng.integers(0, components, int(failures.sum())), 1)
    return BatchStatistics(
        seed=seed,
        first_run=0,
        n_runs=RUNS,
        sim_time=HORIZON,
        failed_runs=failed_runs,
        first_failures=first,
        system_failures=failures,
        downtime=downtime,
        component_downtime=rng.integers(0, RUNS * HORIZON, components),
        component_failures=np.floor(10 ** rng.uniform(0, 3.5, components)).astype(np.int64) - 1,
        triggered_failures=triggered,
        cutset_failures=[int(failures.sum())],
        **gate_fields(rng, gates, int(failures.sum())),
    )


def gate_fields(rng: np.random.Generator, gates: int, total: int) -> dict[str, np.ndarray]:
    """Per gate a downtime over the runs, spread evenly (its sum of squares follows), a
    failure count and a share of the ``total`` system failures."""
    if not gates:
        return {}
    downtime = rng.integers(0, RUNS * HORIZON, gates)
    share, extra = np.divmod(downtime, RUNS)
    squares = (RUNS - extra) * share.astype(np.float64) ** 2 + extra * (share + 1.0) ** 2
    return {
        "gate_downtime": downtime,
        "gate_failures": np.floor(10 ** rng.uniform(0, 3.5, gates)).astype(np.int64) - 1,
        "gate_triggered": rng.integers(0, total + 1, gates),
        "gate_downtime_squares": squares,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--components", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--gates", type=int, nargs="+", default=[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    # CPU time beside wall time: on a shared machine the wall time also counts the others.
    print(f"{'components':>10}  {'gates':>7}  {'wall s':>8}  {'CPU s':>8}  {'CPU us per row':>14}")
    for n in args.components:
        for g in args.gates:
            stats = batch(n, gates=g)
            named = [(f"gate_{i}", i) for i in range(g)]
            wall, cpu = [], []
            for _ in range(args.repeat):
                began, began_cpu = time.perf_counter(), time.process_time()
                summarize(stats, gates=named)
                wall.append(time.perf_counter() - began)
                cpu.append(time.process_time() - began_cpu)
            w, c = statistics.median(wall), statistics.median(cpu)
            print(f"{n:>10,}  {g:>7,}  {w:>8.3f}  {c:>8.3f}  {c / (n + g) * 1e6:>14.1f}")


if __name__ == "__main__":
    main()
