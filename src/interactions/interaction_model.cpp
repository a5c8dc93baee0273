#include "interactions/interaction_model.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

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
    setModules(in, matrix, nNodes);
    setGroups(in, matrix);
    setPairs(in, matrix);
    nestModules(nNodes);
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

void InteractionModel::setModules(const Interactions &in, const TransitionModel &matrix,
                                  int nNodes) {
    const auto n = static_cast<std::size_t>(components);
    activeStates.assign(n, -1);
    standbyStates.assign(n, -1);
    partOf.assign(n, -1);
    for (const auto &module : in.moduleList()) {
        const int m = static_cast<int>(moduleList.size());
        if (module.node >= nNodes) {
            throw std::invalid_argument("addSpareModule: node " + std::to_string(module.node) +
                                        " is not a node of the fault tree (0 .. " +
                                        std::to_string(nNodes - 1) + ").");
        }
        const int first = static_cast<int>(parts.size());
        for (std::size_t i = 0; i < module.components.size(); ++i) {
            const int c = module.components[i];
            const int a = module.activeStates[i];
            const int s = module.standbyStates[i];
            requireState(matrix, c, a, "addSpareModule: active state");
            requireState(matrix, c, s, "addSpareModule: standby state");
            if (kind(c, a) != StateKind::Working || kind(c, s) != StateKind::Working) {
                throw std::invalid_argument("addSpareModule: " + name(c) +
                                            ": its active and standby states must be working.");
            }
            const auto k = static_cast<std::size_t>(c);
            if (partOf[k] >= 0) {
                throw std::invalid_argument("addSpareModule: " + name(c) +
                                            " is a part of two spare modules.");
            }
            partOf[k] = m;
            activeStates[k] = a;
            standbyStates[k] = s;
            parts.push_back(c);
        }
        const int firstGroup = static_cast<int>(innerGroups.size());
        for (const int g : module.groups) {
            if (g >= in.nGroups()) {
                throw std::invalid_argument("addSpareModule: group " + std::to_string(g) +
                                            " was never added (" + std::to_string(in.nGroups()) +
                                            " groups).");
            }
            innerGroups.push_back(g);
        }
        moduleList.push_back(Module{module.node, first, static_cast<int>(parts.size()), firstGroup,
                                    static_cast<int>(innerGroups.size()), 0, 0});
    }
}

void InteractionModel::setGroups(const Interactions &in, const TransitionModel &matrix) {
    const int nComponents = components;
    for (const auto &g : in.groupList()) {
        const int first = static_cast<int>(unitComponents.size());
        bool modular = false;
        for (std::size_t i = 0; i < g.units.size(); ++i) {
            const int c = g.units[i];
            if (c >= nComponents) {
                unitComponents.push_back(-1);
                unitSwitchFailedStates.push_back(-1);
                unitModules.push_back(c - nComponents);
                modular = true;
                continue;
            }
            if (partOf[static_cast<std::size_t>(c)] >= 0) {
                throw std::invalid_argument("addStandbyGroup: " + name(c) +
                                            " is a part of a spare module: list the module.");
            }
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
            unitModules.push_back(-1);
        }
        groupList.push_back(Group{first, static_cast<int>(unitComponents.size()), g.switchFailure,
                                  g.revert, modular, -1});
    }
}

void InteractionModel::setPairs(const Interactions &in, const TransitionModel &matrix) {
    const std::size_t cells = stateOffsets.back();
    pairedActives.assign(cells, -1);
    pairedStandbys.assign(cells, -1);
    const auto pair = [&](int c, int a, int s) {
        if (pairedActives[cell(c, a)] >= 0 || pairedStandbys[cell(c, a)] >= 0 ||
            pairedActives[cell(c, s)] >= 0 || pairedStandbys[cell(c, s)] >= 0) {
            throw std::invalid_argument("addStatePair: " + name(c) + ": state " +
                                        std::to_string(a) + " or " + std::to_string(s) +
                                        " is in another pair already.");
        }
        pairedStandbys[cell(c, a)] = s;
        pairedActives[cell(c, s)] = a;
    };
    for (int c = 0; c < components; ++c) {
        if (activeStates[static_cast<std::size_t>(c)] >= 0) {
            pair(c, activeStates[static_cast<std::size_t>(c)],
                 standbyStates[static_cast<std::size_t>(c)]);
        }
    }
    std::vector<std::uint8_t> staged(static_cast<std::size_t>(components), 0);
    for (const auto &p : in.pairList()) {
        requireState(matrix, p.component, p.activeState, "addStatePair: activeState");
        requireState(matrix, p.component, p.standbyState, "addStatePair: standbyState");
        if (activeStates[static_cast<std::size_t>(p.component)] < 0) {
            throw std::invalid_argument("addStatePair: " + name(p.component) +
                                        " is neither a unit nor a part of a spare module.");
        }
        if (kind(p.component, p.activeState) != StateKind::Working ||
            kind(p.component, p.standbyState) != StateKind::Working) {
            throw std::invalid_argument("addStatePair: " + name(p.component) +
                                        ": both states must be working.");
        }
        pair(p.component, p.activeState, p.standbyState);
        staged[static_cast<std::size_t>(p.component)] = 1;
    }
    // A group with a unit in stages takes the rules of groups with modules, which read the
    // pairs; the others keep theirs.
    for (Group &g : groupList) {
        for (int u = g.firstUnit; u < g.endUnit; ++u) {
            const int c = unitComponent(u);
            if (c >= 0 && staged[static_cast<std::size_t>(c)] != 0) {
                g.modular = true;
                if (g.switchFailure > 0) {
                    throw std::invalid_argument("addStatePair: " + name(c) +
                                                " is a unit of a group with a switch failure.");
                }
            }
        }
    }
}

void InteractionModel::nestModules(int nNodes) {
    for (std::size_t m = 0; m < moduleList.size(); ++m) {
        for (int i = moduleList[m].firstGroup; i < moduleList[m].endGroup; ++i) {
            Group &inner = groupList[static_cast<std::size_t>(innerGroup(i))];
            if (inner.owner >= 0) {
                throw std::invalid_argument("addSpareModule: group " +
                                            std::to_string(innerGroup(i)) +
                                            " is inside two spare modules.");
            }
            if (inner.switchFailure > 0) {
                throw std::invalid_argument("addSpareModule: group " +
                                            std::to_string(innerGroup(i)) +
                                            " has a switch failure; a group inside a spare "
                                            "module cannot.");
            }
            inner.owner = static_cast<int>(m);
            inner.modular = true;
        }
    }
    // Per module, the groups that list it (group order).
    for (std::size_t g = 0; g < groupList.size(); ++g) {
        for (int u = groupList[g].firstUnit; u < groupList[g].endUnit; ++u) {
            const int m = unitModule(u);
            if (m >= 0) {
                ++moduleList[static_cast<std::size_t>(m)].endListing;
            }
        }
    }
    int offset = 0;
    for (Module &module : moduleList) {
        const int count = module.endListing;
        module.firstListing = module.endListing = offset;
        offset += count;
    }
    listings.assign(static_cast<std::size_t>(offset), 0);
    for (std::size_t g = 0; g < groupList.size(); ++g) {
        for (int u = groupList[g].firstUnit; u < groupList[g].endUnit; ++u) {
            const int m = unitModule(u);
            if (m >= 0) {
                listings[static_cast<std::size_t>(
                    moduleList[static_cast<std::size_t>(m)].endListing++)] = static_cast<int>(g);
            }
        }
    }
    // Per node, the groups that list a module of that node (each once, in group order).
    watchOffsets.assign(static_cast<std::size_t>(nNodes) + 1, 0);
    for (const Module &module : moduleList) {
        watchOffsets[static_cast<std::size_t>(module.node) + 1] +=
            module.endListing - module.firstListing;
    }
    for (std::size_t n = 1; n < watchOffsets.size(); ++n) {
        watchOffsets[n] += watchOffsets[n - 1];
    }
    watchers.assign(static_cast<std::size_t>(watchOffsets.back()), 0);
    {
        std::vector<int> next(watchOffsets.begin(), watchOffsets.end() - 1);
        for (const Module &module : moduleList) {
            for (int i = module.firstListing; i < module.endListing; ++i) {
                watchers[static_cast<std::size_t>(next[static_cast<std::size_t>(module.node)]++)] =
                    listing(i);
            }
        }
    }
    // A group inside itself would wake and sleep itself: refused. Each group is inside the
    // groups that list its module; follow those links upwards from every group.
    const std::size_t nGroups = groupList.size();
    std::vector<std::uint8_t> done(nGroups, 0); // 1 on the path, 2 checked
    std::vector<std::pair<int, int>> path;      // (group, next listing to follow)
    for (std::size_t start = 0; start < nGroups; ++start) {
        if (done[start] != 0) {
            continue;
        }
        path.emplace_back(static_cast<int>(start), 0);
        done[start] = 1;
        while (!path.empty()) {
            auto &[g, next] = path.back();
            const int owner = groupList[static_cast<std::size_t>(g)].owner;
            const Module *module =
                owner >= 0 ? &moduleList[static_cast<std::size_t>(owner)] : nullptr;
            if (module == nullptr || module->firstListing + next >= module->endListing) {
                done[static_cast<std::size_t>(g)] = 2;
                path.pop_back();
                continue;
            }
            const int above = listing(module->firstListing + next++);
            const auto a = static_cast<std::size_t>(above);
            if (done[a] == 1) {
                throw std::invalid_argument("addSpareModule: group " + std::to_string(above) +
                                            " is inside itself, through spare modules.");
            }
            if (done[a] == 0) {
                done[a] = 1;
                path.emplace_back(above, 0);
            }
        }
    }
}

void InteractionModel::indexGroups() {
    const int nComponents = components;
    // The components whose moves a group must look at: its units, and its modules' parts.
    const auto forEachComponent = [&](int u, auto &&f) {
        const int m = unitModule(u);
        if (m < 0) {
            f(unitComponent(u));
            return;
        }
        const Module &module = moduleList[static_cast<std::size_t>(m)];
        for (int i = module.firstPart; i < module.endPart; ++i) {
            f(part(i));
        }
    };
    groupOffsets.assign(static_cast<std::size_t>(nComponents) + 1, 0);
    for (std::size_t g = 0; g < groupList.size(); ++g) {
        for (int u = groupList[g].firstUnit; u < groupList[g].endUnit; ++u) {
            forEachComponent(u, [&](int c) { ++groupOffsets[static_cast<std::size_t>(c) + 1]; });
        }
    }
    for (std::size_t c = 1; c < groupOffsets.size(); ++c) {
        groupOffsets[c] += groupOffsets[c - 1];
    }
    groupIndices.assign(static_cast<std::size_t>(groupOffsets.back()), 0);
    std::vector<int> next(groupOffsets.begin(), groupOffsets.end() - 1);
    for (std::size_t g = 0; g < groupList.size(); ++g) {
        for (int u = groupList[g].firstUnit; u < groupList[g].endUnit; ++u) {
            forEachComponent(u, [&](int c) {
                groupIndices[static_cast<std::size_t>(next[static_cast<std::size_t>(c)]++)] =
                    static_cast<int>(g);
            });
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
