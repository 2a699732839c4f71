#include "base/KEPBasLibraryInit.h"

#include <gtest/gtest.h>

namespace {

TEST(KEPBasLibraryInitTest, OnlyFirstInitializeAndLastFinalizeMoveTheCounter) {
    int counter = 0;
    KEPBasShared_initialize(counter);
    EXPECT_EQ(1, counter);
    KEPBasShared_initialize(counter);
    EXPECT_EQ(1, counter);
    KEPBasShared_finalize(counter);
    EXPECT_EQ(1, counter);
    KEPBasShared_finalize(counter);
    EXPECT_EQ(0, counter);
}

TEST(KEPBasLibraryInitTest, UnbalancedFinalizeChangesNothing) {
    int counter = 0;
    KEPBasAlloc_finalize(counter);
    EXPECT_EQ(0, counter);
    KEPBasAlloc_initialize(counter);
    EXPECT_EQ(1, counter);
    KEPBasAlloc_finalize(counter);
    EXPECT_EQ(0, counter);
}

TEST(KEPBasLibraryInitTest, EveryLayerHasItsOwnCount) {
    int counter = 0;
    KEPSimContainers_initialize(counter);
    KEPBasXmlParser_initialize(counter);
    KEPBasCoreUtils_initialize(counter);
    KEPBasGenericsLib_initialize(counter);
    EXPECT_EQ(4, counter);
    KEPBasGenericsLib_finalize(counter);
    KEPBasCoreUtils_finalize(counter);
    KEPBasXmlParser_finalize(counter);
    KEPSimContainers_finalize(counter);
    EXPECT_EQ(0, counter);
}

}  // namespace
