#pragma once

/// What a run reports, and to whom. The engine tells a recorder, in time order:
/// - stretch(from, to, state): the system state in force over units [from, to), where the
///   state of a unit is the one after its last transition; the stretches cover [0, simTime)
///   without gaps and are never empty;
/// - componentFailed / componentRestored (when kTracksComponents): component c crossed from
///   state 0 to a failed state, or back, at unit t;
/// - gateFailed / gateRestored (when kTracksGates, for a graph whose gates have statistics of
///   their own): gate g's output turned failed, or working, at unit t;
/// - delayOutOfBounds(c, negative): component c's first draw of the run for some to-state
///   was below 0 (negative) or past kNoTransition; a recorder with kCountsDelayWarnings
///   counts it, and for the others the engine prints the warning line
///   (platform::printDelayOutOfBounds) instead;
/// - rise (when kTracksCauses): the transition of component c turned the verdict from working
///   to failed, turning the given gates failed (for cut sets: completing those cut sets);
/// - endRun(simTime, states): the run is over; states are the components' final states.
/// Recorders are template arguments of the run, so unused hooks cost nothing.
///
/// The recorders, one header each under recorders/:
/// - StateRecorder: the whole 0/1 state vector of one run (runnerSingleSim);
/// - FailureCounts: failed runs per time unit over many runs (the batch runners);
/// - StatisticsRecorder: what runnerStatistics counts (see run_statistics.hpp);
/// - CriticalityRecorder: how long each watched node is critical (runnerImportance).

#include "simulation/recorders/criticality_recorder.hpp"
#include "simulation/recorders/failure_counts.hpp"
#include "simulation/recorders/state_recorder.hpp"
#include "simulation/recorders/statistics_recorder.hpp"
