#include "sockets/KEPMsgSocket.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "platform/KEPWinsock.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

// True when thread tid of this process is in an interruptible sleep (state 'S').
bool IsSleeping(int tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    std::ifstream stat(path);
    std::string text;
    std::getline(stat, text);
    const std::string::size_type end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

}  // namespace

TEST(KEPMsgSocketHoldTest, ReleaseWithoutHoldDoesNothing) {
    LoopbackPair pair = Connected();
    EXPECT_EQ(pair.client->ReleaseHold(), 0);
    EXPECT_EQ(pair.client->HoldCount(), 0);
    EXPECT_TRUE(pair.client->IsConnected());
    EXPECT_TRUE(IsOpenDescriptor(pair.client->GetId()));
}

TEST(KEPMsgSocketHoldTest, HeldCloseWakesReaderBlockedOnDescriptor) {
    ScopedIoTimeout timeout(5000);  // a reader that is never woken fails instead of hanging
    LoopbackPair pair = Connected();
    pair.client->AcquireHold();
    std::atomic<int> readResult{-2};
    std::atomic<int> readerTid{0};
    std::thread reader([&] {
        readerTid = static_cast<int>(::gettid());
        char buffer[4];
        readResult = pair.client->read(buffer, sizeof(buffer));
    });
    // Close only once the reader sleeps in recv, so the wake-up is what is tested.
    ASSERT_TRUE(WaitUntil([&] { return readerTid.load() != 0 && IsSleeping(readerTid.load()); }));
    // Close without a shutdown first: the deferred close must end the connection itself.
    pair.client->Close();
    reader.join();
    EXPECT_NE(readResult.load(), -2);
    EXPECT_NE(pair.client->GetErrorCode(), kepwsa::WSAETIMEDOUT);
    EXPECT_EQ(pair.client->ReleaseHold(), 0);
}

TEST(KEPMsgSocketHoldTest, ReconnectUnderHoldKeepsOldDescriptorUntilRelease) {
    LoopbackPair pair = Connected();
    const int old = pair.client->GetId();
    pair.client->AcquireHold();
    pair.client->Connect(Address("", pair.server->GetAddress().GetPort()));
    ASSERT_TRUE(pair.client->IsConnected());
    EXPECT_NE(pair.client->GetId(), old);
    EXPECT_TRUE(IsOpenDescriptor(old));
    EXPECT_EQ(pair.client->ReleaseHold(), 0);
    EXPECT_FALSE(IsOpenDescriptor(old));
    EXPECT_TRUE(IsOpenDescriptor(pair.client->GetId()));
    CommSocketPtr second(pair.server->Accept());
    EXPECT_NE(second, nullptr);
}

TEST(KEPMsgSocketTest, DeletingOpenSocketClosesItsDescriptor) {
    LoopbackPair pair = Connected();
    const int descriptor = pair.client->GetId();
    delete pair.client.release();
    EXPECT_FALSE(IsOpenDescriptor(descriptor));
}

TEST(KEPMsgSocketTest, ConnectionLostCodesAreExactlyTheDocumentedOnes) {
    for (int code = 10000; code < 11100; ++code) {
        const bool expected = (code >= 10050 && code <= 10054) || code == 10057 || code == 10058;
        EXPECT_EQ(KEPMsgSocket::IsConnectionLostError(code), expected) << code;
    }
}
