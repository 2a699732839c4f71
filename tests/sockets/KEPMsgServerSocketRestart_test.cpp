// A server restarted at once gets its port back: the connections of the listener before it,
// closed by the server first, still hold the port while they wait out TIME_WAIT.
#include <gtest/gtest.h>

#include "tests/sockets/SocketTestSupport.h"

namespace {

using keptest::Listen;
using keptest::ServerSocketPtr;

TEST(KEPMsgServerSocketRestartTest, PortIsFreeWhileTheEarlierServersConnectionWaitsOut) {
    keptest::LoopbackPair pair = keptest::Connected();
    const int port = pair.server->GetAddress().GetPort();
    ASSERT_NE(pair.accepted, nullptr);
    // The server closes first, so its end of the connection is the one left in TIME_WAIT.
    pair.accepted->Shutdown();
    pair.server->Shutdown();
    char byte = 0;
    pair.client->read(&byte, 1);
    ASSERT_TRUE(pair.client->IsClosed()) << "the client did not see the server's close";
    pair.client->Shutdown();

    ServerSocketPtr restarted = Listen("", port);
    EXPECT_FALSE(restarted->IsClosed()) << "error " << restarted->GetErrorCode();
    // The port stays the restarted server's own.
    ServerSocketPtr second = Listen("", port);
    EXPECT_TRUE(second->IsClosed());
}

}  // namespace
