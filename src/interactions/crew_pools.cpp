#include "interactions/crew_pools.hpp"

#include <algorithm>

namespace tavoq {

CrewPools::CrewPools(const std::vector<int> &sizes, int nComponents)
    : heldBy(static_cast<std::size_t>(nComponents), -1),
      waitingIn(static_cast<std::size_t>(nComponents), -1) {
    pools.reserve(sizes.size());
    for (const int n : sizes) {
        Pool p;
        p.crews = n;
        p.queue.reserve(static_cast<std::size_t>(nComponents));
        pools.push_back(std::move(p));
    }
}

void CrewPools::reset() {
    for (Pool &p : pools) {
        for (const Waiting &w : p.queue) {
            waitingIn[static_cast<std::size_t>(w.component)] = -1;
        }
        p.queue.clear();
        p.busy = 0;
        p.last = 0;
        p.run = Figures{};
    }
    std::fill(heldBy.begin(), heldBy.end(), -1);
}

void CrewPools::advance(Pool &p, int t) {
    p.run.busy += static_cast<std::int64_t>(p.busy) * (t - p.last);
    p.run.wait += static_cast<std::int64_t>(p.queue.size()) * (t - p.last);
    p.last = t;
}

bool CrewPools::request(int pool, int c, int priority, int t) {
    Pool &p = pools[static_cast<std::size_t>(pool)];
    advance(p, t);
    ++p.run.requests;
    if (p.busy < p.crews) {
        ++p.busy;
        heldBy[static_cast<std::size_t>(c)] = pool;
        return true;
    }
    const Waiting w{t, priority, c};
    std::size_t at = p.queue.size();
    while (at > 0 && w.before(p.queue[at - 1])) {
        --at;
    }
    p.queue.insert(p.queue.begin() + static_cast<std::ptrdiff_t>(at), w); // within capacity
    p.run.longest = std::max(p.run.longest, static_cast<std::int64_t>(p.queue.size()));
    waitingIn[static_cast<std::size_t>(c)] = pool;
    return false;
}

int CrewPools::leave(int c, int t) {
    const auto k = static_cast<std::size_t>(c);
    if (waitingIn[k] >= 0) {
        Pool &p = pools[static_cast<std::size_t>(waitingIn[k])];
        advance(p, t);
        const auto it = std::find_if(p.queue.begin(), p.queue.end(),
                                     [c](const Waiting &w) { return w.component == c; });
        p.queue.erase(it);
        waitingIn[k] = -1;
    }
    const int pool = heldBy[k];
    if (pool >= 0) {
        Pool &p = pools[static_cast<std::size_t>(pool)];
        advance(p, t);
        --p.busy;
        heldBy[k] = -1;
    }
    return pool;
}

int CrewPools::handOut(int pool, int t) {
    Pool &p = pools[static_cast<std::size_t>(pool)];
    if (p.busy >= p.crews || p.queue.empty()) {
        return -1;
    }
    advance(p, t);
    const int c = p.queue.front().component;
    p.queue.erase(p.queue.begin());
    waitingIn[static_cast<std::size_t>(c)] = -1;
    heldBy[static_cast<std::size_t>(c)] = pool;
    ++p.busy;
    return c;
}

void CrewPools::finish(int simTime) {
    for (Pool &p : pools) {
        advance(p, simTime);
    }
}

} // namespace tavoq
