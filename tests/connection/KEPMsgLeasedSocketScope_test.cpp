// Leased-socket scope: the module's streams use the pass's leased socket only for its own id,
// only on the thread that opened the scope, and fail on a removed connection as without it.
#include "connection/KEPMsgLeasedSocketScope.h"

#include <gtest/gtest.h>

#include <thread>

#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "connection/KEPMsgSocketLease.h"
#include "sockets/KEPMsgCommSocket.h"
#include "tests/connection/ConnectionTestSupport.h"

using namespace keptest;

namespace {

class LeasedSocketScopeTest : public ConnectionFixture {
  protected:
    // A connection in the table whose raw peer goes to peer.
    int ConnectTo(RawSocket& peer) {
        const int id = Connect();
        peer = std::move(m_peer);
        return id;
    }
    static KEPMsgCommSocket* CommOf(const KEPMsgSocketLease& lease) {
        return KEPMsgCommSocket::FromSocket(lease.get());
    }
};

TEST_F(LeasedSocketScopeTest, StreamsWithAnotherIdStillReachTheirOwnConnection) {
    RawSocket peerA;
    RawSocket peerB;
    const int a = ConnectTo(peerA);
    const int b = ConnectTo(peerB);
    KEPMsgSocketLease leaseA = Services().LeaseSocket(a);
    ASSERT_NE(CommOf(leaseA), nullptr);
    KEPMsgBufferedOutputStream stream(64);
    {
        KEPMsgLeasedSocketScope scope(*CommOf(leaseA));
        EXPECT_EQ(KEPMsgLeasedSocketScope::Find(a), CommOf(leaseA));
        EXPECT_EQ(KEPMsgLeasedSocketScope::Find(b), nullptr);
        int written = 0;
        char toB[] = "bb";
        stream.SetSocketId(b);
        ASSERT_TRUE(stream.write(toB, 2, written));
        char toA[] = "aa";
        stream.SetSocketId(a);
        ASSERT_TRUE(stream.write(toA, 2, written));
        EXPECT_EQ(written, 4);
    }
    EXPECT_EQ(KEPMsgLeasedSocketScope::Find(a), nullptr);
    EXPECT_EQ(peerB.ReceiveString(2), "bb");
    EXPECT_EQ(peerA.ReceiveString(2), "aa");
}

TEST_F(LeasedSocketScopeTest, ScopeIsSeenOnlyByItsThreadAndNestedScopesRestore) {
    RawSocket peerA;
    RawSocket peerB;
    const int a = ConnectTo(peerA);
    const int b = ConnectTo(peerB);
    KEPMsgSocketLease leaseA = Services().LeaseSocket(a);
    KEPMsgSocketLease leaseB = Services().LeaseSocket(b);
    KEPMsgLeasedSocketScope outer(*CommOf(leaseA));
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

// Host code may remove the connection while a pass holds its lease: the stream must fail as it
// does when its look-up finds nothing, and nothing may reach the peer.
TEST_F(LeasedSocketScopeTest, ConnectionRemovedInsideScopeFailsReadsAndWrites) {
    RawSocket peer;
    const int id = ConnectTo(peer);
    ASSERT_TRUE(peer.SendBytes(std::string("in")));
    KEPMsgSocketLease lease = Services().LeaseSocket(id);
    KEPMsgLeasedSocketScope scope(*CommOf(lease));
    Services().ShutDownConnection(id);
    EXPECT_EQ(Services().GetSocket(id), nullptr);

    KEPMsgBufferedOutputStream output(64);
    output.SetSocketId(id);
    int written = 0;
    char byte = 'x';
    EXPECT_FALSE(output.write(&byte, 1, written));
    EXPECT_EQ(written, 0);

    KEPMsgSimpleInputStream input;
    input.SetSocketId(id);
    char buffer[2];
    int got = 0;
    EXPECT_FALSE(input.read(buffer, 2, got));
    EXPECT_TRUE(peer.WaitPeerClosed());
}

}  // namespace
