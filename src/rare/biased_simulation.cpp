#include "rare/biased_simulation.hpp"

#include <cmath>
#include <stdexcept>

#include "distributions/continuous.hpp"
#include "simulation/biased_row.hpp"
#include "simulation/delays.hpp"
#include "simulation/event_queue.hpp"

namespace tavoq {

namespace {

using Kind = TransitionModel::Cell::Kind;

// A uniform law over [a, b) with a < 0 < b, both finite: drawn first in a run, it fails on
// demand with chance b / (b - a), else never.
double demandChance(const TransitionModel::Cell &cell) {
    if (cell.kind != Kind::Other) {
        return 0.0;
    }
    const auto *uniform = dynamic_cast<const Uniform *>(cell.distribution);
    if (uniform == nullptr || !std::isfinite(uniform->lower()) ||
        !std::isfinite(uniform->upper()) || !(uniform->lower() < 0) || !(uniform->upper() > 0)) {
        return 0.0;
    }
    return uniform->upper() / (uniform->upper() - uniform->lower());
}

// Whether a cell's law can be forced to end within a run: one whose rate is not scaled by
// failure biasing and whose cdf and quantile do not depend on the time.
bool forceable(const TransitionModel::Cell &cell, bool rowBiased) {
    if (cell.kind == Kind::Exponential) {
        return !rowBiased;
    }
    return cell.kind == Kind::Other &&
           (dynamic_cast<const Weibull *>(cell.distribution) != nullptr ||
            dynamic_cast<const Lognormal *>(cell.distribution) != nullptr ||
            dynamic_cast<const Gamma *>(cell.distribution) != nullptr);
}

} // namespace

BiasedSimulation::BiasedSimulation(const TransitionModel &model, const GateGraph &graph,
                                   FailureBias bias, RunControl control)
    : model(model), graph(graph), bias(bias), nComponents(model.nComponents()),
      core(nComponents, control), gates(graph), queue(nComponents),
      biased(static_cast<std::size_t>(nComponents), 0),
      states(static_cast<std::size_t>(nComponents), 0),
      toState(static_cast<std::size_t>(nComponents), 0),
      drawnAt(static_cast<std::size_t>(nComponents), 0),
      drawnFactor(static_cast<std::size_t>(nComponents), 1.0),
      demandsAt(static_cast<std::size_t>(nComponents), 0) {
    for (int c = 0; c < nComponents; ++c) {
        const TransitionModel::Row row = model.row(c, 0);
        bool exponential = false;
        bool other = false;
        demandsAt[static_cast<std::size_t>(c)] = demands.size();
        for (int j = 0; j < row.size; ++j) {
            exponential = exponential || row[j].kind == Kind::Exponential;
            other = other || row[j].kind == Kind::Other;
            const double chance = demandChance(row[j]);
            demands.push_back(
                {chance, chance > 0 ? row[j].distribution->quantile(1.0, 0) : 0.0, false});
        }
        biased[static_cast<std::size_t>(c)] = exponential && !other ? 1 : 0;
        for (int j = 0; j < row.size; ++j) {
            demands[demandsAt[static_cast<std::size_t>(c)] + static_cast<std::size_t>(j)].life =
                forceable(row[j], exponential && !other);
        }
    }
    try {
        distance.emplace(graph);
    } catch (const std::invalid_argument &) {
        // Logic that is not coherent has no distance to failure: every failure is biased.
    }
}

double BiasedSimulation::drawDemand(const Demand &demand) {
    const double drawn = bias.demandChance;
    const double u = core.drawUniform53();
    if (u >= drawn) {
        logWeight += std::log1p(-demand.chance) - std::log1p(-drawn);
        return kNoTransition;
    }
    logWeight += std::log(demand.chance) - std::log(drawn);
    // Given that it happens, its delay is uniform below the law's upper bound.
    return u / drawn * demand.upper;
}

double BiasedSimulation::withinRun(const TransitionModel::Cell &cell, int now) const {
    const double rest = static_cast<double>(horizon) - now;
    if (!(rest > 0)) {
        return 0.0;
    }
    // The delay is floor(X): it ends before the run's end exactly when X < rest.
    return cell.kind == Kind::Exponential ? -std::expm1(-cell.rate * rest)
                                          : cell.distribution->cdf(rest);
}

double BiasedSimulation::drawLife(const TransitionModel::Cell &cell, int now, double p) {
    const double drawn = bias.lifeChance;
    const double u = core.drawUniform53();
    if (u >= drawn) {
        logWeight += std::log1p(-p) - std::log1p(-drawn);
        return kNoTransition; // it outlives the run
    }
    logWeight += std::log(p) - std::log(drawn);
    const double q = u / drawn * p; // uniform below p: the law given that it ends in the run
    return cell.kind == Kind::Exponential ? -std::log1p(-q) / cell.rate
                                          : delays::sampleDelay(*cell.distribution, q, now);
}

void BiasedSimulation::draw(int c, int now, double factor, bool first) {
    const auto k = static_cast<std::size_t>(c);
    const double f = biased[k] != 0 && states[k] == 0 ? factor : 1.0;
    const TransitionModel::Row row = model.row(c, states[k]);
    int best = delays::kNever;
    int bestState = 0;
    for (int j = 0; j < row.size; ++j) {
        const TransitionModel::Cell &cell = row[j];
        if (cell.kind == Kind::Never) {
            continue;
        }
        const Demand *demand =
            states[k] == 0 ? &demands[demandsAt[k] + static_cast<std::size_t>(j)] : nullptr;
        const double life =
            demand != nullptr && demand->life && bias.lifeChance > 0 ? withinRun(cell, now) : 0.0;
        double v;
        if (first && demand != nullptr && demand->chance > 0 &&
            demand->chance < bias.demandChance) {
            v = drawDemand(*demand);
        } else if (life > 0 && life < bias.lifeChance) {
            v = drawLife(cell, now, life);
        } else {
            const double p = core.drawUniform53();
            v = cell.kind == Kind::Exponential ? -std::log1p(-p) / (cell.rate * f)
                                               : delays::sampleDelay(*cell.distribution, p, now);
        }
        if (first && (v < 0 || v > kNoTransition)) {
            v = kNoTransition; // as the crude runs read a first draw out of range
        }
        const int t = delays::toDelay(v);
        if (t < best) {
            best = t;
            bestState = j;
        }
    }
    toState[k] = bestState;
    drawnAt[k] = now;
    drawnFactor[k] = f;
    const std::int64_t due = best == delays::kNever ? std::int64_t{now} + delays::kNever
                             : best < 0             ? now
                                                    : std::int64_t{now} + best;
    queue.update(c, EventQueue::key(due, c));
}

void BiasedSimulation::settle(int c, int now, int fired) {
    const auto k = static_cast<std::size_t>(c);
    const double f = drawnFactor[k];
    if (f == 1.0) {
        return;
    }
    addBiasedRowRatio(logWeight, model.row(c, 0), f, now - drawnAt[k], fired);
    drawnFactor[k] = 1.0;
}

double BiasedSimulation::factorOf(int c) {
    const auto k = static_cast<std::size_t>(c);
    if (biased[k] == 0 || states[k] != 0) {
        return 1.0;
    }
    const double factor = nFailed == 0 ? bias.whileWorking : bias.whileDegraded;
    return factor == 1.0 || nearer(c) ? factor : 1.0;
}

bool BiasedSimulation::nearer(int c) {
    if (!distance) {
        return true;
    }
    // Only a failure that brings the top nearer is made likelier: one that cannot (a unit of
    // a train already down) would spend the runs where no failure lies.
    const std::int32_t before = distance->distance(graph.top());
    distance->set(c, true);
    const bool closer = distance->distance(graph.top()) < before;
    distance->set(c, false);
    return closer;
}

void BiasedSimulation::rebias(int now, int except) {
    for (int c = 0; c < nComponents; ++c) {
        const auto k = static_cast<std::size_t>(c);
        if (c == except || biased[k] == 0 || states[k] != 0) {
            continue;
        }
        const double factor = factorOf(c);
        if (factor != drawnFactor[k]) {
            // Within a unit the components fire in index order: one listed before `except`
            // that has not fired is not due in this unit, one after it may still be.
            const int from = c < except ? now + 1 : now;
            settle(c, from, -1);
            draw(c, from, factor);
        }
    }
}

double BiasedSimulation::settledLog(int at) const {
    // As settle() would, row after row, on a copy: the same sums in the same order.
    double log = logWeight;
    for (int c = 0; c < nComponents; ++c) {
        const auto k = static_cast<std::size_t>(c);
        if (drawnFactor[k] != 1.0) {
            addBiasedRowRatio(log, model.row(c, 0), drawnFactor[k], at - drawnAt[k], -1);
        }
    }
    return log;
}

void BiasedSimulation::firstFailureAt(int now, BiasedOutcome &out) {
    out.firstFailure = now;
    out.logWeight = settledLog(now + 1);
    out.cause = cause;
    failedAtFirst.clear();
    for (int c = 0; c < nComponents; ++c) {
        if (states[static_cast<std::size_t>(c)] != 0) {
            failedAtFirst.push_back(c);
        }
    }
}

int BiasedSimulation::failedComponents(std::vector<std::int32_t> &out) const {
    out.insert(out.end(), failedAtFirst.begin(), failedAtFirst.end());
    return static_cast<int>(failedAtFirst.size());
}

BiasedOutcome BiasedSimulation::run(int simTime, std::uint32_t seed, bool toHorizon) {
    core.seed(seed);
    core.beginRun();
    horizon = simTime;
    gates.reset();
    std::fill(states.begin(), states.end(), 0);
    std::fill(drawnFactor.begin(), drawnFactor.end(), 1.0);
    nFailed = 0;
    logWeight = 0.0;
    cause = -1;
    failedAtFirst.clear();
    for (int c = 0; c < nComponents; ++c) {
        queue.place(c, ~std::uint64_t{0});
    }
    queue.build();
    if (distance) {
        distance->reset();
    }
    for (int c = 0; c < nComponents; ++c) {
        draw(c, 0, factorOf(c), true);
    }
    BiasedOutcome out{simTime, 0.0, -1};
    bool failedYet = false;
    if (gates.topFailed()) { // logic failed with every component working
        out = {0, settledLog(0), -1};
        if (!toHorizon) {
            return out;
        }
        failedYet = true;
    }
    int now = 0;
    bool failedBefore = false; // whether the unit before `now` ended failed
    // Unit `now` ends, its state held until `until`: true when the run stops there.
    const auto unitEnds = [&](int until) {
        if (!gates.topFailed()) {
            failedBefore = false;
            return false;
        }
        if (!failedYet) {
            failedYet = true;
            firstFailureAt(now, out);
            if (!toHorizon) {
                return true;
            }
        }
        out.downtime += until - now;
        out.failures += failedBefore ? 0 : 1;
        failedBefore = true;
        return false;
    };
    const auto noGates = [](auto &&...) {};
    while (true) {
        const std::uint64_t next = queue.top();
        const std::int64_t due = EventQueue::dueOf(next);
        if (due >= simTime) {
            break;
        }
        const int T = due < now ? now : static_cast<int>(due);
        if (T != now && unitEnds(T)) {
            return out;
        }
        core.countTransition(T == now, now);
        now = T;
        core.spend(1);
        core.checkIfDue();

        const int c = EventQueue::componentOf(next);
        const auto k = static_cast<std::size_t>(c);
        const int from = states[k];
        const int to = toState[k];
        settle(c, now, to);
        states[k] = to;
        if ((from == 0) != (to == 0)) {
            const bool toFailed = to != 0;
            const bool wasFailed = gates.topFailed();
            if (graph.general()) {
                gates.crossGeneral(c, toFailed, now, noGates);
            } else if (toFailed) {
                gates.cross<true>(c, noGates);
            } else {
                gates.cross<false>(c, noGates);
            }
            if (!wasFailed && gates.topFailed()) {
                cause = c;
            }
            nFailed += toFailed ? 1 : -1;
            if (distance) {
                distance->set(c, toFailed);
            }
            rebias(now, c);
        }
        draw(c, now, factorOf(c));
    }
    if (now < simTime && unitEnds(simTime)) {
        return out;
    }
    if (!failedYet) {
        // No unit ended failed: a failure that a repair undid within its unit is none.
        out = {simTime, settledLog(simTime), -1};
    }
    if (toHorizon) {
        out.endLogWeight = settledLog(simTime);
    }
    return out;
}

} // namespace tavoq
