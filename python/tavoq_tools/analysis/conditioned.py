"""Runs of a model with one component or gate held failed or held working throughout.

Two ways of holding, chosen by the model:

- **In the logic** (a model without interactions whose logic is coherent: or, and,
  atleast). The node held is a constant of the failure logic: every gate over it is
  simplified (an ``or`` over a failed input fails, an ``and`` drops it, an ``atleast`` needs
  one failure fewer; the other way round for an input held working), and constants climb to
  the top. Every component still draws and moves as in the base runs, so run i of a held
  batch sees exactly run i's draws: only the verdict differs, and the paired differences
  are the time the node is critical, the identity that makes these measures exact for
  independent components.
- **In the plant** (a model with crews, standby groups, triggers or common causes, or with
  order or non-coherent gates). A component held failed leaves its first state for its first
  failed state (a planned one when it has none) in unit 0 and never leaves a state of that
  kind by itself. A component held working makes no transition of its own from a working
  state to another kind. Common causes and triggers still move it either way: what is held
  is the component against its own failures and repairs. Holding it changes
  how the others behave (a crew freed, a standby unit never called), so the runs part from
  the base runs' draws where that happens; they start from the same seeds.

A gate can only be held in the logic.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from ..model.graph import THRESHOLD_KINDS, Gate, LogicGraph
from ..model.system import Model

__all__ = ["Held", "can_hold_in_logic", "down_state", "hold_in_logic"]

# What a node is in the held logic: a gate index of the new graph (or a leaf), or a constant.
_FAILED = True
_WORKING = False


def can_hold_in_logic(model: Model) -> bool:
    """Whether ``model``'s nodes are held in the logic (see the module's notes)."""
    return not model.has_interactions and model.logic_graph.coherent


def hold_in_logic(graph: LogicGraph, node: int, failed: bool) -> LogicGraph | bool:
    """``graph`` with ``node`` (a leaf, or gate ``node - n_components``) held failed or
    working: the simplified graph, or True / False when the top itself becomes constant.
    The graph must be coherent; named gates that vanish are dropped from ``named``."""
    n = graph.n_components
    if not graph.coherent:
        raise ValueError("only coherent logic (or, and, atleast) is held in the logic")
    if not 0 <= node < n + graph.n_gates:
        raise ValueError(f"node {node} is not in the graph")
    # value[i]: the new node id of old node i, or a constant (True / False).
    value: list[int | bool] = list(range(n))
    if node < n:
        value[node] = failed
    gates: list[Gate] = []
    for i, gate in enumerate(graph.gates):
        if n + i == node:
            value.append(failed)
            continue
        inputs = [value[j] for j in gate.inputs]
        live = tuple(int(v) for v in inputs if not isinstance(v, bool))
        down = sum(1 for v in inputs if v is _FAILED)
        need = THRESHOLD_KINDS[gate.kind](gate.k, len(inputs)) - down
        if need <= 0:
            value.append(_FAILED)
        elif need > len(live):
            value.append(_WORKING)
        else:
            kind = "or" if need == 1 else "and" if need == len(live) else "atleast"
            gates.append(Gate(kind, live, need if kind == "atleast" else 0, gate.name))
            value.append(n + len(gates) - 1)
    top = value[n + graph.top]
    if isinstance(top, bool):
        return top
    named = tuple(
        (name, int(v) - n)
        for name, index in graph.named
        if not isinstance(v := value[n + index], bool) and int(v) >= n
    )
    return LogicGraph(graph.component_names, tuple(gates), int(top) - n, named)


@dataclass(frozen=True)
class Held:
    """``model`` with node ``node`` held failed (``failed``) or working: a plain-data model
    that builds where it runs (a Dask worker's process too), as ``Model.build`` does.

    ``node`` numbers as the logic does: components, then standby groups, then gates. With
    ``in_logic`` the node is held in the logic, otherwise a component is held in the plant
    (see the module's notes). ``constant`` is set when the held logic's top is constant:
    there is nothing to run, every run is down (True) or up (False) throughout."""

    model: Model
    node: int
    failed: bool
    in_logic: bool

    @property
    def simulation(self) -> Any:
        return self.model.simulation

    @property
    def component_names(self) -> list[str]:
        return self.model.component_names

    @property
    def demand_components(self) -> tuple[int, ...]:
        return self.model.demand_components

    @property
    def constant(self) -> bool | None:
        if not self.in_logic:
            return None
        held = hold_in_logic(self.model.logic_graph, self.node, self.failed)
        return held if isinstance(held, bool) else None

    def build(self) -> tuple[list, Any, Any]:
        model = self.model
        if self.in_logic:
            held = hold_in_logic(model.logic_graph, self.node, self.failed)
            if isinstance(held, bool):
                raise ValueError("the held logic is constant: there is nothing to run")
            return model.matrix(), held.to_native(), None
        matrix, tree, interactions = model.build()
        kinds = _state_kinds(model)[self.node]
        down = down_state(kinds)
        if down is None:
            raise ValueError(f"component {self.node} has no state that is not working")
        _hold_component(matrix[self.node], kinds, down if self.failed else None)
        return matrix, tree, interactions


def _state_kinds(model: Model) -> list[tuple[int, ...]]:
    """Per component of the matrix: its states' kinds (0 working, 1 failed, 2 planned)."""
    return [c.state_kinds for c in model.components for _ in c.names]


def down_state(kinds: tuple[int, ...]) -> int | None:
    """The state a component is held failed in: its first failed state, else its first
    planned one; None when every state is working."""
    for wanted in (1, 2):
        if wanted in kinds:
            return kinds.index(wanted)
    return None


def _hold_component(rows: list[list[Any]], kinds: tuple[int, ...], down: int | None) -> None:
    """A component's native rows, held in state ``down`` from unit 0 (and never leaving a
    state of its kind by itself), or with ``down`` None held working: no transition of its
    own from a working state to another kind. Every row keeps its cells, so every draw is
    made as before."""
    import tavoq

    from ..model import distributions

    never = tavoq.Distribution()
    if down is not None:
        for s, kind in enumerate(kinds):
            if kind == kinds[down]:
                rows[s][:] = [never] * len(rows[s])
        rows[0][:] = [never] * len(rows[0])
        rows[0][down] = distributions.native("constant", {"delay": 0})
        return
    for s, kind in enumerate(kinds):
        if kind == 0:
            for t, to_kind in enumerate(kinds):
                if to_kind != 0:
                    rows[s][t] = never
