"""Write a Model as a TOML model file, for ``tavoq convert``.

The standard library reads TOML but does not write it, and the model holds only strings,
numbers, lists and tables of known shape, so a small writer does: strings in basic quotes
with every control character escaped, floats by ``repr`` (the shortest text that reads back
as the same double, so the file runs bit for bit as the model it came from), integers as
they are. ``model_to_toml(model)`` read back with ``load_model`` gives an equal Model.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from ..errors import one_line
from ..model.system import Component, Model

__all__ = ["model_to_toml", "toml_string", "toml_value"]

_ESCAPES = {
    '"': '\\"',
    "\\": "\\\\",
    "\b": "\\b",
    "\t": "\\t",
    "\n": "\\n",
    "\f": "\\f",
    "\r": "\\r",
}


def toml_string(text: str) -> str:
    """``text`` as a TOML basic string."""
    out = []
    for ch in text:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif ord(ch) < 32 or ord(ch) == 127:
            out.append(f"\\u{ord(ch):04X}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def toml_value(value: Any) -> str:
    """A string, bool, int, float, list or table of them as TOML text (one line)."""
    if isinstance(value, str):
        return toml_string(value)
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"a model holds finite numbers only, got {value!r}")
        return repr(value)
    if isinstance(value, Mapping):
        return "{ " + ", ".join(f"{key(k)} = {toml_value(v)}" for k, v in value.items()) + " }"
    if isinstance(value, Sequence):
        return "[" + ", ".join(toml_value(v) for v in value) + "]"
    raise TypeError(f"no TOML form for {type(value).__name__}")


def key(name: str) -> str:
    """A bare key when the name is one, else a quoted one."""
    bare = name and all(c.isascii() and (c.isalnum() or c in "_-") for c in name)
    return name if bare else toml_string(name)


def _comments(lines: Iterable[str]) -> list[str]:
    # A comment holds no control character but the tab: any other is written escaped.
    return [f"# {one_line(line)}".rstrip() for text in lines for line in text.splitlines() or [""]]


def _component(c: Component, laws: Mapping[str, Mapping[str, Any]]) -> list[str]:
    lines = [f"[components.{key(c.name)}]"]
    if c.description:
        lines.append(f"description = {toml_string(c.description)}")
    if c.count is not None:
        lines.append(f"count = {c.count}")
    lines.append(f"states = {toml_value(list(c.states))}")
    if c.kinds:
        lines.append(f"kinds = {toml_value(dict(c.kinds))}")
    if c.standby_pairs:
        lines.append(f"standby_pairs = {toml_value(dict(c.standby_pairs))}")
    if c.transitions:
        lines.append("transitions = [")
        for i, t in enumerate(c.transitions):
            entry: dict[str, Any] = {
                "from": t.source,
                "to": t.target,
                "distribution": t.distribution,
            }
            entry.update(t.params)
            if laws:
                at = f"components.{c.name}.transitions[{i}]."
                entry.update((k, laws[at + k]) for k in t.params if at + k in laws)
            if t.crew is not None:
                entry["crew"] = t.crew
            if t.priority:
                entry["priority"] = t.priority
            lines.append(f"  {toml_value(entry)},")
        lines.append("]")
    return lines


def _interaction_lines(model: Model) -> list[str]:
    """The crews, standby groups, common causes and triggers, as the file reader takes them."""
    lines: list[str] = []
    for pool in model.crews:
        lines += ["", f"[crews.{key(pool.name)}]", f"count = {pool.count}"]
    for group in model.standby:
        lines += [
            "",
            f"[standby.{key(group.name)}]",
            f"units = {toml_value(list(group.units))}",
            f"active = {toml_string(group.active)}",
            f"standby = {toml_string(group.standby)}",
        ]
        if group.switch_failure:
            lines.append(f"switch_failure = {toml_value(float(group.switch_failure))}")
        if group.switch_failed is not None:
            lines.append(f"switch_failed = {toml_string(group.switch_failed)}")
        lines.append(f"revert = {toml_value(bool(group.revert))}")
    for cause in model.common_causes:
        lines += [
            "",
            f"[common_cause.{key(cause.name)}]",
            f"members = {toml_value(list(cause.members))}",
            f"to = {toml_string(cause.target)}",
        ]
        if cause.beta is not None:
            lines.append(f"beta = {toml_value(cause.beta)}")
        if cause.distribution is not None:
            lines.append(f"distribution = {toml_string(cause.distribution)}")
            lines += [f"{key(k)} = {toml_value(v)}" for k, v in cause.params.items()]
    for trigger in model.triggers:
        lines += [
            "",
            "[[triggers]]",
            f"when = {toml_string(trigger.when)}",
            "fails = true" if trigger.on_failure else "restored = true",
            *(
                [f"probability = {toml_value(trigger.probability)}"]
                if trigger.probability != 1
                else []
            ),
            "move = [",
        ]
        for move in trigger.moves:
            entry = {
                "components": list(move.components),
                "from": list(move.source),
                "to": move.target,
            }
            lines.append(f"  {toml_value(entry)},")
        lines.append("]")
    return lines


def model_to_toml(
    model: Model,
    comments: Sequence[str] = (),
    laws: Mapping[str, Mapping[str, Any]] | None = None,
) -> str:
    """The TOML text of ``model``, headed by ``comments`` (each line written as a comment).
    ``laws`` gives the table of an uncertain parameter (tavoq_tools.formats.uncertain) by
    its key path, written in place of the number the model holds (its mean)."""
    lines = _comments(comments)
    if lines:
        lines.append("")
    if model.name:
        lines.append(f"name = {toml_string(model.name)}")
    if model.description:
        lines.append(f"description = {toml_string(model.description)}")
    if model.failed_when is not None:
        lines.append(f"failed_when = {toml_string(model.failed_when)}")
    if model.cutsets is not None:
        lines.append(f"cutsets = {toml_value([list(c) for c in model.cutsets])}")
    sim = model.simulation
    lines += ["", "[simulation]", f"horizon = {sim.horizon}"]
    if sim.step != 1.0:
        lines.append(f"step = {toml_value(sim.step)}")
    if sim.unit:
        lines.append(f"unit = {toml_string(sim.unit)}")
    lines += [f"runs = {sim.runs}", f"seed = {sim.seed}"]
    if sim.threads is not None:
        lines.append(f"threads = {sim.threads}")
    if model.rare is not None:
        rare = model.rare
        lines += ["", "[rare]", f"method = {toml_string(rare.method)}"]
        lines.append(f"bias = {toml_value(rare.bias)}")
        if rare.target_ci is not None:
            lines.append(f"target_ci = {toml_value(rare.target_ci)}")
        if rare.max_runs is not None:
            lines.append(f"max_runs = {rare.max_runs}")
        for name in ("levels", "splits"):
            values = getattr(rare, name)
            if values is not None:
                lines.append(f"{name} = [{', '.join(str(v) for v in values)}]")
    if model.gates:
        lines += ["", "[gates]"]
        lines += [f"{key(g)} = {toml_string(e)}" for g, e in model.gates.items()]
    lines += _interaction_lines(model)
    for c in model.components:
        lines.append("")
        lines += _component(c, laws or {})
    return "\n".join(lines) + "\n"
