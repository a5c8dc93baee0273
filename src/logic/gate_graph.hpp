#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "logic/gate_rule.hpp"

namespace tavoq {

class CutsetIndex;

class FaultTree;

/// The failure logic in the flat form the engine evaluates, built once per runner call and
/// shared read-only by every run and thread. Nodes are the components 0 .. nComponents - 1,
/// then the gates. Per node: the gates it feeds, as one array (a gate fed twice by a node is
/// listed twice). Per gate: the number of failed inputs at which it fails. And the state of
/// every gate while all components work, where a gate of threshold 0 is failed.
///
/// A graph with a gate other than a threshold is general: it also keeps each gate's kind and
/// inputs, which the general walk of GateState reads.
///
/// Every gate's inputs come before it in node order, so node order is an evaluation order.
class GateGraph {
public:
    /// The tree's gates as they are. @throws std::invalid_argument  the tree has no top.
    explicit GateGraph(const FaultTree &tree);
    /// One `and` gate per cut set (in cut-set order, of threshold its number of members, so a
    /// memberless one is failed from the start), all under one `or` gate, the top: the
    /// verdict of the cut sets, through the same engine. Its gates report no statistics of
    /// their own; the cut-set gates' causes are the cut sets'.
    explicit GateGraph(const CutsetIndex &cutsets);

    int nComponents() const { return components; }
    int nGates() const { return static_cast<int>(thresholds.size()); }
    int nNodes() const { return components + nGates(); }
    /// The node whose state is the system's.
    int top() const { return topNode; }
    /// Whether the gates are the user's, with statistics of their own (a FaultTree), rather
    /// than the cut sets' (whose statistics are the cut sets').
    bool reportsGates() const { return userGates; }
    int threshold(int g) const { return thresholds[static_cast<std::size_t>(g)]; }
    /// Whether some gate is not a threshold (or, and, atleast).
    bool general() const { return isGeneral; }
    /// Only when general(): gate g's kind, and its inputs [begin, end) as listed.
    GateKind kind(int g) const { return kinds[static_cast<std::size_t>(g)]; }
    const GateKind *kindData() const { return kinds.data(); }
    const std::size_t *inputOffsetData() const { return inputOffsets.data(); }
    const std::int32_t *inputData() const { return inputs.data(); }
    /// Whether gate g of a general graph is failed, given its inputs' states and the units
    /// their failures began (per node).
    bool holds(int g, const std::int32_t *counts, const std::uint8_t *failed,
               const std::int32_t *since) const;
    const std::int32_t *thresholdData() const { return thresholds.data(); }
    /// The gates that `node` feeds: [begin, end) of gate indices.
    const std::int32_t *parentsBegin(int node) const {
        return parents.data() + parentOffsets[static_cast<std::size_t>(node)];
    }
    const std::int32_t *parentsEnd(int node) const {
        return parents.data() + parentOffsets[static_cast<std::size_t>(node) + 1];
    }
    const std::size_t *parentOffsetData() const { return parentOffsets.data(); }
    const std::int32_t *parentData() const { return parents.data(); }
    std::size_t nEdges() const { return parents.size(); }

    /// With every component working: per gate its failed inputs, per node its state, and the
    /// gates that are failed (in gate order).
    const std::vector<std::int32_t> &initialFailedInputs() const { return startCounts; }
    const std::vector<std::uint8_t> &initialNodeFailed() const { return startFailed; }
    const std::vector<std::int32_t> &initiallyFailed() const { return startFailedGates; }
    /// Whether the top is failed once every component is; monotone logic fails nowhere else
    /// if not there. Always true for a general graph, whose top may fail with fewer failed.
    bool topCanFail() const;

private:
    // Takes each gate's threshold and inputs (gate g's in [inputOffsets[g], [g + 1])).
    void build(const std::vector<std::size_t> &inputOffsets,
               const std::vector<std::int32_t> &inputNodes);
    // The inputs a general graph keeps, of gates given by kinds.
    void keepInputs(std::vector<GateKind> gateKinds, const std::vector<std::size_t> &offsets,
                    const std::vector<std::int32_t> &nodes);
    // Node states and per-gate failed inputs with every component failed or working.
    void settle(bool componentsFailed, std::vector<std::int32_t> &counts,
                std::vector<std::uint8_t> &failed) const;

    int components = 0;
    int topNode = 0;
    bool userGates = false;
    std::vector<std::int32_t> thresholds;
    std::vector<std::size_t> parentOffsets; // nNodes + 1 entries into parents
    std::vector<std::int32_t> parents;
    std::vector<std::int32_t> startCounts;
    std::vector<std::uint8_t> startFailed;
    std::vector<std::int32_t> startFailedGates;
    bool isGeneral = false;
    std::vector<GateKind> kinds;           // general graphs only
    std::vector<std::size_t> inputOffsets; // general graphs only: nGates + 1 entries
    std::vector<std::int32_t> inputs;      // general graphs only
};

} // namespace tavoq
