#include "simulation/recorders/criticality_recorder.hpp"

#include <algorithm>
#include <functional>

namespace tavoq {

CriticalityRecorder::CriticalityRecorder(const GateGraph &graph, const std::vector<int> &nodes,
                                         Outputs outputs)
    : graph(graph), nodes(nodes), out(outputs),
      failed(static_cast<std::size_t>(graph.nNodes()), 0),
      counts(static_cast<std::size_t>(graph.nGates()), 0),
      delta(static_cast<std::size_t>(graph.nGates()), 0),
      queued(static_cast<std::size_t>(graph.nGates()), 0), up(nodes.size(), 0),
      down(nodes.size(), 0), heldFailed(nodes.size(), 0), heldWorking(nodes.size(), 0),
      isCriticalNow(nodes.size(), 0) {
    pending.reserve(static_cast<std::size_t>(graph.nGates()));
    touched.reserve(static_cast<std::size_t>(graph.nGates()));
    const int n = graph.nComponents();
    const int gates = graph.nGates();
    // The inputs of each gate, from the graph's parents (an input listed twice, twice).
    inputOffsets.assign(static_cast<std::size_t>(gates) + 1, 0);
    for (int node = 0; node < graph.nNodes(); ++node) {
        for (const std::int32_t *p = graph.parentsBegin(node); p != graph.parentsEnd(node); ++p) {
            ++inputOffsets[static_cast<std::size_t>(*p) + 1];
        }
    }
    for (int g = 0; g < gates; ++g) {
        inputOffsets[static_cast<std::size_t>(g) + 1] += inputOffsets[static_cast<std::size_t>(g)];
    }
    inputs.resize(static_cast<std::size_t>(inputOffsets.back()));
    std::vector<std::int32_t> next(inputOffsets.begin(), inputOffsets.end() - 1);
    for (int node = 0; node < graph.nNodes(); ++node) {
        for (const std::int32_t *p = graph.parentsBegin(node); p != graph.parentsEnd(node); ++p) {
            inputs[static_cast<std::size_t>(next[static_cast<std::size_t>(*p)]++)] = node;
        }
    }
    // Paths to the top, counted down from it (inputs come before the gates they feed).
    paths.assign(static_cast<std::size_t>(graph.nNodes()), 0);
    paths[static_cast<std::size_t>(graph.top())] = 1;
    for (int g = gates - 1; g >= 0; --g) {
        const std::uint8_t here = paths[static_cast<std::size_t>(n + g)];
        if (here == 0) {
            continue;
        }
        for (auto e = inputOffsets[static_cast<std::size_t>(g)];
             e < inputOffsets[static_cast<std::size_t>(g) + 1]; ++e) {
            auto &count = paths[static_cast<std::size_t>(inputs[static_cast<std::size_t>(e)])];
            count = static_cast<std::uint8_t>(std::min(2, count + here));
        }
    }
    sensitive.assign(static_cast<std::size_t>(graph.nNodes()), 0);
}

void CriticalityRecorder::sensitivities() {
    const int n = graph.nComponents();
    std::fill(sensitive.begin(), sensitive.end(), 0);
    sensitive[static_cast<std::size_t>(graph.top())] = 1;
    for (int g = graph.nGates() - 1; g >= 0; --g) {
        if (sensitive[static_cast<std::size_t>(n + g)] == 0) {
            continue;
        }
        const std::int32_t count = counts[static_cast<std::size_t>(g)];
        const std::int32_t threshold = graph.threshold(g);
        for (auto e = inputOffsets[static_cast<std::size_t>(g)];
             e < inputOffsets[static_cast<std::size_t>(g) + 1]; ++e) {
            const auto input = static_cast<std::size_t>(inputs[static_cast<std::size_t>(e)]);
            const bool decides = failed[input] != 0 ? count == threshold : count + 1 == threshold;
            if (decides) {
                sensitive[input] = 1;
            }
        }
    }
}

void CriticalityRecorder::beginRun() {
    failed = graph.initialNodeFailed();
    counts = graph.initialFailedInputs();
    std::fill(up.begin(), up.end(), 0);
    std::fill(down.begin(), down.end(), 0);
    std::fill(heldFailed.begin(), heldFailed.end(), -1);
    std::fill(heldWorking.begin(), heldWorking.end(), -1);
    downUnits = 0;
    firstDown = -1;
    changed = true;
}

void CriticalityRecorder::flip(int node, bool nowFailed) {
    changed = true;
    failed[static_cast<std::size_t>(node)] = nowFailed ? 1 : 0;
    for (const std::int32_t *p = graph.parentsBegin(node); p != graph.parentsEnd(node); ++p) {
        counts[static_cast<std::size_t>(*p)] += nowFailed ? 1 : -1;
    }
}

bool CriticalityRecorder::critical(int node) {
    const int n = graph.nComponents();
    const int top = graph.top();
    if (node == top) {
        return true;
    }
    const auto push = [&](int g, int change) {
        const auto i = static_cast<std::size_t>(g);
        if (delta[i] == 0 && queued[i] == 0) {
            touched.push_back(g);
        }
        delta[i] += change;
        if (queued[i] == 0) {
            queued[i] = 1;
            pending.push_back(g);
            std::push_heap(pending.begin(), pending.end(), std::greater<>());
        }
    };
    const int change = failed[static_cast<std::size_t>(node)] != 0 ? -1 : 1;
    for (const std::int32_t *p = graph.parentsBegin(node); p != graph.parentsEnd(node); ++p) {
        push(*p, change);
    }
    bool turned = false;
    while (!pending.empty()) {
        std::pop_heap(pending.begin(), pending.end(), std::greater<>());
        const int g = pending.back();
        pending.pop_back();
        const auto i = static_cast<std::size_t>(g);
        queued[i] = 0;
        const bool was = failed[static_cast<std::size_t>(n + g)] != 0;
        const bool now = counts[i] + delta[i] >= graph.threshold(g);
        if (was == now) {
            continue;
        }
        if (n + g == top) {
            turned = true;
            break;
        }
        for (const std::int32_t *p = graph.parentsBegin(n + g); p != graph.parentsEnd(n + g);
             ++p) {
            push(*p, now ? 1 : -1);
        }
    }
    for (const int g : pending) {
        queued[static_cast<std::size_t>(g)] = 0;
    }
    pending.clear();
    for (const int g : touched) {
        delta[static_cast<std::size_t>(g)] = 0;
    }
    touched.clear();
    return turned;
}

void CriticalityRecorder::stretch(int from, int to, std::uint32_t state) {
    const bool systemDown = state != 0;
    if (systemDown) {
        downUnits += to - from;
        if (firstDown < 0) {
            firstDown = from;
        }
    }
    if (changed) {
        // In coherent logic a node can turn the system over only towards its own state: up,
        // only a working node can fail it; down, only a failed one can restore it.
        sensitivities();
        for (std::size_t k = 0; k < nodes.size(); ++k) {
            const auto node = static_cast<std::size_t>(nodes[k]);
            const bool nodeFailed = failed[node] != 0;
            bool isCritical = false;
            if (nodeFailed == systemDown) {
                // One path: the sensitivity is exact; several: turn the node over and see.
                isCritical = paths[node] == 1  ? sensitive[node] != 0
                             : paths[node] > 1 ? critical(nodes[k])
                                               : false;
            }
            isCriticalNow[k] = isCritical ? 1 : 0;
        }
        changed = false;
    }
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        const int node = nodes[k];
        const bool nodeFailed = failed[static_cast<std::size_t>(node)] != 0;
        const bool isCritical = isCriticalNow[k] != 0;
        if (isCritical) {
            (nodeFailed ? down : up)[k] += to - from;
        }
        // Held failed, the system is down where it is or where the node, working, is
        // critical; held working, where it is down and the node is not failed and critical.
        if (heldFailed[k] < 0 && (systemDown || (isCritical && !nodeFailed))) {
            heldFailed[k] = from;
        }
        if (heldWorking[k] < 0 && systemDown && !(isCritical && nodeFailed)) {
            heldWorking[k] = from;
        }
    }
}

void CriticalityRecorder::endRun(int simTime, const std::vector<int> &) {
    const std::size_t k = nodes.size();
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t at = run * k + j;
        out.criticalWorking[at] = up[j];
        out.criticalFailed[at] = down[j];
        out.firstHeldFailed[at] = heldFailed[j] < 0 ? simTime : heldFailed[j];
        out.firstHeldWorking[at] = heldWorking[j] < 0 ? simTime : heldWorking[j];
    }
    out.downtime[run] = downUnits;
    out.firstFailure[run] = firstDown < 0 ? simTime : firstDown;
}

} // namespace tavoq
