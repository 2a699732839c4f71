// Simple input stream: one receive per call, the end of the connection, and its socket lookup.
#include "connection/KEPMsgSimpleInputStream.h"

#include <gtest/gtest.h>

#include "tests/connection/ConnectionTestSupport.h"

using namespace keptest;

namespace {

using SimpleInputStreamTest = ConnectionFixture;

TEST_F(SimpleInputStreamTest, PeerCloseGivesZeroThenFailure) {
    int id = Connect();
    ASSERT_TRUE(m_peer.SendBytes("abc"));
    m_peer.Close();
    KEPMsgSimpleInputStream stream;
    stream.SetSocketId(id);
    char buffer[16];
    std::string received;
    int got = -1;
    while (stream.read(buffer, sizeof buffer, got) && got > 0) {
        received.append(buffer, static_cast<size_t>(got));
    }
    EXPECT_EQ(received, "abc");
    EXPECT_EQ(got, 0);  // the close is reported as true with 0 bytes
    got = 77;
    EXPECT_FALSE(stream.read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 77);
}

TEST_F(SimpleInputStreamTest, NoSocketFails) {
    KEPMsgSimpleInputStream stream;
    char buffer[4];
    int got = 5;
    EXPECT_FALSE(stream.read(buffer, 4, got));  // default id -1
    stream.SetSocketId(987654);
    EXPECT_FALSE(stream.read(buffer, 4, got));
    EXPECT_EQ(got, 5);
    KEPMsgServerSocket* server = Services().StartServer(LoopbackAddress(0), 4);
    ASSERT_NE(server, nullptr);
    Track(server->GetId());
    stream.SetSocketId(server->GetId());
    EXPECT_FALSE(stream.read(buffer, 4, got));
}

}  // namespace
