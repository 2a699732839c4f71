// The module's streams: bounded sends and the written count of the buffered output stream, one
// receive per call and the end of the connection for the simple input stream, and the socket
// lookup of both.
#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgSimpleInputStream.h"

#include <algorithm>

#include "platform/KEPWinsock.h"
#include "tests/connection/ConnectionTestSupport.h"

using namespace keptest;

namespace {

// The sends the platform layer is asked for on the watched handle, and the largest of them.
std::atomic<int> g_watchedHandle{-1};
std::atomic<int> g_sends{0};
std::atomic<int> g_largestSend{0};

void RecordSend(kepwsa::SOCKET handle, int length) {
    if (handle == g_watchedHandle.load()) {
        ++g_sends;
        g_largestSend = std::max(g_largestSend.load(), length);
    }
}

using StreamTest = ConnectionFixture;

// Writes go out whole, in sends of at most the chunk size (one byte for a size below one),
// and add to the caller's count; an empty or negative length sends nothing.
TEST_F(StreamTest, WritesAreSentInBoundedChunksAndMissingOrListeningSocketFails) {
    const struct {
        int chunk;
        int length;
        int fewestSends;
    } rows[] = {{4096, 10000, 3}, {65536, 100000, 2}, {0, 3, 3}, {16, 0, 0}, {16, -5, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.chunk << "/" << row.length);
        const int id = Connect();
        std::string body(static_cast<std::size_t>(std::max(row.length, 0)), '\0');
        for (std::size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<char>(i * 7);
        }
        KEPMsgBufferedOutputStream stream(row.chunk);
        stream.SetSocketId(id);
        g_sends = 0;
        g_largestSend = 0;
        g_watchedHandle = id;
        kepwsa::SetSendHookForTesting(&RecordSend);
        int written = 5;
        EXPECT_TRUE(stream.write(&body[0], row.length, written));
        kepwsa::SetSendHookForTesting(nullptr);
        EXPECT_EQ(written, 5 + static_cast<int>(body.size()));
        EXPECT_GE(g_sends.load(), row.fewestSends);
        EXPECT_LE(g_largestSend.load(), std::max(row.chunk, 1));
        EXPECT_EQ(m_peer.ReceiveString(body.size()), body);
    }
    // The default id (-1), an unknown id and a listening socket: both streams fail, counts
    // untouched.
    KEPMsgBufferedOutputStream output(16);
    KEPMsgSimpleInputStream input;
    for (int id : {-1, 987654, StartServer()}) {
        if (id != -1) {
            output.SetSocketId(id);
            input.SetSocketId(id);
        }
        int count = 5;
        char byte = 'x';
        EXPECT_FALSE(output.write(&byte, 1, count)) << id;
        EXPECT_FALSE(input.read(&byte, 1, count)) << id;
        EXPECT_EQ(count, 5) << id;
    }
}

TEST_F(StreamTest, PeerCloseGivesZeroThenFailure) {
    KEPMsgSimpleInputStream stream;
    stream.SetSocketId(Connect());
    ASSERT_TRUE(m_peer.SendBytes("abc"));
    m_peer.Close();
    char buffer[16];
    std::string received;
    int got = -1;
    while (stream.read(buffer, sizeof buffer, got) && got > 0) {
        received.append(buffer, static_cast<size_t>(got));
    }
    EXPECT_EQ(received, "abc");
    EXPECT_EQ(got, 0);  // the close is reported as true with 0 bytes
    got = 77;
    EXPECT_FALSE(stream.read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 77);
    // (A failed send reported as a failed write is the leased-socket scope test's.)
}

}  // namespace
