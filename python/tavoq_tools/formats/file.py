"""Read a model from a TOML file (docs/model-format.md describes the format), or from a
Galileo or Open-PSA fault tree (tavoq_tools.formats.galileo, tavoq_tools.formats.open_psa).

``load_model(path)`` returns a checked ``Model`` or raises ``ModelError``, whose one-line text
names the file, the key path and what is allowed:

    pumps.toml: components.pump_a.transitions[2].to: unknown state "broken" (states: ...)

This module checks the shape of the document (tables where tables belong, no unknown keys, the
required keys present); the Model classes check the values. Nothing else escapes: any other
exception from a malformed file would be a fault here.
"""

from __future__ import annotations

import codecs
import contextlib
import difflib
import gc
import re
import tomllib
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from ..errors import ModelError, shown, unknown
from ..model.interactions import CommonCause, CrewPool, Move, StandbyGroup, Trigger
from ..model.system import Component, Model, RareSettings, RunSettings, Transition
from . import galileo, open_psa
from .fault_tree import renamed, to_model, uncertain_tables
from .uncertain import with_means

__all__ = [
    "EXTENSIONS",
    "ModelError",
    "file_kind",
    "load_model",
    "model_from_dict",
    "read_model_and_laws",
]

TOP_KEYS = (
    "name",
    "description",
    "failed_when",
    "gates",
    "cutsets",
    "simulation",
    "components",
    "crews",
    "standby",
    "common_cause",
    "triggers",
    "rare",
)
SIMULATION_KEYS = ("horizon", "unit", "runs", "seed", "threads", "step")
RARE_KEYS = ("method", "bias", "target_ci", "max_runs", "levels", "splits")
COMPONENT_KEYS = ("count", "description", "states", "kinds", "standby_pairs", "transitions")
TRANSITION_KEYS = ("from", "to", "distribution")
# Keys of a transition that are not the distribution's parameters.
TRANSITION_OPTIONS = ("crew", "priority")
CREW_KEYS = ("count",)
STANDBY_KEYS = ("units", "active", "standby", "switch_failure", "switch_failed", "revert")
COMMON_CAUSE_KEYS = ("members", "to", "beta", "distribution")
TRIGGER_KEYS = ("when", "fails", "restored", "move", "probability")
MOVE_KEYS = ("components", "from", "to")


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
            # A misspelt key reads as a parameter: name it, so the fix is plain.
            others = [k for k in entry if k not in TRANSITION_KEYS]
            typo = difflib.get_close_matches(name, others, n=1, cutoff=0.6)
            found = f'; found "{typo[0]}": did you mean "{name}"?' if typo else ""
            raise ModelError(
                key,
                f'missing key "{name}" (a transition has from, to, distribution '
                f"and the distribution's parameters){found}",
            )
    params = {k: v for k, v in entry.items() if k not in TRANSITION_KEYS + TRANSITION_OPTIONS}
    options = {k: entry[k] for k in TRANSITION_OPTIONS if k in entry}
    return Transition(entry["from"], entry["to"], entry["distribution"], params, **options)


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
    for option in ("count", "description", "states", "kinds", "standby_pairs"):
        if option in table:
            arguments[option] = table[option]
    return Component(name, **arguments)


def _required(key: str, table: Mapping[str, Any], name: str, what: str) -> Any:
    if name not in table:
        raise ModelError(f"{key}.{name}", f"missing ({what})")
    return table[name]


def _crews(value: object) -> tuple[CrewPool, ...]:
    pools = []
    for name, entry in _table("crews", value, "one table per crew pool").items():
        key = f"crews.{name}"
        table = _table(key, entry, "count")
        _no_unknown(key, table, CREW_KEYS)
        pools.append(CrewPool(name, table.get("count", 1)))
    return tuple(pools)


def _tuple(value: Any) -> Any:
    """A list of the file as a tuple, as the model's classes hold them (so that a model read
    from a file equals the same model made in Python); anything else as it is, for the
    classes to refuse."""
    return tuple(value) if isinstance(value, list) else value


def _standby(value: object) -> tuple[StandbyGroup, ...]:
    groups = []
    for name, entry in _table("standby", value, "one table per standby group").items():
        key = f"standby.{name}"
        table = _table(key, entry, "units, active, standby, switch_failure, ...")
        _no_unknown(key, table, STANDBY_KEYS)
        groups.append(
            StandbyGroup(
                name,
                _tuple(_required(key, table, "units", "the units in order of preference")),
                _required(key, table, "active", "the state of the unit in service"),
                _required(key, table, "standby", "the state of the units waiting"),
                table.get("switch_failure", 0.0),
                table.get("switch_failed"),
                table.get("revert", True),
            )
        )
    return tuple(groups)


def _common_causes(value: object) -> tuple[CommonCause, ...]:
    causes = []
    for name, entry in _table("common_cause", value, "one table per common cause").items():
        key = f"common_cause.{name}"
        table = _table(key, entry, "members, to, and beta or a distribution")
        if "distribution" not in table:
            _no_unknown(key, table, COMMON_CAUSE_KEYS)
        params = {k: v for k, v in table.items() if k not in COMMON_CAUSE_KEYS}
        causes.append(
            CommonCause(
                name,
                _tuple(_required(key, table, "members", "the components it fails together")),
                _required(key, table, "to", "the state it moves the members to"),
                table.get("beta"),
                table.get("distribution"),
                params,
            )
        )
    return tuple(causes)


def _toml(value: object) -> str:
    """A value as TOML writes it, for messages (true rather than True)."""
    return str(value).lower() if isinstance(value, bool) else shown(value)


def _triggers(value: object) -> tuple[Trigger, ...]:
    if not isinstance(value, list):
        raise ModelError("triggers", "must be a list of tables ([[triggers]])")
    triggers = []
    for i, entry in enumerate(value):
        key = f"triggers[{i}]"
        table = _table(key, entry, "when, fails or restored, move")
        _no_unknown(key, table, TRIGGER_KEYS)
        when = _required(key, table, "when", "the component, gate or standby group watched")
        given = [k for k in ("fails", "restored") if k in table]
        if len(given) != 1 or table[given[0]] is not True:
            raise ModelError(
                key,
                "give fails = true (when it turns down) or restored = true (when it comes "
                f"back), one of them; given: {', '.join(f'{k} = {_toml(table[k])}' for k in given) or 'none'}",
            )
        moves = _required(key, table, "move", "a list of { components, from, to }")
        if not isinstance(moves, list):
            raise ModelError(f"{key}.move", "must be a list of { components, from, to }")
        parsed = []
        for j, move in enumerate(moves):
            mkey = f"{key}.move[{j}]"
            mtable = _table(mkey, move, "components, from, to")
            _no_unknown(mkey, mtable, MOVE_KEYS)
            source = _required(mkey, mtable, "from", "the states a component is moved from")
            parsed.append(
                Move(
                    _tuple(_required(mkey, mtable, "components", "the components moved")),
                    (source,) if isinstance(source, str) else _tuple(source),
                    _required(mkey, mtable, "to", "the state they are moved to"),
                )
            )
        triggers.append(
            Trigger(
                when,
                tuple(parsed),
                on_failure=given[0] == "fails",
                probability=table.get("probability", 1.0),
            )
        )
    return tuple(triggers)


def _rare(value: object) -> RareSettings:
    table = _table("rare", value, "method, bias, target_ci, max_runs, levels, splits")
    _no_unknown("rare", table, RARE_KEYS)
    return RareSettings(**table)


def model_from_dict(document: Mapping[str, Any], file: str | None = None) -> Model:
    """A Model from the data of a model file (as tomllib returns it); a parameter given as
    a distribution (tavoq_tools.formats.uncertain) takes its mean."""
    try:
        # Uncertain parameters (tavoq_tools.formats.uncertain) run at their means.
        top = with_means(_table("", document, "the model file"))
        _no_unknown("", top, TOP_KEYS)
        if "simulation" not in top:
            raise ModelError("simulation", "missing table [simulation] (needs at least horizon)")
        settings = _table(
            "simulation", top["simulation"], "horizon, unit, runs, seed, threads, step"
        )
        _no_unknown("simulation", settings, SIMULATION_KEYS)
        if "horizon" not in settings:
            raise ModelError(
                "simulation.horizon", "missing (the number of time units to simulate)"
            )
        simulation = RunSettings(**settings)
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
            crews=_crews(top["crews"]) if "crews" in top else (),
            standby=_standby(top["standby"]) if "standby" in top else (),
            common_causes=_common_causes(top["common_cause"]) if "common_cause" in top else (),
            triggers=_triggers(top["triggers"]) if "triggers" in top else (),
            rare=_rare(top["rare"]) if "rare" in top else None,
        )
    except ModelError as err:
        raise (err.in_file(file) if file else err) from None


# A model file of 10,000 components and gates takes about a megabyte.
MAX_FILE_BYTES = 64 * 2**20


def load_model(
    path: str | Path,
    *,
    step: float | None = None,
    mission_time: float | None = None,
    top: str | None = None,
    any_horizon: bool = False,
) -> Model:
    """Read and check the model file at ``path``; raises ModelError for any problem.

    The file is a TOML model, a Galileo fault tree (.dft) or an Open-PSA one (.xml), known
    by its extension or, without one of these, by its first characters (``file_kind``). For
    the fault trees one time unit is ``step`` of the file's time (1 unless given), the
    horizon is ``mission_time`` in the file's time, and ``top`` names the top gate of an
    Open-PSA file that has several (tavoq_tools.formats.fault_tree); ``any_horizon`` lets a
    fault tree without a mission time load with a horizon of one step, to be checked.
    """
    return read_model_and_laws(
        path, step=step, mission_time=mission_time, top=top, any_horizon=any_horizon
    )[0]


def read_model_and_laws(
    path: str | Path,
    *,
    step: float | None = None,
    mission_time: float | None = None,
    top: str | None = None,
    any_horizon: bool = False,
) -> tuple[Model, list[tuple[str, str]], dict[str, dict[str, Any]]]:
    """``load_model``'s model; the (name in the file, tavoq name) pairs of a fault tree
    whose names had to change; and the uncertain parameters of a fault tree: the table of each law by the key path of the parameter it stands for in the TOML
    model (tavoq_tools.formats.fault_tree.uncertain_tables), which the model has at its
    mean. A TOML file keeps its tables in its own data: it gives none here."""
    file = str(path)
    if not file:
        raise ModelError("", "no model file named: the path is empty")
    with paused_collection():
        # The text is _read's alone, which lets it go once it is read.
        return _read(file, read_text(file), step, mission_time, top, any_horizon)


def _read(
    file: str,
    text: str,
    step: float | None,
    mission_time: float | None,
    top: str | None,
    any_horizon: bool,
) -> tuple[Model, list[tuple[str, str]], dict[str, dict[str, Any]]]:
    kind = file_kind(file, text)
    if kind == "toml":
        given = [
            n
            for n, v in (("step", step), ("mission time", mission_time), ("top", top))
            if v is not None
        ]
        if given:
            raise ModelError(
                "",
                f"a TOML model sets its own horizon and step in [simulation]; the "
                f"{', '.join(given)} given apply to Galileo and Open-PSA files only",
                file,
            )
        return _toml_model(text, file), [], {}
    if kind == "galileo":
        if top is not None:
            raise ModelError("", "a Galileo file names its top (toplevel): give no top", file)
        draft = galileo.parse(text, file)
        del text  # tens of megabytes that the model does not need
    else:
        held = [text]
        del text  # held alone, the reader lets go of it once it is parsed
        draft = open_psa.parse(held, file, top, read=read_text)
    pairs = renamed(draft)
    model = to_model(
        draft,
        file,
        step=1.0 if step is None else step,
        mission_time=mission_time,
        any_horizon=any_horizon,
        spend_gates=True,  # the draft is this function's own
    )
    return model, pairs, uncertain_tables(draft, model)


@contextlib.contextmanager
def paused_collection() -> Iterator[None]:
    """No cyclic garbage collection within: reading a large file makes millions of objects
    that live on, and each full collection would walk them all again (a fifth of the time
    of a 200,000-gate tree). Reading makes no garbage in cycles that holds much."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def read_text(file: str) -> str:
    """The text of a model file, or of a file it includes; ModelError naming the file when it
    cannot be read, is too large or is not UTF-8."""
    try:
        data = _read_at_most(Path(file), MAX_FILE_BYTES + 1)
    except OSError as err:
        raise ModelError("", f"cannot read the file: {err.strerror or err}", file) from None
    if len(data) > MAX_FILE_BYTES:
        raise ModelError(
            "", f"the file is larger than {MAX_FILE_BYTES // 2**20} MiB: not a model file", file
        )
    # A byte order mark, as some editors save UTF-8, is not part of the text.
    bom = len(codecs.BOM_UTF8) if data.startswith(codecs.BOM_UTF8) else 0
    try:
        return data[bom:].decode("utf-8")
    except UnicodeDecodeError as err:
        raise ModelError("", f"not UTF-8 text (byte {bom + err.start})", file) from None


def _read_at_most(path: Path, limit: int) -> bytes:
    """The first ``limit`` bytes of the file, read a mebibyte at a time: never the whole of
    an endless file (/dev/zero), nor a buffer of the limit for a small one (a read of n
    bytes asks for all n at once, which a tight address-space limit refuses)."""
    chunks: list[bytes] = []
    size = 0
    with path.open("rb") as f:
        while size < limit:
            chunk = f.read(min(2**20, limit - size))
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
    return b"".join(chunks)


#: File kind by extension; anything else is recognised by its content.
EXTENSIONS = {".toml": "toml", ".dft": "galileo", ".xml": "open-psa", ".opsa": "open-psa"}
# How much of the head of a file without a known extension is looked at to tell its kind.
SNIFF_CHARS = 4096


def file_kind(file: str, text: str) -> str:
    """ "toml", "galileo" or "open-psa": from the file's extension, else from its text (XML
    starts with "<"; a Galileo file with a toplevel statement or a quoted name; anything
    else is read as TOML, whose errors then say what is wrong)."""
    kind = EXTENSIONS.get(Path(file).suffix.lower())
    if kind is not None:
        return kind
    head = text.lstrip()
    if head.startswith("<"):
        return "open-psa"
    if _starts_like_galileo(text[:SNIFF_CHARS]):
        return "galileo"
    return "toml"


_GALILEO_STATEMENT = re.compile(r'toplevel\b|"[^"\n]*"\s+\S')


def _starts_like_galileo(text: str) -> bool:
    """Whether the first statement after any comments is a toplevel or starts with a quoted
    name. Comments are skipped by a scan, one pass over the text: a pattern that also
    matched the comments could try every way of splitting a run of them."""
    i = 0
    while True:
        while i < len(text) and text[i].isspace():
            i += 1
        if text.startswith("//", i):
            end = text.find("\n", i)
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = end + 1 if end >= 0 else end
        else:
            return _GALILEO_STATEMENT.match(text, i) is not None
        if end < 0:
            return False  # the head ends inside a comment
        i = end + 1


def _toml_model(text: str, file: str) -> Model:
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as err:
        raise ModelError("", f"TOML syntax: {err}", file) from None
    except RecursionError:
        raise ModelError("", "TOML syntax: values nested too deeply", file) from None
    except ValueError as err:  # e.g. an integer of more digits than Python converts
        if "int_max_str_digits" in str(err) or "integer string conversion" in str(err):
            message = "an integer of thousands of digits is too large"
        else:
            message = str(err)
        raise ModelError("", f"TOML value: {message}", file) from None
    return model_from_dict(document, file)
