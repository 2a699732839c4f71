// The Winsock-style platform layer on either platform: resolver errors, the per-thread last error,
// descriptor sets and select.
#include "platform/KEPWinsock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/KEPTestNet.h"

// Inside the namespace, so that fd_set and select name the Winsock-style ones.
namespace kepwsa {

TEST(KEPWinsockErrorTest, ResolverFailureIsReturnedAndStoredAndLastErrorIsPerThread) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = reinterpret_cast<addrinfo*>(&hints);  // must be reset, not left dangling
    EXPECT_EQ(kepwsa::getaddrinfo("a..b", nullptr, &hints, &list), WSAHOST_NOT_FOUND);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
    // (A port above 65535 refused is the server-socket test's "70000" row.)
    ASSERT_EQ(kepwsa::getaddrinfo("127.0.0.1", "65535", &hints, &list), 0);
    kepwsa::freeaddrinfo(list);
    // Nothing but the other thread's calls come between this thread's set and get: on Windows
    // the code is the thread's system last error, which other system calls may overwrite (under
    // Wine, joining a thread does).
    std::atomic<int> step{0};
    int seenByOther = -1;
    std::thread other([&] {
        while (step.load() != 1) {
        }
        seenByOther = WSAGetLastError();
        WSASetLastError(WSAEINVAL);
        step = 2;
    });
    WSASetLastError(WSAECONNRESET);
    step = 1;
    while (step.load() != 2) {
    }
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    other.join();
    EXPECT_EQ(seenByOther, 0);
}

// Fills set with handles and waits up to limit for them to be readable.
int SelectRead(fd_set& set, std::initializer_list<int> handles, timeval limit) {
    FD_ZERO(&set);
    for (int handle : handles) {
        FD_SET(handle, &set);
    }
    return kepwsa::select(0, &set, nullptr, nullptr, &limit);
}

TEST(KEPWinsockFdSetTest,
     SetKeepsNoDuplicatesAndSelectReportsOnlyReadableHandlesAndFailsOnBadOnes) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(5, &set);
    FD_SET(5, &set);
    EXPECT_EQ(set.fd_count, 1u);
    for (int handle = 100; handle < 100 + KEP_FD_SETSIZE; ++handle) {
        FD_SET(handle, &set);
    }
    EXPECT_EQ(set.fd_count, static_cast<unsigned>(KEP_FD_SETSIZE));
    EXPECT_TRUE(FD_ISSET(5, &set));
    EXPECT_TRUE(FD_ISSET(100 + KEP_FD_SETSIZE - 2, &set));
    EXPECT_FALSE(FD_ISSET(100 + KEP_FD_SETSIZE - 1, &set));  // did not fit
    // Only handles with data or a closed peer are reported; a negative time-out is a poll, not a
    // wait for ever.
    keptest::RawPair quiet = keptest::ConnectedPair(), withData = keptest::ConnectedPair(),
                     closedPeer = keptest::ConnectedPair();
    ASSERT_TRUE(withData.remote.SendBytes("x"));
    closedPeer.remote.Close();
    EXPECT_EQ(
        SelectRead(set, {quiet.local.Fd(), withData.local.Fd(), closedPeer.local.Fd()}, {5, 0}), 2);
    EXPECT_EQ(set.fd_count, 2u);
    EXPECT_FALSE(FD_ISSET(quiet.local.Fd(), &set));
    EXPECT_TRUE(FD_ISSET(withData.local.Fd(), &set));
    EXPECT_TRUE(FD_ISSET(closedPeer.local.Fd(), &set));
    EXPECT_EQ(SelectRead(set, {quiet.local.Fd()}, {0, -20000}), 0);
    // A closed or negative handle fails with WSAENOTSOCK and leaves the set as it was.
    const int descriptor = keptest::BindLoopback(0, false).Fd();  // closed with the temporary
    for (int handle : {descriptor, -1}) {
        WSASetLastError(0);
        EXPECT_EQ(SelectRead(set, {handle}, {0, 0}), SOCKET_ERROR) << handle;
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK) << handle;
        EXPECT_EQ(set.fd_count, 1u) << handle;
    }
}

}  // namespace kepwsa
