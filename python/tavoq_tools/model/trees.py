"""Cut sets of common system structures, as 0/1 vectors for ``CutsetTree.constructTree``.

The engine checks every stored cut set after each transition, so a tree built from the
minimal cut sets answers for every combination of failed components.
"""

from __future__ import annotations

import math
from itertools import combinations

# Beyond this many cut sets a k-out-of-n structure is better described another way; the
# limit keeps a typing slip (k = 50 of n = 100) from filling the memory.
MAX_CUTSETS = 100_000


def k_out_of_n_cutsets(n_components: int, k: int) -> list[list[int]]:
    """The minimal cut sets of a system that fails once any ``k`` of its ``n_components``
    components have failed: every choice of k components, as a 0/1 vector.

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
    cutsets = []
    for members in combinations(range(n_components), k):
        vector = [0] * n_components
        for c in members:
            vector[c] = 1
        cutsets.append(vector)
    return cutsets
