#include "rare/interacting_splitting.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "logic/failure_distance.hpp"
#include "rare/splitting_simulation.hpp"
#include "simulation/delays.hpp"

namespace tavoq {

namespace {

statistics::Sizes scratchSizes(const TransitionModel &model, const GateGraph &graph) {
    statistics::Sizes sizes;
    sizes.components = model.nComponents();
    sizes.gates = graph.reportsGates() ? graph.nGates() : 0;
    sizes.cutsets = graph.reportsGates() ? 0 : graph.nGates();
    return sizes;
}

std::vector<const Distribution *> causeLaws(const InteractionModel &interactions) {
    std::vector<const Distribution *> laws;
    for (const InteractionModel::Cause &cause : interactions.causes()) {
        laws.push_back(cause.distribution);
    }
    return laws;
}

} // namespace

InteractingSplitting::InteractingSplitting(const TransitionModel &model, const GateGraph &graph,
                                           const InteractionModel &interactions,
                                           RunControl control, std::vector<double> causeFactors,
                                           double startFactor)
    : model(model), bias(interactions, std::move(causeFactors)),
      startBias(model, interactions, startFactor),
      rows(model, causeLaws(interactions), bias.factor),
      failed(InteractingSimulation::startDistance(graph, interactions).topWhenWorking()),
      slot(1, interactions.hasPlanned(), scratchSizes(model, graph)),
      recorder(slot, &scratch[0], &scratch[1], &scratch[2], std::numeric_limits<int>::max(),
               model.nComponents(), graph.nGates(), graph.reportsGates() ? graph.nGates() : 0,
               &scratch[3]) {
    current.emplace(model, graph, interactions, control);
    current->followDistance();
    current->biasCauses(bias.any() ? &bias : nullptr);
    current->biasStart(startBias.any() ? &startBias : nullptr);
}

void InteractingSplitting::follow(int simTime, SplitPath path, const SplitLevels &levels,
                                  SplitRoot &out) {
    InteractingSimulation &engine = *current;
    const int nComponents = model.nComponents();
    const auto failedComponents = [&](std::vector<std::int32_t> &list) {
        std::int32_t count = 0;
        for (int c = 0; c < nComponents; ++c) {
            if (engine.down(c)) {
                list.push_back(c);
                ++count;
            }
        }
        for (int g = 0; g < engine.nGroups(); ++g) {
            if (engine.groupDown(g)) {
                list.push_back(nComponents + g); // the group's leaf
                ++count;
            }
        }
        return count;
    };
    const auto ratio = [&] {
        return LikelihoodRatio{engine.logRatio() + std::log(levels.excessAtTop(path)),
                               engine.ratioDrift()};
    };
    const auto split = [&] {
        return levels.moved(
            path, engine.importance(), static_cast<std::int64_t>(waiting.size()), out,
            [&](const SplitPath &copy) {
                waiting.push_back(engine); // a copy at rest
                paths.push_back(copy);
            },
            // A path that left the start level by a biased first failure weighs about 1 /
            // the start factor: the windows above it are set that much lower, so that such a
            // path is split as an unbiased one would be.
            LikelihoodRatio{engine.logRatio(), engine.ratioDrift()}.at(engine.now()) *
                startBias.factor(),
            [&] { return engine.drawUniform53(); });
    };
    if (path.born == 0 && split()) {
        return; // never: the main trajectory is not dropped
    }
    while (true) {
        settleDeferred(simTime);
        const int T = engine.nextUnit(simTime);
        if (T != engine.now()) {
            SplitLevels::unitEnds(path, engine.systemNow(), engine.now(), T, engine.failureCause(),
                                  out, failedComponents, ratio());
            if (T >= simTime) {
                return;
            }
        }
        engine.step(recorder);
        afterEvent();
        if (split()) {
            return;
        }
    }
}

void InteractingSplitting::drawFirst(DeferredGroup &group) {
    group.total = 0.0;
    for (std::size_t i = group.begin; i < group.end; ++i) {
        group.total += deferred[i].rate;
    }
    group.x = -std::log1p(-current->drawUniform53()) / group.total;
    const int delay = delays::toDelay(group.x);
    group.due = delay == delays::kNever ? std::numeric_limits<std::int64_t>::max()
                                        : std::int64_t{group.from} + delay;
}

void InteractingSplitting::groupDeferred() {
    // retry() lists them in index order, each not due before this unit or the next.
    const int now = current->now();
    regrouped.clear();
    for (const auto &row : deferred) {
        if (row.from == now) {
            regrouped.push_back(row);
        }
    }
    const std::size_t first = regrouped.size();
    for (const auto &row : deferred) {
        if (row.from != now) {
            regrouped.push_back(row);
        }
    }
    deferred.swap(regrouped);
    groups[0] = DeferredGroup{now, 0.0, 0.0, 0, 0, first};
    groups[1] = DeferredGroup{now + 1, 0.0, 0.0, 0, first, deferred.size()};
    for (DeferredGroup &group : groups) {
        if (group.begin < group.end) {
            drawFirst(group);
        }
    }
}

void InteractingSplitting::settleDeferred(int simTime) {
    while (true) {
        const int next = current->nextUnit(simTime);
        DeferredGroup *due = nullptr;
        for (DeferredGroup &group : groups) {
            if (group.begin < group.end && group.due <= next && group.due < simTime &&
                (due == nullptr || group.due < due->due)) {
                due = &group;
            }
        }
        if (due == nullptr) {
            return;
        }
        // The row that fires first, in proportion to its rate; the others after it.
        double below = current->drawUniform53() * due->total;
        std::size_t first = due->end - 1; // what rounding leaves
        for (std::size_t i = due->begin; i < due->end; ++i) {
            below -= deferred[i].rate;
            if (below < 0) {
                first = i;
                break;
            }
        }
        const double pick = current->drawUniform53();
        for (std::size_t i = due->begin; i < due->end; ++i) {
            current->drawDeferred(rows, deferred[i].item, due->from, due->x,
                                  i == first ? pick : -1.0);
        }
        due->begin = due->end;
    }
}

void InteractingSplitting::afterEvent() {
    bool drawnAgain = false;
    for (const DeferredGroup &group : groups) {
        for (std::size_t i = group.begin; i < group.end && !drawnAgain; ++i) {
            drawnAgain = !current->parked(deferred[i].item);
        }
    }
    if (!drawnAgain) {
        return;
    }
    // The rest fire no sooner than their groups' first, which is after this unit: memoryless,
    // they start again from the next.
    regrouped.clear();
    for (const DeferredGroup &group : groups) {
        for (std::size_t i = group.begin; i < group.end; ++i) {
            if (current->parked(deferred[i].item)) {
                regrouped.push_back(deferred[i]);
            }
        }
    }
    deferred.swap(regrouped);
    groups[0] = DeferredGroup{current->now() + 1, 0.0, 0.0, 0, 0, deferred.size()};
    groups[1] = DeferredGroup{};
    if (!deferred.empty()) {
        drawFirst(groups[0]);
    }
}

SplitRoot InteractingSplitting::run(int simTime, int seed, int root,
                                    const std::vector<int> &thresholds,
                                    const std::vector<int> &splits, std::int64_t maxWaiting) {
    const SplitLevels levels(thresholds, splits, maxWaiting);
    SplitRoot out = levels.root();
    waiting.clear();
    paths.clear();
    std::uint64_t trajectory = 0;
    recorder.beginRun();
    current->begin(simTime, splitTrialSeed(seed, root, trajectory++), recorder);
    deferred.clear();
    groups[0] = groups[1] = DeferredGroup{};
    if (simTime > 0) {
        // A state down from the start (a group without a unit) is split at once, so that
        // every path to a failure has passed every level.
        follow(simTime, levels.mainPath(bias.any() || startBias.any()), levels, out);
    }
    ++out.trajectories;
    while (!waiting.empty()) {
        current.emplace(std::move(waiting.back()));
        SplitPath path = std::move(paths.back());
        waiting.pop_back();
        paths.pop_back();
        recorder.beginRun();
        deferred.clear();
        current->retry(splitTrialSeed(seed, root, trajectory++), rows, kDeferBelow, &deferred);
        groupDeferred();
        follow(simTime, std::move(path), levels, out);
        ++out.trajectories;
    }
    return out;
}

} // namespace tavoq
