#include "logic/gate_graph.hpp"

#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "cutset/cutset_index.hpp"
#include "cutset/cutset_tree.hpp"
#include "logic/fault_tree.hpp"
#include "logic/gate_state.hpp"
#include "random_logic.hpp"

namespace {

using namespace tavoq;
using Vec = std::vector<int>;

// Flips random components one at a time and compares the engine's state with a fresh
// evaluation after every flip, and the gates it reported changed with the difference.
void followRandomFlips(const testlogic::Logic &logic, std::mt19937 &rng, int flips) {
    const auto tree = testlogic::build(logic);
    const GateGraph graph(*tree);
    GateState state(graph);
    const int n = logic.nComponents;
    const int gates = static_cast<int>(logic.gates.size());
    Vec failed(static_cast<std::size_t>(n), 0);
    for (int round = 0; round < 2; ++round) {
        std::vector<bool> before = tree->evaluateGates(failed);
        for (int step = 0; step < flips; ++step) {
            const int c = testlogic::draw(rng, 0, n - 1);
            auto &entry = failed[static_cast<std::size_t>(c)];
            entry = 1 - entry;
            std::multiset<int> changed;
            const auto note = [&](int g) { changed.insert(g); };
            if (entry != 0) {
                state.cross<true>(c, note);
            } else {
                state.cross<false>(c, note);
            }
            const std::vector<bool> after = tree->evaluateGates(failed);
            std::multiset<int> expected;
            for (int g = 0; g < gates; ++g) {
                const auto gi = static_cast<std::size_t>(g);
                ASSERT_EQ(state.nodeFailed(n + g), after[gi]) << "gate " << g << ", step " << step;
                if (after[gi] != before[gi]) {
                    expected.insert(g);
                }
            }
            ASSERT_EQ(changed, expected) << "step " << step;
            ASSERT_EQ(state.topFailed(), tree->evaluate(failed));
            ASSERT_EQ(state.nodeFailed(c), entry != 0);
            before = after;
        }
        // A new run starts with every component working, whatever the last one left.
        state.reset();
        std::fill(failed.begin(), failed.end(), 0);
    }
}

TEST(GateState, FollowsAFreshEvaluationAfterEveryCrossing) {
    std::mt19937 rng(77u);
    for (int trial = 0; trial < 80; ++trial) {
        const int n = testlogic::draw(rng, 1, 30);
        const int gates = testlogic::draw(rng, 1, 60);
        followRandomFlips(testlogic::randomLogic(rng, n, gates, trial % 2 == 0 ? 3 : 8), rng, 300);
    }
}

// The general walk against a full evaluation after every crossing: every gate in order from
// its inputs' states and the units their failures began, a gate that turns failed taking the
// current unit. Several crossings share a unit, so simultaneous failures are common.
void followGeneralFlips(const testlogic::Logic &logic, std::mt19937 &rng, int flips) {
    const auto tree = testlogic::build(logic);
    const GateGraph graph(*tree);
    ASSERT_TRUE(graph.general());
    GateState state(graph);
    const int n = logic.nComponents;
    const int gates = tree->nGates();
    const auto nodes = static_cast<std::size_t>(n + gates);
    for (int round = 0; round < 2; ++round) {
        std::vector<int> since(nodes, 0);
        std::vector<std::uint8_t> failed(nodes, 0);
        // Per memory gate, per input: the unit of its first failure since the inputs were
        // last all working, or -1; inputs failed from the start failed at 0.
        std::vector<std::vector<int>> first(static_cast<std::size_t>(gates));
        const std::vector<bool> start = tree->evaluateGates(Vec{});
        for (int g = 0; g < gates; ++g) {
            failed[static_cast<std::size_t>(n + g)] = start[static_cast<std::size_t>(g)] ? 1 : 0;
            ASSERT_EQ(state.nodeFailed(n + g), start[static_cast<std::size_t>(g)]);
        }
        for (int g = 0; g < gates; ++g) {
            for (const std::int32_t input : tree->inputs(g)) {
                first[static_cast<std::size_t>(g)].push_back(
                    failed[static_cast<std::size_t>(input)] != 0 ? 0 : -1);
            }
        }
        int now = 0;
        for (int step = 0; step < flips; ++step) {
            now += testlogic::draw(rng, 0, 1);
            const int c = testlogic::draw(rng, 0, n - 1);
            const auto ci = static_cast<std::size_t>(c);
            failed[ci] = failed[ci] != 0 ? 0 : 1;
            if (failed[ci] != 0) {
                since[ci] = now;
            }
            std::set<std::pair<int, bool>> changed;
            state.crossGeneral(c, failed[ci] != 0, now, [&](int g, bool nowFailed) {
                EXPECT_TRUE(changed.insert({g, nowFailed}).second) << "gate " << g << " twice";
            });
            std::set<std::pair<int, bool>> expected;
            for (int g = 0; g < gates; ++g) {
                const auto in = tree->inputs(g);
                const int m = static_cast<int>(in.size());
                const auto inFailed = [&](int j) {
                    return failed[static_cast<std::size_t>(in[static_cast<std::size_t>(j)])] != 0;
                };
                bool holds = false;
                auto &memory = first[static_cast<std::size_t>(g)];
                if (remembers(tree->kind(g))) {
                    bool any = false;
                    for (int j = 0; j < m; ++j) {
                        any = any || inFailed(j);
                    }
                    for (int j = 0; j < m; ++j) {
                        auto &noted = memory[static_cast<std::size_t>(j)];
                        noted =
                            !any ? -1
                            : noted < 0 && inFailed(j)
                                ? since[static_cast<std::size_t>(in[static_cast<std::size_t>(j)])]
                                : noted;
                    }
                    holds = any && orderHolds(tree->kind(g), m, inFailed, [&](int j) {
                                return memory[static_cast<std::size_t>(j)];
                            });
                } else if (isOrdered(tree->kind(g))) {
                    holds = orderHolds(tree->kind(g), m, inFailed, [&](int j) {
                        return since[static_cast<std::size_t>(in[static_cast<std::size_t>(j)])];
                    });
                } else {
                    int count = 0;
                    for (int j = 0; j < m; ++j) {
                        count += inFailed(j) ? 1 : 0;
                    }
                    holds = countHolds(tree->kind(g), count, m, tree->threshold(g));
                }
                const auto node = static_cast<std::size_t>(n + g);
                if (holds != (failed[node] != 0)) {
                    failed[node] = holds ? 1 : 0;
                    if (holds) {
                        since[node] = now;
                    }
                    expected.insert({g, holds});
                }
                ASSERT_EQ(state.nodeFailed(n + g), holds) << "gate " << g << ", step " << step;
            }
            ASSERT_EQ(changed, expected) << "step " << step;
        }
        state.reset();
    }
}

TEST(GateState, GeneralWalkFollowsAFullEvaluationAfterEveryCrossing) {
    std::mt19937 rng(91u);
    for (int trial = 0; trial < 80; ++trial) {
        const int n = testlogic::draw(rng, 1, 12);
        const int gates = testlogic::draw(rng, 1, 40);
        auto logic = testlogic::randomLogic(rng, n, gates, trial % 2 == 0 ? 3 : 6, true);
        logic.gates.push_back({"xor", {0, n + gates - 1}, 0}); // at least one general gate
        logic.top = n + gates;
        followGeneralFlips(logic, rng, 300);
    }
}

TEST(GateState, PandAndPorReadTheOrderOfTheirInputsFailures) {
    // pand(a, b), pand_exclusive(a, b), por(a, b), por_exclusive(a, b) over a, b.
    FaultTree tree(2);
    const int pand = tree.addGate("pand", {0, 1});
    const int pandX = tree.addGate("pand_exclusive", {0, 1});
    const int por = tree.addGate("por", {0, 1});
    const int porX = tree.addGate("por_exclusive", {0, 1});
    tree.setTop(tree.addGate("or", {pand, pandX, por, porX}));
    const GateGraph graph(tree);
    GateState state(graph);
    const auto none = [](int, bool) {};
    const auto gates = [&] {
        return std::vector<bool>{state.nodeFailed(pand), state.nodeFailed(pandX),
                                 state.nodeFailed(por), state.nodeFailed(porX)};
    };
    using B = std::vector<bool>;
    // In order, in two units.
    state.crossGeneral(0, true, 1, none);
    EXPECT_EQ(gates(), (B{false, false, true, true}));
    state.crossGeneral(1, true, 2, none);
    EXPECT_EQ(gates(), (B{true, true, true, true}));
    // b repaired and failed again: still after a, so in order again.
    state.crossGeneral(1, false, 3, none);
    EXPECT_EQ(gates(), (B{false, false, true, true}));
    state.crossGeneral(1, true, 3, none);
    EXPECT_EQ(gates(), (B{true, true, true, true}));
    // a repaired and failed again after b: out of order, fail-safe until b is repaired.
    state.crossGeneral(0, false, 4, none);
    state.crossGeneral(0, true, 5, none);
    EXPECT_EQ(gates(), (B{false, false, false, false}));
    state.crossGeneral(1, false, 6, none);
    EXPECT_EQ(gates(), (B{false, false, true, true}));
    // The memory forms: b failed first; repaired and failed again after a, it is still
    // the first to have failed while both were not working again: fail-safe.
    {
        FaultTree mt(2);
        const int pandM = mt.addGate("pand_memory", {0, 1});
        const int porM = mt.addGate("por_memory", {1, 0});
        mt.setTop(mt.addGate("or", {pandM, porM}));
        const GateGraph mg(mt);
        GateState ms(mg);
        const auto both = [&] { return B{ms.nodeFailed(pandM), ms.nodeFailed(porM)}; };
        ms.crossGeneral(1, true, 1, none); // b first: por_memory(b, a) fails
        EXPECT_EQ(both(), (B{false, true}));
        ms.crossGeneral(0, true, 2, none); // then a: out of order for the pand
        ms.crossGeneral(1, false, 3, none);
        ms.crossGeneral(1, true, 4, none); // b again, after a, but remembered first
        EXPECT_EQ(both(), (B{false, true}));
        ms.crossGeneral(0, false, 5, none);
        ms.crossGeneral(1, false, 6, none); // all working: forgotten
        ms.crossGeneral(0, true, 7, none);
        ms.crossGeneral(1, true, 8, none); // now in order for the pand
        EXPECT_EQ(both(), (B{true, false}));
    }
    // Both in the same unit: the inclusive forms fail, the exclusive ones do not.
    state.reset();
    state.crossGeneral(1, true, 7, none);
    state.crossGeneral(0, true, 7, none);
    EXPECT_EQ(gates(), (B{true, false, true, false}));
    // Evaluating a set of failures takes them as simultaneous.
    EXPECT_EQ(tree.evaluateGates({1, 1}), (std::vector<bool>{true, false, true, false, true}));
}

TEST(GateState, ComponentOnTopIsTheVerdict) {
    tavoq::FaultTree tree(2);
    tree.addGate("and", {0, 1});
    tree.setTop(1);
    const GateGraph graph(tree);
    GateState state(graph);
    int calls = 0;
    state.cross<true>(0, [&](int) { ++calls; });
    EXPECT_FALSE(state.topFailed());
    state.cross<true>(1, [&](int) { ++calls; });
    EXPECT_TRUE(state.topFailed());
    EXPECT_EQ(calls, 1); // the and gate, once
}

std::unique_ptr<CutsetTree> treeOf(int width, const std::vector<Vec> &cutsets) {
    auto tree = std::make_unique<CutsetTree>(width);
    tree->constructTree(cutsets);
    return tree;
}

// Up to `most` random cut sets of n components, each member in with odds 1 in 3; an all-zero
// vector is a cut set without members.
std::vector<Vec> randomCutsets(std::mt19937 &rng, int n, int most) {
    std::vector<Vec> cutsets(static_cast<std::size_t>(testlogic::draw(rng, 0, most)));
    for (Vec &v : cutsets) {
        v.resize(static_cast<std::size_t>(n));
        for (int &x : v) {
            x = testlogic::draw(rng, 0, 2) == 0 ? 1 : 0;
        }
    }
    return cutsets;
}

// The cut sets' graph gives the tree's own verdict (findWithin) on every failed set.
TEST(GateGraph, CutsetsGraphGivesTheTreesVerdict) {
    std::mt19937 rng(5u);
    for (int trial = 0; trial < 40; ++trial) {
        const int n = testlogic::draw(rng, 1, 7);
        const auto tree = treeOf(n, randomCutsets(rng, n, 6));
        const CutsetIndex index(*tree, n);
        const GateGraph graph(index);
        EXPECT_FALSE(graph.reportsGates());
        ASSERT_EQ(graph.nGates(), index.nCutsets() + 1);
        ASSERT_EQ(graph.top(), n + index.nCutsets());
        for (int s = 0; s < (1 << n); ++s) {
            Vec failed(static_cast<std::size_t>(n));
            GateState state(graph);
            for (int c = 0; c < n; ++c) {
                failed[static_cast<std::size_t>(c)] = (s >> c) & 1;
                if (failed[static_cast<std::size_t>(c)]) {
                    state.cross<true>(c, [](int) {});
                }
            }
            ASSERT_EQ(state.topFailed(), !tree->findWithin(failed).empty())
                << "trial " << trial << ", set " << s;
            for (int g = 0; g < index.nCutsets(); ++g) {
                const Vec stored = tree->getCutsets()[static_cast<std::size_t>(g)];
                ASSERT_EQ(state.nodeFailed(n + g),
                          isSubset(stored.data(), stored.size(), failed.data(), failed.size()) ||
                              index.size(g) == 0);
            }
        }
    }
}

// The plain engine's crossing of the cut sets' graph reports the gates the general walk
// reports and keeps the same verdict, through random flips and a reset between runs.
TEST(GateState, CutsetCrossingMatchesTheGeneralWalk) {
    std::mt19937 rng(11u);
    for (int trial = 0; trial < 60; ++trial) {
        const int n = testlogic::draw(rng, 1, 9);
        const auto tree = treeOf(n, randomCutsets(rng, n, 8));
        const CutsetIndex index(*tree, n);
        const GateGraph graph(index);
        GateState general(graph);
        GateState flat(graph);
        for (int round = 0; round < 2; ++round) {
            Vec failed(static_cast<std::size_t>(n), 0);
            for (int step = 0; step < 200; ++step) {
                const int c = testlogic::draw(rng, 0, n - 1);
                auto &entry = failed[static_cast<std::size_t>(c)];
                entry = 1 - entry;
                std::multiset<int> walked;
                std::multiset<int> counted;
                std::size_t movedWalk = 0;
                std::size_t movedFlat = 0;
                if (entry != 0) {
                    movedWalk = general.cross<true>(c, [&](int g) { walked.insert(g); });
                    movedFlat = flat.crossCutsets<true>(c, [&](int g) { counted.insert(g); });
                } else {
                    movedWalk = general.cross<false>(c, [&](int g) { walked.insert(g); });
                    movedFlat = flat.crossCutsets<false>(c, [&](int g) { counted.insert(g); });
                }
                ASSERT_EQ(counted, walked) << "trial " << trial << ", step " << step;
                ASSERT_EQ(flat.topFailed(), general.topFailed());
                ASSERT_EQ(flat.topFailed(), !tree->findWithin(failed).empty());
                // The general walk also moves the top's count; the flat one counts the
                // component's cut sets only.
                ASSERT_LE(movedFlat, movedWalk);
            }
            general.reset();
            flat.reset();
        }
    }
}

TEST(GateGraph, MemberlessCutsetIsFailedFromTheStart) {
    // An all-zero vector is stored as a cut set without members.
    const auto tree = treeOf(2, {{0, 0}, {1, 1}});
    const CutsetIndex index(*tree, 2);
    const GateGraph graph(index);
    ASSERT_EQ(index.memberless().size(), 1u);
    // The memberless cut set's gate, and the top above it.
    EXPECT_EQ(graph.initiallyFailed(), (std::vector<std::int32_t>{index.memberless()[0], 2}));
    GateState state(graph);
    EXPECT_TRUE(state.topFailed());
    EXPECT_TRUE(graph.topCanFail());
}

TEST(GateGraph, WhatCanFail) {
    const auto none = treeOf(3, {});
    EXPECT_FALSE(GateGraph(CutsetIndex(*none, 3)).topCanFail());
    EXPECT_TRUE(GateGraph(CutsetIndex(*treeOf(3, {{0, 1, 1}}), 3)).topCanFail());
    tavoq::FaultTree tree(3);
    tree.setTop(tree.addGate("atleast", {tree.addGate("and", {0, 1}), 2, 2}, 3));
    const GateGraph graph(tree);
    EXPECT_TRUE(graph.reportsGates());
    EXPECT_TRUE(graph.topCanFail());
    EXPECT_TRUE(graph.initiallyFailed().empty());
    // Parents keep repeats: component 2 feeds gate 1 twice.
    EXPECT_EQ(std::vector<std::int32_t>(graph.parentsBegin(2), graph.parentsEnd(2)),
              (std::vector<std::int32_t>{1, 1}));
}

} // namespace
