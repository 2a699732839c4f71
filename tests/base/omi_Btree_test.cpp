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

// A missing key gives the value type's null (a null string, a null pointer), before and after
// the tree has entries.
TEST(omi_BtreeTest, MissingKeyGivesNullValue) {
    omi_Btree<KEPString, KEPString> strings;
    omi_Btree<KEPString, int*> pointers;
    int target = 7;
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(strings.Get("absent").IsNull()) << round;
        EXPECT_TRUE(strings.ConstGet("absent").IsNull()) << round;
        EXPECT_EQ(nullptr, pointers.Get("absent")) << round;
        EXPECT_FALSE(pointers.IsMember("absent")) << round;
        strings.Insert("present", "value");
        pointers.Insert("present", &target);
    }
    EXPECT_EQ(1, strings.Count());
    EXPECT_EQ(&target, pointers.Get("present"));
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
