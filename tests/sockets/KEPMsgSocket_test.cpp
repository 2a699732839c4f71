#include "sockets/KEPMsgSocket.h"

#include "platform/KEPWinsock.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

TEST(KEPMsgSocketHoldTest, HeldCloseWakesReaderBlockedOnDescriptor) {
    ScopedIoTimeout timeout(5000);  // a reader that is never woken fails instead of hanging
    LoopbackPair pair = Connected();
    pair.client->AcquireHold();
    std::atomic<int> readerTid{0};
    std::thread reader([&] {
        readerTid = ThisThreadId();
        char buffer[4];
        pair.client->read(buffer, sizeof(buffer));
    });
    // Close only once the reader sleeps in recv, so the wake-up is what is tested.
    ASSERT_TRUE(
        WaitUntil([&] { return readerTid.load() != 0 && IsThreadSleeping(readerTid.load()); }));
    // Close without a shutdown first: the deferred close must end the connection itself.
    pair.client->Close();
    reader.join();
    EXPECT_NE(pair.client->GetErrorCode(), kepwsa::WSAETIMEDOUT);
    EXPECT_EQ(pair.client->ReleaseHold(), 0);
}

// Connect on a connected socket ends the first connection (its peer sees the end) and opens a
// new descriptor; under a hold the old one stays open until the release. A release without a
// hold does nothing. Deleting an open socket closes its descriptor.
TEST(KEPMsgSocketHoldTest, ReconnectUnderHoldKeepsOldDescriptorUntilRelease) {
    LoopbackPair pair = Connected();
    EXPECT_EQ(pair.client->ReleaseHold(), 0);
    const int old = pair.client->GetId();
    pair.client->AcquireHold();
    pair.client->Connect(Address("", pair.server->GetAddress().GetPort()));
    ASSERT_TRUE(pair.client->IsConnected());
    EXPECT_NE(pair.client->GetId(), old);
    EXPECT_TRUE(IsOpenDescriptor(old));
    EXPECT_EQ(pair.client->ReleaseHold(), 0);
    EXPECT_FALSE(IsOpenDescriptor(old));
    CommSocketPtr second(pair.server->Accept());
    ASSERT_NE(second, nullptr);
    char buffer[4];
    EXPECT_EQ(pair.accepted->read(buffer, sizeof(buffer)), 0);
    ASSERT_EQ(pair.client->write("z", 1), 1);
    ASSERT_EQ(second->read(buffer, sizeof(buffer)), 1);
    EXPECT_EQ(buffer[0], 'z');
    const int descriptor = pair.client->GetId();
    delete pair.client.release();
    EXPECT_FALSE(IsOpenDescriptor(descriptor));
}

TEST(KEPMsgSocketTest, ConnectionLostCodesAreTheDocumentedOnesAndSocketsCarryTheirOptions) {
    for (int code = 10000; code < 11100; ++code) {
        const bool expected = (code >= 10050 && code <= 10054) || code == 10057 || code == 10058;
        EXPECT_EQ(KEPMsgSocket::IsConnectionLostError(code), expected) << code;
    }
    // The options every connection gets, read back from the system: Nagle off (on accepted
    // connections too), a 5 s lingering close, a 64 KiB send buffer, the process-wide I/O time-out
    // both ways, and keep-alive on connections the library opens. An accepted connection carries
    // the listener's address.
    ScopedIoTimeout timeout(1500);
    LoopbackPair pair = Connected();
    ASSERT_NE(pair.accepted, nullptr);
    EXPECT_EQ(pair.accepted->GetAddress().GetPort(), pair.server->GetAddress().GetPort());
    const struct {
        const char* name;
        int fd;
        bool keepAlive;
    } rows[] = {{"connected", pair.client->GetId(), true},
                {"accepted", pair.accepted->GetId(), false}};
    for (const auto& row : rows) {
        EXPECT_NE(0, NoDelayOf(row.fd)) << row.name;
        linger lingering{};
        socklen_t length = sizeof lingering;
        ASSERT_EQ(0, ::getsockopt(row.fd, SOL_SOCKET, SO_LINGER,
                                  reinterpret_cast<char*>(&lingering), &length))
            << row.name;
        EXPECT_NE(0, lingering.l_onoff) << row.name;
        EXPECT_EQ(5, lingering.l_linger) << row.name;
        // Linux reports twice the size asked for (its bookkeeping share).
        const int sendBuffer = IntOption(row.fd, SOL_SOCKET, SO_SNDBUF);
        EXPECT_TRUE(sendBuffer == 65536 || sendBuffer == 2 * 65536)
            << row.name << " " << sendBuffer;
        for (bool sends : {false, true}) {
            EXPECT_EQ(IoTimeoutMs(row.fd, sends), 1500) << row.name << " sends " << sends;
        }
        if (row.keepAlive) {
            EXPECT_NE(0, IntOption(row.fd, SOL_SOCKET, SO_KEEPALIVE)) << row.name;
        }
    }
}
