"""How long a large fault tree takes to load and check: the median of five loads.

Two seeded model files are written to a temporary folder:
- "10k": 5,000 components and 5,000 gates, each gate an `or`, `and` or `atleast` of 2 to 4
  earlier nodes (components or gates), so subtrees are shared;
- "2k/600": 2,000 components and 600 gates in 8 levels over the components, the shape of
  model (f) of bench_engine.py.
Each is loaded (`load_model`: parse, build the gate graph, count the minimal cut sets within
the work budget) and checked (`tavoq check`'s text, which lists the smallest cut sets).
An Open-PSA file of 5,000 basic events under 2,000-odd gates is loaded (`load_model`: the
XML streamed through ElementTree's own parser, as any text without a document type is;
the Model built and checked) and written as TOML (`tavoq convert`'s
text).

With --large, the shapes whose checks must stay linear (the generators of
tests/python/tools/large_inputs.py: layers of triggers, fdep cascades, a trigger on a long
chain of gates or on a large group, deep chains, a long value that is no number) are each
loaded and checked in a child process capped at 4 GiB of address space and 300 s of CPU, which
reports its CPU time and peak resident memory, or how it was stopped. Run it with
PYTHONPATH=<another tree>/python to measure that tree's sources.

With --huge, a seeded fault tree of 200,000 gates over 100,000 basic events (gates of 2 to 4
inputs, some of them shared subtrees; events with rates or probabilities) is written as a
Galileo and as an Open-PSA file, and as a Galileo file of dynamic gates ("dynamic": one `or`
in ten a `pand`, and 5,000 fdeps), and each is loaded (load_model) and checked (`tavoq check`,
the command itself) in child processes, from compiled modules as an installed command runs:
the medians of their CPU times and peak resident memory, and the CPU time per element
(gates + basic events). --gates scales it.
Usage: python bench/bench_load.py [--large [--only TEXT] | --huge [--gates N] [--repeat R]]
"""

from __future__ import annotations

import argparse
import compileall
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import tavoq_tools
from tavoq_tools.formats.file import load_model
from tavoq_tools.formats.toml_writer import model_to_toml
from tavoq_tools.output.model_text import check_text

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


def open_psa_text(n_events: int, seed: int) -> str:
    """An Open-PSA tree of ``n_events`` basic events (rates and probabilities, half of them
    through parameters) under gates of 2 to 4 inputs, some nested, in one or-gate on top."""
    rng = random.Random(seed)
    parts = ['<?xml version="1.0"?>\n<opsa-mef>\n<define-fault-tree name="plant">']
    below = [("basic-event", f"event {i}") for i in range(n_events)]
    gates = []
    while len(below) > 1:
        inputs = [
            below.pop(rng.randrange(len(below))) for _ in range(min(len(below), rng.randint(2, 4)))
        ]
        refs = "".join(f'<{kind} name="{name}"/>' for kind, name in inputs)
        kind = rng.choice(["or", "and", "atleast"])
        if kind == "atleast" and len(inputs) >= 3:
            body = f'<atleast min="2">{refs}</atleast>'
        elif kind == "and" and len(inputs) >= 3:
            pair = "".join(f'<{k} name="{n}"/>' for k, n in inputs[:2])
            rest = "".join(f'<{k} name="{n}"/>' for k, n in inputs[2:])
            body = f"<or><and>{pair}</and>{rest}</or>"  # a nested formula
        elif kind == "and":
            body = f"<and>{refs}</and>"
        else:
            body = f"<or>{refs}</or>"
        name = f"gate {len(gates)}"
        gates.append(f'<define-gate name="{name}">{body}</define-gate>')
        below.append(("gate", name))
    parts += gates
    for i in range(n_events):
        if i % 2:
            value = f'<float value="{rng.uniform(1e-4, 1e-2):.6g}"/>'
        else:
            value = f'<exponential><parameter name="rate {i % 50}"/><system-mission-time/></exponential>'
        parts.append(f'<define-basic-event name="event {i}">{value}</define-basic-event>')
    parts += [
        f'<define-parameter name="rate {i}"><float value="{1e-5 * (i + 1):g}"/></define-parameter>'
        for i in range(50)
    ]
    parts.append("</define-fault-tree>\n</opsa-mef>\n")
    return "\n".join(parts)


def median_open_psa_seconds(path: Path) -> tuple[float, float]:
    """Medians of five, in CPU time (other work on a shared machine inflates wall time far
    more): load_model of the Open-PSA file, and the TOML text of the model."""
    loads, converts = [], []
    for _ in range(5):
        start = time.process_time()
        model = load_model(path, mission_time=8760)
        loads.append(time.process_time() - start)
        start = time.process_time()
        model_to_toml(model)
        converts.append(time.process_time() - start)
    return statistics.median(loads), statistics.median(converts)


def median_seconds(path: Path) -> tuple[float, float]:
    loads, checks = [], []
    for _ in range(5):
        start = time.perf_counter()
        model = load_model(path)
        loads.append(time.perf_counter() - start)
        start = time.perf_counter()
        check_text(model, str(path))
        checks.append(time.perf_counter() - start)
    return statistics.median(loads), statistics.median(checks)


sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python" / "tools"))
import large_inputs  # noqa: E402  (the tests' generators of large models)

LARGE = {
    "layers of triggers, 20 x 23": (large_inputs.layered_triggers(20, 23), "toml"),
    "Galileo fdep cascade, 10,000": (large_inputs.galileo_fdep_cascade(10_000), "dft"),
    "trigger on a chain of 10,000 gates": (large_inputs.gate_chain(10_000, "or", True), "toml"),
    "trigger on a chain of 20,000 gates": (large_inputs.gate_chain(20_000, "or", True), "toml"),
    "trigger moving a group of 30,000": (large_inputs.group_trigger(30_000), "toml"),
    "10,000 trigger pairs below 40,000 gates": (
        large_inputs.trigger_pairs(40_000, 10_000),
        "toml",
    ),
    "chain of 100,000 gates": (large_inputs.gate_chain(100_000), "toml"),
    "chain of 300,000 gates": (large_inputs.gate_chain(300_000), "toml"),
    "Galileo value of 40,000 digits": (large_inputs.galileo_value("1" * 40_000 + "x"), "dft"),
}

CHILD = """
import resource, sys
from tavoq_tools.output.model_text import check_text
from tavoq_tools.errors import ModelError
import tavoq_tools
from tavoq_tools.formats.file import load_model
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
resource.setrlimit(resource.RLIMIT_CPU, (300, 300))
path = sys.argv[1]
try:
    model = load_model(path, mission_time=100 if path.endswith(".dft") else None)
    check_text(model, path)
except ModelError:
    pass  # refused as it should be: the time to refuse it is what counts
"""


def huge_tree(n_gates: int, n_events: int, seed: int) -> list[tuple[str, list[int], int]]:
    """The shape of a large fault tree: per gate its kind ("or", "and", "atleast"), its
    inputs (node ids: events 0 .. n_events - 1, then gate i is n_events + i) and k. Each node
    but the top feeds at least one gate; about one input in four is a node already used
    (a shared subtree). The last gate is the top."""
    rng = random.Random(seed)
    pool = list(range(n_events))  # nodes that feed no gate yet
    used: list[int] = []  # nodes that feed a gate already
    gates: list[tuple[str, list[int], int]] = []
    for i in range(n_gates):
        remaining = n_gates - i
        width = rng.randint(2, 4)
        if remaining == 1:
            fresh = len(pool)
        else:
            fresh = 2 if rng.random() < (len(pool) - 1) / remaining else 1
            fresh = min(max(fresh, width - len(used)), len(pool))
        inputs = []
        for _ in range(fresh):
            j = rng.randrange(len(pool))
            pool[j], pool[-1] = pool[-1], pool[j]
            inputs.append(pool.pop())
        chosen = set(inputs)
        while len(inputs) < width and len(used) >= width:
            shared = used[rng.randrange(len(used))]
            if shared not in chosen:
                inputs.append(shared)
                chosen.add(shared)
        used += inputs[:fresh]
        kind = rng.choice(["or", "or", "and", "atleast"])
        k = 2 if kind == "atleast" and len(inputs) >= 3 else 0
        gates.append(("or" if kind == "atleast" and not k else kind, inputs, k))
        pool.append(n_events + i)
    return gates


def huge_galileo(n_gates: int, n_events: int, seed: int) -> str:
    gates = huge_tree(n_gates, n_events, seed)
    rng = random.Random(seed + 1)

    def name(node: int) -> str:
        return f'"E{node}"' if node < n_events else f'"G{node - n_events}"'

    lines = [f"toplevel {name(n_events + n_gates - 1)};"]
    for i, (kind, inputs, k) in enumerate(gates):
        word = f"{k}of{len(inputs)}" if kind == "atleast" else kind
        lines.append(f'"G{i}" {word} {" ".join(map(name, inputs))};')
    for e in range(n_events):
        if e % 4 == 3:
            lines.append(f'"E{e}" prob={rng.uniform(1e-4, 1e-2):.6g};')
        else:
            lines.append(f'"E{e}" lambda={1e-5 * (e % 50 + 1):g};')
    return "\n".join(lines) + "\n"


def huge_dynamic_galileo(n_gates: int, n_events: int, seed: int) -> str:
    """huge_galileo's tree with one `or` gate in ten a `pand`, and an fdep per 40 gates, each
    from one basic event to two others (so the model has triggers to check)."""
    rng = random.Random(seed + 2)
    lines = []
    ors = 0
    for line in huge_galileo(n_gates, n_events, seed).splitlines():
        if " or " in line:
            ors += 1
            if ors % 10 == 0:
                line = line.replace(" or ", " pand ", 1)
        lines.append(line)
    for i in range(n_gates // 40):
        a, b, c = rng.sample(range(n_events), 3)
        lines.append(f'"F{i}" fdep "E{a}" "E{b}" "E{c}";')
    return "\n".join(lines) + "\n"


def huge_open_psa(n_gates: int, n_events: int, seed: int) -> str:
    gates = huge_tree(n_gates, n_events, seed)
    rng = random.Random(seed + 1)

    def ref(node: int) -> str:
        if node < n_events:
            return f'<basic-event name="E{node}"/>'
        return f'<gate name="G{node - n_events}"/>'

    parts = ['<?xml version="1.0"?>', "<opsa-mef>", '<define-fault-tree name="plant">']
    for i, (kind, inputs, k) in enumerate(gates):
        refs = "".join(map(ref, inputs))
        if kind == "atleast":
            body = f'<atleast min="{k}">{refs}</atleast>'
        elif kind == "and" and len(inputs) >= 3 and i % 3 == 0:
            body = f"<or><and>{''.join(map(ref, inputs[:2]))}</and>{''.join(map(ref, inputs[2:]))}</or>"
        else:
            body = f"<{kind}>{refs}</{kind}>"
        parts.append(f'<define-gate name="G{i}">{body}</define-gate>')
    for e in range(n_events):
        if e % 4 == 3:
            value = f'<float value="{rng.uniform(1e-4, 1e-2):.6g}"/>'
        else:
            value = (
                f'<exponential><parameter name="rate{e % 50}"/><system-mission-time/>'
                "</exponential>"
            )
        parts.append(f'<define-basic-event name="E{e}">{value}</define-basic-event>')
    parts += [
        f'<define-parameter name="rate{i}"><float value="{1e-5 * (i + 1):g}"/></define-parameter>'
        for i in range(50)
    ]
    parts += ["</define-fault-tree>", "</opsa-mef>", ""]
    return "\n".join(parts)


LOAD_CHILD = """
import sys, time
import tavoq_tools
from tavoq_tools.formats.file import load_model
start = time.process_time()
load_model(sys.argv[1], mission_time=8760)
print(time.process_time() - start)
"""


def _child(arguments: list[str]) -> tuple[float, float, str]:
    """A child process's CPU time (s), peak resident memory (MB) and standard output."""
    with tempfile.TemporaryFile("w+") as out:
        child = subprocess.Popen(arguments, stdout=out, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(child.pid, 0)
        assert child.stderr is not None
        error = child.stderr.read().decode(errors="replace").strip()
        child.stderr.close()
        if os.waitstatus_to_exitcode(status):
            raise SystemExit(f"the child {arguments[1:3]} failed: {error[-300:]}")
        out.seek(0)
        return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, out.read()


def huge_cases(folder: Path, n_gates: int, repeat: int) -> None:
    """The large tree in both formats: load and check in child processes, medians."""
    # The command as installed runs from compiled modules: so do the children, rather than
    # compiling every module at each start where bytecode is not written (0.1 s).
    compileall.compile_dir(Path(tavoq_tools.__file__).parent, quiet=1)
    n_events = n_gates // 2
    elements = n_gates + n_events
    print(
        f"{n_gates:,} gates over {n_events:,} basic events ({elements:,} elements); "
        f"medians of {repeat}, CPU time"
    )
    print(
        f"{'file':<10} {'size':>7}  {'load s':>7} {'us/el':>6}  {'check s':>7} {'us/el':>6}"
        f"  {'peak MB':>7}"
    )
    for label, extension, make in (
        ("Galileo", "dft", huge_galileo),
        ("Open-PSA", "xml", huge_open_psa),
        ("dynamic", "dft", huge_dynamic_galileo),
    ):
        path = folder / f"huge.{extension}"
        text = make(n_gates, n_events, 5)
        path.write_text(text)
        loads, checks, peaks = [], [], []
        for _ in range(repeat):
            _, _, out = _child([sys.executable, "-c", textwrap.dedent(LOAD_CHILD), str(path)])
            loads.append(float(out))
            cpu, peak, _ = _child(
                [sys.executable, "-m", "tavoq_tools", "check", str(path), "--mission-time", "8760"]
            )
            checks.append(cpu)
            peaks.append(peak)
        load, check = statistics.median(loads), statistics.median(checks)
        print(
            f"{label:<10} {len(text) / 2**20:5.1f}MB  {load:7.2f} {load / elements * 1e6:6.1f}"
            f"  {check:7.2f} {check / elements * 1e6:6.1f}  {statistics.median(peaks):7.0f}",
            flush=True,
        )


def large_cases(folder: Path, only: str = "") -> None:
    """Each large model (those whose label holds ``only``) loaded and checked in a child
    process: its CPU time and peak memory."""
    print(f"{'model':<40} {'size':>8}  {'CPU s':>8}  {'peak MB':>8}")
    for label, (text, extension) in LARGE.items():
        if only not in label:
            continue
        path = folder / f"large.{extension}"
        path.write_text(text)
        with open(folder / "stderr", "w+") as stderr:
            child = subprocess.Popen(
                [sys.executable, "-c", textwrap.dedent(CHILD), str(path)], stderr=stderr
            )
            _, status, usage = os.wait4(child.pid, 0)
            child.returncode = os.waitstatus_to_exitcode(status)
            stderr.seek(0)
            error = stderr.read().strip().splitlines()
        cpu = usage.ru_utime + usage.ru_stime
        peak = f"{usage.ru_maxrss / 1024:8.0f}"
        if child.returncode == -signal.SIGXCPU:
            outcome = "  stopped at 300 s of CPU"
        elif child.returncode:
            outcome = "  failed: " + (error or ["?"])[-1][:60]
        else:
            outcome = ""
        size = f"{len(text) / 1024:.0f} KB"
        print(f"{label:<40} {size:>8}  {cpu:8.2f}  {peak}{outcome}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="the large shapes only")
    parser.add_argument("--only", default="", help="with --large: the shapes whose label has this")
    parser.add_argument("--huge", action="store_true", help="the 200,000-gate files only")
    parser.add_argument("--gates", type=int, default=200_000, help="with --huge: the gates")
    parser.add_argument("--repeat", type=int, default=3, help="with --huge: runs of each")
    args = parser.parse_args()
    if args.huge:
        with tempfile.TemporaryDirectory() as folder:
            huge_cases(Path(folder), args.gates, args.repeat)
        return
    if args.large:
        with tempfile.TemporaryDirectory() as folder:
            large_cases(Path(folder), args.only)
        return
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
        path = Path(folder) / "tree.xml"
        path.write_text(open_psa_text(5000, 3))
        load, convert = median_open_psa_seconds(path)
        print(
            f"Open-PSA, 5,000 basic events: load {load:.3f} s, TOML text {convert:.3f} s "
            "(medians of 5, CPU time)"
        )


if __name__ == "__main__":
    main()
