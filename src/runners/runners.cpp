#include "runners/runners.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "cutset/cutset_index.hpp"
#include "cutset/cutset_tree.hpp"
#include "interactions/cause_bias.hpp"
#include "interactions/interacting_simulation.hpp"
#include "interactions/interaction_model.hpp"
#include "interactions/interactions.hpp"
#include "interactions/start_bias.hpp"
#include "logic/fault_tree.hpp"
#include "logic/gate_graph.hpp"
#include "platform/aligned_buffer.hpp"
#include "platform/console.hpp"
#include "platform/memory_budget.hpp"
#include "platform/openmp.hpp"
#include "rare/biased_simulation.hpp"
#include "rare/interacting_splitting.hpp"
#include "rare/splitting_simulation.hpp"
#include "simd/vector_add.hpp"
#include "simulation/batch.hpp"
#include "simulation/recorders.hpp"
#include "simulation/run_statistics.hpp"
#include "simulation/simulation.hpp"

namespace tavoq {

using platform::AlignedBuffer;
using platform::requireMemory;

namespace {

// Keeps Python code that runs in the middle of a call (a signal handler) from changing the
// tree that the runs are reading.
template <typename Tree> class TreePin {
public:
    explicit TreePin(const Tree *tree) : tree(tree) {
        if (tree != nullptr) {
            tree->pin();
        }
    }
    ~TreePin() {
        if (tree != nullptr) {
            tree->unpin();
        }
    }
    TreePin(const TreePin &) = delete;
    TreePin &operator=(const TreePin &) = delete;

private:
    const Tree *tree;
};

const TransitionMatrix &requireFaultTree(const TransitionMatrix &matrix, const FaultTree *tree) {
    if (tree == nullptr) {
        throw std::invalid_argument("Fault tree must not be null.");
    }
    return matrix;
}

std::shared_ptr<const GateGraph> checkedGraph(const FaultTree &tree, int nComponents,
                                              int nGroups) {
    if (tree.nComponents() != nComponents + nGroups) {
        if (nGroups > 0) {
            throw std::invalid_argument("The fault tree has " +
                                        std::to_string(tree.nComponents()) + " components; with " +
                                        std::to_string(nGroups) + " standby groups it needs " +
                                        std::to_string(nComponents + nGroups) +
                                        " (the matrix's components, then one leaf per group).");
        }
        throw std::invalid_argument("The fault tree has " + std::to_string(tree.nComponents()) +
                                    " components and the transitions matrix " +
                                    std::to_string(nComponents) + ": they must be equal.");
    }
    auto graph = tree.graph(); // refuses a tree without a top
    if (!graph->topCanFail()) {
        throw std::invalid_argument("The fault tree's top can never fail: it stays working even "
                                    "with every component failed.");
    }
    return graph;
}

// The validated model of a call: built when the first run would be, so that a batch of no
// runs accepts anything. The classic runners read the matrix square (every component
// as many states as component 0, their draws unchanged); runnerStatistics reads it ragged.
struct Model {
    Model(const TransitionMatrix &matrix, const CutsetTree *tree,
          TransitionModel::Shape shape = TransitionModel::Shape::Square)
        : transitions(matrix, tree, shape), index(tree->index(transitions.nComponents())),
          graph(std::make_shared<const GateGraph>(*index)), cutsets(*graph), cutsetPin(tree),
          faultPin(nullptr) {}
    Model(const TransitionMatrix &matrix, const FaultTree *tree, int nGroups = 0)
        : transitions(requireFaultTree(matrix, tree), TransitionModel::Shape::Ragged),
          graph(checkedGraph(*tree, transitions.nComponents(), nGroups)), cutsets(*graph),
          cutsetPin(nullptr), faultPin(tree) {}
    TransitionModel transitions;
    std::shared_ptr<const CutsetIndex> index; // held: the tree may drop its copy meanwhile
    std::shared_ptr<const GateGraph> graph;
    const GateGraph &cutsets; // the verdict's graph, whichever form the logic came in
    TreePin<CutsetTree> cutsetPin;
    TreePin<FaultTree> faultPin;
};

std::uint32_t runSeed(int seed, int i) {
    return static_cast<std::uint32_t>(seed) + static_cast<std::uint32_t>(i);
}

void writeClosingLines(int nSimulations) {
    platform::printSimulationDone(nSimulations);
    platform::printAllSimulationsDone();
}

// Linux grants nearly any allocation and kills the process when the pages are touched, so
// each runner first compares what the call will hold at its peak with what the process can
// still get (requireMemory raises MemoryError naming both). The parallel runners add the
// stacks of the threads they may start: under an address-space limit, OpenMP ends the
// process when it cannot map one. The peak counts the Python list a result becomes: a
// pointer per entry and, for counts past the integers Python keeps ready-made (up to 256),
// an int object of 32 bytes each.
std::uint64_t listBytes(std::uint64_t entries, std::uint64_t largestValue) {
    return entries * (8 + (largestValue > 256 ? 32 : 0));
}

std::uint64_t counts(int n) { return n > 0 ? static_cast<std::uint64_t>(n) : 0; }

std::vector<std::uint32_t> copyOut(const AlignedBuffer &buffer) {
    return std::vector<std::uint32_t>(buffer.data(), buffer.data() + buffer.size());
}

} // namespace

std::vector<std::uint32_t> runnerSingleSim(int simTime, const TransitionMatrix &transitionsMatrix,
                                           const CutsetTree *cutSetTree, int seed,
                                           const InterruptCheck &interrupted) {
    if (simTime >= 0) {
        const std::uint64_t units = counts(simTime);
        requireMemory(units * sizeof(std::uint32_t) + listBytes(units, 1));
    }
    if (simTime < 0) {
        throw std::bad_alloc();
    }
    std::vector<std::uint32_t> runStates(static_cast<std::size_t>(simTime));
    const Model model(transitionsMatrix, cutSetTree);
    Simulation simulation(model.transitions, model.cutsets, RunControl{&interrupted, nullptr});
    StateRecorder recorder(runStates.data());
    simulation.run(simTime, static_cast<std::uint32_t>(seed), recorder);
    return runStates;
}

std::vector<std::uint32_t> runnerMultipleSim(int nSimulations, int simTime,
                                             const TransitionMatrix &transitionsMatrix,
                                             const CutsetTree *cutSetTree, int seed,
                                             const InterruptCheck &interrupted) {
    if (simTime >= 0) {
        const std::uint64_t units = counts(simTime);
        requireMemory(2 * units * sizeof(std::uint32_t) + listBytes(units, counts(nSimulations)));
    }
    AlignedBuffer systemStates;
    if (simTime >= 0) {
        systemStates = AlignedBuffer(static_cast<std::size_t>(simTime));
    }
    if (!systemStates.ok()) {
        throw std::runtime_error("Failed to allocate systemStates in runnerMultipleSim.");
    }
    if (nSimulations > 0) {
        const Model model(transitionsMatrix, cutSetTree);
        Simulation simulation(model.transitions, model.cutsets, RunControl{&interrupted, nullptr});
        FailureCounts recorder(systemStates.data());
        for (int i = 0; i < nSimulations; ++i) {
            if (interrupted) {
                interrupted();
            }
            simulation.run(simTime, runSeed(seed, i), recorder);
            if (i % 10000 == 0) {
                platform::printSimulationDone(i);
            }
        }
        FailureCounts::counts(systemStates.data(), systemStates.size());
    }
    writeClosingLines(nSimulations);
    return copyOut(systemStates);
}

std::vector<std::uint32_t> runnerParallelSim(int nSimulations, int simTime,
                                             const TransitionMatrix &transitionsMatrix,
                                             const CutsetTree *cutSetTree, int seed,
                                             const InterruptCheck &interrupted) {
    const int slots = threadSlots();
    platform::printThreadsAvailable(slots);

    // A negative horizon is a buffer that cannot be obtained. The failure is raised, not
    // returned as an empty result that would look like a successful batch.
    const auto failAllocation = []() {
        platform::printLocalStatesAllocationError();
        throw std::runtime_error("Failed to allocate local states in runnerParallelSim.");
    };
    if (simTime >= 0) {
        const std::uint64_t units = counts(simTime);
        const BatchStacks stacks = nSimulations > 0 ? batchStacks(slots) : BatchStacks{};
        requireMemory((static_cast<std::uint64_t>(slots) + 2) * units * sizeof(std::uint32_t) +
                          listBytes(units, counts(nSimulations)),
                      {}, stacks.address, stacks.memory);
    }
    if (simTime < 0) {
        failAllocation();
    }
    const auto n = static_cast<std::size_t>(simTime);
    AlignedBuffer systemStates(n);
    if (!systemStates.ok()) {
        failAllocation();
    }
    // Each thread slot keeps the changes of its runs' failed stretches.
    std::vector<AlignedBuffer> localChanges;
    localChanges.reserve(static_cast<std::size_t>(slots));
    for (int slot = 0; slot < slots; ++slot) {
        localChanges.emplace_back(n);
        if (!localChanges.back().ok()) {
            failAllocation();
        }
    }

    if (nSimulations > 0) {
        const Model model(transitionsMatrix, cutSetTree);
        const auto restart = [&localChanges] {
            for (AlignedBuffer &changes : localChanges) {
                std::fill(changes.data(), changes.data() + changes.size(), 0u);
            }
        };
        forEachRun(nSimulations, slots, interrupted, restart, [&](int slot, RunControl control) {
            return [simulation =
                        std::make_shared<Simulation>(model.transitions, model.cutsets, control),
                    recorder = FailureCounts(localChanges[static_cast<std::size_t>(slot)].data()),
                    simTime, seed](int i) mutable {
                simulation->run(simTime, runSeed(seed, i), recorder);
                if (i % 10000 == 0) {
                    platform::printSimulationDone(i);
                }
            };
        });
    }

    writeClosingLines(nSimulations);
    for (AlignedBuffer &changes : localChanges) {
        addVectors(systemStates.data(), changes.data(), systemStates.data(), n);
    }
    FailureCounts::counts(systemStates.data(), n);
    return copyOut(systemStates);
}

namespace {

// What the result holds per cut set and per gate before any model is built (a batch of no runs
// validates nothing, and still gives arrays of the tree's sizes).
int cutsetsOf(const CutsetTree *tree) {
    int n = 0;
    if (tree != nullptr) {
        tree->forEachCutset([&n](const std::vector<int> &) { ++n; });
    }
    return n;
}
int cutsetsOf(const FaultTree *) { return 0; }
int gatesOf(const CutsetTree *) { return 0; }
int gatesOf(const FaultTree *tree) { return tree != nullptr ? tree->nGates() : 0; }
std::uint64_t edgesOf(const CutsetTree *) { return 0; }
std::uint64_t edgesOf(const FaultTree *tree) {
    std::uint64_t n = 0;
    for (int g = 0; tree != nullptr && g < tree->nGates(); ++g) {
        n += tree->inputs(g).size();
    }
    return n;
}

int binsOf(int simTime, int binWidth) {
    if (simTime < 0) {
        throw std::invalid_argument("simTime must not be negative, got " +
                                    std::to_string(simTime) + ".");
    }
    if (binWidth < 1) {
        throw std::invalid_argument("binWidth must be at least 1, got " +
                                    std::to_string(binWidth) + ".");
    }
    return simTime == 0 ? 0 : (simTime - 1) / binWidth + 1;
}

// Per thread a 64-bit and two 32-bit arrays per bin; as many to merge them, and the two
// 64-bit arrays of the result; 24 bytes a run. Per component and per gate, the counts, sums
// of squares and a run's own figures, per thread and in the result; and the gate graph. Cut
// sets are small beside these and counted with the model.
template <typename Tree>
void requireStatisticsMemory(int nBins, int runs, int slots, std::uint64_t components,
                             const Tree *tree) {
    const std::uint64_t bins = counts(nBins);
    const auto gates = static_cast<std::uint64_t>(gatesOf(tree));
    const std::uint64_t copies = static_cast<std::uint64_t>(slots) + 1;
    const BatchStacks stacks = runs > 0 ? batchStacks(slots) : BatchStacks{};
    requireMemory(bins * (16 * static_cast<std::uint64_t>(slots) + 16 + 16) + 24 * counts(runs) +
                      (components * 176 + gates * 192) * copies + 8 * edgesOf(tree),
                  {}, stacks.address, stacks.memory);
}

// The model of a statistics batch, built when a run is to be made (a batch of no runs
// validates nothing and still gives arrays of the tree's sizes), and what its arrays hold.
template <typename Tree> class StatisticsModel {
public:
    StatisticsModel(const TransitionMatrix &matrix, const Tree *tree, int runs,
                    const Interactions *interactions) {
        // Only declared interactions take the interacting engine; without, the plain loop runs.
        const bool interacting = interactions != nullptr && !interactions->empty();
        sizes.components = static_cast<int>(std::min<std::size_t>(matrix.size(), INT32_MAX));
        sizes.gates = gatesOf(tree);
        sizes.cutsets = cutsetsOf(tree);
        sizes.pools = interacting ? interactions->nPools() : 0;
        if (runs > 0) {
            build(matrix, tree, interacting ? interactions : nullptr, interactions);
        }
        // Whether kinds make a planned state: known once the interactions are checked, and
        // otherwise from the declared kinds.
        if (interactionModel) {
            planned = interactionModel->hasPlanned();
        } else if (interacting) {
            for (const auto &kinds : interactions->stateKinds()) {
                planned = planned || std::find(kinds.begin(), kinds.end(), 2) != kinds.end();
            }
        }
    }

    /// What a thread sums: a FaultTree's gates have statistics of their own; the cut sets'
    /// graph credits its gates, the cut sets and then the top, to the cut sets' arrays.
    statistics::Sizes slotSizes() const {
        statistics::Sizes slot = sizes;
        slot.gates = nTracked;
        slot.cutsets = model && nTracked == 0 ? nGates : 0;
        return slot;
    }

    std::optional<Model> model;
    std::optional<InteractionModel> interactionModel;
    statistics::Sizes sizes; // of the result
    int nGates = 0;          // of the graph the engine evaluates
    int nTracked = 0;        // of those, the gates with statistics of their own
    bool planned = false;

private:
    void build(const TransitionMatrix &matrix, const Tree *tree, const Interactions *interacting,
               const Interactions *given) {
        if constexpr (std::is_same_v<Tree, FaultTree>) {
            model.emplace(matrix, tree, interacting != nullptr ? interacting->nGroups() : 0);
            if (given != nullptr && given->nComponents() != model->transitions.nComponents()) {
                // Refused even when nothing is declared: the caller meant another model.
                throw std::invalid_argument(
                    "The interactions have " + std::to_string(given->nComponents()) +
                    " components and the transitions matrix " +
                    std::to_string(model->transitions.nComponents()) + ": they must be equal.");
            }
            if (interacting != nullptr) {
                interactionModel.emplace(*interacting, model->transitions, tree->nComponents(),
                                         tree->nNodes());
            }
        } else {
            (void)interacting;
            (void)given;
            model.emplace(matrix, tree, TransitionModel::Shape::Ragged);
        }
        sizes.components = model->transitions.nComponents();
        nGates = model->graph->nGates();
        nTracked = model->graph->reportsGates() ? nGates : 0;
        if (model->index) {
            sizes.cutsets = model->index->nCutsets();
        }
    }
};

// Performs the runs of a batch into the threads' slots and the result's per-run arrays.
template <typename Tree>
void runStatistics(const StatisticsModel<Tree> &batch, RunStatistics &result,
                   std::vector<StatisticsSlot> &perSlot, int runs,
                   const InterruptCheck &interrupted) {
    const int nBins = static_cast<int>(perSlot.front().failedUnits.size());
    const statistics::Sizes sizes = batch.slotSizes();
    const auto restart = [&] {
        for (StatisticsSlot &slot : perSlot) {
            slot = StatisticsSlot(nBins, batch.planned, sizes);
        }
    };
    const auto recorderOf = [&](int slot) {
        return std::make_shared<StatisticsRecorder>(
            perSlot[static_cast<std::size_t>(slot)], result.systemFailures.data(),
            result.downtime.data(), result.firstFailureTimes.data(), result.binWidth,
            sizes.components, batch.nGates, batch.nTracked,
            batch.planned ? result.plannedDowntime.data() : nullptr);
    };
    const int slots = static_cast<int>(perSlot.size());
    const int simTime = result.simTime;
    const int seed = result.seed;
    const Model &model = *batch.model;
    if (batch.interactionModel) {
        forEachRun(runs, slots, interrupted, restart, [&](int slot, RunControl control) {
            auto simulation = std::make_shared<InteractingSimulation>(
                model.transitions, model.cutsets, *batch.interactionModel, control);
            auto recorder = recorderOf(slot);
            recorder->watchCrews(simulation->crewPools());
            return [simulation, recorder, simTime, seed](int i) {
                recorder->setRun(i);
                simulation->run(simTime, runSeed(seed, i), *recorder);
            };
        });
    } else {
        forEachRun(runs, slots, interrupted, restart, [&](int slot, RunControl control) {
            return [simulation =
                        std::make_shared<Simulation>(model.transitions, model.cutsets, control),
                    recorder = recorderOf(slot), simTime, seed](int i) {
                recorder->setRun(i);
                simulation->run(simTime, runSeed(seed, i), *recorder);
            };
        });
    }
}

// A curve of the result: per bin, its units plus binWidth times the runs failed throughout.
// Summed in place and copied once: a curve may have a bin per unit of a long horizon, and
// a zeroed array of its length would cost as much again.
std::vector<std::int64_t> curveOf(std::vector<std::uint64_t> &units,
                                  std::vector<std::uint32_t> &whole, int binWidth) {
    FailureCounts::counts(whole.data(), whole.size());
    for (std::size_t b = 0; b < units.size(); ++b) {
        units[b] += static_cast<std::uint64_t>(binWidth) * whole[b];
    }
    return {units.begin(), units.end()};
}

// The result's array of a thread's sums, `n` items long: a cut-set graph's sums drop its top,
// and a batch of no runs gives zeros of the tree's sizes.
std::vector<std::int64_t> gathered(std::vector<std::int64_t> &&sums, std::size_t n) {
    sums.resize(n, 0);
    return std::move(sums);
}
std::vector<double> gathered(const std::vector<SquareSum> &sums, std::size_t n) {
    std::vector<double> out(n, 0.0);
    for (std::size_t k = 0; k < std::min(n, sums.size()); ++k) {
        out[k] = static_cast<double>(sums[k]);
    }
    return out;
}

// Merges the threads' slots into the result.
void gatherStatistics(std::vector<StatisticsSlot> &perSlot, const statistics::Sizes &sizes,
                      bool planned, RunStatistics &result) {
    StatisticsSlot &sums = perSlot.front();
    for (std::size_t slot = 1; slot < perSlot.size(); ++slot) {
        sums += perSlot[slot];
    }
    result.failedRuns = curveOf(sums.failedUnits, sums.wholeBins, result.binWidth);
    result.firstFailures.assign(sums.firstFailures.begin(), sums.firstFailures.end());
    if (planned) {
        result.plannedRuns = curveOf(sums.plannedUnits, sums.plannedWholeBins, result.binWidth);
    }
#define TAVOQ_GATHER(name, axis, kind, combine, doc)                                              \
    result.name = gathered(std::move(sums.name), sizes.of(statistics::Axis::axis));
    TAVOQ_ITEM_SUMS(TAVOQ_GATHER)
#undef TAVOQ_GATHER
}

template <typename Tree>
RunStatistics statisticsBatch(int nSimulations, int simTime,
                              const TransitionMatrix &transitionsMatrix, const Tree *tree,
                              int seed, int binWidth, const InterruptCheck &interrupted,
                              const Interactions *interactions = nullptr) {
    const int nBins = binsOf(simTime, binWidth);
    const int runs = std::max(nSimulations, 0);
    const int slots = threadSlots();
    requireStatisticsMemory(nBins, runs, slots, transitionsMatrix.size(), tree);
    RunStatistics result;
    result.nSimulations = nSimulations;
    result.simTime = simTime;
    result.seed = seed;
    result.binWidth = binWidth;
    const auto perRun = static_cast<std::size_t>(runs);
    result.systemFailures.assign(perRun, 0);
    result.downtime.assign(perRun, 0);
    result.firstFailureTimes.assign(perRun, 0);

    const StatisticsModel<Tree> batch(transitionsMatrix, tree, runs, interactions);
    if (batch.planned) {
        result.plannedDowntime.assign(perRun, 0);
    }
    std::vector<StatisticsSlot> perSlot;
    perSlot.reserve(static_cast<std::size_t>(slots));
    for (int slot = 0; slot < slots; ++slot) {
        perSlot.emplace_back(nBins, batch.planned, batch.slotSizes());
    }
    if (runs > 0) {
        runStatistics(batch, result, perSlot, runs, interrupted);
    }
    gatherStatistics(perSlot, batch.sizes, batch.planned, result);
    return result;
}

} // namespace

RunStatistics runnerStatistics(int nSimulations, int simTime,
                               const TransitionMatrix &transitionsMatrix,
                               const CutsetTree *cutSetTree, int seed, int binWidth,
                               const InterruptCheck &interrupted) {
    return statisticsBatch(nSimulations, simTime, transitionsMatrix, cutSetTree, seed, binWidth,
                           interrupted);
}

RunStatistics runnerStatistics(int nSimulations, int simTime,
                               const TransitionMatrix &transitionsMatrix,
                               const FaultTree *faultTree, int seed, int binWidth,
                               const InterruptCheck &interrupted,
                               const Interactions *interactions) {
    return statisticsBatch(nSimulations, simTime, transitionsMatrix, faultTree, seed, binWidth,
                           interrupted, interactions);
}

ImportanceRuns runnerImportance(int nSimulations, int simTime,
                                const TransitionMatrix &transitionsMatrix,
                                const FaultTree *faultTree, int seed,
                                const std::vector<int> &nodes, int firstRun,
                                const InterruptCheck &interrupted) {
    if (simTime < 0) {
        throw std::invalid_argument("simTime must be at least 0.");
    }
    if (firstRun < 0) {
        throw std::invalid_argument("firstRun must be at least 0.");
    }
    const int runs = std::max(nSimulations, 0);
    const Model model(transitionsMatrix, faultTree);
    const GateGraph &graph = *model.graph;
    if (graph.general()) {
        throw std::invalid_argument("runnerImportance: the logic must be coherent (or, and, "
                                    "atleast): order and non-coherent gates have no held form.");
    }
    for (const int node : nodes) {
        if (node < 0 || node >= graph.nNodes()) {
            throw std::invalid_argument("runnerImportance: node " + std::to_string(node) +
                                        " is not a component or gate of the tree.");
        }
    }
    const std::size_t perNode = counts(runs) * nodes.size();
    requireMemory(16 * perNode + 8 * counts(runs));
    ImportanceRuns result;
    for (auto *v : {&result.criticalWorking, &result.criticalFailed, &result.firstHeldFailed,
                    &result.firstHeldWorking}) {
        v->assign(perNode, 0);
    }
    result.downtime.assign(counts(runs), 0);
    result.firstFailure.assign(counts(runs), 0);
    if (runs == 0) {
        return result;
    }
    const CriticalityRecorder::Outputs outputs{
        result.criticalWorking.data(), result.criticalFailed.data(),
        result.firstHeldFailed.data(), result.firstHeldWorking.data(),
        result.downtime.data(),        result.firstFailure.data()};
    forEachRun(
        runs, threadSlots(), interrupted, [] {},
        [&](int, RunControl control) {
            return [simulation =
                        std::make_shared<Simulation>(model.transitions, model.cutsets, control),
                    recorder = std::make_shared<CriticalityRecorder>(graph, nodes, outputs),
                    simTime, seed, firstRun](int i) {
                recorder->setRun(i);
                simulation->run(simTime, runSeed(seed, firstRun + i), *recorder);
            };
        });
    return result;
}

RareRuns runnerRareSampling(int nSimulations, int simTime,
                            const TransitionMatrix &transitionsMatrix, const FaultTree *faultTree,
                            int seed, double biasWhileWorking, double biasWhileDegraded,
                            int firstRun, const InterruptCheck &interrupted, double demandChance,
                            double lifeChance, bool toHorizon) {
    if (simTime < 0) {
        throw std::invalid_argument("simTime must be at least 0.");
    }
    for (const double factor : {biasWhileWorking, biasWhileDegraded}) {
        if (!std::isfinite(factor) || factor <= 0) {
            throw std::invalid_argument("A failure bias must be a finite factor above 0.");
        }
    }
    if (!(demandChance >= 0 && demandChance < 1)) {
        throw std::invalid_argument("demandChance must be in [0, 1).");
    }
    if (!(lifeChance >= 0 && lifeChance < 1)) {
        throw std::invalid_argument("lifeChance must be in [0, 1).");
    }
    if (firstRun < 0) {
        throw std::invalid_argument("firstRun must be at least 0.");
    }
    const int runs = std::max(nSimulations, 0);
    requireMemory(16 * counts(runs));
    RareRuns result;
    result.firstFailure.assign(static_cast<std::size_t>(runs), simTime);
    result.logWeight.assign(static_cast<std::size_t>(runs), 0.0);
    result.cause.assign(static_cast<std::size_t>(runs), -1);
    if (toHorizon) {
        result.downtime.assign(static_cast<std::size_t>(runs), 0);
        result.failures.assign(static_cast<std::size_t>(runs), 0);
        result.endLogWeight.assign(static_cast<std::size_t>(runs), 0.0);
    }
    if (runs == 0) {
        return result;
    }
    const Model model(transitionsMatrix, faultTree);
    const FailureBias bias{biasWhileWorking, biasWhileDegraded, demandChance, lifeChance};
    // The failed components of each failed run, gathered per run and joined in run order.
    std::vector<std::vector<std::int32_t>> failedOf(static_cast<std::size_t>(runs));
    forEachRun(
        runs, threadSlots(), interrupted, [] {},
        [&](int, RunControl control) {
            auto simulation = std::make_shared<BiasedSimulation>(model.transitions, model.cutsets,
                                                                 bias, control);
            return [simulation, &result, &failedOf, simTime, seed, firstRun, toHorizon](int i) {
                const auto k = static_cast<std::size_t>(i);
                const BiasedOutcome outcome =
                    simulation->run(simTime, rareRunSeed(seed, firstRun + i), toHorizon);
                result.firstFailure[k] = outcome.firstFailure;
                result.logWeight[k] = outcome.logWeight;
                result.cause[k] = outcome.cause;
                if (toHorizon) {
                    result.downtime[k] = outcome.downtime;
                    result.failures[k] = outcome.failures;
                    result.endLogWeight[k] = outcome.endLogWeight;
                }
                if (outcome.firstFailure < simTime) {
                    simulation->failedComponents(failedOf[k]);
                }
            };
        });
    result.failedCount.reserve(static_cast<std::size_t>(runs));
    for (std::vector<std::int32_t> &failed : failedOf) {
        result.failedCount.push_back(static_cast<std::int32_t>(failed.size()));
        result.failed.insert(result.failed.end(), failed.begin(), failed.end());
        std::vector<std::int32_t>().swap(failed);
    }
    return result;
}

SplitRuns runnerRareSplitting(int nRoots, int simTime, const TransitionMatrix &transitionsMatrix,
                              const FaultTree *faultTree, int seed, std::vector<int> splits,
                              std::vector<int> levels, int firstRoot,
                              const InterruptCheck &interrupted, const Interactions *interactions,
                              std::optional<std::vector<double>> causeFactors,
                              std::optional<double> startFactor) {
    if (simTime < 0) {
        throw std::invalid_argument("simTime must be at least 0.");
    }
    if (firstRoot < 0) {
        throw std::invalid_argument("firstRoot must be at least 0.");
    }
    const int roots = std::max(nRoots, 0);
    if (counts(roots) + counts(firstRoot) > static_cast<std::uint64_t>(INT32_MAX)) {
        throw std::invalid_argument("firstRoot plus nRoots must be at most 2147483647.");
    }
    // Built as runnerStatistics builds it: only declared interactions take the interacting
    // engine.
    const StatisticsModel<FaultTree> batch(transitionsMatrix, faultTree, 1, interactions);
    const Model &model = *batch.model;
    const int failed = [&] {
        try {
            return (batch.interactionModel ? InteractingSimulation::startDistance(
                                                 model.cutsets, *batch.interactionModel)
                                           : FailureDistance(model.cutsets))
                .topWhenWorking();
        } catch (const std::invalid_argument &) {
            throw std::invalid_argument(
                "Splitting takes logic of or, and, atleast and order gates: with non-coherent "
                "gates (not, nand, nor, xor, iff), the distance to failure does not say how "
                "near a failure is.");
        }
    }();
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] < 1 || levels[i] > failed || (i > 0 && levels[i] <= levels[i - 1])) {
            throw std::invalid_argument(
                "Splitting levels must increase, each from 1 to " + std::to_string(failed) +
                " (the failed system: that many component failures from every component "
                "working); got " +
                std::to_string(levels[i]) + " at position " + std::to_string(i) + ".");
        }
    }
    if (levels.empty()) {
        for (int level = 1; level < failed; ++level) {
            levels.push_back(level);
        }
    }
    if (levels.empty() || levels.back() != failed) {
        levels.push_back(failed);
    }
    const std::size_t intermediate = levels.size() - 1;
    if (splits.empty()) {
        splits.assign(intermediate, 1);
    }
    if (splits.size() != intermediate) {
        throw std::invalid_argument("Give one splitting factor per level but the failed "
                                    "system's: " +
                                    std::to_string(intermediate) + ", got " +
                                    std::to_string(splits.size()) + ".");
    }
    SplitRuns result;
    result.levels = levels;
    if (batch.interactionModel) {
        const InteractionModel &im = *batch.interactionModel;
        if (!causeFactors) {
            causeFactors = CauseBias::chosen(model.cutsets, im, simTime);
        }
        result.causeFactors = CauseBias(im, std::move(*causeFactors)).factor;
        result.startFactor =
            StartBias(model.transitions, im,
                      startFactor.value_or(StartBias::chosen(model.transitions, im, simTime)))
                .factor();
    } else if (causeFactors && !causeFactors->empty()) {
        throw std::invalid_argument("Common-cause factors need a model with common causes.");
    } else if (startFactor && *startFactor != 1.0) {
        throw std::invalid_argument("A start factor needs a model with interactions: without "
                                    "them, failure biasing draws first failures more often.");
    }
    for (const int split : splits) {
        if (split < 1) {
            throw std::invalid_argument("A splitting factor must be at least 1, got " +
                                        std::to_string(split) + ".");
        }
        result.weight /= split;
    }
    const int slots = threadSlots();
    // Per thread, the retrials waiting: a kept state each, bounded so that a quarter of
    // what the process may still get holds them all.
    // An interacting trajectory is kept as a whole engine at rest.
    const std::uint64_t perWaiting =
        batch.interactionModel
            ? 96 * (counts(model.transitions.nComponents()) + counts(model.graph->nNodes())) + 4096
            : 20 * counts(static_cast<int>(transitionsMatrix.size())) + 32 +
                  (model.cutsets.general() // the gates' memory, GateState::save
                       ? 4 * (3 * counts(model.graph->nNodes()) +
                              model.cutsets.inputOffsetData()[model.cutsets.nGates()])
                       : 0);
    const std::uint64_t budget =
        std::min<std::uint64_t>(platform::readMemoryBudget().remaining().value_or(0) / 4 /
                                    std::max<std::uint64_t>(counts(slots), 1),
                                std::uint64_t{1} << 30);
    const auto maxWaiting =
        static_cast<std::int64_t>(std::max<std::uint64_t>(budget / perWaiting, 1024));
    requireMemory(counts(roots) * (48 + 8 * intermediate * 3));
    std::vector<SplitRoot> found(static_cast<std::size_t>(roots));
    if (roots > 0) {
        forEachRun(
            roots, slots, interrupted, [] {},
            [&](int, RunControl control) -> std::function<void(int)> {
                if (batch.interactionModel) {
                    auto simulation = std::make_shared<InteractingSplitting>(
                        model.transitions, model.cutsets, *batch.interactionModel, control,
                        result.causeFactors, result.startFactor);
                    return [simulation, &found, &levels, &splits, simTime, seed, firstRoot,
                            maxWaiting](int i) {
                        found[static_cast<std::size_t>(i)] = simulation->run(
                            simTime, seed, firstRoot + i, levels, splits, maxWaiting);
                    };
                }
                auto simulation = std::make_shared<SplittingSimulation>(model.transitions,
                                                                        model.cutsets, control);
                return [simulation, &found, &levels, &splits, simTime, seed, firstRoot,
                        maxWaiting](int i) {
                    found[static_cast<std::size_t>(i)] =
                        simulation->run(simTime, seed, firstRoot + i, levels, splits, maxWaiting);
                };
            });
    }
    result.crossings.assign(intermediate, 0);
    result.born.assign(intermediate, 0);
    result.through.assign(intermediate, 0);
    for (int r = 0; r < roots; ++r) {
        SplitRoot &root = found[static_cast<std::size_t>(r)];
        result.hits.push_back(static_cast<std::int64_t>(root.failureUnit.size()));
        result.downtime.push_back(root.downtime);
        result.failures.push_back(root.failures);
        result.weightedDowntime.push_back(root.weightedDowntime);
        result.weightedFailures.push_back(root.weightedFailures);
        result.failureWeight.insert(result.failureWeight.end(), root.failureWeight.begin(),
                                    root.failureWeight.end());
        result.trajectories.push_back(root.trajectories);
        result.hitRoot.insert(result.hitRoot.end(), root.failureUnit.size(), r);
        result.failureUnit.insert(result.failureUnit.end(), root.failureUnit.begin(),
                                  root.failureUnit.end());
        result.cause.insert(result.cause.end(), root.cause.begin(), root.cause.end());
        result.failedCount.insert(result.failedCount.end(), root.failedCount.begin(),
                                  root.failedCount.end());
        result.failed.insert(result.failed.end(), root.failed.begin(), root.failed.end());
        for (std::size_t k = 0; k < intermediate; ++k) {
            result.crossings[k] += root.crossings[k];
            result.born[k] += root.born[k];
            result.through[k] += root.through[k];
        }
        root = SplitRoot{};
    }
    return result;
}

SampleRuns runnerSamples(int runsPerSample, int simTime,
                         const std::vector<TransitionMatrix> &matrices, const FaultTree *faultTree,
                         int seed, int firstRun,
                         const std::vector<const Interactions *> &interactions,
                         const InterruptCheck &interrupted) {
    if (simTime < 0) {
        throw std::invalid_argument("simTime must be at least 0.");
    }
    if (runsPerSample < 0 || firstRun < 0) {
        throw std::invalid_argument("runsPerSample and firstRun must be at least 0.");
    }
    if (!interactions.empty() && interactions.size() != matrices.size()) {
        throw std::invalid_argument("Give one interactions per matrix, or none.");
    }
    const std::uint64_t total = counts(runsPerSample) * matrices.size();
    if (total + counts(firstRun) > static_cast<std::uint64_t>(INT32_MAX)) {
        throw std::invalid_argument("runnerSamples: firstRun plus the runs of all samples must "
                                    "be at most 2147483647.");
    }
    const int runs = static_cast<int>(total);
    const int slots = threadSlots();
    // The samples' models are all held at once beside the per-run arrays.
    requireStatisticsMemory(1, runs, slots, matrices.empty() ? 0 : matrices.front().size(),
                            faultTree);
    SampleRuns result;
    for (auto *v : {&result.systemFailures, &result.downtime, &result.firstFailureTimes}) {
        v->assign(counts(runs), 0);
    }
    if (runs == 0) {
        return result;
    }
    std::deque<StatisticsModel<FaultTree>> models; // built in place: a model does not move
    for (std::size_t j = 0; j < matrices.size(); ++j) {
        models.emplace_back(matrices[j], faultTree, runsPerSample,
                            interactions.empty() ? nullptr : interactions[j]);
        const auto &first = models.front();
        const auto &sample = models.back();
        if (sample.planned != first.planned || sample.nGates != first.nGates ||
            sample.sizes.components != first.sizes.components ||
            sample.sizes.pools != first.sizes.pools ||
            sample.interactionModel.has_value() != first.interactionModel.has_value()) {
            throw std::invalid_argument("runnerSamples: sample " + std::to_string(j) +
                                        " differs from sample 0 in more than its parameters.");
        }
    }
    const StatisticsModel<FaultTree> &shape = models.front();
    const statistics::Sizes sizes = shape.slotSizes();
    std::vector<StatisticsSlot> perSlot;
    perSlot.reserve(static_cast<std::size_t>(slots));
    for (int slot = 0; slot < slots; ++slot) {
        perSlot.emplace_back(1, shape.planned, sizes);
    }
    // Planned-only units are counted within the downtime; their own array is not returned.
    std::vector<std::int64_t> planned(shape.planned ? counts(runs) : 0, 0);
    const auto restart = [&] {
        for (StatisticsSlot &slot : perSlot) {
            slot = StatisticsSlot(1, shape.planned, sizes);
        }
    };
    // Each thread keeps the simulation of the sample it is in, and builds the next one's when
    // a run of another sample comes to it: runs come in chunks, so that is about once per
    // sample and thread.
    forEachRun(runs, slots, interrupted, restart, [&](int slot, RunControl control) {
        auto recorder = std::make_shared<StatisticsRecorder>(
            perSlot[static_cast<std::size_t>(slot)], result.systemFailures.data(),
            result.downtime.data(), result.firstFailureTimes.data(), std::max(1, simTime),
            sizes.components, shape.nGates, shape.nTracked,
            shape.planned ? planned.data() : nullptr);
        struct Current {
            int sample = -1;
            std::shared_ptr<Simulation> plain;
            std::shared_ptr<InteractingSimulation> interacting;
        };
        auto current = std::make_shared<Current>();
        return
            [&models, recorder, current, control, runsPerSample, simTime, seed, firstRun](int k) {
                const int sample = k / runsPerSample;
                const auto &model = models[static_cast<std::size_t>(sample)];
                if (sample != current->sample) {
                    current->sample = sample;
                    if (model.interactionModel) {
                        current->interacting = std::make_shared<InteractingSimulation>(
                            model.model->transitions, model.model->cutsets,
                            *model.interactionModel, control);
                        recorder->watchCrews(current->interacting->crewPools());
                    } else {
                        current->plain = std::make_shared<Simulation>(
                            model.model->transitions, model.model->cutsets, control);
                    }
                }
                recorder->setRun(k);
                if (current->interacting) {
                    current->interacting->run(simTime, runSeed(seed, firstRun + k), *recorder);
                } else {
                    current->plain->run(simTime, runSeed(seed, firstRun + k), *recorder);
                }
            };
    });
    return result;
}

void limitOMPThreads(int maxThreads) { platform::setThreadCount(maxThreads); }

} // namespace tavoq
