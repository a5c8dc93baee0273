#pragma once

#include <vector>

#include "distributions/distribution.hpp"

namespace tavoq {

/// Periodic inspection: inspections fall on the multiples of `inspectionTime`, and the
/// quantile is the delay from the current time to the next one. The probability is ignored.
/// An interval of 0 never schedules an inspection (its quantile is kNoTransition).
class Inspection : public Distribution {
public:
    explicit Inspection(int inspectionTime);
    double pdf(double x) const override;
    double cdf(double x) const override;
    double quantile(double p, int currentTime) const override;

private:
    int inspectionTime;
};

/// Scheduled maintenance: the quantile picks entry floor(p * n) of `maintenanceTimes` (a delay
/// in time units); p NaN or below 0 picks the first entry, p >= 1 the last. The pick follows
/// the probability the run draws, so runs with maintenance are reproducible like any other.
class Maintenance : public Distribution {
public:
    /// @throws std::invalid_argument  the list is empty.
    explicit Maintenance(std::vector<int> maintenanceTimes);
    double quantile(double p, int currentTime) const override;

private:
    std::vector<int> maintenanceTimes;
};

/// A failure at the absolute time `failureTime`: the quantile is `failureTime` - currentTime,
/// negative once that time has passed.
class InstantaneousFailure : public Distribution {
public:
    /// @throws std::invalid_argument  failureTime < 0.
    explicit InstantaneousFailure(int failureTime);
    double pdf(double x) const override;
    double cdf(double x) const override;
    /// kNoTransition for p outside [0, 1].
    double quantile(double p, int currentTime) const override;

private:
    int failureTime;
};

} // namespace tavoq
