#pragma once

#include <cstdint>
#include <vector>

#include "logic/gate_graph.hpp"

namespace tavoq {

/// How far each node of a gate graph is from failing: the number of further component
/// failures that would fail it. A component is 0 when failed and 1 when working; a gate that
/// fails at t of its inputs is the sum of its t nearest inputs (an `or` the nearest, an
/// `and` all of them). On a tree this is exact; where two inputs share a component it is
/// counted once per input, an upper bound. Order gates count as their threshold (a `pand`
/// as `and`, a `por` as `or`): the order only removes ways to fail. Sums stop at kFar, so
/// that the doubling of a deep shared graph cannot overflow.
///
/// The importance of a state, for splitting runs into levels on the way to a system failure,
/// is how much nearer the top is than with every component working (importance()). A
/// component's crossing moves the distances of the gates above it, in gate order (inputs
/// come before their gates), each gate looked at once: it costs the gates whose distance
/// changes and their inputs, and allocates nothing.
class FailureDistance {
public:
    static constexpr std::int32_t kFar = 1 << 29;

    /// Reads `graph`, which must outlive it.
    /// @throws std::invalid_argument  the graph has a gate that is not coherent (not, nand,
    ///                                nor, xor, iff), whose distance has no such meaning.
    explicit FailureDistance(const GateGraph &graph);

    /// Every component working.
    void reset();
    /// Component c is now failed, or working again.
    void set(int c, bool failed) { setLeaf(c, failed ? 0 : 1); }
    /// Leaf `leaf` is now `value` failures from failing (0: failed): a leaf that stands for
    /// several parts, such as a standby group, which fails when all its units have.
    void setLeaf(int leaf, std::int32_t value);
    /// With every component working, leaf `leaf` is `value` failures from failing.
    void setStart(int leaf, std::int32_t value) {
        setLeaf(leaf, value);
        start = dist;
    }

    std::int32_t distance(int node) const { return dist[static_cast<std::size_t>(node)]; }
    /// The top's distance with every component working: the importance of a failed system.
    std::int32_t topWhenWorking() const { return start[static_cast<std::size_t>(topNode)]; }
    /// 0 with every component working, topWhenWorking() once the system fails.
    std::int32_t importance() const { return topWhenWorking() - distance(topNode); }

private:
    std::int32_t recompute(int g);

    int components;
    int topNode;
    std::vector<std::int32_t> needed;      // per gate: the inputs that fail it
    std::vector<std::size_t> inputOffsets; // nGates + 1 entries into inputs
    std::vector<std::int32_t> inputs;
    const std::size_t *parentOffsets;
    const std::int32_t *parents;
    std::vector<std::int32_t> dist;  // per node
    std::vector<std::int32_t> start; // per node, every component working
    std::vector<std::int32_t> heap;  // gates to look at, least first
    std::vector<std::uint8_t> queued;
    std::vector<std::int32_t> nearest; // a gate's input distances, for t of n
};

} // namespace tavoq
