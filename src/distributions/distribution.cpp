#include "distributions/distribution.hpp"

namespace tavoq {

double Distribution::pdf(double) const { return kNoTransition; }

double Distribution::cdf(double) const { return kNoTransition; }

double Distribution::quantile(double, int) const { return kNoTransition; }

} // namespace tavoq
