"""Unavailability of a redundant pumping station over one year.

The station has two identical pumps in parallel, either of which can carry the duty, and one
isolation valve in series with both. The station is down when both pumps are down, or when
the valve is.

Time unit: one hour; the horizon is one year (8760 h).

Pump states: 0 running, 1 degraded (worn bearings, vibration alarm), 2 failed. The engine
counts every state other than 0 as down, so a degraded pump is one that can no longer be
relied on to carry the duty; it is overhauled, or it breaks down if left running.
  running  -> degraded   Weibull wear-out, scale 2500 h, shape 2
  running  -> failed     Exponential, a sudden motor trip once in 20000 h on average
  degraded -> running    Exponential repair, 48 h on average
  degraded -> failed     Weibull, scale 300 h, shape 1.5
  failed   -> running    Exponential repair, 168 h (a week) on average
Every repair leaves the pump as good as new: the wear-out clock starts again.

Valve states: 0 working, 1 failed. The valve's actuator reaches its rated life and fails at
hour 6000 (a fixed-time failure); a failed valve is found at the next monthly proof test (every
730 h) and put back. Note how the engine treats the fixed time: it is an absolute instant, so
once it has passed, the restored valve's failure is already due and it fails again in the
same hour. From hour 6000 on the valve, and with it the station, is therefore down, which the
point unavailability at the proof test after it (hour 6570) shows.

Run: python examples/pumping_station.py [--runs N] [--plot PATH] [--seed S]
"""

import argparse
import time

import tavoq
import tavoq_tools as report

HOURS = 8760
VALVE_FAILS_AT = 6000
PROOF_TEST_EVERY = 730
PUMP_A, PUMP_B, VALVE = 0, 1, 2
REPORT_TIMES = [730, 2190, 4380, 5999, 6000, 6570, 8759]

never = tavoq.Distribution  # a transition that does not exist


def pump():
    return [
        [never(), tavoq.Weibull(2500.0, 2.0), tavoq.Exponential(1 / 20000)],
        [tavoq.Exponential(1 / 48), never(), tavoq.Weibull(300.0, 1.5)],
        [tavoq.Exponential(1 / 168), never(), never()],
    ]


def valve():
    # The engine gives every component as many states as the first one, so the valve gets an
    # unused third state.
    return [
        [never(), tavoq.InstantaneousFailure(VALVE_FAILS_AT), never()],
        [tavoq.Inspection(PROOF_TEST_EVERY), never(), never()],
        [never(), never(), never()],
    ]


def station_cutsets():
    """Down when both pumps are down, or when the valve is."""
    both_pumps, valve_alone = [0, 0, 0], [0, 0, 0]
    both_pumps[PUMP_A] = both_pumps[PUMP_B] = 1
    valve_alone[VALVE] = 1
    return [both_pumps, valve_alone]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200_000, help="total number of runs")
    parser.add_argument("--plot", default="build/pumping_station.png", help="PNG to write")
    parser.add_argument("--seed", type=int, default=20240601)
    args = parser.parse_args()
    if args.runs < 2:
        parser.error("--runs must be at least 2 (the interval needs two runs)")

    matrix = [pump(), pump(), valve()]
    tree = tavoq.CutsetTree(3)
    tree.constructTree(station_cutsets())
    n_runs = args.runs

    print(
        "Model: two pumps in parallel (running / degraded / failed; Weibull wear-out, "
        "exponential repairs) and a valve in series that fails at hour "
        f"{VALVE_FAILS_AT} and is proof-tested every {PROOF_TEST_EVERY} h; the station is "
        f"down when both pumps or the valve are down. Time unit: hour; horizon {HOURS} h."
    )
    start = time.perf_counter()
    stats = tavoq.runnerStatistics(n_runs, HOURS, matrix, tree, args.seed)
    elapsed = time.perf_counter() - start
    print(
        f"Runs: {n_runs} (seed {args.seed}) in "
        f"{elapsed:.2f} s, {n_runs / elapsed:,.0f} runs/s"
    )

    print(
        f"Note: from hour {VALVE_FAILS_AT} the valve stays down. A proof test restores it, but "
        "its fixed failure time has passed, so it fails again in the same hour."
    )
    curve = report.point_unavailability(stats.failedRuns, n_runs)
    mean = report.summarize(stats).mean_unavailability
    print(report.format_summary(curve, REPORT_TIMES, mean))
    # The same seeds over a shorter horizon replay the first hours of the same runs.
    early = tavoq.runnerStatistics(n_runs, VALVE_FAILS_AT, matrix, tree, args.seed)
    pumps_only = report.summarize(early).mean_unavailability
    print(
        f"Mean over 0..{VALVE_FAILS_AT - 1} h, before the valve's failure (pumps only): "
        f"{pumps_only.value:.4g}, 95% interval [{pumps_only.lower:.4g}, {pumps_only.upper:.4g}]"
    )

    written = report.plot_unavailability(
        curve, args.plot, mean, title="Pumping station: unavailability over one year",
        log_scale=True,
    )
    if written is not None:
        print(f"Plot written to {written.resolve()}")


if __name__ == "__main__":
    main()
