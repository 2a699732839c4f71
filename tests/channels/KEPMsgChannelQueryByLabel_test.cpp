#include "channels/KEPMsgChannelQueryByLabel.h"

#include <gtest/gtest.h>

#include "ChannelTestSockets.h"

using namespace keptest;

namespace {

using KEPMsgChannelQueryByLabelTest = ChannelSocketsTest;

TEST_F(KEPMsgChannelQueryByLabelTest, MatchesWholeLabelOnly) {
    KEPMsgChannel exact = Connect(KEPString("ab"));
    KEPBasVector<KEPMsgChannel> channels =
        List({Connect(KEPString("abc")), exact, Connect(KEPString("xab")), Connect(KEPString("AB")),
              exact});

    KEPBasVector<KEPMsgChannel> found;
    KEPMsgChannelQueryByLabel(KEPString("ab")).Search(channels, found);
    EXPECT_EQ(Ids(found), (std::vector<int>{exact.GetSocketId(), exact.GetSocketId()}));
}

TEST_F(KEPMsgChannelQueryByLabelTest, EmptyLabelSelectsUnlabelledAndEmpty) {
    KEPMsgChannel empty = Connect(KEPString(""));
    KEPMsgChannel named = Connect(KEPString("x"));
    // A connection whose name was never recorded: the id -1 carries no name unless set.
    KEPMsgChannel unlabelled;
    ASSERT_TRUE(unlabelled.GetLabel().IsNull());

    KEPBasVector<KEPMsgChannel> channels = List({named, unlabelled, empty});
    KEPBasVector<KEPMsgChannel> found;
    found.push_back(named);  // results are appended to what the list held
    KEPMsgChannelQueryByLabel(KEPString("")).Search(channels, found);
    EXPECT_EQ(Ids(found), (std::vector<int>{named.GetSocketId(), -1, empty.GetSocketId()}));

    KEPBasVector<KEPMsgChannel> nullQueryFound;
    KEPMsgChannelQueryByLabel{KEPString()}.Search(channels, nullQueryFound);
    EXPECT_EQ(Ids(nullQueryFound), (std::vector<int>{-1, empty.GetSocketId()}));
}

}  // namespace
