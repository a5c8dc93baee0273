#!/usr/bin/env python
"""Rare-event mode's cost: CPU seconds to a 95% interval of +-10% of the unreliability, with
the exact value beside it (docs/rare-events.md, docs/benchmarks.md).

Two systems of repairable units (exponential failures and repairs, mission 1000 units):
- "2oo3": a 2-out-of-3 system whose unreliability is about 1e-9 (failure rate 6e-8 per
  unit, repair rate 0.02), and the same at about 1e-12 (rate 1.9e-9);
- "3 trains": three 2-out-of-3 trains that fail the system together (MTTF 1000 units, MTTR
  10), about 8e-9: six failures, two in each train.

Each runs `rare_unreliability` with `target_ci=0.1` from 10,000 runs (doubling) on one
thread, and prints the CPU time, the runs, the estimate against the exact value (the
discrete-time chains of tests/python/validation/test_exact_answers.py), the effective runs
and the variance ratio per run against crude runs, and the warnings.

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
    from tavoq_tools.run.rare import rare_unreliability

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--max-runs", type=int, default=20_000_000)
    args = parser.parse_args()
    tavoq.limitOMPThreads(1)
    cases = [
        ("2oo3 1e-9", "abc", "atleast(2, a, b, c)", 6e-8, 0.02),
        ("2oo3 1e-12", "abc", "atleast(2, a, b, c)", 1.9e-9, 0.02),
        ("3 trains", THREE_TRAIN_UNITS, THREE_TRAINS, 1e-3, 0.1),
    ]
    for name, names, logic, lam, mu in cases:
        rates = [(lam, mu)] * len(names)
        model = plant_model(units_text(names, logic, rates, horizon=1000, runs=10_000, seed=1))
        exact = (
            two_of_three_chain(lam, mu).unreliability(two_down, 1000)[-1]
            if len(names) == 3
            else three_trains_unreliability(lam, mu, 1000)
        )
        start = time.process_time()
        r = rare_unreliability(model, target_ci=0.1, max_runs=args.max_runs)
        cpu = time.process_time() - start
        e = r.unreliability
        print(
            f"{name}: {cpu:.2f} CPU s, {r.runs:,} runs, {e.value:.4g} [{e.lower:.4g}, "
            f"{e.upper:.4g}] +-{r.relative_half_width:.1%}, exact {exact:.4g} "
            f"({'covered' if e.lower <= exact <= e.upper else 'NOT covered'}), "
            f"effective runs {r.effective_runs:,.0f} of {r.hits:,} failed, variance ratio "
            f"{r.variance_ratio:.3g}; warnings: {list(r.warnings) or 'none'}"
        )


if __name__ == "__main__":
    main()
