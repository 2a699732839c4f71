// Read-ahead and gathered writes of KEPMsgCommSocket: the byte stream must be exactly the one an
// unbuffered socket gives, whatever the split of receives and sends.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

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

std::atomic<int> s_sends{0};
void CountSend(kepwsa::SOCKET, int) {
    ++s_sends;
}

}  // namespace

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

TEST(KEPMsgCommSocketBufferingTest, PeerCloseIsReportedOnlyAfterBufferedData) {
    LoopbackPair pair = Connected();
    SendAll(*pair.client, "0123456789");
    pair.client->Shutdown();
    char buffer[16];
    ASSERT_EQ(pair.accepted->read(buffer, 4), 4);
    EXPECT_EQ(ReadPieces(*pair.accepted, 6, 16), "456789");
    EXPECT_EQ(pair.accepted->read(buffer, 4), 0);  // the end of the connection, once
    EXPECT_TRUE(pair.accepted->IsInputShutDown());
    EXPECT_FALSE(pair.accepted->HasBufferedInput());
}

TEST(KEPMsgCommSocketBufferingTest, ShutDownInputHidesBufferedData) {
    LoopbackPair pair = Connected();
    SendAll(*pair.client, "abcdef");
    char buffer[2];
    ASSERT_EQ(pair.accepted->read(buffer, 2), 2);
    pair.accepted->ShutDownInput();
    EXPECT_FALSE(pair.accepted->HasBufferedInput());
    EXPECT_EQ(pair.accepted->read(buffer, 2), -1);
}

TEST(KEPMsgCommSocketBufferingTest, GatheredWritesArriveWholeWithFewerSends) {
    LoopbackPair pair = Connected();
    const std::string header = "\x04\x00\x00\x00Ping";
    const std::string body = Pattern(64);
    s_sends = 0;
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
    EXPECT_EQ(s_sends.load(), 2);  // the first write, then everything gathered after it
    EXPECT_EQ(ReadPieces(*pair.accepted, static_cast<int>(expected.size()), 1000), expected);
}

TEST(KEPMsgCommSocketBufferingTest, GatherOverflowAndLargeWritesKeepOrder) {
    LoopbackPair pair = Connected();
    const std::string small = Pattern(1000);
    const std::string large = Pattern(KEPMsgCommSocket::kGatherBufferBytes + 5);
    std::thread writer([&] {
        pair.client->BeginGather();
        for (int i = 0; i < 100; ++i) {  // more than the gather buffer holds
            SendAll(*pair.client, small);
        }
        SendAll(*pair.client, large);
        SendAll(*pair.client, small);
        EXPECT_TRUE(pair.client->EndGather());
    });
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        expected += small;
    }
    expected += large + small;
    EXPECT_EQ(ReadPieces(*pair.accepted, static_cast<int>(expected.size()), 4096), expected);
    writer.join();
}
