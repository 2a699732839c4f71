#include "channels/KEPMsgChannel.h"

#include <gtest/gtest.h>

#include "ChannelTestSockets.h"

using namespace keptest;

namespace {

TEST(KEPMsgChannelNoSocket, NullSocketGivesNoConnectionAndRecordsNoLabel) {
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    KEPString before("sentinel");
    services.GetName(-1, before);
    KEPMsgChannel channel(nullptr, KEPString("label-of-nothing"));
    EXPECT_EQ(channel.GetSocketId(), -1);
    EXPECT_FALSE(channel.IsActiveInCurrentThreads());
    KEPString after("sentinel");
    services.GetName(-1, after);
    EXPECT_EQ(after, before);
}

using KEPMsgChannelTest = ChannelSocketsTest;

TEST_F(KEPMsgChannelTest, LabelIsSharedByEveryCopy) {
    KEPMsgChannel channel = Connect(KEPString("first"));
    KEPMsgChannel copy = channel;
    copy.SetLabel(KEPString("second"));
    EXPECT_EQ(channel.GetLabel(), KEPString("second"));
    EXPECT_TRUE(channel == copy);
}

TEST_F(KEPMsgChannelTest, ShutdownClosesConnectionAndClearsOnlyThisCopy) {
    KEPMsgChannel channel = Connect(KEPString("a"));
    KEPMsgChannel copy = channel;
    const int id = channel.GetSocketId();
    ASSERT_TRUE(channel.IsActiveInCurrentThreads());
    channel.Shutdown();
    EXPECT_EQ(channel.GetSocketId(), -1);
    EXPECT_EQ(copy.GetSocketId(), id);
    EXPECT_EQ(copy.GetSocket(), nullptr);
    EXPECT_FALSE(copy.IsActiveInCurrentThreads());
    // The name outlives the connection.
    EXPECT_EQ(copy.GetLabel(), KEPString("a"));
    // A second shutdown of a gone connection only clears the id.
    copy.Shutdown();
    EXPECT_EQ(copy.GetSocketId(), -1);
}

TEST_F(KEPMsgChannelTest, ClosedSocketIsNotActive) {
    KEPMsgChannel channel = Connect(KEPString("a"));
    channel.GetSocket()->Shutdown();
    EXPECT_NE(channel.GetSocket(), nullptr);
    EXPECT_FALSE(channel.IsActiveInCurrentThreads());
}

}  // namespace
