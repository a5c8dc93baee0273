#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "interactions/interacting_simulation.hpp"
#include "interactions/interaction_model.hpp"
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
class InteractingSplitting {
public:
    /// @throws std::invalid_argument  non-coherent gates (see SplittingSimulation).
    InteractingSplitting(const TransitionModel &model, const GateGraph &graph,
                         const InteractionModel &interactions, RunControl control = {});

    /// The importance of the failed system, the last threshold.
    int failedLevel() const { return failed; }

    /// Root `root` of a batch seeded `seed`, as SplittingSimulation::run.
    SplitRoot run(int simTime, int seed, int root, const std::vector<int> &thresholds,
                  const std::vector<int> &splits, std::int64_t maxWaiting);

private:
    void follow(int simTime, SplitPath path, const SplitLevels &levels, SplitRoot &out);

    const TransitionModel &model;
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
};

} // namespace tavoq
