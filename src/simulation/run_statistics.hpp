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

/// The recorder of runnerStatistics (see recorders.hpp for the protocol). Writes each run's
/// own counts at its index of the batch's per-run arrays, so threads write disjoint entries.
class StatisticsRecorder {
public:
    static constexpr bool kTracksComponents = true;
    static constexpr bool kTracksCauses = true;

    /// `systemFailures` and `downtime` are the batch's per-run arrays.
    StatisticsRecorder(StatisticsSlot &slot, std::int64_t *systemFailures, std::int64_t *downtime,
                       int nComponents, int nCutsets);

    /// The index of the next run in the batch.
    void setRun(int i) { run = static_cast<std::size_t>(i); }

    void beginRun() {
        failed = 0;
        failures = 0;
        failedUnits = 0;
        everFailed = false;
    }
    void stretch(int from, int to, std::uint32_t state) {
        if (state != failed) {
            failed = state;
            if (state != 0) {
                onSystemFailure(from);
            } else {
                slot.failedChanges[static_cast<std::size_t>(from)] -= 1u;
            }
        }
        if (state != 0) {
            failedUnits += to - from;
        }
    }
    void componentFailed(int c, int t) {
        failedSince[static_cast<std::size_t>(c)] = t;
        ++slot.componentFailures[static_cast<std::size_t>(c)];
    }
    void componentRestored(int c, int t) {
        slot.componentDowntime[static_cast<std::size_t>(c)] +=
            t - failedSince[static_cast<std::size_t>(c)];
    }
    void rise(int c, const std::int32_t *completed, std::size_t n) {
        cause = c;
        causeCutsets.assign(completed, completed + n); // within the reserved capacity
    }
    void endRun(int simTime, const std::vector<int> &componentStates);

private:
    void onSystemFailure(int t);

    StatisticsSlot &slot;
    std::int64_t *systemFailures;
    std::int64_t *downtime;
    std::vector<int> failedSince; // per component, while it is failed
    std::vector<std::int32_t> causeCutsets;
    std::size_t run = 0;
    int cause = 0;
    std::uint32_t failed = 0;
    std::int64_t failures = 0;
    std::int64_t failedUnits = 0;
    bool everFailed = false;
};

} // namespace tavoq
