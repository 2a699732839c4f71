#include "sockets/KEPMsgCommSocket.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgServerSocket.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

std::atomic<int> s_sendCalls{0};
void CountSend(kepwsa::SOCKET, int) {
    ++s_sendCalls;
}

// A refused, unresolvable or out-of-range target (70000 must not wrap around to port 4464)
// records a code and leaves a closed socket that neither reads nor writes.
TEST(KEPMsgCommSocketTest, FailedConnectRecordsCodeAndStaysClosed) {
    ServerSocketPtr server = Listen();
    const int port = server->GetAddress().GetPort();
    const int unusedPort = Listen()->GetAddress().GetPort();  // bound, then closed at once
    const struct {
        KEPMsgSocketAddress target;
        int code;  // 0: any code
    } rows[] = {{Address("", unusedPort), kepwsa::WSAECONNREFUSED},
                {Address("a..b", port), 0},
                {Address("", 70000), 0},
                {Address("", -1), 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.target.GetPort());
        KEPMsgCommSocket client(Address("", 0));
        client.Connect(row.target);
        EXPECT_FALSE(client.IsConnected());
        EXPECT_TRUE(client.IsClosed());
        EXPECT_EQ(client.GetId(), -1);
        EXPECT_NE(client.GetErrorCode(), 0);
        if (row.code != 0) {
            EXPECT_EQ(client.GetErrorCode(), row.code);
        }
        EXPECT_EQ(client.read(nullptr, 0), -1);
        EXPECT_EQ(client.write("x", 1), -1);
        client.Shutdown();
    }
}

// The peer's close is a read of 0 once the data before it is read; it shuts the socket down and
// frees its descriptor, and a second Shutdown records nothing.
TEST(KEPMsgCommSocketTest, ReadAfterPeerCloseReturnsZeroAndShutsSocketDown) {
    LoopbackPair pair = Connected();
    ASSERT_EQ(pair.accepted->write("ab", 2), 2);
    pair.accepted->Shutdown();
    char buffer[8];
    ASSERT_EQ(pair.client->read(buffer, sizeof(buffer)), 2);
    EXPECT_EQ(std::memcmp(buffer, "ab", 2), 0);
    EXPECT_EQ(pair.client->read(buffer, sizeof(buffer)), 0);
    EXPECT_TRUE(pair.client->IsInputShutDown());
    EXPECT_TRUE(pair.client->IsOutputShutDown());
    EXPECT_TRUE(pair.client->IsClosed());
    EXPECT_FALSE(pair.client->IsConnected());
    EXPECT_FALSE(IsOpenDescriptor(pair.client->GetId()));
    pair.client->Shutdown();
    EXPECT_EQ(pair.client->GetErrorCode(), 0);
}

// A read of no bytes returns 0 but must not pass for the peer's close; a negative length is the
// caller's error (WSAEINVAL): neither consumes data nor ends the connection.
TEST(KEPMsgCommSocketTest, ZeroLengthReadDoesNotPassForPeerClose) {
    LoopbackPair pair = Connected();
    ASSERT_EQ(pair.client->write("ab", 2), 2);
    ASSERT_TRUE(WaitUntil([&] { return BytesWaiting(pair.accepted->GetId()) == 2; }));
    char buffer[4] = {};
    for (int length : {0, -1, INT_MIN}) {
        EXPECT_EQ(pair.accepted->read(buffer, length), length == 0 ? 0 : -1) << length;
        EXPECT_EQ(pair.accepted->GetErrorCode(), length == 0 ? 0 : kepwsa::WSAEINVAL) << length;
        EXPECT_TRUE(pair.accepted->IsConnected()) << length;
        pair.accepted->SetErrorCode(0);
    }
    ASSERT_EQ(pair.accepted->read(buffer, 2), 2);
    EXPECT_EQ(std::memcmp(buffer, "ab", 2), 0);
}

TEST(KEPMsgCommSocketTest, WriteAfterShutDownOutputFailsWithoutTouchingSocketOrRecordingError) {
    LoopbackPair pair = Connected();
    pair.client->ShutDownOutput();
    EXPECT_FALSE(pair.client->IsInputShutDown());
    EXPECT_TRUE(pair.client->IsConnected());
    s_sendCalls = 0;
    kepwsa::SetSendHookForTesting(CountSend);
    EXPECT_EQ(pair.client->write("x", 1), -1);
    pair.client->BeginGather();  // the first gathered write goes straight out and fails too
    EXPECT_EQ(pair.client->write("abcd", 4), -1);
    EXPECT_FALSE(pair.client->EndGather());
    kepwsa::SetSendHookForTesting(nullptr);
    EXPECT_EQ(s_sendCalls.load(), 0);
    EXPECT_EQ(pair.client->GetErrorCode(), 0);
    // The peer sees the end of the stream.
    char buffer[4];
    EXPECT_EQ(pair.accepted->read(buffer, sizeof(buffer)), 0);
}

TEST(KEPMsgCommSocketTest, WriteToResetPeerReportsConnectionLostWithoutSignal) {
    ::signal(SIGPIPE, SIG_DFL);  // a send without MSG_NOSIGNAL would end the test program
    LoopbackPair pair = Connected();
    const linger abortive{1, 0};
    ASSERT_EQ(
        ::setsockopt(pair.accepted->GetId(), SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive)),
        0);
    pair.accepted->Close();  // no half-close first: the peer gets a reset
    char block[4096] = {};
    ASSERT_TRUE(WaitUntil([&] { return pair.client->write(block, sizeof(block)) < 0; }));
    EXPECT_TRUE(KEPMsgSocket::IsConnectionLostError(pair.client->GetErrorCode()))
        << pair.client->GetErrorCode();
    EXPECT_TRUE(pair.client->IsClosed());
    EXPECT_TRUE(pair.client->IsOutputShutDown());
}

TEST(KEPMsgCommSocketTest, ReadFromSilentPeerTimesOutAndShutsDown) {
    ScopedIoTimeout timeout(200);
    LoopbackPair pair = Connected();
    char buffer[4];
    EXPECT_EQ(pair.client->read(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(pair.client->GetErrorCode(), kepwsa::WSAETIMEDOUT);
    EXPECT_FALSE(pair.client->IsConnected());
    EXPECT_TRUE(pair.client->IsClosed());
}

TEST(KEPMsgCommSocketTest, ClosedSocketFailsWithRecordedCodeInsteadOfUsingStaleHandle) {
    LoopbackPair pair = Connected();
    pair.client->Close();  // closed without a shutdown: the direction flags still read open
    char buffer[4];
    EXPECT_EQ(pair.client->read(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(pair.client->GetErrorCode(), kepwsa::WSAENOTSOCK);
    pair.client->SetErrorCode(0);
    EXPECT_EQ(pair.client->write("x", 1), -1);
    EXPECT_EQ(pair.client->GetErrorCode(), kepwsa::WSAENOTSOCK);
    EXPECT_FALSE(pair.client->IsConnected());
    pair.client->Shutdown();  // must not call shutdown(2) on a number it no longer owns
    EXPECT_TRUE(pair.client->IsInputShutDown());
    EXPECT_TRUE(pair.client->IsOutputShutDown());
}

}  // namespace
