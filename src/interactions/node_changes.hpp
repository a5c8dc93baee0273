#pragma once

#include <cstdint>
#include <vector>

namespace tavoq {

/// The nodes of a graph (leaves and gates) that crossed while one move was processed, each
/// with its state before the first crossing: the move's net changes, which triggers and
/// causes read. Allocates only when built; clear() costs the nodes listed.
class NodeChanges {
public:
    explicit NodeChanges(int nNodes)
        : listed(static_cast<std::size_t>(nNodes), 0),
          before(static_cast<std::size_t>(nNodes), 0) {
        nodes.reserve(static_cast<std::size_t>(nNodes));
    }
    /// Node n is about to change, or has just changed, from `wasDown`.
    void note(int n, bool wasDown) {
        const auto i = static_cast<std::size_t>(n);
        if (listed[i] == 0) {
            listed[i] = 1;
            before[i] = wasDown ? 1 : 0;
            nodes.push_back(n); // each node once: within the reserved capacity
        }
    }
    bool wasDown(int n) const { return before[static_cast<std::size_t>(n)] != 0; }
    bool has(int n) const { return listed[static_cast<std::size_t>(n)] != 0; }
    const std::vector<int> &list() const { return nodes; }
    void clear() {
        for (const int n : nodes) {
            listed[static_cast<std::size_t>(n)] = 0;
        }
        nodes.clear();
    }

private:
    std::vector<std::uint8_t> listed;
    std::vector<std::uint8_t> before;
    std::vector<int> nodes;
};

} // namespace tavoq
