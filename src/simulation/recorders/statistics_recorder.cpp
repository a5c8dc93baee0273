#include "simulation/recorders/statistics_recorder.hpp"

namespace tavoq {

StatisticsRecorder::StatisticsRecorder(StatisticsSlot &slot, std::int64_t *systemFailures,
                                       std::int64_t *downtime, std::int64_t *firstFailureTimes,
                                       int binWidth, int nComponents, int nGates,
                                       int nTrackedGates)
    : slot(slot), systemFailures(systemFailures), downtime(downtime),
      firstFailureTimes(firstFailureTimes), componentDown(nComponents), gateDown(nTrackedGates),
      binWidth(binWidth) {
    causeGates.reserve(static_cast<std::size_t>(nGates));
}

void StatisticsRecorder::onSystemFailure(int t) {
    failedSince = t;
    if (!everFailed) {
        everFailed = true;
        firstFailure = t;
        ++slot.firstFailures[static_cast<std::size_t>(t / binWidth)];
    }
    ++failures;
    // The verdict can only turn failed at a transition, and a unit that starts a failed
    // stretch was preceded by a working one: the last rise happened at this very unit.
    ++slot.triggeredFailures[static_cast<std::size_t>(cause)];
    for (const std::int32_t g : causeGates) {
        ++slot.gateTriggered[static_cast<std::size_t>(g)];
    }
}

void StatisticsRecorder::addFailedStretch(int from, int to) {
    const std::int64_t first = from / binWidth;
    const std::int64_t last = (to - 1) / binWidth;
    const auto firstBin = static_cast<std::size_t>(first);
    const auto lastBin = static_cast<std::size_t>(last);
    if (first == last) {
        slot.failedUnits[firstBin] += static_cast<std::uint64_t>(to - from);
        return;
    }
    slot.failedUnits[firstBin] += static_cast<std::uint64_t>((first + 1) * binWidth - from);
    slot.failedUnits[lastBin] += static_cast<std::uint64_t>(to - last * binWidth);
    slot.wholeBins[firstBin + 1] += 1u; // none when the two bins are neighbours: they cancel
    slot.wholeBins[lastBin] -= 1u;
}

void StatisticsRecorder::endRun(int simTime, const std::vector<int> &) {
    if (failed != 0) {
        addFailedStretch(failedSince, simTime);
    }
    componentDown.settle(simTime, slot.componentDowntime.data(),
                         slot.componentDowntimeSquares.data());
    gateDown.settle(simTime, slot.gateDowntime.data(), slot.gateDowntimeSquares.data());
    systemFailures[run] = failures;
    downtime[run] = failedUnits;
    firstFailureTimes[run] = everFailed ? firstFailure : simTime;
}

} // namespace tavoq
