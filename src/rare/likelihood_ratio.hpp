#pragma once

#include <cmath>

namespace tavoq {

/// A run's likelihood ratio when common causes are drawn more often than their laws say, at
/// the end of a unit: exp(logFired + drift * (unit + 1)). Per firing of a biased cause the
/// ratio of the chances of its delay, per unit the ratio of the chances that it did not fire
/// yet (see CauseBias). With no bias it is exactly 1.
struct LikelihoodRatio {
    double logFired = 0.0;
    double drift = 0.0;

    double at(int unit) const { return std::exp(logFired + drift * (unit + 1.0)); }

    /// The sum of at(u) over the units u in [from, until).
    double over(int from, int until) const {
        if (drift == 0.0) {
            return std::exp(logFired) * (until - from);
        }
        return at(from) * std::expm1(drift * (until - from)) / std::expm1(drift);
    }
};

} // namespace tavoq
