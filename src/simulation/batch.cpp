#include "simulation/batch.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>

#include "platform/memory_budget.hpp"

namespace tavoq {

namespace {

std::atomic<bool> parallelRegionOpened{false};
bool forkedAfterParallelRegion = false;
std::atomic<unsigned> forks{0};

void markForkedChild() {
    forkedAfterParallelRegion = parallelRegionOpened.load(std::memory_order_relaxed);
    forks.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const int forkHandlerRegistered =
    pthread_atfork(nullptr, nullptr, markForkedChild);

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

} // namespace

int threadSlots() {
    if (forkedAfterParallelRegion) {
        return 1;
    }
    return std::clamp(std::min(platform::maxThreads(), platform::threadLimit()), 1,
                      kMaxThreadSlots);
}

BatchStacks batchStacks(int slots) {
    if (slots <= 1) {
        return {};
    }
    const std::uint64_t opener =
        saturatingAdd(platform::defaultThreadStackBytes(), platform::kThreadExtraBytes);
    BatchStacks stacks;
    stacks.address = saturatingAdd(opener, platform::threadStackBytes(slots - 1));
    if (const auto setting = platform::openmpStackSetting(); setting && *setting > 0) {
        const auto others = static_cast<std::uint64_t>(slots - 1);
        stacks.memory = *setting > UINT64_MAX / others ? UINT64_MAX : *setting * others;
    }
    return stacks;
}

void noteParallelRegion() { parallelRegionOpened.store(true, std::memory_order_relaxed); }

unsigned forkCount() { return forks.load(std::memory_order_relaxed); }

} // namespace tavoq
