// Communicator facade and the receive pass: reading, storing, callbacks, closed peers,
// accepted connections, bad input.
#include "MessagingTestSupport.h"

using namespace keptest;

namespace {

std::vector<std::string> g_calls;  // type@messages stored at the call

void RecordCall(const KEPString& type) {
    g_calls.push_back(type.GetUTF8() + std::string("@") +
                      std::to_string(KEPMsgRetrieveMessageBuffer::Instance().Count()));
}

void OtherCallback(const KEPString& type) {
    g_calls.push_back(std::string("other:") + type.GetUTF8());
}

class CommunicatorTest : public ::testing::Test {
  protected:
    void SetUp() override { g_calls.clear(); }

    int Stored() { return KEPMsgRetrieveMessageBuffer::Instance().Count(); }
    // One receive pass once every link has its message waiting at the library's end.
    void PassWhenReady(std::initializer_list<const RawLink*> links) {
        for (const RawLink* link : links) {
            ASSERT_TRUE(WaitReadable(link->channel.GetSocketId(), 10));
        }
        Comm().WaitConnectionsAndMessages(nullptr, 1000);
    }

    MessagingSetup m_setup;
    RawListener m_listener;
};

// One pass over three channels: each message is stored with its channel and an id with all
// bits set (appended to what the list held); then each type with messages gets one callback,
// in ascending type order (the first registration stays until removed).
TEST_F(CommunicatorTest, OnePassStoresEverythingThenCallsEachTypeOnceInTypeOrder) {
    for (const char* type : {TextMessage::kType, FixedMessage::kType, BlobMessage::kType}) {
        Comm().RegisterMessageNotificationCallback(type, RecordCall);
    }
    Comm().RegisterMessageNotificationCallback(BlobMessage::kType, OtherCallback);
    RawLink a = ConnectToRawPeer(m_listener, "a");
    RawLink b = ConnectToRawPeer(m_listener, "b");
    RawLink c = ConnectToRawPeer(m_listener, "c");
    TextMessage fromA(1, "from a"), fromB(2, "from b");
    BlobMessage blob(3, 1000, 5);
    ASSERT_TRUE(a.peer.SendMessage(fromA) && b.peer.SendMessage(fromB) && c.peer.SendMessage(blob));
    PassWhenReady({&a, &b, &c});
    EXPECT_EQ((std::vector<std::string>{"Blob@3", "Text@3"}), g_calls);
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    records.push_back(KEPMsgChannelMsgStruct());
    KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
    Comm().IRetrieveMessagesWithChannel(&query, records);
    ASSERT_EQ(3, records.size());
    for (int i = 1; i < records.size(); ++i) {
        std::unique_ptr<TextMessage> text(static_cast<TextMessage*>(records[i].m_message));
        EXPECT_TRUE(text->IsIntact());
        EXPECT_EQ(text->Sequence() == 1 ? a.channel : b.channel, records[i].m_channel);
        EXPECT_EQ(0xFFFFFFFFu, records[i].m_id);
    }
    auto blobs = TakeReceived();
    ASSERT_EQ(1u, blobs.size());
    EXPECT_STREQ(BlobMessage::kType, blobs[0].message->GetMessageType().GetUTF8());
    EXPECT_TRUE(blobs[0].message->IsIntact());

    // A removed callback is not called and its type takes a new one.
    Comm().RemoveMessageNotificationCallback(TextMessage::kType);
    Comm().RemoveMessageNotificationCallback("NeverRegistered");
    Comm().RegisterMessageNotificationCallback(TextMessage::kType, OtherCallback);
    ASSERT_TRUE(a.peer.SendMessage(fromA));
    PassWhenReady({&a});
    EXPECT_EQ((std::vector<std::string>{"Blob@3", "Text@3", "other:Text"}), g_calls);
}

// However a registered connection ends, the first pass after it removes it from the organizer,
// the waitable and the table, and releases its descriptor (the table holds it open until
// then); other channels stay.
TEST_F(CommunicatorTest, EndedConnectionLeavesOrganizerTableAndDescriptorInOnePass) {
    const struct {
        const char* name;
        const char* label;
        bool hostShutsDown;
    } rows[] = {{"peer closes", "a", false},
                {"wake-up peer closes", "x__internal", false},
                {"host shuts the socket down", "a", true}};
    RawLink other = ConnectToRawPeer(m_listener, "other");
    for (const auto& row : rows) {
        RawLink link = ConnectToRawPeer(m_listener, row.label);
        ASSERT_NE(nullptr, link.socket) << row.name;
        const int id = link.channel.GetSocketId();
        if (row.hostShutsDown) {
            link.socket->Shutdown();
        } else {
            link.peer.Close();
            ASSERT_TRUE(WaitReadable(id, 10)) << row.name;
        }
        EXPECT_TRUE(IsOpenDescriptor(id)) << row.name << ": released before the pass";
        Comm().WaitConnectionsAndMessages(nullptr, 1000);
        EXPECT_EQ(nullptr, KEPMsgConnectionServicesUtils::Instance().GetSocket(id)) << row.name;
        EXPECT_FALSE(IsOpenDescriptor(id)) << row.name;
        KEPBasVector<KEPMsgChannel> found;
        Comm().RetrieveConnections(nullptr, found);
        ASSERT_EQ(1, found.size()) << row.name;
        EXPECT_EQ(other.channel, found[0]) << row.name;
        EXPECT_EQ(1, KEPMsgChannelOrganizer::Instance().GetCurrentWaitable().Channels().size())
            << row.name;
    }
}

// The accepted event names the listener's label and the peer.
TEST_F(CommunicatorTest, AcceptedConnectionIsRegisteredUnlabelledAndReadInALaterPass) {
    EventRecorder recorder;
    int port = -1;
    KEPMsgServerSocket* server = StartRegisteredServer(port);
    ASSERT_NE(server, nullptr);
    RawSocket client = RawConnect(port);
    TextMessage hello(1, "hello");
    ASSERT_TRUE(client.SendMessage(hello));
    ASSERT_TRUE(WaitReadable(server->GetId(), 10));
    Comm().WaitConnectionsAndMessages(nullptr, 1000);
    KEPBasVector<KEPMsgChannel> found;
    KEPMsgChannelQueryByLabel unlabelled{KEPString("")};
    Comm().RetrieveConnections(&unlabelled, found);
    ASSERT_EQ(1, found.size());
    EXPECT_EQ(2, RegisteredChannelCount());
    EXPECT_EQ(0, Stored());  // the new connection was not read in the pass that accepted it
    std::vector<ReceivedMessage> received = ReceiveAtLeast(1);
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(found[0], received[0].channel);
    const auto accepted = recorder.PumpFor(KEPMsgConnectionEvent::kAccepted);
    ASSERT_TRUE(accepted);
    EXPECT_STREQ(accepted->m_label.GetUTF8(), "server");
    EXPECT_STREQ(accepted->m_peerHost.GetUTF8(), "127.0.0.1");
    EXPECT_EQ(accepted->m_peerPort, LocalPort(client.Fd()));
}

// A type whose input stream is null is released unread (the first registration stays, either
// way round), and the next message on the connection is read whole. A wake-up byte then raises
// the waitable's flag, which becomes the communicator's interrupt flag and stays up until a
// bracketed facade call lowers it again.
TEST_F(CommunicatorTest, NullInputStreamReleasesTheMessageAndWakeUpByteRaisesTheInterruptFlag) {
    Comm().RegisterMessageInputStream(FixedMessage::kType, nullptr);
    Comm().RegisterMessageInputStream(FixedMessage::kType, &m_setup.Input());
    Comm().RegisterMessageInputStream(TextMessage::kType, &m_setup.Input());
    Comm().RegisterMessageInputStream(TextMessage::kType, nullptr);
    RawLink a = ConnectToRawPeer(m_listener, "a");
    RawLink wake = ConnectToRawPeer(m_listener, "x__internal");
    EXPECT_FALSE(Comm().IsMessagingInterrupted());  // AddConnection's bracket lowered it
    const int liveBefore = LiveTestMessages();
    NamedEmptyMessage fixedHeaderOnly(FixedMessage::kType);  // header only: nothing to misread
    TextMessage text(6, "next");
    ASSERT_TRUE(a.peer.SendMessage(fixedHeaderOnly) && a.peer.SendMessage(text));
    ASSERT_TRUE(PumpUntil([&] { return Stored() == 1; }));
    auto messages = TakeReceived();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(6u, messages[0].message->Sequence());
    messages.clear();
    EXPECT_EQ(liveBefore + 2, LiveTestMessages());  // only the two local messages live

    ASSERT_TRUE(wake.peer.SendBytes(Bytes({1})));
    PassWhenReady({&wake});
    EXPECT_TRUE(Comm().IsMessagingInterrupted());
    EXPECT_FALSE(KEPMsgChannelOrganizer::Instance().GetCurrentWaitable().IsListenInterupted());
    EXPECT_EQ(0, Stored());
    EXPECT_EQ(2, RegisteredChannelCount());
    Comm().RemoveMessageNotificationCallback(TextMessage::kType);
    EXPECT_FALSE(Comm().IsMessagingInterrupted());
}

}  // namespace
