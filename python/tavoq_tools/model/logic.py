"""Failure logic written as an expression, turned into minimal cut sets.

The language is small on purpose:

    expression := term ("or" term)*
    term       := factor ("and" factor)*
    factor     := NAME | "(" expression ")"
                | "atleast" "(" INTEGER "," expression ("," expression)* ")"
                | FUNCTION "(" expression ("," expression)* ")"

``and`` binds tighter than ``or``; ``atleast(k, a, b, c)`` holds when at least k of its
arguments hold (k-out-of-n). Names are component names. A FUNCTION is one of the gates of
FUNCTIONS: the order-dependent ``pand``, ``pand_exclusive``, ``por``, ``por_exclusive``,
``pand_memory``, ``por_memory``
and the non-coherent ``not``, ``nand``, ``nor``, ``xor``, ``iff``; followed by anything but
"(", their words (other than ``not``) are plain names. The text is read by a hand-written
tokenizer and recursive-descent parser, never by ``eval``.

An expression of and, or and atleast only is monotone (failing one more component never
repairs the system), so it equals the "or" of its minimal cut sets: the smallest sets of
components whose joint failure fails the system. They are found by expanding into a sum of
products and dropping every product that contains another. An expression with a FUNCTION has
no minimal cut sets.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

from ..errors import LogicError

__all__ = [
    "FUNCTIONS",
    "MAX_CUTSETS",
    "MAX_DEPTH",
    "LogicError",
    "Node",
    "k_out_of_n_cutsets",
    "minimal_cutsets",
    "minimize",
    "parse",
]

# Expansion into products can grow exponentially (atleast(10, 20 names) alone has 184,756 minimal
# cut sets); past this the model is refused rather than left to exhaust the memory.
MAX_CUTSETS = 100_000
# Nesting deeper than this is refused instead of running into Python's recursion limit.
MAX_DEPTH = 100

KEYWORDS = frozenset({"and", "or", "atleast", "not"})
#: Gates written as a call, with their number of arguments: (fewest, most or 0 for any).
FUNCTIONS: dict[str, tuple[int, int]] = {
    "pand": (2, 0),
    "pand_exclusive": (2, 0),
    "por": (2, 0),
    "por_exclusive": (2, 0),
    "pand_memory": (2, 0),
    "por_memory": (2, 0),
    "not": (1, 1),
    "nand": (1, 0),
    "nor": (1, 0),
    "xor": (2, 0),
    "iff": (2, 0),
}
NAME_PATTERN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
# Names are printed in tables and figures; a longer one is a mistake, not a name.
MAX_NAME_LENGTH = 100

_TOKEN = re.compile(
    r"(?P<space>\s+)|(?P<name>[A-Za-z_][A-Za-z0-9_]*)|(?P<number>[0-9]+)|(?P<punct>[(),])"
)


@dataclass(frozen=True)
class Node:
    """One node of a parsed expression.

    kind is "name" (``name`` set), "and", "or", a FUNCTION (``args`` set) or "atleast"
    (``k`` and ``args`` set). ``column`` is where the node starts in the text, 1-based.
    """

    kind: str
    column: int
    name: str = ""
    k: int = 0
    args: tuple[Node, ...] = ()

    def names(self) -> Iterable[tuple[str, int]]:
        """Every name in the expression with its column, in reading order."""
        stack = [self]
        while stack:
            node = stack.pop()
            if node.kind == "name":
                yield node.name, node.column
            stack.extend(reversed(node.args))


@dataclass(frozen=True)
class _Token:
    kind: str  # "name", "keyword", "number", "(", ")", ",", "end"
    text: str
    column: int


def _describe(token: _Token) -> str:
    return "the end of the expression" if token.kind == "end" else f'"{token.text}"'


def _tokenize(text: str) -> list[_Token]:
    tokens = []
    pos = 0
    while pos < len(text):
        match = _TOKEN.match(text, pos)
        if match is None:
            raise LogicError(
                f'unexpected character "{text[pos]}" (allowed: names, "and", "or", '
                '"atleast(k, ...)", gates such as "pand(a, b)", parentheses and commas)',
                pos + 1,
            )
        kind = match.lastgroup
        value = match.group()
        if kind == "name":
            tokens.append(_Token("keyword" if value in KEYWORDS else "name", value, pos + 1))
        elif kind == "number":
            tokens.append(_Token("number", value, pos + 1))
        elif kind == "punct":
            tokens.append(_Token(value, value, pos + 1))
        pos = match.end()
    tokens.append(_Token("end", "", len(text) + 1))
    return tokens


class _Parser:
    def __init__(self, text: str):
        self.tokens = _tokenize(text)
        self.pos = 0
        self.depth = 0

    def peek(self) -> _Token:
        return self.tokens[self.pos]

    def take(self) -> _Token:
        token = self.tokens[self.pos]
        if token.kind != "end":
            self.pos += 1
        return token

    def expect(self, kind: str, what: str) -> _Token:
        token = self.peek()
        if token.kind != kind:
            raise LogicError(f"expected {what}, found {_describe(token)}", token.column)
        return self.take()

    def at_keyword(self, word: str) -> bool:
        token = self.peek()
        return token.kind == "keyword" and token.text == word

    def expression(self) -> Node:
        self.depth += 1
        if self.depth > MAX_DEPTH:
            raise LogicError(f"nested deeper than {MAX_DEPTH} levels", self.peek().column)
        first = self.term()
        args = [first]
        while self.at_keyword("or"):
            self.take()
            args.append(self.term())
        self.depth -= 1
        return first if len(args) == 1 else Node("or", first.column, args=tuple(args))

    def term(self) -> Node:
        first = self.factor()
        args = [first]
        while self.at_keyword("and"):
            self.take()
            args.append(self.factor())
        return first if len(args) == 1 else Node("and", first.column, args=tuple(args))

    def factor(self) -> Node:
        token = self.peek()
        if token.kind == "name":
            self.take()
            if token.text in FUNCTIONS and self.peek().kind == "(":
                return self.call(token)
            return Node("name", token.column, name=token.text)
        if token.kind == "(":
            self.take()
            inner = self.expression()
            self.expect(")", '")"')
            return inner
        if token.kind == "keyword" and token.text == "atleast":
            return self.atleast()
        if token.kind == "keyword" and token.text == "not":
            self.take()
            if self.peek().kind != "(":
                raise LogicError('"not" is written as a call: not(x)', token.column)
            return self.call(token)
        raise LogicError(
            f'expected a component name, "(" or "atleast", found {_describe(token)}',
            token.column,
        )

    def call(self, name: _Token) -> Node:
        """A FUNCTION's arguments, its name taken."""
        self.expect("(", f'"(" after "{name.text}"')
        args = [self.expression()]
        while self.peek().kind == ",":
            self.take()
            args.append(self.expression())
        self.expect(")", '"," or ")"')
        fewest, most = FUNCTIONS[name.text]
        if len(args) < fewest or (most and len(args) > most):
            wanted = f"exactly {most}" if most == fewest else f"at least {fewest}"
            raise LogicError(
                f"{name.text} takes {wanted} argument{'s' if max(most, fewest) > 1 else ''}, "
                f"got {len(args)}",
                name.column,
            )
        return Node(name.text, name.column, args=tuple(args))

    def atleast(self) -> Node:
        start = self.take()
        self.expect("(", '"(" after "atleast"')
        number = self.expect("number", "the number k of atleast(k, ...)")
        self.expect(",", '"," after k')
        args = [self.expression()]
        while self.peek().kind == ",":
            self.take()
            args.append(self.expression())
        self.expect(")", '"," or ")"')
        # More digits than any argument count has: no need to convert (and Python refuses
        # integers of thousands of digits).
        digits = number.text.lstrip("0") or "0"
        k = int(digits) if len(digits) <= 9 else len(args) + 1
        if not 1 <= k <= len(args):
            raise LogicError(
                f"atleast needs 1 <= k <= the number of its arguments ({len(args)}), "
                f"got {number.text if len(number.text) <= 20 else number.text[:20] + '...'}",
                number.column,
            )
        return Node("atleast", start.column, k=k, args=tuple(args))


def _node(kind: str, column: int, name: str = "", k: int = 0, args: tuple[Node, ...] = ()) -> Node:
    """A Node as its constructor makes it, without the frozen class's per-field
    object.__setattr__: the fast paths below make one per name of a large tree."""
    node = object.__new__(Node)
    node.__dict__.update(kind=kind, column=column, name=name, k=k, args=args)
    return node


def _is_name(word: str) -> bool:
    return NAME_PATTERN.fullmatch(word) is not None and word not in KEYWORDS


def simple_form(text: str) -> tuple[str, int, list[str]] | None:
    """The common forms that fault-tree files give, read without the tokenizer, as (kind,
    k, names): a name ("name", 0, [it]), names joined by one operator (``a or b or c``)
    and ``atleast(k, a, b, c)``, spaced as written here. None for any other text, which
    the parser reads (and explains)."""
    if text.startswith("atleast(") and text.endswith(")"):
        parts = text[8:-1].split(", ")
        digits = parts[0]
        if len(parts) < 2 or not (digits.isascii() and digits.isdigit()) or len(digits) > 9:
            return None
        names = parts[1:]
        k = int(digits)
        if not 1 <= k <= len(names) or not all(map(_is_name, names)):
            return None
        return "atleast", k, names
    words = text.split(" ")
    if len(words) == 1:
        return ("name", 0, words) if _is_name(text) else None
    operator = words[1]
    if len(words) % 2 == 0 or operator not in ("and", "or"):
        return None
    names = words[0::2]
    if words.count(operator) != len(words) // 2 or not all(map(_is_name, names)):
        return None  # another operator, or no name where a name belongs
    return operator, 0, names


def _parse_simple(text: str) -> Node | None:
    """The nodes the parser makes of a text of ``simple_form``; None for any other."""
    form = simple_form(text)
    if form is None:
        return None
    kind, k, names = form
    if kind == "name":
        return _node("name", 1, name=text)
    # Each name is followed by a separator: ", " in atleast, " and " or " or " otherwise.
    column, gap = (text.index(",") + 3, 2) if k else (1, len(kind) + 2)
    nodes = []
    for name in names:
        nodes.append(_node("name", column, name=name))
        column += len(name) + gap
    return _node(kind, 1, k=k, args=tuple(nodes))


def parse(text: str) -> Node:
    """Parse a failure-logic expression; raises LogicError with the column of the problem."""
    if not isinstance(text, str):
        raise LogicError(f"must be a string, got {type(text).__name__}")
    simple = _parse_simple(text)
    if simple is not None:
        return simple
    parser = _Parser(text)
    if parser.peek().kind == "end":
        raise LogicError("the expression is empty", 1)
    node = parser.expression()
    token = parser.peek()
    if token.kind != "end":
        raise LogicError(
            f'expected "and", "or" or the end, found {_describe(token)}', token.column
        )
    return node


# Cut sets are held as bit masks over the component indices while expanding.


def _minimize_masks(masks: Iterable[int]) -> list[int]:
    """Drop duplicates and every mask that contains another one (any order out)."""
    kept: list[int] = []
    # A mask can contain only a smaller one, so the masks are taken size by size and each is
    # compared with the kept masks of earlier sizes only. Those are filed by their lowest
    # member, which must be one of the candidate's members for the containment to hold.
    by_lowest: dict[int, list[int]] = {}
    by_size: dict[int, list[int]] = {}
    for mask in set(masks):
        by_size.setdefault(mask.bit_count(), []).append(mask)
    for size in sorted(by_size):
        group = by_size[size]
        if by_lowest:
            group = [mask for mask in group if not _contains_one(mask, by_lowest)]
        kept.extend(group)
        for mask in group:
            by_lowest.setdefault(mask & -mask, []).append(mask)
    return kept


def _contains_one(mask: int, by_lowest: dict[int, list[int]]) -> bool:
    rest = mask
    while rest:
        low = rest & -rest
        rest ^= low
        if any(k & mask == k for k in by_lowest.get(low, ())):
            return True
    return False


def _too_many(column: int) -> LogicError:
    return LogicError(
        f"the expression has more than {MAX_CUTSETS} minimal cut sets; simplify it", column
    )


def _check_size(masks: list[int], column: int) -> list[int]:
    if len(masks) > MAX_CUTSETS:
        raise _too_many(column)
    return masks


def _and(left: list[int], right: list[int], column: int) -> list[int]:
    # Guards the time spent on the products before they are minimized.
    if len(left) * len(right) > 20 * MAX_CUTSETS:
        raise _too_many(column)
    return _check_size(_minimize_masks(a | b for a in left for b in right), column)


def _expand(node: Node, index: dict[str, int]) -> list[int]:
    if node.kind == "name":
        return [1 << index[node.name]]
    if node.kind in FUNCTIONS:
        raise LogicError(
            f"{node.kind} makes the logic order-dependent or not coherent: it has no minimal "
            "cut sets",
            node.column,
        )
    parts = [_expand(arg, index) for arg in node.args]
    if node.kind == "or":
        return _check_size(_minimize_masks(m for part in parts for m in part), node.column)
    if node.kind == "and":
        result = parts[0]
        for part in parts[1:]:
            result = _and(result, part, node.column)
        return result
    # atleast(k, x1..xn): table[j] holds "at least j of the arguments seen so far", built one
    # argument at a time: at least j of x1..xi = (at least j of x1..x(i-1)) or
    # (xi and at least j-1 of x1..x(i-1)).
    # Only j >= k - (arguments still to come) can still reach k: the others are not built.
    k, n = node.k, len(parts)
    names = {arg.name for arg in node.args if arg.kind == "name"}
    if len(names) == n and math.comb(n, k) > MAX_CUTSETS:
        raise _too_many(node.column)  # distinct names: exactly C(n, k) minimal cut sets
    table: list[list[int]] = [[0]] + [[] for _ in range(k)]
    for i, part in enumerate(parts, start=1):
        updated: list[list[int]] = [[0]] + [[] for _ in range(k)]
        for j in range(max(1, k - (n - i)), k + 1):
            with_part = _and(table[j - 1], part, node.column) if table[j - 1] else []
            updated[j] = _check_size(_minimize_masks(table[j] + with_part), node.column)
        table = updated
    return table[k]


def minimal_cutsets(node: Node, names: Sequence[str]) -> list[tuple[str, ...]]:
    """The minimal cut sets of a parsed expression over the components ``names``.

    Each cut set lists its members in the order of ``names``; the list is ordered by size,
    then by the members' positions. Raises LogicError for a name not in ``names``.
    """
    index = {name: i for i, name in enumerate(names)}
    for name, column in node.names():
        if name not in index:
            raise LogicError(f'unknown component "{name}"', column)
    return _ordered(_expand(node, index), names)


def minimize(cutsets: Iterable[Iterable[str]], names: Sequence[str]) -> list[tuple[str, ...]]:
    """Cut sets given as lists of names -> minimal cut sets, ordered as minimal_cutsets does."""
    index = {name: i for i, name in enumerate(names)}
    masks = []
    for cutset in cutsets:
        mask = 0
        for name in cutset:
            mask |= 1 << index[name]
        masks.append(mask)
    return _ordered(_minimize_masks(masks), names)


def _ordered(masks: Iterable[int], names: Sequence[str]) -> list[tuple[str, ...]]:
    positions = sorted(
        (tuple(i for i in range(mask.bit_length()) if mask >> i & 1) for mask in masks),
        key=lambda members: (len(members), members),
    )
    return [tuple(names[i] for i in members) for members in positions]


def k_out_of_n_cutsets(n_components: int, k: int) -> list[list[int]]:
    """The minimal cut sets of a system that fails once any ``k`` of its ``n_components``
    components have failed, as 0/1 vectors for ``CutsetTree.constructTree``: the expansion of
    ``atleast(k, c0, .., c(n-1))``, every choice of k components in lexicographic order.

    >>> k_out_of_n_cutsets(3, 2)
    [[1, 1, 0], [1, 0, 1], [0, 1, 1]]
    """
    if n_components < 1 or not 1 <= k <= n_components:
        raise ValueError(
            f"k out of n needs 1 <= k <= n and n >= 1, got k = {k}, n = {n_components}"
        )
    count = math.comb(n_components, k)
    if count > MAX_CUTSETS:
        raise ValueError(
            f"{k} out of {n_components} has {count} cut sets, more than {MAX_CUTSETS}"
        )
    names = [f"c{i}" for i in range(n_components)]
    args = tuple(Node("name", 1, name=name) for name in names)
    position = {name: i for i, name in enumerate(names)}
    vectors = []
    for cutset in minimal_cutsets(Node("atleast", 1, k=k, args=args), names):
        vector = [0] * n_components
        for name in cutset:
            vector[position[name]] = 1
        vectors.append(vector)
    return vectors
