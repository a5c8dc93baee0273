#include "simulation/runners.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>

#include "cutset/cutset_tree.hpp"
#include "simd/vector_add.hpp"
#include "simulation/aligned_buffer.hpp"
#include "simulation/openmp_interface.hpp"
#include "simulation/simulation.hpp"

namespace {

// libgomp's threads do not survive fork(): a child forked after this process opened a
// parallel region would wait for them forever in its own first region. Python's
// multiprocessing forks by default on Linux, so such a child runs its batches serially.
bool parallelRegionOpened = false;
bool forkedAfterParallelRegion = false;

void markForkedChild() { forkedAfterParallelRegion = parallelRegionOpened; }

[[maybe_unused]] const int forkHandlerRegistered = pthread_atfork(nullptr, nullptr, markForkedChild);

// Keeps Python code that runs in the middle of a call (a signal handler) from changing the
// tree that the runs are reading.
class TreePin {
public:
    explicit TreePin(const CutsetTree *tree) : tree(tree) {
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
    const CutsetTree *tree;
};

std::uint32_t runSeed(int seed, int i) {
    return static_cast<std::uint32_t>(seed) + static_cast<std::uint32_t>(i);
}

// One write per line keeps lines from different workers mostly whole.
void writeLine(std::ostream &stream, const std::string &line) {
    stream << (line + '\n') << std::flush;
}

void writeProgress(long long i) { writeLine(std::cout, "Simulation " + std::to_string(i) + " done."); }

void writeClosingLines(int nSimulations) {
    writeProgress(nSimulations);
    writeLine(std::cout, "All Simulations Done.");
}

std::vector<std::uint32_t> copyOut(const AlignedBuffer &buffer) {
    return std::vector<std::uint32_t>(buffer.data(), buffer.data() + buffer.size());
}

} // namespace

std::vector<std::uint32_t> runnerSingleSim(int simTime, const TransitionMatrix &transitionsMatrix,
                                           const CutsetTree *cutSetTree, int seed,
                                           const InterruptCheck &interrupted) {
    if (simTime < 0) {
        throw std::bad_alloc();
    }
    std::vector<std::uint32_t> runStates(static_cast<std::size_t>(simTime));
    const TransitionModel model(transitionsMatrix, cutSetTree);
    const TreePin pin(cutSetTree);
    Simulation simulation(simTime, model, *cutSetTree, runStates.data(),
                          static_cast<std::uint32_t>(seed), &interrupted);
    simulation.run();
    return runStates;
}

std::vector<std::uint32_t> runnerMultipleSim(int nSimulations, int simTime,
                                             const TransitionMatrix &transitionsMatrix,
                                             const CutsetTree *cutSetTree, int seed,
                                             const InterruptCheck &interrupted) {
    AlignedBuffer systemStates;
    if (simTime >= 0) {
        systemStates = AlignedBuffer(static_cast<std::size_t>(simTime));
    }
    if (!systemStates.ok()) {
        throw std::runtime_error("Failed to allocate systemStates in runnerMultipleSim.");
    }
    AlignedBuffer runStates(static_cast<std::size_t>(simTime));
    if (!runStates.ok()) {
        throw std::runtime_error("Failed to allocate runStates in runnerMultipleSim.");
    }
    if (nSimulations > 0) {
        const TransitionModel model(transitionsMatrix, cutSetTree);
        const TreePin pin(cutSetTree);
        for (int i = 0; i < nSimulations; ++i) {
            if (interrupted) {
                interrupted();
            }
            Simulation simulation(simTime, model, *cutSetTree, runStates.data(),
                                  runSeed(seed, i), &interrupted);
            simulation.run();
            addVectors(systemStates.data(), runStates.data(), systemStates.data(),
                       systemStates.size());
            if (i % 10000 == 0) {
                writeProgress(i);
            }
        }
    }
    writeClosingLines(nSimulations);
    return copyOut(systemStates);
}

std::vector<std::uint32_t> runnerParallelSim(int nSimulations, int simTime,
                                             const TransitionMatrix &transitionsMatrix,
                                             const CutsetTree *cutSetTree, int seed,
                                             const InterruptCheck &interrupted) {
    const bool threadsUsable = !forkedAfterParallelRegion;
    const int slots = threadsUsable ? std::clamp(omp_get_max_threads(), 1, kMaxThreadSlots) : 1;
    writeLine(std::cout, "Numero de threads disponiveis: " + std::to_string(slots));

    // A negative horizon is a buffer that cannot be obtained. The failure is raised, not
    // returned as an empty result that would look like a successful batch.
    const auto failAllocation = []() {
        writeLine(std::cerr, "Erro ao alocar memória para os estados locais.");
        throw std::runtime_error("Failed to allocate local states in runnerParallelSim.");
    };
    if (simTime < 0) {
        failAllocation();
    }
    const auto n = static_cast<std::size_t>(simTime);
    AlignedBuffer systemStates(n);
    if (!systemStates.ok()) {
        failAllocation();
    }
    std::vector<AlignedBuffer> localStates;
    std::vector<AlignedBuffer> localRunStates;
    localStates.reserve(static_cast<std::size_t>(slots));
    localRunStates.reserve(static_cast<std::size_t>(slots));
    for (int slot = 0; slot < slots; ++slot) {
        localStates.emplace_back(n);
        localRunStates.emplace_back(n);
        if (!localStates.back().ok() || !localRunStates.back().ok()) {
            failAllocation();
        }
    }

    if (nSimulations > 0) {
        const TransitionModel model(transitionsMatrix, cutSetTree);
        const TreePin pin(cutSetTree);
        std::atomic<bool> stop{false};
        std::exception_ptr firstError;

        // Run i on the given slot. An exception must not leave a worker: the first one is
        // kept, the others stop taking runs, and it is rethrown after the region.
        const auto perform = [&](int slot, int i) {
            if (stop.load(std::memory_order_relaxed)) {
                return; // a worksharing loop cannot be left early; skip what is left
            }
            try {
                // Only the calling thread (slot 0) holds the interpreter lock.
                const InterruptCheck *check = slot == 0 ? &interrupted : nullptr;
                if (check != nullptr && *check) {
                    (*check)();
                }
                AlignedBuffer &accumulator = localStates[static_cast<std::size_t>(slot)];
                AlignedBuffer &runStates = localRunStates[static_cast<std::size_t>(slot)];
                Simulation simulation(simTime, model, *cutSetTree, runStates.data(),
                                      runSeed(seed, i), check);
                simulation.run();
                addVectors(accumulator.data(), runStates.data(), accumulator.data(), n);
                if (i % 10000 == 0) {
                    writeProgress(i);
                }
            } catch (...) {
#pragma omp critical(tavoq_first_error)
                {
                    if (!firstError) {
                        firstError = std::current_exception();
                    }
                }
                stop.store(true, std::memory_order_relaxed);
            }
        };

        if (threadsUsable) {
            parallelRegionOpened = true;
#pragma omp parallel num_threads(slots)
            {
                const int slot = omp_get_thread_num();
#pragma omp for schedule(dynamic, 50)
                for (int i = 0; i < nSimulations; ++i) {
                    perform(slot, i);
                }
            }
        } else {
            for (int i = 0; i < nSimulations; ++i) {
                perform(0, i);
            }
        }
        if (firstError) {
            std::rethrow_exception(firstError);
        }
    }

    writeClosingLines(nSimulations);
    for (AlignedBuffer &accumulator : localStates) {
        addVectors(systemStates.data(), accumulator.data(), systemStates.data(), n);
    }
    return copyOut(systemStates);
}

void limitOMPThreads(int maxThreads) { omp_set_num_threads(maxThreads); }
