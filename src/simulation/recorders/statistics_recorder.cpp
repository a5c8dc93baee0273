#include "simulation/recorders/statistics_recorder.hpp"

namespace tavoq {

StatisticsRecorder::StatisticsRecorder(StatisticsSlot &slot, std::int64_t *systemFailures,
                                       std::int64_t *downtime, int nComponents, int nGates,
                                       int nTrackedGates)
    : slot(slot), systemFailures(systemFailures), downtime(downtime), componentDown(nComponents),
      gateDown(nTrackedGates) {
    causeGates.reserve(static_cast<std::size_t>(nGates));
}

void StatisticsRecorder::onSystemFailure(int t) {
    const auto unit = static_cast<std::size_t>(t);
    slot.failedChanges[unit] += 1u;
    if (!everFailed) {
        everFailed = true;
        ++slot.firstFailures[unit];
    }
    ++failures;
    // The verdict can only turn failed at a transition, and a unit that starts a failed
    // stretch was preceded by a working one: the last rise happened at this very unit.
    ++slot.triggeredFailures[static_cast<std::size_t>(cause)];
    for (const std::int32_t g : causeGates) {
        ++slot.gateTriggered[static_cast<std::size_t>(g)];
    }
}

void StatisticsRecorder::endRun(int simTime, const std::vector<int> &) {
    componentDown.settle(simTime, slot.componentDowntime.data(),
                         slot.componentDowntimeSquares.data());
    gateDown.settle(simTime, slot.gateDowntime.data(), slot.gateDowntimeSquares.data());
    systemFailures[run] = failures;
    downtime[run] = failedUnits;
}

} // namespace tavoq
