// The receive drain: further messages already buffered are read in the same pass, in order per
// channel, round-robin across channels, with one callback per type per pass.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

using namespace keptest;

namespace {

std::map<std::string, int> g_callbacks;

void CountCallback(const KEPString& type) {
    ++g_callbacks[type.GetUTF8()];
}

class ReceiveDrainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_callbacks.clear();
        m_setup.reset(new MessagingSetup());
    }
    void TearDown() override { m_setup.reset(); }

    KEPMsgSocketCommunicator& Comm() { return KEPMsgSocketCommunicator::Instance(); }

    // Sends bytes from link's peer in one write and waits until all of them wait at the
    // library's end, so that the pass's first read takes them in together.
    void Deliver(RawLink& link, const std::string& bytes) {
        ASSERT_TRUE(link.peer.SendBytes(bytes));
        ASSERT_TRUE(WaitUntil(
            [&] { return BytesWaiting(link.socket->GetId()) == static_cast<int>(bytes.size()); }));
    }

    std::unique_ptr<MessagingSetup> m_setup;
    RawListener m_listener;
};

TEST_F(ReceiveDrainTest, DrainKeepsEachChannelsOrderAndCallsEachTypeOncePerPass) {
    Comm().RegisterMessageNotificationCallback(TextMessage::kType, CountCallback);
    Comm().RegisterMessageNotificationCallback(FixedMessage::kType, CountCallback);
    ASSERT_TRUE(Comm().SetReceiveDrainLimit(1000));
    constexpr std::uint32_t kPerChannel = 40;
    RawLink links[2] = {ConnectToRawPeer(m_listener, "a"), ConnectToRawPeer(m_listener, "b")};
    for (RawLink& link : links) {
        ASSERT_NE(link.socket, nullptr);
        std::string bytes;
        for (std::uint32_t sequence = 1; sequence <= kPerChannel; ++sequence) {
            if (sequence % 2 == 0) {
                FixedMessage fixed(sequence, sequence, sequence);
                bytes += WireBytes(fixed);
            } else {
                TextMessage text(sequence, "t");
                bytes += WireBytes(text);
            }
        }
        Deliver(link, bytes);
    }

    Comm().WaitConnectionsAndMessages(nullptr, 1000);

    EXPECT_EQ((std::map<std::string, int>{{"Fixed", 1}, {"Text", 1}}), g_callbacks);
    std::map<int, std::vector<std::uint32_t>> sequencesByChannel;
    for (ReceivedMessage& record : TakeReceived()) {
        sequencesByChannel[record.channel.GetSocketId()].push_back(record.message->Sequence());
    }
    ASSERT_EQ(2u, sequencesByChannel.size());
    for (RawLink& link : links) {
        const std::vector<std::uint32_t>& got = sequencesByChannel[link.channel.GetSocketId()];
        ASSERT_EQ(kPerChannel, got.size()) << "channel " << link.channel.GetSocketId();
        for (std::uint32_t i = 0; i < kPerChannel; ++i) {
            ASSERT_EQ(i + 1, got[i]) << "channel " << link.channel.GetSocketId();
        }
    }
}

TEST_F(ReceiveDrainTest, BusyChannelDoesNotKeepAnotherWaitingInThePass) {
    ASSERT_TRUE(Comm().SetReceiveDrainLimit(1000000));
    RawLink first = ConnectToRawPeer(m_listener, "first");
    RawLink second = ConnectToRawPeer(m_listener, "second");
    ASSERT_NE(first.socket, nullptr);
    ASSERT_NE(second.socket, nullptr);
    // The pass visits ready channels by ascending id: the busy one goes first.
    RawLink& busy = first.channel.GetSocketId() < second.channel.GetSocketId() ? first : second;
    RawLink& quiet = &busy == &first ? second : first;
    std::string bytes;
    for (std::uint32_t sequence = 1; sequence <= 3000; ++sequence) {
        TextMessage text(sequence, "");
        bytes += WireBytes(text);
    }
    Deliver(busy, bytes);
    TextMessage lone(1, "quiet");
    Deliver(quiet, WireBytes(lone));

    Comm().WaitConnectionsAndMessages(nullptr, 1000);

    std::vector<ReceivedMessage> received = TakeReceived();
    ASSERT_GT(received.size(), 1000u) << "the busy channel's buffered messages were not drained";
    ASSERT_EQ(quiet.channel.GetSocketId(), received[1].channel.GetSocketId())
        << "the quiet channel was not served in the first round";
    std::uint32_t next = 1;
    for (ReceivedMessage& record : received) {
        if (record.channel.GetSocketId() == busy.channel.GetSocketId()) {
            ASSERT_EQ(next++, record.message->Sequence());
        }
    }
}

TEST_F(ReceiveDrainTest, DrainLimitBelowOneIsRefused) {
    ASSERT_TRUE(Comm().SetReceiveDrainLimit(7));
    for (int bad : {0, -1, INT_MIN}) {
        EXPECT_FALSE(Comm().SetReceiveDrainLimit(bad)) << bad;
        EXPECT_EQ(7, Comm().GetReceiveDrainLimit()) << bad;
    }
}

}  // namespace
