#include "logic/failure_distance.hpp"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "logic/fault_tree.hpp"
#include "logic/gate_graph.hpp"
#include "random_logic.hpp"

namespace {

using namespace tavoq;
using Vec = std::vector<int>;

// A node's distance from the gate definitions alone, recursively.
int referenceDistance(const testlogic::Logic &logic, int node, const Vec &failed) {
    if (node < logic.nComponents) {
        return failed[static_cast<std::size_t>(node)] ? 0 : 1;
    }
    const auto &gate = logic.gates[static_cast<std::size_t>(node - logic.nComponents)];
    Vec d;
    for (const int input : gate.inputs) {
        d.push_back(referenceDistance(logic, input, failed));
    }
    std::sort(d.begin(), d.end());
    const auto n = static_cast<int>(d.size());
    const int t = gate.kind == "or" ? 1 : gate.kind == "and" ? n : gate.k;
    int sum = 0;
    for (int j = 0; j < t; ++j) {
        sum += d[static_cast<std::size_t>(j)];
    }
    return sum;
}

// The fewest further failures that fail the top: over its minimal cut sets, the fewest
// members still working.
int fewestFailures(const std::vector<Vec> &cutsets, const Vec &failed) {
    int best = 1 << 30;
    for (const Vec &set : cutsets) {
        int working = 0;
        for (std::size_t c = 0; c < set.size(); ++c) {
            working += set[c] && !failed[c];
        }
        best = std::min(best, working);
    }
    return best;
}

TEST(FailureDistance, FollowsAFreshEvaluationAfterEveryFlip) {
    std::mt19937 rng(20261210);
    for (int trial = 0; trial < 60; ++trial) {
        const int n = testlogic::draw(rng, 1, 9);
        const auto logic = testlogic::randomLogic(rng, n, testlogic::draw(rng, 1, 14));
        const auto tree = testlogic::build(logic);
        const GateGraph graph(*tree);
        FailureDistance distance(graph);
        const auto cutsets = testlogic::minimalCutsets(logic);
        Vec failed(static_cast<std::size_t>(n), 0);
        const int nodes = n + static_cast<int>(logic.gates.size());
        for (int step = 0; step < 40; ++step) {
            if (step == 20) { // a new run: everything working again
                distance.reset();
                std::fill(failed.begin(), failed.end(), 0);
            } else {
                const int c = testlogic::draw(rng, 0, n - 1);
                auto &entry = failed[static_cast<std::size_t>(c)];
                entry = 1 - entry;
                distance.set(c, entry != 0);
            }
            for (int node = 0; node < nodes; ++node) {
                ASSERT_EQ(distance.distance(node), referenceDistance(logic, node, failed))
                    << "trial " << trial << ", step " << step << ", node " << node;
                // Zero exactly where the node is failed.
                ASSERT_EQ(distance.distance(node) == 0, testlogic::reference(logic, node, failed));
            }
            // Never fewer than the failures that are truly needed; where none can fail the
            // top (no cut set), as far as can be.
            if (!cutsets.empty()) {
                ASSERT_GE(distance.distance(logic.top), fewestFailures(cutsets, failed));
            }
            ASSERT_EQ(distance.importance(),
                      distance.topWhenWorking() - distance.distance(logic.top));
        }
    }
}

TEST(FailureDistance, SharedInputsCountOncePerInputAndSumsStopAtFar) {
    // and(or(a, b), or(a, c)): one failure (a) fails it, the distance says 2.
    FaultTree shared(3);
    const int left = shared.addGate("or", {0, 1}, 0);
    const int right = shared.addGate("or", {0, 2}, 0);
    shared.setTop(shared.addGate("and", {left, right}, 0));
    const GateGraph sharedGraph(shared);
    FailureDistance d(sharedGraph);
    EXPECT_EQ(d.topWhenWorking(), 2);
    d.set(0, true);
    EXPECT_EQ(d.importance(), 2);

    // Each level an `and` of the level below taken twice: the distance doubles per level.
    FaultTree ladder(1);
    int node = 0;
    for (int level = 0; level < 40; ++level) {
        node = ladder.addGate("and", {node, node}, 0);
    }
    ladder.setTop(node);
    const GateGraph ladderGraph(ladder);
    FailureDistance far(ladderGraph);
    EXPECT_EQ(far.topWhenWorking(), FailureDistance::kFar);
    far.set(0, true);
    EXPECT_EQ(far.distance(ladder.top()), 0);
}

TEST(FailureDistance, OrderGatesCountAsThresholdsAndNotIsRefused) {
    FaultTree ordered(3);
    const int order = ordered.addGate("pand", {0, 1}, 0);
    ordered.setTop(ordered.addGate("por", {order, 2}, 0));
    const GateGraph orderedGraph(ordered);
    FailureDistance d(orderedGraph);
    EXPECT_EQ(d.topWhenWorking(), 1);
    d.set(2, true);
    EXPECT_EQ(d.importance(), 1);
    d.set(2, false);
    d.set(1, true);
    EXPECT_EQ(d.distance(3), 1); // the pand needs a as well

    FaultTree negated(2);
    negated.setTop(negated.addGate("not", {0}, 0));
    const GateGraph negatedGraph(negated);
    EXPECT_THROW(FailureDistance{negatedGraph}, std::invalid_argument);
}

} // namespace
