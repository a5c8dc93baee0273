#pragma once

#include <cstdint>
#include <vector>

#include "simulation/crew_view.hpp"

namespace tavoq {

/// The repair crews of one run: per pool its free crews and its queue of waiting units,
/// first come first served (by the time unit a unit started waiting, then its priority,
/// lower first, then its component index), and what a run reports of each pool. The queues
/// hold at most every component once and are reserved so when built: nothing is allocated
/// per transition. Confined to one thread.
class CrewPools final : public CrewView {
public:
    /// One run's figures for a pool: crew-units busy, units waiting (summed over the waiting
    /// units), requests, and the longest queue.
    struct Figures {
        std::int64_t busy = 0;
        std::int64_t wait = 0;
        std::int64_t requests = 0;
        std::int64_t longest = 0;
    };

    CrewPools(const std::vector<int> &sizes, int nComponents);

    void reset();
    int nPools() const override { return static_cast<int>(pools.size()); }
    bool waiting(int c) const { return waitingIn[static_cast<std::size_t>(c)] >= 0; }
    /// Whether every crew of `pool` is busy and a unit waits for one.
    bool saturated(int pool) const override {
        const Pool &p = pools[static_cast<std::size_t>(pool)];
        return p.busy >= p.crews && !p.queue.empty();
    }
    /// c enters a state served by `pool` at time t: it takes a free crew (true) or joins the
    /// queue (false).
    bool request(int pool, int c, int priority, int t);
    /// c leaves its state: the crew it held is released (its pool is returned, else -1) and
    /// a place in a queue is given up.
    int leave(int c, int t);
    /// A free crew of `pool` takes the next waiting unit, which is returned (else -1).
    int handOut(int pool, int t);
    /// Closes the run's figures at simTime.
    void finish(int simTime);
    const Figures &figures(int pool) const { return pools[static_cast<std::size_t>(pool)].run; }

private:
    struct Waiting {
        int since;
        int priority;
        int component;
        bool before(const Waiting &o) const {
            if (since != o.since) {
                return since < o.since;
            }
            if (priority != o.priority) {
                return priority < o.priority;
            }
            return component < o.component;
        }
    };
    struct Pool {
        int crews;
        int busy = 0;
        int last = 0;               // the time unit of the last change of busy or of the queue
        std::vector<Waiting> queue; // in service order
        Figures run;
    };
    void advance(Pool &p, int t);

    std::vector<Pool> pools;
    std::vector<int> heldBy;    // per component: the pool whose crew it holds, or -1
    std::vector<int> waitingIn; // per component: the pool it waits for, or -1
};

} // namespace tavoq
