#pragma once

#include <cstdint>
#include <vector>

#include "distributions/distribution.hpp"

namespace tavoq {

/// The kind of a component's state: what the logic and the statistics read it as.
enum class StateKind : std::uint8_t { Working = 0, Failed = 1, Planned = 2 };

/// How components act on each other, as the caller declares it: state kinds, triggers,
/// standby groups, common-cause events and repair crews (interaction_model.hpp gives the
/// rules a run follows). Each method checks what it can alone (indices against nComponents,
/// kinds, probabilities) and throws std::invalid_argument naming the argument; what needs
/// the transitions matrix or the fault tree (state ranges, node ids) is checked when a
/// runner builds its InteractionModel.
///
/// Holds non-owning references to the common causes' distributions, which must outlive it
/// (the bindings keep them alive). Not thread safe; a runner copies what it needs first.
class Interactions {
public:
    struct Move {
        int component;
        std::vector<int> fromStates;
        int toState;
    };
    struct Trigger {
        int source; // a FaultTree node id
        bool onFailure;
        std::vector<Move> moves;
        double probability; // each move's chance, drawn per component it would move
    };
    struct StandbyGroup {
        std::vector<int> units; // in preference order
        std::vector<int> activeStates;
        std::vector<int> standbyStates;
        std::vector<int> switchFailedStates;
        double switchFailure;
        bool revert;
    };
    /// A unit made of several parts (a spare module), see addSpareModule.
    struct SpareModule {
        int node;
        std::vector<int> components;
        std::vector<int> activeStates;
        std::vector<int> standbyStates;
        std::vector<int> groups;
    };
    /// A further pair of states a unit or a module's part switches between, see addStatePair.
    struct StatePair {
        int component;
        int activeState;
        int standbyState;
    };
    struct CommonCause {
        const Distribution *distribution;
        std::vector<int> members;
        std::vector<int> toStates;
    };
    struct Crew {
        int component;
        int state;
        int pool;
        int priority;
    };

    /// @throws std::invalid_argument  nComponents < 1.
    explicit Interactions(int nComponents);

    /// One kind per state of the component (0 working, 1 failed, 2 planned); state 0, where
    /// every run starts, must be working. Replaces an earlier call for the same component.
    void setStateKinds(int component, const std::vector<int> &kinds);
    /// With `probability` below 1, each component a move would move is moved with that
    /// chance, one draw each (a probabilistic dependency); at 1 nothing is drawn.
    void addTrigger(int source, bool onFailure, std::vector<Move> moves, double probability = 1.0);
    /// A unit of several parts for standby groups (a spare module): usable while the fault
    /// tree's node `node` is not failed. While a group has it in service, its `components`
    /// are in their active states and the standby `groups` inside it are awake; otherwise the
    /// components wait in their standby states and the groups sleep: their active unit keeps
    /// its place but waits in its standby state too. Returns the number to list among a
    /// group's units: nComponents + the module's number. Add modules before the groups that
    /// list them; `groups` may name groups added later.
    int addSpareModule(int node, std::vector<int> components, std::vector<int> activeStates,
                       std::vector<int> standbyStates, std::vector<int> groups = {});
    /// Returns the group's leaf in the FaultTree: nComponents + the group's number. A unit
    /// at nComponents or above is a spare module, whose three states are -1 (its parts
    /// have theirs), and the group's switch-overs then never fail.
    int addStandbyGroup(std::vector<int> units, std::vector<int> activeStates,
                        std::vector<int> standbyStates, std::vector<int> switchFailedStates,
                        double switchFailure, bool revert);
    /// A further pair of states, beside its groups' active and standby states, that a unit
    /// (or a module's part) switches between: one that ages in stages, stage i running and
    /// stage i waiting. Switched in from `standbyState` it goes to `activeState`, switched out
    /// from `activeState` back to `standbyState`; its groups follow the rules of groups with
    /// spare modules.
    void addStatePair(int component, int activeState, int standbyState);
    /// Returns the event's number. @throws std::invalid_argument  a null distribution.
    int addCommonCause(const Distribution *distribution, std::vector<int> members,
                       std::vector<int> toStates);
    int addCrewPool(int nCrews);
    /// Every transition out of `state` of `component` waits for a crew of `pool`.
    /// Replaces an earlier call for the same component and state.
    void setCrew(int component, int state, int pool, int priority);

    int nComponents() const { return components; }
    int nGroups() const { return static_cast<int>(groups.size()); }
    int nModules() const { return static_cast<int>(modules.size()); }
    int nCommonCauses() const { return static_cast<int>(causes.size()); }
    int nPools() const { return static_cast<int>(pools.size()); }
    /// Nothing declared: a runner then takes the plain engine.
    bool empty() const {
        return kinds.empty() && triggers.empty() && groups.empty() && causes.empty() &&
               pools.empty();
    }

    /// Per component with declared kinds: its kinds (others: empty, the default).
    const std::vector<std::vector<int>> &stateKinds() const { return kinds; }
    const std::vector<Trigger> &triggerList() const { return triggers; }
    const std::vector<StandbyGroup> &groupList() const { return groups; }
    const std::vector<SpareModule> &moduleList() const { return modules; }
    const std::vector<StatePair> &pairList() const { return pairs; }
    const std::vector<CommonCause> &causeList() const { return causes; }
    const std::vector<int> &poolSizes() const { return pools; }
    const std::vector<Crew> &crewList() const { return crews; }

private:
    void requireComponent(int c, const char *what) const;

    int components;
    std::vector<std::vector<int>> kinds;
    std::vector<Trigger> triggers;
    std::vector<StandbyGroup> groups;
    std::vector<SpareModule> modules;
    std::vector<StatePair> pairs;
    std::vector<CommonCause> causes;
    std::vector<int> pools;
    std::vector<Crew> crews;
};

} // namespace tavoq
