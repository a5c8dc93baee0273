#!/usr/bin/env python
"""Speed of a dynamic Galileo tree: 300 dynamic gates (100 pand, 100 cold spare gates, 100
fdep) over 500 repairable basic events, under a 3-of-100 vote.

Module i: pand(A_i, B_i) (A before B), csp(C_i, D_i) (a cold spare), and fdep(T_i -> A_i);
the module fails when its pand or its spare gate does. Rates per hour: 1e-3 for A..D, 1e-4
for the triggers, repairs of mean 20 h. One year in steps of one hour, on one thread.

Transitions per second counts every component failure and its repair (two per failure:
those still failed at the end are repaired by none, so it counts slightly high) over the CPU
time of the runner call: the switch-overs and the triggered moves come on top, uncounted.

Usage (from the repository root): .venv/bin/python bench/bench_dynamic.py [--runs N]
"""

from __future__ import annotations

import argparse
import dataclasses
import statistics
import sys
import tempfile
import time
from pathlib import Path

MODULES = 100


def galileo_text(modules: int = MODULES) -> str:
    lines = [
        'toplevel "Top";',
        f'"Top" 3of{modules} ' + " ".join(f'"M{i}"' for i in range(modules)) + ";",
    ]
    for i in range(modules):
        lines += [
            f'"M{i}" or "P{i}" "S{i}";',
            f'"P{i}" pand "A{i}" "B{i}";',
            f'"S{i}" csp "C{i}" "D{i}";',
            f'"F{i}" fdep "T{i}" "A{i}";',
        ]
        lines += [f'"{x}{i}" lambda=1e-3 repair=0.05;' for x in "ABCD"]
        lines.append(f'"T{i}" lambda=1e-4 repair=0.05;')
    return "\n".join(lines) + "\n"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--runs", type=int, default=200)
    ap.add_argument("--repeat", type=int, default=3)
    opts = ap.parse_args()
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    import tavoq
    import tavoq_tools as tt
    from tavoq_tools.formats.file import load_model

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "dynamic.dft"
        path.write_text(galileo_text())
        model = load_model(path, step=1.0, mission_time=8760.0)
    model = dataclasses.replace(
        model, simulation=dataclasses.replace(model.simulation, runs=opts.runs, seed=1)
    )
    tavoq.limitOMPThreads(1)
    rates, failures = [], 0
    for _ in range(opts.repeat):
        start = time.process_time()
        stats = tt.simulate(model)
        cpu = time.process_time() - start
        failures = int(sum(stats.component_failures))
        rates.append(2 * failures / cpu)
    print(
        f"{len(model.components)} components, {opts.runs} runs of 8760 h: "
        f"{failures / opts.runs:,.0f} component failures per run; "
        f"median {statistics.median(rates) / 1e6:.2f} M transitions per CPU second "
        f"(of {', '.join(f'{r / 1e6:.2f}' for r in rates)})"
    )


if __name__ == "__main__":
    main()
