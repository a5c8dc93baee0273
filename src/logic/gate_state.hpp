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
          thresholds(graph.thresholdData()), offsets(graph.parentOffsetData()),
          parents(graph.parentData()), start(graph), counts(graph.initialFailedInputs()),
          failed(graph.initialNodeFailed()), pending(static_cast<std::size_t>(graph.nGates())) {}

    /// Every component working again.
    void reset() {
        std::copy(start.initialFailedInputs().begin(), start.initialFailedInputs().end(),
                  counts.begin());
        std::copy(start.initialNodeFailed().begin(), start.initialNodeFailed().end(),
                  failed.begin());
    }

    bool nodeFailed(int node) const { return failed[static_cast<std::size_t>(node)] != 0; }
    bool topFailed() const { return failed[topNode] != 0; }

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

private:
    int components;
    std::size_t topNode;
    const std::int32_t *thresholds;
    const std::size_t *offsets;
    const std::int32_t *parents;
    const GateGraph &start;
    std::vector<std::int32_t> counts;
    std::vector<std::uint8_t> failed;
    std::vector<std::int32_t> pending;
};

} // namespace tavoq
