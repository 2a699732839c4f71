// The receive wake-up and the readiness wait that watches it beside the sockets.
#include "platform/KEPWakeupSignal.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/KEPFaultInjection.h"
#include "platform/KEPWinsock.h"
#include "tests/support/KEPTestNet.h"

// Inside the namespace, so that fd_set and select name the Winsock-style ones.
namespace kepwsa {

const timeval kTenSeconds = {10, 0};

// A signal given while nobody waits ends the next wait at once; a thousand of them leave a
// single wake-up that one Clear() consumes, and Signal() works again after it.
TEST(KEPWakeupSignalTest, WakeUpIsRememberedOnceAndReportedApartFromTheSockets) {
    KEPWakeupSignal wakeup;
    ASSERT_NE(wakeup.Handle(), -1);
    for (int i = 0; i < 1000; ++i) {
        wakeup.Signal();
    }
    fd_set set;
    FD_ZERO(&set);
    bool woken = false;
    EXPECT_EQ(SelectReadOrWake(&set, &kTenSeconds, wakeup.Handle(), woken), 0);
    EXPECT_TRUE(woken);

    wakeup.Clear();
    EXPECT_FALSE(keptest::WaitReadable(wakeup.Handle(), 0)) << "signals piled up";
    wakeup.Signal();
    EXPECT_TRUE(keptest::WaitReadable(wakeup.Handle(), 0)) << "not armed again after Clear";
    // A signal from another thread ends a wait over quiet sockets; the wake-up is reported apart:
    // it is neither counted nor put in the set, while ready sockets still are.
    keptest::RawPair quietPair = keptest::ConnectedPair(), readyPair = keptest::ConnectedPair();
    const int quiet = quietPair.local.Fd(), ready = readyPair.local.Fd();
    FD_SET(quiet, &set);
    wakeup.Clear();
    std::thread signaller([&wakeup] { wakeup.Signal(); });
    EXPECT_EQ(kepwsa::SelectReadOrWake(&set, &kTenSeconds, wakeup.Handle(), woken), 0);
    signaller.join();
    EXPECT_EQ(set.fd_count, 0u);
    EXPECT_TRUE(woken);

    ASSERT_TRUE(readyPair.remote.SendBytes("x"));
    kepwsa::FD_SET(quiet, &set);
    kepwsa::FD_SET(ready, &set);
    EXPECT_EQ(kepwsa::SelectReadOrWake(&set, &kTenSeconds, wakeup.Handle(), woken), 1);
    ASSERT_EQ(set.fd_count, 1u);
    EXPECT_EQ(set.fd_array[0], ready);
    EXPECT_TRUE(woken);  // still pending: only Clear() consumes it

    wakeup.Clear();
    const timeval poll = {0, 0};
    EXPECT_EQ(kepwsa::SelectReadOrWake(&set, &poll, wakeup.Handle(), woken), 1);
    EXPECT_FALSE(woken);
}

// A pair that cannot be made leaves no descriptor and no wake-up; a failed signalling write leaves
// the next Signal() free to write, instead of the wake-up staying armed with nothing to read. A
// renewed pair replaces the old one, and the end leaves no descriptor either.
TEST(KEPWakeupSignalTest, FailedPairOrWriteLosesNoLaterWakeUpAndNoPairOutlivesItsUse) {
    const int before = keptest::OpenDescriptorCount();
    FailNthCall(PlatformCall::kWakePair, 1, WSAEMFILE);
    {
        KEPWakeupSignal none;
        EXPECT_EQ(none.Handle(), -1);
        none.Signal();
    }
    EXPECT_EQ(keptest::OpenDescriptorCount(), before);
    {
        KEPWakeupSignal wakeup;
        FailNthCall(PlatformCall::kWakePair, 1, WSAENOBUFS);
        wakeup.Signal();
        EXPECT_TRUE(FaultMet());
        EXPECT_FALSE(keptest::WaitReadable(wakeup.Handle(), 0));
        wakeup.Signal();
        EXPECT_TRUE(keptest::WaitReadable(wakeup.Handle(), 10));
        const int open = keptest::OpenDescriptorCount();
        wakeup.RenewAfterFork();
        EXPECT_EQ(keptest::OpenDescriptorCount(), open) << "the old pair was kept";
    }
    EXPECT_EQ(keptest::OpenDescriptorCount(), before) << "the pair outlived the wake-up";
}

}  // namespace kepwsa
