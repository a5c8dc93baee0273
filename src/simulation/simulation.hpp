#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "simulation/transition_model.hpp"

class CutsetTree;

/// Called on the calling thread between runs, and now and then within a long run; throws to
/// stop (the bindings use it to deliver Ctrl-C). Never called from any other thread.
using InterruptCheck = std::function<void()>;

/// One Monte Carlo run: built, run once, discarded. Confined to one thread; shares the model,
/// its distributions and the tree read-only with other runs.
///
/// Randomness: one MT19937 engine per run, seeded with the run's seed by the standard
/// initialisation. Every probability is the 24 high bits of one engine output times 2^-24,
/// so a seed fixes the run whatever thread performs it.
class Simulation {
public:
    /// Transitions applied at one time unit before the run is declared stuck: a million plus
    /// a hundred per component. A real model applies a few per component at most (a common
    /// inspection time can restore every component at once); this many means transitions
    /// keep falling due with zero delay and the clock would never move again.
    static constexpr long long transitionLimit(int nComponents) {
        return 1'000'000 + 100 * static_cast<long long>(nComponents);
    }
    /// Applied transitions between two calls of the interrupt check.
    static constexpr int kTransitionsBetweenChecks = 1 << 16;

    /// `runStates` must hold `simTime` values and outlive the run; `model` must have been
    /// validated against `tree`. `interrupted`, when given, is called every
    /// kTransitionsBetweenChecks transitions (only for a run on the calling thread).
    Simulation(int simTime, const TransitionModel &model, const CutsetTree &tree,
               std::uint32_t *runStates, std::uint32_t seed,
               const InterruptCheck *interrupted = nullptr);

    /// A probability in [0, 1) with a step of 2^-24; consumes one engine output.
    float drawUniform() {
        const std::uint32_t x = rng();
        const float u = static_cast<float>(x >> 8) * 0x1p-24f;
        constexpr float lower = 0.0f;
        constexpr float upper = 1.0f;
        return lower + (upper - lower) * u;
    }

    /// Samples every component, then applies transitions until the horizon, writing the
    /// system state of every time unit 0 .. simTime - 1 into runStates.
    /// @throws std::runtime_error  the model makes no progress (see above).
    /// @throws whatever a distribution's quantile throws, other than the Normal's range
    ///         error for a draw of 0, which reads as its lower limit, minus infinity.
    void run();

private:
    void sampleInitial(int c);
    void resample(int c);
    void step();
    void updateSystemState();

    int nComponents;
    int nStates;
    int simTime;
    const TransitionModel &model;
    std::mt19937 rng;
    std::vector<int> componentStates;
    std::uint32_t *runStates;
    std::uint32_t systemFailed = 0;
    // The pending transition of every component, kept as two parallel arrays so that the
    // selection and the subtraction run over contiguous delays: the delay from currentTime
    // (2147483647 when none is pending) and the state it leads to. The state it was sampled
    // from is always the component's current state.
    std::vector<int> nextTime;
    std::vector<int> toState;
    int currentTime = 0;
    const CutsetTree &cutSetTree;
    std::vector<int> failedIndicator; // 1 where componentStates is non-zero; the tree query
    long long transitionsAtCurrentTime = 0;
    long long transitionLimitPerTimeUnit;
    const InterruptCheck *interrupted;
    int untilInterruptCheck = kTransitionsBetweenChecks;
};
