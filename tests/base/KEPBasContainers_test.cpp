// The base library's containers: KEPBasVector, KEPBasSet, omi_Btree and omi_IntTable keep their
// elements and order (the trees checked against the standard ones under random operations), and
// containers of pointers hold what they point to without owning it.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <algorithm>
#include <climits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KEPBase/ProtectedInterfaces/KEPBasSet.h"
#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "KEPBase/ProtectedInterfaces/omi_Btree.h"
#include "KEPBase/ProtectedInterfaces/omi_IntTable.h"
#include "base/KEPString.h"
#include "base/mem_Allocation.h"

namespace {

KEPString Item(int i) {
    return KEPString(("item" + std::to_string(i)).c_str());
}

TEST(KEPBasVectorTest, EraseKeepsOrderCopiesReleaseAndReserveGrowsOnlyKeepingTheElements) {
    KEPBasVector<int> numbers;
    for (int i = 0; i < 10; ++i) {
        numbers.push_back(i);
    }
    numbers.Erase(0);
    numbers.Erase(4);
    numbers.Erase(numbers.size() - 1);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 6, 7, 8}),
              std::vector<int>(numbers.begin(), numbers.end()));
    KEPBasVector<KEPString> strings;
    for (int i = 0; i < 50; ++i) {
        strings.push_back(Item(i));
    }
    // Pushing one of its own elements while the storage grows must copy it before the old
    // storage goes.
    for (int i = 0; i < 40; ++i) {
        strings.push_back(strings[0]);
    }
    strings.Erase(1);
    EXPECT_STREQ("item2", strings[1].GetUTF8());
    KEPBasVector<KEPString> copy(strings);
    KEPBasVector<KEPString> assigned;
    assigned.push_back("old");
    assigned = copy;
    strings.Clear();
    EXPECT_TRUE(strings.empty());
    EXPECT_EQ(89, copy.size());
    EXPECT_STREQ("item0", assigned[88].GetUTF8());
    assigned.swap(strings);
    EXPECT_TRUE(assigned.empty());
    EXPECT_EQ(89, strings.size());
    EXPECT_GE(strings.Capacity(), strings.size());
    // Reserve only ever grows the storage, and whatever it moves (a single element included) keeps
    // its value.
    const std::pair<int, int> rows[] = {{1, 1}, {1, 16}, {10, 2}, {10, 10}, {3, 40}};
    for (const auto& [elements, reserve] : rows) {
        SCOPED_TRACE(std::to_string(elements) + " elements, Reserve(" + std::to_string(reserve) +
                     ")");
        KEPBasVector<KEPString> strings;
        strings.Reserve(elements);
        for (int i = 0; i < elements; ++i) {
            strings.push_back(Item(i));
        }
        strings.Reserve(reserve);
        strings.push_back("last");
        ASSERT_EQ(elements + 1, strings.size());
        EXPECT_GE(strings.Capacity(), std::max(reserve, strings.size()));
        EXPECT_STREQ("item0", strings[0].GetUTF8());
        EXPECT_STREQ("last", strings[elements].GetUTF8());
    }
}

std::vector<std::string> Walk(const KEPBasSet<KEPString>& set) {
    std::vector<std::string> order;
    for (auto it = set.begin(); it != set.end(); ++it) {
        order.push_back(it->GetUTF8());
    }
    return order;
}

TEST(KEPBasSetTest, OrderIsUnsignedBytesAndManyInsertsMatchStdSet) {
    KEPBasSet<KEPString> set;
    for (const char* text : {"b", "\xC3\xA9t\xC3\xA9", "a", "", "B", "ab"}) {
        EXPECT_TRUE(set.insert(text).second);
    }
    EXPECT_EQ((std::vector<std::string>{"", "B", "a", "ab", "b", "\xC3\xA9t\xC3\xA9"}), Walk(set));
    // A null string and the empty string are the same element; a duplicate points at it.
    EXPECT_FALSE(set.insert(KEPString()).second);
    EXPECT_STREQ("ab", (*set.insert(KEPString("ab")).first).GetUTF8());
    EXPECT_EQ(6, set.size());
    KEPBasSet<KEPString> many;
    std::set<std::string> reference;
    for (int i = 0; i < 2000; ++i) {
        std::string text = "t" + std::to_string((i * 7919) % 1500);
        EXPECT_EQ(reference.insert(text).second, many.insert(text.c_str()).second);
    }
    EXPECT_EQ(static_cast<int>(reference.size()), many.size());
    EXPECT_EQ(std::vector<std::string>(reference.begin(), reference.end()), Walk(many));
    KEPBasSet<KEPString> copy(many);
    EXPECT_EQ(Walk(many), Walk(copy));
}

using IntTree = omi_Btree<int, KEPString>;
using Node = omi_BtreeNode<int, KEPString>;

// Checks search order within (low, high), every node's max depth; returns the node count.
int CheckSubtree(const Node* node, const int* low, const int* high) {
    if (node == nullptr) {
        return 0;
    }
    EXPECT_TRUE((low == nullptr || *low < node->Key()) && (high == nullptr || node->Key() < *high))
        << "key " << node->Key() << " out of search order";
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
            ASSERT_EQ(reference.emplace(key, Item(step)).second, tree.Insert(key, Item(step)));
        } else {
            ASSERT_EQ(reference.erase(key) == 1, tree.Remove(key));
        }
        ASSERT_NO_FATAL_FAILURE(ExpectSameAs(tree, reference)) << "after step " << step;
    }
    for (const auto& entry : reference) {
        EXPECT_EQ(entry.second, tree.Get(entry.first));
    }
}

TEST(omi_BtreeTest, CopiesAreDeep) {
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

using Table = omi_IntTable<void*, KEPBasOmiDefaultAllocator>;
using Iterator = omi_IntTableIterator<void*, KEPBasOmiDefaultAllocator>;

void* Tag(long value) {
    return reinterpret_cast<void*>(value);
}

// Negative and non-negative keys live in separate halves: each is its own entry, a missing key
// leaves the out-argument alone, and the table is empty only when both halves are.
TEST(omi_IntTableTest, SignedKeysAreDistinctAndIterateNegativeHalfFirst) {
    Table table;
    const int keys[] = {-5, 0, 5, INT_MIN, INT_MAX};
    for (long i = 0; i < 5; ++i) {
        EXPECT_TRUE(table.Insert(keys[i], Tag(i + 1)));
    }
    EXPECT_EQ(5, table.Count());
    for (long i = 0; i < 5; ++i) {
        void* value = nullptr;
        ASSERT_TRUE(table.ConstGetValue(keys[i], value)) << keys[i];
        EXPECT_EQ(Tag(i + 1), value);
        EXPECT_EQ(value, table.Get(keys[i]));
    }
    EXPECT_FALSE(table.Insert(-5, Tag(9)));
    EXPECT_EQ(Tag(1), table.Get(-5));
    void* value = Tag(77);
    EXPECT_FALSE(table.ConstGetValue(-4, value));
    EXPECT_EQ(Tag(77), value);
    EXPECT_FALSE(table.IsMember(INT_MIN + 1));
    // Each half in turn holds the last entries.
    for (int key : {0, 5, INT_MAX, -5}) {
        EXPECT_TRUE(table.Remove(key));
        EXPECT_FALSE(table.IsEmpty()) << key;
    }
    table.Insert(1, Tag(1));
    EXPECT_TRUE(table.Remove(INT_MIN));
    EXPECT_FALSE(table.IsEmpty());
    EXPECT_FALSE(table.Remove(-5));
    EXPECT_TRUE(table.Remove(1));
    EXPECT_TRUE(table.IsEmpty());
    for (int key : {7, -2, 0, INT_MIN, -9, 3000000, INT_MAX}) {
        table.Insert(key, Tag(1));
    }
    std::vector<int> order;
    Iterator it(table);
    EXPECT_TRUE(it.IsDone());
    for (it.First(); !it.IsDone(); it.Next()) {
        order.push_back(it.CurrentKey());
    }
    EXPECT_EQ((std::vector<int>{-2, -9, INT_MIN, 0, 7, 3000000, INT_MAX}), order);
}

TEST(omi_IntTableTest, RandomOperationsMatchOrderedMap) {
    std::mt19937 random(99);
    std::uniform_int_distribution<int> keys(-5000, 5000);
    Table table;
    std::map<int, void*> reference;
    for (int step = 0; step < 5000; ++step) {
        const int key = keys(random) * ((step % 7 == 0) ? 100000 : 1);
        if (random() % 3 != 0) {
            ASSERT_EQ(reference.emplace(key, Tag(step + 1)).second,
                      table.Insert(key, Tag(step + 1)));
        } else {
            ASSERT_EQ(reference.erase(key) == 1, table.Remove(key));
        }
    }
    ASSERT_EQ(static_cast<int>(reference.size()), table.Count());
    std::map<int, void*> walked;
    Iterator it(table);
    for (it.First(); !it.IsDone(); it.Next()) {
        ASSERT_TRUE(walked.emplace(it.CurrentKey(), it.CurrentValue()).second);
    }
    EXPECT_EQ(reference, walked);
}

// An object that counts its destructions. Its operator delete releases nothing, so a container
// that wrongly deletes a pointee on the test's stack is seen in the count, not as a crash.
struct Watched {
    static int s_destroyed;
    ~Watched() { ++s_destroyed; }
    static void operator delete(void*) {}
};
int Watched::s_destroyed = 0;

#ifndef _WIN32
// A table of void* can only release its values through the module's allocator; the test
// program's mem_Free takes the place of the base library's and keeps the watched one. (A DLL's
// function cannot be replaced that way on Windows: the test is excluded there.)
void* g_watchedAddress = nullptr;
int g_watchedFrees = 0;

}  // namespace

void mem_Free(void* memory) {
    if (memory != nullptr && memory == g_watchedAddress) {
        ++g_watchedFrees;
        return;
    }
    using Fn = void (*)(void*);
    static Fn original = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_Z8mem_FreePv"));
    original(memory);
}

namespace {

TEST(KEPBasPointerContainersTest, DestroyingTheContainerLeavesPointeesAlive) {
    Watched object;
    g_watchedAddress = &object;
    {
        KEPBasVector<Watched*> vector;
        vector.push_back(&object);
        vector.PushBack(&object);
    }
    EXPECT_EQ(0, Watched::s_destroyed) << "KEPBasVector";
    {
        omi_Btree<KEPString, Watched*> tree;
        tree.Insert("x", &object);
    }
    EXPECT_EQ(0, Watched::s_destroyed) << "omi_Btree";
    {
        omi_IntTable<void*, KEPBasOmiDefaultAllocator> table;
        table.Insert(-1, &object);
        table.Insert(1, &object);
    }
    EXPECT_EQ(0, g_watchedFrees) << "omi_IntTable";
    g_watchedAddress = nullptr;
}
#endif

}  // namespace
