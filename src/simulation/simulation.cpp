#include "simulation/simulation.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>

#include "cutset/cutset_tree.hpp"

namespace {

constexpr int kNever = std::numeric_limits<int>::max();
constexpr int kDueAtOnce = std::numeric_limits<int>::min();

// The Normal quantile refuses p = 0, which one draw in 2^24 is. Inside a run that draw means
// the lower limit of the distribution, so a legal model cannot fail at random.
double sampleDelay(const Distribution &d, double p, int currentTime) {
    try {
        return d.quantile(p, currentTime);
    } catch (const std::out_of_range &) {
        return -std::numeric_limits<double>::infinity();
    }
}

// Truncation toward zero, with the values that have no 32-bit conversion mapped to their
// meaning: NaN and anything above the range never fire; anything below it is due at once.
int toDelay(double v) {
    if (std::isnan(v) || v >= 2147483648.0) {
        return kNever;
    }
    if (v < -2147483648.0) {
        return kDueAtOnce;
    }
    return static_cast<int>(v);
}

} // namespace

Simulation::Simulation(int simTime, const TransitionModel &model, const CutsetTree &tree,
                       std::uint32_t *runStates, std::uint32_t seed,
                       const InterruptCheck *interrupted)
    : nComponents(model.nComponents()), nStates(model.nStates()), simTime(simTime), model(model),
      rng(seed), componentStates(static_cast<std::size_t>(nComponents), 0),
      runStates(runStates), nextTime(static_cast<std::size_t>(nComponents), 0),
      toState(static_cast<std::size_t>(nComponents), 0),
      cutSetTree(tree), failedIndicator(static_cast<std::size_t>(nComponents), 0),
      transitionLimitPerTimeUnit(transitionLimit(nComponents)), interrupted(interrupted) {
    if (simTime >= 1) {
        runStates[0] = 0;
    }
}

void Simulation::run() {
    for (int c = 0; c < nComponents; ++c) {
        sampleInitial(c);
    }
    while (currentTime < simTime) {
        step();
    }
}

void Simulation::sampleInitial(int c) {
    const auto index = static_cast<std::size_t>(c);
    int bestTime = kNever;
    int bestState = 0;
    const Distribution *const *row = model.row(c, 0);
    for (int j = 0; j < nStates; ++j) {
        const float p = drawUniform();
        double nextTimeDouble = sampleDelay(*row[j], p, currentTime);
        if (nextTimeDouble < 0 || nextTimeDouble > kNoTransition) {
            std::cout << "Warning: nextTimeDouble is out of bounds: " << nextTimeDouble << "  "
                      << p << std::endl;
            nextTimeDouble = kNoTransition;
        }
        const int t = toDelay(nextTimeDouble);
        if (t < bestTime) {
            bestTime = t;
            bestState = j;
        }
    }
    nextTime[index] = bestTime;
    toState[index] = bestState;
}

void Simulation::resample(int c) {
    const auto index = static_cast<std::size_t>(c);
    int bestTime = kNever;
    int bestState = 0;
    const Distribution *const *row = model.row(c, componentStates[index]);
    for (int j = 0; j < nStates; ++j) {
        const float p = drawUniform();
        // No bounds test here: a negative delay stays and fires at once.
        const int t = toDelay(sampleDelay(*row[j], p, currentTime));
        if (t < bestTime) {
            bestTime = t;
            bestState = j;
        }
    }
    nextTime[index] = bestTime;
    toState[index] = bestState;
}

void Simulation::step() {
    // The earliest pending transition wins, the lowest index among equal delays. A negative
    // delay (a transition already overdue) is raised to 0 but compared before that, so it
    // beats an earlier 0 too: with negatives about, the last of them wins.
    int *const delays = nextTime.data();
    int best = kNever;
    int chosen = -1;
    for (int c = 0; c < nComponents; ++c) {
        if (delays[c] < best) {
            best = delays[c];
            chosen = c;
        }
    }
    if (best < 0) {
        for (int c = 0; c < nComponents; ++c) {
            if (delays[c] < 0) {
                delays[c] = 0;
                chosen = c;
            }
        }
        best = 0;
    }

    if (chosen < 0 || best == kNever ||
        static_cast<long long>(currentTime) + best >= static_cast<long long>(simTime)) {
        std::fill(runStates + currentTime, runStates + simTime, systemFailed);
        currentTime = simTime;
        return;
    }

    if (best == 0) {
        if (++transitionsAtCurrentTime > transitionLimitPerTimeUnit) {
            throw std::runtime_error(
                "The model makes no progress at time unit " + std::to_string(currentTime) +
                ": more than " + std::to_string(transitionLimitPerTimeUnit) +
                " transitions fell due there without the clock moving.");
        }
    } else {
        transitionsAtCurrentTime = 1;
    }
    if (--untilInterruptCheck == 0) {
        untilInterruptCheck = kTransitionsBetweenChecks;
        if (interrupted != nullptr && *interrupted) {
            (*interrupted)();
        }
    }

    const int T = currentTime + best;
    std::fill(runStates + currentTime, runStates + T, systemFailed);
    currentTime = T;
    const auto chosenIndex = static_cast<std::size_t>(chosen);
    componentStates[chosenIndex] = toState[chosenIndex];
    failedIndicator[chosenIndex] = componentStates[chosenIndex] != 0 ? 1 : 0;
    updateSystemState();
    runStates[T] = systemFailed;
    // Every delay is at least `best` now, so none of them can wrap.
    for (int c = 0; c < nComponents; ++c) {
        delays[c] -= best;
    }
    resample(chosen);
}

void Simulation::updateSystemState() {
    systemFailed =
        cutSetTree.hasCutsetWithin(failedIndicator.data(), failedIndicator.size()) ? 1u : 0u;
}
