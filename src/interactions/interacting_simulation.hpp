#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "interactions/crew_pools.hpp"
#include "interactions/indexed_queue.hpp"
#include "interactions/interaction_model.hpp"
#include "interactions/node_changes.hpp"
#include "logic/failure_distance.hpp"
#include "logic/gate_graph.hpp"
#include "logic/gate_state.hpp"
#include "simulation/event_queue.hpp"
#include "simulation/redraw.hpp"
#include "simulation/run_core.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

struct CauseBias;
class StartBias;

class StatisticsRecorder;

/// The engine of one thread for a model whose components act on each other. A model without
/// interactions runs on Simulation, whose loop stays as it is; this one follows the same
/// rules for everything they share (seeding, draws, the conversions of a quantile to a
/// delay, ties) and adds the following. Confined to one thread; nothing is allocated per
/// transition (the move list keeps its capacity from run to run).
///
/// Kinds. A component is *down* for the logic when its state's kind is failed or planned.
/// The graph is evaluated over down; when some state is planned, a second copy is evaluated
/// over the planned states alone (failed read as up). A group's leaf is down in the first
/// while the group has no active unit, and in the second while besides none of its units
/// is failed and at least one is planned. A node is *down for a failure* when it is down in
/// the first and not in the second: some failed state is needed to bring it down. The
/// system is planned-down when the second top is down, unplanned-down when it is down for a
/// failure; without planned states there is no second copy and every stop is unplanned.
///
/// The start of a run: the seed; every component in state 0; the groups, in group order,
/// take the first unit (preference order) that no earlier group took, setting it to its
/// active state; every other unit is set to its standby state (no draws, no triggers).
/// Then every component samples its row (as Simulation), then every common cause draws once
/// (in index order; a delay below 0 or past the largest is "never"). Group leaves without a
/// unit are down from unit 0.
///
/// One event. The queue holds components (index c) and common causes (nComponents + k);
/// the earliest key fires (an overdue one at the current unit, then the lowest index). A
/// component's firing drops its pending transition and gives one move: itself to its drawn
/// state. A common cause draws its next delay first, then gives a move per member in member
/// order: to its to-state, if it is then in a working state. Moves come in batches: the
/// event's own move or its common cause's moves, then the moves of each trigger that fires.
/// Batches are processed first in, first out, each thus:
///  1. each move in its order: a trigger's move applies only if the component is then in one
///     of its from-states, a common cause's only if it is working;
///  2. apply: the state changes (every move leaves the state it was in, even to itself);
///     the crew the component held, or its place in a queue, is given up; the graphs update;
///     if the new state is served by a pool, the component takes a free crew or joins the
///     queue; then a crew it released takes the next waiting unit, which samples its row at
///     once;
///  3. once every move of the batch is applied, if a unit moved: the groups reconcile, in
///     passes over all groups in group order until a pass changes nothing. So the moves of
///     one trigger (a power loss stopping both pumps) all apply before any switch-over, and
///     none is drawn for a unit the same trigger stops. Reconcile(g): an active unit that is
///     no longer in its active state is lost. Candidates are the units, in preference order,
///     that no group has active and whose state is working: all of them while none is
///     active; with revert, those preferred to the active one. The first candidate is
///     switched in: if already in its active state, with no draw; else, with a switch
///     failure q > 0, one draw p, and p < q applies its switch-failed state and the next
///     candidate is tried; else its active state applies. A unit replaced by a preferred one
///     goes to its standby state. After the passes, a unit no group has active that is in
///     its active state goes to its standby state, and group leaves cross where the active
///     unit came or went (group order), over the planned states also where a unit's kind
///     changed. Each of these is an apply (step 2) and counts as a move. Spare modules
///     (units of several parts, no draws): a module is lost when its node is down and a
///     candidate while it is up; switching it in or out moves its parts, in their order,
///     between standby and active, and wakes or puts to sleep the groups inside it, in
///     their order, with their active unit (a sleeping group keeps its unit in its standby
///     state and loses it when it leaves that state). After the passes, the parts of the
///     modules out of service left active go to standby, those in service left in standby
///     to active. With modules, the groups listing a module whose node changed (in the
///     batch, or by a switch-over) visit again, passes after passes until none changes,
///     and when a group leaf crosses the passes start again. At the start,
///     groups sleep or wake as their modules serve, and the groups with modules pass once
///     before anything is drawn. A unit in stages (further pairs of states) follows the
///     same rules, each pair read as its active and standby states: it is active in any
///     running state, and a switch moves it within its pair;
///  4. triggers watching a node (component, group leaf or gate, over the down graph) whose
///     state before this batch differs from its state after it, in the direction watched,
///     fire in the order they were added; each one's moves join the end of the list as a
///     batch;
///  5. every component the batch changed, once each in the order it first changed, samples
///     anew from its state, unless it waits for a crew (then nothing is pending).
/// The verdict is taken when the list is empty. A system failure's cause is the component
/// whose transition was the event (every move of the event follows from it: a trigger's
/// source is credited, not the pumps it stopped) or, for a common cause, the component whose
/// move turned the top down for a failure (the batch's last one applied when its
/// switch-overs did); with the gates that this batch (steps 2-3) turned down for a failure
/// (gone down, or their planned reason gone while they stay down). A
/// system down from the start (a group without a unit) that the first verdict finds down
/// without any move having turned it has as cause the event's first move's component and
/// the gates down for a failure from the start.
///
/// The stuck limit counts events and the moves that are not an event's own
/// (RunCore::transitionLimit): a cycle of triggers ends in the same "makes no progress"
/// error as a cycle of zero delays.
class InteractingSimulation {
public:
    /// `graph` must have the matrix's components plus one leaf per group; the three must
    /// outlive the engine.
    InteractingSimulation(const TransitionModel &model, const GateGraph &graph,
                          const InteractionModel &interactions, RunControl control = {});

    /// One run over units 0 .. simTime - 1, seeded with `seed`, told to `recorder`.
    /// @throws std::runtime_error  the model makes no progress. @throws RunCancelled.
    void run(int simTime, std::uint32_t seed, StatisticsRecorder &recorder);

    // Stepping a run, for splitting. begin() starts run `seed` as run() does; while
    // nextUnit(simTime) is before simTime, step() makes the next event, whole (its moves,
    // triggers, switch-overs and verdict). Between two steps the engine is at rest: a copy of
    // it goes on as the original would.
    void begin(int simTime, std::uint32_t seed, StatisticsRecorder &recorder);
    int nextUnit(int simTime) const {
        const std::int64_t due = EventQueue::dueOf(queue.top());
        return due >= simTime ? simTime : due < currentTime ? currentTime : static_cast<int>(due);
    }
    void step(StatisticsRecorder &recorder);
    int now() const { return currentTime; }
    /// 0 up, 1 down for a failure, 2 down for planned reasons only, after the last event.
    std::uint32_t systemNow() const { return systemState; }
    /// The component credited with the system's latest failure.
    int failureCause() const { return cause; }
    /// Whether component c is down for the logic: its state is of the failed or planned kind.
    bool down(int c) const {
        return im.kind(c, states[static_cast<std::size_t>(c)]) != StateKind::Working;
    }
    int nGroups() const { return static_cast<int>(active.size()); }
    /// Whether group g's leaf is down: no unit of it is active.
    bool groupDown(int g) const { return leafDown[static_cast<std::size_t>(g)] != 0; }
    /// From the next run on, follows how near the down graph's top is to failing
    /// (FailureDistance::importance), a group's leaf being as many failures from down as it
    /// has units in a working state. @throws std::invalid_argument  logic not coherent.
    void followDistance() { distance.emplace(startDistance(graph, im)); }
    /// From the next draw on, draws each common cause `bias->factor` times as often and sums
    /// the log ratios of its firings; `bias` must outlive the engine and its copies.
    void biasCauses(const CauseBias *bias) { causeBias = bias; }
    /// From the next run on, draws the rows StartBias picks `bias->factor()` times as often
    /// while the distance followed (followDistance) is at its start; `bias` must outlive the
    /// engine and its copies.
    void biasStart(const StartBias *bias);
    /// The run's likelihood ratio at the end of unit u, while no event comes, is
    /// exp(logRatio() + ratioDrift() * (u + 1)): the biased causes' firings and the biased
    /// rows settled so far, with the causes and the pending biased rows not firing.
    double logRatio() const { return firedLog + pendingOffset; }
    double ratioDrift() const;
    /// That distance with every component working, on a graph of the components and then
    /// the groups' leaves.
    static FailureDistance startDistance(const GateGraph &graph,
                                         const InteractionModel &interactions);
    std::int32_t importance() const { return distance->importance(); }
    /// Makes this engine, a copy, a retrial: a new generator seeded `seed`, and every
    /// pending transition whose row allows it drawn again from its law given that it has
    /// not fired yet, with 53-bit draws. A component is not due before this unit; one with a
    /// lower index than the last event's, and not drawn in that event, not before the next
    /// unit (it would have come first). `rows` must have been given the common causes'
    /// distributions.
    void retry(std::uint32_t seed, const RedrawableRows &rows) { retry(seed, rows, 0.0, nullptr); }

    /// A pending row retry() left undrawn: item (a component, or nComponents + a common
    /// cause), the unit it is not due before, and its total rate.
    struct DeferredRow {
        std::int32_t item;
        std::int32_t from;
        double rate;
    };
    /// retry(), but each component's row whose cells are all exponential (each rate positive
    /// and finite) with a total rate below `deferBelow` is not drawn: it is parked (never due),
    /// and appended to `deferred` in index order. The caller draws the parked rows' first firing
    /// as one (their rates summed) and each row with drawDeferred() before that unit; a parked row
    /// that an event draws again leaves the parking (parked() turns false).
    void retry(std::uint32_t seed, const RedrawableRows &rows, double deferBelow,
               std::vector<DeferredRow> *deferred);
    bool parked(int item) const { return queue.key(item) == parkedKey(item); }
    /// Draws parked row `item` given that none of its cells fired before `from` + x (in
    /// units, x >= 0): when `pick` is in [0, 1), one of its cells fires at `from` + x (the
    /// cell at that fraction of its summed rates), else each cell at `from` + x plus a fresh
    /// exponential delay.
    void drawDeferred(const RedrawableRows &rows, int item, int from, double x, double pick);
    double drawUniform53() { return core.drawUniform53(); }

    std::uint64_t checks() const { return core.checks(); }
    /// The crews of the run under way, for a recorder that reads them at a system failure.
    const CrewPools &crewPools() const { return crews; }

private:
    // Beyond any due time a run can reach (its clock plus a 32-bit delay), within the key.
    static constexpr std::int64_t kParkedDue =
        (std::int64_t{1} << 33) - EventQueue::kDueOffset - 1;
    static std::uint64_t parkedKey(int item) { return EventQueue::key(kParkedDue, item); }
    TransitionModel::Row pendingRow(int item, const RedrawableRows &rows) const;

    enum Condition : int { kOwn = -1, kIfWorking = -2 }; // or a trigger move's index
    struct Move {
        int component;
        int toState;
        int condition;
        bool last; // the last move of its batch
    };

    /// The start of a run: every state, count and queue reset, the groups' units placed, the
    /// first draws made, the groups without a unit down.
    void startRun(int simTime, StatisticsRecorder &recorder);
    void placeUnits();
    void crossEmptyLeaves(StatisticsRecorder &recorder);
    void startLeaves();
    /// The moves of event e (a component's transition or a common cause) at T, queued.
    void queueEvent(int e, int T);
    /// Event e (the queue's top) at unit T.
    void event(int e, int T, StatisticsRecorder &recorder);
    /// The system's state after an event (0 up, 1 down for a failure, 2 down for planned
    /// reasons only), telling `recorder` of a failure that begins.
    std::uint32_t verdict(int e, std::uint32_t systemState, StatisticsRecorder &recorder);
    void finishRun(int simTime, std::uint32_t systemState, StatisticsRecorder &recorder);
    template <bool kInitial> int sample(int c, int from, int &to, StatisticsRecorder &recorder);
    // Component c's row in `state`, drawn at StartBias's factor from unit `at`: its delay
    // from there, its cell in `to`.
    template <bool kInitial> int drawBiased(int c, int state, int at, int &to);
    // The weight of c's pending biased row, for cell `fired` firing now, or (-1) for not
    // firing before `from`; the row is then unbiased.
    void settleRow(int c, int fired, int from);
    // The unit c's pending row is known not to fire before, at an event's end: the next for
    // one listed before the event's item and drawn before it (it would have fired first).
    int notBefore(int c) const;
    // After an event that moved the system to or from its start level: the pending rows
    // StartBias picks drawn again at the factor of the new regime.
    void rebias();
    void resample(int c, StatisticsRecorder &recorder);
    int causeDelay(int k, bool initial);
    void countMove();
    void process(const Move &m, StatisticsRecorder &recorder);
    void finishBatch(StatisticsRecorder &recorder);
    void apply(int c, int to, StatisticsRecorder &recorder);
    void switchTo(int c, int to, StatisticsRecorder &recorder);
    void reconcile(StatisticsRecorder &recorder);
    template <bool kModules> bool reconcileOnce(StatisticsRecorder &recorder);
    void markModular();
    void markWatchers();
    void markNode(int n);
    void markGroupsOf(int c);
    bool reconcileGroup(int g, StatisticsRecorder &recorder);
    bool reconcileModular(int g, StatisticsRecorder &recorder);
    void sweepModular(int g, StatisticsRecorder &recorder);
    int unitKey(int u) const;
    bool usable(int u) const;
    bool inService(int m) const;
    void markUnit(int u);
    void markGroup(int g);
    void serve(int u, bool on, StatisticsRecorder &recorder);
    void settle(int c, bool on, StatisticsRecorder &recorder);
    void crossLeaf(int node, bool down, StatisticsRecorder &recorder);
    void crossPlannedLeaf(int node, bool down);
    template <bool kDown> void crossDown(int node, StatisticsRecorder &recorder);
    template <bool kDown> void crossPlanned(int node);
    [[gnu::noinline]] void crossGeneral(int node, bool down, StatisticsRecorder &recorder);
    [[gnu::noinline]] void crossPlannedGeneral(int node, bool down);
    bool groupPlannedDown(int g) const;
    bool nodeFailureDown(int n) const;
    bool unplannedTop() const {
        return gates.topFailed() && !(plannedOnly && plannedOnly->topFailed() && !topDownAtStart);
    }
    /// Whether node n is down with every leaf working (logic that is not coherent): then
    /// the planned states are not what brings it down.
    bool downAtStart(int n) const {
        return generalGates && graph.initialNodeFailed()[static_cast<std::size_t>(n)] != 0;
    }
    void fireTriggers();
    void moveDistance(int node, bool down);
    void groupDistance(int g);

    const TransitionModel &model;
    const GateGraph &graph;
    const InteractionModel &im;
    int nComponents;
    int nLeaves;
    int nCauses;
    bool planned;
    bool trackGates;
    bool generalGates;   // the graph has gates other than thresholds (GateState::crossGeneral)
    bool topDownAtStart; // downAtStart(graph.top()), read at every verdict
    RunCore core;
    std::vector<int> states;
    std::vector<int> toState;
    IndexedQueue queue;
    GateState gates;
    std::optional<GateState> plannedOnly; // only with planned states
    NodeChanges changes;                  // over the down graph
    std::optional<NodeChanges> plannedChanges;
    CrewPools crews;
    std::vector<int> active;           // per group: its active unit (flat index), or -1
    std::vector<int> activeIn;         // per component, then per spare module: the group that has
                                       // it active, or -1
    std::vector<std::uint8_t> enabled; // per group: awake (not inside a module out of service)
    bool
        hasModules; // some group follows the rules of spare modules (InteractionModel::anyModular)
    std::vector<std::uint64_t> modularGroups; // the groups with modules, or inside one (bits)
    std::vector<std::uint8_t> leafDown;
    std::vector<std::uint8_t> leafPlanned; // per group: its leaf over the planned states
    std::vector<std::uint64_t> dirty;      // groups to visit (bits)
    std::vector<std::uint64_t> touched;    // groups visited while this move is processed
    bool anyDirty = false;
    std::vector<Move> moves;
    std::size_t nextMove = 0;
    std::vector<int> moved;
    std::vector<std::uint8_t> isMoved;
    std::vector<int> fired;
    std::vector<std::int32_t> causeGates;
    std::vector<std::int32_t> startGates;
    int cause = 0;
    bool causeSet = false;   // by a move of the event under way
    bool upBefore = true;    // the top not down for a failure before the batch under way
    int batchCause = -1;     // of a common cause: the move that turned the top, or -1
    int lastApplied = -1;    // the component of the batch's last move applied
    int eventComponent = -1; // the component whose transition is the event, or -1
    int currentTime = 0;
    std::uint32_t systemState = 0; // see systemNow()
    // For splitting: the distance to failure, when followed; per component, the unit its
    // pending transition was drawn at and the event that drew it (events counts them).
    std::optional<FailureDistance> distance;
    std::vector<int> drawnAt;
    std::vector<std::uint64_t> drawnIn;
    std::uint64_t events = 0;
    int lastEvent = -1;
    const CauseBias *causeBias = nullptr;
    double firedLog = 0.0;
    // With StartBias: whether the system is at its start level, so that rows are biased; per
    // component, its pending row's factor (1: drawn as its law says), state drawn in, and
    // (factor - 1) times its summed rate; the summed drift of the pending biased rows, and
    // minus the sum of each one's drift times the unit it was drawn from.
    const StartBias *startBias = nullptr;
    bool startRegime = false;
    std::vector<double> rowFactor;
    std::vector<int> rowState;
    std::vector<double> rowDrift;
    double pendingDrift = 0.0;
    double pendingOffset = 0.0;
};

} // namespace tavoq
