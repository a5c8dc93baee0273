#!/usr/bin/env python
"""Fault trees from model files: load, check, count and run times of large gate graphs.

Models, each written as a model file into a temporary folder first:
  wide     10,000 components and gates: 5,000 components in 500 groups (count = 10) and
           5,000 gates, per group nine "or" gates of two neighbouring members and an "and"
           of five of them, all under one "or";
  tables   the same, each component a [components.NAME] table of its own (Python's
           tomllib then takes most of the time);
  random   2,000 components and 600 gates drawn with a fixed seed: each gate an "or",
           "and" or "atleast" of 2 to 6 inputs among the components and the earlier
           gates (inputs shared between gates), the top an "or" of the last 50;
  series   20,000 components in series (failed_when = "c1 or c2 or ..."), run for 100
           runs of 1,000 h.

For each: the time of load_model (TOML read, checks, the graph built), of counting the
minimal cut sets (what `tavoq check` prints) and of listing the 10 smallest, as the median
of --repeat tries in this process; the series model also runs.

Usage (from the repository root):
    .venv/bin/python bench/bench_gates.py [--repeat 5] [--models wide,random]
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

TRANSITIONS = """transitions = [
  { from = "working", to = "failed", distribution = "exponential", mttf = 10000 },
  { from = "failed", to = "working", distribution = "exponential", mean = 24 },
]
"""


def header(failed_when: str, horizon: int = 1000, runs: int = 100) -> str:
    return (
        f'failed_when = "{failed_when}"\n\n'
        f"[simulation]\nhorizon = {horizon}\nruns = {runs}\nseed = 1\n\n"
    )


def wide(tables: bool) -> str:
    groups = 500
    lines = []
    gates = []
    for g in range(groups):
        members = [f"m{g}_{i}" if tables else f"m{g}_{i + 1}" for i in range(10)]
        for j in range(9):
            gates.append(f'g{g}_{j} = "{members[j]} or {members[j + 1]}"')
        gates.append(f'g{g}_9 = "{" and ".join(f"g{g}_{j}" for j in range(0, 9, 2))}"')
    top = " or ".join(f"g{g}_9" for g in range(groups))
    lines.append(header(top))
    lines.append("[gates]\n" + "\n".join(gates) + "\n")
    for g in range(groups):
        if tables:
            for i in range(10):
                lines.append(f"[components.m{g}_{i}]\n{TRANSITIONS}")
        else:
            lines.append(f"[components.m{g}]\ncount = 10\n{TRANSITIONS}")
    return "\n".join(lines)


def random_tree() -> str:
    rng = random.Random(20240601)
    # The members of groups a and b (count = 1000 each).
    components = [f"{g}_{i}" for g in "ab" for i in range(1, 1001)]
    gates: dict[str, str] = {}
    for g in range(600):
        inputs = rng.sample(components + list(gates), rng.randint(2, 6))
        kind = rng.choice(["or", "and", "atleast"])
        if kind == "atleast":
            gates[f"g{g}"] = f"atleast({rng.randint(1, len(inputs))}, {', '.join(inputs)})"
        else:
            gates[f"g{g}"] = f" {kind} ".join(inputs)
    text = header(" or ".join(list(gates)[-50:]))
    text += "[gates]\n" + "".join(f'{name} = "{expr}"\n' for name, expr in gates.items())
    return text + "".join(f"\n[components.{g}]\ncount = 1000\n{TRANSITIONS}" for g in "ab")


def series() -> str:
    # 20 groups of 1,000 (the largest count a group may have).
    top = " or ".join(f"c{g}_{i}" for g in range(20) for i in range(1, 1001))
    groups = "".join(f"[components.c{g}]\ncount = 1000\n{TRANSITIONS}\n" for g in range(20))
    return header(top) + groups


MODELS = {
    "wide": lambda: wide(tables=False),
    "tables": lambda: wide(tables=True),
    "random": random_tree,
    "series": series,
}


def median_time(action, repeat: int) -> tuple[float, object]:
    times = []
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = action()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--models", default=",".join(MODELS))
    args = parser.parse_args()
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    import tavoq
    from tavoq_tools.model.cutsets import count_cutsets, smallest_cutsets
    from tavoq_tools.model.file import load_model

    with tempfile.TemporaryDirectory() as folder:
        for name in args.models.split(","):
            path = Path(folder) / f"{name}.toml"
            path.write_text(MODELS[name]())
            load, model = median_time(lambda p=path: load_model(p), args.repeat)
            graph = model.logic_graph
            count_s, count = median_time(lambda g=graph: count_cutsets(g), args.repeat)
            list_s, listed = median_time(lambda g=graph: smallest_cutsets(g, 10), args.repeat)
            print(
                f"{name:7s} {graph.n_components:6d} components {graph.n_gates:6d} gates "
                f"depth {graph.depth:3d}: load {load:.3f} s, count {count_s:.3f} s "
                f"({count.describe()}), 10 smallest {list_s:.3f} s "
                f"({'complete' if listed.complete else 'incomplete'})",
                flush=True,
            )
            if name == "series" and hasattr(tavoq, "FaultTree"):
                build_s, (matrix, tree) = median_time(model.build, 1)
                start = time.perf_counter()
                stats = tavoq.runnerStatistics(100, 1000, matrix, tree, 1)
                run_s = time.perf_counter() - start
                print(
                    f"        build {build_s:.2f} s, 100 runs of 1,000 h {run_s:.2f} s "
                    f"(mean downtime {stats.downtime.mean():.1f} h)"
                )
    return 0


if __name__ == "__main__":
    sys.exit(main())
