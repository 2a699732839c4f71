// Processes that fork after the library has loaded: the child has a wake-up, connections and
// reconnecting clients of its own, so nothing it does reaches the parent's.
#include "MessagingTestSupport.h"

#include <sys/socket.h>

#include "channels/KEPMsgWaitableLock.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

// Far longer than any deadline below: a wait that ends before it was ended by a wake-up.
constexpr int kLongWaitMs = 10000;

class KEPMsgForkGuardTest : public ::testing::Test {
  protected:
    MessagingSetup m_setup;
    RawListener m_listener;
};

// The child's passes run while the parent queues a send: they must not take the parent's
// wake-up, after which every wake-up of the parent would be lost.
TEST_F(KEPMsgForkGuardTest, ChildPassesLeaveTheParentsWakeupsAlone) {
    RawLink link = ConnectToRawPeer(m_listener, "peer");
    Comm().WaitConnectionsAndMessages(nullptr, 0);  // consumes the registration's wake-up
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    RawSocket parentEnd(ends[0]), childEnd(ends[1]);
    // Passes, one byte to the parent after each, until the parent closes its end.
    ChildProcess child([&] {
        parentEnd.Close();
        const char tick = 1;
        do {
            Comm().WaitConnectionsAndMessages(nullptr, 20);
        } while (::send(childEnd.Fd(), &tick, 1, MSG_NOSIGNAL) == 1);
        return 0;
    });
    childEnd.Close();
    ASSERT_EQ(parentEnd.ReceiveString(1).size(), 1u) << "the child runs no passes";
    TextMessage message(1, "queued while the child runs passes");
    unsigned int id = 0;
    Comm().ISendSocketMessage(link.channel, &message, id);
    EXPECT_EQ(parentEnd.ReceiveString(3).size(), 3u);  // the child's passes ran meanwhile
    Comm().WaitConnectionsAndMessages(nullptr, 0);
    Comm().TransmitPendingMessage();
    // Then each queued send wakes a long pass of the parent that has begun.
    for (std::uint32_t sequence = 2; sequence <= 4; ++sequence) {
        TextMessage queued(sequence, "queued");
        {
            const unsigned long passes = Comm().ReceivePassCount();
            BackgroundCall pass([] { Comm().WaitConnectionsAndMessages(nullptr, kLongWaitMs); });
            EXPECT_TRUE(WaitUntil([&] { return Comm().ReceivePassCount() > passes; }));
            Comm().ISendSocketMessage(link.channel, &queued, id);
            EXPECT_TRUE(WaitUntil([&] { return pass.Done(); }, 5.0)) << sequence << ": not woken";
        }
        Comm().TransmitPendingMessage();
    }
    parentEnd.Close();
    EXPECT_EQ(child.Wait(), 0);
    ExpectTexts(link.peer, {1, 2, 3, 4});
}

// A child that writes its queue, shuts its copy of a channel and its message task down touches
// only its own copies: the parent's queued record goes out once, and the parent's connection
// and listener go on.
TEST_F(KEPMsgForkGuardTest, ChildShutdownLeavesTheParentsListenerAndConnectionServing) {
    int port = 0;
    ASSERT_NE(StartRegisteredServer(port), nullptr);
    RawLink link = ConnectToRawPeer(m_listener, "peer");
    TextMessage queued(1, "queued before the fork");
    unsigned int id = 0;
    Comm().ISendSocketMessage(link.channel, &queued, id);
    ChildProcess child([&] {
        Comm().WaitConnectionsAndMessages(nullptr, 0);
        Comm().TransmitPendingMessage();
        link.channel.Shutdown();
        Comm().ShutdownMessageTask();
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
    Comm().TransmitPendingMessage();
    TextMessage reply(2, "after the child");
    Comm().SendSocketMessage(link.channel, &reply);
    ExpectTexts(link.peer, {1, 2});

    RawSocket client = RawConnect(port);
    ASSERT_TRUE(client.SendMessage(reply));
    ASSERT_TRUE(link.peer.SendMessage(queued));
    EXPECT_EQ(ReceiveAtLeast(2).size(), 2u) << "the listener or the connection was shut down";
}

// A lease the forking thread holds keeps the child's closed copy of its socket until the lease
// is returned there, which then frees it once; the parent's connection stays open.
TEST_F(KEPMsgForkGuardTest, ChildFreesALeasedSocketOnlyWhenTheLeaseReturns) {
    RawLink link = ConnectToRawPeer(m_listener, "peer");
    KEPMsgSocketLease lease =
        KEPMsgConnectionServicesUtils::Instance().LeaseSocket(link.channel.GetSocketId());
    ASSERT_TRUE(lease);
    ChildProcess child([&] {
        const bool closed = lease->IsClosed();
        lease.reset();
        return closed ? 0 : 2;
    });
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_FALSE(lease->IsClosed()) << "the child closed the parent's connection";
}

// The parent's reconnecting client has no thread in the child: the child's registry starts
// empty, so the child may start, use and stop a client of the same label.
TEST_F(KEPMsgForkGuardTest, ChildStartsAndStopsAReconnectingClientOfItsOwn) {
    const KEPMsgSocketAddress server = LoopbackAddress(m_listener.Port());
    const KEPMsgReconnectSettings quick{5, 20, 0};
    ASSERT_TRUE(Comm().StartReconnectingClient("up", server, quick));
    RawSocket parentPeer = m_listener.Accept();
    ASSERT_TRUE(PumpUntil([] { return RegisteredChannelCount() == 1; }));
    // 2: it stopped the parent's client; 3, 4, 5: its own did not start, connect or stop.
    ChildProcess child([&] {
        return Comm().StopReconnectingClient("up")                        ? 2
               : !Comm().StartReconnectingClient("up", server, quick)     ? 3
               : !PumpUntil([] { return RegisteredChannelCount() == 1; }) ? 4
               : Comm().StopReconnectingClient("up")                      ? 0
                                                                          : 5;
    });
    RawSocket childPeer = m_listener.Accept();
    EXPECT_TRUE(childPeer.IsOpen()) << "the child's client did not dial";
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_TRUE(childPeer.WaitPeerClosed());
    EXPECT_TRUE(Comm().StopReconnectingClient("up"));
    EXPECT_TRUE(parentPeer.WaitPeerClosed());
}

}  // namespace
