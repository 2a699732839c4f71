// Send queue: message ids, pending status, the transmit pass's order, skips and failure removal.
#include <gtest/gtest.h>

#include <poll.h>

#include <memory>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgSendMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

using namespace keptest;

namespace {

class SendBufferTest : public ::testing::Test {
  protected:
    void SetUp() override { m_setup.reset(new MessagingSetup(UseDefaultStreams())); }
    void TearDown() override { m_setup.reset(); }
    virtual bool UseDefaultStreams() const { return true; }

    KEPMsgSocketCommunicator& Comm() { return KEPMsgSocketCommunicator::Instance(); }

    // A registered library connection to a raw peer; registered without listening so that no
    // receive pass touches it.
    RawLink Link(const char* label) {
        RawLink link = ConnectToRawPeer(m_listener, label, false);
        EXPECT_NE(link.socket, nullptr);
        EXPECT_TRUE(link.peer.IsOpen());
        return link;
    }

    // Expects the next message on peer to be a Text with this sequence number.
    static void ExpectText(RawSocket& peer, std::uint32_t sequence) {
        std::unique_ptr<SequencedMessage> got = peer.ReceiveMessage();
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(std::string(TextMessage::kType), got->GetMessageType().GetUTF8());
        EXPECT_TRUE(got->IsIntact());
        EXPECT_EQ(sequence, got->Sequence());
    }

    std::unique_ptr<MessagingSetup> m_setup;
    RawListener m_listener;
};

class SendBufferWithoutStreamsTest : public SendBufferTest {
  protected:
    bool UseDefaultStreams() const override { return false; }
};

// An immediate send uses an id and writes the records queued before it first.
TEST_F(SendBufferTest, IdsAreConsecutiveAndAnImmediateSendUsesOne) {
    RawLink link = Link("a");
    TextMessage first(1, "one"), second(2, "two"), immediate(3, "three"), third(4, "four");
    unsigned int id1 = 0, id2 = 0, id3 = 0;
    Comm().ISendSocketMessage(link.channel, &first, id1);
    Comm().ISendSocketMessage(link.channel, &second, id2);
    Comm().SendSocketMessage(link.channel, &immediate);
    EXPECT_FALSE(Comm().QueryPendingStatus(id1));
    EXPECT_FALSE(Comm().QueryPendingStatus(id2));
    Comm().ISendSocketMessage(link.channel, &third, id3);
    EXPECT_EQ(id1 + 1, id2);
    EXPECT_EQ(id2 + 2, id3);
    Comm().TransmitPendingMessage();
    ExpectText(link.peer, 1);
    ExpectText(link.peer, 2);
    ExpectText(link.peer, 3);
    ExpectText(link.peer, 4);
}

TEST_F(SendBufferTest, QueuedIdStaysPendingUntilTheNextPass) {
    RawLink link = Link("a");
    TextMessage message(7, "queued");
    unsigned int id = 0;
    Comm().ISendSocketMessage(link.channel, &message, id);
    EXPECT_TRUE(Comm().QueryPendingStatus(id));
    EXPECT_FALSE(link.peer.WaitReadable(0.02));  // queued means nothing written yet
    EXPECT_TRUE(Comm().QueryPendingStatus(id));
    Comm().TransmitPendingMessage();
    EXPECT_FALSE(Comm().QueryPendingStatus(id));
    ExpectText(link.peer, 7);
    EXPECT_EQ(1, message.WriteCount());
}

TEST_F(SendBufferTest, LabelSendReportsAnIdOnlyForExactlyOneMatch) {
    RawLink one = Link("single");
    RawLink twinA = Link("twin");
    RawLink twinB = Link("twin");
    TextMessage message(1, "x");
    unsigned int before = 0, none = 99, single = 0, twins = 99, after = 0;
    Comm().ISendSocketMessage(one.channel, &message, before);
    Comm().ISendSocketMessage("nobody", &message, none);
    EXPECT_EQ(0u, none);
    Comm().ISendSocketMessage("single", &message, single);
    EXPECT_EQ(before + 1, single);  // no match used no id
    EXPECT_TRUE(Comm().QueryPendingStatus(single));
    Comm().ISendSocketMessage("twin", &message, twins);
    EXPECT_EQ(0u, twins);
    Comm().ISendSocketMessage(one.channel, &message, after);
    EXPECT_EQ(single + 3, after);  // two ids for the two twins
    Comm().TransmitPendingMessage();
    ExpectText(one.peer, 1);
    ExpectText(one.peer, 1);
    ExpectText(one.peer, 1);
    ExpectText(twinA.peer, 1);
    ExpectText(twinB.peer, 1);
    EXPECT_FALSE(Comm().QueryPendingStatus(single));
}

TEST_F(SendBufferTest, QuerySendAppendsOneIdPerRegisteredChannel) {
    RawLink a = Link("a");
    RawLink b = Link("b");
    TextMessage message(5, "all");
    KEPBasVector<unsigned int> ids;
    ids.push_back(12345u);
    Comm().ISendSocketMessage(static_cast<KEPMsgChannelQuery*>(nullptr), &message, ids);
    ASSERT_EQ(3, ids.size());
    EXPECT_EQ(12345u, ids[0]);
    EXPECT_EQ(ids[1] + 1, ids[2]);
    Comm().TransmitPendingMessage();
    ExpectText(a.peer, 5);
    ExpectText(b.peer, 5);
}

TEST_F(SendBufferTest, QueryPendingStatusFollowsQueueOrderOncePerRecord) {
    RawLink link = Link("a");
    TextMessage message(1, "p");
    unsigned int first = 0, middle = 0, last = 0;
    Comm().ISendSocketMessage(link.channel, &message, first);
    Comm().ISendSocketMessage(link.channel, &message, middle);
    Comm().ISendSocketMessage(link.channel, &message, last);
    KEPBasVector<unsigned int> ids, pending;
    ids.push_back(last);
    ids.push_back(last);
    ids.push_back(first);
    ids.push_back(last + 1000);  // never issued
    pending.push_back(42u);      // the result list is emptied first
    Comm().QueryPendingStatus(ids, pending);
    ASSERT_EQ(2, pending.size());
    EXPECT_EQ(first, pending[0]);
    EXPECT_EQ(last, pending[1]);
    Comm().TransmitPendingMessage();
    Comm().QueryPendingStatus(ids, pending);
    EXPECT_EQ(0, pending.size());
}

TEST_F(SendBufferWithoutStreamsTest, WithoutDefaultOutputStreamEverythingWaitsOldestFirst) {
    RawLink link = Link("a");
    TextMessage a(1, "a"), b(2, "b"), now(3, "now");
    unsigned int idA = 0, idB = 0;
    Comm().ISendSocketMessage(link.channel, &a, idA);
    Comm().ISendSocketMessage(link.channel, &b, idB);
    Comm().SendSocketMessage(link.channel, &now);
    Comm().TransmitPendingMessage();
    EXPECT_TRUE(Comm().QueryPendingStatus(idA));
    EXPECT_TRUE(Comm().QueryPendingStatus(idB));
    EXPECT_FALSE(Comm().IsDefaultOutputStreamDefined());
    EXPECT_FALSE(link.peer.WaitReadable(0.02));

    Comm().SetDefaultOutputStream(&m_setup->Output());
    EXPECT_TRUE(Comm().IsDefaultOutputStreamDefined());
    Comm().TransmitPendingMessage();
    EXPECT_FALSE(Comm().QueryPendingStatus(idA));
    ExpectText(link.peer, 1);
    ExpectText(link.peer, 2);
    ExpectText(link.peer, 3);
}

TEST_F(SendBufferTest, TypeWithNullOutputStreamIsDroppedOthersGoOut) {
    RawLink link = Link("a");
    Comm().RegisterMessageOutputStream(FixedMessage::kType, nullptr);
    Comm().RegisterMessageOutputStream(FixedMessage::kType, &m_setup->Output());  // first stays
    FixedMessage dropped(1, 2, 3);
    TextMessage kept(4, "kept");
    unsigned int idDropped = 0, idKept = 0;
    Comm().ISendSocketMessage(link.channel, &dropped, idDropped);
    Comm().ISendSocketMessage(link.channel, &kept, idKept);
    Comm().TransmitPendingMessage();
    EXPECT_FALSE(Comm().QueryPendingStatus(idDropped));
    ExpectText(link.peer, 4);
    EXPECT_EQ(0, dropped.WriteCount());
    EXPECT_EQ(1, RegisteredChannelCount());  // a drop is not a failure: the channel stays
}

TEST_F(SendBufferTest, HeaderFailureDropsLaterRecordsForThatChannel) {
    RawLink broken = Link("broken");
    RawLink healthy = Link("healthy");
    const int brokenId = broken.channel.GetSocketId();
    // A reset from the peer makes the next send on the library's socket fail at once.
    broken.peer.CloseWithReset();
    ASSERT_TRUE(WaitUntil([brokenId] {
        pollfd entry{brokenId, POLLIN, 0};
        return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLERR | POLLHUP)) != 0;
    }));
    TextMessage first(1, "first"), second(2, "second"), other(3, "other");
    unsigned int id1 = 0, id2 = 0, id3 = 0;
    Comm().ISendSocketMessage(broken.channel, &first, id1);
    Comm().ISendSocketMessage(broken.channel, &second, id2);
    Comm().ISendSocketMessage(healthy.channel, &other, id3);
    const int channelsBefore = RegisteredChannelCount();
    Comm().TransmitPendingMessage();

    EXPECT_EQ(0, first.WriteCount());   // its header failed, so no body
    EXPECT_EQ(0, second.WriteCount());  // the channel was gone for the second record
    EXPECT_EQ(nullptr, KEPMsgConnectionServicesUtils::Instance().GetSocket(brokenId));
    EXPECT_EQ(channelsBefore - 1, RegisteredChannelCount());
    EXPECT_FALSE(Comm().QueryPendingStatus(id2));
    ExpectText(healthy.peer, 3);
}

TEST_F(SendBufferTest, BodyFailureRemovesAndClosesTheChannel) {
    RawLink link = Link("a");
    FailingTextMessage failing;
    const int before = RegisteredChannelCount();
    Comm().SendSocketMessage(link.channel, &failing);
    EXPECT_EQ(1, failing.WriteCount());
    EXPECT_EQ(before - 1, RegisteredChannelCount());
    std::string type;
    ASSERT_TRUE(link.peer.ReceiveType(type));  // the header went out before the body failed
    EXPECT_EQ(TextMessage::kType, type);
    EXPECT_TRUE(link.peer.WaitPeerClosed());
}

TEST_F(SendBufferTest, RecordsForGoneOrShutConnectionsAreDroppedSilently) {
    RawLink gone = Link("gone");
    RawLink live = Link("live");
    KEPMsgConnectionServicesUtils::Instance().ShutDownConnection(gone.channel.GetSocketId());
    TextMessage toGone(1, "lost"), nothing(2, "null");
    unsigned int id = 0, nullId = 0;
    Comm().ISendSocketMessage(gone.channel, &toGone, id);
    Comm().ISendSocketMessage(KEPMsgChannel(), &toGone, id);   // never-registered channel
    Comm().ISendSocketMessage(live.channel, nullptr, nullId);  // null message
    Comm().SendSocketMessage(live.channel, nullptr);
    const int before = RegisteredChannelCount();
    TextMessage after(3, "after");
    Comm().SendSocketMessage(live.channel, &after);
    EXPECT_EQ(0, toGone.WriteCount());
    EXPECT_EQ(before, RegisteredChannelCount());  // skips remove nothing
    EXPECT_FALSE(Comm().QueryPendingStatus(nullId));
    ExpectText(live.peer, 3);
}

TEST_F(SendBufferTest, SendsWithoutAnyMatchingChannelTouchNothing) {
    RawLink link = Link("a");
    TextMessage message(1, "m");
    unsigned int before = 0, after = 0;
    Comm().ISendSocketMessage(link.channel, &message, before);
    Comm().SendSocketMessage("nobody", &message);
    Comm().ISendSocketMessage(link.channel, &message, after);
    EXPECT_EQ(before + 1, after);
    EXPECT_EQ(0, message.WriteCount());
    EXPECT_TRUE(Comm().QueryPendingStatus(before));
}

}  // namespace
