#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "simulation/transition_model.hpp"

class CutsetTree;

/// The pending transition of one component.
struct NextTransition {
    int nextTime = 0;  ///< delay from currentTime; 2147483647 means none pending
    int fromState = 0; ///< the component's state when it was sampled
    int toState = 0;   ///< the state it moves to when it fires
};

/// One Monte Carlo run: built, run once, discarded. Confined to one thread; shares the model,
/// its distributions and the tree read-only with other runs.
///
/// Randomness: one MT19937 engine per run, seeded with the run's seed by the standard
/// initialisation. Every probability is the 24 high bits of one engine output times 2^-24,
/// so a seed fixes the run whatever thread performs it.
class Simulation {
public:
    /// Transitions applied at one time unit before the run is declared stuck. A real model
    /// applies a few per component at most; this many means transitions keep falling due
    /// with zero delay and the clock would never move again.
    static constexpr long long kMaxTransitionsPerTimeUnit = 10'000'000;

    /// `runStates` must hold `simTime` values and outlive the run; `model` must have been
    /// validated against `tree`.
    Simulation(int simTime, const TransitionModel &model, const CutsetTree &tree,
               std::uint32_t *runStates, std::uint32_t seed);

    /// A probability in [0, 1) with a step of 2^-24; consumes one engine output.
    float drawUniform();

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
    std::vector<NextTransition> nextTransitions;
    int currentTime = 0;
    const CutsetTree &cutSetTree;
    std::vector<int> failedIndicator; // 1 where componentStates is non-zero; the tree query
    long long transitionsAtCurrentTime = 0;
};
