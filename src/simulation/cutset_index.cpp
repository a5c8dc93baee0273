#include "simulation/cutset_index.hpp"

#include <stdexcept>
#include <string>

#include "cutset/cutset_tree.hpp"

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
    const std::vector<std::vector<int>> cutsets = tree.getCutsets();
    const auto n = static_cast<std::size_t>(nComponents);
    sizes.reserve(cutsets.size());
    std::vector<std::size_t> counts(n + 1, 0);
    for (const std::vector<int> &cutset : cutsets) {
        std::int32_t size = 0;
        for (std::size_t j = 0; j < cutset.size(); ++j) {
            if (cutset[j] != 1) {
                continue;
            }
            if (j >= n) {
                throw std::invalid_argument(
                    "Cut set " + describe(cutset) + " has a member at position " +
                    std::to_string(j) + ", past the last component: the model has " +
                    std::to_string(nComponents) + " components, so it could never fail.");
            }
            ++counts[j + 1];
            ++size;
        }
        if (size == 0) {
            memberlessCutsets.push_back(static_cast<std::int32_t>(sizes.size()));
        }
        sizes.push_back(size);
    }
    offsets.assign(n + 1, 0);
    for (std::size_t c = 0; c < n; ++c) {
        offsets[c + 1] = offsets[c] + counts[c + 1];
    }
    members.resize(offsets[n]);
    std::vector<std::size_t> next(offsets.begin(), offsets.end() - 1);
    for (std::size_t k = 0; k < cutsets.size(); ++k) {
        const std::vector<int> &cutset = cutsets[k];
        for (std::size_t j = 0; j < cutset.size(); ++j) {
            if (cutset[j] == 1) {
                members[next[j]++] = static_cast<std::int32_t>(k);
            }
        }
    }
}
