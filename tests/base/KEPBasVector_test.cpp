#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/KEPString.h"

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

}  // namespace
