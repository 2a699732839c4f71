// Hostile and faulty peers: bad counts, bytes dribbled one at a time, many messages in one
// write, resets in the middle of a message, unknown types, resets before an accept. None may
// crash the process, lose or invent a message, or starve another connection.

#include <map>

#include "platform/KEPWinsock.h"
#include "tests/robustness/RobustnessSupport.h"
#include "tests/sockets/SocketTestSupport.h"

namespace keptest {
namespace {

class HostilePeerTest : public RobustnessTest {
  protected:
    // Two registered links to raw peers: the one under test and a bystander.
    void SetUp() override {
        RobustnessTest::SetUp();
        ASSERT_TRUE(ConnectTwo(m_hostile, m_bystander));
    }
    RawLink m_hostile;
    RawLink m_bystander;
};

// Headers that carry no message are consumed whole, and the stream goes on with the next one.
TEST_F(HostilePeerTest, HeadersWithoutAMessageAreSkippedAndTheStreamGoesOn) {
    const struct {
        const char* name;
        std::string bytes;
    } rows[] = {
        {"zero count", HeaderBytes("")},
        {"longest unknown name",
         HeaderBytes(std::string(KEPMsgConnectionServicesUtils::kMaxTypeNameBytes, 'u'))},
        {"unknown type, empty body", HeaderBytes("NoSuchType")},
    };
    std::uint32_t sequence = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(m_hostile.peer.SendBytes(row.bytes));
        ExpectServed(m_hostile, ++sequence);
        EXPECT_EQ(RegisteredChannelCount(), 2);
    }
}

// A time-out long enough that only what the peer does ends a read.
class PatientHostilePeerTest : public HostilePeerTest {
  protected:
    PatientHostilePeerTest() { m_ioTimeoutMs = 5000; }
};

// Each byte goes out alone and only once the library has taken the one before, so every
// receive of the header and of the body returns a single byte.
TEST_F(PatientHostilePeerTest, OneByteWritesAreReadWhole) {
    const char* const texts[] = {"dribbled", "one byte at a time"};
    const std::string wire = TextWire(1, texts[0]) + TextWire(2, texts[1]);
    const int libraryFd = m_hostile.channel.GetSocketId();
    std::atomic<bool> writerOk{true};
    std::thread writer([&] {
        for (std::size_t i = 0; i < wire.size() && writerOk; ++i) {
            writerOk = m_hostile.peer.SendBytes(&wire[i], 1) &&
                       WaitUntil([&] { return BytesWaiting(libraryFd) == 0; });
        }
    });
    std::vector<ReceivedMessage> got = ReceiveAtLeast(2);
    writer.join();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(writerOk);
    for (std::uint32_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(got[i].message->IsIntact());
        EXPECT_EQ(got[i].message->Sequence(), i + 1);
        EXPECT_EQ(static_cast<TextMessage*>(got[i].message.get())->Text(), texts[i]);
    }
}

TEST_F(HostilePeerTest, ManyMessagesInOneWriteAreServedOnePerPassOnEveryChannel) {
    const int messagesPerPeer = 5;
    std::string hostileBurst, bystanderBurst;
    for (int i = 0; i < messagesPerPeer; ++i) {
        hostileBurst += TextWire(static_cast<std::uint32_t>(i), "burst-h");
        bystanderBurst += TextWire(static_cast<std::uint32_t>(i), "burst-b");
    }
    ASSERT_TRUE(m_hostile.peer.SendBytes(hostileBurst));
    ASSERT_TRUE(m_bystander.peer.SendBytes(bystanderBurst));
    const int hostileFd = m_hostile.channel.GetSocketId();
    const int bystanderFd = m_bystander.channel.GetSocketId();
    ASSERT_TRUE(WaitUntil([&] {
        return BytesWaiting(hostileFd) == static_cast<int>(hostileBurst.size()) &&
               BytesWaiting(bystanderFd) == static_cast<int>(bystanderBurst.size());
    }));
    for (int pass = 0; pass < messagesPerPeer; ++pass) {
        Communicator().WaitConnectionsAndMessages(nullptr, 1000);
        std::vector<ReceivedMessage> got = TakeReceived();
        ASSERT_EQ(got.size(), 2u) << "pass " << pass;
        std::map<int, std::uint32_t> sequenceBySocket;
        for (ReceivedMessage& r : got) {
            EXPECT_TRUE(r.message->IsIntact());
            sequenceBySocket[r.channel.GetSocketId()] = r.message->Sequence();
        }
        EXPECT_EQ(sequenceBySocket[hostileFd], static_cast<std::uint32_t>(pass));
        EXPECT_EQ(sequenceBySocket[bystanderFd], static_cast<std::uint32_t>(pass));
    }
    Communicator().WaitConnectionsAndMessages(nullptr, 1);
    EXPECT_TRUE(TakeReceived().empty());
}

// A count over the limit (the boundary counts are the connection layer's tests), or a reset while
// the library waits inside a body: only that connection is removed and closed, nothing of it is
// handed over, and the bystander goes on being served.
TEST_F(PatientHostilePeerTest, OversizedCountOrResetInsideBodyRemovesOnlyThatConnection) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset inside the body" : "oversized count");
        const int hostileFd = m_hostile.channel.GetSocketId();
        ASSERT_TRUE(m_hostile.peer.SendBytes(
            reset ? TextWire(6, std::string(1000, 'r')).substr(0, 508)
                  : Bytes({0xFF, 0xFF, 0xFF, 0xFF}) + std::string(64, 'g')));
        {
            // The reset goes out once the library has taken what was sent, i.e. while it waits
            // inside the body for the rest.
            BackgroundCall resetter([&] {
                if (reset && WaitUntil([&] { return BytesWaiting(hostileFd) <= 0; })) {
                    m_hostile.peer.CloseWithReset();
                }
            });
            ASSERT_TRUE(PumpUntil([] { return RegisteredChannelCount() == 1; }));
        }
        EXPECT_EQ(Services().GetSocket(hostileFd), nullptr);
        EXPECT_TRUE(reset || m_hostile.peer.WaitPeerClosed());
        EXPECT_TRUE(TakeReceived().empty());  // a body cut off by the reset is never handed over
        ExpectServed(m_bystander, 1);
        m_hostile = ConnectToRawPeer(m_listener, "hostile");
    }
}

TEST_F(HostilePeerTest, ResetBeforeAcceptLeavesTheListenerServing) {
    int port = -1;
    KEPMsgServerSocket* server = StartRegisteredServer(port);
    ASSERT_NE(server, nullptr);
    const int before = RegisteredChannelCount();
    RawSocket good = RawConnect(port);
    ASSERT_TRUE(good.IsOpen());
    // Linux's accept(2) takes a reset pending connection like any other, so the seam fails it
    // the way Winsock reports a pending connection that was reset or lost meanwhile.
    for (int code : {kepwsa::WSAECONNRESET, kepwsa::WSAECONNABORTED, kepwsa::WSAENETDOWN,
                     kepwsa::WSAENETUNREACH}) {
        kepwsa::FailNthCall(kepwsa::PlatformCall::kAccept, 1, code);
        Communicator().WaitConnectionsAndMessages(nullptr, 1000);  // good is pending: accepts
        kepwsa::DisarmFault();
        EXPECT_EQ(server->GetErrorCode(), code) << "accept not reached for code " << code;
        EXPECT_FALSE(server->IsClosed()) << "listener shut down by code " << code;
    }
    // Accepted while silent: a pass must not wait for its first header.
    ASSERT_TRUE(PumpUntil([&] { return RegisteredChannelCount() == before + 1; }));
    ASSERT_TRUE(good.SendBytes(TextWire(3, "after the failed accepts")));
    std::vector<ReceivedMessage> got = ReceiveAtLeast(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].message->Sequence(), 3u);
    EXPECT_FALSE(server->IsClosed());
}

TEST_F(HostilePeerTest, TryAcceptNeverBlocksAndAcceptStillWaits) {
    KEPMsgServerSocket server(LoopbackAddress(0), 4);
    ASSERT_FALSE(server.IsClosed());
    EXPECT_EQ(server.TryAccept(), nullptr);
    EXPECT_EQ(server.GetErrorCode(), kepwsa::WSAEWOULDBLOCK);
    EXPECT_FALSE(server.IsClosed());

    std::unique_ptr<KEPMsgCommSocket> accepted;
    RawSocket client;
    {
        BackgroundCall acceptor([&] { accepted.reset(server.Accept()); });
        client = RawConnect(server.GetAddress().GetPort());
    }
    ASSERT_NE(accepted, nullptr);
    EXPECT_TRUE(accepted->IsConnected());
    // The accepted connection blocks (with its time-out), unlike the listener.
    ASSERT_TRUE(client.SendBytes("a", 1));
    char got = 0;
    EXPECT_EQ(accepted->read(&got, 1), 1);
    EXPECT_EQ(got, 'a');
}

}  // namespace
}  // namespace keptest
