#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "simulation/delays.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

/// Drawing a pending transition again, given only that it has not fired yet: what a retrial
/// of splitting does so that it does not share its future with the trajectory it was copied
/// from. A row can be drawn again when each of its cells is exponential or of a continuous
/// law whose draw does not depend on the unit it is made at (Weibull, lognormal, gamma,
/// uniform) and never falls below 0. Other rows (fixed delays, inspections, maintenance, laws
/// defined in Python) keep their pending transition: the retrials then share it, which leaves the
/// estimate unbiased (the pending draw is part of the state that is copied) and only makes them
/// less apart.
class RedrawableRows {
public:
    /// The model's rows, and `causes`: delays of events of their own (common causes), each
    /// a row of one cell, an exponential one at its rate times `causeFactors[k]` (when
    /// given), as a biased cause is drawn (CauseBias).
    explicit RedrawableRows(const TransitionModel &model,
                            const std::vector<const Distribution *> &causes = {},
                            const std::vector<double> &causeFactors = {});

    /// Cause k's cell, or null when its law cannot be drawn again.
    const TransitionModel::Cell *cause(int k) const {
        const TransitionModel::Cell &cell = causeCells[static_cast<std::size_t>(k)];
        return redrawable(cell) ? &cell : nullptr;
    }

    /// Whether a cell of this law can be drawn again.
    static bool redrawable(const TransitionModel::Cell &cell);

    bool operator()(int c, int state) const {
        return flags[offsets[static_cast<std::size_t>(c)] + static_cast<std::size_t>(state)] != 0;
    }

    /// The summed rate of component c's row from `state` when every cell of it is
    /// exponential (each rate positive and finite) or never, at least one exponential; else 0.
    double exponentialRate(int c, int state) const {
        return rates[offsets[static_cast<std::size_t>(c)] + static_cast<std::size_t>(state)];
    }
    /// The same of a row.
    static double exponentialRate(const TransitionModel::Row &row);

    /// Draws `row`, drawn at unit `at`, again given that none of its cells fired within
    /// `elapsed` units of it; `draw` gives uniform numbers in [0, 1). Returns the delay from
    /// `at` of the earliest cell (at least `elapsed`, or delays::kNever) and sets `to` to it.
    template <typename Draw>
    static int redraw(const TransitionModel::Row &row, int at, double elapsed, int &to,
                      Draw &&draw) {
        int best = delays::kNever;
        int bestState = 0;
        for (int j = 0; j < row.size; ++j) {
            const TransitionModel::Cell &cell = row[j];
            if (cell.kind == TransitionModel::Cell::Kind::Never) {
                continue;
            }
            const double p = draw();
            double v;
            if (cell.kind == TransitionModel::Cell::Kind::Exponential) {
                v = elapsed - std::log1p(-p) / cell.rate; // memoryless
            } else {
                const double below = cell.distribution->cdf(elapsed);
                v = delays::sampleDelay(*cell.distribution, below + p * (1.0 - below), at);
                v = std::max(v, elapsed); // rounding at the edge must not bring it earlier
            }
            const int t = delays::toDelay(v);
            if (t < best) {
                best = t;
                bestState = j;
            }
        }
        to = bestState;
        return best;
    }

private:
    std::vector<std::uint8_t> flags;  // per (component, state), at offsets[c] + state
    std::vector<double> rates;        // the same: exponentialRate
    std::vector<std::size_t> offsets; // nComponents + 1
    std::vector<TransitionModel::Cell> causeCells;
};

} // namespace tavoq
