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
                       std::uint32_t *runStates, std::uint32_t seed)
    : nComponents(model.nComponents()), nStates(model.nStates()), simTime(simTime), model(model),
      rng(seed), componentStates(static_cast<std::size_t>(nComponents), 0),
      runStates(runStates), nextTransitions(static_cast<std::size_t>(nComponents)),
      cutSetTree(tree), failedIndicator(static_cast<std::size_t>(nComponents), 0) {
    if (simTime >= 1) {
        runStates[0] = 0;
    }
}

float Simulation::drawUniform() {
    const std::uint32_t x = rng();
    const float u = static_cast<float>(x >> 8) * 0x1p-24f;
    constexpr float lower = 0.0f;
    constexpr float upper = 1.0f;
    return lower + (upper - lower) * u;
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
    NextTransition &next = nextTransitions[static_cast<std::size_t>(c)];
    next = NextTransition{kNever, 0, 0};
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
        if (t < next.nextTime) {
            next.nextTime = t;
            next.fromState = 0;
            next.toState = j;
        }
    }
}

void Simulation::resample(int c) {
    NextTransition &next = nextTransitions[static_cast<std::size_t>(c)];
    const int from = componentStates[static_cast<std::size_t>(c)];
    next = NextTransition{kNever, from, 0};
    const Distribution *const *row = model.row(c, from);
    for (int j = 0; j < nStates; ++j) {
        const float p = drawUniform();
        // No bounds test here: a negative delay stays and fires at once.
        const int t = toDelay(sampleDelay(*row[j], p, currentTime));
        if (t < next.nextTime) {
            next.nextTime = t;
            next.toState = j;
        }
    }
}

void Simulation::step() {
    int best = kNever;
    int chosen = -1;
    for (int c = 0; c < nComponents; ++c) {
        NextTransition &next = nextTransitions[static_cast<std::size_t>(c)];
        // Compared before being raised to 0, so a negative delay also beats an earlier 0.
        if (next.nextTime < best) {
            if (next.nextTime < 0) {
                next.nextTime = 0;
            }
            best = next.nextTime;
            chosen = c;
        }
    }

    if (chosen < 0 || best == kNever ||
        static_cast<long long>(currentTime) + best >= static_cast<long long>(simTime)) {
        std::fill(runStates + currentTime, runStates + simTime, systemFailed);
        currentTime = simTime;
        return;
    }

    if (best == 0) {
        if (++transitionsAtCurrentTime > kMaxTransitionsPerTimeUnit) {
            throw std::runtime_error(
                "The model makes no progress at time unit " + std::to_string(currentTime) +
                ": more than " + std::to_string(kMaxTransitionsPerTimeUnit) +
                " transitions fell due there without the clock moving.");
        }
    } else {
        transitionsAtCurrentTime = 1;
    }

    const int T = currentTime + best;
    std::fill(runStates + currentTime, runStates + T, systemFailed);
    currentTime = T;
    const auto chosenIndex = static_cast<std::size_t>(chosen);
    componentStates[chosenIndex] = nextTransitions[chosenIndex].toState;
    failedIndicator[chosenIndex] = componentStates[chosenIndex] != 0 ? 1 : 0;
    updateSystemState();
    runStates[T] = systemFailed;
    for (NextTransition &next : nextTransitions) {
        next.nextTime -= best;
    }
    resample(chosen);
}

void Simulation::updateSystemState() {
    systemFailed =
        cutSetTree.hasCutsetWithin(failedIndicator.data(), failedIndicator.size()) ? 1u : 0u;
}
