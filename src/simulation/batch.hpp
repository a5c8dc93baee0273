#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <semaphore>
#include <thread>
#include <utility>

#include "platform/openmp.hpp"
#include "simulation/run_dispenser.hpp"
#include "simulation/simulation.hpp"

/// How a batch's runs are shared among threads: the number of threads, the thread stacks a
/// batch will map, a guard for processes forked after a parallel region, and forEachRun itself.
namespace tavoq {

/// The most threads a batch uses, whatever limitOMPThreads asked for: each one costs its
/// own result buffers and a stack, and past this many they only compete for cores.
inline constexpr int kMaxThreadSlots = 256;

/// The threads a batch runs on: OpenMP's thread count within its thread limit
/// (OMP_THREAD_LIMIT caps every team), between 1 and kMaxThreadSlots. 1 in a process forked
/// after this process opened a parallel region: libgomp's threads do not survive fork(), and
/// the child would wait for them forever in its own first region (Python's multiprocessing
/// forks by default on Linux). Calling thread only.
int threadSlots();

/// The stacks of the threads a batch on `slots` threads starts (none for one slot): the
/// thread that opens the parallel region, with the C library's default stack, and the
/// region's other slots - 1 threads, with OpenMP's. Every parallel batch starts them anew
/// (OpenMP keeps a team's threads only as long as the thread that opened the region), so
/// none is already mapped. `address` is the address space they reserve; `memory` the part
/// counted as memory too: stacks whose size OMP_STACKSIZE sets, which the call asks to be
/// usable in full. Thread-safe.
struct BatchStacks {
    std::uint64_t address = 0;
    std::uint64_t memory = 0;
};
BatchStacks batchStacks(int slots);

/// Records that this process opened a parallel region (for threadSlots after a fork).
void noteParallelRegion();

/// How many times this process, or the one it was forked from, has forked since it started:
/// the child's count is one more than the parent's at the fork. Thread-safe.
unsigned forkCount();

namespace detail {

// What the threads of one batch share.
struct BatchShare {
    BatchShare(int nSimulations, int slots) : dispenser(nSimulations, slots) {}

    void fail(std::exception_ptr error) {
        {
            const std::lock_guard<std::mutex> hold(errorLock);
            if (!firstError) {
                firstError = std::move(error);
            }
        }
        stop.store(true, std::memory_order_relaxed);
    }
    void rethrow() const {
        if (firstError) {
            std::rethrow_exception(firstError);
        }
    }

    std::atomic<bool> stop{false};
    RunDispenser dispenser;
    std::mutex errorLock;
    std::exception_ptr firstError;
};

// One thread's share of the runs: chunks from the dispenser until none is left or the stop
// flag is up. `interrupted` is checked before each run (calling thread only).
template <typename MakeWorker>
void workShare(BatchShare &share, int slot, const InterruptCheck *interrupted,
               MakeWorker &makeWorker) {
    const RunControl control{interrupted, &share.stop};
    std::optional<decltype(makeWorker(slot, control))> worker;
    try {
        worker.emplace(makeWorker(slot, control));
    } catch (...) {
        share.fail(std::current_exception());
    }
    int begin = 0;
    int end = 0;
    while (worker && !share.stop.load(std::memory_order_relaxed) &&
           share.dispenser.next(begin, end)) {
        for (int i = begin; i < end && !share.stop.load(std::memory_order_relaxed); ++i) {
            try {
                if (interrupted != nullptr && *interrupted) {
                    (*interrupted)();
                }
                (*worker)(i);
            } catch (const RunCancelled &) {
                // the error that raised the flag is reported instead
            } catch (...) {
                share.fail(std::current_exception());
            }
        }
    }
}

// The batch on `slots` threads of a parallel region that a thread of its own opens, while
// the calling thread checks for interrupts. False when the interrupt check forked this
// process and returned in the child, whose copy of the region has no threads: the batch
// is then abandoned there, with whatever its runs wrote.
template <typename MakeWorker>
bool onTeam(int nSimulations, int slots, const InterruptCheck &interrupted,
            MakeWorker &makeWorker) {
    BatchShare share(nSimulations, slots);
    std::binary_semaphore done{0};
    const unsigned forks = forkCount();
    noteParallelRegion();
    // Leaked, not destroyed, in a forked child: its thread is not there to be joined.
    auto *region = new std::thread([&share, &done, &makeWorker, slots] {
#ifdef _OPENMP
#pragma omp parallel num_threads(slots)
#endif
        workShare(share, platform::threadNumber(), nullptr, makeWorker);
        done.release();
    });
    while (!done.try_acquire_for(std::chrono::milliseconds(1))) {
        if (!share.stop.load(std::memory_order_relaxed) && interrupted) {
            try {
                interrupted();
            } catch (...) {
                share.fail(std::current_exception());
            }
        }
        if (forkCount() != forks) {
            return false;
        }
    }
    region->join();
    delete region;
    share.rethrow();
    return true;
}

} // namespace detail

/// Runs 0 .. nSimulations - 1 on up to `slots` threads. `makeWorker(slot, control)` is called
/// once on each thread and returns the callable that performs run i there. Work is handed out
/// by a RunDispenser: chunks of up to 50 runs, shrinking to single runs at the end of the batch
/// so that the threads finish together.
///
/// On more than one slot the runs are performed by the threads of a parallel region opened by
/// a thread started for the batch, and the calling thread only checks `interrupted`, every
/// millisecond until the region is over. So Python code that the check runs (a signal
/// handler) never runs inside the region: a handler that forks leaves the child outside it,
/// and the child, whose copy of the region has no threads, calls `restart()` (which must
/// clear what the runs wrote) and performs the whole batch again on its calling thread. On
/// one slot the calling thread performs the runs and checks `interrupted` before each run and
/// within long ones.
///
/// The first exception is kept and rethrown after the runs; it raises the stop flag, which
/// the other threads' runs notice at their next check (see Simulation). Per run it allocates
/// nothing and takes no lock: the threads meet only on the dispenser's counter, once a chunk.
/// @throws the first exception that `makeWorker`, a run or the interrupt check threw;
///         std::system_error when the batch's thread cannot be started.
template <typename Restart, typename MakeWorker>
void forEachRun(int nSimulations, int slots, const InterruptCheck &interrupted, Restart &&restart,
                MakeWorker &&makeWorker) {
    if (slots > 1) {
        if (detail::onTeam(nSimulations, slots, interrupted, makeWorker)) {
            return;
        }
        restart();
    }
    detail::BatchShare share(nSimulations, 1);
    detail::workShare(share, 0, &interrupted, makeWorker);
    share.rethrow();
}

} // namespace tavoq
