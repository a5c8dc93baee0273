"""A system model as plain data: named components, their states and transitions, and the
failure logic by component name.

A ``Model`` holds only strings, numbers and tuples, so it pickles and travels to other
processes; ``build()`` makes the native objects (the transitions matrix and the cut-set tree)
wherever the runs happen. Every check is made when the model is constructed, so a ``Model``
that exists is one the runners accept; a problem raises ``ModelError`` naming the key path,
e.g. ``components.pump.transitions[2].to``.

Engine facts the model hides:
- the engine gives every component as many states as component 0; components with fewer
  states are padded with states that no transition enters, so they never change the verdict;
- a cell without a transition holds a plain ``tavoq.Distribution()``, which never fires;
- the tree holds the minimal cut sets as 0/1 vectors over the components, in
  ``component_names`` order.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from ..errors import INT32_MIN, ModelError, check_integer, shown, unknown
from . import distributions, logic
from .distributions import DISTRIBUTIONS

__all__ = [
    "DISTRIBUTIONS",
    "MAX_COUNT",
    "Component",
    "Model",
    "ModelError",
    "Simulation",
    "Transition",
    "unknown",
]

# `count` expands a component into copies; a count past this is a typo, not a plant.
MAX_COUNT = 1000
NAME_PATTERN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


# -- values ------------------------------------------------------------------------------------


def _text(key: str, value: object) -> str:
    if not isinstance(value, str):
        raise ModelError(key, f"must be a string, got {shown(value)}")
    return value


def _line(key: str, value: object) -> str:
    """A string shown within a line of output: no line breaks or other control characters."""
    text = _text(key, value)
    if any(ord(ch) < 32 or 127 <= ord(ch) < 160 for ch in text):
        raise ModelError(key, f"must be one line without control characters, got {shown(value)}")
    return text


# -- the model ------------------------------------------------------------------------------


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

    def describe(self, unit: str = "") -> str:
        """``weibull scale 2500 h, shape 2``-style text."""
        return distributions.describe(self.distribution, self.params, unit)


@dataclass(frozen=True)
class Component:
    """A component: its named states (the first one working, all others failed) and its
    transitions. ``count = n`` stands for n identical components ``name_1`` .. ``name_n``.
    A transition that is not listed never happens."""

    name: str
    states: tuple[str, ...] = ("working", "failed")
    transitions: tuple[Transition, ...] = ()
    count: int | None = None
    description: str = ""

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
        key = f"components.{self.name}"
        if self.count is not None:
            check_integer(f"{key}.count", self.count, 1, MAX_COUNT, error=ModelError)
        _text(f"{key}.description", self.description)
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
            if state in states[:i]:
                raise ModelError(f"{key}.states[{i}]", f"duplicate state {shown(state)}")
        object.__setattr__(self, "states", tuple(states))
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
            checked.append(Transition(t.source, t.target, t.distribution, params))
        object.__setattr__(self, "transitions", tuple(checked))

    @property
    def names(self) -> tuple[str, ...]:
        """The component's name, or the names its count expands to."""
        if self.count is None:
            return (self.name,)
        return tuple(f"{self.name}_{i}" for i in range(1, self.count + 1))


@dataclass(frozen=True)
class Simulation:
    """Run settings: ``horizon`` time units of ``unit`` each (a label such as "h"), ``runs``
    runs seeded ``seed``, ``seed + 1``, ..., on ``threads`` threads (None: all cores)."""

    horizon: int
    unit: str = ""
    runs: int = 10_000
    seed: int = 0
    threads: int | None = None

    def __post_init__(self) -> None:
        check_integer("simulation.horizon", self.horizon, 1, error=ModelError)
        _line("simulation.unit", self.unit)
        check_integer("simulation.runs", self.runs, 1, error=ModelError)
        check_integer("simulation.seed", self.seed, INT32_MIN, error=ModelError)
        if self.threads is not None:
            check_integer("simulation.threads", self.threads, 1, error=ModelError)


@dataclass(frozen=True)
class Model:
    """A system: components, the failure logic and the run settings.

    The failure logic is given one way or the other:
    - ``failed_when``: an expression such as ``"(pump_a and pump_b) or valve"``, with
      ``atleast(k, ...)`` for k-out-of-n (see tavoq_tools.logic);
    - ``cutsets``: lists of component names, e.g. ``[["pump_a", "pump_b"], ["valve"]]``.
    """

    components: tuple[Component, ...]
    simulation: Simulation
    failed_when: str | None = None
    cutsets: tuple[tuple[str, ...], ...] | None = None
    name: str = ""
    description: str = ""
    _minimal: tuple[tuple[str, ...], ...] = field(
        init=False, repr=False, compare=False, default=()
    )

    def __post_init__(self) -> None:
        _line("name", self.name)
        _text("description", self.description)
        if not isinstance(self.simulation, Simulation):
            raise ModelError("simulation", f"must be a Simulation, got {shown(self.simulation)}")
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
        object.__setattr__(self, "_minimal", tuple(self._logic()))

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
        names = self.component_names
        return ModelError(key, where + unknown("component", name, "components", names))

    def _logic(self) -> list[tuple[str, ...]]:
        names = self.component_names
        if (self.failed_when is None) == (self.cutsets is None):
            raise ModelError(
                "failed_when",
                "give the failure logic one way: failed_when (an expression) or cutsets "
                "(lists of component names)",
            )
        if self.failed_when is not None:
            try:
                tree = logic.parse(self.failed_when)
            except logic.LogicError as err:
                raise ModelError("failed_when", str(err)) from None
            known = set(names)
            for name, column in tree.names():
                if name not in known:
                    raise self._unknown("failed_when", name, column)
            try:
                return logic.minimal_cutsets(tree, names)
            except logic.LogicError as err:
                raise ModelError("failed_when", str(err)) from None
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
                if not isinstance(name, str) or name not in known:
                    raise self._unknown(f"cutsets[{i}][{j}]", name)
            normalized.append(tuple(cutset))
        object.__setattr__(self, "cutsets", tuple(normalized))
        return logic.minimize(normalized, names)

    @property
    def component_names(self) -> list[str]:
        """Every component's name, counts expanded, in the order of the matrix."""
        return [n for c in self.components for n in c.names]

    @property
    def n_states(self) -> int:
        """States per component in the matrix: the largest number any component has."""
        return max(len(c.states) for c in self.components)

    def minimal_cutsets(self) -> list[tuple[str, ...]]:
        """The minimal cut sets by component name: smallest first, members in model order."""
        return list(self._minimal)

    def build(self) -> tuple[list, Any]:
        """The native transitions matrix and cut-set tree for the runners."""
        import tavoq

        n = self.n_states
        matrix = []
        for c in self.components:
            index = {state: i for i, state in enumerate(c.states)}
            for _ in c.names:
                rows = [[tavoq.Distribution() for _ in range(n)] for _ in range(n)]
                for t in c.transitions:
                    rows[index[t.source]][index[t.target]] = distributions.native(
                        t.distribution, t.params
                    )
                matrix.append(rows)
        position = {name: i for i, name in enumerate(self.component_names)}
        vectors = []
        for cutset in self._minimal:
            vector = [0] * len(position)
            for name in cutset:
                vector[position[name]] = 1
            vectors.append(vector)
        tree = tavoq.CutsetTree(len(position))
        tree.constructTree(vectors)
        return matrix, tree

    def cutset_names(self, tree: Any) -> list[str]:
        """A name such as "pump_1 & pump_2" for each of tree.getCutsets(), in that order."""
        names = self.component_names
        labels = []
        for vector in tree.getCutsets():
            members = [names[i] for i, v in enumerate(vector) if v == 1 and i < len(names)]
            labels.append(" & ".join(members) if members else "(no member)")
        return labels

    def describe(self) -> str:
        """The model in one paragraph: components and states, failure logic, run settings."""
        sim = self.simulation
        unit = f" {sim.unit}" if sim.unit else " time units"
        parts = []
        for c in self.components:
            who = c.name if c.count is None else f"{c.names[0]}..{c.names[-1]}"
            parts.append(f"{who} [{' / '.join(c.states)}]")
        logic_text = (
            f"failed when {self.failed_when.strip()}"
            if self.failed_when is not None
            else "failed when any cut set has failed"
        )
        n_cut = len(self._minimal)
        title = f"{self.name}: " if self.name else ""
        about = f"{self.description.strip()} " if self.description.strip() else ""
        return (
            f"{title}{about}Components: {'; '.join(parts)}. The system is {logic_text} "
            f"({n_cut} minimal cut set{'s' if n_cut != 1 else ''}). Horizon {sim.horizon}{unit}, "
            f"{sim.runs} runs, seed {sim.seed}."
        )
