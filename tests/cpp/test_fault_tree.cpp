#include "logic/fault_tree.hpp"

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logic/gate_graph.hpp"
#include "random_logic.hpp"

namespace {

using namespace tavoq;
using Vec = std::vector<int>;

// A tree of 3 components with gates 3 = or(0, 1) and 4 = and(3, 2) already added.
struct BadGate {
    const char *name;
    std::string kind;
    Vec inputs;
    int k;
    std::string message; // a part of the error's text
};

class FaultTreeRefuses : public testing::TestWithParam<BadGate> {};

TEST_P(FaultTreeRefuses, TheGateAndLeavesTheTreeAsItWas) {
    FaultTree tree(3);
    tree.addGate("or", {0, 1});
    tree.addGate("and", {3, 2});
    const BadGate &bad = GetParam();
    try {
        tree.addGate(bad.kind, bad.inputs, bad.k);
        FAIL() << "accepted";
    } catch (const std::invalid_argument &e) {
        EXPECT_NE(std::string(e.what()).find(bad.message), std::string::npos) << e.what();
    }
    EXPECT_EQ(tree.nGates(), 2);
    EXPECT_EQ(tree.addGate("or", {4}), 5); // numbering goes on where it was
}

INSTANTIATE_TEST_SUITE_P(
    AddGate, FaultTreeRefuses,
    testing::Values(BadGate{"UnknownKind", "nxor", {0, 1}, 0, "unknown gate kind \"nxor\""},
                    BadGate{"NotOfTwo", "not", {0, 1}, 0, "exactly 1 input, got 2"},
                    BadGate{"PandOfOne", "pand", {0}, 0, "at least 2 inputs, got 1"},
                    BadGate{"KOnAPand", "pand", {0, 1}, 1, "atleast gates only"},
                    BadGate{"KindIsCaseSensitive", "OR", {0, 1}, 0, "unknown gate kind \"OR\""},
                    BadGate{"NoInputs", "or", {}, 0, "at least one input"},
                    BadGate{"NegativeInput", "and", {0, -1}, 0, "input -1 (position 1)"},
                    BadGate{"ItsOwnNode", "or", {5}, 0, "input 5 (position 0) is not a node"},
                    BadGate{"FarPastTheNodes", "or", {1, 2, 1000}, 0, "input 1000"},
                    BadGate{"AtLeastWithoutK", "atleast", {0, 1}, 0, "got 0"},
                    BadGate{"AtLeastKAboveInputs", "atleast", {0, 1}, 3, "got 3"},
                    BadGate{"AtLeastNegativeK", "atleast", {0, 1}, -1, "got -1"},
                    BadGate{"KOnAnOrGate", "or", {0, 1}, 1, "atleast gates only"},
                    BadGate{"KOnAnAndGate", "and", {0, 1}, 2, "atleast gates only"}),
    [](const testing::TestParamInfo<BadGate> &info) { return std::string(info.param.name); });

TEST(FaultTree, RefusesNoComponentsAndBadTops) {
    EXPECT_THROW(FaultTree(0), std::invalid_argument);
    EXPECT_THROW(FaultTree(-2), std::invalid_argument);
    FaultTree tree(2);
    EXPECT_THROW(tree.evaluate({1, 1}), std::invalid_argument); // no top yet
    EXPECT_THROW(tree.graph(), std::invalid_argument);
    EXPECT_THROW(tree.setTop(2), std::invalid_argument); // no gate 2 yet
    EXPECT_THROW(tree.setTop(-1), std::invalid_argument);
    EXPECT_EQ(tree.top(), -1);
    tree.setTop(1); // a component may be the top
    EXPECT_TRUE(tree.evaluate({0, 3}));
    EXPECT_FALSE(tree.evaluate({1}));
}

TEST(FaultTree, RepeatedInputsCountEachTimeTheyAreListed) {
    FaultTree tree(3);
    const int twice = tree.addGate("atleast", {0, 0, 1}, 2);
    const int both = tree.addGate("and", {2, 2});
    tree.setTop(twice);
    EXPECT_TRUE(tree.evaluate({1, 0, 0}));
    EXPECT_FALSE(tree.evaluate({0, 1, 0}));
    EXPECT_EQ(tree.evaluateGates({0, 0, 1}), (std::vector<bool>{false, true}));
    EXPECT_EQ(both, 4);
}

TEST(FaultTree, ShortAndLongInputsReadAsWorkingAndIgnored) {
    FaultTree tree(3);
    tree.setTop(tree.addGate("atleast", {0, 1, 2}, 2));
    EXPECT_FALSE(tree.evaluate({}));
    EXPECT_FALSE(tree.evaluate({1}));
    EXPECT_TRUE(tree.evaluate({1, 1}));
    // Entries past the last component are no components.
    EXPECT_FALSE(tree.evaluate({1, 0, 0, 1, 1, 1}));
}

TEST(FaultTree, PinnedTreeRefusesChangesUntilUnpinned) {
    FaultTree tree(2);
    const int g = tree.addGate("or", {0, 1});
    tree.setTop(g);
    tree.pin();
    tree.pin();
    EXPECT_THROW(tree.addGate("and", {0, 1}), std::logic_error);
    EXPECT_THROW(tree.setTop(0), std::logic_error);
    tree.unpin();
    EXPECT_THROW(tree.setTop(0), std::logic_error);
    tree.unpin();
    EXPECT_EQ(tree.nGates(), 1);
    EXPECT_EQ(tree.top(), g);
    tree.setTop(0);
    EXPECT_EQ(tree.top(), 0);
}

TEST(FaultTree, CompiledGraphFollowsChanges) {
    FaultTree tree(2);
    tree.setTop(tree.addGate("and", {0, 1}));
    const auto first = tree.graph();
    EXPECT_EQ(tree.graph(), first); // kept while the tree stays as it is
    tree.setTop(tree.addGate("or", {0, 1}));
    const auto second = tree.graph();
    EXPECT_NE(second, first);
    EXPECT_EQ(second->nGates(), 2);
    EXPECT_EQ(second->top(), 3);
    EXPECT_EQ(first->top(), 2); // a runner holding the old one still reads it whole
}

// Every gate and the top against the definitions, on random DAGs with shared and repeated
// inputs: on every set of failed components for small models, on random sets for larger.
TEST(FaultTree, EvaluateAgreesWithTheGateDefinitions) {
    std::mt19937 rng(20240601u);
    for (int trial = 0; trial < 60; ++trial) {
        const int n = testlogic::draw(rng, 1, trial < 40 ? 8 : 40);
        const int gates = testlogic::draw(rng, 1, 30);
        const testlogic::Logic logic = testlogic::randomLogic(rng, n, gates);
        const auto tree = testlogic::build(logic);
        const int sets = trial < 40 ? (1 << n) : 300;
        for (int s = 0; s < sets; ++s) {
            Vec failed(static_cast<std::size_t>(n));
            for (int c = 0; c < n; ++c) {
                failed[static_cast<std::size_t>(c)] = trial < 40 ? (s >> c) & 1
                                                      : testlogic::draw(rng, 0, 2) == 0 ? 2
                                                                                        : 0;
            }
            const std::vector<bool> outputs = tree->evaluateGates(failed);
            ASSERT_EQ(outputs.size(), static_cast<std::size_t>(gates));
            for (int g = 0; g < gates; ++g) {
                ASSERT_EQ(outputs[static_cast<std::size_t>(g)],
                          testlogic::reference(logic, n + g, failed))
                    << "trial " << trial << ", gate " << g << ", set " << s;
            }
            ASSERT_EQ(tree->evaluate(failed), testlogic::reference(logic, logic.top, failed));
        }
    }
}

} // namespace
