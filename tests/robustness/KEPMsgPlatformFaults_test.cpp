// Platform faults on every path: each platform call of a path fails once in turn (or a send or
// recv moves fewer bytes). Whatever fails, the path reports it the way its interface says, leaves
// no descriptor or message object behind, disturbs no other connection, and the library serves a
// fresh exchange afterwards.

#include "tests/robustness/RobustnessSupport.h"
#include "tests/sockets/SocketTestSupport.h"

namespace keptest {
namespace {

using kepwsa::PlatformCall;

// A failure that no path takes for the loss of its connection, and one that every path does.
const Fault kFailures[] = {{PlatformCall::kAny, kepwsa::WSAENOBUFS},
                           {PlatformCall::kAny, kepwsa::WSAECONNRESET}};

class PlatformFaultTest : public RobustnessTest {
  protected:
    void SetUp() override {
        RobustnessTest::SetUp();
        m_bystander = ConnectToRawPeer(m_listener, "bystander");
        ASSERT_NE(m_bystander.socket, nullptr);
        m_descriptors = OpenDescriptorCount();
        m_messages = LiveTestMessages();
    }

    // After a run, its connections closed: nothing left behind, the bystander served.
    void ExpectSettled() {
        EXPECT_EQ(OpenDescriptorCount(), m_descriptors);
        EXPECT_EQ(LiveTestMessages(), m_messages);
        ExpectServed(m_bystander, ++m_sequence);
    }

    // The raw ends of every connection the library made to m_listener; the one whose port
    // matches socket (when given) is returned, the others must have been closed by the library.
    RawSocket TakePeer(KEPMsgSocket* socket) {
        const int port = socket != nullptr ? LocalPort(socket->GetId()) : -1;
        RawSocket kept;
        for (;;) {
            // Connections of failed attempts queue before the live one: none is waited for.
            RawSocket peer = m_listener.Accept(kept.IsOpen() || port == -1 ? 0.0 : 10.0);
            if (!peer.IsOpen()) {
                return kept;
            }
            if (RemotePort(peer.Fd()) == port) {
                kept = std::move(peer);
            } else {
                EXPECT_TRUE(peer.WaitPeerClosed()) << "a failed connection was left open";
            }
        }
    }

    RawLink m_bystander;
    int m_descriptors = 0;
    int m_messages = 0;
    std::uint32_t m_sequence = 0;
};

TEST_F(PlatformFaultTest, StartServerGivesNullOrAListenerThatAccepts) {
    for (const Fault& fault : kFailures) {
        KEPMsgServerSocket* server = nullptr;
        const long met = SweepFaults(
            fault, NothingToPrepare,
            [&] { server = Services().StartServer(LoopbackAddress(0), 4); },
            [&](const FaultRun& run) {
                using C = PlatformCall;
                EXPECT_EQ(server == nullptr,
                          run.Hit({C::kGetAddrInfo, C::kSocket, C::kBind, C::kListen}));
                if (server == nullptr) {
                    return ExpectSettled();
                }
                EXPECT_EQ(Services().GetSocket(server->GetId()), server);
                if (run.Hit({C::kGetSockName})) {
                    // Bound and listening, but on a port it cannot name: the code says why.
                    EXPECT_EQ(server->GetErrorCode(), fault.code);
                } else {
                    RawSocket client = RawConnect(server->GetAddress().GetPort());
                    std::unique_ptr<KEPMsgCommSocket> accepted(server->Accept());
                    ASSERT_NE(accepted, nullptr);
                    accepted->Shutdown();
                }
                Services().ShutDownConnection(server->GetId());
                ExpectSettled();
            });
        EXPECT_GE(met, 6);
    }
}

TEST_F(PlatformFaultTest, ConnectToServerGivesNullOrAServingConnection) {
    for (const bool retries : {false, true}) {
        for (const Fault& fault : kFailures) {
            KEPMsgCommSocket* socket = nullptr;
            const long met = SweepFaults(
                fault, NothingToPrepare,
                [&] {
                    socket = Services().ConnectToServer(LoopbackAddress(0),
                                                        LoopbackAddress(m_listener.Port()),
                                                        retries ? 10 : 0, 1);
                },
                [&](const FaultRun& run) {
                    using C = PlatformCall;
                    if (retries) {
                        EXPECT_NE(socket, nullptr) << "a failed attempt was not retried";
                    } else if (run.Hit({C::kGetAddrInfo, C::kSocket, C::kConnect})) {
                        EXPECT_EQ(socket, nullptr);
                    } else if (socket == nullptr) {
                        EXPECT_TRUE(run.Hit({C::kSetSockOpt}));  // linger or send buffer
                    }
                    RawLink link{KEPMsgChannel(socket, KEPString("dialed")), socket,
                                 TakePeer(socket)};
                    if (socket != nullptr) {
                        Communicator().AddConnection(link.channel, true);
                        ExpectServed(link, ++m_sequence);
                        RemoveLabelled("dialed");
                    }
                    link.peer.Close();
                    ExpectSettled();
                });
            EXPECT_GE(met, 6);
        }
    }
}

TEST_F(PlatformFaultTest, ReconnectingClientComesUpWhateverItsDialMeets) {
    for (const Fault& fault : kFailures) {
        SweepFaults(
            fault, NothingToPrepare,
            [&] {
                // Nothing else makes platform calls until the client's channel is registered.
                ASSERT_TRUE(Communicator().StartReconnectingClient(
                    "re", LoopbackAddress(m_listener.Port()), KEPMsgReconnectSettings{1, 5, 0}));
                ASSERT_TRUE(WaitUntil([] { return RegisteredChannelCount() == 2; }));
            },
            [&](const FaultRun&) {
                KEPMsgChannelQueryByLabel query{KEPString("re")};
                KEPBasVector<KEPMsgChannel> found;
                Communicator().RetrieveConnections(&query, found);
                ASSERT_EQ(found.size(), 1);
                KEPMsgSocket* socket = Services().GetSocket(found[0].GetSocketId());
                RawLink link{found[0], nullptr, TakePeer(socket)};
                ExpectServed(link, ++m_sequence);
                EXPECT_TRUE(Communicator().StopReconnectingClient("re"));
                link.peer.Close();
                ExpectSettled();
            });
    }
}

TEST_F(PlatformFaultTest, AcceptInTheWaitTakesTheClientOrLeavesItOut) {
    int port = -1;
    KEPMsgServerSocket* server = StartRegisteredServer(port);
    ASSERT_NE(server, nullptr);
    m_descriptors = OpenDescriptorCount();
    for (const Fault& fault : kFailures) {
        RawSocket client;
        SweepFaults(
            fault,
            [&] {
                client = RawConnect(port);
                ASSERT_TRUE(WaitReadable(server->GetId(), 10));
            },
            [&] { Communicator().WaitConnectionsAndMessages(nullptr, 1000); },
            [&](const FaultRun& run) {
                // Pending still (a failed wait or accept) or accepted; or closed by the library.
                const bool taken = PumpUntil([&] { return RegisteredChannelCount() == 3; }, 1.0);
                if (!taken) {
                    EXPECT_TRUE(run.Hit({PlatformCall::kSetSockOpt}));
                    EXPECT_TRUE(client.WaitPeerClosed());
                } else {
                    ASSERT_TRUE(client.SendBytes(TextWire(++m_sequence, "accepted")));
                    std::vector<ReceivedMessage> got = ReceiveAtLeast(1);
                    ASSERT_EQ(got.size(), 1u);
                    EXPECT_EQ(got[0].message->Sequence(), m_sequence);
                    client.Close();
                    ASSERT_TRUE(PumpUntil([] { return RegisteredChannelCount() == 2; }));
                }
                client.Close();
                ExpectSettled();
            });
    }
}

// The first link's send meets the fault: its peer gets the message whole or sees the connection
// end, and the second link is not disturbed.
TEST_F(PlatformFaultTest, SendDeliversWholeOrDropsOnlyItsConnection) {
    const Fault faults[] = {kFailures[0], kFailures[1], {PlatformCall::kSend, 0, 1}};
    for (const bool queued : {false, true}) {
        for (const Fault& fault : faults) {
            RawLink link;
            std::unique_ptr<BlobMessage> message;
            SweepFaults(
                fault,
                [&] {
                    link = ConnectToRawPeer(m_listener, "sender");
                    message.reset(new BlobMessage(0, 100000, 7));
                },
                [&] {
                    if (queued) {
                        unsigned int id = 0;
                        Communicator().ISendSocketMessage(link.channel, message.get(), id);
                        Communicator().TransmitPendingMessage();
                    } else {
                        Communicator().SendSocketMessage(link.channel, message.get());
                    }
                },
                [&](const FaultRun& run) {
                    std::unique_ptr<SequencedMessage> got = link.peer.ReceiveMessage();
                    if (got == nullptr || !got->IsIntact()) {
                        EXPECT_TRUE(run.met && fault.shortBytes == 0);
                        EXPECT_TRUE(link.peer.WaitPeerClosed());
                    } else {
                        EXPECT_EQ(WireBytes(*got), WireBytes(*message));
                    }
                    got.reset();
                    message.reset();
                    RemoveLabelled("sender");
                    link.peer.Close();
                    ExpectSettled();
                });
        }
    }
}

// Two links have a message each in flight when a pass meets the fault. Each message arrives on
// its own channel, whole unless a receive of its connection failed, or its connection ends; a
// short receive loses nothing.
TEST_F(PlatformFaultTest, ReceivePassLosesNothingOutsideTheFailingConnection) {
    const Fault faults[] = {kFailures[0], kFailures[1], {PlatformCall::kRecv, 0, 1}};
    for (const Fault& fault : faults) {
        RawLink links[2];
        SweepFaults(
            fault,
            [&] {
                ASSERT_TRUE(ConnectTwo(links[0], links[1]));
                for (std::uint32_t i = 0; i < 2; ++i) {
                    ASSERT_TRUE(links[i].peer.SendBytes(TextWire(i, std::string(3000 * i, 'r'))));
                    ASSERT_TRUE(WaitReadable(links[i].channel.GetSocketId(), 10));
                }
            },
            [&] { Communicator().WaitConnectionsAndMessages(nullptr, 1000); },
            [&](const FaultRun& run) {
                bool seen[2] = {false, false};
                const auto settled = [&](int i) {
                    return seen[i] ||
                           Services().GetSocket(links[i].channel.GetSocketId()) == nullptr;
                };
                EXPECT_TRUE(PumpUntil([&] {
                    for (ReceivedMessage& record : TakeReceived()) {
                        const int i = record.channel == links[0].channel ? 0 : 1;
                        EXPECT_EQ(record.channel, links[i].channel);
                        EXPECT_EQ(record.message->Sequence(), static_cast<std::uint32_t>(i));
                        EXPECT_TRUE(record.message->IsIntact() || run.met);
                        seen[i] = true;
                    }
                    return settled(0) && settled(1);
                }));
                for (int i = 0; i < 2; ++i) {
                    EXPECT_TRUE(seen[i] ||
                                (fault.shortBytes == 0 && links[i].peer.WaitPeerClosed()));
                    links[i].peer.Close();
                }
                Communicator().RemoveConnection(nullptr, true);
                m_bystander = ConnectToRawPeer(m_listener, "bystander");
                ExpectSettled();
            });
    }
}

}  // namespace
}  // namespace keptest
