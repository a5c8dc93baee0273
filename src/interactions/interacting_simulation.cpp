#include "interactions/interacting_simulation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "distributions/continuous.hpp"
#include "interactions/cause_bias.hpp"
#include "interactions/start_bias.hpp"
#include "simulation/biased_row.hpp"
#include "simulation/delays.hpp"
#include "simulation/event_queue.hpp"
#include "simulation/recorders/statistics_recorder.hpp"

namespace tavoq {

namespace {

using delays::kDueAtOnce;
using delays::kNever;
using delays::sampleDelay;
using delays::toDelay;

// The first set bit at or after `from`, or -1.
int nextGroup(const std::vector<std::uint64_t> &bits, int from) {
    auto w = static_cast<std::size_t>(from) / 64;
    if (w >= bits.size()) {
        return -1;
    }
    std::uint64_t word = bits[w] & (~std::uint64_t{0} << (static_cast<unsigned>(from) % 64));
    while (true) {
        if (word != 0) {
            return static_cast<int>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(word)));
        }
        if (++w >= bits.size()) {
            return -1;
        }
        word = bits[w];
    }
}

} // namespace

InteractingSimulation::InteractingSimulation(const TransitionModel &model, const GateGraph &graph,
                                             const InteractionModel &interactions,
                                             RunControl control)
    : model(model), graph(graph), im(interactions), nComponents(model.nComponents()),
      nLeaves(model.nComponents() + static_cast<int>(interactions.groups().size())),
      nCauses(static_cast<int>(interactions.causes().size())), planned(interactions.hasPlanned()),
      trackGates(graph.reportsGates()), generalGates(graph.general()),
      topDownAtStart(generalGates &&
                     graph.initialNodeFailed()[static_cast<std::size_t>(graph.top())] != 0),
      core(nComponents, control), states(static_cast<std::size_t>(nComponents), 0),
      toState(static_cast<std::size_t>(nComponents), 0), queue(nComponents + nCauses),
      gates(graph), changes(graph.nComponents() + graph.nGates()),
      crews(interactions.poolSizes(), nComponents), active(interactions.groups().size(), -1),
      activeIn(static_cast<std::size_t>(nComponents) + interactions.modules().size(), -1),
      enabled(interactions.groups().size(), 1), hasModules(interactions.anyModular()),
      modularGroups((interactions.groups().size() + 63) / 64, 0),
      leafDown(interactions.groups().size(), 0), leafPlanned(interactions.groups().size(), 0),
      dirty((interactions.groups().size() + 63) / 64, 0),
      touched((interactions.groups().size() + 63) / 64, 0),
      isMoved(static_cast<std::size_t>(nComponents), 0),
      drawnAt(static_cast<std::size_t>(nComponents + nCauses), 0),
      drawnIn(static_cast<std::size_t>(nComponents + nCauses), 0) {
    if (planned) {
        plannedOnly.emplace(graph);
        plannedChanges.emplace(graph.nComponents() + graph.nGates());
    }
    moved.reserve(static_cast<std::size_t>(nComponents));
    for (std::size_t g = 0; g < interactions.groups().size(); ++g) {
        if (interactions.groups()[g].modular) {
            modularGroups[g / 64] |= std::uint64_t{1} << (g % 64);
        }
    }
    fired.reserve(interactions.triggers().size());
    causeGates.reserve(static_cast<std::size_t>(graph.nGates()) + graph.initiallyFailed().size());
    startGates.reserve(causeGates.capacity());
    moves.reserve(static_cast<std::size_t>(nComponents) + 16);
}

template <bool kInitial>
int InteractingSimulation::sample(int c, int from, int &to, StatisticsRecorder &recorder) {
    if (startRegime && startBias->rate(c, from) > 0) [[unlikely]] {
        return drawBiased<kInitial>(c, from, currentTime, to);
    }
    drawnAt[static_cast<std::size_t>(c)] = currentTime;
    drawnIn[static_cast<std::size_t>(c)] = events;
    return core.sample<kInitial>(model.row(c, from), currentTime, to,
                                 [&](double v, float) { recorder.delayOutOfBounds(c, v < 0); });
}

void InteractingSimulation::biasStart(const StartBias *bias) {
    startBias = bias;
    rowFactor.assign(static_cast<std::size_t>(nComponents), 1.0);
    rowState.assign(static_cast<std::size_t>(nComponents), 0);
    rowDrift.assign(static_cast<std::size_t>(nComponents), 0.0);
}

double InteractingSimulation::ratioDrift() const {
    return (causeBias != nullptr ? causeBias->drift : 0.0) + pendingDrift;
}

template <bool kInitial> int InteractingSimulation::drawBiased(int c, int state, int at, int &to) {
    using Kind = TransitionModel::Cell::Kind;
    const auto k = static_cast<std::size_t>(c);
    const double factor = startBias->factor();
    const TransitionModel::Row row = model.row(c, state);
    int best = kNever;
    to = 0;
    for (int j = 0; j < row.size; ++j) { // one draw per cell, as RunCore::sample
        const float p = core.drawUniform();
        if (row[j].kind == Kind::Never) {
            continue;
        }
        double v = Exponential::quantileOf(row[j].rate * factor, p);
        if (kInitial && v > kNoTransition) {
            v = kNoTransition;
        }
        const int t = toDelay(v);
        if (t < best) {
            best = t;
            to = j;
        }
    }
    drawnAt[k] = at;
    drawnIn[k] = events;
    rowFactor[k] = factor;
    rowState[k] = state;
    rowDrift[k] = (factor - 1.0) * startBias->rate(c, state);
    pendingDrift += rowDrift[k];
    pendingOffset -= rowDrift[k] * at;
    return best;
}

void InteractingSimulation::settleRow(int c, int fired, int from) {
    const auto k = static_cast<std::size_t>(c);
    addBiasedRowRatio(firedLog, model.row(c, rowState[k]), rowFactor[k], from - drawnAt[k], fired);
    pendingDrift -= rowDrift[k];
    pendingOffset += rowDrift[k] * drawnAt[k];
    rowFactor[k] = 1.0;
    rowDrift[k] = 0.0;
}

int InteractingSimulation::notBefore(int c) const {
    const auto k = static_cast<std::size_t>(c);
    const int from = c < lastEvent && drawnIn[k] != events ? currentTime + 1 : currentTime;
    return std::max(from, drawnAt[k]); // a row drawn again from the next unit is not due before
}

void InteractingSimulation::rebias() {
    startRegime = distance->importance() == 0;
    for (int c = 0; c < nComponents; ++c) {
        const auto k = static_cast<std::size_t>(c);
        const bool biased = startRegime && startBias->rate(c, states[k]) > 0;
        if (biased == (rowFactor[k] != 1.0) || crews.waiting(c) || parked(c)) {
            continue; // a parked row stays as drawn: its weight is 1 either way
        }
        const int from = notBefore(c);
        if (rowFactor[k] != 1.0) {
            settleRow(c, -1, from);
        }
        int delay = 0;
        if (biased) {
            delay = drawBiased<false>(c, states[k], from, toState[k]);
        } else {
            delay = core.sample<false>(model.row(c, states[k]), from, toState[k],
                                       [](double, float) {});
            drawnAt[k] = from;
            drawnIn[k] = events;
        }
        queue.update(c, EventQueue::key(static_cast<std::int64_t>(from) + delay, c));
    }
}

void InteractingSimulation::resample(int c, StatisticsRecorder &recorder) {
    const auto k = static_cast<std::size_t>(c);
    if (startBias != nullptr && rowFactor[k] != 1.0) [[unlikely]] {
        settleRow(c, -1, notBefore(c)); // its row is dropped: the component moved
    }
    if (crews.waiting(c)) {
        queue.update(c, EventQueue::key(static_cast<std::int64_t>(currentTime) + kNever, c));
        return;
    }
    const int delay = sample<false>(c, states[k], toState[k], recorder);
    core.spend(model.nStates(c));
    queue.update(c, EventQueue::key(static_cast<std::int64_t>(currentTime) + delay, c));
}

int InteractingSimulation::causeDelay(int k, bool initial) {
    drawnAt[static_cast<std::size_t>(nComponents + k)] = currentTime;
    drawnIn[static_cast<std::size_t>(nComponents + k)] = events;
    const float p = core.drawUniform();
    const Distribution &d = *im.causes()[static_cast<std::size_t>(k)].distribution;
    double v = sampleDelay(d, p, currentTime);
    if (causeBias != nullptr) [[unlikely]] {
        v /= causeBias->factor[static_cast<std::size_t>(k)]; // exponential: rate times factor
    }
    if (initial && (v < 0 || v > kNoTransition)) {
        v = kNoTransition;
    }
    return toDelay(v);
}

void InteractingSimulation::countMove() {
    core.countTransition(true, currentTime);
    core.spend(1);
}

template <bool kDown>
void InteractingSimulation::crossDown(int node, StatisticsRecorder &recorder) {
    if (generalGates) [[unlikely]] {
        crossGeneral(node, kDown, recorder);
    } else {
        changes.note(node, !kDown);
        core.spend(static_cast<std::int64_t>(gates.cross<kDown>(node, [&](int g) {
            changes.note(nLeaves + g, !kDown);
            if (trackGates) {
                if constexpr (kDown) {
                    recorder.gateFailed(g, currentTime);
                } else {
                    recorder.gateRestored(g, currentTime);
                }
            }
        })));
    }
    // After the gates: a group counts a spare module by its node, which this crossing may
    // just have turned. Read before it, a module whose part had failed still counted as
    // working, and order gates (the general walk) left the distance at the start.
    if (distance) [[unlikely]] {
        moveDistance(node, kDown);
    }
}

template <bool kDown> void InteractingSimulation::crossPlanned(int node) {
    if (generalGates) [[unlikely]] {
        crossPlannedGeneral(node, kDown);
        return;
    }
    plannedChanges->note(node, !kDown);
    core.spend(static_cast<std::int64_t>(plannedOnly->cross<kDown>(
        node, [&](int g) { plannedChanges->note(nLeaves + g, !kDown); })));
}

// The crossings of a general graph, out of line: the threshold walks above stay as tight
// as they were.
void InteractingSimulation::crossGeneral(int node, bool down, StatisticsRecorder &recorder) {
    changes.note(node, !down);
    core.spend(static_cast<std::int64_t>(
        gates.crossGeneral(node, down, currentTime, [&](int g, bool nowFailed) {
            changes.note(nLeaves + g, !nowFailed);
            if (trackGates) {
                if (nowFailed) {
                    recorder.gateFailed(g, currentTime);
                } else {
                    recorder.gateRestored(g, currentTime);
                }
            }
        })));
}

void InteractingSimulation::crossPlannedGeneral(int node, bool down) {
    plannedChanges->note(node, !down);
    core.spend(static_cast<std::int64_t>(
        plannedOnly->crossGeneral(node, down, currentTime, [&](int g, bool nowFailed) {
            plannedChanges->note(nLeaves + g, !nowFailed);
        })));
}

void InteractingSimulation::crossLeaf(int node, bool down, StatisticsRecorder &recorder) {
    if (down) {
        crossDown<true>(node, recorder);
    } else {
        crossDown<false>(node, recorder);
    }
}

void InteractingSimulation::crossPlannedLeaf(int node, bool down) {
    if (down) {
        crossPlanned<true>(node);
    } else {
        crossPlanned<false>(node);
    }
}

bool InteractingSimulation::groupPlannedDown(int g) const {
    const InteractionModel::Group &group = im.groups()[static_cast<std::size_t>(g)];
    bool anyPlanned = false;
    for (int u = group.firstUnit; u < group.endUnit; ++u) {
        const int c = im.unitComponent(u);
        StateKind k = StateKind::Working;
        if (c >= 0) {
            k = im.kind(c, states[static_cast<std::size_t>(c)]);
        } else {
            // A module is down as its node is: for planned reasons alone, or for a failure.
            const int node = im.modules()[static_cast<std::size_t>(im.unitModule(u))].node;
            if (gates.nodeFailed(node)) {
                k = plannedOnly->nodeFailed(node) ? StateKind::Planned : StateKind::Failed;
            }
        }
        if (k == StateKind::Failed) {
            return false;
        }
        anyPlanned = anyPlanned || k == StateKind::Planned;
    }
    return anyPlanned;
}

bool InteractingSimulation::nodeFailureDown(int n) const {
    return gates.nodeFailed(n) && !(planned && plannedOnly->nodeFailed(n) && !downAtStart(n));
}

void InteractingSimulation::apply(int c, int to, StatisticsRecorder &recorder) {
    const auto k = static_cast<std::size_t>(c);
    const int from = states[k];
    states[k] = to;
    if (im.isUnit(c)) {
        markGroupsOf(c);
    }
    if (isMoved[k] == 0) {
        isMoved[k] = 1;
        moved.push_back(c); // each component once: within the reserved capacity
    }
    const int released = crews.nPools() > 0 ? crews.leave(c, currentTime) : -1;
    const StateKind kf = im.kind(c, from);
    const StateKind kt = im.kind(c, to);
    const bool downBefore = kf != StateKind::Working;
    const bool downAfter = kt != StateKind::Working;
    if (downBefore != downAfter) {
        if (downAfter) {
            crossDown<true>(c, recorder);
            recorder.componentWentDown(c, currentTime);
        } else {
            crossDown<false>(c, recorder);
            recorder.componentCameUp(c, currentTime);
        }
    }
    if (planned) {
        const bool plannedBefore = kf == StateKind::Planned;
        const bool plannedAfter = kt == StateKind::Planned;
        if (plannedBefore != plannedAfter) {
            if (plannedAfter) {
                crossPlanned<true>(c);
            } else {
                crossPlanned<false>(c);
            }
        }
    }
    if (kf == StateKind::Working && kt == StateKind::Failed) {
        recorder.countComponentFailure(c);
    }
    const int pool = im.crewPool(c, to);
    if (pool >= 0) {
        crews.request(pool, c, im.crewPriority(c, to), currentTime);
    }
    if (released >= 0) {
        const int w = crews.handOut(released, currentTime);
        if (w >= 0) {
            resample(w, recorder);
        }
    }
}

void InteractingSimulation::switchTo(int c, int to, StatisticsRecorder &recorder) {
    countMove();
    apply(c, to, recorder);
}

bool InteractingSimulation::reconcileGroup(int g, StatisticsRecorder &recorder) {
    const InteractionModel::Group &group = im.groups()[static_cast<std::size_t>(g)];
    const auto gi = static_cast<std::size_t>(g);
    bool changed = false;
    int a = active[gi];
    if (a >= 0) {
        const int c = im.unitComponent(a);
        if (states[static_cast<std::size_t>(c)] != im.activeState(c)) {
            active[gi] = -1;
            activeIn[static_cast<std::size_t>(c)] = -1;
            markGroupsOf(c);
            a = -1;
            changed = true;
        }
    }
    const int end = a < 0 ? group.endUnit : (group.revert ? a : group.firstUnit);
    for (int u = group.firstUnit; u < end; ++u) {
        const int c = im.unitComponent(u);
        const auto k = static_cast<std::size_t>(c);
        if (activeIn[k] >= 0 || im.kind(c, states[k]) != StateKind::Working) {
            continue;
        }
        const int on = im.activeState(c);
        if (states[k] != on) {
            if (group.switchFailure > 0 &&
                static_cast<double>(core.drawUniform()) < group.switchFailure) {
                switchTo(c, im.unitSwitchFailed(u), recorder);
                changed = true;
                continue;
            }
            switchTo(c, on, recorder);
        }
        if (a >= 0) {
            const int old = im.unitComponent(a);
            activeIn[static_cast<std::size_t>(old)] = -1;
            switchTo(old, im.standbyState(old), recorder);
        }
        active[gi] = u;
        activeIn[k] = g;
        markGroupsOf(c);
        return true;
    }
    return changed;
}

// The spare modules: a group with one among its units, or inside one, follows these rules
// (reconcileGroup's, with a module's node standing for a unit's state); every other group
// keeps reconcileGroup.

int InteractingSimulation::unitKey(int u) const {
    const int m = im.unitModule(u);
    return m < 0 ? im.unitComponent(u) : nComponents + m;
}

bool InteractingSimulation::usable(int u) const {
    const int m = im.unitModule(u);
    if (m < 0) {
        const int c = im.unitComponent(u);
        return im.kind(c, states[static_cast<std::size_t>(c)]) == StateKind::Working;
    }
    return !gates.nodeFailed(im.modules()[static_cast<std::size_t>(m)].node);
}

bool InteractingSimulation::inService(int m) const {
    const int g = activeIn[static_cast<std::size_t>(nComponents + m)];
    return g >= 0 && enabled[static_cast<std::size_t>(g)] != 0;
}

void InteractingSimulation::markGroup(int g) {
    const auto i = static_cast<std::size_t>(g);
    dirty[i / 64] |= std::uint64_t{1} << (i % 64);
    touched[i / 64] |= std::uint64_t{1} << (i % 64);
    anyDirty = true;
}

// A unit taken or released: every group that lists it looks again.
void InteractingSimulation::markUnit(int u) {
    const int m = im.unitModule(u);
    if (m < 0) {
        markGroupsOf(im.unitComponent(u));
        return;
    }
    const InteractionModel::Module &module = im.modules()[static_cast<std::size_t>(m)];
    for (int i = module.firstListing; i < module.endListing; ++i) {
        markGroup(im.listing(i));
    }
}

// Component c to its active (on) or standby state, when it is in the other one: a part that
// has failed stays where it is.
void InteractingSimulation::settle(int c, bool on, StatisticsRecorder &recorder) {
    const int s = states[static_cast<std::size_t>(c)];
    const int to = on ? im.pairedActive(c, s) : im.pairedStandby(c, s);
    if (to >= 0) {
        switchTo(c, to, recorder);
    }
}

// Unit u in service (on) or waiting: its parts to their active or standby states, and the
// groups inside it awake or asleep, with their own active unit.
void InteractingSimulation::serve(int u, bool on, StatisticsRecorder &recorder) {
    const int m = im.unitModule(u);
    if (m < 0) {
        settle(im.unitComponent(u), on, recorder);
        return;
    }
    const InteractionModel::Module &module = im.modules()[static_cast<std::size_t>(m)];
    for (int i = module.firstPart; i < module.endPart; ++i) {
        settle(im.part(i), on, recorder);
    }
    for (int i = module.firstGroup; i < module.endGroup; ++i) {
        const int g = im.innerGroup(i);
        const auto gi = static_cast<std::size_t>(g);
        if ((enabled[gi] != 0) != on) {
            enabled[gi] = on ? 1 : 0;
            markGroup(g);
            if (active[gi] >= 0) {
                serve(active[gi], on, recorder);
            }
        }
    }
}

bool InteractingSimulation::reconcileModular(int g, StatisticsRecorder &recorder) {
    const InteractionModel::Group &group = im.groups()[static_cast<std::size_t>(g)];
    const auto gi = static_cast<std::size_t>(g);
    const bool on = enabled[gi] != 0;
    bool changed = false;
    int a = active[gi];
    if (a >= 0) {
        // A component holds its place while in the state its group's being awake asks for;
        // a module while its node is up. A module that fails goes out of service.
        const int c = im.unitComponent(a);
        bool holds = true;
        if (c >= 0) {
            // In a running state of one of its pairs (waiting, while its group sleeps).
            const int s = states[static_cast<std::size_t>(c)];
            holds = (on ? im.pairedStandby(c, s) : im.pairedActive(c, s)) >= 0;
        } else {
            holds = usable(a);
        }
        if (!holds) {
            active[gi] = -1;
            activeIn[static_cast<std::size_t>(unitKey(a))] = -1;
            markUnit(a);
            if (c < 0) {
                serve(a, false, recorder);
            }
            a = -1;
            changed = true;
        }
    }
    const int end = a < 0 ? group.endUnit : (group.revert ? a : group.firstUnit);
    for (int u = group.firstUnit; u < end; ++u) {
        const int key = unitKey(u);
        if (activeIn[static_cast<std::size_t>(key)] >= 0 || !usable(u)) {
            continue;
        }
        active[gi] = u;
        activeIn[static_cast<std::size_t>(key)] = g;
        const int c = im.unitComponent(u);
        if (c >= 0) {
            // From a waiting state to its running one (or back, for a sleeping group); from
            // any other working state to the first pair's.
            const int s = states[static_cast<std::size_t>(c)];
            const int there = on ? im.pairedStandby(c, s) : im.pairedActive(c, s);
            const int paired = on ? im.pairedActive(c, s) : im.pairedStandby(c, s);
            int to = on ? im.activeState(c) : im.standbyState(c);
            if (there >= 0) {
                to = s;
            } else if (paired >= 0) {
                to = paired;
            }
            if (s != to) {
                switchTo(c, to, recorder);
            }
        } else {
            serve(u, on, recorder);
        }
        if (a >= 0) {
            activeIn[static_cast<std::size_t>(unitKey(a))] = -1;
            serve(a, false, recorder);
            markUnit(a);
        }
        markUnit(u);
        return true;
    }
    return changed;
}

// After the passes: a unit or module part left in its active state out of service waits in
// standby, and a part of a module in service that waits in standby is switched in.
void InteractingSimulation::sweepModular(int g, StatisticsRecorder &recorder) {
    const InteractionModel::Group &group = im.groups()[static_cast<std::size_t>(g)];
    for (int u = group.firstUnit; u < group.endUnit; ++u) {
        const int c = im.unitComponent(u);
        if (c >= 0) {
            if (activeIn[static_cast<std::size_t>(c)] < 0) {
                settle(c, false, recorder);
            }
            continue;
        }
        const int m = im.unitModule(u);
        const bool on = inService(m);
        const InteractionModel::Module &module = im.modules()[static_cast<std::size_t>(m)];
        for (int i = module.firstPart; i < module.endPart; ++i) {
            settle(im.part(i), on, recorder);
        }
    }
}

inline void InteractingSimulation::markGroupsOf(int c) {
    int count = 0;
    const int *groups = im.groupsOf(c, count);
    for (int i = 0; i < count; ++i) {
        const auto g = static_cast<std::size_t>(groups[i]);
        dirty[g / 64] |= std::uint64_t{1} << (g % 64);
        touched[g / 64] |= std::uint64_t{1} << (g % 64);
    }
    anyDirty = anyDirty || count > 0;
}

// Passes over the groups in group order until one changes nothing, visiting only the groups
// whose units changed state or were taken or released since their last visit: any other
// group would change nothing and draw nothing, so the outcome and the draws are the full
// passes'.
void InteractingSimulation::reconcile(StatisticsRecorder &recorder) {
    if (!hasModules) [[likely]] {
        reconcileOnce<false>(recorder);
        return;
    }
    // While a group's leaf crosses, the groups listing a module whose node it turns pass
    // again.
    while (reconcileOnce<true>(recorder)) {
    }
}

// Every group with a spare module among its units, or inside one, to visit (the start).
void InteractingSimulation::markModular() {
    for (std::size_t w = 0; w < dirty.size(); ++w) {
        dirty[w] |= modularGroups[w];
        touched[w] |= modularGroups[w];
    }
    anyDirty = true;
}

// The groups that list a module whose node changed in this batch (down, or over the
// planned states) look again: a module is usable while its node is up.
void InteractingSimulation::markWatchers() {
    for (const int n : changes.list()) {
        markNode(n);
    }
    if (planned) {
        for (const int n : plannedChanges->list()) {
            markNode(n);
        }
    }
}

void InteractingSimulation::markNode(int n) {
    int count = 0;
    const int *groups = im.groupsWatching(n, count);
    for (int i = 0; i < count; ++i) {
        markGroup(groups[i]);
    }
}

template <bool kModules> bool InteractingSimulation::reconcileOnce(StatisticsRecorder &recorder) {
    bool crossed = false;
    bool changed = false;
    do {
        // A switch-over may turn a module's node: the passes start again until none does.
        if constexpr (kModules) {
            markWatchers();
        }
        changed = false;
        int from = 0;
        while (true) {
            const int g = nextGroup(dirty, from);
            if (g < 0) {
                if (nextGroup(dirty, 0) < 0) {
                    break;
                }
                from = 0; // the next pass
                continue;
            }
            dirty[static_cast<std::size_t>(g) / 64] &= ~(std::uint64_t{1} << (g % 64));
            if (kModules && im.groups()[static_cast<std::size_t>(g)].modular) {
                changed = reconcileModular(g, recorder) || changed;
            } else if constexpr (kModules) {
                changed = reconcileGroup(g, recorder) || changed;
            } else {
                reconcileGroup(g, recorder);
            }
            from = g + 1;
        }
    } while (kModules && changed);
    // Only units of the groups visited can have been left in their active state unused.
    for (int g = nextGroup(touched, 0); g >= 0; g = nextGroup(touched, g + 1)) {
        const InteractionModel::Group &group = im.groups()[static_cast<std::size_t>(g)];
        if (kModules && group.modular) {
            sweepModular(g, recorder);
            continue;
        }
        for (int u = group.firstUnit; u < group.endUnit; ++u) {
            const int c = im.unitComponent(u);
            const auto k = static_cast<std::size_t>(c);
            if (activeIn[k] < 0 && states[k] == im.activeState(c)) {
                switchTo(c, im.standbyState(c), recorder);
            }
        }
    }
    for (int g = nextGroup(touched, 0); g >= 0; g = nextGroup(touched, g + 1)) {
        const auto gi = static_cast<std::size_t>(g);
        const bool down = active[gi] < 0;
        if (down != (leafDown[gi] != 0)) {
            leafDown[gi] = down ? 1 : 0;
            crossLeaf(nComponents + g, down, recorder);
            crossed = true;
        }
        if (planned) {
            const bool plannedDown = down && groupPlannedDown(g);
            if (plannedDown != (leafPlanned[gi] != 0)) {
                leafPlanned[gi] = plannedDown ? 1 : 0;
                crossPlannedLeaf(nComponents + g, plannedDown);
            }
        }
    }
    // A unit sent to standby stays a candidate as it was: nothing is left to visit.
    std::fill(dirty.begin(), dirty.end(), 0);
    std::fill(touched.begin(), touched.end(), 0);
    anyDirty = false;
    return kModules && crossed;
}

void InteractingSimulation::fireTriggers() {
    fired.clear();
    for (const int n : changes.list()) {
        const bool down = gates.nodeFailed(n);
        if (down == changes.wasDown(n)) {
            continue;
        }
        int count = 0;
        const int *watching = im.triggersOf(n, count);
        for (int i = 0; i < count; ++i) {
            if (im.triggers()[static_cast<std::size_t>(watching[i])].onFailure == down) {
                fired.push_back(watching[i]); // each trigger once: within the capacity
            }
        }
    }
    std::sort(fired.begin(), fired.end());
    for (const int t : fired) {
        const InteractionModel::Trigger &trigger = im.triggers()[static_cast<std::size_t>(t)];
        for (int m = trigger.firstMove; m < trigger.endMove; ++m) {
            const InteractionModel::TriggerMove &tm = im.move(m);
            moves.push_back(Move{tm.component, tm.toState, m, m + 1 == trigger.endMove});
        }
    }
}

void InteractingSimulation::process(const Move &m, StatisticsRecorder &recorder) {
    const int c = m.component;
    const int s = states[static_cast<std::size_t>(c)];
    bool applies = (m.condition != kIfWorking || im.kind(c, s) == StateKind::Working) &&
                   (m.condition < 0 || im.movesFrom(m.condition, s));
    if (applies && m.condition >= 0) {
        // A probabilistic trigger draws once for each component it would move.
        const double p = im.move(m.condition).probability;
        applies = p >= 1.0 || static_cast<double>(core.drawUniform()) < p;
    }
    if (applies) {
        if (m.condition != kOwn) {
            countMove();
        }
        apply(c, m.toState, recorder);
        lastApplied = c;
        if (eventComponent < 0 && batchCause < 0 && upBefore && unplannedTop()) {
            batchCause = c; // the member (or moved component) that turned the top
        }
    }
    if (m.last) {
        finishBatch(recorder);
    }
}

void InteractingSimulation::finishBatch(StatisticsRecorder &recorder) {
    // A module's node may be a component or gate outside every group: its turn alone makes
    // the groups listing the module look again, though no unit moved.
    if (anyDirty || (hasModules &&
                     (!changes.list().empty() || (planned && !plannedChanges->list().empty())))) {
        reconcile(recorder);
    }
    if (upBefore && unplannedTop()) {
        causeSet = true;
        cause =
            eventComponent >= 0 ? eventComponent : (batchCause >= 0 ? batchCause : lastApplied);
        causeGates.clear();
        if (!planned) {
            for (const int n : changes.list()) {
                if (n >= nLeaves && !changes.wasDown(n) && gates.nodeFailed(n)) {
                    causeGates.push_back(n - nLeaves); // each gate once: within the capacity
                }
            }
        } else {
            // Down for a failure: down, and not down over the planned states alone. A gate
            // turns so when it goes down or when its planned reason ends while it stays down.
            const auto wasFailureDown = [&](int n) {
                const bool down = changes.has(n) ? changes.wasDown(n) : gates.nodeFailed(n);
                const bool plannedDown = plannedChanges->has(n) ? plannedChanges->wasDown(n)
                                                                : plannedOnly->nodeFailed(n);
                return down && !plannedDown;
            };
            for (const int n : changes.list()) {
                if (n >= nLeaves && nodeFailureDown(n) && !wasFailureDown(n)) {
                    causeGates.push_back(n - nLeaves); // each gate once: within the capacity
                }
            }
            for (const int n : plannedChanges->list()) {
                if (n >= nLeaves && !changes.has(n) && nodeFailureDown(n) && !wasFailureDown(n)) {
                    causeGates.push_back(n - nLeaves);
                }
            }
        }
    }
    if (!im.triggers().empty()) {
        fireTriggers();
    }
    changes.clear();
    if (planned) {
        plannedChanges->clear();
    }
    for (const int u : moved) {
        isMoved[static_cast<std::size_t>(u)] = 0;
        resample(u, recorder);
    }
    moved.clear();
    upBefore = !unplannedTop();
    batchCause = -1;
}

[[gnu::always_inline]] inline void InteractingSimulation::queueEvent(int e, int T) {
    if (e < nComponents) {
        if (startBias != nullptr && rowFactor[static_cast<std::size_t>(e)] != 1.0) [[unlikely]] {
            settleRow(e, toState[static_cast<std::size_t>(e)], T);
        }
        queue.update(e, EventQueue::key(static_cast<std::int64_t>(T) + kNever, e));
        moves.push_back(Move{e, toState[static_cast<std::size_t>(e)], kOwn, true});
    } else {
        const int k = e - nComponents;
        const int delay = causeDelay(k, false);
        if (causeBias != nullptr) [[unlikely]] {
            firedLog += causeBias->logRatio[static_cast<std::size_t>(k)];
        }
        queue.update(e, EventQueue::key(static_cast<std::int64_t>(T) + delay, e));
        const InteractionModel::Cause &cc = im.causes()[static_cast<std::size_t>(k)];
        for (int i = cc.firstMember; i < cc.endMember; ++i) {
            moves.push_back(
                Move{im.member(i), im.memberToState(i), kIfWorking, i + 1 == cc.endMember});
        }
    }
}

[[gnu::always_inline]] inline std::uint32_t
InteractingSimulation::verdict(int e, std::uint32_t systemState, StatisticsRecorder &recorder) {
    const bool unplanned = unplannedTop();
    const std::uint32_t state = unplanned ? 1u : (gates.topFailed() ? 2u : 0u);
    if (unplanned && systemState != 1) {
        if (!causeSet) {
            // Down from the start: only the first verdict can find it so.
            cause = e < nComponents
                        ? e
                        : im.member(
                              im.causes()[static_cast<std::size_t>(e - nComponents)].firstMember);
            causeGates.assign(startGates.begin(), startGates.end());
        }
        recorder.rise(cause, causeGates.data(), causeGates.size());
    }
    return state;
}

void InteractingSimulation::begin(int simTime, std::uint32_t runSeed,
                                  StatisticsRecorder &recorder) {
    core.seed(runSeed);
    startRun(simTime, recorder);
    systemState = 0;
    if (generalGates) {
        // Logic that is not coherent can be down with every component working: down from
        // unit 0 then, by no component's transition.
        const bool unplanned = unplannedTop();
        systemState = unplanned ? 1u : (gates.topFailed() ? 2u : 0u);
        if (unplanned) {
            recorder.rise(-1, startGates.data(), startGates.size());
        }
    }
    core.beginRun();
}

[[gnu::always_inline]] inline void InteractingSimulation::event(int e, int T,
                                                                StatisticsRecorder &recorder) {
    if (T == currentTime) {
        countMove();
    } else {
        core.countTransition(false, T);
        recorder.stretchKinds(currentTime, T, systemState);
        currentTime = T;
    }
    core.checkIfDue();
    core.spend(1);

    ++events;
    lastEvent = e;
    causeSet = false;
    eventComponent = e < nComponents ? e : -1;
    upBefore = !unplannedTop();
    batchCause = -1;
    queueEvent(e, T);
    for (nextMove = 0; nextMove < moves.size(); ++nextMove) {
        const Move m = moves[nextMove]; // a copy: processing may grow the list
        process(m, recorder);
    }
    moves.clear();
    systemState = verdict(e, systemState, recorder);
}

void InteractingSimulation::step(StatisticsRecorder &recorder) {
    const std::uint64_t next = queue.top();
    const std::int64_t due = EventQueue::dueOf(next);
    event(EventQueue::componentOf(next), due < currentTime ? currentTime : static_cast<int>(due),
          recorder);
    if (startBias != nullptr && (distance->importance() == 0) != startRegime) [[unlikely]] {
        rebias();
    }
}

void InteractingSimulation::run(int simTime, std::uint32_t runSeed, StatisticsRecorder &recorder) {
    begin(simTime, runSeed, recorder);
    while (true) {
        const std::uint64_t next = queue.top();
        const std::int64_t due = EventQueue::dueOf(next);
        if (due >= simTime) {
            break;
        }
        event(EventQueue::componentOf(next),
              due < currentTime ? currentTime : static_cast<int>(due), recorder);
    }
    finishRun(simTime, systemState, recorder);
}

FailureDistance InteractingSimulation::startDistance(const GateGraph &graph,
                                                     const InteractionModel &interactions) {
    FailureDistance start(graph);
    const int first = graph.nComponents() - static_cast<int>(interactions.groups().size());
    for (std::size_t g = 0; g < interactions.groups().size(); ++g) {
        const InteractionModel::Group &group = interactions.groups()[g];
        start.setStart(first + static_cast<int>(g), std::max(1, group.endUnit - group.firstUnit));
    }
    return start;
}

void InteractingSimulation::moveDistance(int node, bool down) {
    if (node >= nComponents) {
        groupDistance(node - nComponents);
        return;
    }
    distance->set(node, down);
    int count = 0;
    const int *groups = im.groupsOf(node, count);
    for (int i = 0; i < count; ++i) {
        groupDistance(groups[i]);
    }
}

void InteractingSimulation::groupDistance(int g) {
    const auto k = static_cast<std::size_t>(g);
    int working = 0;
    if (leafDown[k] == 0) {
        const InteractionModel::Group &group = im.groups()[k];
        for (int u = group.firstUnit; u < group.endUnit; ++u) {
            const int c = im.unitComponent(u);
            const bool up =
                c >= 0 ? im.kind(c, states[static_cast<std::size_t>(c)]) == StateKind::Working
                       : !gates.nodeFailed(
                             im.modules()[static_cast<std::size_t>(im.unitModule(u))].node);
            working += up ? 1 : 0;
        }
        working = std::max(working, 1); // up: its active unit runs
    }
    distance->setLeaf(nComponents + g, working);
}

void InteractingSimulation::retry(std::uint32_t seed, const RedrawableRows &rows,
                                  double deferBelow, std::vector<DeferredRow> *deferred) {
    core.seed(seed);
    core.beginRun();
    // Every key is set, then the queue is ordered once: cheaper than moving each entry.
    const auto redraw = [&](int item, const TransitionModel::Row &row, double rate, int &to) {
        const auto k = static_cast<std::size_t>(item);
        const int from = notBefore(item);
        if (item < nComponents && startBias != nullptr && rowFactor[k] != 1.0) {
            settleRow(item, -1, from); // drawn again as its law says
        }
        const int at = drawnAt[k];
        // Components' rows only: with common causes parked as well, splitting of trains with
        // shocks came out about a fifth low at 1e-9 (against exact chains, five seeds), and
        // drawn in full it agrees; a common cause is one row per cause, so this costs little.
        if (deferred != nullptr && rate > 0 && rate < deferBelow && item < nComponents) {
            queue.place(item, parkedKey(item));
            deferred->push_back({item, from, rate});
            return;
        }
        const int delay = RedrawableRows::redraw(row, at, static_cast<double>(from) - at, to,
                                                 [&] { return core.drawUniform53(); });
        queue.place(item, EventQueue::key(static_cast<std::int64_t>(at) + delay, item));
    };
    for (int c = 0; c < nComponents; ++c) {
        const auto k = static_cast<std::size_t>(c);
        if (!crews.waiting(c) && rows(c, states[k])) { // else nothing pending, or a draw kept
            redraw(c, model.row(c, states[k]), rows.exponentialRate(c, states[k]), toState[k]);
        }
    }
    // A common cause is a row of one cell, drawn again when its law allows.
    for (int k = 0; k < nCauses; ++k) {
        if (const TransitionModel::Cell *cell = rows.cause(k)) {
            int to = 0;
            const TransitionModel::Row row{cell, 1};
            redraw(nComponents + k, row, RedrawableRows::exponentialRate(row), to);
        }
    }
    queue.build();
}

TransitionModel::Row InteractingSimulation::pendingRow(int item,
                                                       const RedrawableRows &rows) const {
    if (item < nComponents) {
        return model.row(item, states[static_cast<std::size_t>(item)]);
    }
    return TransitionModel::Row{rows.cause(item - nComponents), 1};
}

void InteractingSimulation::drawDeferred(const RedrawableRows &rows, int item, int from, double x,
                                         double pick) {
    using Kind = TransitionModel::Cell::Kind;
    const auto k = static_cast<std::size_t>(item);
    const TransitionModel::Row row = pendingRow(item, rows);
    const int at = drawnAt[k];
    const double start = static_cast<double>(from) - at + x; // since the row was drawn
    int best = delays::kNever;
    int to = 0;
    if (pick >= 0) {
        // The cell at that fraction of the summed rates fires at `start`; the others would
        // fire later, so they are not drawn.
        double total = 0.0;
        for (int j = 0; j < row.size; ++j) {
            total += row[j].kind == Kind::Exponential ? row[j].rate : 0.0;
        }
        double below = pick * total;
        for (int j = 0; j < row.size; ++j) {
            if (row[j].kind == Kind::Exponential) {
                to = j; // the last one takes what rounding leaves
                below -= row[j].rate;
                if (below < 0) {
                    break;
                }
            }
        }
        best = delays::toDelay(start);
    } else {
        for (int j = 0; j < row.size; ++j) {
            if (row[j].kind != Kind::Exponential) {
                continue;
            }
            const int t = delays::toDelay(start - std::log1p(-core.drawUniform53()) / row[j].rate);
            if (t < best) {
                best = t;
                to = j;
            }
        }
    }
    if (item < nComponents) {
        toState[k] = to;
    }
    queue.update(item, EventQueue::key(static_cast<std::int64_t>(at) + best, item));
}

void InteractingSimulation::startRun(int simTime, StatisticsRecorder &recorder) {
    std::fill(states.begin(), states.end(), 0);
    gates.reset();
    if (distance) {
        distance->reset();
    }
    events = 0;
    lastEvent = -1;
    firedLog = 0.0;
    startRegime = false;
    if (startBias != nullptr) {
        std::fill(rowFactor.begin(), rowFactor.end(), 1.0);
        std::fill(rowDrift.begin(), rowDrift.end(), 0.0);
        pendingDrift = pendingOffset = 0.0;
    }
    if (planned) {
        plannedOnly->reset();
    }
    crews.reset();
    std::fill(activeIn.begin(), activeIn.end(), -1);
    std::fill(dirty.begin(), dirty.end(), 0);
    std::fill(touched.begin(), touched.end(), 0);
    anyDirty = false;
    moves.clear();
    moved.clear();
    std::fill(isMoved.begin(), isMoved.end(), 0);
    currentTime = 0;
    recorder.beginRun();
    if (trackGates && simTime > 0) {
        // Gates failed from the start (a not over working inputs) fail at unit 0, before
        // the groups down from the start move them.
        for (const std::int32_t g : graph.initiallyFailed()) {
            recorder.gateFailed(g, 0);
        }
    }

    placeUnits();
    crossEmptyLeaves(recorder);
    if (hasModules) {
        // A module may be down from the start (a group inside it without a unit): the
        // groups look once before anything is drawn, so every part samples where it stays.
        markModular();
        reconcile(recorder);
        for (const int c : moved) {
            isMoved[static_cast<std::size_t>(c)] = 0;
        }
        moved.clear();
    }
    startRegime = startBias != nullptr && distance->importance() == 0;
    for (int c = 0; c < nComponents; ++c) {
        const auto k = static_cast<std::size_t>(c);
        const int delay = sample<true>(c, states[k], toState[k], recorder);
        queue.place(c, EventQueue::key(delay, c));
    }
    for (int k = 0; k < nCauses; ++k) {
        queue.place(nComponents + k, EventQueue::key(causeDelay(k, true), nComponents + k));
    }
    queue.build();
    startLeaves();
}

void InteractingSimulation::crossEmptyLeaves(StatisticsRecorder &recorder) {
    const int nGroups = static_cast<int>(active.size());
    for (int g = 0; g < nGroups; ++g) {
        const bool down = active[static_cast<std::size_t>(g)] < 0;
        leafDown[static_cast<std::size_t>(g)] = down ? 1 : 0;
        leafPlanned[static_cast<std::size_t>(g)] = 0;
        if (down) {
            crossLeaf(nComponents + g, true, recorder);
            if (planned && groupPlannedDown(g)) {
                leafPlanned[static_cast<std::size_t>(g)] = 1;
                crossPlannedLeaf(nComponents + g, true);
            }
        }
    }
}

void InteractingSimulation::startLeaves() {
    // The gates down for a failure from the start: the cause's gates when the first verdict
    // finds the system down without any move having turned it.
    startGates.clear();
    for (const int n : changes.list()) {
        if (n >= nLeaves && nodeFailureDown(n)) {
            startGates.push_back(n - nLeaves);
        }
    }
    if (generalGates) {
        // Gates may also have been restored at the start: the cause's gates are the ones
        // down for a failure now, each once.
        startGates.clear();
        for (int g = 0; g < graph.nGates(); ++g) {
            if (nodeFailureDown(nLeaves + g)) {
                startGates.push_back(g);
            }
        }
    } else {
        const auto &start = graph.initiallyFailed();
        startGates.insert(startGates.end(), start.begin(), start.end());
    }
    changes.clear();
    if (planned) {
        plannedChanges->clear();
    }
}

void InteractingSimulation::placeUnits() {
    const int nGroups = static_cast<int>(active.size());
    for (int g = 0; g < nGroups; ++g) {
        const InteractionModel::Group &group = im.groups()[static_cast<std::size_t>(g)];
        active[static_cast<std::size_t>(g)] = -1;
        for (int u = group.firstUnit; u < group.endUnit; ++u) {
            const auto key = static_cast<std::size_t>(unitKey(u));
            if (activeIn[key] < 0) {
                activeIn[key] = g;
                active[static_cast<std::size_t>(g)] = u;
                break;
            }
        }
    }
    // A group is awake when it sits in no module, or in one that an awake group has active.
    std::fill(enabled.begin(), enabled.end(), 1);
    const auto awake = [&](int g, auto &&self) -> bool {
        const int owner = im.groups()[static_cast<std::size_t>(g)].owner;
        if (owner < 0) {
            return true;
        }
        const int holder = activeIn[static_cast<std::size_t>(nComponents + owner)];
        return holder >= 0 && self(holder, self);
    };
    for (int g = 0; g < nGroups; ++g) {
        enabled[static_cast<std::size_t>(g)] = awake(g, awake) ? 1 : 0;
    }
    for (int c = 0; c < nComponents; ++c) {
        if (im.isUnit(c)) {
            const int g = activeIn[static_cast<std::size_t>(c)];
            const bool on = g >= 0 && enabled[static_cast<std::size_t>(g)] != 0;
            states[static_cast<std::size_t>(c)] = on ? im.activeState(c) : im.standbyState(c);
        }
    }
    for (std::size_t m = 0; m < im.modules().size(); ++m) {
        if (inService(static_cast<int>(m))) {
            const InteractionModel::Module &module = im.modules()[m];
            for (int i = module.firstPart; i < module.endPart; ++i) {
                const int c = im.part(i);
                states[static_cast<std::size_t>(c)] = im.activeState(c);
            }
        }
    }
}

void InteractingSimulation::finishRun(int simTime, std::uint32_t systemState,
                                      StatisticsRecorder &recorder) {
    if (currentTime < simTime) {
        recorder.stretchKinds(currentTime, simTime, systemState);
    }
    currentTime = simTime;
    crews.finish(simTime);
    for (int p = 0; p < crews.nPools(); ++p) {
        const CrewPools::Figures &f = crews.figures(p);
        recorder.crewRun(p, f.busy, f.wait, f.requests, f.longest);
    }
    recorder.endRun(simTime, states);
}

} // namespace tavoq
