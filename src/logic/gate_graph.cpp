#include "logic/gate_graph.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "cutset/cutset_index.hpp"
#include "logic/fault_tree.hpp"

namespace tavoq {

GateGraph::GateGraph(const FaultTree &tree)
    : components(tree.nComponents()), topNode(tree.top()), userGates(true) {
    if (topNode < 0) {
        throw std::invalid_argument("The fault tree has no top: call setTop first.");
    }
    std::vector<std::size_t> offsets{0};
    std::vector<std::int32_t> nodes;
    std::vector<GateKind> gateKinds;
    for (int g = 0; g < tree.nGates(); ++g) {
        thresholds.push_back(tree.threshold(g));
        gateKinds.push_back(tree.kind(g));
        const auto listed = tree.inputs(g);
        nodes.insert(nodes.end(), listed.begin(), listed.end());
        offsets.push_back(nodes.size());
    }
    keepInputs(std::move(gateKinds), offsets, nodes);
    build(offsets, nodes);
}

GateGraph::GateGraph(const CutsetIndex &cutsets) : components(cutsets.nComponents()) {
    const int nCutsets = cutsets.nCutsets();
    if (nCutsets == std::numeric_limits<int>::max() ||
        components > std::numeric_limits<int>::max() - nCutsets - 1) {
        throw std::invalid_argument("Too many cut sets for one model.");
    }
    // Gate k's members, from the index's members per component (each list in increasing
    // cut-set number, so a counting pass places them).
    std::vector<std::size_t> offsets(static_cast<std::size_t>(nCutsets) + 2, 0);
    for (int k = 0; k < nCutsets; ++k) {
        thresholds.push_back(cutsets.size(k));
        offsets[static_cast<std::size_t>(k) + 1] =
            offsets[static_cast<std::size_t>(k)] + static_cast<std::size_t>(cutsets.size(k));
    }
    const std::size_t members = offsets[static_cast<std::size_t>(nCutsets)];
    std::vector<std::int32_t> inputs(members + static_cast<std::size_t>(nCutsets));
    std::vector<std::size_t> next(offsets.begin(), offsets.begin() + nCutsets);
    for (int c = 0; c < components; ++c) {
        for (const std::int32_t *k = cutsets.cutsetsOfBegin(c); k != cutsets.cutsetsOfEnd(c);
             ++k) {
            inputs[next[static_cast<std::size_t>(*k)]++] = c;
        }
    }
    // The top: any cut set.
    thresholds.push_back(1);
    for (int k = 0; k < nCutsets; ++k) {
        inputs[members + static_cast<std::size_t>(k)] = components + k;
    }
    offsets[static_cast<std::size_t>(nCutsets) + 1] = inputs.size();
    topNode = components + nCutsets;
    build(offsets, inputs);
}

void GateGraph::keepInputs(std::vector<GateKind> gateKinds,
                           const std::vector<std::size_t> &offsets,
                           const std::vector<std::int32_t> &nodes) {
    isGeneral = std::any_of(gateKinds.begin(), gateKinds.end(),
                            [](GateKind k) { return !isThreshold(k); });
    if (isGeneral) {
        kinds = std::move(gateKinds);
        inputOffsets = offsets;
        inputs = nodes;
    }
}

bool GateGraph::holds(int g, const std::int32_t *counts, const std::uint8_t *failed,
                      const std::int32_t *since) const {
    const auto i = static_cast<std::size_t>(g);
    const GateKind k = kinds[i];
    const std::int32_t *in = inputs.data() + inputOffsets[i];
    const int n = static_cast<int>(inputOffsets[i + 1] - inputOffsets[i]);
    return gateHolds(
        k, n, thresholds[i], counts[i],
        [&](int j) { return failed[static_cast<std::size_t>(in[j])] != 0; },
        [&](int j) { return since[static_cast<std::size_t>(in[j])]; });
}

void GateGraph::build(const std::vector<std::size_t> &inputOffsets,
                      const std::vector<std::int32_t> &inputNodes) {
    const auto nodes = static_cast<std::size_t>(nNodes());
    // Parents grouped by node, each group in increasing gate index.
    parentOffsets.assign(nodes + 1, 0);
    for (const std::int32_t input : inputNodes) {
        ++parentOffsets[static_cast<std::size_t>(input) + 1];
    }
    for (std::size_t n = 0; n < nodes; ++n) {
        parentOffsets[n + 1] += parentOffsets[n];
    }
    parents.resize(inputNodes.size());
    std::vector<std::size_t> next(parentOffsets.begin(), parentOffsets.end() - 1);
    for (std::size_t g = 0; g + 1 < inputOffsets.size(); ++g) {
        for (std::size_t j = inputOffsets[g]; j < inputOffsets[g + 1]; ++j) {
            parents[next[static_cast<std::size_t>(inputNodes[j])]++] =
                static_cast<std::int32_t>(g);
        }
    }
    settle(false, startCounts, startFailed);
    for (int g = 0; g < nGates(); ++g) {
        if (startFailed[static_cast<std::size_t>(components + g)] != 0) {
            startFailedGates.push_back(g);
        }
    }
}

void GateGraph::settle(bool componentsFailed, std::vector<std::int32_t> &counts,
                       std::vector<std::uint8_t> &failed) const {
    const auto nodes = static_cast<std::size_t>(nNodes());
    counts.assign(thresholds.size(), 0);
    failed.assign(nodes, 0);
    const std::vector<std::int32_t> since(isGeneral ? nodes : 0, 0); // all at once
    // In node order every gate's inputs are settled before it.
    for (std::size_t n = 0; n < nodes; ++n) {
        if (n < static_cast<std::size_t>(components)) {
            failed[n] = componentsFailed ? 1 : 0;
        } else {
            const std::size_t g = n - static_cast<std::size_t>(components);
            const bool holdsNow =
                isGeneral ? holds(static_cast<int>(g), counts.data(), failed.data(), since.data())
                          : counts[g] >= thresholds[g];
            failed[n] = holdsNow ? 1 : 0;
        }
        if (failed[n] != 0) {
            for (const std::int32_t *p = parentsBegin(static_cast<int>(n));
                 p != parentsEnd(static_cast<int>(n)); ++p) {
                ++counts[static_cast<std::size_t>(*p)];
            }
        }
    }
}

bool GateGraph::topCanFail() const {
    if (isGeneral) {
        return true;
    }
    std::vector<std::int32_t> counts;
    std::vector<std::uint8_t> failed;
    settle(true, counts, failed);
    return failed[static_cast<std::size_t>(topNode)] != 0;
}

} // namespace tavoq
