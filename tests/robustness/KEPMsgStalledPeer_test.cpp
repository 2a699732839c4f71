// Peers that stall: a receive or send that runs into the socket I/O time-out gives up, the
// connection is treated as lost and removed, and every other connection goes on being served.
// A blocked header send or receive must not hold the connection-services mutex.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "connection/KEPMsgSocketLease.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgSocket.h"
#include "tests/robustness/RobustnessSupport.h"

namespace keptest {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// An input stream that notes, at the moment a body read fails, the code recorded on the
// connection and what GetErrorsOnChannel tells the host then.
class ObservingInputStream : public KEPMsgSimpleInputStream {
  public:
    bool read(void* buffer, int length, int& got) override {
        const bool ok = KEPMsgSimpleInputStream::read(buffer, length, got);
        if (!ok && m_failures++ == 0) {
            KEPMsgConnectionServicesUtils::Instance().GetLastErrorCode(GetSocketId(),
                                                                       m_codeAtFailure);
            KEPString text;
            KEPMsgSocketCommunicator::Instance().GetErrorsOnChannel(m_watched, m_hostCodeAtFailure,
                                                                    text);
        }
        return ok;
    }
    KEPMsgChannel m_watched;
    int m_failures = 0;
    int m_codeAtFailure = -1;
    int m_hostCodeAtFailure = -1;
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

class StalledPeerTest : public RobustnessTest {};

TEST_F(StalledPeerTest, StallInsideHeaderTimesOutAndRemovesOnlyThatConnection) {
    RawListener listener;
    RawLink stalled = ConnectToRawPeer(listener, "stalled");
    RawLink good = ConnectToRawPeer(listener, "good");
    ASSERT_NE(stalled.socket, nullptr);
    ASSERT_NE(good.socket, nullptr);
    const int stalledId = stalled.channel.GetSocketId();
    {
        // Held only to read the socket's state after the table has let go of it.
        KEPMsgSocketLease watch = Services().LeaseSocket(stalledId);
        ASSERT_TRUE(stalled.peer.SendBytes("\x04\x00", 2));  // half a count, then nothing
        ASSERT_TRUE(good.peer.SendBytes(TextWire(7, "still served")));
        const Clock::time_point start = Clock::now();
        std::vector<ReceivedMessage> received = ReceiveAtLeast(1);
        ASSERT_TRUE(PumpUntil([&] { return Services().GetSocket(stalledId) == nullptr; }));
        EXPECT_GE(SecondsSince(start), 0.25);  // the reader waited for the time-out
        EXPECT_EQ(watch->GetErrorCode(), kepwsa::WSAETIMEDOUT);
        EXPECT_TRUE(watch->IsClosed());
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].channel, good.channel);
        EXPECT_TRUE(received[0].message->IsIntact());
        EXPECT_EQ(received[0].message->Sequence(), 7u);
    }
    EXPECT_EQ(RegisteredChannelCount(), 1);
    EXPECT_TRUE(stalled.peer.WaitPeerClosed());
    int code = -1;
    KEPString text("unchanged");
    Communicator().GetErrorsOnChannel(stalled.channel, code, text);
    EXPECT_EQ(code, 0);  // the connection is gone: nothing left to report
    EXPECT_EQ(text, KEPString("unchanged"));

    // The survivor still works both ways.
    TextMessage reply(8, "reply");
    Communicator().SendSocketMessage(good.channel, &reply);
    std::unique_ptr<SequencedMessage> back = good.peer.ReceiveMessage();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->Sequence(), 8u);
}

TEST_F(StalledPeerTest, StallInsideBodyDropsMessageLogsAndRemovesChannel) {
    // Re-create the connection services with the debug log on.
    const std::string prefix = ::testing::TempDir() + "kep-robust-";
    const std::string logPath = prefix + std::to_string(::getpid()) + "_dbg.txt";
    m_setup.reset();
    std::remove(logPath.c_str());
    ::setenv("KEP_DEBUG_COONECTIONS", prefix.c_str(), 1);
    m_setup.reset(new MessagingSetup());
    ::unsetenv("KEP_DEBUG_COONECTIONS");

    ObservingInputStream observing;
    Communicator().RegisterMessageInputStream("Text", &observing);
    RawListener listener;
    RawLink stalled = ConnectToRawPeer(listener, "stalled");
    RawLink good = ConnectToRawPeer(listener, "good");
    ASSERT_NE(stalled.socket, nullptr);
    ASSERT_NE(good.socket, nullptr);
    const int stalledId = stalled.channel.GetSocketId();
    observing.m_watched = stalled.channel;

    // A header and half a body: the text announces 100 bytes and 50 arrive.
    const int liveBefore = LiveTestMessages();
    const std::string cut = HeaderBytes("Text") + TextBody(3, std::string(100, 'x')).substr(0, 58);
    ASSERT_TRUE(stalled.peer.SendBytes(cut));
    ASSERT_TRUE(good.peer.SendBytes(TextWire(4, "whole")));

    std::vector<ReceivedMessage> received = ReceiveAtLeast(1);
    ASSERT_TRUE(PumpUntil([] { return RegisteredChannelCount() == 1; }));
    for (ReceivedMessage& record : TakeReceived()) {
        received.push_back(std::move(record));
    }
    EXPECT_EQ(Services().GetSocket(stalledId), nullptr);
    EXPECT_EQ(observing.m_codeAtFailure, kepwsa::WSAETIMEDOUT);
    // The socket shut itself down when it timed out, so the channel is no longer active and the
    // host's query reports nothing even before the pass removes it.
    EXPECT_EQ(observing.m_hostCodeAtFailure, 0);
    // The cut-off message is deleted, not stored: only the whole one arrives.
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].channel, good.channel);
    EXPECT_TRUE(received[0].message->IsIntact());
    EXPECT_EQ(received[0].message->Sequence(), 4u);
    EXPECT_EQ(LiveTestMessages(), liveBefore + 1);
    EXPECT_TRUE(stalled.peer.WaitPeerClosed());

    const std::string log = ReadFile(logPath);
    EXPECT_NE(log.find("comm socket " + std::to_string(stalledId) + "\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("removing socket " + std::to_string(stalledId) + "\n"), std::string::npos)
        << log;
    m_setup.reset();
    std::remove(logPath.c_str());
}

TEST_F(StalledPeerTest, PeerThatNeverReadsTimesOutTheSendAndOthersKeepWorking) {
    RawListener listener;
    RawLink sink = ConnectToRawPeer(listener, "sink");
    RawLink good = ConnectToRawPeer(listener, "good");
    ASSERT_NE(sink.socket, nullptr);
    ASSERT_NE(good.socket, nullptr);
    const int sinkId = sink.channel.GetSocketId();

    // 64 MiB in four blobs; the peer reads none of it.
    std::vector<std::unique_ptr<BlobMessage>> blobs;
    KEPBasVector<unsigned int> ids;
    for (std::uint32_t i = 0; i < 4; ++i) {
        blobs.emplace_back(new BlobMessage(i, BlobMessage::kMaxBytes, i));
        unsigned int id = 0;
        Communicator().ISendSocketMessage(sink.channel, blobs.back().get(), id);
        ids.push_back(id);
    }
    KEPMsgSocketLease watch = Services().LeaseSocket(sinkId);
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        Communicator().TransmitPendingMessage();
        sent = true;
    });
    // Receive passes go on while the send is stuck.
    ASSERT_TRUE(good.peer.SendBytes(TextWire(1, "ping")));
    EXPECT_EQ(ReceiveAtLeast(1).size(), 1u);
    sender.join();
    ASSERT_TRUE(sent);

    EXPECT_EQ(watch->GetErrorCode(), kepwsa::WSAETIMEDOUT);
    EXPECT_TRUE(watch->IsClosed());
    watch.reset();
    EXPECT_EQ(Services().GetSocket(sinkId), nullptr);
    EXPECT_EQ(RegisteredChannelCount(), 1);
    KEPBasVector<unsigned int> pending;
    Communicator().QueryPendingStatus(ids, pending);
    EXPECT_EQ(pending.size(), 0);  // written or dropped: none is pending any more
    EXPECT_TRUE(sink.peer.WaitPeerClosed(30.0));

    TextMessage reply(2, "after the stall");
    Communicator().SendSocketMessage(good.channel, &reply);
    std::unique_ptr<SequencedMessage> back = good.peer.ReceiveMessage();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->Sequence(), 2u);
}

// Both header operations used to run their socket I/O under the connection-services mutex, so
// one stalled peer froze every look-up, header and body of every other connection.
class BlockedHeaderTest : public RobustnessTest {
  protected:
    BlockedHeaderTest() : RobustnessTest(2000) {}
};

TEST_F(BlockedHeaderTest, BlockedHeaderReceiveLeavesOtherConnectionsFree) {
    RawListener listener;
    RawLink stalled = ConnectToRawPeer(listener, "stalled", false);
    RawLink other = ConnectToRawPeer(listener, "other", false);
    ASSERT_NE(stalled.socket, nullptr);
    ASSERT_NE(other.socket, nullptr);
    const int stalledId = stalled.channel.GetSocketId();
    const int otherId = other.channel.GetSocketId();
    ASSERT_TRUE(stalled.peer.SendBytes("\x04\x00", 2));

    std::atomic<bool> done{false};
    std::thread reader([&] {
        KEPString type;
        Services().RetrieveMessageTypeFromSocket(stalledId, type);
        done = true;
    });
    // Once the two bytes are consumed the reader is blocked waiting for the rest.
    ASSERT_TRUE(WaitUntil([&] { return BytesWaiting(stalledId) == 0; }));
    EXPECT_NE(Services().GetSocket(otherId), nullptr);
    EXPECT_FALSE(Services().HasError(otherId));
    EXPECT_TRUE(Services().SendMessageHeader(otherId, KEPString("Ping")));
    std::string type;
    EXPECT_TRUE(other.peer.ReceiveType(type));
    EXPECT_EQ(type, "Ping");
    EXPECT_FALSE(done) << "the look-ups waited for the blocked receive";
    reader.join();
    EXPECT_EQ(Services().GetSocket(stalledId), nullptr);
}

std::atomic<int> g_sendsSeen{0};
void CountSends(kepwsa::SOCKET, int) {
    ++g_sendsSeen;
}

TEST_F(BlockedHeaderTest, BlockedHeaderSendLeavesOtherConnectionsFree) {
    RawListener listener;
    RawLink sink = ConnectToRawPeer(listener, "sink", false);
    RawLink other = ConnectToRawPeer(listener, "other", false);
    ASSERT_NE(sink.socket, nullptr);
    ASSERT_NE(other.socket, nullptr);
    const int sinkId = sink.channel.GetSocketId();
    const int otherId = other.channel.GetSocketId();
    // The sink's buffers are filled first, so the header's send blocks until the time-out.
    const std::string filler(4096, 'f');
    while (::send(sinkId, filler.data(), filler.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
    const std::string name(KEPMsgConnectionServicesUtils::kMaxTypeNameBytes, 'n');

    std::atomic<bool> done{false};
    g_sendsSeen = 0;
    kepwsa::SetSendHookForTesting(&CountSends);
    std::thread writer([&] {
        Services().SendMessageHeader(sinkId, KEPString(name.c_str()));
        done = true;
    });
    ASSERT_TRUE(WaitUntil([] { return g_sendsSeen.load() > 0; }));
    kepwsa::SetSendHookForTesting(nullptr);
    ASSERT_TRUE(other.peer.SendBytes(TextWire(5, "meanwhile")));
    KEPString type;
    EXPECT_TRUE(Services().RetrieveMessageTypeFromSocket(otherId, type));
    EXPECT_EQ(type, KEPString("Text"));
    EXPECT_NE(Services().GetSocket(otherId), nullptr);
    EXPECT_FALSE(done) << "the header read waited for the blocked send";
    writer.join();
}

TEST_F(StalledPeerTest, SilentPeerBlocksNoPass) {
    int port = -1;
    ASSERT_NE(StartRegisteredServer(port), nullptr);
    RawSocket silent = RawConnect(port);
    ASSERT_TRUE(silent.IsOpen());
    ASSERT_TRUE(PumpUntil([] { return RegisteredChannelCount() == 2; }));
    RawListener listener;
    RawLink good = ConnectToRawPeer(listener, "good");
    ASSERT_NE(good.socket, nullptr);
    int receivedCount = 0;
    for (std::uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(good.peer.SendBytes(TextWire(i, "beside a silent peer")));
        ASSERT_TRUE(PumpUntil([&] {
            receivedCount += static_cast<int>(TakeMessages().size());
            return receivedCount == static_cast<int>(i) + 1;
        }));
    }
    // Passes over only the silent connection return after their wait.
    for (int pass = 0; pass < 3; ++pass) {
        Communicator().WaitConnectionsAndMessages(nullptr, 1);
    }
    EXPECT_EQ(RegisteredChannelCount(), 3);
}

}  // namespace
}  // namespace keptest
