#include "simulation/run_statistics.hpp"

StatisticsSlot::StatisticsSlot(int simTime, int nComponents, int nGates, int nTrackedGates)
    : failedChanges(static_cast<std::size_t>(simTime), 0u),
      firstFailures(static_cast<std::size_t>(simTime), 0u),
      componentDowntime(static_cast<std::size_t>(nComponents), 0),
      componentFailures(static_cast<std::size_t>(nComponents), 0),
      triggeredFailures(static_cast<std::size_t>(nComponents), 0),
      componentDowntimeSquares(static_cast<std::size_t>(nComponents), 0),
      gateTriggered(static_cast<std::size_t>(nGates), 0),
      gateDowntime(static_cast<std::size_t>(nTrackedGates), 0),
      gateFailures(static_cast<std::size_t>(nTrackedGates), 0),
      gateDowntimeSquares(static_cast<std::size_t>(nTrackedGates), 0) {}

void RunDowntime::settle(int simTime, std::int64_t *downtime, SquareSum *squares) {
    for (const int i : touched) {
        const auto k = static_cast<std::size_t>(i);
        std::int64_t run = units[k];
        if (since[k] >= 0) {
            run += simTime - since[k]; // still failed at the end
        }
        downtime[k] += run;
        squares[k] += static_cast<SquareSum>(static_cast<std::uint64_t>(run) *
                                             static_cast<std::uint64_t>(run));
        since[k] = -1;
        units[k] = 0;
        listed[k] = 0;
    }
    touched.clear();
}

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
