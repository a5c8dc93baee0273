#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simulation/run_statistics.hpp"

namespace tavoq {

/// The recorder of runnerStatistics (see recorders.hpp for the protocol). Writes each run's
/// own counts at its index of the batch's per-run arrays, so threads write disjoint entries.
class StatisticsRecorder {
public:
    static constexpr bool kTracksComponents = true;
    static constexpr bool kTracksCauses = true;
    static constexpr bool kTracksGates = true;
    static constexpr bool kCountsDelayWarnings = true;

    /// `systemFailures`, `downtime` and `firstFailureTimes` are the batch's per-run arrays;
    /// the slot's curves have bins of `binWidth` units (at least 1).
    StatisticsRecorder(StatisticsSlot &slot, std::int64_t *systemFailures, std::int64_t *downtime,
                       std::int64_t *firstFailureTimes, int binWidth, int nComponents, int nGates,
                       int nTrackedGates);

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
                addFailedStretch(failedSince, from);
            }
        }
        if (state != 0) {
            failedUnits += to - from;
        }
    }
    void delayOutOfBounds(int c, bool negative) {
        auto &counts = negative ? slot.negativeDelays : slot.delaysPastLimit;
        ++counts[static_cast<std::size_t>(c)];
    }
    void componentFailed(int c, int t) {
        componentDown.failed(c, t);
        ++slot.componentFailures[static_cast<std::size_t>(c)];
    }
    void componentRestored(int c, int t) { componentDown.restored(c, t); }
    void gateFailed(int g, int t) {
        gateDown.failed(g, t);
        ++slot.gateFailures[static_cast<std::size_t>(g)];
    }
    void gateRestored(int g, int t) { gateDown.restored(g, t); }
    void rise(int c, const std::int32_t *turned, std::size_t n) {
        cause = c;
        causeGates.assign(turned, turned + n); // within the reserved capacity
    }
    void endRun(int simTime, const std::vector<int> &componentStates);

private:
    void onSystemFailure(int t);
    void addFailedStretch(int from, int to);

    StatisticsSlot &slot;
    std::int64_t *systemFailures;
    std::int64_t *downtime;
    std::int64_t *firstFailureTimes;
    RunDowntime componentDown;
    RunDowntime gateDown;
    std::vector<std::int32_t> causeGates;
    std::size_t run = 0;
    std::int64_t binWidth;
    int failedSince = 0;  // the first unit of the failed stretch under way
    int firstFailure = 0; // the run's first failed unit, once everFailed
    int cause = 0;
    std::uint32_t failed = 0;
    std::int64_t failures = 0;
    std::int64_t failedUnits = 0;
    bool everFailed = false;
};

} // namespace tavoq
