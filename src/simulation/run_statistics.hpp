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
    /// Per time unit: runs failed at t; runs failed at t for the first time.
    std::vector<std::int64_t> failedRuns;
    std::vector<std::int64_t> firstFailures;
    /// Per run, in run order: system failures; failed time units.
    std::vector<std::int64_t> systemFailures;
    std::vector<std::int64_t> downtime;
    /// Per component, summed over runs: failed time units (state non-zero after the unit's
    /// transitions); transitions from state 0 to a failed state; system failures it caused.
    std::vector<std::int64_t> componentDowntime;
    std::vector<std::int64_t> componentFailures;
    std::vector<std::int64_t> triggeredFailures;
    /// Per component: the sum over runs of the square of that run's failed time units.
    std::vector<double> componentDowntimeSquares;
    /// Per stored cut set (getCutsets order): system failures whose causing transition
    /// completed it. Empty for a FaultTree.
    std::vector<std::int64_t> cutsetFailures;
    /// Per gate of a FaultTree (empty for cut sets), summed over runs: failed time units;
    /// crossings of its output from working to failed; system failures at which the causing
    /// transition turned it failed; and the sum of the squares of each run's failed units.
    std::vector<std::int64_t> gateDowntime;
    std::vector<std::int64_t> gateFailures;
    std::vector<std::int64_t> gateTriggered;
    std::vector<double> gateDowntimeSquares;
};

/// Sums of squares of per-run counts: a run's count is below 2^31, its square below 2^62, and
/// 2^31 runs of them fit in 128 bits, so the sums are exact whatever the thread count and are
/// rounded to double once, at the end.
__extension__ using SquareSum = unsigned __int128;

/// One thread's share of a batch's statistics: sums over the runs it performed. Per-time-unit
/// counts are 32-bit (a count of runs), kept as changes and summed up at the end.
struct StatisticsSlot {
    /// `nGates`: the graph's gates, whose causes are counted; `nTrackedGates`: those with
    /// statistics of their own (all of a FaultTree's, none of the cut sets' graph).
    StatisticsSlot(int simTime, int nComponents, int nGates, int nTrackedGates);

    std::vector<std::uint32_t> failedChanges; // difference array of failed runs
    std::vector<std::uint32_t> firstFailures;
    std::vector<std::int64_t> componentDowntime;
    std::vector<std::int64_t> componentFailures;
    std::vector<std::int64_t> triggeredFailures;
    std::vector<SquareSum> componentDowntimeSquares;
    std::vector<std::int64_t> gateTriggered; // per graph gate: the cut sets' causes too
    std::vector<std::int64_t> gateDowntime;
    std::vector<std::int64_t> gateFailures;
    std::vector<SquareSum> gateDowntimeSquares;
};

/// Failed time units of one run per item (component or gate), settled at the run's end for
/// the items the run touched only, so that a run costs its transitions, not the model's size.
class RunDowntime {
public:
    explicit RunDowntime(int n)
        : since(static_cast<std::size_t>(n), -1), units(static_cast<std::size_t>(n), 0),
          listed(static_cast<std::size_t>(n), 0) {
        touched.reserve(static_cast<std::size_t>(n));
    }
    void failed(int i, int t) {
        const auto k = static_cast<std::size_t>(i);
        if (listed[k] == 0) {
            listed[k] = 1;
            touched.push_back(i); // within the reserved capacity
        }
        since[k] = t;
    }
    void restored(int i, int t) {
        const auto k = static_cast<std::size_t>(i);
        units[k] += t - since[k];
        since[k] = -1;
    }
    /// Adds each touched item's units and their square to the sums, and forgets the run.
    void settle(int simTime, std::int64_t *downtime, SquareSum *squares);

private:
    std::vector<int> since; // while failed: the unit it failed at; else -1
    std::vector<std::int64_t> units;
    std::vector<std::uint8_t> listed;
    std::vector<int> touched;
};

} // namespace tavoq
