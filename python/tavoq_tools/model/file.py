"""Read a model from a TOML file (docs/model-format.md describes the format).

``load_model(path)`` returns a checked ``Model`` or raises ``ModelError``, whose one-line text
names the file, the key path and what is allowed:

    pumps.toml: components.pump_a.transitions[2].to: unknown state "broken" (states: ...)

This module checks the shape of the document (tables where tables belong, no unknown keys, the
required keys present); the Model classes check the values. Nothing else escapes: any other
exception from a malformed file would be a fault here.
"""

from __future__ import annotations

import codecs
import difflib
import re
import sys
import tomllib
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from ..errors import ModelError, unknown
from .distributions import DISTRIBUTIONS
from .system import Component, Model, Simulation, Transition

__all__ = ["ModelError", "load_model", "model_from_dict"]

# A model file past this size is something else (a device such as /dev/zero never ends):
# reading stops here instead of filling the memory.
MAX_FILE_BYTES = 64 * 2**20
TOP_KEYS = (
    "name",
    "description",
    "failed_when",
    "gates",
    "cutsets",
    "simulation",
    "components",
)
SIMULATION_KEYS = ("horizon", "unit", "runs", "seed", "threads")
COMPONENT_KEYS = ("count", "description", "states", "transitions")
TRANSITION_KEYS = ("from", "to", "distribution")
# Every parameter name of any distribution: keys of a transition that are no typo.
PARAMETERS = frozenset(p for params in DISTRIBUTIONS.values() for p in params)


def _table(key: str, value: object, what: str) -> Mapping[str, Any]:
    if not isinstance(value, Mapping):
        raise ModelError(key, f"must be a table ({what}), got {value!r}")
    return value


def _no_unknown(key: str, table: Mapping[str, Any], allowed: tuple[str, ...]) -> None:
    for name in table:
        if name not in allowed:
            path = f"{key}.{name}" if key else name
            raise ModelError(path, unknown("key", name, "allowed", allowed))


def _transition(key: str, table: object) -> Transition:
    entry = _table(key, table, "from, to, distribution and its parameters")
    for name in TRANSITION_KEYS:
        if name not in entry:
            # A misspelt key reads as a missing one; name the typo when there is one.
            strays = [k for k in entry if k not in TRANSITION_KEYS and k not in PARAMETERS]
            typo = next((k for k in strays if difflib.get_close_matches(k, [name])), None)
            if typo is not None:
                raise ModelError(f"{key}.{typo}", unknown("key", typo, "keys", TRANSITION_KEYS))
            raise ModelError(
                key,
                f'missing key "{name}" (a transition has from, to, distribution '
                "and the distribution's parameters)",
            )
    params = {k: v for k, v in entry.items() if k not in TRANSITION_KEYS}
    return Transition(entry["from"], entry["to"], entry["distribution"], params)


def _component(name: str, value: object) -> Component:
    key = f"components.{name}"
    table = _table(key, value, "states, transitions, count")
    _no_unknown(key, table, COMPONENT_KEYS)
    transitions = table.get("transitions", [])
    if not isinstance(transitions, list):
        raise ModelError(f"{key}.transitions", "must be a list of tables ([[...transitions]])")
    arguments: dict[str, Any] = {
        "transitions": tuple(
            _transition(f"{key}.transitions[{i}]", t) for i, t in enumerate(transitions)
        )
    }
    for option in ("count", "description", "states"):
        if option in table:
            arguments[option] = table[option]
    return Component(name, **arguments)


def model_from_dict(document: Mapping[str, Any], file: str | None = None) -> Model:
    """A Model from the data of a model file (as tomllib returns it)."""
    try:
        top = _table("", document, "the model file")
        _no_unknown("", top, TOP_KEYS)
        if "simulation" not in top:
            raise ModelError("simulation", "missing table [simulation] (needs at least horizon)")
        settings = _table("simulation", top["simulation"], "horizon, unit, runs, seed, threads")
        _no_unknown("simulation", settings, SIMULATION_KEYS)
        if "horizon" not in settings:
            raise ModelError(
                "simulation.horizon", "missing (the number of time units to simulate)"
            )
        simulation = Simulation(**settings)
        if "components" not in top:
            raise ModelError("components", "missing: describe each component in [components.NAME]")
        components = _table("components", top["components"], "one table per component")
        return Model(
            components=tuple(_component(n, v) for n, v in components.items()),
            simulation=simulation,
            failed_when=top.get("failed_when"),
            cutsets=top.get("cutsets"),
            gates=_table("gates", top["gates"], "gate names and expressions")
            if "gates" in top
            else None,
            name=top.get("name", ""),
            description=top.get("description", ""),
        )
    except ModelError as err:
        raise (err.in_file(file) if file else err) from None


def _too_large(text: str) -> str | None:
    """Where the file holds an integer of more digits than Python converts (tomllib's
    ValueError says only how to raise Python's limit, which is no advice for a model)."""
    limit = sys.get_int_max_str_digits()
    for match in re.finditer(r"[0-9][0-9_]*", text):
        digits = len(match.group()) - match.group().count("_")
        if digits > limit:
            line = text.count("\n", 0, match.start()) + 1
            return f"line {line}: an integer of {digits:,} digits is too large"
    return None


def load_model(path: str | Path) -> Model:
    """Read and check the model file at ``path``; raises ModelError for any problem."""
    file = str(path)
    if not file:
        raise ModelError("", "no model file named: the path is empty")
    try:
        with open(path, "rb") as stream:
            data = stream.read(MAX_FILE_BYTES + 1)
    except OSError as err:
        raise ModelError("", f"cannot read the file: {err.strerror or err}", file) from None
    if len(data) > MAX_FILE_BYTES:
        raise ModelError(
            "", f"larger than {MAX_FILE_BYTES // 2**20} MiB: too large for a model file", file
        )
    # A byte order mark, as some editors save UTF-8, is not part of the text.
    bom = len(codecs.BOM_UTF8) if data.startswith(codecs.BOM_UTF8) else 0
    try:
        text = data[bom:].decode("utf-8")
    except UnicodeDecodeError as err:
        raise ModelError("", f"not UTF-8 text (byte {bom + err.start})", file) from None
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as err:
        raise ModelError("", f"TOML syntax: {err}", file) from None
    except RecursionError:
        raise ModelError("", "TOML syntax: values nested too deeply", file) from None
    except ValueError as err:  # e.g. an integer of more digits than Python converts
        raise ModelError("", _too_large(text) or f"TOML value: {err}", file) from None
    return model_from_dict(document, file)
