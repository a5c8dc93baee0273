"""A fault tree as another tool's file describes it, and the Model it stands for.

The readers of Galileo (``galileo``) and Open-PSA (``open_psa``) files give a ``TreeDraft``:
basic events with their rates and probabilities in the file's continuous time, gates over
names or nested formulas, the top, and where in the file each was written (a line, or an XML
path) for the error messages, and Galileo's spare gates and functional dependencies.
``to_model`` turns a draft into the checked ``Model`` that every command runs (a spare gate
becomes a standby group, an fdep a trigger), so reading a file adds nothing downstream that
a TOML model lacks.

Time. The engine counts whole time units and truncates every delay. One unit stands for
``step`` of the file's time: a rate λ per file time unit becomes λ·step per unit, and the
mission time T becomes a horizon of T / step units. A failure at file time x falls in unit
⌊x / step⌋, which lies within the horizon exactly when x < T: so a tree whose every delay
starts at time 0 (no repair) has no bias at all, and each delay that starts later (a repair,
the next phase of a phased event) is cut by up to one step.

Names in these files may hold any character; tavoq names are letters, digits and _. Each
name is mapped once (``NameMap``): characters outside those become _, a leading digit gets a
leading _, a keyword (and, or, atleast, not) a trailing _, and a clash a suffix _2, _3, ...;
the model's description lists every name that changed.
"""

from __future__ import annotations

import itertools
import math
import re
from collections.abc import Callable, Collection, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from itertools import repeat
from pathlib import Path
from typing import Any

import numpy as np

from ..errors import INT32_MAX, ModelError, one_line
from ..model import distributions, logic
from ..model.graph import Form, PreparedGates
from ..model.interactions import CommonCause, Move, StandbyGroup, Trigger
from ..model.system import Component, Model, RunSettings, Transition
from .uncertain import Uncertain

__all__ = [
    "Event",
    "Formula",
    "Law",
    "NameMap",
    "TreeDraft",
    "horizon_of",
    "quoted",
    "renamed",
    "to_model",
    "uncertain_tables",
]

# A fault tree model's text lists at most this many renamed names; `tavoq convert` writes all of them.
LISTED_RENAMES = 20
_NOT_NAME = re.compile(r"[^A-Za-z0-9_]+")


@dataclass(frozen=True)
class Law:
    """The distribution a file gives for the value of an event's failure rate or
    probability: a law of tavoq_tools.formats.uncertain with its values in the file's time (a
    lognormal's are its median and 95% error factor), and the parameter of the file that
    holds it ("" when the event writes it itself)."""

    law: str
    values: tuple[float, ...]
    parameter: str = ""

    def per_step(self, step: float) -> Uncertain:
        """The law of a rate per file time unit as a rate per step: every value of the rate
        scaled by ``step`` (a lognormal's error factor and a gamma's shape are no rates)."""
        v = self.values
        values: tuple[float, ...]
        if self.law == "lognormal":
            values = (v[0] * step, v[1])
        elif self.law == "gamma":
            values = (v[0], v[1] * step)
        elif self.law == "histogram":  # bounds, then weights
            n = (len(v) - 1) // 2
            values = tuple(x * step for x in v[: n + 1]) + v[n + 1 :]
        else:
            values = tuple(x * step for x in v)
        return Uncertain("", self.law, values)

    @property
    def mean(self) -> float:
        return Uncertain("", self.law, self.values).mean


@dataclass(slots=True)  # a large tree has hundreds of thousands
class Event:
    """A basic event: its failure rate, its probability of failing on demand at time 0, its
    repair rate (all per file time unit; None: not given), and its Erlang phases. ``law``
    is the distribution of its rate (or, without one, of its probability) when the file
    gives one; the rate or probability is then the law's mean."""

    name: str
    where: str
    rate: float | None = None
    probability: float | None = None
    repair: float | None = None
    phases: int = 1
    dormancy: float | None = None  # a spare's rate in standby, as a share of its rate
    law: Law | None = None


@dataclass(slots=True)  # a large tree has hundreds of thousands
class Formula:
    """A gate's logic: ``kind`` "or", "and", "atleast" (with ``k``) or a gate written as a
    call (tavoq_tools.model.logic.FUNCTIONS: pand, not, ...) over ``inputs``, each the name
    of an event or gate, or a nested Formula."""

    kind: str
    where: str
    inputs: list[str | Formula] = field(default_factory=list)
    k: int = 0


# isinstance(x, Formula) as one function, for map().
_is_formula = Formula.__instancecheck__


@dataclass
class Spare:
    """A spare gate: ``units`` (basic events) in order of preference, the first the primary.
    It fails when none of them can be active: each has failed or is active for another
    spare gate. ``kind`` is the gate's word (csp, wsp, hsp, spare), which sets the dormancy
    of a unit that gives none."""

    name: str
    where: str
    kind: str
    units: list[str]


@dataclass
class Dependency:
    """A functional dependency: when ``trigger`` (an event or gate) fails, every one of the
    ``dependents`` (basic events) fails with it; a probabilistic one (pdep) fails each with
    ``probability``, independently."""

    name: str
    where: str
    trigger: str
    dependents: list[str]
    probability: float = 1.0


@dataclass
class CommonEvent:
    """A common-cause event of a CCF group: it fails every one of ``members`` (basic
    events) at once, at a rate or on demand at time 0 with a probability (per file time
    unit, as an Event's)."""

    name: str
    where: str
    members: list[str]
    rate: float | None = None
    probability: float | None = None


@dataclass
class Restriction:
    """A gate without an output that restricts how its inputs may fail: ``seq`` (each
    input after the first, a basic event, may fail only once the one before it has) or
    ``mutex`` (basic events of which at most one may be failed)."""

    name: str
    where: str
    kind: str
    inputs: list[str]


@dataclass
class TreeDraft:
    """What a file said: events and gates by their names in the file, in file order."""

    kind: str  # "Galileo" or "Open-PSA", for the messages and the model's text
    events: dict[str, Event]
    gates: dict[str, Formula]
    top: str
    top_where: str = ""
    # The mission time the file itself gives (Open-PSA's exponential may name one).
    mission_time: float | None = None
    spares: dict[str, Spare] = field(default_factory=dict)
    dependencies: list[Dependency] = field(default_factory=list)
    restrictions: list[Restriction] = field(default_factory=list)
    common_events: list[CommonEvent] = field(default_factory=list)
    # Why the file gives no one mission time, when it names several.
    mission_note: str = ""
    # The names of to_model, made once for the draft (renamed() asks again).
    name_map: NameMap | None = field(default=None, repr=False, compare=False)
    # The gates each after the gates it names, depth first from each gate in file order and
    # through its inputs in order (as the gate graph places them), when the reader has it.
    order: list[str] | None = field(default=None, repr=False, compare=False)
    # The gates whose inputs may hold a nested formula, when the reader knows them: every
    # other gate's inputs are names, each defined in the draft. None: any gate may.
    nested: set[str] | None = field(default=None, repr=False, compare=False)


class NameMap:
    """Valid and distinct tavoq names for the names of a file, each kept as first given."""

    def __init__(self) -> None:
        self.names: dict[str, str] = {}
        self._taken: set[str] = set()
        self._fresh: dict[str, str] = {}
        # Whether every name is mapped to itself (a file whose names are tavoq names): the
        # map then need not be looked up.
        self.identity = True

    def __call__(self, original: str) -> str:
        found = self.names.get(original)
        if found is not None:
            return found
        name = _NOT_NAME.sub("_", original) or "_"
        if name[0].isdigit():
            name = "_" + name
        if name in logic.KEYWORDS:
            name += "_"
        made = self.names[original] = self._unique(name)
        if made != original:
            self.identity = False
        return made

    def extend(self, originals: Iterable[str]) -> None:
        """Each name mapped in turn, as by calling the map; one that is a free, valid name
        as it is stays as it is without the substitutions (most names of a large file)."""
        names, taken = self.names, self._taken
        longest = logic.MAX_NAME_LENGTH - 8
        if not names and not taken:
            # A first list of names, each a free and valid one, none twice (a large file's
            # names, as a rule): told at C speed, and mapped at once.
            originals = list(originals)
            if (
                all(map(_IS_STR, originals))
                and all(map(str.isascii, originals))
                and all(map(str.isidentifier, originals))
                and max(map(len, originals), default=0) <= longest
                and logic.KEYWORDS.isdisjoint(originals)
            ):
                distinct = set(originals)
                if len(distinct) == len(originals):
                    names.update(zip(originals, originals))
                    taken.update(distinct)
                    return
        for original in originals:
            if original in names:
                continue
            if (
                original.isascii()
                and original.isidentifier()  # as ASCII: [A-Za-z_][A-Za-z0-9_]*
                and len(original) <= longest
                and original not in logic.KEYWORDS
                and original not in taken
            ):
                names[original] = original
                taken.add(original)
            else:
                self(original)

    def fresh(self, base: str) -> str:
        """A name of its own for something the file does not name, made from ``base`` (a
        valid name); not listed among the names changed. The same base gives the same name
        each time."""
        if base not in self._fresh:
            self._fresh[base] = self._unique(base)
        return self._fresh[base]

    def _unique(self, name: str) -> str:
        """``name``, shortened to leave room for a suffix, or with the first free ``_n``."""
        name = name[: logic.MAX_NAME_LENGTH - 8]
        candidate, n = name, 1
        while candidate in self._taken:
            n += 1
            candidate = f"{name}_{n}"
        self._taken.add(candidate)
        return candidate

    def renamed(self) -> list[tuple[str, str]]:
        """(name in the file, tavoq name) for every name that changed, in file order."""
        return [(old, new) for old, new in self.names.items() if old != new]


def quoted(name: str) -> str:
    """A name of the file as messages show it: in double quotes, on one line."""
    return '"' + one_line(name) + '"'


def _in_file_order(
    gates: dict[str, Formula], gate_inputs: Callable[[Formula], Sequence[str]]
) -> bool:
    """Whether every gate names only gates defined before it."""
    return _positions_used(gates, list(map(gate_inputs, gates.values())))[1]


def unused_gates_in_file_order(
    gates: dict[str, Formula], inputs: list[Sequence[str]]
) -> tuple[list[str], bool]:
    """The gates that no gate uses, in file order, and whether every gate names only gates
    defined before it; ``inputs`` lists, gate by gate, the names each uses. One lookup per
    name used tells both."""
    used, in_order = _positions_used(gates, inputs)
    referenced = np.zeros(len(gates), dtype=bool)
    referenced[used[used >= 0]] = True
    names = list(gates)
    return [names[i] for i in np.flatnonzero(~referenced).tolist()], in_order


def _positions_used(
    gates: dict[str, Formula],
    inputs: list[Sequence[str]],
    defined: dict[str, Any] | None = None,
) -> tuple[np.ndarray, bool]:
    """The position among the gates of every name used (-1: no gate; -2: not among
    ``defined`` either, when given: the names the file defines), gate after gate, and
    whether each gate's are before its own. The names are looked up in one pass and compared
    at once (numpy), not gate by gate: a large tree names hundreds of thousands."""
    # dict.fromkeys of a dict copies its hashes rather than hashing each name again.
    position = {} if defined is None else dict.fromkeys(defined, -1)
    position.update(zip(gates, range(len(gates))))
    sizes = np.fromiter(map(len, inputs), dtype=np.int64, count=len(inputs))
    used = np.fromiter(
        map(
            position.get,
            itertools.chain.from_iterable(inputs),
            repeat(-1 if defined is None else -2),
        ),
        dtype=np.int64,
        count=int(sizes.sum()),
    )
    # Gate i's inputs are used[sum(sizes[:i]) : sum(sizes[:i + 1])]: those of a gate that
    # is not after them are at or past its own position.
    return used, not bool((used >= np.repeat(np.arange(len(inputs)), sizes)).any())


def defined_and_in_file_order(
    gates: dict[str, Formula], inputs: list[Sequence[str]], defined: dict[str, Any]
) -> tuple[bool, bool]:
    """Whether every name the gates use (``inputs``, gate by gate) is among ``defined``, and
    whether every gate names only gates defined before it: one lookup per name tells both."""
    used, in_order = _positions_used(gates, inputs, defined)
    return not bool((used == -2).any()), in_order


def refuse_cycles(
    gates: dict[str, Formula],
    gate_inputs: Callable[[Formula], Sequence[str]],
    file: str,
    in_file_order: bool | None = None,
) -> list[str]:
    """A gate that depends on itself is a ModelError naming the loop, at the gate where it
    closes. ``gate_inputs`` lists the names a gate's formula uses; those that are not gates
    are ignored. Iterative, so a deep tree is no problem. Returns the gates in the order
    the walk finishes them: each after every gate it names."""
    # Most files define a gate after the gates it names: the walk then finishes each gate
    # as it starts it, in file order, and there is no cycle. One pass tells.
    # ``in_file_order``, when the caller knows it, spares that pass.
    if in_file_order if in_file_order is not None else _in_file_order(gates, gate_inputs):
        return list(gates)
    state: dict[str, int] = {}  # 1: on the path, 2: done
    order: list[str] = []

    def children(name: str) -> Iterator[str]:
        return iter([x for x in gate_inputs(gates[name]) if x in gates])

    for start in gates:
        if state.get(start):
            continue
        path = [start]
        state[start] = 1
        stack = [children(start)]
        while stack:
            child = next(stack[-1], None)
            if child is None:
                done = path.pop()
                state[done] = 2
                order.append(done)
                stack.pop()
                continue
            if state.get(child) == 2:
                continue
            if state.get(child) == 1:
                loop = [*path[path.index(child) :], child]
                raise ModelError(
                    gates[child].where,
                    "the gates form a cycle: " + " -> ".join(quoted(g) for g in loop),
                    file,
                )
            state[child] = 1
            path.append(child)
            stack.append(children(child))
    return order


def horizon_of(mission_time: float, step: float, where: str = "mission time") -> int:
    """The number of whole steps in the mission time; ModelError when it is not whole."""
    for label, value in (("step", step), (where, mission_time)):
        if not (isinstance(value, int | float) and math.isfinite(value) and value > 0):
            raise ModelError("", f"the {label} must be a positive number, got {value!r}")
    units = mission_time / step
    if units > INT32_MAX + 1:  # infinite too, which has no whole number of steps
        raise ModelError(
            "",
            f"the {where} {mission_time:g} is {units:.6g} steps of {step:g}: more than the "
            f"{INT32_MAX:,} time units a run may last; take a larger step",
        )
    whole = round(units)
    if whole < 1 or abs(units - whole) > 1e-9 * max(1.0, units):
        raise ModelError(
            "",
            f"the {where} {mission_time:g} is not a whole number of steps of {step:g} "
            f"({units:.6g} steps): pick a step that divides it",
        )
    if whole > INT32_MAX:
        raise ModelError(
            "",
            f"the {where} {mission_time:g} is {whole:,} steps of {step:g}: more than the "
            f"{INT32_MAX:,} time units a run may last; take a larger step",
        )
    return whole


def _rate(file: str, where: str, what: str, value: float, step: float) -> float:
    rate = value * step
    if not math.isfinite(rate) or rate <= 0 or not math.isfinite(1.0 / rate):
        raise ModelError(
            where, f"{what} {value:g} per time unit is {rate:g} per step: out of range", file
        )
    return rate


def _component(
    file: str, event: Event, name: str, step: float, dormancy: float | None = None
) -> Component:
    """The component of a basic event; ``dormancy`` is the share of its failure rate that a
    spare unit keeps in standby (None: the event is no spare unit)."""
    spare = dormancy is not None
    states = ["working", "standby", "failed"] if spare else ["working", "failed"]
    kinds = {"standby": "working"} if spare else {}
    transitions = []
    if spare and event.phases != 1 and dormancy and event.rate:
        return _staged(file, event, name, step, dormancy)
    if event.rate:
        rate = _rate(file, event.where, "the failure rate", event.rate, step)
        if event.law is not None:
            # The mean of the law per step, as the converted file's table gives it: the rate
            # scaled may differ from it in the last digit.
            rate = event.law.per_step(step).mean
        if event.phases == 1:
            transitions.append(Transition("working", "failed", "exponential", {"rate": rate}))
        else:
            # k phases of rate λ one after the other: an Erlang lifetime, drawn as one delay.
            params = {"shape": float(event.phases), "rate": rate}
            transitions.append(Transition("working", "failed", "gamma", params))
        if spare and dormancy:
            dormant = _rate(file, event.where, "the standby rate", event.rate * dormancy, step)
            transitions.append(Transition("standby", "failed", "exponential", {"rate": dormant}))
    if event.probability:
        if event.repair:
            raise ModelError(
                event.where,
                f"basic event {quoted(event.name)}: a failure on demand (prob) is drawn once, "
                "at time 0, and cannot be repaired; give it no repair rate",
                file,
            )
        if not spare:
            target = "failed"
            if event.rate:
                # The same pair of states takes one transition: the demand gets a state of
                # its own.
                target = "failed_on_demand"
                states.append(target)
            transitions.append(
                Transition("working", target, "demand", {"probability": event.probability})
            )
        # A spare unit may start in standby, where no demand is drawn: its demand is a
        # component of its own (_spare_demands).
    if event.repair and event.rate:
        rate = _rate(file, event.where, "the repair rate", event.repair, step)
        transitions.append(Transition("failed", "working", "exponential", {"rate": rate}))
    return Component(name, states=tuple(states), transitions=tuple(transitions), kinds=kinds)


def _staged(file: str, event: Event, name: str, step: float, dormancy: float) -> Component:
    """A warm or hot spare unit whose lifetime has k phases: a state per phase, running
    (``working``, ``working_2``, ...) and waiting (``standby``, ``standby_2``, ...), each
    phase of rate λ running and dorm·λ waiting; a switch-over keeps the phase reached. (A
    cold unit starts its phases when switched in: one Erlang delay is exact for it.)"""
    rate = _rate(file, event.where, "the failure rate", event.rate or 0.0, step)
    dormant = _rate(file, event.where, "the standby rate", (event.rate or 0.0) * dormancy, step)
    running = ["working", *(f"working_{i}" for i in range(2, event.phases + 1))]
    waiting = ["standby", *(f"standby_{i}" for i in range(2, event.phases + 1))]
    transitions = []
    for chain, phase_rate in ((running, rate), (waiting, dormant)):
        for here, after in zip(chain, [*chain[1:], "failed"], strict=True):
            transitions.append(Transition(here, after, "exponential", {"rate": phase_rate}))
    if event.repair:
        repair = _rate(file, event.where, "the repair rate", event.repair, step)
        transitions.append(Transition("failed", "working", "exponential", {"rate": repair}))
    return Component(
        name,
        states=("working", "standby", "failed", *running[1:], *waiting[1:]),
        transitions=tuple(transitions),
        kinds={state: "working" for state in (*running[1:], *waiting)},
        standby_pairs=dict(zip(running[1:], waiting[1:], strict=True)),
    )


def _waiting_states(event: Event, sleepers: Collection[str], name: str) -> tuple[str, ...]:
    """The states in which an event still works: its running and waiting phases."""
    if name not in sleepers:
        return ("working",)
    if event.phases == 1 or not event.rate:
        return ("working", "standby")
    stages = range(2, event.phases + 1)
    return (
        "working",
        "standby",
        *(f"working_{i}" for i in stages),
        *(f"standby_{i}" for i in stages),
    )


def _component_like(
    made: dict[tuple[object, ...], Component],
    file: str,
    event: Event,
    name: str,
    step: float,
    dormancy: float | None,
) -> Component:
    """``_component``'s Component, checked once per distinct set of an event's values: a
    large tree repeats a few rates over thousands of events. The others are copies under
    their own names (names that NameMap made, which are valid; any other is checked)."""
    key = (event.rate, event.probability, event.repair, event.phases, dormancy, event.law)
    template = made.get(key)
    plain = _plain_name(name)
    if template is None and plain and event.probability and dormancy is None:
        # Events that differ in their probability of failing on demand alone (each its own,
        # as files give them): the table of the first, with this probability checked.
        shape = ("demand", event.rate, event.repair, event.phases, event.law)
        first = made.get(shape)
        if first is None:
            made[shape] = made[key] = _component(file, event, name, step, dormancy)
            return made[key]
        template = _with_probability(first, name, event.probability)
        if template is not None:
            made[key] = template
            return template
    if template is None or not plain:
        component = _component(file, event, name, step, dormancy)
        made.setdefault(key, component)
        return component
    return _renamed(template, name)


def _renamed(template: Component, name: str) -> Component:
    """A checked Component under another valid name, with tables of its own. Its fields are
    set one by one, as the constructor sets them: reading its ``__dict__`` would give each
    copy a dict of its own as well (64 bytes more per event)."""
    copy = object.__new__(Component)
    for field_name, value in template.__dict__.items():
        _SET_FIELD(copy, field_name, value)
    _SET_FIELD(copy, "name", name)
    _SET_FIELD(copy, "kinds", dict(template.kinds))
    _SET_FIELD(copy, "standby_pairs", dict(template.standby_pairs))
    return copy


_IS_STR = str.__instancecheck__

# A frozen dataclass's fields are set as its constructor sets them.
_SET_FIELD = object.__setattr__


def _with_probability(first: Component, name: str, probability: float) -> Component | None:
    """``first`` (a basic event's component with a demand transition) named ``name``, whose
    demand fails with ``probability``: the one transition checked again, as Component checks
    it. None when the probability is refused, so that _component says why."""
    index = next(i for i, t in enumerate(first.transitions) if t.distribution == "demand")
    demand = first.transitions[index]
    try:
        params = distributions.check_params(
            f"components.{name}.transitions[{index}]", "demand", {"probability": probability}
        )
    except ModelError:
        return None
    transitions = list(first.transitions)
    transitions[index] = Transition(
        demand.source, demand.target, "demand", params, demand.crew, demand.priority
    )
    copy = _renamed(first, name)
    _SET_FIELD(copy, "transitions", tuple(transitions))
    return copy


def _plain_name(name: str) -> bool:
    """Whether Component takes ``name`` as a component's name: its NAME_PATTERN, told by the
    string's own tests (an ASCII identifier), once per event of a large tree."""
    return (
        len(name) <= logic.MAX_NAME_LENGTH
        and name.isascii()
        and name.isidentifier()
        and name not in logic.KEYWORDS
    )


# The dormancy of a spare unit that gives none: a cold spare does not fail in standby, a hot
# one fails as if active; wsp and spare follow Storm, which takes a missing dorm as 1.
DEFAULT_DORMANCY = {"csp": 0.0, "hsp": 1.0, "wsp": 1.0, "spare": 1.0}


def _module(draft: TreeDraft, unit: str) -> tuple[list[str], list[str]]:
    """The basic events and the spare gates of a spare gate's unit: the unit itself when it
    is one, else everything below the gate through gates (a spare module); a spare gate
    below is a group of its own, whose events are its units'."""
    events: list[str] = []
    spares: list[str] = []
    stack: list[str | Formula] = [unit]
    seen: set[str] = set()
    while stack:
        item = stack.pop()
        if isinstance(item, Formula):
            stack.extend(item.inputs)
        elif item in draft.events:
            events.append(item)
        elif item in draft.spares:
            spares.append(item)
        elif item in draft.gates and item not in seen:
            seen.add(item)
            stack.append(draft.gates[item])
    return list(dict.fromkeys(events)), list(dict.fromkeys(spares))


def _dormancies(draft: TreeDraft, file: str) -> dict[str, float]:
    """Each basic event that may wait in standby, with its dormancy: its own, else the one
    its spare gates imply. Those are the events of the units of every spare gate (a unit's
    spare module), under that gate's kind and the kinds of the gates that hold the gate
    itself in a unit, since it sleeps while that unit waits."""
    modules = {
        name: [_module(draft, unit) for unit in spare.units]
        for name, spare in draft.spares.items()
    }
    holders: dict[str, list[str]] = {}
    unit_of: dict[str, str] = {}  # an event of a unit's module -> that unit
    for name, units in modules.items():
        for unit, (events, inner) in zip(draft.spares[name].units, units, strict=True):
            for event in events:
                if unit_of.setdefault(event, unit) != unit:
                    raise ModelError(
                        draft.spares[name].where,
                        f"spare gate {quoted(name)}: basic event {quoted(event)} is in unit "
                        f"{quoted(unit_of[event])} and in unit {quoted(unit)}; units of spare "
                        "gates share no basic event",
                        file,
                    )
            for held in inner:
                holders.setdefault(held, []).append(name)
    sleeps: dict[str, dict[float, str]] = {}
    implied: dict[str, dict[float, str]] = {}
    for name, units in modules.items():
        kinds = {
            DEFAULT_DORMANCY[draft.spares[name].kind]: name,
            **_sleep_kinds(draft, file, holders, sleeps, name),
        }
        for events, _ in units:
            for event in events:
                for kind, gate in kinds.items():
                    implied.setdefault(event, {}).setdefault(kind, gate)
    found = {}
    for unit, defaults in implied.items():
        own = draft.events[unit].dormancy
        if own is None and len(defaults) > 1:
            raise ModelError(
                draft.events[unit].where,
                f"basic event {quoted(unit)} is a cold and a hot spare (in "
                f"{' and '.join(map(quoted, defaults.values()))}): give it dorm=",
                file,
            )
        found[unit] = own if own is not None else next(iter(defaults))
    return found


def _sleep_kinds(
    draft: TreeDraft,
    file: str,
    holders: dict[str, list[str]],
    sleeps: dict[str, dict[float, str]],
    name: str,
    path: tuple[str, ...] = (),
) -> dict[float, str]:
    """The dormancies under which spare gate ``name`` may sleep, through its holders (the
    spare gates that hold it in a unit), each with the gate that gives it; found once per
    gate, in ``sleeps``. A function of its own rather than nested in _dormancies: it would
    reach itself through its closure, a cycle keeping the draft until a collection of
    cycles, which is paused while a model is read."""
    if name in sleeps:
        return sleeps[name]
    if name in path:
        raise ModelError(
            draft.spares[name].where,
            f"spare gate {quoted(name)} is inside one of its own units",
            file,
        )
    found: dict[float, str] = {}
    for holder in holders.get(name, ()):
        found.setdefault(DEFAULT_DORMANCY[draft.spares[holder].kind], holder)
        for kind, gate in _sleep_kinds(
            draft, file, holders, sleeps, holder, (*path, name)
        ).items():
            found.setdefault(kind, gate)
    sleeps[name] = found
    return found


def _restricted(draft: TreeDraft, file: str, sleepers: Collection[str]) -> dict[str, str]:
    """Each basic event that a seq or mutex restricts, with its role: "waiting" for an
    input after the first of a seq (it waits, working, until the input before it fails),
    "mutex" for an input of a mutex (blocked, working, while another input is failed)."""
    roles: dict[str, str] = {}
    restricting: dict[str, str] = {}  # every input of a seq or mutex -> its name
    dependents = {d for dependency in draft.dependencies for d in dependency.dependents}
    for restriction in draft.restrictions:
        label = f"{restriction.kind} {quoted(restriction.name)}"
        for name in restriction.inputs:
            if name in restricting:
                raise ModelError(
                    restriction.where,
                    f"{label}: input {quoted(name)} is an input of "
                    f"{quoted(restricting[name])} too; a basic event takes part in one seq or "
                    "mutex (write a sequence as one seq)",
                    file,
                )
            restricting[name] = restriction.name
        restricted = restriction.inputs[1:] if restriction.kind == "seq" else restriction.inputs
        for name in restricted:
            event = draft.events.get(name)
            why = (
                "is not a basic event"
                if event is None
                else "is a unit of a spare gate"
                if name in sleepers
                else "is the dependent of an fdep"
                if name in dependents
                else "is restricted by another seq or mutex"
                if name in roles
                else "fails on demand at time 0 (prob=)"
                if event.probability
                else ""
            )
            if why:
                raise ModelError(
                    restriction.where,
                    f"{label}: input {quoted(name)} {why}, which is not read with a "
                    f"{restriction.kind}",
                    file,
                )
            roles[name] = "waiting" if restriction.kind == "seq" else "mutex"
    return roles


def _with_role(component: Component, role: str) -> Component:
    """A basic event's component given the states its restriction needs."""
    if role == "waiting":
        states = ("waiting", *component.states)
        kinds = {**component.kinds, "working": "working"}
    else:
        states = (*component.states, "blocked")
        kinds = {**component.kinds, "blocked": "working"}
    return Component(component.name, states=states, transitions=component.transitions, kinds=kinds)


def _restriction_triggers(draft: TreeDraft, names: NameMap) -> list[Trigger]:
    """A seq starts each input once the one before it fails; a mutex blocks the others
    while one input is failed, and frees them when it is repaired."""
    triggers = []
    for restriction in draft.restrictions:
        inputs = [names(x) for x in restriction.inputs]
        if restriction.kind == "seq":
            triggers += [
                Trigger(before, (Move((after,), ("waiting",), "working"),))
                for before, after in zip(inputs, inputs[1:], strict=False)
            ]
            continue
        for i, failed in enumerate(inputs):
            others = tuple(inputs[:i] + inputs[i + 1 :])
            triggers.append(Trigger(failed, (Move(others, ("working",), "blocked"),)))
            triggers.append(
                Trigger(failed, (Move(others, ("blocked",), "working"),), on_failure=False)
            )
    return triggers


def _triggers(
    draft: TreeDraft, names: NameMap, file: str, sleepers: Collection[str]
) -> list[Trigger]:
    """One trigger per functional dependency: the trigger's failure fails each dependent
    that is still working."""
    triggers = []
    for dependency in draft.dependencies:
        moves = []
        for dependent in dependency.dependents:
            if dependent not in draft.events:
                raise ModelError(
                    dependency.where,
                    f"{'fdep' if dependency.probability == 1 else 'pdep'} "
                    f"{quoted(dependency.name)}: dependent {quoted(dependent)} is not a "
                    "basic event (the dependents of an fdep are basic events)",
                    file,
                )
            working = _waiting_states(draft.events[dependent], sleepers, dependent)
            moves.append(Move((names(dependent),), working, "failed"))
        triggers.append(
            Trigger(names(dependency.trigger), tuple(moves), probability=dependency.probability)
        )
    return triggers


def _common_cause(file: str, event: CommonEvent, names: NameMap, step: float) -> CommonCause:
    """A common-cause event at a rate: a common cause that fails its working members."""
    members = tuple(names(m) for m in event.members)
    rate = _rate(file, event.where, "the common-cause rate", event.rate or 0.0, step)
    return CommonCause(names(event.name), members, "failed", None, "exponential", {"rate": rate})


def _on_demand(draft: TreeDraft, names: NameMap) -> tuple[list[Component], list[Trigger]]:
    """Common-cause events on demand: a component that fails at time 0 with the event's
    probability, and a trigger on it that fails the members (a common cause would draw its
    demand again after it fires)."""
    components, triggers = [], []
    for event in draft.common_events:
        if event.rate is None:
            name = names(event.name)
            demand = Transition("working", "failed", "demand", {"probability": event.probability})
            components.append(Component(name, transitions=(demand,)))
            members = tuple(names(m) for m in event.members)
            triggers.append(Trigger(name, (Move(members, ("working",), "failed"),)))
    return components, triggers


def _spare_demands(
    draft: TreeDraft, names: NameMap, sleepers: Collection[str]
) -> tuple[list[Component], list[Trigger]]:
    """A spare unit that fails on demand (prob=): a component that fails at time 0 with that
    probability, and a trigger on it that fails the unit, wherever it waits. Drawn at time 0
    rather than when the unit is switched in: without repair (a demand has none) the unit is
    lost either way before it could serve."""
    components, triggers = [], []
    for original in sleepers:
        event = draft.events[original]
        if event.probability:
            unit = names(original)
            name = names.fresh(f"{unit}_demand")
            demand = Transition("working", "failed", "demand", {"probability": event.probability})
            components.append(Component(name, transitions=(demand,)))
            triggers.append(Trigger(name, (Move((unit,), ("working", "standby"), "failed"),)))
    return components, triggers


def expression(formula: Formula, names: NameMap) -> str:
    """The formula in the language of tavoq_tools.model.logic."""
    known = names.names
    # A nested call or atleast is a factor already: parentheses would only add depth.
    parts = [
        (known.get(x) or names(x))
        if isinstance(x, str)
        else expression(x, names)
        if x.kind in logic.FUNCTIONS or x.kind == "atleast"
        else f"({expression(x, names)})"
        for x in formula.inputs
    ]
    if formula.kind == "atleast":
        return f"atleast({formula.k}, {', '.join(parts)})"
    if formula.kind in logic.FUNCTIONS:
        return f"{formula.kind}({', '.join(parts)})"
    return f" {formula.kind} ".join(parts)


def _prepared(formula: Formula, names: NameMap, same: bool = False) -> tuple[str, Form | None]:
    """``expression``'s text of a gate and, when its inputs are all names, the form that
    build_graph would read back from that text (logic.simple_form's, or a call's). The
    names are a tuple: every gate's form waits for the graph at once, and a tuple takes
    half the memory of a list. ``same``: the inputs are names, each mapped to itself."""
    known = names.names
    inputs = formula.inputs
    parts: tuple[str, ...]
    if same:
        parts = tuple(inputs)  # type: ignore[arg-type]  # names only
    else:
        try:
            # Each name is mapped already, as a rule. A nested Formula is no key (it has no
            # hash): the lookup fails on it, which spares a pass over the inputs to look for
            # one.
            parts = tuple(map(known.__getitem__, inputs))  # type: ignore[arg-type]
        except (KeyError, TypeError):
            if any(map(_is_formula, inputs)):
                return expression(formula, names), _nested_form(formula, names)
            parts = tuple(known.get(x) or names(x) for x in inputs)  # type: ignore[arg-type]
    kind = formula.kind
    if kind == "atleast":
        text = f"atleast({formula.k}, {', '.join(parts)})"
        return text, ("atleast", formula.k, parts) if 1 <= formula.k <= len(parts) else None
    if kind in logic.FUNCTIONS:
        fewest, most = logic.FUNCTIONS[kind]
        form = (
            (kind, 0, parts) if fewest <= len(parts) and (not most or len(parts) <= most) else None
        )
        return f"{kind}({', '.join(parts)})", form
    if len(parts) == 1:
        return parts[0], ("name", 0, parts)
    return f" {kind} ".join(parts), (kind, 0, parts) if kind in ("and", "or") else None


# The formulas whose text the parser reads back as one gate over its inputs, wherever it
# stands.
_NESTED_KINDS = ("and", "or", "atleast")


def _nested_form(formula: Formula, names: NameMap) -> Form | None:
    """The form build_graph would read back from ``expression``'s text of a gate of
    names and of and, or and atleast formulas of names (the parser makes each parenthesised
    formula a gate of its own, in the order it meets them); None for any other gate, whose
    text the parser reads."""
    if formula.kind not in _NESTED_KINDS:
        return None
    known = names.names
    parts: list[str | Form] = []
    for x in formula.inputs:
        if isinstance(x, str):
            parts.append(known.get(x) or names(x))
            continue
        if x.kind not in _NESTED_KINDS or any(map(_is_formula, x.inputs)):
            return None
        form = _prepared(x, names)[1]
        # One name in parentheses is that name, no gate: left to the parser.
        if form is None or form[0] == "name":
            return None
        parts.append(form)
    if formula.kind == "atleast":
        return ("atleast", formula.k, tuple(parts)) if 1 <= formula.k <= len(parts) else None
    return (formula.kind, 0, tuple(parts)) if len(parts) > 1 else None


def _description(kind: str, file: str, step: float, mission_time: float, names: NameMap) -> str:
    renamed = names.renamed()
    text = (
        f"Read from {one_line(Path(file).name)} ({kind}): mission time {mission_time:g}, "
        f"one time unit = a step of {step:g} of the file's time."
    )
    if renamed:
        shown = "; ".join(f"{quoted(old)} as {new}" for old, new in renamed[:LISTED_RENAMES])
        more = len(renamed) - LISTED_RENAMES
        text += f" Names changed: {shown}" + (f"; and {more} more." if more > 0 else ".")
    return text


def renamed(draft: TreeDraft) -> list[tuple[str, str]]:
    """(name in the file, tavoq name) for every name of ``draft`` that to_model changes."""
    listed = (draft.events, draft.gates, draft.spares)
    return [pair for pair in _name_map(draft).renamed() if any(pair[0] in d for d in listed)]


def _name_map(draft: TreeDraft) -> NameMap:
    """Every name of the draft mapped in file order, so that clashes resolve the same way
    each time."""
    if draft.name_map is None:
        names = NameMap()
        names.extend([*draft.events, *draft.gates, *draft.spares])
        for event in draft.common_events:
            names(event.name)
        draft.name_map = names
    return draft.name_map


def to_model(
    draft: TreeDraft,
    file: str,
    *,
    step: float = 1.0,
    mission_time: float | None = None,
    runs: int = 10_000,
    seed: int = 0,
    any_horizon: bool = False,
    spend_gates: bool = False,
) -> Model:
    """The Model of ``draft``: one time unit per ``step`` of the file's time, a horizon of
    ``mission_time`` (in the file's time; the file's own when None; with ``any_horizon``,
    one step when neither gives one). ModelError names the file and the place in it.
    With ``spend_gates`` the draft's gates are taken out of it as their texts are made, so
    that a large tree's formulas and its model never all exist at once: for a caller done
    with the draft's gates (renamed() gives the same pairs before)."""
    try:
        if mission_time is None:
            mission_time = draft.mission_time
        if mission_time is None and any_horizon:
            mission_time = step
        if mission_time is None:
            raise ModelError(
                "",
                f"a {draft.kind} file gives no mission time{draft.mission_note}: give one in "
                "the file's time (--mission-time T, or mission_time= from Python)",
            )
        horizon = horizon_of(mission_time, step)
        names = _name_map(draft)
        mapped = names.names
        # A file whose names are tavoq names as they are (as a rule, a large one): each is
        # its own tavoq name, and a reader's gates of names need no lookup of theirs.
        same = names.identity
        dormancy = _dormancies(draft, file)
        made: dict[tuple[object, ...], Component] = {}
        components = [
            _component_like(
                made,
                file,
                event,
                original if same else mapped[original],
                step,
                dormancy.get(original),
            )
            for original, event in draft.events.items()
        ]
        roles = _restricted(draft, file, dormancy)
        if roles:
            components = [
                _with_role(c, roles[original]) if original in roles else c
                for c, original in zip(components, draft.events, strict=True)
            ]
        forms: dict[str, Form] = {}
        order = draft.order
        if order is not None and not same:
            order = [mapped[g] for g in order]
        texts: dict[str, str] = {}
        spent = draft.gates
        if spend_gates:
            draft.gates = {}
        nested = draft.nested
        for original in list(spent):
            formula = spent.pop(original) if spend_gates else spent[original]
            name = original if same else mapped[original]
            flat = same and nested is not None and (not nested or original not in nested)
            texts[name], form = _prepared(formula, names, flat)
            if form is not None:
                forms[name] = form
        gates = PreparedGates(texts, forms, order)
        del texts, forms, order  # the model keeps the texts; build_graph spends the forms
        # A spare gate is a standby group: the first working unit that no other group holds
        # active is switched in when the active one fails, and stays in (no switching back).
        groups = [
            StandbyGroup(
                names(spare.name),
                tuple(names(u) for u in spare.units),
                active="working",
                standby="standby",
                switch_failed="failed",  # never taken: a spare gate's switch-over never fails
                revert=False,
            )
            for spare in draft.spares.values()
        ]
        causes = tuple(
            _common_cause(file, e, names, step) for e in draft.common_events if e.rate is not None
        )
        demanded, demand_triggers = _on_demand(draft, names)
        spare_demands, spare_demand_triggers = _spare_demands(draft, names, dormancy)
        model = Model(
            components=(*components, *demanded, *spare_demands),
            common_causes=causes,
            simulation=RunSettings(horizon=horizon, runs=runs, seed=seed, step=step),
            failed_when=names(draft.top),
            gates=gates or None,  # as a TOML file without [gates] reads
            standby=tuple(groups),
            triggers=(
                *_triggers(draft, names, file, dormancy),
                *_restriction_triggers(draft, names),
                *demand_triggers,
                *spare_demand_triggers,
            ),
            name=one_line(Path(file).stem)[: logic.MAX_NAME_LENGTH],
            description=_description(draft.kind, file, step, mission_time, names),
        )
    except ModelError as err:
        raise (err if err.file else err.in_file(file)) from None
    return model


def uncertain_tables(draft: TreeDraft, model: Model) -> dict[str, dict[str, Any]]:
    """The uncertain parameters of ``model``, ``to_model``'s model of ``draft``: for each
    event whose rate or probability the file gives as a distribution, the table of that
    law (tavoq_tools.formats.uncertain) by the key path of the transition's parameter it
    stands for (``components.NAME.transitions[0].rate``). The events that take their law
    from one parameter of the file are one group, named after it: one draw serves them all."""
    laws = {original: e.law for original, e in draft.events.items() if e.law is not None}
    if not laws:
        return {}
    users: dict[str, int] = {}
    for law in laws.values():
        users[law.parameter] = users.get(law.parameter, 0) + 1
    mapped = _name_map(draft).names
    components = {c.name: c for c in model.components}
    step = model.simulation.step
    tables: dict[str, dict[str, Any]] = {}
    for original, law in laws.items():
        event = draft.events[original]
        name = mapped[original]
        param = "rate" if event.rate else "probability"
        uncertain = law.per_step(step) if param == "rate" else Uncertain("", law.law, law.values)
        index = next(i for i, t in enumerate(components[name].transitions) if param in t.params)
        if uncertain.law == "lognormal":
            table: dict[str, Any] = {
                "lognormal": uncertain.values[0],
                "error_factor": uncertain.values[1],
            }
        elif uncertain.law == "histogram":
            n = (len(uncertain.values) - 1) // 2
            table = {
                "histogram": list(uncertain.values[: n + 1]),
                "weights": list(uncertain.values[n + 1 :]),
            }
        else:
            table = {uncertain.law: list(uncertain.values)}
        if law.parameter and users[law.parameter] > 1:
            table["group"] = law.parameter
        tables[f"components.{name}.transitions[{index}].{param}"] = table
    return tables
