#include "interactions/interactions.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace tavoq {

namespace {

void requireState(int s, const char *what) {
    if (s < 0) {
        throw std::invalid_argument(std::string(what) + " must not be negative, got " +
                                    std::to_string(s) + ".");
    }
}

} // namespace

Interactions::Interactions(int nComponents) : components(nComponents) {
    if (nComponents < 1) {
        throw std::invalid_argument("Interactions need at least one component, got " +
                                    std::to_string(nComponents) + ".");
    }
}

void Interactions::requireComponent(int c, const char *what) const {
    if (c < 0 || c >= components) {
        throw std::invalid_argument(std::string(what) + " " + std::to_string(c) +
                                    " is not a component (0 .. " + std::to_string(components - 1) +
                                    ").");
    }
}

void Interactions::setStateKinds(int component, const std::vector<int> &stateKinds) {
    requireComponent(component, "setStateKinds: component");
    if (stateKinds.empty()) {
        throw std::invalid_argument("setStateKinds: kinds must not be empty.");
    }
    for (const int k : stateKinds) {
        if (k < 0 || k > 2) {
            throw std::invalid_argument("setStateKinds: a kind is 0 (working), 1 (failed) or 2 "
                                        "(planned), got " +
                                        std::to_string(k) + ".");
        }
    }
    if (stateKinds[0] != 0) {
        throw std::invalid_argument("setStateKinds: state 0 of component " +
                                    std::to_string(component) +
                                    " must be working: every run starts there.");
    }
    if (kinds.empty()) {
        kinds.resize(static_cast<std::size_t>(components));
    }
    kinds[static_cast<std::size_t>(component)] = stateKinds;
}

void Interactions::addTrigger(int source, bool onFailure, std::vector<Move> moves,
                              double probability) {
    if (source < 0) {
        throw std::invalid_argument("addTrigger: source must be a node id, got " +
                                    std::to_string(source) + ".");
    }
    if (moves.empty()) {
        throw std::invalid_argument("addTrigger: moves must not be empty.");
    }
    if (!(probability >= 0.0 && probability <= 1.0)) {
        throw std::invalid_argument("addTrigger: probability must lie in [0, 1], got " +
                                    std::to_string(probability) + ".");
    }
    for (const Move &m : moves) {
        requireComponent(m.component, "addTrigger: moved component");
        if (m.fromStates.empty()) {
            throw std::invalid_argument("addTrigger: a move's fromStates must not be empty.");
        }
        for (const int s : m.fromStates) {
            requireState(s, "addTrigger: a from-state");
        }
        requireState(m.toState, "addTrigger: a to-state");
    }
    triggers.push_back(Trigger{source, onFailure, std::move(moves), probability});
}

int Interactions::addStandbyGroup(std::vector<int> units, std::vector<int> activeStates,
                                  std::vector<int> standbyStates,
                                  std::vector<int> switchFailedStates, double switchFailure,
                                  bool revert) {
    if (units.empty()) {
        throw std::invalid_argument("addStandbyGroup: units must not be empty.");
    }
    const std::size_t n = units.size();
    if (activeStates.size() != n || standbyStates.size() != n || switchFailedStates.size() != n) {
        throw std::invalid_argument("addStandbyGroup: activeStates, standbyStates and "
                                    "switchFailedStates need one entry per unit (" +
                                    std::to_string(n) + ").");
    }
    bool modular = false;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (units[j] == units[i]) {
                throw std::invalid_argument("addStandbyGroup: unit " + std::to_string(units[i]) +
                                            " is listed twice.");
            }
        }
        if (units[i] >= components && units[i] < components + nModules()) {
            if (activeStates[i] != -1 || standbyStates[i] != -1 || switchFailedStates[i] != -1) {
                throw std::invalid_argument(
                    "addStandbyGroup: unit " + std::to_string(units[i]) +
                    " is a spare module: its states are -1 (its parts have their own).");
            }
            modular = true;
            continue;
        }
        if (units[i] < 0 || units[i] >= components) {
            throw std::invalid_argument("addStandbyGroup: unit " + std::to_string(units[i]) +
                                        " is neither a component (0 .. " +
                                        std::to_string(components - 1) +
                                        ") nor a spare module added before.");
        }
        requireState(activeStates[i], "addStandbyGroup: an active state");
        requireState(standbyStates[i], "addStandbyGroup: a standby state");
        requireState(switchFailedStates[i], "addStandbyGroup: a switch-failed state");
        if (activeStates[i] == standbyStates[i]) {
            throw std::invalid_argument("addStandbyGroup: unit " + std::to_string(units[i]) +
                                        " has the same active and standby state.");
        }
    }
    if (!(switchFailure >= 0.0 && switchFailure <= 1.0)) {
        throw std::invalid_argument("addStandbyGroup: switchFailure must lie in [0, 1], got " +
                                    std::to_string(switchFailure) + ".");
    }
    if (modular && switchFailure > 0) {
        throw std::invalid_argument("addStandbyGroup: a group with a spare module among its "
                                    "units cannot have a switch failure.");
    }
    groups.push_back(StandbyGroup{std::move(units), std::move(activeStates),
                                  std::move(standbyStates), std::move(switchFailedStates),
                                  switchFailure, revert});
    return components + nGroups() - 1;
}

int Interactions::addSpareModule(int node, std::vector<int> parts, std::vector<int> activeStates,
                                 std::vector<int> standbyStates, std::vector<int> inner) {
    if (node < 0) {
        throw std::invalid_argument("addSpareModule: node must be a node id, got " +
                                    std::to_string(node) + ".");
    }
    if (parts.empty() && inner.empty()) {
        throw std::invalid_argument("addSpareModule: a module needs components or groups.");
    }
    if (activeStates.size() != parts.size() || standbyStates.size() != parts.size()) {
        throw std::invalid_argument("addSpareModule: activeStates and standbyStates need one "
                                    "entry per component (" +
                                    std::to_string(parts.size()) + ").");
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        requireComponent(parts[i], "addSpareModule: component");
        for (std::size_t j = 0; j < i; ++j) {
            if (parts[j] == parts[i]) {
                throw std::invalid_argument("addSpareModule: component " +
                                            std::to_string(parts[i]) + " is listed twice.");
            }
        }
        requireState(activeStates[i], "addSpareModule: an active state");
        requireState(standbyStates[i], "addSpareModule: a standby state");
        if (activeStates[i] == standbyStates[i]) {
            throw std::invalid_argument("addSpareModule: component " + std::to_string(parts[i]) +
                                        " has the same active and standby state.");
        }
    }
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] < 0) {
            throw std::invalid_argument("addSpareModule: group " + std::to_string(inner[i]) +
                                        " is no group number.");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (inner[j] == inner[i]) {
                throw std::invalid_argument("addSpareModule: group " + std::to_string(inner[i]) +
                                            " is listed twice.");
            }
        }
    }
    modules.push_back(SpareModule{node, std::move(parts), std::move(activeStates),
                                  std::move(standbyStates), std::move(inner)});
    return components + nModules() - 1;
}

void Interactions::addStatePair(int component, int activeState, int standbyState) {
    requireComponent(component, "addStatePair: component");
    requireState(activeState, "addStatePair: activeState");
    requireState(standbyState, "addStatePair: standbyState");
    if (activeState == standbyState) {
        throw std::invalid_argument("addStatePair: the active and standby states are the same.");
    }
    pairs.push_back(StatePair{component, activeState, standbyState});
}

int Interactions::addCommonCause(const Distribution *distribution, std::vector<int> members,
                                 std::vector<int> toStates) {
    if (distribution == nullptr) {
        throw std::invalid_argument("addCommonCause: distribution must not be None.");
    }
    if (members.empty()) {
        throw std::invalid_argument("addCommonCause: members must not be empty.");
    }
    if (toStates.size() != members.size()) {
        throw std::invalid_argument("addCommonCause: toStates needs one entry per member (" +
                                    std::to_string(members.size()) + ").");
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        requireComponent(members[i], "addCommonCause: member");
        requireState(toStates[i], "addCommonCause: a to-state");
    }
    causes.push_back(CommonCause{distribution, std::move(members), std::move(toStates)});
    return nCommonCauses() - 1;
}

int Interactions::addCrewPool(int nCrews) {
    if (nCrews < 1) {
        throw std::invalid_argument("addCrewPool: nCrews must be at least 1, got " +
                                    std::to_string(nCrews) + ".");
    }
    pools.push_back(nCrews);
    return nPools() - 1;
}

void Interactions::setCrew(int component, int state, int pool, int priority) {
    requireComponent(component, "setCrew: component");
    requireState(state, "setCrew: state");
    if (pool < 0 || pool >= nPools()) {
        throw std::invalid_argument("setCrew: pool " + std::to_string(pool) + " was not added (" +
                                    std::to_string(nPools()) + " pools).");
    }
    for (Crew &c : crews) {
        if (c.component == component && c.state == state) {
            c = Crew{component, state, pool, priority};
            return;
        }
    }
    crews.push_back(Crew{component, state, pool, priority});
}

} // namespace tavoq
