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
