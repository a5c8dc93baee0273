#!/usr/bin/env python
"""Everything a user sees from a build, written to a folder, to compare two builds byte for byte.

A change that must keep every number (a refactoring, a faster loop) is checked by writing a
snapshot with the build before it and one with the build after it, then comparing them:

    .venv/bin/python bench/output_snapshot.py write DIR_BEFORE        # in the old checkout
    .venv/bin/python bench/output_snapshot.py write DIR_AFTER         # in the new one
    .venv/bin/python bench/output_snapshot.py compare DIR_BEFORE DIR_AFTER

A snapshot holds, for every example model, a Galileo and an Open-PSA file: the report of
`tavoq run`, every file of `--out` (the figure included), `--json`, and the text of
`tavoq check`. For the benchmark models (a)-(f) and (p) it holds a digest of every array of
`runnerStatistics`, and of `runnerMultipleSim` where the model is of cut sets. The command runs as `python -m tavoq_tools`
of the interpreter running this script. Lines that give a duration or a speed are left out
of the comparison, and the snapshot's own folder is read as one name; nothing else is.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TREES = ROOT / "tests" / "python" / "validation" / "trees"
RUNS = 300
SEED = 77
FILES = [
    *sorted((ROOT / "examples").glob("*.toml")),
    TREES / "spare.dft",
    TREES / "voting.xml",
]
TREE_OPTIONS = ["--mission-time", "1000"]
BENCH_RUNS = {"a": 300, "b": 20, "c": 60, "d": 5, "e": 40, "f": 20, "p": 40}
# A duration or a speed: the only parts of the output that differ from one call to the next.
TIMING = re.compile(r"\bin \d[\d.,]* s\b|runs/s")


def tavoq(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "tavoq_tools", *args],
        capture_output=True,
        text=True,
        env={**os.environ, "OMP_NUM_THREADS": "2"},
    )


def options(path: Path) -> list[str]:
    return TREE_OPTIONS if path.suffix in (".dft", ".xml") else []


def write_files(out: Path) -> None:
    for path in FILES:
        name = path.stem + path.suffix.replace(".", "_")
        files = out / name
        files.mkdir(parents=True)
        common = [str(path), *options(path), "--runs", str(RUNS), "--seed", str(SEED)]
        ran = tavoq(
            "run", *common, "--out", str(files / "out"), "--plot", str(files / "figure.png")
        )
        (files / "report.txt").write_text(ran.stdout + "\n--- stderr\n" + ran.stderr)
        as_json = tavoq("run", *common, "--json")
        (files / "summary.json").write_text(as_json.stdout + "\n--- stderr\n" + as_json.stderr)
        checked = tavoq("check", str(path), *options(path))
        (files / "check.txt").write_text(checked.stdout + "\n--- stderr\n" + checked.stderr)


def digest(value: object) -> str:
    import numpy as np

    if isinstance(value, np.ndarray):
        return hashlib.sha256(value.tobytes()).hexdigest()[:16] + f" {value.dtype} {value.shape}"
    return repr(value)


def write_bench(out: Path) -> None:
    sys.path.insert(0, str(ROOT / "bench"))
    import bench_engine as be

    import tavoq as native

    native.limitOMPThreads(2)
    lines = []
    for key, runs in BENCH_RUNS.items():
        matrix, tree, horizon, _ = be.build_model(native, key)
        stats = be.run_statistics(native, runs, horizon, matrix, tree, SEED)
        for name in sorted(n for n in dir(stats) if not n.startswith("_")):
            value = getattr(stats, name)
            if not callable(value):
                lines.append(f"{key} stats {name}: {digest(value)}")
        if isinstance(tree, native.CutsetTree):  # the classic runners take cut sets only
            multi = native.runnerMultipleSim(runs, horizon, matrix, tree, SEED)
            lines.append(f"{key} multi: {digest(multi)}")
    (out / "bench.txt").write_text("\n".join(lines) + "\n")


def comparable(path: Path, root: Path) -> bytes:
    data = path.read_bytes()
    if path.suffix in (".png",):
        return data
    text = data.decode().replace(str(root), "SNAPSHOT")
    return "\n".join(line for line in text.splitlines() if not TIMING.search(line)).encode()


def compare(before: Path, after: Path) -> int:
    names = {p.relative_to(before) for p in before.rglob("*") if p.is_file()}
    names |= {p.relative_to(after) for p in after.rglob("*") if p.is_file()}
    differ = 0
    for name in sorted(names):
        a, b = before / name, after / name
        if not a.exists() or not b.exists():
            print(f"only in {'after' if not a.exists() else 'before'}: {name}")
            differ += 1
        elif comparable(a, before) != comparable(b, after):
            print(f"differs: {name}")
            differ += 1
    print(f"{len(names)} files, {differ} differ")
    return 1 if differ else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    write = commands.add_parser("write")
    write.add_argument("dir", type=Path)
    cmp = commands.add_parser("compare")
    cmp.add_argument("before", type=Path)
    cmp.add_argument("after", type=Path)
    args = parser.parse_args()
    if args.command == "compare":
        return compare(args.before, args.after)
    args.dir.mkdir(parents=True, exist_ok=False)
    write_files(args.dir)
    write_bench(args.dir)
    print(json.dumps({"written": str(args.dir)}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
