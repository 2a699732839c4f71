#include "KEPBase/ProtectedInterfaces/omi_IntTable.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <random>
#include <vector>

namespace {

using Table = omi_IntTable<void*, KEPBasOmiDefaultAllocator>;
using Iterator = omi_IntTableIterator<void*, KEPBasOmiDefaultAllocator>;

void* Tag(long value) {
    return reinterpret_cast<void*>(value);
}

// Negative and non-negative keys live in separate halves: each is its own entry, a missing key
// leaves the out-argument alone, and the table is empty only when both halves are.
TEST(omi_IntTableTest, SignedKeysAreDistinctEntries) {
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
}

TEST(omi_IntTableTest, IterationGivesNegativeHalfThenNonNegative) {
    Table table;
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

}  // namespace
