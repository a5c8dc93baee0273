#pragma once

#include <cstddef>
#include <memory>
#include <vector>

/// One node of a CutsetTree: a trie over component positions with a branch for a zero and
/// one for a non-zero element. Only leaves hold a cut set. The name has no namespace on
/// purpose: Python sees it in getRoot's signature and in its conversion error.
struct CutsetTreeNode {
    int id = 0;
    std::unique_ptr<CutsetTreeNode> zeroChild;
    std::unique_ptr<CutsetTreeNode> oneChild;
    CutsetTreeNode *parent = nullptr;
    std::vector<int> cutset;

    CutsetTreeNode(int id, CutsetTreeNode *parent, std::vector<int> cutset);
    /// Destroys the subtree with an explicit stack: a chain as deep as the number of
    /// components must not recurse once per level.
    ~CutsetTreeNode();
    CutsetTreeNode(const CutsetTreeNode &) = delete;
    CutsetTreeNode &operator=(const CutsetTreeNode &) = delete;

    bool isLeaf() const { return !cutset.empty(); }
};

namespace tavoq {

class CutsetIndex;

/// The cut sets of the modelled system. Cut sets and queries are vectors with one element
/// per component: 1 for a member (a failed component), 0 for a non-member. Vectors of
/// different lengths may meet: the positions one of them lacks read as 0.
///
/// Insertion keeps the content minimal along the insertion path only: a new cut set is
/// compared with the single leaf its walk reaches. Lookup follows the query's own
/// zero/non-zero path.
///
/// Thread safety: lookups only read and may run concurrently; insertion must not overlap
/// with anything.
class CutsetTree {
public:
    /// `cutsetSize` is stored and limits nothing.
    explicit CutsetTree(int cutsetSize);

    /// Inserts a cut set, dropping it, replacing the leaf it reaches or pushing that leaf
    /// down. A vector too short for its walk prints "cutset size wrong." to stderr and is
    /// not stored. @throws std::bad_alloc
    /// @throws std::logic_error  the tree is pinned by a running simulation.
    void insertNode(std::vector<int> cutset);
    /// insertNode on each element, in order, keeping the existing content.
    void constructTree(const std::vector<std::vector<int>> &cutsets);

    /// A runner pins the tree for the length of its call. Python code can still run in the
    /// middle of one (a signal handler), and must not change a tree that other threads are
    /// reading. Pins are taken and released on the calling thread only.
    void pin() const { ++pins; }
    void unpin() const { --pins; }
    /// The stored cut sets arranged for the engine, for a model of `nComponents` components.
    /// Kept until the tree changes, so that a batch split into many calls (progress bars,
    /// cluster chunks) reads the cut sets once. Called by runners on the calling thread only.
    /// @throws std::invalid_argument  as CutsetIndex.
    std::shared_ptr<const CutsetIndex> index(int nComponents) const;
    /// A copy of the stored cut set that lies within `cutset` on its path, or an empty vector.
    std::vector<int> findNode(const std::vector<int> &cutset) const;
    /// Whether findNode would find a cut set, without building the result (the engine's
    /// system-failure test). Same walk, same error line.
    bool hasCutsetWithin(const int *query, std::size_t length) const;

    /// Copies of the stored cut sets in pre-order: a node, then its zeroChild subtree, then
    /// its oneChild subtree. The order of the simulation statistics per cut set.
    std::vector<std::vector<int>> getCutsets() const;
    /// Calls visit(cutset) for every stored cut set in the order of getCutsets, without
    /// copying them.
    template <typename Visit> void forEachCutset(Visit &&visit) const {
        std::vector<const CutsetTreeNode *> stack{root.get()};
        while (!stack.empty()) {
            const CutsetTreeNode *node = stack.back();
            stack.pop_back();
            if (node->isLeaf()) {
                visit(node->cutset);
            }
            if (node->oneChild) {
                stack.push_back(node->oneChild.get());
            }
            if (node->zeroChild) {
                stack.push_back(node->zeroChild.get());
            }
        }
    }
    /// The first of getCutsets() that lies within `failed` (isSubset), or an empty vector.
    /// Unlike findNode this looks at every stored cut set, whatever branch holds it: it is
    /// the question the simulation asks after every transition. Writes nothing.
    std::vector<int> findWithin(const std::vector<int> &failed) const;

    const CutsetTreeNode &getRoot() const { return *root; }
    int getNodeCount() const { return nodeCount; }
    int getCutsetSize() const { return cutsetSize; }

private:
    const CutsetTreeNode *findLeaf(const int *query, std::size_t length) const;
    std::unique_ptr<CutsetTreeNode> newNode(CutsetTreeNode *parent, std::vector<int> cutset);
    void insertOne(std::vector<int> c, std::vector<std::vector<int>> &pending);
    void pushDown(CutsetTreeNode *node, std::size_t depth, std::vector<int> c);
    void replace(CutsetTreeNode *leaf, std::size_t depth, std::vector<int> c,
                 std::vector<std::vector<int>> &pending);

    void refuseWhilePinned() const;

    int cutsetSize;
    std::unique_ptr<CutsetTreeNode> root;
    mutable std::shared_ptr<const CutsetIndex> cachedIndex;
    int nodeCount;
    mutable int pins = 0;
};

/// Whether a lies within b: no position where b is 0 and a is 1. Missing positions read as
/// 0; an empty operand never lies within anything nor holds anything.
bool isSubset(const int *a, std::size_t lengthA, const int *b, std::size_t lengthB);

} // namespace tavoq
