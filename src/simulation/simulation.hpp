#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cutset/cutset_index.hpp"
#include "logic/gate_graph.hpp"
#include "logic/gate_state.hpp"
#include "simulation/event_queue.hpp"
#include "simulation/run_core.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

/// The engine of one thread: it performs runs one after the other, each from a fresh seed,
/// reusing its arrays, so nothing is allocated per run or per transition. Confined to one
/// thread; shares the model, its distributions and the cut sets read-only with other threads.
///
/// Randomness: one MT19937 engine (RunCore), seeded with the run's seed by the standard
/// initialisation at the start of every run. Every probability is the 24 high bits of one
/// engine output times 2^-24, so a seed fixes the run whatever thread performs it.
///
/// A run: every component samples its first transition (a draw for every to-state, in order);
/// then the earliest pending transition fires, the lowest component index among equal times,
/// an overdue one (sampled with a negative delay) at the current time unit before any other;
/// only the component that moved samples again. After every transition the system is failed
/// exactly when the graph's top is (for cut sets: some cut set has all its members failed);
/// before the first transition it counts as working. The verdict reads states only, so it
/// never changes a draw: the same logic as a graph or as its cut sets gives the same runs.
class Simulation {
public:
    /// `model` and `graph` must describe the same components and outlive the engine.
    Simulation(const TransitionModel &model, const GateGraph &graph, RunControl control = {});
    /// The same over the cut sets' graph, built for this engine alone (the runners build one
    /// per call and share it). `cutsets` need not outlive the engine.
    Simulation(const TransitionModel &model, const CutsetIndex &cutsets, RunControl control = {});

    /// Seeds the random engine (the start of a run does it too).
    void seed(std::uint32_t seed) { core.seed(seed); }

    /// A probability in [0, 1) with a step of 2^-24; consumes one engine output.
    float drawUniform() { return core.drawUniform(); }

    /// One run over units 0 .. simTime - 1, seeded with `seed`, told to `recorder` (see
    /// recorders.hpp). Instantiated for the recorders the runners use.
    /// @throws std::runtime_error  the model makes no progress (RunCore::transitionLimit).
    /// @throws RunCancelled        the stop flag was raised.
    /// @throws whatever a distribution's quantile throws, other than the Normal's range
    ///         error for a draw of 0, which reads as its lower limit, minus infinity.
    template <typename Recorder> void run(int simTime, std::uint32_t seed, Recorder &recorder);

    /// The looks at the interrupt check and the stop flag so far, over every run of this
    /// engine (RunCore::kWorkBetweenChecks).
    std::uint64_t checks() const { return core.checks(); }

private:
    Simulation(const TransitionModel &model, std::unique_ptr<const GateGraph> owned,
               RunControl control);
    /// Draws a delay for every to-state of c's row `from` at unit `now` and keeps the earliest.
    /// The first pass tells `recorder` about a draw out of bounds (recorders.hpp). Returns
    /// the number of draws made, the row's size.
    template <bool kInitial, typename Recorder>
    int sample(int c, int from, int now, int &delay, int &to, Recorder &recorder);
    /// The run's transitions, once every component has its first; returns the verdict after
    /// the last. kWalk: how a crossing moves the gates (GateState::crossCutsets for the cut
    /// sets' graph, cross for thresholds, crossGeneral for a general graph).
    enum class Walk { Cutsets, Threshold, General };
    template <Walk kWalk, typename Recorder>
    std::uint32_t transitions(int simTime, Recorder &recorder);

    const TransitionModel &model;
    std::unique_ptr<const GateGraph> ownedGraph;
    const GateGraph &graph;
    int nComponents;
    RunCore core;
    std::vector<int> componentStates;
    std::vector<int> toState; // the state each pending transition leads to
    GateState gates;
    // The gates the current transition turned failed: the first nCompleted, of room for all.
    // A buffer, not a growing vector: adding to it calls nothing, where push_back has a
    // growth path, a call after which the loop would load its arrays' addresses again.
    std::vector<std::int32_t> completed;
    std::size_t nCompleted = 0;
    EventQueue queue;
    int currentTime = 0;
};

} // namespace tavoq
