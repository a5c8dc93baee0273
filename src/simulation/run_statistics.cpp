#include "simulation/run_statistics.hpp"

namespace tavoq {

StatisticsSlot::StatisticsSlot(int simTime, int nComponents, int nCutsets)
    : failedChanges(static_cast<std::size_t>(simTime), 0u),
      firstFailures(static_cast<std::size_t>(simTime), 0u),
      componentDowntime(static_cast<std::size_t>(nComponents), 0),
      componentFailures(static_cast<std::size_t>(nComponents), 0),
      triggeredFailures(static_cast<std::size_t>(nComponents), 0),
      cutsetFailures(static_cast<std::size_t>(nCutsets), 0) {}

} // namespace tavoq
