#include "cutset/cutset_index.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include "cutset/cutset_tree.hpp"

namespace tavoq {

namespace {

std::string describe(const std::vector<int> &cutset) {
    std::string text = "[";
    for (std::size_t j = 0; j < cutset.size(); ++j) {
        text += (j > 0 ? ", " : "") + std::to_string(cutset[j]);
    }
    return text + "]";
}

} // namespace

CutsetIndex::CutsetIndex(const CutsetTree &tree, int nComponents) {
    const auto n = static_cast<std::size_t>(nComponents);
    // One pass over the stored vectors (they span every component, so this pass is most of
    // the cost of a call on a large model): the members of each cut set, as pairs.
    std::vector<std::pair<std::int32_t, std::int32_t>> memberships; // (component, cut set)
    std::vector<std::size_t> counts(n + 1, 0);
    tree.forEachCutset([&](const std::vector<int> &cutset) {
        const auto k = static_cast<std::int32_t>(sizes.size());
        const int *values = cutset.data();
        const std::size_t length = cutset.size();
        std::int32_t size = 0;
        for (std::size_t j = 0; j < length; ++j) {
            if (values[j] != 1) [[likely]] {
                continue;
            }
            if (j >= n) {
                throw std::invalid_argument(
                    "Cut set " + describe(cutset) + " has a member at position " +
                    std::to_string(j) + ", past the last component: the model has " +
                    std::to_string(nComponents) + " components, so it could never fail.");
            }
            memberships.emplace_back(static_cast<std::int32_t>(j), k);
            ++counts[j + 1];
            ++size;
        }
        if (size == 0) {
            memberlessCutsets.push_back(k);
        }
        sizes.push_back(size);
    });
    // Grouped by component, each group in increasing cut-set number.
    offsets.assign(n + 1, 0);
    for (std::size_t c = 0; c < n; ++c) {
        offsets[c + 1] = offsets[c] + counts[c + 1];
    }
    members.resize(offsets[n]);
    std::vector<std::size_t> next(offsets.begin(), offsets.end() - 1);
    for (const auto &[c, k] : memberships) {
        members[next[static_cast<std::size_t>(c)]++] = k;
    }
}

} // namespace tavoq
