"""A model as the data of its TOML file, and its values by key path.

A key path names one value of a model file as users write it:
``components.valve.transitions[0].mttf``, ``simulation.horizon``, ``crews.mechanics.count``:
table keys joined by dots, list items by ``[i]``. A TOML file gives its own data; a Galileo or
Open-PSA tree gives the data of the TOML model ``tavoq convert`` writes for it, which runs
bit for bit as the tree, so its paths are those of the converted file.
"""

from __future__ import annotations

import copy
import difflib
import re
import tomllib
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from ..errors import ModelError, shown
from ..model.system import Model
from .file import MAX_FILE_BYTES, file_kind, model_from_dict, read_text
from .uncertain import LAWS

__all__ = ["Document", "numeric_parameters"]

_PART = re.compile(r"([^.\[\]]+)((?:\[\d+\])*)")
# Keys of a transition or common cause that are not parameters of its law.
_NOT_PARAMETERS = frozenset({"from", "to", "distribution", "members", "times"})


def _parts(path: str) -> list[str | int]:
    """``a.b[0].c`` as ["a", "b", 0, "c"]; ValueError for a path that is not one."""
    if not path or len(path) > 1000:
        raise ValueError(
            f"{shown(path)} is not a key path such as components.pump.transitions[0].mttf"
        )
    parts: list[str | int] = []
    for piece in path.split("."):
        m = _PART.fullmatch(piece)
        if m is None:
            raise ValueError(
                f"{shown(path)} is not a key path such as components.pump.transitions[0].mttf"
            )
        parts.append(m.group(1))
        parts += [int(i) for i in re.findall(r"\[(\d+)\]", m.group(2))]
    return parts


def _suggest(given: str, known: list[str]) -> str:
    close = difflib.get_close_matches(given, known, n=1)
    listed = ", ".join(known[:12]) + (", ..." if len(known) > 12 else "")
    return f" (there: {listed})" + (f'; did you mean "{close[0]}"?' if close else "")


class Document:
    """The data of a model file: ``get`` and ``with_value`` by key path, and ``model()``.

    ``file`` names the model in messages."""

    def __init__(self, data: dict[str, Any], file: str = "") -> None:
        self.data = data
        self.file = file

    @classmethod
    def of_file(
        cls, path: str | Path, *, step: float | None = None, mission_time: float | None = None
    ) -> Document:
        """The data of a model file; a fault tree's is that of its TOML conversion, with
        the distributions it gives for its values as uncertain parameters."""
        file = str(path)
        text = read_text(file)
        if file_kind(file, text) == "toml":
            try:
                return cls(tomllib.loads(text), file)
            except (tomllib.TOMLDecodeError, ValueError, RecursionError):
                pass  # load_model names the fault
        from .file import read_model_and_laws

        model, _, laws = read_model_and_laws(file, step=step, mission_time=mission_time)
        return cls.of_model(model, file, laws)

    @classmethod
    def of_model(
        cls, model: Model, file: str = "", laws: Mapping[str, Mapping[str, Any]] | None = None
    ) -> Document:
        """The data of the TOML file ``tavoq convert`` writes for ``model``, with the tables
        of ``laws`` (by key path) in place of the means the model holds."""
        from .toml_writer import model_to_toml

        text = model_to_toml(model, laws=laws)
        if len(text) > MAX_FILE_BYTES:
            raise ModelError("", "the model is too large to sweep", file)
        return cls(tomllib.loads(text), file)

    def model(self) -> Model:
        """The Model of this data; ModelError names the key at fault."""
        return model_from_dict(self.data, self.file or None)

    def _walk(self, path: str) -> tuple[Any, str | int]:
        """The container holding ``path``'s value, and its key there."""
        file = self.file or None
        try:
            parts = _parts(path)
        except ValueError as err:
            raise ModelError(path, str(err), file) from None
        here: Any = self.data
        done = ""
        for i, part in enumerate(parts):
            last = i == len(parts) - 1
            if isinstance(part, int):
                if not isinstance(here, list) or not 0 <= part < len(here):
                    size = len(here) if isinstance(here, list) else 0
                    has = f" (it has {size})" if size else ""
                    raise ModelError(path, f"{done} has no item [{part}]{has}", file)
                if last:
                    return here, part
                here, done = here[part], f"{done}[{part}]"
                continue
            if not isinstance(here, dict) or part not in here:
                known = sorted(here) if isinstance(here, dict) else []
                where = f"{done} has" if done else "the model has"
                hint = _suggest(part, known) if known else ""
                raise ModelError(path, f'{where} no key "{part}"{hint}', file)
            if last:
                return here, part
            here, done = here[part], f"{done}.{part}" if done else part
        raise ModelError(path, "empty key path", file)  # unreachable: a path has a part

    def get(self, path: str) -> Any:
        """The value at ``path``; ModelError when there is none, with a suggestion."""
        holder, key = self._walk(path)
        return holder[key]

    def with_value(self, path: str, value: float) -> Document:
        """A copy with the number at ``path`` set to ``value`` (see ``with_values``)."""
        return self.with_values({path: value})

    def with_values(self, values: Mapping[str, float]) -> Document:
        """A copy with each number at a path set to its value (an integer where the file
        has one and the value is whole); an uncertain parameter (a law's table) becomes
        that number. ModelError when a path holds neither."""
        data = copy.deepcopy(self.data)
        copied = Document(data, self.file)
        for path, value in values.items():
            holder, key = copied._walk(path)
            old = holder[key]
            law = isinstance(old, dict) and any(k in LAWS for k in old)
            if not law and (isinstance(old, bool) or not isinstance(old, (int, float))):
                raise ModelError(
                    path, f"holds {shown(old)}, not a number to vary", self.file or None
                )
            if isinstance(old, int) and float(value).is_integer():
                value = int(value)
            holder[key] = value
        return copied


def numeric_parameters(document: Document) -> Iterator[str]:
    """The key paths of the laws' numeric parameters: of every transition of every
    component, and of every common cause, in file order."""
    components = document.data.get("components")
    if isinstance(components, dict):
        for name, table in components.items():
            transitions = table.get("transitions") if isinstance(table, dict) else None
            for i, t in enumerate(transitions if isinstance(transitions, list) else []):
                if isinstance(t, dict):
                    yield from _numbers(f"components.{name}.transitions[{i}]", t)
    causes = document.data.get("common_cause")
    if isinstance(causes, dict):
        for name, table in causes.items():
            if isinstance(table, dict):
                yield from _numbers(f"common_cause.{name}", table)


def _numbers(prefix: str, table: dict[str, Any]) -> Iterator[str]:
    for key, value in table.items():
        if key in _NOT_PARAMETERS or isinstance(value, bool):
            continue
        if isinstance(value, (int, float)):
            yield f"{prefix}.{key}"
