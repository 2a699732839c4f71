// Peers that stall: a receive or send that runs into the socket I/O time-out gives up, the
// connection is treated as lost and removed, and every other connection goes on being served.
// A blocked header send or receive must not hold the connection-services mutex.

#include "platform/KEPWinsock.h"
#include "tests/robustness/RobustnessSupport.h"

namespace keptest {
namespace {

// An input stream that notes, at the moment a body read fails, the code recorded on the
// connection and what GetErrorsOnChannel tells the host then.
class ObservingInputStream : public KEPMsgSimpleInputStream {
  public:
    bool read(void* buffer, int length, int& got) override {
        const bool ok = KEPMsgSimpleInputStream::read(buffer, length, got);
        if (!ok && m_codeAtFailure == -1) {
            KEPMsgConnectionServicesUtils::Instance().GetLastErrorCode(GetSocketId(),
                                                                       m_codeAtFailure);
            KEPString text;
            KEPMsgSocketCommunicator::Instance().GetErrorsOnChannel(m_watched, m_hostCodeAtFailure,
                                                                    text);
        }
        return ok;
    }
    KEPMsgChannel m_watched;
    int m_codeAtFailure = -1;
    int m_hostCodeAtFailure = -1;
};

class StalledPeerTest : public RobustnessTest {};

// A peer that stops inside a header or a body: the read times out, the message is dropped, the
// connection is removed and closed, and the other connection is served both ways. A body that
// announces 16 MiB and brings 40 KiB is read straight into the message (its reads ask for 64 KiB,
// more than the read-ahead buffer) and ends the same way.
TEST_F(StalledPeerTest, StallTimesOutAndRemovesOnlyThatConnection) {
    const std::uint32_t huge = BlobMessage::kMaxBytes;
    const struct {
        const char* name;
        std::string bytes;
        bool inBody;
    } rows[] = {
        {"inside the header", Bytes({4, 0}), false},
        {"inside the body", TextWire(3, std::string(100, 'x')).substr(0, 66), true},
        {"inside a huge body",
         HeaderBytes("Blob") + Bytes({5, 0, 0, 0}) +
             std::string(reinterpret_cast<const char*>(&huge), 4) + std::string(40 * 1024, 'h'),
         false},
    };
    ObservingInputStream observing;
    Communicator().RegisterMessageInputStream("Text", &observing);
    std::uint32_t sequence = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RawLink stalled, good;
        ASSERT_TRUE(ConnectTwo(stalled, good));
        const int stalledId = stalled.channel.GetSocketId();
        observing.m_codeAtFailure = observing.m_hostCodeAtFailure = -1;
        observing.m_watched = stalled.channel;
        const int liveBefore = LiveTestMessages();
        {
            // Held only to read the socket's state after the table has let go of it.
            KEPMsgSocketLease watch = Services().LeaseSocket(stalledId);
            ASSERT_TRUE(stalled.peer.SendBytes(row.bytes));
            ASSERT_TRUE(good.peer.SendBytes(TextWire(++sequence, "whole")));
            ASSERT_TRUE(PumpUntil([&] { return Services().GetSocket(stalledId) == nullptr; }));
            std::vector<ReceivedMessage> received = ReceiveAtLeast(1);
            EXPECT_EQ(watch->GetErrorCode(), kepwsa::WSAETIMEDOUT);
            EXPECT_TRUE(watch->IsClosed());
            // The cut-off message is deleted, not stored: only the whole one arrives.
            ASSERT_EQ(received.size(), 1u);
            EXPECT_EQ(received[0].channel, good.channel);
            EXPECT_TRUE(received[0].message->IsIntact());
            EXPECT_EQ(received[0].message->Sequence(), sequence);
            EXPECT_EQ(LiveTestMessages(), liveBefore + 1);
        }
        if (row.inBody) {
            EXPECT_EQ(observing.m_codeAtFailure, kepwsa::WSAETIMEDOUT);
            // The socket shut itself down when it timed out, so the channel is no longer active
            // and the host's query reports nothing even before the pass removes it.
            EXPECT_EQ(observing.m_hostCodeAtFailure, 0);
        }
        EXPECT_EQ(RegisteredChannelCount(), 1);
        EXPECT_TRUE(stalled.peer.WaitPeerClosed());
        int code = -1;
        KEPString text("unchanged");
        Communicator().GetErrorsOnChannel(stalled.channel, code, text);
        EXPECT_EQ(code, 0);  // the connection is gone: nothing left to report
        EXPECT_EQ(text, KEPString("unchanged"));
        ExpectServed(good, ++sequence);
        Communicator().RemoveConnection(nullptr, true);
    }
}

TEST_F(StalledPeerTest, PeerThatNeverReadsTimesOutTheSendAndOthersKeepWorking) {
    RawLink sink, good;
    ASSERT_TRUE(ConnectTwo(sink, good));
    const int sinkId = sink.channel.GetSocketId();

    // 64 MiB, one blob queued four times; the peer reads none of it.
    const std::unique_ptr<BlobMessage> blob(new BlobMessage(0, BlobMessage::kMaxBytes, 0));
    KEPBasVector<unsigned int> ids;
    for (unsigned int i = 0, id = 0; i < 4; ++i) {
        Communicator().ISendSocketMessage(sink.channel, blob.get(), id);
        ids.push_back(id);
    }
    KEPMsgSocketLease watch = Services().LeaseSocket(sinkId);
    {
        BackgroundCall sender([] { Communicator().TransmitPendingMessage(); });
        // Receive passes go on while the send is stuck.
        ASSERT_TRUE(good.peer.SendBytes(TextWire(1, "ping")));
        EXPECT_EQ(ReceiveAtLeast(1).size(), 1u);
    }

    EXPECT_EQ(watch->GetErrorCode(), kepwsa::WSAETIMEDOUT);
    EXPECT_TRUE(watch->IsClosed());
    watch.reset();
    EXPECT_EQ(Services().GetSocket(sinkId), nullptr);
    EXPECT_EQ(RegisteredChannelCount(), 1);
    KEPBasVector<unsigned int> pending;
    Communicator().QueryPendingStatus(ids, pending);
    EXPECT_EQ(pending.size(), 0);  // written or dropped: none is pending any more
    EXPECT_TRUE(sink.peer.WaitPeerClosed(30.0));
    ExpectServed(good, 2);
}

// Both header operations used to run their socket I/O under the connection-services mutex, so
// one stalled peer froze every look-up, header and body of every other connection.
class BlockedHeaderTest : public RobustnessTest {
  protected:
    BlockedHeaderTest() : RobustnessTest(2000) {}
};

std::atomic<int> g_sendsSeen{0};
void CountSends(kepwsa::SOCKET, int) {
    ++g_sendsSeen;
}

// While a header receive (the peer sent half a count) or a header send (the peer's buffers are
// full) blocks on one connection, the other is looked up and carries headers both ways.
TEST_F(BlockedHeaderTest, BlockedHeaderOperationLeavesOtherConnectionsFree) {
    for (const bool blockedSend : {false, true}) {
        SCOPED_TRACE(blockedSend ? "blocked send" : "blocked receive");
        RawLink stalled, other;
        ASSERT_TRUE(ConnectTwo(stalled, other, false));
        const int stalledId = stalled.channel.GetSocketId();
        const int otherId = other.channel.GetSocketId();
        const std::string filler(4096, 'f');
        ASSERT_EQ(kepwsa::SetNonBlocking(stalledId, blockedSend), 0);
        while (blockedSend &&
               kepwsa::send(stalledId, filler.data(), static_cast<int>(filler.size()), 0) > 0) {
        }
        ASSERT_EQ(kepwsa::SetNonBlocking(stalledId, false), 0);
        ASSERT_TRUE(blockedSend || stalled.peer.SendBytes(Bytes({4, 0})));
        g_sendsSeen = 0;
        kepwsa::SetSendHookForTesting(blockedSend ? &CountSends : nullptr);
        std::atomic<bool> done{false};
        std::thread blocked([&] {
            const std::string name(KEPMsgConnectionServicesUtils::kMaxTypeNameBytes, 'n');
            KEPString type(name.c_str());
            blockedSend ? Services().SendMessageHeader(stalledId, type)
                        : Services().RetrieveMessageTypeFromSocket(stalledId, type);
            done = true;
        });
        // Blocked once it has sent something, or consumed the two bytes.
        EXPECT_TRUE(WaitUntil(
            [&] { return blockedSend ? g_sendsSeen.load() > 0 : BytesWaiting(stalledId) == 0; }));
        kepwsa::SetSendHookForTesting(nullptr);
        EXPECT_NE(Services().GetSocket(otherId), nullptr);
        EXPECT_FALSE(Services().HasError(otherId));
        EXPECT_TRUE(Services().SendMessageHeader(otherId, KEPString("Ping")));
        std::string sent;
        EXPECT_TRUE(other.peer.ReceiveType(sent));
        EXPECT_EQ(sent, "Ping");
        EXPECT_TRUE(other.peer.SendBytes(TextWire(5, "meanwhile")));
        KEPString received;
        EXPECT_TRUE(Services().RetrieveMessageTypeFromSocket(otherId, received));
        EXPECT_EQ(received, KEPString("Text"));
        EXPECT_FALSE(done) << "the other connection waited for the blocked header";
        blocked.join();
        if (!blockedSend) {
            EXPECT_EQ(Services().GetSocket(stalledId), nullptr);
        }
        Communicator().RemoveConnection(nullptr, true);
    }
}

}  // namespace
}  // namespace keptest
