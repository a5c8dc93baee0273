"""Plain-Python Monte Carlo loop for the reference model, without tavoq.

This is the loop a reliability engineer would write by hand: an event-driven
simulation of one run, with list-based component states, exponential sampling
through ``random.Random(seed)`` and ``math.log``, and a straightforward cut-set
check. It simulates the same model the same event-driven way as tavoq (every
component holds one pending transition sampled from its current state, the
earliest fires, only that component is sampled again, delays are truncated to
whole time units, the system state is checked after every transition), but it
uses Python's own random generator, so it does not reproduce tavoq's numbers
run for run; its mean unavailability agrees only statistically.

Used by bench/bench_runners.py as the baseline of the speed comparison.
"""

import math
import random

NEVER = 2147483647  # no pending transition


def reference_model(n_components=10, failure_mean=1000.0, repair_mean=10.0):
    """The reference model: two-state components, exponential failure and
    repair, cut sets made of consecutive pairs {0,1}, {2,3}, ...

    Returns (rates, cutsets): rates[c][from_state] is a list of
    (to_state, rate) pairs; cutsets is a list of lists of component indices.
    """
    rates = []
    for _ in range(n_components):
        rates.append(
            [
                [(1, 1.0 / failure_mean)],  # state 0 (working) -> 1 (failed)
                [(0, 1.0 / repair_mean)],  # state 1 (failed) -> 0 (working)
            ]
        )
    cutsets = [[i, i + 1] for i in range(0, n_components - 1, 2)]
    return rates, cutsets


def simulate_run(horizon, rates, cutsets, seed):
    """Simulate one run over time units 0 .. horizon-1.

    Returns a list of length ``horizon``: 1 where the system is failed at that
    time unit, 0 where it works.
    """
    rng = random.Random(seed)
    n = len(rates)
    states = [0] * n  # current state of every component
    next_time = [NEVER] * n  # absolute time of the pending transition
    next_state = [0] * n  # state it leads to

    def sample(c, now):
        best_t = NEVER
        best_s = 0
        for to_state, rate in rates[c][states[c]]:
            delay = -math.log(1.0 - rng.random()) / rate
            t = now + int(delay)
            if t < best_t:
                best_t = t
                best_s = to_state
        next_time[c] = best_t
        next_state[c] = best_s

    for c in range(n):
        sample(c, 0)

    out = []
    now = 0
    failed = 0
    while True:
        # earliest pending transition (lowest index on ties)
        chosen = -1
        t_min = NEVER
        for c in range(n):
            if next_time[c] < t_min:
                t_min = next_time[c]
                chosen = c
        if chosen < 0 or t_min >= horizon:
            out.extend([failed] * (horizon - len(out)))
            return out
        # system state holds from now up to the transition
        if t_min > now:
            out.extend([failed] * (t_min - len(out)))
            now = t_min
        states[chosen] = next_state[chosen]
        # the system is failed when every member of some cut set is failed
        failed = 0
        for cs in cutsets:
            all_down = True
            for c in cs:
                if states[c] == 0:
                    all_down = False
                    break
            if all_down:
                failed = 1
                break
        # the state at time unit `now` is the one after its last transition
        if len(out) > now:
            out[now] = failed
        else:
            out.append(failed)
        sample(chosen, now)


if __name__ == "__main__":
    rates, cutsets = reference_model()
    runs = 200
    total = 0
    for s in range(runs):
        total += sum(simulate_run(8760, rates, cutsets, s))
    print("mean unavailability over %d runs: %.3g" % (runs, total / (runs * 8760.0)))
