#include "base/KEPString.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(KEPStringTest, CompareLengthsAndSearchUseBytesAndChangingOneCopyLeavesSharedTextAlone) {
    // (Unsigned byte order is the set-order test's.)
    EXPECT_LT(KEPString("ab").Compare("abc"), 0);
    EXPECT_EQ(0, KEPString("abc").Compare("abc"));
    KEPString null;
    EXPECT_TRUE(null.IsNull());
    EXPECT_STREQ("", null.GetUTF8());
    EXPECT_EQ(0, null.Compare(""));
    EXPECT_TRUE(null == KEPString(""));
    EXPECT_FALSE(null < KEPString(""));
    KEPString original("label");
    KEPString copy(original);
    copy += "__internal";
    copy += 42;
    EXPECT_STREQ("label", original.GetUTF8());
    EXPECT_STREQ("label__internal42", copy.GetUTF8());
    copy = original;
    copy.BuildFromUTF8("other");
    EXPECT_STREQ("label", original.GetUTF8());
    KEPString& alias = copy;
    copy = alias;
    EXPECT_STREQ("other", copy.GetUTF8());
    KEPString text("\xC3\xA9t\xC3\xA9 __internal");
    EXPECT_EQ(16, text.GetLengthInByte());
    EXPECT_EQ(14, text.GetLengthInChar());
    EXPECT_EQ(6, text.FindPosition("__internal", 0));
    EXPECT_EQ(-1, text.FindPosition("__internal", 7));
    EXPECT_EQ(-1, text.FindPosition("x", 100));
    EXPECT_EQ(-1, KEPString().FindPosition("a", 0));
    KEPString withZero("a\0b", 3);
    EXPECT_EQ(3, withZero.GetLengthInByte());
    EXPECT_EQ(2, withZero.FindPosition(KEPString("b"), 0));
    EXPECT_STREQ("ab", (KEPString("a") + "b").GetUTF8());
}

// A lost update of the shared count frees the text while handles still use it. The freed block
// goes back to the releasing thread's allocator cache, and the next string of the same size
// there takes it over, so the damage shows in the shared text at once. (Under ThreadSanitizer a
// count that is not atomic is reported as a race as well.)
TEST(KEPStringTest, CopiesOnManyThreadsKeepTheCountExact) {
    const char* const kText = "shared text";
    KEPString shared(kText);
    std::atomic<int> damaged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                {
                    KEPString copy(shared);
                    KEPString another = copy;
                }
                KEPString sameSize("SHARED TEXT");
                damaged += std::strcmp(shared.GetUTF8(), kText) != 0 ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, damaged.load());
}

}  // namespace
