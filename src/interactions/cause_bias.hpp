#pragma once

#include <vector>

#include "interactions/interaction_model.hpp"
#include "logic/gate_graph.hpp"

namespace tavoq {

/// Common causes drawn `factor` times as often as their exponential laws say, so that a
/// shock that fails several units at once, which a splitting level cannot divide, is seen
/// by many roots instead of a rare few; each run is weighed back by its likelihood ratio.
///
/// A cause's delays are whole units: a delay drawn at rate λ is d with chance
/// e^(-λd) (1 - e^(-λ)), and at least m with chance e^(-λm). Drawn at rate λ' = factor λ,
/// the ratio of a firing after d units is e^((λ'-λ) d) (1 - e^(-λ)) / (1 - e^(-λ')), and
/// of m units without one e^((λ'-λ) m). A cause is drawn from unit 0 and again at each
/// firing, and a retrial draws it again from where it stands, which memoryless laws allow: so
/// at the end of unit u its delays span u + 1 units, and the run's ratio is
/// ((1 - e^(-λ)) / (1 - e^(-λ')))^(firings) e^((λ'-λ)(u + 1)), a product over causes.
struct CauseBias {
    std::vector<double> factor;   ///< per cause; 1 for a cause drawn as its law says
    std::vector<double> logRatio; ///< per cause: the log of a firing's (1 - e^-λ) / (1 - e^-λ')
    double drift = 0.0;           ///< the summed λ' - λ: the log ratio of a unit without firing

    /// Expected firings of the biased causes within the horizon, together, when biased.
    static constexpr double kExpectedFirings = 2.0;

    bool any() const { return drift > 0.0; }

    /// The factors a splitting run takes by itself: a common cause whose law is exponential
    /// and which, striking with every component working, takes the system two levels or more
    /// nearer failure (the importance over `graph`, as InteractingSimulation follows it) is
    /// biased when all such causes
    /// together fire less than kExpectedFirings times in simTime units; then each is drawn
    /// kExpectedFirings / (that expectation) times as often. A cause that moves the system
    /// one level or none is left alone: splitting divides it, and a bias would only weigh the
    /// paths without it by up to e^kExpectedFirings.
    static std::vector<double> chosen(const GateGraph &graph, const InteractionModel &interactions,
                                      int simTime);

    /// The bias of these factors, one per common cause.
    /// @throws std::invalid_argument  a factor count that is not the causes', a factor that
    ///                                is not a finite number of at least 1, or one above 1 on
    ///                                a cause whose law is not exponential.
    CauseBias(const InteractionModel &interactions, std::vector<double> factors);
    CauseBias() = default;
};

} // namespace tavoq
