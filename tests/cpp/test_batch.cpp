#include "simulation/batch.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/memory_budget.hpp"

using namespace tavoq;

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;

class BatchStackSize : public ::testing::Test {
protected:
    void SetUp() override {
        const char *value = std::getenv("OMP_STACKSIZE");
        saved = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    void TearDown() override {
        if (saved) {
            setenv("OMP_STACKSIZE", saved->c_str(), 1);
        } else {
            unsetenv("OMP_STACKSIZE");
        }
    }
    std::optional<std::string> saved;
};

// The thread that opens the region has the C library's stack; the region's others OpenMP's.
TEST_F(BatchStackSize, CountsTheOpenerAndTheOtherThreadsOfTheRegion) {
    setenv("OMP_STACKSIZE", "4M", 1);
    EXPECT_EQ(batchStacks(1).address, 0u);
    EXPECT_EQ(batchStacks(1).memory, 0u);
    const std::uint64_t opener = platform::defaultThreadStackBytes() + platform::kThreadExtraBytes;
    EXPECT_EQ(batchStacks(3).address, opener + 2 * (4 * kMiB + platform::kThreadExtraBytes));
    EXPECT_EQ(batchStacks(3).memory, 8 * kMiB);
    unsetenv("OMP_STACKSIZE");
    EXPECT_EQ(batchStacks(3).address, 3 * opener);
    EXPECT_EQ(batchStacks(3).memory, 0u); // a stack nobody sized is touched only as needed
}

class ForEachRun : public ::testing::TestWithParam<int> {};

TEST_P(ForEachRun, PerformsEveryRunOnceAndNeverRestarts) {
    const int slots = GetParam();
    std::vector<std::atomic<int>> performed(1000);
    bool restarted = false;
    forEachRun(
        1000, slots, InterruptCheck{}, [&restarted] { restarted = true; },
        [&](int, RunControl) { return [&performed](int i) { ++performed[i]; }; });
    for (std::size_t i = 0; i < performed.size(); ++i) {
        ASSERT_EQ(performed[i].load(), 1) << i;
    }
    EXPECT_FALSE(restarted);
}

// Runs that never end by themselves: only the stop flag ends them, raised by the interrupt
// check, which runs on the calling thread only.
TEST_P(ForEachRun, InterruptOnTheCallingThreadStopsEveryRun) {
    const int slots = GetParam();
    struct Stop {};
    const auto caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    std::atomic<int> started{0};
    const InterruptCheck stopOnceRunning = [&] {
        if (std::this_thread::get_id() != caller) {
            ++elsewhere;
        }
        if (started.load() > 0) {
            throw Stop{};
        }
    };
    const auto endless = [&](int, RunControl control) {
        return [&started, control](int) {
            ++started;
            while (!control.stop->load()) {
                if (control.interrupted != nullptr) {
                    (*control.interrupted)(); // the engine's check within a long run
                }
                std::this_thread::yield();
            }
            throw RunCancelled();
        };
    };
    EXPECT_THROW(forEachRun(100, slots, stopOnceRunning, [] {}, endless), Stop);
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_LE(started.load(), slots);
}

TEST_P(ForEachRun, FirstErrorIsRethrownAfterTheRuns) {
    const auto failing = [](int, RunControl) {
        return [](int i) {
            if (i == 321) {
                throw std::out_of_range("run 321");
            }
        };
    };
    EXPECT_THROW(
        forEachRun(1000, GetParam(), InterruptCheck{}, [] {}, failing), std::out_of_range);
}

INSTANTIATE_TEST_SUITE_P(Slots, ForEachRun, ::testing::Values(1, 2, 3));

} // namespace
