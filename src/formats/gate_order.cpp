#include "formats/gate_order.hpp"

#include <utility>

namespace tavoq {

bool gatesInOrder(const std::vector<std::uint32_t> &first, const std::vector<std::uint32_t> &named,
                  std::vector<std::uint32_t> &order) {
    const auto n = static_cast<std::uint32_t>(first.size() - 1);
    enum : std::uint8_t { New, OnPath, Done };
    std::vector<std::uint8_t> state(n, New);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stack; // gate, next of its names
    order.clear();
    order.reserve(n);
    for (std::uint32_t start = 0; start < n; ++start) {
        if (state[start] != New) {
            continue;
        }
        state[start] = OnPath;
        stack.emplace_back(start, first[start]);
        while (!stack.empty()) {
            const std::uint32_t gate = stack.back().first;
            if (stack.back().second == first[gate + 1]) {
                state[gate] = Done;
                order.push_back(gate);
                stack.pop_back();
                continue;
            }
            const std::uint32_t child = named[stack.back().second++];
            if (state[child] == OnPath) {
                return false;
            }
            if (state[child] == New) {
                state[child] = OnPath;
                stack.emplace_back(child, first[child]);
            }
        }
    }
    return true;
}

} // namespace tavoq
