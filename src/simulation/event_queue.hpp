#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

/// The pending transitions of one run, one per component, ordered by (due time, component
/// index): the earliest falls due first, the lowest index among equal times. Due times are
/// absolute, so nothing is subtracted from every component as the clock moves.
///
/// Both parts of the order are packed into one unsigned key, due time in the high bits, so
/// a single comparison decides. Only the component that fired is ever given a new due time,
/// and it is always the first in the order: the queue needs no other update.
///
/// Small models scan an array; larger ones keep a binary heap (O(log n) per transition).
class EventQueue {
public:
    /// Due times span a 32-bit clock plus a 32-bit delay of either sign.
    static constexpr std::int64_t kDueOffset = std::int64_t{1} << 31;
    static constexpr int kIndexBits = 31;
    static constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kIndexBits) - 1;

    static std::uint64_t key(std::int64_t due, int c) {
        return (static_cast<std::uint64_t>(due + kDueOffset) << kIndexBits) |
               static_cast<std::uint64_t>(c);
    }
    static std::int64_t dueOf(std::uint64_t key) {
        return static_cast<std::int64_t>(key >> kIndexBits) - kDueOffset;
    }
    static int componentOf(std::uint64_t key) { return static_cast<int>(key & kIndexMask); }

    /// Up to this many components a scan measured faster than the heap (docs/benchmarks.md).
    static constexpr int kScanLimit = 16;

    explicit EventQueue(int nComponents)
        : useHeap(nComponents > kScanLimit), keys(static_cast<std::size_t>(nComponents)) {}

    /// Sets component c's key before build(); every component gets one.
    void place(int c, std::uint64_t k) { keys[static_cast<std::size_t>(c)] = k; }
    /// Orders the placed keys.
    void build() {
        if (useHeap) {
            for (std::size_t i = keys.size() / 2; i-- > 0;) {
                siftDown(i);
            }
        }
    }
    /// The smallest key.
    std::uint64_t top() {
        if (useHeap) {
            return keys[0];
        }
        std::size_t best = 0;
        std::uint64_t bestKey = keys[0];
        for (std::size_t i = 1; i < keys.size(); ++i) {
            if (keys[i] < bestKey) {
                bestKey = keys[i];
                best = i;
            }
        }
        scanned = best;
        return bestKey;
    }
    /// Gives the component returned by the last top() its new key.
    void replaceTop(std::uint64_t k) {
        if (useHeap) {
            keys[0] = k;
            siftDown(0);
        } else {
            keys[scanned] = k;
        }
    }

private:
    void siftDown(std::size_t i) {
        const std::size_t n = keys.size();
        const std::uint64_t moving = keys[i];
        while (true) {
            std::size_t child = 2 * i + 1;
            if (child >= n) {
                break;
            }
            if (child + 1 < n && keys[child + 1] < keys[child]) {
                ++child;
            }
            if (keys[child] >= moving) {
                break;
            }
            keys[i] = keys[child];
            i = child;
        }
        keys[i] = moving;
    }

    bool useHeap;
    std::vector<std::uint64_t> keys; // by component (scan) or in heap order
    std::size_t scanned = 0;
};
