// The receive pass against connections that change under it: a listed connection replaced by a
// newer one with the same descriptor, a connection removed without its channel, bodies cut off
// by the peer, and a host input stream that receives from the descriptor itself.

#include "channels/KEPMsgChannelOrganizer.h"
#include "platform/KEPWinsock.h"
#include "tests/robustness/RobustnessSupport.h"

namespace keptest {
namespace {

class ReceivePassTest : public RobustnessTest {
  protected:
    static KEPMsgChannelWaitable& Current() {
        return KEPMsgChannelOrganizer::Instance().GetCurrentWaitable();
    }
    // A registered link whose peer sent one message, and the first half of a pass: the wait,
    // run by hand, lists the link as ready.
    RawLink ListedWithAMessage(const char* label) {
        RawLink link = ConnectToRawPeer(m_listener, label);
        EXPECT_NE(link.socket, nullptr);
        EXPECT_TRUE(link.peer.SendBytes(TextWire(1, "never read")));
        EXPECT_TRUE(WaitUntil([&] { return BytesWaiting(link.channel.GetSocketId()) > 0; }));
        Current().WaitForConnectionAndMessages(1000);
        EXPECT_EQ(Current().Listen().size(), 1);
        return link;
    }
};

// A host input stream that receives straight from the descriptor the socket id names.
class DescriptorInputStream : public KEPBasInputStream {
  public:
    bool read(void* buffer, int length, int& got) override {
        const int received = kepwsa::recv(GetSocketId(), static_cast<char*>(buffer), length, 0);
        got = static_cast<int>(received > 0 ? received : 0);
        return received >= 0;
    }
};

TEST_F(ReceivePassTest, ListedConnectionReplacedBeforeTheReadLeavesTheNewcomerAlone) {
    RawLink old = ListedWithAMessage("old");
    ASSERT_FALSE(HasFailure());
    const int id = old.channel.GetSocketId();

    // Between the wait and the read another thread removes the connection (as a failed send
    // does) and a new connection gets the same descriptor, the lowest free one.
    KEPMsgChannelOrganizer::Instance().RemoveChannel(old.channel, true);
    std::vector<RawSocket> lowerHoles;
    while (LowestFreeDescriptor() < id) {
        lowerHoles.push_back(BindLoopback(0, false));
    }
    RawLink newcomer = ConnectToRawPeer(m_listener, "newcomer");
    ASSERT_EQ(newcomer.channel.GetSocketId(), id);

    // The rest of the pass: its own wait finds nothing, then it works through the listed entry.
    Communicator().WaitConnectionsAndMessages(nullptr, 0);
    EXPECT_TRUE(TakeReceived().empty());
    EXPECT_EQ(Services().GetSocket(id), newcomer.socket);
    EXPECT_TRUE(newcomer.socket->IsConnected());  // no header read timed out on it
    EXPECT_EQ(RegisteredChannelCount(), 1);

    ExpectServed(newcomer, 2);
}

TEST_F(ReceivePassTest, ListedConnectionRemovedWithoutItsChannelLosesTheChannel) {
    RawLink link = ListedWithAMessage("removed alone");
    ASSERT_FALSE(HasFailure());
    // The connection goes, its channel stays registered.
    Services().ShutDownConnection(link.channel.GetSocketId());
    Communicator().WaitConnectionsAndMessages(nullptr, 0);
    EXPECT_EQ(RegisteredChannelCount(), 0);
    EXPECT_EQ(Current().Channels().size(), 0);
    EXPECT_TRUE(TakeReceived().empty());
}

// A message counts as received only when its body arrived whole; a ReadBody that fails on a
// connection that is still intact is stored all the same (hosts rely on that).
TEST_F(ReceivePassTest, BodyCutOffByTheConnectionsEndIsNotStored) {
    const std::uint32_t tooLong = BlobMessage::kMaxBytes + 1;
    // The peer closes in the first row (nothing is stored), stays in the second (stored).
    const struct {
        const char* name;
        std::string wire;
        bool stored;
    } rows[] = {
        {"peer closes inside the body", TextWire(1, std::string(100, 'c')).substr(0, 58), false},
        {"ReadBody refuses on an intact connection",
         HeaderBytes("Blob") + std::string(reinterpret_cast<const char*>(&tooLong), 4) +
             std::string(reinterpret_cast<const char*>(&tooLong), 4),
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RawLink link = ConnectToRawPeer(m_listener, row.name);
        const int liveBefore = LiveTestMessages();
        ASSERT_TRUE(link.peer.SendBytes(row.wire));
        if (!row.stored) {
            link.peer.Close();
        }
        std::vector<ReceivedMessage> got = ReceiveAtLeast(row.stored ? 1 : 0);
        EXPECT_TRUE(PumpUntil([&] { return RegisteredChannelCount() == (row.stored ? 1 : 0); }));
        EXPECT_TRUE(TakeReceived().empty());
        ASSERT_EQ(got.size(), row.stored ? 1u : 0u);
        EXPECT_TRUE(!row.stored || !got[0].message->IsIntact());
        got.clear();
        EXPECT_EQ(LiveTestMessages(), liveBefore) << "a dropped message leaked";
        Communicator().RemoveConnection(nullptr, true);
    }
}

TEST_F(ReceivePassTest, HostStreamReceivingFromTheDescriptorGetsEachBodyWhole) {
    DescriptorInputStream hostStream;
    Communicator().RegisterMessageInputStream(TextMessage::kType, &hostStream);
    RawLink link = ConnectToRawPeer(m_listener, "host stream");
    ASSERT_NE(link.socket, nullptr);
    const char* const texts[] = {"first", "second, back to back"};
    ASSERT_TRUE(link.peer.SendBytes(TextWire(1, texts[0]) + TextWire(2, texts[1])));
    std::vector<ReceivedMessage> got = ReceiveAtLeast(2);
    ASSERT_EQ(got.size(), 2u);
    for (std::uint32_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(got[i].message->IsIntact()) << "message " << i;
        EXPECT_EQ(got[i].message->Sequence(), i + 1);
        EXPECT_EQ(static_cast<TextMessage*>(got[i].message.get())->Text(), texts[i]);
    }
    EXPECT_TRUE(link.socket->IsConnected());
    EXPECT_EQ(RegisteredChannelCount(), 1);
}

}  // namespace
}  // namespace keptest
