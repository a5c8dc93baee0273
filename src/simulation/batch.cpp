#include "simulation/batch.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>

namespace tavoq {

namespace {

bool parallelRegionOpened = false;
bool forkedAfterParallelRegion = false;

void markForkedChild() { forkedAfterParallelRegion = parallelRegionOpened; }

[[maybe_unused]] const int forkHandlerRegistered =
    pthread_atfork(nullptr, nullptr, markForkedChild);

// The largest team any region of this process has had so far.
std::atomic<int> largestTeam{1};

} // namespace

int threadSlots() {
    if (forkedAfterParallelRegion) {
        return 1;
    }
    return std::clamp(std::min(platform::maxThreads(), platform::threadLimit()), 1,
                      kMaxThreadSlots);
}

int threadsToStart(int slots) {
    return std::max(0, slots - largestTeam.load(std::memory_order_relaxed));
}

void noteTeam(int team) {
    int seen = largestTeam.load(std::memory_order_relaxed);
    while (team > seen && !largestTeam.compare_exchange_weak(seen, team)) {
    }
}

void noteParallelRegion() { parallelRegionOpened = true; }

} // namespace tavoq
