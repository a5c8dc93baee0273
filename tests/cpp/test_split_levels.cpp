#include "rare/split_levels.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "rare/likelihood_ratio.hpp"

using namespace tavoq;

namespace {

// Levels 1 and 2 split 4 and 5 times; 3 is the failed system.
struct Levels {
    std::vector<int> thresholds{1, 2, 3};
    std::vector<int> splits{4, 5};
    SplitLevels levels{thresholds, splits, 1000};
};

// Moves `path` to importance 2 at once (levels 1 and 2 crossed together) with the ratio
// `ratio`, the draws answered from `draws`; the retrials born, per level.
std::vector<int> jumpTwoLevels(const SplitLevels &levels, SplitPath &path, double ratio,
                               std::vector<double> draws) {
    SplitRoot out = levels.root();
    std::vector<int> born(3, 0);
    std::size_t next = 0;
    const bool dropped = levels.moved(
        path, 2, 0, out, [&](const SplitPath &copy) { ++born[copy.born]; }, ratio,
        [&] { return draws.at(next++); });
    EXPECT_FALSE(dropped);
    EXPECT_EQ(next, draws.size()); // every draw it was given, no more
    return born;
}

TEST(SplitLevels, AnUnweighedPathSplitsByTheSplitsAndDrawsNothing) {
    const Levels l;
    SplitPath path = l.levels.mainPath(false);
    EXPECT_EQ(jumpTwoLevels(l.levels, path, 1.0, {}), (std::vector<int>{0, 3, 4}));
    EXPECT_EQ(l.levels.excessAtTop(path), 1.0);
}

TEST(SplitLevels, AWeighedPathSplitsByItsWeightWithRouletteBelowOne) {
    const Levels l;
    // Weight 0.1 at level 0: 0.4 copies expected at level 1, so one with chance 0.4 (the
    // path itself, weighing 1 / 0.1 times the level's weight), then 5 at level 2.
    SplitPath kept = l.levels.mainPath(true);
    EXPECT_EQ(jumpTwoLevels(l.levels, kept, 0.1, {0.39}), (std::vector<int>{0, 0, 4}));
    EXPECT_DOUBLE_EQ(l.levels.excessAtTop(kept), 10.0);
    // Past the chance, the roulette stops following it above level 0: nothing is born and
    // it weighs nothing up there.
    SplitPath stopped = l.levels.mainPath(true);
    EXPECT_EQ(jumpTwoLevels(l.levels, stopped, 0.1, {0.41}), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(l.levels.excessAtTop(stopped), 0.0);
    // Weight 2.5: 10 copies at level 1 (no draw: a whole number), each weighing 1 / 2.5.
    SplitPath heavy = l.levels.mainPath(true);
    EXPECT_EQ(jumpTwoLevels(l.levels, heavy, 2.5, {}), (std::vector<int>{0, 9, 4}));
    EXPECT_DOUBLE_EQ(l.levels.excessAtTop(heavy), 0.4);
}

TEST(LikelihoodRatio, SumsOverUnitsAsItsUnitsDo) {
    const LikelihoodRatio none{};
    EXPECT_EQ(none.at(17), 1.0);
    EXPECT_EQ(none.over(3, 40), 37.0);
    const LikelihoodRatio biased{std::log(0.02), 1e-3};
    double sum = 0.0;
    for (int u = 5; u < 900; ++u) {
        sum += biased.at(u);
    }
    EXPECT_NEAR(biased.over(5, 900), sum, 1e-12 * sum);
    EXPECT_DOUBLE_EQ(biased.at(99), 0.02 * std::exp(0.1));
    const LikelihoodRatio ignored{-std::numeric_limits<double>::infinity(), 1e-3};
    EXPECT_EQ(ignored.at(3), 0.0);
    EXPECT_EQ(ignored.over(3, 9), 0.0);
}

} // namespace
