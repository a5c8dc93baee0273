#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "cutset/cutset_index.hpp"
#include "logic/gate_graph.hpp"
#include "logic/gate_state.hpp"
#include "simulation/event_queue.hpp"
#include "simulation/mt19937.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

/// Called on the calling thread between runs, and now and then within a long run; throws to
/// stop (the bindings use it to deliver Ctrl-C). Never called from any other thread.
using InterruptCheck = std::function<void()>;

/// How a run learns that it must stop early.
struct RunControl {
    /// The caller's interrupt check; only for runs on the calling thread.
    const InterruptCheck *interrupted = nullptr;
    /// Raised when the batch is being abandoned (an interrupt or an error elsewhere): a
    /// worker's run then throws RunCancelled at its next check.
    const std::atomic<bool> *stop = nullptr;
};

/// Thrown inside a run that stopped because RunControl::stop was raised; the batch reports
/// the error that raised the flag instead.
struct RunCancelled : std::exception {
    const char *what() const noexcept override { return "run cancelled"; }
};

/// The engine of one thread: it performs runs one after the other, each from a fresh seed,
/// reusing its arrays, so nothing is allocated per run or per transition. Confined to one
/// thread; shares the model, its distributions and the cut sets read-only with other threads.
///
/// Randomness: one MT19937 engine, seeded with the run's seed by the standard initialisation
/// at the start of every run. Every probability is the 24 high bits of one engine output
/// times 2^-24, so a seed fixes the run whatever thread performs it.
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
    /// Transitions applied at one time unit before the run is declared stuck: a million plus
    /// a hundred per component. A real model applies a few per component at most (a common
    /// inspection time can restore every component at once); this many means transitions
    /// keep falling due with zero delay and the clock would never move again.
    static constexpr long long transitionLimit(int nComponents) {
        return 1'000'000 + 100 * static_cast<long long>(nComponents);
    }
    /// Work between two looks at the interrupt check and the stop flag, in units of about a
    /// nanosecond or a few: one per transition applied, per draw it makes next, and per input
    /// count of a gate its crossing moves. Counting transitions alone let one that moves a
    /// hundred thousand counts go 65,536 times, seconds, between two looks; this way a look
    /// comes within a millisecond or so of work whatever a transition costs, and a cheap
    /// transition still pays for one look in tens of thousands.
    static constexpr std::int64_t kWorkBetweenChecks = 1 << 18;

    /// `model` and `graph` must describe the same components and outlive the engine.
    Simulation(const TransitionModel &model, const GateGraph &graph, RunControl control = {});
    /// The same over the cut sets' graph, built for this engine alone (the runners build one
    /// per call and share it). `cutsets` need not outlive the engine.
    Simulation(const TransitionModel &model, const CutsetIndex &cutsets, RunControl control = {});

    /// Seeds the random engine (the start of a run does it too).
    void seed(std::uint32_t seed) { rng.seed(seed); }

    /// A probability in [0, 1) with a step of 2^-24; consumes one engine output.
    float drawUniform() {
        const std::uint32_t x = rng();
        const float u = static_cast<float>(x >> 8) * 0x1p-24f;
        constexpr float lower = 0.0f;
        constexpr float upper = 1.0f;
        return lower + (upper - lower) * u;
    }

    /// One run over units 0 .. simTime - 1, seeded with `seed`, told to `recorder` (see
    /// recorders.hpp). Instantiated for the recorders the runners use.
    /// @throws std::runtime_error  the model makes no progress (see transitionLimit).
    /// @throws RunCancelled        the stop flag was raised.
    /// @throws whatever a distribution's quantile throws, other than the Normal's range
    ///         error for a draw of 0, which reads as its lower limit, minus infinity.
    template <typename Recorder> void run(int simTime, std::uint32_t seed, Recorder &recorder);

    /// The looks at the interrupt check and the stop flag so far, over every run of this
    /// engine (see kWorkBetweenChecks).
    std::uint64_t checks() const { return checksMade; }

private:
    Simulation(const TransitionModel &model, std::unique_ptr<const GateGraph> owned,
               RunControl control);
    /// Draws a delay for every to-state of c's row `from` and keeps the earliest.
    /// The first pass tells `recorder` about a draw out of bounds (recorders.hpp). Returns
    /// the number of draws made, the row's size.
    template <bool kInitial, typename Recorder>
    int sample(int c, int from, int &delay, int &to, Recorder &recorder);
    void check();

    const TransitionModel &model;
    std::unique_ptr<const GateGraph> ownedGraph;
    const GateGraph &graph;
    RunControl control;
    int nComponents;
    Mt19937 rng;
    std::vector<int> componentStates;
    std::vector<int> toState; // the state each pending transition leads to
    GateState gates;
    std::vector<std::int32_t> completed; // gates the current transition turned failed
    EventQueue queue;
    int currentTime = 0;
    std::int64_t untilCheck = kWorkBetweenChecks; // work left before the next look
    std::uint64_t checksMade = 0;
};

} // namespace tavoq
