// Containers of pointers hold what they point to without owning it: destroying the container
// must leave every pointee alive.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "KEPBase/ProtectedInterfaces/omi_Btree.h"
#include "KEPBase/ProtectedInterfaces/omi_IntTable.h"
#include "base/KEPString.h"
#include "base/mem_Allocation.h"

namespace {

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
