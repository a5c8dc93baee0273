#!/usr/bin/env python
"""Rare-event mode's cost: CPU seconds to a 95% interval of +-10% of the unreliability, with
the exact value beside it (docs/rare-events.md, docs/benchmarks.md).

Two systems of repairable units (exponential failures and repairs, mission 1000 units):
- "2oo3": a 2-out-of-3 system whose unreliability is about 1e-9 (failure rate 6e-8 per
  unit, repair rate 0.02), and the same at about 1e-12 (rate 1.9e-9);
- "3 trains": three 2-out-of-3 trains that fail the system together (MTTR 10 units), six
  failures, two in each train: about 8e-9 at MTTF 1000 units, about 1e-12 at MTTF 4545;
- "static": a static tree of failures on demand (a valve, two of three pumps, or a pump and
  its backup) at about 1e-12, against its probability summed over every state; and a flat
  tree of 2,000 cut sets of 3 drawn among 1,000 shared events (chances 1e-5 to 1e-2, seeded),
  about 5.5e-6, with no exact value;
- "Weibull 1e-12": one unit of Weibull lives and lognormal repairs and two of one Weibull
  life each, failed together, at about 2e-12, against renewal sums over whole units;
- "100 interacting": 100 components in four trains, two of which fail the system together
  (interacting_plant below: standby pumps with a crew, valves, sensors with a common cause),
  whose failure rates are scaled to about 1e-8. It has no exact value; at ten times the
  rates (about 0.045) splitting and crude runs agree (docs/benchmarks.md).

Each runs `rare_estimate` (method auto, which takes failure biasing for the 2-out-of-3 and
splitting for the trains; --method forces one) with `target_ci=0.1` from 10,000 runs or 500
roots (doubling) on one thread, and prints the CPU time (splitting's pilot included), the
runs, the estimate against the exact value (the discrete-time chains of
tests/python/validation/test_exact_answers.py), the variance ratio against crude runs, and
the warnings.

Usage (from the repository root): .venv/bin/python bench/bench_rare.py [--max-runs N]
"""

from __future__ import annotations

import argparse
import math
import random
import sys
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))


def interacting_plant(scale: float, runs: int) -> str:
    """The model file of 100 components in four trains, failed when two trains are: a train
    is down when its three pumps in cold standby (one crew, MTTF 2000 / scale, repair 50)
    are, when both its valves are stuck (MTTF 5000 / scale, MTTR 20), or when 3 of its 20
    sensors are failed (MTTF 10000 / scale, MTTR 5, 1% of their failures a common cause)."""
    lines = ["[simulation]", "horizon = 1000", f"runs = {runs}", "seed = 1"]
    gates = []

    def unit(
        name: str, states: str, moves: list[tuple[str, str, float, str]], kinds: str = ""
    ) -> None:
        lines.extend([f"[components.{name}]", f"states = {states}"])
        lines.extend([f"kinds = {kinds}"] if kinds else [])
        lines.append("transitions = [")
        for source, target, rate, extra in moves:
            lines.append(
                f'  {{ from = "{source}", to = "{target}", distribution = "exponential", '
                f"rate = {rate}{extra} }},"
            )
        lines.append("]")

    for t in range(1, 5):
        lines.extend([f"[crews.crew_{t}]", "count = 1"])
        pumps = [f"pump_{t}{u}" for u in "abc"]
        for p in pumps:
            crew = f', crew = "crew_{t}"'
            moves = [("running", "failed", 5e-4 * scale, ""), ("failed", "standby", 0.02, crew)]
            unit(p, '["running", "standby", "failed"]', moves, '{ standby = "working" }')
        lines.extend([f"[standby.pumps_{t}]", f"units = {pumps}", 'active = "running"'])
        lines.extend(['standby = "standby"', "revert = false"])
        for v in "ab":
            unit(
                f"valve_{t}{v}",
                '["open", "stuck"]',
                [("open", "stuck", 2e-4 * scale, ""), ("stuck", "open", 0.05, "")],
            )
        sensors = [f"sensor_{t}_{i:02d}" for i in range(20)]
        for name in sensors:
            moves = [("working", "failed", 1e-4 * scale, ""), ("failed", "working", 0.2, "")]
            unit(name, '["working", "failed"]', moves)
        lines.extend([f"[common_cause.sensors_{t}]", f"members = {sensors}", "beta = 0.01"])
        lines.append('to = "failed"')
        gates.append(
            f'train_{t} = "pumps_{t} or (valve_{t}a and valve_{t}b) or '
            f'atleast(3, {", ".join(sensors)})"'
        )
    head = ['failed_when = "atleast(2, train_1, train_2, train_3, train_4)"', "[gates]"]
    return "\n".join(head + gates + lines) + "\n"


def main() -> None:
    from validation.test_exact_answers import (
        FORCED_LIVES,
        STATIC_CHANCES,
        STATIC_LOGIC,
        THREE_TRAIN_UNITS,
        THREE_TRAINS,
        demand_text,
        late_failures_text,
        late_failures_unreliability,
        plant_model,
        static_chances,
        static_fails,
        static_probability,
        three_trains_unreliability,
        two_down,
        two_of_three_chain,
        units_text,
    )

    import tavoq

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--max-runs", type=int, default=20_000_000)
    parser.add_argument("--method", default="auto", choices=("auto", "sampling", "splitting"))
    parser.add_argument("--only", help="run the cases whose name contains this")
    args = parser.parse_args()
    tavoq.limitOMPThreads(1)
    cases = [
        ("2oo3 1e-9", "abc", "atleast(2, a, b, c)", 6e-8, 0.02),
        ("2oo3 1e-12", "abc", "atleast(2, a, b, c)", 1.9e-9, 0.02),
        ("3 trains 1e-9", THREE_TRAIN_UNITS, THREE_TRAINS, 1e-3, 0.1),
        ("3 trains 1e-12", THREE_TRAIN_UNITS, THREE_TRAINS, 2.2e-4, 0.1),
        ("Weibull 1e-12", [], "", math.nan, math.nan),
        ("100 interacting 1e-8", [], "", 0.2, math.nan),  # lam: the rates' scale
        ("static 1e-12", [], "", math.nan, math.nan),
        ("static 2,000 sets", [], "", math.nan, math.nan),
    ]
    for name, names, logic, lam, mu in cases:
        if args.only and args.only not in name:
            continue
        if name == "static 1e-12":
            chances = static_chances(*STATIC_CHANCES["1e-12"])
            model = plant_model(demand_text(STATIC_LOGIC, chances))
            exact = static_probability(static_fails, chances)
            run_case(name, model, exact, args.method, args.max_runs)
            continue
        if name.startswith("Weibull"):
            repaired, lates = FORCED_LIVES["1e-12"]
            model = plant_model(late_failures_text(1000, repaired, lates, 10_000))
            exact = late_failures_unreliability(1000, repaired, lates)
            run_case(name, model, exact, args.method, args.max_runs)
            continue
        if name.startswith("static"):
            generator = random.Random(2)
            chances = {f"e{i}": 10 ** generator.uniform(-5, -2) for i in range(1000)}
            sets = [generator.sample(list(chances), 3) for _ in range(2000)]
            logic = " or ".join("(" + " and ".join(members) + ")" for members in sets)
            run_case(
                name,
                plant_model(demand_text(logic, chances)),
                math.nan,
                args.method,
                args.max_runs,
            )
            continue
        if name.startswith("100"):
            model = plant_model(interacting_plant(lam, 500))
            run_case(name, model, math.nan, args.method, args.max_runs)
            continue
        rates = [(lam, mu)] * len(names)
        first = 10_000 if len(names) == 3 else 500
        model = plant_model(units_text(names, logic, rates, horizon=1000, runs=first, seed=1))
        exact = (
            two_of_three_chain(lam, mu).unreliability(two_down, 1000)[-1]
            if len(names) == 3
            else three_trains_unreliability(lam, mu, 1000)
        )
        run_case(name, model, exact, args.method, args.max_runs)


def run_case(name: str, model: Any, exact: float, method: str, max_runs: int) -> None:
    from tavoq_tools.model.system import RareSettings
    from tavoq_tools.run.rare_method import rare_estimate

    start = time.process_time()
    r = rare_estimate(model, RareSettings(method=method, target_ci=0.1, max_runs=max_runs))
    cpu = time.process_time() - start
    e = r.unreliability
    covered = "covered" if e.upper is not None and e.lower <= exact <= e.upper else "NOT covered"
    print(
        f"{name}: {r.method}, {cpu:.2f} CPU s, {r.runs:,} {'roots' if r.levels else 'runs'}, "
        + (
            f"{e.value:.4g} [{e.lower:.4g}, {e.upper:.4g}] +-{r.relative_half_width:.1%}, "
            if e.upper is not None
            else "no estimate (no failure reached), "
        )
        + (f"exact {exact:.4g} ({covered}), " if not math.isnan(exact) else "")
        + f"variance ratio {r.variance_ratio:.3g}"
        + (f", splits {r.splits}" if r.levels else "")
        + f"; warnings: {list(r.warnings) or 'none'}",
        flush=True,
    )


if __name__ == "__main__":
    main()
