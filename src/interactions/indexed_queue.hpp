#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavoq {

/// The pending events of an interacting run (components, then common causes), ordered by
/// their keys (EventQueue::key: due time, then index). Unlike EventQueue, any entry may be
/// given a new key at any time: a move drops a component's pending transition wherever it
/// stands. A binary heap of indices with each index's position; allocates only when built.
class IndexedQueue {
public:
    explicit IndexedQueue(int n)
        : keys(static_cast<std::size_t>(n), ~std::uint64_t{0}), heap(static_cast<std::size_t>(n)),
          position(static_cast<std::size_t>(n)) {}

    /// Sets entry i's key before build().
    void place(int i, std::uint64_t k) { keys[static_cast<std::size_t>(i)] = k; }
    void build() {
        for (std::size_t i = 0; i < heap.size(); ++i) {
            heap[i] = static_cast<int>(i);
        }
        for (std::size_t i = heap.size() / 2; i-- > 0;) {
            siftDown(i);
        }
        for (std::size_t i = 0; i < heap.size(); ++i) {
            position[static_cast<std::size_t>(heap[i])] = i;
        }
    }
    std::uint64_t top() const { return keys[static_cast<std::size_t>(heap[0])]; }
    std::uint64_t key(int i) const { return keys[static_cast<std::size_t>(i)]; }
    void update(int i, std::uint64_t k) {
        const auto e = static_cast<std::size_t>(i);
        const std::uint64_t old = keys[e];
        keys[e] = k;
        if (k < old) {
            siftUp(position[e]);
        } else {
            siftDown(position[e]);
        }
    }

private:
    void set(std::size_t at, int i) {
        heap[at] = i;
        position[static_cast<std::size_t>(i)] = at;
    }
    std::uint64_t keyAt(std::size_t at) const { return keys[static_cast<std::size_t>(heap[at])]; }
    void siftUp(std::size_t at) {
        const int moving = heap[at];
        const std::uint64_t k = keys[static_cast<std::size_t>(moving)];
        while (at > 0) {
            const std::size_t parent = (at - 1) / 2;
            if (keyAt(parent) <= k) {
                break;
            }
            set(at, heap[parent]);
            at = parent;
        }
        set(at, moving);
    }
    void siftDown(std::size_t at) {
        const int moving = heap[at];
        const std::uint64_t k = keys[static_cast<std::size_t>(moving)];
        const std::size_t n = heap.size();
        while (true) {
            std::size_t child = 2 * at + 1;
            if (child >= n) {
                break;
            }
            if (child + 1 < n && keyAt(child + 1) < keyAt(child)) {
                ++child;
            }
            if (keyAt(child) >= k) {
                break;
            }
            set(at, heap[child]);
            at = child;
        }
        set(at, moving);
    }

    std::vector<std::uint64_t> keys;   // per entry
    std::vector<int> heap;             // entries in heap order
    std::vector<std::size_t> position; // per entry: its place in heap
};

} // namespace tavoq
