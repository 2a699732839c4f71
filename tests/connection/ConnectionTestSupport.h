// Fixture for the connection-services tests: Connect() enters a socket in the connection table,
// connected to a raw POSIX peer the test drives (m_peer). TearDown restores the I/O time-out,
// removes every connection the test made and finalizes the singleton, so prototypes on the
// test's stack never outlive it.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "tests/sockets/SocketTestSupport.h"

namespace keptest {

class ConnectionFixture : public ::testing::Test {
  protected:
    KEPMsgConnectionServicesUtils& Services() { return KEPMsgConnectionServicesUtils::Instance(); }

    // Connects a table socket to a fresh raw peer; returns its id (peer in *peer, or m_peer). A
    // peer receive buffer size given here is set before the connection exists, so that its
    // window stays that small.
    int Connect(RawSocket* peer = nullptr, int peerReceiveBuffer = 0) {
        RawListener listener;
        if (peerReceiveBuffer > 0) {
            ::setsockopt(listener.Fd(), SOL_SOCKET, SO_RCVBUF,
                         reinterpret_cast<const char*>(&peerReceiveBuffer), sizeof(int));
        }
        KEPMsgCommSocket* socket =
            Services().ConnectToServer(LoopbackAddress(0), LoopbackAddress(listener.Port()), 5, 10);
        EXPECT_NE(socket, nullptr);
        if (socket == nullptr) {
            return -1;
        }
        *(peer != nullptr ? peer : &m_peer) = listener.Accept();
        Track(socket->GetId());
        return socket->GetId();
    }

    // A listening socket in the table, removed at the end of the test.
    int StartServer() {
        KEPMsgServerSocket* server = Services().StartServer(LoopbackAddress(0), 4);
        EXPECT_NE(server, nullptr);
        if (server == nullptr) {
            return -1;
        }
        Track(server->GetId());
        return server->GetId();
    }

    void Track(int socketId) { m_tracked.push_back(socketId); }

    void TearDown() override {
        Services().SetIoTimeout(30000);
        for (int id : m_tracked) {
            Services().ShutDownConnection(id);
        }
        m_tracked.clear();
        KEPMsgConnectionServicesUtils::Finalize();
    }

    RawSocket m_peer;
    std::vector<int> m_tracked;
};

}  // namespace keptest
