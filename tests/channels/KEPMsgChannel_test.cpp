#include "channels/KEPMsgChannel.h"

#include <gtest/gtest.h>

#include "ChannelTestSockets.h"

using namespace keptest;

namespace {

TEST(KEPMsgChannelNoSocket, NullSocketGivesNoConnectionAndRecordsNoLabel) {
    KEPMsgChannel channel(nullptr, KEPString("label-of-nothing"));
    EXPECT_EQ(channel.GetSocketId(), -1);
    EXPECT_FALSE(channel.IsActiveInCurrentThreads());
    KEPString name("sentinel");
    KEPMsgConnectionServicesUtils::Instance().GetName(-1, name);
    EXPECT_EQ(name, KEPString("sentinel"));
}

using KEPMsgChannelTest = ChannelSocketsTest;

TEST_F(KEPMsgChannelTest, LabelIsSharedByEveryCopy) {
    KEPMsgChannel channel = Connect(KEPString("first"));
    KEPMsgChannel copy = channel;
    copy.SetLabel(KEPString("second"));
    EXPECT_EQ(channel.GetLabel(), KEPString("second"));
}

TEST_F(KEPMsgChannelTest, ShutdownClosesConnectionAndClearsOnlyThisCopy) {
    KEPMsgChannel closed = Connect(KEPString("closed"));
    closed.GetSocket()->Shutdown();
    EXPECT_NE(closed.GetSocket(), nullptr);
    EXPECT_FALSE(closed.IsActiveInCurrentThreads());

    KEPMsgChannel channel = Connect(KEPString("a"));
    KEPMsgChannel copy = channel;
    const int id = channel.GetSocketId();
    ASSERT_TRUE(channel.IsActiveInCurrentThreads());
    channel.Shutdown();
    EXPECT_EQ(channel.GetSocketId(), -1);
    EXPECT_EQ(copy.GetSocketId(), id);
    EXPECT_EQ(copy.GetSocket(), nullptr);
    EXPECT_FALSE(copy.IsActiveInCurrentThreads());
    EXPECT_EQ(copy.GetLabel(), KEPString("a"));  // the name outlives the connection
    copy.Shutdown();  // a second shutdown of a gone connection only clears the id
    EXPECT_EQ(copy.GetSocketId(), -1);
}

}  // namespace
