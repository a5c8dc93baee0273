#!/usr/bin/env python
"""Two threads against one: paired runnerParallelSim calls, and the machine's own ceiling.

On a shared virtual machine the speed of one core moves by 10-20% from one second to the
next, so two medians taken at different moments (bench_engine.py's 2T and 1T columns) can
differ by that much on their own. This script pairs the calls instead:

- pairs:   in each subprocess, --pairs pairs of runnerParallelSim calls on the same runs,
           one on 1 thread and one on 2, back to back, the order alternating. The figure
           is the median, over every pair of every subprocess, of wall(1T) / wall(2T).
- ceiling: what the machine gives two independent copies of the same work, with no
           threads of ours involved: --pairs runnerParallelSim calls on 1 thread in one
           subprocess alone, then in two such subprocesses at once. The figure is
           2 x (median wall alone) / (median wall of the two at once): a 2-thread
           batch cannot be expected to scale better than this.

Usage (from the repository root):
    .venv/bin/python bench/bench_scaling.py --module-dir build/new
    .venv/bin/python bench/bench_scaling.py --compare BASE_DIR NEW_DIR --models b,d
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import bench_engine as be

TARGET = be.TARGET_SCALING


def child(argv: list[str]) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--child", choices=("pairs", "alone"), required=True)
    ap.add_argument("--module-dir", default="")
    ap.add_argument("--model", required=True)
    ap.add_argument("--runs", type=int, required=True)
    ap.add_argument("--pairs", type=int, required=True)
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--out", required=True)
    a = ap.parse_args(argv)
    tavoq = be.load_module(a.module_dir)
    matrix, tree, horizon, _keep = be.build_model(tavoq, a.model)

    def call(threads: int, seed: int) -> dict:
        tavoq.limitOMPThreads(threads)
        timing, _ = be.timed_call(tavoq.runnerParallelSim, a.runs, horizon, matrix, tree, seed)
        return timing

    call(2, a.seed)  # warm-up: the thread pool, the tree's index, the pages
    out = []
    for k in range(a.pairs):
        if a.child == "alone":
            out.append({"one": call(1, a.seed + k)})
            continue
        first, second = (1, 2) if k % 2 == 0 else (2, 1)
        timings = {first: call(first, a.seed + k), second: call(second, a.seed + k)}
        out.append({"one": timings[1], "two": timings[2]})
    Path(a.out).write_text(json.dumps(out))
    return 0


def start_child(kind: str, path: str, model: str, runs: int, opts) -> tuple:
    fd, out = tempfile.mkstemp(prefix="bench_scaling_", suffix=".json")
    os.close(fd)
    cmd = [
        sys.executable,
        str(Path(__file__).resolve()),
        "--child",
        kind,
        "--module-dir",
        path,
        "--model",
        model,
        "--runs",
        str(runs),
        "--pairs",
        str(opts.pairs),
        "--seed",
        str(opts.seed),
        "--out",
        out,
    ]
    return subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE), out


def finish_child(proc, out: str) -> list:
    _, err = proc.communicate()
    try:
        if proc.returncode != 0:
            raise SystemExit("child failed:\n" + err.decode(errors="replace"))
        return json.loads(Path(out).read_text())
    finally:
        os.unlink(out)


def run_children(kind: str, path: str, model: str, runs: int, opts, copies: int = 1) -> list:
    started = [start_child(kind, path, model, runs, opts) for _ in range(copies)]
    return [finish_child(proc, out) for proc, out in started]


def quartiles(values: list[float]) -> tuple[float, float, float]:
    q = statistics.quantiles(values, n=4) if len(values) > 1 else values * 3
    return q[0], statistics.median(values), q[2]


def main() -> int:
    if "--child" in sys.argv[1:]:
        return child(sys.argv[1:])
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--module-dir", default="")
    ap.add_argument("--compare", nargs=2, metavar=("BASE_DIR", "NEW_DIR"))
    ap.add_argument("--models", default="a,b,c,d")
    ap.add_argument("--repeat", type=int, default=4, help="subprocesses per build and model")
    ap.add_argument("--pairs", type=int, default=6, help="pairs of calls per subprocess")
    ap.add_argument("--target", type=float, default=0.5, help="CPU seconds of one 1-thread call")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--ceiling", action=argparse.BooleanOptionalAction, default=True)
    opts = ap.parse_args()
    models = [m.strip() for m in opts.models.split(",") if m.strip()]
    if not models or any(m not in be.TARGETS_MULTI for m in models):
        ap.error("--models takes a comma-separated subset of a,b,c,d")
    if opts.repeat < 1 or opts.pairs < 1:
        ap.error("--repeat and --pairs must be at least 1")
    builds = (
        [("BASE", opts.compare[0]), ("NEW", opts.compare[1])]
        if opts.compare
        else [("BUILD", opts.module_dir)]
    )

    started = time.perf_counter()
    be.print_header("tavoq 2-thread scaling: runnerParallelSim, paired 1T/2T calls", builds)
    print(
        "  method:   %d subprocesses per build and model, %d pairs each, about %.2f CPU s "
        "per 1-thread call" % (opts.repeat, opts.pairs, opts.target)
    )
    print()
    sys.stdout.flush()

    rows = []
    for key in models:
        cal = be.run_child(
            "calibrate", builds[-1][1], key, {"seed": opts.seed, "target": opts.target}
        )
        runs = cal["runs"]
        ratios = {name: [] for name, _ in builds}
        cpu = {name: [] for name, _ in builds}
        others = {name: [] for name, _ in builds}
        for rep in range(opts.repeat):
            for name, path in builds if rep % 2 == 0 else builds[::-1]:
                for pair in run_children("pairs", path, key, runs, opts)[0]:
                    ratios[name].append(pair["one"]["wall"] / pair["two"]["wall"])
                    cpu[name].append(pair["one"]["cpu"] / pair["two"]["cpu"])
                    others[name].append(pair["two"]["others"])
        ceiling = "-"
        if opts.ceiling:
            path = builds[-1][1]
            alone, together = [], []
            for _ in range(opts.repeat):
                for c in run_children("alone", path, key, runs, opts)[0]:
                    alone.append(c["one"]["wall"])
                for copy in run_children("alone", path, key, runs, opts, copies=2):
                    together += [c["one"]["wall"] for c in copy]
            ceiling = "%.2f" % (2 * statistics.median(alone) / statistics.median(together))
        for name, _ in builds:
            low, mid, high = quartiles(ratios[name])
            met = sum(r >= TARGET for r in ratios[name])
            rows.append(
                [
                    key,
                    name,
                    f"{runs:,}",
                    "%.2f" % mid,
                    "%.2f-%.2f" % (low, high),
                    "%d/%d" % (met, len(ratios[name])),
                    "%.2f" % statistics.median(cpu[name]),
                    ceiling if name == builds[-1][0] else "-",
                    "%.2f" % statistics.median(others[name]),
                ]
            )
        print("  (%s) done (%.0f s)" % (key, time.perf_counter() - started))
        sys.stdout.flush()

    print()
    be.print_table(
        [
            "model",
            "build",
            "runs/call",
            "2T/1T median",
            "quartiles",
            "pairs >= %.1f" % TARGET,
            "CPU/run 1T/2T",
            "ceiling",
            "others (cores)",
        ],
        rows,
    )
    print()
    print("2T/1T: wall(1 thread) / wall(2 threads) of the same runs, back to back.")
    print("ceiling: two 1-thread subprocesses at once against one alone (the last build).")
    print(
        "load avg at end: %.2f %.2f %.2f; total %.0f s"
        % (os.getloadavg() + (time.perf_counter() - started,))
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
