#include "logic/graph_walks.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

namespace tavoq {

namespace {

void checkGraph(int nComponents, const std::vector<std::int64_t> &offsets,
                const std::vector<std::int32_t> &inputs, int top) {
    if (nComponents < 1) {
        throw std::invalid_argument("the graph has no components");
    }
    if (offsets.empty() || offsets.front() != 0 ||
        offsets.back() != static_cast<std::int64_t>(inputs.size())) {
        throw std::invalid_argument("the offsets must run from 0 to the number of inputs");
    }
    const std::size_t gates = offsets.size() - 1;
    if (top < 0 || static_cast<std::size_t>(top) >= gates) {
        throw std::invalid_argument("top gate " + std::to_string(top) + " out of range");
    }
    for (std::size_t g = 0; g < gates; ++g) {
        if (offsets[g + 1] < offsets[g]) {
            throw std::invalid_argument("the offsets must not decrease");
        }
        const std::int64_t before =
            static_cast<std::int64_t>(nComponents) + static_cast<std::int64_t>(g);
        for (std::int64_t j = offsets[g]; j < offsets[g + 1]; ++j) {
            const std::int32_t node = inputs[static_cast<std::size_t>(j)];
            if (node < 0 || node >= before) {
                throw std::invalid_argument("gate " + std::to_string(g) + ": input " +
                                            std::to_string(node) +
                                            " is neither a component nor an earlier gate");
            }
        }
    }
}

} // namespace

GraphWalks walkGraph(int nComponents, const std::vector<std::int64_t> &offsets,
                     const std::vector<std::int32_t> &inputs, int top) {
    checkGraph(nComponents, offsets, inputs, top);
    const auto n = static_cast<std::size_t>(nComponents);
    const std::size_t gates = offsets.size() - 1;
    const std::size_t size = n + gates;
    auto begin = [&](std::size_t gate) { return static_cast<std::size_t>(offsets[gate]); };
    auto end = [&](std::size_t gate) { return static_cast<std::size_t>(offsets[gate + 1]); };
    const std::size_t topNode = n + static_cast<std::size_t>(top);
    GraphWalks walks;

    // The variable order: a stack of nodes, each taken once as it leaves the stack, a gate's
    // inputs pushed in reverse so that the first comes out first.
    {
        std::vector<std::uint8_t> seen(size, 0);
        std::vector<std::int32_t> stack{static_cast<std::int32_t>(topNode)};
        while (!stack.empty()) {
            const auto node = static_cast<std::size_t>(stack.back());
            stack.pop_back();
            if (seen[node]) {
                continue;
            }
            seen[node] = 1;
            if (node < n) {
                walks.variableOrder.push_back(static_cast<std::int32_t>(node));
            } else {
                const std::size_t gate = node - n;
                for (std::size_t j = end(gate); j > begin(gate); --j) {
                    stack.push_back(inputs[j - 1]);
                }
            }
        }
    }

    // The gates under the top, and how often those take each gate as an input.
    walks.underTop.assign(gates, 0);
    walks.uses.assign(gates, 0);
    walks.underTop[static_cast<std::size_t>(top)] = 1;
    for (std::size_t gate = gates; gate-- > 0;) {
        if (!walks.underTop[gate]) {
            continue;
        }
        for (std::size_t j = begin(gate); j < end(gate); ++j) {
            const auto node = static_cast<std::size_t>(inputs[j]);
            if (node >= n) {
                walks.underTop[node - n] = 1;
                walks.uses[node - n] += 1;
            }
        }
    }

    // Modules: a depth-first walk from the top dates each node's first and last visit and
    // the end of its walk (a date per step, as the analysis has always counted them); a gate
    // is a module when everything below it is visited, first and last, within its own walk.
    std::vector<std::int64_t> first(size, 0);
    std::vector<std::int64_t> last(size, 0);
    std::vector<std::int64_t> done(size, 0);
    std::int64_t date = 1;
    first[topNode] = date;
    // (node, the next of its inputs to visit)
    std::vector<std::pair<std::size_t, std::size_t>> stack{{topNode, begin(topNode - n)}};
    while (!stack.empty()) {
        auto &[node, next] = stack.back();
        ++date;
        if (next == end(node - n)) {
            done[node] = last[node] = date;
            stack.pop_back();
            continue;
        }
        const auto below = static_cast<std::size_t>(inputs[next]);
        ++next;
        if (first[below]) {
            last[below] = date;
        } else {
            first[below] = date;
            if (below < n) {
                done[below] = last[below] = date;
            } else {
                stack.emplace_back(below, begin(below - n));
            }
        }
    }
    // The earliest first visit and the latest last visit below each gate, inputs first.
    std::vector<std::int64_t> earliest(first);
    std::vector<std::int64_t> latest(last);
    walks.module.assign(gates, 0);
    const auto never = static_cast<std::int64_t>(size) * 4;
    for (std::size_t gate = 0; gate < gates; ++gate) {
        const std::size_t node = n + gate;
        if (!first[node]) {
            continue;
        }
        std::int64_t low = never;
        std::int64_t high = 0;
        for (std::size_t j = begin(gate); j < end(gate); ++j) {
            const auto input = static_cast<std::size_t>(inputs[j]);
            low = std::min({low, first[input], earliest[input]});
            high = std::max({high, last[input], latest[input]});
        }
        earliest[node] = low;
        latest[node] = high;
        walks.module[gate] = first[node] < low && high < done[node] ? 1 : 0;
    }
    return walks;
}

} // namespace tavoq
