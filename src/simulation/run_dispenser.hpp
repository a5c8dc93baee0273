#pragma once

#include <algorithm>
#include <atomic>

namespace tavoq {

/// Hands out the run indices 0 .. nRuns - 1 to the threads of a batch, each index exactly
/// once, in chunks of consecutive runs. A chunk is a quarter of one thread's share of the runs
/// still left, between 1 and kMaxChunk: large while much is left, so that the threads seldom
/// meet on the counter, and down to single runs at the end, so that no thread is still busy
/// with a long chunk while the others have nothing left to do. Which thread performs which
/// run changes nothing in a batch's results: each run is seeded by its index.
class RunDispenser {
public:
    static constexpr int kMaxChunk = 50;

    RunDispenser(int nRuns, int threads)
        : nRuns(std::max(nRuns, 0)), threads(std::max(threads, 1)) {}

    /// The size of the next chunk when `left` runs are still to be handed out (left > 0).
    int chunkFor(int left) const { return std::clamp(left / (4 * threads), 1, kMaxChunk); }

    /// Claims the next chunk, [begin, end); false once every run has been handed out.
    bool next(int &begin, int &end) {
        int start = claimed.load(std::memory_order_relaxed);
        int size = 0;
        do {
            if (start >= nRuns) {
                return false;
            }
            size = chunkFor(nRuns - start);
        } while (!claimed.compare_exchange_weak(start, start + size, std::memory_order_relaxed));
        begin = start;
        end = start + size;
        return true;
    }

private:
    const int nRuns;
    const int threads;
    alignas(64) std::atomic<int> claimed{0}; // a line of its own: every thread writes it
};

} // namespace tavoq
