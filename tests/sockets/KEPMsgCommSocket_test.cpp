#include "sockets/KEPMsgCommSocket.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgServerSocket.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

// A loopback port where nothing listens: bound by a listener that is then closed.
int UnusedPort() {
    ServerSocketPtr probe = Listen();
    return probe->GetAddress().GetPort();
}

std::atomic<int> s_sendCalls{0};
void CountSend(kepwsa::SOCKET, int) {
    ++s_sendCalls;
}

}  // namespace

TEST(KEPMsgCommSocketTest, RefusedConnectRecordsConnectionRefusedAndStaysClosed) {
    KEPMsgCommSocket client(Address("", 0));
    client.Connect(Address("", UnusedPort()));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_TRUE(client.IsClosed());
    EXPECT_EQ(client.GetId(), -1);
    EXPECT_EQ(client.GetErrorCode(), kepwsa::WSAECONNREFUSED);
    EXPECT_EQ(client.read(nullptr, 0), -1);
    EXPECT_EQ(client.write("x", 1), -1);
    client.Shutdown();
}

TEST(KEPMsgCommSocketTest, ConnectKeepsRefusedIpv6CodeWhenIpv4AddressAccepts) {
    // Needs a name that resolves to ::1 first and 127.0.0.1 after it.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo("localhost", "1", &hints, &list) != 0) {
        GTEST_SKIP() << "localhost does not resolve";
    }
    const bool v6First = list->ai_family == AF_INET6;
    bool v4Later = false;
    for (const addrinfo* entry = list->ai_next; entry != nullptr; entry = entry->ai_next) {
        v4Later = v4Later || entry->ai_family == AF_INET;
    }
    ::freeaddrinfo(list);
    if (!v6First || !v4Later) {
        GTEST_SKIP() << "localhost does not resolve to ::1 followed by 127.0.0.1 here";
    }

    ServerSocketPtr server = Listen("127.0.0.1", 0);
    ASSERT_FALSE(server->IsClosed());
    KEPMsgCommSocket client(Address("", 0));
    client.Connect(Address("localhost", server->GetAddress().GetPort()));
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.GetErrorCode(), kepwsa::WSAECONNREFUSED);
    client.Shutdown();
}

TEST(KEPMsgCommSocketTest, ReadAfterPeerCloseReturnsZeroAndShutsSocketDown) {
    LoopbackPair pair = Connected();
    ASSERT_NE(pair.accepted, nullptr);
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
    EXPECT_EQ(pair.client->GetErrorCode(), 0);
    EXPECT_FALSE(IsOpenDescriptor(pair.client->GetId()));
}

TEST(KEPMsgCommSocketTest, ZeroLengthReadDoesNotPassForPeerClose) {
    LoopbackPair pair = Connected();
    char buffer[1];
    EXPECT_EQ(pair.client->read(buffer, 0), 0);
    EXPECT_TRUE(pair.client->IsConnected());
}

TEST(KEPMsgCommSocketTest, WriteAfterShutDownOutputFailsWithoutTouchingSocketOrRecordingError) {
    LoopbackPair pair = Connected();
    pair.client->SetErrorCode(0);
    pair.client->ShutDownOutput();
    EXPECT_TRUE(pair.client->IsOutputShutDown());
    EXPECT_FALSE(pair.client->IsInputShutDown());
    EXPECT_TRUE(pair.client->IsConnected());

    s_sendCalls = 0;
    kepwsa::SetSendHookForTesting(CountSend);
    EXPECT_EQ(pair.client->write("x", 1), -1);
    kepwsa::SetSendHookForTesting(nullptr);
    EXPECT_EQ(s_sendCalls.load(), 0);
    EXPECT_EQ(pair.client->GetErrorCode(), 0);

    // The peer sees the end of the stream, and the other direction still works.
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
    int result = 0;
    ASSERT_TRUE(WaitUntil([&] {
        result = pair.client->write(block, sizeof(block));
        return result < 0;
    }));
    EXPECT_TRUE(KEPMsgSocket::IsConnectionLostError(pair.client->GetErrorCode()))
        << pair.client->GetErrorCode();
    EXPECT_TRUE(pair.client->IsClosed());
    EXPECT_FALSE(pair.client->IsConnected());
    EXPECT_TRUE(pair.client->IsOutputShutDown());
}

TEST(KEPMsgCommSocketTest, ShutdownTwiceIsHarmless) {
    LoopbackPair pair = Connected();
    pair.client->Shutdown();
    const int errorAfterFirst = pair.client->GetErrorCode();
    pair.client->Shutdown();
    EXPECT_EQ(pair.client->GetErrorCode(), errorAfterFirst);
    EXPECT_EQ(errorAfterFirst, 0);
    EXPECT_TRUE(pair.client->IsClosed());
}

TEST(KEPMsgCommSocketTest, ConnectAgainAfterShutdownReconnectsWithNewDescriptor) {
    LoopbackPair pair = Connected();
    const int port = pair.server->GetAddress().GetPort();
    pair.client->Connect(Address("", port));  // shuts the first connection down itself
    ASSERT_TRUE(pair.client->IsConnected());
    CommSocketPtr second(pair.server->Accept());
    ASSERT_NE(second, nullptr);
    char buffer[4];
    EXPECT_EQ(pair.accepted->read(buffer, sizeof(buffer)), 0);  // the first one saw the end
    ASSERT_EQ(pair.client->write("z", 1), 1);
    ASSERT_EQ(second->read(buffer, sizeof(buffer)), 1);
    EXPECT_EQ(buffer[0], 'z');
}

TEST(KEPMsgCommSocketTest, ReadFromSilentPeerTimesOutAndShutsDown) {
    ScopedIoTimeout timeout(200);
    LoopbackPair pair = Connected();
    char buffer[4];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pair.client->read(buffer, sizeof(buffer)), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
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

TEST(KEPMsgCommSocketTest, UnresolvableHostAndPortOutOfRangeGiveCodeNotConnection) {
    ServerSocketPtr server = Listen();
    // 70000 must not wrap around to port 4464.
    for (const auto& target :
         {Address("a..b", server->GetAddress().GetPort()), Address("", 70000), Address("", -1)}) {
        KEPMsgCommSocket client(Address("", 0));
        client.Connect(target);
        EXPECT_FALSE(client.IsConnected());
        EXPECT_TRUE(client.IsClosed());
        EXPECT_EQ(client.GetId(), -1);
        EXPECT_NE(client.GetErrorCode(), 0);
        client.Shutdown();
    }
}
