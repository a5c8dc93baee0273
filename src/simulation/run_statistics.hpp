#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simulation/statistics_table.hpp"

namespace tavoq {

/// Sums of squares of per-run counts: a run's count is below 2^31, its square below 2^62, and
/// 2^31 runs of them fit in 128 bits, so the sums are exact whatever the thread count and are
/// rounded to double once, at the end.
__extension__ using SquareSum = unsigned __int128;

namespace statistics {

/// The element of an array of `kind` in the result (Value) and in a thread's sums (Sum).
template <Kind kind> struct Element {
    using Value = std::int64_t;
    using Sum = std::int64_t;
};
template <> struct Element<Kind::Square> {
    using Value = double;
    using Sum = SquareSum;
};

/// The length of each axis of the arrays summed per item.
struct Sizes {
    int components = 0;
    int gates = 0;
    int cutsets = 0;
    int pools = 0;
    std::size_t of(Axis axis) const;
};

} // namespace statistics

/// What runnerStatistics counts over a batch, beside the failed runs per time unit: the
/// arrays of statistics_table.hpp, whose docstrings say what each holds.
/// A system failure is a unit t at which the system is failed and either t = 0 or it was
/// working at t - 1; its cause is the last transition at t that turned the verdict from
/// working to failed, and the cut sets that transition completed (the gates it turned failed,
/// for a FaultTree).
struct RunStatistics {
    int nSimulations = 0;
    int simTime = 0;
    int seed = 0;
    /// The time units of a bin of the curves: bin b holds units b * binWidth up to the next
    /// bin's first, the last one up to simTime (it may be shorter); ceil(simTime / binWidth)
    /// bins in all. 1 gives a bin per unit.
    int binWidth = 1;
#define TAVOQ_RESULT_FIELD(name, axis, kind, combine, doc)                                        \
    std::vector<statistics::Element<statistics::Kind::kind>::Value> name;
    TAVOQ_RUN_STATISTICS(TAVOQ_RESULT_FIELD)
#undef TAVOQ_RESULT_FIELD
};

/// One thread's share of a batch's statistics: sums over the runs it performed. A failed
/// stretch of a run adds, in O(1), its units in the bins where it starts and ends to
/// `failedUnits`, and marks the whole bins between them in `wholeBins`, a difference array
/// (+1 at the first whole bin, -1 past the last) whose prefix sums count the runs failed
/// throughout a bin: a bin's failed units are its failedUnits plus binWidth times that count.
/// Counts of runs are 32-bit, kept modulo 2^32 where they are changes (every prefix sum is a
/// count of runs, so the wrap is exact); units are 64-bit. Beside the curves, every array of
/// TAVOQ_ITEM_SUMS, with its exact element type.
struct StatisticsSlot {
    /// `nBins`: bins of the curves; `planned`: keep the planned-down curve too; `sizes`: the
    /// items. A cut-set graph's system failures are credited to its gates, the cut sets and
    /// then the top, so its `cutsets` counts the top too.
    StatisticsSlot(int nBins, bool planned, const statistics::Sizes &sizes);

    /// Adds another thread's sums: integer sums, so the order of the threads cannot change
    /// them.
    StatisticsSlot &operator+=(const StatisticsSlot &other);

    std::vector<std::uint64_t> failedUnits;      // per bin: units of stretches ending in it
    std::vector<std::uint32_t> wholeBins;        // per bin: difference array of whole bins
    std::vector<std::uint32_t> firstFailures;    // per bin
    std::vector<std::uint64_t> plannedUnits;     // per bin, as failedUnits
    std::vector<std::uint32_t> plannedWholeBins; // per bin, as wholeBins
#define TAVOQ_SLOT_FIELD(name, axis, kind, combine, doc)                                          \
    std::vector<statistics::Element<statistics::Kind::kind>::Sum> name;
    TAVOQ_ITEM_SUMS(TAVOQ_SLOT_FIELD)
#undef TAVOQ_SLOT_FIELD
};

/// The product of two per-run counts as a term of a SquareSum.
inline SquareSum squareTerm(std::int64_t a, std::int64_t b) {
    return static_cast<SquareSum>(static_cast<std::uint64_t>(a)) *
           static_cast<SquareSum>(static_cast<std::uint64_t>(b));
}

/// Failed time units and failures of one run per item (component or gate), settled at the
/// run's end for the items the run touched only, so that a run costs its transitions, not
/// the model's size.
///
/// A failure is counted in one of two ways: `count` adds one per call (a component's
/// transition from working to failed); `failed` and `restored` with `perUnit` count the units
/// at which the item is failed after the unit's crossings and was working before them, as a
/// system failure is counted. For that each crossing notes, at the item's first crossing of
/// a unit, whether the item was failed before the unit; while it was not, a crossing to failed
/// adds one and a crossing back takes it away, so that crossings undone within the unit
/// leave nothing.
class RunDowntime {
public:
    explicit RunDowntime(int n) : items(static_cast<std::size_t>(n)) {
        touched.reserve(static_cast<std::size_t>(n));
    }
    template <bool perUnit = false> void failed(int i, int t) {
        Item &item = list(i);
        item.since = t;
        if constexpr (perUnit) {
            crossed<true>(item, t);
        }
    }
    template <bool perUnit = false> void restored(int i, int t) {
        Item &item = items[static_cast<std::size_t>(i)];
        item.units += t - item.since;
        item.since = -1;
        if constexpr (perUnit) {
            crossed<false>(item, t);
        }
    }
    void count(int i) { ++list(i).failures; }
    /// failed(i, t) and count(i) at once.
    void failedAndCounted(int i, int t) {
        Item &item = list(i);
        item.since = t;
        ++item.failures;
    }
    /// Adds each touched item's units, failures and their squares to the sums, and forgets
    /// the run.
    void settle(int simTime, std::int64_t *downtime, SquareSum *squares, std::int64_t *failureSums,
                SquareSum *failureSquares) {
        if (!touched.empty()) { // most runs leave the gates, or the crews, untouched
            settleTouched(simTime, downtime, squares, failureSums, failureSquares);
        }
    }

private:
    void settleTouched(int simTime, std::int64_t *downtime, SquareSum *squares,
                       std::int64_t *failureSums, SquareSum *failureSquares);

    // One record per item, so that a transition's and the run end's work on an item stay
    // within one cache line and one address.
    struct Item {
        std::int64_t units = 0;
        std::int64_t failures = 0;
        int since = -1;                // while failed: the unit it failed at; else -1
        int crossedIn = -1;            // the unit of the item's latest crossing, or -1
        std::uint8_t failedBefore = 0; // whether it was failed before that unit
        std::uint8_t listed = 0;
    };

    Item &list(int i) {
        Item &item = items[static_cast<std::size_t>(i)];
        if (item.listed == 0) {
            item.listed = 1;
            touched.push_back(i); // within the reserved capacity
        }
        return item;
    }
    template <bool kToFailed> static void crossed(Item &item, int t) {
        if (item.crossedIn != t) {
            item.crossedIn = t;
            item.failedBefore = kToFailed ? 0 : 1;
        }
        if (item.failedBefore == 0) {
            item.failures += kToFailed ? 1 : -1;
        }
    }

    std::vector<Item> items;
    std::vector<int> touched;
};

/// Counts of one run per item (the system failures a component or a gate caused), settled
/// at the run's end, for the items the run touched only, into their sums of squares and of
/// the products with the run's system failures.
class RunCounts {
public:
    explicit RunCounts(int n) : counts(static_cast<std::size_t>(n), 0) {
        touched.reserve(static_cast<std::size_t>(n));
    }
    void add(int i) {
        if (counts[static_cast<std::size_t>(i)]++ == 0) {
            touched.push_back(i); // within the reserved capacity
        }
    }
    void settle(std::int64_t systemFailures, SquareSum *squares, SquareSum *timesFailures) {
        if (!touched.empty()) {
            settleTouched(systemFailures, squares, timesFailures);
        }
    }

private:
    void settleTouched(std::int64_t systemFailures, SquareSum *squares, SquareSum *timesFailures);

    std::vector<std::int64_t> counts;
    std::vector<int> touched;
};

} // namespace tavoq
