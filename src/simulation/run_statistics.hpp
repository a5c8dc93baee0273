#pragma once

#include <cstdint>
#include <vector>

namespace tavoq {

/// What runnerStatistics counts over a batch, beside the failed runs per time unit.
/// A system failure is a unit t at which the system is failed and either t = 0 or it was
/// working at t - 1; its cause is the last transition at t that turned the verdict from
/// working to failed, and the cut sets that transition completed.
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
    /// Per stored cut set (getCutsets order): system failures whose causing transition
    /// completed it.
    std::vector<std::int64_t> cutsetFailures;
};

/// One thread's share of a batch's statistics: sums over the runs it performed. Per-time-unit
/// counts are 32-bit (a count of runs), kept as changes and summed up at the end.
struct StatisticsSlot {
    StatisticsSlot(int simTime, int nComponents, int nCutsets);

    std::vector<std::uint32_t> failedChanges; // difference array of failed runs
    std::vector<std::uint32_t> firstFailures;
    std::vector<std::int64_t> componentDowntime;
    std::vector<std::int64_t> componentFailures;
    std::vector<std::int64_t> triggeredFailures;
    std::vector<std::int64_t> cutsetFailures;
};

} // namespace tavoq
