#pragma once

/// Every array that runnerStatistics returns, declared once. From these lists come the
/// fields of RunStatistics, the per-thread sums of StatisticsSlot and their merge, the
/// getters of the Python type (with the docstrings below) and its `statistics` attribute,
/// which tavoq_tools checks its own field list against.
///
/// An entry is X(name, axis, kind, combine, doc):
/// - axis: what the array is indexed by: Run (in run order), Bin (of the curves),
///   Component, Gate (of a FaultTree), Cutset (stored cut sets, getCutsets order), Pool (crew
///   pools of the interactions);
/// - kind: Count, an int64 count; Square, a sum over runs of products of per-run counts,
///   exact per thread (SquareSum) and float64 in the result;
/// - combine: how two batches of consecutive runs make one: Sum element by element, or
///   Concatenate in run order;
/// - doc: the getter's docstring.
///
/// The lists differ in how a batch gathers them:
/// - TAVOQ_CURVES: per bin, kept per thread as the changes of failed stretches (see
///   StatisticsSlot); plannedRuns only for models with planned states, else empty;
/// - TAVOQ_PER_RUN: written by each run at its own index; plannedDowntime as plannedRuns;
/// - TAVOQ_ITEM_SUMS: per component, gate, cut set or crew pool, summed over runs per thread
///   and then over the threads.
/// A new statistic is an entry in TAVOQ_ITEM_SUMS, the recorder's code that counts it, and
/// its field in tavoq_tools.results.counts.BatchStatistics.

namespace tavoq::statistics {

enum class Axis { Run, Bin, Component, Gate, Cutset, Pool };
enum class Kind { Count, Square };
enum class Combine { Sum, Concatenate };

} // namespace tavoq::statistics

// clang-format off
#define TAVOQ_CURVES(X)                                                                          \
    X(failedRuns, Bin, Count, Sum,                                                               \
      "Per bin: the sum over its time units of the runs whose system is failed then (with "      \
      "binWidth 1, the failed runs per time unit)")                                              \
    X(firstFailures, Bin, Count, Sum,                                                            \
      "Per bin: runs whose system is failed for the first time at one of its time units")        \
    X(plannedRuns, Bin, Count, Sum,                                                              \
      "Per bin, with interactions that have a planned state (else empty): the sum over its "     \
      "time units of the runs down for planned reasons only (failedRuns includes them)")

#define TAVOQ_PER_RUN(X)                                                                         \
    X(systemFailures, Run, Count, Concatenate,                                                   \
      "Per run: time units at which the system fails (failed there, and at 0 or working the "    \
      "unit before)")                                                                            \
    X(downtime, Run, Count, Concatenate, "Per run: time units at which the system is failed")    \
    X(firstFailureTimes, Run, Count, Concatenate,                                                \
      "Per run: the first time unit at which the system is failed, simTime when it never is "    \
      "(exact whatever binWidth)")                                                               \
    X(plannedDowntime, Run, Count, Concatenate,                                                  \
      "Per run, as plannedRuns: time units down for planned reasons only (downtime includes "    \
      "them)")

#define TAVOQ_ITEM_SUMS(X)                                                                       \
    X(componentDowntime, Component, Count, Sum,                                                  \
      "Per component: time units at which it is failed, over all runs")                          \
    X(componentFailures, Component, Count, Sum,                                                  \
      "Per component: transitions from state 0 to a failed state")                               \
    X(triggeredFailures, Component, Count, Sum,                                                  \
      "Per component: system failures that its transition caused")                              \
    X(componentDowntimeSquares, Component, Square, Sum,                                          \
      "Per component: the sum over runs of the square of its failed time units in the run "      \
      "(float64, from an exact integer sum)")                                                    \
    X(componentFailuresSquares, Component, Square, Sum,                                          \
      "Per component: the sum over runs of the square of its failures in the run")               \
    X(triggeredFailuresSquares, Component, Square, Sum,                                          \
      "Per component: the sum over runs of the square of the system failures its transition "    \
      "caused in the run")                                                                       \
    X(triggeredTimesSystemFailures, Component, Square, Sum,                                      \
      "Per component: the sum over runs of the system failures its transition caused in the "    \
      "run times the run's systemFailures")                                                      \
    X(negativeDelays, Component, Count, Sum,                                                     \
      "Per component: draws of a run's first pass (one per to-state) below 0, read as no "       \
      "transition; the other runners print a warning line for each")                            \
    X(delaysPastLimit, Component, Count, Sum,                                                    \
      "Per component: draws of a run's first pass past the largest delay, 2147483647, read as "  \
      "no transition")                                                                           \
    X(cutsetFailures, Cutset, Count, Sum,                                                        \
      "Per stored cut set (getCutsets order): system failures at which the causing transition "  \
      "completed it; empty for a FaultTree")                                                     \
    X(cutsetFailuresSquares, Cutset, Square, Sum,                                                \
      "Per stored cut set: the sum over runs of the square of its cutsetFailures in the run; "   \
      "empty for a FaultTree")                                                                   \
    X(cutsetTimesSystemFailures, Cutset, Square, Sum,                                            \
      "Per stored cut set: the sum over runs of its cutsetFailures in the run times the run's "  \
      "systemFailures; empty for a FaultTree")                                                   \
    X(gateDowntime, Gate, Count, Sum,                                                            \
      "Per gate of a FaultTree (empty for a CutsetTree): time units at which its output is "     \
      "failed, over all runs")                                                                   \
    X(gateFailures, Gate, Count, Sum,                                                            \
      "Per gate of a FaultTree: crossings of its output from working to failed, over all runs")  \
    X(gateTriggered, Gate, Count, Sum,                                                           \
      "Per gate of a FaultTree: system failures at which the causing transition turned it "      \
      "from working to failed")                                                                  \
    X(gateDowntimeSquares, Gate, Square, Sum,                                                    \
      "Per gate of a FaultTree: the sum over runs of the square of its failed time units in "    \
      "the run (float64, from an exact integer sum)")                                            \
    X(gateUnitFailures, Gate, Count, Sum,                                                        \
      "Per gate of a FaultTree: time units at which its output is failed and was working at "    \
      "the unit before (or t = 0), over all runs: its failures counted as systemFailures "       \
      "counts the system's")                                                                     \
    X(gateUnitFailuresSquares, Gate, Square, Sum,                                                \
      "Per gate of a FaultTree: the sum over runs of the square of its gateUnitFailures in the " \
      "run")                                                                                     \
    X(gateTriggeredSquares, Gate, Square, Sum,                                                   \
      "Per gate of a FaultTree: the sum over runs of the square of its gateTriggered in the "    \
      "run")                                                                                     \
    X(gateTriggeredTimesSystemFailures, Gate, Square, Sum,                                       \
      "Per gate of a FaultTree: the sum over runs of its gateTriggered in the run times the "    \
      "run's systemFailures")                                                                    \
    X(crewBusy, Pool, Count, Sum, "Per crew pool: crew-units busy, summed over runs")            \
    X(crewBusySquares, Pool, Square, Sum,                                                        \
      "Per crew pool: the sum over runs of the square of a run's busy crew-units")               \
    X(crewWait, Pool, Count, Sum,                                                                \
      "Per crew pool: units spent waiting for a crew, summed over the waiting components and "   \
      "runs")                                                                                    \
    X(crewWaitSquares, Pool, Square, Sum,                                                        \
      "Per crew pool: the sum over runs of the square of a run's waiting units")                 \
    X(crewRequests, Pool, Count, Sum, "Per crew pool: requests for a crew, summed over runs")    \
    X(crewRequestsSquares, Pool, Square, Sum,                                                    \
      "Per crew pool: the sum over runs of the square of a run's requests")                      \
    X(crewWaitTimesRequests, Pool, Square, Sum,                                                  \
      "Per crew pool: the sum over runs of a run's waiting units times its requests")            \
    X(crewLongestQueue, Pool, Count, Sum,                                                        \
      "Per crew pool: the sum over runs of a run's longest queue")                               \
    X(crewLongestQueueSquares, Pool, Square, Sum,                                                \
      "Per crew pool: the sum over runs of the square of a run's longest queue")                 \
    X(crewSaturatedFailures, Pool, Count, Sum,                                                   \
      "Per crew pool: system failures that began while all its crews were busy and a unit "      \
      "waited for one (after the transitions of the failure's time unit), over all runs")        \
    X(crewSaturatedFailuresSquares, Pool, Square, Sum,                                           \
      "Per crew pool: the sum over runs of the square of its crewSaturatedFailures in the run")  \
    X(crewSaturatedTimesSystemFailures, Pool, Square, Sum,                                       \
      "Per crew pool: the sum over runs of its crewSaturatedFailures in the run times the "      \
      "run's systemFailures")

#define TAVOQ_RUN_STATISTICS(X) TAVOQ_CURVES(X) TAVOQ_PER_RUN(X) TAVOQ_ITEM_SUMS(X)
// clang-format on
