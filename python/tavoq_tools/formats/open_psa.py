"""Read a fault tree in the Open-PSA Model Exchange Format (.xml).

What is read:
- ``define-fault-tree`` (any number, with ``define-component`` inside them to any depth),
  holding ``define-gate``, ``define-basic-event``, ``define-house-event`` and
  ``define-parameter``; ``model-data`` holds events and parameters too;
- gate formulas ``or``, ``and``, ``atleast min="k"``, nested to any depth up to MAX_NESTING,
  over ``gate``, ``basic-event``, ``house-event`` and ``event`` references;
- names by their ``role``: a public name (the default) is one across the whole model; a
  private one (``role="private"`` on it, or on a component that holds it) belongs to its
  fault tree or component, where it hides a public one of the same name. A reference
  ``Tree.Component.Name`` names the container that holds ``Name``, from the referring one
  outwards or from the top; a container or name that is not there is an error;
- ``<include file="..."/>`` wherever a definition may stand: the definitions of that
  ``<opsa-mef>`` file, its path relative to the including file's, are read in its place.
  A file included twice, or a cycle of them, is refused;
- basic events given by ``float`` (or ``int``) - a probability: the event fails on demand at
  time 0 - or by ``exponential`` (λ and a mission time: a failure rate), either taken from a
  ``parameter`` as well; house events ``constant value="true"`` (failed from the start) or
  ``"false"`` (never failed);
- the probability or rate of a basic event given by a distribution of its uncertainty:
  ``lognormal-deviate`` (mean, error factor, level), ``uniform-deviate`` (min, max),
  ``gamma-deviate`` (shape k, scale θ), ``beta-deviate`` (α, β, a probability only),
  ``normal-deviate`` (mean, standard deviation; a rate only, cut at 0) and ``histogram``
  (a lower bound, then bins of upper bound and weight), written in the event or in a
  parameter. The event takes the law's mean and carries the law (``Event.law``), which the
  TOML model gets as an uncertain parameter (tavoq_tools.formats.uncertain); the events of
  one parameter share its one draw. A distribution inside arithmetic and one anywhere else
  (a mission time, a CCF group's total or factor) are refused with their XML path.

The formulas ``or``, ``and``, ``atleast`` and the non-coherent ``not``, ``xor``, ``nand``,
``nor``, ``iff`` and ``imply`` (read as ``nand(a, not(b))``, which is ``not(a) or b``) are gates of the gate graph; a tree
with a non-coherent one has no minimal cut sets. ``cardinality`` (from ``min`` to ``max`` of
its inputs failed) is read as ``atleast(min)`` and ``not(atleast(max + 1))``, leaving out a
side that always holds. ``constant`` inside a gate is a house event of its own (TRUE or
FALSE). Anything else the reader does not know is refused with its XML path.

A text with a document type declaration is read by defusedxml, which refuses it, so
entities (an "entity bomb", an external file) are refused before anything is expanded. A
text without one has no entities: ElementTree's own parser reads it as it comes, each
definition read and let go once closed (what that parser refuses goes to defusedxml, which
says why). The top event is the gate no other gate uses; with several, ``top`` names it.
A text of the plain shapes of large files (public names, gates of references, events of a
number) is read natively first (tavoq_tools.formats.open_psa_plain), with the same draft.

``parse(text, file, top=None, read=None)`` gives a ``TreeDraft`` or raises ``ModelError``
naming the file, the XML path (``opsa-mef/define-fault-tree[FT]/define-gate[G]/or``, through
``include[parts.xml]`` for what an included file defines) and what is wrong. ``read`` reads
an included file's text (with the checks of a model file); without it includes are refused.
"""

from __future__ import annotations

import itertools
import math
import os
import xml.etree.ElementTree as ElementTree
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any
from xml.parsers import expat

import defusedxml
import defusedxml.ElementTree as SafeElementTree

from ..errors import ModelError
from .fault_tree import (
    CommonEvent,
    Event,
    Formula,
    Law,
    TreeDraft,
    quoted,
    refuse_cycles,
    unused_gates_in_file_order,
)
from .open_psa_plain import mission_of, plain_draft
from .uncertain import lognormal_of_mean

__all__ = ["MAX_NESTING", "parse", "read_fully"]

# Formulas nested deeper than this are refused (the expression language allows 100 levels).
MAX_NESTING = 90
# Files including files deeper than this are refused: a chain that long is a mistake.
MAX_INCLUDE_DEPTH = 20
FORMULAS = ("or", "and", "atleast", "cardinality", "not", "xor", "nand", "nor", "iff", "imply")
# Arguments each formula takes: (fewest, most or 0 for any).
ARITY = {"not": (1, 1), "xor": (2, 0), "iff": (2, 0), "imply": (2, 2)}
REFERENCES = ("gate", "basic-event", "house-event", "event")
# The common-cause models read, and past how many members a group of a model with an event
# per subset is refused (2^n - n - 1 events).
CCF_MODELS = ("beta-factor", "MGL", "alpha-factor")
MAX_CCF_MEMBERS = 10
IGNORED = ("label", "attributes")
# The distributions read, each with its arguments; a lognormal's level is the quantile at
# which its error factor is given.
DEVIATES = {
    "lognormal-deviate": ("mean", "error factor", "level"),
    "uniform-deviate": ("min", "max"),
    "gamma-deviate": ("shape k", "scale θ"),
    "beta-deviate": ("α", "β"),
    "normal-deviate": ("mean", "standard deviation"),
}


# A text without a document type is parsed this many characters at a time.
CHUNK = 1 << 18
# The definitions of events and gates.
DEFINITIONS = ("define-gate", "define-basic-event", "define-house-event")
# The containers read as soon as they open (the others are read once closed).
OPENED = ("define-fault-tree", "model-data", "define-component")


def _tag(element: Any) -> str:
    tag = element.tag
    if tag.__class__ is str and "}" not in tag:
        return tag  # the common case, first: tags without a namespace
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


def _step(element: Any) -> str:
    name = element.get("name")
    return f"{_tag(element)}[{name}]" if name is not None else _tag(element)


def _children(element: Any) -> list[Any]:
    """The element's child elements but labels and attributes (comments are no elements of
    ElementTree's parse)."""
    return [c for c in element if _tag(c) not in IGNORED]


def _name(element: Any, path: str, file: str) -> str:
    name = element.get("name")
    if name is None or not name.strip():
        raise ModelError(path, f"<{_tag(element)}> needs a name", file)
    return name


# Where a definition stands: the names of the fault tree and components around it, outermost
# first; () for model-data.
Scope = tuple[str, ...]
# A gate's formula kept without its elements: or, and or atleast, its min (atleast's text;
# None for the others), and the tags and names of its references.
_GateForm = tuple[str, str | None, tuple[str, ...], tuple[str | None, ...]]


@dataclass(slots=True)
class _Frame:
    """A container being read child by child: ``top`` for <opsa-mef> (or an included file's
    root), else a fault tree, a component or model-data."""

    element: Any
    path: str
    scope: Scope
    private: bool
    top: bool = False
    whole: bool = False  # an included file's root, whose tree was read whole
    done: int = 0  # how many of its children are read (and not yet let go)


_REFERENCE_TAGS = frozenset(REFERENCES)
_GET = dict.get


def _gate_form(element: Any) -> _GateForm | Any:
    """A define-gate's formula in its compact form when it is an or, and or atleast of
    references alone (every gate of most files), else the element itself. The compact
    form holds whatever the reading of the formula looks at: the elements are let go as
    the file is parsed, and a gate's formula is read once every name is defined."""
    if len(element) != 1:
        return element
    formula = element[0]
    tag = formula.tag
    if tag == "atleast" and formula.keys() == ["min"]:
        least = formula.get("min")
    elif (tag == "or" or tag == "and") and not formula.keys():
        least = None
    else:
        return element
    # An element is iterated by index until IndexError is raised: its children are taken
    # as a list first (a third of the time of this function).
    references = formula[:]
    tags = tuple([r.tag for r in references])
    if not tags or not _REFERENCE_TAGS.issuperset(tags):
        return element
    return tag, least, tags, tuple([r.get("name") for r in references])


def _event_form(element: Any) -> tuple[str, str] | Any:
    """A define-basic-event's value as (tag, text) when it is a ``<float value=...>`` or
    ``<int value=...>``, or an exponential of a parameter over the mission time
    ("exponential", the parameter's name); else the element itself."""
    if len(element) != 1:
        return element
    value = element[0]
    tag = value.tag
    if tag == "float" or tag == "int":
        if len(value) or value.keys() != ["value"]:
            return element
        return tag, value.get("value")
    if tag != "exponential" or len(value) != 2 or value.keys():
        return element
    rate, time = value[0], value[1]
    if (
        rate.tag == "parameter"
        and not len(rate)
        and rate.keys() == ["name"]
        and time.tag == "system-mission-time"
        and not len(time)
        and not time.keys()
    ):
        return "exponential", rate.get("name")
    return element


def _event_element(form: tuple[str, str]) -> Any:
    """The elements of a basic event's compact form, for the reading of its value."""
    event = ElementTree.Element("define-basic-event")
    tag, text = form
    if tag == "exponential":
        value = ElementTree.SubElement(event, "exponential")
        ElementTree.SubElement(value, "parameter", name=text)
        ElementTree.SubElement(value, "system-mission-time")
    else:
        ElementTree.SubElement(event, tag, value=text)
    return event


class _Names:
    """One namespace (events and gates, or parameters) with public and private names.

    A name is kept under a key of its own: a public name as it is, a private one with the
    path of its container (``FT.Pump.Motor``), so that private names of two containers never
    clash, and every key is also found by its container and name for dotted references."""

    def __init__(self, reader: _Reader, what: str):
        self.reader = reader
        self.what = what  # "" for events and gates, "parameter " for parameters
        self.public: dict[str, str] = {}
        # container -> name -> key; a dict per container rather than a key per name
        self.in_scope: dict[Scope, dict[str, str]] = {}
        self.private: set[tuple[Scope, str]] = set()
        self.where: dict[str, str] = {}  # key -> its XML path

    def define(self, name: str, scope: Scope, private: bool, path: str) -> str:
        key = ".".join((*scope, name)) if private else name
        inside = self.in_scope.get(scope)
        if inside is None:
            inside = self.in_scope[scope] = {}
        where = self.where
        first = where.get(key) or where.get(inside.get(name, ""))
        if first is not None:
            raise self.reader.error(
                path, f"{self.what}{quoted(name)} is defined twice (first at {first})"
            )
        if private:
            self.private.add((scope, name))
        else:
            self.public[name] = key
        inside[name] = key
        where[key] = path
        return key

    def find(self, name: str, scope: Scope, path: str) -> str | None:
        """The key that ``name``, written inside ``scope``, stands for; None when no name of
        the model is ``name``. A dotted name whose container is missing is an error."""
        if not self.private and name in self.public:
            return self.public[name]  # the common case: no private names in the model
        for level in range(len(scope), -1, -1):
            if (scope[:level], name) in self.private:
                return self.in_scope[scope[:level]][name]
        if name in self.public:
            return self.public[name]
        *containers, last = name.split(".")
        if not containers:
            return None
        for level in range(len(scope), -1, -1):
            inside = (*scope[:level], *containers)
            if inside in self.reader.containers:
                key = self.in_scope.get(inside, {}).get(last)
                if key is None:
                    raise self.reader.error(
                        path, f"{quoted('.'.join(inside))} has no {self.what}{quoted(last)}"
                    )
                return key
        raise self.reader.error(
            path,
            f"{quoted(name)}: no fault tree or component {quoted('.'.join(containers))}",
        )


class _Reader:
    def __init__(self, file: str, read: Callable[[str], str] | None = None):
        self.file = file
        self.read_file = read
        self.including = [os.path.realpath(file)]  # the files being read, outermost first
        self.included: dict[str, str] = {}  # real path -> where it was included
        self.events: dict[str, Event] = {}
        self.gates: dict[str, Formula] = {}
        self.houses: dict[str, bool] = {}
        self.names = _Names(self, "")
        self.parameter_names = _Names(self, "parameter ")
        self.parameters: dict[str, tuple[Any, str, Scope]] = {}  # key -> definition
        self.values: dict[str, float] = {}
        self.laws: dict[str, Law] = {}  # parameter key -> its law, when it is a distribution
        self.containers: set[Scope] = {()}
        self.pending_events: list[tuple[str, Any, str, Scope]] = []
        self.pending_gates: list[tuple[str, Any, str, Scope]] = []
        # CCF groups: name, element, path, scope, the keys of its members
        self.pending_groups: list[tuple[str, Any, str, Scope, list[str]]] = []
        self.mission_times: set[float] = set()
        self.kinds: dict[str, str] = {}  # key -> "gate", "basic-event" or "house-event"
        # Without private names: for each tag of a reference, the keys it may name by name.
        self.by_tag: dict[str, dict[str, str]] = {}
        self.constants: dict[bool, str] = {}  # the house event of <constant> in formulas

    def release(self) -> None:
        """Let go of the elements and names held: the reader and its namespaces refer to
        each other, so they would otherwise live, with all they hold, until the next
        collection of cycles, which is paused while a model is read and checked. The
        namespaces are dropped, which ends the cycle; the reader is not used after."""
        self.pending_events.clear()
        self.pending_gates.clear()
        self.pending_groups.clear()
        self.parameters.clear()
        self.kinds.clear()
        self.by_tag.clear()
        for names in (self.names, self.parameter_names):
            names.public.clear()
            names.in_scope.clear()
            names.where.clear()
        del self.names, self.parameter_names

    @property
    def defined(self) -> dict[str, str]:
        return self.names.where

    def error(self, path: str, message: str) -> ModelError:
        return ModelError(path, message, self.file)

    def role(self, element: Any, path: str, private: bool) -> bool:
        """Whether the element's name is private; ``private`` is its container's role."""
        role = element.get("role")
        if role is None:
            return private
        if role not in ("public", "private"):
            raise self.error(path, f'role must be "public" or "private", got {quoted(role)}')
        return role == "private"

    # -- the containers --------------------------------------------------------------------

    def child(self, child: Any, frame: _Frame) -> _Frame | None:
        """Read one child of the container ``frame``: a definition is kept (as the compact
        form of its value when it has one), a container or an included file's root is
        returned, to be read child by child next."""
        tag = child.tag
        if tag.__class__ is not str or "}" in tag:
            tag = _tag(child)
        name = child.get("name")
        here = f"{frame.path}/{tag}[{name}]" if name is not None else f"{frame.path}/{tag}"
        scope, private = frame.scope, frame.private
        if tag in DEFINITIONS and not frame.top:
            if name is None or not name.strip():
                raise self.error(here, f"<{tag}> needs a name")
            role = child.get("role")
            if role is not None:
                private = self.role(child, here, private)
            key = self.names.define(name, scope, private, here)
            if tag == "define-gate":
                self.pending_gates.append((key, _gate_form(child), here, scope))
            elif tag == "define-basic-event":
                self.pending_events.append((key, _event_form(child), here, scope))
            else:
                self.houses[key] = self.house(child, here)
            return None
        if frame.top:
            if tag == "define-fault-tree":
                return self.enter(child, here, (), False)
            if tag == "model-data":
                return _Frame(child, here, (), False)
            if tag == "define-CCF-group":
                self.ccf_group(child, here, (), self.role(child, here, False))
                return None
            if tag == "include":
                return self.included_root(child, here, (), False, top=True)
            raise self.error(
                here,
                f"<{tag}> is not read (read: define-fault-tree, model-data, "
                "define-CCF-group, include)",
            )
        if tag == "define-parameter":
            name = _name(child, here, self.file)
            role = self.role(child, here, private)
            key = self.parameter_names.define(name, scope, role, here)
            self.parameters[key] = (child, here, scope)
        elif tag == "define-CCF-group":
            self.ccf_group(child, here, scope, self.role(child, here, private))
        elif tag == "define-component" and frame.path.count("/") < 20:
            return self.enter(child, here, scope, self.role(child, here, private))
        elif tag == "include":
            return self.included_root(child, here, scope, private, top=False)
        else:
            raise self.error(
                here,
                f"<{tag}> is not read here (read: define-gate, define-basic-event, "
                "define-house-event, define-parameter, define-component, "
                "define-CCF-group, include)",
            )
        return None

    def walk(self, stack: list[_Frame], final: bool) -> None:
        """Read every child of the open containers (``stack``, outermost first) that the
        parser has closed, in the file's order, and let go of their elements; ``final``: the
        parser has read the whole text. A container is entered as soon as it opens, so that a
        fault tree holding the whole file is read while it is parsed."""
        while stack:
            # The innermost container is closed when the text is read, when it is an
            # included file's (read whole), or when its own container is closed or holds
            # more after it.
            complete = final
            for outer, inner in zip(stack, stack[1:]):
                complete = inner.whole or complete or len(outer.element) > outer.done + 1
            frame = stack[-1]
            element = frame.element
            end = len(element)
            entered = None
            # A gate or basic event with a name of its role (a large file's every child) is
            # kept here as child() keeps it, without the call; the others go to child().
            inline = not frame.top
            path, scope, private = frame.path, frame.scope, frame.private
            define = self.names.define
            gates, events = self.pending_gates.append, self.pending_events.append
            done = frame.done
            while done < end:
                child = element[done]
                tag = _tag(child)
                if tag in IGNORED:
                    done += 1
                    continue
                if not complete and done == end - 1 and tag not in OPENED:
                    break  # the parser may not have read all of it yet
                if inline and (tag == "define-gate" or tag == "define-basic-event"):
                    name = child.get("name")
                    if name is not None and name.strip() and child.get("role") is None:
                        here = f"{path}/{tag}[{name}]"
                        key = define(name, scope, private, here)
                        if tag == "define-gate":
                            gates((key, _gate_form(child), here, scope))
                        else:
                            events((key, _event_form(child), here, scope))
                        done += 1
                        continue
                frame.done = done
                entered = self.child(child, frame)
                if entered is not None:
                    break
                done += 1
            frame.done = done
            if entered is not None:
                stack.append(entered)
            elif complete and frame.done == end:
                del element[:]
                stack.pop()
                if frame.whole:
                    self.including.pop()
                if stack:
                    stack[-1].done += 1
            else:
                for open_frame in stack:
                    del open_frame.element[: open_frame.done]
                    open_frame.done = 0
                return

    def included_root(
        self, element: Any, path: str, scope: Scope, private: bool, top: bool
    ) -> _Frame:
        root = self.include(element, path)
        return _Frame(root, _included_path(element, path), scope, private, top, whole=True)

    def ccf_group(self, element: Any, path: str, scope: Scope, private: bool) -> None:
        """A CCF group defines its members, basic events; their values come in read()."""
        name = _name(element, path, self.file)
        model = element.get("model")
        if model not in CCF_MODELS:
            raise self.error(
                path,
                f"model {quoted(str(model))} is not read (read: {', '.join(CCF_MODELS)})",
            )
        parts = {_tag(c): c for c in _children(element)}
        if "members" not in parts or "distribution" not in parts:
            raise self.error(path, "a CCF group needs <members> and <distribution>")
        keys = []
        for member in _children(parts["members"]):
            here = f"{path}/members/{_step(member)}"
            if _tag(member) != "basic-event":
                raise self.error(here, "the members of a CCF group are basic events")
            member_name = _name(member, here, self.file)
            key = self.names.define(member_name, scope, private, here)
            keys.append(key)
        if len(keys) < 2:
            raise self.error(f"{path}/members", "a CCF group needs at least 2 members")
        if model != "beta-factor" and len(keys) > MAX_CCF_MEMBERS:
            raise self.error(
                f"{path}/members",
                f"{len(keys)} members: a {model} group has an event per set of members, "
                f"{2 ** len(keys) - len(keys) - 1:,} of them; at most {MAX_CCF_MEMBERS} are read",
            )
        self.pending_groups.append((name, element, path, scope, keys))

    def common_events(
        self, name: str, element: Any, path: str, scope: Scope, keys: list[str]
    ) -> list[CommonEvent]:
        """The members' own failures and the group's common-cause events, one per set of
        members that fails together (Q_k for each set of k, per the group's model)."""
        model = element.get("model")
        parts = {_tag(c): c for c in _children(element)}
        total = self.event(name, parts["distribution"], f"{path}/distribution", scope)
        if total.law is not None:
            # Shared out among the members and the common events, one draw would have to
            # move them all: not one law of one parameter.
            raise self.error(
                f"{path}/distribution",
                f"a distribution ({total.law.law}) is not read as a CCF group's total: "
                "give a number",
            )
        factors = self.factors(element, path, scope)
        n = len(keys)
        shares = _ccf_shares(model, n, factors, lambda m: self.error(path, m))
        for key in keys:
            self.events[key] = _scaled(total, key, self.defined[key], shares[0])
        events = []
        for k in range(2, n + 1):
            if shares[k - 1] == 0:
                continue
            scaled = _scaled(total, name, path, shares[k - 1])
            if not (scaled.rate or scaled.probability):
                continue  # a group of total 0
            for members in itertools.combinations(keys, k):
                label = f"{name}_{'_'.join(self.names_of(members))}"
                events.append(
                    CommonEvent(label, path, list(members), scaled.rate, scaled.probability)
                )
        return events

    def names_of(self, keys: tuple[str, ...]) -> list[str]:
        return [key.rpartition(".")[2] for key in keys]

    def factors(self, element: Any, path: str, scope: Scope) -> dict[int, float]:
        """The group's factors by level, given as <factor> or inside <factors>."""
        found: dict[int, float] = {}
        listed = [c for c in _children(element) if _tag(c) == "factor"]
        for holder in (c for c in _children(element) if _tag(c) == "factors"):
            listed += [c for c in _children(holder) if _tag(c) == "factor"]
        for factor in listed:
            here = f"{path}/{_step(factor)}"
            text = factor.get("level", "0")
            if not text.isdigit() or len(text) > 3:
                raise self.error(here, f"level must be a whole number, got {quoted(text)}")
            values = _children(factor)
            value = self.number(values[0], here, scope) if len(values) == 1 else None
            if value is None or not 0 <= value <= 1:
                raise self.error(here, "a factor is one number between 0 and 1")
            if int(text) in found:
                raise self.error(here, f"level {text} is given twice")
            found[int(text)] = value
        return found

    def include(self, element: Any, path: str) -> Any:
        """The root element of the file that ``<include>`` names, pushed on ``including``."""
        given = element.get("file")
        if not given:
            raise self.error(path, '<include> needs file="..."')
        if self.read_file is None:
            raise self.error(path, "<include> is read from a file only")
        if len(self.including) > MAX_INCLUDE_DEPTH:
            raise self.error(path, f"files include each other more than {MAX_INCLUDE_DEPTH} deep")
        target = os.path.join(os.path.dirname(self.including[-1]), given)
        real = os.path.realpath(target)
        if real in self.including:
            raise self.error(path, f"{quoted(given)} includes itself, through other files or not")
        if real in self.included:
            raise self.error(
                path, f"{quoted(given)} is included twice (first at {self.included[real]})"
            )
        self.included[real] = path
        if os.path.exists(target) and not os.path.isfile(target):
            # A device or a pipe named by a file from elsewhere could block the reader.
            raise self.error(path, f"{quoted(given)} is not a regular file")
        root = _parse_xml(self.read_file(target), target)
        if _tag(root) != "opsa-mef":
            raise ModelError(
                _tag(root), f"the root element is <{_tag(root)}>, not <opsa-mef>", target
            )
        self.including.append(real)
        return root

    def enter(self, element: Any, path: str, scope: Scope, private: bool) -> _Frame:
        """The fault tree or component ``element`` inside ``scope``, to be read next."""
        inner = (*scope, _name(element, path, self.file))
        if inner in self.containers:
            raise self.error(path, f"{quoted('.'.join(inner))} is defined twice")
        self.containers.add(inner)
        return _Frame(element, path, inner, private)

    def house(self, element: Any, path: str) -> bool:
        children = _children(element)
        if not children:
            return False  # a house event without a value is false
        value = children[0]
        if len(children) != 1 or _tag(value) != "constant":
            raise self.error(path, 'a house event takes one <constant value="true|false"/>')
        text = (value.get("value") or "").strip().lower()
        if text not in ("true", "false"):
            raise self.error(
                f"{path}/constant", f'value must be "true" or "false", got {quoted(text)}'
            )
        return text == "true"

    # -- numbers -----------------------------------------------------------------------------

    def number(self, element: Any, path: str, scope: Scope) -> float | None:
        """The value of a numeric expression that is no distribution; None for
        <system-mission-time/>."""
        return self.value(element, path, scope, "")[0]

    def value(
        self, element: Any, path: str, scope: Scope, what: str
    ) -> tuple[float | None, Law | None]:
        """The value of a numeric expression, and its law when it is a distribution: read
        where ``what`` names the value ("rate" or "probability" of a basic event), refused
        where it is "". The value of a law is its mean.

        A chain of parameters, each defined by the next, is followed in a loop rather than by
        recursion: a file may chain thousands of them."""
        chain: list[tuple[str, str]] = []  # the parameters being resolved, and where each is
        on_chain: set[str] = set()
        law: Law | None = None
        while True:
            tag = _tag(element)
            if tag in ("float", "int"):
                text = element.get("value")
                try:
                    number = float(text) if tag == "float" else int(text)
                except (TypeError, ValueError):
                    raise self.error(
                        path, f"<{tag}> needs a numeric value, got {quoted(str(text))}"
                    ) from None
                try:
                    finite = math.isfinite(number)  # an <int> of 400 digits overflows
                except OverflowError:
                    finite = False
                if not finite:
                    raise self.error(path, f"the value {text} is not a finite number")
                value: float | None = float(number)
                break
            if tag == "system-mission-time":
                value = None
                break
            if tag in DEVIATES or tag == "histogram":
                holder = chain[-1][0] if chain else ""
                law = (
                    self.histogram(element, path, scope, what, holder)
                    if tag == "histogram"
                    else self.deviate(element, path, scope, what, holder)
                )
                value = law.mean
                break
            if tag.endswith("-deviate"):
                raise self.error(
                    path,
                    f"<{tag}> is not read (read as a distribution: {', '.join(DEVIATES)}, "
                    "histogram): give one of those, or the value as a <float>",
                )
            if tag != "parameter":
                inside = next(
                    (
                        _tag(e)
                        for e in element.iter()
                        if _tag(e).endswith("-deviate") or _tag(e) == "histogram"
                    ),
                    "",
                )
                hint = (
                    f"; a <{inside}> is read only as the whole value of a basic event's "
                    "probability or rate, not inside arithmetic"
                    if inside
                    else ""
                )
                raise self.error(
                    path,
                    f"<{tag}> is not read as a number (read: float, int, parameter, "
                    f"system-mission-time{', and a distribution' if what else ''}){hint}",
                )
            name = self.parameter_names.find(_name(element, path, self.file), scope, path)
            if name is not None and name in self.values:
                value = self.values[name]
                law = self.laws.get(name)
                if law is not None:
                    self.may_be_uncertain(law, path, what)
                break
            if name is None:
                raise self.error(path, f"parameter {quoted(element.get('name'))} is never defined")
            if name in on_chain:
                names = [n for n, _ in chain]
                raise self.error(
                    path,
                    "the parameters form a cycle: " + " -> ".join(map(quoted, (*names, name))),
                )
            definition, where, scope = self.parameters[name]
            children = _children(definition)
            if len(children) != 1:
                raise self.error(where, "a parameter takes one value")
            chain.append((name, where))
            on_chain.add(name)
            element, path = children[0], f"{where}/{_step(children[0])}"
        if value is None:
            if chain:
                raise self.error(chain[-1][1], "a parameter that is the mission time is not read")
            return None, None
        for name, _ in chain:
            self.values[name] = value
            if law is not None:
                self.laws[name] = law
        return value, law

    def may_be_uncertain(self, law: Law, path: str, what: str) -> None:
        """Refuse a distribution where it cannot be drawn: as anything but a basic event's
        rate or probability, and a beta (a law on [0, 1]) as a rate."""
        if not what:
            raise self.error(
                path,
                f"a distribution ({law.law}) is read only as the value of a basic event's "
                "probability or of an exponential's rate, directly or through parameters; "
                "here give a number",
            )
        if what == "rate" and law.law == "beta":
            raise self.error(path, "a beta-deviate is read as a probability only, not as a rate")
        if what == "probability" and law.law == "normal":
            raise self.error(
                path,
                "a normal-deviate is read as a rate only: give a probability a law on [0, 1] "
                "(beta-deviate, uniform-deviate or histogram)",
            )
        if what == "probability" and law.law == "histogram" and law.values:
            top = law.values[(len(law.values) - 1) // 2]  # its last bound
            if top > 1:
                raise self.error(path, f"a histogram up to {top:g} is no law of a probability")
        if what == "probability" and law.law == "uniform" and law.values[1] > 1:
            raise self.error(
                path, f"a uniform-deviate up to {law.values[1]:g} is no law of a probability"
            )

    def deviate(self, element: Any, path: str, scope: Scope, what: str, parameter: str) -> Law:
        """The law of a ``*-deviate`` element, in the terms of tavoq_tools.formats.uncertain;
        ``parameter`` is the define-parameter that holds it directly ("" for none)."""
        tag = _tag(element)
        if not what:
            # Refused before its arguments are read: they may name the parameter itself.
            self.may_be_uncertain(Law(tag.removesuffix("-deviate"), ()), path, what)
        names = DEVIATES[tag]
        arguments = _children(element)
        if len(arguments) != len(names):
            raise self.error(
                path,
                f"<{tag}> takes {len(names)} arguments ({', '.join(names)}), got {len(arguments)}",
            )
        values = []
        for argument in arguments:
            here = f"{path}/{_step(argument)}"
            number = self.number(argument, here, scope)
            if number is None:
                raise self.error(here, f"the mission time is no argument of <{tag}>")
            values.append(number)
        law = tag.removesuffix("-deviate")
        broken = ""
        if law == "lognormal":
            mean, factor, level = values
            if not (mean > 0 and factor > 1 and 0.5 < level < 1):
                broken = "mean > 0, error factor > 1 and 0.5 < level < 1"
            else:
                values = list(lognormal_of_mean(mean, factor, level))
        elif law == "uniform":
            # A rate or probability is never below 0, and a law that is always 0 is no event.
            if not 0 <= values[0] <= values[1] or values[1] == 0:
                broken = "0 <= min <= max and max > 0"
        elif not (values[0] > 0 and values[1] > 0):
            # A normal is cut at 0 (tavoq_tools.formats.uncertain): its mean must lie above.
            broken = f"{names[0]} > 0 and {names[1]} > 0"
        if broken:
            shown = ", ".join(f"{v:g}" for v in values)
            raise self.error(path, f"<{tag}> needs {broken}, got {shown}")
        result = Law(law, tuple(values), parameter)
        self.may_be_uncertain(result, path, what)
        return result

    def histogram(self, element: Any, path: str, scope: Scope, what: str, parameter: str) -> Law:
        """The law of a ``<histogram>``: its lower bound, then bins of (upper bound, weight),
        each drawn uniformly within with its weight's odds."""
        if not what:
            self.may_be_uncertain(Law("histogram", ()), path, what)
        arguments = _children(element)
        if len(arguments) < 2 or any(_tag(a) != "bin" for a in arguments[1:]):
            raise self.error(
                path, "<histogram> takes a lower bound, then one <bin> or more (upper, weight)"
            )

        def number(argument: Any, here: str) -> float:
            value = self.number(argument, here, scope)
            if value is None:
                raise self.error(here, "the mission time is no argument of <histogram>")
            return value

        bounds = [number(arguments[0], f"{path}/{_step(arguments[0])}")]
        weights = []
        for i, b in enumerate(arguments[1:], 1):
            here = f"{path}/bin[{i}]"
            pair = _children(b)
            if len(pair) != 2:
                raise self.error(
                    here, f"a <bin> takes an upper bound and a weight, got {len(pair)}"
                )
            bounds.append(number(pair[0], f"{here}/{_step(pair[0])}"))
            weights.append(number(pair[1], f"{here}/{_step(pair[1])}"))
        if bounds[0] < 0 or any(a >= b for a, b in zip(bounds, bounds[1:])):
            shown = ", ".join(f"{v:g}" for v in bounds)
            raise self.error(path, f"<histogram> needs bounds from 0 up, increasing; got {shown}")
        if min(weights) < 0 or not sum(weights) > 0:
            shown = ", ".join(f"{v:g}" for v in weights)
            raise self.error(path, f"<histogram> needs weights >= 0, not all 0; got {shown}")
        result = Law("histogram", tuple(bounds + weights), parameter)
        self.may_be_uncertain(result, path, what)
        return result

    def known_event(self, name: str, form: Any, path: str) -> Event | None:
        """The event of a compact form whose value needs no more than a look: a probability
        between 0 and 1, or the rate of a public parameter already read (without a law);
        None for the others, which event() reads (and refuses, as the case may be)."""
        if form.__class__ is not tuple:
            return None
        tag, text = form
        if tag == "float":
            try:
                probability = float(text)
            except ValueError:
                return None
            if 0 <= probability <= 1:
                return Event(name, path, probability=probability)
            return None
        names = self.parameter_names
        if tag != "exponential" or names.private:
            return None
        key = names.public.get(text)
        rate = self.values.get(key) if key is not None else None
        if rate is None or rate < 0 or key in self.laws:
            return None
        return Event(name, path, rate=rate)

    def event(self, name: str, element: Any, path: str, scope: Scope) -> Event:
        children = _children(element)
        if len(children) != 1:
            raise self.error(
                path, "a basic event takes one value: <float value=...> or <exponential>"
            )
        value = children[0]
        here = f"{path}/{_step(value)}"
        tag = _tag(value)
        if tag == "exponential":
            arguments = _children(value)
            if len(arguments) != 2:
                raise self.error(
                    here,
                    f"<exponential> with {len(arguments)} arguments is not read; give the "
                    "failure rate and the mission time",
                )
            rate, law = self.value(arguments[0], f"{here}/{_step(arguments[0])}", scope, "rate")
            if rate is None or rate < 0:
                raise self.error(here, "the failure rate must be a number >= 0")
            time = self.number(arguments[1], f"{here}/{_step(arguments[1])}", scope)
            if time is not None:
                if time <= 0:
                    raise self.error(here, f"the mission time must be positive, got {time:g}")
                self.mission_times.add(time)
            return Event(name, path, rate=rate, law=law)
        probability, law = self.value(value, here, scope, "probability")
        if probability is None or not 0 <= probability <= 1:
            raise self.error(here, "a probability must lie between 0 and 1")
        return Event(name, path, probability=probability, law=law)

    # -- formulas ----------------------------------------------------------------------------

    def formula(self, element: Any, path: str, scope: Scope, depth: int = 0) -> str | Formula:
        tag = _tag(element)
        if depth > MAX_NESTING:
            raise self.error(path, f"formulas nested more than {MAX_NESTING} deep")
        if tag in REFERENCES:
            return self.reference(element, path.rpartition("/")[0], scope)
        if tag == "constant":
            return self.constant(element, path)
        if tag not in FORMULAS:
            raise self.error(
                path, f"<{tag}> is not a formula that is read (read: {', '.join(FORMULAS)})"
            )
        arguments = _children(element)
        if not arguments:
            raise self.error(path, f"<{tag}> has no arguments")
        inputs = [
            self.reference(a, path, scope)
            if _tag(a) in REFERENCES
            else self.formula(a, f"{path}/{_step(a)}", scope, depth + 1)
            for a in arguments
        ]
        return self.combined(tag, element, path, inputs)

    def simple_formula(self, form: _GateForm, path: str, scope: Scope) -> Formula:
        """The formula of a gate kept in its compact form (``_gate_form``): as ``formula``
        reads the same elements, each error included."""
        tag, least, tags, names = form
        here = f"{path}/{tag}"
        if not self.names.private:
            # The common case at C speed: public names, each of the kind its reference says
            # (found among the keys of that kind), none twice, and a whole min within range.
            found: list[Any] = list(map(_GET, map(self.by_tag.__getitem__, tags), names))  # type: ignore[arg-type]
            if None not in found and len(set(found)) == len(found):
                if least is None:
                    return Formula(tag, here, found)
                try:
                    k = int(least)
                except ValueError:
                    k = 0
                if 1 <= k <= len(found):
                    return Formula(tag, here, found, k)
        reference = self.reference_to
        inputs: list[str | Formula] = [
            reference(t, n, here, scope) for t, n in zip(tags, names, strict=True)
        ]
        return self.combined(tag, {"min": least} if least is not None else {}, here, inputs)

    def combined(self, tag: str, element: Any, path: str, inputs: list[str | Formula]) -> Formula:
        """The formula ``tag`` (its attributes by ``element.get``) over ``inputs``."""
        named = [i for i in inputs if isinstance(i, str)]
        if len(set(named)) < len(named):
            twice = next(i for i in named if named.count(i) > 1)
            raise self.error(path, f"<{tag}> lists {quoted(twice)} twice")
        fewest, most = ARITY.get(tag, (1, 0))
        if len(inputs) < fewest or (most and len(inputs) > most):
            wanted = f"exactly {most}" if most == fewest else f"at least {fewest}"
            plural = "s" if fewest > 1 else ""
            raise self.error(path, f"<{tag}> takes {wanted} argument{plural}, got {len(inputs)}")
        if tag == "imply":
            # a -> b is not(a) or b, written nand(a, not(b)): one level of nesting per imply
            return Formula("nand", path, [inputs[0], Formula("not", path, [inputs[1]])])
        k = 0
        if tag == "atleast":
            k = self.count(element, tag, "min", path)
            if not 1 <= k <= len(inputs):
                raise self.error(path, f"<atleast> needs 1 <= min <= {len(inputs)}, got {k}")
        if tag == "cardinality":
            return self.cardinality(element, path, inputs)
        return Formula(tag, path, inputs, k)

    def count(self, element: Any, tag: str, attribute: str, path: str) -> int:
        text = element.get(attribute)
        try:
            return int(text or "")
        except ValueError:
            given = "none" if text is None else quoted(text)
            raise self.error(
                path, f"<{tag}> needs {attribute}, a whole number; got {given}"
            ) from None

    def cardinality(self, element: Any, path: str, inputs: list[str | Formula]) -> Formula:
        """From ``min`` to ``max`` of the inputs failed: atleast(min) and not atleast(max + 1),
        each side left out where it always holds."""
        n = len(inputs)
        low = self.count(element, "cardinality", "min", path)
        high = self.count(element, "cardinality", "max", path)
        if not 0 <= low <= high <= n or (low == 0 and high == n):
            raise self.error(
                path,
                f"<cardinality> needs 0 <= min <= max <= {n}, not both 0 and {n} (a gate that "
                f"always holds); got min {low}, max {high}",
            )
        at_least = Formula("atleast", path, inputs, low)
        at_most = Formula("not", path, [Formula("atleast", path, inputs, high + 1)])
        if high == n:
            return at_least
        if low == 0:
            return at_most
        return Formula("and", path, [at_least, at_most])

    def constant(self, element: Any, path: str) -> str:
        """A ``<constant>`` inside a formula: a house event of its own, named TRUE or FALSE
        (with a number added when the file has that name), one for all such constants."""
        text = (element.get("value") or "").strip().lower()
        if text not in ("true", "false"):
            raise self.error(path, f'value must be "true" or "false", got {quoted(text)}')
        value = text == "true"
        key = self.constants.get(value)
        if key is None:
            base = text.upper()
            key, i = base, 2
            while key in self.kinds or key in self.defined:
                key, i = f"{base}_{i}", i + 1
            self.defined[key] = path
            self.kinds[key] = "house-event"
            self.events[key] = Event(key, path, probability=1.0 if value else 0.0)
            self.constants[value] = key
        return key

    def reference(self, element: Any, parent: str, scope: Scope) -> str:
        """The key of what a reference inside ``parent`` (an XML path) stands for."""
        return self.reference_to(_tag(element), element.get("name"), parent, scope)

    def reference_to(self, tag: str, name: str | None, parent: str, scope: Scope) -> str:
        """The key of what a reference ``<tag name=...>`` inside ``parent`` stands for."""
        names = self.names
        if name and not names.private and name in names.public:
            # A public name, found as find() finds it, with no path to make.
            public = names.public[name]
            if tag == "event" or tag == self.kinds[public]:
                return public
        path = f"{parent}/{tag}[{name}]" if name is not None else f"{parent}/{tag}"
        found = self.names.find(name, scope, path) if name else None
        if found is not None and (tag == "event" or tag == self.kinds[found]):
            return found
        if name is None or not name.strip():
            raise self.error(path, f"<{tag}> needs a name")
        if found is None:
            raise self.error(path, f"{quoted(name)} is never defined")
        raise self.error(path, f"{quoted(name)} is a {self.kinds[found]}, not a {tag}")

    # -- the whole -------------------------------------------------------------------------

    def read(self, root: Any, top: str | None) -> TreeDraft:
        """The draft of a whole tree of elements (the text with a document type, which
        defusedxml refuses, or that ElementTree's own parser could not read)."""
        self.walk([self.root_frame(root)], final=True)
        return self.draft(top)

    def read_text(self, held: list[str], top: str | None, chunk: int = CHUNK) -> TreeDraft:
        """The draft of the text ``held[0]``, which has no document type, parsed ``chunk``
        characters at a time by ElementTree's own parser (its tree builder is native), each
        definition read and its elements let go as soon as the parser closes it: the whole
        tree of a large file would take ten times the memory of the draft. The text is
        taken out of ``held`` once parsed. _Refused when the parser refuses the text, so
        that defusedxml says why.

        A file is read as it was when it was parsed whole first: an error of the model is
        raised only once the rest of the text has been parsed, since an error of the XML
        after it is the one to report."""
        # The builder's elements go into an element opened first, which gives the root as
        # soon as it opens, without an event per element. (Its C version, which the parser
        # drives without calling Python, does not ask for that element to be closed.)
        builder = ElementTree.TreeBuilder()
        document = builder.start("document", {})
        parser: Any = ElementTree.XMLParser(target=builder)
        stack: list[_Frame] = []
        text = held[0]
        position = 0
        try:
            while position < len(text):
                _feed(parser, text[position : position + chunk])
                position += chunk
                if not stack and len(document):
                    stack.append(self.root_frame(document[0]))
                if stack:
                    self.walk(stack, final=False)
        except ModelError:
            stack.clear()
            _parse_rest(parser, text, position, chunk)  # _Refused if the rest is no XML
            raise
        _feed(parser, None)
        if not stack:
            raise _Refused  # no root element: defusedxml says what is wrong
        # The text is parsed: the draft is made without it, nor the parser's buffers.
        held.clear()
        del text, parser, builder, document
        self.walk(stack, final=True)
        return self.draft(top)

    def root_frame(self, root: Any) -> _Frame:
        if _tag(root) != "opsa-mef":
            raise self.error(_tag(root), f"the root element is <{_tag(root)}>, not <opsa-mef>")
        return _Frame(root, "opsa-mef", (), False, top=True)

    def draft(self, top: str | None) -> TreeDraft:
        """The draft, once every definition is known: the values and formulas are read."""
        self.kinds = dict.fromkeys(self.defined, "basic-event")
        self.kinds.update(dict.fromkeys(self.houses, "house-event"))
        gate_keys = [name for name, _, _, _ in self.pending_gates]
        self.kinds.update(dict.fromkeys(gate_keys, "gate"))
        if not self.names.private:
            # Without private names each key is its name: the keys of each kind by name,
            # for a reference to find its key and check its kind in one lookup.
            kinds = self.kinds
            self.by_tag = {
                "gate": dict(zip(gate_keys, gate_keys)),
                "basic-event": {k: k for k, kind in kinds.items() if kind == "basic-event"},
                "house-event": {k: k for k in self.houses},
                "event": self.names.public,
            }
        del gate_keys
        # Each definition is let go once read: the draft is made in the memory it leaves.
        pending = self.pending_events
        pending.reverse()
        while pending:
            name, form, path, scope = pending.pop()
            self.events[name] = self.known_event(name, form, path) or self.event(
                name, _event_element(form) if form.__class__ is tuple else form, path, scope
            )
        common: list[CommonEvent] = []
        for name, element, path, scope, keys in self.pending_groups:
            common += self.common_events(name, element, path, scope, keys)
        for name, value in self.houses.items():
            self.events[name] = Event(name, self.defined[name], probability=1.0 if value else 0.0)
        # The names each gate uses, gate after gate: the gates none uses, one of them the
        # top, and whether the gates come in order are found from them in one pass.
        inputs: list[Sequence[str]] = []
        nested: set[str] = set()  # the gates not in a compact form (of names alone)
        simple_formula = self.simple_formula
        pending = self.pending_gates
        pending.reverse()
        while pending:
            name, form, path, scope = pending.pop()
            if form.__class__ is tuple:
                formula = simple_formula(form, path, scope)
                self.gates[name] = formula
                inputs.append(formula.inputs)  # type: ignore[arg-type]  # names only
                continue
            nested.add(name)
            children = _children(form)
            if len(children) != 1:
                raise self.error(path, "a gate takes one formula")
            read = self.formula(children[0], f"{path}/{_step(children[0])}", scope)
            form.clear()
            formula = Formula("or", path, [read]) if isinstance(read, str) else read
            self.gates[name] = formula
            inputs.append(_references(formula))
        if not self.gates:
            raise self.error("opsa-mef", "the file defines no gate")
        unused, in_order = unused_gates_in_file_order(self.gates, inputs)
        del inputs
        top_name = self.top(top, unused)
        order = refuse_cycles(self.gates, _references, self.file, in_order)
        mission, note = mission_of(self.mission_times)
        return TreeDraft(
            "Open-PSA",
            self.events,
            self.gates,
            top_name,
            self.defined[top_name],
            mission,
            mission_note=note,
            common_events=common,
            order=order,
            nested=nested,
        )

    def top(self, top: str | None, unused: list[str]) -> str:
        if top is not None:
            try:
                found = self.names.find(top, (), "")
            except ModelError:
                found = None
            if found is None or found not in self.gates:
                raise self.error("", f"the top {quoted(top)} is not a gate of the file")
            return found
        if len(unused) != 1:
            listed = ", ".join(quoted(g) for g in unused[:10])
            raise self.error(
                "",
                f"{len(unused)} gates are used by no other gate ({listed}): name the top "
                "(--top NAME)"
                if unused
                else "every gate is used by another: the gates form a cycle",
            )
        return unused[0]


def _ccf_shares(
    model: str, n: int, factors: dict[int, float], error: Callable[[str], ModelError]
) -> list[float]:
    """Per k = 1 .. n, the share of a member's total failure (probability or rate) that one
    event failing a given set of k members takes, as NUREG/CR-5485 defines each model:
    beta-factor Q1 = (1 - β) Q, Qn = β Q; MGL (factors ρ2 .. ρn) Qk = ρ1..ρk (1 - ρk+1) /
    C(n-1, k-1) Q with ρ1 = 1, ρn+1 = 0; alpha-factor (α1 .. αn) Qk = k αk / (C(n-1, k-1) αt)
    Q with αt = Σ k αk."""
    if model == "beta-factor":
        if len(factors) != 1 or next(iter(factors)) not in (0, n):
            raise error(f"a beta-factor group takes one factor (of level {n}, or none)")
        beta = next(iter(factors.values()))
        return [1 - beta] + [0.0] * (n - 2) + [beta]
    first = 2 if model == "MGL" else 1
    wanted = list(range(first, n + 1))
    if sorted(factors) != wanted:
        raise error(
            f"a {model} group of {n} members takes the factors of levels {first} .. {n}, "
            f"got {', '.join(map(str, sorted(factors))) or 'none'}"
        )
    shares = []
    if model == "MGL":
        rho = [1.0, *(factors[k] for k in range(2, n + 1)), 0.0]  # rho[k - 1] = ρk
        product = 1.0
        for k in range(1, n + 1):
            product *= rho[k - 1]
            shares.append(product * (1 - rho[k]) / math.comb(n - 1, k - 1))
        return shares
    total = sum(k * factors[k] for k in wanted)
    if total <= 0:
        raise error("the alpha factors are all 0")
    return [k * factors[k] / (math.comb(n - 1, k - 1) * total) for k in wanted]


def _scaled(total: Event, name: str, where: str, share: float) -> Event:
    """An event of the share ``share`` of ``total``'s rate or probability."""
    if total.rate is not None:
        return Event(name, where, rate=total.rate * share)
    return Event(name, where, probability=(total.probability or 0.0) * share)


def _references(formula: Formula) -> list[str]:
    """The names a formula uses, in the order its text names them: left to right through
    its nesting, as the gate graph reads them (so that refuse_cycles' order is the graph's)."""
    inputs = formula.inputs
    if all(map(_IS_NAME, inputs)):
        return inputs  # type: ignore[return-value]
    names: list[str] = []
    stack = [iter(inputs)]
    while stack:
        item = next(stack[-1], None)
        if item is None:
            stack.pop()
        elif isinstance(item, str):
            names.append(item)
        else:
            stack.append(iter(item.inputs))
    return names


_IS_NAME = str.__instancecheck__


def _included_path(element: Any, path: str) -> str:
    """The XML path of what an included file defines: the include's, named by the file."""
    return f"{path.rpartition('/')[0]}/include[{element.get('file')}]"


def parse(
    text: str | list[str],
    file: str,
    top: str | None = None,
    read: Callable[[str], str] | None = None,
) -> TreeDraft:
    """The fault tree of the Open-PSA text ``text`` read from ``file``; ``read(path)`` gives
    the text of a file that it includes. A list holding the text hands it over: the text
    is taken out of it once parsed, and so let go while the draft is made, if the caller
    holds it nowhere else."""
    held = text if isinstance(text, list) else [text]
    del text
    # Most large files are plain: read natively, or declined for the reader to read.
    draft = plain_draft(held[0], top)
    if draft is not None:
        held.clear()
        return draft
    return read_fully(held, file, top, read)


def read_fully(
    held: list[str], file: str, top: str | None, read: Callable[[str], str] | None
) -> TreeDraft:
    """parse's reading of ``held[0]`` by the reader, which reads every file (the plain
    reading gives the same draft for the files it reads) and says what is wrong."""
    reader = _Reader(file, read)
    try:
        if _without_document_type(held[0]):
            # No entities to refuse: ElementTree's own parser reads the text as it comes.
            try:
                return reader.read_text(held, top)
            except _Refused:
                reader.release()
                reader = _Reader(file, read)
        # A document type, or a text that ElementTree's parser refused: defusedxml's
        # parser reads it whole, or says why not.
        return reader.read(_parse_xml_defused(held[0], file), top)
    finally:
        reader.release()


class _Refused(Exception):
    """ElementTree's own parser refused the text: defusedxml's is to say why."""


def _feed(parser: Any, data: str | None) -> None:
    """Feed ``data`` to ElementTree's parser, or close it (None); _Refused if it refuses
    the text."""
    try:
        if data is None:
            parser.close()
        else:
            parser.feed(data)
    except (ElementTree.ParseError, ValueError, RecursionError):
        raise _Refused from None


def _parse_rest(parser: Any, text: str, position: int, chunk: int) -> None:
    """Parse the text from ``position`` to its end, only to see that it is XML (_Refused if
    it is not), with the parser that read it up to there."""
    while position < len(text):
        _feed(parser, text[position : position + chunk])
        position += chunk
    _feed(parser, None)


class _Stop(Exception):
    """Raised by a handler of the look at the prolog, to stop there."""


def _without_document_type(text: str) -> bool:
    """Whether the text reaches its root element without a document type declaration, the
    one place where entities (and so an "entity bomb" or an external file) can be declared;
    False too when its prolog is not well-formed."""
    found = []

    def doctype(*_: object) -> None:
        found.append(True)
        raise _Stop

    def root(*_: object) -> None:
        raise _Stop

    parser = expat.ParserCreate()
    parser.StartDoctypeDeclHandler = doctype
    parser.StartElementHandler = root
    try:
        parser.Parse(text, True)
    except _Stop:
        return not found
    except expat.ExpatError:
        return False
    return False  # no root element: the full reading says what is wrong


def _parse_xml(text: str, file: str) -> Any:
    # A text without a document type has no entities to refuse: ElementTree's own parser,
    # whose tree builder is native, reads it, in a third of the time and the memory of
    # defusedxml's parser (which calls Python for every element). Whatever it refuses, or a
    # text with a document type, goes to defusedxml, which says why.
    if _without_document_type(text):
        parser = ElementTree.XMLParser(target=ElementTree.TreeBuilder())
        try:
            parser.feed(text)
            return parser.close()
        except (ElementTree.ParseError, ValueError, RecursionError):
            pass
    return _parse_xml_defused(text, file)


def _parse_xml_defused(text: str, file: str) -> Any:
    """The tree of the text by defusedxml, which refuses document types; ModelError for a
    text it refuses or cannot read."""
    try:
        root = SafeElementTree.fromstring(text, forbid_dtd=True)
    except defusedxml.DefusedXmlException as err:
        raise ModelError(
            "",
            f"refused: the XML declares a document type or entities ({type(err).__name__})",
            file,
        ) from None
    except ElementTree.ParseError as err:
        line, column = getattr(err, "position", (0, 0))
        message = str(err).split(":")[0]
        raise ModelError(f"line {line}, column {column + 1}", f"XML: {message}", file) from None
    except (ValueError, RecursionError) as err:
        raise ModelError("", f"XML: {err}", file) from None
    return root
