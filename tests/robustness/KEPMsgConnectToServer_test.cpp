// A connect that retries against a refusing port must not hold up the rest of the process: the
// connection services are locked only to enter a socket that did connect.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/KEPWinsock.h"
#include "tests/robustness/RobustnessSupport.h"
#include "tests/sockets/SocketTestSupport.h"

namespace keptest {
namespace {

// Holds the second connect attempt (the first retry) until the test lets it go, or a deadline
// passes, so the test can act while a connect is certainly under way.
struct AttemptGate {
    std::mutex mutex;
    std::condition_variable changed;
    int attempts = 0;
    bool holding = false;
    bool released = false;
};
AttemptGate* g_gate = nullptr;

void HoldSecondAttempt(kepwsa::SOCKET) {
    std::unique_lock<std::mutex> lock(g_gate->mutex);
    if (++g_gate->attempts != 2) {
        return;
    }
    g_gate->holding = true;
    g_gate->changed.notify_all();
    g_gate->changed.wait_for(lock, std::chrono::seconds(5), [] { return g_gate->released; });
}

class ConnectToServerTest : public RobustnessTest {};

TEST_F(ConnectToServerTest, LookupsAndPassesGoOnWhileAConnectRetries) {
    RawLink busy = ConnectToRawPeer(m_listener, "busy");
    ASSERT_NE(busy.socket, nullptr);
    const int refusingPort = LocalPort(BindLoopback(0, false).Fd());  // closed again: refuses
    ASSERT_GT(refusingPort, 0);
    ASSERT_TRUE(busy.peer.SendBytes(TextWire(1, "while connecting")));

    AttemptGate gate;
    g_gate = &gate;
    kepwsa::SetConnectHookForTesting(HoldSecondAttempt);
    std::atomic<bool> connectReturned{false};
    KEPMsgCommSocket* connected = nullptr;
    std::thread connector([&] {
        connected =
            Services().ConnectToServer(LoopbackAddress(0), LoopbackAddress(refusingPort), 1, 1);
        connectReturned = true;
    });
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        EXPECT_TRUE(
            gate.changed.wait_for(lock, std::chrono::seconds(10), [&] { return gate.holding; }));
    }

    // The connect is inside its first retry: a look-up and a whole receive pass complete now.
    EXPECT_EQ(Services().GetSocket(busy.channel.GetSocketId()), busy.socket);
    std::vector<ReceivedMessage> got = ReceiveAtLeast(1);
    EXPECT_FALSE(connectReturned) << "the look-up or the pass waited for the connect";
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.released = true;
        gate.changed.notify_all();
    }
    connector.join();
    kepwsa::SetConnectHookForTesting(nullptr);
    g_gate = nullptr;

    EXPECT_EQ(connected, nullptr);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].channel, busy.channel);
    EXPECT_EQ(got[0].message->Sequence(), 1u);
}

}  // namespace
}  // namespace keptest
