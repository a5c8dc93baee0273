#pragma once

namespace tavoq {

/// Delay, in time units, that stands for "this transition never happens": the largest
/// signed 32-bit integer, held as a double.
inline constexpr double kNoTransition = 2147483647.0;

/// A time-to-transition distribution. The engine asks only `quantile`: for a probability p
/// and the current time (whole time units) it answers the delay until the transition,
/// relative to `currentTime`. `pdf` and `cdf` serve Python callers.
///
/// The base class is concrete: all three operations return kNoTransition, so a bare
/// `Distribution` marks a transition that does not exist.
///
/// Thread safety: every operation is const and changes nothing, so one object may be shared
/// by the parallel runners' threads.
class Distribution {
public:
    Distribution() = default;
    Distribution(const Distribution &) = delete;
    Distribution &operator=(const Distribution &) = delete;
    virtual ~Distribution() = default;

    virtual double pdf(double x) const;
    virtual double cdf(double x) const;
    /// @throws std::out_of_range  (Normal only) p outside the open interval (0, 1).
    virtual double quantile(double p, int currentTime) const;
};

} // namespace tavoq
