#!/usr/bin/env python
"""Runs per second of one batch on this machine's threads and on a local Dask cluster.

Times `runnerStatistics` on 1 and 2 OpenMP threads in this process, and `simulate_on_dask`
on a LocalCluster of 1 and of 2 worker processes (one thread each), on model (a) of
bench_runners.py: 10 components in 5 pairs, Exponential failure mean 1000 h and repair mean
10 h, the system down when both components of a pair are, horizon 8760 h. It also times
many tiny chunks to give the cost of one chunk on the cluster (task sent, model built, result
sent back and merged), and checks that every cluster result equals the local batch.

The variants are timed in turn within each repetition, so that load changes on a shared
machine hit all of them alike; the table gives medians.

Usage:
    .venv/bin/python bench/bench_dask.py [--runs 100000] [--repeat 5]
"""

import argparse
import logging
import os
import statistics
import time
from dataclasses import dataclass

import tavoq
from tavoq_tools.results.counts import BatchStatistics
from tavoq_tools.run.chunks import plan_chunks
from tavoq_tools.run.dask_cluster import simulate_on_dask

HORIZON = 8_760
SEED = 12_345


@dataclass(frozen=True)
class PumpPairs:
    pairs: int = 5
    mttf: float = 1_000.0
    mttr: float = 10.0

    def build(self):
        n = 2 * self.pairs
        matrix = [
            [
                [tavoq.Distribution(), tavoq.Exponential(1.0 / self.mttf)],
                [tavoq.Exponential(1.0 / self.mttr), tavoq.Distribution()],
            ]
            for _ in range(n)
        ]
        tree = tavoq.CutsetTree(n)
        for p in range(self.pairs):
            vector = [0] * n
            vector[2 * p] = vector[2 * p + 1] = 1
            tree.insertNode(vector)
        return matrix, tree


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--tiny-chunks", type=int, default=200)
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    model = PumpPairs()
    matrix, tree = model.build()[:2]

    def local(threads):
        tavoq.limitOMPThreads(threads)
        native = tavoq.runnerStatistics(args.runs, HORIZON, matrix, tree, SEED)
        return BatchStatistics.from_native(native)

    reference = local(1)
    clusters = {}
    for workers in (1, 2):
        cluster = LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address="127.0.0.1:0",
            silence_logs=logging.CRITICAL,
        )
        clusters[workers] = (cluster, Client(cluster))
    for _, client in clusters.values():  # first call imports tavoq on the workers
        simulate_on_dask(client, model, 100, SEED, HORIZON)

    variants = {
        "local, 1 thread": lambda: local(1),
        "local, 2 threads": lambda: local(2),
    }
    for workers, (_, client) in clusters.items():
        for chunk in (None, 10_000, 1_000):
            label = f"Dask, {workers} worker{'s' if workers > 1 else ''}, chunks of " + (
                f"{chunk:,}" if chunk else f"{len(plan_chunks(args.runs, None, workers)[0]):,}"
            )
            variants[label] = lambda client=client, chunk=chunk: simulate_on_dask(
                client, model, args.runs, SEED, HORIZON, chunk_runs=chunk
            )
        variants[f"Dask, {workers} worker(s), {args.tiny_chunks} chunks of 1 run"] = (
            lambda client=client: simulate_on_dask(
                client, model, args.tiny_chunks, SEED, HORIZON, chunk_runs=1
            )
        )

    times = {name: [] for name in variants}
    for _ in range(args.repeat):
        for name, call in variants.items():
            seconds, result = timed(call)
            times[name].append(seconds)
            if "chunks of 1 run" not in name and result != reference:
                raise SystemExit(f"{name}: result differs from the local batch")

    print(f"cores: {os.cpu_count()}, runs per batch: {args.runs:,}, medians of {args.repeat}")
    print(f"{'variant':<42} {'median s':>9} {'runs/s':>10} {'chunks':>7} {'s/chunk':>9}")
    for name, values in times.items():
        median = statistics.median(values)
        if "chunks of 1 run" in name:
            n_chunks = args.tiny_chunks
            print(f"{name:<42} {median:9.3f} {'':>10} {n_chunks:7d} {median / n_chunks:9.4f}")
            continue
        if name.startswith("Dask"):
            chunk = int(name.rsplit(" ", 1)[1].replace(",", ""))
            n_chunks = -(-args.runs // chunk)
        else:
            n_chunks = 1
        print(f"{name:<42} {median:9.3f} {args.runs / median:10,.0f} {n_chunks:7d}")
    logging.getLogger("distributed").setLevel(logging.ERROR)  # no lines about closing
    for cluster, client in clusters.values():
        client.close()
        cluster.close()


if __name__ == "__main__":
    main()
