#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavoq {

/// Failed runs per time unit over many runs, kept as a difference array: +1 where a failed
/// stretch starts, -1 where it ends. A run costs its number of changes, not its horizon; the
/// counts are its prefix sums (FailureCounts::counts). Arithmetic is modulo 2^32 and every
/// prefix sum is a count of runs, so the wrap is exact.
class FailureCounts {
public:
    static constexpr bool kTracksComponents = false;
    static constexpr bool kTracksCauses = false;
    static constexpr bool kTracksGates = false;
    static constexpr bool kCountsDelayWarnings = false;

    /// `changes` holds simTime entries, zeroed, and outlives the recorder.
    explicit FailureCounts(std::uint32_t *changes) : changes(changes) {}
    void beginRun() { failed = 0; }
    void stretch(int from, int, std::uint32_t state) {
        if (state != failed) {
            changes[from] += state != 0 ? 1u : ~0u;
            failed = state;
        }
    }
    void componentFailed(int, int) {}
    void delayOutOfBounds(int, bool) {}
    void componentRestored(int, int) {}
    void rise(int, const std::int32_t *, std::size_t) {}
    void endRun(int, const std::vector<int> &) {}

    /// Turns the difference array into counts, in place.
    static void counts(std::uint32_t *changes, std::size_t n) {
        std::uint32_t running = 0;
        for (std::size_t t = 0; t < n; ++t) {
            running += changes[t];
            changes[t] = running;
        }
    }

private:
    std::uint32_t *changes;
    std::uint32_t failed = 0;
};

} // namespace tavoq
