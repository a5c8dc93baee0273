#pragma once

#include <cstddef>
#include <vector>

#include "interactions/interaction_model.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

/// Component rows drawn `factor` times as often as their exponential laws say while the
/// system is at its start level (importance 0: nothing has brought the top nearer), so that
/// a first failure that is itself rare within the horizon (a standby pair whose duty unit
/// fails once in a thousand missions) is met by many roots instead of a rare few; splitting
/// divides the rest of the way. Each run is weighed back by its likelihood ratio, row by row
/// as CauseBias does for a cause: a row of cells at rates λ drawn at λ' = factor λ from unit
/// s weighs e^((λ'-λ) m) for m units without a firing, and a cell firing after d units adds
/// the ratio of its chances, (1 - e^(-λ)) / (1 - e^(-λ')), with e^((λ'-λ) d).
///
/// A row is biased when its state is of the working kind, all its cells are exponential, and
/// one of them leads to a state of the failed kind. When the system leaves its start level,
/// or comes back to it, the pending biased rows are drawn again at the new rates from where
/// they stand, which memoryless laws allow.
class StartBias {
public:
    /// Expected first failures within the horizon, when biased.
    static constexpr double kExpectedFailures = 2.0;
    /// Below this many expected first failures within the horizon, they are biased. Above
    /// it, a fifth of the roots or more leave the start level, few events each, and splitting
    /// does better without the weights' spread (three trains with shocks at 1e-12: a root
    /// in four failing first, and biased, the interval came out four times as wide).
    static constexpr double kRareFirstFailures = 0.2;

    /// @throws std::invalid_argument  a factor that is not a finite number of at least 1.
    StartBias(const TransitionModel &model, const InteractionModel &interactions, double factor);
    StartBias() = default;

    /// The factor a splitting run takes by itself: when the biased rows of the states a run
    /// starts in (the groups' first units active, the others in standby) would fire less
    /// than kRareFirstFailures times in simTime units, kExpectedFailures over that
    /// expectation; else 1.
    static double chosen(const TransitionModel &model, const InteractionModel &interactions,
                         int simTime);

    double factor() const { return by; }
    bool any() const { return by > 1.0; }
    /// The summed rate of component c's row in `state` when it is biased, else 0.
    double rate(int c, int state) const {
        return rates[offsets[static_cast<std::size_t>(c)] + static_cast<std::size_t>(state)];
    }

private:
    StartBias(const TransitionModel &model, const InteractionModel &interactions);

    double by = 1.0;
    std::vector<double> rates;
    std::vector<std::size_t> offsets;
};

} // namespace tavoq
