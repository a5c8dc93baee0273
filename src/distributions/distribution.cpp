#include "distributions/distribution.hpp"

double Distribution::pdf(double) const { return kNoTransition; }

double Distribution::cdf(double) const { return kNoTransition; }

double Distribution::quantile(double, int) const { return kNoTransition; }
