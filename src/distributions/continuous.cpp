#include "distributions/continuous.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <boost/math/distributions/gamma.hpp>
#include <boost/math/distributions/lognormal.hpp>
#include <boost/math/special_functions/erf.hpp>

namespace tavoq {

namespace {
constexpr double kTwoPi = 6.283185307179586;

// A probability the quantile answers: [0, 1], NaN excluded (Boost would throw on it).
bool inUnitInterval(double p) { return p >= 0 && p <= 1; }

// A delay too large for a double is +inf (never, to the engine) rather than an exception.
using Unbounded = boost::math::policies::policy<
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>>;
using LognormalOf = boost::math::lognormal_distribution<double, Unbounded>;
using GammaOf = boost::math::gamma_distribution<double, Unbounded>;

// Boost refuses x that is not finite; the answers there are plain.
bool outsideBoost(double x, double atInfinity, double &result) {
    if (std::isnan(x)) {
        result = x;
        return true;
    }
    if (std::isinf(x) || x <= 0) {
        result = x > 0 ? atInfinity : 0.0;
        return true;
    }
    return false;
}
} // namespace

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
    return -std::expm1(-lambda * x); // keeps its digits where it is small
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
    return -std::expm1(-std::pow(x / lambda, k));
}

double Weibull::quantile(double p, int) const {
    if (p < 0 || p > 1) {
        return kNoTransition;
    }
    return std::pow(-std::log(1.0 - p), 1.0 / k) * lambda;
}

Lognormal::Lognormal(double mu, double sigma) : mu(mu), sigma(sigma) {
    if (!std::isfinite(mu) || !std::isfinite(sigma) || sigma <= 0) {
        throw std::invalid_argument("mu must be finite and sigma a finite number > 0");
    }
}

double Lognormal::pdf(double x) const {
    double result = 0.0;
    if (outsideBoost(x, 0.0, result)) {
        return result;
    }
    return boost::math::pdf(LognormalOf(mu, sigma), x);
}

double Lognormal::cdf(double x) const {
    double result = 0.0;
    if (outsideBoost(x, 1.0, result)) {
        return result;
    }
    return boost::math::cdf(LognormalOf(mu, sigma), x);
}

double Lognormal::quantile(double p, int) const {
    if (!inUnitInterval(p)) {
        return kNoTransition;
    }
    // Boost reports p = 1 as an overflow; the delay is simply unbounded there.
    if (p == 1) {
        return std::numeric_limits<double>::infinity();
    }
    return boost::math::quantile(LognormalOf(mu, sigma), p);
}

Gamma::Gamma(double shape, double scale) : shape(shape), scale(scale) {
    if (!std::isfinite(shape) || !std::isfinite(scale) || shape <= 0 || scale <= 0) {
        throw std::invalid_argument("Parameters must be finite and positive");
    }
}

double Gamma::pdf(double x) const {
    if (x == 0 && shape == 1) {
        return 1.0 / scale; // the exponential's density at 0
    }
    // At 0 the density is 0 above shape 1 and unbounded below it: 0 keeps it finite.
    double result = 0.0;
    if (outsideBoost(x, 0.0, result)) {
        return result;
    }
    return boost::math::pdf(GammaOf(shape, scale), x);
}

double Gamma::cdf(double x) const {
    double result = 0.0;
    if (outsideBoost(x, 1.0, result)) {
        return result;
    }
    return boost::math::cdf(GammaOf(shape, scale), x);
}

double Gamma::quantile(double p, int) const {
    if (!inUnitInterval(p)) {
        return kNoTransition;
    }
    if (p == 1) {
        return std::numeric_limits<double>::infinity();
    }
    return boost::math::quantile(GammaOf(shape, scale), p);
}

Constant::Constant(double delay) : delay(delay) {
    if (!std::isfinite(delay) || delay < 0) {
        throw std::invalid_argument("Delay must be a finite number >= 0");
    }
}

double Constant::pdf(double x) const { return x == delay ? 1.0 : 0.0; }

double Constant::cdf(double x) const { return delay <= x ? 1.0 : 0.0; }

double Constant::quantile(double p, int) const {
    if (!inUnitInterval(p)) {
        return kNoTransition;
    }
    return delay;
}

} // namespace tavoq
