"""Build a CutsetTree that answers correctly for every combination of failed components.

The engine asks the tree with the 0/1 pattern of failed components, and the tree only looks
along that pattern's own path. A cut set stored on another path is missed: with {pump A, pump
B} and {valve} stored as [1,1,0] and [0,0,1], the pattern [1,0,1] (pump A and the valve down)
walks through the "pump A failed" branch and never meets [0,0,1], so a failed system would be
reported as working. Inserting the cut sets alone is therefore not enough.

For a small system the remedy is to enumerate all 2**n patterns and insert every failing one,
fewest failed components first. That alone is not always enough either: a pattern that the tree
drops because a subset sits on its path is lost when a later insertion pushes that subset one
level down, away from the pattern's path. So the tree is then asked about every failing pattern,
the missed ones are inserted again (each insertion makes its own pattern findable), and this is
repeated until nothing is missed; on random systems one to three such passes suffice. The
result is checked against all 2**n patterns before it is returned, so a tree that comes back
is correct whatever the insertion did.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Iterable, Sequence

import tavoq

MAX_COMPONENTS = 16
MAX_REPAIR_PASSES = 20

Pattern = tuple[int, ...]


def _patterns(n_components: int) -> list[Pattern]:
    if not 1 <= n_components <= MAX_COMPONENTS:
        raise ValueError(
            f"n_components must lie between 1 and {MAX_COMPONENTS}: every one of the "
            "2**n failure patterns is enumerated"
        )
    return list(itertools.product((0, 1), repeat=n_components))


def failing_patterns(n_components: int, fails: Callable[[Pattern], object]) -> list[Pattern]:
    """Every 0/1 pattern (1 = component failed) for which ``fails`` is true.

    ``fails`` must describe a coherent system: failing one more component never repairs it,
    and the system works while every component works (the engine assumes that until the first
    transition). Anything else cannot be held by a cut-set tree and raises ValueError.
    """
    table = {p: bool(fails(p)) for p in _patterns(n_components)}
    if table[(0,) * n_components]:
        raise ValueError("the system must work while every component works")
    for p, failed in table.items():
        if not failed:
            continue
        for j in range(n_components):
            if p[j] == 0 and not table[p[:j] + (1,) + p[j + 1 :]]:
                worse = p[:j] + (1,) + p[j + 1 :]
                raise ValueError(
                    f"not a coherent system: {list(p)} fails but {list(worse)}, with "
                    f"component {j} failed as well, works"
                )
    failing = [p for p, failed in table.items() if failed]
    failing.sort(key=lambda p: (sum(p), p))
    return failing


def tree_from_predicate(n_components: int, fails: Callable[[Pattern], object]) -> tavoq.CutsetTree:
    """A CutsetTree whose findNode is non-empty exactly for the patterns where ``fails`` holds.

    ``fails`` receives a tuple of n 0/1 ints, 1 meaning the component is failed (in any state
    other than 0), e.g. ``lambda f: (f[0] and f[1]) or f[2]``.
    """
    failing = failing_patterns(n_components, fails)
    tree = tavoq.CutsetTree(n_components)
    tree.constructTree([list(p) for p in failing])
    for _ in range(MAX_REPAIR_PASSES):
        missed = [list(p) for p in failing if not tree.findNode(list(p))]
        if not missed:
            break
        tree.constructTree(missed)
    failing_set = set(failing)
    for p in _patterns(n_components):
        if bool(tree.findNode(list(p))) != (p in failing_set):
            raise RuntimeError(f"the cut-set tree answers wrongly for pattern {list(p)}")
    return tree


def _check_vector(n_components: int, vector: Sequence[int]) -> Pattern:
    v = tuple(int(x) for x in vector)
    if len(v) != n_components or any(x not in (0, 1) for x in v):
        raise ValueError(f"cut set {list(vector)} is not a 0/1 vector of length {n_components}")
    if not any(v):
        raise ValueError("an empty cut set would fail the system with every component working")
    return v


def tree_from_cutsets(n_components: int, cutsets: Iterable[Sequence[int]]) -> tavoq.CutsetTree:
    """A CutsetTree for "the system fails when all members of some cut set have failed".

    Cut sets are 0/1 vectors of length ``n_components``, as for CutsetTree.constructTree.
    """
    vectors = [_check_vector(n_components, c) for c in cutsets]
    if not vectors:
        raise ValueError("no cut sets given: the system could never fail")

    def fails(pattern: Pattern) -> bool:
        return any(all(p >= c for p, c in zip(pattern, v, strict=True)) for v in vectors)

    return tree_from_predicate(n_components, fails)


def k_out_of_n_fails(k: int) -> Callable[[Pattern], bool]:
    """Predicate of a system that fails once at least ``k`` of its components have failed."""
    return lambda pattern: sum(pattern) >= k
