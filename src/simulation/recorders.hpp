#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

/// What a run reports, and to whom. The engine tells a recorder, in time order:
/// - stretch(from, to, state): the system state in force over units [from, to), where the
///   state of a unit is the one after its last transition; the stretches cover [0, simTime)
///   without gaps and are never empty;
/// - componentFailed / componentRestored (when kTracksComponents): component c crossed from
///   state 0 to a failed state, or back, at unit t;
/// - gateFailed / gateRestored (when kTracksGates, for a graph whose gates have statistics of
///   their own): gate g's output turned failed, or working, at unit t;
/// - rise (when kTracksCauses): the transition of component c turned the verdict from working
///   to failed, turning the given gates failed (for cut sets: completing those cut sets);
/// - endRun(simTime, states): the run is over; states are the components' final states.
/// Recorders are templates arguments of the run, so unused hooks cost nothing.

/// The whole 0/1 state vector of one run (runnerSingleSim).
class StateRecorder {
public:
    static constexpr bool kTracksComponents = false;
    static constexpr bool kTracksCauses = false;
    static constexpr bool kTracksGates = false;

    explicit StateRecorder(std::uint32_t *runStates) : runStates(runStates) {}
    void beginRun() {}
    void stretch(int from, int to, std::uint32_t state) {
        std::fill(runStates + from, runStates + to, state);
    }
    void componentFailed(int, int) {}
    void componentRestored(int, int) {}
    void rise(int, const std::int32_t *, std::size_t) {}
    void endRun(int, const std::vector<int> &) {}

private:
    std::uint32_t *runStates;
};

/// Failed runs per time unit over many runs, kept as a difference array: +1 where a failed
/// stretch starts, -1 where it ends. A run costs its number of changes, not its horizon; the
/// counts are its prefix sums (FailureCounts::counts). Arithmetic is modulo 2^32 and every
/// prefix sum is a count of runs, so the wrap is exact.
class FailureCounts {
public:
    static constexpr bool kTracksComponents = false;
    static constexpr bool kTracksCauses = false;
    static constexpr bool kTracksGates = false;

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
