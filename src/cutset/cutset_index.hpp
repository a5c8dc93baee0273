#pragma once

#include <cstdint>
#include <vector>

namespace tavoq {

class CutsetTree;

/// The stored cut sets of a tree, arranged for the engine's verdict: for every component the
/// cut sets it belongs to, and for every cut set its number of members. A run keeps, per cut
/// set, how many of its members are failed; the system is failed while some count reaches
/// its cut set's size. A transition then costs the number of cut sets holding the component
/// that moved, whatever the depth of the tree.
///
/// Members are the elements equal to 1 (the tree's containment rule); a cut set without any
/// lies within every set of failed components. Cut sets are numbered in getCutsets() order.
/// Built once per runner call and shared read-only by every run and thread.
class CutsetIndex {
public:
    /// @throws std::invalid_argument  a cut set has a member at a position past the last of
    ///         the model's `nComponents` components: it could never fail.
    CutsetIndex(const CutsetTree &tree, int nComponents);

    int nCutsets() const { return static_cast<int>(sizes.size()); }
    int nComponents() const { return static_cast<int>(offsets.size()) - 1; }
    /// Number of members of cut set k.
    int size(int k) const { return sizes[static_cast<std::size_t>(k)]; }
    /// The cut sets without a member (failed from the first check on).
    const std::vector<std::int32_t> &memberless() const { return memberlessCutsets; }
    /// The cut sets that component c belongs to: [begin, end) of an array of cut-set numbers.
    const std::int32_t *cutsetsOfBegin(int c) const {
        return members.data() + offsets[static_cast<std::size_t>(c)];
    }
    const std::int32_t *cutsetsOfEnd(int c) const {
        return members.data() + offsets[static_cast<std::size_t>(c) + 1];
    }
    const std::vector<std::int32_t> &cutsetSizes() const { return sizes; }

private:
    std::vector<std::int32_t> sizes;
    std::vector<std::size_t> offsets; // nComponents + 1 entries into `members`
    std::vector<std::int32_t> members;
    std::vector<std::int32_t> memberlessCutsets;
};

} // namespace tavoq
