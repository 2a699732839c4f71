// Leased-socket scope: the module's streams use the pass's leased socket only for its own id,
// only on the thread that opened the scope, and fail on a removed connection as without it.
#include "connection/KEPMsgLeasedSocketScope.h"

#include <gtest/gtest.h>

#include <thread>

#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "connection/KEPMsgSocketLease.h"
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

// Inside a scope, streams with another id still reach their own connection; nested scopes
// restore the outer one, and another thread sees none.
TEST_F(LeasedSocketScopeTest, ScopeServesOnlyItsIdOnItsThread) {
    RawSocket peerA, peerB;
    const int a = ConnectTo(peerA);
    const int b = ConnectTo(peerB);
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
}

// Host code may remove the connection while a pass holds its lease: the stream must fail as it
// does when its look-up finds nothing, and nothing may reach the peer.
TEST_F(LeasedSocketScopeTest, ConnectionRemovedInsideScopeFailsReadsAndWrites) {
    const int id = Connect();
    ASSERT_TRUE(m_peer.SendBytes(std::string("in")));
    KEPMsgSocketLease lease = Services().LeaseSocket(id);
    KEPMsgLeasedSocketScope scope(*CommOf(lease));
    Services().ShutDownConnection(id);
    KEPMsgBufferedOutputStream output(64);
    output.SetSocketId(id);
    KEPMsgSimpleInputStream input;
    input.SetSocketId(id);
    int count = 0;
    char buffer[2] = {'x'};
    EXPECT_FALSE(output.write(buffer, 1, count));
    EXPECT_FALSE(input.read(buffer, 2, count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(m_peer.WaitPeerClosed());
}

}  // namespace
