#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simulation/crew_view.hpp"
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
                       int nTrackedGates, std::int64_t *plannedDowntime = nullptr);

    /// The index of the next run in the batch.
    void setRun(int i) { run = static_cast<std::size_t>(i); }
    /// The crews of the interacting engine, read at each system failure (crewSaturated*).
    void watchCrews(const CrewView &pools);

    void beginRun() {
        failed = 0;
        failureInStop = false;
        failures = 0;
        failedUnits = 0;
        plannedUnits = 0;
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
    /// The interacting engine's stretch: state 0 up, 1 unplanned-down, 2 planned-down. A
    /// system failure is a rise to 1 (from 0, or from 2 in a stop not yet down for a failure:
    /// one failure per stop, however often planned stretches interrupt it); downtime and
    /// failedRuns count 1 and 2, plannedDowntime and plannedRuns 2 alone.
    void stretchKinds(int from, int to, std::uint32_t state) {
        if (state != failed) {
            const std::uint32_t old = failed;
            failed = state;
            if (old == 0) {
                failedSince = from;
            } else if (state == 0) {
                addStretch(slot.failedUnits, slot.wholeBins, failedSince, from);
            }
            if (state == 1 && !failureInStop) {
                countSystemFailure(from);
            }
            failureInStop = state != 0 && (failureInStop || state == 1);
            if (old == 2) {
                addStretch(slot.plannedUnits, slot.plannedWholeBins, plannedSince, from);
            } else if (state == 2) {
                plannedSince = from;
            }
        }
        if (state != 0) {
            failedUnits += to - from;
        }
        if (state == 2) {
            plannedUnits += to - from;
        }
    }
    /// The interacting engine's component hooks: down (failed or planned) and up again, and
    /// a failure (working to failed) counted apart.
    void componentWentDown(int c, int t) { componentDown.failed(c, t); }
    void componentCameUp(int c, int t) { componentDown.restored(c, t); }
    void countComponentFailure(int c) { componentDown.count(c); }
    /// One run's figures of crew pool p (see RunStatistics).
    void crewRun(int p, std::int64_t busy, std::int64_t wait, std::int64_t requests,
                 std::int64_t longest);
    void delayOutOfBounds(int c, bool negative) {
        auto &counts = negative ? slot.negativeDelays : slot.delaysPastLimit;
        ++counts[static_cast<std::size_t>(c)];
    }
    void componentFailed(int c, int t) { componentDown.failedAndCounted(c, t); }
    void componentRestored(int c, int t) { componentDown.restored(c, t); }
    /// A gate's crossings, and its failures counted per unit as the system's (crossings
    /// undone within a unit count none).
    void gateFailed(int g, int t) {
        gateDown.failed<true>(g, t);
        ++slot.gateFailures[static_cast<std::size_t>(g)];
    }
    void gateRestored(int g, int t) { gateDown.restored<true>(g, t); }
    /// The verdict turned failed by component c's transition (-1: failed from the start, by
    /// no component), turning the gates listed.
    void rise(int c, const std::int32_t *turned, std::size_t n) {
        cause = c;
        causeGates.assign(turned, turned + n); // within the reserved capacity
    }
    void endRun(int simTime, const std::vector<int> &componentStates);

private:
    void onSystemFailure(int t);
    void countSystemFailure(int t);
    void addFailedStretch(int from, int to) {
        addStretch(slot.failedUnits, slot.wholeBins, from, to);
    }
    void addStretch(std::vector<std::uint64_t> &units, std::vector<std::uint32_t> &whole, int from,
                    int to);

    StatisticsSlot &slot;
    std::int64_t *systemFailures;
    std::int64_t *downtime;
    std::int64_t *firstFailureTimes;
    std::int64_t *plannedDowntime;
    RunDowntime componentDown;
    RunDowntime gateDown;
    RunCounts runTriggered;     // per component: the system failures it caused in the run
    RunCounts runGateTriggered; // per graph gate, the same
    const CrewView *crews = nullptr;
    RunCounts runSaturated{0}; // per crew pool: the system failures that began saturated
    std::vector<std::int32_t> causeGates;
    std::size_t run = 0;
    std::int64_t binWidth;
    int failedSince = 0;  // the first unit of the failed stretch under way
    int firstFailure = 0; // the run's first failed unit, once everFailed
    int plannedSince = 0; // the same for a planned-down stretch
    int cause = 0;
    std::uint32_t failed = 0;
    std::int64_t failures = 0;
    std::int64_t failedUnits = 0;
    std::int64_t plannedUnits = 0;
    bool everFailed = false;
    bool failureInStop = false; // the stop under way has been down for a failure
    // Whether the graph's gates are the cut sets' (and the top), whose causes are the cut
    // sets' arrays, rather than a FaultTree's, with statistics of their own.
    bool causesAreCutsets;
};

} // namespace tavoq
