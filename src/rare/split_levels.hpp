#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "rare/likelihood_ratio.hpp"

namespace tavoq {

/// What one root of splitting found, before the splits' weight: per first failure of a path
/// (its unit, the component whose transition turned the system failed then, the failed
/// components at the end of that unit, and the path's likelihood ratio then), and summed over
/// the root's trajectories, the units they ended failed and their failures (units that ended
/// failed after one that did not), counted and weighed by the likelihood ratio (which is 1
/// unless common causes are biased). Per intermediate level k (index k - 1): the crossings
/// up into it, the retrials born there, and how many of those went on up to level k + 1.
struct SplitRoot {
    std::vector<std::int32_t> failureUnit;
    std::vector<double> failureWeight;
    std::vector<std::int32_t> cause;
    std::vector<std::int32_t> failedCount; ///< per first failure: its failed components
    std::vector<std::int32_t> failed;      ///< those components, one failure after another
    std::int64_t downtime = 0;
    std::int64_t failures = 0;
    double weightedDowntime = 0.0;
    double weightedFailures = 0.0;
    std::int64_t trajectories = 0;
    std::vector<std::int64_t> crossings;
    std::vector<std::int64_t> born;
    std::vector<std::int64_t> through;
};

/// What a trajectory carries beside its engine's state: the level it was born at (0: the
/// main), the level it was last seen at, whether its path has failed, whether the stop under
/// way at its last unit's end has been down for a failure, and whether it has gone on above
/// the level it was born at.
///
/// When paths carry likelihood ratios (SplitLevels::mainPath(true)), `excess` holds, per level
/// from 0 to the highest it has reached, its weight there over the splits' weight of that level (1
/// / the product of the splits up to it), taken at the ratio it crossed up with: 1 / that ratio,
/// or 0 where the roulette stopped following it. Empty: every such number is 1.
struct SplitPath {
    int born = 0;
    int level = 0;
    bool pathFailed = false;
    bool failedStop = false;
    bool wentOn = false;
    std::vector<double> excess;
};

/// The rules of RESTART shared by the splitting engines, over thresholds of an importance
/// whose last is the failed system: when a trajectory splits or is dropped, and what a root
/// counts at the end of each unit.
///
/// Paths that carry likelihood ratios split by weight (a weight window): a path crossing up
/// into level k with weight w there becomes about w / W_k copies in expectation, W_k being
/// the splits' weight of level k, each of weight W_k. So a path made unlikely by its ratio
/// (a biased shock that jumps levels) is followed by few copies, or by none with the
/// roulette, instead of by the product of every split it jumped. The count is the whole part
/// of w / W_k plus one with the chance of its fraction; each copy weighs w / (w / W_k), so
/// the expected weight is kept and the estimate is unbiased.
class SplitLevels {
public:
    SplitLevels(const std::vector<int> &thresholds, const std::vector<int> &splits,
                std::int64_t maxWaiting)
        : thresholds(thresholds), splits(splits), maxWaiting(maxWaiting) {}

    int levelOf(std::int32_t importance) const {
        int level = 0;
        for (const int threshold : thresholds) {
            level += importance >= threshold ? 1 : 0;
        }
        return level;
    }

    /// After a move that left the importance at `importance`, with `waiting` retrials
    /// waiting: true when the trajectory falls below the level it was born at (it is
    /// dropped); else keep(path) is called once per retrial born at each level it has newly
    /// reached (below the failed system's). For a weighed path, `ratio` is its likelihood
    /// ratio now and draw() gives uniform numbers in [0, 1) for the fractions of copies.
    /// @throws std::runtime_error  more than maxWaiting retrials would wait.
    template <typename Keep, typename Draw>
    bool moved(SplitPath &path, std::int32_t importance, std::int64_t waiting, SplitRoot &out,
               Keep &&keep, double ratio, Draw &&draw) const {
        const int failed = static_cast<int>(thresholds.size());
        const int level = levelOf(importance);
        if (level < path.born) {
            return true;
        }
        if (path.born > 0 && level > path.born && !path.wentOn) {
            ++out.through[static_cast<std::size_t>(path.born - 1)];
            path.wentOn = true;
        }
        for (int k = path.level + 1; k <= std::min(level, failed - 1); ++k) {
            const auto index = static_cast<std::size_t>(k - 1);
            ++out.crossings[index];
            int copies = splits[index] - 1;
            if (!path.excess.empty()) {
                const auto at = static_cast<std::size_t>(k);
                const double expected = path.excess[at - 1] * ratio * splits[index];
                double whole = std::floor(expected);
                if (expected > whole && draw() < expected - whole) {
                    whole += 1.0;
                }
                // Beyond any memory: the waiting bound below refuses it.
                copies = static_cast<int>(std::min(whole, 2147483647.0)) - 1;
                path.excess[at] = copies >= 0 ? 1.0 / ratio : 0.0;
            }
            if (copies <= 0) {
                continue;
            }
            if (waiting + copies > maxWaiting) {
                throw std::runtime_error(
                    "Splitting keeps more than " + std::to_string(maxWaiting) +
                    " retrials waiting at once: the splitting factors are too large for this "
                    "model.");
            }
            waiting += copies;
            for (int copy = 0; copy < copies; ++copy) {
                keep(SplitPath{k, k, path.pathFailed, path.failedStop, false, path.excess});
            }
            out.born[index] += copies;
        }
        path.level = level;
        return false;
    }

    /// Unit `now` ends with the system in `state` (0 up, 1 down for a failure, 2 down for
    /// planned reasons only), which holds until `until`. The units down count whatever the
    /// reason; a stop counts one failure, when it is first down for a failure, as in crude
    /// runs. At a path's first failure, failedComponents(out.failed) appends the failed
    /// components and returns their number. `ratio` is the path's likelihood ratio.
    template <typename Failed>
    static void unitEnds(SplitPath &path, std::uint32_t state, int now, int until, int cause,
                         SplitRoot &out, Failed &&failedComponents,
                         const LikelihoodRatio &ratio = {}) {
        if (state != 0) {
            out.downtime += until - now;
            out.weightedDowntime += ratio.over(now, until);
        }
        if (state == 1) {
            if (!path.failedStop) {
                ++out.failures;
                out.weightedFailures += ratio.at(now);
            }
            // A path the roulette stopped following fails as any other, at no weight.
            if (!path.pathFailed && ratio.at(now) > 0) {
                out.failureUnit.push_back(now);
                out.failureWeight.push_back(ratio.at(now));
                out.cause.push_back(cause);
                out.failedCount.push_back(failedComponents(out.failed));
            }
            path.pathFailed = true;
        }
        path.failedStop = state != 0 && (path.failedStop || state == 1);
    }

    /// The main path of a root: weighed (excess 1 at every level) when its likelihood ratio
    /// may differ from 1.
    SplitPath mainPath(bool weighed) const {
        SplitPath path;
        if (weighed) {
            path.excess.assign(thresholds.size(), 1.0);
        }
        return path;
    }

    /// The path's weight at the failed system's level over the splits' weight there (1 when
    /// not weighed, 0 where the roulette stopped following it).
    double excessAtTop(const SplitPath &path) const {
        return path.excess.empty() ? 1.0 : path.excess[thresholds.size() - 1];
    }

    /// An empty root for these levels.
    SplitRoot root() const {
        SplitRoot out;
        const std::size_t intermediate = thresholds.size() - 1;
        out.crossings.assign(intermediate, 0);
        out.born.assign(intermediate, 0);
        out.through.assign(intermediate, 0);
        return out;
    }

private:
    const std::vector<int> &thresholds;
    const std::vector<int> &splits;
    std::int64_t maxWaiting;
};

} // namespace tavoq
