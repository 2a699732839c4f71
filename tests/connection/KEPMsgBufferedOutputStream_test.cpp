// Buffered output stream: bounded sends, the written count, and its socket lookup.
#include "connection/KEPMsgBufferedOutputStream.h"

#include <atomic>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "platform/KEPWinsock.h"
#include "tests/connection/ConnectionTestSupport.h"

using namespace keptest;

namespace {

// Every send the platform layer is asked for, recorded by the test hook.
std::mutex g_sendsMutex;
std::vector<int> g_sends;
std::atomic<int> g_watchedHandle{-1};

void RecordSend(kepwsa::SOCKET handle, int length) {
    if (handle == g_watchedHandle.load()) {
        std::lock_guard<std::mutex> lock(g_sendsMutex);
        g_sends.push_back(length);
    }
}

class BufferedOutputStreamTest : public ConnectionFixture {
  protected:
    void Watch(int socketId) {
        {
            std::lock_guard<std::mutex> lock(g_sendsMutex);
            g_sends.clear();
        }
        g_watchedHandle = socketId;
        kepwsa::SetSendHookForTesting(&RecordSend);
    }
    std::vector<int> Sends() {
        std::lock_guard<std::mutex> lock(g_sendsMutex);
        return g_sends;
    }
    void TearDown() override {
        kepwsa::SetSendHookForTesting(nullptr);
        g_watchedHandle = -1;
        ConnectionFixture::TearDown();
    }
};

TEST_F(BufferedOutputStreamTest, LargeWriteIsSentInBoundedChunks) {
    int id = Connect();
    std::string body(10000, '\0');
    for (size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>(i * 7);
    }
    KEPMsgBufferedOutputStream stream(4096);
    stream.SetSocketId(id);
    Watch(id);
    int written = 5;
    ASSERT_TRUE(stream.write(body.data(), static_cast<int>(body.size()), written));
    EXPECT_EQ(written, 10005);
    std::vector<int> sends = Sends();
    ASSERT_FALSE(sends.empty());
    for (int length : sends) {
        EXPECT_LE(length, 4096);
        EXPECT_GT(length, 0);
    }
    EXPECT_GE(sends.size(), 3u);
    EXPECT_EQ(m_peer.ReceiveString(body.size()), body);
}

TEST_F(BufferedOutputStreamTest, EmptyWriteSendsNothing) {
    int id = Connect();
    KEPMsgBufferedOutputStream stream(4096);
    stream.SetSocketId(id);
    Watch(id);
    int written = 3;
    char byte = 'x';
    EXPECT_TRUE(stream.write(&byte, 0, written));
    EXPECT_TRUE(stream.write(&byte, -5, written));
    EXPECT_EQ(written, 3);
    EXPECT_TRUE(Sends().empty());
}

TEST_F(BufferedOutputStreamTest, ChunkSizeBelowOneSendsSingleBytes) {
    int id = Connect();
    KEPMsgBufferedOutputStream stream(0);
    EXPECT_EQ(stream.GetChunkSize(), 1);
    stream.SetSocketId(id);
    Watch(id);
    int written = 0;
    char text[] = "abc";
    ASSERT_TRUE(stream.write(text, 3, written));
    EXPECT_EQ(written, 3);
    EXPECT_EQ(Sends(), std::vector<int>({1, 1, 1}));
    EXPECT_EQ(m_peer.ReceiveString(3), "abc");
}

TEST_F(BufferedOutputStreamTest, MissingOrListeningSocketFails) {
    KEPMsgBufferedOutputStream stream(16);
    int written = 0;
    char byte = 'x';
    EXPECT_FALSE(stream.write(&byte, 1, written));  // socket id -1
    KEPMsgServerSocket* server = Services().StartServer(LoopbackAddress(0), 4);
    ASSERT_NE(server, nullptr);
    Track(server->GetId());
    stream.SetSocketId(server->GetId());
    EXPECT_FALSE(stream.write(&byte, 1, written));
    EXPECT_EQ(written, 0);
}

TEST_F(BufferedOutputStreamTest, WriteAfterPeerResetFails) {
    int id = Connect();
    int peerFd = m_peer.Fd();
    linger hard{1, 0};
    ::setsockopt(peerFd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    m_peer.Close();  // RST
    KEPMsgBufferedOutputStream stream(4096);
    stream.SetSocketId(id);
    std::string body(100000, 'z');
    int written = 0;
    bool ok = true;
    // The reset may take a send or two to be noticed.
    for (int i = 0; i < 100 && ok; ++i) {
        ok = stream.write(body.data(), static_cast<int>(body.size()), written);
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Services().HasError(id));
}

}  // namespace
