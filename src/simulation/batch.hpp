#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <utility>

#include "platform/openmp.hpp"
#include "simulation/run_dispenser.hpp"
#include "simulation/simulation.hpp"

/// How a batch's runs are shared among threads: the number of threads, the threads a region
/// will start, a guard for processes forked after a parallel region, and forEachRun itself.
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

/// How many threads a region of `slots` threads will start. OpenMP keeps the threads of a
/// team for later regions, so only those beyond the largest team so far are new (whose
/// stacks the process has not mapped yet). Thread-safe.
int threadsToStart(int slots);

/// Records a team of `team` threads as running (for threadsToStart). Thread-safe.
void noteTeam(int team);

/// Records that this process opened a parallel region (for threadSlots after a fork).
/// Calling thread only.
void noteParallelRegion();

/// Runs 0 .. nSimulations - 1 on up to `slots` threads. `makeWorker(slot, control)` is called
/// once on each thread and returns the callable that performs run i there. Work is handed out
/// by a RunDispenser: chunks of up to 50 runs, shrinking to single runs at the end of the batch
/// so that the threads finish together.
///
/// The first exception is kept and rethrown after the region; it raises the stop flag, which
/// the other threads' runs notice within kTransitionsBetweenChecks transitions. The calling
/// thread (slot 0) is the only one that checks for Ctrl-C; once out of work it keeps checking
/// while the others finish (every millisecond, which also bounds the wait once they are
/// done), so an interrupt never waits for a long run to end. OpenMP may start fewer threads
/// than asked (OMP_THREAD_LIMIT, OMP_DYNAMIC): that wait counts the threads actually started.
///
/// Per run it allocates nothing and takes no lock: the threads meet only on the dispenser's
/// counter, once a chunk. @throws the first exception that `makeWorker`, a run or the
/// interrupt check threw.
template <typename MakeWorker>
void forEachRun(int nSimulations, int slots, const InterruptCheck &interrupted,
                MakeWorker &&makeWorker) {
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    RunDispenser dispenser(nSimulations, slots);
    std::exception_ptr firstError;
    const auto fail = [&](std::exception_ptr error) {
#ifdef _OPENMP
#pragma omp critical(tavoq_first_error)
#endif
        {
            if (!firstError) {
                firstError = std::move(error);
            }
        }
        stop.store(true, std::memory_order_relaxed);
    };
    const auto checkInterrupt = [&] {
        if (interrupted) {
            interrupted();
        }
    };

    const auto work = [&](int slot, int team) {
        const RunControl control{slot == 0 ? &interrupted : nullptr, &stop};
        std::optional<decltype(makeWorker(slot, control))> worker;
        try {
            worker.emplace(makeWorker(slot, control));
        } catch (...) {
            fail(std::current_exception());
        }
        int begin = 0;
        int end = 0;
        while (worker && !stop.load(std::memory_order_relaxed) && dispenser.next(begin, end)) {
            for (int i = begin; i < end && !stop.load(std::memory_order_relaxed); ++i) {
                try {
                    if (slot == 0) {
                        checkInterrupt();
                    }
                    (*worker)(i);
                } catch (const RunCancelled &) {
                    // the error that raised the flag is reported instead
                } catch (...) {
                    fail(std::current_exception());
                }
            }
        }
        finished.fetch_add(1, std::memory_order_acq_rel);
        if (slot == 0) {
            while (finished.load(std::memory_order_acquire) < team) {
                if (!stop.load(std::memory_order_relaxed)) {
                    try {
                        checkInterrupt();
                    } catch (...) {
                        fail(std::current_exception());
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    };

    if (slots > 1) {
        noteParallelRegion();
#ifdef _OPENMP
#pragma omp parallel num_threads(slots)
#endif
        {
            noteTeam(platform::teamSize());
            work(platform::threadNumber(), platform::teamSize());
        }
    } else {
        work(0, 1);
    }
    if (firstError) {
        std::rethrow_exception(firstError);
    }
}

} // namespace tavoq
