// Wake-ups of the receive pass: queued sends end a waiting pass and go out in its cycle, wake-ups
// without a waiter are kept once, channel registration ends a wait over nothing, and an idle
// task never spins.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "base/KEPBasAtiThread.h"
#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "channels/KEPMsgWaitableLock.h"
#include "messaging/KEPMsgMessageTask.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

using namespace keptest;

namespace {

// Far longer than any deadline below: a wait that ends before it was ended by a wake-up.
constexpr int kLongWaitMs = 10000;
constexpr double kWellWithinTheWait = 5.0;

class ReceiveWakeupTest : public ::testing::Test {
  protected:
    void SetUp() override { m_setup.reset(new MessagingSetup()); }
    void TearDown() override { m_setup.reset(); }

    KEPMsgSocketCommunicator& Comm() { return KEPMsgSocketCommunicator::Instance(); }
    // Consumes a wake-up left by earlier steps (registrations signal one).
    void ConsumeWakeup() { Comm().WaitConnectionsAndMessages(nullptr, 0); }
    bool WakeupPending() {
        return WaitReadable(KEPMsgWaitableLock::Instance().ReceiveWakeup().Handle(), 0);
    }
    // One task cycle on another thread with a long wait; returns once its pass has begun.
    std::unique_ptr<BackgroundCall> StartLongCycle() {
        const unsigned long passes = Comm().ReceivePassCount();
        std::unique_ptr<BackgroundCall> cycle(new BackgroundCall([this] {
            Comm().WaitConnectionsAndMessages(nullptr, kLongWaitMs);
            Comm().TransmitPendingMessage();
        }));
        EXPECT_TRUE(WaitUntil([&] { return Comm().ReceivePassCount() > passes; }));
        return cycle;
    }

    std::unique_ptr<MessagingSetup> m_setup;
    RawListener m_listener;
};

TEST_F(ReceiveWakeupTest, QueuedSendOfEveryFormEndsAWaitingPassAndGoesOutInItsCycle) {
    RawLink link = ConnectToRawPeer(m_listener, "peer");
    ASSERT_NE(link.socket, nullptr);
    struct Form {
        const char* name;
        std::function<void(KEPBasSocketMessage*)> queue;
    };
    const std::vector<Form> forms = {
        {"channel",
         [&](KEPBasSocketMessage* m) {
             unsigned int id = 0;
             Comm().ISendSocketMessage(link.channel, m, id);
         }},
        {"query",
         [&](KEPBasSocketMessage* m) {
             KEPMsgChannelQueryByLabel query{KEPString("peer")};
             KEPBasVector<unsigned int> ids;
             Comm().ISendSocketMessage(&query, m, ids);
         }},
        {"label",
         [&](KEPBasSocketMessage* m) {
             unsigned int id = 0;
             Comm().ISendSocketMessage("peer", m, id);
         }},
    };
    std::uint32_t sequence = 0;
    for (const Form& form : forms) {
        ConsumeWakeup();
        TextMessage message(++sequence, form.name);  // outlives the cycle
        std::unique_ptr<BackgroundCall> cycle = StartLongCycle();
        form.queue(&message);
        std::unique_ptr<SequencedMessage> received = link.peer.ReceiveMessage(kWellWithinTheWait);
        ASSERT_NE(received, nullptr) << form.name << ": not written while the pass waited";
        EXPECT_EQ(sequence, received->Sequence()) << form.name;
        EXPECT_TRUE(WaitUntil([&] { return cycle->Done(); }, kWellWithinTheWait)) << form.name;
        // The wake-up is no channel, and neither raises the interrupt flag nor the waitable's.
        EXPECT_EQ(1, RegisteredChannelCount()) << form.name;
        EXPECT_FALSE(Comm().IsMessagingInterrupted()) << form.name;
        EXPECT_FALSE(KEPMsgChannelOrganizer::Instance().GetCurrentWaitable().IsListenInterupted())
            << form.name;
    }
}

TEST_F(ReceiveWakeupTest, WakeupsWithoutAWaitingPassAreKeptOnceAndLoseNoRecord) {
    RawLink link = ConnectToRawPeer(m_listener, "peer");
    ASSERT_NE(link.socket, nullptr);
    ConsumeWakeup();
    std::vector<std::unique_ptr<TextMessage>> queued;
    KEPBasVector<unsigned int> ids;
    for (std::uint32_t sequence = 1; sequence <= 100; ++sequence) {
        queued.emplace_back(new TextMessage(sequence, "q"));
        unsigned int id = 0;
        Comm().ISendSocketMessage(link.channel, queued.back().get(), id);
        ids.push_back(id);
    }

    {
        std::unique_ptr<BackgroundCall> cycle = StartLongCycle();
        EXPECT_TRUE(WaitUntil([&] { return cycle->Done(); }, kWellWithinTheWait))
            << "the wake-ups given before the pass were lost";
    }
    EXPECT_FALSE(WakeupPending()) << "one pass left wake-ups behind: they piled up";
    KEPBasVector<unsigned int> pending;
    Comm().QueryPendingStatus(ids, pending);
    EXPECT_EQ(0, pending.size());

    // Each record exactly once, in queue order, and nothing after them but the next message.
    TextMessage marker(101, "marker");
    Comm().SendSocketMessage(link.channel, &marker);
    for (std::uint32_t sequence = 1; sequence <= 101; ++sequence) {
        std::unique_ptr<SequencedMessage> received = link.peer.ReceiveMessage();
        ASSERT_NE(received, nullptr) << "record " << sequence;
        ASSERT_EQ(sequence, received->Sequence());
    }
}

TEST_F(ReceiveWakeupTest, RegisteringAChannelEndsAPassWaitingOverNothing) {
    ConsumeWakeup();
    std::unique_ptr<BackgroundCall> pass = StartLongCycle();
    RawLink link = ConnectToRawPeer(m_listener, "late");
    ASSERT_NE(link.socket, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return pass->Done(); }, kWellWithinTheWait));
}

// A task loop that spins runs hundreds of thousands of passes a second; one that waits its
// 20 ms runs about fifty.
TEST_F(ReceiveWakeupTest, IdleTaskRunsABoundedNumberOfPassesPerSecond) {
    struct Case {
        const char* name;
        bool peerLeaves;
    };
    for (const Case& c : {Case{"nothing open", false}, Case{"only peer gone", true}}) {
        RawLink link;
        if (c.peerLeaves) {
            link = ConnectToRawPeer(m_listener, "peer");
            ASSERT_NE(link.socket, nullptr);
        }
        KEPMsgMessageTask task;
        Comm().PrepareStartupMessageTask();
        KEPBasAtiThread thread(&task);
        ASSERT_TRUE(thread.Start());
        if (c.peerLeaves) {
            link.peer.Close();
            EXPECT_TRUE(WaitUntil([] { return RegisteredChannelCount() == 0; })) << c.name;
        }
        const unsigned long before = Comm().ReceivePassCount();
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the window passes are counted in
        const unsigned long passes = Comm().ReceivePassCount() - before;
        Comm().ShutdownMessageTask();
        thread.Join();
        EXPECT_LT(passes, 200u) << c.name;
    }
}

}  // namespace
