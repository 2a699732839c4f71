// KEPMsgCommSocket: connect failures, the ends of a connection, and its read-ahead and gathered
// writes, whose byte stream must be exactly the one an unbuffered socket gives, whatever the split
// of receives and sends.
#include "sockets/KEPMsgCommSocket.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgServerSocket.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

std::atomic<int> s_sendCalls{0};
void CountSend(kepwsa::SOCKET, int) {
    ++s_sendCalls;
}

std::string Pattern(int length) {
    std::string bytes(static_cast<std::size_t>(length), '\0');
    for (int i = 0; i < length; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<char>('a' + (i * 7) % 26);
    }
    return bytes;
}

void SendAll(KEPMsgCommSocket& socket, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int sent = socket.write(bytes.data() + done, static_cast<int>(bytes.size() - done));
        ASSERT_GT(sent, 0);
        done += static_cast<std::size_t>(sent);
    }
}

// Reads exactly length bytes in pieces of at most piece bytes.
std::string ReadPieces(KEPMsgCommSocket& socket, int length, int piece) {
    std::string got;
    char buffer[KEPMsgCommSocket::kReadBufferBytes + 64];
    while (static_cast<int>(got.size()) < length) {
        const int want = std::min(piece, length - static_cast<int>(got.size()));
        const int count = socket.read(buffer, want);
        if (count <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(count));
    }
    return got;
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
        EXPECT_TRUE(row.code == 0 ? client.GetErrorCode() != 0 : client.GetErrorCode() == row.code)
            << client.GetErrorCode();
        EXPECT_EQ(client.read(nullptr, 0), -1);
        EXPECT_EQ(client.write("x", 1), -1);
        client.Shutdown();
    }
}

TEST(KEPMsgCommSocketTest, ConnectKeepsRefusedIpv6CodeWhenIpv4AddressAccepts) {
    // Needs a name that resolves to ::1 first and 127.0.0.1 after it.
    const addrinfo hints{};  // no flags: null hints would add AI_ADDRCONFIG, which may drop ::1
    addrinfo* list = nullptr;
    bool v6First = false, v4Later = false;
    if (::getaddrinfo("localhost", "1", &hints, &list) == 0) {
        v6First = list->ai_family == AF_INET6;
        for (const addrinfo* entry = list->ai_next; entry != nullptr; entry = entry->ai_next) {
            v4Later = v4Later || entry->ai_family == AF_INET;
        }
        ::freeaddrinfo(list);
    }
    if (!v6First || !v4Later) {
        GTEST_SKIP() << "localhost does not resolve to ::1 followed by 127.0.0.1 here";
    }
    ServerSocketPtr server = Listen("127.0.0.1", 0);
    CommSocketPtr client(new KEPMsgCommSocket(Address("", 0)));
    client->Connect(Address("localhost", server->GetAddress().GetPort()));
    EXPECT_TRUE(client->IsConnected());
    EXPECT_EQ(client->GetErrorCode(), kepwsa::WSAECONNREFUSED);
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
        EXPECT_EQ(BytesWaiting(pair.accepted->GetId()), 2) << length;  // no receive at all
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

// A read from a silent peer times out and shuts the socket down. A socket closed without a
// shutdown fails with a recorded code instead of using its stale handle.
TEST(KEPMsgCommSocketTest, SilentPeerTimesOutAndClosedSocketDoesNotUseStaleHandle) {
    ScopedIoTimeout timeout(200);
    LoopbackPair pair = Connected();
    char buffer[4];
    EXPECT_EQ(pair.accepted->read(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(pair.accepted->GetErrorCode(), kepwsa::WSAETIMEDOUT);
    EXPECT_FALSE(pair.accepted->IsConnected());
    EXPECT_TRUE(pair.accepted->IsClosed());
    pair.client->Close();  // closed without a shutdown: the direction flags still read open
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

// Reads of any split give the bytes in order: several records from one receive, records cut by
// the buffer's boundary (7-byte pieces never line up with its size), and a large read after a
// small one gets the buffered bytes first.
TEST(KEPMsgCommSocketBufferingTest, AnySplitOfReadsGivesTheStreamInOrder) {
    const int buffer = KEPMsgCommSocket::kReadBufferBytes;
    const struct {
        int length, first, piece;
    } rows[] = {{300, 4, 5}, {buffer * 3 + 123, 7, 7}, {buffer * 2, 10, buffer + 64}};
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.length << "/" << row.piece);
        LoopbackPair pair = Connected();
        const std::string bytes = Pattern(row.length);
        std::thread writer([&] { SendAll(*pair.client, bytes); });
        std::string got = ReadPieces(*pair.accepted, row.first, row.first);
        got += ReadPieces(*pair.accepted, row.length - row.first, row.piece);
        writer.join();
        EXPECT_EQ(got, bytes);
        EXPECT_FALSE(pair.accepted->HasBufferedInput());
    }
}

// ShutDownInput hides what is buffered. The peer's close is reported only after the buffered
// data, as one read of 0 that shuts the socket down and frees its descriptor; a second Shutdown
// then records nothing.
TEST(KEPMsgCommSocketBufferingTest, BufferedInputEndsAtPeerCloseOnlyAfterItsDataOrAtShutDownInput) {
    LoopbackPair pair = Connected();
    SendAll(*pair.accepted, "abcdef");
    char two[2];
    ASSERT_EQ(pair.client->read(two, 2), 2);
    pair.client->ShutDownInput();
    EXPECT_FALSE(pair.client->HasBufferedInput());
    EXPECT_EQ(pair.client->read(two, 2), -1);
    SendAll(*pair.client, "0123456789");
    pair.client->Shutdown();
    char buffer[16];
    ASSERT_EQ(pair.accepted->read(buffer, 4), 4);
    EXPECT_EQ(ReadPieces(*pair.accepted, 6, 16), "456789");
    EXPECT_EQ(pair.accepted->read(buffer, 4), 0);  // the end of the connection, once
    EXPECT_FALSE(pair.accepted->HasBufferedInput());
    EXPECT_TRUE(pair.accepted->IsInputShutDown());
    EXPECT_TRUE(pair.accepted->IsOutputShutDown());
    EXPECT_TRUE(pair.accepted->IsClosed());
    EXPECT_FALSE(pair.accepted->IsConnected());
    EXPECT_FALSE(IsOpenDescriptor(pair.accepted->GetId()));
    pair.accepted->Shutdown();
    EXPECT_EQ(pair.accepted->GetErrorCode(), 0);
}

TEST(KEPMsgCommSocketBufferingTest, GatheredWritesArriveWholeWithFewerSendsAndOverflowKeepsOrder) {
    LoopbackPair pair = Connected();
    const std::string header = "\x04\x00\x00\x00Ping";
    const std::string body = Pattern(64);
    s_sendCalls = 0;
    kepwsa::SetSendHookForTesting(CountSend);
    std::string expected;
    pair.client->BeginGather();
    for (int i = 0; i < 10; ++i) {
        SendAll(*pair.client, header);
        SendAll(*pair.client, body);
        expected += header + body;
    }
    EXPECT_TRUE(pair.client->EndGather());
    kepwsa::SetSendHookForTesting(nullptr);
    EXPECT_EQ(s_sendCalls.load(), 2);  // the first write, then everything gathered after it
    EXPECT_EQ(ReadPieces(*pair.accepted, static_cast<int>(expected.size()), 1000), expected);
    const std::string small = Pattern(1000);
    std::vector<std::string> pieces(100, small);  // more than the gather buffer holds
    pieces.push_back(Pattern(KEPMsgCommSocket::kGatherBufferBytes + 5));
    pieces.push_back(small);
    std::thread writer([&] {
        pair.client->BeginGather();
        for (const std::string& piece : pieces) {
            SendAll(*pair.client, piece);
        }
        EXPECT_TRUE(pair.client->EndGather());
    });
    expected = std::accumulate(pieces.begin(), pieces.end(), std::string());
    EXPECT_EQ(ReadPieces(*pair.accepted, static_cast<int>(expected.size()), 4096), expected);
    writer.join();
}

}  // namespace
