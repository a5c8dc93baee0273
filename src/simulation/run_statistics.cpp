#include "simulation/run_statistics.hpp"

namespace tavoq {

std::size_t statistics::Sizes::of(Axis axis) const {
    switch (axis) {
    case Axis::Component:
        return static_cast<std::size_t>(components);
    case Axis::Gate:
        return static_cast<std::size_t>(gates);
    case Axis::Cutset:
        return static_cast<std::size_t>(cutsets);
    case Axis::Pool:
        return static_cast<std::size_t>(pools);
    default:
        return 0; // runs and bins are not items
    }
}

namespace {

template <typename T> void addInto(std::vector<T> &total, const std::vector<T> &part) {
    for (std::size_t k = 0; k < total.size(); ++k) {
        total[k] += part[k];
    }
}

} // namespace

StatisticsSlot::StatisticsSlot(int nBins, bool planned, const statistics::Sizes &sizes)
    : failedUnits(static_cast<std::size_t>(nBins), 0u),
      wholeBins(static_cast<std::size_t>(nBins), 0u),
      firstFailures(static_cast<std::size_t>(nBins), 0u),
      plannedUnits(planned ? static_cast<std::size_t>(nBins) : 0, 0u),
      plannedWholeBins(planned ? static_cast<std::size_t>(nBins) : 0, 0u) {
#define TAVOQ_SIZE_FIELD(name, axis, kind, combine, doc)                                          \
    name.assign(sizes.of(statistics::Axis::axis), 0);
    TAVOQ_ITEM_SUMS(TAVOQ_SIZE_FIELD)
#undef TAVOQ_SIZE_FIELD
}

StatisticsSlot &StatisticsSlot::operator+=(const StatisticsSlot &other) {
    addInto(failedUnits, other.failedUnits);
    addInto(wholeBins, other.wholeBins);
    addInto(firstFailures, other.firstFailures);
    addInto(plannedUnits, other.plannedUnits);
    addInto(plannedWholeBins, other.plannedWholeBins);
#define TAVOQ_ADD_FIELD(name, axis, kind, combine, doc)                                           \
    static_assert(statistics::Combine::combine == statistics::Combine::Sum);                      \
    addInto(name, other.name);
    TAVOQ_ITEM_SUMS(TAVOQ_ADD_FIELD)
#undef TAVOQ_ADD_FIELD
    return *this;
}

void RunDowntime::settleTouched(int simTime, std::int64_t *downtime, SquareSum *squares,
                                std::int64_t *failureSums, SquareSum *failureSquares) {
    for (const int i : touched) {
        const auto k = static_cast<std::size_t>(i);
        Item &item = items[k];
        std::int64_t run = item.units;
        if (item.since >= 0) {
            run += simTime - item.since; // still failed at the end
        }
        downtime[k] += run;
        squares[k] += squareTerm(run, run);
        failureSums[k] += item.failures;
        failureSquares[k] += squareTerm(item.failures, item.failures);
        item = Item{};
    }
    touched.clear();
}

void RunCounts::settleTouched(std::int64_t systemFailures, SquareSum *squares,
                              SquareSum *timesFailures) {
    for (const int i : touched) {
        const auto k = static_cast<std::size_t>(i);
        squares[k] += squareTerm(counts[k], counts[k]);
        timesFailures[k] += squareTerm(counts[k], systemFailures);
        counts[k] = 0;
    }
    touched.clear();
}

} // namespace tavoq
