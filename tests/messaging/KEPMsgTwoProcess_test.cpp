// Two processes exchange traffic end to end: a peer process (kep_msg_peer) serves on the first
// free port of a range and runs the message task; this process connects with retries and runs
// its passes by hand. Every message must arrive once, intact and in order, both ways.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/KEPBasTime.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/sockets/SocketTestSupport.h"
#include "tests/support/KEPTestMessaging.h"
#include "tests/support/KEPTestTraffic.h"

using namespace keptest;

namespace {

TEST(TwoProcessTest, FirstMessageIdOfAFreshProcessIsOne) {
    ChildProcess peer({KEP_MSG_PEER_PATH, "first-id"});
    ASSERT_TRUE(peer.Started());
    EXPECT_EQ(0, peer.Wait(30.0));
}

TEST(TwoProcessTest, TrafficBothWaysArrivesOnceIntactAndInOrder) {
    const std::uint32_t kCount = 5000;  // per direction
    const std::uint32_t kBatch = 50;
    MessagingSetup setup;
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();

    // Occupy the first port of the range so the peer has to move on to the next free one.
    RawListener occupied;
    ASSERT_TRUE(occupied.IsOpen());
    const int firstPort = occupied.Port();
    ChildProcess peer({KEP_MSG_PEER_PATH, "server", std::to_string(firstPort),
                       std::to_string(firstPort + 50), std::to_string(kCount),
                       std::to_string(kBatch)});
    ASSERT_TRUE(peer.Started());
    const int port = std::atoi(peer.WaitForLine("^[0-9]+$", 30.0).c_str());
    EXPECT_GT(port, firstPort);
    EXPECT_LE(port, firstPort + 50);

    KEPMsgCommSocket* socket = KEPMsgConnectionServicesUtils::Instance().ConnectToServer(
        LoopbackAddress(0), LoopbackAddress(port), 10, 10);
    ASSERT_NE(socket, nullptr);
    KEPMsgChannel channel(socket, KEPString("peer"));
    communicator.AddConnection(channel, true);

    TrafficChecker checker;
    TrafficSender sender;
    std::uint32_t sent = 0;
    omi_Timer timer;
    timer.Start();
    // Rounds: send a batch, then read until the peer's answer to it is complete.
    while (sent < kCount || !checker.ByeSeen()) {
        ASSERT_LT(timer.GetElapsedTime(), 120.0) << "stalled after " << checker.Received();
        if (sent < kCount && checker.Received() >= sent) {
            sender.AllWritten();
            const std::uint32_t end = std::min(sent + kBatch, kCount);
            sender.Send(channel, sent, end);
            communicator.TransmitPendingMessage();
            sent = end;
        }
        communicator.WaitConnectionsAndMessages(nullptr, 20);
        for (auto& message : TakeMessages()) {
            ASSERT_TRUE(checker.Accept(std::move(message))) << checker.Error();
        }
    }
    EXPECT_EQ(kCount, checker.Received());
    EXPECT_TRUE(sender.AllWritten());
    sender.SendControl(channel, kControlBye);

    EXPECT_EQ(0, peer.Wait(60.0));
    // The peer's shutdown closed the connection; the next passes see it and drop the channel.
    EXPECT_TRUE(PumpUntil([] { return RegisteredChannelCount() == 0; }));
    EXPECT_EQ(0, KEPMsgRetrieveMessageBuffer::Instance().Count());
}

}  // namespace
