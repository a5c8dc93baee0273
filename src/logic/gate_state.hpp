#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "logic/gate_graph.hpp"

namespace tavoq {

/// The gates' state during one run: per gate its count of failed inputs, per node whether it
/// is failed. When a component crosses between working and failed, its parents' counts move;
/// only the gates whose output changes pass it on to theirs. Monotone logic and a single
/// component moving in one direction make every count move one way, so each gate's output
/// changes at most once per crossing: a crossing costs the gates that change plus their
/// parents' counters, whatever the number of cut sets the graph stands for.
///
/// Allocates only when built; confined to one thread.
class GateState {
public:
    explicit GateState(const GateGraph &graph)
        : components(graph.nComponents()), topNode(static_cast<std::size_t>(graph.top())),
          topGate(topNode - static_cast<std::size_t>(graph.nComponents())),
          thresholds(graph.thresholdData()), offsets(graph.parentOffsetData()),
          parents(graph.parentData()), start(graph), counts(graph.initialFailedInputs()),
          failed(graph.initialNodeFailed()), pending(static_cast<std::size_t>(graph.nGates())) {
        if (graph.general()) {
            since.assign(static_cast<std::size_t>(graph.nNodes()), 0);
            dirty.assign(static_cast<std::size_t>(graph.nGates()), 0);
            inputOffsets = graph.inputOffsetData();
            inputs = graph.inputData();
            // Inputs failed from the start (under a not) failed first at unit 0.
            const std::size_t edges = inputOffsets[graph.nGates()];
            startFirstFailed.resize(edges);
            for (std::size_t e = 0; e < edges; ++e) {
                const auto node = static_cast<std::size_t>(inputs[e]);
                startFirstFailed[e] = graph.initialNodeFailed()[node] != 0 ? 0 : -1;
            }
            firstFailed = startFirstFailed;
        }
    }

    /// Every component working again.
    void reset() {
        std::copy(start.initialFailedInputs().begin(), start.initialFailedInputs().end(),
                  counts.begin());
        std::copy(start.initialNodeFailed().begin(), start.initialNodeFailed().end(),
                  failed.begin());
        std::fill(since.begin(), since.end(), 0);
        std::copy(startFirstFailed.begin(), startFirstFailed.end(), firstFailed.begin());
    }

    bool nodeFailed(int node) const { return failed[static_cast<std::size_t>(node)] != 0; }
    bool topFailed() const { return failed[topNode] != 0; }

    /// The size of save()'s record: what a general graph's run remembers (each gate's count,
    /// each node's verdict and the unit it failed, the first failures memory gates hold).
    std::size_t memorySize() const {
        return counts.size() + failed.size() + since.size() + firstFailed.size();
    }
    /// Appends the run's memory to `out`, for restore() to put back: a split trajectory's
    /// order gates must see the order its copies inherit, which replaying the failed
    /// components cannot give.
    void save(std::vector<std::int32_t> &out) const {
        out.insert(out.end(), counts.begin(), counts.end());
        out.insert(out.end(), failed.begin(), failed.end());
        out.insert(out.end(), since.begin(), since.end());
        out.insert(out.end(), firstFailed.begin(), firstFailed.end());
    }
    /// Puts back the memory save() appended at `from`.
    void restore(const std::int32_t *from) {
        std::copy_n(from, counts.size(), counts.begin());
        from += counts.size();
        std::transform(from, from + failed.size(), failed.begin(),
                       [](std::int32_t v) { return static_cast<std::uint8_t>(v); });
        from += failed.size();
        std::copy_n(from, since.size(), since.begin());
        from += since.size();
        std::copy_n(from, firstFailed.size(), firstFailed.begin());
    }

    /// Component c crossed from working to failed (kFailed) or back; it must be in the other
    /// state before. Calls changed(g) for every gate whose output changed, once its new
    /// output is set. Returns the input counts it moved (the crossing's cost).
    template <bool kFailed, typename Changed>
    [[gnu::always_inline]] inline std::size_t cross(int c, Changed &&changed) {
        std::size_t moved = 0;
        failed[static_cast<std::size_t>(c)] = kFailed ? 1 : 0;
        std::int32_t *const bottom = pending.data();
        std::int32_t *top = bottom; // each gate changes once, so nGates entries suffice
        std::size_t node = static_cast<std::size_t>(c);
        while (true) {
            const std::int32_t *p = parents + offsets[node];
            const std::int32_t *const end = parents + offsets[node + 1];
            moved += static_cast<std::size_t>(end - p);
            for (; p != end; ++p) {
                const auto g = static_cast<std::size_t>(*p);
                if constexpr (kFailed) {
                    if (++counts[g] == thresholds[g]) {
                        *top++ = *p;
                    }
                } else {
                    if (counts[g]-- == thresholds[g]) {
                        *top++ = *p;
                    }
                }
            }
            if (top == bottom) {
                return moved;
            }
            const std::int32_t g = *--top;
            node = static_cast<std::size_t>(components) + static_cast<std::size_t>(g);
            failed[node] = kFailed ? 1 : 0;
            changed(g);
        }
    }

    /// The same crossing over the cut sets' graph (GateGraph(const CutsetIndex &)), where
    /// each gate a component feeds is a cut set under the one `or` on top. It moves the cut
    /// sets' counts and the top's count of complete cut sets, and calls changed(g) for the
    /// same gates as cross: a cut set before the top it turns. Only the top's state is kept;
    /// nodeFailed of the components and the cut sets is left as the run began. This is the
    /// plain engine's path, which reads the top alone: a few instructions per crossing,
    /// where the general walk keeps a stack of gates to visit.
    template <bool kFailed, typename Changed>
    [[gnu::always_inline]] inline std::size_t crossCutsets(int c, Changed &&changed) {
        const std::size_t first = offsets[static_cast<std::size_t>(c)];
        const std::size_t last = offsets[static_cast<std::size_t>(c) + 1];
        for (std::size_t i = first; i != last; ++i) {
            const std::int32_t k = parents[i];
            const auto g = static_cast<std::size_t>(k);
            if constexpr (kFailed) {
                if (++counts[g] == thresholds[g]) {
                    changed(k);
                    if (counts[topGate]++ == 0) {
                        failed[topNode] = 1;
                        changed(static_cast<std::int32_t>(topGate));
                    }
                }
            } else {
                if (counts[g]-- == thresholds[g]) {
                    changed(k);
                    if (--counts[topGate] == 0) {
                        failed[topNode] = 0;
                        changed(static_cast<std::int32_t>(topGate));
                    }
                }
            }
        }
        return last - first;
    }

    /// The crossing of a general graph (GateGraph::general), where a gate may change in
    /// either direction and an order gate reads when its inputs failed: component or leaf c
    /// turned failed (toFailed) or working at unit `now`. The gates to look at are taken in
    /// increasing index, so each is evaluated once, after all its inputs have settled; a
    /// gate that changes passes it on to its parents. Calls changed(g, nowFailed) for every
    /// gate whose output changed, once it is set. Returns the input counts it moved.
    template <typename Changed>
    std::size_t crossGeneral(int c, bool toFailed, int now, Changed &&changed) {
        std::size_t moved = 0;
        std::int32_t *const heapBegin = pending.data();
        std::int32_t *heapEnd = heapBegin; // each gate waits at most once: nGates entries
        const auto later = [](std::int32_t a, std::int32_t b) { return a > b; };
        const auto set = [&](std::size_t node, bool nowFailed) {
            failed[node] = nowFailed ? 1 : 0;
            if (nowFailed) {
                since[node] = now;
            }
            const std::int32_t *p = parents + offsets[node];
            const std::int32_t *const end = parents + offsets[node + 1];
            moved += static_cast<std::size_t>(end - p);
            for (; p != end; ++p) {
                const auto g = static_cast<std::size_t>(*p);
                counts[g] += nowFailed ? 1 : -1;
                if (dirty[g] == 0) {
                    dirty[g] = 1;
                    *heapEnd++ = *p;
                    std::push_heap(heapBegin, heapEnd, later);
                }
            }
        };
        set(static_cast<std::size_t>(c), toFailed);
        while (heapEnd != heapBegin) {
            std::pop_heap(heapBegin, heapEnd, later);
            const std::int32_t g = *--heapEnd;
            dirty[static_cast<std::size_t>(g)] = 0;
            const std::size_t node =
                static_cast<std::size_t>(components) + static_cast<std::size_t>(g);
            const bool nowFailed = holds(g);
            if (nowFailed != (failed[node] != 0)) {
                set(node, nowFailed);
                changed(g, nowFailed);
            }
        }
        return moved;
    }

private:
    // Gate g's state; a memory gate first notes the unit of each input's first failure
    // since its inputs were last all working, and forgets them all once they are.
    bool holds(std::int32_t g) {
        const auto i = static_cast<std::size_t>(g);
        const GateKind kind = start.kind(g);
        if (!remembers(kind)) {
            return start.holds(g, counts.data(), failed.data(), since.data());
        }
        const std::int32_t *in = inputs + inputOffsets[i];
        std::int32_t *first = firstFailed.data() + inputOffsets[i];
        const int n = static_cast<int>(inputOffsets[i + 1] - inputOffsets[i]);
        if (counts[i] == 0) {
            std::fill(first, first + n, -1);
            return false;
        }
        const auto inputFailed = [&](int j) {
            return failed[static_cast<std::size_t>(in[j])] != 0;
        };
        for (int j = 0; j < n; ++j) {
            if (first[j] < 0 && inputFailed(j)) {
                first[j] = since[static_cast<std::size_t>(in[j])];
            }
        }
        return orderHolds(kind, n, inputFailed, [&](int j) { return first[j]; });
    }

    int components;
    std::size_t topNode;
    std::size_t topGate; // the top's gate index (for the cut sets' graph)
    const std::int32_t *thresholds;
    const std::size_t *offsets;
    const std::int32_t *parents;
    const GateGraph &start;
    std::vector<std::int32_t> counts;
    std::vector<std::uint8_t> failed;
    std::vector<std::int32_t> pending;
    std::vector<std::int32_t> since; // general graphs: per node, the unit its failure began
    std::vector<std::uint8_t> dirty; // general graphs: per gate, waiting in pending
    const std::size_t *inputOffsets = nullptr; // general graphs: each gate's inputs
    const std::int32_t *inputs = nullptr;
    std::vector<std::int32_t> firstFailed; // per input of a memory gate, or -1
    std::vector<std::int32_t> startFirstFailed;
};

} // namespace tavoq
