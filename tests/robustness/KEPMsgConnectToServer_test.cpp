// A connect that retries against a refusing port must not hold up the rest of the process: the
// connection services are locked only to enter a socket that did connect.

#include "platform/KEPWinsock.h"
#include "tests/robustness/RobustnessSupport.h"
#include "tests/sockets/SocketTestSupport.h"

namespace keptest {
namespace {

// Holds the second connect attempt (the first retry) until the test lets it go, or a deadline
// passes, so the test can act while a connect is certainly under way.
std::atomic<int> g_attempts{0};
std::atomic<bool> g_released{false};

void HoldSecondAttempt(kepwsa::SOCKET) {
    if (++g_attempts == 2) {
        WaitUntil([] { return g_released.load(); }, 5.0);
    }
}

class ConnectToServerTest : public RobustnessTest {};

TEST_F(ConnectToServerTest, LookupsAndPassesGoOnWhileAConnectRetries) {
    RawLink busy = ConnectToRawPeer(m_listener, "busy");
    ASSERT_NE(busy.socket, nullptr);
    const int refusingPort = LocalPort(BindLoopback(0, false).Fd());  // closed again: refuses
    ASSERT_GT(refusingPort, 0);
    ASSERT_TRUE(busy.peer.SendBytes(TextWire(1, "while connecting")));

    g_attempts = 0;
    g_released = false;
    kepwsa::SetConnectHookForTesting(HoldSecondAttempt);
    KEPMsgCommSocket* connected = nullptr;
    std::vector<ReceivedMessage> got;
    {
        BackgroundCall connector([&] {
            connected =
                Services().ConnectToServer(LoopbackAddress(0), LoopbackAddress(refusingPort), 1, 1);
        });
        EXPECT_TRUE(WaitUntil([] { return g_attempts.load() == 2; }));
        // The connect is inside its first retry: a look-up and a whole receive pass complete now.
        EXPECT_EQ(Services().GetSocket(busy.channel.GetSocketId()), busy.socket);
        got = ReceiveAtLeast(1);
        EXPECT_FALSE(connector.Done()) << "the look-up or the pass waited for the connect";
        g_released = true;
    }
    kepwsa::SetConnectHookForTesting(nullptr);

    EXPECT_EQ(connected, nullptr);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].channel, busy.channel);
    EXPECT_EQ(got[0].message->Sequence(), 1u);
}

}  // namespace
}  // namespace keptest
