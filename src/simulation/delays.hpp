#pragma once

#include <cmath>
#include <limits>
#include <stdexcept>

#include "distributions/distribution.hpp"

namespace tavoq::delays {

/// The pending delay of a transition that never fires, and of one due at once.
inline constexpr int kNever = std::numeric_limits<int>::max();
inline constexpr int kDueAtOnce = std::numeric_limits<int>::min();

/// d's quantile at p. The Normal quantile refuses p = 0, which one draw in 2^24 is. Inside a
/// run that draw means the lower limit of the distribution, so a legal model cannot fail at
/// random. Other errors of the quantile pass through.
inline double sampleDelay(const Distribution &d, double p, int currentTime) {
    try {
        return d.quantile(p, currentTime);
    } catch (const std::out_of_range &) {
        return -std::numeric_limits<double>::infinity();
    }
}

/// Truncation toward zero, with the values that have no 32-bit conversion mapped to their
/// meaning: NaN and anything above the range never fire; anything below it is due at once.
inline int toDelay(double v) {
    if (std::isnan(v) || v >= 2147483648.0) {
        return kNever;
    }
    if (v < -2147483648.0) {
        return kDueAtOnce;
    }
    return static_cast<int>(v);
}

} // namespace tavoq::delays
