// Communicator facade and the receive pass: reading, storing, callbacks, closed peers,
// accepted connections, bad input.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

using namespace keptest;

namespace {

std::vector<std::string> g_calls;
std::vector<int> g_storedAtCall;

void RecordCall(const KEPString& type) {
    g_calls.push_back(type.GetUTF8());
    g_storedAtCall.push_back(KEPMsgRetrieveMessageBuffer::Instance().Count());
}

void OtherCallback(const KEPString& type) {
    g_calls.push_back(std::string("other:") + type.GetUTF8());
}

class CommunicatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        g_storedAtCall.clear();
        m_setup.reset(new MessagingSetup());
    }
    void TearDown() override { m_setup.reset(); }

    KEPMsgSocketCommunicator& Comm() { return KEPMsgSocketCommunicator::Instance(); }
    int Stored() { return KEPMsgRetrieveMessageBuffer::Instance().Count(); }
    void Pass() { Comm().WaitConnectionsAndMessages(nullptr, 1000); }

    std::unique_ptr<MessagingSetup> m_setup;
    RawListener m_listener;
};

TEST_F(CommunicatorTest, TwoMessagesOfOneTypeOnTwoChannelsGiveTwoEntriesAndOneCallback) {
    Comm().RegisterMessageNotificationCallback(TextMessage::kType, RecordCall);
    RawLink a = ConnectToRawPeer(m_listener, "a");
    RawLink b = ConnectToRawPeer(m_listener, "b");
    TextMessage fromA(1, "from a"), fromB(2, "from b");
    ASSERT_TRUE(a.peer.SendMessage(fromA));
    ASSERT_TRUE(b.peer.SendMessage(fromB));
    ASSERT_TRUE(WaitUntil([&] {
        return WaitReadable(a.channel.GetSocketId(), 0) && WaitReadable(b.channel.GetSocketId(), 0);
    }));
    Pass();
    EXPECT_EQ(2, Stored());
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ(2, g_storedAtCall[0]);  // called after both were stored
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
    Comm().IRetrieveMessagesWithChannel(&query, records);
    ASSERT_EQ(2, records.size());
    for (int i = 0; i < records.size(); ++i) {
        auto* text = static_cast<TextMessage*>(records[i].m_message);
        EXPECT_TRUE(text->IsIntact());
        EXPECT_EQ(text->Sequence() == 1 ? a.channel : b.channel, records[i].m_channel);
        EXPECT_EQ(0xFFFFFFFFu, records[i].m_id);
        delete text;
    }
}

TEST_F(CommunicatorTest, CallbacksRunInAscendingTypeOrderOncePerPass) {
    Comm().RegisterMessageNotificationCallback(TextMessage::kType, RecordCall);
    Comm().RegisterMessageNotificationCallback(FixedMessage::kType, RecordCall);
    Comm().RegisterMessageNotificationCallback(BlobMessage::kType, RecordCall);
    Comm().RegisterMessageNotificationCallback(BlobMessage::kType, OtherCallback);  // first stays
    RawLink a = ConnectToRawPeer(m_listener, "a");
    RawLink b = ConnectToRawPeer(m_listener, "b");
    RawLink c = ConnectToRawPeer(m_listener, "c");
    TextMessage text(1, "t");
    FixedMessage fixed(2, 3, 4);
    BlobMessage blob(3, 1000, 5);
    ASSERT_TRUE(a.peer.SendMessage(text));
    ASSERT_TRUE(b.peer.SendMessage(fixed));
    ASSERT_TRUE(c.peer.SendMessage(blob));
    ASSERT_TRUE(WaitUntil([&] {
        return WaitReadable(a.channel.GetSocketId(), 0) &&
               WaitReadable(b.channel.GetSocketId(), 0) && WaitReadable(c.channel.GetSocketId(), 0);
    }));
    Pass();
    EXPECT_EQ((std::vector<std::string>{"Blob", "Fixed", "Text"}), g_calls);
    auto messages = TakeMessages(BlobMessage::kType);
    ASSERT_EQ(1u, messages.size());
    EXPECT_TRUE(messages[0]->IsIntact());
}

TEST_F(CommunicatorTest, RemovedCallbackIsNotCalledAndCanBeReplaced) {
    Comm().RegisterMessageNotificationCallback(TextMessage::kType, RecordCall);
    Comm().RemoveMessageNotificationCallback(TextMessage::kType);
    Comm().RemoveMessageNotificationCallback("NeverRegistered");
    RawLink a = ConnectToRawPeer(m_listener, "a");
    TextMessage text(1, "t");
    ASSERT_TRUE(a.peer.SendMessage(text));
    ASSERT_TRUE(PumpUntil([&] { return Stored() == 1; }));
    EXPECT_TRUE(g_calls.empty());
    Comm().RegisterMessageNotificationCallback(TextMessage::kType, OtherCallback);
    ASSERT_TRUE(a.peer.SendMessage(text));
    ASSERT_TRUE(PumpUntil([&] { return Stored() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"other:Text"}), g_calls);
}

TEST_F(CommunicatorTest, ClosedPeerLeavesOrganizerAndTableInThePassThatSeesIt) {
    RawLink a = ConnectToRawPeer(m_listener, "a");
    RawLink b = ConnectToRawPeer(m_listener, "b");
    const int id = a.channel.GetSocketId();
    a.peer.Close();
    ASSERT_TRUE(WaitUntil([&] { return WaitReadable(id, 0); }));
    Pass();
    EXPECT_EQ(nullptr, KEPMsgConnectionServicesUtils::Instance().GetSocket(id));
    KEPBasVector<KEPMsgChannel> found;
    Comm().RetrieveConnections(nullptr, found);
    ASSERT_EQ(1, found.size());
    EXPECT_EQ(b.channel, found[0]);
    EXPECT_EQ(1, KEPMsgChannelOrganizer::Instance().GetCurrentWaitable().Channels().size());
}

// The table holds every registered socket's descriptor open until the connection is removed,
// so a registered socket that closes outside the read path must still be removed by a pass.
TEST_F(CommunicatorTest, InternalPeerCloseReleasesItsDescriptor) {
    RawLink wake = ConnectToRawPeer(m_listener, "x__internal");
    ASSERT_NE(nullptr, wake.socket);
    const int id = wake.channel.GetSocketId();
    wake.peer.Close();
    ASSERT_TRUE(WaitUntil([&] { return WaitReadable(id, 0); }));
    ASSERT_TRUE(PumpUntil(
        [&] { return KEPMsgConnectionServicesUtils::Instance().GetSocket(id) == nullptr; }));
    EXPECT_FALSE(IsOpenDescriptor(id));
    EXPECT_EQ(0, RegisteredChannelCount());
    EXPECT_EQ(0, KEPMsgChannelOrganizer::Instance().GetCurrentWaitable().Channels().size());
}

TEST_F(CommunicatorTest, RegisteredSocketShutDownByHostIsRemovedByThePass) {
    RawLink a = ConnectToRawPeer(m_listener, "a");
    ASSERT_NE(nullptr, a.socket);
    const int id = a.channel.GetSocketId();
    a.socket->Shutdown();
    EXPECT_TRUE(IsOpenDescriptor(id)) << "the table keeps the number while the socket is in it";
    Pass();
    EXPECT_EQ(nullptr, KEPMsgConnectionServicesUtils::Instance().GetSocket(id));
    EXPECT_FALSE(IsOpenDescriptor(id));
    EXPECT_EQ(0, RegisteredChannelCount());
}

TEST_F(CommunicatorTest, AcceptedConnectionIsRegisteredUnlabelledAndReadInALaterPass) {
    int port = -1;
    KEPMsgServerSocket* server = StartRegisteredServer(port);
    ASSERT_NE(server, nullptr);
    RawSocket client = RawConnect(port);
    ASSERT_TRUE(client.IsOpen());
    TextMessage hello(1, "hello");
    ASSERT_TRUE(client.SendMessage(hello));
    ASSERT_TRUE(WaitUntil([&] { return WaitReadable(server->GetId(), 0); }));
    Pass();
    KEPBasVector<KEPMsgChannel> found;
    KEPMsgChannelQueryByLabel unlabelled{KEPString("")};
    Comm().RetrieveConnections(&unlabelled, found);
    ASSERT_EQ(1, found.size());
    EXPECT_EQ(2, RegisteredChannelCount());
    EXPECT_EQ(0, Stored());  // the new connection was not read in the pass that accepted it
    ASSERT_TRUE(PumpUntil([&] { return Stored() == 1; }));
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
    Comm().IRetrieveMessagesWithChannel(&query, records);
    ASSERT_EQ(1, records.size());
    EXPECT_EQ(found[0], records[0].m_channel);
    delete records[0].m_message;
}

TEST_F(CommunicatorTest, MessageWithoutInputStreamIsReleasedNotStored) {
    Comm().RegisterMessageInputStream(FixedMessage::kType, nullptr);
    RawLink a = ConnectToRawPeer(m_listener, "a");
    const int liveBefore = LiveTestMessages();
    NamedEmptyMessage fixedHeaderOnly(FixedMessage::kType);  // header only: nothing to misread
    TextMessage text(6, "next");
    ASSERT_TRUE(a.peer.SendMessage(fixedHeaderOnly));
    ASSERT_TRUE(a.peer.SendMessage(text));
    ASSERT_TRUE(PumpUntil([&] { return Stored() == 1; }));
    auto messages = TakeMessages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(6u, messages[0]->Sequence());
    messages.clear();
    EXPECT_EQ(liveBefore + 2, LiveTestMessages());  // only the two local messages live
}

TEST_F(CommunicatorTest, RegistriesKeepTheFirstEntry) {
    KEPMsgSimpleInputStream other;
    Comm().RegisterMessageInputStream(TextMessage::kType, &m_setup->Input());
    Comm().RegisterMessageInputStream(TextMessage::kType, nullptr);  // ignored
    RawLink a = ConnectToRawPeer(m_listener, "a");
    TextMessage text(1, "x");
    ASSERT_TRUE(a.peer.SendMessage(text));
    ASSERT_TRUE(PumpUntil([&] { return Stored() == 1; }));
    EXPECT_TRUE(Comm().IsDefaultInputStreamDefined());
    Comm().SetDefaultInputStream(nullptr);
    EXPECT_FALSE(Comm().IsDefaultInputStreamDefined());
}

TEST_F(CommunicatorTest, ErrorsOnGoneChannelGiveZeroAndLeaveTextAlone) {
    RawLink a = ConnectToRawPeer(m_listener, "a");
    KEPMsgChannel copy = a.channel;
    KEPString text("unchanged");
    int code = -5;
    Comm().GetErrorsOnChannel(copy, code, text);
    EXPECT_EQ(0, code);
    KEPMsgChannelQueryByLabel byLabel{KEPString("a")};
    Comm().RemoveConnection(&byLabel, true);
    EXPECT_EQ(0, RegisteredChannelCount());
    code = -5;
    Comm().GetErrorsOnChannel(copy, code, text);
    EXPECT_EQ(0, code);
    EXPECT_STREQ("unchanged", text.GetUTF8());
    EXPECT_TRUE(a.peer.WaitPeerClosed());
}

// The waitable's flag becomes the communicator's interrupt flag, which then stays up until a
// bracketed facade call lowers it again.
TEST_F(CommunicatorTest, WakeUpByteIsPassedOnAsTheInterruptFlag) {
    RawLink wake = ConnectToRawPeer(m_listener, "x__internal");
    EXPECT_FALSE(Comm().IsMessagingInterrupted());  // AddConnection's bracket lowered it
    const char byte = 1;
    ASSERT_TRUE(wake.peer.SendBytes(&byte, 1));
    ASSERT_TRUE(WaitUntil([&] { return WaitReadable(wake.channel.GetSocketId(), 0); }));
    Pass();
    EXPECT_TRUE(Comm().IsMessagingInterrupted());
    EXPECT_FALSE(KEPMsgChannelOrganizer::Instance().GetCurrentWaitable().IsListenInterupted());
    EXPECT_EQ(0, Stored());
    EXPECT_EQ(1, RegisteredChannelCount());
    Comm().RemoveMessageNotificationCallback(TextMessage::kType);
    EXPECT_FALSE(Comm().IsMessagingInterrupted());
}

}  // namespace
