#pragma once

#include <cmath>

#include "distributions/distribution.hpp"

namespace tavoq {

/// Normal lifetime. Any mean and standard deviation are accepted; a degenerate stddev gives
/// whatever the formulas give (infinities or NaN).
class Normal : public Distribution {
public:
    Normal(double mean, double stddev);
    double pdf(double x) const override;
    double cdf(double x) const override;
    /// @throws std::out_of_range      p <= 0 or p >= 1 ("p must be in [0,1]").
    /// @throws std::overflow_error    0 < p <= 2^-55, where 2p - 1 rounds to -1 (Boost.Math).
    double quantile(double p, int currentTime) const override;

private:
    double mean;
    double stddev;
};

/// Exponential lifetime with rate `lambda` (mean 1 / lambda). Any rate is accepted.
class Exponential : public Distribution {
public:
    explicit Exponential(double lambda);
    double pdf(double x) const override;
    double cdf(double x) const override;
    /// kNoTransition for p < 0; +inf at p = 1 and NaN above it.
    double quantile(double p, int currentTime) const override;
    /// The quantile itself, inline so that the engine computes the very same value without
    /// a virtual call.
    static double quantileOf(double lambda, double p) {
        if (p < 0) {
            return kNoTransition;
        }
        return -std::log(1.0 - p) / lambda;
    }
    double rate() const { return lambda; }

private:
    double lambda;
};

/// Uniform delay on [a, b].
class Uniform : public Distribution {
public:
    /// @throws std::invalid_argument  a >= b.
    Uniform(double a, double b);
    double pdf(double x) const override;
    double cdf(double x) const override;
    /// kNoTransition for p outside [0, 1].
    double quantile(double p, int currentTime) const override;
    double lower() const { return a; }
    double upper() const { return b; }

private:
    double a;
    double b;
};

/// Weibull lifetime: scale `lambda` first, then shape `k`.
class Weibull : public Distribution {
public:
    /// @throws std::invalid_argument  lambda <= 0 or k <= 0.
    Weibull(double lambda, double k);
    double pdf(double x) const override;
    double cdf(double x) const override;
    /// kNoTransition for p outside [0, 1]; +inf at p = 1.
    double quantile(double p, int currentTime) const override;

private:
    double lambda;
    double k;
};

/// Lognormal lifetime: the logarithm of the delay is normal with mean `mu` and standard
/// deviation `sigma`.
class Lognormal : public Distribution {
public:
    /// @throws std::invalid_argument  mu not finite, or sigma not a finite number > 0.
    Lognormal(double mu, double sigma);
    double pdf(double x) const override;
    double cdf(double x) const override;
    /// kNoTransition for p outside [0, 1] (or NaN); 0 at p = 0, +inf at p = 1.
    double quantile(double p, int currentTime) const override;

private:
    double mu;
    double sigma;
};

/// Gamma lifetime: `shape` k, then `scale` theta (mean k * theta). An integer shape is the
/// Erlang delay of k exponential phases, each of mean theta.
class Gamma : public Distribution {
public:
    /// @throws std::invalid_argument  shape or scale not a finite number > 0.
    Gamma(double shape, double scale);
    double pdf(double x) const override;
    double cdf(double x) const override;
    /// kNoTransition for p outside [0, 1] (or NaN); 0 at p = 0, +inf at p = 1.
    double quantile(double p, int currentTime) const override;

private:
    double shape;
    double scale;
};

/// The same delay every time, counted from the moment the state is entered (unlike
/// InstantaneousFailure, whose time is absolute).
class Constant : public Distribution {
public:
    /// @throws std::invalid_argument  delay not a finite number >= 0.
    explicit Constant(double delay);
    /// A point mass: 1 at the delay, 0 elsewhere (as Inspection's).
    double pdf(double x) const override;
    double cdf(double x) const override;
    /// `delay` for p in [0, 1]; kNoTransition outside (or NaN).
    double quantile(double p, int currentTime) const override;

private:
    double delay;
};

} // namespace tavoq
