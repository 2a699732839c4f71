// Injected faults of the platform layer's calls.
#include "platform/KEPFaultInjection.h"

#include <gtest/gtest.h>

#include "platform/KEPWinsock.h"
#include "tests/support/KEPTestNet.h"

namespace kepwsa {

// The nth call of the chosen kind fails once, with the chosen code; calls of other kinds do not
// count. A short count moves fewer bytes and loses none.
TEST(KEPFaultInjectionTest, NthCallOfItsKindFailsOnceOrMovesFewerBytes) {
    keptest::RawPair pair = keptest::ConnectedPair();
    const int local = pair.local.Fd(), remote = pair.remote.Fd();
    char got[8] = {};
    FailNthCall(PlatformCall::kSend, 2, WSAENOBUFS);
    EXPECT_EQ(send(local, "a", 1, 0), 1);
    EXPECT_EQ(recv(remote, got, 8, 0), 1);
    EXPECT_FALSE(FaultMet());
    EXPECT_EQ(send(local, "b", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOBUFS);
    PlatformCall fired = PlatformCall::kAny;
    EXPECT_TRUE(FaultMet(&fired));
    EXPECT_EQ(fired, PlatformCall::kSend);
    EXPECT_EQ(send(local, "hello", 5, 0), 5);

    ShortenNthCall(PlatformCall::kRecv, 1, 2);
    EXPECT_EQ(recv(remote, got, 8, 0), 2);
    EXPECT_EQ(recv(remote, got + 2, 6, 0), 3);
    EXPECT_EQ(std::string(got, 5), "hello");
}

}  // namespace kepwsa
