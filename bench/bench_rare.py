#!/usr/bin/env python
"""Rare-event mode's cost: CPU seconds to a 95% interval of +-10% of the unreliability, with
the exact value beside it (docs/rare-events.md, docs/benchmarks.md).

Two systems of repairable units (exponential failures and repairs, mission 1000 units):
- "2oo3": a 2-out-of-3 system whose unreliability is about 1e-9 (failure rate 6e-8 per
  unit, repair rate 0.02), and the same at about 1e-12 (rate 1.9e-9);
- "3 trains": three 2-out-of-3 trains that fail the system together (MTTR 10 units), six
  failures, two in each train: about 8e-9 at MTTF 1000 units, about 1e-12 at MTTF 4545.

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
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))


def main() -> None:
    from validation.test_exact_answers import (
        THREE_TRAIN_UNITS,
        THREE_TRAINS,
        plant_model,
        three_trains_unreliability,
        two_down,
        two_of_three_chain,
        units_text,
    )

    import tavoq
    from tavoq_tools.model.system import RareSettings
    from tavoq_tools.run.rare_method import rare_estimate

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
    ]
    for name, names, logic, lam, mu in cases:
        if args.only and args.only not in name:
            continue
        rates = [(lam, mu)] * len(names)
        first = 10_000 if len(names) == 3 else 500
        model = plant_model(units_text(names, logic, rates, horizon=1000, runs=first, seed=1))
        exact = (
            two_of_three_chain(lam, mu).unreliability(two_down, 1000)[-1]
            if len(names) == 3
            else three_trains_unreliability(lam, mu, 1000)
        )
        start = time.process_time()
        settings = RareSettings(method=args.method, target_ci=0.1, max_runs=args.max_runs)
        r = rare_estimate(model, settings)
        cpu = time.process_time() - start
        e = r.unreliability
        print(
            f"{name}: {r.method}, {cpu:.2f} CPU s, {r.runs:,} {'roots' if r.levels else 'runs'}, "
            f"{e.value:.4g} [{e.lower:.4g}, {e.upper:.4g}] +-{r.relative_half_width:.1%}, "
            f"exact {exact:.4g} ({'covered' if e.lower <= exact <= e.upper else 'NOT covered'}), "
            f"variance ratio {r.variance_ratio:.3g}"
            + (f", splits {r.splits}" if r.levels else "")
            + f"; warnings: {list(r.warnings) or 'none'}"
        )


if __name__ == "__main__":
    main()
