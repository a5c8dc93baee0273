"""A plain Python model of one tavoq simulation run, and of what a batch counts.

The model follows the engine's rules one by one, as simply as possible, so that
the compiled engine can be compared with it output for output:

* one MT19937 per run, seeded with the run's seed taken as an unsigned 32-bit
  value (``init_genrand``: 624 words, multiplier 1812433253);
* every probability is the 24 high bits of one engine output times 2**-24;
* the initial sampling of every component, with its bounds test;
* the selection of the earliest pending transition, the end test, the fill of
  the run states, the state change, the system verdict, the subtraction and the
  re-sampling pass (without a bounds test).

The verdict: after each transition the system is failed exactly when some stored
cut set lies within the set of failed components (state != 0). The members of a
cut set are its elements equal to 1; positions a vector lacks read as 0. A cut
set without members lies within everything. Before the first transition the
system counts as working, whatever the cut sets.

Quantile values come from the tavoq distribution objects themselves, except for
``Maintenance``: its pick (entry floor(p * n) of its list) is computed here from
the times, which the test that built the object passes in (the engine does not
expose them). Only the engine logic is modelled.

Conversions of quantile results to whole-time-unit delays:

* initial pass: a result below 0 or above 2147483647.0 (this includes the
  IndexError of the ``Normal`` quantile for p == 0, read as -infinity) is "no
  transition"; NaN is "no transition"; anything else is truncated toward zero;
* re-sampling pass: NaN and results >= 2**31 are "no transition"; results below
  -2**31 (and the ``Normal`` IndexError, read as -infinity) are "due at once"
  and stored as -2**31; anything else is truncated toward zero, so a negative
  delay stays negative until the next selection.

Besides the run states, a run yields what ``runnerStatistics`` counts
(``RunResult``): the system failures (units failed after a working unit, or
failed at unit 0), the downtime, the first failed unit, each component's
downtime and failures (transitions from state 0 to a non-zero state), and for
each system failure its cause: the component of the last transition in that
unit that turned the verdict from working to failed, with the cut sets that
transition completed. ``batch_statistics`` sums runs the way the native
statistics object reports them.

The verdict can instead be a gate graph (``gates`` and ``top``, as ``tavoq.FaultTree``
numbers them: components are nodes 0 .. n-1, gate i is node n + i, inputs are components or
earlier gates). After each transition every gate is evaluated in order: it is failed when
the number of its failed inputs (an input listed twice counts twice) reaches its threshold
(``or`` 1, ``and`` all, ``atleast`` k), and the system is failed exactly when the top gate
is. A run then also yields, per gate, its downtime (units at which it was failed, read from
the components' states after the unit as the system's), its failures (transitions that
took it from working to failed) and, as the cause of each system failure, the gates that
the causing transition took from working to failed, which ``batch_statistics`` sums into
gateTriggered. Every downtime also has its sum over runs of squares.

``ReferenceRun`` keeps each rule in its own method so that tests can derive
deliberately wrong variants from it and check that the comparison with the
engine notices them.
"""

from __future__ import annotations

import copy
import math
from collections import Counter
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
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
    """More transitions fell due at one time unit than the budget (a cycle of zero delays)."""


def lies_within(cutset: Sequence[int], failed: Sequence[int]) -> bool:
    """Whether every member (element equal to 1) of ``cutset`` is failed (non-zero) in
    ``failed``. Positions that ``failed`` lacks read as 0: a member beyond it is not failed.
    """
    return all(i < len(failed) and failed[i] != 0 for i, x in enumerate(cutset) if x == 1)


#: Gate kind -> the number of failed inputs (given k and the number of inputs) that fails it.
GATE_THRESHOLDS = {
    "or": lambda k, n: 1,
    "and": lambda k, n: n,
    "atleast": lambda k, n: k,
}

# The other kinds, with their fewest inputs: functions of the failed-input count that are
# not monotone, and the order gates.
OTHER_GATES = {
    "not": 1,
    "nand": 1,
    "nor": 1,
    "xor": 2,
    "iff": 2,
    "pand": 2,
    "pand_exclusive": 2,
    "por": 2,
    "por_exclusive": 2,
    "pand_memory": 2,
    "por_memory": 2,
}

GateDesc = tuple[str, Sequence[int], int]  # (kind, inputs as node ids, k)


def gate_holds(kind: str, k: int, failed: Sequence[bool], since: Sequence[int]) -> bool:
    """One gate's state from its inputs' states and the units their failures began."""
    count, n = sum(failed), len(failed)
    if kind in GATE_THRESHOLDS:
        return count >= GATE_THRESHOLDS[kind](k, n)
    if kind in ("not", "nor"):
        return count == 0
    if kind == "nand":
        return count < n
    if kind == "xor":
        return count % 2 == 1
    if kind == "iff":
        return count % 2 == n % 2
    exclusive = kind.endswith("_exclusive")

    def before(a: int, b: int) -> bool:  # a failure begun at unit a counts as before b
        return a < b if exclusive else a <= b

    if kind.startswith("pand"):
        return all(failed) and all(before(since[j - 1], since[j]) for j in range(1, n))
    # por: the first failed, and no other failed before it (exclusive: nor with it)
    return failed[0] and not any(failed[j] and not before(since[0], since[j]) for j in range(1, n))


def gate_states(gates: Sequence[GateDesc], failed: Sequence[int]) -> list[bool]:
    """Each gate's state, in order, for the component states ``failed`` (non-zero: failed),
    their failures all begun in the same unit."""
    value = [s != 0 for s in failed]
    for kind, inputs, k in gates:
        value.append(gate_holds(kind, k, [value[i] for i in inputs], [0] * len(inputs)))
    return value[len(failed) :]


def gate_step(
    gates: Sequence[GateDesc],
    failed: Sequence[int],
    node_failed: list[bool],
    node_since: list[int],
    now: int,
    memory: dict[int, list[int]],
) -> None:
    """Every node again after a transition at unit ``now``, in order: a node that turns
    failed takes ``now`` as the unit its failure began. A memory gate's ``memory`` holds
    per input the unit of its first failure since its inputs were last all working, or -1.
    Updates the lists in place."""
    n = len(failed)
    for c in range(n):
        if failed[c] != 0 and not node_failed[c]:
            node_since[c] = now
        node_failed[c] = failed[c] != 0
    for i, (kind, inputs, k) in enumerate(gates):
        states = [node_failed[x] for x in inputs]
        since = [node_since[x] for x in inputs]
        if kind.endswith("_memory"):
            first = memory[i]
            for j, x in enumerate(inputs):
                first[j] = (
                    -1
                    if not any(states)
                    else first[j]
                    if first[j] >= 0 or not states[j]
                    else node_since[x]
                )
            since = first
        holds = gate_holds(kind, k, states, since)
        if holds and not node_failed[n + i]:
            node_since[n + i] = now
        node_failed[n + i] = holds


def check_gates(gates: Sequence[GateDesc], top: int, n_components: int) -> None:
    """Gates that a FaultTree would refuse are refused here too."""
    for i, (kind, inputs, k) in enumerate(gates):
        fewest = OTHER_GATES.get(kind, 1)
        if (kind not in GATE_THRESHOLDS and kind not in OTHER_GATES) or len(inputs) < fewest:
            raise ValueError(f"gate {i}: kind {kind!r} with {len(inputs)} inputs")
        if kind == "not" and len(inputs) != 1:
            raise ValueError(f"gate {i}: not with {len(inputs)} inputs")
        if kind == "atleast" and not 1 <= k <= len(inputs):
            raise ValueError(f"gate {i}: k = {k} for {len(inputs)} inputs")
        if any(not 0 <= x < n_components + i for x in inputs):
            raise ValueError(f"gate {i}: an input is not a component or an earlier gate")
    if not n_components <= top < n_components + len(gates):
        raise ValueError(f"top node {top} is not a gate")


def check_cutsets(cutsets: Sequence[Sequence[int]], n_components: int) -> None:
    """A cut set with a member beyond the last component can never fail: refused."""
    for cutset in cutsets:
        if any(x == 1 and i >= n_components for i, x in enumerate(cutset)):
            raise ValueError(
                f"cut set {list(cutset)} has a member beyond the {n_components} components"
            )


@dataclass(frozen=True)
class RunResult:
    """What one run yields: its run states and what runnerStatistics counts of it.

    ``causes`` holds, for each system failure in time order, the causing component and
    the indices (into the stored cut sets) of the cut sets its transition completed; with
    a gate graph, the indices of the gates it took from working to failed.
    """

    states: list[int]
    system_failures: int
    downtime: int
    first_failure: int | None
    component_downtime: list[int]
    component_failures: list[int]
    causes: list[tuple[int, tuple[int, ...]]]
    gate_downtime: list[int] = field(default_factory=list)
    gate_failures: list[int] = field(default_factory=list)
    gate_unit_failures: list[int] = field(default_factory=list)


def unit_failures(failed: Sequence[bool]) -> int:
    """Units at which an item is failed after the unit and was not after the one before (or
    t = 0): how system failures are counted, and gate failures per unit."""
    return sum(1 for t, f in enumerate(failed) if f and (t == 0 or not failed[t - 1]))


class ReferenceRun:
    """One run of the engine, modelled step by step.

    ``cutsets`` are the stored cut sets in the tree's order (``tree.getCutsets()``); with
    ``gates`` the verdict is that of the gate graph and its node ``top`` instead (give
    ``cutsets=[]``); ``maintenance`` maps ``id()`` of every ``Maintenance`` object in the matrix to its
    list of times.
    """

    def __init__(
        self,
        sim_time: int,
        matrix: Sequence[Sequence[Sequence[Any]]],
        tree: Any,
        seed: int,
        max_transitions: int | None = None,
        *,
        cutsets: Sequence[Sequence[int]],
        maintenance: Mapping[int, Sequence[int]] | None = None,
        gates: Sequence[GateDesc] | None = None,
        top: int = -1,
        ragged: bool = False,
    ) -> None:
        if tree is None:
            raise ValueError("Cutset matrix must not be null.")
        if len(matrix) == 0 or len(matrix[0]) == 0:
            raise ValueError("Transitions matrix must not be empty.")
        check_cutsets(cutsets, len(matrix))
        self.gates = [(kind, tuple(inputs), k) for kind, inputs, k in gates or ()]
        if gates is not None:
            check_gates(self.gates, top, len(matrix))
        self.top_gate = top - len(matrix)
        self.sim_time = sim_time
        self.matrix = matrix
        self.tree = tree
        self.cutsets = [list(c) for c in cutsets]
        self.maintenance = dict(maintenance or {})
        self.rng = MT19937(seed)
        self.n_components = len(matrix)
        self.n_states = len(matrix[0])
        # Square (the runners of failed runs per time unit): every component draws component 0's number of
        # states per row. Ragged (runnerStatistics): each component its own.
        self.states_of = [len(comp) if ragged else self.n_states for comp in matrix]
        self.component_states = [0] * self.n_components
        self.next_time = [NO_TRANSITION] * self.n_components
        self.to_state = [0] * self.n_components
        self.system_failed = 0
        self.current_time = 0
        self.run_states: list[int | None] = [None] * max(sim_time, 0)
        # The component states after each unit's transitions, as run_states for the system.
        self.unit_component_states: list[tuple[int, ...] | None] = [None] * max(sim_time, 0)
        self.max_transitions = max_transitions  # at one time unit
        self.transitions = 0
        self.transitions_here = 0
        # Cut sets within the failed set after the last check (with gates: the failed
        # gates); none before the first check.
        self.within: frozenset[int] = frozenset()
        self.component_failures = [0] * self.n_components
        self.gate_failures = [0] * len(self.gates)
        # Per time unit: the latest transition there that turned the verdict to failed
        # (component -1: none, the system failed from the start).
        self.turns: dict[int, tuple[int, tuple[int, ...]]] = {}
        # With gates: every node's state and the unit its failure began, and the gates'
        # states after each unit's transitions.
        start = gate_states(self.gates, [0] * self.n_components)
        self.node_failed = [False] * self.n_components + start
        self.node_since = [0] * len(self.node_failed)
        # Per memory gate, per input: its first failure since the inputs were all working;
        # inputs failed from the start failed at 0.
        self.gate_memory = {
            g: [0 if self.node_failed[x] else -1 for x in inputs]
            for g, (kind, inputs, _) in enumerate(self.gates)
            if kind.endswith("_memory")
        }
        self.unit_gate_states: list[tuple[bool, ...] | None] = [None] * max(sim_time, 0)
        if any(kind not in GATE_THRESHOLDS for kind, _, _ in self.gates):
            # A gate failed with every component working fails at unit 0 (if there is one);
            # a top so failed is a system failure there, by no component's transition.
            self.within = frozenset(g for g, f in enumerate(start) if f)
            self.gate_failures = [1 if f and sim_time > 0 else 0 for f in start]
            if self.top_gate in self.within:
                self.system_failed = 1
                self.turns[0] = (-1, tuple(sorted(self.within)))
        # Which of the less common rules this run went through (for coverage checks).
        self.hits: Counter[str] = Counter()

    # -- random numbers ---------------------------------------------------------------

    def draw(self) -> float:
        return probability_from_output(self.rng.next_u32())

    def quantile(self, dist: Any, p: float) -> float:
        if type(dist).__name__ == "Maintenance":
            times = self.maintenance.get(id(dist))
            if times is None:
                raise ValueError("the times of a Maintenance in the matrix were not given")
            self.hits["maintenance"] += 1
            return float(times[self.maintenance_index(p, len(times))])
        try:
            return float(dist.quantile(p, self.current_time))
        except IndexError:
            # The Normal quantile rejects p == 0; the engine reads it as -infinity.
            self.hits["quantile_index_error"] += 1
            return -math.inf

    def maintenance_index(self, p: float, n: int) -> int:
        """Entry floor(p * n), p * n in double; NaN or p < 0 gives 0, p >= 1 gives n - 1."""
        if math.isnan(p) or p < 0.0:
            return 0
        if p >= 1.0:
            return n - 1
        return min(int(math.floor(p * n)), n - 1)

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
        for j in range(self.states_of[c]):
            p = self.draw()
            delay = self.initial_delay(self.quantile(self.matrix[c][0][j], p))
            if delay < best:
                best, to_state = delay, j
        self.next_time[c] = best
        self.to_state[c] = to_state

    def resample(self, c: int) -> None:
        from_state = self.component_states[c]
        best, to_state = NO_TRANSITION, 0
        for j in range(self.states_of[c]):
            p = self.draw()
            delay = self.resample_delay(self.quantile(self.matrix[c][from_state][j], p))
            if delay < best:
                best, to_state = delay, j
        self.next_time[c] = best
        self.to_state[c] = to_state

    # -- the verdict ----------------------------------------------------------------------

    def failed_set(self) -> list[int]:
        return [1 if s != 0 else 0 for s in self.component_states]

    def cutsets_within(self, failed: list[int]) -> frozenset[int]:
        """Indices of the stored cut sets that lie within the failed set."""
        return frozenset(i for i, c in enumerate(self.cutsets) if lies_within(c, failed))

    def update_system_state(self) -> None:
        if self.gates:
            gate_step(
                self.gates,
                self.failed_set(),
                self.node_failed,
                self.node_since,
                self.current_time,
                self.gate_memory,
            )
            gates = self.node_failed[self.n_components :]
            self.within = frozenset(g for g, f in enumerate(gates) if f)
            self.system_failed = 1 if self.top_gate in self.within else 0
            return
        self.within = self.cutsets_within(self.failed_set())
        self.system_failed = 1 if self.within else 0

    # -- what the statistics count --------------------------------------------------------

    def count_component_transition(self, c: int, old_state: int, new_state: int) -> None:
        if old_state == 0 and new_state != 0:
            self.component_failures[c] += 1

    def count_gate_transitions(self, within_before: frozenset[int]) -> None:
        if self.gates:
            for g in self.within - within_before:
                self.gate_failures[g] += 1

    def record_turn(self, c: int, was_failed: int, within_before: frozenset[int]) -> None:
        """Note the transition of ``c`` if it turned the verdict from working to failed."""
        if was_failed or not self.system_failed:
            return
        if self.current_time in self.turns:
            self.hits["second_turn_in_unit"] += 1
        completed = tuple(sorted(self.within - within_before))
        self.turns[self.current_time] = (c, completed)

    def system_failure_units(self, states: list[int]) -> list[int]:
        return [t for t, s in enumerate(states) if s == 1 and (t == 0 or states[t - 1] == 0)]

    def component_downtime(self) -> list[int]:
        return [
            sum(1 for snapshot in self.unit_component_states if snapshot and snapshot[c] != 0)
            for c in range(self.n_components)
        ]

    def gate_downtime(self) -> list[int]:
        downtime = [0] * len(self.gates)
        for snapshot in self.unit_gate_states:
            if snapshot:
                for g, f in enumerate(snapshot):
                    downtime[g] += f
        return downtime

    def gate_unit_failures(self) -> list[int]:
        per_unit = [
            snapshot if snapshot else [0] * len(self.gates) for snapshot in self.unit_gate_states
        ]
        return [unit_failures([bool(u[g]) for u in per_unit]) for g in range(len(self.gates))]

    def causes(self, failure_units: list[int]) -> list[tuple[int, tuple[int, ...]]]:
        return [self.turns[t] for t in failure_units]

    def result(self, states: list[int]) -> RunResult:
        failure_units = self.system_failure_units(states)
        return RunResult(
            states=states,
            system_failures=len(failure_units),
            downtime=sum(states),
            first_failure=next((t for t, s in enumerate(states) if s == 1), None),
            component_downtime=self.component_downtime(),
            component_failures=list(self.component_failures),
            causes=self.causes(failure_units),
            gate_downtime=self.gate_downtime(),
            gate_failures=list(self.gate_failures),
            gate_unit_failures=self.gate_unit_failures(),
        )

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

    def record_unit(self, t: int) -> None:
        self.run_states[t] = self.system_failed
        self.unit_component_states[t] = tuple(self.component_states)
        self.unit_gate_states[t] = tuple(self.node_failed[self.n_components :])

    def fill(self, start: int, stop: int) -> None:
        for t in range(start, stop):
            self.record_unit(t)

    def apply(self, chosen: int) -> None:
        """The state change of the chosen component and the check that follows it."""
        was_failed, within_before = self.system_failed, self.within
        old_state = self.component_states[chosen]
        self.component_states[chosen] = self.to_state[chosen]
        self.count_component_transition(chosen, old_state, self.component_states[chosen])
        self.update_system_state()
        self.count_gate_transitions(within_before)
        self.record_turn(chosen, was_failed, within_before)

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
        if best == 0:
            self.hits["transition_at_same_time_unit"] += 1
            self.transitions_here += 1
            if self.max_transitions is not None and self.transitions_here > self.max_transitions:
                raise ReferenceLoopError(
                    f"more than {self.max_transitions} transitions at time unit "
                    f"{self.current_time}"
                )
        else:
            self.transitions_here = 1
        target = self.current_time + best
        self.fill(self.current_time, target)
        self.current_time = target
        self.apply(chosen)
        self.record_unit(target)
        for c in range(self.n_components):
            self.next_time[c] = wrap_int32(self.next_time[c] - best)
        self.resample(chosen)

    def run(self) -> RunResult:
        for c in range(self.n_components):
            self.sample_initial(c)
        for c in range(self.n_components):
            if self.next_time[c] == 0:
                self.hits["zero_delay_initial"] += 1
        while self.current_time < self.sim_time:
            self.step()
        assert all(v is not None for v in self.run_states)
        return self.result([int(v) for v in self.run_states])  # type: ignore[arg-type]


def batch_statistics(
    results: Sequence[RunResult],
    sim_time: int,
    n_components: int,
    n_cutsets: int,
    n_gates: int = 0,
    squares: bool = False,
) -> dict[str, list[Any]]:
    """What runnerStatistics reports for these runs (in run order), by attribute name.

    With ``n_gates`` (runs of a gate graph) the causes name gates: they count in
    gateTriggered, and cutsetFailures is empty. The gate arrays and the sums of squares
    come with ``n_gates`` or ``squares``.
    """
    failed_runs = [0] * max(sim_time, 0)
    first_failures = [0] * max(sim_time, 0)
    component_downtime = [0] * n_components
    component_failures = [0] * n_components
    triggered = [0] * n_components
    cutset_failures = [0] * (0 if n_gates else n_cutsets)
    gate_downtime = [0] * n_gates
    gate_failures = [0] * n_gates
    gate_triggered = [0] * n_gates
    gate_squares = [0.0] * n_gates
    component_squares = [0.0] * n_components
    for r in results:
        for t, s in enumerate(r.states):
            failed_runs[t] += s
        if r.first_failure is not None:
            first_failures[r.first_failure] += 1
        for c in range(n_components):
            component_downtime[c] += r.component_downtime[c]
            component_failures[c] += r.component_failures[c]
            component_squares[c] += float(r.component_downtime[c]) ** 2
        for g in range(n_gates):
            gate_downtime[g] += r.gate_downtime[g]
            gate_failures[g] += r.gate_failures[g]
            gate_squares[g] += float(r.gate_downtime[g]) ** 2
        for c, completed in r.causes:
            if c >= 0:
                triggered[c] += 1
            for i in completed:
                if n_gates:
                    gate_triggered[i] += 1
                else:
                    cutset_failures[i] += 1
    counts = {
        "failedRuns": failed_runs,
        "firstFailures": first_failures,
        "systemFailures": [r.system_failures for r in results],
        "downtime": [r.downtime for r in results],
        "componentDowntime": component_downtime,
        "componentFailures": component_failures,
        "triggeredFailures": triggered,
        "cutsetFailures": cutset_failures,
    }
    if not (n_gates or squares):
        return counts
    return (
        counts
        | {
            "gateDowntime": gate_downtime,
            "gateFailures": gate_failures,
            "gateTriggered": gate_triggered,
            "gateDowntimeSquares": gate_squares,
            "componentDowntimeSquares": component_squares,
        }
        | count_squares(
            [
                (r.system_failures, r.component_failures, r.gate_unit_failures, r.causes)
                for r in results
            ],
            n_components,
            0 if n_gates else n_cutsets,
            n_gates,
        )
    )


def count_squares(
    runs: Sequence[tuple[int, Sequence[int], Sequence[int], Sequence[tuple[int, Sequence[int]]]]],
    n_components: int,
    n_cutsets: int,
    n_gates: int,
) -> dict[str, list[Any]]:
    """The per-unit gate failures and the sums over runs of each run's counts squared and
    times its system failures, from each run's (system failures, component failures, gate
    failures per unit, causes); a cause's gates are cut sets when ``n_cutsets``."""
    sums: dict[str, list[Any]] = {
        "componentFailuresSquares": [0] * n_components,
        "triggeredFailuresSquares": [0] * n_components,
        "triggeredTimesSystemFailures": [0] * n_components,
        "cutsetFailuresSquares": [0] * n_cutsets,
        "cutsetTimesSystemFailures": [0] * n_cutsets,
        "gateUnitFailures": [0] * n_gates,
        "gateUnitFailuresSquares": [0] * n_gates,
        "gateTriggeredSquares": [0] * n_gates,
        "gateTriggeredTimesSystemFailures": [0] * n_gates,
    }
    items = "cutset" if n_cutsets else "gateTriggered"
    for failures, component_failures, unit_failures_of, causes in runs:
        caused = Counter(c for c, _ in causes)
        completed = Counter(g for _, gates in causes for g in gates)
        for c in range(n_components):
            sums["componentFailuresSquares"][c] += component_failures[c] ** 2
            sums["triggeredFailuresSquares"][c] += caused[c] ** 2
            sums["triggeredTimesSystemFailures"][c] += caused[c] * failures
        for g in range(n_gates):
            sums["gateUnitFailures"][g] += unit_failures_of[g]
            sums["gateUnitFailuresSquares"][g] += unit_failures_of[g] ** 2
        for g, k in completed.items():
            if items == "cutset":
                sums["cutsetFailuresSquares"][g] += k * k
                sums["cutsetTimesSystemFailures"][g] += k * failures
            else:
                sums["gateTriggeredSquares"][g] += k * k
                sums["gateTriggeredTimesSystemFailures"][g] += k * failures
    return {
        name: values if name == "gateUnitFailures" else [float(v) for v in values]
        for name, values in sums.items()
    }


# --------------------------------------------------------------------------------------
# Components that act on each other
# --------------------------------------------------------------------------------------

WORKING, FAILED, PLANNED = 0, 1, 2

# (source node, on failure, moves) and optionally the chance of each move
TriggerDesc = tuple[Any, ...]


@dataclass(frozen=True)
class FromStates:
    """A trigger move's condition: the states it moves from, and its chance, drawn once
    for a component found in one of them when below 1."""

    states: tuple[int, ...]
    probability: float = 1.0


GroupDesc = tuple[Sequence[int], Sequence[int], Sequence[int], Sequence[int], float, bool]


@dataclass
class Interplay:
    """What a ``tavoq.Interactions`` declares, as plain data (see ``InteractingRun``)."""

    kinds: dict[int, list[int]] = field(default_factory=dict)
    triggers: list[TriggerDesc] = field(default_factory=list)
    # (units, active states, standby states, switch-failed states, switch failure, revert);
    # a unit n + m is spare module m, its states -1
    groups: list[GroupDesc] = field(default_factory=list)
    # (node, components, their active states, their standby states, groups inside)
    modules: list[tuple[int, list[int], list[int], list[int], list[int]]] = field(
        default_factory=list
    )
    # (component, running state, waiting state): a unit's or part's further pairs
    pairs: list[tuple[int, int, int]] = field(default_factory=list)
    causes: list[tuple[Any, list[int], list[int]]] = field(default_factory=list)
    pools: list[int] = field(default_factory=list)
    crews: dict[tuple[int, int], tuple[int, int]] = field(default_factory=dict)  # -> pool, prio

    def empty(self) -> bool:
        return not (
            self.kinds or self.triggers or self.groups or self.causes or self.pools or self.crews
        )

    def has_planned(self) -> bool:
        return any(PLANNED in k for k in self.kinds.values())


@dataclass
class Batch:
    """The moves of one batch under way: the node states before it (down, and down for a
    failure), the components it moved, the move that turned the top (of a common cause's
    event) and the last move applied."""

    down_before: list[bool]
    failure_before: list[bool]
    moved: list[int] = field(default_factory=list)
    cause: int | None = None
    last_applied: int | None = None


@dataclass(frozen=True)
class InteractingResult:
    """One interacting run: per unit its system code (0 up, 1 unplanned-down, 2 planned-down)
    and what runnerStatistics counts of it."""

    codes: list[int]
    component_downtime: list[int]
    component_failures: list[int]
    gate_downtime: list[int]
    gate_failures: list[int]
    gate_unit_failures: list[int]
    causes: list[tuple[int, tuple[int, ...]]]
    crew_busy: list[int]
    crew_wait: list[int]
    crew_requests: list[int]
    crew_longest: list[int]
    crew_saturated: list[int]  # system failures that began with every crew busy, a unit waiting


class InteractingRun(ReferenceRun):
    """One run with interactions, modelled as plainly as possible: every gate is evaluated
    from scratch after every change, and times are absolute.

    The rules are those of the engine's InteractingSimulation (its header states them): the
    start (groups take their units without draws; components sample in index order, then
    every common cause draws once), the event order (earliest due, overdue first, lowest
    index, common causes after the components), the first-in first-out list of moves and
    the five steps of each move, the verdict once the list is empty, and the stuck limit
    counting events and the moves that are not an event's own. ``gates`` and ``top`` number
    the nodes as the FaultTree does: the components, then one leaf per group, then gates.
    """

    def __init__(
        self,
        sim_time: int,
        matrix: Sequence[Sequence[Sequence[Any]]],
        seed: int,
        interplay: Interplay,
        gates: Sequence[GateDesc],
        top: int,
        max_transitions: int | None = None,
        maintenance: Mapping[int, Sequence[int]] | None = None,
    ) -> None:
        self.sim_time = sim_time
        self.matrix = matrix
        self.maintenance = dict(maintenance or {})
        self.rng = MT19937(seed)
        self.hits = Counter()
        self.current_time = 0
        self.max_transitions = max_transitions
        self.ip = interplay
        self.n = len(matrix)
        self.n_groups = len(interplay.groups)
        self.n_leaves = self.n + self.n_groups
        self.gates = [(kind, tuple(inputs), k) for kind, inputs, k in gates]
        check_gates(self.gates, top, self.n_leaves)
        self.top = top
        # Each component its own number of states (runnerStatistics reads the matrix ragged).
        self.kinds = [
            list(interplay.kinds.get(c, [WORKING] + [FAILED] * (len(matrix[c]) - 1)))
            for c in range(self.n)
        ]
        self.planned = interplay.has_planned()
        self.states = [0] * self.n
        n_events = self.n + len(interplay.causes)
        self.due: list[float] = [math.inf] * n_events
        self.to_state = [0] * self.n
        self.active: list[int | None] = [None] * self.n_groups  # position within the group
        # per unit: a component, then a spare module (n + m)
        self.active_in: list[int | None] = [None] * (self.n + len(interplay.modules))
        self.owner: list[int | None] = [None] * self.n_groups  # the module a group sits in
        self.part_states: dict[int, tuple[int, int]] = {}  # a module's part -> active, standby
        # per unit or part: each waiting state -> its running one, and the other way round
        self.to_running: dict[int, dict[int, int]] = {}
        self.to_waiting: dict[int, dict[int, int]] = {}
        pairs = [
            (c, a, b)
            for units, act, stand, *_ in interplay.groups
            for c, a, b in zip(units, act, stand, strict=True)
            if c < self.n
        ]
        for m, (_, parts, act, stand, inner) in enumerate(interplay.modules):
            for g in inner:
                self.owner[g] = m
            for c, a, b in zip(parts, act, stand, strict=True):
                self.part_states[c] = (a, b)
                pairs.append((c, a, b))
        for c, a, b in [*pairs, *interplay.pairs]:
            self.to_running.setdefault(c, {})[b] = a
            self.to_waiting.setdefault(c, {})[a] = b
        staged = {c for c, *_ in interplay.pairs}
        self.modular = [
            self.owner[g] is not None or any(u >= self.n or u in staged for u in units)
            for g, (units, *_) in enumerate(interplay.groups)
        ]
        self.awake = [True] * self.n_groups
        self.leaf_down = [False] * self.n_groups
        self.leaf_planned = [False] * self.n_groups  # over the planned states alone
        self.held: list[int | None] = [None] * self.n
        self.waiting_in: list[int | None] = [None] * self.n
        self.queues: list[list[tuple[int, int, int]]] = [[] for _ in interplay.pools]
        self.busy = [0] * len(interplay.pools)
        self.requests = [0] * len(interplay.pools)
        self.longest = [0] * len(interplay.pools)
        self.component_failures = [0] * self.n
        self.gate_failures = [0] * len(self.gates)
        self.down_nodes = self.evaluate(planned_only=False)
        self.moves_here = 0
        self.moves_applied = 0  # state changes: transitions, switch-overs, triggered moves
        self.turns: dict[int, tuple[int, tuple[int, ...]]] = {}
        self.event_component: int | None = None  # the component whose transition is the event
        self.batch: Batch | None = None  # the batch under way
        self.snapshots: list[tuple[int, list[bool], list[int], list[int]]] = []
        self.code = 0

    # -- the logic --------------------------------------------------------------------------

    def kind(self, c: int, s: int) -> int:
        return self.kinds[c][s]

    def evaluate(self, planned_only: bool) -> list[bool]:
        """Every node's state, the leaves then the gates: down, or with ``planned_only``
        down over the planned states alone (every failed state read as up)."""
        if planned_only:
            leaves = [self.kind(c, s) == PLANNED for c, s in enumerate(self.states)]
            leaves += self.leaf_planned
        else:
            leaves = [self.kind(c, s) != WORKING for c, s in enumerate(self.states)]
            leaves += self.leaf_down
        return leaves + gate_states(self.gates, [int(x) for x in leaves])

    def planned_reasons(self, g: int) -> bool:
        """Whether group g's units are out for planned reasons alone: none failed, one
        planned at least (the others active in other groups). A module is as its node."""
        kinds = []
        for u in self.ip.groups[g][0]:
            if u < self.n:
                kinds.append(self.kind(u, self.states[u]))
            else:
                node = self.ip.modules[u - self.n][0]
                down = self.evaluate(planned_only=False)[node]
                planned = self.evaluate(planned_only=True)[node]
                kinds.append(WORKING if not down else PLANNED if planned else FAILED)
        if FAILED not in kinds and PLANNED in kinds:
            self.hits["planned_group_down"] += 1
            return True
        return False

    def failure_down(self) -> list[bool]:
        """Every node's state for failures: down, and not down over the planned states
        alone (some failed state is needed to bring it down)."""
        down = self.evaluate(planned_only=False)
        if not self.planned:
            return down
        planned = self.evaluate(planned_only=True)
        return [d and not p for d, p in zip(down, planned, strict=True)]

    def refresh(self) -> None:
        """After one leaf changed: count the gates that turned down."""
        now = self.evaluate(planned_only=False)
        for g in range(len(self.gates)):
            if now[self.n_leaves + g] and not self.down_nodes[self.n_leaves + g]:
                self.gate_failures[g] += 1
        self.down_nodes = now

    def unplanned_top(self) -> bool:
        return self.failure_down()[self.top]

    # -- draws ------------------------------------------------------------------------------

    def sample(self, c: int, initial: bool) -> None:
        best, to_state = NO_TRANSITION, 0
        row = self.matrix[c][self.states[c]]
        for j in range(len(self.matrix[c])):
            p = self.draw()
            value = self.quantile(row[j], p)
            delay = self.initial_delay(value) if initial else self.resample_delay(value)
            if delay < best:
                best, to_state = delay, j
        self.due[c] = self.current_time + best
        self.to_state[c] = to_state

    def resample_component(self, c: int) -> None:
        if self.waiting_in[c] is not None:
            self.due[c] = math.inf
        else:
            self.sample(c, initial=False)

    def sample_cause(self, k: int, initial: bool) -> None:
        value = self.quantile(self.ip.causes[k][0], self.draw())
        delay = self.initial_delay(value) if initial else self.resample_delay(value)
        self.due[self.n + k] = self.current_time + delay

    def count_move(self) -> None:
        self.moves_here += 1
        if self.max_transitions is not None and self.moves_here > self.max_transitions:
            raise ReferenceLoopError(
                f"more than {self.max_transitions} moves at time unit {self.current_time}"
            )

    # -- crews ------------------------------------------------------------------------------

    def leave_crew(self, c: int) -> int | None:
        pool = self.waiting_in[c]
        if pool is not None:
            self.queues[pool] = [w for w in self.queues[pool] if w[2] != c]
            self.waiting_in[c] = None
        pool = self.held[c]
        if pool is not None:
            self.busy[pool] -= 1
            self.held[c] = None
        return pool

    def request_crew(self, c: int, s: int) -> None:
        crew = self.ip.crews.get((c, s))
        if crew is None:
            return
        pool, priority = crew
        self.requests[pool] += 1
        if self.busy[pool] < self.ip.pools[pool]:
            self.busy[pool] += 1
            self.held[c] = pool
            return
        self.hits["crew_queue"] += 1
        self.queues[pool].append((self.current_time, priority, c))
        self.queues[pool].sort(key=self.service_order)
        self.longest[pool] = max(self.longest[pool], len(self.queues[pool]))
        self.waiting_in[c] = pool

    def service_order(self, waiting: tuple[int, int, int]) -> tuple[int, ...]:
        """First come first served, then priority, then component index."""
        return waiting

    def hand_out(self, pool: int) -> None:
        if self.busy[pool] < self.ip.pools[pool] and self.queues[pool]:
            self.hits["crew_hand_out"] += 1
            _, _, w = self.queues[pool].pop(0)
            self.waiting_in[w] = None
            self.held[w] = pool
            self.busy[pool] += 1
            self.resample_component(w)

    # -- one move ---------------------------------------------------------------------------

    def apply_move(self, c: int, to: int, moved: list[int]) -> None:
        self.moves_applied += 1
        old = self.states[c]
        self.states[c] = to
        if c not in moved:
            moved.append(c)
        released = self.leave_crew(c)
        if (self.kind(c, old) != WORKING) != (self.kind(c, to) != WORKING):
            self.refresh()
        if self.kind(c, old) == WORKING and self.kind(c, to) == FAILED:
            self.component_failures[c] += 1
        self.request_crew(c, to)
        if released is not None:
            self.hand_out(released)

    def switch(self, c: int, to: int, moved: list[int]) -> None:
        self.count_move()
        self.apply_move(c, to, moved)

    def unit_states(self, g: int, i: int) -> tuple[int, int, int, int]:
        units, act, stand, failed, _, _ = self.ip.groups[g]
        return units[i], act[i], stand[i], failed[i]

    def reconcile_group(self, g: int, moved: list[int]) -> bool:
        units, _, _, _, q, _ = self.ip.groups[g]
        revert = self.reverts(g)
        changed = False
        a = self.active[g]
        if a is not None:
            c, on, _, _ = self.unit_states(g, a)
            if self.states[c] != on:
                self.active[g] = None
                self.active_in[c] = None
                a = None
                changed = True
        end = len(units) if a is None else (a if revert else 0)
        for i in range(end):
            c, on, _, switch_failed = self.unit_states(g, i)
            if self.active_in[c] is not None or self.kind(c, self.states[c]) != WORKING:
                continue
            if self.states[c] != on:
                if q > 0 and self.draw() < q:
                    self.hits["switch_failure"] += 1
                    self.switch(c, switch_failed, moved)
                    changed = True
                    continue
                self.switch(c, on, moved)
            if a is not None:
                self.hits["revert"] += 1
                old, _, old_standby, _ = self.unit_states(g, a)
                self.active_in[old] = None
                self.switch(old, old_standby, moved)
            self.active[g] = i
            self.active_in[c] = g
            return True
        return changed

    def reverts(self, g: int) -> bool:
        return self.ip.groups[g][5]

    # -- spare modules: units of several parts ----------------------------------------------

    def usable(self, u: int) -> bool:
        if u < self.n:
            return self.kind(u, self.states[u]) == WORKING
        return not self.down_nodes[self.ip.modules[u - self.n][0]]

    def in_service(self, m: int) -> bool:
        g = self.active_in[self.n + m]
        return g is not None and self.awake[g]

    def settle(self, c: int, on: bool, moved: list[int]) -> None:
        """A part (or unit) from a waiting state to its running one, or back."""
        to = (self.to_running if on else self.to_waiting)[c].get(self.states[c])
        if to is not None:
            self.switch(c, to, moved)

    def unit_pair(self, c: int) -> tuple[int, int]:
        for units, act, stand, *_ in self.ip.groups:
            if c in units:
                i = list(units).index(c)
                return act[i], stand[i]
        raise AssertionError(f"{c} is no unit")

    def serve(self, u: int, on: bool, moved: list[int]) -> None:
        if u < self.n:
            self.settle(u, on, moved)
            return
        _, parts, _, _, inner = self.ip.modules[u - self.n]
        for c in parts:
            self.settle(c, on, moved)
        for g in inner:
            if self.awake[g] != on:
                self.hits["group_wakes" if on else "group_sleeps"] += 1
                self.awake[g] = on
                a = self.active[g]
                if a is not None:
                    self.serve(self.ip.groups[g][0][a], on, moved)

    def reconcile_modular(self, g: int, moved: list[int]) -> bool:
        units = self.ip.groups[g][0]
        on = self.awake[g]
        changed = False
        a = self.active[g]
        if a is not None:
            u = units[a]
            if u < self.n:
                holds = self.states[u] in (self.to_waiting if on else self.to_running)[u]
            else:
                holds = self.usable(u)
            if not holds:
                self.active[g] = None
                self.active_in[u] = None
                if u >= self.n:
                    self.hits["module_lost"] += 1
                    self.serve(u, False, moved)
                a = None
                changed = True
        end = len(units) if a is None else (a if self.reverts(g) else 0)
        for i in range(end):
            u = units[i]
            if self.active_in[u] is not None or not self.usable(u):
                continue
            self.active[g] = i
            self.active_in[u] = g
            if u < self.n:
                active, standby = self.unit_pair(u)
                s = self.states[u]
                if s in (self.to_waiting if on else self.to_running)[u]:
                    to = s  # in a running state (a waiting one, asleep) already
                else:
                    to = (self.to_running if on else self.to_waiting)[u].get(s)
                    to = (active if on else standby) if to is None else to
                if s != to:
                    self.switch(u, to, moved)
            else:
                self.hits["module_switched_in"] += 1
                self.serve(u, on, moved)
            if a is not None:
                self.active_in[units[a]] = None
                self.serve(units[a], False, moved)
            return True
        return changed

    def reconcile(self, moved: list[int]) -> None:
        while True:
            changed = True
            while changed:
                changed = False
                for g in range(self.n_groups):
                    if self.modular[g]:
                        changed = self.reconcile_modular(g, moved) or changed
                    else:
                        changed = self.reconcile_group(g, moved) or changed
            for g in range(self.n_groups):
                for i, u in enumerate(self.ip.groups[g][0]):
                    if u >= self.n:
                        _, parts, _, _, _ = self.ip.modules[u - self.n]
                        for c in parts:
                            self.settle(c, self.in_service(u - self.n), moved)
                        continue
                    c, on, standby, _ = self.unit_states(g, i)
                    if self.active_in[c] is None and self.states[c] == on:
                        self.hits["active_to_standby"] += 1
                        self.switch(c, standby, moved)
            again = False
            for g in range(self.n_groups):
                down = self.active[g] is None
                if down != self.leaf_down[g]:
                    self.hits["group_leaf_" + ("down" if down else "up")] += 1
                    self.leaf_down[g] = down
                    self.refresh()
                    again = again or any(self.modular)
                if self.planned:
                    self.leaf_planned[g] = down and self.planned_reasons(g)
            if not again:
                return

    def is_unit(self, c: int) -> bool:
        return c in self.to_running

    def applies(self, c: int, condition: Any) -> bool:
        """Whether a move finds its component in a state it moves from."""
        s = self.states[c]
        if condition == "working":
            return self.kind(c, s) == WORKING
        if isinstance(condition, FromStates):
            if s not in condition.states:
                return False
            if condition.probability >= 1:
                return True
            self.hits["trigger_draw"] += 1
            return self.draw() < condition.probability
        if isinstance(condition, tuple):
            return s in condition
        return True

    def fire_triggers(self, down_before: list[bool], pending: list[Any]) -> None:
        """Triggers whose source changed in the direction they watch, in the order added."""
        for source, on_failure, trigger_moves, *chance in self.ip.triggers:
            now = self.down_nodes[source]
            if now != down_before[source] and now == on_failure:
                self.hits["trigger"] += 1
                for i, (mc, from_states, mto) in enumerate(trigger_moves):
                    last = i == len(trigger_moves) - 1
                    states = tuple(from_states)
                    condition = FromStates(states, chance[0]) if chance else states
                    pending.append((mc, mto, condition, last))

    def process(self, c: int, to: int, condition: Any, last: bool, pending: list[Any]) -> None:
        """One move of a batch; the batch's switch-overs, cause, triggers and fresh draws
        follow its last move."""
        if self.batch is None:
            self.batch = Batch(list(self.down_nodes), self.failure_down())
        batch = self.batch
        if self.applies(c, condition):
            if condition != "own":
                self.count_move()
            self.apply_move(c, to, batch.moved)
            batch.last_applied = c
            top_before = batch.failure_before[self.top]
            if self.event_component is None and batch.cause is None and not top_before:
                if self.failure_down()[self.top]:
                    batch.cause = c
        if last:
            self.batch = None
            self.finish_batch(batch, pending)

    def finish_batch(self, batch: Batch, pending: list[Any]) -> None:
        moved = batch.moved
        # With spare modules any move may turn a module's node: the groups look again.
        if any(self.is_unit(u) for u in moved) or (any(self.modular) and moved):
            self.reconcile(moved)
        after = self.failure_down()
        before = batch.failure_before
        if not before[self.top] and after[self.top]:
            # The event's component is credited (a trigger's source, not what it moved); a
            # common cause credits the move that turned the top, or the batch's last one
            # when its switch-overs did.
            if self.event_component is not None:
                credited = self.event_component
            elif batch.cause is not None:
                credited = batch.cause
            else:
                self.hits["cause_at_switch_over"] += 1
                credited = batch.last_applied
            self.cause = (
                credited,
                tuple(
                    g
                    for g in range(len(self.gates))
                    if after[self.n_leaves + g] and not before[self.n_leaves + g]
                ),
            )
        self.fire_triggers(batch.down_before, pending)
        for u in moved:
            self.resample_component(u)

    # -- the run ----------------------------------------------------------------------------

    def snapshot_until(self, t: int) -> None:
        down = [self.kind(c, s) != WORKING for c, s in enumerate(self.states)]
        gate_down = self.down_nodes[self.n_leaves :]
        queues = [len(q) for q in self.queues]
        for _ in range(self.current_time, t):
            self.snapshots.append((self.code, down + gate_down, list(self.busy), queues))

    def n_first_component(self, e: int) -> int:
        return e if e < self.n else self.ip.causes[e - self.n][1][0]

    def start(self) -> None:
        for g, (units, _, _, _, _, _) in enumerate(self.ip.groups):
            for i, u in enumerate(units):
                if self.active_in[u] is None:
                    self.active_in[u] = g
                    self.active[g] = i
                    break

        def awake(g: int) -> bool:
            m = self.owner[g]
            holder = None if m is None else self.active_in[self.n + m]
            return m is None or (holder is not None and awake(holder))

        self.awake = [awake(g) for g in range(self.n_groups)]
        for units, act, stand, _, _, _ in self.ip.groups:
            for i, c in enumerate(units):
                if c < self.n:
                    serving = self.active_in[c] is not None and self.awake[self.active_in[c]]
                    self.states[c] = act[i] if serving else stand[i]
        for m, (_, parts, act, stand, _) in enumerate(self.ip.modules):
            for c, a, b in zip(parts, act, stand, strict=True):
                self.states[c] = a if self.in_service(m) else b
        for g in range(self.n_groups):
            if self.active[g] is None:
                self.hits["group_down_at_start"] += 1
                self.leaf_down[g] = True
                self.refresh()
                self.leaf_planned[g] = self.planned and self.planned_reasons(g)
        if any(self.modular):
            # A module may be down from the start: the groups pass once, drawing nothing.
            self.reconcile([])
            self.moves_here = 0
        self.first_draws()

    def first_draws(self) -> None:
        """Every component samples its row, then every common cause draws once."""
        for c in range(self.n):
            self.sample(c, initial=True)
        for k in range(len(self.ip.causes)):
            self.sample_cause(k, initial=True)
        after = self.failure_down()
        self.start_gates = tuple(g for g in range(len(self.gates)) if after[self.n_leaves + g])

    def cause_moves(self, k: int) -> list[tuple[int, int, str, bool]]:
        """The moves of common cause k's members as it strikes: each from a working state,
        the last closing the batch."""
        _, members, to_states = self.ip.causes[k]
        return [
            (m, s, "working", i == len(members) - 1)
            for i, (m, s) in enumerate(zip(members, to_states, strict=True))
        ]

    def process_all(self, pending: list[Any]) -> None:
        """Each pending move in turn, those they add included."""
        i = 0
        while i < len(pending):
            self.process(*pending[i], pending)
            i += 1

    def run(self) -> InteractingResult:  # type: ignore[override]
        self.start()
        while True:
            e = min(range(len(self.due)), key=lambda i: (self.due[i], i))
            if self.due[e] >= self.sim_time:
                break
            t = max(int(self.due[e]), self.current_time)
            if t == self.current_time:
                self.count_move()
            else:
                self.snapshot_until(t)
                self.current_time = t
                self.moves_here = 1
            pending: list[Any] = []
            # Replaced by the move that turns the top down, if any does.
            self.cause = (self.n_first_component(e), self.start_gates)
            self.event_component = e if e < self.n else None
            if e < self.n:
                self.due[e] = math.inf
                pending.append((e, self.to_state[e], "own", True))
            else:
                k = e - self.n
                self.hits["common_cause"] += 1
                self.sample_cause(k, initial=False)
                pending += self.cause_moves(k)
            self.process_all(pending)
            unplanned = self.unplanned_top()
            code = 1 if unplanned else (2 if self.down_nodes[self.top] else 0)
            if unplanned and self.code != 1:
                self.turns[t] = self.cause
            if code == 2:
                self.hits["planned_down"] += 1
            self.code = code
        self.snapshot_until(self.sim_time)
        self.current_time = self.sim_time
        return self.result()

    def result(self) -> InteractingResult:
        codes = [s[0] for s in self.snapshots]
        # One failure per stop (a stretch of units not up): at its first unit down for a
        # failure, however often planned units come between.
        failures, counted = [], False
        for t, x in enumerate(codes):
            if x == 1 and not counted:
                failures.append(t)
                if t > 0 and codes[t - 1] == 2:
                    self.hits["planned_to_unplanned"] += 1
            elif x == 1 and codes[t - 1] == 2:
                self.hits["failure_resumed"] += 1
            counted = x != 0 and (counted or x == 1)
        n_nodes = self.n + len(self.gates)
        node_down = [sum(s[1][i] for s in self.snapshots) for i in range(n_nodes)]
        pools = range(len(self.ip.pools))
        return InteractingResult(
            codes=codes,
            component_downtime=node_down[: self.n],
            component_failures=list(self.component_failures),
            gate_downtime=node_down[self.n :],
            gate_failures=list(self.gate_failures),
            gate_unit_failures=[
                unit_failures([s[1][self.n + g] for s in self.snapshots])
                for g in range(len(self.gates))
            ],
            causes=[self.turns[t] for t in failures],
            crew_busy=[sum(s[2][p] for s in self.snapshots) for p in pools],
            crew_wait=[sum(s[3][p] for s in self.snapshots) for p in pools],
            crew_requests=list(self.requests),
            crew_longest=list(self.longest),
            crew_saturated=[
                sum(
                    self.snapshots[t][2][p] == self.ip.pools[p] and self.snapshots[t][3][p] > 0
                    for t in failures
                )
                for p in pools
            ],
        )


def interacting_statistics(
    results: Sequence[InteractingResult],
    sim_time: int,
    n_components: int,
    n_gates: int,
    planned: bool,
    n_pools: int,
) -> dict[str, list[Any]]:
    """What runnerStatistics with interactions reports for these runs, by attribute name."""
    units = range(max(sim_time, 0))
    first = [0] * len(units)
    triggered = [0] * n_components
    gate_triggered = [0] * n_gates
    for r in results:
        ones = [t for t, x in enumerate(r.codes) if x == 1]
        if ones:
            first[ones[0]] += 1
        for c, gates in r.causes:
            triggered[c] += 1
            for g in gates:
                gate_triggered[g] += 1

    def total(name: str, n: int) -> list[int]:
        return [sum(getattr(r, name)[i] for r in results) for i in range(n)]

    def squares(name: str, n: int) -> list[float]:
        return [float(sum(getattr(r, name)[i] ** 2 for r in results)) for i in range(n)]

    out: dict[str, list[Any]] = {
        "failedRuns": [sum(r.codes[t] != 0 for r in results) for t in units],
        "firstFailures": first,
        "systemFailures": [len(r.causes) for r in results],
        "downtime": [sum(x != 0 for x in r.codes) for r in results],
        "componentDowntime": total("component_downtime", n_components),
        "componentFailures": total("component_failures", n_components),
        "triggeredFailures": triggered,
        "componentDowntimeSquares": squares("component_downtime", n_components),
        "gateDowntime": total("gate_downtime", n_gates),
        "gateFailures": total("gate_failures", n_gates),
        "gateTriggered": gate_triggered,
        "gateDowntimeSquares": squares("gate_downtime", n_gates),
        "plannedRuns": [sum(r.codes[t] == 2 for r in results) for t in units] if planned else [],
        "plannedDowntime": [sum(x == 2 for x in r.codes) for r in results] if planned else [],
        "crewBusy": total("crew_busy", n_pools),
        "crewBusySquares": squares("crew_busy", n_pools),
        "crewWait": total("crew_wait", n_pools),
        "crewWaitSquares": squares("crew_wait", n_pools),
        "crewRequests": total("crew_requests", n_pools),
        "crewRequestsSquares": squares("crew_requests", n_pools),
        "crewWaitTimesRequests": [
            float(sum(r.crew_wait[p] * r.crew_requests[p] for r in results))
            for p in range(n_pools)
        ],
        "crewLongestQueue": total("crew_longest", n_pools),
        "crewLongestQueueSquares": squares("crew_longest", n_pools),
        "crewSaturatedFailures": total("crew_saturated", n_pools),
        "crewSaturatedFailuresSquares": squares("crew_saturated", n_pools),
        "crewSaturatedTimesSystemFailures": [
            float(sum(r.crew_saturated[p] * len(r.causes) for r in results))
            for p in range(n_pools)
        ],
    }
    out |= count_squares(
        [(len(r.causes), r.component_failures, r.gate_unit_failures, r.causes) for r in results],
        n_components,
        0,
        n_gates,
    )
    return out


# -- rare events: RESTART splitting -------------------------------------------------------

MASK64 = (1 << 64) - 1
# The delay of a draw due at once (below the 32-bit range), as the engine's toDelay gives it.
DUE_AT_ONCE = INT32_MIN
# Laws that a copy draws again from their law given their age (the others keep their draw).
CONTINUOUS_LAWS = ("Weibull", "Lognormal", "Gamma", "Uniform")


def split_mix(z: int) -> int:
    """SplitMix64's finaliser of z + the golden gamma."""
    z = (z + 0x9E3779B97F4A7C15) & MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def split_seed(seed: int, root: int, trajectory: int) -> int:
    """The seed of a splitting trajectory: SplitMix64 of (seed, root), mixed with its number."""
    pair = ((seed & MASK32) << 32) | (root & MASK32)
    return split_mix(split_mix(pair) ^ trajectory) & MASK32


def rare_run_seed(seed: int, run: int) -> int:
    """The seed of failure-biased run ``run`` of a batch seeded ``seed``."""
    return split_mix(((seed & MASK32) << 32) | (run & MASK32)) & MASK32


def c_log(x: float) -> float:
    """C's log: -inf at 0 and NaN below, where Python's raises."""
    return math.log(x) if x > 0 else -math.inf if x == 0 else math.nan


def c_expm1(x: float) -> float:
    """C's expm1: inf past the double range, where Python's raises."""
    try:
        return math.expm1(x)
    except OverflowError:
        return math.inf


def c_div(a: float, b: float) -> float:
    """C's a / b: a signed infinity or NaN for a zero b, where Python's raises."""
    try:
        return a / b
    except ZeroDivisionError:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def to_delay(value: float) -> int:
    if math.isnan(value) or value >= 2147483648.0:
        return NO_TRANSITION
    if value < -2147483648.0:
        return DUE_AT_ONCE
    return int(value)


def failure_distance(gates: Sequence[GateDesc], failed: Sequence[int]) -> list[int]:
    """Each gate's distance to failure: the further component failures that would fail it,
    the sum of its inputs' nearest (as many as fail it; an input listed twice counts twice),
    capped at 2**29."""
    return gate_distances(gates, [0 if s != 0 else 1 for s in failed])


def gate_distances(gates: Sequence[GateDesc], leaves: Sequence[int]) -> list[int]:
    """Each gate's distance to failure, given each leaf's: how many failures bring it down."""
    far = 1 << 29
    dist = list(leaves)
    for kind, inputs, k in gates:
        needed = GATE_THRESHOLDS[kind](k, len(inputs))
        dist.append(min(far, sum(sorted(dist[i] for i in inputs)[:needed])))
    return dist[len(leaves) :]


def uniform53(rng: MT19937) -> float:
    """A uniform number in [0, 1) of 53 bits, from two outputs."""
    high = rng.next_u32() >> 5
    low = rng.next_u32() >> 6
    return (high * 67108864.0 + low) * 2.0**-53


def law_kind(dist: Any) -> str:
    """ "never" (the base Distribution), "exp" (an Exponential) or the law's class name."""
    name = type(dist).__name__
    return "never" if name == "Distribution" else "exp" if name == "Exponential" else name


def row_redrawable(row: Sequence[Any]) -> bool:
    """Whether a copy draws this row again: every law never, exponential, or continuous and
    never below 0 (a law that may draw below 0 is kept: a first draw there was no
    transition)."""
    kinds = [law_kind(d) for d in row]
    if any(k not in ("never", "exp", *CONTINUOUS_LAWS) for k in kinds):
        return False
    return not any(
        k in CONTINUOUS_LAWS and float(d.cdf(0.0)) > 0 for d, k in zip(row, kinds, strict=True)
    )


def redraw_row(
    row: Sequence[Any],
    rate_of: Callable[[Any], float],
    at: int,
    elapsed: float,
    draw53: Callable[[], float],
) -> tuple[int, int]:
    """A row drawn at unit ``at`` drawn again, given that none of its cells fired within
    ``elapsed`` units of it: the earliest cell's delay from ``at`` and the cell. An
    exponential cell's rate is ``rate_of(law)``."""
    best, best_state = NO_TRANSITION, 0
    for j, dist in enumerate(row):
        kind = law_kind(dist)
        if kind == "never":
            continue
        p = draw53()
        if kind == "exp":
            v = elapsed + c_div(-math.log1p(-p), rate_of(dist))
        else:
            below = float(dist.cdf(elapsed))
            try:
                v = float(dist.quantile(below + p * (1.0 - below), at))
            except IndexError:
                v = -math.inf
            v = elapsed if v < elapsed else v
        t = to_delay(v)
        if t < best:
            best, best_state = t, j
    return best, best_state


def biased_row_log(
    log: float,
    row: Sequence[Any],
    rate_of: Callable[[Any], float],
    factor: float,
    elapsed: int,
    fired: int,
) -> float:
    """``log`` plus the log likelihood ratio of a row whose exponential cells were drawn at
    ``factor`` times their rates ``elapsed`` units ago: cell ``fired`` firing now, or (-1)
    none firing before now. A cell listed before the one that fired waited a unit more (the
    earlier cell wins a tie). Cell by cell, in order, as the engine sums them."""
    for j, dist in enumerate(row):
        if law_kind(dist) != "exp":
            continue
        rate = rate_of(dist)
        drawn = rate * factor
        if j == fired:
            log += (drawn - rate) * elapsed + c_log(-c_expm1(-rate)) - c_log(-c_expm1(-drawn))
        else:
            log += (drawn - rate) * (elapsed + 1 if fired >= 0 and j < fired else elapsed)
    return log


@dataclass
class SplitRoot:
    """What the engine's SplittingSimulation::run (and InteractingSplitting::run) returns
    for one root."""

    failure_unit: list[int] = field(default_factory=list)
    cause: list[int] = field(default_factory=list)
    downtime: int = 0
    failures: int = 0
    trajectories: int = 0
    crossings: list[int] = field(default_factory=list)
    born: list[int] = field(default_factory=list)
    through: list[int] = field(default_factory=list)
    # what only the interacting engine's roots fill in
    failure_weight: list[float] = field(default_factory=list)
    failed_count: list[int] = field(default_factory=list)
    failed: list[int] = field(default_factory=list)
    weighted_downtime: float = 0.0
    weighted_failures: float = 0.0


def demand_chance(dist: Any) -> float:
    """A failure on demand's chance: b / (b - a) for a Uniform(a, b) with a < 0 < b, both
    finite; 0 for any other law."""
    if type(dist).__name__ != "Uniform":
        return 0.0
    a, b = float(dist.quantile(0.0, 0)), float(dist.quantile(1.0, 0))
    if not (math.isfinite(a) and math.isfinite(b) and a < 0 < b):
        return 0.0
    return b / (b - a)


class RareRows:
    """What the rare-event engines share, written plainly: the rows of the plain model over
    threshold gates, drawn with 53 bits; the pending transition of every component is looked
    for by a scan (earliest due, then lowest index); the verdict and the distances are
    recomputed from scratch after every move. ``rates`` gives each Exponential's rate by id."""

    def __init__(
        self,
        matrix: Sequence[Sequence[Sequence[Any]]],
        rates: Mapping[int, float],
        gates: Sequence[GateDesc],
        top: int,
        sim_time: int,
    ) -> None:
        self.matrix, self.rates, self.gates, self.top = matrix, rates, gates, top
        self.n = len(matrix)
        self.sim_time = sim_time
        self.start = self.distance([0] * self.n)
        self.states, self.to_state = [0] * self.n, [0] * self.n
        self.drawn_at, self.due = [0] * self.n, [0] * self.n
        self.now = 0

    def next_component(self) -> int:
        return min(range(self.n), key=lambda i: (self.due[i], i))

    def distance(self, states: Sequence[int]) -> int:
        return failure_distance(self.gates, states)[self.top - self.n]

    def top_failed(self) -> bool:
        return gate_states(self.gates, self.states)[self.top - self.n]

    def draw53(self) -> float:
        return uniform53(self.rng)

    def kind(self, dist: Any) -> str:
        return law_kind(dist)

    def draw_row(
        self,
        c: int,
        at: int,
        factor: float = 1.0,
        first: bool = False,
        demand: float = 0.0,
        life: float = 0.0,
    ) -> tuple[int, int]:
        """Component c's row from its state at unit ``at``, its exponentials' rates times
        ``factor``: the earliest cell's whole-unit delay and the cell. The run's first draw
        (``first``) reads a value below 0 or past 2147483647 as no transition, and draws a
        failure on demand (a Uniform(a, b), a < 0 < b) of chance below ``demand`` with that
        chance, its weight added to ``log_weight``. A working Weibull, lognormal or gamma
        cell (or an exponential one when ``factor`` leaves the row's rates as they are
        because the row is not all exponential) that ends before the run's end with a chance
        p below ``life`` ends there with chance ``life`` instead, weighed likewise."""
        best, best_state = NO_TRANSITION, 0
        row_biased = "exp" in {self.kind(d) for d in self.matrix[c][0]} and {
            self.kind(d) for d in self.matrix[c][0]
        } <= {"exp", "never"}
        for j, dist in enumerate(self.matrix[c][self.states[c]]):
            kind = self.kind(dist)
            if kind == "never":
                continue
            chance = demand_chance(dist) if first else 0.0
            rest = float(self.sim_time - at)
            forced = 0.0
            if life > 0 and self.states[c] == 0 and rest > 0:
                if kind == "exp" and not row_biased:
                    forced = -math.expm1(-self.rates[id(dist)] * rest)
                elif kind in ("Weibull", "Lognormal", "Gamma"):
                    forced = float(dist.cdf(rest))
            if 0.0 < chance < demand:
                u = self.draw53()
                if u >= demand:
                    self.log_weight += math.log1p(-chance) - math.log1p(-demand)
                    v = float(NO_TRANSITION)
                else:
                    self.log_weight += c_log(chance) - c_log(demand)
                    v = u / demand * float(dist.quantile(1.0, 0))
            elif 0.0 < forced < life:
                u = self.draw53()
                if u >= life:
                    self.log_weight += math.log1p(-forced) - math.log1p(-life)
                    v = float(NO_TRANSITION)
                else:
                    self.log_weight += c_log(forced) - c_log(life)
                    q = u / life * forced
                    v = (
                        c_div(-math.log1p(-q), self.rates[id(dist)])
                        if kind == "exp"
                        else float(dist.quantile(q, at))
                    )
            else:
                p = self.draw53()
                if kind == "exp":
                    v = c_div(-math.log1p(-p), self.rates[id(dist)] * factor)
                else:
                    try:
                        v = float(dist.quantile(p, at))
                    except IndexError:
                        v = -math.inf
            if first and (v < 0 or v > NO_TRANSITION):
                v = float(NO_TRANSITION)
            t = to_delay(v)
            if t < best:
                best, best_state = t, j
        return best, best_state

    def schedule(self, c: int, best: int, best_state: int, base: int) -> None:
        self.to_state[c] = best_state
        if best == NO_TRANSITION:
            self.due[c] = base + NO_TRANSITION
        elif best < 0:
            self.due[c] = self.now
        else:
            self.due[c] = base + best


class SplittingReference(RareRows):
    """RESTART splitting of the plain model over threshold gates, by the rules of the engine's
    SplittingSimulation."""

    def __init__(
        self,
        matrix: Sequence[Sequence[Sequence[Any]]],
        rates: Mapping[int, float],
        gates: Sequence[GateDesc],
        top: int,
        sim_time: int,
        thresholds: Sequence[int],
        splits: Sequence[int],
    ) -> None:
        super().__init__(matrix, rates, gates, top, sim_time)
        self.thresholds, self.splits = list(thresholds), list(splits)

    def draw(self, c: int, at: int, first: bool = False) -> None:
        best, best_state = self.draw_row(c, at, first=first)
        self.drawn_at[c] = at
        self.schedule(c, best, best_state, at)

    def redraw(self, c: int, start: int) -> None:
        row = self.matrix[c][self.states[c]]
        if not row_redrawable(row):
            return
        at = self.drawn_at[c]
        best, best_state = redraw_row(
            row, lambda d: self.rates[id(d)], at, float(start - at), self.draw53
        )
        self.schedule(c, best, best_state, at)

    def level(self) -> int:
        importance = self.start - self.distance(self.states)
        return sum(1 for t in self.thresholds if importance >= t)

    def run(self, seed: int, root: int) -> SplitRoot:
        levels = len(self.thresholds)
        out = SplitRoot(
            crossings=[0] * (levels - 1), born=[0] * (levels - 1), through=[0] * (levels - 1)
        )
        waiting: list[tuple[Any, ...]] = []
        trajectory = 0
        self.rng = MT19937(split_seed(seed, root, trajectory))
        trajectory += 1
        self.states, self.to_state = [0] * self.n, [0] * self.n
        self.drawn_at, self.due = [0] * self.n, [0] * self.n
        self.now, self.cause = 0, -1
        for c in range(self.n):
            self.draw(c, 0, first=True)
        if self.sim_time > 0:
            self.follow([0, 0, False, False, False], out, waiting)
        out.trajectories += 1
        while waiting:
            now, moved, cause, path, states, to_state, drawn_at, due = waiting.pop()
            self.now, self.cause = now, cause
            self.states, self.to_state = list(states), list(to_state)
            self.drawn_at, self.due = list(drawn_at), list(due)
            self.rng = MT19937(split_seed(seed, root, trajectory))
            trajectory += 1
            for c in range(self.n):
                self.redraw(c, now + 1 if c < moved else now)
            self.follow(list(path), out, waiting)
            out.trajectories += 1
        return out

    def follow(self, path: list[Any], out: SplitRoot, waiting: list[tuple[Any, ...]]) -> None:
        """Runs one trajectory; ``path`` is [born, level, path failed, was failed, went on]."""
        failed_level = len(self.thresholds)
        while True:
            c = self.next_component()
            d = self.due[c]
            t = self.sim_time if d >= self.sim_time else self.now if d < self.now else d
            if t != self.now:
                down = self.top_failed()
                if down:
                    out.downtime += t - self.now
                    out.failures += 0 if path[3] else 1
                    if not path[2]:
                        out.failure_unit.append(self.now)
                        out.cause.append(self.cause)
                        path[2] = True
                path[3] = down
                if t >= self.sim_time:
                    return
            self.now = t
            old, new = self.states[c], self.to_state[c]
            self.states[c] = new
            self.draw(c, t)
            if (old == 0) == (new == 0):
                continue
            self.states[c] = old
            was = self.top_failed()
            self.states[c] = new
            if not was and self.top_failed():
                self.cause = c
            level = self.level()
            if level < path[0]:
                return
            if path[0] > 0 and level > path[0] and not path[4]:
                out.through[path[0] - 1] += 1
                path[4] = True
            for k in range(path[1] + 1, min(level, failed_level - 1) + 1):
                out.crossings[k - 1] += 1
                copies = self.splits[k - 1] - 1
                for _ in range(copies):
                    waiting.append(
                        (
                            t,
                            c,
                            self.cause,
                            (k, k, path[2], path[3], False),
                            tuple(self.states),
                            tuple(self.to_state),
                            tuple(self.drawn_at),
                            tuple(self.due),
                        )
                    )
                out.born[k - 1] += copies
            path[1] = level


# -- rare events: failure biasing ---------------------------------------------------------


class BiasedReference(RareRows):
    """Failure-biased runs of the plain model over threshold gates, to the first unit that
    ends with the system failed, by the rules of the engine's BiasedSimulation: a component
    whose working row (state 0) is all exponential draws its failures at the rate times the
    factor of the system's state, when its failure would bring the top nearer; a crossing
    draws again every working biased component whose factor changed; each biased row's
    weight is settled when it fires or is dropped. ``run`` returns (first failure unit, log
    weight, cause)."""

    def __init__(
        self,
        matrix: Sequence[Sequence[Sequence[Any]]],
        rates: Mapping[int, float],
        gates: Sequence[GateDesc],
        top: int,
        sim_time: int,
        while_working: float,
        while_degraded: float,
        max_moves: int = 200_000,
        demand: float = 0.0,
        life: float = 0.0,
    ) -> None:
        super().__init__(matrix, rates, gates, top, sim_time)
        self.while_working, self.while_degraded = while_working, while_degraded
        self.demand, self.life = demand, life
        self.max_moves = max_moves
        self.biased = []
        for comp in matrix:
            kinds = {self.kind(d) for d in comp[0]}
            self.biased.append("exp" in kinds and kinds <= {"exp", "never"})

    def draw(self, c: int, at: int, factor: float, first: bool = False) -> None:
        f = factor if self.biased[c] and self.states[c] == 0 else 1.0
        best, best_state = self.draw_row(c, at, f, first, self.demand if first else 0.0, self.life)
        self.drawn_at[c], self.factor[c] = at, f
        self.schedule(c, best, best_state, at)
        if best < 0:  # due at once: at the unit it was drawn from, which may be the next
            self.due[c] = at

    def settle(self, c: int, now: int, fired: int) -> None:
        f = self.factor[c]
        if f == 1.0:
            return
        self.log_weight = biased_row_log(
            self.log_weight,
            self.matrix[c][0],
            lambda d: self.rates[id(d)],
            f,
            now - self.drawn_at[c],
            fired,
        )
        self.factor[c] = 1.0

    def factor_of(self, c: int) -> float:
        if not self.biased[c] or self.states[c] != 0:
            return 1.0
        factor = self.while_working if self.n_failed == 0 else self.while_degraded
        if factor == 1.0:
            return factor
        before = self.distance(self.states)
        self.states[c] = 1
        nearer = self.distance(self.states) < before
        self.states[c] = 0
        return factor if nearer else 1.0

    def settled_log(self, at: int) -> float:
        """The log weight with every pending biased row settled for "not yet" at ``at``."""
        log = self.log_weight
        for c in range(self.n):
            if self.factor[c] != 1.0:
                log = biased_row_log(
                    log,
                    self.matrix[c][0],
                    lambda d: self.rates[id(d)],
                    self.factor[c],
                    at - self.drawn_at[c],
                    -1,
                )
        return log

    def run(self, seed: int, run: int, to_horizon: bool = False) -> tuple[Any, ...]:
        """(first failure unit, its log weight, cause); with ``to_horizon``, the run goes on
        to the horizon, and (units ended failed, failures, the whole path's log weight)
        follow."""
        self.rng = MT19937(rare_run_seed(seed, run))
        self.states = [0] * self.n
        self.factor = [1.0] * self.n
        self.n_failed, self.log_weight, self.cause, self.now = 0, 0.0, -1, 0
        for c in range(self.n):
            self.draw(c, 0, self.factor_of(c), first=True)
        first: tuple[int, float, int] | None = None
        downtime = failures = 0
        failed_before = False
        if self.top_failed():
            first = (0, self.settled_log(0), -1)
            if not to_horizon:
                return first
        for _ in range(self.max_moves):
            c = self.next_component()
            if self.due[c] >= self.sim_time:
                break
            t = max(self.due[c], self.now)
            if t != self.now:  # unit now ends, its state held until t
                if self.top_failed():
                    if first is None:
                        first = (self.now, self.settled_log(self.now + 1), self.cause)
                        if not to_horizon:
                            return first
                    downtime += t - self.now
                    failures += not failed_before
                failed_before = self.top_failed()
            self.now = t
            old, new = self.states[c], self.to_state[c]
            self.settle(c, t, new)
            if (old == 0) != (new == 0):
                was = self.top_failed()
                self.states[c] = new
                if not was and self.top_failed():
                    self.cause = c
                self.n_failed += 1 if new != 0 else -1
                for d in range(self.n):
                    if d == c or not self.biased[d] or self.states[d] != 0:
                        continue
                    factor = self.factor_of(d)
                    if factor != self.factor[d]:
                        start = t + 1 if d < c else t
                        self.settle(d, start, -1)
                        self.draw(d, start, factor)
            self.states[c] = new
            self.draw(c, t, self.factor_of(c))
        else:
            raise ReferenceLoopError("too many moves")
        if self.now < self.sim_time and self.top_failed():
            if first is None:
                first = (self.now, self.settled_log(self.now + 1), self.cause)
                if not to_horizon:
                    return first
            downtime += self.sim_time - self.now
            failures += not failed_before
        if first is None:  # a failure that a repair undid within its unit is none
            first = (self.sim_time, self.settled_log(self.sim_time), -1)
        if not to_horizon:
            return first
        return (*first, downtime, failures, self.settled_log(self.sim_time))


# -- rare events: splitting of models with interactions -----------------------------------

# The key of a row a copy parks: beyond any unit a run reaches, and unlike any other key.
PARKED = float(2**40)
# A copy parks the all-exponential rows of a total rate below this.
DEFER_BELOW = 0.01


def exponential_rate(row: Sequence[Any], rate_of: Callable[[Any], float]) -> float:
    """The summed rate of a row whose every cell is never or exponential at a positive finite
    rate, one exponential at least; else 0."""
    total = 0.0
    for dist in row:
        kind = law_kind(dist)
        if kind == "exp":
            rate = rate_of(dist)
            if not (rate > 0 and math.isfinite(rate)):
                return 0.0
            total += rate
        elif kind != "never":
            return 0.0
    return total


class InteractingTrajectory(InteractingRun):
    """An ``InteractingRun`` made one event at a time, with what splitting reads and copies:
    the importance (recomputed from scratch: a component counts one failure from down, a
    group's leaf as many as it has units in a working state, at least 1 while up), each
    pending row's unit and event of drawing, the draws a copy makes again (``retry``), and
    the likelihood ratio of common causes drawn more often (``cause_factors``) and of first
    failures drawn more often while the system is at its start level (``start_factor``).
    ``rates`` gives each Exponential's rate by id, those of the common causes too."""

    SHARED = frozenset({"matrix", "ip", "maintenance", "rng", "hits", "rates", "gates", "kinds"})

    def __init__(
        self,
        sim_time: int,
        matrix: Sequence[Sequence[Sequence[Any]]],
        seed: int,
        interplay: Interplay,
        gates: Sequence[GateDesc],
        top: int,
        rates: Mapping[int, float],
        cause_factors: Sequence[float],
        start_factor: float,
        maintenance: Mapping[int, Sequence[int]] | None = None,
        max_transitions: int | None = None,
    ) -> None:
        super().__init__(
            sim_time, matrix, seed, interplay, gates, top, max_transitions, maintenance
        )
        self.rates = rates
        n_items = self.n + len(interplay.causes)
        self.drawn_at, self.drawn_in = [0] * n_items, [0] * n_items
        self.events, self.last_event = 0, -1
        self.failure_cause = 0
        self.fired_log = 0.0
        # Common causes: each one's factor, the log ratio of a firing, the summed drift.
        self.cause_factors = list(cause_factors) or [1.0] * len(interplay.causes)
        self.cause_log, self.cause_drift = [], 0.0
        for (dist, _, _), f in zip(interplay.causes, self.cause_factors, strict=True):
            rate = exponential_rate([dist], self.rate_of)
            biased = rate * f
            self.cause_log.append(
                c_log(-c_expm1(-rate)) - c_log(-c_expm1(-biased)) if f > 1.0 else 0.0
            )
            self.cause_drift += biased - rate
        self.causes_biased = self.cause_drift > 0.0
        # First failures: the factor, and per pending row its factor, state and drift.
        self.start_factor = start_factor
        self.start_biased = start_factor > 1.0
        self.start_regime = False
        self.row_factor = [1.0] * self.n
        self.row_state = [0] * self.n
        self.row_drift = [0.0] * self.n
        self.pending_drift, self.pending_offset = 0.0, 0.0
        leaves = [1] * self.n + [max(1, len(g[0])) for g in interplay.groups]
        self.start_distance = gate_distances(self.gates, leaves)[top - self.n_leaves]

    def rate_of(self, dist: Any) -> float:
        return self.rates[id(dist)]

    def copy_at_rest(self) -> InteractingTrajectory:
        other = copy.copy(self)
        for name, value in vars(self).items():
            if name not in self.SHARED:
                setattr(other, name, copy.deepcopy(value))
        return other

    # -- what splitting reads ----------------------------------------------------------------

    def importance(self) -> int:
        down = self.evaluate(planned_only=False)
        leaves = [0 if self.kind(c, s) != WORKING else 1 for c, s in enumerate(self.states)]
        for g, (units, *_) in enumerate(self.ip.groups):
            working = 0
            if not self.leaf_down[g]:
                for u in units:
                    if u < self.n:
                        working += self.kind(u, self.states[u]) == WORKING
                    else:
                        working += not down[self.ip.modules[u - self.n][0]]
                working = max(working, 1)
            leaves.append(working)
        return self.start_distance - gate_distances(self.gates, leaves)[self.top - self.n_leaves]

    def failed_now(self) -> list[int]:
        """The components down, then the groups' leaves down (numbered n + g)."""
        down = [c for c, s in enumerate(self.states) if self.kind(c, s) != WORKING]
        return down + [self.n + g for g in range(self.n_groups) if self.leaf_down[g]]

    def log_ratio(self) -> float:
        return self.fired_log + self.pending_offset

    def drift(self) -> float:
        return (self.cause_drift if self.causes_biased else 0.0) + self.pending_drift

    def next_unit(self) -> int:
        due = min(self.due)
        return self.sim_time if due >= self.sim_time else max(int(due), self.current_time)

    # -- draws ---------------------------------------------------------------------------

    def start_rate(self, c: int, s: int) -> float:
        """The summed rate of c's row from s when first failures bias it: s working, every
        cell never or exponential at a positive finite rate, one leading to a failed state."""
        if self.kind(c, s) != WORKING:
            return 0.0
        total, fails = 0.0, False
        for j, dist in enumerate(self.matrix[c][s]):
            kind = law_kind(dist)
            if kind == "never":
                continue
            if kind != "exp" or not (self.rate_of(dist) > 0 and math.isfinite(self.rate_of(dist))):
                return 0.0
            total += self.rate_of(dist)
            fails = fails or self.kind(c, j) == FAILED
        return total if fails else 0.0

    def first_draws(self) -> None:
        self.start_regime = self.start_biased and self.importance() == 0
        super().first_draws()

    def sample(self, c: int, initial: bool) -> None:
        if self.start_regime and self.start_rate(c, self.states[c]) > 0:
            self.draw_biased(c, self.current_time, initial)
            return
        self.drawn_at[c], self.drawn_in[c] = self.current_time, self.events
        super().sample(c, initial)

    def draw_biased(self, c: int, at: int, initial: bool) -> None:
        """c's row drawn at the start factor from unit ``at``, one 24-bit draw per cell."""
        self.hits["start_biased_draw"] += 1
        state, factor = self.states[c], self.start_factor
        best, to_state = NO_TRANSITION, 0
        for j, dist in enumerate(self.matrix[c][state]):
            p = self.draw()
            if law_kind(dist) == "never":
                continue
            v = -math.log(1.0 - p) / (self.rate_of(dist) * factor)
            if initial and v > NO_TRANSITION:
                v = float(NO_TRANSITION)
            t = to_delay(v)
            if t < best:
                best, to_state = t, j
        self.due[c], self.to_state[c] = at + best, to_state
        self.drawn_at[c], self.drawn_in[c] = at, self.events
        self.row_factor[c], self.row_state[c] = factor, state
        self.row_drift[c] = (factor - 1.0) * self.start_rate(c, state)
        self.pending_drift += self.row_drift[c]
        self.pending_offset -= self.row_drift[c] * at

    def settle_row(self, c: int, fired: int, start: int) -> None:
        """The weight of c's biased row: cell ``fired`` firing at ``start``, or (-1) none
        before it. The row counts as drawn as its law says from then on."""
        self.fired_log = biased_row_log(
            self.fired_log,
            self.matrix[c][self.row_state[c]],
            self.rate_of,
            self.row_factor[c],
            start - self.drawn_at[c],
            fired,
        )
        self.pending_drift -= self.row_drift[c]
        self.pending_offset += self.row_drift[c] * self.drawn_at[c]
        self.row_factor[c], self.row_drift[c] = 1.0, 0.0

    def resample_component(self, c: int) -> None:
        if self.row_factor[c] != 1.0:
            self.settle_row(c, -1, self.not_before(c))
        super().resample_component(c)

    def sample_cause(self, k: int, initial: bool) -> None:
        self.drawn_at[self.n + k], self.drawn_in[self.n + k] = self.current_time, self.events
        value = self.quantile(self.ip.causes[k][0], self.draw())
        if self.causes_biased:
            value /= self.cause_factors[k]
        delay = self.initial_delay(value) if initial else self.resample_delay(value)
        self.due[self.n + k] = self.current_time + delay

    def not_before(self, item: int) -> int:
        """The unit item's pending row is known not to fire before: the next for one listed
        before the last event's and not drawn in it (it would have come first)."""
        later = item < self.last_event and self.drawn_in[item] != self.events
        return max(self.current_time + 1 if later else self.current_time, self.drawn_at[item])

    # -- one event ------------------------------------------------------------------------

    def step(self) -> None:
        """The next event, whole: its moves, the triggers, switch-overs and verdict."""
        e = min(range(len(self.due)), key=lambda i: (self.due[i], i))
        t = max(int(self.due[e]), self.current_time)
        if t == self.current_time:
            self.count_move()
        else:
            self.current_time, self.moves_here = t, 1
        self.events += 1
        self.last_event = e
        self.cause = None  # set by the batch that turns the top, if any does
        self.event_component = e if e < self.n else None
        pending: list[Any] = []
        if e < self.n:
            if self.row_factor[e] != 1.0:
                self.settle_row(e, self.to_state[e], t)
            self.due[e] = math.inf
            pending.append((e, self.to_state[e], "own", True))
        else:
            k = e - self.n
            self.sample_cause(k, initial=False)
            if self.causes_biased:
                self.hits["biased_cause_fired"] += 1
                self.fired_log += self.cause_log[k]
            pending += self.cause_moves(k)
        self.process_all(pending)
        unplanned = self.unplanned_top()
        # The credited component stays the last batch's that turned the top; a system down
        # from the start credits the event's first component.
        if self.cause is not None:
            self.failure_cause = self.cause[0]
        elif unplanned and self.code != 1:
            self.failure_cause = self.n_first_component(e)
        self.code = 1 if unplanned else (2 if self.down_nodes[self.top] else 0)
        if self.start_biased and (self.importance() == 0) != self.start_regime:
            self.rebias()

    def rebias(self) -> None:
        """The system left its start level or came back: the rows first failures bias are
        drawn again at the factor of the new regime, from where they stand."""
        self.hits["rebias"] += 1
        self.start_regime = self.importance() == 0
        for c in range(self.n):
            biased = self.start_regime and self.start_rate(c, self.states[c]) > 0
            if (
                biased == (self.row_factor[c] != 1.0)
                or self.waiting_in[c] is not None
                or self.due[c] == PARKED
            ):
                continue
            start = self.not_before(c)
            if self.row_factor[c] != 1.0:
                self.settle_row(c, -1, start)
            if biased:
                self.draw_biased(c, start, initial=False)
            else:
                now, self.current_time = self.current_time, start
                InteractingRun.sample(self, c, initial=False)
                self.current_time = now
                self.drawn_at[c], self.drawn_in[c] = start, self.events

    # -- a copy ---------------------------------------------------------------------------

    def retry(self, seed: int, defer_below: float) -> list[tuple[int, int, float]]:
        """Makes this copy a retrial: a new generator, and every pending row that can be
        drawn again drawn again given that it has not fired yet, except the components'
        all-exponential rows of a total rate below ``defer_below``, which are parked and
        returned as (component, unit not due before, rate), in index order."""
        self.rng = MT19937(seed)
        self.moves_here = 0
        parked: list[tuple[int, int, float]] = []

        def redraw(item: int, row: Sequence[Any], rate_of: Callable[[Any], float]) -> None:
            start = self.not_before(item)
            if item < self.n and self.row_factor[item] != 1.0:
                self.settle_row(item, -1, start)
            at = self.drawn_at[item]
            rate = exponential_rate(row, rate_of)
            if item < self.n and 0 < rate < defer_below:
                self.due[item] = PARKED
                parked.append((item, start, rate))
                return
            best, to_state = redraw_row(row, rate_of, at, float(start - at), self.draw53)
            if item < self.n:
                self.to_state[item] = to_state
            self.due[item] = at + best

        for c in range(self.n):
            row = self.matrix[c][self.states[c]]
            if self.waiting_in[c] is None and row_redrawable(row):
                redraw(c, row, self.rate_of)
        for k, (dist, _, _) in enumerate(self.ip.causes):
            if row_redrawable([dist]):
                factor = self.cause_factors[k]
                redraw(self.n + k, [dist], lambda d, f=factor: self.rate_of(d) * f)
        self.hits["parked"] += len(parked)
        return parked

    def draw53(self) -> float:
        return uniform53(self.rng)

    def draw_parked(self, c: int, start: int, x: float, pick: float) -> None:
        """Parked row c drawn given that none of its cells fired before ``start`` + x: with
        ``pick`` in [0, 1), the cell at that fraction of the summed rates fires then; else
        each cell then plus a fresh exponential delay."""
        row = self.matrix[c][self.states[c]]
        at = self.drawn_at[c]
        since = float(start) - at + x
        best, to_state = NO_TRANSITION, 0
        if pick >= 0:
            total = 0.0
            for dist in row:
                total += self.rate_of(dist) if law_kind(dist) == "exp" else 0.0
            below = pick * total
            for j, dist in enumerate(row):
                if law_kind(dist) == "exp":
                    to_state = j
                    below -= self.rate_of(dist)
                    if below < 0:
                        break
            best = to_delay(since)
        else:
            for j, dist in enumerate(row):
                if law_kind(dist) != "exp":
                    continue
                t = to_delay(since - math.log1p(-self.draw53()) / self.rate_of(dist))
                if t < best:
                    best, to_state = t, j
        self.to_state[c], self.due[c] = to_state, at + best


@dataclass
class SplitPath:
    """What a trajectory carries beside its state (see the engine's SplitPath): the level it
    was born at, the level last seen, whether its path failed, whether the stop under way is
    down for a failure, whether it went on above its birth level, and for a weighed path its
    weight over the splits' weight per level (``excess``; empty: not weighed)."""

    born: int = 0
    level: int = 0
    path_failed: bool = False
    failed_stop: bool = False
    went_on: bool = False
    excess: list[float] = field(default_factory=list)


@dataclass
class ParkedGroup:
    """Rows a copy parked, none due before ``start``, the first of them firing at start + x,
    in unit ``due``."""

    start: int = 0
    rows: list[tuple[int, int, float]] = field(default_factory=list)
    total: float = 0.0
    x: float = 0.0
    due: float = math.inf


class InteractingSplittingReference:
    """RESTART splitting of models with interactions, by the rules of the engine's
    InteractingSplitting: the trajectories are ``InteractingTrajectory`` runs, the importance
    read after every event; a retrial is a copy at rest after the event that split it,
    seeded from (seed, root, trajectory), its pending rows drawn again (slow exponential rows
    parked in at most two groups, each group's first firing one exponential delay at its
    summed rate); a weighed path (common causes or first failures biased) splits by its
    weight: the whole part of its expected copies, plus one with the chance of the fraction.
    ``rates`` gives each Exponential's rate by id (the common causes' too)."""

    engine_class = InteractingTrajectory
    defer_below = DEFER_BELOW

    def __init__(
        self,
        sim_time: int,
        matrix: Sequence[Sequence[Sequence[Any]]],
        interplay: Interplay,
        gates: Sequence[GateDesc],
        top: int,
        rates: Mapping[int, float],
        splits: Sequence[int],
        cause_factors: Sequence[float] = (),
        start_factor: float = 1.0,
        maintenance: Mapping[int, Sequence[int]] | None = None,
        max_transitions: int | None = 100_000,
        max_events: int | None = None,
    ) -> None:
        self.sim_time = sim_time
        self.max_events = max_events  # per root, over its trajectories
        self.args = (sim_time, matrix, 0, interplay, gates, top, rates, cause_factors)
        self.start_factor = start_factor
        self.maintenance, self.max_transitions = maintenance, max_transitions
        self.failed_level = self.trajectory(0).start_distance
        self.thresholds = list(range(1, self.failed_level + 1))
        self.splits = list(splits)
        self.groups = [ParkedGroup(), ParkedGroup()]
        self.hits: Counter[str] = Counter()  # the rules reached, over every trajectory

    def trajectory(self, seed: int) -> InteractingTrajectory:
        sim_time, matrix, _, interplay, gates, top, rates, factors = self.args
        engine = self.engine_class(
            sim_time,
            matrix,
            seed,
            interplay,
            gates,
            top,
            rates,
            factors,
            self.start_factor,
            self.maintenance,
            self.max_transitions,
        )
        engine.hits = getattr(self, "hits", engine.hits)
        return engine

    def run(self, seed: int, root: int) -> SplitRoot:
        levels = len(self.thresholds)
        out = SplitRoot(
            crossings=[0] * (levels - 1), born=[0] * (levels - 1), through=[0] * (levels - 1)
        )
        waiting: list[tuple[InteractingTrajectory, SplitPath]] = []
        self.events = 0
        engine = self.trajectory(split_seed(seed, root, 0))
        trajectory = 1
        engine.start()
        self.groups = [ParkedGroup(), ParkedGroup()]
        if self.sim_time > 0:
            self.follow(engine, self.main_path(engine), out, waiting)
        out.trajectories += 1
        while waiting:
            engine, path = waiting.pop()
            parked = engine.retry(split_seed(seed, root, trajectory), self.defer_below)
            trajectory += 1
            self.group_parked(engine, parked)
            self.follow(engine, path, out, waiting)
            out.trajectories += 1
        return out

    def main_path(self, engine: InteractingTrajectory) -> SplitPath:
        """A root's first path: weighed when common causes or first failures are biased."""
        weighed = engine.causes_biased or engine.start_biased
        return SplitPath(excess=[1.0] * len(self.thresholds) if weighed else [])

    # -- parked rows ----------------------------------------------------------------------

    def group_parked(self, engine: InteractingTrajectory, parked: list[Any]) -> None:
        """The rows a copy parked in two groups: those not due before this unit, and before
        the next; each group's first firing drawn."""
        now = engine.current_time
        self.groups = [
            ParkedGroup(now, [r for r in parked if r[1] == now]),
            ParkedGroup(now + 1, [r for r in parked if r[1] != now]),
        ]
        for group in self.groups:
            if group.rows:
                self.draw_first(engine, group)

    def draw_first(self, engine: InteractingTrajectory, group: ParkedGroup) -> None:
        group.total = 0.0
        for _, _, rate in group.rows:
            group.total += rate
        group.x = -math.log1p(-engine.draw53()) / group.total
        delay = to_delay(group.x)
        group.due = math.inf if delay == NO_TRANSITION else group.start + delay

    def settle_parked(self, engine: InteractingTrajectory) -> None:
        """Draws the rows of every group due by the next event's unit (and before the end)."""
        while True:
            next_unit = engine.next_unit()
            due = [
                g for g in self.groups if g.rows and g.due <= next_unit and g.due < self.sim_time
            ]
            if not due:
                return
            group = min(due, key=lambda g: g.due)
            below = engine.draw53() * group.total
            first = len(group.rows) - 1
            for i, (_, _, rate) in enumerate(group.rows):
                below -= rate
                if below < 0:
                    first = i
                    break
            pick = engine.draw53()
            self.hits["parked_group_drawn"] += 1
            for i, (c, _, _) in enumerate(group.rows):
                engine.draw_parked(c, group.start, group.x, pick if i == first else -1.0)
            group.rows = []

    def after_event(self, engine: InteractingTrajectory) -> None:
        """Parked rows the event drew again leave; the others form one group from the next
        unit."""
        rows = [r for g in self.groups for r in g.rows]
        if all(engine.due[c] == PARKED for c, _, _ in rows):
            return
        self.hits["parked_regrouped"] += 1
        self.groups = [
            ParkedGroup(engine.current_time + 1, [r for r in rows if engine.due[r[0]] == PARKED]),
            ParkedGroup(),
        ]
        if self.groups[0].rows:
            self.draw_first(engine, self.groups[0])

    # -- the levels -----------------------------------------------------------------------

    def moved(
        self,
        engine: InteractingTrajectory,
        path: SplitPath,
        out: SplitRoot,
        waiting: list[tuple[InteractingTrajectory, SplitPath]],
    ) -> bool:
        """After an event: True when the trajectory falls below its birth level; else its
        retrials at each level newly reached, below the failed system's."""
        level = sum(1 for t in self.thresholds if engine.importance() >= t)
        if level < path.born:
            return True
        if path.born > 0 and level > path.born and not path.went_on:
            out.through[path.born - 1] += 1
            path.went_on = True
        ratio = (
            math.exp(engine.log_ratio() + engine.drift() * (engine.current_time + 1.0))
            * self.start_factor
        )
        for k in range(path.level + 1, min(level, self.failed_level - 1) + 1):
            out.crossings[k - 1] += 1
            copies = self.splits[k - 1] - 1
            if path.excess:
                expected = path.excess[k - 1] * ratio * self.splits[k - 1]
                whole = float(math.floor(expected))
                if expected > whole and engine.draw53() < expected - whole:
                    whole += 1.0
                copies = int(min(whole, 2147483647.0)) - 1
                self.hits["weighed_copies" if copies >= 0 else "roulette_stopped"] += 1
                path.excess[k] = c_div(1.0, ratio) if copies >= 0 else 0.0
            if copies <= 0:
                continue
            for _ in range(copies):
                copied = SplitPath(
                    k, k, path.path_failed, path.failed_stop, False, list(path.excess)
                )
                waiting.append((engine.copy_at_rest(), copied))
            out.born[k - 1] += copies
        path.level = level
        return False

    def unit_ends(
        self, engine: InteractingTrajectory, path: SplitPath, until: int, out: SplitRoot
    ) -> None:
        """The unit under way ends with the system as it is, which holds until ``until``."""
        state, now = engine.code, engine.current_time
        excess = path.excess[-1] if path.excess else 1.0
        log, drift = engine.log_ratio() + c_log(excess), engine.drift()
        at_now = math.exp(log + drift * (now + 1.0))
        if state != 0:
            out.downtime += until - now
            if drift == 0.0:
                out.weighted_downtime += math.exp(log) * (until - now)
            else:
                out.weighted_downtime += (
                    at_now * math.expm1(drift * (until - now)) / math.expm1(drift)
                )
        if state == 1:
            if not path.failed_stop:
                out.failures += 1
                out.weighted_failures += at_now
            if not path.path_failed and at_now > 0:
                failed = engine.failed_now()
                out.failure_unit.append(now)
                out.failure_weight.append(at_now)
                out.cause.append(engine.failure_cause)
                out.failed_count.append(len(failed))
                out.failed += failed
            path.path_failed = True
        path.failed_stop = state != 0 and (path.failed_stop or state == 1)

    def follow(
        self,
        engine: InteractingTrajectory,
        path: SplitPath,
        out: SplitRoot,
        waiting: list[tuple[InteractingTrajectory, SplitPath]],
    ) -> None:
        """Runs one trajectory to the end of the horizon or until it is dropped."""
        if path.born == 0 and self.moved(engine, path, out, waiting):
            return
        while True:
            self.settle_parked(engine)
            t = engine.next_unit()
            if t != engine.current_time:
                self.unit_ends(engine, path, t, out)
                if t >= self.sim_time:
                    return
            self.events += 1
            if self.max_events is not None and self.events > self.max_events:
                raise ReferenceLoopError(f"more than {self.max_events} events in a root")
            engine.step()
            self.after_event(engine)
            if self.moved(engine, path, out, waiting):
                return
