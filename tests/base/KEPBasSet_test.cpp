#include "KEPBase/ProtectedInterfaces/KEPBasSet.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/KEPString.h"

namespace {

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

}  // namespace
