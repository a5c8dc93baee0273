#include "cutset/cutset_tree.hpp"

#include "cutset/cutset_index.hpp"
#include "platform/console.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

CutsetTreeNode::CutsetTreeNode(int id, CutsetTreeNode *parent, std::vector<int> cutset)
    : id(id), parent(parent), cutset(std::move(cutset)) {}

CutsetTreeNode::~CutsetTreeNode() {
    std::vector<std::unique_ptr<CutsetTreeNode>> stack;
    if (zeroChild) {
        stack.push_back(std::move(zeroChild));
    }
    if (oneChild) {
        stack.push_back(std::move(oneChild));
    }
    while (!stack.empty()) {
        std::unique_ptr<CutsetTreeNode> node = std::move(stack.back());
        stack.pop_back();
        if (node->zeroChild) {
            stack.push_back(std::move(node->zeroChild));
        }
        if (node->oneChild) {
            stack.push_back(std::move(node->oneChild));
        }
        // `node` is childless now and is freed without recursing.
    }
}

namespace tavoq {

namespace {

std::unique_ptr<CutsetTreeNode> &slotFor(CutsetTreeNode &node, int element) {
    return element == 0 ? node.zeroChild : node.oneChild;
}

// Moves every cut set of a detached subtree out, in pre-order (node, zero side, one side).
void collectPreOrder(std::unique_ptr<CutsetTreeNode> &subtree,
                     std::vector<std::vector<int>> &out) {
    std::vector<CutsetTreeNode *> stack;
    if (subtree) {
        stack.push_back(subtree.get());
    }
    while (!stack.empty()) {
        CutsetTreeNode *node = stack.back();
        stack.pop_back();
        if (node->isLeaf()) {
            out.push_back(std::move(node->cutset));
        }
        if (node->oneChild) {
            stack.push_back(node->oneChild.get());
        }
        if (node->zeroChild) {
            stack.push_back(node->zeroChild.get());
        }
    }
}

} // namespace

bool isSubset(const int *a, std::size_t lengthA, const int *b, std::size_t lengthB) {
    if (lengthA == 0 || lengthB == 0) {
        return false;
    }
    const std::size_t common = std::min(lengthA, lengthB);
    for (std::size_t j = 0; j < common; ++j) {
        if (b[j] == 0 && a[j] == 1) {
            return false;
        }
    }
    // Beyond the shorter vector its elements read as 0: a member of a there is outside b;
    // a's zeros there lie within anything.
    for (std::size_t j = common; j < lengthA; ++j) {
        if (a[j] == 1) {
            return false;
        }
    }
    return true;
}

CutsetTree::CutsetTree(int cutsetSize)
    : cutsetSize(cutsetSize),
      root(std::make_unique<CutsetTreeNode>(0, nullptr, std::vector<int>{})), nodeCount(1) {}

std::unique_ptr<CutsetTreeNode> CutsetTree::newNode(CutsetTreeNode *parent,
                                                    std::vector<int> cutset) {
    return std::make_unique<CutsetTreeNode>(nodeCount++, parent, std::move(cutset));
}

void CutsetTree::refuseWhilePinned() const {
    if (pins > 0) {
        throw std::logic_error("The cutset tree is in use by a running simulation and cannot "
                               "change until that call returns.");
    }
}

void CutsetTree::insertNode(std::vector<int> cutset) {
    refuseWhilePinned();
    cachedIndex.reset();
    // Replacement re-inserts whole subtrees, each insertion walking from the root again.
    // A stack of pending insertions, last in first out, keeps the order of nested calls
    // without recursing once per level.
    std::vector<std::vector<int>> pending;
    pending.push_back(std::move(cutset));
    while (!pending.empty()) {
        std::vector<int> c = std::move(pending.back());
        pending.pop_back();
        insertOne(std::move(c), pending);
    }
}

void CutsetTree::constructTree(const std::vector<std::vector<int>> &cutsets) {
    refuseWhilePinned();
    for (const auto &cutset : cutsets) {
        insertNode(cutset);
    }
}

void CutsetTree::insertOne(std::vector<int> c, std::vector<std::vector<int>> &pending) {
    CutsetTreeNode *node = root.get();
    std::size_t i = 0;
    while (true) {
        if (i >= c.size()) {
            platform::printCutsetSizeWrong();
            return;
        }
        if (!node->isLeaf()) {
            std::unique_ptr<CutsetTreeNode> &child = slotFor(*node, c[i]);
            if (child) {
                node = child.get();
                ++i;
                continue;
            }
            child = newNode(node, std::move(c));
            return;
        }
        const std::vector<int> &stored = node->cutset;
        if (isSubset(stored.data(), stored.size(), c.data(), c.size())) {
            return; // c holds the stored cut set already: not minimal, dropped
        }
        if (isSubset(c.data(), c.size(), stored.data(), stored.size())) {
            replace(node, i, std::move(c), pending);
        } else {
            pushDown(node, i, std::move(c));
        }
        return;
    }
}

void CutsetTree::replace(CutsetTreeNode *leaf, std::size_t depth, std::vector<int> c,
                         std::vector<std::vector<int>> &pending) {
    CutsetTreeNode *parent = leaf->parent;
    std::unique_ptr<CutsetTreeNode> zero = std::move(parent->zeroChild);
    std::unique_ptr<CutsetTreeNode> one = std::move(parent->oneChild);

    std::vector<std::vector<int>> reinsert;
    if (depth == 1) {
        reinsert.push_back(std::move(c)); // the root never holds a cut set: insert anew
    } else {
        parent->cutset = std::move(c);
    }
    collectPreOrder(zero, reinsert);
    collectPreOrder(one, reinsert);
    zero.reset();
    one.reset();
    for (auto it = reinsert.rbegin(); it != reinsert.rend(); ++it) {
        pending.push_back(std::move(*it));
    }
}

void CutsetTree::pushDown(CutsetTreeNode *node, std::size_t depth, std::vector<int> c) {
    // `node` holds a cut set that neither contains nor lies within `c`. The node turns
    // internal, `c` gets a leaf below it, and the displaced cut set is inserted again. That
    // walk retraces the path to `node` (a cut set always sits on its own pattern's path), so
    // it resumes there. While the two sets agree on the next position it meets the new leaf
    // and pushes it down in turn; the pair, and so both containment answers, stay the same.
    std::vector<int> inserted = std::move(c);
    while (true) {
        std::vector<int> displaced = std::move(node->cutset);
        node->cutset.clear();
        std::unique_ptr<CutsetTreeNode> &insertedSlot = slotFor(*node, inserted[depth]);
        insertedSlot = newNode(node, std::move(inserted));
        CutsetTreeNode *insertedLeaf = insertedSlot.get();

        if (depth >= displaced.size()) {
            platform::printCutsetSizeWrong();
            return;
        }
        std::unique_ptr<CutsetTreeNode> &displacedSlot = slotFor(*node, displaced[depth]);
        if (!displacedSlot) {
            displacedSlot = newNode(node, std::move(displaced));
            return;
        }
        if (depth + 1 >= displaced.size()) {
            platform::printCutsetSizeWrong();
            return;
        }
        node = insertedLeaf;
        ++depth;
        inserted = std::move(displaced);
    }
}

const CutsetTreeNode *CutsetTree::findLeaf(const int *query, std::size_t length) const {
    const CutsetTreeNode *node = root.get();
    std::size_t i = 0;
    while (node != nullptr) {
        if (node->isLeaf() && isSubset(node->cutset.data(), node->cutset.size(), query, length)) {
            return node;
        }
        if (i >= length) {
            platform::printCutsetSizeWrong();
            return nullptr;
        }
        node = query[i] == 0 ? node->zeroChild.get() : node->oneChild.get();
        ++i;
    }
    return nullptr;
}

std::vector<int> CutsetTree::findNode(const std::vector<int> &cutset) const {
    const CutsetTreeNode *leaf = findLeaf(cutset.data(), cutset.size());
    return leaf != nullptr ? leaf->cutset : std::vector<int>{};
}

bool CutsetTree::hasCutsetWithin(const int *query, std::size_t length) const {
    return findLeaf(query, length) != nullptr;
}

std::vector<std::vector<int>> CutsetTree::getCutsets() const {
    std::vector<std::vector<int>> out;
    forEachCutset([&out](const std::vector<int> &cutset) { out.push_back(cutset); });
    return out;
}

std::vector<int> CutsetTree::findWithin(const std::vector<int> &failed) const {
    const std::vector<int> *found = nullptr;
    forEachCutset([&](const std::vector<int> &cutset) {
        if (found == nullptr &&
            isSubset(cutset.data(), cutset.size(), failed.data(), failed.size())) {
            found = &cutset;
        }
    });
    return found != nullptr ? *found : std::vector<int>{};
}

std::shared_ptr<const CutsetIndex> CutsetTree::index(int nComponents) const {
    if (!cachedIndex || cachedIndex->nComponents() != nComponents) {
        cachedIndex = std::make_shared<const CutsetIndex>(*this, nComponents);
    }
    return cachedIndex;
}

} // namespace tavoq
