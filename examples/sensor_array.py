"""Saw-tooth unavailability of a two-out-of-three sensor array with hidden failures.

Three pressure transmitters feed a trip function that votes two out of three: the function is
lost when at least two transmitters have failed. A transmitter fails silently, so a failure
stays hidden until the next proof test, which finds every failed transmitter and restores it.
Right after a test all three work; the unavailability then grows until the next test and drops
back, the classic saw-tooth.

Time unit: one hour; the horizon is two years (17520 h), with a proof test every six months
(4380 h).

Transmitter states: 0 working, 1 failed (hidden).
  working -> failed    Exponential, rate 5e-5 per hour (once in about 2.3 years)
  failed  -> working   Inspection every 4380 h: restored at the next proof test

The engine starts a failure at the whole hour below its sampled time, so a transmitter is down
at hour tau after a test with probability q = 1 - exp(-rate * (tau + 1)), and the array with
3 q^2 - 2 q^3. That value is printed next to the simulated one as a check.

Run: python examples/sensor_array.py [--runs N] [--plot PATH] [--seed S]
"""

import argparse
import math
import time

import tavoq
import tavoq_tools as report

HOURS = 2 * 8760
PROOF_TEST_EVERY = 4380
FAILURE_RATE = 5e-5
N_SENSORS = 3

never = tavoq.Distribution


def transmitter():
    return [
        [never(), tavoq.Exponential(FAILURE_RATE)],
        [tavoq.Inspection(PROOF_TEST_EVERY), never()],
    ]


def expected_unavailability(t):
    q = 1.0 - math.exp(-FAILURE_RATE * (t % PROOF_TEST_EVERY + 1))
    return 3 * q * q - 2 * q**3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20_000, help="total number of runs")
    parser.add_argument("--plot", default=None, help="also write the curve to this PNG")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    if args.runs < 2:
        parser.error("--runs must be at least 2 (the interval needs two runs)")

    matrix = [transmitter() for _ in range(N_SENSORS)]
    tree = tavoq.CutsetTree(N_SENSORS)
    tree.constructTree(report.k_out_of_n_cutsets(N_SENSORS, 2))
    n_runs = args.runs

    start = time.perf_counter()
    stats = tavoq.runnerStatistics(n_runs, HOURS, matrix, tree, args.seed)
    elapsed = time.perf_counter() - start
    curve = report.point_unavailability(stats.failedRuns, n_runs)
    mean = report.summarize(stats).mean_unavailability

    print(
        f"2-out-of-3 transmitters, hidden failures (rate {FAILURE_RATE}/h), proof test every "
        f"{PROOF_TEST_EVERY} h, {HOURS} h horizon: {n_runs} runs in {elapsed:.2f} s"
    )
    print(report.text_curve(curve.value, rows=24, width=50))
    times = [0, 2190, 4379, 4380, 6570, 8759, 13139, 17519]
    print(report.format_summary(curve, times, mean))
    print("Expected at those hours: "
          + ", ".join(f"{t}: {expected_unavailability(t):.4g}" for t in times))
    expected_mean = sum(expected_unavailability(t) for t in range(HOURS)) / HOURS
    print(f"Expected mean over the horizon: {expected_mean:.4g}")

    if args.plot:
        written = report.plot_unavailability(
            curve, args.plot, mean, title="2-out-of-3 sensor array with proof tests"
        )
        if written is not None:
            print(f"Plot written to {written.resolve()}")


if __name__ == "__main__":
    main()
