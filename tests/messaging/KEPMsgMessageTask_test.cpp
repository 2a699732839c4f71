// Message task and wake-ups of the receive pass: the task starts, serves and stops again and
// outlives a throwing notification callback; an idle task never spins; queued sends end a waiting
// pass and go out in its cycle, wake-ups without a waiter are kept once, and channel registration
// ends a wait over nothing.
#include "MessagingTestSupport.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "base/KEPBasAtiThread.h"
#include "base/KEPBasTime.h"
#include "channels/KEPMsgWaitableLock.h"
#include "messaging/KEPMsgMessageTask.h"

using namespace keptest;

namespace {

// Far longer than any deadline below: a wait that ends before it was ended by a wake-up.
constexpr int kLongWaitMs = 10000;
constexpr double kWellWithinTheWait = 5.0;

class MessageTaskTest : public ::testing::Test {
  protected:
    // Consumes a wake-up left by earlier steps (registrations signal one).
    void ConsumeWakeup() { Comm().WaitConnectionsAndMessages(nullptr, 0); }
    // One task cycle on another thread with a long wait; returns once its pass has begun.
    std::unique_ptr<BackgroundCall> StartLongCycle() {
        const unsigned long passes = Comm().ReceivePassCount();
        std::unique_ptr<BackgroundCall> cycle(new BackgroundCall([] {
            Comm().WaitConnectionsAndMessages(nullptr, kLongWaitMs);
            Comm().TransmitPendingMessage();
        }));
        EXPECT_TRUE(WaitUntil([&] { return Comm().ReceivePassCount() > passes; }));
        return cycle;
    }
    // Starts a message task on a thread of its own; StopTask shuts it down and joins it.
    void StartTask() {
        m_task.reset(new KEPMsgMessageTask());
        Comm().PrepareStartupMessageTask();
        m_thread.reset(new KEPBasAtiThread(m_task.get()));
        ASSERT_TRUE(m_thread->Start());
    }
    void StopTask() {
        Comm().ShutdownMessageTask();
        m_thread->Join();
        m_thread.reset();
    }

    MessagingSetup m_setup;
    RawListener m_listener;
    std::unique_ptr<KEPMsgMessageTask> m_task;
    std::unique_ptr<KEPBasAtiThread> m_thread;
};

// Each round: the task's passes fill the retrieve buffer and its transmit passes empty the
// queue; the shutdown takes its grace time and closes every channel. Run without a prepared
// start returns at once.
TEST_F(MessageTaskTest, StartStopAndStartAgainWorkTheSameAndShutdownClosesEveryChannel) {
    KEPMsgMessageTask().Run(0);  // would loop forever if it ignored the flag
    EXPECT_FALSE(Comm().IsMessageTaskRunning());
    for (std::uint32_t round = 1; round <= 2; ++round) {
        RawLink link = ConnectToRawPeer(m_listener, "peer");
        StartTask();
        EXPECT_TRUE(Comm().IsMessageTaskRunning());
        TextMessage message(round, "in");
        ASSERT_TRUE(link.peer.SendMessage(message));
        KEPBasVector<KEPBasSocketMessage*> out;
        KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
        ASSERT_TRUE(Comm().RetrieveMessages(&query, out, kLongWaitMs)) << round;
        EXPECT_EQ(round, static_cast<SequencedMessage*>(out[0])->Sequence());
        delete out[0];
        unsigned int id = 0;
        Comm().ISendSocketMessage(link.channel, &message, id);
        ASSERT_NE(link.peer.ReceiveMessage(), nullptr) << round;
        EXPECT_TRUE(WaitUntil([&] { return !Comm().QueryPendingStatus(id); })) << round;
        omi_Timer timer;
        timer.Start();
        StopTask();
        EXPECT_GE(timer.GetElapsedTime(), 0.1) << round << ": no grace time";
        EXPECT_FALSE(Comm().IsMessageTaskRunning()) << round;
        EXPECT_EQ(0, RegisteredChannelCount()) << round;
        EXPECT_TRUE(link.peer.WaitPeerClosed()) << round;
    }
}

std::atomic<int> g_throwingCalls{0};

void CountAndThrow(const KEPString&) {
    ++g_throwingCalls;
    throw std::runtime_error("host fault");
}

// A notification callback that throws on the task's thread is caught and reported once, like a
// throwing connection-event callback; the task goes on storing and notifying.
TEST_F(MessageTaskTest, ThrowingNotificationCallbackIsReportedOnceAndTheTaskGoesOn) {
    Comm().RegisterMessageNotificationCallback(TextMessage::kType, &CountAndThrow);
    RawLink link = ConnectToRawPeer(m_listener, "peer");
    testing::internal::CaptureStderr();
    StartTask();
    KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
    for (int sequence = 1; sequence <= 2; ++sequence) {
        TextMessage message(sequence, "in");
        ASSERT_TRUE(link.peer.SendMessage(message));
        KEPBasVector<KEPBasSocketMessage*> out;
        ASSERT_TRUE(Comm().RetrieveMessages(&query, out, kLongWaitMs)) << sequence;
        delete out[0];
        EXPECT_TRUE(WaitUntil([&] { return g_throwingCalls.load() == sequence; })) << sequence;
    }
    EXPECT_TRUE(Comm().IsMessageTaskRunning());
    StopTask();
    const std::string console = testing::internal::GetCapturedStderr();
    const std::string report = "notification callback threw";
    EXPECT_NE(console.find(report), std::string::npos) << console;
    EXPECT_EQ(console.find(report, console.find(report) + 1), std::string::npos) << console;
}

// A task loop that spins runs hundreds of thousands of passes a second; one that waits its
// 20 ms runs about fifty. Counted once the only peer has gone, so nothing is open and a closed
// connection has just been removed.
TEST_F(MessageTaskTest, IdleTaskRunsABoundedNumberOfPassesPerSecond) {
    RawLink link = ConnectToRawPeer(m_listener, "peer");
    StartTask();
    link.peer.Close();
    EXPECT_TRUE(WaitUntil([] { return RegisteredChannelCount() == 0; }));
    const unsigned long before = Comm().ReceivePassCount();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the window passes are counted in
    const unsigned long passes = Comm().ReceivePassCount() - before;
    StopTask();
    EXPECT_LT(passes, 200u);
}

// Every form of queued send (channel, label, query) queues through one call that wakes the pass;
// so does registering a channel, for a pass waiting over nothing. Then three queued sends before
// any pass waits: the next pass still ends at once, takes the wake-ups with it (they do not pile
// up) and writes each record once, in queue order.
TEST_F(MessageTaskTest, QueuedSendEndsAWaitingPassAndWakeupsBeforeAPassAreKeptOnce) {
    ConsumeWakeup();
    std::unique_ptr<BackgroundCall> cycle = StartLongCycle();
    RawLink link = ConnectToRawPeer(m_listener, "peer");
    ASSERT_NE(link.socket, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return cycle->Done(); }, kWellWithinTheWait))
        << "registration did not end a pass waiting over nothing";
    ConsumeWakeup();
    TextMessage message(1, "queued");  // outlives the cycle
    cycle = StartLongCycle();
    unsigned int id = 0;
    Comm().ISendSocketMessage(link.channel, &message, id);
    std::unique_ptr<SequencedMessage> received = link.peer.ReceiveMessage(kWellWithinTheWait);
    ASSERT_NE(received, nullptr) << "not written while the pass waited";
    EXPECT_EQ(1u, received->Sequence());
    EXPECT_TRUE(WaitUntil([&] { return cycle->Done(); }, kWellWithinTheWait));
    // The wake-up is no channel, and neither raises the interrupt flag nor the waitable's.
    EXPECT_EQ(1, RegisteredChannelCount());
    EXPECT_FALSE(Comm().IsMessagingInterrupted());
    EXPECT_FALSE(KEPMsgChannelOrganizer::Instance().GetCurrentWaitable().IsListenInterupted());

    ConsumeWakeup();
    TextMessage queued[] = {{2, "q"}, {3, "q"}, {4, "q"}}, marker(5, "marker");
    for (TextMessage& text : queued) {
        Comm().ISendSocketMessage(link.channel, &text, id);
    }
    cycle = StartLongCycle();
    EXPECT_TRUE(WaitUntil([&] { return cycle->Done(); }, kWellWithinTheWait))
        << "the wake-ups given before the pass were lost";
    EXPECT_FALSE(WaitReadable(KEPMsgWaitableLock::Instance().ReceiveWakeup().Handle(), 0))
        << "one pass left wake-ups behind: they piled up";
    EXPECT_FALSE(Comm().QueryPendingStatus(id)) << "the cycle did not write the queue";
    Comm().SendSocketMessage(link.channel, &marker);  // nothing may come before it but the three
    ExpectTexts(link.peer, {2, 3, 4, 5});
}

}  // namespace
