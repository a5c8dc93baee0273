#include "distributions/distribution.hpp"

#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "distributions/continuous.hpp"
#include "distributions/scheduled.hpp"

using namespace tavoq;

// Values are covered from Python; here the point is that the engine, which only ever holds a
// `const Distribution &`, reaches each kind's own operations, and that the integer arithmetic of
// the scheduled kinds stays defined at the ends of the 32-bit range.

namespace {

constexpr double kNever = 2147483647.0;
const double kSqrtTwoPi = std::sqrt(6.283185307179586);

// One case per kind: how to build it, and one point of each operation with its value worked
// out from the kind's formula.
struct PlainCase {
    static std::unique_ptr<Distribution> make() { return std::make_unique<Distribution>(); }
    static constexpr double p = 0.3;
    static constexpr int t = 7;
    static double quantile() { return kNever; }
    static constexpr double x = 1.5;
    static double pdf() { return kNever; }
    static double cdf() { return kNever; }
};

struct NormalCase {
    static std::unique_ptr<Distribution> make() { return std::make_unique<Normal>(2.0, 3.0); }
    static constexpr double p = 0.5; // erf_inv(0) is exactly 0
    static constexpr int t = 7;
    static double quantile() { return 2.0; }
    static constexpr double x = 2.0;
    static double pdf() { return 1.0 / (kSqrtTwoPi * 3.0); }
    static double cdf() { return 0.5; }
};

struct ExponentialCase {
    static std::unique_ptr<Distribution> make() { return std::make_unique<Exponential>(2.0); }
    static constexpr double p = 0.75;
    static constexpr int t = 100;
    static double quantile() { return std::log(4.0) / 2.0; }
    static constexpr double x = 0.0;
    static double pdf() { return 2.0; }
    static double cdf() { return 0.0; }
};

struct UniformCase {
    static std::unique_ptr<Distribution> make() { return std::make_unique<Uniform>(1.0, 3.0); }
    static constexpr double p = 0.25;
    static constexpr int t = 100;
    static double quantile() { return 1.5; }
    static constexpr double x = 2.0;
    static double pdf() { return 0.5; }
    static double cdf() { return 0.5; }
};

struct WeibullCase {
    // Scale 2, shape 1: an exponential with rate 1/2.
    static std::unique_ptr<Distribution> make() { return std::make_unique<Weibull>(2.0, 1.0); }
    static constexpr double p = 0.75;
    static constexpr int t = 100;
    static double quantile() { return 2.0 * std::log(4.0); }
    static constexpr double x = 0.0;
    static double pdf() { return 0.5; }
    static double cdf() { return 0.0; }
};

struct InspectionCase {
    static std::unique_ptr<Distribution> make() { return std::make_unique<Inspection>(10); }
    static constexpr double p = 5.0; // not even looked at
    static constexpr int t = 25;
    static double quantile() { return 5.0; }
    static constexpr double x = 10.0;
    static double pdf() { return 1.0; }
    static double cdf() { return 1.0; }
};

struct MaintenanceCase {
    static std::unique_ptr<Distribution> make() {
        return std::make_unique<Maintenance>(std::vector<int>{7});
    }
    static constexpr double p = 0.9;
    static constexpr int t = 1000;
    static double quantile() { return 7.0; }
    static constexpr double x = 7.0;
    static double pdf() { return kNever; } // inherited
    static double cdf() { return kNever; }
};

struct InstantaneousFailureCase {
    static std::unique_ptr<Distribution> make() {
        return std::make_unique<InstantaneousFailure>(100);
    }
    static constexpr double p = 0.3;
    static constexpr int t = 40;
    static double quantile() { return 60.0; }
    static constexpr double x = 99.5;
    static double pdf() { return 0.0; }
    static double cdf() { return 0.0; }
};

struct LognormalCase {
    static std::unique_ptr<Distribution> make() { return std::make_unique<Lognormal>(0.0, 1.0); }
    static constexpr double p = 0.5; // the median is exp(mu)
    static constexpr int t = 100;
    static double quantile() { return 1.0; }
    static constexpr double x = 1.0;
    static double pdf() { return 1.0 / kSqrtTwoPi; }
    static double cdf() { return 0.5; }
};

struct GammaCase {
    // Shape 2, scale 3: an Erlang of two phases of mean 3, F(x) = 1 - e^(-x/3) (1 + x/3).
    static std::unique_ptr<Distribution> make() { return std::make_unique<Gamma>(2.0, 3.0); }
    static constexpr double p = 0.0;
    static constexpr int t = 100;
    static double quantile() { return 0.0; }
    static constexpr double x = 3.0;
    static double pdf() { return std::exp(-1.0) / 3.0; }
    static double cdf() { return 1.0 - 2.0 * std::exp(-1.0); }
};

struct ConstantCase {
    static std::unique_ptr<Distribution> make() { return std::make_unique<Constant>(2.5); }
    static constexpr double p = 0.3;
    static constexpr int t = 40; // a delay, not a time: the current time does not matter
    static double quantile() { return 2.5; }
    static constexpr double x = 2.5;
    static double pdf() { return 1.0; }
    static double cdf() { return 1.0; }
};

template <typename Case> class EveryKind : public testing::Test {};

using Kinds = testing::Types<PlainCase, NormalCase, ExponentialCase, UniformCase, WeibullCase,
                             InspectionCase, MaintenanceCase, InstantaneousFailureCase,
                             LognormalCase, GammaCase, ConstantCase>;
TYPED_TEST_SUITE(EveryKind, Kinds);

TYPED_TEST(EveryKind, OperationsThroughTheBaseReachTheKind) {
    const std::unique_ptr<Distribution> owned = TypeParam::make();
    const Distribution &d = *owned;
    EXPECT_DOUBLE_EQ(d.quantile(TypeParam::p, TypeParam::t), TypeParam::quantile());
    EXPECT_DOUBLE_EQ(d.pdf(TypeParam::x), TypeParam::pdf());
    EXPECT_DOUBLE_EQ(d.cdf(TypeParam::x), TypeParam::cdf());
}

// The kinds with an unbounded delay: the ends of [0, 1] and what lies outside it.
class UnboundedKind : public testing::TestWithParam<int> {
protected:
    static std::unique_ptr<Distribution> make(int which) {
        if (which == 0) {
            return std::make_unique<Lognormal>(1.0, 0.5);
        }
        return std::make_unique<Gamma>(0.5, 4.0);
    }
};

TEST_P(UnboundedKind, EndsOfTheUnitIntervalAndBeyond) {
    const std::unique_ptr<Distribution> d = make(GetParam());
    EXPECT_EQ(d->quantile(0.0, 0), 0.0);
    EXPECT_EQ(d->quantile(1.0, 0), std::numeric_limits<double>::infinity());
    for (double p : {-0.1, 1.5, std::nan("")}) {
        EXPECT_EQ(d->quantile(p, 0), kNever) << "p = " << p;
    }
    EXPECT_EQ(d->cdf(-1.0), 0.0);
    EXPECT_EQ(d->cdf(std::numeric_limits<double>::infinity()), 1.0);
    EXPECT_EQ(d->pdf(std::numeric_limits<double>::infinity()), 0.0);
    EXPECT_TRUE(std::isnan(d->cdf(std::nan(""))));
}

TEST_P(UnboundedKind, QuantileInvertsTheCdf) {
    const std::unique_ptr<Distribution> d = make(GetParam());
    for (double p : {1e-9, 0.01, 0.3, 0.5, 0.9, 0.999999}) {
        EXPECT_NEAR(d->cdf(d->quantile(p, 0)), p, 1e-12 + 1e-9 * p) << "p = " << p;
    }
}

INSTANTIATE_TEST_SUITE_P(LognormalAndGamma, UnboundedKind, testing::Values(0, 1));

TEST(Lognormal, ADelayPastTheLargestDoubleIsInfiniteNotAnError) {
    const Lognormal huge(700.0, 10.0);
    EXPECT_EQ(huge.quantile(0.99, 0), std::numeric_limits<double>::infinity());
}

TEST(Gamma, ShapeOneIsTheExponential) {
    const Gamma g(1.0, 4.0);
    const Exponential e(0.25);
    EXPECT_DOUBLE_EQ(g.pdf(0.0), 0.25);
    for (double p : {0.1, 0.5, 0.75}) {
        EXPECT_NEAR(g.quantile(p, 3), e.quantile(p, 3), 1e-12);
    }
}

TEST(NewKinds, ConstructorsRefuseParametersWithoutMeaning) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    EXPECT_THROW(Lognormal(0.0, 0.0), std::invalid_argument);
    EXPECT_THROW(Lognormal(0.0, -1.0), std::invalid_argument);
    EXPECT_THROW(Lognormal(nan, 1.0), std::invalid_argument);
    EXPECT_THROW(Lognormal(0.0, inf), std::invalid_argument);
    EXPECT_THROW(Gamma(0.0, 1.0), std::invalid_argument);
    EXPECT_THROW(Gamma(1.0, -2.0), std::invalid_argument);
    EXPECT_THROW(Gamma(inf, 1.0), std::invalid_argument);
    EXPECT_THROW(Constant(-1.0), std::invalid_argument);
    EXPECT_THROW(Constant{nan}, std::invalid_argument);
    EXPECT_NO_THROW(Constant(0.0));
}

TEST(Inspection, ZeroIntervalNeverSchedulesAnInspection) {
    const Inspection never(0);
    for (int t : {0, 1, 17, -5, INT_MAX, INT_MIN}) {
        EXPECT_EQ(never.quantile(0.5, t), kNever) << "t = " << t;
    }
}

TEST(Inspection, MinusOneIntervalAtTheLowestTimeDoesNotTrap) {
    // INT_MIN rem -1 overflows a hardware division; the quantile has to answer regardless.
    const Inspection odd(-1);
    const double v = odd.quantile(0.5, INT_MIN);
    EXPECT_FALSE(std::isnan(v));
    // A negative interval never schedules anything for t >= 0.
    EXPECT_EQ(odd.quantile(0.5, 3), 0.0);
    EXPECT_EQ(Inspection(-5).quantile(0.5, 3), 0.0);
}

TEST(Inspection, NextInspectionPastTheLastTimeIsNone) {
    // 2147483645 rem 10 = 5, so the next multiple would be 2147483650: beyond 32 bits.
    EXPECT_EQ(Inspection(10).quantile(0.5, INT_MAX - 2), 0.0);
    EXPECT_EQ(Inspection(10).quantile(0.5, INT_MAX), 0.0);
    // One below the limit still fits: 2147483640 is the last multiple of 10 that does.
    EXPECT_EQ(Inspection(10).quantile(0.5, 2147483630), 10.0);
    // The remainder keeps the sign of t.
    EXPECT_EQ(Inspection(10).quantile(0.5, -3), 13.0);
}

TEST(InstantaneousFailure, DifferenceWrapsAtTheEndsOfTheRange) {
    // failureTime - currentTime in 32-bit two's complement.
    EXPECT_EQ(InstantaneousFailure(5).quantile(0.5, INT_MIN), -2147483643.0);
    EXPECT_EQ(InstantaneousFailure(0).quantile(0.5, INT_MIN), -2147483648.0);
    EXPECT_EQ(InstantaneousFailure(INT_MAX).quantile(0.5, -1), -2147483648.0);
    EXPECT_EQ(InstantaneousFailure(100).quantile(0.3, 150), -50.0);
}

} // namespace
