#include "base/KEPBasLibraryInit.h"

#include <gtest/gtest.h>

namespace {

// Every layer keeps its own count: only its first initialize and its last finalize move the
// caller's counter, and a finalize without an initialize changes nothing.
TEST(KEPBasLibraryInitTest, OnlyFirstInitializeAndLastFinalizeMoveTheCounter) {
    const struct {
        void (*initialize)(int&);
        void (*finalize)(int&);
    } layers[] = {
        {KEPBasAlloc_initialize, KEPBasAlloc_finalize},
        {KEPBasShared_initialize, KEPBasShared_finalize},
        {KEPSimContainers_initialize, KEPSimContainers_finalize},
        {KEPBasXmlParser_initialize, KEPBasXmlParser_finalize},
        {KEPBasCoreUtils_initialize, KEPBasCoreUtils_finalize},
        {KEPBasGenericsLib_initialize, KEPBasGenericsLib_finalize},
    };
    int counter = 0;
    for (const auto& layer : layers) {
        layer.finalize(counter);
        EXPECT_EQ(0, counter);
    }
    for (const auto& layer : layers) {
        layer.initialize(counter);
        layer.initialize(counter);
    }
    EXPECT_EQ(6, counter);
    for (const auto& layer : layers) {
        layer.finalize(counter);
    }
    EXPECT_EQ(6, counter);
    for (const auto& layer : layers) {
        layer.finalize(counter);
    }
    EXPECT_EQ(0, counter);
}

}  // namespace
