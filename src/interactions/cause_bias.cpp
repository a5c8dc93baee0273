#include "interactions/cause_bias.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "interactions/interacting_simulation.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

namespace {

// The rate of cause k when its law is exponential at a positive finite rate, else 0.
double exponentialRate(const InteractionModel::Cause &cause) {
    const TransitionModel::Cell cell = TransitionModel::cellOf(cause.distribution);
    const bool exponential = cell.kind == TransitionModel::Cell::Kind::Exponential &&
                             cell.rate > 0 && std::isfinite(cell.rate);
    return exponential ? cell.rate : 0.0;
}

} // namespace

std::vector<double> CauseBias::chosen(const GateGraph &graph, const InteractionModel &interactions,
                                      int simTime) {
    const auto &causes = interactions.causes();
    // How many levels each cause jumps, striking with every component working.
    FailureDistance distance = InteractingSimulation::startDistance(graph, interactions);
    distance.reset();
    std::vector<int> jumps;
    for (const InteractionModel::Cause &cause : causes) {
        for (int i = cause.firstMember; i < cause.endMember; ++i) {
            distance.set(interactions.member(i), true);
        }
        jumps.push_back(distance.importance());
        for (int i = cause.firstMember; i < cause.endMember; ++i) {
            distance.set(interactions.member(i), false);
        }
    }
    std::vector<double> factors(causes.size(), 1.0);
    double expected = 0.0;
    for (std::size_t k = 0; k < causes.size(); ++k) {
        if (jumps[k] >= 2) {
            expected += exponentialRate(causes[k]) * simTime;
        }
    }
    if (!(expected > 0) || expected >= kExpectedFirings) {
        return factors;
    }
    for (std::size_t k = 0; k < causes.size(); ++k) {
        if (jumps[k] >= 2 && exponentialRate(causes[k]) > 0) {
            factors[k] = kExpectedFirings / expected;
        }
    }
    return factors;
}

CauseBias::CauseBias(const InteractionModel &interactions, std::vector<double> factors)
    : factor(std::move(factors)) {
    const auto &causes = interactions.causes();
    if (factor.empty()) {
        factor.assign(causes.size(), 1.0);
    }
    if (factor.size() != causes.size()) {
        throw std::invalid_argument(
            "Give one common-cause factor per common cause: " + std::to_string(causes.size()) +
            ", got " + std::to_string(factor.size()) + ".");
    }
    for (std::size_t k = 0; k < causes.size(); ++k) {
        const double f = factor[k];
        if (!(f >= 1.0) || !std::isfinite(f)) {
            throw std::invalid_argument("A common-cause factor must be a finite number of at "
                                        "least 1, got " +
                                        std::to_string(f) + " for cause " + std::to_string(k) +
                                        ".");
        }
        const double rate = exponentialRate(causes[k]);
        if (f > 1.0 && rate == 0.0) {
            throw std::invalid_argument("Common cause " + std::to_string(k) +
                                        " cannot be drawn more often: its law is not "
                                        "exponential at a positive rate.");
        }
        const double biased = rate * f;
        logRatio.push_back(f > 1.0 ? std::log(-std::expm1(-rate)) - std::log(-std::expm1(-biased))
                                   : 0.0);
        drift += biased - rate;
    }
}

} // namespace tavoq
