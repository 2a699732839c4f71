// Per-connection statistics: exact counts for a known run in both directions.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

namespace keptest {
namespace {

TEST(KEPMsgConnectionStatisticsTest, CountsAreExactForAKnownRunEachWay) {
    MessagingSetup setup;
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
    const std::int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    RawListener listener;
    RawLink link = ConnectToRawPeer(listener, "counted");
    ASSERT_NE(link.socket, nullptr);

    const std::string texts[] = {"a", "bb bb", std::string(3000, 'c')};
    std::uint64_t wireBytes = 0;  // each way: header, sequence, length, text
    for (const std::string& text : texts) {
        wireBytes += HeaderBytes(TextMessage::kType).size() + 8 + text.size();
    }
    for (std::uint32_t i = 0; i < 3; ++i) {
        TextMessage out(i, texts[i]);
        communicator.SendSocketMessage(link.channel, &out);
        TextMessage in(i, texts[i]);
        ASSERT_TRUE(link.peer.SendMessage(in));
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(link.peer.ReceiveMessage(), nullptr);
    }
    ASSERT_EQ(ReceiveAtLeast(3).size(), 3u);
    TextMessage queued(9, "still queued");
    unsigned int id = 0;
    communicator.ISendSocketMessage(link.channel, &queued, id);

    KEPBasVector<KEPMsgConnectionStatistics> all;
    communicator.RetrieveConnectionStatistics(nullptr, all);
    ASSERT_EQ(all.size(), 1);
    const KEPMsgConnectionStatistics& figures = all[0];
    EXPECT_EQ(figures.m_socketId, link.channel.GetSocketId());
    EXPECT_STREQ(figures.m_label.GetUTF8(), "counted");
    EXPECT_STREQ(figures.m_peerHost.GetUTF8(), "127.0.0.1");
    EXPECT_EQ(figures.m_peerPort, listener.Port());
    EXPECT_EQ(figures.m_messagesIn, 3u);
    EXPECT_EQ(figures.m_messagesOut, 3u);
    EXPECT_EQ(figures.m_bytesIn, wireBytes);
    EXPECT_EQ(figures.m_bytesOut, wireBytes);
    EXPECT_EQ(figures.m_recordsQueued, 1);
    EXPECT_EQ(figures.m_lastError, 0);
    EXPECT_GE(figures.m_connectedSinceMs, before);
}

}  // namespace
}  // namespace keptest
