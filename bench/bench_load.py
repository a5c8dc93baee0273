"""How long a large fault tree takes to load and check: the median of five loads.

Two seeded model files are written to a temporary folder:
- "10k": 5,000 components and 5,000 gates, each gate an `or`, `and` or `atleast` of 2 to 4
  earlier nodes (components or gates), so subtrees are shared;
- "2k/600": 2,000 components and 600 gates in 8 levels over the components, the shape of
  model (f) of bench_engine.py.
Each is loaded (`load_model`: parse, build the gate graph, count the minimal cut sets within
the work budget) and checked (`tavoq check`'s text, which lists the smallest cut sets).
Usage: python bench/bench_load.py
"""

from __future__ import annotations

import random
import statistics
import tempfile
import time
from pathlib import Path

from tavoq_tools import cli
from tavoq_tools.model.file import load_model

COMPONENT = """
[components.c]
count = {n}
states = ["up", "down"]
transitions = [
  {{ from = "up", to = "down", distribution = "exponential", mttf = 10000 }},
  {{ from = "down", to = "up", distribution = "exponential", mttf = 24 }},
]
"""


def gate_text(rng: random.Random, inputs: list[str]) -> str:
    kind = rng.choice(["or", "and", "atleast"])
    if kind == "atleast" and len(inputs) >= 3:
        return f"atleast(2, {', '.join(inputs)})"
    return f" {'and' if kind == 'and' else 'or'} ".join(inputs)


def model_text(n_components: int, levels: list[int], seed: int) -> str:
    rng = random.Random(seed)
    below = [f"c_{i + 1}" for i in range(n_components)]
    gates: list[tuple[str, str]] = []
    for level, width in enumerate(levels):
        names = []
        for k in range(width):
            name = f"g{level}_{k}"
            gates.append((name, gate_text(rng, rng.sample(below, rng.randint(2, 4)))))
            names.append(name)
        below = names + rng.sample(below, min(len(below), width))  # shared subtrees
    top = " or ".join(name for name, _ in gates[-levels[-1] :])
    body = "\n".join(f'{name} = "{text}"' for name, text in gates)
    head = f'failed_when = "{top}"\n\n[simulation]\nhorizon = 8760\n\n[gates]\n'
    return head + body + "\n" + COMPONENT.format(n=n_components)


def median_seconds(path: Path) -> tuple[float, float]:
    loads, checks = [], []
    for _ in range(5):
        start = time.perf_counter()
        model = load_model(path)
        loads.append(time.perf_counter() - start)
        start = time.perf_counter()
        cli.check_text(model, str(path))
        checks.append(time.perf_counter() - start)
    return statistics.median(loads), statistics.median(checks)


def main() -> None:
    cases = {
        "10k (5,000 components, 5,000 gates)": model_text(5000, [625] * 8, 1),
        "2k/600 (2,000 components, 600 gates, depth 8)": model_text(2000, [75] * 8, 2),
    }
    with tempfile.TemporaryDirectory() as folder:
        for label, text in cases.items():
            path = Path(folder) / "tree.toml"
            path.write_text(text)
            load, check = median_seconds(path)
            print(f"{label}: load {load:.3f} s, check {check:.3f} s (medians of 5)")


if __name__ == "__main__":
    main()
