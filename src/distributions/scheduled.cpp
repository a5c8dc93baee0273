#include "distributions/scheduled.hpp"

#include <cstdint>
#include <stdexcept>
#include <utility>

namespace tavoq {

namespace {

// 32-bit two's-complement arithmetic without signed overflow: wrap in unsigned, convert back
// (well defined since C++20).
int wrappingAdd(int a, int b) {
    return static_cast<int>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

int wrappingSub(int a, int b) {
    return static_cast<int>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

double pointMass(double x, int at) { return x == static_cast<double>(at) ? 1.0 : 0.0; }

double step(double x, int at) { return static_cast<double>(at) <= x ? 1.0 : 0.0; }

} // namespace

Inspection::Inspection(int inspectionTime) : inspectionTime(inspectionTime) {}

double Inspection::pdf(double x) const { return pointMass(x, inspectionTime); }

double Inspection::cdf(double x) const { return step(x, inspectionTime); }

double Inspection::quantile(double, int currentTime) const {
    const int t = currentTime;
    const int interval = inspectionTime;
    if (interval == 0) {
        return kNoTransition;
    }
    // The remainder truncates toward zero; taken in 64 bits so that INT_MIN rem -1 is 0
    // instead of a trap. Its magnitude is below |interval|, so it fits back in 32 bits.
    const int r = static_cast<int>(static_cast<std::int64_t>(t) % interval);
    const int d = wrappingSub(interval, r);
    const int s = wrappingAdd(t, d);
    return s > t ? static_cast<double>(d) : 0.0;
}

Maintenance::Maintenance(std::vector<int> maintenanceTimes)
    : maintenanceTimes(std::move(maintenanceTimes)) {
    if (this->maintenanceTimes.empty()) {
        throw std::invalid_argument("Maintenance times cannot be empty");
    }
}

double Maintenance::quantile(double p, int) const {
    // The pick follows the run's own draw, so a seed fixes it like every other delay.
    const std::size_t n = maintenanceTimes.size();
    const double scaled = p * static_cast<double>(n);
    std::size_t i = 0;
    if (!(scaled >= 0)) {
        i = 0; // NaN or below 0
    } else if (scaled >= static_cast<double>(n)) {
        i = n - 1;
    } else {
        i = static_cast<std::size_t>(scaled);
    }
    return static_cast<double>(maintenanceTimes[i]);
}

InstantaneousFailure::InstantaneousFailure(int failureTime) : failureTime(failureTime) {
    if (failureTime < 0) {
        throw std::invalid_argument("Failure time must be non-negative");
    }
}

double InstantaneousFailure::pdf(double x) const { return pointMass(x, failureTime); }

double InstantaneousFailure::cdf(double x) const { return step(x, failureTime); }

double InstantaneousFailure::quantile(double p, int currentTime) const {
    if (p < 0 || p > 1) {
        return kNoTransition;
    }
    return static_cast<double>(wrappingSub(failureTime, currentTime));
}

} // namespace tavoq
