"""A system model as plain data: named components, their states and transitions, and the
failure logic by component name.

A ``Model`` holds only strings, numbers and tuples, so it pickles and travels to other
processes; ``build()`` makes the native objects (the transitions matrix and the tree of the
failure logic) wherever the runs happen. Every check is made when the model is constructed, so a ``Model``
that exists is one the runners accept; a problem raises ``ModelError`` naming the key path,
e.g. ``components.pump.transitions[2].to``.

Engine facts the model hides:
- each component's table has its own number of states (runnerStatistics reads the matrix
  ragged); ``matrix(square=True)`` pads every component to the largest number of states,
  with states that no transition enters, for the runners that need a square matrix;
- a cell without a transition holds a plain ``tavoq.Distribution()``, which never fires;
- the failure logic is a graph of gates over the components, numbered in
  ``component_names`` order (tavoq_tools.model.graph); a CutsetTree, which holds the minimal
  cut sets as 0/1 vectors, is made only on request and only while they are few.
"""

from __future__ import annotations

import dataclasses
import math
import operator
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from functools import cached_property, partial
from operator import attrgetter
from typing import Any

from ..errors import INT32_MIN, ModelError, check_integer, shown, unknown
from . import cutsets as mcs
from . import distributions, logic
from .distributions import DISTRIBUTIONS
from .graph import (
    THRESHOLD_KINDS,
    GraphError,
    LogicGraph,
    LogicLayout,
    PreparedGates,
    build_graph,
    graph_of_cutsets,
)
from .interactions import (
    KIND_CODES,
    CommonCause,
    CrewPool,
    InteractionLayout,
    NodeParents,
    StandbyGroup,
    Trigger,
    exponential_rate,
    resolve,
    resolve_modules,
    resolve_pairs,
    resolve_triggers,
)

__all__ = [
    "DISTRIBUTIONS",
    "MAX_COUNT",
    "MAX_CUTSETS",
    "Component",
    "Model",
    "ModelError",
    "RunSettings",
    "Simulation",
    "Transition",
    "unknown",
]

# `count` expands a component into copies. A fault tree may hold tens of thousands of like
# basic events (the engine's cost follows the gates, not the model's size); a count past
# this is a typo, not a plant.
MAX_COUNT = 100_000
# minimal_cutsets() and cutset_tree() list at most this many minimal cut sets ...
MAX_CUTSETS = 100_000
# ... and a CutsetTree holds each as a vector over all the components: at most this many cells.
MAX_CUTSET_CELLS = 20_000_000
NAME_PATTERN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


# -- values ------------------------------------------------------------------------------------


def _text(key: str, value: object) -> str:
    if not isinstance(value, str):
        raise ModelError(key, f"must be a string, got {shown(value)}")
    return value


def _paragraph(key: str, value: object) -> str:
    """A string printed as text of its own: line breaks and tabs, but no other control
    characters (an escape sequence would reach the terminal)."""
    text = _text(key, value)
    if any((ord(ch) < 32 and ch not in "\n\r\t") or 127 <= ord(ch) < 160 for ch in text):
        raise ModelError(key, f"must not hold control characters, got {shown(value)}")
    return text


def _line(key: str, value: object) -> str:
    """A string shown within a line of output: no line breaks or other control characters."""
    text = _text(key, value)
    if any(ord(ch) < 32 or 127 <= ord(ch) < 160 for ch in text):
        raise ModelError(key, f"must be one line without control characters, got {shown(value)}")
    return text


def _check_demands(key: str, first: str, transitions: Sequence[Transition]) -> None:
    """A ``demand`` transition is drawn once, at the start of a run: it must leave the first
    state, and nothing may lead back there (a draw later in a run would fire at once)."""
    demands = [i for i, t in enumerate(transitions) if t.distribution == "demand"]
    if not demands:
        return
    for i in demands:
        if transitions[i].source != first:
            raise ModelError(
                f"{key}.transitions[{i}].from",
                f'a demand failure happens at time 0, so it leaves the first state "{first}"',
            )
    back = next((j for j, t in enumerate(transitions) if t.target == first), None)
    if back is not None:
        raise ModelError(
            f"{key}.transitions[{back}].to",
            f'a component with a demand failure cannot return to "{first}": the demand is '
            "drawn once, at the start of a run",
        )


# -- the model ------------------------------------------------------------------------------


class _CheckedWhenUnpickled:
    """A pickle of these classes holds the fields their constructor takes, and unpickling
    checks them again as the constructor does, deriving the rest anew: what a pickle says is
    taken only if it makes a valid object. A pickle is trusted code all the same, as the
    pickle module warns: unpickling data from an unknown source can run anything."""

    def __getstate__(self) -> dict[str, Any]:
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self) if f.init}  # type: ignore[arg-type]

    def __setstate__(self, state: object) -> None:
        kind = type(self).__name__
        if not isinstance(state, dict):
            raise ModelError("", f"a pickled {kind} holds {shown(state)}, not its fields")
        for f in dataclasses.fields(self):  # type: ignore[arg-type]
            if not f.init:
                object.__setattr__(self, f.name, f.default)
            elif f.name in state:
                object.__setattr__(self, f.name, state[f.name])
            else:
                raise ModelError(f.name, f"missing from the pickled {kind}")
        self.__post_init__()  # type: ignore[attr-defined]


@dataclass(frozen=True)
class Transition:
    """A transition ``source`` -> ``target`` after a delay drawn from ``distribution``.

    ``distribution`` is one of DISTRIBUTIONS; ``params`` holds its parameters, e.g.
    ``Transition("running", "failed", "weibull", {"scale": 2500, "shape": 2})``. The component
    holding the transition checks it (it knows the states).
    """

    source: str
    target: str
    distribution: str
    params: Mapping[str, Any] = field(default_factory=dict)
    # The repair crew pool the transitions out of ``source`` wait for (None: none), and the
    # place in its queue among units that started waiting at the same time (lower first).
    crew: str | None = None
    priority: int = 0

    def describe(self, unit: str = "") -> str:
        """``weibull scale 2500 h, shape 2``-style text."""
        text = distributions.describe(self.distribution, self.params, unit)
        if self.crew is not None:
            text += f", by a crew of {self.crew}"
            if self.priority:
                text += f" (priority {self.priority})"
        return text


@dataclass(frozen=True)
class Component(_CheckedWhenUnpickled):
    """A component: its named states and its transitions. ``count = n`` stands for n
    identical components ``name_1`` .. ``name_n``. A transition that is not listed never
    happens.

    Every run starts in the first state. ``kinds`` gives states a kind other than the
    default (the first state working, all others failed): ``{"standby": "working",
    "overhaul": "planned"}``. The first state must be a working one. ``standby_pairs`` gives
    a unit of a standby group (or a spare module's part) that ages in stages further pairs
    of states beside its group's ``active`` and ``standby``: each running stage and the
    stage it waits in, ``{"running_2": "waiting_2"}``."""

    name: str
    states: tuple[str, ...] = ("working", "failed")
    transitions: tuple[Transition, ...] = ()
    count: int | None = None
    description: str = ""
    kinds: Mapping[str, str] = field(default_factory=dict)
    standby_pairs: Mapping[str, str] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if (
            not isinstance(self.name, str)
            or not NAME_PATTERN.match(self.name)
            or (self.name in logic.KEYWORDS)
        ):
            raise ModelError(
                f"components.{self.name}",
                "a component name is letters, digits and _, not starting with a digit, and "
                "not and, or, atleast, not",
            )
        if len(self.name) > logic.MAX_NAME_LENGTH:
            raise ModelError(
                f"components.{self.name[:20]}...",
                f"a component name is at most {logic.MAX_NAME_LENGTH} characters, "
                f"got {len(self.name)}",
            )
        key = f"components.{self.name}"
        if self.count is not None:
            check_integer(f"{key}.count", self.count, 1, MAX_COUNT, error=ModelError)
        _paragraph(f"{key}.description", self.description)
        states = self.states
        if isinstance(states, (str, bytes)) or not isinstance(states, Sequence):
            raise ModelError(
                f"{key}.states", f"must be a list of state names, got {shown(states)}"
            )
        if len(states) < 2:
            raise ModelError(
                f"{key}.states",
                "needs at least two states: the working one first, then the failed ones",
            )
        for i, state in enumerate(states):
            if not isinstance(state, str) or not state.strip():
                raise ModelError(
                    f"{key}.states[{i}]", f"must be a non-empty name, got {shown(state)}"
                )
            _line(f"{key}.states[{i}]", state)
            if state in states[:i]:
                raise ModelError(f"{key}.states[{i}]", f"duplicate state {shown(state)}")
        object.__setattr__(self, "states", tuple(states))
        kinds = self.kinds
        if not isinstance(kinds, Mapping):
            raise ModelError(
                f"{key}.kinds",
                f'must be a table of states and kinds ({{ overhaul = "planned" }}), got '
                f"{shown(kinds)}",
            )
        for state, kind in kinds.items():
            if not isinstance(state, str) or state not in states:
                raise ModelError(f"{key}.kinds.{state}", unknown("state", state, "states", states))
            if not isinstance(kind, str) or kind not in KIND_CODES:
                raise ModelError(
                    f"{key}.kinds.{state}", unknown("kind", kind, "kinds", list(KIND_CODES))
                )
        if kinds.get(states[0], "working") != "working":
            raise ModelError(
                f"{key}.kinds.{states[0]}",
                f'every run starts in the first state, "{states[0]}": it must be a working '
                "state (list the states in another order)",
            )
        object.__setattr__(self, "kinds", dict(kinds))
        object.__setattr__(self, "standby_pairs", self._checked_pairs(key))
        transitions = self.transitions
        if isinstance(transitions, (str, bytes)) or not isinstance(transitions, Sequence):
            raise ModelError(f"{key}.transitions", "must be a list of transitions")
        checked = []
        seen: dict[tuple[str, str], int] = {}
        for i, t in enumerate(transitions):
            tkey = f"{key}.transitions[{i}]"
            if not isinstance(t, Transition):
                raise ModelError(tkey, f"must be a Transition, got {shown(t)}")
            for attr, label in (("source", "from"), ("target", "to")):
                state = getattr(t, attr)
                if state not in self.states:
                    raise ModelError(
                        f"{tkey}.{label}",
                        unknown("state", state, "states", self.states),
                    )
            if t.source == t.target:
                raise ModelError(tkey, f'goes from "{t.source}" to itself')
            if (t.source, t.target) in seen:
                raise ModelError(
                    tkey,
                    f'a second transition from "{t.source}" to "{t.target}" '
                    f"(the first is transitions[{seen[(t.source, t.target)]}])",
                )
            seen[(t.source, t.target)] = i
            params = distributions.check_params(tkey, t.distribution, t.params)
            if t.crew is not None and not isinstance(t.crew, str):
                raise ModelError(f"{tkey}.crew", f"must be a crew pool name, got {shown(t.crew)}")
            check_integer(f"{tkey}.priority", t.priority, INT32_MIN, error=ModelError)
            checked.append(
                Transition(t.source, t.target, t.distribution, params, t.crew, t.priority)
            )
        _check_demands(key, self.states[0], checked)
        object.__setattr__(self, "transitions", tuple(checked))

    def with_parameters(self, changes: Mapping[int, Mapping[str, Any]]) -> Component:
        """This component with the parameters of transitions ``i`` updated by ``changes[i]``
        (each transition's laws checked again, as the constructor checks them), the rest
        kept as it is, already checked: a sample of an uncertainty analysis changes numbers
        only, and checking the whole component again cost as much as a hundred runs."""
        transitions = list(self.transitions)
        for i, given in changes.items():
            t = transitions[i]
            key = f"components.{self.name}.transitions[{i}]"
            params = distributions.check_params(key, t.distribution, {**t.params, **given})
            transitions[i] = Transition(
                t.source, t.target, t.distribution, params, t.crew, t.priority
            )
        # Not copy.copy: it would go through unpickling, which checks everything again.
        changed = object.__new__(Component)
        changed.__dict__.update(self.__dict__, transitions=tuple(transitions))
        return changed

    def _checked_pairs(self, key: str) -> dict[str, str]:
        pairs = self.standby_pairs
        if not isinstance(pairs, Mapping):
            raise ModelError(
                f"{key}.standby_pairs",
                f'must be a table of running and waiting states ({{ running_2 = "waiting_2" }}), '
                f"got {shown(pairs)}",
            )
        seen: set[object] = set()
        for running, waiting in pairs.items():
            pkey = f"{key}.standby_pairs.{running}"
            for state in (running, waiting):
                if not isinstance(state, str) or state not in self.states:
                    raise ModelError(pkey, unknown("state", state, "states", self.states))
                if self.kinds.get(state, "working" if state == self.states[0] else "failed") != (
                    "working"
                ):
                    raise ModelError(
                        pkey,
                        f'state "{state}" is not a working state: declare it with '
                        f'kinds = {{ {state} = "working" }}',
                    )
                if state in seen or running == waiting:
                    raise ModelError(pkey, f'state "{state}" is in two pairs')
                seen.add(state)
        return dict(pairs)

    @property
    def state_labels(self) -> tuple[str, ...]:
        """The state names, each marked with its kind where that is not the default."""
        defaults = ("working",) + ("failed",) * (len(self.states) - 1)
        return tuple(
            state
            if self.kinds.get(state, default) == default
            else f"{state} ({self.kinds[state]})"
            for state, default in zip(self.states, defaults, strict=True)
        )

    @property
    def state_kinds(self) -> tuple[int, ...]:
        """The kind code of each state (interactions.KIND_CODES): by default the first state
        working, the others failed."""
        return tuple(
            KIND_CODES[self.kinds.get(state, "working" if i == 0 else "failed")]
            for i, state in enumerate(self.states)
        )

    @property
    def names(self) -> tuple[str, ...]:
        """The component's name, or the names its count expands to."""
        if self.count is None:
            return (self.name,)
        return tuple(f"{self.name}_{i}" for i in range(1, self.count + 1))


_COUNT_OF = attrgetter("count")
_NAME_OF = attrgetter("name")
_NO_COUNT = partial(operator.is_, None)


@dataclass(frozen=True)
class RunSettings(_CheckedWhenUnpickled):
    """Run settings (the ``[simulation]`` table of a model file): ``horizon`` time units, ``runs`` runs seeded ``seed``, ``seed + 1``, ...,
    on ``threads`` threads (None: all cores). One time unit lasts ``step`` of ``unit`` (a
    label such as "h"): the engine counts whole time units, and the reports show times as
    units times ``step`` (a fault tree read with a step of 0.1 h runs in units of 0.1 h)."""

    horizon: int
    unit: str = ""
    runs: int = 10_000
    seed: int = 0
    threads: int | None = None
    step: float = 1.0

    def __post_init__(self) -> None:
        check_integer("simulation.horizon", self.horizon, 1, error=ModelError)
        _line("simulation.unit", self.unit)
        step = self.step
        if (
            isinstance(step, bool)
            or not isinstance(step, int | float)
            or not math.isfinite(step)
            or step <= 0
        ):
            raise ModelError("simulation.step", f"must be a positive number, got {shown(step)}")
        object.__setattr__(self, "step", float(step))
        check_integer("simulation.runs", self.runs, 1, error=ModelError)
        check_integer("simulation.seed", self.seed, INT32_MIN, error=ModelError)
        if self.threads is not None:
            check_integer("simulation.threads", self.threads, 1, error=ModelError)


# The name the run settings are also known by (and pickled under).
Simulation = RunSettings

#: The methods of rare-event mode: failure biasing ("sampling"), RESTART splitting
#: ("splitting"); "auto" picks one and says why.
RARE_METHODS = ("auto", "sampling", "splitting")


@dataclass(frozen=True)
class RareSettings(_CheckedWhenUnpickled):
    """Rare-event mode's settings (the ``[rare]`` table of a model file): the ``method``
    (RARE_METHODS), the ``bias`` of failure biasing (the probability the biased runs give to
    each next failure, in (0, 1)), the ``levels`` (increasing counts of component failures
    to split at) and ``splits`` (copies made at each but the last; default: from a pilot) of
    splitting, and, to
    run until precise, ``target_ci`` (the 95% interval's relative half-width to reach) and
    ``max_runs``. The runs and seed are those of [simulation]."""

    method: str = "auto"
    bias: float = 0.5
    target_ci: float | None = None
    max_runs: int | None = None
    levels: tuple[int, ...] | None = None
    splits: tuple[int, ...] | None = None

    def __post_init__(self) -> None:
        if self.method not in RARE_METHODS:
            raise ModelError(
                "rare.method", unknown("method", self.method, "rare-event methods", RARE_METHODS)
            )
        for key, low, high in (("bias", 0.0, 1.0), ("target_ci", 0.0, math.inf)):
            value = getattr(self, key)
            if value is None and key == "target_ci":
                continue
            if (
                isinstance(value, bool)
                or not isinstance(value, int | float)
                or not low < value < high
            ):
                span = "in (0, 1)" if high == 1.0 else "above 0"
                raise ModelError(f"rare.{key}", f"must be a number {span}, got {shown(value)}")
            object.__setattr__(self, key, float(value))
        if self.max_runs is not None:
            check_integer("rare.max_runs", self.max_runs, 2, error=ModelError)
        if self.levels is not None:
            object.__setattr__(self, "levels", check_levels(self.levels))
        if self.splits is not None:
            object.__setattr__(self, "splits", check_levels(self.splits, "rare.splits", False))


def check_levels(
    levels: object, key: str = "rare.levels", increasing: bool = True
) -> tuple[int, ...]:
    """Splitting's levels: a non-empty list of increasing integers from 1 (or, not
    ``increasing``, its splits: a list of integers from 1). @raises ModelError  named ``key``."""
    if isinstance(levels, str | bytes) or not isinstance(levels, list | tuple):
        raise ModelError(key, f"must be a list of integers, got {shown(levels)}")
    for value in levels:
        check_integer(key, value, 1, error=ModelError)
    if increasing and (
        not levels or any(b <= a for a, b in zip(levels, levels[1:], strict=False))
    ):
        raise ModelError(key, f"must increase, got {list(levels)}")
    return tuple(levels)


@dataclass(frozen=True)
class Model(_CheckedWhenUnpickled):
    """A system: components, the failure logic and the run settings.

    The failure logic is given one way or the other:
    - ``failed_when``: an expression such as ``"(pump_a and pump_b) or valve"``, with
      ``atleast(k, ...)`` for k-out-of-n (see tavoq_tools.model.logic); ``gates`` names
      intermediate events that it and the other gates may use, e.g.
      ``{"train_a": "pump_a or valve_a"}`` (a fault tree, see tavoq_tools.model.graph);
    - ``cutsets``: lists of component names, e.g. ``[["pump_a", "pump_b"], ["valve"]]``.

    Either way the logic is held as a graph of gates, built as written (``logic_graph``),
    and the engine evaluates that graph; the minimal cut sets are counted or listed only on
    request, within a bounded amount of work.

    A Model pickles as its fields and is checked again when unpickled, as when constructed;
    a pickle is nonetheless trusted code (see the pickle module), never data from strangers.
    """

    components: tuple[Component, ...]
    simulation: RunSettings
    failed_when: str | None = None
    cutsets: tuple[tuple[str, ...], ...] | None = None
    name: str = ""
    description: str = ""
    gates: Mapping[str, str] | None = None
    crews: tuple[CrewPool, ...] = ()
    standby: tuple[StandbyGroup, ...] = ()
    common_causes: tuple[CommonCause, ...] = ()
    triggers: tuple[Trigger, ...] = ()
    rare: RareSettings | None = None
    _graph: LogicGraph = field(init=False, repr=False, compare=False, default=None)  # type: ignore[assignment]
    # The given cut sets without the supersets among them (None for failed_when).
    _given: tuple[tuple[str, ...], ...] | None = field(
        init=False, repr=False, compare=False, default=None
    )
    _interactions: InteractionLayout = field(init=False, repr=False, compare=False, default=None)  # type: ignore[assignment]

    def __post_init__(self) -> None:
        _line("name", self.name)
        _paragraph("description", self.description)
        if not isinstance(self.simulation, RunSettings):
            raise ModelError("simulation", f"must be a RunSettings, got {shown(self.simulation)}")
        if self.rare is not None and not isinstance(self.rare, RareSettings):
            raise ModelError("rare", f"must be a RareSettings, got {shown(self.rare)}")
        components = self.components
        if isinstance(components, (str, bytes)) or not isinstance(components, Sequence):
            raise ModelError("components", "must be a list of components")
        if not components:
            raise ModelError("components", "the model has no components")
        origin: dict[str, str] = {}
        for c in components:
            if not isinstance(c, Component):
                raise ModelError("components", f"must hold Component objects, got {shown(c)}")
            for n in c.names:
                if n in origin:
                    also = "" if origin[n] == c.name else f" (components.{origin[n]} has it too)"
                    raise ModelError(
                        f"components.{c.name}", f'duplicate component name "{n}"{also}'
                    )
                origin[n] = c.name
        object.__setattr__(self, "components", tuple(components))
        for what, cls in (
            ("crews", CrewPool),
            ("standby", StandbyGroup),
            ("common_causes", CommonCause),
            ("triggers", Trigger),
        ):
            items = getattr(self, what)
            if isinstance(items, (str, bytes)) or not isinstance(items, Sequence):
                raise ModelError(what, f"must be a list of {cls.__name__} objects")
            for item in items:
                if not isinstance(item, cls):
                    raise ModelError(what, f"must hold {cls.__name__} objects, got {shown(item)}")
            object.__setattr__(self, what, tuple(items))
        gates = self.gates if isinstance(self.gates, Mapping) else {}
        modules = {*gates, *(g.name for g in self.standby)} if self.standby else ()
        layout = resolve(self.components, self.crews, self.standby, self.common_causes, modules)
        taken = set(origin) | {c.name for c in self.components}
        for group in self.standby:
            if group.name in taken:
                raise ModelError(
                    f"standby.{group.name}",
                    f'"{group.name}" names a component already: a group needs a name of its own',
                )
            if self.gates and group.name in self.gates:
                raise ModelError(
                    f"gates.{group.name}",
                    f'"{group.name}" names a standby group already: a gate needs a name of its '
                    "own",
                )
            taken.add(group.name)
        object.__setattr__(self, "_graph", self._logic())
        if layout.module_names:
            layout = resolve_modules(layout, self.components, self.standby, self._graph)
        layout = resolve_pairs(layout, self.components)
        if self.triggers:
            node_of, parents = self._watched(layout)
            layout = dataclasses.replace(
                layout,
                triggers=resolve_triggers(
                    self.triggers, self.components, node_of, parents, self._watchable
                ),
            )
        object.__setattr__(self, "_interactions", layout)

    def _watched(self, layout: InteractionLayout) -> tuple[dict[str, int], NodeParents]:
        """Each name a trigger watches -> its node in the FaultTree, and each node -> the
        nodes directly above it (a component's standby groups, the gates that take a node as
        an input; ~gate for a gate that is not a threshold, which may turn either way)."""
        n = len(self.component_names)
        leaves = n + len(self.standby)
        watched = {t.when for t in self.triggers if isinstance(t.when, str)}
        node_of = {name: i for i, name in enumerate(self.component_names) if name in watched}
        parents = NodeParents(leaves + self._graph.n_gates)
        for g, (group, row) in enumerate(zip(self.standby, layout.groups, strict=True)):
            if group.name in watched:
                node_of[group.name] = n + g
            for unit in row[0]:
                # A spare module's node is the gate or group it names.
                parents.add(unit if unit < n else layout.modules[unit - n][0], n + g)
        for gate, logic_gate in enumerate(self._graph.gates):
            # A gate that is not a threshold may turn either way: marked ~node.
            above = leaves + gate if logic_gate.kind in THRESHOLD_KINDS else ~(leaves + gate)
            parents.add_above(set(logic_gate.inputs), above)
        for name, gate in self._graph.named:
            if name in watched:
                node_of[name] = leaves + gate
        return node_of, parents.done()

    def _watchable(self) -> list[str]:
        """Every name a trigger may watch: components, standby groups and named gates."""
        return list(
            dict.fromkeys(
                [
                    *self.component_names,
                    *(g.name for g in self.standby),
                    *(name for name, _ in self._graph.named),
                ]
            )
        )

    def _unknown(self, key: str, name: object, column: int = 0) -> ModelError:
        groups = {c.name: c for c in self.components if c.count is not None}
        where = f"column {column}: " if column else ""
        if name in groups:
            c = groups[name]
            return ModelError(
                key,
                f'{where}"{name}" is a group: count = {c.count} makes '
                f"{c.names[0]} .. {c.names[-1]}; name those",
            )
        names = self.logic_names
        if self.gates or self.standby:
            return ModelError(
                key,
                where
                + unknown(
                    "component, gate or group" if self.standby else "component or gate",
                    name,
                    "names",
                    [*names, *(self.gates or ())],
                ),
            )
        return ModelError(key, where + unknown("component", name, "components", names))

    def _logic(self) -> LogicGraph:
        names = self.logic_names
        if (self.failed_when is None) == (self.cutsets is None):
            raise ModelError(
                "failed_when",
                "give the failure logic one way: failed_when (an expression) or cutsets "
                "(lists of component names)",
            )
        gates = self.gates
        # A fault-tree reader's gates come with the forms it read (see PreparedGates).
        prepared = gates if isinstance(gates, PreparedGates) else None
        if gates is not None:
            if not isinstance(gates, Mapping):
                raise ModelError(
                    "gates", f"must be a table of gate names and expressions, got {shown(gates)}"
                )
            if self.failed_when is None and gates:
                raise ModelError(
                    "gates",
                    "gates are named for failed_when; with cutsets they would never be used",
                )
            if prepared is None or self.failed_when is None:
                object.__setattr__(self, "gates", dict(gates))
        if self.failed_when is not None:
            try:
                graph = build_graph(names, self.gates, self.failed_when, self._unknown, prepared)
            except GraphError as err:
                raise ModelError(err.key, err.message) from None
            if prepared is not None:
                # The reader's texts are a dict of the model's own: kept, not copied.
                object.__setattr__(self, "gates", prepared.texts)
            return graph
        cutsets = self.cutsets
        if isinstance(cutsets, (str, bytes)) or not isinstance(cutsets, Sequence) or not cutsets:
            raise ModelError("cutsets", "must be a non-empty list of lists of component names")
        known = set(names)
        normalized = []
        for i, cutset in enumerate(cutsets):
            if isinstance(cutset, (str, bytes)) or not isinstance(cutset, Sequence) or not cutset:
                raise ModelError(
                    f"cutsets[{i}]",
                    f"must be a non-empty list of component names, got {shown(cutset)}",
                )
            for j, name in enumerate(cutset):
                if not isinstance(name, str):
                    raise ModelError(
                        f"cutsets[{i}][{j}]", f"must be a component name, got {shown(name)}"
                    )
                if name not in known:
                    raise self._unknown(f"cutsets[{i}][{j}]", name)
            normalized.append(tuple(cutset))
        object.__setattr__(self, "cutsets", tuple(normalized))
        minimal = tuple(logic.minimize(normalized, names))
        object.__setattr__(self, "_given", minimal)
        return graph_of_cutsets(names, minimal)

    @property
    def component_names(self) -> list[str]:
        """Every component's name, counts expanded, in the order of the matrix."""
        components = self.components
        # Without a count among them (a fault tree's events), each is its one name: taken at
        # C speed rather than as a tuple of names each, for a hundred thousand events.
        if all(map(_NO_COUNT, map(_COUNT_OF, components))):
            return list(map(_NAME_OF, components))
        return [n for c in components for n in c.names]

    @property
    def repairable(self) -> bool:
        """Whether any component can be restored: a transition from a failed or planned
        state to a working one."""
        for c in self.components:
            kinds = dict(zip(c.states, c.state_kinds))
            if any(kinds[t.source] != 0 and kinds[t.target] == 0 for t in c.transitions):
                return True
        return False

    @property
    def demand_components(self) -> tuple[int, ...]:
        """The matrix indices of the components whose negative first draws are their demand
        failures not happening (a ``demand`` transition and no ``normal`` one), which are no
        cause for a warning."""
        found: list[int] = []
        index = 0
        for c in self.components:
            kinds = {t.distribution for t in c.transitions}
            quiet = "demand" in kinds and "normal" not in kinds
            if quiet:
                found.extend(range(index, index + len(c.names)))
            index += len(c.names)
        return tuple(found)

    @property
    def logic_names(self) -> list[str]:
        """The leaves of the failure logic: the components, then the standby groups."""
        return [*self.component_names, *(g.name for g in self.standby)]

    @property
    def interaction_layout(self) -> InteractionLayout:
        """Kinds, crews, standby groups, common causes and triggers by index."""
        return self._interactions

    @property
    def plant(self) -> InteractionLayout:
        """Another name of ``interaction_layout``, which callers may use."""
        return self._interactions

    @property
    def crew_pools(self) -> list[tuple[str, int]]:
        """The crew pools as (name, crews), in the engine's pool order (for summarize)."""
        return [(pool.name, pool.count) for pool in self.crews]

    @property
    def has_interactions(self) -> bool:
        """Whether the runs need ``tavoq.Interactions`` (kinds, crews, groups, ...)."""
        return not self._interactions.empty

    @property
    def n_states(self) -> int:
        """States per component in the matrix: the largest number any component has."""
        return max(len(c.states) for c in self.components)

    @property
    def logic_graph(self) -> LogicGraph:
        """The failure logic as a graph of gates (tavoq_tools.model.graph), as written."""
        return self._graph

    @cached_property
    def cutset_count(self) -> mcs.CutsetCount:
        """How many minimal cut sets the logic has (exact, or a lower bound when counting
        all of them would take too long; see tavoq_tools.model.cutsets)."""
        if self._given is not None:
            return mcs.CutsetCount(len(self._given), len(self._given))
        return mcs.count_cutsets(self._graph)

    @cached_property
    def _run_layout(self) -> tuple[LogicGraph, LogicLayout]:
        return mcs.layout_of(
            self._graph, given_as_cutsets=self._given is not None, count=self.cutset_count
        )

    @property
    def logic_layout(self) -> LogicLayout:
        """Where the statistics of a run of ``build()``'s tree are: the named gates, the
        top and, when there are at most TABLE_CUTSETS minimal cut sets (or the model gives
        cut sets), one observer gate per minimal cut set (see LogicLayout)."""
        return self._run_layout[1]

    def minimal_cutsets(self) -> list[tuple[str, ...]]:
        """The minimal cut sets by component name: smallest first, members in model order.
        Raises ModelError when there are more than MAX_CUTSETS of them (or more than the
        work budget can list)."""
        if self._given is not None:
            return list(self._given)
        listed = mcs.all_cutsets(self._graph, MAX_CUTSETS)
        if listed is None:
            count = self.cutset_count
            if count.none_because:
                raise ModelError("failed_when", f"no minimal cut sets: {count.none_because}")
            raise ModelError(
                "failed_when",
                f"{count.describe()} minimal cut sets: more than the {MAX_CUTSETS:,} that "
                "are listed"
                if count.exceeds(MAX_CUTSETS)
                else f"the minimal cut sets ({count.describe()}) cannot be listed within the "
                "work budget",
            )
        names = self.logic_names
        return [tuple(names[i] for i in members) for members in listed]

    def smallest_cutsets(self, limit: int) -> tuple[list[tuple[str, ...]], bool]:
        """Up to ``limit`` minimal cut sets of the fewest components, by name, and whether
        none was left out for want of work (see tavoq_tools.model.cutsets)."""
        names = self.logic_names
        if self._given is not None:
            return list(self._given[:limit]), True
        listed = mcs.smallest_cutsets(self._graph, limit)
        return [tuple(names[i] for i in c) for c in listed.cutsets], listed.complete

    def cutset_tree(self) -> Any:
        """The ``tavoq.CutsetTree`` of the minimal cut sets, for the runners that
        take one (runnerSingleSim, runnerMultipleSim, runnerParallelSim). Raises ModelError
        when there are too many (MAX_CUTSETS, or MAX_CUTSET_CELLS cells of the vectors)."""
        import tavoq

        if self.has_interactions:
            raise ModelError(
                "components",
                "the runners that take a CutsetTree simulate every component on its own: "
                "kinds, crews, standby groups, common causes and triggers need "
                "runnerStatistics (Model.build())",
            )
        cutsets = self.minimal_cutsets()
        position = {name: i for i, name in enumerate(self.component_names)}
        if len(cutsets) * len(position) > MAX_CUTSET_CELLS:
            raise ModelError(
                "failed_when",
                f"{len(cutsets):,} minimal cut sets over {len(position):,} components take "
                f"more than the {MAX_CUTSET_CELLS:,} cells a CutsetTree may hold",
            )
        vectors = []
        for cutset in cutsets:
            vector = [0] * len(position)
            for name in cutset:
                vector[position[name]] = 1
            vectors.append(vector)
        tree = tavoq.CutsetTree(len(position))
        tree.constructTree(vectors)
        return tree

    def build(self) -> tuple[list, Any, Any]:
        """The native objects for runnerStatistics: the transitions matrix, the logic as a
        ``tavoq.FaultTree`` (the gates as written, plus the observer gates of
        ``logic_layout``, which feed nothing and so never change the verdict; the standby
        groups are its leaves after the components), and the ``tavoq.Interactions`` of the
        kinds, crews, groups, common causes and triggers, or None when the model has none
        (the runs then take the engine's plain path)."""
        interactions = (
            self._interactions.to_native(len(self.component_names))
            if self.has_interactions
            else None
        )
        return self.matrix(), self._run_layout[0].to_native(), interactions

    def matrix(self, *, square: bool = False) -> list:
        """The native transitions matrix: per component a table of distributions of its own
        number of states (as runnerStatistics reads it) or, with ``square``, of the largest
        number (as runnerSingleSim, runnerMultipleSim and runnerParallelSim need; padded with
        states that no transition enters). One 200-state component beside a thousand
        two-state ones so takes 44,000 cells instead of 40 million."""
        matrix: list = []
        width = self.n_states if square else 0
        # The cells of a component's table, made once for the components that share their
        # transitions (a fault tree's events copy a few templates): a native distribution
        # cannot be changed, so the rows may hold the same one, each row a list of its own.
        made: dict[tuple[int, int], list] = {}
        factors = self._interactions.rate_factors
        for c in self.components:
            key = (id(c.transitions), width or len(c.states))
            cells = made.get(key) if not factors else None
            if cells is None:
                rows = self._rows(c, len(matrix), square, width)
                if not factors and len(c.names) == 1:
                    made[key] = rows[0]
                matrix += rows
            else:
                matrix.append([row[:] for row in cells])
        return matrix

    def matrix_with(self, base: list, changed: Mapping[int, Component]) -> list:
        """``base`` (this model's ``matrix()``) with the components at the indices of
        ``changed`` (into ``components``) given by their replacements, which differ from them
        only in their laws' parameters: the matrix of the model made with them, built
        without checking the whole model again (each sample of an uncertainty analysis)."""
        matrix = list(base)
        first = 0
        for i, c in enumerate(self.components):
            if i in changed:
                replacement = changed[i]
                matrix[first : first + len(c.names)] = self._rows(replacement, first, False)
            first += len(c.names)
        return matrix

    def _rows(self, c: Component, first: int, square: bool, width: int = 0) -> list:
        """The matrix rows of ``c``'s components, the first at index ``first``; ``width``
        is the model's largest number of states when known."""
        import tavoq

        never = tavoq.Distribution()  # shared: it holds nothing and never fires
        # A beta factor leaves each member the rest of its failure rate.
        factors = self._interactions.rate_factors
        index = {state: i for i, state in enumerate(c.states)}
        n = (width or self.n_states) if square else len(c.states)
        rows: list = []
        for _ in c.names:
            cells = [[never] * n for _ in range(n)]
            for t in c.transitions:
                source, target = index[t.source], index[t.target]
                factor = factors.get((first + len(rows), source, target))
                params = (
                    t.params if factor is None else {"rate": exponential_rate(t.params) * factor}
                )
                cells[source][target] = distributions.native(t.distribution, params)
            rows.append(cells)
        return rows

    def cutset_names(self, tree: Any) -> list[str]:
        """A name such as "pump_1 & pump_2" for each of tree.getCutsets(), in that order."""
        names = self.component_names
        labels = []
        for vector in tree.getCutsets():
            members = [names[i] for i, v in enumerate(vector) if v == 1 and i < len(names)]
            labels.append(" & ".join(members) if members else "(no member)")
        return labels
