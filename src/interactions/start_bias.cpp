#include "interactions/start_bias.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace tavoq {

StartBias::StartBias(const TransitionModel &model, const InteractionModel &interactions) {
    using Kind = TransitionModel::Cell::Kind;
    for (int c = 0; c < model.nComponents(); ++c) {
        offsets.push_back(rates.size());
        for (int s = 0; s < model.nStates(c); ++s) {
            const TransitionModel::Row row = model.row(c, s);
            double total = 0.0;
            bool exponential = interactions.kind(c, s) == StateKind::Working;
            bool fails = false;
            for (int j = 0; j < row.size && exponential; ++j) {
                if (row[j].kind == Kind::Never) {
                    continue;
                }
                exponential = row[j].kind == Kind::Exponential && row[j].rate > 0 &&
                              std::isfinite(row[j].rate);
                total += row[j].rate;
                fails = fails || interactions.kind(c, j) == StateKind::Failed;
            }
            rates.push_back(exponential && fails ? total : 0.0);
        }
    }
}

StartBias::StartBias(const TransitionModel &model, const InteractionModel &interactions,
                     double factor)
    : StartBias(model, interactions) {
    if (!(factor >= 1.0) || !std::isfinite(factor)) {
        throw std::invalid_argument(
            "The start factor must be a finite number of at least 1 (1 draws first failures "
            "as their laws say), got " +
            std::to_string(factor) + ".");
    }
    by = factor;
}

double StartBias::chosen(const TransitionModel &model, const InteractionModel &interactions,
                         int simTime) {
    const StartBias rows(model, interactions);
    // The states a run starts in: each group takes its first unit that no earlier group
    // took, active; every other unit waits in its standby state (a spare module's parts in
    // their first state: an estimate, which only sets the factor).
    std::vector<int> states(static_cast<std::size_t>(model.nComponents()), 0);
    std::vector<char> taken(states.size(), 0);
    for (int c = 0; c < model.nComponents(); ++c) {
        if (interactions.isUnit(c)) {
            states[static_cast<std::size_t>(c)] = interactions.standbyState(c);
        }
    }
    for (const InteractionModel::Group &group : interactions.groups()) {
        for (int u = group.firstUnit; u < group.endUnit; ++u) {
            const int c = interactions.unitComponent(u);
            if (c >= 0 && taken[static_cast<std::size_t>(c)] == 0) {
                taken[static_cast<std::size_t>(c)] = 1;
                states[static_cast<std::size_t>(c)] = interactions.activeState(c);
                break;
            }
        }
    }
    double expected = 0.0;
    for (int c = 0; c < model.nComponents(); ++c) {
        expected += rows.rate(c, states[static_cast<std::size_t>(c)]) * simTime;
    }
    return expected > 0 && expected < kRareFirstFailures ? kExpectedFailures / expected : 1.0;
}

} // namespace tavoq
