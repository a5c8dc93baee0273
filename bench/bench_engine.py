#!/usr/bin/env python
"""Engine benchmark: runs and transitions per second of two module builds.

Times, on models (a), (b), (c) of bench/bench_runners.py and (d) below:
  multi   runnerMultipleSim (one thread);
  par1    runnerParallelSim on 1 thread (limitOMPThreads(1));
  par2    runnerParallelSim on 2 threads;
  stats1  runnerStatistics on 1 thread  (builds that have it);
  stats2  runnerStatistics on 2 threads (builds that have it).

(d): 1,000 two-state components, failure Exp(mean 1000), repair Exp(mean 10),
3,000 cut sets of 2 or 3 components drawn with a fixed seed (distinct, none
within another, so the tree keeps all of them), horizon 8,760.

The logic as a graph of gates (tavoq.FaultTree; runnerStatistics only, so these
are measured on one build, --module-dir, not with --compare):
  (dg) model (d) with its cut sets as one `or` of 3,000 `and` gates;
  (e)  three trains, each an `or` of 50 components, the system failed when all
       three are (125,000 minimal cut sets); failure Exp(mean 10,000), repair
       Exp(mean 24), horizon 8,760;
  (f)  a seeded generated tree (generated_tree below): 2,000 components, about
       600 gates of the three kinds, depth 8, shared subtrees, more than 10^9
       minimal cut sets; the failures and repairs of (e), horizon 8,760;
  (p)  100 components using every interaction (engine_model_p: standby pairs
       with switch failures and revert, crews, common causes, triggers from power
       supplies, planned overhauls), with its tavoq.Interactions; its moves per
       run are counted with the reference model's InteractingRun.

Usage (from the repository root):
    .venv/bin/python bench/bench_engine.py --module-dir build/new
    .venv/bin/python bench/bench_engine.py --compare BASE_DIR NEW_DIR
    .venv/bin/python bench/bench_engine.py --compare BASE NEW --quick --models a,d
    .venv/bin/python bench/bench_engine.py --module-dir NEW --models d,dg,e,f --no-big
    .venv/bin/python bench/bench_engine.py --queue-study HEAP_DIR SCAN_DIR
    perf record -e cpu-clock -- .venv/bin/python bench/bench_engine.py \
        --module-dir build/new --loop d --seconds 20

A module directory is one that holds a built tavoq*.so (a CMake build folder);
without --module-dir the tavoq that the interpreter imports is measured.

Method:
- Every build is measured in its own subprocesses, so two builds never share an
  interpreter. With --compare the subprocesses of the two builds alternate:
  repetition i of BASE, then repetition i of NEW, model by model.
- Within one subprocess the variants are timed round-robin, one call each, the
  first variant rotating from one repetition to the next.
- Each call records wall time and process CPU time (all threads of the
  process). Medians over the repetitions are reported. On a shared machine,
  ratios between builds and between runners are taken from CPU time; the
  2-thread scaling can only be a wall-time figure and suffers most from other
  load, so the CPU other processes took during the calls is printed too.
- The run count of each model and build is fixed before timing so that one
  runnerMultipleSim call takes about --target CPU seconds (a multiple of 100
  runs, at least 100, so chunks of 50 runs split evenly over 2 threads in
  builds that hand out chunks of 50).
- Transitions per run, for transitions per second: in a two-state model every
  transition is a failure or a restoration. runnerStatistics of the batch
  gives the failures F (componentFailures); the restorations are F minus the
  components still failed at the end of the runs, and that number is the
  componentDowntime of the batch minus that of the same batch one time unit
  shorter (runs are prefixes of each other: the same draws in the same order).
  This is exact for the very runs that were timed. Model (c) has three states
  (degraded -> failed is neither), so its transitions are counted with the
  pure-Python reference model (tests/python/validation/reference_model.py) on the first
  --count-runs runs of the batch: a mean with its standard error. Its count of
  failures is checked against runnerStatistics on the same runs.
- A check that the builds simulate the same component histories: runnerSingleSim
  with the single cut set {0} follows component 0 exactly on every build, and
  component 0's history depends on every draw before it.
- The model of 100,000 components (2 runs of 100 time units, runnerMultipleSim)
  runs in a subprocess of its own, cut off after --big-timeout seconds.

--queue-study HEAP_DIR SCAN_DIR times runnerMultipleSim alone on models of
--sizes two-state components (and model c), for two builds that differ only
in the event queue (EventQueue::kScanLimit 0, and larger than any model). The
builds alternate in subprocesses of --calls calls each.

--loop MODEL calls one runner on one model for --seconds CPU seconds in this
process, for a profiler.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import hashlib
import json
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

VARIANTS = ("multi", "par1", "par2", "stats1", "stats2")
LABELS = {
    "multi": "runnerMultipleSim 1T",
    "par1": "runnerParallelSim 1T",
    "par2": "runnerParallelSim 2T",
    "stats1": "runnerStatistics 1T",
    "stats2": "runnerStatistics 2T",
}
TARGETS_MULTI = {"a": 2.0, "b": 3.0, "c": 1.8, "d": 20.0}
# Models whose logic is a FaultTree, with their target in transitions per CPU second of
# runnerStatistics on one thread (dg: against model d on the same build, see graph_verdicts).
GRAPH_MODELS = {"dg": None, "e": 10e6, "f": 5e6, "p": 5e6}
TARGET_DG_OVER_D = 0.9
TARGET_SCALING = 1.8
TARGET_STATS_COST = 1.3
STATS_COST_MODELS = ("a", "c", "d")
# Cores taken by other processes above which a 2-thread timing is not judged.
BUSY_CORES = 0.3

D_COMPONENTS = 1000
D_CUTSETS = 3000
D_SEED = 1000003
E_TRAINS = 3
E_PER_TRAIN = 50
F_SEED = 20260608
BIG_COMPONENTS = 100_000
BIG_PAIRS = 1000
BIG_RUNS = 2
BIG_HORIZON = 100


# ------------------------------------------------------------ child process


def load_module(module_dir: str):
    """Imports tavoq from module_dir (or the interpreter's own when empty)."""
    if module_dir:
        sys.path.insert(0, str(Path(module_dir).resolve()))
    sys.path.insert(1, str(HERE))
    import tavoq

    if module_dir:
        found = Path(tavoq.__file__).resolve().parent
        if found != Path(module_dir).resolve():
            raise SystemExit("tavoq was imported from %s, not from %s" % (found, module_dir))
    return tavoq


def engine_model_d(tavoq):
    """Model (d) and its cut sets (lists of component indices)."""
    n = D_COMPONENTS
    none = tavoq.Distribution()
    fail = tavoq.Exponential(1.0 / 1000.0)
    repair = tavoq.Exponential(1.0 / 10.0)
    matrix = [[[none, fail], [repair, none]] for _ in range(n)]
    rng = random.Random(D_SEED)
    chosen: list[frozenset] = []
    seen: set[frozenset] = set()
    while len(chosen) < D_CUTSETS:
        members = frozenset(rng.sample(range(n), rng.choice((2, 3))))
        if members in seen:
            continue
        # A cut set within another would replace it in the tree: keep all 3,000.
        if any(members <= o or o <= members for o in chosen):
            continue
        seen.add(members)
        chosen.append(members)
    cutsets = [sorted(s) for s in chosen]
    tree = tavoq.CutsetTree(n)
    tree.constructTree([cut_vector(n, cs) for cs in cutsets])
    return matrix, tree, [none, fail, repair], cutsets


def engine_model_dg(tavoq):
    """Model (d) with its cut sets given as one or of and gates."""
    matrix, _tree, keep, cutsets = engine_model_d(tavoq)
    tree = tavoq.FaultTree(D_COMPONENTS)
    tree.setTop(tree.addGate("or", [tree.addGate("and", cs) for cs in cutsets]))
    return matrix, tree, keep


def rare_repairable(tavoq, n):
    none = tavoq.Distribution()
    fail = tavoq.Exponential(1.0 / 10000.0)
    repair = tavoq.Exponential(1.0 / 24.0)
    return [[[none, fail], [repair, none]] for _ in range(n)], [none, fail, repair]


def engine_model_e(tavoq):
    """Model (e): the system fails when every train has a failed component."""
    matrix, keep = rare_repairable(tavoq, E_TRAINS * E_PER_TRAIN)
    tree = tavoq.FaultTree(len(matrix))
    trains = [
        tree.addGate("or", list(range(t * E_PER_TRAIN, (t + 1) * E_PER_TRAIN)))
        for t in range(E_TRAINS)
    ]
    tree.setTop(tree.addGate("and", trains))
    return matrix, tree, keep


# Model (p)'s interactions, by the id of its tree: runnerStatistics takes them beside it.
PLANT_INTERACTIONS = {}
PLANT_DESCRIPTIONS = {}
P_GROUPS = 20  # standby pairs of pumps: components 0 .. 39
P_SENSORS = 20  # 40 .. 59, in common-cause groups of 4
P_VALVES = 20  # 60 .. 79
P_POWER = 10  # 80 .. 89, each feeding two pump groups
P_PLAIN = 10  # 90 .. 99


def engine_model_p(tavoq):
    """Model (p): 100 components using every interaction. States: 0 running, 1 standby,
    2 failed, 3 overhaul (planned), 4 no power (failed). 20 standby groups of two pumps
    (switch failure 0.01, revert): running fails Exp(mean 1000), in standby Exp(mean 10000),
    overhaul Exp(mean 4000) lasting Exp(mean 48); repairs Exp(mean 24) by 4 mechanics.
    20 sensors (failure Exp(mean 5000), repair Exp(mean 8) by 2 electricians) in 5
    common-cause groups of 4 (an event Exp(mean 20000) each). 20 valves (Exp(mean 2000),
    repair Exp(mean 12)). 10 power supplies (Exp(mean 3000), repair Exp(mean 6)): each
    failure moves the pumps of its two groups from running or standby to no power, its
    restoration moves them back to standby. 10 plain components (Exp(mean 1000), repair
    Exp(mean 10)). Failed when at least 3 pump groups are, or 3 of 4 sensors of a group,
    or both valves of a pair, or both plain components of a pair. Horizon 8,760."""
    none = tavoq.Distribution()
    e = tavoq.Exponential
    dists = {
        "run": e(1 / 1000),
        "idle": e(1 / 10000),
        "overhaul": e(1 / 4000),
        "back": e(1 / 48),
        "repair": e(1 / 24),
        "sensor": e(1 / 5000),
        "fix": e(1 / 8),
        "valve": e(1 / 2000),
        "valve_fix": e(1 / 12),
        "power": e(1 / 3000),
        "power_fix": e(1 / 6),
        "plain": e(1 / 1000),
        "plain_fix": e(1 / 10),
        "cc": e(1 / 20000),
    }

    def row(**cells):
        out = [[none] * 5 for _ in range(5)]
        for key, name in cells.items():
            i, j = int(key[1]), int(key[2])
            out[i][j] = dists[name]
        return out

    pump = row(s02="run", s03="overhaul", s12="idle", s20="repair", s30="back")
    two_state = {
        "sensor": row(s02="sensor", s20="fix"),
        "valve": row(s02="valve", s20="valve_fix"),
        "power": row(s02="power", s20="power_fix"),
        "plain": row(s02="plain", s20="plain_fix"),
    }
    n_pumps = 2 * P_GROUPS
    matrix = [pump] * n_pumps
    for name, count in (
        ("sensor", P_SENSORS),
        ("valve", P_VALVES),
        ("power", P_POWER),
        ("plain", P_PLAIN),
    ):
        matrix += [two_state[name]] * count
    n = len(matrix)
    sensors = list(range(n_pumps, n_pumps + P_SENSORS))
    valves = list(range(sensors[-1] + 1, sensors[-1] + 1 + P_VALVES))
    power = list(range(valves[-1] + 1, valves[-1] + 1 + P_POWER))
    plain = list(range(power[-1] + 1, n))
    # Described as plain data first (the reference model counts transitions from it),
    # then declared to the engine.
    mechanics, electricians = 0, 1
    plan = {
        "kinds": {c: [0, 0, 1, 2, 1] for c in range(n)},
        "groups": [
            ([2 * g, 2 * g + 1], [0, 0], [1, 1], [2, 2], 0.01, True) for g in range(P_GROUPS)
        ],
        "causes": [(dists["cc"], sensors[k : k + 4], [2] * 4) for k in range(0, P_SENSORS, 4)],
        "pools": [4, 2],
        "crews": {(c, 2): (mechanics, 0) for c in range(n_pumps)}
        | {(c, 2): (electricians, 0) for c in sensors},
        "triggers": [],
    }
    for k, supply in enumerate(power):
        fed = [2 * g + u for g in (2 * k, 2 * k + 1) for u in (0, 1)]
        plan["triggers"].append((supply, True, [(c, [0, 1], 4) for c in fed]))
        plan["triggers"].append((supply, False, [(c, [4], 1) for c in fed]))
    leaves = list(range(n, n + P_GROUPS))
    gates = [("atleast", leaves, 3)]
    gates += [("atleast", sensors[k : k + 4], 3) for k in range(0, P_SENSORS, 4)]
    gates += [("and", valves[k : k + 2], 0) for k in range(0, P_VALVES, 2)]
    gates += [("and", plain[k : k + 2], 0) for k in range(0, P_PLAIN, 2)]
    gates.append(("or", list(range(n + P_GROUPS, n + P_GROUPS + len(gates))), 0))

    it = tavoq.Interactions(n)
    for c, kinds in plan["kinds"].items():
        it.setStateKinds(c, kinds)
    for crews in plan["pools"]:
        it.addCrewPool(crews)
    for units, act, stand, failed, q, revert in plan["groups"]:
        it.addStandbyGroup(units, act, stand, failed, q, revert)
    for (c, state), (pool, priority) in plan["crews"].items():
        it.setCrew(c, state, pool, priority)
    for dist, members, to_states in plan["causes"]:
        it.addCommonCause(dist, members, to_states)
    for source, on_failure, moves in plan["triggers"]:
        it.addTrigger(source, on_failure, moves)
    tree = tavoq.FaultTree(n + P_GROUPS)
    for kind, inputs, k in gates:
        tree.addGate(kind, inputs, k)
    tree.setTop(n + P_GROUPS + len(gates) - 1)
    PLANT_INTERACTIONS[id(tree)] = it
    PLANT_DESCRIPTIONS[id(tree)] = (plan, gates)
    return matrix, tree, [none, dists, it]


def run_statistics(tavoq, runs, horizon, matrix, tree, seed):
    """runnerStatistics, with model (p)'s interactions when the tree is its."""
    interactions = PLANT_INTERACTIONS.get(id(tree))
    if interactions is None:
        return tavoq.runnerStatistics(runs, horizon, matrix, tree, seed)
    return tavoq.runnerStatistics(runs, horizon, matrix, tree, seed, interactions=interactions)


def generated_tree(tavoq, seed=F_SEED):
    """Model (f)'s logic: (tree, private, branch_tops, depth), generated from `seed`.

    The top is an `and` of 10 branches, each an `or` over a tree of gates on 150
    components of its own: gates of 5 components, then gates of 3, 2 (plus a
    shared gate), 2 and 2 of the level below, then two gates reading both of
    the last level (an `or`, and an `and` or `atleast`). Kinds are drawn per
    gate, mostly `or`, with `and` and `atleast` (k drawn below the input count). 500
    more components feed 65 shared gates: 50 of 10 components, and 15 of 3 of
    those; every third-level gate of every branch reads one of the 15, so each
    shared subtree feeds several branches. `private[i]` lists branch i's own
    components; depth counts the gates on the longest path from the top down
    to a component.
    """
    rng = random.Random(seed)
    branches, per_branch, shared_components = 10, 150, 500
    tree = tavoq.FaultTree(branches * per_branch + shared_components)
    height = {}

    def gate(inputs, mix):
        kind = rng.choices(("or", "and", "atleast"), weights=mix)[0]
        if len(inputs) == 1:
            kind = "or"
        k = rng.randint(1, len(inputs) - 1) if kind == "atleast" else 0
        node = tree.addGate(kind, inputs, k)
        height[node] = 1 + max(height.get(i, 0) for i in inputs)
        return node

    def chunks(nodes, size):
        return [nodes[j : j + size] for j in range(0, len(nodes), size)]

    # Shared subtrees first: a gate's inputs must exist before it.
    base = branches * per_branch
    shared_low = [
        gate(c, (2, 1, 3)) for c in chunks(list(range(base, base + shared_components)), 10)
    ]
    shared_high = [gate(rng.sample(shared_low, 3), (1, 1, 1)) for _ in range(15)]
    branch_tops = []
    private = []
    for b in range(branches):
        comps = list(range(b * per_branch, (b + 1) * per_branch))
        private.append(comps)
        level = [gate(c, (3, 1, 1)) for c in chunks(comps, 5)]
        level = [gate(c, (4, 1, 1)) for c in chunks(level, 3)]
        level = [gate(c + [rng.choice(shared_high)], (4, 1, 1)) for c in chunks(level, 2)]
        level = [gate(c, (6, 1, 1)) for c in chunks(level, 2)]
        level = [gate(c, (6, 1, 1)) for c in chunks(level, 2)]
        level = [gate(level, (1, 0, 0)), gate(level[::-1], (0, 1, 1))]
        branch_tops.append(gate(level, (1, 0, 0)))
    top = gate(branch_tops, (0, 1, 0))
    tree.setTop(top)
    return tree, private, branch_tops, height[top]


def minimal_cutset_lower_bound(tree, private, branch_tops):
    """A lower bound on the number of minimal cut sets of generated_tree's top.

    P_i = the components of branch i's own whose failure alone fails branch i
    (found by evaluating the tree). Pick one component from each P_i: the set
    S fails every branch, so the top. Without its member from P_j, S has no
    failed component among those branch j reads (its own and the shared ones),
    and a gate with no failed input works (every threshold is at least 1), so
    branch j works and so does the top. Each such S is thus a minimal cut set,
    and distinct choices give distinct sets: there are at least prod |P_i|.
    Returns (bound, [|P_i|]).
    """
    n = tree.nComponents
    sizes = []
    for comps, top in zip(private, branch_tops):
        gate_index = top - n
        count = 0
        for c in comps:
            failed = [0] * n
            failed[c] = 1
            count += tree.evaluateGates(failed)[gate_index]
        sizes.append(count)
    return math.prod(sizes), sizes


def engine_model_f(tavoq):
    matrix, keep = rare_repairable(tavoq, 2000)
    tree, _private, _tops, _depth = generated_tree(tavoq)
    return matrix, tree, keep


def cut_vector(n, members):
    v = [0] * n
    for c in members:
        v[c] = 1
    return v


def build_model(tavoq, key):
    """(matrix, tree, horizon, keep-alive objects) of model key."""
    import bench_runners as br

    if key in ("a", "b"):
        horizon = 8760 if key == "a" else 262800
        matrix, tree, keep = br.reference_model(horizon)
        return matrix, tree, horizon, keep
    if key == "c":
        matrix, tree, keep, _ = br.scheduled_model(87600)
        return matrix, tree, 87600, keep
    if key == "d":
        matrix, tree, keep, _ = engine_model_d(tavoq)
        return matrix, tree, 8760, keep
    if key in GRAPH_MODELS:
        build = {
            "dg": engine_model_dg,
            "e": engine_model_e,
            "f": engine_model_f,
            "p": engine_model_p,
        }[key]
        matrix, tree, keep = build(tavoq)
        return matrix, tree, 8760, keep
    if key.startswith("n"):
        matrix, tree, keep = pairs_model(tavoq, int(key[1:]))
        return matrix, tree, 8760, keep
    raise ValueError("unknown model %r" % key)


def pairs_model(tavoq, n):
    """Model (a) with n components: cut sets {0,1}, {2,3}, ... (a last odd
    component on its own)."""
    none = tavoq.Distribution()
    fail = tavoq.Exponential(1.0 / 1000.0)
    repair = tavoq.Exponential(1.0 / 10.0)
    matrix = [[[none, fail], [repair, none]] for _ in range(n)]
    tree = tavoq.CutsetTree(n)
    tree.constructTree([cut_vector(n, range(i, min(i + 2, n))) for i in range(0, n, 2)])
    return matrix, tree, [none, fail, repair]


def cpu_counters():
    """(busy, steal) seconds of the whole machine, from /proc/stat."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()[1:]
    except OSError:
        return 0.0, 0.0
    v = [int(x) for x in fields] + [0] * 10
    hz = float(os.sysconf("SC_CLK_TCK"))
    busy = v[0] + v[1] + v[2] + v[5] + v[6]
    return busy / hz, v[7] / hz


class Silenced:
    """Points file descriptor 1 (the runners' C++ progress lines) at /dev/null."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        self.null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(self.null, 1)

    def __exit__(self, *exc):
        sys.stdout.flush()
        os.dup2(self.saved, 1)
        os.close(self.saved)
        os.close(self.null)
        return False


def timed_call(fn, *args):
    """One call: dict(wall, cpu, others) and its result."""
    gc.collect()
    with Silenced():
        b0, _ = cpu_counters()
        c0 = time.process_time()
        t0 = time.perf_counter()
        result = fn(*args)
        t1 = time.perf_counter()
        c1 = time.process_time()
        b1, _ = cpu_counters()
    wall = t1 - t0
    cpu = c1 - c0
    others = max(0.0, (b1 - b0) - cpu) / wall if wall > 0 else 0.0
    return {"wall": wall, "cpu": cpu, "others": others}, result


def variant_call(tavoq, variant, runs, horizon, matrix, tree, seed):
    """(timing, failed runs per time unit as a list) of one variant."""
    args = (runs, horizon, matrix, tree, seed)
    if variant == "multi":
        return timed_call(tavoq.runnerMultipleSim, *args)
    threads = int(variant[-1])
    tavoq.limitOMPThreads(threads)
    if variant.startswith("par"):
        return timed_call(tavoq.runnerParallelSim, *args)
    timing, stats = timed_call(run_statistics, tavoq, *args)
    return timing, [int(x) for x in stats.failedRuns]


def child_calibrate(tavoq, opts, key):
    matrix, tree, horizon, _keep = build_model(tavoq, key)

    # A FaultTree goes to runnerStatistics only, on one thread.
    def runner(*args):
        return tavoq.runnerMultipleSim(*args)

    if key in GRAPH_MODELS:

        def runner(*args):
            return run_statistics(tavoq, *args)

        tavoq.limitOMPThreads(1)
    n = 10
    while True:
        timing, _ = timed_call(runner, n, horizon, matrix, tree, opts["seed"])
        if timing["cpu"] >= 0.2 or n >= 10**7:
            break
        n *= 4
    per_run = timing["cpu"] / n
    runs = int(math.ceil(opts["target"] / per_run / 100.0)) * 100
    return {"runs": max(runs, 100), "per_run_cpu": per_run}


def child_measure(tavoq, opts, key):
    t0 = time.perf_counter()
    matrix, tree, horizon, _keep = build_model(tavoq, key)
    built = time.perf_counter() - t0
    runs = opts["runs"]
    seed = opts["seed"]
    variants = [
        v for v in VARIANTS if not v.startswith("stats") or hasattr(tavoq, "runnerStatistics")
    ]
    if key in GRAPH_MODELS:
        variants = ["stats1", "stats2"]
    warm = max(2, runs // 20)
    for v in variants:
        variant_call(tavoq, v, warm, horizon, matrix, tree, seed)
    shift = opts["rep"] % len(variants)
    order = variants[shift:] + variants[:shift]
    timings = {}
    results = {}
    for v in order:
        timings[v], results[v] = variant_call(tavoq, v, runs, horizon, matrix, tree, seed)
    reference = results[variants[0]]
    identical = all(results[v] == reference for v in variants)
    digest = hashlib.sha256(json.dumps(reference).encode()).hexdigest()[:16]
    tavoq.limitOMPThreads(os.cpu_count() or 1)
    return {
        "timings": timings,
        "identical": identical,
        "digest": digest,
        "failed_units": sum(reference),
        "build_seconds": built,
        "order": order,
    }


def child_single(tavoq, opts, key):
    """runnerMultipleSim only, repeated: the event queue study."""
    matrix, tree, horizon, _keep = build_model(tavoq, key)
    runs = opts["runs"]
    timed_call(tavoq.runnerMultipleSim, max(2, runs // 20), horizon, matrix, tree, opts["seed"])
    timings = [
        timed_call(tavoq.runnerMultipleSim, runs, horizon, matrix, tree, opts["seed"])[0]
        for _ in range(opts["calls"])
    ]
    return {"timings": timings}


def child_count(tavoq, opts, key):
    """Exact transitions of the batches of the given run counts (two states),
    or the reference model's count over the first runs (model c)."""
    import numpy as np

    matrix, tree, horizon, _keep = build_model(tavoq, key)
    seed = opts["seed"]
    out = {}
    with Silenced():
        if key not in ("c", "p"):
            for runs in opts["runs_list"]:
                whole = tavoq.runnerStatistics(runs, horizon, matrix, tree, seed)
                shorter = tavoq.runnerStatistics(runs, horizon - 1, matrix, tree, seed)
                failures = int(np.sum(whole.componentFailures))
                failed_at_end = int(
                    np.sum(whole.componentDowntime) - np.sum(shorter.componentDowntime)
                )
                transitions = 2 * failures - failed_at_end
                out[str(runs)] = {
                    "transitions": transitions,
                    "per_run": transitions / runs,
                    "exact": True,
                }
    if key == "f":
        tree, private, tops, depth = generated_tree(tavoq)
        bound, sizes = minimal_cutset_lower_bound(tree, private, tops)
        out["structure"] = {
            "components": tree.nComponents,
            "gates": tree.nGates,
            "depth": depth,
            "bound": bound,
            "sizes": sizes,
        }
    if key == "p":
        # The moves applied (transitions, switch-overs and triggered moves), counted by the
        # reference model on the first runs; its downtime is checked against the engine's.
        sys.path.insert(0, str(ROOT / "tests" / "python" / "validation"))
        import reference_model as rm

        plan, gates = PLANT_DESCRIPTIONS[id(tree)]
        plant = rm.Interplay(**plan)
        k = opts["count_runs"]
        per_run, downtime = [], []
        for i in range(k):
            run = rm.InteractingRun(horizon, matrix, seed + i, plant, gates, tree.top)
            result = run.run()
            per_run.append(run.moves_applied)
            downtime.append(sum(x != 0 for x in result.codes))
        with Silenced():
            engine = run_statistics(tavoq, k, horizon, matrix, tree, seed)
        mean = statistics.fmean(per_run)
        se = statistics.stdev(per_run) / math.sqrt(k) if k > 1 else float("nan")
        out["reference"] = {
            "runs": k,
            "per_run": mean,
            "se": se,
            "downtime_matches": downtime == [int(x) for x in engine.downtime],
        }
        for runs in opts["runs_list"]:
            out[str(runs)] = {
                "transitions": mean * runs,
                "per_run": mean,
                "se": se,
                "exact": False,
            }
    if key in ("a", "c"):
        # The reference model, on the first runs: the only count for (c), a
        # check of the two-state count for (a).
        sys.path.insert(0, str(ROOT / "tests" / "python" / "validation"))
        import reference_model as rm

        class Counting(rm.ReferenceRun):
            """Counts transitions out of state 0 as well as all of them."""

            failures = 0
            _from = None

            def select(self):
                chosen, best = super().select()
                self._from = self.component_states[chosen] if chosen is not None else None
                return chosen, best

            def update_system_state(self):
                if self._from == 0:
                    self.failures += 1
                super().update_system_state()

        k = opts["count_runs"] if key == "c" else 20
        per_run = []
        failures = 0
        for i in range(k):
            run = Counting(horizon, matrix, tree, seed + i, cutsets=tree.getCutsets())
            run.run()
            per_run.append(run.transitions)
            failures += run.failures
        with Silenced():
            engine = tavoq.runnerStatistics(k, horizon, matrix, tree, seed)
        engine_failures = int(np.sum(engine.componentFailures))
        mean = statistics.fmean(per_run)
        se = statistics.stdev(per_run) / math.sqrt(k) if k > 1 else float("nan")
        ref = {"runs": k, "per_run": mean, "se": se, "failures_match": failures == engine_failures}
        if key == "a":
            with Silenced():
                shorter = tavoq.runnerStatistics(k, horizon - 1, matrix, tree, seed)
            exact = 2 * engine_failures - int(
                np.sum(engine.componentDowntime) - np.sum(shorter.componentDowntime)
            )
            ref["two_state_count_matches"] = exact == sum(per_run)
        out["reference"] = ref
        if key == "c":
            for runs in opts["runs_list"]:
                out[str(runs)] = {
                    "transitions": mean * runs,
                    "per_run": mean,
                    "se": se,
                    "exact": False,
                }
    return out


def child_dynamics(tavoq, opts, key):
    """Digest of component 0's history over a few runs (single cut set {0})."""
    matrix, _tree, horizon, _keep = build_model(tavoq, key)
    tree = tavoq.CutsetTree(len(matrix))
    tree.constructTree([[1]])
    h = hashlib.sha256()
    with Silenced():
        for i in range(opts["dyn_runs"]):
            states = tavoq.runnerSingleSim(horizon, matrix, tree, opts["seed"] + i)
            h.update(bytes(bytearray(1 if s else 0 for s in states)))
    return {"digest": h.hexdigest()[:16], "runs": opts["dyn_runs"]}


def child_big(tavoq, opts, out_path):
    """The 100,000-component model; writes progress so a cut-off child still
    tells how far it got."""

    def note(data):
        Path(out_path).write_text(json.dumps(data))

    t0 = time.perf_counter()
    n = BIG_COMPONENTS
    none = tavoq.Distribution()
    fail = tavoq.Exponential(1.0 / 1000.0)
    repair = tavoq.Exponential(1.0 / 10.0)
    row = [[none, fail], [repair, none]]
    matrix = [row] * n  # rows may be shared: the runners only read them
    tree = tavoq.CutsetTree(n)
    # Pairs {0,1}, {2,3}, ...: cut vectors stop at their last member (missing
    # positions read 0), which keeps 1,000 of them small.
    tree.constructTree([[0] * (2 * k) + [1, 1] for k in range(BIG_PAIRS)])
    built = time.perf_counter() - t0
    data = {"build_seconds": built, "done": False}
    note(data)
    timing, result = timed_call(
        tavoq.runnerMultipleSim, BIG_RUNS, BIG_HORIZON, matrix, tree, opts["seed"]
    )
    data.update(timing)
    data["failed_units"] = sum(result)
    data["done"] = True
    note(data)
    return data


def child_main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--child", required=True)
    ap.add_argument("--module-dir", default="")
    ap.add_argument("--model", default="")
    ap.add_argument("--opts", default="{}")
    ap.add_argument("--out", required=True)
    a = ap.parse_args(argv)
    tavoq = load_module(a.module_dir)
    opts = json.loads(a.opts)
    if a.child == "big":
        child_big(tavoq, opts, a.out)
        return 0
    task = {
        "calibrate": child_calibrate,
        "measure": child_measure,
        "single": child_single,
        "count": child_count,
        "dynamics": child_dynamics,
    }[a.child]
    data = task(tavoq, opts, a.model)
    data["module"] = tavoq.__file__
    data["has_statistics"] = hasattr(tavoq, "runnerStatistics")
    Path(a.out).write_text(json.dumps(data))
    return 0


# ----------------------------------------------------------- parent process


def run_child(task, module_dir, model="", opts=None, timeout=None):
    """Runs one child; returns its JSON (None when cut off by the timeout,
    with what it wrote so far under "partial")."""
    fd, out = tempfile.mkstemp(prefix="bench_engine_", suffix=".json")
    os.close(fd)
    cmd = [
        sys.executable,
        str(Path(__file__).resolve()),
        "--child",
        task,
        "--module-dir",
        module_dir,
        "--model",
        model,
        "--opts",
        json.dumps(opts or {}),
        "--out",
        out,
    ]
    try:
        try:
            proc = subprocess.run(
                cmd,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE,
                timeout=timeout,
                check=False,
            )
        except subprocess.TimeoutExpired:
            text = Path(out).read_text()
            return {"timed_out": True, "partial": json.loads(text) if text else {}}
        if proc.returncode != 0:
            raise SystemExit(
                "child %s (%s, model %s) failed:\n%s"
                % (task, module_dir or "default", model, proc.stderr.decode(errors="replace"))
            )
        return json.loads(Path(out).read_text())
    finally:
        os.unlink(out)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def fmt(x, digits=3):
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "-"
    if abs(x) >= 1e6:
        return "%.*g M" % (digits, x / 1e6)
    if abs(x) >= 1000:
        return f"{x:,.0f}"
    return "%.*g" % (digits, x)


def print_table(headers, rows):
    widths = [max(len(str(r[i])) for r in [headers] + rows) for i in range(len(headers))]
    print("| " + " | ".join(h.ljust(w) for h, w in zip(headers, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(
            "| "
            + " | ".join(
                str(c).ljust(w) if i == 0 else str(c).rjust(w)
                for i, (c, w) in enumerate(zip(r, widths))
            )
            + " |"
        )


def summarize(samples):
    """Medians and spread of a list of per-call timings."""
    out = {}
    for key in ("wall", "cpu", "others"):
        values = [s[key] for s in samples]
        out[key] = statistics.median(values)
        out[key + "_min"] = min(values)
        out[key + "_max"] = max(values)
    return out


def print_header(title, builds):
    """The first lines of a benchmark's output: what, when, on what, and which builds."""
    print(title)
    print("  date:     %s" % datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"))
    print("  CPU:      %s, %d logical cores" % (cpu_model(), os.cpu_count() or 0))
    print("  Python:   %s" % platform.python_version())
    print("  load avg: %.2f %.2f %.2f (at start)" % os.getloadavg())
    for name, path in builds:
        print("  %-5s     %s" % (name, path or "(the interpreter's tavoq)"))


def parent_main(opts):
    builds = (
        [("BASE", opts.compare[0]), ("NEW", opts.compare[1])]
        if opts.compare
        else [("BUILD", opts.module_dir)]
    )
    models = opts.models
    child_opts = {"seed": opts.seed, "target": opts.target}
    started = time.perf_counter()

    print_header("tavoq engine benchmark", builds)
    print(
        "  method:   %d repetitions, about %.2f CPU s per runnerMultipleSim call"
        % (opts.repeat, opts.target)
    )
    print()
    sys.stdout.flush()

    # Run counts, per model and build.
    runs = {}
    for key in models:
        for name, path in builds:
            cal = run_child("calibrate", path, key, child_opts)
            runs[key, name] = cal["runs"]

    # Same component histories on every build.
    dynamics = {}
    for key in models:
        dyn_opts = dict(child_opts, dyn_runs=3 if key == "d" else 20)
        dynamics[key] = {
            name: run_child("dynamics", path, key, dyn_opts)["digest"] for name, path in builds
        }

    # Timed repetitions, builds alternating.
    samples = {(key, name): [] for key in models for name, _ in builds}
    checks = {}
    has_stats = {}
    for rep in range(opts.repeat):
        for key in models:
            for name, path in builds if rep % 2 == 0 else builds[::-1]:
                m = run_child(
                    "measure", path, key, dict(child_opts, runs=runs[key, name], rep=rep)
                )
                samples[key, name].append(m["timings"])
                has_stats[name] = m["has_statistics"]
                checks.setdefault((key, name), []).append(m["identical"])
        print(
            "  repetition %d of %d done (%.0f s)"
            % (rep + 1, opts.repeat, time.perf_counter() - started)
        )
        sys.stdout.flush()
    print()

    # Transitions per run, counted on a build that has runnerStatistics.
    counter = next((p for n, p in builds[::-1] if has_stats.get(n)), None)
    transitions = {}
    if counter is not None:
        for key in models:
            runs_list = sorted({runs[key, name] for name, _ in builds})
            transitions[key] = run_child(
                "count",
                counter,
                key,
                dict(child_opts, runs_list=runs_list, count_runs=opts.count_runs),
            )

    med = {}
    for key in models:
        for name, _ in builds:
            per_variant = {}
            for v in VARIANTS:
                calls = [s[v] for s in samples[key, name] if v in s]
                if calls:
                    per_variant[v] = summarize(calls)
            med[key, name] = per_variant

    def per_run_transitions(key, name):
        t = transitions.get(key, {}).get(str(runs[key, name]))
        return t["per_run"] if t else None

    # Main table.
    headers = [
        "model",
        "build",
        "runs/call",
        "transitions/run",
        "runner",
        "runs/s (CPU)",
        "runs/s (wall)",
        "transitions/s per core",
        "others (cores)",
    ]
    rows = []
    for key in models:
        for name, _ in builds:
            n = runs[key, name]
            tpr = per_run_transitions(key, name)
            for v, s in med[key, name].items():
                per_cpu = n / s["cpu"]
                rows.append(
                    [
                        "(%s)" % key,
                        name,
                        f"{n:,}",
                        fmt(tpr, 4) if tpr else "-",
                        LABELS[v],
                        fmt(per_cpu),
                        fmt(n / s["wall"]),
                        fmt(per_cpu * tpr) if tpr else "-",
                        "%.2f" % s["others"],
                    ]
                )
    print(
        "Medians of %d repetitions. runs/s (CPU) = runs per CPU second of the "
        "process (all its threads);" % opts.repeat
    )
    print(
        "transitions/s per core = transitions per CPU second. others = CPU "
        "other processes took during the calls."
    )
    print()
    print_table(headers, rows)
    print()

    print("Spread (min / median / max CPU seconds per call):")
    for key in models:
        for name, _ in builds:
            parts = [
                "%s %.3f/%.3f/%.3f" % (v, s["cpu_min"], s["cpu"], s["cpu_max"])
                for v, s in med[key, name].items()
            ]
            print("  (%s) %-5s %s" % (key, name, ", ".join(parts)))
    print()

    print("Transitions per run:")
    for key in models:
        t = transitions.get(key)
        if not t:
            print("  (%s) not counted (no build with runnerStatistics)" % key)
            continue
        ref = t.get("reference")
        if key == "p":
            print(
                "  (p) %.1f +/- %.1f moves applied (transitions, switch-overs, triggered "
                "moves; reference model, first %d runs; its downtime %s runnerStatistics')"
                % (
                    ref["per_run"],
                    ref["se"],
                    ref["runs"],
                    "equals" if ref["downtime_matches"] else "DIFFERS FROM",
                )
            )
        elif key == "c":
            print(
                "  (c) %.1f +/- %.1f (reference model, first %d runs; its failure "
                "count %s runnerStatistics')"
                % (
                    ref["per_run"],
                    ref["se"],
                    ref["runs"],
                    "equals" if ref["failures_match"] else "DIFFERS FROM",
                )
            )
        else:
            exact = ", ".join(
                "%s runs: %.2f" % (r, d["per_run"]) for r, d in t.items() if r.isdigit()
            )
            print("  (%s) exact, %s" % (key, exact))
            if "structure" in t:
                f = t["structure"]
                print(
                    "      %d components, %d gates, depth %d; at least %.3g minimal cut "
                    "sets (the product of %s, see minimal_cutset_lower_bound)"
                    % (f["components"], f["gates"], f["depth"], f["bound"], f["sizes"])
                )
            if ref:
                print(
                    "      reference model on the first %d runs: two-state count "
                    "%s, failures %s"
                    % (
                        ref["runs"],
                        "equal" if ref["two_state_count_matches"] else "DIFFERENT",
                        "equal" if ref["failures_match"] else "DIFFERENT",
                    )
                )
    print()

    print("Checks:")
    for key in models:
        same = len(set(dynamics[key].values())) == 1
        print(
            "  (%s) component 0's history identical on every build: %s; runners "
            "agree within each build: %s"
            % (
                key,
                "yes" if same else "NO",
                ", ".join(
                    "%s %s" % (name, "yes" if all(checks[key, name]) else "NO")
                    for name, _ in builds
                ),
            )
        )
    print()

    if opts.compare:
        print("NEW / BASE, from CPU-time medians (runs per CPU second):")
        headers = [
            "model",
            "runner",
            "BASE runs/s",
            "NEW runs/s",
            "NEW/BASE",
            "paired min-max",
            "target",
            "verdict",
        ]
        rows = []
        for key in models:
            for v in ("multi", "par1", "par2"):
                b = runs[key, "BASE"] / med[key, "BASE"][v]["cpu"]
                nw = runs[key, "NEW"] / med[key, "NEW"][v]["cpu"]
                # Repetition i of one build against repetition i of the other:
                # how far the ratio moves with the machine's load.
                paired = [
                    (runs[key, "NEW"] / sn[v]["cpu"]) / (runs[key, "BASE"] / sb[v]["cpu"])
                    for sb, sn in zip(samples[key, "BASE"], samples[key, "NEW"])
                ]
                target = TARGETS_MULTI[key] if v == "multi" else None
                rows.append(
                    [
                        "(%s)" % key,
                        LABELS[v],
                        fmt(b),
                        fmt(nw),
                        "%.2fx" % (nw / b),
                        "%.2f-%.2f" % (min(paired), max(paired)),
                        (">= %.1fx" % target) if target else "",
                        ("met" if nw / b >= target else "MISSED") if target else "",
                    ]
                )
        print_table(headers, rows)
        print()

    for name, _ in builds:
        print(
            "%s: 2-thread scaling (wall time, runnerParallelSim 2T vs 1T) and "
            "runnerStatistics' cost (CPU time):" % name
        )
        for key in models:
            m = med[key, name]
            if "par1" not in m:
                continue  # a graph model: runnerStatistics only, see below
            scaling = m["par1"]["wall"] / m["par2"]["wall"]
            eff = m["par1"]["cpu"] / m["par2"]["cpu"]
            if m["par2"]["others"] > BUSY_CORES:
                # The second thread had no core of its own: the wall-time ratio
                # says nothing about the engine.
                verdict = "not measurable, the machine was busy"
            else:
                verdict = "met" if scaling >= TARGET_SCALING else "MISSED"
            line = (
                "  (%s) 2T/1T %.2fx (target >= %.1fx: %s; others took %.2f "
                "cores during 2T calls), CPU per run 1T/2T %.2f"
                % (key, scaling, TARGET_SCALING, verdict, m["par2"]["others"], eff)
            )
            if "stats1" in m:
                c1 = m["stats1"]["cpu"] / m["par1"]["cpu"]
                c2 = m["stats2"]["cpu"] / m["par2"]["cpu"]
                s_scaling = m["stats1"]["wall"] / m["stats2"]["wall"]
                verdict = ""
                if key in STATS_COST_MODELS:
                    verdict = " (target <= %.1fx: %s)" % (
                        TARGET_STATS_COST,
                        "met" if max(c1, c2) <= TARGET_STATS_COST else "MISSED",
                    )
                line += (
                    "; runnerStatistics/runnerParallelSim %.2fx 1T, %.2fx 2T%s; "
                    "runnerStatistics 2T/1T %.2fx" % (c1, c2, verdict, s_scaling)
                )
            print(line)
        print()

    graph_verdicts(
        [k for k in models if k in GRAPH_MODELS or k == "d"],
        builds,
        med,
        runs,
        per_run_transitions,
    )

    if opts.big:
        print(
            "Model of %s components (failure Exp(mean 1000), repair Exp(mean 10), "
            "%d cut sets {0,1}, {2,3}, ...), %d runs of %d time units, "
            "runnerMultipleSim, cut off after %.0f s:"
            % (f"{BIG_COMPONENTS:,}", BIG_PAIRS, BIG_RUNS, BIG_HORIZON, opts.big_timeout)
        )
        for name, path in builds:
            r = run_child("big", path, "", child_opts, timeout=opts.big_timeout)
            if r.get("timed_out"):
                built = r["partial"].get("build_seconds")
                print(
                    "  %-5s not finished within %.0f s (model built in %s s): "
                    "the call took more than %s s"
                    % (
                        name,
                        opts.big_timeout,
                        "%.1f" % built if built is not None else "?",
                        "%.0f" % (opts.big_timeout - built) if built is not None else "?",
                    )
                )
            else:
                print(
                    "  %-5s %.3f s wall, %.3f s CPU (model built in %.1f s)"
                    % (name, r["wall"], r["cpu"], r["build_seconds"])
                )
        print()

    print(
        "load avg at end: %.2f %.2f %.2f; total %.0f s"
        % (os.getloadavg() + (time.perf_counter() - started,))
    )
    if opts.json:
        Path(opts.json).write_text(
            json.dumps(
                {
                    "runs": {"%s/%s" % k: v for k, v in runs.items()},
                    "medians": {"%s/%s" % k: v for k, v in med.items()},
                    "samples": {"%s/%s" % k: v for k, v in samples.items()},
                    "transitions": transitions,
                    "dynamics": dynamics,
                },
                indent=1,
            )
        )
    return 0


def graph_verdicts(keys, builds, med, runs, per_run_transitions):
    """Transitions per CPU second of runnerStatistics on one thread for the graph models,
    against their targets; and (dg) against (d) on the same build."""
    if not any(k in GRAPH_MODELS for k in keys):
        return
    print("Graph models, runnerStatistics on one thread (CPU-time medians):")
    for name, _ in builds:
        rate = {}
        for key in keys:
            tpr = per_run_transitions(key, name)
            if tpr is None or "stats1" not in med[key, name]:
                continue
            rate[key] = runs[key, name] / med[key, name]["stats1"]["cpu"] * tpr
            target = GRAPH_MODELS.get(key)
            verdict = ""
            if target:
                verdict = " (target >= %s: %s)" % (
                    fmt(target),
                    "met" if rate[key] >= target else "MISSED",
                )
            print(
                "  %-5s (%s) %s transitions/s per core, %s runs/s%s"
                % (
                    name,
                    key,
                    fmt(rate[key]),
                    fmt(runs[key, name] / med[key, name]["stats1"]["cpu"]),
                    verdict,
                )
            )
        if "d" in rate and "dg" in rate:
            ratio = rate["dg"] / rate["d"]
            print(
                "  %-5s (dg)/(d): %.2fx (target >= %.1fx: %s)"
                % (name, ratio, TARGET_DG_OVER_D, "met" if ratio >= TARGET_DG_OVER_D else "MISSED")
            )
    print()


def queue_study(opts):
    """runnerMultipleSim of two builds that differ only in the event queue."""
    builds = [("HEAP", opts.queue_study[0]), ("SCAN", opts.queue_study[1])]
    keys = ["n%d" % n for n in opts.sizes] + [k for k in ("c",) if opts.with_c]
    child_opts = {"seed": opts.seed, "target": opts.target}
    started = time.perf_counter()
    print_header("tavoq event queue study: runnerMultipleSim, 1 thread", builds)
    print(
        "  models:   nK = K two-state components, failure Exp(mean 1000), repair "
        "Exp(mean 10), cut sets {0,1}, {2,3}, ..., horizon 8,760; c = model (c)"
    )
    print(
        "  method:   %d subprocesses per build and model, alternating, %d calls "
        "each; CPU time per run, median over all calls" % (opts.repeat, opts.calls)
    )
    print()
    sys.stdout.flush()
    rows = []
    for key in keys:
        cal = run_child("calibrate", builds[0][1], key, child_opts)
        runs = cal["runs"]
        per_run = {name: [] for name, _ in builds}
        others = []
        for rep in range(opts.repeat):
            for name, path in builds if rep % 2 == 0 else builds[::-1]:
                r = run_child("single", path, key, dict(child_opts, runs=runs, calls=opts.calls))
                per_run[name] += [t["cpu"] / runs for t in r["timings"]]
                others += [t["others"] for t in r["timings"]]
        heap = statistics.median(per_run["HEAP"])
        scan = statistics.median(per_run["SCAN"])
        # How often the scan build was the faster one, pairing the calls in order.
        wins = sum(s < h for s, h in zip(per_run["SCAN"], per_run["HEAP"]))
        rows.append(
            [
                key,
                f"{runs:,}",
                "%.2f" % (heap * 1e6),
                "%.2f" % (scan * 1e6),
                "%.3f" % (scan / heap),
                "%d/%d" % (wins, len(per_run["SCAN"])),
                "%.2f" % statistics.median(others),
            ]
        )
        print("  %s done (%.0f s)" % (key, time.perf_counter() - started))
        sys.stdout.flush()
    print()
    print_table(
        [
            "model",
            "runs/call",
            "heap us/run",
            "scan us/run",
            "scan/heap",
            "scan faster",
            "others (cores)",
        ],
        rows,
    )
    print()
    print(
        "load avg at end: %.2f %.2f %.2f; total %.0f s"
        % (os.getloadavg() + (time.perf_counter() - started,))
    )
    return 0


def loop(opts):
    """Calls one runner on one model for about --seconds of CPU, in this
    process (to be run under perf record)."""
    tavoq = load_module(opts.module_dir)
    matrix, tree, horizon, _keep = build_model(tavoq, opts.loop)
    runner = {
        "multi": tavoq.runnerMultipleSim,
        "par1": tavoq.runnerParallelSim,
        "stats1": getattr(tavoq, "runnerStatistics", None),
    }[opts.runner]
    if runner is None:
        raise SystemExit("this build has no runnerStatistics")
    tavoq.limitOMPThreads(1)
    runs = 10
    spent = 0.0
    calls = 0
    while spent < opts.seconds:
        timing, _ = timed_call(runner, runs, horizon, matrix, tree, opts.seed + calls)
        spent += timing["cpu"]
        calls += 1
        if timing["cpu"] < 0.2:
            runs *= 2
    print("%s, model %s: %d calls, %.1f CPU s" % (opts.runner, opts.loop, calls, spent))
    return 0


def main():
    if "--child" in sys.argv[1:]:
        return child_main(sys.argv[1:])
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--module-dir", default="", help="directory of the tavoq build to measure")
    ap.add_argument(
        "--compare",
        nargs=2,
        metavar=("BASE_DIR", "NEW_DIR"),
        help="measure two builds in alternating subprocesses",
    )
    ap.add_argument(
        "--models",
        default="a,b,c,d",
        help="comma-separated subset of a,b,c,d and, with --module-dir, the "
        "graph models dg,e,f (default a,b,c,d)",
    )
    ap.add_argument("--repeat", type=int, default=None, help="repetitions (default 7, quick 3)")
    ap.add_argument(
        "--target",
        type=float,
        default=None,
        help="CPU seconds of one runnerMultipleSim call (default 0.8, quick 0.15)",
    )
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument(
        "--count-runs",
        type=int,
        default=200,
        help="runs of model (c) counted with the reference model",
    )
    ap.add_argument(
        "--big",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="time the 100,000-component model (default on)",
    )
    ap.add_argument("--big-timeout", type=float, default=120.0)
    ap.add_argument(
        "--queue-study",
        nargs=2,
        metavar=("HEAP_DIR", "SCAN_DIR"),
        help="compare two builds that always use the heap and always "
        "scan, on models of --sizes components",
    )
    ap.add_argument(
        "--sizes", default="2,4,8,10,12,16,24,32,48,64", help="component counts of the queue study"
    )
    ap.add_argument("--calls", type=int, default=3, help="calls per subprocess in the queue study")
    ap.add_argument(
        "--with-c",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="add model (c) to the queue study",
    )
    ap.add_argument(
        "--loop",
        metavar="MODEL",
        help="only call --runner on MODEL (a, b, c, d or nK) for "
        "--seconds CPU seconds, for a profiler",
    )
    ap.add_argument("--runner", choices=("multi", "par1", "stats1"), default="multi")
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json", help="also write every timing to this file")
    opts = ap.parse_args()
    opts.repeat = opts.repeat or (3 if opts.quick else 7)
    opts.target = opts.target or (0.15 if opts.quick else 0.8)
    if opts.quick:
        opts.count_runs = min(opts.count_runs, 20)
    if opts.loop:
        return loop(opts)
    opts.models = [m.strip() for m in opts.models.split(",") if m.strip()]
    bad = [m for m in opts.models if m not in TARGETS_MULTI and m not in GRAPH_MODELS]
    if bad or not opts.models:
        ap.error("--models takes a comma-separated subset of a,b,c,d,dg,e,f")
    if opts.compare and any(m in GRAPH_MODELS for m in opts.models):
        ap.error("models dg, e and f need a build with FaultTree: use --module-dir")
    if opts.repeat < 1:
        ap.error("--repeat must be at least 1")
    if opts.queue_study:
        try:
            opts.sizes = [int(x) for x in opts.sizes.split(",")]
        except ValueError:
            ap.error("--sizes takes comma-separated component counts")
        if any(n < 1 for n in opts.sizes):
            ap.error("--sizes must be positive")
        return queue_study(opts)
    return parent_main(opts)


if __name__ == "__main__":
    sys.exit(main())
