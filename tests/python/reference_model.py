"""A plain Python model of one tavoq simulation run.

The model follows the engine's rules one by one, as simply as possible, so that
the compiled engine can be compared with it output for output:

* one MT19937 per run, seeded with the run's seed taken as an unsigned 32-bit
  value (``init_genrand``: 624 words, multiplier 1812433253);
* every probability is the 24 high bits of one engine output times 2**-24;
* the initial sampling of every component, with its bounds test;
* the selection of the earliest pending transition, the end test, the fill of
  the run states, the state change, the system check through the cut-set tree,
  the subtraction and the re-sampling pass (without a bounds test).

Quantile values come from the tavoq distribution objects themselves; the tree
lookup is the real ``CutsetTree.findNode``. Only the engine logic is modelled.

Conversions of quantile results to whole-time-unit delays:

* initial pass: a result below 0 or above 2147483647.0 (this includes the
  IndexError of the ``Normal`` quantile for p == 0, read as -infinity) is "no
  transition"; NaN is "no transition"; anything else is truncated toward zero;
* re-sampling pass: NaN and results >= 2**31 are "no transition"; results below
  -2**31 (and the ``Normal`` IndexError, read as -infinity) are "due at once"
  and stored as -2**31; anything else is truncated toward zero, so a negative
  delay stays negative until the next selection.

``ReferenceRun`` keeps each rule in its own method so that tests can derive
deliberately wrong variants from it and check that the comparison with the
engine notices them.
"""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Sequence
from typing import Any

MASK32 = 0xFFFFFFFF
NO_TRANSITION = 2147483647
INT32_MIN = -2147483648
TWO_POW_M24 = 2.0**-24


def wrap_int32(value: int) -> int:
    """Two's-complement wrap of an integer into the signed 32-bit range."""
    return ((value + 2**31) & MASK32) - 2**31


class MT19937:
    """The standard 32-bit Mersenne Twister (same outputs as C++ std::mt19937)."""

    N = 624
    M = 397
    MATRIX_A = 0x9908B0DF
    UPPER_MASK = 0x80000000
    LOWER_MASK = 0x7FFFFFFF

    def __init__(self, seed: int) -> None:
        mt = [0] * self.N
        mt[0] = seed & MASK32
        for i in range(1, self.N):
            prev = mt[i - 1]
            mt[i] = (1812433253 * (prev ^ (prev >> 30)) + i) & MASK32
        self._mt = mt
        self._index = self.N

    def _twist(self) -> None:
        mt = self._mt
        n, m = self.N, self.M
        for i in range(n):
            y = (mt[i] & self.UPPER_MASK) | (mt[(i + 1) % n] & self.LOWER_MASK)
            value = mt[(i + m) % n] ^ (y >> 1)
            if y & 1:
                value ^= self.MATRIX_A
            mt[i] = value
        self._index = 0

    def next_u32(self) -> int:
        if self._index >= self.N:
            self._twist()
        y = self._mt[self._index]
        self._index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y & MASK32


def probability_from_output(x: int) -> float:
    """The engine's draw: 24 high bits of one output, times 2**-24 (exact)."""
    return (x >> 8) * TWO_POW_M24


class ReferenceLoopError(RuntimeError):
    """The run exceeded the transition budget (a cycle of zero delays)."""


class ReferenceRun:
    """One run of the engine, modelled step by step."""

    def __init__(
        self,
        sim_time: int,
        matrix: Sequence[Sequence[Sequence[Any]]],
        tree: Any,
        seed: int,
        max_transitions: int | None = None,
    ) -> None:
        if tree is None:
            raise ValueError("Cutset matrix must not be null.")
        if len(matrix) == 0 or len(matrix[0]) == 0:
            raise ValueError("Transitions matrix must not be empty.")
        self.sim_time = sim_time
        self.matrix = matrix
        self.tree = tree
        self.rng = MT19937(seed)
        self.n_components = len(matrix)
        self.n_states = len(matrix[0])
        self.component_states = [0] * self.n_components
        self.next_time = [NO_TRANSITION] * self.n_components
        self.to_state = [0] * self.n_components
        self.system_failed = 0
        self.current_time = 0
        self.run_states: list[int | None] = [None] * max(sim_time, 0)
        self.max_transitions = max_transitions
        self.transitions = 0
        # Which of the less common rules this run went through (for coverage checks).
        self.hits: Counter[str] = Counter()

    # -- random numbers ---------------------------------------------------------------

    def draw(self) -> float:
        return probability_from_output(self.rng.next_u32())

    def quantile(self, dist: Any, p: float) -> float:
        try:
            return float(dist.quantile(p, self.current_time))
        except IndexError:
            # The Normal quantile rejects p == 0; the engine reads it as -infinity.
            self.hits["quantile_index_error"] += 1
            return -math.inf

    # -- conversions of a quantile result to a delay ----------------------------------

    def initial_delay(self, value: float) -> int:
        if value < 0.0 or value > 2147483647.0:
            self.hits["initial_out_of_bounds"] += 1
            return NO_TRANSITION
        if math.isnan(value):
            self.hits["initial_nan"] += 1
            return NO_TRANSITION
        return int(value)  # truncation toward zero

    def resample_delay(self, value: float) -> int:
        if math.isnan(value):
            self.hits["resample_nan"] += 1
            return NO_TRANSITION
        if value >= 2147483648.0:
            self.hits["resample_too_large"] += 1
            return NO_TRANSITION
        if value < -2147483648.0:
            self.hits["resample_too_small"] += 1
            return INT32_MIN
        delay = int(value)  # truncation toward zero
        if delay < 0:
            self.hits["resample_negative"] += 1
        return delay

    # -- sampling -----------------------------------------------------------------------

    def sample_initial(self, c: int) -> None:
        best, to_state = NO_TRANSITION, 0
        for j in range(self.n_states):
            p = self.draw()
            delay = self.initial_delay(self.quantile(self.matrix[c][0][j], p))
            if delay < best:
                best, to_state = delay, j
        self.next_time[c] = best
        self.to_state[c] = to_state

    def resample(self, c: int) -> None:
        from_state = self.component_states[c]
        best, to_state = NO_TRANSITION, 0
        for j in range(self.n_states):
            p = self.draw()
            delay = self.resample_delay(self.quantile(self.matrix[c][from_state][j], p))
            if delay < best:
                best, to_state = delay, j
        self.next_time[c] = best
        self.to_state[c] = to_state

    # -- one step -----------------------------------------------------------------------

    def select(self) -> tuple[int | None, int]:
        """Earliest pending transition; a negative delay wins before it is raised to 0.

        Only the component re-sampled by the previous transition can hold a negative
        delay, and every component before it then holds a positive one, so comparing
        before raising never changes the pick in practice; it is modelled as stated.
        """
        best, chosen = NO_TRANSITION, None
        for c in range(self.n_components):
            stored = self.next_time[c]
            if stored < best:
                if stored < 0:
                    self.next_time[c] = 0
                best, chosen = self.next_time[c], c
        return chosen, best

    def ends_now(self, chosen: int | None, best: int) -> bool:
        return chosen is None or best == NO_TRANSITION or self.current_time + best >= self.sim_time

    def fill(self, start: int, stop: int) -> None:
        for t in range(start, stop):
            self.run_states[t] = self.system_failed

    def update_system_state(self) -> None:
        indicator = [1 if s != 0 else 0 for s in self.component_states]
        self.system_failed = 1 if len(self.tree.findNode(indicator)) > 0 else 0

    def step(self) -> None:
        chosen, best = self.select()
        if self.ends_now(chosen, best):
            if best != NO_TRANSITION and self.current_time + best == self.sim_time:
                self.hits["due_exactly_at_horizon"] += 1
            self.fill(self.current_time, self.sim_time)
            self.current_time = self.sim_time
            return
        assert chosen is not None
        self.transitions += 1
        if self.max_transitions is not None and self.transitions > self.max_transitions:
            raise ReferenceLoopError(f"more than {self.max_transitions} transitions")
        if best == 0:
            self.hits["transition_at_same_time_unit"] += 1
        target = self.current_time + best
        self.fill(self.current_time, target)
        self.current_time = target
        self.component_states[chosen] = self.to_state[chosen]
        self.update_system_state()
        self.run_states[target] = self.system_failed
        for c in range(self.n_components):
            self.next_time[c] = wrap_int32(self.next_time[c] - best)
        self.resample(chosen)

    def run(self) -> list[int]:
        for c in range(self.n_components):
            self.sample_initial(c)
        for c in range(self.n_components):
            if self.next_time[c] == 0:
                self.hits["zero_delay_initial"] += 1
        while self.current_time < self.sim_time:
            self.step()
        assert all(v is not None for v in self.run_states)
        return [int(v) for v in self.run_states]  # type: ignore[arg-type]


def simulate_run(
    sim_time: int,
    matrix: Sequence[Sequence[Sequence[Any]]],
    tree: Any,
    seed: int,
    max_transitions: int | None = None,
) -> list[int]:
    """The run states (one 0/1 value per time unit) of one run seeded with ``seed``."""
    return ReferenceRun(sim_time, matrix, tree, seed, max_transitions).run()
