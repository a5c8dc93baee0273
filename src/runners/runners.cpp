#include "runners/runners.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "cutset/cutset_index.hpp"
#include "cutset/cutset_tree.hpp"
#include "interactions/interacting_simulation.hpp"
#include "interactions/interaction_model.hpp"
#include "interactions/interactions.hpp"
#include "logic/fault_tree.hpp"
#include "logic/gate_graph.hpp"
#include "platform/aligned_buffer.hpp"
#include "platform/console.hpp"
#include "platform/memory_budget.hpp"
#include "platform/openmp.hpp"
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

std::vector<std::int64_t> widen(const std::vector<std::uint32_t> &counts) {
    return std::vector<std::int64_t>(counts.begin(), counts.end());
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

std::vector<double> toDouble(const std::vector<SquareSum> &sums) {
    std::vector<double> out(sums.size());
    for (std::size_t k = 0; k < sums.size(); ++k) {
        out[k] = static_cast<double>(sums[k]);
    }
    return out;
}

template <typename Tree>
RunStatistics statisticsBatch(int nSimulations, int simTime,
                              const TransitionMatrix &transitionsMatrix, const Tree *tree,
                              int seed, int binWidth, const InterruptCheck &interrupted,
                              const Interactions *interactions = nullptr) {
    // Only declared interactions take the interacting engine; without, the plain loop runs.
    const bool interacting = interactions != nullptr && !interactions->empty();
    const int nGroups = interacting ? interactions->nGroups() : 0;
    const int nPools = interacting ? interactions->nPools() : 0;
    if (simTime < 0) {
        throw std::invalid_argument("simTime must not be negative, got " +
                                    std::to_string(simTime) + ".");
    }
    if (binWidth < 1) {
        throw std::invalid_argument("binWidth must be at least 1, got " +
                                    std::to_string(binWidth) + ".");
    }
    const int nBins = simTime == 0 ? 0 : (simTime - 1) / binWidth + 1;
    const int runs = std::max(nSimulations, 0);
    const int slots = threadSlots();
    {
        // Per thread a 64-bit and two 32-bit arrays per bin; as many to merge them, and the
        // two 64-bit arrays of the result; 24 bytes a run. Per component and per gate, the
        // counts, sums of squares and a run's own figures, per thread and in the result;
        // and the gate graph. Cut sets are small beside these and counted with the model.
        const std::uint64_t bins = counts(nBins);
        const std::uint64_t components = transitionsMatrix.size();
        const auto gates = static_cast<std::uint64_t>(gatesOf(tree));
        const std::uint64_t copies = static_cast<std::uint64_t>(slots) + 1;
        const BatchStacks stacks = runs > 0 ? batchStacks(slots) : BatchStacks{};
        requireMemory(bins * (16 * static_cast<std::uint64_t>(slots) + 16 + 16) +
                          24 * counts(runs) + (components * 176 + gates * 192) * copies +
                          8 * edgesOf(tree),
                      {}, stacks.address, stacks.memory);
    }
    RunStatistics result;
    result.nSimulations = nSimulations;
    result.simTime = simTime;
    result.seed = seed;
    result.binWidth = binWidth;
    result.systemFailures.assign(static_cast<std::size_t>(runs), 0);
    result.downtime.assign(static_cast<std::size_t>(runs), 0);
    result.firstFailureTimes.assign(static_cast<std::size_t>(runs), 0);

    std::optional<Model> model;
    std::optional<InteractionModel> interactionModel;
    int nComponents = static_cast<int>(std::min<std::size_t>(transitionsMatrix.size(), INT32_MAX));
    int nCutsets = cutsetsOf(tree);
    const int nUserGates = gatesOf(tree);
    int nGates = 0; // of the graph the engine evaluates
    if (runs > 0) {
        if constexpr (std::is_same_v<Tree, FaultTree>) {
            model.emplace(transitionsMatrix, tree, nGroups);
            if (interactions != nullptr &&
                interactions->nComponents() != model->transitions.nComponents()) {
                // Refused even when nothing is declared: the caller meant another model.
                throw std::invalid_argument(
                    "The interactions have " + std::to_string(interactions->nComponents()) +
                    " components and the transitions matrix " +
                    std::to_string(model->transitions.nComponents()) + ": they must be equal.");
            }
            if (interacting) {
                interactionModel.emplace(*interactions, model->transitions, tree->nComponents(),
                                         tree->nNodes());
            }
        } else {
            model.emplace(transitionsMatrix, tree, TransitionModel::Shape::Ragged);
        }
        nComponents = model->transitions.nComponents();
        nGates = model->graph->nGates();
        if (model->index) {
            nCutsets = model->index->nCutsets();
        }
    }
    const int nTracked = model && model->graph->reportsGates() ? nGates : 0;
    // Whether kinds make a planned state: known once the interactions are checked, and
    // otherwise from the declared kinds (a batch of no runs checks nothing).
    bool planned = false;
    if (interactionModel) {
        planned = interactionModel->hasPlanned();
    } else if (interacting) {
        for (const auto &kinds : interactions->stateKinds()) {
            planned = planned || std::find(kinds.begin(), kinds.end(), 2) != kinds.end();
        }
    }
    if (planned) {
        result.plannedDowntime.assign(static_cast<std::size_t>(runs), 0);
    }

    std::vector<StatisticsSlot> perSlot;
    perSlot.reserve(static_cast<std::size_t>(slots));
    for (int slot = 0; slot < slots; ++slot) {
        perSlot.emplace_back(nBins, nComponents, nGates, nTracked, planned, nPools);
    }

    const auto restart = [&] {
        for (StatisticsSlot &slot : perSlot) {
            slot = StatisticsSlot(nBins, nComponents, nGates, nTracked, planned, nPools);
        }
    };
    if (runs > 0 && interactionModel) {
        forEachRun(runs, slots, interrupted, restart, [&](int slot, RunControl control) {
            return [simulation = std::make_shared<InteractingSimulation>(
                        model->transitions, model->cutsets, *interactionModel, control),
                    recorder = std::make_shared<StatisticsRecorder>(
                        perSlot[static_cast<std::size_t>(slot)], result.systemFailures.data(),
                        result.downtime.data(), result.firstFailureTimes.data(), binWidth,
                        nComponents, nGates, nTracked,
                        planned ? result.plannedDowntime.data() : nullptr),
                    simTime, seed](int i) {
                recorder->setRun(i);
                simulation->run(simTime, runSeed(seed, i), *recorder);
            };
        });
    } else if (runs > 0) {
        forEachRun(runs, slots, interrupted, restart, [&](int slot, RunControl control) {
            return [simulation =
                        std::make_shared<Simulation>(model->transitions, model->cutsets, control),
                    recorder = std::make_shared<StatisticsRecorder>(
                        perSlot[static_cast<std::size_t>(slot)], result.systemFailures.data(),
                        result.downtime.data(), result.firstFailureTimes.data(), binWidth,
                        nComponents, nGates, nTracked),
                    simTime, seed](int i) {
                recorder->setRun(i);
                simulation->run(simTime, runSeed(seed, i), *recorder);
            };
        });
    }

    // Integer sums: the merge order cannot change them.
    const auto n = static_cast<std::size_t>(nBins);
    std::vector<std::uint64_t> failedUnits(n, 0u);
    std::vector<std::uint32_t> whole(n, 0u);
    std::vector<std::uint32_t> first(n, 0u);
    const auto components = static_cast<std::size_t>(nComponents);
    result.negativeDelays.assign(components, 0);
    result.delaysPastLimit.assign(components, 0);
    result.componentDowntime.assign(components, 0);
    result.componentFailures.assign(components, 0);
    result.triggeredFailures.assign(components, 0);
    std::vector<SquareSum> componentSquares(components, 0);
    std::vector<SquareSum> componentFailuresSquares(components, 0);
    std::vector<SquareSum> triggeredSquares(components, 0);
    std::vector<SquareSum> triggeredTimesFailures(components, 0);
    std::vector<std::int64_t> triggered(static_cast<std::size_t>(nGates), 0);
    std::vector<SquareSum> triggeredGateSquares(static_cast<std::size_t>(nGates), 0);
    std::vector<SquareSum> triggeredGateTimesFailures(static_cast<std::size_t>(nGates), 0);
    const auto tracked = static_cast<std::size_t>(nTracked);
    result.gateDowntime.assign(tracked, 0);
    result.gateFailures.assign(tracked, 0);
    std::vector<SquareSum> gateSquares(tracked, 0);
    result.gateUnitFailures.assign(tracked, 0);
    std::vector<SquareSum> gateUnitSquares(tracked, 0);
    std::vector<std::uint64_t> plannedUnits(planned ? n : 0, 0u);
    std::vector<std::uint32_t> plannedWhole(planned ? n : 0, 0u);
    const auto pools = static_cast<std::size_t>(nPools);
    result.crewBusy.assign(pools, 0);
    result.crewWait.assign(pools, 0);
    result.crewRequests.assign(pools, 0);
    result.crewLongestQueue.assign(pools, 0);
    std::vector<SquareSum> crewBusySquares(pools, 0), crewWaitSquares(pools, 0),
        crewRequestsSquares(pools, 0), crewWaitTimesRequests(pools, 0),
        crewLongestSquares(pools, 0);
    const auto addInto = [](auto &total, const auto &part) {
        for (std::size_t k = 0; k < total.size(); ++k) {
            total[k] += part[k];
        }
    };
    for (const StatisticsSlot &slot : perSlot) {
        addInto(failedUnits, slot.failedUnits);
        addVectors(whole.data(), slot.wholeBins.data(), whole.data(), n);
        addVectors(first.data(), slot.firstFailures.data(), first.data(), n);
        addInto(result.negativeDelays, slot.negativeDelays);
        addInto(result.delaysPastLimit, slot.delaysPastLimit);
        addInto(result.componentDowntime, slot.componentDowntime);
        addInto(result.componentFailures, slot.componentFailures);
        addInto(result.triggeredFailures, slot.triggeredFailures);
        addInto(componentSquares, slot.componentDowntimeSquares);
        addInto(componentFailuresSquares, slot.componentFailuresSquares);
        addInto(triggeredSquares, slot.triggeredSquares);
        addInto(triggeredTimesFailures, slot.triggeredTimesFailures);
        addInto(triggered, slot.gateTriggered);
        addInto(triggeredGateSquares, slot.gateTriggeredSquares);
        addInto(triggeredGateTimesFailures, slot.gateTriggeredTimesFailures);
        addInto(result.gateDowntime, slot.gateDowntime);
        addInto(result.gateFailures, slot.gateFailures);
        addInto(gateSquares, slot.gateDowntimeSquares);
        addInto(result.gateUnitFailures, slot.gateUnitFailures);
        addInto(gateUnitSquares, slot.gateUnitFailuresSquares);
        addInto(plannedUnits, slot.plannedUnits);
        addInto(plannedWhole, slot.plannedWholeBins);
        addInto(result.crewBusy, slot.crewBusy);
        addInto(result.crewWait, slot.crewWait);
        addInto(result.crewRequests, slot.crewRequests);
        addInto(result.crewLongestQueue, slot.crewLongestQueue);
        addInto(crewBusySquares, slot.crewBusySquares);
        addInto(crewWaitSquares, slot.crewWaitSquares);
        addInto(crewRequestsSquares, slot.crewRequestsSquares);
        addInto(crewWaitTimesRequests, slot.crewWaitTimesRequests);
        addInto(crewLongestSquares, slot.crewLongestQueueSquares);
    }
    if (planned) {
        FailureCounts::counts(plannedWhole.data(), n);
        result.plannedRuns.resize(n);
        for (std::size_t b = 0; b < n; ++b) {
            result.plannedRuns[b] = static_cast<std::int64_t>(
                plannedUnits[b] + static_cast<std::uint64_t>(binWidth) * plannedWhole[b]);
        }
    }
    result.crewBusySquares = toDouble(crewBusySquares);
    result.crewWaitSquares = toDouble(crewWaitSquares);
    result.crewRequestsSquares = toDouble(crewRequestsSquares);
    result.crewWaitTimesRequests = toDouble(crewWaitTimesRequests);
    result.crewLongestQueueSquares = toDouble(crewLongestSquares);
    FailureCounts::counts(whole.data(), n);
    result.failedRuns.resize(n);
    for (std::size_t b = 0; b < n; ++b) {
        result.failedRuns[b] = static_cast<std::int64_t>(
            failedUnits[b] + static_cast<std::uint64_t>(binWidth) * whole[b]);
    }
    result.firstFailures = widen(first);
    result.componentDowntimeSquares = toDouble(componentSquares);
    result.componentFailuresSquares = toDouble(componentFailuresSquares);
    result.triggeredFailuresSquares = toDouble(triggeredSquares);
    result.triggeredTimesSystemFailures = toDouble(triggeredTimesFailures);
    if constexpr (std::is_same_v<Tree, FaultTree>) {
        // Every gate of the graph is the user's (all zero when no run was made).
        const auto gates = static_cast<std::size_t>(nUserGates);
        triggered.resize(gates, 0);
        result.gateTriggered = std::move(triggered);
        triggeredGateSquares.resize(gates, 0);
        result.gateTriggeredSquares = toDouble(triggeredGateSquares);
        triggeredGateTimesFailures.resize(gates, 0);
        result.gateTriggeredTimesSystemFailures = toDouble(triggeredGateTimesFailures);
        result.gateDowntime.resize(gates, 0);
        result.gateFailures.resize(gates, 0);
        gateSquares.resize(gates, 0);
        result.gateDowntimeSquares = toDouble(gateSquares);
        result.gateUnitFailures.resize(gates, 0);
        gateUnitSquares.resize(gates, 0);
        result.gateUnitFailuresSquares = toDouble(gateUnitSquares);
    } else {
        // The cut sets' graph: its first gates are the cut sets, the last one the top.
        const auto cutsets = static_cast<std::size_t>(nCutsets);
        triggered.resize(cutsets, 0);
        result.cutsetFailures = std::move(triggered);
        triggeredGateSquares.resize(cutsets, 0);
        result.cutsetFailuresSquares = toDouble(triggeredGateSquares);
        triggeredGateTimesFailures.resize(cutsets, 0);
        result.cutsetTimesSystemFailures = toDouble(triggeredGateTimesFailures);
    }
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

void limitOMPThreads(int maxThreads) { platform::setThreadCount(maxThreads); }

} // namespace tavoq
