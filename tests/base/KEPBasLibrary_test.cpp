// The base library's own life: the per-layer initialize counts, fatal errors and allocation.
#include "base/KEPBasLibraryInit.h"
#include "base/ZOTFatalError.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "base/mem_Allocation.h"
#include "tests/support/KEPTestNet.h"

namespace {

// The message, the path and the line are reported (a null message too), then the process ends.
TEST(ZOTFatalErrorDeathTest, ReportsMessagePathAndLineThenAborts) {
    EXPECT_DEATH(ZOTFatalError("AssertionFailed:m_lock != 0", nullptr, nullptr, nullptr,
                               "KEPBase\\ProtectedInterfaces\\KEPBasAtiGlobalSingleton", 70),
                 "AssertionFailed:m_lock != 0.*KEPBase.ProtectedInterfaces."
                 "KEPBasAtiGlobalSingleton.*70");
    EXPECT_DEATH(ZOTFatalError(nullptr, "detail", nullptr, nullptr, nullptr, 9), "detail.*line 9");
}

TEST(mem_AllocationDeathTest, ExhaustionEndsThroughFatalErrorNotNull) {
    if (keptest::kUnderSanitizer) {
        GTEST_SKIP() << "a sanitizer's allocator reports the impossible size itself";
    }
    EXPECT_DEATH(mem_Malloc(SIZE_MAX / 2), "out of memory");
}

TEST(mem_AllocationTest, ZeroSizeGivesABlockAndOnlyFirstInitializeAndLastFinalizeMoveTheCounter) {
    void* memory = mem_Malloc(0);
    EXPECT_NE(nullptr, memory);
    mem_Free(memory);
    mem_Free(nullptr);
    char* buffer = new (mem_BuiltInAlloc{}) char[16];
    mem_deleteBuiltIn(buffer);
    // Every layer keeps its own count: only its first initialize and its last finalize move the
    // caller's counter, and a finalize without an initialize changes nothing.
    struct Layer {
        void (*initialize)(int&);
        void (*finalize)(int&);
    };
    const Layer layers[] = {
        {KEPBasAlloc_initialize, KEPBasAlloc_finalize},
        {KEPBasShared_initialize, KEPBasShared_finalize},
        {KEPSimContainers_initialize, KEPSimContainers_finalize},
        {KEPBasXmlParser_initialize, KEPBasXmlParser_finalize},
        {KEPBasCoreUtils_initialize, KEPBasCoreUtils_finalize},
        {KEPBasGenericsLib_initialize, KEPBasGenericsLib_finalize},
    };
    int counter = 0;
    auto everyLayer = [&](void (*Layer::*step)(int&)) {
        for (const Layer& layer : layers) {
            (layer.*step)(counter);
        }
    };
    everyLayer(&Layer::finalize);
    EXPECT_EQ(0, counter);
    everyLayer(&Layer::initialize);
    everyLayer(&Layer::initialize);
    EXPECT_EQ(6, counter);
    everyLayer(&Layer::finalize);
    EXPECT_EQ(6, counter);
    everyLayer(&Layer::finalize);
    EXPECT_EQ(0, counter);
}

}  // namespace
