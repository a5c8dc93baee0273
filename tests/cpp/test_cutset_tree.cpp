#include "cutset/cutset_tree.hpp"

#include <pthread.h>

#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace tavoq;

namespace {

using Vec = std::vector<int>;

const std::string kSizeWrong = "cutset size wrong.\n";

const CutsetTreeNode *zeroOf(const CutsetTreeNode &node) { return node.zeroChild.get(); }
const CutsetTreeNode *oneOf(const CutsetTreeNode &node) { return node.oneChild.get(); }

// Runs `body` with stderr captured and returns what it wrote there.
template <typename Body> std::string stderrOf(Body body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

bool subset(const Vec &a, const Vec &b) {
    return isSubset(a.data(), a.size(), b.data(), b.size());
}

// The insertion and lookup rules written out as plainly as possible, recursion and all, so that
// the real tree (whatever shortcuts it takes) can be compared node by node on small inputs.
// Only equal-length vectors are fed to it.
class ReferenceTree {
public:
    struct Node {
        int id;
        Node *parent;
        Vec cutset;
        std::unique_ptr<Node> zero;
        std::unique_ptr<Node> one;
    };

    ReferenceTree() : root(new Node{0, nullptr, {}, nullptr, nullptr}) {}

    void insert(const Vec &c) {
        Node *cur = root.get();
        std::size_t i = 0;
        for (;;) {
            if (i >= c.size()) {
                return;
            }
            if (cur->cutset.empty()) {
                std::unique_ptr<Node> &child = c[i] == 0 ? cur->zero : cur->one;
                if (child) {
                    cur = child.get();
                    ++i;
                    continue;
                }
                child.reset(new Node{nodeCount++, cur, c, nullptr, nullptr});
                return;
            }
            if (within(cur->cutset, c)) {
                return;
            }
            if (within(c, cur->cutset)) {
                replace(cur, i, c);
            } else {
                pushDown(cur, i, c);
            }
            return;
        }
    }

    Vec find(const Vec &q) const {
        const Node *cur = root.get();
        std::size_t i = 0;
        while (cur != nullptr) {
            if (within(cur->cutset, q)) {
                return cur->cutset;
            }
            if (i >= q.size()) {
                return {};
            }
            cur = q[i] == 0 ? cur->zero.get() : cur->one.get();
            ++i;
        }
        return {};
    }

    const Node &rootNode() const { return *root; }
    int count() const { return nodeCount; }

private:
    static bool within(const Vec &a, const Vec &b) {
        if (a.empty() || b.empty()) {
            return false;
        }
        for (std::size_t j = 0; j < b.size(); ++j) {
            if (b[j] == 0 && a[j] == 1) {
                return false;
            }
        }
        return true;
    }

    static void collect(const Node *s, std::vector<Vec> &out) {
        if (s == nullptr) {
            return;
        }
        if (!s->cutset.empty()) {
            out.push_back(s->cutset);
        }
        collect(s->zero.get(), out);
        collect(s->one.get(), out);
    }

    void replace(Node *leaf, std::size_t i, const Vec &c) {
        Node *p = leaf->parent;
        std::unique_ptr<Node> z = std::move(p->zero);
        std::unique_ptr<Node> o = std::move(p->one);
        if (i == 1) {
            insert(c);
        } else {
            p->cutset = c;
        }
        for (const std::unique_ptr<Node> *s : {&z, &o}) {
            std::vector<Vec> again;
            collect(s->get(), again);
            for (const Vec &v : again) {
                insert(v);
            }
        }
    }

    void pushDown(Node *node, std::size_t i, const Vec &c) {
        Vec k = node->cutset;
        node->cutset.clear();
        std::unique_ptr<Node> &side = c[i] == 0 ? node->zero : node->one;
        side.reset(new Node{nodeCount++, node, c, nullptr, nullptr});
        insert(k);
    }

    std::unique_ptr<Node> root;
    int nodeCount = 1;
};

// Compares shape, ids, cut sets and parent links of the two trees.
void expectSameTree(const ReferenceTree::Node &want, const CutsetTreeNode &got,
                    const std::string &where) {
    EXPECT_EQ(got.id, want.id) << where;
    EXPECT_EQ(got.cutset, want.cutset) << where;
    ASSERT_EQ(got.zeroChild != nullptr, want.zero != nullptr) << where << " zeroChild";
    ASSERT_EQ(got.oneChild != nullptr, want.one != nullptr) << where << " oneChild";
    if (want.zero) {
        EXPECT_EQ(got.zeroChild->parent, &got) << where << "0 parent";
        expectSameTree(*want.zero, *got.zeroChild, where + "0");
    }
    if (want.one) {
        EXPECT_EQ(got.oneChild->parent, &got) << where << "1 parent";
        expectSameTree(*want.one, *got.oneChild, where + "1");
    }
}

void expectLeaf(const CutsetTreeNode *node, int id, const Vec &cutset,
                const CutsetTreeNode *parent) {
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->id, id);
    EXPECT_EQ(node->cutset, cutset);
    EXPECT_EQ(node->parent, parent);
    EXPECT_EQ(node->zeroChild, nullptr);
    EXPECT_EQ(node->oneChild, nullptr);
}

bool hasWithin(const CutsetTree &tree, const Vec &q) {
    return tree.hasCutsetWithin(q.data(), q.size());
}

// ---------------------------------------------------------------------------------------------
// Containment test

TEST(IsSubset, EmptyOperandIsNeverContainedNorContaining) {
    const Vec empty;
    const Vec some{0, 1};
    EXPECT_FALSE(subset(empty, some));
    EXPECT_FALSE(subset(some, empty));
    EXPECT_FALSE(subset(empty, empty));
    // A cut set without members still is not "empty" in this sense.
    EXPECT_TRUE(subset(Vec{0, 0}, Vec{0, 0}));
}

TEST(IsSubset, OnlyOneIsAMemberAndOnlyZeroIsANonMember) {
    EXPECT_TRUE(subset(Vec{1, 0}, Vec{1, 0}));
    EXPECT_FALSE(subset(Vec{1, 0}, Vec{0, 0}));
    EXPECT_FALSE(subset(Vec{0, 1}, Vec{1, 0}));
    EXPECT_TRUE(subset(Vec{2, 0}, Vec{0, 0}));  // 2 in a is not a member
    EXPECT_TRUE(subset(Vec{1, 0}, Vec{2, 0}));  // 2 in b is not a non-member
    EXPECT_TRUE(subset(Vec{1, 0}, Vec{-1, 0})); // neither is -1
    EXPECT_TRUE(subset(Vec{0, 0, 0}, Vec{0, 1, 0}));
}

TEST(IsSubset, MissingPositionsReadAsZeroOverTheLongerLength) {
    // a shorter than b: a's missing tail holds no member.
    EXPECT_TRUE(subset(Vec{1, 0}, Vec{1, 0, 0}));
    EXPECT_FALSE(subset(Vec{1, 0}, Vec{0, 0, 0}));
    // a longer than b: a member beyond b's end meets a non-member.
    EXPECT_FALSE(subset(Vec{1, 0, 1}, Vec{1, 0}));
    EXPECT_FALSE(subset(Vec{1, 0, 0, 0, 1}, Vec{1}));
    // ...but zeros, or non-member values, beyond b's end do not.
    EXPECT_TRUE(subset(Vec{1, 0, 0, 0}, Vec{1}));
    EXPECT_TRUE(subset(Vec{1, 0, 2}, Vec{1, 0}));
    // The decision for a member beyond the end does not depend on a mismatch before it.
    EXPECT_TRUE(subset(Vec{1}, Vec{1, 1, 1, 1}));
}

// ---------------------------------------------------------------------------------------------
// The numbered cases, three components each

TEST(CutsetTree, NewTreeIsABareRoot) {
    CutsetTree tree(3);
    const CutsetTreeNode &root = tree.getRoot();
    EXPECT_EQ(root.id, 0);
    EXPECT_TRUE(root.cutset.empty());
    EXPECT_EQ(root.zeroChild, nullptr);
    EXPECT_EQ(root.oneChild, nullptr);
    EXPECT_EQ(root.parent, nullptr);
    EXPECT_EQ(tree.getNodeCount(), 1);
    Vec found{99};
    EXPECT_EQ(stderrOf([&] { found = tree.findNode({1, 1, 1}); }), "");
    EXPECT_TRUE(found.empty());
    EXPECT_FALSE(hasWithin(tree, {1, 1, 1}));
}

TEST(CutsetTree, FirstInsertCreatesLeafOneOnItsSide) {
    CutsetTree tree(3);
    tree.insertNode({1, 0, 0});
    const CutsetTreeNode &root = tree.getRoot();
    EXPECT_EQ(root.zeroChild, nullptr);
    expectLeaf(oneOf(root), 1, {1, 0, 0}, &root);
    EXPECT_TRUE(root.cutset.empty());
    EXPECT_EQ(tree.getNodeCount(), 2);
    EXPECT_EQ(tree.findNode({1, 1, 0}), (Vec{1, 0, 0}));
    EXPECT_TRUE(tree.findNode({0, 1, 1}).empty());

    CutsetTree zeroSide(3);
    zeroSide.insertNode({0, 1, 0});
    EXPECT_EQ(oneOf(zeroSide.getRoot()), nullptr);
    expectLeaf(zeroOf(zeroSide.getRoot()), 1, {0, 1, 0}, &zeroSide.getRoot());
}

TEST(CutsetTree, DuplicateInsertChangesNothing) {
    CutsetTree tree(3);
    tree.insertNode({1, 0, 0});
    tree.insertNode({1, 0, 0});
    EXPECT_EQ(tree.getNodeCount(), 2);
    expectLeaf(oneOf(tree.getRoot()), 1, {1, 0, 0}, &tree.getRoot());
    EXPECT_EQ(zeroOf(tree.getRoot()), nullptr);
}

TEST(CutsetTree, SupersetOfTheLeafReachedIsDropped) {
    CutsetTree tree(3);
    tree.insertNode({1, 0, 0});
    tree.insertNode({1, 1, 0});
    EXPECT_EQ(tree.getNodeCount(), 2);
    expectLeaf(oneOf(tree.getRoot()), 1, {1, 0, 0}, &tree.getRoot());
    EXPECT_EQ(tree.findNode({1, 1, 0}), (Vec{1, 0, 0}));
}

TEST(CutsetTree, SubsetReplacesTheLeafAndTheOldNodeIsGone) {
    CutsetTree tree(3);
    tree.insertNode({1, 1, 0});
    tree.insertNode({1, 0, 0});
    // Node 1 is destroyed and its replacement is a new node, so id 1 never appears again.
    EXPECT_EQ(tree.getNodeCount(), 3);
    const CutsetTreeNode &root = tree.getRoot();
    expectLeaf(oneOf(root), 2, {1, 0, 0}, &root);
    EXPECT_EQ(zeroOf(root), nullptr);
    EXPECT_EQ(tree.findNode({1, 1, 0}), (Vec{1, 0, 0}));
}

TEST(CutsetTree, IncomparableCutSetPushesTheLeafDown) {
    CutsetTree tree(3);
    tree.insertNode({1, 1, 0});
    tree.insertNode({1, 0, 1});
    EXPECT_EQ(tree.getNodeCount(), 4);
    const CutsetTreeNode &root = tree.getRoot();
    const CutsetTreeNode *inner = oneOf(root);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->id, 1); // the former leaf keeps its id
    EXPECT_TRUE(inner->cutset.empty());
    EXPECT_EQ(inner->parent, &root);
    expectLeaf(zeroOf(*inner), 2, {1, 0, 1}, inner); // the newcomer first
    expectLeaf(oneOf(*inner), 3, {1, 1, 0}, inner);  // then the re-inserted old leaf

    std::string err = stderrOf([&] {
        EXPECT_EQ(tree.findNode({1, 1, 1}), (Vec{1, 1, 0}));
        EXPECT_EQ(tree.findNode({1, 0, 1}), (Vec{1, 0, 1}));
        EXPECT_TRUE(tree.findNode({1, 0, 0}).empty());
    });
    EXPECT_EQ(err, "");
}

TEST(CutsetTree, LookupFollowsOnlyTheQueryPath) {
    CutsetTree tree(3);
    tree.insertNode({0, 1, 0});
    // {0,1,0} lies within the query, but the query leaves the root on the other side.
    EXPECT_TRUE(tree.findNode({1, 1, 0}).empty());
    EXPECT_FALSE(hasWithin(tree, {1, 1, 0}));
    tree.insertNode({1, 1, 0}); // never compared with {0,1,0}, so a superset is stored
    EXPECT_EQ(tree.getNodeCount(), 3);
    expectLeaf(zeroOf(tree.getRoot()), 1, {0, 1, 0}, &tree.getRoot());
    expectLeaf(oneOf(tree.getRoot()), 2, {1, 1, 0}, &tree.getRoot());
}

TEST(CutsetTree, ReplacementBelowTheRootTurnsTheParentIntoTheLeaf) {
    CutsetTree tree(3);
    tree.insertNode({1, 1, 0});
    tree.insertNode({1, 0, 1});
    tree.insertNode({1, 0, 0});
    // Both former leaves contain {1,0,0}: re-inserted, they are dropped; no node is created.
    EXPECT_EQ(tree.getNodeCount(), 4);
    const CutsetTreeNode &root = tree.getRoot();
    expectLeaf(oneOf(root), 1, {1, 0, 0}, &root);
    EXPECT_EQ(zeroOf(root), nullptr);
    EXPECT_EQ(tree.findNode({1, 1, 1}), (Vec{1, 0, 0}));
}

TEST(CutsetTree, EmptyVectorIsReportedOnceAndChangesNothing) {
    CutsetTree tree(3);
    tree.insertNode({1, 0, 0});
    EXPECT_EQ(stderrOf([&] { tree.insertNode({}); }), kSizeWrong);
    EXPECT_EQ(tree.getNodeCount(), 2);
    expectLeaf(oneOf(tree.getRoot()), 1, {1, 0, 0}, &tree.getRoot());

    Vec found{99};
    EXPECT_EQ(stderrOf([&] { found = tree.findNode({}); }), kSizeWrong);
    EXPECT_TRUE(found.empty());
    bool within = true;
    EXPECT_EQ(stderrOf([&] { within = tree.hasCutsetWithin(nullptr, 0); }), kSizeWrong);
    EXPECT_FALSE(within);

    CutsetTree bare(3);
    EXPECT_EQ(stderrOf([&] { bare.insertNode({}); }), kSizeWrong);
    EXPECT_EQ(bare.getNodeCount(), 1);
    EXPECT_EQ(oneOf(bare.getRoot()), nullptr);
    EXPECT_EQ(zeroOf(bare.getRoot()), nullptr);
}

TEST(CutsetTree, VectorTooShortForItsWalkIsReported) {
    CutsetTree tree(3);
    tree.insertNode({1, 1, 0});
    tree.insertNode({1, 0, 1}); // node 1 is now internal at depth 1
    EXPECT_EQ(stderrOf([&] { tree.insertNode({1}); }), kSizeWrong);
    EXPECT_EQ(tree.getNodeCount(), 4);
    EXPECT_TRUE(oneOf(tree.getRoot())->cutset.empty());

    Vec found{99};
    EXPECT_EQ(stderrOf([&] { found = tree.findNode({1}); }), kSizeWrong);
    EXPECT_TRUE(found.empty());
    bool within = true;
    EXPECT_EQ(stderrOf([&] { within = hasWithin(tree, {1}); }), kSizeWrong);
    EXPECT_FALSE(within);
}

TEST(CutsetTree, CutSetWithoutMembersContainsEverythingOnItsPath) {
    CutsetTree zeros(3);
    zeros.insertNode({0, 0, 0});
    zeros.insertNode({0, 1, 1}); // reaches {0,0,0}, which lies within it: dropped
    EXPECT_EQ(zeros.getNodeCount(), 2);
    EXPECT_EQ(zeros.findNode({0, 1, 1}), (Vec{0, 0, 0}));
    EXPECT_EQ(zeros.findNode({0, 0, 0}), (Vec{0, 0, 0}));
    EXPECT_TRUE(zeros.findNode({1, 0, 0}).empty()); // other side of the root

    CutsetTree twos(3);
    twos.insertNode({2, 0, 0}); // 2 steers like 1 but is not a member
    expectLeaf(oneOf(twos.getRoot()), 1, {2, 0, 0}, &twos.getRoot());
    twos.insertNode({1, 1, 1});
    EXPECT_EQ(twos.getNodeCount(), 2);
    EXPECT_EQ(twos.findNode({1, 0, 0}), (Vec{2, 0, 0}));
    EXPECT_EQ(twos.findNode({5, 0, 0}), (Vec{2, 0, 0}));
    EXPECT_TRUE(twos.findNode({0, 1, 1}).empty());
}

TEST(CutsetTree, ConstructTreeInsertsInOrderAndKeepsContent) {
    CutsetTree viaInsert(3);
    viaInsert.insertNode({1, 1, 0});
    viaInsert.insertNode({1, 0, 0});
    CutsetTree viaConstruct(3);
    viaConstruct.constructTree({{1, 1, 0}, {1, 0, 0}});
    EXPECT_EQ(viaConstruct.getNodeCount(), viaInsert.getNodeCount());
    expectLeaf(oneOf(viaConstruct.getRoot()), 2, {1, 0, 0}, &viaConstruct.getRoot());
    EXPECT_EQ(zeroOf(viaConstruct.getRoot()), nullptr);

    viaConstruct.constructTree({});
    EXPECT_EQ(viaConstruct.getNodeCount(), 3);
    expectLeaf(oneOf(viaConstruct.getRoot()), 2, {1, 0, 0}, &viaConstruct.getRoot());

    // A second call adds to what is there instead of starting over.
    viaConstruct.constructTree({{0, 1, 1}});
    EXPECT_EQ(viaConstruct.getNodeCount(), 4);
    expectLeaf(zeroOf(viaConstruct.getRoot()), 3, {0, 1, 1}, &viaConstruct.getRoot());
    expectLeaf(oneOf(viaConstruct.getRoot()), 2, {1, 0, 0}, &viaConstruct.getRoot());
}

TEST(CutsetTree, SizeGivenAtConstructionLimitsNothing) {
    CutsetTree tree(3);
    std::string err = stderrOf([&] {
        tree.insertNode({0, 0, 0, 1, 1});
        tree.insertNode({0, 1, 0, 1, 0});
    });
    EXPECT_EQ(err, "");
    EXPECT_EQ(tree.getNodeCount(), 4);
    EXPECT_EQ(tree.findNode({0, 0, 1, 1, 1}), (Vec{0, 0, 0, 1, 1}));
    EXPECT_EQ(tree.findNode({0, 1, 1, 1, 0}), (Vec{0, 1, 0, 1, 0}));
    EXPECT_TRUE(tree.findNode({0, 0, 1, 1, 0}).empty());
}

// ---------------------------------------------------------------------------------------------
// Nested re-insertion

TEST(CutsetTree, ReplacementAtTheRootReinsertsTheOtherSide) {
    CutsetTree tree(3);
    tree.insertNode({1, 1, 0}); // id 1, root's oneChild
    tree.insertNode({0, 1, 1}); // id 2, root's zeroChild
    tree.insertNode({1, 0, 0}); // replaces id 1; the root loses both children
    // {1,0,0} comes back first (id 3); then {0,1,1} is re-inserted into a fresh leaf (id 4),
    // and {1,1,0} is dropped against {1,0,0}.
    EXPECT_EQ(tree.getNodeCount(), 5);
    const CutsetTreeNode &root = tree.getRoot();
    expectLeaf(oneOf(root), 3, {1, 0, 0}, &root);
    expectLeaf(zeroOf(root), 4, {0, 1, 1}, &root);
}

TEST(CutsetTree, ReinsertedSiblingCanPushTheNewLeafDown) {
    CutsetTree tree(4);
    tree.insertNode({1, 1, 0, 0}); // id 1
    tree.insertNode({1, 0, 1, 1}); // pushes id 1 down: id 2 holds it, id 3 holds {1,1,0,0}
    ASSERT_EQ(tree.getNodeCount(), 4);
    tree.insertNode({1, 0, 1, 0});
    // Replaces id 2: node 1 becomes a leaf holding {1,0,1,0}. Re-inserted, {1,0,1,1} is dropped,
    // while {1,1,0,0} is incomparable and pushes node 1 down again: it lands in id 4, and
    // {1,0,1,0} goes back in through the root into id 5. Ids 2 and 3 are gone for good.
    EXPECT_EQ(tree.getNodeCount(), 6);
    const CutsetTreeNode &root = tree.getRoot();
    EXPECT_EQ(zeroOf(root), nullptr);
    const CutsetTreeNode *inner = oneOf(root);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->id, 1);
    EXPECT_TRUE(inner->cutset.empty());
    expectLeaf(zeroOf(*inner), 5, {1, 0, 1, 0}, inner);
    expectLeaf(oneOf(*inner), 4, {1, 1, 0, 0}, inner);
    EXPECT_EQ(tree.findNode({1, 0, 1, 1}), (Vec{1, 0, 1, 0}));
}

TEST(CutsetTree, ShorterCutSetMeetsLongerStoredOne) {
    // Positions a vector lacks read as 0 when it meets a longer one.
    CutsetTree tree(5);
    tree.insertNode({1, 1, 0, 0, 1});
    tree.insertNode({1, 0, 0}); // lies within the stored one: replaces it
    EXPECT_EQ(tree.getNodeCount(), 3);
    expectLeaf(oneOf(tree.getRoot()), 2, {1, 0, 0}, &tree.getRoot());

    tree.insertNode({1, 0, 1, 1, 0}); // contains {1,0,0}: dropped
    EXPECT_EQ(tree.getNodeCount(), 3);

    EXPECT_EQ(tree.findNode({1, 1}), (Vec{1, 0, 0}));
    EXPECT_EQ(tree.findNode({1, 0, 0, 0, 0, 0, 0}), (Vec{1, 0, 0}));

    CutsetTree longStored(5);
    longStored.insertNode({1, 0, 0, 0, 1});
    Vec found{99};
    // Component 4 is a member, but the two-element query does not have it failed.
    EXPECT_EQ(stderrOf([&] { found = longStored.findNode({1, 1}); }), "");
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(longStored.findNode({1, 1, 0, 0, 1}), (Vec{1, 0, 0, 0, 1}));
}

// ---------------------------------------------------------------------------------------------
// Whole-tree checks

TEST(CutsetTree, MatchesTheInsertionRulesOnRandomInput) {
    std::mt19937 gen(20240611u);
    constexpr std::size_t kWidth = 5;
    for (int round = 0; round < 400; ++round) {
        CutsetTree tree(static_cast<int>(kWidth));
        ReferenceTree want;
        const int inserts = 1 + static_cast<int>(gen() % 12);
        std::string err = stderrOf([&] {
            for (int k = 0; k < inserts; ++k) {
                Vec c(kWidth);
                for (int &x : c) {
                    const unsigned r = gen() % 16;
                    x = r < 9 ? 0 : (r < 15 ? 1 : 2);
                }
                tree.insertNode(c);
                want.insert(c);
                ASSERT_EQ(tree.getNodeCount(), want.count())
                    << "round " << round << " insert " << k;
            }
        });
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(err, "");
        expectSameTree(want.rootNode(), tree.getRoot(), "root:");
        for (unsigned bits = 0; bits < (1u << kWidth); ++bits) {
            Vec q(kWidth);
            for (std::size_t j = 0; j < kWidth; ++j) {
                q[j] = static_cast<int>((bits >> j) & 1u);
            }
            EXPECT_EQ(tree.findNode(q), want.find(q)) << "round " << round << " query " << bits;
        }
        if (HasFailure()) {
            FAIL() << "first differing round: " << round; // one round's report is enough
        }
    }
}

TEST(CutsetTree, HasCutsetWithinAgreesWithFindNode) {
    std::mt19937 gen(7u);
    for (int round = 0; round < 200; ++round) {
        const std::size_t width = 3 + gen() % 8;
        CutsetTree tree(static_cast<int>(width));
        const int inserts = static_cast<int>(gen() % 20);
        for (int k = 0; k < inserts; ++k) {
            Vec c(width);
            for (int &x : c) {
                x = gen() % 3 == 0 ? 1 : 0;
            }
            tree.insertNode(c);
        }
        for (int k = 0; k < 200; ++k) {
            Vec q(width);
            for (int &x : q) {
                x = static_cast<int>(gen() % 2);
            }
            const Vec found = tree.findNode(q);
            ASSERT_EQ(!found.empty(), hasWithin(tree, q)) << "round " << round << " query " << k;
            if (!found.empty()) {
                EXPECT_TRUE(subset(found, q)); // what is found really lies within the query
            }
        }
    }
}

// A cut-set pair that agrees on every position but the last two pushes each other down once per
// component, so the tree becomes a chain as deep as the vectors are long. The whole life of such
// a tree runs on a thread with a small stack: any recursion per level would overflow it long
// before the bottom.
struct ChainOutcome {
    int nodeCount = 0;
    int depth = 0;
    bool idsFollowDepth = true;
    int lastInnerId = 0;
    int zeroLeafId = 0;
    int oneLeafId = 0;
    Vec zeroLeafCutset;
    Vec oneLeafCutset;
    bool foundA = false;
    bool foundC = false;
    bool foundAll = false;
    bool agree = true;
};

constexpr int kChainLength = 100000;

void *buildChain(void *arg) {
    auto *out = static_cast<ChainOutcome *>(arg);
    {
        Vec a(kChainLength, 1);
        Vec c(kChainLength, 1);
        a[kChainLength - 1] = 0;
        c[kChainLength - 2] = 0;
        CutsetTree tree(kChainLength);
        tree.insertNode(a);
        tree.insertNode(c);
        out->nodeCount = tree.getNodeCount();

        const CutsetTreeNode *node = &tree.getRoot();
        while (node->zeroChild == nullptr && node->oneChild != nullptr) {
            node = node->oneChild.get();
            ++out->depth;
            if (node->id != out->depth) {
                out->idsFollowDepth = false;
            }
        }
        out->lastInnerId = node->id;
        if (node->zeroChild && node->oneChild) {
            out->zeroLeafId = node->zeroChild->id;
            out->oneLeafId = node->oneChild->id;
            out->zeroLeafCutset = node->zeroChild->cutset;
            out->oneLeafCutset = node->oneChild->cutset;
        }

        Vec all(kChainLength, 1);
        out->foundA = tree.findNode(a) == a;
        out->foundC = tree.findNode(c) == c;
        out->foundAll = !tree.findNode(all).empty();
        Vec neither(kChainLength, 1);
        neither[kChainLength - 1] = 0;
        neither[kChainLength - 2] = 0;
        for (const Vec *q : {&a, &c, &all, &neither}) {
            if (tree.findNode(*q).empty() == tree.hasCutsetWithin(q->data(), q->size())) {
                out->agree = false;
            }
        }
        if (!tree.findNode(neither).empty()) {
            out->agree = false;
        }
    } // the tree is destroyed here, still on the small stack
    return nullptr;
}

TEST(CutsetTree, DeepChainIsBuiltQueriedAndDestroyedWithoutDeepRecursion) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    ChainOutcome out;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, buildChain, &out), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);

    // Push-downs at depths 1 .. n-2 each add one node, the last re-insertion one more.
    EXPECT_EQ(out.nodeCount, kChainLength + 1);
    EXPECT_EQ(out.depth, kChainLength - 2);
    EXPECT_TRUE(out.idsFollowDepth);
    EXPECT_EQ(out.lastInnerId, kChainLength - 2);
    // The newcomers alternate, {..,0,1} at odd depths and {..,1,0} at even ones; n - 2 is even,
    // so the last push-down brings {..,1,0} (id n-1) and the other lands beside it (id n).
    Vec a(kChainLength, 1);
    Vec c(kChainLength, 1);
    a[kChainLength - 1] = 0;
    c[kChainLength - 2] = 0;
    EXPECT_EQ(out.oneLeafId, kChainLength - 1);
    EXPECT_EQ(out.zeroLeafId, kChainLength);
    EXPECT_TRUE(out.oneLeafCutset == a);
    EXPECT_TRUE(out.zeroLeafCutset == c);
    EXPECT_TRUE(out.foundA);
    EXPECT_TRUE(out.foundC);
    EXPECT_TRUE(out.foundAll);
    EXPECT_TRUE(out.agree);
}

TEST(CutsetTree, ShortChainHasTheSameShapeAsTheRulesGive) {
    // The same construction as the deep chain, small enough to compare node by node.
    for (std::size_t n = 3; n <= 9; ++n) {
        Vec a(n, 1);
        Vec c(n, 1);
        a[n - 1] = 0;
        c[n - 2] = 0;
        CutsetTree tree(static_cast<int>(n));
        ReferenceTree want;
        for (const Vec *v : {&a, &c}) {
            tree.insertNode(*v);
            want.insert(*v);
        }
        EXPECT_EQ(tree.getNodeCount(), static_cast<int>(n) + 1);
        EXPECT_EQ(want.count(), static_cast<int>(n) + 1);
        expectSameTree(want.rootNode(), tree.getRoot(), "n=" + std::to_string(n) + ":");
    }
}

} // namespace
