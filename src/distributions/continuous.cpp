#include "distributions/continuous.hpp"

#include <cmath>
#include <stdexcept>

#include <boost/math/special_functions/erf.hpp>

namespace tavoq {

namespace {
constexpr double kTwoPi = 6.283185307179586;
}

Normal::Normal(double mean, double stddev) : mean(mean), stddev(stddev) {}

double Normal::pdf(double x) const {
    const double z = (x - mean) / stddev;
    return std::exp(std::pow(z, 2.0) * -0.5) * (1.0 / (std::sqrt(kTwoPi) * stddev));
}

double Normal::cdf(double x) const {
    return (std::erf((x - mean) / (std::sqrt(2.0) * stddev)) + 1.0) * 0.5;
}

double Normal::quantile(double p, int) const {
    // Both ends are refused: erf_inv is infinite there.
    if (p <= 0 || p >= 1) {
        throw std::out_of_range("p must be in [0,1]");
    }
    const double z = (p + p) - 1.0;
    // Default Boost policy: its overflow error (z rounded to -1) is thrown, not swallowed.
    const double r = boost::math::erf_inv(z);
    return std::sqrt(2.0) * stddev * r + mean;
}

Exponential::Exponential(double lambda) : lambda(lambda) {}

double Exponential::pdf(double x) const {
    if (x < 0) {
        return 0.0;
    }
    return std::exp(-lambda * x) * lambda;
}

double Exponential::cdf(double x) const {
    if (x < 0) {
        return 0.0;
    }
    return 1.0 - std::exp(-lambda * x);
}

double Exponential::quantile(double p, int) const { return quantileOf(lambda, p); }

Uniform::Uniform(double a, double b) : a(a), b(b) {
    if (a >= b) {
        throw std::invalid_argument("Lower bound must be less than upper bound");
    }
}

double Uniform::pdf(double x) const {
    if (x < a || x > b) {
        return 0.0;
    }
    return 1.0 / (b - a);
}

double Uniform::cdf(double x) const {
    if (x < a) {
        return 0.0;
    }
    if (x > b) {
        return 1.0;
    }
    return (x - a) / (b - a);
}

double Uniform::quantile(double p, int) const {
    if (p < 0 || p > 1) {
        return kNoTransition;
    }
    return (b - a) * p + a;
}

Weibull::Weibull(double lambda, double k) : lambda(lambda), k(k) {
    if (lambda <= 0 || k <= 0) {
        throw std::invalid_argument("Parameters must be positive");
    }
}

double Weibull::pdf(double x) const {
    if (x < 0) {
        return 0.0;
    }
    const double q = x / lambda;
    return std::exp(-std::pow(q, k)) * (std::pow(q, k - 1.0) * (k / lambda));
}

double Weibull::cdf(double x) const {
    if (x < 0) {
        return 0.0;
    }
    return 1.0 - std::exp(-std::pow(x / lambda, k));
}

double Weibull::quantile(double p, int) const {
    if (p < 0 || p > 1) {
        return kNoTransition;
    }
    return std::pow(-std::log(1.0 - p), 1.0 / k) * lambda;
}

} // namespace tavoq
