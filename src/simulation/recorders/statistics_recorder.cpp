#include "simulation/recorders/statistics_recorder.hpp"

namespace tavoq {

StatisticsRecorder::StatisticsRecorder(StatisticsSlot &slot, std::int64_t *systemFailures,
                                       std::int64_t *downtime, int nComponents, int nCutsets)
    : slot(slot), systemFailures(systemFailures), downtime(downtime),
      failedSince(static_cast<std::size_t>(nComponents), 0) {
    causeCutsets.reserve(static_cast<std::size_t>(nCutsets));
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
    for (const std::int32_t k : causeCutsets) {
        ++slot.cutsetFailures[static_cast<std::size_t>(k)];
    }
}

void StatisticsRecorder::endRun(int simTime, const std::vector<int> &componentStates) {
    for (std::size_t c = 0; c < componentStates.size(); ++c) {
        if (componentStates[c] != 0) {
            slot.componentDowntime[c] += simTime - failedSince[c];
        }
    }
    systemFailures[run] = failures;
    downtime[run] = failedUnits;
}

} // namespace tavoq
