#include "simulation/recorders/statistics_recorder.hpp"

namespace tavoq {

StatisticsRecorder::StatisticsRecorder(StatisticsSlot &slot, std::int64_t *systemFailures,
                                       std::int64_t *downtime, std::int64_t *firstFailureTimes,
                                       int binWidth, int nComponents, int nGates,
                                       int nTrackedGates, std::int64_t *plannedDowntime)
    : slot(slot), systemFailures(systemFailures), downtime(downtime),
      firstFailureTimes(firstFailureTimes), plannedDowntime(plannedDowntime),
      componentDown(nComponents), gateDown(nTrackedGates), runTriggered(nComponents),
      runGateTriggered(nGates), binWidth(binWidth), causesAreCutsets(nTrackedGates == 0) {
    causeGates.reserve(static_cast<std::size_t>(nGates));
}

void StatisticsRecorder::watchCrews(const CrewView &pools) {
    crews = &pools;
    runSaturated = RunCounts(pools.nPools());
}

void StatisticsRecorder::onSystemFailure(int t) {
    failedSince = t;
    countSystemFailure(t);
}

void StatisticsRecorder::countSystemFailure(int t) {
    if (!everFailed) {
        everFailed = true;
        firstFailure = t;
        ++slot.firstFailures[static_cast<std::size_t>(t / binWidth)];
    }
    ++failures;
    // The verdict can only turn failed at a transition, and a unit that starts a failed
    // stretch was preceded by a working one: the last rise happened at this very unit.
    if (cause >= 0) { // none for a system failed from the start
        ++slot.triggeredFailures[static_cast<std::size_t>(cause)];
        runTriggered.add(cause);
    }
    std::vector<std::int64_t> &causes =
        causesAreCutsets ? slot.cutsetFailures : slot.gateTriggered;
    for (const std::int32_t g : causeGates) {
        ++causes[static_cast<std::size_t>(g)];
        runGateTriggered.add(g);
    }
    // Counted when the stretch it starts ends: the crews are still as the failure's unit
    // left them.
    for (int p = 0; crews != nullptr && p < crews->nPools(); ++p) {
        if (crews->saturated(p)) {
            ++slot.crewSaturatedFailures[static_cast<std::size_t>(p)];
            runSaturated.add(p);
        }
    }
}

void StatisticsRecorder::addStretch(std::vector<std::uint64_t> &units,
                                    std::vector<std::uint32_t> &whole, int from, int to) {
    const std::int64_t first = from / binWidth;
    const std::int64_t last = (to - 1) / binWidth;
    const auto firstBin = static_cast<std::size_t>(first);
    const auto lastBin = static_cast<std::size_t>(last);
    if (first == last) {
        units[firstBin] += static_cast<std::uint64_t>(to - from);
        return;
    }
    units[firstBin] += static_cast<std::uint64_t>((first + 1) * binWidth - from);
    units[lastBin] += static_cast<std::uint64_t>(to - last * binWidth);
    whole[firstBin + 1] += 1u; // none when the two bins are neighbours: they cancel
    whole[lastBin] -= 1u;
}

void StatisticsRecorder::crewRun(int p, std::int64_t busy, std::int64_t wait,
                                 std::int64_t requests, std::int64_t longest) {
    const auto k = static_cast<std::size_t>(p);
    slot.crewBusy[k] += busy;
    slot.crewBusySquares[k] += squareTerm(busy, busy);
    slot.crewWait[k] += wait;
    slot.crewWaitSquares[k] += squareTerm(wait, wait);
    slot.crewRequests[k] += requests;
    slot.crewRequestsSquares[k] += squareTerm(requests, requests);
    slot.crewWaitTimesRequests[k] += squareTerm(wait, requests);
    slot.crewLongestQueue[k] += longest;
    slot.crewLongestQueueSquares[k] += squareTerm(longest, longest);
}

void StatisticsRecorder::endRun(int simTime, const std::vector<int> &) {
    if (failed != 0) {
        addFailedStretch(failedSince, simTime);
    }
    if (failed == 2) {
        addStretch(slot.plannedUnits, slot.plannedWholeBins, plannedSince, simTime);
    }
    componentDown.settle(simTime, slot.componentDowntime.data(),
                         slot.componentDowntimeSquares.data(), slot.componentFailures.data(),
                         slot.componentFailuresSquares.data());
    gateDown.settle(simTime, slot.gateDowntime.data(), slot.gateDowntimeSquares.data(),
                    slot.gateUnitFailures.data(), slot.gateUnitFailuresSquares.data());
    runTriggered.settle(failures, slot.triggeredFailuresSquares.data(),
                        slot.triggeredTimesSystemFailures.data());
    if (causesAreCutsets) {
        runGateTriggered.settle(failures, slot.cutsetFailuresSquares.data(),
                                slot.cutsetTimesSystemFailures.data());
    } else {
        runGateTriggered.settle(failures, slot.gateTriggeredSquares.data(),
                                slot.gateTriggeredTimesSystemFailures.data());
    }
    runSaturated.settle(failures, slot.crewSaturatedFailuresSquares.data(),
                        slot.crewSaturatedTimesSystemFailures.data());
    systemFailures[run] = failures;
    downtime[run] = failedUnits;
    firstFailureTimes[run] = everFailed ? firstFailure : simTime;
    if (plannedDowntime != nullptr) {
        plannedDowntime[run] = plannedUnits;
    }
}

} // namespace tavoq
