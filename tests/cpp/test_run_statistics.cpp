#include "simulation/run_statistics.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cutset/cutset_tree.hpp"
#include "distributions/continuous.hpp"
#include "platform/openmp.hpp"
#include "runners/runners.hpp"

using namespace tavoq;

namespace {

class Threads {
public:
    explicit Threads(int n) : saved(platform::maxThreads()) { limitOMPThreads(n); }
    ~Threads() { limitOMPThreads(saved); }
    Threads(const Threads &) = delete;
    Threads &operator=(const Threads &) = delete;

private:
    int saved;
};

// Two pumps in parallel in series with a valve; repairs of 1 to 10 units, so failed stretches
// start, end and span bins of every width below.
struct Station {
    Exponential failure{0.05};
    Uniform repair{1.0, 10.0};
    Distribution never;
    TransitionMatrix matrix;
    CutsetTree tree{3};
    Station() {
        for (int c = 0; c < 3; ++c) {
            matrix.push_back({{&never, &failure}, {&repair, &never}});
        }
        tree.constructTree({{1, 1, 0}, {0, 0, 1}});
    }
};

std::vector<std::int64_t> binned(const std::vector<std::int64_t> &perUnit, int width) {
    std::vector<std::int64_t> out((perUnit.size() + static_cast<std::size_t>(width) - 1) /
                                      static_cast<std::size_t>(width),
                                  0);
    for (std::size_t t = 0; t < perUnit.size(); ++t) {
        out[t / static_cast<std::size_t>(width)] += perUnit[t];
    }
    return out;
}

class Binning : public ::testing::TestWithParam<int> {};

TEST_P(Binning, CurvesAreTheUnitCurvesSummedPerBinAndTheRestIsUnchanged) {
    const int threads = GetParam();
    const Threads limit(threads);
    Station m;
    const int runs = 130;
    const int simTime = 61;
    const RunStatistics units = runnerStatistics(runs, simTime, m.matrix, &m.tree, 9);
    std::int64_t failedUnits = 0;
    for (const std::int64_t v : units.failedRuns) {
        failedUnits += v;
    }
    ASSERT_GT(failedUnits, 0);
    ASSERT_LT(failedUnits, std::int64_t{runs} * simTime / 4); // failures come and go
    for (const int width : {2, 3, 7, 60, 61, 1000}) {
        const RunStatistics bins = runnerStatistics(runs, simTime, m.matrix, &m.tree, 9, width);
        EXPECT_EQ(bins.binWidth, width);
        EXPECT_EQ(bins.failedRuns.size(), static_cast<std::size_t>((simTime + width - 1) / width));
        EXPECT_EQ(bins.failedRuns, binned(units.failedRuns, width)) << width;
        EXPECT_EQ(bins.firstFailures, binned(units.firstFailures, width)) << width;
        EXPECT_EQ(bins.systemFailures, units.systemFailures) << width;
        EXPECT_EQ(bins.downtime, units.downtime) << width;
        EXPECT_EQ(bins.componentDowntime, units.componentDowntime) << width;
        EXPECT_EQ(bins.componentFailures, units.componentFailures) << width;
        EXPECT_EQ(bins.cutsetFailures, units.cutsetFailures) << width;
        EXPECT_EQ(bins.componentDowntimeSquares, units.componentDowntimeSquares) << width;
    }
}

TEST_P(Binning, OneUnitBinsAreTheParallelRunnersCounts) {
    const Threads limit(GetParam());
    Station m;
    testing::internal::CaptureStdout();
    const std::vector<std::uint32_t> counts = runnerParallelSim(200, 50, m.matrix, &m.tree, 3);
    testing::internal::GetCapturedStdout();
    const RunStatistics stats = runnerStatistics(200, 50, m.matrix, &m.tree, 3);
    EXPECT_EQ(stats.binWidth, 1);
    EXPECT_EQ(stats.failedRuns, std::vector<std::int64_t>(counts.begin(), counts.end()));
}

INSTANTIATE_TEST_SUITE_P(Threads, Binning, ::testing::Values(1, 2, 3));

TEST(Binning, WidthBelowOneIsRefusedEvenWithoutRuns) {
    Station m;
    for (const int width : {0, -1, INT32_MIN}) {
        for (const int runs : {0, 5}) {
            try {
                runnerStatistics(runs, 10, m.matrix, &m.tree, 1, width);
                FAIL() << "binWidth " << width << " accepted";
            } catch (const std::invalid_argument &error) {
                EXPECT_EQ(std::string(error.what()),
                          "binWidth must be at least 1, got " + std::to_string(width) + ".");
            }
        }
    }
    EXPECT_TRUE(runnerStatistics(5, 0, m.matrix, &m.tree, 1, 4).failedRuns.empty());
}

// Component 0's first draws are all negative, component 1's all past the largest delay.
TEST(DelayCounts, FirstDrawsOutOfBoundsAreCountedAndNotPrinted) {
    const Distribution never;
    const Uniform negative(-5.0, -1.0);
    const Uniform farOff(3e9, 4e9);
    const Exponential fails(0.1);
    const TransitionMatrix matrix{{{&never, &negative}, {&never, &never}},
                                  {{&never, &farOff}, {&never, &never}},
                                  {{&never, &fails}, {&fails, &never}}};
    CutsetTree tree(3);
    tree.constructTree({{1, 1, 1}});
    const int runs = 120;
    for (const int threads : {1, 2}) {
        const Threads limit(threads);
        testing::internal::CaptureStdout();
        const RunStatistics stats = runnerStatistics(runs, 40, matrix, &tree, 5);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(stats.negativeDelays, (std::vector<std::int64_t>{runs, 0, 0}));
        EXPECT_EQ(stats.delaysPastLimit, (std::vector<std::int64_t>{0, runs, 0}));
        // Out of bounds reads as no transition: those two components never fail.
        EXPECT_EQ(stats.componentFailures[0], 0);
        EXPECT_EQ(stats.componentFailures[1], 0);
    }
    testing::internal::CaptureStdout();
    runnerMultipleSim(runs, 40, matrix, &tree, 5);
    const std::string out = testing::internal::GetCapturedStdout();
    std::size_t lines = 0;
    for (auto at = out.find("Warning: nextTimeDouble is out of bounds: "); at != std::string::npos;
         at = out.find("Warning: nextTimeDouble is out of bounds: ", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 2u * runs); // the classic runners print each
}

} // namespace
