#include "simulation/redraw.hpp"

#include <cmath>

#include "distributions/continuous.hpp"

namespace tavoq {

namespace {

// A law whose draw, given that it is at least some delay, can be made again from its
// distribution function: it does not depend on the unit it is drawn at.
bool continuousLaw(const Distribution *d) {
    return dynamic_cast<const Weibull *>(d) != nullptr ||
           dynamic_cast<const Lognormal *>(d) != nullptr ||
           dynamic_cast<const Gamma *>(d) != nullptr ||
           dynamic_cast<const Uniform *>(d) != nullptr;
}

} // namespace

double RedrawableRows::exponentialRate(const TransitionModel::Row &row) {
    double rate = 0.0;
    for (int j = 0; j < row.size; ++j) {
        const TransitionModel::Cell &cell = row[j];
        if (cell.kind == TransitionModel::Cell::Kind::Exponential) {
            if (!(cell.rate > 0) || !std::isfinite(cell.rate)) {
                return 0.0;
            }
            rate += cell.rate;
        } else if (cell.kind != TransitionModel::Cell::Kind::Never) {
            return 0.0;
        }
    }
    return rate;
}

bool RedrawableRows::redrawable(const TransitionModel::Cell &cell) {
    // A law that may draw below 0 is kept: a run's first draw there is no transition (a
    // failure on demand that did not happen), which its conditional law knows nothing of.
    return cell.kind != TransitionModel::Cell::Kind::Other ||
           (continuousLaw(cell.distribution) && !(cell.distribution->cdf(0.0) > 0));
}

RedrawableRows::RedrawableRows(const TransitionModel &model,
                               const std::vector<const Distribution *> &causes,
                               const std::vector<double> &causeFactors)
    : offsets(static_cast<std::size_t>(model.nComponents()) + 1, 0) {
    for (std::size_t k = 0; k < causes.size(); ++k) {
        TransitionModel::Cell cell = TransitionModel::cellOf(causes[k]);
        if (k < causeFactors.size() && cell.kind == TransitionModel::Cell::Kind::Exponential) {
            cell.rate *= causeFactors[k];
        }
        causeCells.push_back(cell);
    }
    for (int c = 0; c < model.nComponents(); ++c) {
        const auto k = static_cast<std::size_t>(c);
        offsets[k + 1] = offsets[k] + static_cast<std::size_t>(model.nStates(c));
        for (int s = 0; s < model.nStates(c); ++s) {
            const TransitionModel::Row row = model.row(c, s);
            bool ok = true;
            for (int j = 0; j < row.size; ++j) {
                ok = ok && redrawable(row[j]);
            }
            flags.push_back(ok ? 1 : 0);
            rates.push_back(exponentialRate(row));
        }
    }
}

} // namespace tavoq
