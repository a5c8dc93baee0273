#include "rare/splitting_simulation.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "simulation/delays.hpp"
#include "simulation/event_queue.hpp"

namespace tavoq {

namespace {

using Kind = TransitionModel::Cell::Kind;

std::uint64_t splitMix(std::uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t pair(int a, int b) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32 |
           static_cast<std::uint32_t>(b);
}

} // namespace

std::uint32_t splitTrialSeed(int seed, int root, std::uint64_t trajectory) {
    return static_cast<std::uint32_t>(splitMix(splitMix(pair(seed, root)) ^ trajectory));
}

void SplittingSimulation::Waiting::clear() {
    now.clear();
    moved.clear();
    cause.clear();
    paths.clear();
    states.clear();
    toState.clear();
    drawnAt.clear();
    due.clear();
    gateMemory.clear();
}

void SplittingSimulation::Waiting::pop(std::size_t components, std::size_t memory) {
    now.pop_back();
    moved.pop_back();
    cause.pop_back();
    paths.pop_back();
    states.resize(states.size() - components);
    toState.resize(toState.size() - components);
    drawnAt.resize(drawnAt.size() - components);
    due.resize(due.size() - components);
    gateMemory.resize(gateMemory.size() - memory);
}

SplittingSimulation::SplittingSimulation(const TransitionModel &model, const GateGraph &graph,
                                         RunControl control)
    : model(model), graph(graph), nComponents(model.nComponents()), general(graph.general()),
      core(nComponents, control), gates(graph), distance(graph), queue(nComponents),
      redrawable(model), states(static_cast<std::size_t>(nComponents), 0),
      toState(static_cast<std::size_t>(nComponents), 0),
      drawnAt(static_cast<std::size_t>(nComponents), 0),
      due(static_cast<std::size_t>(nComponents), 0) {}

void SplittingSimulation::schedule(int c, int best, int bestState, int base) {
    const auto k = static_cast<std::size_t>(c);
    toState[k] = bestState;
    due[k] = best == delays::kNever ? std::int64_t{base} + delays::kNever
             : best < 0             ? now
                                    : std::int64_t{base} + best;
    queue.update(c, EventQueue::key(due[k], c));
}

void SplittingSimulation::draw(int c, int at, bool first) {
    const auto k = static_cast<std::size_t>(c);
    const TransitionModel::Row row = model.row(c, states[k]);
    int best = delays::kNever;
    int bestState = 0;
    for (int j = 0; j < row.size; ++j) {
        const TransitionModel::Cell &cell = row[j];
        if (cell.kind == Kind::Never) {
            continue;
        }
        const double p = core.drawUniform53();
        double v = cell.kind == Kind::Exponential ? -std::log1p(-p) / cell.rate
                                                  : delays::sampleDelay(*cell.distribution, p, at);
        if (first && (v < 0 || v > kNoTransition)) {
            v = kNoTransition; // as the crude runs read a first draw out of range
        }
        const int t = delays::toDelay(v);
        if (t < best) {
            best = t;
            bestState = j;
        }
    }
    drawnAt[k] = at;
    schedule(c, best, bestState, at);
}

void SplittingSimulation::redraw(int c, int from) {
    const auto k = static_cast<std::size_t>(c);
    if (!redrawable(c, states[k])) {
        return;
    }
    // Every cell's whole-unit delay is at least `elapsed`, or the row would have fired.
    const int at = drawnAt[k];
    int to = 0;
    const int best =
        RedrawableRows::redraw(model.row(c, states[k]), at, static_cast<double>(from) - at, to,
                               [&] { return core.drawUniform53(); });
    schedule(c, best, to, at);
}

void SplittingSimulation::cross(int c, bool toFailed) {
    if (general) {
        gates.crossGeneral(c, toFailed, now, [](auto &&...) {});
    } else if (toFailed) {
        gates.cross<true>(c, [](auto &&...) {});
    } else {
        gates.cross<false>(c, [](auto &&...) {});
    }
    distance.set(c, toFailed);
}

void SplittingSimulation::startFresh() {
    std::fill(states.begin(), states.end(), 0);
    gates.reset();
    distance.reset();
    now = 0;
    cause = -1;
    for (int c = 0; c < nComponents; ++c) {
        queue.place(c, ~std::uint64_t{0});
    }
    queue.build();
    for (int c = 0; c < nComponents; ++c) {
        draw(c, 0, true);
    }
}

void SplittingSimulation::keep(const SplitPath &path, int moved) {
    waiting.now.push_back(now);
    waiting.moved.push_back(moved);
    waiting.cause.push_back(cause);
    waiting.paths.push_back(path);
    waiting.states.insert(waiting.states.end(), states.begin(), states.end());
    waiting.toState.insert(waiting.toState.end(), toState.begin(), toState.end());
    waiting.drawnAt.insert(waiting.drawnAt.end(), drawnAt.begin(), drawnAt.end());
    waiting.due.insert(waiting.due.end(), due.begin(), due.end());
    if (general) {
        gates.save(waiting.gateMemory);
    }
}

void SplittingSimulation::restore() {
    const auto first = static_cast<std::ptrdiff_t>(waiting.states.size()) - nComponents;
    std::copy(waiting.states.begin() + first, waiting.states.end(), states.begin());
    std::copy(waiting.toState.begin() + first, waiting.toState.end(), toState.begin());
    std::copy(waiting.drawnAt.begin() + first, waiting.drawnAt.end(), drawnAt.begin());
    std::copy(waiting.due.begin() + first, waiting.due.end(), due.begin());
    now = waiting.now.back();
    cause = waiting.cause.back();
    if (general) {
        gates.restore(waiting.gateMemory.data() + waiting.gateMemory.size() - gates.memorySize());
    } else {
        gates.reset();
    }
    distance.reset();
    for (int c = 0; c < nComponents; ++c) {
        const auto k = static_cast<std::size_t>(c);
        if (states[k] != 0) {
            if (general) {
                distance.set(c, true);
            } else {
                cross(c, true);
            }
        }
        queue.place(c, EventQueue::key(due[k], c));
    }
    queue.build();
}

void SplittingSimulation::follow(int simTime, SplitPath path, const SplitLevels &levels,
                                 SplitRoot &out) {
    const auto failedComponents = [&](std::vector<std::int32_t> &list) {
        std::int32_t count = 0;
        for (int c = 0; c < nComponents; ++c) {
            if (states[static_cast<std::size_t>(c)] != 0) {
                list.push_back(c);
                ++count;
            }
        }
        return count;
    };
    while (true) {
        const std::int64_t d = EventQueue::dueOf(queue.top());
        const int T = d >= simTime ? simTime : d < now ? now : static_cast<int>(d);
        if (T != now) {
            SplitLevels::unitEnds(path, gates.topFailed() ? 1 : 0, now, T, cause, out,
                                  failedComponents);
            if (T >= simTime) {
                return;
            }
        }
        core.countTransition(T == now, now);
        now = T;
        core.spend(1);
        core.checkIfDue();
        const int c = EventQueue::componentOf(queue.top());
        const auto k = static_cast<std::size_t>(c);
        const int from = states[k];
        const int next = toState[k];
        states[k] = next;
        draw(c, now);
        if ((from == 0) != (next == 0)) {
            const bool wasTopFailed = gates.topFailed();
            cross(c, next != 0);
            if (!wasTopFailed && gates.topFailed()) {
                cause = c;
            }
            const auto waitingNow = static_cast<std::int64_t>(waiting.now.size());
            // No likelihood ratio here: paths are never weighed, and nothing is drawn.
            if (levels.moved(
                    path, distance.importance(), waitingNow, out,
                    [&](const SplitPath &copy) { keep(copy, c); }, 1.0, [] { return 0.0; })) {
                return;
            }
        }
    }
}

SplitRoot SplittingSimulation::run(int simTime, int seed, int root,
                                   const std::vector<int> &thresholds,
                                   const std::vector<int> &splits, std::int64_t maxWaiting) {
    const SplitLevels levels(thresholds, splits, maxWaiting);
    SplitRoot out = levels.root();
    waiting.clear();
    std::uint64_t trajectory = 0;
    core.seed(splitTrialSeed(seed, root, trajectory++));
    core.beginRun();
    startFresh();
    if (simTime > 0) {
        follow(simTime, SplitPath{}, levels, out);
    }
    ++out.trajectories;
    while (!waiting.now.empty()) {
        restore();
        const SplitPath path = waiting.paths.back();
        const int moved = waiting.moved.back();
        waiting.pop(static_cast<std::size_t>(nComponents), general ? gates.memorySize() : 0);
        core.seed(splitTrialSeed(seed, root, trajectory++));
        core.beginRun();
        // The split came when `moved` moved at `now`: the components before it in the unit's
        // order are not due before the next unit; it and those after it may still be due in
        // this one.
        for (int c = 0; c < nComponents; ++c) {
            redraw(c, c < moved ? now + 1 : now);
        }
        follow(simTime, path, levels, out);
        ++out.trajectories;
    }
    return out;
}

} // namespace tavoq
