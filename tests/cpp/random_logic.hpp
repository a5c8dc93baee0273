#pragma once

// Random failure logic for the tests: a DAG of gates (or / and / atleast, or of every kind)
// whose inputs are drawn, repeats allowed, from all earlier nodes, with an independent
// evaluation of the thresholds straight from the gate definitions.

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "logic/fault_tree.hpp"

namespace testlogic {

struct GateDesc {
    std::string kind;
    std::vector<int> inputs;
    int k = 0;
};

struct Logic {
    int nComponents = 0;
    std::vector<GateDesc> gates;
    int top = -1;
};

inline int draw(std::mt19937 &rng, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

/// Gates draw 1 to maxInputs inputs; later gates lean towards recent nodes so that the graph
/// gets deep as well as shared. The top is the last gate. `general`: the kinds are drawn from
/// every kind, not only the thresholds (or, and, atleast).
inline Logic randomLogic(std::mt19937 &rng, int nComponents, int nGates, int maxInputs = 4,
                         bool general = false) {
    Logic logic;
    logic.nComponents = nComponents;
    static const char *const kinds[] = {
        "or",  "and",  "atleast",        "not", "nand",          "nor",         "xor",
        "iff", "pand", "pand_exclusive", "por", "por_exclusive", "pand_memory", "por_memory"};
    for (int g = 0; g < nGates; ++g) {
        const int nodes = nComponents + g;
        GateDesc desc;
        desc.kind = kinds[draw(rng, 0, general ? 13 : 2)];
        const std::string &kind = desc.kind;
        const bool single = kind == "not";
        const bool pair = kind == "xor" || kind == "iff" || kind.rfind("pand", 0) == 0 ||
                          kind.rfind("por", 0) == 0;
        const int n = single ? 1 : draw(rng, pair ? 2 : 1, std::max(maxInputs, 2));
        for (int j = 0; j < n; ++j) {
            const bool recent = g > 0 && draw(rng, 0, 2) == 0;
            desc.inputs.push_back(recent ? draw(rng, std::max(nComponents, nodes - 3), nodes - 1)
                                         : draw(rng, 0, nodes - 1));
        }
        if (desc.kind == "atleast") {
            desc.k = draw(rng, 1, n);
        }
        logic.gates.push_back(desc);
    }
    logic.top = nComponents + nGates - 1;
    return logic;
}

/// Node `node`'s state, from the gate definitions alone (listed inputs counted each time).
inline bool reference(const Logic &logic, int node, const std::vector<int> &failed) {
    if (node < logic.nComponents) {
        return node < static_cast<int>(failed.size()) && failed[static_cast<std::size_t>(node)];
    }
    const GateDesc &gate = logic.gates[static_cast<std::size_t>(node - logic.nComponents)];
    int count = 0;
    for (const int input : gate.inputs) {
        count += reference(logic, input, failed) ? 1 : 0;
    }
    const int n = static_cast<int>(gate.inputs.size());
    if (gate.kind == "or") {
        return count > 0;
    }
    if (gate.kind == "and") {
        return count == n;
    }
    return count >= gate.k;
}

inline std::unique_ptr<tavoq::FaultTree> build(const Logic &logic) {
    auto tree = std::make_unique<tavoq::FaultTree>(logic.nComponents);
    for (const GateDesc &gate : logic.gates) {
        tree->addGate(gate.kind, gate.inputs, gate.k);
    }
    tree->setTop(logic.top);
    return tree;
}

/// The minimal cut sets of the top, by enumerating every set of failed components (small
/// models only), as 0/1 vectors of nComponents entries. Monotone logic: a failing set is
/// minimal when no set one member smaller fails.
inline std::vector<std::vector<int>> minimalCutsets(const Logic &logic) {
    const int n = logic.nComponents;
    std::vector<std::vector<int>> out;
    for (unsigned mask = 0; mask < (1u << n); ++mask) {
        std::vector<int> failed(static_cast<std::size_t>(n), 0);
        for (int c = 0; c < n; ++c) {
            failed[static_cast<std::size_t>(c)] = (mask >> c) & 1u;
        }
        if (!reference(logic, logic.top, failed)) {
            continue;
        }
        bool minimal = true;
        for (int c = 0; c < n && minimal; ++c) {
            if (failed[static_cast<std::size_t>(c)]) {
                failed[static_cast<std::size_t>(c)] = 0;
                minimal = !reference(logic, logic.top, failed);
                failed[static_cast<std::size_t>(c)] = 1;
            }
        }
        if (minimal) {
            out.push_back(failed);
        }
    }
    return out;
}

} // namespace testlogic
