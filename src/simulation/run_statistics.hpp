#pragma once

#include <cstdint>
#include <vector>

namespace tavoq {

/// What runnerStatistics counts over a batch, beside the failed runs per time unit.
/// A system failure is a unit t at which the system is failed and either t = 0 or it was
/// working at t - 1; its cause is the last transition at t that turned the verdict from
/// working to failed, and the cut sets that transition completed (the gates it turned failed,
/// for a FaultTree).
struct RunStatistics {
    int nSimulations = 0;
    int simTime = 0;
    int seed = 0;
    /// The time units of a bin of the curves: bin b holds units b * binWidth up to the next
    /// bin's first, the last one up to simTime (it may be shorter); ceil(simTime / binWidth)
    /// bins in all. 1 gives a bin per unit.
    int binWidth = 1;
    /// Per bin: the sum over its units of the runs failed there (with binWidth 1, the runs
    /// failed at t); the runs whose first failed unit lies in it.
    std::vector<std::int64_t> failedRuns;
    std::vector<std::int64_t> firstFailures;
    /// Per run, in run order: system failures; failed time units.
    std::vector<std::int64_t> systemFailures;
    std::vector<std::int64_t> downtime;
    /// Per run: the first unit at which the system is failed, simTime when it never is. The
    /// curves may be binned; the time to first failure stays exact through this.
    std::vector<std::int64_t> firstFailureTimes;
    /// Per component, summed over runs: failed time units (state non-zero after the unit's
    /// transitions); transitions from state 0 to a failed state; system failures it caused.
    std::vector<std::int64_t> componentDowntime;
    std::vector<std::int64_t> componentFailures;
    std::vector<std::int64_t> triggeredFailures;
    /// Per component: the sum over runs of the square of that run's failed time units.
    std::vector<double> componentDowntimeSquares;
    /// Per component, summed over runs: the square of the run's failures; the square of the
    /// system failures it caused in the run, and those times the run's system failures (what
    /// an interval of its share of the system failures needs).
    std::vector<double> componentFailuresSquares;
    std::vector<double> triggeredFailuresSquares;
    std::vector<double> triggeredTimesSystemFailures;
    /// Per stored cut set (getCutsets order): system failures whose causing transition
    /// completed it. Empty for a FaultTree. Beside them, summed over runs, the square of the
    /// run's count and that count times the run's system failures.
    std::vector<std::int64_t> cutsetFailures;
    std::vector<double> cutsetFailuresSquares;
    std::vector<double> cutsetTimesSystemFailures;
    /// Per gate of a FaultTree (empty for cut sets), summed over runs: failed time units;
    /// crossings of its output from working to failed; system failures at which the causing
    /// transition turned it failed; and the sum of the squares of each run's failed units.
    std::vector<std::int64_t> gateDowntime;
    std::vector<std::int64_t> gateFailures;
    std::vector<std::int64_t> gateTriggered;
    std::vector<double> gateDowntimeSquares;
    /// Per gate, summed over runs: its failures counted as the system's, the units at which
    /// its output is failed after the unit's transitions and was working after the previous
    /// unit's (or t = 0), so that crossings undone within a unit count none; the squares of
    /// the run's count of those, and of its gateTriggered; that times the run's system
    /// failures.
    std::vector<std::int64_t> gateUnitFailures;
    std::vector<double> gateUnitFailuresSquares;
    std::vector<double> gateTriggeredSquares;
    std::vector<double> gateTriggeredTimesSystemFailures;
    /// Per component, over the batch: the draws of a run's first pass (one per to-state) that
    /// fell below 0, and those past kNoTransition, each then read as no transition. The other
    /// runners print a warning line for each instead (platform::printDelayOutOfBounds).
    std::vector<std::int64_t> negativeDelays;
    std::vector<std::int64_t> delaysPastLimit;
    /// With interactions whose kinds include planned states (else empty): per bin, the sum
    /// over its units of the runs that are down only for planned reasons (failedRuns
    /// includes them); per run, those units (downtime includes them).
    std::vector<std::int64_t> plannedRuns;
    std::vector<std::int64_t> plannedDowntime;
    /// Per crew pool of the interactions (else empty), summed over runs, each with the sum of
    /// its squares over runs: crew-units busy; units waiting for a crew (summed over the
    /// waiting components); requests for a crew; and the run's longest queue. Beside them
    /// the sum over runs of waiting units times requests, for a ratio's interval.
    std::vector<std::int64_t> crewBusy;
    std::vector<double> crewBusySquares;
    std::vector<std::int64_t> crewWait;
    std::vector<double> crewWaitSquares;
    std::vector<std::int64_t> crewRequests;
    std::vector<double> crewRequestsSquares;
    std::vector<double> crewWaitTimesRequests;
    std::vector<std::int64_t> crewLongestQueue;
    std::vector<double> crewLongestQueueSquares;
};

/// Sums of squares of per-run counts: a run's count is below 2^31, its square below 2^62, and
/// 2^31 runs of them fit in 128 bits, so the sums are exact whatever the thread count and are
/// rounded to double once, at the end.
__extension__ using SquareSum = unsigned __int128;

/// One thread's share of a batch's statistics: sums over the runs it performed. A failed
/// stretch of a run adds, in O(1), its units in the bins where it starts and ends to
/// `failedUnits`, and marks the whole bins between them in `wholeBins`, a difference array
/// (+1 at the first whole bin, -1 past the last) whose prefix sums count the runs failed
/// throughout a bin: a bin's failed units are its failedUnits plus binWidth times that count.
/// Counts of runs are 32-bit, kept modulo 2^32 where they are changes (every prefix sum is a
/// count of runs, so the wrap is exact); units are 64-bit.
struct StatisticsSlot {
    /// `nGates`: the graph's gates, whose causes are counted; `nTrackedGates`: those with
    /// statistics of their own (all of a FaultTree's, none of the cut sets' graph).
    /// `planned`: keep the planned-down curve; `nPools`: crew pools.
    StatisticsSlot(int nBins, int nComponents, int nGates, int nTrackedGates, bool planned = false,
                   int nPools = 0);

    std::vector<std::uint64_t> failedUnits;   // per bin: units of stretches ending in it
    std::vector<std::uint32_t> wholeBins;     // per bin: difference array of whole bins
    std::vector<std::uint32_t> firstFailures; // per bin
    std::vector<std::int64_t> componentDowntime;
    std::vector<std::int64_t> componentFailures;
    std::vector<std::int64_t> triggeredFailures;
    std::vector<SquareSum> componentDowntimeSquares;
    std::vector<SquareSum> componentFailuresSquares;
    std::vector<SquareSum> triggeredSquares;
    std::vector<SquareSum> triggeredTimesFailures;
    std::vector<std::int64_t> gateTriggered;           // per graph gate: the cut sets' causes too
    std::vector<SquareSum> gateTriggeredSquares;       // per graph gate, as gateTriggered
    std::vector<SquareSum> gateTriggeredTimesFailures; // per graph gate, as gateTriggered
    std::vector<std::int64_t> gateDowntime;
    std::vector<std::int64_t> gateFailures;
    std::vector<SquareSum> gateDowntimeSquares;
    std::vector<std::int64_t> gateUnitFailures;
    std::vector<SquareSum> gateUnitFailuresSquares;
    std::vector<std::int64_t> negativeDelays;
    std::vector<std::int64_t> delaysPastLimit;
    std::vector<std::uint64_t> plannedUnits;     // per bin, as failedUnits
    std::vector<std::uint32_t> plannedWholeBins; // per bin, as wholeBins
    std::vector<std::int64_t> crewBusy;          // per pool, the sums of RunStatistics
    std::vector<SquareSum> crewBusySquares;
    std::vector<std::int64_t> crewWait;
    std::vector<SquareSum> crewWaitSquares;
    std::vector<std::int64_t> crewRequests;
    std::vector<SquareSum> crewRequestsSquares;
    std::vector<SquareSum> crewWaitTimesRequests;
    std::vector<std::int64_t> crewLongestQueue;
    std::vector<SquareSum> crewLongestQueueSquares;
};

/// The product of two per-run counts as a term of a SquareSum.
inline SquareSum squareTerm(std::int64_t a, std::int64_t b) {
    return static_cast<SquareSum>(static_cast<std::uint64_t>(a)) *
           static_cast<SquareSum>(static_cast<std::uint64_t>(b));
}

/// Failed time units and failures of one run per item (component or gate), settled at the
/// run's end for the items the run touched only, so that a run costs its transitions, not
/// the model's size.
///
/// A failure is counted in one of two ways: `count` adds one per call (a component's
/// transition from working to failed); `failed` and `restored` with `perUnit` count the units
/// at which the item is failed after the unit's crossings and was working before them, as a
/// system failure is counted. For that each crossing notes, at the item's first crossing of
/// a unit, whether the item was failed before the unit; while it was not, a crossing to failed
/// adds one and a crossing back takes it away, so that crossings undone within the unit
/// leave nothing.
class RunDowntime {
public:
    explicit RunDowntime(int n)
        : since(static_cast<std::size_t>(n), -1), units(static_cast<std::size_t>(n), 0),
          failures(static_cast<std::size_t>(n), 0), crossedIn(static_cast<std::size_t>(n), -1),
          failedBefore(static_cast<std::size_t>(n), 0), listed(static_cast<std::size_t>(n), 0) {
        touched.reserve(static_cast<std::size_t>(n));
    }
    template <bool perUnit = false> void failed(int i, int t) {
        const auto k = list(i);
        since[k] = t;
        if constexpr (perUnit) {
            crossed<true>(k, t);
        }
    }
    template <bool perUnit = false> void restored(int i, int t) {
        const auto k = static_cast<std::size_t>(i);
        units[k] += t - since[k];
        since[k] = -1;
        if constexpr (perUnit) {
            crossed<false>(k, t);
        }
    }
    void count(int i) { ++failures[list(i)]; }
    /// Adds each touched item's units, failures and their squares to the sums, and forgets
    /// the run.
    void settle(int simTime, std::int64_t *downtime, SquareSum *squares, std::int64_t *failureSums,
                SquareSum *failureSquares);

private:
    std::size_t list(int i) {
        const auto k = static_cast<std::size_t>(i);
        if (listed[k] == 0) {
            listed[k] = 1;
            touched.push_back(i); // within the reserved capacity
        }
        return k;
    }
    template <bool kToFailed> void crossed(std::size_t k, int t) {
        if (crossedIn[k] != t) {
            crossedIn[k] = t;
            failedBefore[k] = kToFailed ? 0 : 1;
        }
        if (failedBefore[k] == 0) {
            failures[k] += kToFailed ? 1 : -1;
        }
    }

    std::vector<int> since; // while failed: the unit it failed at; else -1
    std::vector<std::int64_t> units;
    std::vector<std::int64_t> failures;
    std::vector<int> crossedIn;             // the unit of the item's latest crossing, or -1
    std::vector<std::uint8_t> failedBefore; // whether it was failed before that unit
    std::vector<std::uint8_t> listed;
    std::vector<int> touched;
};

/// Counts of one run per item (the system failures a component or a gate caused), settled
/// at the run's end, for the items the run touched only, into their sums of squares and of
/// the products with the run's system failures.
class RunCounts {
public:
    explicit RunCounts(int n) : counts(static_cast<std::size_t>(n), 0) {
        touched.reserve(static_cast<std::size_t>(n));
    }
    void add(int i) {
        if (counts[static_cast<std::size_t>(i)]++ == 0) {
            touched.push_back(i); // within the reserved capacity
        }
    }
    void settle(std::int64_t systemFailures, SquareSum *squares, SquareSum *timesFailures);

private:
    std::vector<std::int64_t> counts;
    std::vector<int> touched;
};

} // namespace tavoq
