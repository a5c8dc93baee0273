#!/usr/bin/env python
"""Two module builds compared by counted work instead of time.

Wall and CPU times on a shared machine move by 10 to 20% from one call to the next, more
than the few per cent a change to the engine is expected to cost. Valgrind's callgrind
counts what one runner call does, identically on every repetition: instructions, level-1
and last-level cache misses (its cache model), and mispredicted branches (its branch
model). From these it prints callgrind's own cycle estimate,

    cycles ~ Ir + 10 * (L1 misses + mispredicted branches) + 100 * LL misses

and the ratio of the two builds. It is a model of a processor, not a measurement; a
timing (bench/bench_engine.py --compare) remains the figure to quote when the machine is
quiet, and this one tells whether a difference in the timing is the build's or the
machine's.

Only the runner call is counted (``--toggle-collect`` on its symbol), not the interpreter
or the model's construction. The models are those of bench/bench_engine.py; run counts are
small because callgrind runs about fifty times slower than the machine.

Usage (from the repository root, valgrind installed):
    .venv/bin/python bench/bench_callgrind.py BASE_DIR NEW_DIR [--models a,b,c,d,e,f,p]
        [--runners stats,multi]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
RUNS = {"a": 10_000, "b": 600, "c": 1_500, "d": 50, "e": 300, "f": 20, "p": 200}
# runnerMultipleSim takes cut sets: the models of a gate graph or of interactions have none.
CUTSET_MODELS = ("a", "b", "c", "d")
RUNNERS = {"stats": "runnerStatistics", "multi": "runnerMultipleSim"}
EVENTS = ("Ir", "D1mr", "D1mw", "I1mr", "DLmr", "DLmw", "ILmr", "Bcm", "Bim")

CHILD = """
import sys
sys.path.insert(0, sys.argv[1]); sys.path.insert(0, sys.argv[2])
import tavoq, bench_engine as be
key, runs, runner = sys.argv[3], int(sys.argv[4]), sys.argv[5]
matrix, tree, horizon, keep = be.build_model(tavoq, key)
tavoq.limitOMPThreads(1)
if runner == "runnerStatistics":
    be.run_statistics(tavoq, runs, horizon, matrix, tree, 20240601)
else:
    tavoq.runnerMultipleSim(runs, horizon, matrix, tree, 20240601)
"""


def count(module_dir: str, key: str, runner: str, workdir: str) -> dict[str, int]:
    out = os.path.join(workdir, f"{os.path.basename(module_dir)}-{key}-{runner}.out")
    script = os.path.join(workdir, "child.py")
    with open(script, "w") as f:
        f.write(CHILD)
    cmd = [
        "valgrind",
        "--tool=callgrind",
        "--cache-sim=yes",
        "--branch-sim=yes",
        f"--toggle-collect=*{runner}*",
        f"--callgrind-out-file={out}",
        sys.executable,
        script,
        module_dir,
        HERE,
        key,
        str(RUNS[key]),
        runner,
    ]
    subprocess.run(cmd, check=True, capture_output=True)
    with open(out) as f:
        text = f.read()
    events = re.search(r"^events: (.*)$", text, re.M)
    totals = re.search(r"^(?:totals|summary): (.*)$", text, re.M)
    if events is None or totals is None:
        raise RuntimeError(f"no totals in {out}")
    values = dict(zip(events.group(1).split(), map(int, totals.group(1).split()), strict=False))
    return {e: values.get(e, 0) for e in EVENTS}


def misses(c: dict[str, int]) -> int:
    return sum(c[e] for e in ("D1mr", "D1mw", "I1mr", "DLmr", "DLmw", "ILmr"))


def cycles(c: dict[str, int]) -> int:
    l1 = c["D1mr"] + c["D1mw"] + c["I1mr"]
    ll = c["DLmr"] + c["DLmw"] + c["ILmr"]
    return c["Ir"] + 10 * (l1 + c["Bcm"] + c["Bim"]) + 100 * ll


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("base")
    ap.add_argument("new")
    ap.add_argument("--models", default="a,b,c,d")
    ap.add_argument("--runners", default="stats,multi")
    opts = ap.parse_args()
    keys = opts.models.split(",")
    runners = [RUNNERS[r] for r in opts.runners.split(",")]
    pairs = [
        (k, r) for k in keys for r in runners if r == "runnerStatistics" or k in CUTSET_MODELS
    ]
    jobs = [(b, k, r) for k, r in pairs for b in (opts.base, opts.new)]
    with tempfile.TemporaryDirectory() as workdir, ThreadPoolExecutor(os.cpu_count()) as pool:
        results = dict(zip(jobs, pool.map(lambda j: count(*j, workdir), jobs), strict=True))
    print(
        "| model | runner | runs | NEW/BASE: instructions | cache misses | mispredicted "
        "| estimated cycles | speed NEW/BASE |"
    )
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for k, r in pairs:
        base, new = results[(opts.base, k, r)], results[(opts.new, k, r)]

        def ratio(f, base=base, new=new) -> str:
            b, n = f(base), f(new)
            return f"{n / b:.3f}" if b else "-"

        print(
            f"| ({k}) | {r} | {RUNS[k]:,} | {ratio(lambda c: c['Ir'])} | {ratio(misses)} "
            f"| {ratio(lambda c: c['Bcm'] + c['Bim'])} | {ratio(cycles)} "
            f"| {cycles(base) / cycles(new):.2f}x |"
        )


if __name__ == "__main__":
    main()
