#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavoq {

/// What one root of splitting found, unweighted: per first failure of a path (its unit, the
/// component whose transition turned the system failed then, and the failed components at
/// the end of that unit), and summed over the
/// root's trajectories, the units they ended failed and their failures (units that ended
/// failed after one that did not). Per intermediate level k (index k - 1): the crossings up
/// into it, the retrials born there, and how many of those went on up to level k + 1.
struct SplitRoot {
    std::vector<std::int32_t> failureUnit;
    std::vector<std::int32_t> cause;
    std::vector<std::int32_t> failedCount; ///< per first failure: its failed components
    std::vector<std::int32_t> failed;      ///< those components, one failure after another
    std::int64_t downtime = 0;
    std::int64_t failures = 0;
    std::int64_t trajectories = 0;
    std::vector<std::int64_t> crossings;
    std::vector<std::int64_t> born;
    std::vector<std::int64_t> through;
};

/// What a trajectory carries beside its engine's state: the level it was born at (0: the
/// main), the level it was last seen at, whether its path has failed, whether the stop under
/// way at its last unit's end has been down for a failure, and whether it has gone on above
/// the level it was born at.
struct SplitPath {
    int born = 0;
    int level = 0;
    bool pathFailed = false;
    bool failedStop = false;
    bool wentOn = false;
};

/// The rules of RESTART shared by the splitting engines, over thresholds of an importance
/// whose last is the failed system: when a trajectory splits or is dropped, and what a root
/// counts at the end of each unit.
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
    /// reached (below the failed system's).
    /// @throws std::runtime_error  more than maxWaiting retrials would wait.
    template <typename Keep>
    bool moved(SplitPath &path, std::int32_t importance, std::int64_t waiting, SplitRoot &out,
               Keep &&keep) const {
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
            const int copies = splits[index] - 1;
            if (waiting + copies > maxWaiting) {
                throw std::runtime_error(
                    "Splitting keeps more than " + std::to_string(maxWaiting) +
                    " retrials waiting at once: the splitting factors are too large for this "
                    "model.");
            }
            waiting += copies;
            for (int copy = 0; copy < copies; ++copy) {
                keep(SplitPath{k, k, path.pathFailed, path.failedStop, false});
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
    /// components and returns their number.
    template <typename Failed>
    static void unitEnds(SplitPath &path, std::uint32_t state, int now, int until, int cause,
                         SplitRoot &out, Failed &&failedComponents) {
        if (state != 0) {
            out.downtime += until - now;
        }
        if (state == 1) {
            out.failures += path.failedStop ? 0 : 1;
            if (!path.pathFailed) {
                out.failureUnit.push_back(now);
                out.cause.push_back(cause);
                out.failedCount.push_back(failedComponents(out.failed));
                path.pathFailed = true;
            }
        }
        path.failedStop = state != 0 && (path.failedStop || state == 1);
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
