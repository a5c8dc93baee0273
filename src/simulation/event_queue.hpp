#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavoq {

/// The pending transitions of one run, one per component, ordered by (due time, component
/// index): the earliest falls due first, the lowest index among equal times. Due times are
/// absolute, so nothing is subtracted from every component as the clock moves.
///
/// Both parts of the order are packed into one unsigned key, due time in the high bits, so
/// a single comparison decides. Only the component that fired is ever given a new due time,
/// and it is always the first in the order: the queue needs no other update.
///
/// A binary heap: O(log n) per transition. A plain scan of the keys measured slower already
/// at ten components (docs/benchmarks.md), so there is no second structure for small models.
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

    /// One slot more than components: the heap keeps a largest-possible key past its end, so
    /// a node with a single child needs no bounds test.
    explicit EventQueue(int nComponents)
        : size(static_cast<std::size_t>(nComponents)), keys(size + 1, ~std::uint64_t{0}) {}

    /// Sets component c's key before build(); every component gets one.
    void place(int c, std::uint64_t k) { keys[static_cast<std::size_t>(c)] = k; }
    /// Orders the placed keys.
    void build() {
        for (std::size_t i = size / 2; i-- > 0;) {
            siftDown(i);
        }
    }
    /// The smallest key.
    std::uint64_t top() const { return keys[0]; }
    /// Gives the component returned by top() its new key.
    void replaceTop(std::uint64_t k) { replaceRoot(k); }

private:
    void siftDown(std::size_t i) {
        const std::uint64_t moving = keys[i];
        while (true) {
            std::size_t child = 2 * i + 1;
            if (child >= size) {
                break;
            }
            child += keys[child + 1] < keys[child] ? 1 : 0;
            if (keys[child] >= moving) {
                break;
            }
            keys[i] = keys[child];
            i = child;
        }
        keys[i] = moving;
    }

    // The new key of the component that just fired is usually far in the future (a repaired
    // component's next failure), so it belongs near the bottom: the hole left at the root
    // goes all the way down along the smaller children, one comparison a level and no
    // unpredictable branch, and the key then climbs the few levels it must.
    void replaceRoot(std::uint64_t k) {
        std::size_t i = 0;
        while (true) {
            std::size_t child = 2 * i + 1;
            if (child >= size) {
                break;
            }
            child += keys[child + 1] < keys[child] ? 1 : 0;
            keys[i] = keys[child];
            i = child;
        }
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (keys[parent] <= k) {
                break;
            }
            keys[i] = keys[parent];
            i = parent;
        }
        keys[i] = k;
    }

    std::size_t size;
    std::vector<std::uint64_t> keys; // in heap order, then a sentinel
};

} // namespace tavoq
