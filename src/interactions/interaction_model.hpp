#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "distributions/distribution.hpp"
#include "interactions/interactions.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

/// The interactions of one runner call, checked against its transitions matrix and fault
/// tree and laid out flat for the engine (interacting_simulation.hpp). Built once per call
/// and shared read-only by every thread.
class InteractionModel {
public:
    struct TriggerMove {
        int component;
        int toState;
        std::size_t fromOffset; // its from-states' flags: one per state of the component
        double probability;     // its trigger's: below 1, one draw per component it moves
    };
    struct Trigger {
        int source;
        bool onFailure;
        int firstMove;
        int endMove;
    };
    struct Group {
        int firstUnit; // into unitComponent and the other unit arrays
        int endUnit;
        double switchFailure;
        bool revert;
        bool modular; // a spare module among its units, or inside a spare module
        int owner;    // the spare module it sits in, or -1
    };
    struct Module {
        int node;
        int firstPart; // into part
        int endPart;
        int firstGroup; // into innerGroup
        int endGroup;
        int firstListing; // into listing: the groups that list it
        int endListing;
    };
    struct Cause {
        const Distribution *distribution;
        int firstMember;
        int endMember;
    };

    /// `matrix` gives each component's number of states; `nLeaves` and `nNodes` are the fault
    /// tree's components (the matrix's plus one leaf per group) and nodes. @throws
    /// std::invalid_argument  the first thing that does not fit: a component count, a state past
    /// the matrix's, a source that is not a node, a group state of the wrong kind, a unit shared
    /// with other states, a component or group in two spare modules, groups nested in a
    /// cycle, a crew on a working state.
    InteractionModel(const Interactions &interactions, const TransitionModel &matrix, int nLeaves,
                     int nNodes);

    int nComponents() const { return components; }
    StateKind kind(int c, int s) const { return kinds[cell(c, s)]; }
    bool hasPlanned() const { return planned; }

    const std::vector<Trigger> &triggers() const { return triggerList; }
    const TriggerMove &move(int m) const { return moves[static_cast<std::size_t>(m)]; }
    /// Whether the trigger move m moves a component found in state s.
    bool movesFrom(int m, int s) const {
        return fromStates[moves[static_cast<std::size_t>(m)].fromOffset +
                          static_cast<std::size_t>(s)] != 0;
    }
    /// The triggers watching node n, in file order.
    const int *triggersOf(int n, int &count) const {
        const auto i = static_cast<std::size_t>(n);
        count = bySourceOffsets[i + 1] - bySourceOffsets[i];
        return bySource.data() + bySourceOffsets[i];
    }

    const std::vector<Group> &groups() const { return groupList; }
    /// A unit's component, or -1 for a spare module.
    int unitComponent(int u) const { return unitComponents[static_cast<std::size_t>(u)]; }
    /// A unit's spare module, or -1 for a component.
    int unitModule(int u) const { return unitModules[static_cast<std::size_t>(u)]; }
    const std::vector<Module> &modules() const { return moduleList; }
    /// Some group follows the rules of spare modules (a module, or a unit in stages).
    bool anyModular() const {
        for (const Group &g : groupList) {
            if (g.modular) {
                return true;
            }
        }
        return false;
    }
    int part(int i) const { return parts[static_cast<std::size_t>(i)]; }
    int innerGroup(int i) const { return innerGroups[static_cast<std::size_t>(i)]; }
    int listing(int i) const { return listings[static_cast<std::size_t>(i)]; }
    int unitSwitchFailed(int u) const {
        return unitSwitchFailedStates[static_cast<std::size_t>(u)];
    }
    /// A unit's or a module part's active and standby states (the same in every group that
    /// lists it), or -1.
    int activeState(int c) const { return activeStates[static_cast<std::size_t>(c)]; }
    int standbyState(int c) const { return standbyStates[static_cast<std::size_t>(c)]; }
    bool isUnit(int c) const { return activeStates[static_cast<std::size_t>(c)] >= 0; }
    /// For state s of a unit or a module's part: the state it switches to when switched in
    /// (a waiting state of one of its pairs) or out (a running one), else -1.
    int pairedActive(int c, int s) const { return pairedActives[cell(c, s)]; }
    int pairedStandby(int c, int s) const { return pairedStandbys[cell(c, s)]; }
    /// The groups that list a spare module whose node is n, in group order.
    const int *groupsWatching(int n, int &count) const {
        const auto i = static_cast<std::size_t>(n);
        count = watchOffsets[i + 1] - watchOffsets[i];
        return watchers.data() + watchOffsets[i];
    }
    /// The groups that list component c or its spare module, in group order.
    const int *groupsOf(int c, int &count) const {
        const auto i = static_cast<std::size_t>(c);
        count = groupOffsets[i + 1] - groupOffsets[i];
        return groupIndices.data() + groupOffsets[i];
    }

    const std::vector<Cause> &causes() const { return causeList; }
    int member(int i) const { return members[static_cast<std::size_t>(i)]; }
    int memberToState(int i) const { return memberToStates[static_cast<std::size_t>(i)]; }

    const std::vector<int> &poolSizes() const { return pools; }
    /// The pool whose crew a transition out of state s of c waits for, or -1.
    int crewPool(int c, int s) const { return crewPools[cell(c, s)]; }
    int crewPriority(int c, int s) const { return crewPriorities[cell(c, s)]; }

private:
    /// The parts of the constructor, in the order its checks run.
    void requireState(const TransitionModel &matrix, int c, int s, const std::string &what) const;
    void setKinds(const Interactions &in, const TransitionModel &matrix);
    void setTriggers(const Interactions &in, const TransitionModel &matrix, int nNodes);
    void setModules(const Interactions &in, const TransitionModel &matrix, int nNodes);
    void setGroups(const Interactions &in, const TransitionModel &matrix);
    void setPairs(const Interactions &in, const TransitionModel &matrix);
    void nestModules(int nNodes);
    void indexGroups();
    void setCauses(const Interactions &in, const TransitionModel &matrix);
    void setCrews(const Interactions &in, const TransitionModel &matrix);

    std::size_t cell(int c, int s) const {
        return stateOffsets[static_cast<std::size_t>(c)] + static_cast<std::size_t>(s);
    }

    int components;
    std::vector<std::size_t> stateOffsets; // per component: its first state's cell
    bool planned = false;
    std::vector<StateKind> kinds;
    std::vector<Trigger> triggerList;
    std::vector<TriggerMove> moves;
    std::vector<std::uint8_t> fromStates;
    std::vector<int> bySourceOffsets;
    std::vector<int> bySource;
    std::vector<Group> groupList;
    std::vector<int> unitComponents;
    std::vector<int> unitSwitchFailedStates;
    std::vector<int> unitModules;
    std::vector<Module> moduleList;
    std::vector<int> parts;
    std::vector<int> innerGroups;
    std::vector<int> listings;
    std::vector<int> partOf;       // per component: its spare module, or -1
    std::vector<int> watchOffsets; // per node, into watchers
    std::vector<int> watchers;
    std::vector<int> pairedActives;  // per cell
    std::vector<int> pairedStandbys; // per cell
    std::vector<int> activeStates;
    std::vector<int> standbyStates;
    std::vector<int> groupOffsets; // per component, into groupIndices
    std::vector<int> groupIndices;
    std::vector<Cause> causeList;
    std::vector<int> members;
    std::vector<int> memberToStates;
    std::vector<int> pools;
    std::vector<int> crewPools;
    std::vector<int> crewPriorities;
};

} // namespace tavoq
