#include "simulation/run_statistics.hpp"

namespace tavoq {

StatisticsSlot::StatisticsSlot(int nBins, int nComponents, int nGates, int nTrackedGates,
                               bool planned, int nPools)
    : failedUnits(static_cast<std::size_t>(nBins), 0u),
      wholeBins(static_cast<std::size_t>(nBins), 0u),
      firstFailures(static_cast<std::size_t>(nBins), 0u),
      componentDowntime(static_cast<std::size_t>(nComponents), 0),
      componentFailures(static_cast<std::size_t>(nComponents), 0),
      triggeredFailures(static_cast<std::size_t>(nComponents), 0),
      componentDowntimeSquares(static_cast<std::size_t>(nComponents), 0),
      componentFailuresSquares(static_cast<std::size_t>(nComponents), 0),
      triggeredSquares(static_cast<std::size_t>(nComponents), 0),
      triggeredTimesFailures(static_cast<std::size_t>(nComponents), 0),
      gateTriggered(static_cast<std::size_t>(nGates), 0),
      gateTriggeredSquares(static_cast<std::size_t>(nGates), 0),
      gateTriggeredTimesFailures(static_cast<std::size_t>(nGates), 0),
      gateDowntime(static_cast<std::size_t>(nTrackedGates), 0),
      gateFailures(static_cast<std::size_t>(nTrackedGates), 0),
      gateDowntimeSquares(static_cast<std::size_t>(nTrackedGates), 0),
      gateUnitFailures(static_cast<std::size_t>(nTrackedGates), 0),
      gateUnitFailuresSquares(static_cast<std::size_t>(nTrackedGates), 0),
      negativeDelays(static_cast<std::size_t>(nComponents), 0),
      delaysPastLimit(static_cast<std::size_t>(nComponents), 0),
      plannedUnits(planned ? static_cast<std::size_t>(nBins) : 0, 0u),
      plannedWholeBins(planned ? static_cast<std::size_t>(nBins) : 0, 0u),
      crewBusy(static_cast<std::size_t>(nPools), 0),
      crewBusySquares(static_cast<std::size_t>(nPools), 0),
      crewWait(static_cast<std::size_t>(nPools), 0),
      crewWaitSquares(static_cast<std::size_t>(nPools), 0),
      crewRequests(static_cast<std::size_t>(nPools), 0),
      crewRequestsSquares(static_cast<std::size_t>(nPools), 0),
      crewWaitTimesRequests(static_cast<std::size_t>(nPools), 0),
      crewLongestQueue(static_cast<std::size_t>(nPools), 0),
      crewLongestQueueSquares(static_cast<std::size_t>(nPools), 0) {}

void RunDowntime::settle(int simTime, std::int64_t *downtime, SquareSum *squares,
                         std::int64_t *failureSums, SquareSum *failureSquares) {
    for (const int i : touched) {
        const auto k = static_cast<std::size_t>(i);
        std::int64_t run = units[k];
        if (since[k] >= 0) {
            run += simTime - since[k]; // still failed at the end
        }
        downtime[k] += run;
        squares[k] += squareTerm(run, run);
        failureSums[k] += failures[k];
        failureSquares[k] += squareTerm(failures[k], failures[k]);
        since[k] = -1;
        units[k] = 0;
        failures[k] = 0;
        crossedIn[k] = -1;
        listed[k] = 0;
    }
    touched.clear();
}

void RunCounts::settle(std::int64_t systemFailures, SquareSum *squares, SquareSum *timesFailures) {
    for (const int i : touched) {
        const auto k = static_cast<std::size_t>(i);
        squares[k] += squareTerm(counts[k], counts[k]);
        timesFailures[k] += squareTerm(counts[k], systemFailures);
        counts[k] = 0;
    }
    touched.clear();
}

} // namespace tavoq
