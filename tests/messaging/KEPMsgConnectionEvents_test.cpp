// Connection events and figures: each close gives its reason, every event arrives once, none
// after the callback is removed, a throwing callback does not stop delivery, and the statistics
// count exactly. (The accepted event is checked with the accepting pass, in the communicator
// tests.)
#include "MessagingTestSupport.h"

#include <chrono>

#include "messaging/KEPMsgReconnectingClients.h"
#include "tests/sockets/SocketTestSupport.h"

namespace keptest {
namespace {

struct ClosingWay {
    const char* name;
    KEPMsgCloseReason reason;
    int errorCode;
    std::function<void(RawLink&)> close;
};

// Closes a fresh connection labelled "link" the given way and checks the one closed event.
void ExpectClosedEvent(const ClosingWay& way) {
    MessagingSetup setup;
    EventRecorder recorder;
    RawListener listener;
    RawLink link = ConnectToRawPeer(listener, "link");
    const int id = link.channel.GetSocketId();
    ASSERT_TRUE(recorder.PumpFor(KEPMsgConnectionEvent::kConnected, id)) << way.name;

    way.close(link);
    const auto closed = recorder.PumpFor(KEPMsgConnectionEvent::kClosed, id);
    ASSERT_TRUE(closed) << way.name;
    EXPECT_EQ(closed->m_reason, way.reason) << way.name;
    EXPECT_EQ(closed->m_errorCode, way.errorCode) << way.name;
    EXPECT_STREQ(closed->m_label.GetUTF8(), "link") << way.name;
    ASSERT_TRUE(PumpUntil([] { return RegisteredChannelCount() == 0; })) << way.name;
    EXPECT_EQ(recorder.Events().size(), 2u) << way.name << ": each event once";
}

TEST(KEPMsgConnectionEventsTest, EachWayOfClosingGivesItsReason) {
    KEPMsgChannelQueryByLabel byLabel(KEPString("link"));
    const ClosingWay ways[] = {
        {"peer closes", kCloseReasonPeerClosed, 0, [](RawLink& l) { l.peer.Close(); }},
        {"header count too large", kCloseReasonProtocolViolation, 0,
         [](RawLink& l) {
             l.peer.SendBytes(Bytes({0xFF, 0xFF, 0xFF, 0x7F}));
         }},
        {"host removes it", kCloseReasonRemovedByHost, 0,
         [&](RawLink&) { Comm().RemoveConnection(&byLabel, true); }},
        {"task shuts down", kCloseReasonTaskShutdown, 0,
         [](RawLink&) { Comm().ShutdownMessageTask(); }},
    };
    for (const ClosingWay& way : ways) {
        ExpectClosedEvent(way);
    }
}

TEST(KEPMsgConnectionEventsTest, PeerResetGivesResetAndItsCode) {
    ExpectClosedEvent(
        {"peer resets", kCloseReasonReset, 10054, [](RawLink& l) { l.peer.CloseWithReset(); }});
}

void CountAndThrow(const KEPMsgConnectionEvent&, void* context) {
    ++*static_cast<int*>(context);
    throw std::runtime_error("host fault");
}

// A throwing callback is reported once and delivery goes on. The connected event is queued, not
// yet delivered, when the callback goes: neither it nor the closed event may arrive.
TEST(KEPMsgConnectionEventsTest, ThrowingCallbackIsReportedOnceAndNoEventArrivesAfterRemoval) {
    for (const bool detach : {false, true}) {
        MessagingSetup setup;
        EventRecorder recorder;
        int calls = 0;
        RawListener listener;
        testing::internal::CaptureStderr();
        RawLink link = ConnectToRawPeer(listener, "link");
        Comm().SetConnectionEventCallback(detach ? nullptr : CountAndThrow, &calls);
        link.peer.Close();
        const bool closed =
            PumpUntil([&] { return RegisteredChannelCount() == 0 && calls == (detach ? 0 : 2); });
        const std::string console = testing::internal::GetCapturedStderr();
        Comm().SetConnectionEventCallback(nullptr, nullptr);
        EXPECT_TRUE(closed) << detach;
        EXPECT_TRUE(recorder.Events().empty()) << "delivered after removal";
        const std::string report = "connection event callback threw";
        EXPECT_EQ(console.find(report) == std::string::npos, detach) << console;
        EXPECT_EQ(console.find(report, console.find(report) + 1), std::string::npos) << console;
    }
}

void SkipPause(int, void*) {}

// A server that accepts and closes at once, and a client that redials without pausing: each
// connection's events come connected first, then closed, whichever thread sees the close first.
TEST(KEPMsgConnectionEventsTest, EventsOfAConnectionThatClosesAtOnceArriveInOrder) {
    MessagingSetup setup;
    EventRecorder recorder;
    RawListener flapping;
    KEPMsgReconnectingClients::SetPauseHookForTesting(&SkipPause, nullptr);
    ASSERT_TRUE(Comm().StartReconnectingClient("flap", LoopbackAddress(flapping.Port()),
                                               KEPMsgReconnectSettings{5, 20, 0}));
    const bool enough = PumpUntil([&] {
        while (WaitReadable(flapping.Fd(), 0)) {
            flapping.Accept().Close();
        }
        return recorder.Count(KEPMsgConnectionEvent::kClosed) >= 200;
    });
    EXPECT_TRUE(Comm().StopReconnectingClient("flap"));
    KEPMsgReconnectingClients::SetPauseHookForTesting(nullptr, nullptr);
    ASSERT_TRUE(enough);
    std::map<int, KEPMsgConnectionEvent::Kind> last;  // socket id -> its last event
    for (std::size_t i = 0; i < recorder.Events().size(); ++i) {
        const KEPMsgConnectionEvent& event = recorder.Events()[i];
        if (event.m_kind == KEPMsgConnectionEvent::kReconnectAttempt) {
            continue;
        }
        const auto before = last.find(event.m_socketId);
        const bool opening =
            before == last.end() || before->second == KEPMsgConnectionEvent::kClosed;
        ASSERT_EQ(event.m_kind,
                  opening ? KEPMsgConnectionEvent::kConnected : KEPMsgConnectionEvent::kClosed)
            << "event " << i << " of socket " << event.m_socketId;
        last[event.m_socketId] = event.m_kind;
    }
}

TEST(KEPMsgConnectionStatisticsTest, CountsAreExactForAKnownRunEachWay) {
    MessagingSetup setup;
    const std::int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    RawListener listener;
    RawLink link = ConnectToRawPeer(listener, "counted");
    const std::string texts[] = {"a", "bb bb", std::string(3000, 'c')};
    std::uint64_t wireBytes = 0;  // each way
    for (std::uint32_t i = 0; i < 3; ++i) {
        TextMessage message(i, texts[i]);
        wireBytes += WireBytes(message).size();
        Comm().SendSocketMessage(link.channel, &message);
        ASSERT_TRUE(link.peer.SendMessage(message) && link.peer.ReceiveMessage() != nullptr);
    }
    ASSERT_EQ(ReceiveAtLeast(3).size(), 3u);
    TextMessage queued(9, "still queued");
    unsigned int id = 0;
    Comm().ISendSocketMessage(link.channel, &queued, id);

    KEPBasVector<KEPMsgConnectionStatistics> all;
    Comm().RetrieveConnectionStatistics(nullptr, all);
    ASSERT_EQ(all.size(), 1);
    const KEPMsgConnectionStatistics& figures = all[0];
    EXPECT_EQ(figures.m_socketId, link.channel.GetSocketId());
    EXPECT_STREQ(figures.m_label.GetUTF8(), "counted");
    EXPECT_STREQ(figures.m_peerHost.GetUTF8(), "127.0.0.1");
    EXPECT_EQ(figures.m_peerPort, listener.Port());
    EXPECT_EQ(figures.m_messagesIn, 3u);
    EXPECT_EQ(figures.m_messagesOut, 3u);
    EXPECT_EQ(figures.m_bytesIn, wireBytes);
    EXPECT_EQ(figures.m_bytesOut, wireBytes);
    EXPECT_EQ(figures.m_recordsQueued, 1);
    EXPECT_EQ(figures.m_lastError, 0);
    EXPECT_GE(figures.m_connectedSinceMs, before);
}

}  // namespace
}  // namespace keptest
