#!/usr/bin/env python
"""Benchmark of tavoq's batch runners.

Times runnerMultipleSim, and runnerParallelSim on 1 and on 2 OpenMP threads,
on three models, plus a plain-Python loop (bench/pure_python_model.py) on the
reference model, all in this one process, and prints a table of runs per
second (median over the repetitions). It also checks that the batch results
of the two runners are identical for the same seed, and that the plain-Python
loop's mean unavailability agrees statistically with tavoq's.

Usage:
    .venv/bin/python bench/bench_runners.py            # full mode
    .venv/bin/python bench/bench_runners.py --quick    # quick smoke run
    .venv/bin/python bench/bench_runners.py --repeat 9

The runners write progress lines to file descriptor 1 from native code; those
are sent to /dev/null around every call so the table stays readable.

Measuring method: the run count of every model is fixed once, before timing,
from a short pilot call so that one single-threaded timing lasts about
--target seconds (rounded up to a multiple of 100 runs, so the parallel
runner's chunks of 50 split evenly over 2 threads). The variants are then
timed round-robin, one repetition of each after the other, so that load
changes on a shared machine hit all of them alike, and the median of the
repetitions is reported.
"""

import argparse
import datetime
import gc
import importlib.metadata
import math
import os
import platform
import random
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pure_python_model  # noqa: E402

import tavoq  # noqa: E402
from tavoq_tools.run.native_output import native_stdout_silenced  # noqa: E402

# ---------------------------------------------------------------- utilities

# Sends file descriptor 1 (the runners' C++ progress lines) elsewhere for a block.
fd1_redirected = native_stdout_silenced


def quiet(fn, *args):
    with fd1_redirected():
        return fn(*args)


def cpu_counters():
    """(busy, steal) seconds of the whole machine, from /proc/stat."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()[1:]
    except OSError:
        return 0.0, 0.0
    v = [int(x) for x in fields] + [0] * 10
    hz = float(os.sysconf("SC_CLK_TCK"))
    # user nice system idle iowait irq softirq steal
    busy = v[0] + v[1] + v[2] + v[5] + v[6]
    return busy / hz, v[7] / hz


# CPU used on the machine by other processes during each timed call, in
# cores (average over the call), and the hypervisor's steal, likewise.
DISTURBANCE = []


def timed(fn, *args):
    """(seconds, result) of one call, with native stdout silenced."""
    gc.collect()
    with fd1_redirected():
        b0, s0 = cpu_counters()
        c0 = time.process_time()
        t0 = time.perf_counter()
        result = fn(*args)
        t1 = time.perf_counter()
        c1 = time.process_time()
        b1, s1 = cpu_counters()
    wall = t1 - t0
    DISTURBANCE.append((max(0.0, (b1 - b0) - (c1 - c0)) / wall, (s1 - s0) / wall))
    return wall, result


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def load_average():
    try:
        return "%.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        return "unknown"


def tavoq_version():
    try:
        return importlib.metadata.version("tavoq")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def thread_line(n_threads, matrix, tree, horizon):
    """The thread-count line runnerParallelSim writes after limitOMPThreads."""
    tavoq.limitOMPThreads(n_threads)
    fd, path = tempfile.mkstemp()
    os.close(fd)
    try:
        with fd1_redirected(path):
            tavoq.runnerParallelSim(1, min(horizon, 10), matrix, tree, 0)
        with open(path, "rb") as f:
            for line in f.read().decode("utf-8", "replace").splitlines():
                if line.startswith("Numero de threads"):
                    return line.split(":", 1)[1].strip()
    finally:
        os.unlink(path)
    return "?"


# ------------------------------------------------------------------- models


class Model:
    def __init__(self, key, title, matrix, tree, horizon, keep):
        self.key = key
        self.title = title
        self.matrix = matrix
        self.tree = tree
        self.horizon = horizon
        self.keep = keep  # distribution objects referenced by the matrix


def cut_vector(n, members):
    v = [0] * n
    for c in members:
        v[c] = 1
    return v


def reference_model(horizon):
    """10 two-state components, failure Exp(mean 1000), repair Exp(mean 10),
    cut sets {0,1}, {2,3}, {4,5}, {6,7}, {8,9}."""
    n = 10
    none = tavoq.Distribution()
    fail = tavoq.Exponential(1.0 / 1000.0)
    repair = tavoq.Exponential(1.0 / 10.0)
    matrix = [[[none, fail], [repair, none]] for _ in range(n)]
    cutsets = [[i, i + 1] for i in range(0, n, 2)]
    tree = tavoq.CutsetTree(n)
    tree.constructTree([cut_vector(n, cs) for cs in cutsets])
    return matrix, tree, [none, fail, repair]


def scheduled_model(horizon):
    """30 three-state components (0 working, 1 degraded, 2 failed), time unit
    one hour, horizon 10 years:
      working -> degraded: Weibull wear-out, scale 8000..15250 h, shape 2.5;
      degraded -> failed: Weibull, scale 800 h, shape 1.5;
      degraded -> working: quarterly inspection (Inspection 2190) restores it;
      failed -> working: fortnightly inspection (Inspection 336) repairs it;
      components 5, 12, 19, 26: degraded -> failed is instead an
      InstantaneousFailure at a calendar date (43800, 52560, 61320, 70080 h):
      degradation turns into failure at that date, and at once after it.
    20 cut sets of 2 or 3 components (10 of each), drawn with a fixed seed.
    """
    n = 30
    none = tavoq.Distribution()
    degrade_to_fail = tavoq.Weibull(800.0, 1.5)
    quarterly = tavoq.Inspection(2190)
    fortnightly = tavoq.Inspection(336)
    keep = [none, degrade_to_fail, quarterly, fortnightly]
    dated = {5: 43800, 12: 52560, 19: 61320, 26: 70080}
    matrix = []
    for c in range(n):
        wear = tavoq.Weibull(8000.0 + 250.0 * c, 2.5)
        keep.append(wear)
        if c in dated:
            to_fail = tavoq.InstantaneousFailure(dated[c])
            keep.append(to_fail)
        else:
            to_fail = degrade_to_fail
        matrix.append(
            [
                [none, wear, none],
                [quarterly, none, to_fail],
                [fortnightly, none, none],
            ]
        )
    rng = random.Random(2024)
    cutsets = []
    while len(cutsets) < 20:
        size = 2 if len(cutsets) % 2 == 0 else 3
        cs = sorted(rng.sample(range(n), size))
        s = set(cs)
        if any(set(o) <= s or s <= set(o) for o in cutsets):
            continue
        cutsets.append(cs)
    tree = tavoq.CutsetTree(n)
    tree.constructTree([cut_vector(n, cs) for cs in cutsets])
    return matrix, tree, keep, cutsets


def build_models():
    m_a, t_a, k_a = reference_model(8760)
    m_b, t_b, k_b = reference_model(262800)
    m_c, t_c, k_c, cs_c = scheduled_model(87600)
    return [
        Model("a", "reference, 10 comp x 2 states, Exp, 5 cut sets", m_a, t_a, 8760, k_a),
        Model("b", "reference over a 30-year horizon", m_b, t_b, 262800, k_b),
        Model(
            "c",
            "30 comp x 3 states, Weibull/Inspection/InstFailure, 20 cut sets",
            m_c,
            t_c,
            87600,
            k_c,
        ),
    ], cs_c


# ---------------------------------------------------------------- measuring


def calibrate(model, target, seed):
    """Run count so that one runnerMultipleSim call lasts about `target` s."""
    n = 100
    while True:
        dt, _ = timed(tavoq.runnerMultipleSim, n, model.horizon, model.matrix, model.tree, seed)
        if dt >= 0.05 or n >= 10**7:
            break
        n *= 4
    per_run = dt / n
    runs = int(math.ceil(target / per_run / 100.0)) * 100
    return max(runs, 100)


def calibrate_pure(horizon, rates, cutsets, target):
    n = 20
    while True:
        t0 = time.perf_counter()
        for s in range(n):
            pure_python_model.simulate_run(horizon, rates, cutsets, s)
        dt = time.perf_counter() - t0
        if dt >= 0.05:
            break
        n *= 4
    return max(int(math.ceil(target * n / dt / 10.0)) * 10, 10)


def run_pure(n_runs, horizon, rates, cutsets, first_seed):
    """Time n_runs plain-Python runs; return (seconds, per-run down times)."""
    gc.collect()
    down = []
    b0, s0 = cpu_counters()
    c0 = time.process_time()
    t0 = time.perf_counter()
    for i in range(n_runs):
        out = pure_python_model.simulate_run(horizon, rates, cutsets, first_seed + i)
        down.append(sum(out))
    wall = time.perf_counter() - t0
    c1 = time.process_time()
    b1, s1 = cpu_counters()
    DISTURBANCE.append((max(0.0, (b1 - b0) - (c1 - c0)) / wall, (s1 - s0) / wall))
    return wall, down


def bench_model(model, runs, repeat, seed, pure=None):
    """Round-robin timings. Returns dict of lists of seconds, results, etc."""
    args = (runs, model.horizon, model.matrix, model.tree, seed)
    times = {"multi": [], "par1": [], "par2": [], "pure": []}
    results = {"multi": None, "par1": None, "par2": None}
    identical = True
    pure_down = []

    # warm-up (first touch of buffers, OpenMP team start-up)
    warm = max(100, (runs // 20) // 100 * 100)
    quiet(tavoq.runnerMultipleSim, warm, model.horizon, model.matrix, model.tree, seed)
    for k in (1, 2):
        tavoq.limitOMPThreads(k)
        quiet(tavoq.runnerParallelSim, warm, model.horizon, model.matrix, model.tree, seed)

    for rep in range(repeat):
        dt, r = timed(tavoq.runnerMultipleSim, *args)
        times["multi"].append(dt)
        if results["multi"] is None:
            results["multi"] = r
        elif r != results["multi"]:
            identical = False

        for k in (1, 2):
            tavoq.limitOMPThreads(k)
            dt, r = timed(tavoq.runnerParallelSim, *args)
            times["par%d" % k].append(dt)
            if r != results["multi"]:
                identical = False
            if results["par%d" % k] is None:
                results["par%d" % k] = r

        if pure is not None:
            n_pure, rates, cutsets, pure_seed = pure
            dt, down = run_pure(n_pure, model.horizon, rates, cutsets, pure_seed + rep * n_pure)
            times["pure"].append(dt)
            pure_down.extend(down)
    tavoq.limitOMPThreads(os.cpu_count() or 1)
    return times, results, identical, pure_down


def expected_unavailability_a(tree, cutsets):
    """Steady-state system unavailability of model (a), exactly, from
    independent components, each down a fraction q of the time units.

    Delays are whole time units (truncated), so the mean up and down
    stretches are E[floor(Exp(r))] = 1 / (exp(r) - 1). Returns the value
    for a check of every cut set (what the engine does), and the value the
    tree's path lookup alone would give (findNode on each of the 2^10
    failure patterns; what builds before the full check reported)."""
    up = 1.0 / math.expm1(1.0 / 1000.0)
    down = 1.0 / math.expm1(1.0 / 10.0)
    q = down / (up + down)
    n = 10
    full = via_tree = 0.0
    for mask in range(1 << n):
        pattern = [(mask >> c) & 1 for c in range(n)]
        k = sum(pattern)
        prob = q**k * (1.0 - q) ** (n - k)
        if any(all(pattern[c] for c in cs) for cs in cutsets):
            full += prob
        if tree.findNode(pattern):
            via_tree += prob
    return full, via_tree


def mean_sd(values):
    m = statistics.fmean(values)
    sd = statistics.stdev(values) if len(values) > 1 else float("nan")
    return m, sd


def fmt_rate(x):
    if x is None:
        return "-"
    if x >= 100:
        return f"{x:,.0f}"
    if x >= 10:
        return "%.1f" % x
    return "%.2f" % x


def print_table(rows, headers):
    widths = [max(len(str(r[i])) for r in [headers] + rows) for i in range(len(headers))]
    line = "| " + " | ".join(h.ljust(w) for h, w in zip(headers, widths)) + " |"
    print(line)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(
            "| "
            + " | ".join(
                str(c).rjust(w) if i > 0 else str(c).ljust(w)
                for i, (c, w) in enumerate(zip(r, widths))
            )
            + " |"
        )


# --------------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument(
        "--quick", action="store_true", help="fast smoke mode: short timings, 3 repetitions"
    )
    ap.add_argument(
        "--repeat", type=int, default=None, help="repetitions per timing (default 7, quick 3)"
    )
    ap.add_argument(
        "--target",
        type=float,
        default=None,
        help="seconds of one single-threaded timing (default 0.8, quick 0.1)",
    )
    ap.add_argument(
        "--seed", type=int, default=20240601, help="seed of the batches (default 20240601)"
    )
    opts = ap.parse_args()
    repeat = opts.repeat or (3 if opts.quick else 7)
    target = opts.target or (0.1 if opts.quick else 0.8)
    if repeat < 1:
        ap.error("--repeat must be at least 1")

    started = time.perf_counter()
    models, cutsets_c = build_models()
    mdl = {m.key: m for m in models}

    print("tavoq runner benchmark")
    print("  date:     %s" % datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"))
    print("  command:  %s %s" % (os.path.basename(sys.executable), " ".join(sys.argv)))
    print("  CPU:      %s" % cpu_model())
    print(
        "  cores:    %d logical (%d usable by this process)"
        % (os.cpu_count() or 0, len(os.sched_getaffinity(0)))
    )
    print("  Python:   %s (%s)" % (platform.python_version(), platform.python_implementation()))
    print(
        "  tavoq:    %s (%s, installed %s)"
        % (
            tavoq_version(),
            os.path.basename(tavoq.__file__),
            datetime.datetime.fromtimestamp(os.path.getmtime(tavoq.__file__))
            .astimezone()
            .strftime("%Y-%m-%d %H:%M:%S %Z"),
        )
    )
    print("  load avg: %s (at start)" % load_average())
    line1 = thread_line(1, mdl["a"].matrix, mdl["a"].tree, 10)
    line2 = thread_line(2, mdl["a"].matrix, mdl["a"].tree, 10)
    print(
        "  OpenMP:   limitOMPThreads(1) -> %s thread slot(s), "
        "limitOMPThreads(2) -> %s" % (line1, line2)
    )
    print(
        "  mode:     %s, %d repetitions, ~%.2f s per single-threaded timing"
        % ("quick" if opts.quick else "full", repeat, target)
    )
    print("  model c cut sets: %s" % " ".join("{%s}" % ",".join(map(str, cs)) for cs in cutsets_c))
    print()
    sys.stdout.flush()

    # run counts
    runs = {m.key: calibrate(m, target, opts.seed) for m in models}
    rates_a, cutsets_a = pure_python_model.reference_model()
    n_pure = calibrate_pure(8760, rates_a, cutsets_a, target)

    rows = []
    summary = {}
    all_identical = True
    pure_down = []
    for m in models:
        pure = (n_pure, rates_a, cutsets_a, 7_000_000) if m.key == "a" else None
        first = len(DISTURBANCE)
        times, results, identical, down = bench_model(m, runs[m.key], repeat, opts.seed, pure)
        disturb = DISTURBANCE[first:]
        all_identical = all_identical and identical
        n = runs[m.key]
        med = {k: statistics.median(v) for k, v in times.items() if v}
        rate = {k: n / v for k, v in med.items() if k != "pure"}
        if "pure" in med:
            rate["pure"] = n_pure / med["pure"]
            pure_down = down
        speedup = rate["par2"] / rate["par1"]
        ratio = rate["multi"] / rate["pure"] if "pure" in rate else None
        unavail = sum(results["multi"]) / float(n * m.horizon)
        summary[m.key] = dict(
            rate=rate,
            speedup=speedup,
            ratio=ratio,
            runs=n,
            times=times,
            unavail=unavail,
            identical=identical,
            disturb=disturb,
        )
        rows.append(
            [
                "(%s) %s" % (m.key, m.title),
                f"{m.horizon:,}",
                f"{n:,}",
                fmt_rate(rate["multi"]),
                fmt_rate(rate["par1"]),
                fmt_rate(rate["par2"]),
                "%.2fx" % speedup,
                fmt_rate(rate.get("pure")),
                ("%.1fx" % ratio) if ratio is not None else "-",
            ]
        )

    headers = [
        "model",
        "horizon",
        "runs/call",
        "Multi runs/s",
        "Parallel 1T runs/s",
        "Parallel 2T runs/s",
        "2T/1T",
        "pure Python runs/s",
        "Multi/pure",
    ]
    print("Runs per second, median of %d repetitions:" % repeat)
    print()
    print_table(rows, headers)
    print()

    print("Spread of the timings (min / median / max seconds per call):")
    for m in models:
        s = summary[m.key]
        parts = []
        for k, label in (
            ("multi", "Multi"),
            ("par1", "Par1T"),
            ("par2", "Par2T"),
            ("pure", "pure"),
        ):
            v = s["times"][k]
            if v:
                parts.append("%s %.3f/%.3f/%.3f" % (label, min(v), statistics.median(v), max(v)))
        extra = " (pure: %d runs/call)" % n_pure if s["times"]["pure"] else ""
        print("  (%s) %s%s" % (m.key, ", ".join(parts), extra))
    print()
    print(
        "CPU taken by other processes during the timed calls, in cores "
        "(median / max over the calls; hypervisor steal in brackets):"
    )
    for m in models:
        d = summary[m.key]["disturb"]
        others = [x for x, _ in d]
        steal = [y for _, y in d]
        print(
            "  (%s) %.2f / %.2f  [steal %.2f / %.2f]"
            % (m.key, statistics.median(others), max(others), statistics.median(steal), max(steal))
        )
    print()

    print("Checks:")
    for m in models:
        s = summary[m.key]
        print(
            "  (%s) runnerMultipleSim == runnerParallelSim (1T and 2T), "
            "seed %d, %s runs: %s"
            % (
                m.key,
                opts.seed,
                "{:,}".format(s["runs"]),
                "identical" if s["identical"] else "DIFFERENT",
            )
        )

    # statistical agreement of the plain-Python loop with tavoq on model (a)
    a = mdl["a"]
    n_single = 500 if opts.quick else 2000
    singles = []
    with fd1_redirected():
        for i in range(n_single):
            singles.append(sum(tavoq.runnerSingleSim(a.horizon, a.matrix, a.tree, opts.seed + i)))
    _, sd_t = mean_sd([d / float(a.horizon) for d in singles])
    mean_t = summary["a"]["unavail"]
    se_t = sd_t / math.sqrt(summary["a"]["runs"])
    mean_p, sd_p = mean_sd([d / float(a.horizon) for d in pure_down])
    se_p = sd_p / math.sqrt(len(pure_down))
    z = (mean_p - mean_t) / math.sqrt(se_p**2 + se_t**2)
    exp_full, exp_tree = expected_unavailability_a(a.tree, cutsets_a)
    z_t = (mean_t - exp_full) / se_t
    z_p = (mean_p - exp_full) / se_p
    print(
        "  (a) mean unavailability, tavoq:       %.4e +/- %.1e (%s runs)"
        % (mean_t, se_t, "{:,}".format(summary["a"]["runs"]))
    )
    print(
        "      mean unavailability, pure Python: %.4e +/- %.1e (%s runs)"
        % (mean_p, se_p, f"{len(pure_down):,}")
    )
    print(
        "      pure Python - tavoq: %+.1f%%, z = %+.2f: %s"
        % (
            100.0 * (mean_p - mean_t) / mean_t,
            z,
            "agree (|z| < 3)" if abs(z) < 3 else "DIFFER (|z| >= 3)",
        )
    )
    print(
        "      steady-state expectation, every cut set checked: %.4e "
        "(tavoq z = %+.2f, pure Python z = %+.2f)" % (exp_full, z_t, z_p)
    )
    print(
        "      (+/- is one standard error; tavoq's per-run spread from %d "
        "runnerSingleSim runs. The tree's path lookup alone would give" % n_single
    )
    print(
        "      %.4e, %.1f%% lower: it misses a failed cut set while a "
        "lower-numbered component outside it is also failed.)"
        % (exp_tree, 100.0 * (exp_full - exp_tree) / exp_full)
    )
    for k in ("b", "c"):
        print("  (%s) mean unavailability (tavoq): %.4e" % (k, summary[k]["unavail"]))
    print()

    print("Targets:")
    r = summary["a"]["ratio"]
    print(
        "  (a) runnerMultipleSim >= 100x pure Python: %.1fx  %s"
        % (r, "met" if r >= 100 else "MISSED")
    )
    for k in ("a", "c"):
        sp = summary[k]["speedup"]
        print(
            "  (%s) 2 threads >= 1.8x 1 thread:          %.2fx  %s"
            % (k, sp, "met" if sp >= 1.8 else "MISSED")
        )
    print("  batch results identical across runners:    %s" % ("yes" if all_identical else "NO"))
    print()
    print(
        "load avg at end: %s; total time %.0f s" % (load_average(), time.perf_counter() - started)
    )
    return 0 if all_identical else 1


if __name__ == "__main__":
    sys.exit(main())
