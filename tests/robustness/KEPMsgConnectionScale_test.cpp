// Many connections: a thousand held at once (when the wait's descriptor set can watch them), and
// two thousand opened and closed in turn without descriptors or memory left behind.

#include <map>

#include "channels/KEPMsgChannelQueryByLabel.h"
#include "tests/robustness/RobustnessSupport.h"

namespace keptest {
namespace {

class ConnectionScaleTest : public RobustnessTest {
  protected:
    ConnectionScaleTest() : RobustnessTest(5000) {}
};

TEST_F(ConnectionScaleTest, ThousandConnectionsAreHeldAndServedAtOnce) {
    constexpr int kConnections = 1000;
    if (KEP_FD_SETSIZE < kConnections + 24) {
        GTEST_SKIP() << "the wait watches at most KEP_FD_SETSIZE (" << KEP_FD_SETSIZE
                     << ") sockets; configure with -DKEP_FD_SETSIZE=1024 to run this test";
    }
    if (RaiseDescriptorLimit(2 * kConnections + 64) < 2 * kConnections + 64) {
        GTEST_SKIP() << "the descriptor limit cannot be raised to " << 2 * kConnections + 64;
    }
    int port = -1;
    ASSERT_NE(StartRegisteredServer(port), nullptr);
    std::vector<RawSocket> clients;
    std::map<int, int> clientByPort;
    // One connection is accepted per pass and listening socket; passes run as the clients
    // connect, so the server's backlog never overflows.
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(RawConnect(port));
        clientByPort[LocalPort(clients.back().Fd())] = i;
        ASSERT_TRUE(PumpUntil([i] { return RegisteredChannelCount() == i + 2; })) << i;
    }
    for (int i = 0; i < kConnections; ++i) {
        ASSERT_TRUE(clients[i].SendBytes(TextWire(i, "client")));
    }
    std::vector<ReceivedMessage> received = ReceiveAtLeast(kConnections, 60.0);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kConnections));

    // Every message came on the channel of its own client; each gets its own answer back.
    std::vector<std::unique_ptr<TextMessage>> replies;
    for (const ReceivedMessage& record : received) {
        const int client = clientByPort[RemotePort(record.channel.GetSocketId())];
        EXPECT_EQ(record.message->Sequence(), static_cast<std::uint32_t>(client));
        replies.emplace_back(new TextMessage(record.message->Sequence(), "reply"));
        unsigned int id = 0;
        Communicator().ISendSocketMessage(record.channel, replies.back().get(), id);
    }
    Communicator().TransmitPendingMessage();
    for (int i = 0; i < kConnections; ++i) {
        std::unique_ptr<SequencedMessage> reply = clients[i].ReceiveMessage();
        ASSERT_NE(reply, nullptr) << i;
        EXPECT_EQ(reply->Sequence(), static_cast<std::uint32_t>(i));
    }
    Communicator().RemoveConnection(nullptr, true);
    EXPECT_EQ(RegisteredChannelCount(), 0);
    EXPECT_TRUE(clients[0].WaitPeerClosed());
    EXPECT_TRUE(clients[kConnections - 1].WaitPeerClosed());
}

// One round: `count` inbound connections (raw clients to the library's server) and `count`
// outbound ones (the library to a raw listener), each carrying one message each way, then all
// closed: inbound by the peer, outbound by the library.
void ChurnRound(int port, RawListener& listener, int count, int baseChannels) {
    std::vector<RawSocket> clients;
    std::vector<RawLink> links;
    for (int i = 0; i < count; ++i) {
        clients.push_back(RawConnect(port));
        ASSERT_TRUE(clients.back().SendBytes(TextWire(i, "in")));
        links.push_back(ConnectToRawPeer(listener, "out"));
        ASSERT_NE(links.back().socket, nullptr);
    }
    std::size_t received = 0;
    ASSERT_TRUE(PumpUntil([&] {
        received += TakeReceived().size();
        return received == static_cast<std::size_t>(count) &&
               RegisteredChannelCount() == baseChannels + 2 * count;
    })) << "received "
        << received << ", channels " << RegisteredChannelCount();
    TextMessage hello(1, "hello");
    KEPMsgSocketCommunicator::Instance().SendSocketMessage("out", &hello);
    for (RawLink& link : links) {
        ASSERT_NE(link.peer.ReceiveMessage(), nullptr);
    }
    clients.clear();  // the peers close the inbound ones
    KEPMsgChannelQueryByLabel outbound{KEPString("out")};
    KEPMsgSocketCommunicator::Instance().RemoveConnection(&outbound, true);
    ASSERT_TRUE(PumpUntil([&] { return RegisteredChannelCount() == baseChannels; }));
}

TEST_F(ConnectionScaleTest, ChurnOfTwoThousandConnectionsLeavesNothingBehind) {
    int port = -1;
    ASSERT_NE(StartRegisteredServer(port), nullptr);
    const int base = RegisteredChannelCount();
    // Inbound and outbound each; below the backlog (16) of the server, since the clients
    // connect before any pass accepts them.
    constexpr int kPerRound = 10;
    ChurnRound(port, m_listener, kPerRound, base);  // warm-up: caches and pools settle
    const int descriptorsBefore = OpenDescriptorCount();
    const long residentBefore = ResidentKiB();
    for (int round = 0; round < 2000 / (2 * kPerRound); ++round) {
        ChurnRound(port, m_listener, kPerRound, base);
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
    if (!kUnderSanitizer) {
        EXPECT_LT(ResidentKiB() - residentBefore, 16 * 1024) << "resident memory grew";
    }
}

}  // namespace
}  // namespace keptest
