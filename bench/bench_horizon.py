#!/usr/bin/env python
"""Peak resident memory and time of `tavoq run` over long horizons.

Each case runs the command in a child process, under an address-space limit (prlimit
--as, the same as `ulimit -v`) when one is given, and reads the child's peak resident set
from /usr/bin/time -v. A progress bar needs a terminal: those cases run inside `script`,
which gives the command a pseudo-terminal.

Usage:
    .venv/bin/python bench/bench_horizon.py [--horizon 100000000] [--runs 10000]
        [--limit-mb 2048] [--cases plain out bar] [--model examples/pumping_station.toml]
"""

import argparse
import re
import shlex
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
TAVOQ = str(Path(sys.executable).with_name("tavoq"))


def measure(args: list[str], limit_mb: int | None, terminal: bool) -> tuple[float, float, int]:
    """(wall seconds, peak resident MB, exit code) of `tavoq *args`."""
    command = [TAVOQ, *args]
    if limit_mb:
        command = ["prlimit", f"--as={limit_mb * 2**20}", "--", *command]
    timed = ["/usr/bin/time", "-v", *command]
    if terminal:
        timed = ["script", "-qefc", shlex.join(timed), "/dev/null"]
    began = time.perf_counter()
    done = subprocess.run(timed, capture_output=True, text=True, check=False)
    wall = time.perf_counter() - began
    text = done.stdout + done.stderr
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text)
    if peak is None:
        raise SystemExit(f"no figure from /usr/bin/time:\n{text[-2000:]}")
    return wall, int(peak.group(1)) / 1024, done.returncode


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", default=str(ROOT / "examples" / "pumping_station.toml"))
    parser.add_argument("--horizon", type=int, default=100_000_000)
    parser.add_argument("--runs", type=int, default=10_000)
    parser.add_argument("--limit-mb", type=int, default=None)
    parser.add_argument("--cases", nargs="+", default=["plain", "out", "bar"])
    parser.add_argument("--extra", default="", help="more arguments for tavoq run")
    options = parser.parse_args()
    base = ["run", options.model, "--horizon", str(options.horizon), "--runs", str(options.runs)]
    base += shlex.split(options.extra)
    print(f"{'case':>6} {'wall s':>8} {'peak RSS MB':>12} {'exit':>5}")
    for case in options.cases:
        with tempfile.TemporaryDirectory() as scratch:
            args = list(base)
            if case == "out":
                args += ["--out", f"{scratch}/out", "--plot", f"{scratch}/plot.png"]
            wall, peak, code = measure(args, options.limit_mb, terminal=case == "bar")
        print(f"{case:>6} {wall:8.1f} {peak:12.1f} {code:5d}", flush=True)


if __name__ == "__main__":
    main()
