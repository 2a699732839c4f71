// Message task: start/stop protocol, shutdown duration and effects, restart.
#include <gtest/gtest.h>

#include <memory>

#include "base/KEPBasAtiThread.h"
#include "base/KEPBasTime.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgMessageTask.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

using namespace keptest;

namespace {

class MessageTaskTest : public ::testing::Test {
  protected:
    void SetUp() override { m_setup.reset(new MessagingSetup()); }
    void TearDown() override { m_setup.reset(); }
    KEPMsgSocketCommunicator& Comm() { return KEPMsgSocketCommunicator::Instance(); }

    // One start-exchange-stop round through a running task.
    void RunOneTaskRound(std::uint32_t sequence) {
        RawListener listener;
        RawLink link = ConnectToRawPeer(listener, "peer");
        ASSERT_NE(link.socket, nullptr);
        KEPMsgMessageTask task;
        Comm().PrepareStartupMessageTask();
        EXPECT_TRUE(Comm().IsMessageTaskRunning());
        KEPBasAtiThread thread(&task);
        ASSERT_TRUE(thread.Start());

        TextMessage incoming(sequence, "in");
        ASSERT_TRUE(link.peer.SendMessage(incoming));
        KEPBasVector<KEPBasSocketMessage*> out;
        KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
        Comm().RetrieveMessages(&query, out);  // the task's passes fill the buffer
        ASSERT_EQ(1, out.size());
        EXPECT_EQ(sequence, static_cast<SequencedMessage*>(out[0])->Sequence());
        delete out[0];

        TextMessage outgoing(sequence + 1, "out");
        unsigned int id = 0;
        Comm().ISendSocketMessage(link.channel, &outgoing, id);
        std::unique_ptr<SequencedMessage> echoed = link.peer.ReceiveMessage();
        ASSERT_NE(echoed, nullptr);
        EXPECT_EQ(sequence + 1, echoed->Sequence());
        EXPECT_TRUE(WaitUntil([&] { return !Comm().QueryPendingStatus(id); }));

        omi_Timer timer;
        timer.Start();
        Comm().ShutdownMessageTask();
        const double elapsed = timer.GetElapsedTime();
        EXPECT_GE(elapsed, 0.1);
        thread.Join();
        EXPECT_FALSE(Comm().IsMessageTaskRunning());
        EXPECT_TRUE(Comm().IsOkToShutDownMessageTask());
        EXPECT_EQ(0, RegisteredChannelCount());
        EXPECT_TRUE(link.peer.WaitPeerClosed());
    }

    std::unique_ptr<MessagingSetup> m_setup;
};

TEST_F(MessageTaskTest, RunWithoutPrepareReturnsAtOnce) {
    EXPECT_TRUE(Comm().IsOkToShutDownMessageTask());
    KEPMsgMessageTask task;
    task.Run(0);  // would loop forever if it ignored the flag
    EXPECT_FALSE(Comm().IsMessageTaskRunning());
}

TEST_F(MessageTaskTest, StartStopAndStartAgainWorkTheSame) {
    RunOneTaskRound(10);
    RunOneTaskRound(20);
}

TEST_F(MessageTaskTest, ShutdownWithoutTaskTakesTheGraceTimeAndClosesEveryChannel) {
    RawListener listener;
    RawLink a = ConnectToRawPeer(listener, "a");
    int port = 0;
    ASSERT_NE(StartRegisteredServer(port), nullptr);
    EXPECT_EQ(2, RegisteredChannelCount());
    omi_Timer timer;
    timer.Start();
    Comm().ShutdownMessageTask();
    EXPECT_GE(timer.GetElapsedTime(), 0.1);
    EXPECT_EQ(0, RegisteredChannelCount());
    EXPECT_TRUE(a.peer.WaitPeerClosed());
}

}  // namespace
