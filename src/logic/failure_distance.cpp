#include "logic/failure_distance.hpp"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace tavoq {

namespace {

std::int32_t plus(std::int32_t a, std::int32_t b) {
    return std::min(FailureDistance::kFar, a + b); // both at most kFar: no overflow
}

} // namespace

FailureDistance::FailureDistance(const GateGraph &graph)
    : components(graph.nComponents()), topNode(graph.top()),
      parentOffsets(graph.parentOffsetData()), parents(graph.parentData()) {
    const auto nGates = static_cast<std::size_t>(graph.nGates());
    const auto nNodes = static_cast<std::size_t>(graph.nNodes());
    // Each gate's inputs, from the lists of the gates each node feeds (a node that feeds a
    // gate twice is its input twice, as the counts have it).
    inputOffsets.assign(nGates + 1, 0);
    for (std::size_t node = 0; node < nNodes; ++node) {
        for (std::size_t e = parentOffsets[node]; e < parentOffsets[node + 1]; ++e) {
            ++inputOffsets[static_cast<std::size_t>(parents[e]) + 1];
        }
    }
    for (std::size_t g = 0; g < nGates; ++g) {
        inputOffsets[g + 1] += inputOffsets[g];
    }
    inputs.resize(inputOffsets[nGates]);
    std::vector<std::size_t> fill(inputOffsets.begin(), inputOffsets.end() - 1);
    for (std::size_t node = 0; node < nNodes; ++node) {
        for (std::size_t e = parentOffsets[node]; e < parentOffsets[node + 1]; ++e) {
            inputs[fill[static_cast<std::size_t>(parents[e])]++] = static_cast<std::int32_t>(node);
        }
    }
    needed.resize(nGates);
    std::size_t widest = 0;
    for (std::size_t g = 0; g < nGates; ++g) {
        const auto n = static_cast<std::int32_t>(inputOffsets[g + 1] - inputOffsets[g]);
        widest = std::max(widest, static_cast<std::size_t>(n));
        const int gate = static_cast<int>(g);
        const GateKind kind = graph.general() ? graph.kind(gate) : GateKind::AtLeast;
        switch (kind) {
        case GateKind::Or:
        case GateKind::Por:
        case GateKind::PorExclusive:
        case GateKind::PorMemory:
            needed[g] = 1;
            break;
        case GateKind::And:
        case GateKind::Pand:
        case GateKind::PandExclusive:
        case GateKind::PandMemory:
            needed[g] = n;
            break;
        case GateKind::AtLeast:
            needed[g] = graph.threshold(gate);
            break;
        default:
            throw std::invalid_argument(
                "The failure logic is not coherent: a distance to failure needs gates that "
                "fail as more of their inputs fail.");
        }
    }
    nearest.resize(widest);
    heap.reserve(nGates);
    queued.assign(nGates, 0);
    dist.assign(nNodes, 1);
    for (std::size_t g = 0; g < nGates; ++g) {
        dist[static_cast<std::size_t>(components) + g] = recompute(static_cast<int>(g));
    }
    start = dist;
}

void FailureDistance::reset() { std::copy(start.begin(), start.end(), dist.begin()); }

std::int32_t FailureDistance::recompute(int g) {
    const auto k = static_cast<std::size_t>(g);
    const std::int32_t *first = inputs.data() + inputOffsets[k];
    const std::int32_t *last = inputs.data() + inputOffsets[k + 1];
    const auto n = static_cast<std::int32_t>(last - first);
    const std::int32_t t = needed[k];
    if (t <= 0) {
        return 0;
    }
    if (t > n) {
        return kFar; // cannot fail
    }
    std::int32_t out = 0;
    if (t == 1) {
        out = kFar;
        for (const std::int32_t *p = first; p != last; ++p) {
            out = std::min(out, dist[static_cast<std::size_t>(*p)]);
        }
        return out;
    }
    if (t == n) {
        for (const std::int32_t *p = first; p != last; ++p) {
            out = plus(out, dist[static_cast<std::size_t>(*p)]);
        }
        return out;
    }
    std::int32_t *d = nearest.data();
    for (std::int32_t j = 0; j < n; ++j) {
        d[j] = dist[static_cast<std::size_t>(first[j])];
    }
    std::nth_element(d, d + t - 1, d + n);
    for (std::int32_t j = 0; j < t; ++j) {
        out = plus(out, d[j]);
    }
    return out;
}

void FailureDistance::setLeaf(int leaf, std::int32_t value) {
    auto node = static_cast<std::size_t>(leaf);
    if (dist[node] == value) {
        return;
    }
    dist[node] = value;
    const auto push = [&](std::size_t from) {
        for (std::size_t e = parentOffsets[from]; e < parentOffsets[from + 1]; ++e) {
            const std::int32_t g = parents[e];
            if (queued[static_cast<std::size_t>(g)] == 0) {
                queued[static_cast<std::size_t>(g)] = 1;
                heap.push_back(g); // within the reserved capacity: each gate once
                std::push_heap(heap.begin(), heap.end(), std::greater<>());
            }
        }
    };
    push(node);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), std::greater<>());
        const std::int32_t g = heap.back();
        heap.pop_back();
        queued[static_cast<std::size_t>(g)] = 0;
        const std::int32_t d = recompute(g);
        node = static_cast<std::size_t>(components) + static_cast<std::size_t>(g);
        if (d != dist[node]) {
            dist[node] = d;
            push(node);
        }
    }
}

} // namespace tavoq
