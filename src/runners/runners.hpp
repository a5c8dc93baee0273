#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "simulation/run_statistics.hpp"
#include "simulation/simulation.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

class CutsetTree;
class FaultTree;
class Interactions;

/// Batch run i is seeded with seed + i (mod 2^32), so a batch result depends only on the
/// seed, the number of runs and the model: not on the runner, the thread count or the order
/// in which runs finish.
///
/// Validation ("Cutset matrix must not be null.", "Transitions matrix must not be empty.",
/// shape and None checks, a cut set with a member past the last component, all
/// std::invalid_argument) happens when the first run is built, so a batch of 0 runs accepts
/// anything.
///
/// The batch runners accumulate only the changes of each run's system state, so a run costs
/// its transitions, not its horizon.

/// One run seeded with `seed`: 0 or 1 per time unit. @throws std::bad_alloc  simTime < 0.
std::vector<std::uint32_t> runnerSingleSim(int simTime, const TransitionMatrix &transitionsMatrix,
                                           const CutsetTree *cutSetTree, int seed,
                                           const InterruptCheck &interrupted = {});

/// nSimulations runs on the calling thread: per time unit, the number of runs failed then.
/// @throws std::runtime_error  simTime < 0 or the buffers cannot be obtained.
std::vector<std::uint32_t> runnerMultipleSim(int nSimulations, int simTime,
                                             const TransitionMatrix &transitionsMatrix,
                                             const CutsetTree *cutSetTree, int seed,
                                             const InterruptCheck &interrupted = {});

/// The same on OpenMP threads (chunks of up to 50 runs, see forEachRun in batch.hpp), each
/// thread accumulating into its own slot; the slots are merged in slot order. The first
/// exception raised by any run (or Ctrl-C, seen by the calling thread) stops every thread
/// within moments and is rethrown after the parallel region. At most kMaxThreadSlots threads.
/// In a process forked after a parallel region has run, OpenMP's threads are gone (the runtime
/// would wait for them forever), so the runs are performed on the calling thread alone; a
/// child forked by the interrupt check during the batch does the whole batch again so.
/// @throws MemoryShortage      the buffers or the threads' stacks do not fit (memory_budget).
/// @throws std::runtime_error  simTime < 0 or the buffers cannot be obtained.
std::vector<std::uint32_t> runnerParallelSim(int nSimulations, int simTime,
                                             const TransitionMatrix &transitionsMatrix,
                                             const CutsetTree *cutSetTree, int seed,
                                             const InterruptCheck &interrupted = {});

/// The batch of runnerParallelSim, counting more than failed runs (see RunStatistics), and
/// writing nothing at all: first draws out of bounds are counted per component instead of
/// printed. The matrix is read ragged (TransitionModel::Shape::Ragged): each component has
/// as many states as its rows, and a row draws one number per state of its own component;
/// with every component alike this is runnerParallelSim's reading, and its draws. The curves
/// (failedRuns, firstFailures) are kept per bin of `binWidth` time units; every other figure is
/// exact whatever the bins, and binWidth 1 gives the curves per unit. Memory: 16 bytes a bin per
/// thread and 32 more, 24 bytes a run.
/// @throws std::invalid_argument  simTime < 0, binWidth < 1, or as the other runners.
RunStatistics runnerStatistics(int nSimulations, int simTime,
                               const TransitionMatrix &transitionsMatrix,
                               const CutsetTree *cutSetTree, int seed, int binWidth = 1,
                               const InterruptCheck &interrupted = {});

/// runnerStatistics with the logic as a graph of gates, evaluated as it stands: a transition
/// costs the gates whose output changes. Besides the matrix checks, the tree must not be null
/// ("Fault tree must not be null."), must have the matrix's number of components, a top, and
/// a top that fails once every component is failed (std::invalid_argument, before any run,
/// when the first run is built as for the other runners). Fills the per-gate arrays of
/// RunStatistics; cutsetFailures stays empty. The same logic given as its cut sets gives the
/// same numbers in every other array.
///
/// With `interactions` that declare anything, the runs follow their rules on the
/// interacting engine (interacting_simulation.hpp); the tree then has the matrix's
/// components plus one leaf per standby group, and the interactions are checked against the
/// matrix and the tree (std::invalid_argument) when the first run is built. The planned
/// arrays fill when some state is planned, the crew arrays per pool. Null or empty
/// interactions take the plain engine, with its runs and numbers.
RunStatistics runnerStatistics(int nSimulations, int simTime,
                               const TransitionMatrix &transitionsMatrix,
                               const FaultTree *faultTree, int seed, int binWidth = 1,
                               const InterruptCheck &interrupted = {},
                               const Interactions *interactions = nullptr);

/// Per run of runnerRareSampling: the first unit at which the system ended failed (simTime
/// when it never did) and the logarithm of the run's likelihood ratio.
struct RareRuns {
    std::vector<std::int32_t> firstFailure;
    std::vector<double> logWeight;
    std::vector<std::int32_t> cause; ///< BiasedOutcome::cause
    /// Per run, the components failed at its first failure (none for a run that did not
    /// fail): failedCount[i] of them, one run after another in `failed`.
    std::vector<std::int32_t> failedCount;
    std::vector<std::int32_t> failed;
    /// With toHorizon, per run (BiasedOutcome): the units it ended failed, its failures, and
    /// the log of its whole path's likelihood ratio; else empty.
    std::vector<std::int32_t> downtime;
    std::vector<std::int32_t> failures;
    std::vector<double> endLogWeight;
};

/// nSimulations runs of the model without interactions under failure biasing
/// (BiasedSimulation): the exponential failure rates of components whose working state has
/// only exponential transitions are multiplied by biasWhileWorking while every component
/// works and by biasWhileDegraded while some component is failed, and failures on demand
/// rarer than demandChance are drawn with that chance, and lives of other laws that end
/// within the run with a chance below lifeChance end within it with that chance
/// (FailureBias). Each run stops at its
/// first system failure, or with toHorizon goes on to the horizon, biased alike. The mean
/// over runs of exp(logWeight) times whether the run failed by t estimates P(system failed
/// by t) without bias; exp(endLogWeight) times the downtime or the failures, their
/// expectations. Run i of the call is the batch's run
/// firstRun + i, seeded by rareRunSeed(seed, firstRun + i), on OpenMP threads: neither the
/// thread count nor the split of a batch into calls changes a run.
/// @throws std::invalid_argument  simTime < 0, a factor that is not a finite number > 0, or
///                                as runnerStatistics with a FaultTree.
RareRuns runnerRareSampling(int nSimulations, int simTime,
                            const TransitionMatrix &transitionsMatrix, const FaultTree *faultTree,
                            int seed, double biasWhileWorking, double biasWhileDegraded,
                            int firstRun = 0, const InterruptCheck &interrupted = {},
                            double demandChance = 0.0, double lifeChance = 0.0,
                            bool toHorizon = false);

/// What runnerRareSplitting found: the levels it split at (the last, the failed system), and
/// the weight of each failure, 1 / (the product of the splits); per root, the first failures
/// of its paths, the units its trajectories ended failed, their failures and the
/// trajectories run; per first failure, in root order, its root, unit and cause; per
/// intermediate level, over all roots, the crossings up into it, the retrials born there and
/// those of them that went on up (SplitRoot). With common causes biased (causeFactors, one
/// per cause) or first failures (startFactor), each first failure has its path's likelihood
/// ratio, and the downtime and failures are also summed weighed by it.
struct SplitRuns {
    std::vector<int> levels;
    double weight = 1.0;
    std::vector<double> causeFactors;
    double startFactor = 1.0;
    std::vector<std::int64_t> hits;
    std::vector<std::int64_t> downtime;
    std::vector<std::int64_t> failures;
    std::vector<double> weightedDowntime;
    std::vector<double> weightedFailures;
    std::vector<double> failureWeight;
    std::vector<std::int64_t> trajectories;
    std::vector<std::int32_t> hitRoot;
    std::vector<std::int32_t> failureUnit;
    std::vector<std::int32_t> cause;
    std::vector<std::int32_t> failedCount; ///< per first failure, then its components
    std::vector<std::int32_t> failed;
    std::vector<std::int64_t> crossings;
    std::vector<std::int64_t> born;
    std::vector<std::int64_t> through;
};

/// nRoots roots of RESTART splitting (SplittingSimulation) of the model without interactions
/// whose logic has threshold gates only. `levels` are importance thresholds (empty: every
/// integer from 1); the failed system is added as the last when missing. `splits` has one
/// factor >= 1 per level but the failed system's (empty: 1 each, crude runs). Root i of the
/// call is root firstRoot + i of the batch, its trajectories seeded by splitTrialSeed alone:
/// the same numbers on any number of threads and however the roots are split into calls.
/// With interactions, `causeFactors` draws each common cause that many times as often
/// (CauseBias), and `startFactor` the first failures (StartBias); absent, CauseBias::chosen
/// and StartBias::chosen pick them.
/// @throws std::invalid_argument  simTime < 0, levels that do not increase within 1 .. the
///                                failed level, splits of the wrong number or below 1,
///                                logic with non-coherent gates, factors CauseBias or
///                                StartBias refuses, a start factor without interactions;
///                                as runnerStatistics with a FaultTree.
/// @throws std::runtime_error     more retrials waiting at once than memory allows.
SplitRuns runnerRareSplitting(int nRoots, int simTime, const TransitionMatrix &transitionsMatrix,
                              const FaultTree *faultTree, int seed, std::vector<int> splits = {},
                              std::vector<int> levels = {}, int firstRoot = 0,
                              const InterruptCheck &interrupted = {},
                              const Interactions *interactions = nullptr,
                              std::optional<std::vector<double>> causeFactors = std::nullopt,
                              std::optional<double> startFactor = std::nullopt);

/// Per run r and watched node k of runnerImportance, at [r * nodes + k] (see
/// CriticalityRecorder): units critical while working and while failed, and the first
/// failed unit with the node held failed and held working (simTime if none); per run, the
/// units down and the first unit down (simTime if none).
struct ImportanceRuns {
    std::vector<std::int32_t> criticalWorking;
    std::vector<std::int32_t> criticalFailed;
    std::vector<std::int32_t> firstHeldFailed;
    std::vector<std::int32_t> firstHeldWorking;
    std::vector<std::int32_t> downtime;
    std::vector<std::int32_t> firstFailure;
};

/// Runs firstRun .. firstRun + nSimulations - 1 of the batch runnerStatistics makes with
/// this seed (the same draws and verdicts: run i seeded seed + i) of a model without
/// interactions whose logic is coherent (or, and, atleast), watching `nodes` (components,
/// and gates as nComponents + g): how long each is critical, working or failed, and when the
/// system would first fail with it held failed or held working. Those runs draw as these do,
/// so these are their figures.
/// @throws std::invalid_argument  a node out of range, logic that is not coherent, or as
///                                runnerStatistics with a FaultTree.
ImportanceRuns runnerImportance(int nSimulations, int simTime,
                                const TransitionMatrix &transitionsMatrix,
                                const FaultTree *faultTree, int seed,
                                const std::vector<int> &nodes, int firstRun = 0,
                                const InterruptCheck &interrupted = {});

/// Per run of runnerSamples, in the call's run order: the system failures, the units down and
/// the first unit down (simTime if none), as runnerStatistics counts them.
struct SampleRuns {
    std::vector<std::int64_t> systemFailures;
    std::vector<std::int64_t> downtime;
    std::vector<std::int64_t> firstFailureTimes;
};

/// The runs of models that differ only in their laws' parameters, as the samples of an
/// uncertainty analysis do: run k of the call is run firstRun + k of the batch seeded `seed`
/// (seed + firstRun + k), made with matrices[k / runsPerSample] (and its interactions, one
/// per matrix when given). So sample j's runs are those of runnerStatistics with its matrix
/// and the seed seed + firstRun + j * runsPerSample, bit for bit; one call spares the
/// threads' start and the checks of a call per sample.
/// @throws std::invalid_argument  simTime < 0, runsPerSample or firstRun < 0, more runs than
///                                an int counts, interactions not one per matrix, samples
///                                that differ in more than their parameters, or as
///                                runnerStatistics with a FaultTree.
SampleRuns runnerSamples(int runsPerSample, int simTime,
                         const std::vector<TransitionMatrix> &matrices, const FaultTree *faultTree,
                         int seed, int firstRun = 0,
                         const std::vector<const Interactions *> &interactions = {},
                         const InterruptCheck &interrupted = {});

/// The number of threads of later parallel runs, handed to OpenMP as it is
/// (platform::setThreadCount).
void limitOMPThreads(int maxThreads);

} // namespace tavoq
