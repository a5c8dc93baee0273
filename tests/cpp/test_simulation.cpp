#include "simulation/simulation.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "cutset/cutset_index.hpp"
#include "cutset/cutset_tree.hpp"
#include "distributions/continuous.hpp"
#include "distributions/scheduled.hpp"
#include "platform/openmp.hpp"
#include "runners/runners.hpp"
#include "simulation/recorders.hpp"
#include "simulation/run_dispenser.hpp"
#include "simulation/transition_model.hpp"

#include "logic/fault_tree.hpp"
#include "logic/gate_graph.hpp"
#include "random_logic.hpp"

using namespace tavoq;

namespace {

using States = std::vector<std::uint32_t>;
using Vec = std::vector<int>;
using Quantile = std::function<double(double, int)>;

constexpr double kNever = 2147483647.0;
constexpr std::uint32_t kUntouched = 0xDEADBEEFu;
constexpr std::size_t kTail = 8;

// ---------------------------------------------------------------------------------------------
// An independent copy of the run's random stream: the 24 high bits of each MT19937 output,
// scaled by 2^-24 in single precision.

std::vector<float> expectedDraws(std::uint32_t seed, std::size_t count) {
    std::mt19937 engine(seed);
    std::vector<float> out;
    out.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        out.push_back(static_cast<float>(engine() >> 8) * 0x1p-24f);
    }
    return out;
}

// The default stream formatting, which the warning line uses for both of its numbers.
template <typename T> std::string streamed(T value) {
    std::ostringstream os;
    os << value;
    return os.str();
}

std::string warning(const std::string &sample, float p) {
    return "Warning: nextTimeDouble is out of bounds: " + sample + "  " + streamed(p) + "\n";
}

// ---------------------------------------------------------------------------------------------
// Models made of scripted cells. Every cell records each quantile call (its cell number
// c*100 + from*10 + to, the probability and the clock), so a test can see which entries were
// sampled, when, and with which draw.

struct Call {
    int cell;
    double p;
    int time;
};

class Scripted : public Distribution {
public:
    Scripted(int cell, std::vector<Call> *log) : cell(cell), log(log) {}
    double quantile(double p, int currentTime) const override {
        if (log != nullptr) {
            log->push_back({cell, p, currentTime});
        }
        return f(p, currentTime);
    }
    Quantile f = [](double, int) { return kNever; };

private:
    int cell;
    std::vector<Call> *log;
};

Quantile constant(double v) {
    return [v](double, int) { return v; };
}
// Fires with delay v when sampled at time `at`, never otherwise.
Quantile onlyAt(int at, double v) {
    return [at, v](double, int t) { return t == at ? v : kNever; };
}

class Model {
public:
    Model(int components, int states, bool logged = true) {
        matrix.resize(static_cast<std::size_t>(components));
        for (int c = 0; c < components; ++c) {
            auto &rows = matrix[static_cast<std::size_t>(c)];
            rows.resize(static_cast<std::size_t>(states));
            for (int i = 0; i < states; ++i) {
                for (int j = 0; j < states; ++j) {
                    cells.push_back(
                        std::make_unique<Scripted>(c * 100 + i * 10 + j, logged ? &log : nullptr));
                    rows[static_cast<std::size_t>(i)].push_back(cells.back().get());
                }
            }
        }
    }
    Scripted &cell(int c, int from, int to) {
        return *cells[static_cast<std::size_t>((c * states() + from) * states() + to)];
    }
    int states() const { return static_cast<int>(matrix[0].size()); }

    TransitionMatrix matrix;
    std::vector<Call> log;

private:
    std::vector<std::unique_ptr<Scripted>> cells;
};

std::unique_ptr<CutsetTree> treeOf(int width, const std::vector<Vec> &cutsets) {
    auto tree = std::make_unique<CutsetTree>(width);
    tree->constructTree(cutsets);
    return tree;
}

struct Outcome {
    States states;
    std::string out;
};

// Builds and runs one Simulation over a buffer with guard entries past simTime, and checks that
// none of those is written.
Outcome runOnce(const TransitionMatrix &matrix, const CutsetTree &tree, int simTime,
                std::uint32_t seed) {
    TransitionModel model(matrix, &tree);
    CutsetIndex cutsets(tree, model.nComponents());
    std::vector<std::uint32_t> buffer(static_cast<std::size_t>(simTime) + kTail, kUntouched);
    testing::internal::CaptureStdout();
    try {
        Simulation sim(model, cutsets);
        StateRecorder recorder(buffer.data());
        sim.run(simTime, seed, recorder);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    Outcome result{{}, testing::internal::GetCapturedStdout()};
    for (std::size_t k = static_cast<std::size_t>(simTime); k < buffer.size(); ++k) {
        EXPECT_EQ(buffer[k], kUntouched) << "written past the horizon at " << k;
    }
    result.states.assign(buffer.begin(), buffer.begin() + simTime);
    return result;
}

std::vector<int> cellsOf(const std::vector<Call> &log) {
    std::vector<int> out;
    for (const Call &c : log) {
        out.push_back(c.cell);
    }
    return out;
}
std::vector<int> timesOf(const std::vector<Call> &log) {
    std::vector<int> out;
    for (const Call &c : log) {
        out.push_back(c.time);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The random stream

TEST(DrawUniform, FirstDrawOfTheCustomarySeed) {
    Model m(1, 1);
    auto tree = treeOf(1, {});
    TransitionModel model(m.matrix, tree.get());
    CutsetIndex cutsets(*tree, model.nComponents());
    Simulation sim(model, cutsets);
    sim.seed(5489u);
    // 3499211612 >> 8 = 13668795
    EXPECT_EQ(sim.drawUniform(), 13668795.0f * 0x1p-24f);
}

TEST(DrawUniform, FollowsTheTwentyFourHighBitsOfEachOutput) {
    Model m(1, 1);
    auto tree = treeOf(1, {});
    TransitionModel model(m.matrix, tree.get());
    CutsetIndex cutsets(*tree, model.nComponents());
    for (std::uint32_t seed : {0u, 1u, 5489u, 123456789u, 2147483648u, 4294967295u}) {
        Simulation sim(model, cutsets);
        sim.seed(seed);
        const std::vector<float> want = expectedDraws(seed, 20000);
        for (std::size_t k = 0; k < want.size(); ++k) {
            const float got = sim.drawUniform();
            ASSERT_EQ(got, want[k]) << "seed " << seed << ", draw " << k;
            ASSERT_GE(got, 0.0f);
            ASSERT_LT(got, 1.0f);
        }
    }
}

TEST(DrawUniform, ConstructionDrawsNothing) {
    Model m(2, 3);
    auto tree = treeOf(2, {});
    TransitionModel model(m.matrix, tree.get());
    CutsetIndex cutsets(*tree, model.nComponents());
    Simulation sim(model, cutsets);
    sim.seed(42u);
    EXPECT_EQ(sim.drawUniform(), expectedDraws(42u, 1)[0]);
    EXPECT_TRUE(m.log.empty());
}

TEST(RunnerSingleSim, NegativeSeedSeedsAsItsUnsignedValue) {
    for (int seed : {-1, -2, INT_MIN}) {
        Model m(2, 2);
        auto tree = treeOf(2, {{1, 1}});
        runnerSingleSim(3, m.matrix, tree.get(), seed);
        ASSERT_EQ(m.log.size(), 4u); // nothing fires: only the initial pass draws
        const std::vector<float> want = expectedDraws(static_cast<std::uint32_t>(seed), 4);
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_EQ(m.log[k].p, static_cast<double>(want[k])) << "seed " << seed << ", " << k;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Consumption of draws

TEST(Simulation, DrawsOnePerEntryInOrderAndStatesPerTransition) {
    Model m(3, 3);
    m.cell(0, 0, 1).f = onlyAt(0, 2.0); // component 0 fails at 2...
    m.cell(0, 1, 2).f = constant(3.0);  // ...moves on to state 2 at 5
    m.cell(2, 0, 2).f = onlyAt(0, 4.0); // component 2 fails at 4
    auto tree = treeOf(3, {{1, 0, 1}});
    const Outcome r = runOnce(m.matrix, *tree, 10, 777u);

    const std::vector<int> times{0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 4, 4, 4, 5, 5, 5};
    // Components are visited 0, 1, 2 in the initial pass, to-states 0, 1, 2 in each.
    std::vector<int> initial{0, 1, 2, 100, 101, 102, 200, 201, 202};
    std::vector<int> resampled{10, 11, 12, 220, 221, 222, 20, 21, 22};
    std::vector<int> wantCells = initial;
    wantCells.insert(wantCells.end(), resampled.begin(), resampled.end());
    EXPECT_EQ(cellsOf(m.log), wantCells);
    EXPECT_EQ(timesOf(m.log), times);

    // 3 x 3 initial draws and 3 per applied transition, each a fresh draw, in stream order.
    const std::vector<float> want = expectedDraws(777u, m.log.size());
    ASSERT_EQ(m.log.size(), 9u + 3u * 3u);
    for (std::size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(m.log[k].p, static_cast<double>(want[k])) << "draw " << k;
    }
    EXPECT_EQ(r.states, (States{0, 0, 0, 0, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(r.out, "");
}

TEST(Simulation, ZeroHorizonSamplesButWritesNothing) {
    Model m(2, 3);
    m.cell(1, 0, 2).f = constant(-1.0);
    auto tree = treeOf(2, {{1, 0}});
    const Outcome r = runOnce(m.matrix, *tree, 0, 9u);
    EXPECT_TRUE(r.states.empty()); // and runOnce checked every guard entry
    EXPECT_EQ(m.log.size(), 6u);
    const std::vector<float> draws = expectedDraws(9u, 6);
    EXPECT_EQ(r.out, warning("-1", draws[5]));
}

// ---------------------------------------------------------------------------------------------
// The run's timing rules

TEST(Simulation, WorkedExampleFailsIsRestoredAndFailsAgainAtOnce) {
    const Distribution never;
    const InstantaneousFailure failAt3(3);
    const Inspection inspectEvery5(5);
    TransitionMatrix matrix{{{&never, &failAt3}, {&inspectEvery5, &never}}};
    auto tree = treeOf(1, {{1}});
    for (std::uint32_t seed : {1u, 5489u, 4000000000u}) { // no draw influences it
        EXPECT_EQ(runOnce(matrix, *tree, 8, seed).states, (States{0, 0, 0, 1, 1, 1, 1, 1}));
    }
}

TEST(Simulation, NothingPendingFillsZerosWhateverTheTreeHolds) {
    // {0,0} lies within every query on its path, but the system is only looked at after a
    // transition, and none happens.
    Model m(2, 2);
    auto tree = treeOf(2, {{0, 0}});
    const Outcome r = runOnce(m.matrix, *tree, 6, 3u);
    EXPECT_EQ(r.states, States(6, 0u));
    EXPECT_EQ(m.log.size(), 4u);
}

TEST(Simulation, SameTimeUnitFiresLowerIndexFirstAndRecordsTheStateAfterBoth) {
    Model m(2, 2);
    m.cell(0, 0, 1).f = constant(3.0);
    m.cell(1, 0, 1).f = constant(3.0);
    auto tree = treeOf(2, {{1, 1}}); // only both together fail the system
    const Outcome r = runOnce(m.matrix, *tree, 6, 11u);
    EXPECT_EQ(r.states, (States{0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(cellsOf(m.log), (std::vector<int>{0, 1, 100, 101, 10, 11, 110, 111}));
    EXPECT_EQ(timesOf(m.log), (std::vector<int>{0, 0, 0, 0, 3, 3, 3, 3}));
}

TEST(Simulation, SameTimeUnitRepairHidesTheFailure) {
    // Component 0 fails at 3 and is restored within the same time unit: entry 3 shows the
    // state after both, and the restored component is sampled again at 3.
    Model m(1, 2);
    m.cell(0, 0, 1).f = onlyAt(0, 3.0);
    m.cell(0, 1, 0).f = constant(0.0);
    auto tree = treeOf(1, {{1}});
    const Outcome r = runOnce(m.matrix, *tree, 6, 12u);
    EXPECT_EQ(r.states, States(6, 0u));
    EXPECT_EQ(cellsOf(m.log), (std::vector<int>{0, 1, 10, 11, 0, 1}));
    EXPECT_EQ(timesOf(m.log), (std::vector<int>{0, 0, 3, 3, 3, 3}));
}

// Every selection raises negative delays to 0 and only the chosen component is re-sampled, so
// at most one component holds a negative delay when the next selection looks: the tie-break
// among several negative delays never shows in a run. What does show is that the overdue
// transition fires at the current time unit and leaves the other delays as they were.
TEST(Simulation, NegativeDelayFiresAtOnceWithoutShiftingOthers) {
    Model m(2, 2);
    m.cell(0, 0, 1).f = onlyAt(0, 3.0);
    m.cell(0, 1, 0).f = constant(-4.0); // overdue: fires at the current time unit
    m.cell(1, 0, 1).f = onlyAt(0, 7.0);
    auto tree = treeOf(2, {{1, 0}, {0, 1}});
    const Outcome r = runOnce(m.matrix, *tree, 10, 13u);
    EXPECT_EQ(r.states, (States{0, 0, 0, 0, 0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(timesOf(m.log), (std::vector<int>{0, 0, 0, 0, 3, 3, 3, 3, 7, 7}));
    EXPECT_EQ(r.out, ""); // the later pass has no bounds test and no warning
}

TEST(Simulation, FractionalDelaysAreTruncated) {
    Model m(1, 2);
    m.cell(0, 0, 1).f = onlyAt(0, 4.0);
    m.cell(0, 1, 0).f = constant(2.9); // at 4: fires at 6, not 6.9 rounded to 7
    auto tree = treeOf(1, {{1}});
    const Outcome r = runOnce(m.matrix, *tree, 8, 14u);
    EXPECT_EQ(r.states, (States{0, 0, 0, 0, 1, 1, 0, 0}));
    EXPECT_EQ(timesOf(m.log), (std::vector<int>{0, 0, 4, 4, 6, 6}));
}

TEST(Simulation, DelayBelowOneFiresAtTimeZero) {
    Model m(1, 2);
    m.cell(0, 0, 1).f = constant(0.9);
    auto tree = treeOf(1, {{1}});
    EXPECT_EQ(runOnce(m.matrix, *tree, 4, 15u).states, (States{1, 1, 1, 1}));
}

TEST(Simulation, TransitionsAtOrPastTheHorizonAreNotApplied) {
    for (double delay : {5.0, 6.0, 100.0}) {
        Model m(1, 2);
        m.cell(0, 0, 1).f = constant(delay);
        auto tree = treeOf(1, {{1}});
        const Outcome r = runOnce(m.matrix, *tree, 5, 16u);
        EXPECT_EQ(r.states, States(5, 0u)) << "delay " << delay;
        EXPECT_EQ(m.log.size(), 2u) << "delay " << delay; // not applied, nothing re-sampled
    }
    Model m(1, 2);
    m.cell(0, 0, 1).f = constant(4.0); // the last time unit still counts
    auto tree = treeOf(1, {{1}});
    EXPECT_EQ(runOnce(m.matrix, *tree, 5, 16u).states, (States{0, 0, 0, 0, 1}));
    EXPECT_EQ(m.log.size(), 4u);
}

TEST(Simulation, HorizonTestDoesNotWrapAround) {
    // At 3 a delay of 2147483646 is pending: 3 + 2147483646 is beyond every int, not negative.
    Model m(1, 2);
    m.cell(0, 0, 1).f = onlyAt(0, 3.0);
    m.cell(0, 1, 0).f = constant(2147483646.0);
    auto tree = treeOf(1, {{1}});
    const Outcome r = runOnce(m.matrix, *tree, 10, 17u);
    EXPECT_EQ(r.states, (States{0, 0, 0, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(m.log.size(), 4u);
}

// ---------------------------------------------------------------------------------------------
// Samples without a usable delay

TEST(Simulation, InitialOutOfBoundsSampleWarnsAndCountsAsNoTransition) {
    // Seed 2184493 was picked because its first draw, 0.749999762, prints as 0.75.
    constexpr std::uint32_t kSeed = 2184493u;
    const std::vector<float> draws = expectedDraws(kSeed, 2);
    ASSERT_EQ(streamed(draws[0]), "0.75");

    Model m(1, 2);
    m.cell(0, 0, 0).f = constant(-2.5); // a self-transition; if it fired it would be re-sampled
    auto tree = treeOf(1, {{1}});
    const Outcome r = runOnce(m.matrix, *tree, 5, kSeed);
    EXPECT_EQ(r.out, "Warning: nextTimeDouble is out of bounds: -2.5  0.75\n");
    EXPECT_EQ(m.log.size(), 2u);
    EXPECT_EQ(r.states, States(5, 0u));
}

TEST(Simulation, WarningPrintsBothNumbersInDefaultNotation) {
    const std::vector<double> samples{-2.5,         3e9,
                                      kNever, // the largest delay is in bounds: no warning
                                      2147483647.5, std::numeric_limits<double>::infinity(),
                                      -0.0001,      -1e-05};
    const int n = static_cast<int>(samples.size());
    Model m(1, n);
    for (int j = 0; j < n; ++j) {
        m.cell(0, 0, j).f = constant(samples[static_cast<std::size_t>(j)]);
    }
    auto tree = treeOf(1, {{1}});
    const Outcome r = runOnce(m.matrix, *tree, 3, 18u);
    const std::vector<float> p = expectedDraws(18u, samples.size());
    const std::string want = warning("-2.5", p[0]) + warning("3e+09", p[1]) +
                             warning("2.14748e+09", p[3]) + warning("inf", p[4]) +
                             warning("-0.0001", p[5]) + warning("-1e-05", p[6]);
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.states, States(3, 0u));
    EXPECT_EQ(m.log.size(), samples.size());
}

TEST(Simulation, NotANumberIsNoTransitionInEitherPass) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    {
        Model m(1, 2);
        m.cell(0, 0, 1).f = constant(nan);
        auto tree = treeOf(1, {{1}});
        const Outcome r = runOnce(m.matrix, *tree, 5, 19u);
        EXPECT_EQ(r.states, States(5, 0u));
        EXPECT_EQ(m.log.size(), 2u);
    }
    {
        // After the failure at 2 the restoration is NaN; the self-transition at +3 is the only
        // real candidate and must win.
        Model m(1, 2);
        m.cell(0, 0, 1).f = onlyAt(0, 2.0);
        m.cell(0, 1, 0).f = constant(nan);
        m.cell(0, 1, 1).f = constant(3.0);
        auto tree = treeOf(1, {{1}});
        const Outcome r = runOnce(m.matrix, *tree, 8, 20u);
        EXPECT_EQ(r.states, (States{0, 0, 1, 1, 1, 1, 1, 1}));
        EXPECT_EQ(cellsOf(m.log), (std::vector<int>{0, 1, 10, 11, 10, 11}));
        EXPECT_EQ(timesOf(m.log), (std::vector<int>{0, 0, 2, 2, 5, 5}));
    }
}

TEST(Simulation, RangeErrorInTheInitialPassWarnsMinusInfinity) {
    Model m(1, 2);
    m.cell(0, 0, 1).f = [](double, int) -> double {
        throw std::out_of_range("p must be in [0,1]");
    };
    auto tree = treeOf(1, {{1}});
    const Outcome r = runOnce(m.matrix, *tree, 5, 21u);
    EXPECT_EQ(r.out, warning("-inf", expectedDraws(21u, 2)[1]));
    EXPECT_EQ(r.states, States(5, 0u));
    EXPECT_EQ(m.log.size(), 2u);
}

TEST(Simulation, RangeErrorWhenResamplingMakesTheTransitionDueAtOnce) {
    Model m(1, 3);
    m.cell(0, 0, 1).f = onlyAt(0, 3.0);
    m.cell(0, 1, 2).f = [](double, int) -> double {
        throw std::out_of_range("p must be in [0,1]");
    };
    m.cell(0, 2, 0).f = constant(2.0);
    auto tree = treeOf(1, {{1}});
    const Outcome r = runOnce(m.matrix, *tree, 8, 22u);
    // State 1 at 3, state 2 at once, restored at 5.
    EXPECT_EQ(r.states, (States{0, 0, 0, 1, 1, 0, 0, 0}));
    EXPECT_EQ(cellsOf(m.log), (std::vector<int>{0, 1, 2, 10, 11, 12, 20, 21, 22, 0, 1, 2}));
    EXPECT_EQ(timesOf(m.log), (std::vector<int>{0, 0, 0, 3, 3, 3, 3, 3, 3, 5, 5, 5}));
    EXPECT_EQ(r.out, "");
}

TEST(Simulation, NormalRejectingADrawOfZeroIsNoTransition) {
    // Seed 173423 draws an exact 0 early in its stream; find where, independently.
    constexpr std::uint32_t kSeed = 173423u;
    const std::vector<float> draws = expectedDraws(kSeed, 200);
    std::size_t zero = 0;
    while (zero < draws.size() && draws[zero] != 0.0f) {
        ++zero;
    }
    ASSERT_LT(zero, draws.size());

    // One single-state component per draw up to and including the zero one.
    const Normal lifetime(1000.0, 1.0);
    const int components = static_cast<int>(zero) + 1;
    const std::vector<std::vector<const Distribution *>> oneState{{&lifetime}};
    const TransitionMatrix matrix(static_cast<std::size_t>(components), oneState);
    auto tree = treeOf(components, {});
    const Outcome r = runOnce(matrix, *tree, 10, kSeed);
    EXPECT_EQ(r.out, "Warning: nextTimeDouble is out of bounds: -inf  0\n");
    EXPECT_EQ(r.states, States(10, 0u));
}

TEST(Simulation, OtherQuantileErrorsEndTheRun) {
    {
        Model m(1, 2);
        m.cell(0, 0, 1).f = [](double, int) -> double { throw std::runtime_error("initial"); };
        auto tree = treeOf(1, {{1}});
        EXPECT_THROW(runOnce(m.matrix, *tree, 5, 23u), std::runtime_error);
    }
    {
        Model m(1, 2);
        m.cell(0, 0, 1).f = onlyAt(0, 1.0);
        m.cell(0, 1, 1).f = [](double, int) -> double { throw std::domain_error("later"); };
        auto tree = treeOf(1, {{1}});
        EXPECT_THROW(runOnce(m.matrix, *tree, 5, 23u), std::domain_error);
    }
}

TEST(Simulation, ModelThatNeverAdvancesTheClockIsStopped) {
    Model m(1, 1, false);
    m.cell(0, 0, 0).f = constant(0.0); // a self-transition due again at once, forever
    auto tree = treeOf(1, {});
    EXPECT_THROW(runOnce(m.matrix, *tree, 3, 24u), std::runtime_error);
}

TEST(Simulation, ProgressGuardCountsPerTimeUnit) {
    // One transition per time unit for longer than the guard's count: never stuck.
    const int simTime = static_cast<int>(RunCore::transitionLimit(1)) + 11;
    Model m(1, 2, false);
    m.cell(0, 0, 1).f = constant(1.0);
    m.cell(0, 1, 0).f = constant(1.0);
    auto tree = treeOf(1, {{1}});
    const Outcome r = runOnce(m.matrix, *tree, simTime, 25u);
    ASSERT_EQ(r.states.size(), static_cast<std::size_t>(simTime));
    std::size_t wrong = 0;
    for (std::size_t t = 0; t < r.states.size(); ++t) {
        wrong += r.states[t] != t % 2 ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0u);
}

// ---------------------------------------------------------------------------------------------
// Validation of the model

std::string messageOf(const TransitionMatrix &matrix, const CutsetTree *tree) {
    try {
        TransitionModel model(matrix, tree);
    } catch (const std::invalid_argument &e) {
        return e.what();
    }
    return "accepted";
}

TEST(TransitionModel, MissingTreeIsReportedBeforeAnythingElse) {
    const Distribution never;
    const std::string nullTree = "Cutset matrix must not be null.";
    const TransitionMatrix noComponents;
    const TransitionMatrix noRows(1);
    const TransitionMatrix missingCell{{{&never, nullptr}, {&never, &never}}};
    const TransitionMatrix shortComponent{{{&never, &never}, {&never, &never}}, {{&never}}};
    const TransitionMatrix fine{{{&never}}};
    EXPECT_EQ(messageOf(noComponents, nullptr), nullTree);
    EXPECT_EQ(messageOf(noRows, nullptr), nullTree);
    EXPECT_EQ(messageOf(missingCell, nullptr), nullTree);
    EXPECT_EQ(messageOf(shortComponent, nullptr), nullTree);
    EXPECT_EQ(messageOf(fine, nullptr), nullTree);
}

TEST(TransitionModel, EmptyMatrixOrFirstComponentWithoutRows) {
    const Distribution never;
    CutsetTree tree(1);
    const std::string empty = "Transitions matrix must not be empty.";
    const TransitionMatrix noComponents;
    const TransitionMatrix noRows(1);
    TransitionMatrix firstWithoutRows(2);
    firstWithoutRows[1] = {{&never}};
    const TransitionMatrix fine{{{&never}}};
    ASSERT_EQ(noRows.size(), 1u);
    EXPECT_EQ(messageOf(noComponents, &tree), empty);
    EXPECT_EQ(messageOf(noRows, &tree), empty);
    EXPECT_EQ(messageOf(firstWithoutRows, &tree), empty);
    EXPECT_EQ(messageOf(fine, &tree), "accepted");
}

TEST(TransitionModel, ShapeAndMissingConsultedCellsAreRejected) {
    const Distribution never;
    CutsetTree tree(2);
    const std::vector<TransitionMatrix> bad{
        {{{&never, &never}, {&never, &never}}, {{&never, &never}}},     // too few rows
        {{{&never, &never}, {&never}}},                                 // row too short
        {{{&never, &never}, {&never, &never}}, {{&never, &never}, {}}}, // empty row
        {{{&never, &never}, {&never, nullptr}}},                        // None consulted
        {{{&never, &never}, {&never, &never}}, {{nullptr, &never}, {&never, &never}}},
    };
    for (std::size_t k = 0; k < bad.size(); ++k) {
        EXPECT_THROW(TransitionModel(bad[k], &tree), std::invalid_argument) << "matrix " << k;
    }
}

TEST(TransitionModel, CellsBeyondTheStateCountAreNeverConsulted) {
    // The state count is component 0's number of rows; longer rows, and further rows of other
    // components, are allowed, and nothing beyond the count is sampled, not even a cell that
    // would fire at once.
    Model m(2, 2);
    Scripted eager(99, &m.log);
    eager.f = constant(0.0);
    TransitionMatrix matrix = m.matrix;
    matrix[0][0].push_back(&eager);
    matrix[1][0].push_back(&eager);
    matrix[1].push_back({&eager, &eager, &eager});
    auto tree = treeOf(2, {{1, 0}, {0, 1}});
    const Outcome r = runOnce(matrix, *tree, 4, 26u);
    EXPECT_EQ(r.states, States(4, 0u));
    EXPECT_EQ(cellsOf(m.log), (std::vector<int>{0, 1, 100, 101}));
}

TEST(TransitionModel, MissingCellBeyondTheStateCountIsRefusedToo) {
    // A run never samples these cells, but a None in the model is a mistake wherever it is.
    const Distribution never;
    CutsetTree tree(2);
    const TransitionMatrix longRow{{{&never, &never}, {&never, &never, nullptr}}};
    const TransitionMatrix extraRow{{{&never, &never}, {&never, &never}},
                                    {{&never, &never}, {&never, &never}, {nullptr, nullptr}}};
    EXPECT_EQ(messageOf(longRow, &tree),
              "Transitions matrix: component 0, transition from state 1 to state 2 is None; use "
              "Distribution() for a transition that never happens.");
    EXPECT_EQ(messageOf(extraRow, &tree),
              "Transitions matrix: component 1, transition from state 2 to state 0 is None; use "
              "Distribution() for a transition that never happens.");
}

// ---------------------------------------------------------------------------------------------
// Runners

// Three components that fail and are repaired at random, and a tree of two cut sets.
struct RandomModel {
    Exponential failure{0.05};
    Uniform repair{1.0, 10.0};
    Distribution never;
    TransitionMatrix matrix;
    std::unique_ptr<CutsetTree> tree = treeOf(3, {{1, 1, 0}, {0, 0, 1}});
    RandomModel() {
        for (int c = 0; c < 3; ++c) {
            matrix.push_back({{&never, &failure}, {&repair, &never}});
        }
    }
};

// A ragged matrix of scripted cells: component c has states[c] states, cell numbers as Model's.
struct RaggedModel {
    explicit RaggedModel(const std::vector<int> &states) {
        for (std::size_t c = 0; c < states.size(); ++c) {
            auto &rows = matrix.emplace_back(static_cast<std::size_t>(states[c]));
            for (int i = 0; i < states[c]; ++i) {
                for (int j = 0; j < states[c]; ++j) {
                    cells.push_back(
                        std::make_unique<Scripted>(static_cast<int>(c) * 100 + i * 10 + j, &log));
                    rows[static_cast<std::size_t>(i)].push_back(cells.back().get());
                }
            }
        }
    }
    TransitionMatrix matrix;
    std::vector<Call> log;
    std::vector<std::unique_ptr<Scripted>> cells;
};

TEST(TransitionModel, RaggedKeepsEachComponentsOwnStates) {
    RaggedModel m({2, 4, 1, 3});
    CutsetTree tree(4);
    const TransitionModel model(m.matrix, &tree, TransitionModel::Shape::Ragged);
    ASSERT_EQ(model.nComponents(), 4);
    for (int c = 0; c < 4; ++c) {
        const auto &rows = m.matrix[static_cast<std::size_t>(c)];
        ASSERT_EQ(model.nStates(c), static_cast<int>(rows.size()));
        for (std::size_t from = 0; from < rows.size(); ++from) {
            const TransitionModel::Row row = model.row(c, static_cast<int>(from));
            ASSERT_EQ(row.size, static_cast<int>(rows.size()));
            for (std::size_t to = 0; to < rows.size(); ++to) {
                EXPECT_EQ(row[static_cast<int>(to)].distribution, rows[from][to])
                    << c << " " << from << " " << to;
            }
        }
    }
    // Read square, the same matrix is refused: component 2 has fewer rows than component 0.
    EXPECT_THROW(TransitionModel(m.matrix, &tree), std::invalid_argument);
}

TEST(TransitionModel, RaggedRefusesAComponentWithoutStatesOrWithShortRows) {
    const Distribution never;
    CutsetTree tree(2);
    const auto ragged = [&tree](const TransitionMatrix &matrix) {
        try {
            TransitionModel model(matrix, &tree, TransitionModel::Shape::Ragged);
        } catch (const std::invalid_argument &e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(ragged({{{&never, &never}, {&never, &never}}, {}}),
              "Transitions matrix: component 1 has 0 rows; it needs at least 1 (its working "
              "state).");
    EXPECT_EQ(ragged({{{&never}}, {{&never, &never, &never}, {&never, &never}, {&never}}}),
              "Transitions matrix: component 1, from-state 1 has 2 entries (a component has as "
              "many states as rows: 3).");
    EXPECT_EQ(ragged({{{&never}}, {{&never, &never}, {&never, nullptr}}}),
              "Transitions matrix: component 1, transition from state 1 to state 1 is None; use "
              "Distribution() for a transition that never happens.");
    EXPECT_EQ(ragged({{{&never}}, {{&never, &never}, {&never, &never}}}), "accepted");
}

TEST(TransitionModel, ARaggedRunDrawsEachComponentsOwnRow) {
    // A run's first pass draws one number per state of each component's own row, in order:
    // two for component 0, three for component 1, one for component 2.
    RaggedModel m({2, 3, 1});
    auto tree = treeOf(3, {{1, 1, 0}});
    const TransitionModel model(m.matrix, tree.get(), TransitionModel::Shape::Ragged);
    CutsetIndex cutsets(*tree, model.nComponents());
    std::vector<std::uint32_t> states(5, kUntouched);
    Simulation sim(model, cutsets);
    StateRecorder recorder(states.data());
    sim.run(5, 7u, recorder);
    EXPECT_EQ(cellsOf(m.log), (std::vector<int>{0, 1, 100, 101, 102, 200}));
    const std::vector<float> draws = expectedDraws(7u, 6);
    for (std::size_t k = 0; k < m.log.size(); ++k) {
        EXPECT_EQ(m.log[k].p, static_cast<double>(draws[k])) << "draw " << k;
    }
}

TEST(TransitionModel, SquareMatricesGiveTheSameRunsRaggedOrSquare) {
    const RandomModel rm;
    for (int simTime : {1, 50, 400}) {
        const RunStatistics a = runnerStatistics(60, simTime, rm.matrix, rm.tree.get(), 11);
        TransitionModel square(rm.matrix, rm.tree.get());
        TransitionModel ragged(rm.matrix, rm.tree.get(), TransitionModel::Shape::Ragged);
        for (int c = 0; c < square.nComponents(); ++c) {
            ASSERT_EQ(square.nStates(c), ragged.nStates(c));
            for (int from = 0; from < square.nStates(c); ++from) {
                for (int to = 0; to < square.nStates(c); ++to) {
                    EXPECT_EQ(square.row(c, from)[to].distribution,
                              ragged.row(c, from)[to].distribution);
                }
            }
        }
        // runnerStatistics reads ragged, runnerMultipleSim square: the same failed runs.
        testing::internal::CaptureStdout();
        const auto counts = runnerMultipleSim(60, simTime, rm.matrix, rm.tree.get(), 11);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(a.failedRuns.size(), counts.size());
        for (std::size_t t = 0; t < counts.size(); ++t) {
            EXPECT_EQ(a.failedRuns[t], static_cast<std::int64_t>(counts[t])) << "unit " << t;
        }
    }
}

States sumOfSingles(const RandomModel &m, int n, int simTime, int seed) {
    States total(static_cast<std::size_t>(simTime), 0u);
    for (int i = 0; i < n; ++i) {
        const int runSeed =
            static_cast<int>(static_cast<std::uint32_t>(seed) + static_cast<std::uint32_t>(i));
        const States one = runnerSingleSim(simTime, m.matrix, m.tree.get(), runSeed);
        EXPECT_EQ(one.size(), total.size());
        for (std::size_t t = 0; t < one.size() && t < total.size(); ++t) {
            EXPECT_LE(one[t], 1u);
            total[t] += one[t];
        }
    }
    return total;
}

class ThreadLimit {
public:
    explicit ThreadLimit(int n) : saved(platform::maxThreads()) { limitOMPThreads(n); }
    ~ThreadLimit() { limitOMPThreads(saved); }

private:
    int saved;
};

TEST(Runners, BatchIsTheSumOfSingleRunsSeededOneApart) {
    RandomModel m;
    const int n = 130; // more than two chunks of 50
    const int simTime = 60;
    const int seed = 12345;
    const States want = sumOfSingles(m, n, simTime, seed);
    // The model must actually produce failures for the comparison to mean something.
    std::uint64_t failures = 0;
    for (std::uint32_t v : want) {
        failures += v;
    }
    ASSERT_GT(failures, 0u);
    ASSERT_LT(failures, static_cast<std::uint64_t>(n) * simTime);

    testing::internal::CaptureStdout();
    const States sequential = runnerMultipleSim(n, simTime, m.matrix, m.tree.get(), seed);
    States parallel[3];
    for (int threads = 1; threads <= 3; ++threads) {
        ThreadLimit limit(threads);
        parallel[threads - 1] = runnerParallelSim(n, simTime, m.matrix, m.tree.get(), seed);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sequential, want);
    for (int threads = 1; threads <= 3; ++threads) {
        EXPECT_EQ(parallel[threads - 1], want) << threads << " threads";
    }
}

TEST(Runners, BatchSeedsWrapPastTheLargestInt) {
    RandomModel m;
    const States want = sumOfSingles(m, 3, 40, INT_MAX); // INT_MAX, INT_MIN, INT_MIN + 1
    testing::internal::CaptureStdout();
    const States sequential = runnerMultipleSim(3, 40, m.matrix, m.tree.get(), INT_MAX);
    const States parallel = runnerParallelSim(3, 40, m.matrix, m.tree.get(), INT_MAX);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sequential, want);
    EXPECT_EQ(parallel, want);
}

TEST(Runners, EmptyBatchBuildsNoRunAndSoValidatesNothing) {
    testing::internal::CaptureStdout();
    const States sequential = runnerMultipleSim(0, 5, {}, nullptr, 1);
    const States parallel = runnerParallelSim(0, 5, {}, nullptr, 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sequential, States(5, 0u));
    EXPECT_EQ(parallel, States(5, 0u));
}

TEST(Runners, ValidationFailureReachesTheCaller) {
    RandomModel m;
    EXPECT_THROW(runnerSingleSim(5, m.matrix, nullptr, 1), std::invalid_argument);
    testing::internal::CaptureStdout();
    EXPECT_THROW(runnerMultipleSim(2, 5, {}, m.tree.get(), 1), std::invalid_argument);
    EXPECT_THROW(runnerParallelSim(2, 5, m.matrix, nullptr, 1), std::invalid_argument);
    testing::internal::GetCapturedStdout();
}

TEST(Runners, ZeroHorizonStillSamplesEveryRun) {
    Model m(2, 3);
    auto tree = treeOf(2, {{1, 1}});
    EXPECT_TRUE(runnerSingleSim(0, m.matrix, tree.get(), 5).empty());
    EXPECT_EQ(m.log.size(), 6u);
    m.log.clear();
    testing::internal::CaptureStdout();
    const States batch = runnerMultipleSim(3, 0, m.matrix, tree.get(), 5);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(batch.empty());
    ASSERT_EQ(m.log.size(), 18u);
    // Runs 0, 1, 2 are seeded 5, 6, 7: each one's six draws open its own stream.
    for (std::uint32_t run = 0; run < 3; ++run) {
        const std::vector<float> want = expectedDraws(5u + run, 6);
        for (std::size_t k = 0; k < 6; ++k) {
            EXPECT_EQ(m.log[run * 6 + k].p, static_cast<double>(want[k])) << run << "/" << k;
        }
    }
}

TEST(Runners, RunErrorEndsTheBatch) {
    Model m(1, 2, false);
    m.cell(0, 0, 1).f = [](double, int) -> double { throw std::runtime_error("broken"); };
    auto tree = treeOf(1, {{1}});
    testing::internal::CaptureStdout();
    EXPECT_THROW(runnerMultipleSim(5, 4, m.matrix, tree.get(), 1), std::runtime_error);
    EXPECT_THROW(runnerParallelSim(120, 4, m.matrix, tree.get(), 1), std::runtime_error);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("All Simulations Done."), std::string::npos);
}

TEST(Runners, InterruptStopsTheBatch) {
    RandomModel m;
    struct Stop {};
    int checks = 0;
    const InterruptCheck stopAtThird = [&checks] {
        if (++checks >= 3) {
            throw Stop{};
        }
    };
    testing::internal::CaptureStdout();
    EXPECT_THROW(runnerMultipleSim(100, 10, m.matrix, m.tree.get(), 1, stopAtThird), Stop);
    checks = 0;
    {
        ThreadLimit limit(1); // the calling thread then performs every run
        EXPECT_THROW(runnerParallelSim(100, 10, m.matrix, m.tree.get(), 1, stopAtThird), Stop);
    }
    testing::internal::GetCapturedStdout();
}

// Chunks, claimed one thread at a time: consecutive, never past 50, and a quarter of one
// thread's share of what is left, so a batch ends with single runs.
TEST(RunDispenser, ChunksCoverTheBatchAndShrinkToSingleRuns) {
    for (const int threads : {1, 2, 3, 256}) {
        for (const int n : {0, 1, 7, 50, 130, 401, 1000, 100000}) {
            RunDispenser dispenser(n, threads);
            int expectBegin = 0;
            int begin = -1;
            int end = -1;
            std::vector<int> sizes;
            while (dispenser.next(begin, end)) {
                ASSERT_EQ(begin, expectBegin) << n << " runs, " << threads << " threads";
                const int left = n - begin;
                const int want = std::min(std::max(left / (4 * threads), 1), 50);
                ASSERT_EQ(end - begin, want)
                    << n << " runs, " << threads << " threads, " << left << " left";
                sizes.push_back(end - begin);
                expectBegin = end;
            }
            EXPECT_EQ(expectBegin, n);
            EXPECT_FALSE(dispenser.next(begin, end)) << "stays exhausted";
            if (n > 0) {
                EXPECT_EQ(sizes.back(), 1);
            }
            if (n >= 200 * threads + 50) {
                EXPECT_EQ(sizes.front(), 50);
            }
        }
    }
    int begin = 0;
    int end = 0;
    EXPECT_FALSE(RunDispenser(-5, 2).next(begin, end));
}

TEST(RunDispenser, EveryRunIsClaimedOnceAcrossThreads) {
    const int n = 200000;
    RunDispenser dispenser(n, 4);
    std::vector<std::vector<int>> claimed(4);
    std::vector<std::thread> threads;
    for (auto &mine : claimed) {
        threads.emplace_back([&dispenser, &mine] {
            int begin = 0;
            int end = 0;
            while (dispenser.next(begin, end)) {
                for (int i = begin; i < end; ++i) {
                    mine.push_back(i);
                }
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    std::vector<int> times(n, 0);
    for (const auto &mine : claimed) {
        for (int i : mine) {
            ++times[static_cast<std::size_t>(i)];
        }
    }
    EXPECT_EQ(std::count(times.begin(), times.end(), 1), n);
}

// ---------------------------------------------------------------------------------------------
// The logic as a graph of gates against the same logic as cut sets

// Two-state components with their own failure rates; every third one repaired within a unit
// or two, so that failures and repairs share time units.
struct GraphModel {
    std::vector<std::unique_ptr<Distribution>> cells;
    Distribution never;
    TransitionMatrix matrix;
    GraphModel(std::mt19937 &rng, int n) {
        for (int c = 0; c < n; ++c) {
            cells.push_back(std::make_unique<Exponential>(1.0 / testlogic::draw(rng, 5, 60)));
            if (c % 3 == 0) {
                cells.push_back(std::make_unique<Uniform>(0.0, 2.0));
            } else {
                cells.push_back(std::make_unique<Exponential>(1.0 / testlogic::draw(rng, 2, 15)));
            }
            const Distribution *fail = cells[cells.size() - 2].get();
            const Distribution *repair = cells.back().get();
            matrix.push_back({{&never, fail}, {repair, &never}});
        }
    }
};

void expectSharedArraysEqual(const RunStatistics &a, const RunStatistics &b,
                             const std::string &what) {
    EXPECT_EQ(a.failedRuns, b.failedRuns) << what;
    EXPECT_EQ(a.firstFailures, b.firstFailures) << what;
    EXPECT_EQ(a.systemFailures, b.systemFailures) << what;
    EXPECT_EQ(a.downtime, b.downtime) << what;
    EXPECT_EQ(a.componentDowntime, b.componentDowntime) << what;
    EXPECT_EQ(a.componentFailures, b.componentFailures) << what;
    EXPECT_EQ(a.triggeredFailures, b.triggeredFailures) << what;
    EXPECT_EQ(a.componentDowntimeSquares, b.componentDowntimeSquares) << what;
}

std::int64_t total(const std::vector<std::int64_t> &v) {
    std::int64_t sum = 0;
    for (const std::int64_t x : v) {
        sum += x;
    }
    return sum;
}

// A random DAG, its minimal cut sets found by enumeration, and the one-or-of-ands graph of
// those cut sets: all three must give the same runs.
TEST(FaultTreeRuns, GraphAndItsCutsetsGiveIdenticalStatistics) {
    std::mt19937 rng(424242u);
    int systemFailures = 0;
    for (int trial = 0; trial < 12; ++trial) {
        const int n = testlogic::draw(rng, 2, 8);
        const testlogic::Logic logic = testlogic::randomLogic(rng, n, testlogic::draw(rng, 2, 12));
        const auto graph = testlogic::build(logic);
        const std::vector<Vec> minimal = testlogic::minimalCutsets(logic);
        if (minimal.empty()) {
            continue; // a top that never fails is refused; tested below
        }
        const auto cutsets = treeOf(n, minimal);
        const std::vector<Vec> stored = cutsets->getCutsets();
        ASSERT_EQ(stored.size(), minimal.size()) << "the tree keeps every minimal cut set";
        tavoq::FaultTree flat(n);
        std::vector<int> ands;
        for (const Vec &cutset : stored) {
            std::vector<int> members;
            for (int c = 0; c < n; ++c) {
                if (cutset[static_cast<std::size_t>(c)] == 1) {
                    members.push_back(c);
                }
            }
            ands.push_back(flat.addGate("and", members));
        }
        flat.setTop(flat.addGate("or", ands));

        GraphModel model(rng, n);
        const int runs = 120;
        const int simTime = 150;
        const int seed = 1000 + trial;
        const std::string what = "trial " + std::to_string(trial);
        const RunStatistics byCutsets =
            runnerStatistics(runs, simTime, model.matrix, cutsets.get(), seed);
        const RunStatistics byFlat = runnerStatistics(runs, simTime, model.matrix, &flat, seed);
        RunStatistics byGraph[3];
        for (int threads = 1; threads <= 3; ++threads) {
            ThreadLimit limit(threads);
            byGraph[threads - 1] =
                runnerStatistics(runs, simTime, model.matrix, graph.get(), seed);
        }
        expectSharedArraysEqual(byGraph[0], byCutsets, what);
        expectSharedArraysEqual(byFlat, byCutsets, what);
        for (int threads = 2; threads <= 3; ++threads) {
            const RunStatistics &other = byGraph[threads - 1];
            expectSharedArraysEqual(other, byGraph[0], what + ", threads");
            EXPECT_EQ(other.gateDowntime, byGraph[0].gateDowntime) << what;
            EXPECT_EQ(other.gateFailures, byGraph[0].gateFailures) << what;
            EXPECT_EQ(other.gateTriggered, byGraph[0].gateTriggered) << what;
            EXPECT_EQ(other.gateDowntimeSquares, byGraph[0].gateDowntimeSquares) << what;
        }

        // The cut-set gates of the flat graph are the cut sets, and the top is the system.
        EXPECT_EQ(std::vector<std::int64_t>(byFlat.gateTriggered.begin(),
                                            byFlat.gateTriggered.end() - 1),
                  byCutsets.cutsetFailures)
            << what;
        for (const RunStatistics *s : {&byFlat, static_cast<const RunStatistics *>(&byGraph[0])}) {
            const std::size_t top = s->gateTriggered.size() - 1;
            EXPECT_EQ(s->gateTriggered[top], total(s->systemFailures)) << what;
            EXPECT_EQ(s->gateDowntime[top], total(s->downtime)) << what;
            EXPECT_GE(s->gateFailures[top], s->gateTriggered[top]) << what;
            EXPECT_TRUE(s->cutsetFailures.empty());
        }
        EXPECT_TRUE(byCutsets.gateTriggered.empty());
        EXPECT_TRUE(byCutsets.gateDowntime.empty());
        EXPECT_TRUE(byCutsets.gateDowntimeSquares.empty());
        ASSERT_EQ(byGraph[0].gateDowntime.size(), logic.gates.size());
        systemFailures += static_cast<int>(total(byCutsets.systemFailures));
    }
    EXPECT_GT(systemFailures, 100); // the comparisons saw the verdict change
}

// Each sum of squares is the sum of the squares of the runs' own figures.
TEST(FaultTreeRuns, SquaresSumTheSquaresOfEachRun) {
    std::mt19937 rng(99u);
    const testlogic::Logic logic = testlogic::randomLogic(rng, 6, 10);
    const auto tree = testlogic::build(logic);
    GraphModel model(rng, 6);
    const int runs = 40;
    const int seed = -7; // wraps like every batch seed
    const RunStatistics batch = runnerStatistics(runs, 200, model.matrix, tree.get(), seed);
    std::vector<double> components(6, 0.0);
    std::vector<double> gates(logic.gates.size(), 0.0);
    for (int i = 0; i < runs; ++i) {
        const RunStatistics one = runnerStatistics(1, 200, model.matrix, tree.get(), seed + i);
        for (std::size_t c = 0; c < components.size(); ++c) {
            components[c] +=
                static_cast<double>(one.componentDowntime[c] * one.componentDowntime[c]);
            EXPECT_EQ(one.componentDowntimeSquares[c],
                      static_cast<double>(one.componentDowntime[c] * one.componentDowntime[c]));
        }
        for (std::size_t g = 0; g < gates.size(); ++g) {
            gates[g] += static_cast<double>(one.gateDowntime[g] * one.gateDowntime[g]);
        }
    }
    EXPECT_EQ(batch.componentDowntimeSquares, components);
    EXPECT_EQ(batch.gateDowntimeSquares, gates);
    double spread = 0;
    for (std::size_t g = 0; g < gates.size(); ++g) {
        // Squares of sums differ from sums of squares once runs differ.
        spread += gates[g] - static_cast<double>(batch.gateDowntime[g]) *
                                 static_cast<double>(batch.gateDowntime[g]) / runs;
    }
    EXPECT_GT(spread, 0.0);
}

TEST(FaultTreeRuns, TreeIsCheckedWhenTheFirstRunIsBuilt) {
    Distribution never;
    Exponential fail(0.1);
    const TransitionMatrix two{{{&never, &fail}, {&fail, &never}},
                               {{&never, &fail}, {&fail, &never}}};
    tavoq::FaultTree noTop(2);
    noTop.addGate("and", {0, 1});
    tavoq::FaultTree three(3);
    three.setTop(three.addGate("or", {0, 1, 2}));
    const auto message = [&](const tavoq::FaultTree *tree) {
        try {
            runnerStatistics(1, 10, two, tree, 1);
        } catch (const std::invalid_argument &e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(message(nullptr), "Fault tree must not be null.");
    EXPECT_NE(message(&noTop).find("no top"), std::string::npos) << message(&noTop);
    EXPECT_NE(message(&three).find("3 components and the transitions matrix 2"), std::string::npos)
        << message(&three);
    // No runs, no checks: the arrays still have the tree's sizes.
    const RunStatistics none = runnerStatistics(0, 10, two, &three, 1);
    EXPECT_EQ(none.gateTriggered, std::vector<std::int64_t>{0});
    EXPECT_EQ(none.gateDowntimeSquares, std::vector<double>{0.0});
    EXPECT_TRUE(none.cutsetFailures.empty());
    // The refused call released its pin: the tree can change again.
    noTop.setTop(2);
    EXPECT_EQ(runnerStatistics(3, 10, two, &noTop, 1).gateTriggered.size(), 1u);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// How often a run looks at the interrupt check and the stop flag

// Component 0 flips at every unit and feeds `width` gates; component 1 never moves. Returns
// the looks a run of simTime units made.
std::uint64_t looksOfAFlippingComponent(int width, int simTime) {
    const Distribution never;
    const Inspection everyUnit(1);
    TransitionMatrix matrix{{{&never, &everyUnit}, {&everyUnit, &never}},
                            {{&never, &never}, {&never, &never}}};
    FaultTree tree(2);
    std::vector<int> gates;
    for (int k = 0; k < width; ++k) {
        gates.push_back(tree.addGate("and", {0, 1}));
    }
    tree.setTop(tree.addGate("or", gates));
    const GateGraph graph(tree);
    const TransitionModel model(matrix);
    Simulation sim(model, graph);
    std::vector<std::uint32_t> changes(static_cast<std::size_t>(simTime), 0u);
    FailureCounts recorder(changes.data());
    sim.run(simTime, 1u, recorder);
    return sim.checks();
}

TEST(Simulation, LooksComeByWorkNotByTransitions) {
    // Each of the simTime - 1 transitions costs itself, its two draws and `width` counts. A
    // look comes once the work since the last one reaches the budget, so the work between two
    // looks is at least the budget and less than the budget plus one transition.
    for (const auto &[width, simTime] : {std::pair{20'000, 1'000}, std::pair{1, 1'000'000}}) {
        const double each = 3.0 + width;
        const double work = static_cast<double>(simTime - 1) * each;
        const auto budget = static_cast<double>(RunCore::kWorkBetweenChecks);
        const auto looks = static_cast<double>(looksOfAFlippingComponent(width, simTime));
        EXPECT_LE(looks, work / budget) << width << " counts a transition";
        EXPECT_GE(looks, std::floor(work / (budget + each))) << width << " counts a transition";
    }
}
