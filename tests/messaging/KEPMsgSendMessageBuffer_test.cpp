// Send queue: message ids, pending status, the transmit pass's order, skips and failure removal.
#include "MessagingTestSupport.h"

using namespace keptest;

namespace {

// The links are registered without listening, so that no receive pass touches them.
class SendBufferTest : public ::testing::Test {
  protected:
    MessagingSetup m_setup;
    RawListener m_listener;
};

// Queued ids are consecutive and stay pending, unwritten, until the next pass or immediate
// send; an immediate send uses an id and writes the records queued before it first. A label send
// reports an id only for exactly one match and uses one id per match; a label nobody has uses no
// id and writes nothing, queued or immediate; a query send reports them all.
TEST_F(SendBufferTest, QueuedIdsStayPendingUntilAPassAndEachSendUsesOneIdPerMatch) {
    RawLink one = ConnectToRawPeer(m_listener, "single", false);
    TextMessage queued[] = {{1, "one"}, {2, "two"}, {3, "three"}}, now(4, "now"), last(5, "last");
    unsigned int id[3] = {}, lastId = 0;
    for (int i = 0; i < 3; ++i) {
        Comm().ISendSocketMessage(one.channel, &queued[i], id[i]);
    }
    EXPECT_FALSE(one.peer.WaitReadable(0.02));  // queued means nothing written yet
    // The list form answers in queue order, once per record, for the ids asked that were issued.
    KEPBasVector<unsigned int> ids, pending;
    for (unsigned int asked : {id[2], id[2], id[0], id[2] + 1000}) {
        ids.push_back(asked);
    }
    pending.push_back(42u);  // the result list is emptied first
    Comm().QueryPendingStatus(ids, pending);
    ASSERT_EQ(2, pending.size());
    EXPECT_EQ(id[0], pending[0]);
    EXPECT_EQ(id[2], pending[1]);
    Comm().SendSocketMessage(one.channel, &now);
    Comm().QueryPendingStatus(ids, pending);
    EXPECT_EQ(0, pending.size());
    Comm().ISendSocketMessage(one.channel, &last, lastId);
    EXPECT_EQ((std::vector<unsigned int>{id[0] + 1, id[0] + 2, id[0] + 4}),
              (std::vector<unsigned int>{id[1], id[2], lastId}));
    EXPECT_TRUE(Comm().QueryPendingStatus(lastId));
    Comm().TransmitPendingMessage();
    EXPECT_FALSE(Comm().QueryPendingStatus(lastId));
    ExpectTexts(one.peer, {1, 2, 3, 4, 5});
    EXPECT_EQ(1, last.WriteCount());

    RawLink twinA = ConnectToRawPeer(m_listener, "twin", false);
    RawLink twinB = ConnectToRawPeer(m_listener, "twin", false);
    TextMessage message(1, "x"), unsent(2, "y");
    unsigned int before = 0, none = 99, single = 0, twins = 99, after = 0;
    Comm().ISendSocketMessage(one.channel, &message, before);
    Comm().ISendSocketMessage("nobody", &unsent, none);
    Comm().SendSocketMessage("nobody", &unsent);
    EXPECT_EQ(0u, none);
    Comm().ISendSocketMessage("single", &message, single);
    EXPECT_EQ(before + 1, single);
    EXPECT_TRUE(Comm().QueryPendingStatus(before));  // the immediate send wrote nothing queued
    EXPECT_TRUE(Comm().QueryPendingStatus(single));
    Comm().ISendSocketMessage("twin", &message, twins);
    EXPECT_EQ(0u, twins);
    Comm().ISendSocketMessage(one.channel, &message, after);
    EXPECT_EQ(single + 3, after);  // two ids for the two twins
    ids.Clear();                   // a query send appends one id per registered channel
    ids.push_back(12345u);
    Comm().ISendSocketMessage(static_cast<KEPMsgChannelQuery*>(nullptr), &message, ids);
    ASSERT_EQ(4, ids.size());
    EXPECT_EQ(12345u, ids[0]);
    EXPECT_EQ(after + 3, ids[3]);
    Comm().TransmitPendingMessage();
    ExpectTexts(one.peer, {1, 1, 1, 1});
    ExpectTexts(twinA.peer, {1, 1});
    ExpectTexts(twinB.peer, {1, 1});
    EXPECT_EQ(0, unsent.WriteCount());
}

// Without a default output stream every record waits, the oldest first; a type whose stream
// is null (the first registration stays) is dropped once the rest can go out, and a drop is no
// failure: the channel stays.
TEST_F(SendBufferTest, OutputStreamsDecideWhatWaitsAndWhatIsDropped) {
    Comm().SetDefaultOutputStream(nullptr);
    Comm().RegisterMessageOutputStream(FixedMessage::kType, nullptr);
    Comm().RegisterMessageOutputStream(FixedMessage::kType, &m_setup.Output());
    RawLink link = ConnectToRawPeer(m_listener, "a", false);
    TextMessage a(1, "a"), b(2, "b"), now(3, "now");
    FixedMessage dropped(9, 2, 3);
    unsigned int idA = 0, idDropped = 0, idB = 0;
    Comm().ISendSocketMessage(link.channel, &a, idA);
    Comm().ISendSocketMessage(link.channel, &dropped, idDropped);
    Comm().ISendSocketMessage(link.channel, &b, idB);
    Comm().SendSocketMessage(link.channel, &now);
    Comm().TransmitPendingMessage();
    EXPECT_TRUE(Comm().QueryPendingStatus(idA));
    EXPECT_TRUE(Comm().QueryPendingStatus(idDropped));
    EXPECT_FALSE(link.peer.WaitReadable(0.02));

    Comm().SetDefaultOutputStream(&m_setup.Output());
    Comm().TransmitPendingMessage();
    EXPECT_FALSE(Comm().QueryPendingStatus(idB));
    EXPECT_FALSE(Comm().QueryPendingStatus(idDropped));
    ExpectTexts(link.peer, {1, 2, 3});
    EXPECT_EQ(0, dropped.WriteCount());
    EXPECT_EQ(1, RegisteredChannelCount());
}

// A header failure drops the channel's later records; a body failure, after its header went
// out, removes and closes the channel; records for gone or never-registered connections and
// null messages are skipped without removing anything (the gone connection's channel left the
// organizer with it).
TEST_F(SendBufferTest, WriteFailuresRemoveTheChannelAndSkipsRemoveNothing) {
    RawLink broken = ConnectToRawPeer(m_listener, "broken", false);
    RawLink healthy = ConnectToRawPeer(m_listener, "healthy", false);
    RawLink failing = ConnectToRawPeer(m_listener, "failing", false);
    RawLink gone = ConnectToRawPeer(m_listener, "gone", false);
    const int brokenId = broken.channel.GetSocketId();
    // A reset from the peer (it alone makes the socket readable) makes the next send on the
    // library's socket fail at once.
    broken.peer.CloseWithReset();
    ASSERT_TRUE(WaitReadable(brokenId, 10));
    KEPMsgConnectionServicesUtils::Instance().ShutDownConnection(gone.channel.GetSocketId());
    TextMessage first(1, "first"), second(2, "second"), other(3, "other"), toGone(4, "lost");
    unsigned int id1 = 0, id2 = 0, id3 = 0, id = 0, nullId = 0;
    Comm().ISendSocketMessage(broken.channel, &first, id1);
    Comm().ISendSocketMessage(broken.channel, &second, id2);
    Comm().ISendSocketMessage(gone.channel, &toGone, id);
    Comm().ISendSocketMessage(KEPMsgChannel(), &toGone, id);      // never-registered channel
    Comm().ISendSocketMessage(healthy.channel, nullptr, nullId);  // null message
    Comm().SendSocketMessage(healthy.channel, nullptr);
    Comm().ISendSocketMessage(healthy.channel, &other, id3);
    Comm().TransmitPendingMessage();
    EXPECT_EQ(0, first.WriteCount());   // its header failed, so no body
    EXPECT_EQ(0, second.WriteCount());  // the channel was gone for the second record
    EXPECT_EQ(0, toGone.WriteCount());
    EXPECT_EQ(nullptr, KEPMsgConnectionServicesUtils::Instance().GetSocket(brokenId));
    EXPECT_EQ(2, RegisteredChannelCount()) << "a skip removed a channel";
    EXPECT_FALSE(Comm().QueryPendingStatus(id2));
    EXPECT_FALSE(Comm().QueryPendingStatus(nullId));
    ExpectTexts(healthy.peer, {3});

    FailingTextMessage body;
    Comm().SendSocketMessage(failing.channel, &body);
    EXPECT_EQ(1, body.WriteCount());
    EXPECT_EQ(1, RegisteredChannelCount()) << "a body failure left the channel";
    std::string type;
    ASSERT_TRUE(failing.peer.ReceiveType(type));  // the header went out before the body failed
    EXPECT_EQ(TextMessage::kType, type);
    EXPECT_TRUE(failing.peer.WaitPeerClosed());
}

}  // namespace
