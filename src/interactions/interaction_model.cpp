#include "interactions/interaction_model.hpp"

#include <stdexcept>
#include <string>

namespace tavoq {

namespace {

std::string name(int c) { return "component " + std::to_string(c); }

} // namespace

InteractionModel::InteractionModel(const Interactions &in, const TransitionModel &matrix,
                                   int nLeaves, int nNodes)
    : components(matrix.nComponents()) {
    const int nComponents = components;
    if (in.nComponents() != nComponents) {
        throw std::invalid_argument("The interactions have " + std::to_string(in.nComponents()) +
                                    " components and the transitions matrix " +
                                    std::to_string(nComponents) + ": they must be equal.");
    }
    if (nLeaves != nComponents + in.nGroups()) {
        throw std::invalid_argument("The fault tree has " + std::to_string(nLeaves) +
                                    " components; with " + std::to_string(in.nGroups()) +
                                    " standby groups it needs " +
                                    std::to_string(nComponents + in.nGroups()) +
                                    " (the matrix's components, then one leaf per group).");
    }
    // Each component keeps its own number of states: its cells follow the previous one's.
    stateOffsets.assign(static_cast<std::size_t>(nComponents) + 1, 0);
    for (int c = 0; c < nComponents; ++c) {
        stateOffsets[static_cast<std::size_t>(c) + 1] =
            stateOffsets[static_cast<std::size_t>(c)] +
            static_cast<std::size_t>(matrix.nStates(c));
    }
    setKinds(in, matrix);
    setTriggers(in, matrix, nNodes);
    setGroups(in, matrix);
    indexGroups();
    setCauses(in, matrix);
    setCrews(in, matrix);
}

void InteractionModel::requireState(const TransitionModel &matrix, int c, int s,
                                    const std::string &what) const {
    const int n = matrix.nStates(c);
    if (s < 0 || s >= n) {
        throw std::invalid_argument(what + " " + std::to_string(s) + " is not a state of " +
                                    name(c) + " in the matrix (0 .. " + std::to_string(n - 1) +
                                    ").");
    }
}

void InteractionModel::setKinds(const Interactions &in, const TransitionModel &matrix) {
    const int nComponents = components;
    const std::size_t cells = stateOffsets.back();
    kinds.assign(cells, StateKind::Failed);
    for (int c = 0; c < nComponents; ++c) {
        kinds[cell(c, 0)] = StateKind::Working;
    }
    const auto &declared = in.stateKinds();
    for (std::size_t c = 0; c < declared.size(); ++c) {
        const auto &k = declared[c];
        if (k.empty()) {
            continue;
        }
        const int nStates = matrix.nStates(static_cast<int>(c));
        if (k.size() != static_cast<std::size_t>(nStates)) {
            throw std::invalid_argument("setStateKinds: " + name(static_cast<int>(c)) + " has " +
                                        std::to_string(k.size()) + " kinds and the matrix " +
                                        std::to_string(nStates) + " states.");
        }
        for (int s = 0; s < nStates; ++s) {
            kinds[cell(static_cast<int>(c), s)] =
                static_cast<StateKind>(k[static_cast<std::size_t>(s)]);
            planned = planned || k[static_cast<std::size_t>(s)] == 2;
        }
    }
}

void InteractionModel::setTriggers(const Interactions &in, const TransitionModel &matrix,
                                   int nNodes) {
    // Triggers, and per node the ones watching it (in file order, as added).
    std::vector<int> perNode(static_cast<std::size_t>(nNodes) + 1, 0);
    for (const auto &t : in.triggerList()) {
        if (t.source >= nNodes) {
            throw std::invalid_argument("addTrigger: source " + std::to_string(t.source) +
                                        " is not a node of the fault tree (0 .. " +
                                        std::to_string(nNodes - 1) + ").");
        }
        const int first = static_cast<int>(moves.size());
        for (const auto &m : t.moves) {
            requireState(matrix, m.component, m.toState, "addTrigger: to-state");
            const std::size_t base = fromStates.size();
            moves.push_back(TriggerMove{m.component, m.toState, base, t.probability});
            fromStates.resize(base + static_cast<std::size_t>(matrix.nStates(m.component)), 0);
            for (const int s : m.fromStates) {
                requireState(matrix, m.component, s, "addTrigger: from-state");
                fromStates[base + static_cast<std::size_t>(s)] = 1;
            }
        }
        triggerList.push_back(
            Trigger{t.source, t.onFailure, first, static_cast<int>(moves.size())});
        ++perNode[static_cast<std::size_t>(t.source) + 1];
    }
    for (std::size_t n = 1; n < perNode.size(); ++n) {
        perNode[n] += perNode[n - 1];
    }
    bySourceOffsets = perNode;
    bySource.assign(triggerList.size(), 0);
    for (std::size_t i = 0; i < triggerList.size(); ++i) {
        bySource[static_cast<std::size_t>(
            perNode[static_cast<std::size_t>(triggerList[i].source)]++)] = static_cast<int>(i);
    }
}

void InteractionModel::setGroups(const Interactions &in, const TransitionModel &matrix) {
    const int nComponents = components;
    activeStates.assign(static_cast<std::size_t>(nComponents), -1);
    standbyStates.assign(static_cast<std::size_t>(nComponents), -1);
    for (const auto &g : in.groupList()) {
        const int first = static_cast<int>(unitComponents.size());
        for (std::size_t i = 0; i < g.units.size(); ++i) {
            const int c = g.units[i];
            const int a = g.activeStates[i];
            const int s = g.standbyStates[i];
            const int f = g.switchFailedStates[i];
            requireState(matrix, c, a, "addStandbyGroup: active state");
            requireState(matrix, c, s, "addStandbyGroup: standby state");
            requireState(matrix, c, f, "addStandbyGroup: switch-failed state");
            if (kind(c, a) != StateKind::Working || kind(c, s) != StateKind::Working) {
                throw std::invalid_argument("addStandbyGroup: " + name(c) +
                                            ": its active and standby states must be working.");
            }
            if (kind(c, f) == StateKind::Working) {
                throw std::invalid_argument("addStandbyGroup: " + name(c) +
                                            ": its switch-failed state must not be working.");
            }
            const auto k = static_cast<std::size_t>(c);
            if (activeStates[k] >= 0 && (activeStates[k] != a || standbyStates[k] != s)) {
                throw std::invalid_argument("addStandbyGroup: " + name(c) +
                                            " is a unit of several groups with different "
                                            "active or standby states.");
            }
            activeStates[k] = a;
            standbyStates[k] = s;
            unitComponents.push_back(c);
            unitSwitchFailedStates.push_back(f);
        }
        groupList.push_back(
            Group{first, static_cast<int>(unitComponents.size()), g.switchFailure, g.revert});
    }
}

void InteractionModel::indexGroups() {
    const int nComponents = components;
    groupOffsets.assign(static_cast<std::size_t>(nComponents) + 1, 0);
    for (const int c : unitComponents) {
        ++groupOffsets[static_cast<std::size_t>(c) + 1];
    }
    for (std::size_t c = 1; c < groupOffsets.size(); ++c) {
        groupOffsets[c] += groupOffsets[c - 1];
    }
    groupIndices.assign(unitComponents.size(), 0);
    {
        std::vector<int> next(groupOffsets.begin(), groupOffsets.end() - 1);
        for (std::size_t g = 0; g < groupList.size(); ++g) {
            for (int u = groupList[g].firstUnit; u < groupList[g].endUnit; ++u) {
                const auto c =
                    static_cast<std::size_t>(unitComponents[static_cast<std::size_t>(u)]);
                groupIndices[static_cast<std::size_t>(next[c]++)] = static_cast<int>(g);
            }
        }
    }
}

void InteractionModel::setCauses(const Interactions &in, const TransitionModel &matrix) {
    for (const auto &cc : in.causeList()) {
        const int first = static_cast<int>(members.size());
        for (std::size_t i = 0; i < cc.members.size(); ++i) {
            requireState(matrix, cc.members[i], cc.toStates[i], "addCommonCause: to-state");
            members.push_back(cc.members[i]);
            memberToStates.push_back(cc.toStates[i]);
        }
        causeList.push_back(Cause{cc.distribution, first, static_cast<int>(members.size())});
    }
}

void InteractionModel::setCrews(const Interactions &in, const TransitionModel &matrix) {
    const std::size_t cells = stateOffsets.back();
    pools = in.poolSizes();
    crewPools.assign(cells, -1);
    crewPriorities.assign(cells, 0);
    for (const auto &crew : in.crewList()) {
        requireState(matrix, crew.component, crew.state, "setCrew: state");
        if (kind(crew.component, crew.state) == StateKind::Working) {
            throw std::invalid_argument("setCrew: " + name(crew.component) + ": state " +
                                        std::to_string(crew.state) +
                                        " is working; a crew serves a failed or planned state.");
        }
        crewPools[cell(crew.component, crew.state)] = crew.pool;
        crewPriorities[cell(crew.component, crew.state)] = crew.priority;
    }
}

} // namespace tavoq
