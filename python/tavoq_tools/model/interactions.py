"""Components that act on each other: state kinds, repair crews, standby groups, common
causes and triggers, as plain data, their checks, and the native ``tavoq.Interactions``.

Each construct is a frozen dataclass of names and numbers, like the rest of a Model. The
Model checks them against its components (``resolve``), which gives a ``InteractionLayout``: the
same things by index, which is all that building the native object needs.

What the names mean to the engine (docs/model-format.md says it for the reader):
- a state's kind is working, failed or planned; a component is down for the failure logic
  in a failed or planned state, and a system stop caused by planned states alone is planned,
  not a failure;
- every transition out of a state that names a crew waits for a crew of that pool;
- a standby group keeps one of its units in its active state, in preference order; its
  name is a leaf of the failure logic (node ``n_components + group number``), down while no
  unit is active;
- a common cause is an event of its own that moves all its working members at once; with
  ``beta`` it takes the fraction beta of each member's exponential failure rate;
- a trigger moves components when a component, gate or group fails or is restored.
"""

from __future__ import annotations

import dataclasses
import math
from array import array
from collections.abc import Callable, Collection, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np

from ..errors import ModelError, check_integer, shown, unknown
from . import distributions, logic


class _Transition(Protocol):
    @property
    def source(self) -> str: ...
    @property
    def target(self) -> str: ...
    @property
    def distribution(self) -> str: ...
    @property
    def params(self) -> Mapping[str, Any]: ...
    @property
    def crew(self) -> str | None: ...
    @property
    def priority(self) -> int: ...


class Component(Protocol):
    """What the checks read of a component (tavoq_tools.model.system.Component)."""

    @property
    def name(self) -> str: ...
    @property
    def states(self) -> tuple[str, ...]: ...
    @property
    def kinds(self) -> Mapping[str, str]: ...
    @property
    def standby_pairs(self) -> Mapping[str, str]: ...
    @property
    def transitions(self) -> Sequence[_Transition]: ...
    @property
    def count(self) -> int | None: ...
    @property
    def names(self) -> tuple[str, ...]: ...
    @property
    def state_kinds(self) -> tuple[int, ...]: ...


__all__ = [
    "KIND_CODES",
    "MAX_CREWS",
    "CommonCause",
    "CrewPool",
    "InteractionLayout",
    "Move",
    "NodeParents",
    "StandbyGroup",
    "Trigger",
    "check_name",
    "exponential_rate",
    "resolve",
    "resolve_triggers",
]

#: A state's kind -> the code the engine takes.
KIND_CODES = {"working": 0, "failed": 1, "planned": 2}
WORKING, FAILED, PLANNED = 0, 1, 2
# More crews in one pool than this is a typo, not a workshop.
MAX_CREWS = 100_000


@dataclass(frozen=True)
class CrewPool:
    """``count`` repair crews shared by the transitions that name the pool."""

    name: str
    count: int = 1


@dataclass(frozen=True)
class Move:
    """Moves each of ``components`` whose state is one of ``source`` to ``target``. A name
    given ``count`` stands for all its components."""

    components: tuple[str, ...]
    source: tuple[str, ...]
    target: str


@dataclass(frozen=True)
class Trigger:
    """When ``when`` (a component, gate or standby group) fails (``on_failure``) or is
    restored, the moves are made, in order. With ``probability`` below 1 each component a
    move would move is moved with that chance, one draw of the run's generator each (a
    probabilistic dependency)."""

    when: str
    moves: tuple[Move, ...]
    on_failure: bool = True
    probability: float = 1.0


@dataclass(frozen=True)
class StandbyGroup:
    """Units in preference order; one of them is kept in ``active``, the others wait in
    ``standby``. A switch-over fails with probability ``switch_failure``, which moves the unit
    to ``switch_failed`` and tries the next. With ``revert`` a more preferred unit that is
    working again takes over."""

    name: str
    units: tuple[str, ...]
    active: str
    standby: str
    switch_failure: float = 0.0
    switch_failed: str | None = None
    revert: bool = True


@dataclass(frozen=True)
class CommonCause:
    """An event that moves every member in a working state to ``target`` at once. Its delay
    is ``distribution`` with ``params``, or, with ``beta``, exponential with the fraction
    beta of the members' equal failure rate (each member keeps 1 - beta of it)."""

    name: str
    members: tuple[str, ...]
    target: str
    beta: float | None = None
    distribution: str | None = None
    params: Mapping[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class InteractionLayout:
    """The constructs by index, checked (see ``resolve``).

    ``kinds``: component index -> a kind code per state of the matrix (padding states
    failed), for components that declare kinds. ``groups``: (units, active, standby,
    switch-failed states per unit, switch failure, revert). ``common_causes``: (distribution,
    params, members, target state per member). ``rate_factors``: (component, from, to) ->
    the factor its exponential rate is multiplied by (beta). ``pools``: crew counts.
    ``crews``: (component, state, pool, priority). ``triggers``: (source node, on_failure,
    moves as (component, from states, to state)); source nodes are filled in once the logic
    is built.
    """

    kinds: dict[int, tuple[int, ...]]
    groups: tuple[
        tuple[tuple[int, ...], tuple[int, ...], tuple[int, ...], tuple[int, ...], float, bool], ...
    ]
    common_causes: tuple[tuple[str, Mapping[str, Any], tuple[int, ...], tuple[int, ...]], ...]
    rate_factors: dict[tuple[int, int, int], float]
    pools: tuple[int, ...]
    crews: tuple[tuple[int, int, int, int], ...]
    # (watched node, on failure, moves, the chance of each move)
    triggers: tuple[
        tuple[int, bool, tuple[tuple[int, tuple[int, ...], int], ...], float], ...
    ] = ()
    # The gates and groups that groups list as units (spare modules), in the order first
    # listed: unit n_components + m of a group is module m. ``modules`` gives each, once the
    # logic is built (resolve_modules): (its node, its components, their active and standby
    # states, the groups inside it).
    # (component, running state, waiting state): a unit's or part's further pairs
    pairs: tuple[tuple[int, int, int], ...] = ()
    module_names: tuple[str, ...] = ()
    modules: tuple[
        tuple[int, tuple[int, ...], tuple[int, ...], tuple[int, ...], tuple[int, ...]], ...
    ] = ()

    @property
    def empty(self) -> bool:
        """Nothing the engine would need Interactions for."""
        return not (self.kinds or self.groups or self.common_causes or self.pools or self.triggers)

    @property
    def has_planned(self) -> bool:
        return any(PLANNED in kinds for kinds in self.kinds.values())

    def to_native(self, n_components: int) -> Any:
        """The ``tavoq.Interactions`` of this layout, for runnerStatistics."""
        import importlib

        # Typed as Any: the module's stub may predate Interactions.
        tavoq: Any = importlib.import_module("tavoq")
        native = tavoq.Interactions(n_components)
        for component, kinds in self.kinds.items():
            native.setStateKinds(component, list(kinds))
        for m, (node, parts, active, standby, inner) in enumerate(self.modules):
            unit = native.addSpareModule(
                node, list(parts), list(active), list(standby), list(inner)
            )
            if unit != n_components + m:
                raise RuntimeError(f"spare module {m} became unit {unit}, not {n_components + m}")
        for g, (units, active, standby, failed, q, revert) in enumerate(self.groups):
            leaf = native.addStandbyGroup(
                list(units), list(active), list(standby), list(failed), q, revert
            )
            if leaf != n_components + g:
                raise RuntimeError(f"standby group {g} became leaf {leaf}, not {n_components + g}")
        for component, running, waiting in self.pairs:
            native.addStatePair(component, running, waiting)
        for name, params, members, targets in self.common_causes:
            native.addCommonCause(distributions.native(name, params), list(members), list(targets))
        for count in self.pools:
            native.addCrewPool(count)
        for component, state, pool, priority in self.crews:
            native.setCrew(component, state, pool, priority)
        for source, on_failure, moves, probability in self.triggers:
            native.addTrigger(
                source, on_failure, [(c, list(states), to) for c, states, to in moves], probability
            )
        return native


# -- checks -----------------------------------------------------------------------------------


def check_name(key: str, name: object, what: str) -> str:
    """A name of the failure logic's language (letters, digits, _)."""
    if (
        not isinstance(name, str)
        or not logic.NAME_PATTERN.fullmatch(name)
        or name in logic.KEYWORDS
        or len(name) > logic.MAX_NAME_LENGTH
    ):
        raise ModelError(
            key,
            f"a {what} name is letters, digits and _ (at most {logic.MAX_NAME_LENGTH}), not "
            f"starting with a digit, and not and, or, atleast, not; got {shown(name)}",
        )
    return name


def _names(key: str, value: object, what: str, *, empty: bool = False) -> tuple[str, ...]:
    if (
        isinstance(value, str | bytes)
        or not isinstance(value, Sequence)
        or (not value and not empty)
    ):
        raise ModelError(key, f"must be a non-empty list of {what}, got {shown(value)}")
    for i, item in enumerate(value):
        if not isinstance(item, str):
            raise ModelError(f"{key}[{i}]", f"must be a {what[:-1]} name, got {shown(item)}")
    return tuple(value)


def _probability(key: str, value: object, *, below_one: bool) -> float:
    ok = isinstance(value, int | float) and not isinstance(value, bool)
    number = float(value) if ok else math.nan  # type: ignore[arg-type]
    inside = 0.0 <= number < 1.0 if below_one else 0.0 <= number <= 1.0
    if not inside:
        interval = "[0, 1)" if below_one else "[0, 1]"
        raise ModelError(key, f"must be a number in {interval}, got {shown(value)}")
    return number


class _Components:
    """The model's components by expanded name, for the checks."""

    def __init__(self, components: Sequence[Component]) -> None:
        self.index: dict[str, int] = {}
        self.component: dict[str, Component] = {}
        self.groups: dict[str, tuple[str, ...]] = {}
        for c in components:
            for name in c.names:
                self.index[name] = len(self.index)
                self.component[name] = c
            if c.count is not None:
                self.groups[c.name] = c.names

    def expand(self, key: str, names: Sequence[str]) -> list[tuple[str, str]]:
        """(key of the name, component name) for each name, a count's name expanded."""
        out = []
        for i, name in enumerate(names):
            out.extend(self._expand_one(f"{key}[{i}]", name, "component", ()))
        return out

    def expand_units(
        self, key: str, names: Sequence[str], modules: Collection[str]
    ) -> list[tuple[str, str, bool]]:
        """``expand`` for a group's units, which may also name a gate or another standby
        group (a spare module): (key, name, whether a module) for each."""
        out: list[tuple[str, str, bool]] = []
        what = "component, gate or standby group" if modules else "component"
        for i, name in enumerate(names):
            ukey = f"{key}[{i}]"
            if name in modules and name not in self.index and name not in self.groups:
                out.append((ukey, name, True))
            else:
                out.extend((k, u, False) for k, u in self._expand_one(ukey, name, what, modules))
        return out

    def _expand_one(
        self, key: str, name: str, what: str, others: Collection[str]
    ) -> list[tuple[str, str]]:
        if name in self.index:
            return [(key, name)]
        if name in self.groups:
            return [(key, member) for member in self.groups[name]]
        raise ModelError(
            key,
            unknown(
                what,
                name,
                "names" if others else "components",
                [*self.index, *self.groups, *others],
            ),
        )

    def state(self, key: str, name: str, state: object) -> int:
        states = self.component[name].states
        if not isinstance(state, str) or state not in states:
            raise ModelError(key, unknown(f"state of {name}", state, "states", states))
        return states.index(state)

    def kind(self, name: str, state: int) -> int:
        return self.component[name].state_kinds[state]


def resolve(
    components: Sequence[Component],
    crews: Sequence[CrewPool],
    groups: Sequence[StandbyGroup],
    common_causes: Sequence[CommonCause],
    modules: Collection[str] = (),
) -> InteractionLayout:
    """Check the constructs against the components; ModelError names the key of the first
    problem. ``modules``: the names a group may list as a unit besides components (gates and
    groups: spare modules). Triggers and spare modules are checked by ``resolve_triggers``
    and ``resolve_modules`` once the logic exists."""
    known = _Components(components)
    # Only kinds other than the default rule need telling, for each component's own states
    # (runnerStatistics reads every component with its own number of states).
    kinds = {}
    # A fault tree's events repeat a few pairs of states and kinds: each told once.
    told: dict[tuple[int, tuple[tuple[str, str], ...]], tuple[int, ...] | None] = {}
    for c in components:
        shape = (id(c.states), tuple(c.kinds.items()))
        if shape not in told:
            own = c.state_kinds
            told[shape] = None if own == (WORKING,) + (FAILED,) * (len(c.states) - 1) else own
        found = told[shape]
        if found is not None:
            for name in c.names:
                kinds[known.index[name]] = found

    pool_of: dict[str, int] = {}
    for pool in crews:
        key = f"crews.{pool.name}"
        check_name(key, pool.name, "crew pool")
        check_integer(f"{key}.count", pool.count, 1, MAX_CREWS, error=ModelError)
        if pool.name in pool_of:
            raise ModelError(key, f'a second crew pool "{pool.name}"')
        pool_of[pool.name] = len(pool_of)
    crew_rows = _crew_rows(components, known, pool_of)

    group_rows = []
    roles: dict[str, tuple[str, str, str]] = {}  # unit -> (group, active, standby)
    listed: dict[str, int] = {}  # spare module -> its number
    for group in groups:
        group_rows.append(_group_row(group, known, roles, modules, listed))

    cause_rows = []
    factors: dict[tuple[int, int, int], float] = {}
    beta_of: dict[str, str] = {}
    for cause in common_causes:
        cause_rows.append(_cause_row(cause, known, factors, beta_of))

    return InteractionLayout(
        kinds=kinds,
        groups=tuple(group_rows),
        common_causes=tuple(row for row in cause_rows if row is not None),
        rate_factors=factors,
        pools=tuple(pool.count for pool in crews),
        crews=crew_rows,
        module_names=tuple(listed),
    )


def _crew_rows(
    components: Sequence[Component], known: _Components, pool_of: Mapping[str, int]
) -> tuple[tuple[int, int, int, int], ...]:
    rows = []
    # The transitions of a fault tree's events are shared tuples: those without a crew,
    # whose rows are none, are checked once.
    crewless: set[int] = set()
    for c in components:
        if id(c.transitions) in crewless:
            continue
        by_state: dict[str, tuple[str | None, int, int]] = {}
        for i, t in enumerate(c.transitions):
            key = f"components.{c.name}.transitions[{i}]"
            if t.crew is not None and t.crew not in pool_of:
                raise ModelError(
                    f"{key}.crew",
                    unknown("crew pool", t.crew, "crews", list(pool_of))
                    + (" (define it in [crews.NAME] with count = N)" if not pool_of else ""),
                )
            if t.source in by_state:
                crew, priority, first = by_state[t.source]
                if (crew, priority) != (t.crew, t.priority):
                    raise ModelError(
                        f"{key}.crew",
                        f'every transition out of "{t.source}" waits for the same crew: '
                        f"transitions[{first}] says {shown(crew)} (priority {priority}), "
                        f"this one {shown(t.crew)} (priority {t.priority})",
                    )
            else:
                by_state[t.source] = (t.crew, t.priority, i)
        if all(crew is None for crew, _, _ in by_state.values()):
            crewless.add(id(c.transitions))
        for state, (crew, priority, _) in by_state.items():
            if crew is None:
                continue
            for name in c.names:
                rows.append((known.index[name], c.states.index(state), pool_of[crew], priority))
    return tuple(rows)


def _group_row(
    group: StandbyGroup,
    known: _Components,
    roles: dict[str, tuple[str, str, str]],
    modules: Collection[str],
    listed: dict[str, int],
) -> tuple[tuple[int, ...], tuple[int, ...], tuple[int, ...], tuple[int, ...], float, bool]:
    key = f"standby.{group.name}"
    check_name(key, group.name, "standby group")
    named = known.expand_units(
        f"{key}.units", _names(f"{key}.units", group.units, "units"), modules
    )
    seen: set[str] = set()
    for ukey, unit, _ in named:
        if unit in seen:
            raise ModelError(ukey, f'unit "{unit}" is listed twice')
        if unit == group.name:
            raise ModelError(ukey, f'the group "{unit}" cannot be a unit of itself')
        seen.add(unit)
    q = _probability(f"{key}.switch_failure", group.switch_failure, below_one=False)
    if q > 0 and any(module for _, _, module in named):
        raise ModelError(
            f"{key}.switch_failure",
            "a group with a gate or group among its units (a spare module) switches over "
            "without fail: give it no switch_failure",
        )
    units = [(ukey, unit) for ukey, unit, module in named if not module]
    if not isinstance(group.revert, bool):
        raise ModelError(f"{key}.revert", f"must be true or false, got {shown(group.revert)}")
    if q > 0 and group.switch_failed is None:
        raise ModelError(
            f"{key}.switch_failed",
            "missing: the state a unit goes to when its switch-over fails "
            f"(switch_failure = {q:g})",
        )
    checked: dict[str, tuple[int, int, int, int]] = {}  # unit -> (index, its three states)
    for ukey, unit in units:
        a = known.state(f"{key}.active", unit, group.active)
        s = known.state(f"{key}.standby", unit, group.standby)
        if a == s:
            raise ModelError(f"{key}.standby", "must differ from the active state")
        for state, label in ((a, "active"), (s, "standby")):
            if known.kind(unit, state) != WORKING:
                name = known.component[unit].states[state]
                raise ModelError(
                    f"{key}.{label}",
                    f'state "{name}" of {unit} is not a working state: declare it with '
                    f'kinds = {{ {name} = "working" }} in components.{known.component[unit].name}',
                )
        if group.switch_failed is not None:
            f = known.state(f"{key}.switch_failed", unit, group.switch_failed)
            if known.kind(unit, f) == WORKING:
                raise ModelError(
                    f"{key}.switch_failed",
                    f'state "{group.switch_failed}" of {unit} is a working state: a failed '
                    "switch-over leaves the unit down",
                )
        else:
            # Never entered without a switch failure; the engine still wants a down state.
            down = [i for i, k in enumerate(known.component[unit].state_kinds) if k != WORKING]
            if not down:
                raise ModelError(ukey, f"unit {unit} has no failed state: it could never fail")
            f = down[0]
        if unit in roles and roles[unit][1:] != (group.active, group.standby):
            other, other_active, other_standby = roles[unit]
            raise ModelError(
                ukey,
                f'unit "{unit}" is in standby.{other} too, with active = "{other_active}" and '
                f'standby = "{other_standby}"; a shared unit needs the same states in both '
                f'(here "{group.active}" and "{group.standby}")',
            )
        roles.setdefault(unit, (group.name, group.active, group.standby))
        checked[unit] = (known.index[unit], a, s, f)
    # A spare module's parts carry the states, checked with the logic: -1 here.
    rows = [
        (len(known.index) + listed.setdefault(unit, len(listed)), -1, -1, -1)
        if module
        else checked[unit]
        for _, unit, module in named
    ]
    indices, active, standby, failed = (tuple(column) for column in zip(*rows, strict=True))
    return (indices, active, standby, failed, q, group.revert)


def resolve_modules(
    layout: InteractionLayout,
    components: Sequence[Component],
    groups: Sequence[StandbyGroup],
    graph: Any,
) -> InteractionLayout:
    """The spare modules that groups list, from the logic ``graph`` (a LogicGraph over the
    components, then the groups): a gate's module is every component below it, through its
    gates, and the groups below it, which sleep while it waits. A group's own module is the
    group. ModelError names the group's key for a part without the group's states, a part
    or group in two modules, a component that is a unit and a part, a group inside itself."""
    known = _Components(components)
    n = len(known.index)
    leaves = n + len(groups)
    gate_of = dict(graph.named)
    group_of = {group.name: g for g, group in enumerate(groups)}
    plain = {u for units, *_ in layout.groups for u in units if u < n}
    owner: dict[int, str] = {}  # a component or group (leaf) -> the module it is in
    names = list(known.index)
    listings: dict[str, list[StandbyGroup]] = {}  # a module -> the groups that list it
    for group in groups:
        for unit in dict.fromkeys(group.units):
            listings.setdefault(unit, []).append(group)
    rows = []
    for name in layout.module_names:
        listing = listings[name]
        key = f"standby.{listing[0].name}.units"
        parts: list[int] = []
        inner: list[int] = []
        if name in group_of:
            node, inner = n + group_of[name], [group_of[name]]
        else:
            node = leaves + gate_of[name]
            stack, seen = [gate_of[name]], {gate_of[name]}
            while stack:
                for x in graph.gates[stack.pop()].inputs:
                    if x < n:
                        parts.append(x)
                    elif x < leaves:
                        inner.append(x - n)
                    elif x - leaves not in seen:
                        seen.add(x - leaves)
                        stack.append(x - leaves)
            parts, inner = sorted(set(parts)), sorted(set(inner))
        for leaf in [*parts, *(n + g for g in inner)]:
            label = names[leaf] if leaf < n else groups[leaf - n].name
            if leaf in plain:
                raise ModelError(
                    key,
                    f'"{name}" holds {label}, a unit of a standby group: a component is a unit '
                    "or a part of a spare module, not both",
                )
            if owner.setdefault(leaf, name) != name:
                raise ModelError(
                    key,
                    f'"{name}" holds {label}, which "{owner[leaf]}" holds too: spare modules '
                    "may not share a component or a group",
                )
        if len({(g.active, g.standby) for g in listing}) > 1:
            raise ModelError(
                key, f'"{name}" is a unit of several groups with other active or standby states'
            )
        active, standby = [], []
        for c in parts:
            part = names[c]
            for group in listing:
                gkey = f"standby.{group.name}"
                a = known.state(f"{gkey}.active", part, group.active)
                s = known.state(f"{gkey}.standby", part, group.standby)
                for state, label in ((a, "active"), (s, "standby")):
                    if known.kind(part, state) != WORKING:
                        raise ModelError(
                            f"{gkey}.{label}",
                            f'state "{known.component[part].states[state]}" of {part} (in '
                            f'"{name}") is not a working state',
                        )
            active.append(a)
            standby.append(s)
        rows.append((node, tuple(parts), tuple(active), tuple(standby), tuple(inner)))
    _refuse_nested_cycles(layout, rows, groups, n)
    return dataclasses.replace(layout, modules=tuple(rows))


def resolve_pairs(layout: InteractionLayout, components: Sequence[Component]) -> InteractionLayout:
    """The further pairs of states of the units and spare modules' parts that age in
    stages (``standby_pairs``); ModelError for a component with pairs that is neither."""
    known = _Components(components)
    serving = {u for units, *_ in layout.groups for u in units}
    serving.update(c for module in layout.modules for c in module[1])
    rows = []
    for c in components:
        for name in c.names if c.standby_pairs else ():
            index = known.index[name]
            if index not in serving:
                raise ModelError(
                    f"components.{c.name}.standby_pairs",
                    f"{name} is no unit of a standby group: its pairs would never switch",
                )
            for running, waiting in c.standby_pairs.items():
                rows.append((index, c.states.index(running), c.states.index(waiting)))
    if not rows:
        return layout
    staged: dict[int, set[int]] = {}
    for row in rows:
        staged.setdefault(row[0], set()).update(row[1:])
    names = list(known.index)
    first = [
        (u, a, s, q)
        for units, act, stand, _, q, _ in layout.groups
        for u, a, s in zip(units, act, stand, strict=True)
    ]
    first += [
        (c, a, s, 0.0)
        for module in layout.modules
        for c, a, s in zip(module[1], module[2], module[3], strict=True)
    ]
    for u, a, s, q in first:
        if u not in staged:
            continue
        c = known.component[names[u]]
        if {a, s} & staged[u]:
            raise ModelError(
                f"components.{c.name}.standby_pairs",
                "repeats its group's active or standby state",
            )
        if q > 0:
            raise ModelError(
                f"components.{c.name}.standby_pairs",
                f"{names[u]} is a unit of a group with a switch_failure; a unit in stages "
                "switches over without fail",
            )
    return dataclasses.replace(layout, pairs=tuple(rows))


def _refuse_nested_cycles(
    layout: InteractionLayout,
    rows: Sequence[tuple[int, tuple[int, ...], tuple[int, ...], tuple[int, ...], tuple[int, ...]]],
    groups: Sequence[StandbyGroup],
    n: int,
) -> None:
    """A group inside a module that it (through other groups) lists would wake itself."""
    inside: dict[int, list[int]] = {}  # group -> the groups that list a module holding it
    for g, (units, *_) in enumerate(layout.groups):
        for u in units:
            if u >= n:
                for inner in rows[u - n][4]:
                    inside.setdefault(inner, []).append(g)
    state = [0] * len(groups)  # 1 on the path, 2 checked
    for start in range(len(groups)):
        if state[start]:
            continue
        path = [(start, iter(inside.get(start, ())))]
        state[start] = 1
        while path:
            g, following = path[-1]
            above = next(following, None)
            if above is None:
                state[g] = 2
                path.pop()
            elif state[above] == 1:
                raise ModelError(
                    f"standby.{groups[above].name}.units",
                    f'the group "{groups[above].name}" is inside one of its own units',
                )
            elif state[above] == 0:
                state[above] = 1
                path.append((above, iter(inside.get(above, ()))))


def _cause_row(
    cause: CommonCause,
    known: _Components,
    factors: dict[tuple[int, int, int], float],
    beta_of: dict[str, str],
) -> tuple[str, Mapping[str, Any], tuple[int, ...], tuple[int, ...]] | None:
    key = f"common_cause.{cause.name}"
    check_name(key, cause.name, "common cause")
    members = known.expand(f"{key}.members", _names(f"{key}.members", cause.members, "members"))
    if len({m for _, m in members}) != len(members):
        raise ModelError(f"{key}.members", "names a component twice")
    targets = tuple(known.state(f"{key}.to", m, cause.target) for _, m in members)
    if (cause.beta is None) == (cause.distribution is None):
        raise ModelError(
            key,
            "give beta (a share of the members' failure rate) or a distribution, not both"
            if cause.beta is not None
            else "needs beta (a share of the members' failure rate) or a distribution",
        )
    indices = tuple(known.index[m] for _, m in members)
    if cause.distribution == "demand":
        # A cause draws its next delay as soon as it fires, and a demand's draws lie below
        # 1: it would fire again and again within unit 0.
        raise ModelError(
            f"{key}.distribution",
            "a common cause cannot be on demand (it would fire again at once); give the "
            "failure on demand to a component of its own and a trigger on it that moves the "
            "members",
        )
    if cause.distribution is not None:
        params = distributions.check_params(key, cause.distribution, cause.params)
        return (cause.distribution, params, indices, targets)
    if cause.params:
        raise ModelError(
            f"{key}.{next(iter(cause.params))}", "a parameter of a distribution, but beta is given"
        )
    beta = _probability(f"{key}.beta", cause.beta, below_one=True)
    rate = None
    found: list[tuple[int, int, int, float]] = []
    for mkey, member in members:
        if member in beta_of:
            raise ModelError(
                mkey,
                f"{member} is in common_cause.{beta_of[member]} with beta already: its "
                "failure rate can be shared out once",
            )
        beta_of[member] = cause.name
        component = known.component[member]
        target = component.states.index(cause.target)
        own = [
            t
            for t in component.transitions
            if t.target == cause.target
            and component.state_kinds[component.states.index(t.source)] == WORKING
        ]
        if not own or any(t.distribution != "exponential" for t in own):
            raise ModelError(
                f"{key}.beta",
                f"beta needs exponential failures: {member} has "
                + (
                    "no transition from a working state to "
                    if not own
                    else "a transition that is not exponential from a working state to "
                )
                + f'"{cause.target}"',
            )
        for t in own:
            lam = exponential_rate(t.params)
            if rate is None:
                rate = lam
            elif not math.isclose(lam, rate, rel_tol=1e-9):
                raise ModelError(
                    f"{key}.beta",
                    f"beta needs one failure rate for all members: {member} fails at rate "
                    f"{lam:g} ({t.source} -> {t.target}), another member at {rate:g}",
                )
            found.append((known.index[member], component.states.index(t.source), target, lam))
    for c, source, target, _ in found:
        factors[(c, source, target)] = 1.0 - beta
    if beta == 0.0 or rate is None:
        return None  # nothing is shared out: no event at all
    return ("exponential", {"rate": beta * rate}, indices, targets)


def exponential_rate(params: Mapping[str, Any]) -> float:
    """The rate of checked exponential parameters (mttf, mean or rate)."""
    if "rate" in params:
        return float(params["rate"])
    return 1.0 / float(params["mttf"] if "mttf" in params else params["mean"])


# -- triggers -------------------------------------------------------------------------------


class NodeParents(Sequence[Sequence[int]]):
    """``parents[node]``: the nodes directly above each node of a FaultTree, in the order they
    were added. Kept as two arrays, where a list per node would cost ten times the memory (a
    large tree has hundreds of thousands of nodes). Made by ``add``, then ``done``."""

    def __init__(self, n_nodes: int) -> None:
        self._n = n_nodes
        self._below = array("q")  # while adding: each pair (node, the node above it)
        self._above = array("q")
        self._start = array("q")

    def add(self, node: int, above: int) -> None:
        if self._start:
            raise RuntimeError("NodeParents takes no pair after done()")
        self._below.append(node)
        self._above.append(above)

    def add_above(self, nodes: Iterable[int], above: int) -> None:
        if self._start:
            raise RuntimeError("NodeParents takes no pair after done()")
        for node in nodes:
            self._below.append(node)
            self._above.append(above)

    def done(self) -> NodeParents:
        """Group the pairs by node, each node's in the order added (once: no pair is added
        after)."""
        if self._start:
            raise RuntimeError("NodeParents.done() was called already")
        below = np.frombuffer(self._below, dtype=np.int64)
        order = np.argsort(below, kind="stable")
        counts = np.bincount(below, minlength=self._n)
        self._start = array("q", np.concatenate(([0], np.cumsum(counts))).tobytes())
        self._above = array("q", np.frombuffer(self._above, dtype=np.int64)[order].tobytes())
        self._below = array("q")
        return self

    def __len__(self) -> int:
        return self._n

    def __getitem__(self, node: int) -> Sequence[int]:  # type: ignore[override]
        return self._above[self._start[node] : self._start[node + 1]]


def resolve_triggers(
    triggers: Sequence[Trigger],
    components: Sequence[Component],
    node_of: Mapping[str, int],
    parents: Sequence[Sequence[int]],
    watchable: Callable[[], Sequence[str]] | None = None,
) -> tuple[tuple[int, bool, tuple[tuple[int, tuple[int, ...], int], ...], float], ...]:
    """The triggers by index. ``node_of`` maps each name a trigger watches (component, gate,
    standby group) to its node; ``watchable()`` lists every name one may watch, for the
    message about one that is none (``node_of``'s names without it); ``parents[node]`` lists
    the nodes directly above it (the standby groups of a component, the gates that take the
    node as an input), which a node turning down (or up) can turn the same way; a gate given
    as ~gate (not, xor, pand, ...) can turn either way. A set of triggers that would set one
    another off for ever within one time unit is refused with its path."""
    known = _Components(components)
    rows = []
    moved = []  # per trigger: the events its moves cause directly, as 2 * node + down
    for i, trigger in enumerate(triggers):
        key = f"triggers[{i}]"
        if not isinstance(trigger.when, str) or trigger.when not in node_of:
            raise ModelError(
                f"{key}.when",
                unknown(
                    "component, gate or standby group",
                    trigger.when,
                    "names",
                    list(node_of) if watchable is None else watchable(),
                ),
            )
        if not isinstance(trigger.on_failure, bool):
            raise ModelError(key, "fails or restored must be true")
        chance = trigger.probability
        if isinstance(chance, bool) or not isinstance(chance, int | float) or not 0 <= chance <= 1:
            raise ModelError(
                f"{key}.probability", f"must be a number in [0, 1], got {shown(chance)}"
            )
        moves = trigger.moves
        if isinstance(moves, str | bytes) or not isinstance(moves, Sequence) or not moves:
            raise ModelError(f"{key}.move", "must be a non-empty list of moves")
        native_moves = []
        events: set[int] = set()
        for j, move in enumerate(moves):
            mkey = f"{key}.move[{j}]"
            if not isinstance(move, Move):
                raise ModelError(mkey, f"must be a Move, got {shown(move)}")
            names = known.expand(
                f"{mkey}.components", _names(f"{mkey}.components", move.components, "components")
            )
            sources = _names(f"{mkey}.from", move.source, "states")
            for _, name in names:
                c = known.index[name]
                from_states = tuple(
                    known.state(f"{mkey}.from[{k}]", name, s) for k, s in enumerate(sources)
                )
                to = known.state(f"{mkey}.to", name, move.target)
                native_moves.append((c, from_states, to))
                events.add(2 * c + (known.kind(name, to) != WORKING))
        rows.append(
            (node_of[trigger.when], trigger.on_failure, tuple(native_moves), float(chance))
        )
        moved.append(sorted(events))
    if rows:
        _refuse_endless(_TriggerGraph(rows, moved, parents))
    return tuple(rows)


class _TriggerGraph:
    """Triggers and the events between them, for the check of endless chains.

    An event is a node turning down or up, numbered 2 * node + down. A trigger causes its
    moves' events; an event causes the same turn of the nodes above it (``parents``) and sets
    off the triggers that watch it. Trigger i can set off trigger j when j's event lies above
    one of i's moves. Every walk below visits an event once per question asked, so the graph
    is never expanded into its pairs of triggers (a cascade of n triggers has n^2 of them,
    and layers of triggers exponentially many chains).
    """

    def __init__(
        self,
        rows: Sequence[tuple[int, bool, Any, float]],
        moved: Sequence[Sequence[int]],
        parents: Sequence[Sequence[int]],
    ) -> None:
        self.rows = rows
        self.moved = moved
        self.parents = parents
        self.watchers: dict[int, list[int]] = {}
        for t, (node, on_failure, *_) in enumerate(rows):
            self.watchers.setdefault(2 * node + on_failure, []).append(t)

    def above(self, event: int) -> list[int]:
        down = event & 1
        events = []
        for p in self.parents[event >> 1]:
            if p >= 0:
                events.append(2 * p + down)
            else:  # ~p: a gate that is not monotone (not, xor, pand, ...) may turn either way
                events += (2 * ~p, 2 * ~p + 1)
        return events

    def closure(
        self, starts: Sequence[int], seen: dict[int, int], label: int, ceiling: int | None = None
    ) -> list[int]:
        """The events above ``starts`` (themselves included) not in ``seen`` yet, each
        entered in ``seen`` with ``label``; returned in the order they are met. With
        ``ceiling``, only those of nodes up to it: a node's parents have higher numbers (a
        group comes after its units, a gate after its inputs), so nothing above a node
        numbered past the ceiling is at or below it."""
        top = len(self.parents) if ceiling is None else ceiling
        met = []
        stack = [e for e in starts if e not in seen and e >> 1 <= top]
        for e in stack:
            seen[e] = label
        while stack:
            event = stack.pop()
            met.append(event)
            for up in self.above(event):
                if up not in seen and up >> 1 <= top:
                    seen[up] = label
                    stack.append(up)
        return met

    def cyclic_groups(self) -> list[list[int]]:
        """The triggers of each strongly connected part of the graph that holds a cycle
        (Tarjan's algorithm, without recursion), each list in index order."""
        n_events = 2 * len(self.parents)

        def following(v: int) -> list[int]:
            if v >= n_events:
                return list(self.moved[v - n_events])
            return self.above(v) + [n_events + t for t in self.watchers.get(v, ())]

        # Arrays over every event and trigger rather than dicts of those met: a large tree's
        # triggers meet hundreds of thousands of events, and a dict entry (with its int)
        # costs ten times an array's.
        size = n_events + len(self.rows)
        index = array("q", [-1]) * size  # -1: not met yet
        low = array("q", [0]) * size
        on_stack = bytearray(size)
        met = 0
        stack: list[int] = []
        groups = []
        for root in range(n_events, size):
            if index[root] >= 0:
                continue
            index[root] = low[root] = met
            met += 1
            stack.append(root)
            on_stack[root] = 1
            work = [(root, iter(following(root)))]
            while work:
                v, successors = work[-1]
                for w in successors:
                    if index[w] < 0:
                        index[w] = low[w] = met
                        met += 1
                        stack.append(w)
                        on_stack[w] = 1
                        work.append((w, iter(following(w))))
                        break
                    if on_stack[w]:
                        low[v] = min(low[v], index[w])
                else:
                    work.pop()
                    if work:
                        u = work[-1][0]
                        low[u] = min(low[u], low[v])
                    if low[v] == index[v]:
                        part = []
                        while True:
                            w = stack.pop()
                            on_stack[w] = 0
                            part.append(w)
                            if w == v:
                                break
                        # The events alone form no cycle: one in a part of two or more
                        # passes through a trigger.
                        if len(part) > 1:
                            groups.append(sorted(w - n_events for w in part if w >= n_events))
        return groups

    def path(self, a: int, b: int) -> list[int]:
        """The shortest chain a -> ... -> b of at least one step (b reachable from a), the
        first found when the triggers of each step are taken in index order."""
        parent: dict[int, int] = {}
        seen: dict[int, int] = {}
        frontier = [a]
        while frontier:
            after = []
            for i in frontier:
                found = sorted(
                    j
                    for event in self.closure(self.moved[i], seen, i)
                    for j in self.watchers.get(event, ())
                    if j not in parent
                )
                for j in found:
                    parent[j] = i
                    if j == b:
                        path = [b]
                        node = i
                        while node != a:
                            path.append(node)
                            node = parent[node]
                        path.append(a)
                        return path[::-1]
                    after.append(j)
            frontier = after
        raise ValueError(f"no chain from {a} to {b}")


def _refuse_endless(graph: _TriggerGraph) -> None:
    """A chain of triggers repeats for ever only if it also turns a watched node back the
    other way: refused is a trigger on a closed chain one of whose triggers undoes the
    trigger's own event with its moves. The first such trigger (by index) is named, with
    the first of its chain that undoes it."""
    refused: tuple[int, int] | None = None
    for group in graph.cyclic_groups():
        first: dict[int, int] = {}  # event -> the first trigger of the group whose moves cause it
        ceiling = max(graph.rows[t][0] for t in group)  # the highest node the group watches
        for t in group:
            graph.closure(graph.moved[t], first, t, ceiling)
        for start in group:
            node, on_failure, *_ = graph.rows[start]
            undoing = first.get(2 * node + (not on_failure))
            if undoing is not None:
                if refused is None or start < refused[0]:
                    refused = (start, undoing)
                break
    if refused is None:
        return
    start, undoing = refused
    there = graph.path(start, undoing) if undoing != start else [start]
    back = graph.path(undoing, start)
    loop = there + back[1:]
    raise ModelError(
        f"triggers[{start}]",
        "the triggers set one another off without end within one time unit: "
        + " -> ".join(f"triggers[{i}]" for i in loop),
    )
