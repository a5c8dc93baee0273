#include "rare/interacting_splitting.hpp"

#include <limits>
#include <utility>

#include "logic/failure_distance.hpp"
#include "rare/splitting_simulation.hpp"

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
                                           RunControl control)
    : model(model), rows(model, causeLaws(interactions)),
      failed(InteractingSimulation::startDistance(graph, interactions).topWhenWorking()),
      slot(1, interactions.hasPlanned(), scratchSizes(model, graph)),
      recorder(slot, &scratch[0], &scratch[1], &scratch[2], std::numeric_limits<int>::max(),
               model.nComponents(), graph.nGates(), graph.reportsGates() ? graph.nGates() : 0,
               &scratch[3]) {
    current.emplace(model, graph, interactions, control);
    current->followDistance();
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
    const auto split = [&] {
        return levels.moved(path, engine.importance(), static_cast<std::int64_t>(waiting.size()),
                            out, [&](const SplitPath &copy) {
                                waiting.push_back(engine); // a copy at rest
                                paths.push_back(copy);
                            });
    };
    if (path.born == 0 && split()) {
        return; // never: the main trajectory is not dropped
    }
    while (true) {
        const int T = engine.nextUnit(simTime);
        if (T != engine.now()) {
            SplitLevels::unitEnds(path, engine.systemNow(), engine.now(), T, engine.failureCause(),
                                  out, failedComponents);
            if (T >= simTime) {
                return;
            }
        }
        engine.step(recorder);
        if (split()) {
            return;
        }
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
    if (simTime > 0) {
        // A state down from the start (a group without a unit) is split at once, so that
        // every path to a failure has passed every level.
        follow(simTime, SplitPath{}, levels, out);
    }
    ++out.trajectories;
    while (!waiting.empty()) {
        current.emplace(std::move(waiting.back()));
        const SplitPath path = paths.back();
        waiting.pop_back();
        paths.pop_back();
        recorder.beginRun();
        current->retry(splitTrialSeed(seed, root, trajectory++), rows);
        follow(simTime, path, levels, out);
        ++out.trajectories;
    }
    return out;
}

} // namespace tavoq
