#include "interactions/interactions.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "distributions/continuous.hpp"
#include "interactions/crew_pools.hpp"
#include "interactions/indexed_queue.hpp"
#include "logic/fault_tree.hpp"
#include "runners/runners.hpp"

using namespace tavoq;

namespace {

TEST(IndexedQueue, TopIsTheSmallestKeyAfterAnyUpdates) {
    constexpr int n = 37;
    std::mt19937 random(11);
    std::vector<std::uint64_t> keys(n);
    IndexedQueue queue(n);
    for (int i = 0; i < n; ++i) {
        keys[static_cast<std::size_t>(i)] = random() % 1000;
        queue.place(i, keys[static_cast<std::size_t>(i)]);
    }
    queue.build();
    for (int step = 0; step < 5000; ++step) {
        ASSERT_EQ(queue.top(), *std::min_element(keys.begin(), keys.end())) << step;
        const int i = static_cast<int>(random() % n);
        keys[static_cast<std::size_t>(i)] = random() % 1000;
        queue.update(i, keys[static_cast<std::size_t>(i)]);
    }
}

TEST(CrewPools, WaitingUnitsAreServedByTimeThenPriorityThenIndex) {
    CrewPools pools({1}, 6);
    ASSERT_TRUE(pools.request(0, 5, 0, 1)); // takes the crew
    EXPECT_FALSE(pools.request(0, 4, 2, 2));
    EXPECT_FALSE(pools.request(0, 3, 1, 2));
    EXPECT_FALSE(pools.request(0, 2, 1, 2));
    EXPECT_FALSE(pools.request(0, 0, 0, 3)); // later, though of the best priority
    EXPECT_FALSE(pools.request(0, 1, 0, 3));
    pools.leave(3, 4); // gives up its place
    EXPECT_FALSE(pools.waiting(3));
    std::vector<int> served;
    for (int t = 5; t < 10; ++t) {
        const int holder = served.empty() ? 5 : served.back();
        EXPECT_EQ(pools.leave(holder, t), 0);
        served.push_back(pools.handOut(0, t));
    }
    EXPECT_EQ(served, (std::vector<int>{2, 4, 0, 1, -1}));
    pools.finish(10);
    const CrewPools::Figures &f = pools.figures(0);
    EXPECT_EQ(f.requests, 6);
    EXPECT_EQ(f.longest, 5);
    EXPECT_EQ(f.busy, 1 * (9 - 1)); // busy from 1 until the last leaves at 9
    // Waiting: 4, 3 and 2 from 2; 0 and 1 from 3; 3 leaves at 4; one served per unit from 5.
    EXPECT_EQ(f.wait, (5 - 2) + (4 - 2) + (6 - 2) + (7 - 3) + (8 - 3));
}

// Three two-state components, repaired never; the logic is component 1 alone.
struct Chain {
    Distribution never;
    Uniform atTwo{2.0, 2.5};
    Uniform atFour{4.0, 4.5};
    TransitionMatrix matrix;
    FaultTree tree{3};
    Chain() {
        matrix.push_back({{&never, &atTwo}, {&never, &never}});
        matrix.push_back({{&never, &never}, {&never, &never}});
        matrix.push_back({{&never, &never}, {&never, &never}});
        tree.setTop(1);
    }
    RunStatistics run(const Interactions &in) {
        return runnerStatistics(1, 10, matrix, &tree, 1, 1, {}, &in);
    }
};

TEST(Triggers, FireInTheOrderAddedAndTheirMovesRunFirstInFirstOut) {
    // Component 0 fails at 2. The first trigger fails component 1; the second restores it,
    // but only from the failed state: in this order 1 is failed and restored within unit 2.
    Chain chain;
    Interactions forward(3);
    forward.addTrigger(0, true, {{1, {0}, 1}});
    forward.addTrigger(0, true, {{1, {1}, 0}});
    const RunStatistics f = chain.run(forward);
    EXPECT_EQ(f.componentFailures[1], 1);
    EXPECT_EQ(f.componentDowntime[1], 0);
    EXPECT_EQ(f.downtime[0], 0);
    // The other way round the restore finds it working and does nothing.
    Interactions backward(3);
    backward.addTrigger(0, true, {{1, {1}, 0}});
    backward.addTrigger(0, true, {{1, {0}, 1}});
    const RunStatistics b = chain.run(backward);
    EXPECT_EQ(b.componentDowntime[1], 8);
    EXPECT_EQ(b.downtime[0], 8);
    // The failure of 0 is the event: it is credited, not 1, which it moved.
    EXPECT_EQ(b.triggeredFailures, (std::vector<std::int64_t>{1, 0, 0}));
}

TEST(Triggers, CascadeThroughTheirOwnMoves) {
    // 0 fails 2, whose failure fails 1: the second trigger watches a moved component.
    Chain chain;
    Interactions in(3);
    in.addTrigger(0, true, {{2, {0}, 1}});
    in.addTrigger(2, true, {{1, {0}, 1}});
    const RunStatistics s = chain.run(in);
    EXPECT_EQ(s.componentDowntime, (std::vector<std::int64_t>{8, 8, 8}));
}

TEST(Triggers, ACycleEndsInTheStuckModelError) {
    Chain chain;
    Interactions in(3);
    in.addTrigger(1, true, {{1, {1}, 0}});
    in.addTrigger(1, false, {{1, {0}, 1}});
    in.addTrigger(0, true, {{1, {0}, 1}});
    try {
        chain.run(in);
        FAIL() << "the cycle ran to its end";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("makes no progress at time unit 2"),
                  std::string::npos)
            << e.what();
    }
}

TEST(CommonCause, FiresAfterTheComponentsDueAtTheSameUnit) {
    // Component 0 fails on its own at 4 (state 1, failed) and the event, also at 4, moves
    // working members to state 2 (planned): the component goes first, so the event finds
    // it failed and leaves it there. The other way it would end planned.
    Distribution never;
    Uniform atFour{4.0, 4.5};
    TransitionMatrix matrix;
    matrix.push_back(
        {{&never, &atFour, &never}, {&never, &never, &never}, {&never, &never, &never}});
    FaultTree tree(1);
    tree.setTop(0);
    Interactions in(1);
    in.setStateKinds(0, {0, 1, 2});
    in.addCommonCause(&atFour, {0}, {2});
    const RunStatistics s = runnerStatistics(1, 10, matrix, &tree, 1, 1, {}, &in);
    EXPECT_EQ(s.componentFailures[0], 1);
    EXPECT_EQ(s.plannedDowntime, (std::vector<std::int64_t>{0}));
    EXPECT_EQ(s.systemFailures, (std::vector<std::int64_t>{1}));
}

TEST(StandbyGroups, ASharedSpareServesOneGroupAtATime) {
    // Units 0 and 1 head two groups that share the spare 2; 0 fails for good at 2, 1 at 4.
    // The spare goes to the first group; the second is down from 4. Units run in state 0,
    // wait in state 1 and fail to state 2.
    Distribution never;
    Uniform atTwo{2.0, 2.5};
    Uniform atFour{4.0, 4.5};
    const auto unit = [&](const Distribution *failure) {
        return std::vector<std::vector<const Distribution *>>{
            {&never, &never, failure}, {&never, &never, &never}, {&never, &never, &never}};
    };
    TransitionMatrix matrix{unit(&atTwo), unit(&atFour), unit(&never)};
    Interactions in(3);
    for (int c = 0; c < 3; ++c) {
        in.setStateKinds(c, {0, 0, 1});
    }
    const int first = in.addStandbyGroup({0, 2}, {0, 0}, {1, 1}, {2, 2}, 0.0, true);
    const int second = in.addStandbyGroup({1, 2}, {0, 0}, {1, 1}, {2, 2}, 0.0, true);
    FaultTree tree(5);
    const int a = tree.addGate("or", {first});
    const int b = tree.addGate("or", {second});
    tree.setTop(tree.addGate("or", {a, b}));
    const RunStatistics s = runnerStatistics(1, 10, matrix, &tree, 1, 1, {}, &in);
    EXPECT_EQ(s.gateDowntime, (std::vector<std::int64_t>{0, 6, 6}));
    EXPECT_EQ(s.componentDowntime, (std::vector<std::int64_t>{8, 6, 0}));
}

TEST(StandbyGroups, ASpareModuleAndANestedGroupSleepUntilClaimed) {
    // States: 0 running, 1 standby, 2 failed. A component fails two units after it starts
    // running, never in standby; component 0 heads each group and fails at 2.
    Distribution never;
    Uniform afterTwo{2.0, 2.5};
    const auto unit = [&](const Distribution *failure) {
        return std::vector<std::vector<const Distribution *>>{
            {&never, &never, failure}, {&never, &never, &never}, {&never, &never, &never}};
    };
    TransitionMatrix matrix{unit(&afterTwo), unit(&afterTwo), unit(&never)};
    const auto kinds = [](Interactions &in) {
        for (int c = 0; c < 3; ++c) {
            in.setStateKinds(c, {0, 0, 1});
        }
    };
    {
        // The module or(1, 2) is switched in at 2: 1 starts running then and fails at 4,
        // which fails the module and leaves the group without a unit; 2 waits again.
        Interactions in(3);
        kinds(in);
        FaultTree tree(4);
        const int module = in.addSpareModule(tree.addGate("or", {1, 2}), {1, 2}, {0, 0}, {1, 1});
        const int group = in.addStandbyGroup({0, module}, {0, -1}, {1, -1}, {2, -1}, 0.0, false);
        tree.setTop(tree.addGate("or", {group}));
        const RunStatistics s = runnerStatistics(1, 10, matrix, &tree, 1, 1, {}, &in);
        EXPECT_EQ(s.componentDowntime, (std::vector<std::int64_t>{8, 6, 0}));
        EXPECT_EQ(s.downtime[0], 6);
    }
    {
        // The inner group {1, 2} is a unit of the outer one: its primary 1 waits in standby
        // until the outer group claims it at 2, fails at 4, and the inner group takes 2.
        Interactions in(3);
        kinds(in);
        FaultTree tree(5);
        const int nested = in.addSpareModule(4, {}, {}, {}, {1});
        const int outer = in.addStandbyGroup({0, nested}, {0, -1}, {1, -1}, {2, -1}, 0.0, false);
        in.addStandbyGroup({1, 2}, {0, 0}, {1, 1}, {2, 2}, 0.0, false);
        tree.setTop(tree.addGate("or", {outer}));
        const RunStatistics s = runnerStatistics(1, 10, matrix, &tree, 1, 1, {}, &in);
        EXPECT_EQ(s.componentDowntime, (std::vector<std::int64_t>{8, 6, 0}));
        EXPECT_EQ(s.downtime[0], 0);
    }
}

TEST(StandbyGroups, SpareModulesThatCannotWorkAreRefused) {
    Distribution never;
    const std::vector<std::vector<const Distribution *>> row{
        {&never, &never, &never}, {&never, &never, &never}, {&never, &never, &never}};
    TransitionMatrix matrix{row, row, row};
    const auto refused = [&](Interactions &in, int nLeaves, const char *message) {
        for (int c = 0; c < 3; ++c) {
            in.setStateKinds(c, {0, 0, 1}); // running, standby, failed
        }
        FaultTree tree(nLeaves);
        tree.setTop(tree.addGate("or", {0}));
        try {
            runnerStatistics(1, 10, matrix, &tree, 1, 1, {}, &in);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const std::invalid_argument &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    };
    {
        Interactions in(3);
        in.addSpareModule(0, {1}, {0}, {1});
        in.addSpareModule(0, {1, 2}, {0, 0}, {1, 1});
        refused(in, 3, "is a part of two spare modules");
    }
    {
        // Each group sits in a module that the other lists.
        Interactions in(3);
        const int first = in.addSpareModule(3, {}, {}, {}, {1});
        const int second = in.addSpareModule(4, {}, {}, {}, {0});
        in.addStandbyGroup({0, first}, {0, -1}, {1, -1}, {2, -1}, 0.0, true);
        in.addStandbyGroup({1, second}, {0, -1}, {1, -1}, {2, -1}, 0.0, true);
        refused(in, 5, "is inside itself");
    }
    {
        // A pair of states for a component that is no unit would never switch.
        Interactions in(3);
        in.addStatePair(1, 0, 1);
        in.addStandbyGroup({0, 2}, {0, 0}, {1, 1}, {2, 2}, 0.0, true);
        refused(in, 4, "is neither a unit nor a part of a spare module");
    }
    Interactions in(3);
    const int module = in.addSpareModule(0, {1}, {0}, {1});
    EXPECT_THROW(in.addStandbyGroup({0, module}, {0, -1}, {1, -1}, {1, -1}, 0.5, true),
                 std::invalid_argument);
    EXPECT_THROW(in.addStandbyGroup({0, module}, {0, 0}, {1, 1}, {1, 1}, 0.0, true),
                 std::invalid_argument);
}

TEST(CrewPools, CountTheSystemFailuresThatBeginWhileEveryCrewIsBusyAndAUnitWaits) {
    // One crew. Component 0 fails at 2 and is repaired in 5 units (up at 7); component 1
    // fails at 4 and waits for the crew until 7. Over 8 units: with `and` the system fails
    // at 4, the crew busy with 0 and 1 waiting; with `or` it fails at 2, when 0 takes the
    // free crew and nobody waits, and stays down.
    Distribution never;
    Uniform atTwo{2.0, 2.5};
    Uniform atFour{4.0, 4.5};
    Constant repair{5.0};
    TransitionMatrix matrix{{{&never, &atTwo}, {&repair, &never}},
                            {{&never, &atFour}, {&repair, &never}}};
    Interactions in(2);
    const int pool = in.addCrewPool(1);
    in.setCrew(0, 1, pool, 0);
    in.setCrew(1, 1, pool, 0);
    for (const auto &[kind, saturated] : {std::pair{"and", 3}, std::pair{"or", 0}}) {
        FaultTree tree(2);
        tree.setTop(tree.addGate(kind, {0, 1}));
        const RunStatistics s = runnerStatistics(3, 8, matrix, &tree, 1, 1, {}, &in);
        EXPECT_EQ(s.systemFailures, (std::vector<std::int64_t>{1, 1, 1})) << kind;
        EXPECT_EQ(s.crewSaturatedFailures, (std::vector<std::int64_t>{saturated})) << kind;
        // One such failure a run, or none: the run's count squared, and times its one failure.
        EXPECT_EQ(s.crewSaturatedFailuresSquares, (std::vector<double>{saturated * 1.0})) << kind;
        EXPECT_EQ(s.crewSaturatedTimesSystemFailures, (std::vector<double>{saturated * 1.0}))
            << kind;
        EXPECT_EQ(s.crewWait, (std::vector<std::int64_t>{9})) << kind;
    }
}

} // namespace
