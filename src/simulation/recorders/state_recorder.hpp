#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavoq {

/// The whole 0/1 state vector of one run (runnerSingleSim).
class StateRecorder {
public:
    static constexpr bool kTracksComponents = false;
    static constexpr bool kTracksCauses = false;
    static constexpr bool kTracksGates = false;
    static constexpr bool kCountsDelayWarnings = false;

    explicit StateRecorder(std::uint32_t *runStates) : runStates(runStates) {}
    void beginRun() {}
    void stretch(int from, int to, std::uint32_t state) {
        std::fill(runStates + from, runStates + to, state);
    }
    void componentFailed(int, int) {}
    void delayOutOfBounds(int, bool) {}
    void componentRestored(int, int) {}
    void rise(int, const std::int32_t *, std::size_t) {}
    void endRun(int, const std::vector<int> &) {}

private:
    std::uint32_t *runStates;
};

} // namespace tavoq
