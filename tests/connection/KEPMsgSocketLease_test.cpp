// Socket leases: a socket used outside the connection-services mutex outlives its removal, and
// its descriptor number is not reused while it is held. Leased-socket scope: the module's streams
// use the pass's leased socket only for its own id, only on the thread that opened the scope, and
// fail on a removed connection as without it.
#include "connection/KEPMsgSocketLease.h"

#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgLeasedSocketScope.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "tests/connection/ConnectionTestSupport.h"

using namespace keptest;

namespace {

// A connected socket that reports its destruction.
class TrackedSocket : public KEPMsgCommSocket {
  public:
    TrackedSocket(int handle, std::atomic<int>* destroyed)
        : KEPMsgCommSocket(LoopbackAddress(0), handle), m_destroyed(destroyed) {}
    ~TrackedSocket() override { ++*m_destroyed; }

  private:
    std::atomic<int>* m_destroyed;
};

class SocketLeaseTest : public ConnectionFixture {
  protected:
    // Enters a TrackedSocket over a fresh loopback connection; the peer goes to m_peer.
    int AddTracked() {
        RawListener listener;
        RawSocket local = RawConnect(listener.Port());
        m_peer = listener.Accept();
        int id = local.Fd();
        EXPECT_TRUE(Services().AddConnection(new TrackedSocket(local.Release(), &m_destroyed)));
        Track(id);
        return id;
    }
    std::atomic<int> m_destroyed{0};
};

TEST_F(SocketLeaseTest, LeaseKeepsDescriptorAndOnlyTheLastDestroys) {
    EXPECT_FALSE(Services().LeaseSocket(555555));
    int id = AddTracked();
    KEPMsgSocketLease lease = Services().LeaseSocket(id);
    ASSERT_TRUE(lease);
    Services().ShutDownConnection(id);
    EXPECT_EQ(m_destroyed, 0);
    EXPECT_TRUE(lease->IsClosed());
    EXPECT_TRUE(IsOpenDescriptor(id)) << "the number must not be free for reuse";
    EXPECT_TRUE(m_peer.WaitPeerClosed()) << "the peer still sees the shutdown at once";
    lease.reset();
    EXPECT_EQ(m_destroyed, 1);
    EXPECT_FALSE(IsOpenDescriptor(id));

    // Only the last of several leases (a moved-from one holds nothing) destroys the socket;
    // without a lease, removal destroys it at once.
    id = AddTracked();
    { KEPMsgSocketLease released = Services().LeaseSocket(id); }
    KEPMsgSocketLease first = Services().LeaseSocket(id);
    KEPMsgSocketLease second = Services().LeaseSocket(id);
    KEPMsgSocketLease moved = std::move(second);
    EXPECT_FALSE(second);
    Services().ShutDownConnection(id);
    first.reset();
    EXPECT_EQ(m_destroyed, 1);
    moved = KEPMsgSocketLease();
    EXPECT_EQ(m_destroyed, 2);

    id = AddTracked();
    Services().ShutDownConnection(id);
    EXPECT_EQ(m_destroyed, 3);
    EXPECT_FALSE(IsOpenDescriptor(id));
}

// A reader blocked in a stream's receive while another thread removes the connection wakes up
// and finds the socket still alive.
TEST_F(SocketLeaseTest, BlockedReadSurvivesRemoval) {
    const int id = AddTracked();
    bool ok = false;
    int got = -1;
    BackgroundCall reader([&] {
        KEPMsgSimpleInputStream stream;
        stream.SetSocketId(id);
        char buffer[8];
        ok = stream.read(buffer, sizeof buffer, got);
    });
    // Wait until the reader holds its lease, then remove the connection under it.
    ASSERT_TRUE(WaitUntil([&] {
        KEPMsgSocket* socket = Services().GetSocket(id);
        return socket != nullptr && socket->HoldCount() >= 2;
    }));
    Services().ShutDownConnection(id);
    ASSERT_TRUE(WaitUntil([&] { return reader.Done(); }));
    EXPECT_TRUE(!ok || got == 0);
    EXPECT_EQ(m_destroyed, 1);
}

using LeasedSocketScopeTest = ConnectionFixture;

KEPMsgCommSocket* CommOf(const KEPMsgSocketLease& lease) {
    return KEPMsgCommSocket::FromSocket(lease.get());
}

// Inside a scope, streams with another id still reach their own connection; nested scopes
// restore the outer one, and another thread sees none.
TEST_F(LeasedSocketScopeTest, ScopeServesOnlyItsIdAndFailsOnARemovedConnection) {
    RawSocket peerA, peerB;
    const int a = Connect(&peerA);
    const int b = Connect(&peerB);
    KEPMsgSocketLease leaseA = Services().LeaseSocket(a);
    KEPMsgSocketLease leaseB = Services().LeaseSocket(b);
    ASSERT_NE(CommOf(leaseA), nullptr);
    KEPMsgBufferedOutputStream stream(64);
    {
        KEPMsgLeasedSocketScope outer(*CommOf(leaseA));
        EXPECT_EQ(KEPMsgLeasedSocketScope::Find(a), CommOf(leaseA));
        EXPECT_EQ(KEPMsgLeasedSocketScope::Find(b), nullptr);
        int written = 0;
        char bytes[] = "ba";
        stream.SetSocketId(b);
        ASSERT_TRUE(stream.write(bytes, 1, written));
        stream.SetSocketId(a);
        ASSERT_TRUE(stream.write(bytes + 1, 1, written));
        EXPECT_EQ(written, 2);
        {
            KEPMsgLeasedSocketScope inner(*CommOf(leaseB));
            EXPECT_EQ(KEPMsgLeasedSocketScope::Find(a), nullptr);
            EXPECT_EQ(KEPMsgLeasedSocketScope::Find(b), CommOf(leaseB));
        }
        EXPECT_EQ(KEPMsgLeasedSocketScope::Find(a), CommOf(leaseA));
        KEPMsgCommSocket* seenElsewhere = CommOf(leaseA);
        std::thread([&] { seenElsewhere = KEPMsgLeasedSocketScope::Find(a); }).join();
        EXPECT_EQ(seenElsewhere, nullptr);
    }
    EXPECT_EQ(KEPMsgLeasedSocketScope::Find(a), nullptr);
    EXPECT_EQ(peerB.ReceiveString(1), "b");
    EXPECT_EQ(peerA.ReceiveString(1), "a");
    // Host code may remove the connection while a pass holds its lease: the stream must fail as it
    // does when its look-up finds nothing, and nothing may reach the peer.
    const int id = Connect();
    ASSERT_TRUE(m_peer.SendBytes(std::string("in")));
    KEPMsgSocketLease lease = Services().LeaseSocket(id);
    KEPMsgLeasedSocketScope scope(*CommOf(lease));
    Services().ShutDownConnection(id);
    stream.SetSocketId(id);
    KEPMsgSimpleInputStream input;
    input.SetSocketId(id);
    int count = 0;
    char buffer[2] = {'x'};
    EXPECT_FALSE(stream.write(buffer, 1, count));
    EXPECT_FALSE(input.read(buffer, 2, count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(m_peer.WaitPeerClosed());
}

}  // namespace
