// Reconnecting clients: a client rides out a server restart on the same port, its pauses grow
// and stop at the maximum, a stop ends its attempts, and nonsensical settings are refused.
#include "MessagingTestSupport.h"

#include <limits>

#include "messaging/KEPMsgReconnectingClients.h"
#include "tests/sockets/SocketTestSupport.h"

namespace keptest {
namespace {

// A loopback address on which nothing listens: bound, then closed.
KEPMsgSocketAddress Refusing() {
    return LoopbackAddress(LocalPort(BindLoopback(0, false).Fd()));
}

// Minimum and maximum pause (ms), jitter, and the connect time-out (ms).
using Settings = KEPMsgReconnectSettings;

// The pauses the dialer asked for instead of sleeping through them.
std::mutex g_pauseMutex;
std::vector<int> g_pauses;

void RecordPause(int delayMs, void*) {
    std::lock_guard<std::mutex> lock(g_pauseMutex);
    g_pauses.push_back(delayMs);
}

void SkipPause(int, void*) {}

class KEPMsgReconnectingClientsTest : public ::testing::Test {
  protected:
    MessagingSetup m_setup;
    EventRecorder m_recorder;  // after the setup, so it detaches first
    RawListener m_listener;
};

TEST_F(KEPMsgReconnectingClientsTest, SendByLabelReachesTheServerThatCameBackOnTheSamePort) {
    auto first = std::make_unique<RawListener>();
    const int port = first->Port();
    ASSERT_TRUE(Comm().StartReconnectingClient("up", LoopbackAddress(port), Settings{5, 20, 0}));
    RawSocket lost = first->Accept();
    ASSERT_TRUE(lost.IsOpen());
    const auto connected = m_recorder.PumpFor(KEPMsgConnectionEvent::kConnected);
    ASSERT_TRUE(connected);
    EXPECT_STREQ(connected->m_label.GetUTF8(), "up");
    // The server goes away with a reset, which leaves no TIME_WAIT to keep the port taken.
    first.reset();
    lost.CloseWithReset();

    const auto attempt = m_recorder.PumpFor(KEPMsgConnectionEvent::kReconnectAttempt);
    ASSERT_TRUE(attempt);
    EXPECT_EQ(attempt->m_errorCode, 10061);  // refused while nothing listens
    EXPECT_EQ(attempt->m_attempt, 1);        // the first dial since the loss

    RawSocket server = BindLoopback(port, true);
    ASSERT_TRUE(server.IsOpen());
    ASSERT_TRUE(
        PumpUntil([&] { return m_recorder.Count(KEPMsgConnectionEvent::kConnected) == 2; }));
    RawSocket peer(::accept(server.Fd(), nullptr, nullptr));
    ASSERT_TRUE(peer.IsOpen());
    TextMessage message(7, "after the restart");
    Comm().SendSocketMessage("up", &message);
    ExpectTexts(peer, {7});
    EXPECT_TRUE(Comm().StopReconnectingClient("up"));
}

TEST(KEPMsgReconnectPausesTest, PausesGrowAndStopAtTheMaximum) {
    struct Row {
        const char* name;
        double jitter;
        bool flapping;  // the server accepts each connection and closes it at once
    };
    const std::vector<int> ceilings = {100, 200, 400, 400, 400, 400};
    const Row rows[] = {
        {"refused, half jitter", 0.5, false},
        {"flapping server", 0.0, true},
    };
    for (const Row& row : rows) {
        MessagingSetup setup;
        RawListener flapping;
        g_pauses.clear();
        KEPMsgReconnectingClients::SetPauseHookForTesting(&RecordPause, nullptr);
        ASSERT_TRUE(Comm().StartReconnectingClient(
            "down", row.flapping ? LoopbackAddress(flapping.Port()) : Refusing(),
            Settings{100, 400, row.jitter}))
            << row.name;
        const bool enough = PumpUntil([&] {
            while (WaitReadable(flapping.Fd(), 0)) {
                flapping.Accept().Close();
            }
            std::lock_guard<std::mutex> lock(g_pauseMutex);
            return g_pauses.size() >= ceilings.size();
        });
        EXPECT_TRUE(Comm().StopReconnectingClient("down")) << row.name;
        KEPMsgReconnectingClients::SetPauseHookForTesting(nullptr, nullptr);
        ASSERT_TRUE(enough) << row.name;
        for (std::size_t i = 0; i < ceilings.size(); ++i) {
            EXPECT_LE(g_pauses[i], ceilings[i]) << row.name << " pause " << i;
            EXPECT_GE(g_pauses[i], static_cast<int>(ceilings[i] * (1.0 - row.jitter)))
                << row.name << " pause " << i;
        }
    }
}

// The first pause would last an hour: the stop must end it, not wait for it. A label has one
// client at a time and is free again after the stop. Nonsensical settings are refused.
TEST_F(KEPMsgReconnectingClientsTest, StopCutsAPauseShortAndFreesTheLabel) {
    const KEPMsgReconnectSettings hourly = Settings{3600000, 3600000, 0};
    ASSERT_TRUE(Comm().StartReconnectingClient("down", Refusing(), hourly));
    ASSERT_TRUE(m_recorder.PumpFor(KEPMsgConnectionEvent::kReconnectAttempt));
    EXPECT_FALSE(Comm().StartReconnectingClient("down", Refusing(), Settings{10, 100, 0}));
    EXPECT_TRUE(Comm().StopReconnectingClient("down"));
    EXPECT_FALSE(Comm().StopReconnectingClient("down"));
    EXPECT_TRUE(Comm().StartReconnectingClient("down", Refusing(), hourly));

    // Nonsensical settings are refused (while the task still runs).
    struct Row {
        const char* name;
        const char* label;
        KEPMsgReconnectSettings settings;
    };
    const Row rows[] = {
        {"null label", nullptr, Settings{10, 100, 0.2}},
        {"empty label", "", Settings{10, 100, 0.2}},
        {"negative minimum", "x", Settings{-1, 100, 0.2}},
        {"zero minimum", "x", Settings{0, 100, 0.2}},
        {"maximum below minimum", "x", Settings{100, 10, 0.2}},
        {"negative jitter", "x", Settings{10, 100, -0.1}},
        {"jitter of one", "x", Settings{10, 100, 1.0}},
        {"jitter not a number", "x", Settings{10, 100, std::numeric_limits<double>::quiet_NaN()}},
        {"no connect time-out", "x", Settings{10, 100, 0.2, 0}},
    };
    for (const Row& row : rows) {
        EXPECT_FALSE(Comm().StartReconnectingClient(row.label, Refusing(), row.settings))
            << row.name;
    }
    Comm().ShutdownMessageTask();
    EXPECT_FALSE(Comm().StopReconnectingClient("down"));
}

// A full accept queue leaves the client's connect unanswered: a stop must end that dial, not
// wait out its time-out.
TEST_F(KEPMsgReconnectingClientsTest, StopCutsAnUnansweredDialShort) {
    RawSocket listener = BindLoopback(0, false);
    ASSERT_EQ(::listen(listener.Fd(), 0), 0);
    RawSocket queued = RawConnect(LocalPort(listener.Fd()));
    static std::atomic<int> dials{0};
    dials = 0;
    kepwsa::SetConnectHookForTesting([](kepwsa::SOCKET) { ++dials; });
    ASSERT_TRUE(Comm().StartReconnectingClient("silent", LoopbackAddress(LocalPort(listener.Fd())),
                                               Settings{10, 100, 0, 15000}));
    EXPECT_TRUE(WaitUntil([] { return dials.load() > 0; }));
    {
        BackgroundCall stop([] { EXPECT_TRUE(Comm().StopReconnectingClient("silent")); });
        EXPECT_TRUE(WaitUntil([&] { return stop.Done(); })) << "the stop waited for the dial";
    }
    kepwsa::SetConnectHookForTesting(nullptr);
}

// The host shuts the client's channel down; the client redials at once, and its new connection
// usually gets the old descriptor number. A send by label must find one channel all the same.
TEST_F(KEPMsgReconnectingClientsTest, LabelSendAfterTheHostShutsTheChannelDownReachesThePeerOnce) {
    KEPMsgReconnectingClients::SetPauseHookForTesting(&SkipPause, nullptr);
    ASSERT_TRUE(Comm().StartReconnectingClient("up", LoopbackAddress(m_listener.Port()),
                                               Settings{5, 20, 0}));
    KEPMsgChannelQueryByLabel byLabel(KEPString("up"));
    for (std::uint32_t round = 1; round <= 20; ++round) {
        RawSocket peer = m_listener.Accept();
        ASSERT_TRUE(PumpUntil([&] {
            return m_recorder.Count(KEPMsgConnectionEvent::kConnected) == static_cast<int>(round);
        })) << round;
        KEPBasVector<KEPMsgChannel> found;
        Comm().RetrieveConnections(&byLabel, found);
        ASSERT_EQ(found.size(), 1) << round;
        TextMessage message(round, "once"), marker(1000 + round, "marker");
        unsigned int id = 0;
        Comm().ISendSocketMessage("up", &message, id);
        EXPECT_NE(id, 0u) << round;
        Comm().SendSocketMessage("up", &marker);
        ExpectTexts(peer, {round, 1000 + round});
        found[0].Shutdown();
    }
    EXPECT_TRUE(Comm().StopReconnectingClient("up"));
    KEPMsgReconnectingClients::SetPauseHookForTesting(nullptr, nullptr);
}

// The host unregisters the client's channel without closing it, which takes the connection over:
// the client stops (the label is free), says so in a released event, and never closes it.
TEST_F(KEPMsgReconnectingClientsTest, HostThatUnregistersTheChannelTakesTheConnectionOver) {
    ASSERT_TRUE(Comm().StartReconnectingClient("up", LoopbackAddress(m_listener.Port()),
                                               Settings{5, 20, 0}));
    RawSocket peer = m_listener.Accept();
    const auto connected = m_recorder.PumpFor(KEPMsgConnectionEvent::kConnected);
    ASSERT_TRUE(connected);
    KEPMsgChannelQueryByLabel byLabel(KEPString("up"));
    Comm().RemoveConnection(&byLabel, false);
    const auto released = m_recorder.PumpFor(KEPMsgConnectionEvent::kReleased);
    ASSERT_TRUE(released);
    EXPECT_EQ(released->m_socketId, connected->m_socketId);
    EXPECT_STREQ(released->m_label.GetUTF8(), "up");
    EXPECT_FALSE(Comm().StopReconnectingClient("up")) << "the client still runs";
    EXPECT_EQ(RegisteredChannelCount(), 0);

    KEPMsgChannel channel(
        KEPMsgConnectionServicesUtils::Instance().GetSocket(connected->m_socketId),
        KEPString("up"));
    TextMessage message(1, "taken over");
    Comm().SendSocketMessage(channel, &message);
    ExpectTexts(peer, {1});
    channel.Shutdown();
    EXPECT_TRUE(peer.WaitPeerClosed());
    EXPECT_EQ(m_recorder.Count(KEPMsgConnectionEvent::kConnected), 1) << "the client redialed";
}

}  // namespace
}  // namespace keptest
