#include "logic/fault_tree.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <string>

#include "logic/gate_graph.hpp"

namespace tavoq {

namespace {

// One entry per kind: adding a kind touches this table, the threshold rule beside it and the
// rules of gate_rule.hpp.
struct KindEntry {
    std::string_view name;
    GateKind kind;
    bool takesK;
    int minInputs;
    int maxInputs; // 0: any number
};
constexpr std::array<KindEntry, 14> kKinds{{
    {"or", GateKind::Or, false, 1, 0},
    {"and", GateKind::And, false, 1, 0},
    {"atleast", GateKind::AtLeast, true, 1, 0},
    {"not", GateKind::Not, false, 1, 1},
    {"nand", GateKind::Nand, false, 1, 0},
    {"nor", GateKind::Nor, false, 1, 0},
    {"xor", GateKind::Xor, false, 2, 0},
    {"iff", GateKind::Iff, false, 2, 0},
    {"pand", GateKind::Pand, false, 2, 0},
    {"pand_exclusive", GateKind::PandExclusive, false, 2, 0},
    {"por", GateKind::Por, false, 2, 0},
    {"por_exclusive", GateKind::PorExclusive, false, 2, 0},
    {"pand_memory", GateKind::PandMemory, false, 2, 0},
    {"por_memory", GateKind::PorMemory, false, 2, 0},
}};

const KindEntry &kindNamed(std::string_view name) {
    for (const KindEntry &entry : kKinds) {
        if (entry.name == name) {
            return entry;
        }
    }
    std::string known;
    for (const KindEntry &entry : kKinds) {
        known += (known.empty() ? "" : ", ") + std::string(entry.name);
    }
    throw std::invalid_argument("addGate: unknown gate kind \"" + std::string(name) +
                                "\" (kinds: " + known + ").");
}

int thresholdOf(GateKind kind, int nInputs, int k) {
    switch (kind) {
    case GateKind::Or:
        return 1;
    case GateKind::And:
        return nInputs;
    case GateKind::AtLeast:
        return k;
    default: // not a threshold: the count is read by the gate's own rule
        return 0;
    }
}

} // namespace

FaultTree::FaultTree(int nComponents) : components(nComponents) {
    if (nComponents < 1) {
        throw std::invalid_argument("FaultTree: nComponents must be at least 1, got " +
                                    std::to_string(nComponents) + ".");
    }
}

FaultTree::~FaultTree() = default;

void FaultTree::refuseWhilePinned() const {
    if (pins > 0) {
        throw std::logic_error("The fault tree is in use by a running simulation and cannot "
                               "change until that call returns.");
    }
}

int FaultTree::addGate(std::string_view kind, const std::vector<int> &inputs, int k) {
    refuseWhilePinned();
    const KindEntry &entry = kindNamed(kind);
    const std::string name = "addGate(\"" + std::string(entry.name) + "\")";
    if (inputs.empty()) {
        throw std::invalid_argument(name + ": a gate needs at least one input.");
    }
    if (inputs.size() < static_cast<std::size_t>(entry.minInputs)) {
        throw std::invalid_argument(name + ": needs at least " + std::to_string(entry.minInputs) +
                                    " inputs, got " + std::to_string(inputs.size()) + ".");
    }
    if (entry.maxInputs > 0 && inputs.size() > static_cast<std::size_t>(entry.maxInputs)) {
        throw std::invalid_argument(name + ": takes exactly " + std::to_string(entry.maxInputs) +
                                    " input, got " + std::to_string(inputs.size()) + ".");
    }
    if (inputs.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::invalid_argument(name + ": too many inputs.");
    }
    const int nodes = nNodes();
    if (nodes == std::numeric_limits<int>::max()) {
        throw std::invalid_argument(name + ": the tree has as many nodes as it can number.");
    }
    for (std::size_t j = 0; j < inputs.size(); ++j) {
        const int input = inputs[j];
        if (input < 0 || input >= nodes) {
            throw std::invalid_argument(
                name + ": input " + std::to_string(input) + " (position " + std::to_string(j) +
                ") is not a node; the nodes so far are 0 .. " + std::to_string(nodes - 1) +
                " (components 0 .. " + std::to_string(components - 1) +
                (nodes > components
                     ? ", gates " + std::to_string(components) + " .. " + std::to_string(nodes - 1)
                     : std::string()) +
                ").");
        }
    }
    const int n = static_cast<int>(inputs.size());
    if (entry.takesK) {
        if (k < 1 || k > n) {
            throw std::invalid_argument(name + ": k must be between 1 and the number of inputs, " +
                                        std::to_string(n) + ", got " + std::to_string(k) + ".");
        }
    } else if (k != 0) {
        throw std::invalid_argument(name + ": k applies to atleast gates only; leave it 0, got " +
                                    std::to_string(k) + ".");
    }
    cachedGraph.reset();
    kinds.push_back(entry.kind);
    thresholds.push_back(thresholdOf(entry.kind, n, k));
    inputNodes.insert(inputNodes.end(), inputs.begin(), inputs.end());
    inputOffsets.push_back(inputNodes.size());
    return nodes;
}

void FaultTree::setTop(int node) {
    refuseWhilePinned();
    if (node < 0 || node >= nNodes()) {
        throw std::invalid_argument("setTop: " + std::to_string(node) +
                                    " is not a node; the nodes are 0 .. " +
                                    std::to_string(nNodes() - 1) + ".");
    }
    cachedGraph.reset();
    topNode = node;
}

void FaultTree::requireTop() const {
    if (topNode < 0) {
        throw std::invalid_argument("The fault tree has no top: call setTop first.");
    }
}

std::vector<std::uint8_t> FaultTree::evaluateNodes(const std::vector<int> &failed) const {
    std::vector<std::uint8_t> state(static_cast<std::size_t>(nNodes()), 0);
    const std::size_t known = std::min(failed.size(), static_cast<std::size_t>(components));
    for (std::size_t c = 0; c < known; ++c) {
        state[c] = failed[c] != 0 ? 1 : 0;
    }
    // Gate order is an evaluation order: every input is an earlier node. The failures given
    // are simultaneous: they all began in the same unit.
    for (int g = 0; g < nGates(); ++g) {
        const std::span<const std::int32_t> in = inputs(g);
        const int n = static_cast<int>(in.size());
        const auto inputFailed = [&](int j) {
            return state[static_cast<std::size_t>(in[static_cast<std::size_t>(j)])] != 0;
        };
        int count = 0;
        for (int j = 0; j < n; ++j) {
            count += inputFailed(j) ? 1 : 0;
        }
        const bool holds =
            gateHolds(kind(g), n, threshold(g), count, inputFailed, [](int) { return 0; });
        state[static_cast<std::size_t>(components + g)] = holds ? 1 : 0;
    }
    return state;
}

bool FaultTree::evaluate(const std::vector<int> &failed) const {
    requireTop();
    return evaluateNodes(failed)[static_cast<std::size_t>(topNode)] != 0;
}

std::vector<bool> FaultTree::evaluateGates(const std::vector<int> &failed) const {
    const std::vector<std::uint8_t> state = evaluateNodes(failed);
    return std::vector<bool>(state.begin() + components, state.end());
}

std::shared_ptr<const GateGraph> FaultTree::graph() const {
    requireTop();
    if (!cachedGraph) {
        cachedGraph = std::make_shared<const GateGraph>(*this);
    }
    return cachedGraph;
}

} // namespace tavoq
