#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

#include "distributions/continuous.hpp"
#include "simulation/delays.hpp"
#include "simulation/mt19937.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

/// Called on the calling thread between runs, and now and then within a long run; throws to
/// stop (the bindings use it to deliver Ctrl-C). Never called from any other thread.
using InterruptCheck = std::function<void()>;

/// How a run learns that it must stop early.
struct RunControl {
    /// The caller's interrupt check; only for runs on the calling thread.
    const InterruptCheck *interrupted = nullptr;
    /// Raised when the batch is being abandoned (an interrupt or an error elsewhere): a
    /// worker's run then throws RunCancelled at its next check.
    const std::atomic<bool> *stop = nullptr;
};

/// Thrown inside a run that stopped because RunControl::stop was raised; the batch reports
/// the error that raised the flag instead.
struct RunCancelled : std::exception {
    const char *what() const noexcept override { return "run cancelled"; }
};

/// What every engine does alike, whatever rules it follows between draws: the random draws
/// (one MT19937 engine, a probability per output), the sampling of a component's next
/// transition from its row of the model, the looks at the interrupt check and the stop flag
/// paced by the work done, and the limit on transitions at one time unit. The engines hold
/// one each and add their own rules on top; everything here inlines into their loops.
class RunCore {
public:
    /// Transitions applied at one time unit before the run is declared stuck: a million plus
    /// a hundred per component. A real model applies a few per component at most (a common
    /// inspection time can restore every component at once); this many means transitions
    /// keep falling due with zero delay and the clock would never move again.
    static constexpr long long transitionLimit(int nComponents) {
        return 1'000'000 + 100 * static_cast<long long>(nComponents);
    }
    /// Work between two looks at the interrupt check and the stop flag, in units of about a
    /// nanosecond or a few: one per transition applied, per draw it makes next, and per input
    /// count of a gate its crossing moves. Counting transitions alone let one that moves a
    /// hundred thousand counts go 65,536 times, seconds, between two looks; this way a look
    /// comes within a millisecond or so of work whatever a transition costs, and a cheap
    /// transition still pays for one look in tens of thousands.
    static constexpr std::int64_t kWorkBetweenChecks = 1 << 18;

    RunCore(int nComponents, RunControl control)
        : control(control), limit(transitionLimit(nComponents)) {}

    /// Seeds the random engine for a run.
    void seed(std::uint32_t seed) { rng.seed(seed); }

    /// A probability in [0, 1) with a step of 2^-24: the 24 high bits of one engine output.
    float drawUniform() {
        const std::uint32_t x = rng();
        return static_cast<float>(x >> 8) * 0x1p-24f;
    }

    /// Draws a delay for every to-state of `row`, in order, at time unit `now`, and keeps the
    /// earliest (the lowest to-state among equal delays): its delay is returned, its
    /// to-state put in `to`. The first pass of a run (kInitial) hands a draw below 0 or past
    /// kNoTransition to `outOfBounds(v, p)` and reads it as no transition; later a negative
    /// delay stays and fires at once.
    template <bool kInitial, typename OutOfBounds>
    [[gnu::always_inline]] inline int sample(const TransitionModel::Row &row, int now, int &to,
                                             OutOfBounds &&outOfBounds) {
        int bestTime = delays::kNever;
        int bestState = 0;
        using Kind = TransitionModel::Cell::Kind;
        for (int j = 0; j < row.size; ++j) {
            const float p = drawUniform();
            const TransitionModel::Cell &cell = row[j];
            if (cell.kind == Kind::Never) {
                continue; // its delay is the no-transition value, which never wins
            }
            double v = cell.kind == Kind::Exponential
                           ? Exponential::quantileOf(cell.rate, p)
                           : delays::sampleDelay(*cell.distribution, p, now);
            if constexpr (kInitial) {
                if (v < 0 || v > kNoTransition) {
                    outOfBounds(v, p);
                    v = kNoTransition;
                }
            }
            const int t = delays::toDelay(v);
            if (t < bestTime) {
                bestTime = t;
                bestState = j;
            }
        }
        to = bestState;
        return bestTime;
    }

    /// Work done since the last look (see kWorkBetweenChecks).
    void spend(std::int64_t work) { untilCheck -= work; }
    /// Looks at the interrupt check and the stop flag once enough work was done.
    /// @throws RunCancelled  the stop flag was raised; whatever the interrupt check throws.
    void checkIfDue() {
        if (untilCheck <= 0) {
            check();
        }
    }

    /// Counts a transition at the time unit `now`: `sameTime` says that the clock did not move
    /// since the last one. @throws std::runtime_error  past transitionLimit at one unit.
    void countTransition(bool sameTime, int now) {
        if (!sameTime) {
            atCurrentTime = 1;
        } else if (++atCurrentTime > limit) {
            noProgress(now);
        }
    }
    /// A probability in [0, 1) with a step of 2^-53, from two engine outputs (27 and 26 of
    /// their high bits): the draws of rare-event runs, whose events may be rarer than the
    /// 2^-24 step of drawUniform.
    double drawUniform53() {
        const std::uint32_t high = rng() >> 5;
        const std::uint32_t low = rng() >> 6;
        return (static_cast<double>(high) * 67108864.0 + static_cast<double>(low)) * 0x1p-53;
    }

    /// A new run: no transition yet at its first time unit.
    void beginRun() { atCurrentTime = 0; }

    /// The looks so far, over every run of this engine.
    std::uint64_t checks() const { return checksMade; }

private:
    void check() {
        untilCheck = kWorkBetweenChecks;
        ++checksMade;
        if (control.interrupted != nullptr && *control.interrupted) {
            (*control.interrupted)();
        }
        if (control.stop != nullptr && control.stop->load(std::memory_order_relaxed)) {
            throw RunCancelled();
        }
    }

    [[noreturn, gnu::cold, gnu::noinline]] void noProgress(int now) const {
        throw std::runtime_error("The model makes no progress at time unit " +
                                 std::to_string(now) + ": more than " + std::to_string(limit) +
                                 " transitions fell due there without the clock moving.");
    }

    RunControl control;
    Mt19937 rng;
    long long limit;
    long long atCurrentTime = 0;
    std::int64_t untilCheck = kWorkBetweenChecks;
    std::uint64_t checksMade = 0;
};

} // namespace tavoq
