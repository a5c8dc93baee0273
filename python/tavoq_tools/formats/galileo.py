"""Read a dynamic fault tree in the Galileo format (.dft).

A file is a list of statements, each ending with ``;``:

    toplevel "System";
    "System" or "Pumps" "Valve";
    "Pumps" 2of3 "P1" "P2" "P3";
    "P1" lambda=1e-3 repair=0.1;
    "Valve" prob=0.01;

Names are in double quotes and may hold any character but a double quote (a bare word is
taken as a name too); ``//`` and ``/* */`` are comments. Gates: ``and``, ``or``, ``KofN``
(``2of3``), ``votK`` (k of all the inputs), the spare gates ``csp``, ``wsp``, ``hsp`` and
``spare`` (standby groups: the first input is the primary, the others spares in order) and
``fdep`` (the first input's failure fails the others). Basic events: ``lambda`` (failure
rate), ``repair`` (repair rate), ``prob`` (fails on demand at time 0 with that probability),
``dorm`` (a spare in standby fails at dorm·lambda), ``phases`` (an Erlang lifetime of that
many phases, each of rate lambda).

The priority gates ``pand`` and ``por`` are read as the gate graph's order gates:
``pand``, ``pand-incl`` and ``pand<=`` inclusive (inputs that fail in the same time unit are
in order), ``pand-excl`` and ``pand<`` exclusive, and the same for ``por``; their semantics are
in docs/model-format.md. ``seq`` (inputs that fail only in order) and ``mutex`` (at most one
failed input) have no output, as an fdep, and become triggers; so does ``pdep=p`` (each
dependent fails with the trigger with chance p, one draw each).

``parse(text, file)`` gives a ``TreeDraft`` (tavoq_tools.formats.fault_tree) or raises
``ModelError`` naming the file, the line and what is wrong. An ASCII text is read natively
first (tavoq_tools.formats.galileo_plain), with the same draft; the reader reads the others,
and says what is wrong with a text the native reading declines.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterator
from itertools import chain

from ..errors import ModelError
from .fault_tree import (
    Dependency,
    Event,
    Formula,
    Restriction,
    Spare,
    TreeDraft,
    defined_and_in_file_order,
    quoted,
    refuse_cycles,
)
from .galileo_plain import plain_draft

__all__ = ["parse", "read_fully"]

GATES_READ = "and, or, KofN (2of3), votK, pand, por, csp, wsp, hsp, spare, fdep, pdep, seq, mutex"
# The spellings of the priority gates, as the gate graph's kinds.
PRIORITY = {
    f"{gate}{suffix}": f"{gate}_exclusive" if exclusive else gate
    for gate in ("pand", "por")
    for suffix, exclusive in (
        ("", False),
        ("-incl", False),
        ("<=", False),
        ("-excl", True),
        ("<", True),
    )
}
SPARES = ("csp", "wsp", "hsp", "spare")
ATTRIBUTES = ("lambda", "prob", "repair", "dorm", "phases")

NEWLINE = "\n"
# One match per token, the whitespace before it included: every other character starts a
# token, so the matches leave no gap. The line of a token is the count of newlines before it.
_TOKEN = re.compile(
    r'\s*(?:(?P<comment>//[^\n]*)|(?P<block>/\*.*?\*/)|(?P<unclosed>/\*)|"(?P<string>[^"]*)"'
    r'|(?P<open>")|(?P<end>;)|(?P<equals>=)|(?P<word>[^\s";=]+))',
    re.DOTALL,
)
_KOFN = re.compile(r"([0-9]+)of([0-9]+)\Z")
_VOT = re.compile(r"vot([0-9]+)\Z")
# One way only to match each text (no optional point between two runs of digits), so that a
# long text that is not a number fails in linear time.
_NUMBER = re.compile(r"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][+-]?[0-9]+)?\Z")


# A token: its kind ("string", "word", "equals") and its text, as a plain tuple (a file
# has millions of them).
_Token = tuple[str, str]


# Statements taken from the native tokenizer at a time.
_BATCH = 4096


def _statements(text: str, file: str) -> Iterator[tuple[int, list[_Token]]]:
    """The statements of the text, each as the line it starts on and its tokens, a few at a
    time: a large file's tokens never all exist at once. An ASCII text (what files are) is
    split by the native module, as _TOKEN splits it, in a tenth of the time; others by
    _TOKEN, whose whitespace is Unicode's."""
    if not text.isascii():
        yield from _matched_statements(text, file)
        return
    import tavoq

    tokens = tavoq.GalileoTokens(text)
    while batch := tokens.statements(_BATCH):
        yield from batch
    error = tokens.error
    if error is not None:
        kind, line = error
        if kind == "unclosed":
            raise ModelError(f"line {line}", "a /* comment is never closed", file)
        if kind == "open":
            raise ModelError(f"line {line}", "a quoted name is never closed", file)
        raise ModelError(
            f"line {line}",
            "the last statement has no closing ; (is the file cut short?)",
            file,
        )


def _matched_statements(text: str, file: str) -> Iterator[tuple[int, list[_Token]]]:
    """_statements by the regular expression _TOKEN."""
    current: list[_Token] = []
    line, counted = 1, 0  # the line at position ``counted`` of the text
    start_line = 1
    known: dict[str, str] = {}
    for match in _TOKEN.finditer(text):
        kind = match.lastgroup
        if kind is None or kind == "comment" or kind == "block":
            continue  # a comment
        if kind == "end":
            if current:
                yield start_line, current
                current = []
            continue
        if kind == "unclosed" or kind == "open":
            where = f"line {line + text.count(NEWLINE, counted, match.start(kind))}"
            if kind == "unclosed":
                raise ModelError(where, "a /* comment is never closed", file)
            raise ModelError(where, "a quoted name is never closed", file)
        if not current:
            at = match.start(kind)
            line += text.count(NEWLINE, counted, at)
            counted = at
            start_line = line
        word = match.group(kind)
        # One string per distinct name, however often the file names it.
        current.append((kind, known.setdefault(word, word)))
    if current:
        # A file cut short ends inside a statement; reading what is there would give another
        # model (a rate cut to "0." never fails) without a word.
        raise ModelError(
            f"line {start_line}",
            "the last statement has no closing ; (is the file cut short?)",
            file,
        )


def _number(
    file: str, where: str, name: str, key: str, text: str, what: str = "basic event"
) -> float:
    given = text if len(text) <= 40 else text[:37] + "..."
    if not _NUMBER.match(text):
        raise ModelError(where, f"{what} {quoted(name)}: {key}={given} is not a number", file)
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise ModelError(
            where, f"{what} {quoted(name)}: {key} must be a number >= 0, got {given}", file
        )
    return value


def _event(file: str, name: str, where: str, rest: list[_Token]) -> Event:
    event = Event(name, where)
    seen: set[str] = set()
    i = 0
    while i < len(rest):
        key = rest[i]
        if key[0] != "word" or i + 1 >= len(rest) or rest[i + 1][0] != "equals":
            raise ModelError(
                where,
                f"basic event {quoted(name)}: expected key=value ({', '.join(ATTRIBUTES)}), "
                f"got {quoted(key[1])}",
                file,
            )
        if i + 2 >= len(rest) or rest[i + 2][0] != "word":
            raise ModelError(where, f"basic event {quoted(name)}: {key[1]}= has no value", file)
        attribute, value = key[1].lower(), rest[i + 2][1]
        if attribute not in ATTRIBUTES:
            raise ModelError(
                where,
                f"basic event {quoted(name)}: unknown attribute {quoted(key[1])} "
                f"(read: {', '.join(ATTRIBUTES)})",
                file,
            )
        if attribute in seen:
            raise ModelError(where, f"basic event {quoted(name)}: {attribute} given twice", file)
        seen.add(attribute)
        number = _number(file, where, name, attribute, value)
        if attribute == "lambda":
            event.rate = number
        elif attribute == "repair":
            event.repair = number
        elif attribute == "prob":
            if number > 1:
                raise ModelError(
                    where, f"basic event {quoted(name)}: prob must be at most 1, got {value}", file
                )
            event.probability = number
        elif attribute == "phases":
            if number != int(number) or not 1 <= number <= 1000:
                raise ModelError(
                    where,
                    f"basic event {quoted(name)}: phases must be a whole number from 1 to "
                    f"1000, got {value}",
                    file,
                )
            event.phases = int(number)
        else:
            if number > 1:
                raise ModelError(
                    where,
                    f"basic event {quoted(name)}: dorm is a share of the failure rate, from 0 "
                    f"to 1; got {value}",
                    file,
                )
            event.dormancy = number
        i += 3
    if event.rate is None and event.probability is None:
        raise ModelError(
            where, f"basic event {quoted(name)}: give lambda= (a failure rate) or prob=", file
        )
    return event


def _gate(
    file: str, name: str, where: str, kind_token: _Token, rest: list[_Token]
) -> Formula | Spare | Dependency | Restriction:
    kind = kind_token[1].lower()
    # A statement's tokens are names (quoted or words) and = signs.
    inputs: list[str | Formula] = [text for token, text in rest if token != "equals"]
    if len(inputs) != len(rest):
        bad = next(t for t in rest if t[0] == "equals")
        raise ModelError(
            where, f"gate {quoted(name)}: unexpected {quoted(bad[1])} among its inputs", file
        )
    if not inputs:
        raise ModelError(where, f"gate {quoted(name)} has no inputs", file)
    if kind == "or" or kind == "and":  # most gates, first
        return Formula(kind, where, inputs)
    # The elements that take names rather than a formula; inputs is theirs then.
    names: list[str] = inputs  # type: ignore[assignment]
    if kind in SPARES:
        if len(set(names)) != len(names):
            raise ModelError(where, f"spare gate {quoted(name)} names a unit twice", file)
        return Spare(name, where, kind, names)
    if kind == "fdep":
        if len(names) < 2:
            raise ModelError(
                where, f"fdep {quoted(name)} needs a trigger and at least one dependent", file
            )
        return Dependency(name, where, names[0], names[1:])
    if kind in ("seq", "mutex"):
        if len(names) < 2 or len(set(names)) != len(names):
            raise ModelError(
                where, f"{kind} {quoted(name)} needs at least 2 distinct inputs", file
            )
        return Restriction(name, where, kind, names)
    if kind in PRIORITY:
        if len(inputs) < 2:
            raise ModelError(where, f"gate {quoted(name)}: {kind} needs at least 2 inputs", file)
        return Formula(PRIORITY[kind], where, inputs)
    kofn, vot = _KOFN.match(kind), _VOT.match(kind)
    if kofn or vot:
        k = int((kofn or vot).group(1))  # type: ignore[union-attr]
        n = int(kofn.group(2)) if kofn else len(inputs)
        if n != len(inputs):
            raise ModelError(
                where, f"gate {quoted(name)} is {kind} but has {len(inputs)} inputs", file
            )
        if not 1 <= k <= n:
            raise ModelError(
                where, f"gate {quoted(name)}: {kind} needs 1 <= k <= {len(inputs)}", file
            )
        return Formula("atleast", where, inputs, k)
    raise ModelError(
        where,
        f"gate {quoted(name)}: unknown gate kind {quoted(kind_token[1])} "
        f"(gates read: {GATES_READ})",
        file,
    )


def _pdep(file: str, name: str, where: str, rest: list[_Token]) -> Dependency:
    """``"D" pdep=p "Trigger" "A" "B";`` after the ``=``: each dependent fails with the
    trigger with chance p, independently."""
    if not rest or rest[0][0] != "word":
        raise ModelError(where, f"pdep {quoted(name)}: pdep= needs a probability", file)
    probability = _number(file, where, name, "pdep", rest[0][1], "pdep")
    if not 0 <= probability <= 1:
        raise ModelError(
            where,
            f"pdep {quoted(name)}: the probability must lie in [0, 1], got {rest[0][1]}",
            file,
        )
    names = rest[1:]
    if len(names) < 2 or any(t[0] == "equals" for t in names):
        raise ModelError(
            where, f"pdep {quoted(name)} needs a trigger and at least one dependent", file
        )
    return Dependency(name, where, names[0][1], [t[1] for t in names[1:]], probability)


def parse(text: str, file: str) -> TreeDraft:
    """The fault tree of the Galileo text ``text`` read from ``file``."""
    # Read natively, or declined (not ASCII, or a fault) for the reader to read.
    return plain_draft(text) or read_fully(text, file)


def read_fully(text: str, file: str) -> TreeDraft:
    """parse's reading of the text by the reader, which reads every file (the plain reading
    gives the same draft for the files it reads) and says what is wrong."""
    events: dict[str, Event] = {}
    gates: dict[str, Formula] = {}
    spares: dict[str, Spare] = {}
    dependencies: dict[str, Dependency] = {}
    restrictions: dict[str, Restriction] = {}
    lines: dict[str, int] = {}
    top: tuple[str, int] | None = None
    for head_line, statement in _statements(text, file):
        head = statement[0]
        where = f"line {head_line}"
        if head[0] == "word" and head[1].lower() == "toplevel":
            if len(statement) != 2 or statement[1][0] == "equals":
                raise ModelError(where, 'toplevel takes one name: toplevel "System";', file)
            if top is not None:
                raise ModelError(where, f"a second toplevel (the first is on line {top[1]})", file)
            top = (statement[1][1], head_line)
            continue
        if head[0] == "equals":
            raise ModelError(where, 'expected a name, got "="', file)
        name = head[1]
        if name in lines:
            raise ModelError(
                where, f"{quoted(name)} is defined twice (first on line {lines[name]})", file
            )
        if len(statement) < 2:
            raise ModelError(
                where, f"{quoted(name)} is neither a gate nor a basic event: say which", file
            )
        second = statement[1]
        if (
            second[0] == "word"
            and second[1].lower() in ("pand<", "por<")
            and len(statement) > 2
            and statement[2][0] == "equals"
        ):
            # pand<= and por<= : the tokens split the word at its "=".
            statement = [head, ("word", second[1] + "="), *statement[3:]]
            second = statement[1]
        is_event = len(statement) > 2 and statement[2][0] == "equals"
        if is_event and second[1].lower() == "pdep":
            dependencies[name] = _pdep(file, name, where, statement[3:])
        elif is_event:
            events[name] = _event(file, name, where, statement[1:])
        elif second[0] == "word":
            element = _gate(file, name, where, second, statement[2:])
            if isinstance(element, Spare):
                spares[name] = element
            elif isinstance(element, Dependency):
                dependencies[name] = element
            elif isinstance(element, Restriction):
                restrictions[name] = element
            else:
                gates[name] = element
        else:
            raise ModelError(
                where,
                f"{quoted(name)}: expected a gate kind or key=value, got {quoted(second[1])}",
                file,
            )
        lines[name] = head_line
    if top is None:
        raise ModelError("", 'no toplevel statement (toplevel "System";)', file)
    # Who uses what, in the order of the checks; each label is made only for a message.
    # A Galileo gate's inputs are names, never nested formulas.
    used: list[tuple[str, str, str, list[str]]] = [
        ("gate", g, f.where, f.inputs)  # type: ignore[misc]
        for g, f in gates.items()
    ]
    used += [("spare gate", g, sp.where, sp.units) for g, sp in spares.items()]
    used += [
        ("fdep", d, dep.where, [dep.trigger, *dep.dependents]) for d, dep in dependencies.items()
    ]
    used += [(r.kind, n, r.where, r.inputs) for n, r in restrictions.items()]
    # Elements without an output, which nothing may use.
    outputless = {**dependencies, **restrictions}
    # Most files use only defined names and have no element without an output: one pass at
    # C speed over every name used tells (a large tree uses hundreds of thousands), the
    # same that tells whether the gates come in file order; else the checks below find the
    # first fault and say it.
    inputs: list[list[str]] = [f.inputs for f in gates.values()]  # type: ignore[misc]
    defined, in_order = defined_and_in_file_order(gates, inputs, lines)  # type: ignore[arg-type]
    del inputs
    others = chain.from_iterable(items for _, _, _, items in used[len(gates) :])
    for label, user, where, items in (
        used if outputless or not defined or not all(map(lines.__contains__, others)) else ()
    ):
        for item in items:
            if item not in lines:
                raise ModelError(
                    where, f"{label} {quoted(user)}: input {quoted(item)} is never defined", file
                )
            if item in outputless:
                kind = "an fdep" if item in dependencies else f"a {restrictions[item].kind}"
                raise ModelError(
                    where,
                    f"{label} {quoted(user)}: input {quoted(item)} is {kind}, which has no "
                    "output to use",
                    file,
                )
    if top[0] not in lines:
        raise ModelError(f"line {top[1]}", f"toplevel {quoted(top[0])} is never defined", file)
    if top[0] in outputless:
        kind = "an fdep" if top[0] in dependencies else f"a {restrictions[top[0]].kind}"
        raise ModelError(
            f"line {top[1]}", f"toplevel {quoted(top[0])} is {kind}, which has no output", file
        )
    # A Galileo gate's inputs are names, never nested formulas.
    order = refuse_cycles(gates, lambda f: f.inputs, file, in_order)  # type: ignore[arg-type,return-value]
    return TreeDraft(
        "Galileo",
        events,
        gates,
        top[0],
        f"line {top[1]}",
        spares=spares,
        dependencies=list(dependencies.values()),
        restrictions=list(restrictions.values()),
        order=order,
        nested=set(),  # its gates' inputs are names, each defined (checked above)
    )
