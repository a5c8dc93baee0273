#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "logic/gate_rule.hpp"

namespace tavoq {

class GateGraph;

/// The system's failure logic as a graph of gates over components. Components are the nodes
/// 0 .. nComponents - 1; gate g is node nComponents + g. Each gate's inputs are components or
/// earlier gates, so gate order is an evaluation order and the graph has no cycle; a node may
/// feed several gates. A threshold gate is failed when at least `threshold` of its listed
/// inputs are failed: 1 for or, the number of inputs for and, k for atleast; the other kinds
/// follow gate_rule.hpp. An input listed twice counts twice. The system is failed when the
/// top node is.
///
/// Thread safety: reads may run concurrently; addGate and setTop must not overlap with
/// anything.
class FaultTree {
public:
    /// @throws std::invalid_argument  nComponents < 1.
    explicit FaultTree(int nComponents);
    ~FaultTree();
    FaultTree(const FaultTree &) = delete;
    FaultTree &operator=(const FaultTree &) = delete;

    /// Adds a gate and returns its node id (nComponents + its gate index). `kind` is "or",
    /// "and", "atleast", "not" (one input), "nand", "nor", "xor", "iff", "pand",
    /// "pand_exclusive", "por", "por_exclusive", "pand_memory" or "por_memory" (xor and the
    /// ones after it: two inputs or more); `k` is
    /// atleast's threshold, 1 <= k <= inputs.size(), and must be 0 for the others.
    /// @throws std::invalid_argument  an unknown kind, no inputs, an input that is not an
    ///         existing node, or a bad k; the message names it.
    /// @throws std::logic_error       the tree is pinned by a running simulation.
    int addGate(std::string_view kind, const std::vector<int> &inputs, int k = 0);
    /// The node whose failure is the system's: a gate or a component.
    /// @throws std::invalid_argument  no such node. @throws std::logic_error  pinned.
    void setTop(int node);

    int nComponents() const { return components; }
    int nGates() const { return static_cast<int>(kinds.size()); }
    int nNodes() const { return components + nGates(); }
    /// The top node, or -1 until setTop.
    int top() const { return topNode; }
    GateKind kind(int g) const { return kinds[static_cast<std::size_t>(g)]; }
    /// Failed inputs at which threshold gate g fails; 0 for the other kinds.
    int threshold(int g) const { return thresholds[static_cast<std::size_t>(g)]; }
    /// Gate g's inputs as listed (node ids, repeats kept).
    std::span<const std::int32_t> inputs(int g) const {
        const auto i = static_cast<std::size_t>(g);
        return {inputNodes.data() + inputOffsets[i], inputOffsets[i + 1] - inputOffsets[i]};
    }

    /// The top's state with the components given failed, all failures begun in the same unit
    /// (entry c non-zero: component c is failed; entries past the end of `failed` read as working,
    /// entries past the last component are ignored). @throws std::invalid_argument  no top is set.
    bool evaluate(const std::vector<int> &failed) const;
    /// Every gate's output for the same input, in gate order.
    std::vector<bool> evaluateGates(const std::vector<int> &failed) const;

    /// A runner pins the tree for the length of its call: Python code can still run in the
    /// middle of one (a signal handler) and must not change a graph other threads read.
    /// Taken and released on the calling thread only.
    void pin() const { ++pins; }
    void unpin() const { --pins; }
    /// The compiled form the engine evaluates, kept until the tree changes so that a batch
    /// split into many calls compiles it once. Called on the calling thread only.
    /// @throws std::invalid_argument  no top is set.
    std::shared_ptr<const GateGraph> graph() const;

private:
    void refuseWhilePinned() const;
    void requireTop() const;
    // Per node, in node order: failed or not, for the components given.
    std::vector<std::uint8_t> evaluateNodes(const std::vector<int> &failed) const;

    int components;
    int topNode = -1;
    std::vector<GateKind> kinds;
    std::vector<std::int32_t> thresholds;
    std::vector<std::size_t> inputOffsets{0}; // nGates + 1 entries into inputNodes
    std::vector<std::int32_t> inputNodes;
    mutable std::shared_ptr<const GateGraph> cachedGraph;
    mutable int pins = 0;
};

} // namespace tavoq
