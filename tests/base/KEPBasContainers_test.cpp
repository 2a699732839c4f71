// The base library's containers: KEPBasVector and KEPBasSet keep their elements and order, and
// containers of pointers hold what they point to without owning it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "KEPBase/ProtectedInterfaces/KEPBasSet.h"
#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "KEPBase/ProtectedInterfaces/omi_Btree.h"
#include "KEPBase/ProtectedInterfaces/omi_IntTable.h"
#include "base/KEPString.h"
#include "base/mem_Allocation.h"

namespace {

TEST(KEPBasVectorTest, EraseKeepsOrderOfTheOthers) {
    KEPBasVector<int> numbers;
    for (int i = 0; i < 10; ++i) {
        numbers.push_back(i);
    }
    numbers.Erase(0);
    numbers.Erase(4);
    numbers.Erase(numbers.size() - 1);
    std::string seen;
    for (int n : numbers) {
        seen += std::to_string(n);
    }
    EXPECT_EQ("1234678", seen);
}

TEST(KEPBasVectorTest, StringElementsAreCopiedAndReleased) {
    KEPBasVector<KEPString> strings;
    for (int i = 0; i < 50; ++i) {
        KEPString text("item");
        text += i;
        strings.push_back(text);
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
}

// Reserve only ever grows the storage, and whatever it moves (a single element included) keeps
// its value.
TEST(KEPBasVectorTest, ReserveGrowsOnlyAndKeepsTheElements) {
    struct Row {
        int elements;
        int reserve;
    };
    for (const Row row : {Row{1, 1}, Row{1, 16}, Row{10, 2}, Row{10, 10}, Row{3, 40}}) {
        KEPBasVector<KEPString> strings;
        strings.Reserve(row.elements);
        for (int i = 0; i < row.elements; ++i) {
            KEPString text("item");
            text += i;
            strings.push_back(text);
        }
        strings.Reserve(row.reserve);
        strings.push_back("last");
        const std::string name = std::to_string(row.elements) + " elements, Reserve(" +
                                 std::to_string(row.reserve) + ")";
        ASSERT_EQ(row.elements + 1, strings.size()) << name;
        EXPECT_GE(strings.Capacity(), std::max(row.reserve, strings.size())) << name;
        EXPECT_STREQ("item0", strings[0].GetUTF8()) << name;
        EXPECT_STREQ("last", strings[row.elements].GetUTF8()) << name;
    }
}

std::vector<std::string> Walk(const KEPBasSet<KEPString>& set) {
    std::vector<std::string> order;
    for (auto it = set.begin(); it != set.end(); ++it) {
        order.push_back(it->GetUTF8());
    }
    return order;
}

TEST(KEPBasSetTest, OrderIsUnsignedBytesWithEmptyStringFirst) {
    KEPBasSet<KEPString> set;
    for (const char* text : {"b", "\xC3\xA9t\xC3\xA9", "a", "", "B", "ab"}) {
        EXPECT_TRUE(set.insert(text).second);
    }
    EXPECT_EQ((std::vector<std::string>{"", "B", "a", "ab", "b", "\xC3\xA9t\xC3\xA9"}), Walk(set));
    // A null string and the empty string are the same element; a duplicate points at it.
    EXPECT_FALSE(set.insert(KEPString()).second);
    EXPECT_STREQ("ab", (*set.insert(KEPString("ab")).first).GetUTF8());
    EXPECT_EQ(6, set.size());
}

TEST(KEPBasSetTest, ManyInsertsMatchStdSet) {
    KEPBasSet<KEPString> set;
    std::set<std::string> reference;
    for (int i = 0; i < 2000; ++i) {
        std::string text = "t" + std::to_string((i * 7919) % 1500);
        EXPECT_EQ(reference.insert(text).second, set.insert(text.c_str()).second);
    }
    EXPECT_EQ(static_cast<int>(reference.size()), set.size());
    EXPECT_EQ(std::vector<std::string>(reference.begin(), reference.end()), Walk(set));
    KEPBasSet<KEPString> copy(set);
    EXPECT_EQ(Walk(set), Walk(copy));
}

// An object that counts its destructions. Its operator delete releases nothing, so a container
// that wrongly deletes a pointee on the test's stack is seen in the count, not as a crash.
struct Watched {
    static int s_destroyed;
    ~Watched() { ++s_destroyed; }
    static void operator delete(void*) {}
};
int Watched::s_destroyed = 0;

// A table of void* can only release its values through the module's allocator; the test
// program's mem_Free takes the place of the base library's and keeps the watched one.
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

}  // namespace
