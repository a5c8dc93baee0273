#pragma once

#include <cmath>

#include "simulation/transition_model.hpp"

namespace tavoq {

/// Adds to `log` the log likelihood ratio of a row whose exponential cells were drawn at
/// `factor` times their rates, `elapsed` units ago: cell `fired` firing now, or (-1) none
/// firing before now. Delays are whole units, floor(E / rate), geometric: P(D >= d) =
/// e^(-rate d) and P(D = d) = e^(-rate d) (1 - e^-rate). A cell listed before the one that
/// fired waited a unit more (the earlier cell wins a tie). Each cell is added in turn, so
/// that every caller sums the same numbers in the same order.
inline void addBiasedRowRatio(double &log, const TransitionModel::Row &row, double factor,
                              int elapsed, int fired) {
    for (int j = 0; j < row.size; ++j) {
        if (row[j].kind != TransitionModel::Cell::Kind::Exponential) {
            continue;
        }
        const double rate = row[j].rate;
        const double drawn = rate * factor;
        if (j == fired) {
            log += (drawn - rate) * elapsed + std::log(-std::expm1(-rate)) -
                   std::log(-std::expm1(-drawn));
        } else {
            log += (drawn - rate) * (fired >= 0 && j < fired ? elapsed + 1 : elapsed);
        }
    }
}

} // namespace tavoq
