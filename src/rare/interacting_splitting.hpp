#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "interactions/cause_bias.hpp"
#include "interactions/interacting_simulation.hpp"
#include "interactions/interaction_model.hpp"
#include "interactions/start_bias.hpp"
#include "logic/gate_graph.hpp"
#include "rare/split_levels.hpp"
#include "simulation/recorders/statistics_recorder.hpp"
#include "simulation/redraw.hpp"
#include "simulation/run_statistics.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

/// RESTART splitting of runs of a model whose components act on each other (standby groups,
/// crews, triggers, common causes, planned states), by the rules of SplittingSimulation.
/// The trajectories are InteractingSimulation runs made an event at a time: the importance
/// is the down graph's distance to failure (a group's leaf counts as one component), read
/// after every event, whole; a retrial is a copy of the engine at rest after the event that
/// split it, seeded from (seed, root, trajectory), whose pending transitions are drawn again
/// (InteractingSimulation::retry). A common cause's pending draw, and a unit's place in a
/// crew's queue, are part of the copied state. The system has failed at the end of a unit
/// when it is down for a failure; planned stops are not failures, as in crude runs.
///
/// Most retrials are dropped within a few events, long before a slow row (a failure rate
/// well below one per hundred units) would fire, so drawing each such row again at every
/// retrial was most of a large model's work. A retrial leaves them parked instead, in at
/// most two groups (those not due before this unit, and before the next): a group's first
/// firing is one exponential delay at the group's summed rate, from the unit it is not due
/// before. Only when the run reaches that unit are its rows drawn: the row that fires first
/// chosen in proportion to its rate and firing then, each other one then plus its own fresh
/// delay, as memoryless laws allow. An event that draws a parked row again takes it out; the
/// rest, known not to fire before the next unit, form one group again from there, drawn
/// anew. So each retrial draws as the full redraw would, in law, for a few draws.
///
/// A shock that fails several units at once jumps levels, so splitting cannot divide its
/// rarity: common causes may be drawn more often than their laws say (CauseBias, one factor
/// per cause, 1 for none), each path then weighed by its likelihood ratio. So may the first
/// failures, when they are rare themselves (StartBias: a factor of 1 for none).
class InteractingSplitting {
public:
    /// @throws std::invalid_argument  non-coherent gates (see SplittingSimulation), or
    ///                                factors CauseBias or StartBias refuses.
    InteractingSplitting(const TransitionModel &model, const GateGraph &graph,
                         const InteractionModel &interactions, RunControl control = {},
                         std::vector<double> causeFactors = {}, double startFactor = 1.0);

    /// The importance of the failed system, the last threshold.
    int failedLevel() const { return failed; }

    /// Root `root` of a batch seeded `seed`, as SplittingSimulation::run.
    SplitRoot run(int simTime, int seed, int root, const std::vector<int> &thresholds,
                  const std::vector<int> &splits, std::int64_t maxWaiting);

private:
    // A group of parked rows: deferred[begin, end), none due before `from`, the first of
    // them firing at from + x, in unit `due` (INT64_MAX: beyond any horizon).
    struct DeferredGroup {
        std::int32_t from = 0;
        double total = 0.0;
        double x = 0.0;
        std::int64_t due = 0;
        std::size_t begin = 0;
        std::size_t end = 0;
    };
    // Rows whose total rate is below this are parked by a retrial.
    static constexpr double kDeferBelow = 0.01;

    void follow(int simTime, SplitPath path, const SplitLevels &levels, SplitRoot &out);
    // The rows retry() parked, in their groups, each given its first firing.
    void groupDeferred();
    void drawFirst(DeferredGroup &group);
    // Draws the parked rows of every group due by the next event's unit.
    void settleDeferred(int simTime);
    // After an event: parked rows it drew again leave; the others form one group anew.
    void afterEvent();

    const TransitionModel &model;
    CauseBias bias;
    StartBias startBias;
    RedrawableRows rows;
    int failed;
    // The engine tells a recorder what it does; splitting reads the engine instead, so these
    // figures are never read. One bin as wide as any horizon, one run: what it writes stays
    // inside them.
    StatisticsSlot slot;
    std::int64_t scratch[4] = {0, 0, 0, 0};
    StatisticsRecorder recorder;
    std::optional<InteractingSimulation> current; // the trajectory under way
    std::vector<InteractingSimulation> waiting;   // last in, first out
    std::vector<SplitPath> paths;
    std::vector<InteractingSimulation::DeferredRow> deferred;
    std::vector<InteractingSimulation::DeferredRow> regrouped; // scratch
    DeferredGroup groups[2];
};

} // namespace tavoq
