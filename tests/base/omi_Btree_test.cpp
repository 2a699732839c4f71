#include "KEPBase/ProtectedInterfaces/omi_Btree.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace {

using IntTree = omi_Btree<int, KEPString>;
using Node = omi_BtreeNode<int, KEPString>;

// Checks search order within (low, high), every node's max depth; returns the node count.
int CheckSubtree(const Node* node, const int* low, const int* high) {
    if (node == nullptr) {
        return 0;
    }
    if (low != nullptr) {
        EXPECT_LT(*low, node->Key());
    }
    if (high != nullptr) {
        EXPECT_GT(*high, node->Key());
    }
    const int left = CheckSubtree(node->Left(), low, &node->Key());
    const int right = CheckSubtree(node->Right(), &node->Key(), high);
    int expectedDepth = 0;
    if (node->Left() != nullptr || node->Right() != nullptr) {
        const int leftDepth = node->Left() != nullptr ? node->Left()->MaxDepth() : 0;
        const int rightDepth = node->Right() != nullptr ? node->Right()->MaxDepth() : 0;
        expectedDepth = 1 + std::max(leftDepth, rightDepth);
    }
    EXPECT_EQ(expectedDepth, node->MaxDepth()) << "stale max depth at key " << node->Key();
    return 1 + left + right;
}

void ExpectSameAs(const IntTree& tree, const std::map<int, KEPString>& reference) {
    ASSERT_EQ(static_cast<int>(reference.size()), tree.Count());
    ASSERT_EQ(tree.Count(), CheckSubtree(tree.Root(), nullptr, nullptr));

    omi_BtreeIterator<int, KEPString> it(tree);
    auto expected = reference.begin();
    for (it.First(); !it.IsDone(); it.Next(), ++expected) {
        ASSERT_NE(expected, reference.end());
        ASSERT_EQ(expected->first, it.CurrentKey());
        ASSERT_EQ(expected->second, it.CurrentValue());
    }
    ASSERT_EQ(expected, reference.end());

    auto backwards = reference.rbegin();
    for (it.Last(); !it.IsDone(); it.Previous(), ++backwards) {
        ASSERT_NE(backwards, reference.rend());
        ASSERT_EQ(backwards->first, it.CurrentKey());
    }
    ASSERT_EQ(backwards, reference.rend());
}

TEST(omi_BtreeTest, RandomInsertsAndRemovesMatchOrderedMap) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> keys(-300, 300);
    IntTree tree;
    std::map<int, KEPString> reference;
    for (int step = 0; step < 3000; ++step) {
        const int key = keys(random);
        if (random() % 3 != 0) {
            KEPString value("v");
            value += step;
            const bool added = reference.emplace(key, value).second;
            ASSERT_EQ(added, tree.Insert(key, value));
        } else {
            const bool removed = reference.erase(key) == 1;
            ASSERT_EQ(removed, tree.Remove(key));
        }
        ASSERT_NO_FATAL_FAILURE(ExpectSameAs(tree, reference)) << "after step " << step;
    }
    for (const auto& entry : reference) {
        EXPECT_EQ(entry.second, tree.Get(entry.first));
    }
}

TEST(omi_BtreeTest, AscendingInsertsKeepDepthsAndOrder) {
    IntTree tree;
    std::map<int, KEPString> reference;
    for (int key = 0; key < 500; ++key) {
        ASSERT_TRUE(tree.Insert(key, "x"));
        reference.emplace(key, "x");
    }
    ExpectSameAs(tree, reference);
    for (int key = 0; key < 500; key += 2) {
        ASSERT_TRUE(tree.Remove(key));
        reference.erase(key);
    }
    ExpectSameAs(tree, reference);
}

TEST(omi_BtreeTest, MissingKeyGivesNullValue) {
    omi_Btree<KEPString, KEPString> strings;
    EXPECT_TRUE(strings.Get("absent").IsNull());
    strings.Insert("present", "value");
    EXPECT_TRUE(strings.Get("absent").IsNull());
    EXPECT_TRUE(strings.ConstGet("absent").IsNull());
    EXPECT_EQ(1, strings.Count());

    int target = 7;
    omi_Btree<KEPString, int*> pointers;
    EXPECT_EQ(nullptr, pointers.Get("absent"));
    pointers.Insert("present", &target);
    EXPECT_EQ(nullptr, pointers.Get("absent"));
    EXPECT_EQ(&target, pointers.Get("present"));
    EXPECT_FALSE(pointers.IsMember("absent"));
}

TEST(omi_BtreeTest, CopiesAreDeepAndSelfAssignmentIsHarmless) {
    omi_Btree<KEPString, KEPString> tree;
    tree.Insert("a", "1");
    tree.Insert("b", "2");
    omi_Btree<KEPString, KEPString> copy(tree);
    tree.Remove("a");
    EXPECT_EQ(2, copy.Count());
    EXPECT_STREQ("1", copy.Get("a").GetUTF8());

    omi_Btree<KEPString, KEPString>& alias = copy;
    copy = alias;
    EXPECT_EQ(2, copy.Count());

    copy = tree;
    EXPECT_EQ(1, copy.Count());
    EXPECT_FALSE(copy.IsMember("a"));

    omi_Btree<KEPString, KEPString>* heapCopy = copy.Copy();
    EXPECT_STREQ("2", heapCopy->Get("b").GetUTF8());
    delete heapCopy;
}

TEST(omi_BtreeTest, StringKeysOrderByUnsignedBytes) {
    omi_Btree<KEPString, int> tree;
    tree.Insert("\xC3\xA9", 3);
    tree.Insert("z", 2);
    tree.Insert("", 1);
    std::vector<int> order;
    omi_BtreeIterator<KEPString, int> it(tree);
    for (it.First(); !it.IsDone(); it.Next()) {
        order.push_back(it.CurrentValue());
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
}

}  // namespace
