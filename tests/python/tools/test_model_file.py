"""Model files: the loader and its error messages, the Model's native objects, and each
example cross-checked against a matrix written by hand."""

import pickle
import re
import tomllib
from pathlib import Path

import numpy as np
import pytest
from conftest import EXAMPLES_DIVISOR, examples, run_capped
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tavoq
from tavoq_tools import cli
from tavoq_tools.formats.file import load_model, model_from_dict
from tavoq_tools.model.system import Component, Model, ModelError, RunSettings, Transition
from tavoq_tools.output.model_text import describe_model

from . import large_inputs

ROOT = Path(__file__).resolve().parents[3]
EXAMPLES = ROOT / "examples"

BASE = """\
failed_when = "(pump_a and pump_b) or valve"

[simulation]
horizon = 1000
unit = "h"
runs = 50
seed = 3

[components.pump_a]
states = ["running", "degraded", "failed"]

[[components.pump_a.transitions]]
from = "running"
to = "degraded"
distribution = "weibull"
scale = 300
shape = 2

[[components.pump_a.transitions]]
from = "degraded"
to = "failed"
distribution = "exponential"
mttf = 100

[[components.pump_a.transitions]]
from = "failed"
to = "running"
distribution = "uniform"
low = 5
high = 20

[components.pump_b]
states = ["running", "failed"]
transitions = [
  { from = "running", to = "failed", distribution = "exponential", rate = 0.002 },
  { from = "failed", to = "running", distribution = "normal", mean = 30, stddev = 5 },
]

[components.valve]
transitions = [
  { from = "working", to = "failed", distribution = "fixed", at = 700 },
  { from = "failed", to = "working", distribution = "inspection", interval = 250 },
]
"""


def write(tmp_path, text, name="pumps.toml"):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_base_model_loads_as_written(tmp_path):
    model = load_model(write(tmp_path, BASE))
    expected = Model(
        components=(
            Component(
                "pump_a",
                ("running", "degraded", "failed"),
                (
                    Transition("running", "degraded", "weibull", {"scale": 300, "shape": 2}),
                    Transition("degraded", "failed", "exponential", {"mttf": 100}),
                    Transition("failed", "running", "uniform", {"low": 5, "high": 20}),
                ),
            ),
            Component(
                "pump_b",
                ("running", "failed"),
                (
                    Transition("running", "failed", "exponential", {"rate": 0.002}),
                    Transition("failed", "running", "normal", {"mean": 30, "stddev": 5}),
                ),
            ),
            Component(
                "valve",
                transitions=(
                    Transition("working", "failed", "fixed", {"at": 700}),
                    Transition("failed", "working", "inspection", {"interval": 250}),
                ),
            ),
        ),
        simulation=RunSettings(horizon=1000, unit="h", runs=50, seed=3),
        failed_when="(pump_a and pump_b) or valve",
    )
    assert model == expected
    assert pickle.loads(pickle.dumps(model)) == model
    assert model.minimal_cutsets() == [("valve",), ("pump_a", "pump_b")]
    assert model.component_names == ["pump_a", "pump_b", "valve"]


# (text to replace in BASE, replacement, expected message after "pumps.toml: ")
BAD = [
    # TOML syntax, with its line and column
    ("horizon = 1000", "horizon 1000", ["TOML syntax: ", "(at line 4, column 9)"]),
    ('unit = "h"', 'unit = "h', ["TOML syntax: ", "(at line 5, column 10)"]),
    # unknown keys
    (
        "seed = 3",
        "sed = 3",
        'simulation.sed: unknown key "sed" (allowed: horizon, unit, runs, seed, threads, step); '
        'did you mean "seed"?',
    ),
    ("failed_when =", "failed_whenn =", 'failed_whenn: unknown key "failed_whenn"'),
    (
        "[components.valve]",
        '[components.valve]\nstate = ["a", "b"]',
        'components.valve.state: unknown key "state" (allowed: count, description, states, '
        'kinds, standby_pairs, transitions); did you mean "states"?',
    ),
    (
        "mttf = 100",
        "mtbf = 100",
        'components.pump_a.transitions[1].mtbf: unknown parameter of exponential "mtbf" '
        "(parameters: mttf, mean, rate)",
    ),
    # unknown distributions or states
    (
        'distribution = "weibull"',
        'distribution = "weibul"',
        'components.pump_a.transitions[0].distribution: unknown distribution "weibul" '
        "(distributions: exponential, weibull, normal, uniform, inspection, maintenance, fixed, "
        'lognormal, gamma, constant, demand); did you mean "weibull"?',
    ),
    (
        'to = "failed"\ndistribution = "exponential"',
        'to = "broken"\ndistribution = "exponential"',
        'components.pump_a.transitions[1].to: unknown state "broken" '
        "(states: running, degraded, failed)",
    ),
    (
        '{ from = "failed", to = "running", distribution = "normal"',
        '{ from = "failled", to = "running", distribution = "normal"',
        'components.pump_b.transitions[1].from: unknown state "failled" (states: running, '
        'failed); did you mean "failed"?',
    ),
    (
        'from = "degraded"',
        'from = "failed"',
        'components.pump_a.transitions[1]: goes from "failed" to itself',
    ),
    (
        'from = "degraded"\nto = "failed"',
        'from = "running"\nto = "degraded"',
        'components.pump_a.transitions[1]: a second transition from "running" to "degraded" '
        "(the first is transitions[0])",
    ),
    # missing or non-positive parameters
    ("shape = 2", "", "components.pump_a.transitions[0]: missing parameter shape of weibull"),
    (
        "mttf = 100",
        "mttf = 0",
        "components.pump_a.transitions[1].mttf: must be a positive number, got 0",
    ),
    (
        "mttf = 100",
        "mttf = 100\nrate = 0.01",
        "components.pump_a.transitions[1]: exponential needs exactly one of mttf",
    ),
    (
        "scale = 300",
        "scale = -300",
        "components.pump_a.transitions[0].scale: must be a positive number, got -300",
    ),
    ("scale = 300", "scale = inf", "transitions[0].scale: must be a positive number, got inf"),
    ("scale = 300", "scale = true", "transitions[0].scale: must be a positive number, got True"),
    (
        "high = 20",
        "high = 5",
        "components.pump_a.transitions[2].high: must be greater than low (5), got 5",
    ),
    ("low = 5", "low = -1", "transitions[2].low: must be a number >= 0, got -1"),
    (
        "interval = 250",
        "interval = 0",
        "components.valve.transitions[1].interval: must be a positive integer up to 2147483647",
    ),
    ("interval = 250", "interval = 99999999999999999999", "transitions[1].interval: must be a"),
    ("at = 700", "at = -1", "components.valve.transitions[0].at: must be a non-negative integer"),
    (
        'distribution = "weibull"\nscale = 300\nshape = 2',
        'distribution = "maintenance"\ntimes = []',
        "components.pump_a.transitions[0].times: must be a non-empty list of positive integers",
    ),
    (
        'distribution = "weibull"\nscale = 300\nshape = 2',
        'distribution = "maintenance"\ntimes = [10, 0]',
        "components.pump_a.transitions[0].times[1]: must be a positive integer",
    ),
    (
        '{ from = "working", to = "failed", distribution = "fixed", at = 700 }',
        '{ from = "working", to = "failed", distribution = "fixed" }',
        "components.valve.transitions[0]: missing parameter at of fixed",
    ),
    (
        '{ from = "working", to = "failed", distribution = "fixed", at = 700 }',
        '{ from = "working", distribution = "fixed", at = 700 }',
        'components.valve.transitions[0]: missing key "to"',
    ),
    (
        '{ from = "working", to = "failed", distribution = "fixed", at = 700 }',
        '{ from = "working", to = "failed", distrbution = "fixed", at = 700 }',
        'missing key "distribution" (a transition has from, to, distribution and the '
        'distribution\'s parameters); found "distrbution": did you mean "distribution"?',
    ),
    (
        "[components.valve]",
        "[components." + "v" * 101 + "]",
        "a component name is at most 100 characters, got 101",
    ),
    # duplicate names
    (
        'states = ["running", "failed"]',
        'states = ["running", "running"]',
        'components.pump_b.states[1]: duplicate state "running"',
    ),
    (
        "[components.valve]",
        "[components.pump]\ncount = 2\n\n[components.pump_2]\n\n[components.valve]",
        'components.pump_2: duplicate component name "pump_2" (components.pump has it too)',
    ),
    (
        "[components.valve]",
        "[components.valve]\n[components.valve]",
        ["TOML syntax: ", "(at line 40, column 18)"],
    ),
    # Escape sequences would reach the terminal through check and run.
    (
        'states = ["running", "failed"]',
        'states = ["running", "fail\\u001b[2Jed"]',
        "components.pump_b.states[1]: must be one line without control characters",
    ),
    (
        "[components.valve]",
        '[components.valve]\ndescription = "stuck\\u001b[31m"',
        "components.valve.description: must not hold control characters",
    ),
    # A cut set's member given as a table, once a TypeError.
    (
        'failed_when = "(pump_a and pump_b) or valve"',
        "cutsets = [[{a = 1}]]",
        "cutsets[0][0]: must be a component name, got {'a': 1}",
    ),
    (
        "[components.valve]",
        "[components.valve]\ncount = 100001",
        "components.valve.count: must be",
    ),
    ("[components.valve]", '[components."valve 2"]', "components.valve 2: a component name is"),
    ("[components.valve]", "[components.or]", "components.or: a component name is"),
    ("[components.valve]", '[components."val\\nve"]', "components.val\\nve: a component name"),
    ('unit = "h"', 'unit = ["h\\n"]', "simulation.unit: must be a string, got ['h\\n']"),
    # failure logic: unknown components, bad expressions, both or neither form
    (
        'or valve"',
        'or valv"',
        'failed_when: column 24: unknown component "valv" (components: pump_a, pump_b, valve); '
        'did you mean "valve"?',
    ),
    (
        "(pump_a and pump_b) or valve",
        "(pump_a and pump_b) or valve)",
        'failed_when: column 29: expected "and", "or" or the end, found ")"',
    ),
    (
        "(pump_a and pump_b) or valve",
        "pump_a & valve",
        'failed_when: column 8: unexpected character "&"',
    ),
    (
        "(pump_a and pump_b) or valve",
        "atleast(3, pump_a, valve)",
        "failed_when: column 9: atleast needs 1 <= k <= the number of its arguments (2), got 3",
    ),
    (
        'failed_when = "(pump_a and pump_b) or valve"',
        "failed_when = 3",
        "failed_when: must be a string, got int",
    ),
    (
        'failed_when = "(pump_a and pump_b) or valve"',
        'cutsets = [["pump_a", "pump"]]',
        'cutsets[0][1]: unknown component "pump" (components: pump_a, pump_b, valve)',
    ),
    *(
        (
            'failed_when = "(pump_a and pump_b) or valve"',
            f'cutsets = [["valve", {member}]]',
            f"cutsets[0][1]: must be a component name, got {shown}",
        )
        for member, shown in [("{ a = 1 }", "{'a': 1}"), ('["pump_a"]', "['pump_a']"), ("3", "3")]
    ),
    (
        'failed_when = "(pump_a and pump_b) or valve"',
        'cutsets = [["valve"], []]',
        "cutsets[1]: must be a non-empty list of component names, got []",
    ),
    (
        'failed_when = "(pump_a and pump_b) or valve"',
        "",
        "failed_when: give the failure logic one way",
    ),
    (
        'failed_when = "(pump_a and pump_b) or valve"',
        'failed_when = "valve"\ncutsets = [["valve"]]',
        "failed_when: give the failure logic one",
    ),
    # [gates]: named parts of failed_when, one namespace with the components
    *(
        (
            'failed_when = "(pump_a and pump_b) or valve"',
            f'failed_when = "pumps or valve"\n{gates}\n',
            message,
        )
        for gates, message in [
            (
                '[gates]\npumps = "pump_a and pumpb"',
                "gates.pumps: column 12: unknown component "
                'or gate "pumpb" (names: pump_a, pump_b, valve, pumps); did you mean "pump_b"?',
            ),
            (
                '[gates]\npumps = "pump_a and feed"\nfeed = "valve or pumps"',
                "gates.pumps: the gates form a cycle: gates.pumps -> gates.feed -> gates.pumps",
            ),
            ('[gates]\npumps = "pump_a and"', "gates.pumps: column 11: expected a component"),
            (
                '[gates]\npumps = "pump_a"\nvalve = "pump_b"',
                'gates.valve: "valve" is a component already',
            ),
            ("[gates]\npumps = 3", "gates.pumps: must be a string, got int"),
            ('[gates.pumps]\nx = "pump_a"', "gates.pumps: must be a string, got dict"),
            ('gates = ["pump_a"]', "gates: must be a table (gate names and expressions)"),
            (
                '[gates]\npump = "pump_a and pump_b"',
                "failed_when: column 1: unknown component or "
                'gate "pumps" (names: pump_a, pump_b, valve, pump); did you mean "pump"?',
            ),
        ]
    ),
    (
        'failed_when = "(pump_a and pump_b) or valve"',
        'cutsets = [["valve"]]\n[gates]\npumps = "pump_a and pump_b"\n',
        "gates: gates are named for failed_when; with cutsets they would never be used",
    ),
    # horizon and runs are positive integers
    ("horizon = 1000", "horizon = 0", "simulation.horizon: must be a positive integer up to "),
    ("horizon = 1000", "horizon = 10.5", "simulation.horizon: must be a positive integer"),
    ("horizon = 1000", "horizon = 4294967296", "simulation.horizon: must be a positive integer"),
    ("horizon = 1000", "", "simulation.horizon: missing"),
    (
        "runs = 50",
        "runs = -5",
        "simulation.runs: must be a positive integer up to 2147483647, got -5",
    ),
    ("seed = 3", "seed = 2147483648", "simulation.seed: must be an integer from -2147483648"),
    ("seed = 3", "seed = 3\nthreads = 0", "simulation.threads: must be a positive integer"),
    ("[simulation]", "[simulatio]", 'simulatio: unknown key "simulatio"'),
    # Shown within lines of the report and of tavoq check: one line each.
    ('unit = "h"', 'unit = "h\\nRan 0 runs"', "simulation.unit: must be one line"),
    ("failed_when", 'name = "pumps\\r"\nfailed_when', "name: must be one line"),
    # Python refuses integers of thousands of digits; tomllib passes the ValueError on.
    (
        "seed = 3",
        "seed = " + "1" * 5000,
        "TOML value: an integer of thousands of digits is too large",
    ),
    (
        "failed_when",
        'description = "two pumps\\u009b31m"\nfailed_when',
        "description: must not hold control characters",
    ),
    (
        'failed_when = "(pump_a and pump_b) or valve"',
        'failed_when = "atleast(' + "1" * 5000 + ', pump_a, valve)"',
        "failed_when: column 9: atleast needs 1 <= k <= the number of its arguments (2)",
    ),
]


@pytest.mark.parametrize(("old", "new", "message"), BAD, ids=[str(m) for _, _, m in BAD])
def test_bad_model_file_names_file_key_and_what_is_allowed(tmp_path, old, new, message):
    assert BASE.count(old) == 1, "the case must change one place of the base model"
    path = write(tmp_path, BASE.replace(old, new))
    with pytest.raises(ModelError) as caught:
        load_model(path)
    text = str(caught.value)
    assert text.startswith(f"{path}: "), text
    for fragment in [message] if isinstance(message, str) else message:
        assert fragment in text
    assert "\n" not in text


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (None, "cannot read the file: No such file or directory"),
        (b"\xef\xbb\xbf" + b"x = 1\n", 'x: unknown key "x"'),  # a BOM is fine
        (b"\xef\xbb\xbf" + b"x = \xff", "not UTF-8 text (byte 7)"),  # counted in the file
        (b"\xff\xfe = 1", "not UTF-8 text (byte 0)"),
        (b"x = " + b"[" * 5000 + b"]" * 5000, "TOML syntax"),
        (b"", "simulation: missing table [simulation]"),
        (b"[simulation]\nhorizon = 5\n", "components: missing"),
        (b"simulation = 5\n", "simulation: must be a table"),
    ],
)
def test_unreadable_or_empty_files(tmp_path, content, message):
    path = tmp_path / "m.toml"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(ModelError, match=re.escape(message)):
        load_model(path)


def test_an_endless_file_is_refused_without_reading_it_all(tmp_path):
    # /dev/zero has no end: it must be refused before it is read.
    with pytest.raises(ModelError, match=r"^/dev/zero: the file is larger than 64 MiB"):
        load_model("/dev/zero")
    assert cli.main(["check", "/dev/zero"]) == 2


# Shapes whose trigger checks grew with the square of their size, or faster: each is loaded
# under run_capped's caps, which the square (gigabytes, or minutes) exceeds by far.
# (generator, its arguments, file extension, what to count, its count)
LARGE = {
    # 20 layers of 23 components, each failure moving the next layer: 23^19 chains of triggers
    "layered-triggers": ("layered_triggers", (20, 23), "toml", "len(model.triggers)", 19 * 23),
    # 10,000 fdep, each failing the next event: 5e7 pairs of triggers set off one another
    "fdep-cascade": ("galileo_fdep_cascade", (10_000,), "dft", "len(model.triggers)", 9_999),
    # one trigger on the top of a chain of 10,000 gates, each above 2 to 10,001 components
    "trigger-on-a-chain": ("gate_chain", (10_000, "or", True), "toml", "len(model.triggers)", 1),
    # 10,000 pairs of components failing each other at the foot of a chain of 40,000 gates:
    # 10,000 closed chains, each below up to 40,000 gates it cannot turn back
    "pairs-below-a-chain": (
        "trigger_pairs",
        (40_000, 10_000),
        "toml",
        "len(model.triggers)",
        20_000,
    ),
    # 50,000 spare gates each the spare of the one before: 50,000 spare modules
    "nested-spares": (
        "galileo_nested_spares",
        (50_000,),
        "dft",
        "len(model.interaction_layout.modules)",
        50_000,
    ),
    # a trigger moving a group of 60,000 components, each under 2 of the 60,003 nodes
    "trigger-on-a-group": (
        "group_trigger",
        (60_000,),
        "toml",
        "len(model.interaction_layout.triggers[0][2])",
        60_000,
    ),
}


@pytest.mark.skipif(
    EXAMPLES_DIVISOR > 1, reason="a measure of memory, which the sanitizers inflate"
)
@pytest.mark.parametrize("make, args, extension, measure, count", LARGE.values(), ids=list(LARGE))
def test_large_trigger_sets_load_within_linear_memory(
    tmp_path, make, args, extension, measure, count
):
    path = tmp_path / f"model.{extension}"
    path.write_text(getattr(large_inputs, make)(*args))
    result = run_capped(
        f"""
        from tavoq_tools.formats.file import load_model

        model = load_model({str(path)!r}, mission_time=100 if {extension!r} == "dft" else None)
        print({measure})
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert int(result.stdout) == count


@pytest.mark.parametrize("extra", [0, 1], ids=["at-the-limit", "past-it"])
def test_a_file_past_the_size_limit_is_refused_unread(tmp_path, extra):
    from tavoq_tools.formats.file import MAX_FILE_BYTES

    # A valid model padded with a comment up to the limit (sparse: no disk space taken).
    path = write(tmp_path, BASE + "#")
    with open(path, "r+b") as stream:
        stream.truncate(MAX_FILE_BYTES + extra)
    if extra:
        with pytest.raises(ModelError, match="the file is larger than 64 MiB: not a model file"):
            load_model(path)
    else:
        with pytest.raises(ModelError, match="TOML syntax"):  # a NUL byte inside the comment
            load_model(path)


def test_descriptions_may_span_lines(tmp_path):
    text = BASE.replace("failed_when", 'description = """Two pumps,\n\tone valve."""\nfailed_when')
    assert load_model(write(tmp_path, text)).description == "Two pumps,\n\tone valve."


def test_an_empty_path_is_named_as_such():
    with pytest.raises(ModelError, match="^no model file named: the path is empty$"):
        load_model("")


def test_count_expands_names_and_the_logic_must_name_members(tmp_path):
    text = BASE.replace(
        "[components.valve]", "[components.sensor]\ncount = 3\n\n[components.valve]"
    )
    ok = text.replace(
        '"(pump_a and pump_b) or valve"', '"valve or atleast(2, sensor_1, sensor_2, sensor_3)"'
    )
    model = load_model(write(tmp_path, ok))
    assert model.component_names == [
        "pump_a",
        "pump_b",
        "sensor_1",
        "sensor_2",
        "sensor_3",
        "valve",
    ]
    assert model.minimal_cutsets() == [
        ("valve",),
        ("sensor_1", "sensor_2"),
        ("sensor_1", "sensor_3"),
        ("sensor_2", "sensor_3"),
    ]
    group = text.replace('"(pump_a and pump_b) or valve"', '"valve or sensor"')
    with pytest.raises(
        ModelError, match='column 10: "sensor" is a group: count = 3 makes sensor_1 .. sensor_3'
    ):
        load_model(write(tmp_path, group))


def test_documented_example_loads(tmp_path):
    text = (ROOT / "docs" / "model-format.md").read_text()
    block = re.search(r"```toml\n(.*?)```", text, re.S).group(1)
    model = load_model(write(tmp_path, block))
    assert model.minimal_cutsets() == [("valve",), ("pump_a", "pump_b")]


def test_build_keeps_each_components_states_and_stores_the_minimal_cutsets(tmp_path):
    model = load_model(write(tmp_path, BASE))
    matrix, tree, interactions = model.build()
    assert interactions is None
    # runnerStatistics reads the matrix ragged: each component its own number of states.
    assert [len(c) for c in matrix] == [3, 2, 2]
    assert all(len(row) == len(c) for c in matrix for row in c)
    # Square, for the classic runners: pump_b's and the valve's third state is padding,
    # never entered.
    matrix = model.matrix(square=True)
    assert [len(c) for c in matrix] == [3, 3, 3]
    assert all(len(row) == 3 for c in matrix for row in c)
    for c in (matrix[1], matrix[2]):
        assert all(type(c[i][2]) is tavoq.Distribution for i in range(3))
        assert all(type(d) is tavoq.Distribution for d in c[2])
    # The logic runs as a FaultTree: the top, plus an observer gate per minimal cut set.
    assert isinstance(tree, tavoq.FaultTree) and tree.nComponents == 3
    layout = model.logic_layout
    assert sorted(label for label, _ in layout.cutset_gates) == ["pump_a & pump_b", "valve"]
    for failed in ([0, 0, 1], [1, 1, 0], [1, 0, 0], [0, 1, 0]):
        assert tree.evaluate(failed) == (failed[2] == 1 or failed[:2] == [1, 1])
    classic = model.cutset_tree()
    assert sorted(model.cutset_names(classic)) == ["pump_a & pump_b", "valve"]
    vectors = {tuple(v + [0] * (3 - len(v))) for v in classic.getCutsets()}
    assert vectors == {(0, 0, 1), (1, 1, 0)}


def test_a_large_component_does_not_pad_the_small_ones():
    # One large component beside many two-state pumps: every pump was padded to its size
    # (200 states beside 1,000 pumps made 40 million cells, 8 GB); each keeps its own table.
    states = [f"s{i}" for i in range(60)]
    big = {
        "states": states,
        "transitions": [
            {"from": a, "to": b, "distribution": "exponential", "mttf": 50}
            for a, b in zip(states, states[1:] + states[:1], strict=True)
        ],
    }
    pump = {
        "count": 300,
        "states": ["running", "failed"],
        "transitions": [
            {"from": "running", "to": "failed", "distribution": "exponential", "mttf": 900},
            {"from": "failed", "to": "running", "distribution": "exponential", "mttf": 9},
        ],
    }
    model = model_from_dict(
        {
            "failed_when": "big or (pump_1 and pump_2)",
            "simulation": {"horizon": 200, "runs": 20, "seed": 5},
            "components": {"big": big, "pump": pump},
        }
    )
    matrix, tree, _ = model.build()
    assert sum(len(row) for c in matrix for row in c) == 60 * 60 + 300 * 4
    stats = tavoq.runnerStatistics(20, 200, matrix, tree, 5)
    assert stats.componentFailures[0] > 0 and stats.componentFailures[1:].sum() > 0


# ------------------------------------------------------------- examples against hand-made matrices

never = tavoq.Distribution


def pumping_station():
    # Each component with its own number of states, as runnerStatistics reads the matrix.
    pump = [[never(), tavoq.Weibull(3000.0, 2.5)], [tavoq.Uniform(24.0, 96.0), never()]]
    valve = [[never(), tavoq.Exponential(1 / 20000)], [tavoq.Inspection(730), never()]]
    control = [
        [never(), tavoq.Maintenance([1750, 2000, 2250]), tavoq.Weibull(5000.0, 3.0)],
        [tavoq.Uniform(8.0, 16.0), never(), never()],
        [tavoq.Normal(96.0, 24.0), never(), never()],
    ]
    cutsets = [[1, 1, 0, 0, 0], [1, 0, 1, 0, 0], [0, 1, 1, 0, 0], [0, 0, 0, 1, 0], [0, 0, 0, 0, 1]]
    return [pump, pump, pump, valve, control], cutsets


def sensor_array():
    transmitter = [[never(), tavoq.Exponential(5e-5)], [tavoq.Inspection(4380), never()]]
    return [transmitter] * 3, [[1, 1, 0], [1, 0, 1], [0, 1, 1]]


def scheduled_maintenance():
    compressor = [
        [never(), tavoq.Maintenance([1500, 1750, 2000]), tavoq.Weibull(4000.0, 3.0)],
        [tavoq.Uniform(24.0, 72.0), never(), never()],
        [tavoq.Exponential(1 / 240), never(), never()],
    ]
    cooling = [[never(), tavoq.Exponential(1 / 8000)], [tavoq.Exponential(1 / 24), never()]]
    return [compressor, cooling], [[1, 0], [0, 1]]


@pytest.mark.parametrize(
    ("name", "hand_made"),
    [
        ("pumping_station", pumping_station),
        ("sensor_array", sensor_array),
        ("scheduled_maintenance", scheduled_maintenance),
    ],
)
def test_example_matches_a_hand_made_matrix(name, hand_made):
    model = load_model(EXAMPLES / f"{name}.toml")
    matrix, tree, interactions = model.build()
    hand_matrix, hand_cutsets = hand_made()
    hand_tree = tavoq.CutsetTree(len(hand_matrix))
    hand_tree.constructTree(hand_cutsets)
    runs, horizon, seed = 300, model.simulation.horizon, model.simulation.seed
    if name == "pumping_station":
        # The control unit's maintenance is a planned stop: its only interaction.
        hand = tavoq.Interactions(len(hand_matrix))
        hand.setStateKinds(4, [0, 2, 1])
        ours = tavoq.runnerStatistics(runs, horizon, matrix, tree, seed, interactions=interactions)
        hand_tree = model.logic_graph.to_native()  # interactions need the gate graph
        theirs = tavoq.runnerStatistics(
            runs, horizon, hand_matrix, hand_tree, seed, interactions=hand
        )
        assert ours.plannedDowntime.sum() > 0
        np.testing.assert_array_equal(ours.plannedRuns, theirs.plannedRuns)
    else:
        assert interactions is None
        ours = tavoq.runnerStatistics(runs, horizon, matrix, tree, seed)
        theirs = tavoq.runnerStatistics(runs, horizon, hand_matrix, hand_tree, seed)
    assert ours.failedRuns.sum() > 0  # the comparison sees failures
    for field in (
        "failedRuns",
        "firstFailures",
        "systemFailures",
        "downtime",
        "componentDowntime",
        "componentFailures",
        "triggeredFailures",
    ):
        np.testing.assert_array_equal(getattr(ours, field), getattr(theirs, field), err_msg=field)
    if name == "pumping_station":
        return  # its hand-made logic is a gate graph, without cut sets of its own
    # Cut sets by content: our observer gates against the hand-made tree's cut sets.
    ours_by_set = {
        label: int(ours.gateTriggered[g]) for label, g in model.logic_layout.cutset_gates
    }
    theirs_by_set = dict(
        zip(model.cutset_names(hand_tree), map(int, theirs.cutsetFailures), strict=True)
    )
    assert ours_by_set == theirs_by_set


# ---------------------------------------------------------------------------------------
# Fuzzing: whatever the file holds, the loader answers with a Model or a ModelError, and the
# command refuses a bad file with exit code 2 without writing anything.

FUZZ = settings(
    derandomize=True,
    max_examples=examples(120),
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)

ODD_VALUES = st.one_of(
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([0, -1, 2**31 - 1, 2**31, 2**63, float("nan"), float("inf"), -0.0, 1e308]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=12),
    st.sampled_from(["pump_a", "valve", "failed", "running", "weibull", "atleast(2, x)", "("]),
    st.booleans(),
    st.lists(st.integers(min_value=-5, max_value=5), max_size=3),
    st.dictionaries(st.sampled_from(["from", "to", "x"]), st.integers(), max_size=2),
)


def key_paths(node, prefix=()):
    """Every path to a value in a parsed model document."""
    items = node.items() if isinstance(node, dict) else enumerate(node)
    for key, value in items:
        yield (*prefix, key)
        if isinstance(value, (dict, list)):
            yield from key_paths(value, (*prefix, key))


def loads_or_refuses(load):
    try:
        model = load()
    except ModelError as err:
        assert "\n" not in str(err)
        return None
    model.build()  # a model that loads must also build
    return model


@FUZZ
@given(data=st.data())
def test_edited_documents_load_or_raise_model_error(data):
    document = tomllib.loads(BASE)
    paths = list(key_paths(document))
    for _ in range(data.draw(st.integers(1, 3))):
        path = data.draw(st.sampled_from(paths))
        parent = document
        try:
            for key in path[:-1]:
                parent = parent[key]
            action = data.draw(st.sampled_from(["replace", "delete", "add"]))
            if action == "replace":
                parent[path[-1]] = data.draw(ODD_VALUES)
            elif action == "delete":
                del parent[path[-1]]
            elif isinstance(parent, dict):
                parent[data.draw(st.text(min_size=1, max_size=8))] = data.draw(ODD_VALUES)
        except (KeyError, IndexError, TypeError):
            pass  # an earlier edit removed or replaced what this one aimed at
    loads_or_refuses(lambda: model_from_dict(document, "fuzz.toml"))


@FUZZ
@given(
    edits=st.lists(
        st.tuples(st.integers(0, len(BASE)), st.integers(0, 3), st.text(max_size=3)),
        min_size=1,
        max_size=4,
    )
)
def test_damaged_files_load_or_raise_model_error_and_the_command_writes_nothing(
    tmp_path_factory, edits
):
    text = BASE
    for at, cut, insert in edits:
        text = text[:at] + insert + text[at + cut :]
    folder = tmp_path_factory.mktemp("fuzz")
    path = folder / "pumps.toml"
    path.write_text(text, encoding="utf-8", errors="surrogatepass")
    if loads_or_refuses(lambda: load_model(path)) is None:
        out = folder / "out"
        assert (
            cli.main(["run", str(path), "--out", str(out), "--plot", str(folder / "plot.png")])
            == 2
        )
        assert not out.exists() and not (folder / "plot.png").exists()


GATES = BASE.replace(
    'failed_when = "(pump_a and pump_b) or valve"',
    'failed_when = "no_flow or valve"\n\n[gates]\nno_flow = "pump_a and pump_b"',
)


def test_gates_give_the_same_logic_as_the_expression(tmp_path):
    plain = load_model(write(tmp_path, BASE))
    gated = load_model(write(tmp_path, GATES))
    assert gated.gates == {"no_flow": "pump_a and pump_b"}
    assert gated.minimal_cutsets() == plain.minimal_cutsets() == [("valve",), ("pump_a", "pump_b")]
    layout = gated.logic_layout
    assert [name for name, _ in layout.named_gates] == ["no_flow"]
    assert [label for label, _ in layout.cutset_gates] == ["valve", "pump_a & pump_b"]
    assert "with the gates no_flow = pump_a and pump_b" in describe_model(gated)
    # The model travels to other processes as data.
    assert pickle.loads(pickle.dumps(gated)).minimal_cutsets() == gated.minimal_cutsets()


def tamper(model, how):
    """``model`` with a field changed behind its checks, as a doctored pickle would hold it."""
    if how == "runs":
        object.__setattr__(model.simulation, "runs", -5)
    elif how == "logic":
        object.__setattr__(model, "failed_when", "nobody")
    elif how == "state":
        pump = model.components[0]
        object.__setattr__(
            pump, "transitions", (Transition("running", "lost", "fixed", {"at": 1}),)
        )
    else:  # the derived logic: a graph that never fails the system
        never = Model(components=(Component("x"),), simulation=model.simulation, failed_when="x")
        object.__setattr__(model, "_graph", never.logic_graph)
    return model


@pytest.mark.parametrize(
    ("how", "message"),
    [
        ("runs", "simulation.runs: must be a positive integer up to 2147483647, got -5"),
        ("logic", 'failed_when: column 1: unknown component "nobody"'),
        ("state", 'components.pump_a.transitions[0].to: unknown state "lost"'),
        ("derived", None),
    ],
)
def test_a_pickled_model_is_checked_again_when_unpickled(tmp_path, how, message):
    from tavoq_tools.run.simulate import simulate

    honest = load_model(write(tmp_path, BASE))
    doctored = pickle.dumps(tamper(load_model(write(tmp_path, BASE)), how))
    if message is not None:
        with pytest.raises(ModelError, match=re.escape(message)):
            pickle.loads(doctored)
        return
    # What is derived from the fields is derived again, not taken from the pickle.
    model = pickle.loads(doctored)
    assert model == honest
    ran, expected = simulate(model, runs=20), simulate(honest, runs=20)
    assert expected.downtime.sum() > 0
    assert np.array_equal(ran.downtime, expected.downtime)


def big_logic(expression, components):
    return BASE.replace('"(pump_a and pump_b) or valve"', f'"{expression}"').replace(
        "[components.valve]", f"[components.c]\ncount = {components}\n\n[components.valve]"
    )


def test_logic_of_many_minimal_cut_sets_loads_and_says_how_many(tmp_path):
    # Refused while the logic was expanded into its minimal cut sets: C(30, 5) = 142,506.
    names = ", ".join(f"c_{i}" for i in range(1, 31))
    model = load_model(write(tmp_path, big_logic(f"atleast(5, {names})", 30)))
    assert model.cutset_count.exact == 142_506
    assert "(142,506 minimal cut sets)" in describe_model(model)
    assert model.logic_layout.cutset_gates is None
    assert "more than the 10,000 a table shows" in model.logic_layout.cutset_note
    with pytest.raises(ModelError, match="142,506 minimal cut sets: more than the 100,000"):
        model.minimal_cutsets()
    with pytest.raises(ModelError, match="more than the 100,000"):
        model.cutset_tree()
    smallest, complete = model.smallest_cutsets(3)
    assert complete and smallest == [
        ("c_1", "c_2", "c_3", "c_4", "c_5"),
        ("c_1", "c_2", "c_3", "c_4", "c_6"),
        ("c_1", "c_2", "c_3", "c_4", "c_7"),
    ]


def test_cutset_tree_holds_the_minimal_cutsets(tmp_path):
    for text in (BASE, GATES):
        model = load_model(write(tmp_path, text))
        tree = model.cutset_tree()
        assert sorted(model.cutset_names(tree)) == ["pump_a & pump_b", "valve"]
