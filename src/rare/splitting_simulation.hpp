#pragma once

#include <cstdint>
#include <vector>

#include "interactions/indexed_queue.hpp"
#include "logic/failure_distance.hpp"
#include "logic/gate_graph.hpp"
#include "logic/gate_state.hpp"
#include "rare/split_levels.hpp"
#include "simulation/redraw.hpp"
#include "simulation/run_core.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

/// The seed of trajectory `trajectory` of splitting root `root` in a batch seeded `seed`:
/// SplitMix64 of the tuple, so that no trajectory's generator depends on another's or on
/// how the roots are shared out.
std::uint32_t splitTrialSeed(int seed, int root, std::uint64_t trajectory);

/// RESTART splitting of runs of the plain model (no interactions) whose logic is made of
/// threshold gates (or, and, atleast) and order gates (pand, por and their variants): the
/// general method of rare-event mode, for any laws. Each draw has 53 bits, as in failure
/// biasing. An order gate counts as its threshold in the distance to failure (a pand as an
/// and), which still ranks states by how near a failure is; a copy inherits the order its
/// gates have seen.
///
/// The importance of a state is FailureDistance::importance(), read after every move of a
/// component between working and failed; its level is the number of `thresholds` it has
/// reached, and the last threshold is the failed system, whose verdict is read at the end
/// of each unit as in every run. A root is one run from the start over the horizon, the main
/// trajectory. Whenever a move takes a trajectory to a higher level than before, it is
/// split at each level k it reached: `splits[k - 1]` - 1 retrials start from its state
/// there, each drawn again from there on, and each is dropped when a move takes it below
/// level k. The main trajectory is never dropped. Reading the levels at every move rather
/// than at unit ends matters: two failures within one unit would otherwise jump a level
/// unsplit, and such paths, sampled at their bare chance, carry a large part of the weight. A
/// trajectory at level k then stands for 1 / (splits[0] ... splits[k - 1]) of a run, so every
/// failure has the same weight, 1 / (the product of all splits): the sum over a root's
/// trajectories of the first failures of their paths, times that weight, is an unbiased estimate
/// of P(failed within the horizon); the units down and the failures, of their expectations.
/// Retrials die soon after they fall back, so in a repairable system the work stays near
/// the paths to failure, and the roots are independent: the interval is over roots.
///
/// A kept state is every component's state and pending transition. A retrial draws again,
/// with its own generator, every pending row whose cells are all exponential or of a
/// continuous law (Weibull, lognormal, gamma, uniform), each from its law given that it has
/// not fired yet; other rows (fixed delays, inspections, maintenance, laws defined in Python)
/// keep their pending transition, which the retrials then share.
class SplittingSimulation {
public:
    /// @throws std::invalid_argument  non-coherent gates (not, xor, ...), whose distance to
    ///                                failure has no meaning.
    SplittingSimulation(const TransitionModel &model, const GateGraph &graph,
                        RunControl control = {});

    /// The importance of the failed system, the last threshold.
    int failedLevel() const { return distance.topWhenWorking(); }

    /// Root `root` of a batch seeded `seed`. `splits` has one factor >= 1 per threshold but
    /// the last. @throws std::runtime_error  no progress, or more retrials waiting at once
    ///                                       than `maxWaiting`.
    SplitRoot run(int simTime, int seed, int root, const std::vector<int> &thresholds,
                  const std::vector<int> &splits, std::int64_t maxWaiting);

private:
    // Retrials waiting to run, last in first out, in flat stores.
    struct Waiting {
        std::vector<std::int32_t> now;
        std::vector<std::int32_t> moved; // the component whose move split the trajectory
        std::vector<std::int32_t> cause;
        std::vector<SplitPath> paths;
        std::vector<std::int32_t> states;
        std::vector<std::int32_t> toState;
        std::vector<std::int32_t> drawnAt;
        std::vector<std::int64_t> due;
        std::vector<std::int32_t> gateMemory; // general graphs: GateState::save's records
        void clear();
        void pop(std::size_t components, std::size_t memory);
    };
    void keep(const SplitPath &path, int moved);
    void restore();
    void startFresh();
    // Draws component c's row from its state at unit `at` and schedules the earliest. The
    // run's first draw (`first`) reads a value below 0 as no transition, as the crude runs do.
    void draw(int c, int at, bool first = false);
    // Draws c's pending row again given that none of it fired before unit `from`, when its
    // cells allow (see the class).
    void redraw(int c, int from);
    void schedule(int c, int best, int bestState, int base);
    void cross(int c, bool toFailed);
    // Runs the current trajectory until it is dropped or reaches the horizon.
    void follow(int simTime, SplitPath path, const SplitLevels &levels, SplitRoot &out);

    const TransitionModel &model;
    const GateGraph &graph;
    int nComponents;
    bool general; // order gates: the gates' memory is kept with each copy
    RunCore core;
    GateState gates;
    FailureDistance distance;
    IndexedQueue queue;
    RedrawableRows redrawable;
    std::vector<std::int32_t> states;
    std::vector<std::int32_t> toState;
    std::vector<std::int32_t> drawnAt;
    std::vector<std::int64_t> due;
    int now = 0;
    int cause = -1;
    Waiting waiting;
};

} // namespace tavoq
