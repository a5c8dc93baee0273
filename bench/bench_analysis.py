#!/usr/bin/env python
"""The cost of the analyses against the batches they are made of (docs/benchmarks.md,
"Importance, sweeps and uncertainty"). Each figure is a median of --repeat timings, the
analysis and its reference timed one after the other on the same threads.

- importance: every component and named gate of examples/cooling_system.toml from the
  base runs' critical time, against the base batch of the same runs; and the held batches
  of the plant, whose components interact, per component;
- sweep: a 10-point sweep of a 100-component model (50 two-unit trains in series, one
  pump's MTTF swept), against one point;
- uncertainty: 1,000 samples of 1,000 runs of the pumping station with its pumps' and
  valve's lives uncertain, against one batch of 1,000,000 runs.

Usage (from the repository root): .venv/bin/python bench/bench_analysis.py [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import time
import tomllib
from collections.abc import Callable
from pathlib import Path

import tavoq_tools as tt  # before tavoq: it sets how OpenMP's threads wait

ROOT = Path(__file__).resolve().parent.parent


def timed(call: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def trains(n: int) -> str:
    text = f'failed_when = "{" or ".join(f"t{i}" for i in range(n))}"\n[gates]\n'
    text += "".join(f't{i} = "a{i} and b{i}"\n' for i in range(n))
    text += "[simulation]\nhorizon = 8760\nruns = 20000\nseed = 1\n"
    for i in range(n):
        for unit in ("a", "b"):
            text += (
                f"[components.{unit}{i}]\ntransitions = [\n"
                '  { from = "working", to = "failed", distribution = "exponential", '
                "mttf = 2000 },\n"
                '  { from = "failed", to = "working", distribution = "exponential", '
                "mean = 20 },\n]\n"
            )
    return text


def main() -> None:
    import tavoq

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument(
        "--only", choices=("importance", "sweep", "uncertainty"), help="time one analysis"
    )
    args = parser.parse_args()
    tavoq.limitOMPThreads(args.threads)
    threads = args.threads

    if args.only in (None, "importance"):
        importance(args.repeat, threads)
    if args.only in (None, "sweep"):
        sweep(args.repeat, threads)
    if args.only in (None, "uncertainty"):
        uncertainty(args.repeat, threads)


def importance(repeat: int, threads: int) -> None:
    cooling = tt.load_model(ROOT / "examples" / "cooling_system.toml")
    runs = 20_000
    base = timed(lambda: tt.simulate(cooling, runs, 1, threads=threads, points=1), repeat)
    stats = tt.simulate(cooling, runs, 1, threads=threads, points=1)
    held = tt.importance(cooling, None, runs, 1, threads=threads, base=stats)
    nodes = len(held.nodes)
    full = timed(
        lambda: tt.importance(cooling, None, runs, 1, threads=threads, base=stats), repeat
    )
    print(
        f"importance from the base runs, cooling system, {nodes} components and gates, "
        f"{runs:,} runs: base {base:.3f} s, importance {full:.3f} s = {full / base:.2f}x the "
        f"base batch, {(base + full) / base:.2f}x with it (target <= 3x)"
    )
    plant = tt.load_model(ROOT / "examples" / "plant.toml")
    plant_base = timed(lambda: tt.simulate(plant, runs, 1, threads=threads, points=1), 1)
    held = tt.importance(plant, None, runs, 1, threads=threads)
    cost = timed(lambda: tt.importance(plant, None, runs, 1, threads=threads), 1) - plant_base
    print(
        f"importance held in the plant (plant.toml, interactions), {len(held.nodes)} "
        f"components, {runs:,} runs: {held.batches} held batches, {cost / plant_base:.1f}x "
        f"the base batch, {cost / plant_base / len(held.nodes):.2f}x per component"
    )


def sweep(repeat: int, threads: int) -> None:
    from tavoq_tools.formats.document import Document

    model_text = trains(50)
    document = Document(tomllib.loads(model_text))
    key = "components.a0.transitions[0].mttf"
    point = timed(lambda: tt.sweep(document, {key: [2000]}, 20_000, threads=threads), repeat)
    values = [1000 + 250 * i for i in range(10)]
    ten = timed(lambda: tt.sweep(document, {key: values}, 20_000, threads=threads), repeat)
    print(
        f"sweep, 100 components, 10 points of 20,000 runs: one point {point:.3f} s, ten "
        f"{ten:.3f} s = {ten / point:.2f}x one point (target <= 10.5x)"
    )


def uncertainty(repeat: int, threads: int) -> None:
    from tavoq_tools.formats.document import Document

    data = tomllib.loads((ROOT / "examples" / "pumping_station.toml").read_text())
    pumps = data["components"]["pump"]["transitions"][0]
    life = "scale" if "scale" in pumps else "mttf"
    pumps[life] = {"lognormal": pumps[life], "error_factor": 3, "group": "pumps"}
    valve = data["components"]["valve"]["transitions"][0]
    valve_life = "scale" if "scale" in valve else "mttf"
    valve[valve_life] = {"lognormal": valve[valve_life], "error_factor": 2}
    station = Document(data)
    model = station.model()
    # Alternated, so that a slow spell of the machine falls on both.
    batches, outers = [], []
    for _ in range(repeat):
        batches.append(
            timed(lambda: tt.simulate(model, 1_000_000, 1, threads=threads, points=1), 1)
        )
        outers.append(timed(lambda: tt.uncertainty(station, 1000, 1000, 1, threads=threads), 1))
    batch, outer = statistics.median(batches), statistics.median(outers)
    ratios = sorted(o / b for o, b in zip(outers, batches, strict=True))
    print(
        f"uncertainty, pumping station, 1,000 samples x 1,000 runs: {outer:.2f} s against "
        f"{batch:.2f} s for one batch of 1,000,000 = {outer / batch:.2f}x (pairs "
        f"{', '.join(f'{r:.2f}' for r in ratios)}; target <= 1.1x)"
    )


if __name__ == "__main__":
    main()
