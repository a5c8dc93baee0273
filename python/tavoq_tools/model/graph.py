"""The failure logic as a graph of gates, built as written.

Nodes are numbered as the engine numbers them: components are nodes 0 .. n-1, gate i is
node n + i, and every gate's inputs are components or earlier gates. A gate holds when
enough of its inputs hold: ``or`` one, ``and`` all, ``atleast`` k of them; an input listed
twice counts twice.

The graph comes from the [gates] table of a model file (named intermediate events, each an
expression in the language of tavoq_tools.logic) and failed_when, or from a list of cut sets
(one ``or`` over one ``and`` per cut set). Nothing is expanded: each operator of each
expression becomes one gate, so the graph grows with the text, never with the number of
minimal cut sets. Named gates may refer to one another in any order; a cycle is refused with
its path (``gates.a -> gates.b -> gates.a``).
"""

from __future__ import annotations

import difflib
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ..errors import one_line
from . import logic

__all__ = [
    "COUNT_KINDS",
    "GATE_KINDS",
    "ORDER_KINDS",
    "THRESHOLD_KINDS",
    "Form",
    "Gate",
    "GraphError",
    "LogicGraph",
    "LogicLayout",
    "PreparedGates",
    "build_graph",
    "graph_of_cutsets",
]


#: Threshold gate kind -> the number of failed inputs (given k and the number of inputs) that
#: fails it.
THRESHOLD_KINDS: dict[str, Callable[[int, int], int]] = {
    "or": lambda k, n: 1,
    "and": lambda k, n: n,
    "atleast": lambda k, n: k,
}
#: Gates that are functions of how many inputs are failed, but not monotone: failing an
#: input may restore them. Kind -> (whether failed given the count and n, fewest inputs,
#: most inputs or 0 for any).
COUNT_KINDS: dict[str, tuple[Callable[[int, int], bool], int, int]] = {
    "not": (lambda count, n: count == 0, 1, 1),
    "nand": (lambda count, n: count < n, 1, 0),
    "nor": (lambda count, n: count == 0, 1, 0),
    "xor": (lambda count, n: count % 2 == 1, 2, 0),
    "iff": (lambda count, n: count % 2 == n % 2, 2, 0),
}
#: Gates whose state depends on the order in which their inputs failed (see
#: docs/model-format.md): two inputs or more.
ORDER_KINDS = frozenset(
    {"pand", "pand_exclusive", "por", "por_exclusive", "pand_memory", "por_memory"}
)
#: Every kind of gate the engine evaluates.
GATE_KINDS = frozenset({*THRESHOLD_KINDS, *COUNT_KINDS, *ORDER_KINDS})


def order_holds(kind: str, failed: Sequence[bool], since: Sequence[int]) -> bool:
    """Whether an order gate is failed, given per input (in listed order) whether it is
    failed and the unit at which its current failure began (for the memory forms: its
    first failure since the inputs were last all working); the engine's rule."""
    exclusive = kind.endswith("_exclusive")
    if kind.startswith("pand"):
        if not all(failed):
            return False
        pairs = zip(since, since[1:], strict=False)
        return all(b > a if exclusive else b >= a for a, b in pairs)
    if not failed[0]:
        return False
    first = since[0]
    return not any(
        f and (s <= first if exclusive else s < first)
        for f, s in zip(failed[1:], since[1:], strict=True)
    )


class GraphError(ValueError):
    """A graph that cannot be built: the ``key`` (``gates.train_a``, ``failed_when``) and
    what is wrong. str() gives ``key: message``."""

    def __init__(self, key: str, message: str):
        self.key = key
        self.message = one_line(message)
        super().__init__(f"{key}: {self.message}" if key else self.message)


@dataclass(frozen=True, slots=True)
class Gate:
    """One gate: its kind (a key of GATE_KINDS), its inputs as node ids, k for atleast, and
    its name when the model names it ("" for the gates of sub-expressions)."""

    kind: str
    inputs: tuple[int, ...]
    k: int = 0
    name: str = ""

    @property
    def threshold(self) -> int:
        """How many failed inputs fail a threshold gate; 0 for the other kinds."""
        rule = THRESHOLD_KINDS.get(self.kind)
        return rule(self.k, len(self.inputs)) if rule else 0

    def holds(self, failed: Sequence[bool], since: Sequence[int]) -> bool:
        """Whether the gate is failed, given per input whether it is failed and the unit
        its current failure began."""
        if self.kind in ORDER_KINDS:
            return order_holds(self.kind, failed, since)
        count = sum(failed)
        if self.kind in COUNT_KINDS:
            return COUNT_KINDS[self.kind][0](count, len(failed))
        return count >= self.threshold


@dataclass(frozen=True)
class LogicGraph:
    """Components and gates; the system fails when gate ``top`` fails.

    ``named`` lists the named gates as (name, gate index) in the order the model gives them.
    A graph that exists is one the engine accepts: the constructor checks every gate.
    """

    component_names: tuple[str, ...]
    gates: tuple[Gate, ...]
    top: int
    named: tuple[tuple[str, int], ...] = ()
    depth: int = field(init=False, compare=False, default=0)

    def __post_init__(self) -> None:
        n = len(self.component_names)
        if n == 0:
            raise GraphError("", "the graph has no components")
        # The depth of each node: the components 0, then each gate's, one past its deepest
        # input's (a large tree's inputs are looked up at C speed, not one by one).
        depths: list[int] = [0] * n
        depth_of = depths.__getitem__
        for i, gate in enumerate(self.gates):
            if gate.kind not in GATE_KINDS:
                raise GraphError(f"gate {i}", f'unknown kind "{gate.kind}"')
            if not gate.inputs:
                raise GraphError(f"gate {i}", "has no inputs")
            if gate.kind == "atleast" and not 1 <= gate.k <= len(gate.inputs):
                raise GraphError(
                    f"gate {i}",
                    f"atleast needs 1 <= k <= {len(gate.inputs)} inputs, got {gate.k}",
                )
            fewest, most = COUNT_KINDS[gate.kind][1:] if gate.kind in COUNT_KINDS else (1, 0)
            if gate.kind in ORDER_KINDS:
                fewest = 2
            if len(gate.inputs) < fewest or (most and len(gate.inputs) > most):
                wanted = f"exactly {most}" if most == fewest else f"at least {fewest}"
                raise GraphError(
                    f"gate {i}",
                    f"{gate.kind} takes {wanted} input{'s' if fewest > 1 else ''}, "
                    f"got {len(gate.inputs)}",
                )
            if min(gate.inputs) < 0 or max(gate.inputs) >= n + i:
                node = next(x for x in gate.inputs if not 0 <= x < n + i)
                raise GraphError(
                    f"gate {i}", f"input {node} is neither a component nor an earlier gate"
                )
            try:
                deepest = max(map(depth_of, gate.inputs))
            except TypeError:  # an input that is no int (a float): read as it always was
                deepest = max([depth_of(x) for x in gate.inputs if x >= n], default=0)
            depths.append(deepest + 1)
        if not 0 <= self.top < len(self.gates):
            raise GraphError("", f"top gate {self.top} out of range")
        for name, index in self.named:
            if not 0 <= index < len(self.gates):
                raise GraphError(f"gates.{name}", f"gate index {index} out of range")
        object.__setattr__(self, "depth", depths[n + self.top])

    @property
    def n_components(self) -> int:
        return len(self.component_names)

    @property
    def n_gates(self) -> int:
        return len(self.gates)

    def gate_index(self, name: str) -> int:
        """The index of the named gate ``name``; KeyError if there is none."""
        for given, index in self.named:
            if given == name:
                return index
        raise KeyError(name)

    @property
    def coherent(self) -> bool:
        """Whether every gate is a threshold (or, and, atleast): the logic is then the union
        of its minimal cut sets."""
        return all(gate.kind in THRESHOLD_KINDS for gate in self.gates)

    @property
    def why_no_cutsets(self) -> str:
        """Why the logic has no minimal cut sets ("" when it has them)."""
        kinds = {gate.kind for gate in self.gates}
        ordered = sorted(kinds & ORDER_KINDS)
        if ordered:
            return (
                f"the logic is order-dependent ({', '.join(ordered)}): whether the system "
                "fails depends on the order of the failures, not only on which components "
                "are failed"
            )
        counted = sorted(kinds & COUNT_KINDS.keys())
        if counted:
            return (
                f"the logic is not coherent ({', '.join(counted)}): a repair can fail the "
                "system, so it is not the union of cut sets"
            )
        return ""

    def evaluate_gates(self, failed: Sequence[object]) -> list[bool]:
        """Each gate's state for the components' states ``failed`` (truthy: failed), the
        failures all begun in the same unit."""
        n = self.n_components
        if len(failed) != n:
            raise ValueError(f"expected {n} component states, got {len(failed)}")
        value = [bool(f) for f in failed]
        coherent = self.coherent
        for gate in self.gates:
            if coherent:
                value.append(sum(value[i] for i in gate.inputs) >= gate.threshold)
            else:
                states = [value[i] for i in gate.inputs]
                value.append(gate.holds(states, [0] * len(states)))
        return value[n:]

    def evaluate_many(self, failed: np.ndarray) -> np.ndarray:
        """Each gate's state (columns) for each row of component states ``failed`` (rows x
        components, truthy: failed), as evaluate_gates gives it row by row; a pass of
        numpy per gate over all rows when the logic is coherent."""
        failed = np.asarray(failed, dtype=bool)
        if not self.coherent:
            return np.array([self.evaluate_gates(row) for row in failed], dtype=bool).reshape(
                len(failed), self.n_gates
            )
        value = np.zeros((len(failed), self.n_components + self.n_gates), dtype=bool)
        value[:, : self.n_components] = failed
        for g, gate in enumerate(self.gates):
            count = value[:, list(gate.inputs)].sum(axis=1)
            value[:, self.n_components + g] = count >= gate.threshold
        return value[:, self.n_components :]

    def evaluate(self, failed: Sequence[object]) -> bool:
        """Whether the system is failed when the components ``failed`` are."""
        return self.evaluate_gates(failed)[self.top]

    def with_observers(
        self, cutsets: Iterable[Iterable[int]]
    ) -> tuple[LogicGraph, tuple[int, ...]]:
        """The graph with one ``and`` gate per cut set (component indices) appended, feeding
        nothing: it fails exactly while its cut set has failed. Returns the new graph and
        the observers' gate indices."""
        gates = list(self.gates)
        added = []
        for cutset in cutsets:
            members = tuple(cutset)
            added.append(len(gates))
            gates.append(Gate("and", members))
        graph = LogicGraph(self.component_names, tuple(gates), self.top, self.named)
        return graph, tuple(added)

    def to_native(self) -> Any:
        """The engine's ``tavoq.FaultTree`` of this graph (same node numbering)."""
        import tavoq

        tree = tavoq.FaultTree(self.n_components)
        for gate in self.gates:
            tree.addGate(gate.kind, list(gate.inputs), gate.k)
        tree.setTop(self.n_components + self.top)
        return tree


@dataclass(frozen=True)
class LogicLayout:
    """Where the statistics of a run of the model's FaultTree are, by gate index (into the
    gate arrays of the run's statistics: gateDowntime, gateFailures, gateTriggered).

    ``named_gates``: the model's named gates, in file order, as (name, gate index).
    ``top_gate``: the gate whose failure is the system's.
    ``cutset_gates``: one ``and`` gate per minimal cut set, as (label such as
    "pump_1 & pump_2", gate index), smallest first; its gateTriggered counts the system
    failures whose causing transition completed the cut set, its gateDowntime the units at
    which the cut set was failed. None when there are too many to show (or to count);
    ``cutset_note`` then says why.
    """

    named_gates: tuple[tuple[str, int], ...]
    top_gate: int
    cutset_gates: tuple[tuple[str, int], ...] | None
    cutset_note: str = ""


# -- building from expressions -------------------------------------------------------------

#: A gate read without the parser: (kind, k, inputs). Each input is a name or, in a
#: reader's nested formula (``(a and b) or c``), the form of the parenthesised gate.
type Form = tuple[str, int, Sequence[str | Form]]


def _form_names(form: Form) -> Iterator[str]:
    """The names of a form, left to right through its nesting, as the parser lists them."""
    for part in form[2]:
        if isinstance(part, str):
            yield part
        else:
            yield from _form_names(part)


# The slots' own setters, which the frozen class's __setattr__ does not stand in front of.
_SET_KIND = vars(Gate)["kind"].__set__
_SET_INPUTS = vars(Gate)["inputs"].__set__
_SET_K = vars(Gate)["k"].__set__
_SET_NAME = vars(Gate)["name"].__set__


# build_graph's recursive steps are functions of their own, given what they use: nested in
# it, each would reach itself through its closure, a cycle keeping every name's node until
# a collection of cycles, which is paused while a large model is read.


def _node_of(expression: logic.Node, node_at: dict[str, int], built: list[Gate], n: int) -> int:
    """The node of a parsed expression: its sub-expressions' gates first, left to right,
    then its own, unnamed, appended to ``built`` (gate i is node n + i)."""
    # Recursion follows one expression's nesting, which the parser bounds.
    if expression.kind == "name":
        return node_at[expression.name]
    inputs = tuple(_node_of(arg, node_at, built, n) for arg in expression.args)
    built.append(Gate(expression.kind, inputs, expression.k))
    return n + len(built) - 1


def _nested_node(form: Form, node_at: dict[str, int], built: list[Gate], n: int) -> int:
    """The node of a form's parenthesised gate, made as _node_of makes the parser's: its
    own inputs' gates first, left to right, then it, unnamed."""
    kind, k, parts = form
    inputs = tuple(
        node_at[p] if isinstance(p, str) else _nested_node(p, node_at, built, n) for p in parts
    )
    built.append(_gate(kind, inputs, k, ""))
    return n + len(built) - 1


def _gate(kind: str, inputs: tuple[int, ...], k: int, name: str) -> Gate:
    """A Gate as its constructor makes it, without the frozen class's per-field
    object.__setattr__ (a large tree has one per gate; with slots, and no dict, each takes
    64 bytes rather than 150)."""
    gate = object.__new__(Gate)
    _SET_KIND(gate, kind)
    _SET_INPUTS(gate, inputs)
    _SET_K(gate, k)
    _SET_NAME(gate, name)
    return gate


def _suggest(name: str, known: Sequence[str]) -> str:
    close = difflib.get_close_matches(name, known, n=1)
    return f'; did you mean "{close[0]}"?' if close else ""


def _default_unknown(key: str, name: str, column: int, known: Sequence[str]) -> Exception:
    where = f"column {column}: " if column else ""
    return GraphError(key, f'{where}unknown name "{name}"{_suggest(name, known)}')


UnknownName = Callable[[str, str, int], Exception]


def _parse(key: str, text: object) -> logic.Node:
    try:
        return logic.parse(text)  # type: ignore[arg-type]
    except logic.LogicError as err:
        raise GraphError(key, str(err)) from None


def _gate_order(refs: Mapping[str, list[str]]) -> list[str]:
    """The named gates, each after the gates it names (depth first from each gate in the
    given order). Iterative: a chain of thousands of gates must not hit the recursion
    limit. Raises GraphError naming the first cycle met."""
    order: list[str] = []
    state: dict[str, int] = {}  # 1: on the current path, 2: placed
    for root in refs:
        if root in state:
            continue
        path = [root]
        stack = [iter(refs[root])]
        state[root] = 1
        while stack:
            following = next(stack[-1], None)
            if following is None:
                stack.pop()
                done = path.pop()
                state[done] = 2
                order.append(done)
                continue
            seen = state.get(following)
            if seen == 1:
                cycle = path[path.index(following) :] + [following]
                raise GraphError(
                    f"gates.{cycle[0]}",
                    "the gates form a cycle: " + " -> ".join(f"gates.{g}" for g in cycle),
                )
            if seen is None:
                state[following] = 1
                path.append(following)
                stack.append(iter(refs[following]))
    return order


class PreparedGates(Mapping[str, str]):
    """Gate expressions (name -> text, ``texts``) as a reader of fault-tree files writes
    them, with what build_graph would otherwise read back from the texts: ``forms``, for the
    gates whose text simple_form reads (or that is one call over names, such as
    ``pand(a, b)``), that form as (kind, k, names), where a name may also be the Form of a
    parenthesised and, or or atleast (``(a and b) or c``); and ``order`` (or None), the gates each
    after those it names, as _gate_order gives them from the names of the texts in the order
    they are written. The reader vouches that every name it uses is defined and that the
    gates form no cycle.
    build_graph takes each form out as it makes the form's gate (a large tree's forms and
    gates would otherwise all exist at once): the forms serve one graph, whose model keeps
    ``texts`` itself as its gates, not a copy."""

    __slots__ = ("forms", "order", "texts")

    def __init__(
        self,
        texts: dict[str, str],
        forms: dict[str, Form],
        order: list[str] | None,
    ):
        self.texts = texts
        self.forms = forms
        self.order = order

    def __getitem__(self, name: str) -> str:
        return self.texts[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self.texts)

    def __len__(self) -> int:
        return len(self.texts)

    def __contains__(self, name: object) -> bool:
        return name in self.texts


_IS_STR = str.__instancecheck__


def build_graph(
    component_names: Sequence[str],
    gates: Mapping[str, str] | None,
    failed_when: str,
    unknown: UnknownName | None = None,
    prepared: PreparedGates | None = None,
) -> LogicGraph:
    """The graph of ``failed_when`` over the components and the named ``gates``.

    ``gates`` maps a gate name to its expression; names share one namespace with the
    components. ``unknown(key, name, column)`` makes the exception for a name that is
    neither (by default a GraphError with a did-you-mean). Raises GraphError with the key
    (``gates.NAME`` or ``failed_when``) for an unreadable expression, a bad or duplicate name
    or a cycle.
    """
    names = tuple(component_names)
    n = len(names)
    index = {name: i for i, name in enumerate(names)}
    if isinstance(gates, PreparedGates):
        gates = gates.texts
    elif not isinstance(gates, dict):
        gates = dict(gates or {})  # only read, so a dict is taken as it is
    # Every name checked at once, at C speed (a large tree has hundreds of thousands; ASCII
    # and an identifier is NAME_PATTERN); the loop finds the first fault and says it.
    valid = (
        all(map(_IS_STR, gates))
        and all(map(str.isascii, gates))
        and all(map(str.isidentifier, gates))
        and max(map(len, gates), default=0) <= logic.MAX_NAME_LENGTH
        and logic.KEYWORDS.isdisjoint(gates)
        and index.keys().isdisjoint(gates)
    )
    for name in () if valid else gates:
        key = f"gates.{name}"
        if (
            not isinstance(name, str)
            or not logic.NAME_PATTERN.fullmatch(name)
            or (name in logic.KEYWORDS)
        ):
            raise GraphError(
                key,
                "a gate name is letters, digits and _, not starting with a digit, and not "
                "and, or, atleast, not",
            )
        if len(name) > logic.MAX_NAME_LENGTH:
            raise GraphError(
                f"gates.{name[:20]}...",
                f"a gate name is at most {logic.MAX_NAME_LENGTH} characters, got {len(name)}",
            )
        if name in index:
            raise GraphError(
                key, f'"{name}" is a component already: a gate needs a name of its own'
            )
    forms = prepared.forms if prepared is not None else {}

    def unknown_error(key: str, name: str, column: int) -> Exception:
        if unknown is not None:
            return unknown(key, name, column)
        return _default_unknown(key, name, column, [*names, *gates])

    # A gate in a common form (a name, names joined by one operator, atleast of names) is
    # kept as (kind, k, names) and becomes one Gate without the parser's nodes.
    # A reader's prepared forms are the ones simple_form would read from the texts.
    parsed: dict[str, logic.Node | tuple[str, int, Sequence[str]]] = {
        name: (isinstance(text, str) and logic.simple_form(text)) or _parse(f"gates.{name}", text)
        for name, text in gates.items()
        if name not in forms
    }
    top_expression = _parse("failed_when", failed_when)
    refs: dict[str, list[str]] = {}
    order = prepared.order if prepared is not None else None
    # With the order known every gate is a reader's: its names are defined, its order known
    # (a gate without a form is parsed, but its names need no check).
    checked = [] if order is not None else [(f"gates.{g}", g) for g in gates]
    for key, name in [*checked, ("failed_when", "")]:
        uses = []
        tree = (forms.get(name) or parsed[name]) if name else top_expression
        if isinstance(tree, tuple):
            for used in _form_names(tree):
                if used in gates:
                    uses.append(used)
                elif used not in index:
                    # The column of its first use, as the parser gives it.
                    column = next(c for u, c in _parse(key, gates[name]).names() if u == used)
                    raise unknown_error(key, used, column)
        else:
            for used, column in tree.names():
                if used in gates:
                    uses.append(used)
                elif used not in index:
                    raise unknown_error(key, used, column)
        if name:
            refs[name] = uses

    built: list[Gate] = []
    # The node of every name placed so far: the components, then each gate once built.
    node_at = index

    def gate_for(expression: logic.Node | tuple[str, int, Sequence[str]], name: str) -> int:
        """The gate index of a whole expression; a bare name becomes a one-input ``or``
        when it needs a gate of its own (a named gate, or a component as the top)."""
        if isinstance(expression, tuple):
            kind, k, names_used = expression
            inputs = tuple(map(node_at.__getitem__, names_used))
            if kind == "name":
                if not name and inputs[0] >= n:
                    return inputs[0] - n
                built.append(_gate("or", inputs, 0, name))
            else:
                built.append(_gate(kind, inputs, k, name))
            return len(built) - 1
        node = _node_of(expression, node_at, built, n)
        if name or node < n:
            if node >= n and expression.kind != "name":
                built[-1] = Gate(built[-1].kind, built[-1].inputs, built[-1].k, name)
            else:
                built.append(Gate("or", (node,), 0, name))
            return len(built) - 1
        return node - n

    # gate_for's work for a named gate's form, written out: a large tree's gates are
    # nearly all such forms, and the call and its tests cost as much as the gate.
    new_gate = object.__new__
    node_of_name = node_at.__getitem__
    append = built.append

    for name in _gate_order(refs) if order is None else order:
        # A reader's form is taken out as its gate is made: the two never all exist at once.
        form = forms.pop(name, None)
        if form is None:
            node_at[name] = n + gate_for(parsed[name], name)
            continue
        kind, k, names_used = form
        try:
            inputs = tuple(map(node_of_name, names_used))  # type: ignore[arg-type]
        except (KeyError, TypeError):  # a nested form among the names (a reader's are known)
            inputs = tuple(
                node_at[p] if isinstance(p, str) else _nested_node(p, node_at, built, n)
                for p in names_used
            )
        gate = new_gate(Gate)
        # A bare name given a gate of its own is a one-input or.
        _SET_KIND(gate, "or" if kind == "name" else kind)
        _SET_INPUTS(gate, inputs)
        _SET_K(gate, 0 if kind == "name" else k)
        _SET_NAME(gate, name)
        node_at[name] = n + len(built)
        append(gate)
    top = gate_for(top_expression, "")
    named = tuple((name, node_at[name] - n) for name in gates)
    return LogicGraph(names, tuple(built), top, named)


def graph_of_cutsets(
    component_names: Sequence[str], cutsets: Sequence[Sequence[str]]
) -> LogicGraph:
    """One ``or`` over one ``and`` per cut set (gate i is cut set i, the top comes last)."""
    names = tuple(component_names)
    index = {name: i for i, name in enumerate(names)}
    if not cutsets:
        raise GraphError("cutsets", "no cut sets")
    gates = []
    for i, cutset in enumerate(cutsets):
        if not cutset:
            raise GraphError(f"cutsets[{i}]", "a cut set without members")
        for name in cutset:
            if name not in index:
                raise GraphError(
                    f"cutsets[{i}]", f'unknown component "{name}"{_suggest(name, names)}'
                )
        gates.append(Gate("and", tuple(index[name] for name in cutset)))
    gates.append(Gate("or", tuple(range(len(names), len(names) + len(gates)))))
    return LogicGraph(names, tuple(gates), len(gates) - 1)
