// The receive wake-up and the readiness wait that watches it beside the sockets.
#include "platform/KEPWakeupSignal.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/KEPWinsock.h"
#include "tests/support/KEPTestNet.h"

namespace {

const timeval kTenSeconds = {10, 0};

// A signal given while nobody waits ends the next wait at once; a thousand of them leave a
// single wake-up that one Clear() consumes, and Signal() works again after it.
TEST(KEPWakeupSignalTest, SignalsWithoutAWaiterAreRememberedOnceNotPiledUp) {
    KEPWakeupSignal wakeup;
    ASSERT_NE(wakeup.Handle(), -1);
    for (int i = 0; i < 1000; ++i) {
        wakeup.Signal();
    }
    kepwsa::fd_set none;
    kepwsa::FD_ZERO(&none);
    bool woken = false;
    EXPECT_EQ(kepwsa::SelectReadOrWake(&none, &kTenSeconds, wakeup.Handle(), woken), 0);
    EXPECT_TRUE(woken);

    wakeup.Clear();
    EXPECT_FALSE(keptest::WaitReadable(wakeup.Handle(), 0)) << "signals piled up";
    wakeup.Signal();
    EXPECT_TRUE(keptest::WaitReadable(wakeup.Handle(), 0)) << "not armed again after Clear";
}

// A signal from another thread ends a wait over quiet sockets; the wake-up is reported apart:
// it is neither counted nor put in the set, while ready sockets still are.
TEST(KEPWakeupSignalTest, WakeUpEndsTheWaitAndIsReportedApartFromTheSockets) {
    KEPWakeupSignal wakeup;
    int quiet[2] = {-1, -1}, ready[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, quiet), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ready), 0);
    const keptest::RawSocket ends[] = {keptest::RawSocket(quiet[0]), keptest::RawSocket(quiet[1]),
                                       keptest::RawSocket(ready[0]), keptest::RawSocket(ready[1])};
    kepwsa::fd_set set;
    kepwsa::FD_ZERO(&set);
    kepwsa::FD_SET(quiet[0], &set);
    bool woken = false;
    std::thread signaller([&wakeup] { wakeup.Signal(); });
    EXPECT_EQ(kepwsa::SelectReadOrWake(&set, &kTenSeconds, wakeup.Handle(), woken), 0);
    signaller.join();
    EXPECT_EQ(set.fd_count, 0u);
    EXPECT_TRUE(woken);

    ASSERT_EQ(::write(ready[1], "x", 1), 1);
    kepwsa::FD_SET(quiet[0], &set);
    kepwsa::FD_SET(ready[0], &set);
    EXPECT_EQ(kepwsa::SelectReadOrWake(&set, &kTenSeconds, wakeup.Handle(), woken), 1);
    ASSERT_EQ(set.fd_count, 1u);
    EXPECT_EQ(set.fd_array[0], ready[0]);
    EXPECT_TRUE(woken);  // still pending: only Clear() consumes it

    wakeup.Clear();
    const timeval poll = {0, 0};
    EXPECT_EQ(kepwsa::SelectReadOrWake(&set, &poll, wakeup.Handle(), woken), 1);
    EXPECT_FALSE(woken);
}

}  // namespace
