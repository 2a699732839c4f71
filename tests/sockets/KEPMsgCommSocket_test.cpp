// KEPMsgCommSocket: connect failures, the ends of a connection, and its read-ahead and gathered
// writes, whose byte stream must be exactly the one an unbuffered socket gives, whatever the split
// of receives and sends.
#include "sockets/KEPMsgCommSocket.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <thread>

#include "platform/KEPWinsock.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

std::atomic<int> s_sendCalls{0};
void CountSend(kepwsa::SOCKET, int) {
    ++s_sendCalls;
}

void SendAll(KEPMsgCommSocket& socket, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int sent = socket.write(bytes.data() + done, static_cast<int>(bytes.size() - done));
        ASSERT_GT(sent, 0);
        done += static_cast<std::size_t>(sent);
    }
}

// Reads length bytes, fewer when the connection ends first.
std::string ReadExactly(KEPMsgCommSocket& socket, int length) {
    std::string got(static_cast<std::size_t>(length), '\0');
    int done = 0, count = 0;
    while (done < length && (count = socket.read(&got[done], length - done)) > 0) {
        done += count;
    }
    return got.substr(0, static_cast<std::size_t>(done));
}

// A refused, unresolvable or out-of-range target records a code and leaves a closed socket that
// neither reads nor writes.
TEST(KEPMsgCommSocketTest, FailedConnectRecordsCodeAndStaysClosed) {
    ServerSocketPtr server = Listen();
    const int port = server->GetAddress().GetPort();
    const int unusedPort = Listen()->GetAddress().GetPort();  // bound, then closed at once
    const struct {
        KEPMsgSocketAddress target;
        int code;  // 0: any code
    } rows[] = {{Address("", unusedPort), kepwsa::WSAECONNREFUSED},
                {Address("a..b", port), 0},
                {Address("", -1), 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.target.GetPort());
        KEPMsgCommSocket client(Address("", 0));
        client.Connect(row.target);
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
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_DFL);  // a send without MSG_NOSIGNAL would end the test program
#endif
    LoopbackPair pair = Connected();
    const linger abortive{1, 0};
    ASSERT_EQ(::setsockopt(pair.accepted->GetId(), SOL_SOCKET, SO_LINGER,
                           reinterpret_cast<const char*>(&abortive), sizeof(abortive)),
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

// (Reads of any split, cut by the read-ahead buffer's boundary, are the hostile-peer, drain and
// two-process tests'.)

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
    EXPECT_EQ(ReadExactly(*pair.accepted, 6), "456789");
    EXPECT_EQ(pair.accepted->read(buffer, 4), 0);  // the end of the connection, once
    EXPECT_FALSE(pair.accepted->HasBufferedInput());
    EXPECT_TRUE(pair.accepted->IsInputShutDown());
    EXPECT_TRUE(pair.accepted->IsOutputShutDown());
    EXPECT_TRUE(pair.accepted->IsClosed());
    EXPECT_FALSE(IsOpenDescriptor(pair.accepted->GetId()));
    pair.accepted->Shutdown();
    EXPECT_EQ(pair.accepted->GetErrorCode(), 0);
}

// A small message, then a 4 MiB one, then the start of a third, in one stream: the first read
// buffers the second message's header and the start of its body. A read that asks for the whole
// body gets the buffered part first, then receives straight into the caller's memory (more than
// the read-ahead buffer holds in one call, once that much is waiting); every byte arrives in
// order and the next header is intact.
TEST(KEPMsgCommSocketBufferingTest, LargeReadTakesBufferedBytesFirstThenReceivesStraightIn) {
    LoopbackPair pair = Connected();
    std::string body(4 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>(i * 7 + i / 4096);
    }
    const std::string small = HeaderBytes("Note") + "tiny";
    const std::string next = HeaderBytes("Next");
    std::thread writer([&] { SendAll(*pair.accepted, small + HeaderBytes("Blob") + body + next); });
    EXPECT_EQ(ReadExactly(*pair.client, static_cast<int>(small.size())), small);
    EXPECT_GT(pair.client->BufferedInputBytes(), 8) << "the next header was not read ahead";
    EXPECT_EQ(ReadExactly(*pair.client, 8), HeaderBytes("Blob"));
    const int buffered = pair.client->BufferedInputBytes();
    ASSERT_GT(buffered, 0);
    ASSERT_TRUE(WaitUntil(
        [&] { return BytesWaiting(pair.client->GetId()) > KEPMsgCommSocket::kReadBufferBytes; }));
    std::string got(body.size(), '\0');
    const int length = static_cast<int>(body.size());
    EXPECT_EQ(pair.client->read(&got[0], length), buffered);
    const int direct = pair.client->read(&got[buffered], length - buffered);
    EXPECT_GT(direct, KEPMsgCommSocket::kReadBufferBytes);
    EXPECT_EQ(pair.client->BufferedInputBytes(), 0);
    const int done = buffered + std::max(direct, 0);
    got.replace(done, std::string::npos, ReadExactly(*pair.client, length - done));
    writer.join();
    EXPECT_TRUE(got == body) << "the body arrived out of order or incomplete";
    EXPECT_EQ(ReadExactly(*pair.client, static_cast<int>(next.size())), next);
}

TEST(KEPMsgCommSocketBufferingTest, GatheredWritesArriveWholeWithFewerSends) {
    LoopbackPair pair = Connected();
    const std::string header = "\x04\x00\x00\x00Ping";
    const std::string body(64, 'b');
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
    EXPECT_EQ(ReadExactly(*pair.accepted, static_cast<int>(expected.size())), expected);
    // (Order kept when the gather buffer overflows is the demo's and the serve tool's.)
}

}  // namespace
