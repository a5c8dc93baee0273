"""Kinds, crews, standby groups, common causes and triggers: read from a file, checked,
laid out by index and handed to the engine as a tavoq.Interactions."""

import math
import tomllib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tavoq
import tavoq_tools as tt
from tavoq_tools.errors import ModelError
from tavoq_tools.formats.file import model_from_dict
from tavoq_tools.model import Component, Model, RunSettings, Simulation, Transition
from tavoq_tools.model.interactions import CrewPool
from tavoq_tools.output.model_text import check_text

from .test_model_file import FUZZ, ODD_VALUES, key_paths, loads_or_refuses

PLANT = """
failed_when = "pumps or power or atleast(2, sensor_1, sensor_2, sensor_3)"

[simulation]
horizon = 1000
unit = "h"
runs = 100

[crews.mechanics]
count = 2

[components.pump_a]
states = ["running", "standby", "failed", "no_power", "overhaul"]
kinds = { standby = "working", overhaul = "planned" }
transitions = [
  { from = "running", to = "failed", distribution = "exponential", mttf = 500 },
  { from = "failed", to = "running", distribution = "lognormal", mean = 24, sd = 8, crew = "mechanics" },
  { from = "running", to = "overhaul", distribution = "constant", delay = 400 },
  { from = "overhaul", to = "running", distribution = "constant", delay = 8 },
]

[components.pump_b]
states = ["running", "standby", "failed", "no_power"]
kinds = { standby = "working" }
transitions = [
  { from = "running", to = "failed", distribution = "exponential", mttf = 500 },
  { from = "failed", to = "running", distribution = "gamma", shape = 2, mean = 24, crew = "mechanics", priority = 1 },
]

[components.power]
states = ["on", "off"]
transitions = [
  { from = "on", to = "off", distribution = "exponential", mttf = 2000 },
  { from = "off", to = "on", distribution = "exponential", mean = 5 },
]

[components.sensor]
count = 3
transitions = [
  { from = "working", to = "failed", distribution = "exponential", mttf = 1000 },
  { from = "failed", to = "working", distribution = "exponential", mean = 10 },
]

[[triggers]]
when = "power"
fails = true
move = [{ components = ["pump_a", "pump_b"], from = ["running", "standby"], to = "no_power" }]

[[triggers]]
when = "power"
restored = true
move = [{ components = ["pump_a", "pump_b"], from = "no_power", to = "standby" }]

[standby.pumps]
units = ["pump_a", "pump_b"]
active = "running"
standby = "standby"
switch_failure = 0.01
switch_failed = "failed"

[common_cause.sensors]
members = ["sensor"]
beta = 0.05
to = "failed"
"""


def load(text=PLANT, replace=()):
    for old, new in replace:
        assert old in text, old
        text = text.replace(old, new, 1)
    return model_from_dict(tomllib.loads(text), "plant.toml")


class FakeInteractions:
    """Records the calls Model.build() makes, in order, and answers as the engine does."""

    def __init__(self, n):
        self.calls = [("Interactions", n)]
        self.n = n
        self.groups = 0

    def __getattr__(self, name):
        def record(*args):
            self.calls.append((name, *args))
            if name == "addStandbyGroup":
                self.groups += 1
                return self.n + self.groups - 1
            return len(self.calls)

        return record


def test_the_plant_is_laid_out_by_index():
    model = load()
    plant = model.interaction_layout
    # The names callers may hold stay: Model.plant, and Simulation for the run settings.
    assert model.plant is plant and Simulation is RunSettings
    # pump_a 0, pump_b 1, power 2, sensor_1..3 3..5; each with the kinds of its own states.
    assert plant.kinds == {0: (0, 0, 1, 1, 2), 1: (0, 0, 1, 1)}  # each its own states
    assert plant.groups == (((0, 1), (0, 0), (1, 1), (2, 2), 0.01, True),)
    ((name, params, members, targets),) = plant.common_causes
    assert (name, members, targets) == ("exponential", (3, 4, 5), (1, 1, 1))
    assert params["rate"] == pytest.approx(0.05 / 1000)
    assert plant.rate_factors == {(c, 0, 1): pytest.approx(0.95) for c in (3, 4, 5)}
    assert plant.pools == (2,)
    assert plant.crews == ((0, 2, 0, 0), (1, 2, 0, 1))
    assert plant.triggers == (
        (2, True, ((0, (0, 1), 3), (1, (0, 1), 3)), 1.0),
        (2, False, ((0, (3,), 1), (1, (3,), 1)), 1.0),
    )
    assert plant.has_planned and model.has_interactions


def test_a_beta_factor_leaves_each_member_the_rest_of_its_rate():
    matrix = load().matrix()
    for sensor in matrix[3:6]:
        shared = sensor[0][1].quantile(0.5, 0)
        assert shared == pytest.approx(math.log(2) / (0.95 / 1000), rel=1e-12)
    # The pumps keep their own rates.
    assert matrix[0][0][2].quantile(0.5, 0) == pytest.approx(math.log(2) * 500, rel=1e-12)


def test_a_group_is_a_leaf_of_the_logic_after_the_components():
    model = load()
    assert model.logic_names[-1] == "pumps"
    assert ("pumps",) in model.minimal_cutsets()
    graph = model.logic_graph
    assert graph.n_components == 7
    failed = [False] * 7
    failed[6] = True  # the group down alone fails the system
    assert graph.evaluate(failed)


def test_a_gate_may_be_watched_and_name_the_group():
    model = load(
        replace=[
            ('failed_when = "pumps or power', 'failed_when = "no_flow or power'),
            ("[simulation]", '[gates]\nno_flow = "pumps"\n\n[simulation]'),
            ('when = "power"\nfails', 'when = "no_flow"\nfails'),
        ]
    )
    n_leaves = 7
    gate = model.logic_graph.gate_index("no_flow")
    assert model.interaction_layout.triggers[0][0] == n_leaves + gate


def test_build_hands_the_engine_every_construct(monkeypatch):
    monkeypatch.setattr(tavoq, "Interactions", FakeInteractions, raising=False)
    matrix, tree, interactions = load().build()
    assert len(matrix) == 6 and tree.nComponents == 7
    calls = interactions.calls
    assert calls[0] == ("Interactions", 6)
    assert ("setStateKinds", 0, [0, 0, 1, 1, 2]) in calls
    assert ("addStandbyGroup", [0, 1], [0, 0], [1, 1], [2, 2], 0.01, True) in calls
    (cause,) = [c for c in calls if c[0] == "addCommonCause"]
    assert isinstance(cause[1], tavoq.Exponential) and cause[2:] == ([3, 4, 5], [1, 1, 1])
    assert ("addCrewPool", 2) in calls
    assert ("setCrew", 1, 2, 0, 1) in calls
    triggers = [c for c in calls if c[0] == "addTrigger"]
    assert triggers == [
        ("addTrigger", 2, True, [(0, [0, 1], 3), (1, [0, 1], 3)], 1.0),
        ("addTrigger", 2, False, [(0, [3], 1), (1, [3], 1)], 1.0),
    ]
    # Groups exist before the triggers that may watch them.
    names = [c[0] for c in calls]
    assert names.index("addStandbyGroup") < names.index("addTrigger")


@pytest.mark.parametrize("kinds", [{}, {"failed": "failed"}, {"overhaul": "planned"}])
def test_only_a_kind_other_than_the_default_needs_interactions(kinds, monkeypatch):
    monkeypatch.setattr(tavoq, "Interactions", FakeInteractions, raising=False)
    pump = Component(
        "pump",
        states=("running", "failed", "overhaul"),
        kinds=kinds,
        transitions=(Transition("running", "overhaul", "constant", {"delay": 5}),),
    )
    model = Model((pump,), RunSettings(horizon=10), failed_when="pump")
    assert model.has_interactions == ("overhaul" in kinds)
    assert (model.build()[2] is None) == ("overhaul" not in kinds)


def test_check_lists_every_construct():
    text = check_text(load(), "plant.toml")
    for line in (
        "pump_a: states running, standby (working), failed, no_power, overhaul (planned)",
        "failed -> running: lognormal, mean 24 h, sd 8 h, by a crew of mechanics",
        "mechanics: 2 crews",
        "pumps: pump_a, pump_b (in this order); active running, standby standby",
        "sensors: sensor -> failed; beta 0.05 of the members' failure rate",
        "when power fails:",
        "when power is restored:",
        "move pump_a, pump_b from running, standby to no_power",
    ):
        assert line in text


def test_the_classic_runners_refuse_a_model_with_interactions():
    with pytest.raises(ModelError, match="need runnerStatistics"):
        load().cutset_tree()


# (replacements in PLANT, key of the error, a fragment of its message)
BAD = {
    "trigger-unknown-to-state": (
        [('from = "no_power", to = "standby"', 'from = "no_power", to = "stanby"')],
        "triggers[1].move[0].to",
        'unknown state of pump_a "stanby" (states: running, standby, failed, no_power, '
        'overhaul); did you mean "standby"?',
    ),
    "trigger-unknown-from-state": (
        [('from = ["running", "standby"]', 'from = ["running", "overhaul"]')],
        "triggers[0].move[0].from[1]",
        'unknown state of pump_b "overhaul"',
    ),
    "trigger-unknown-source": (
        [('when = "power"\nfails', 'when = "powr"\nfails')],
        "triggers[0].when",
        'unknown component, gate or standby group "powr"',
    ),
    "trigger-fails-and-restored": (
        [("fails = true", "fails = true\nrestored = true")],
        "triggers[0]",
        "give fails = true",
    ),
    "trigger-fails-false": ([("fails = true", "fails = false")], "triggers[0]", "fails = false"),
    "cause-on-demand": (
        [("beta = 0.05", 'distribution = "demand"\nprobability = 0.1')],
        "common_cause.sensors.distribution",
        "a common cause cannot be on demand",
    ),
    "trigger-probability-out-of-range": (
        [("fails = true", "fails = true\nprobability = 1.5")],
        "triggers[0].probability",
        "must be a number in [0, 1], got 1.5",
    ),
    "trigger-probability-not-a-number": (
        [("fails = true", 'fails = true\nprobability = "half"')],
        "triggers[0].probability",
        "must be a number in [0, 1]",
    ),
    "trigger-unknown-key": (
        [("fails = true", "fails = true\nmovee = []")],
        "triggers[0].movee",
        'did you mean "move"?',
    ),
    "unit-in-two-groups-with-other-states": (
        [
            (
                "[common_cause.sensors]",
                '[standby.spare]\nunits = ["pump_a"]\nactive = "standby"\nstandby = "running"\n\n'
                "[common_cause.sensors]",
            )
        ],
        "standby.spare.units[0]",
        'unit "pump_a" is in standby.pumps too, with active = "running" and standby = "standby"',
    ),
    "crew-never-defined": (
        [('mean = 24, sd = 8, crew = "mechanics"', 'mean = 24, sd = 8, crew = "mechanic"')],
        "components.pump_a.transitions[1].crew",
        'unknown crew pool "mechanic" (crews: mechanics); did you mean "mechanics"?',
    ),
    "crew-count-zero": ([("count = 2", "count = 0")], "crews.mechanics.count", "positive"),
    "crew-unknown-key": (
        [("count = 2", "cout = 2")],
        "crews.mechanics.cout",
        'did you mean "count"?',
    ),
    "beta-one": ([("beta = 0.05", "beta = 1.0")], "common_cause.sensors.beta", "in [0, 1)"),
    "beta-negative": ([("beta = 0.05", "beta = -0.1")], "common_cause.sensors.beta", "[0, 1)"),
    "beta-text": ([("beta = 0.05", 'beta = "0.05"')], "common_cause.sensors.beta", "[0, 1)"),
    "cause-unknown-target-state": (
        [('members = ["sensor"]', 'members = ["sensor", "power"]')],
        "common_cause.sensors.to",
        'unknown state of power "failed" (states: on, off)',
    ),
    "cause-unknown-member": (
        [('members = ["sensor"]', 'members = ["sensr"]')],
        "common_cause.sensors.members[0]",
        'unknown component "sensr"',
    ),
    "beta-not-exponential": (
        [
            (
                'to = "failed", distribution = "exponential", mttf = 1000',
                'to = "failed", distribution = "weibull", scale = 1000, shape = 2',
            )
        ],
        "common_cause.sensors.beta",
        "beta needs exponential failures: sensor_1 has a transition that is not exponential",
    ),
    "beta-unequal-rates": (
        [
            ('members = ["sensor"]', 'members = ["sensor", "odd"]'),
            (
                "[common_cause.sensors]",
                '[components.odd]\ntransitions = [{ from = "working", to = "failed", '
                'distribution = "exponential", mttf = 900 }]\n\n[common_cause.sensors]',
            ),
        ],
        "common_cause.sensors.beta",
        "beta needs one failure rate for all members: odd fails at rate 0.00111111",
    ),
    "member-in-two-beta-groups": (
        [
            (
                "[common_cause.sensors]",
                '[common_cause.pair]\nmembers = ["sensor_1", "sensor_2"]\nbeta = 0.1\nto = "failed"\n\n[common_cause.sensors]',
            )
        ],
        "common_cause.sensors.members[0]",
        "sensor_1 is in common_cause.pair with beta already",
    ),
    "beta-and-distribution": (
        [("beta = 0.05", 'beta = 0.05\ndistribution = "exponential"\nmttf = 10')],
        "common_cause.sensors",
        "not both",
    ),
    "cause-unknown-key": (
        [("beta = 0.05", "betta = 0.05")],
        "common_cause.sensors.betta",
        'did you mean "beta"?',
    ),
    "switch-failure-above-one": (
        [("switch_failure = 0.01", "switch_failure = 1.5")],
        "standby.pumps.switch_failure",
        "in [0, 1]",
    ),
    "switch-failure-negative": (
        [("switch_failure = 0.01", "switch_failure = -0.01")],
        "standby.pumps.switch_failure",
        "in [0, 1]",
    ),
    "switch-failed-missing": (
        [('switch_failed = "failed"\n', "")],
        "standby.pumps.switch_failed",
        "missing",
    ),
    "switch-failed-working": (
        [('switch_failed = "failed"', 'switch_failed = "standby"')],
        "standby.pumps.switch_failed",
        'state "standby" of pump_a is a working state',
    ),
    "standby-unknown-key": (
        [("switch_failure = 0.01", "switch_failur = 0.01")],
        "standby.pumps.switch_failur",
        'did you mean "switch_failure"?',
    ),
    "standby-state-not-working": (
        [('kinds = { standby = "working" }\n', "")],
        "standby.pumps.standby",
        'state "standby" of pump_b is not a working state',
    ),
    "group-named-like-a-component": (
        [("[standby.pumps]", "[standby.power]"), ("pumps or power", "power")],
        "standby.power",
        "names a component already",
    ),
    "unknown-kind": (
        [('overhaul = "planned"', 'overhaul = "plannd"')],
        "components.pump_a.kinds.overhaul",
        'unknown kind "plannd" (kinds: working, failed, planned); did you mean "planned"?',
    ),
    "kind-of-unknown-state": (
        [('overhaul = "planned"', 'overhal = "planned"')],
        "components.pump_a.kinds.overhal",
        'did you mean "overhaul"?',
    ),
    "first-state-not-working": (
        [('kinds = { standby = "working" }', 'kinds = { running = "failed" }')],
        "components.pump_b.kinds.running",
        "must be a working state",
    ),
    "two-crews-for-one-state": (
        [
            ("[components.power]", "[crews.electricians]\n\n[components.power]"),
            (
                '{ from = "running", to = "failed", distribution = "exponential", mttf = 500 },\n'
                '  { from = "failed", to = "running", distribution = "gamma"',
                '{ from = "running", to = "failed", distribution = "exponential", mttf = 500 },\n'
                '  { from = "failed", to = "no_power", distribution = "constant", delay = 1, '
                'crew = "electricians" },\n'
                '  { from = "failed", to = "running", distribution = "gamma"',
            ),
        ],
        "components.pump_b.transitions[2].crew",
        'every transition out of "failed" waits for the same crew',
    ),
}


@pytest.mark.parametrize("case", list(BAD.values()), ids=list(BAD))
def test_bad_constructs_name_the_key(case):
    replace, key, fragment = case
    with pytest.raises(ModelError) as info:
        load(replace=replace)
    assert info.value.key == key and info.value.file == "plant.toml"
    assert fragment in info.value.message


LOOPS = """
failed_when = "a or b"
[simulation]
horizon = 10
[components.a]
[components.b]
"""


def trigger(when, event, components, source, target):
    return (
        f'[[triggers]]\nwhen = "{when}"\n{event} = true\n'
        f'move = [{{ components = {components}, from = {source}, to = "{target}" }}]\n'
    )


def test_triggers_that_undo_their_own_event_are_refused_with_their_path():
    text = LOOPS + trigger("a", "restored", '["a"]', '["working"]', "failed")
    text += trigger("b", "fails", '["b"]', '["working"]', "failed")  # harmless in between
    text += trigger("a", "fails", '["a"]', '["failed"]', "working")
    with pytest.raises(ModelError) as info:
        model_from_dict(tomllib.loads(text))
    assert info.value.key == "triggers[0]"
    assert info.value.message.endswith("triggers[0] -> triggers[2] -> triggers[0]")


def test_triggers_through_a_gate_that_undo_their_event_are_refused():
    text = LOOPS.replace('"a or b"', '"either"')
    text = text.replace("[simulation]", '[gates]\neither = "a or b"\n[simulation]')
    text += trigger("either", "fails", '["a", "b"]', '["failed"]', "working")
    text += trigger("either", "restored", '["a"]', '["working"]', "failed")
    with pytest.raises(
        ModelError, match=r"without end .*triggers\[0\] -> triggers\[1\] -> triggers\[0\]$"
    ):
        model_from_dict(tomllib.loads(text))


@pytest.mark.parametrize(
    "triggers",
    [
        # Each fails the other: once both are down nothing turns again.
        trigger("a", "fails", '["b"]', '["working"]', "failed")
        + trigger("b", "fails", '["a"]', '["working"]', "failed"),
        # A failure restored at once by its own trigger does not set anything off again.
        trigger("a", "fails", '["a"]', '["failed"]', "working"),
        # Restoring one restores the other, and back: both are working then.
        trigger("a", "restored", '["b"]', '["failed"]', "working")
        + trigger("b", "restored", '["a"]', '["failed"]', "working"),
    ],
    ids=["mutual-failure", "self-restoring", "follow-each-other"],
)
def test_triggers_that_settle_are_accepted(triggers):
    model = model_from_dict(tomllib.loads(LOOPS + triggers))
    assert len(model.interaction_layout.triggers) == triggers.count("[[triggers]]")


# The chains of triggers by their plain definition, for the property test below: trigger j
# follows i when j's event lies above one of i's moves; refused is the first trigger on a
# closed chain that also holds a trigger undoing its event, with the shortest loop (the
# triggers of each step taken in index order).
ABOVE = {"a": {"a", "either"}, "b": {"b", "either", "both"}, "c": {"c", "both"}}


def refused_by_definition(rows):
    produced = [
        {(node, down) for component, down in moves for node in ABOVE[component]}
        for _, _, moves in rows
    ]
    n = len(rows)
    follow = [[j for j in range(n) if rows[j][:2] in produced[i]] for i in range(n)]

    def path(a, b):
        parent, frontier = {}, [a]
        while frontier:
            after = []
            for i in frontier:
                for j in follow[i]:
                    if j in parent:
                        continue
                    parent[j] = i
                    if j == b:
                        way = [b, i]
                        while way[-1] != a:
                            way.append(parent[way[-1]])
                        return way[::-1]
                    after.append(j)
            frontier = after
        return None

    reach = [{j for j in range(n) if path(i, j)} for i in range(n)]
    for start in range(n):
        undo = (rows[start][0], not rows[start][1])
        for i in range(n):
            if i in reach[start] and start in reach[i] and undo in produced[i]:
                loop = (path(start, i) if i != start else [start]) + path(i, start)[1:]
                return start, " -> ".join(f"triggers[{t}]" for t in loop)
    return None


TRIGGER_ROWS = st.lists(
    st.tuples(
        st.sampled_from(["a", "b", "c", "either", "both"]),
        st.booleans(),
        st.lists(st.tuples(st.sampled_from("abc"), st.booleans()), min_size=1, max_size=3),
    ),
    min_size=1,
    max_size=7,
)


@given(rows=TRIGGER_ROWS)
def test_endless_chains_of_triggers_are_refused_as_defined(rows):
    text = LOOPS.replace('"a or b"', '"either or both"')
    text = (
        text.replace(
            "[simulation]", '[gates]\neither = "a or b"\nboth = "b and c"\n[simulation]\n'
        )
        + "[components.c]\n"
    )
    for when, on_failure, moves in rows:
        text += f'[[triggers]]\nwhen = "{when}"\n{"fails" if on_failure else "restored"} = true\n'
        text += (
            "move = ["
            + ", ".join(
                f'{{ components = ["{c}"], from = ["{"working" if down else "failed"}"], '
                f'to = "{"failed" if down else "working"}" }}'
                for c, down in moves
            )
            + "]\n"
        )
    expected = refused_by_definition(rows)
    try:
        model_from_dict(tomllib.loads(text))
        refused = None
    except ModelError as error:
        refused = (int(error.key[len("triggers[") : -1]), error.message.split(": ", 1)[1])
    assert refused == expected


@FUZZ
@given(data=st.data())
def test_edited_plant_documents_load_or_raise_model_error(data, monkeypatch):
    monkeypatch.setattr(tavoq, "Interactions", FakeInteractions, raising=False)
    document = tomllib.loads(PLANT)
    paths = [p for p in key_paths(document) if p[0] != "simulation"]
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


def test_the_example_plant_uses_every_construct_and_runs():
    from pathlib import Path

    from tavoq_tools import simulate, summarize
    from tavoq_tools.formats.file import load_model

    model = load_model(Path(__file__).resolve().parents[3] / "examples" / "plant.toml")
    assert model.crews and model.standby and model.common_causes and model.triggers
    assert model.interaction_layout.has_planned
    stats = simulate(model, runs=200, threads=1)
    sm = summarize(stats, crew_pools=[(p.name, p.count) for p in model.crews])
    assert sm.planned.planned.value > 0 and sm.planned.unplanned.value > 0
    assert all(row.requests > 0 for row in sm.crews)


# -- logic that is not coherent, with interactions ------------------------------------------


def interacting(text):
    return model_from_dict(tomllib.loads(text))


def test_a_system_down_with_every_leaf_working_is_a_failure_even_with_planned_states():
    # not(alarm) holds from unit 0, the alarm never failing: down for a failure all the
    # time, although m has a planned state (which it never reaches).
    model = interacting(
        'failed_when = "not(alarm) or m"\n[simulation]\nhorizon = 100\nruns = 20\n'
        '[components.alarm]\nstates = ["armed", "dead"]\n'
        '[components.m]\nstates = ["up", "overhaul"]\nkinds = { overhaul = "planned" }\n'
        'transitions = [{ from = "up", to = "overhaul", distribution = "exponential", '
        "mttf = 1e6 }]\n"
    )
    stats = tt.simulate(model)
    assert list(stats.system_failures) == [1] * 20
    assert list(stats.downtime) == [100] * 20
    assert not any(stats.planned_downtime)


def test_a_not_over_a_group_down_from_the_start_counts_its_gate_once():
    # u serves g1 first, so g2 has no unit from the start: not(g2) is working then, while
    # it is failed with every leaf working. Its gate must be restored once, not counted.
    model = interacting(
        'failed_when = "n2 or g1"\n[simulation]\nhorizon = 100\nruns = 20\n'
        '[gates]\nn2 = "not(g2)"\n'
        '[components.u]\nstates = ["running", "standby", "failed"]\n'
        'kinds = { standby = "working" }\n'
        'transitions = [{ from = "running", to = "failed", distribution = "exponential", '
        "mttf = 1e9 }]\n"
        '[standby.g1]\nunits = ["u"]\nactive = "running"\nstandby = "standby"\n'
        '[standby.g2]\nunits = ["u"]\nactive = "running"\nstandby = "standby"\n'
    )
    stats = tt.simulate(model)
    gate = model.logic_layout.named_gates[0][1]
    assert stats.gate_downtime[gate] == 0
    assert not any(stats.system_failures)


def test_triggers_through_a_not_that_undo_each_other_are_refused_when_read():
    with pytest.raises(ModelError, match="set one another off without end"):
        interacting(
            'failed_when = "na"\n[simulation]\nhorizon = 10\n[gates]\nna = "not(a)"\n'
            '[components.a]\nstates = ["up", "down"]\n'
            '[[triggers]]\nwhen = "na"\nfails = true\n'
            'move = [{ components = ["a"], from = ["up"], to = "down" }]\n'
            '[[triggers]]\nwhen = "a"\nfails = true\n'
            'move = [{ components = ["a"], from = ["down"], to = "up" }]\n'
        ).build()


TRAINS = """
failed_when = "trains"

[simulation]
horizon = 1000
runs = 100

[components.part]
count = 4
states = ["running", "standby", "failed"]
kinds = { standby = "working" }
transitions = [{ from = "running", to = "failed", distribution = "exponential", mttf = 500 }]

[components.cell]
count = 2
states = ["running", "standby", "failed"]
kinds = { standby = "working" }
transitions = [{ from = "running", to = "failed", distribution = "exponential", mttf = 500 }]

[gates]
train_a = "part_1 or part_2"
train_b = "part_3 and part_4"

[standby.trains]
units = ["train_a", "train_b", "bank"]
active = "running"
standby = "standby"
revert = false

[standby.bank]
units = ["cell"]
active = "running"
standby = "standby"
"""

MODULE_BAD = {
    "unknown-unit": (
        ('"train_a", "train_b"', '"train_a", "train_c"'),
        "standby.trains.units[1]",
        'unknown component, gate or standby group "train_c"',
    ),
    "switch-failure": (
        ("revert = false", 'revert = false\nswitch_failure = 0.1\nswitch_failed = "failed"'),
        "standby.trains.switch_failure",
        "switches over without fail",
    ),
    "part-without-the-state": (
        (
            'states = ["running", "standby", "failed"]\nkinds = { standby = "working" }\n'
            'transitions = [{ from = "running", to = "failed", distribution = "exponential", '
            "mttf = 500 }]\n\n[components.cell]",
            'states = ["running", "idle", "failed"]\nkinds = { idle = "working" }\n'
            'transitions = [{ from = "running", to = "failed", distribution = "exponential", '
            "mttf = 500 }]\n\n[components.cell]",
        ),
        "standby.trains.standby",
        'unknown state of part_1 "standby"',
    ),
    "part-and-unit": (
        ('units = ["cell"]', 'units = ["cell", "part_1"]'),
        "standby.trains.units",
        '"train_a" holds part_1, a unit of a standby group',
    ),
    "shared-part": (
        ('"part_3 and part_4"', '"part_2 and part_4"'),
        "standby.trains.units",
        '"train_b" holds part_2, which "train_a" holds too',
    ),
    "inside-itself": (
        ('units = ["cell"]', 'units = ["cell", "trains"]'),
        "standby.trains.units",
        'the group "trains" is inside one of its own units',
    ),
    "own-unit": (
        ('units = ["cell"]', 'units = ["cell", "bank"]'),
        "standby.bank.units[1]",
        'the group "bank" cannot be a unit of itself',
    ),
}


CELL_KINDS = (
    'count = 2\nstates = ["running", "standby", "failed"]\nkinds = { standby = "working" }'
)
MODULE_BAD.update(
    {
        f"pairs-{name}": (
            (CELL_KINDS, f"{CELL_KINDS}\nstandby_pairs = {{ {pair} }}"),
            key,
            message,
        )
        for name, pair, key, message in [
            (
                "failed-state",
                'running = "failed"',
                "components.cell.standby_pairs.running",
                'state "failed" is not a working state',
            ),
            (
                "unknown-state",
                'running_9 = "standby"',
                "components.cell.standby_pairs.running_9",
                'unknown state "running_9"',
            ),
            (
                "group-states",
                'running = "standby"',
                "components.cell.standby_pairs",
                "repeats its group's active or standby state",
            ),
        ]
    }
)


@pytest.mark.parametrize("case", list(MODULE_BAD.values()), ids=list(MODULE_BAD))
def test_bad_spare_modules_name_the_key(case):
    (old, new), key, fragment = case
    with pytest.raises(ModelError) as info:
        load(TRAINS, [(old, new)])
    assert (info.value.key, info.value.file) == (key, "plant.toml")
    assert fragment in info.value.message


def test_gates_and_groups_as_units_are_spare_modules():
    model = load(TRAINS)
    layout = model.interaction_layout
    n = len(model.component_names)
    assert layout.groups[0][0] == (n, n + 1, n + 2)  # three modules
    leaves = n + 2
    gates = dict(model.logic_graph.named)
    assert layout.modules == (
        (leaves + gates["train_a"], (0, 1), (0, 0), (1, 1), ()),
        (leaves + gates["train_b"], (2, 3), (0, 0), (1, 1), ()),
        (n + 1, (), (), (), (1,)),  # the group bank, asleep until claimed
    )
    text = check_text(model, "trains.toml")
    assert "  spare module train_b: part_3, part_4\n  spare module bank: group bank\n" in text


def test_components_that_share_states_and_transitions_keep_their_own_kinds_and_crews():
    # A fault tree's events share their tuples of states and transitions; what is found
    # once per shared tuple must still follow each component's own kinds and crews.
    states = ("up", "down")
    fail = Transition("up", "down", "exponential", {"rate": 0.1})
    shared = (fail, Transition("down", "up", "exponential", {"rate": 1.0}, crew="team"))
    plain = (fail, Transition("down", "up", "exponential", {"rate": 1.0}))
    components = (
        Component("a", states=states, transitions=shared),
        Component("b", states=states, transitions=shared, kinds={"down": "planned"}),
        Component("c", states=states, transitions=plain),
        Component("d", states=states, transitions=plain, kinds={"down": "planned"}),
    )
    model = Model(
        components=components,
        simulation=RunSettings(horizon=10),
        failed_when="a or b or c or d",
        crews=(CrewPool("team", 1),),
    )
    layout = model.interaction_layout
    assert layout.kinds == {1: (0, 2), 3: (0, 2)}
    assert [row[0] for row in layout.crews] == [0, 1]
    text = check_text(model, "m.toml")
    assert "  a: states up, down\n" in text and "  b: states up, down (planned)\n" in text
    assert "  c: states up, down\n" in text and "  d: states up, down (planned)\n" in text
    assert text.count("by a crew of team") == 2


@FUZZ
@given(
    n=st.integers(1, 12),
    pairs=st.lists(st.tuples(st.integers(0, 11), st.integers(-20, 20)), max_size=40),
)
def test_node_parents_keep_each_nodes_parents_in_the_order_added(n, pairs):
    from tavoq_tools.model.interactions import NodeParents

    pairs = [(node % n, above) for node, above in pairs]
    parents = NodeParents(n)
    for node, above in pairs:
        parents.add(node, above)
    parents.done()
    assert len(parents) == n
    assert [list(parents[node]) for node in range(n)] == [
        [above for below, above in pairs if below == node] for node in range(n)
    ]
    with pytest.raises(RuntimeError):  # a pair added now would be lost
        parents.add(0, 1)
