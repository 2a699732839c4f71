// The Winsock-style platform layer: error codes, sends and receives, descriptor sets, select, the
// receive wake-up with the readiness wait that watches it beside the sockets, and injected faults.
#include "platform/KEPWinsock.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/KEPFaultInjection.h"
#include "platform/KEPWakeupSignal.h"
#include "tests/support/KEPTestNet.h"

namespace {

// A connected pair of stream sockets, closed at the end of the scope.
struct SocketPair {
    SocketPair() {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        local = keptest::RawSocket(ends[0]);
        remote = keptest::RawSocket(ends[1]);
    }
    keptest::RawSocket local;
    keptest::RawSocket remote;
};

std::atomic<int> s_signals{0};
void CountSignal(int) {
    ++s_signals;
}

}  // namespace

// Inside the namespace, so that fd_set and select name the Winsock-style ones.
namespace kepwsa {

TEST(KEPWinsockErrorTest, EveryErrnoMapsToItsWinsockTwin) {
    const struct {
        int errnoValue;
        int code;
    } pairs[] = {
        {ECONNRESET, 10054},   {ECONNREFUSED, 10061},    {EADDRINUSE, 10048},
        {ENOTCONN, 10057},     {EPIPE, 10058},           {ESHUTDOWN, 10058},
        {ETIMEDOUT, 10060},    {EHOSTUNREACH, 10065},    {ENETUNREACH, 10051},
        {ENETDOWN, 10050},     {ECONNABORTED, 10053},    {EBADF, 10038},
        {ENOTSOCK, 10038},     {EINVAL, 10022},          {EMFILE, 10024},
        {EAGAIN, 10035},       {EWOULDBLOCK, 10035},     {EINTR, 10004},
        {EACCES, 10013},       {EADDRNOTAVAIL, 10049},   {EAFNOSUPPORT, 10047},
        {EFAULT, 10014},       {EINPROGRESS, 10036},     {EALREADY, 10037},
        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
        {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
        {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {ENOBUFS, 10055},
        {EISCONN, 10056},      {EHOSTDOWN, 10064},       {ENETRESET, 10052},
    };
    for (const auto& pair : pairs) {
        EXPECT_EQ(ErrnoToWinsock(pair.errnoValue), pair.code) << "errno " << pair.errnoValue;
    }
    EXPECT_EQ(ErrnoToWinsock(0), 0);
    EXPECT_EQ(ErrnoToWinsock(ENOENT), WSA_UNMAPPED_ERROR);
}

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
    WSASetLastError(WSAECONNRESET);
    int seenByOther = -1;
    std::thread other([&] {
        seenByOther = WSAGetLastError();
        WSASetLastError(WSAEINVAL);
    });
    other.join();
    EXPECT_EQ(seenByOther, 0);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST(KEPWinsockSendTest, SendToClosedPeerFailsWithoutSignal) {
    ::signal(SIGPIPE, SIG_DFL);  // without MSG_NOSIGNAL the test program would die here
    SocketPair pair;
    pair.remote.Close();
    EXPECT_EQ(kepwsa::send(pair.local.Fd(), "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
}

// Signals interrupt a blocked recv, which is retried, and the wait for a connect that a
// listener with a full accept queue leaves unanswered, which ends unfinished, not failed.
TEST(KEPWinsockSendTest, InterruptedRecvIsRetriedAndInterruptedConnectWaitIsNoFailure) {
    if (keptest::kUnderThreadSanitizer) {
        GTEST_SKIP() << "ThreadSanitizer defers signals, so none may interrupt the blocked calls";
    }
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = CountSignal;  // no SA_RESTART: the calls really see EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    // Signals thread (counted by the handler) until done or 20 were sent.
    const auto interrupt = [](std::thread& thread, const std::atomic<bool>& done) {
        s_signals = 0;
        for (int sent = 0; sent < 20 && !done.load(); ++sent) {
            ::pthread_kill(thread.native_handle(), SIGUSR1);
            keptest::WaitUntil([&] { return s_signals.load() > sent; });
        }
    };
    SocketPair pair;
    std::atomic<bool> done{false};
    std::atomic<int> received{0}, error{0};
    std::thread reader([&] {
        char buffer[4];
        received = kepwsa::recv(pair.local.Fd(), buffer, sizeof(buffer), 0);
        error = WSAGetLastError();
    });
    interrupt(reader, done);
    ASSERT_EQ(::write(pair.remote.Fd(), "ok", 2), 2);
    reader.join();
    EXPECT_EQ(received.load(), 2) << "error " << error.load();

    keptest::RawSocket listener = keptest::BindLoopback(0, false);
    ASSERT_EQ(::listen(listener.Fd(), 0), 0);
    keptest::RawSocket queued = keptest::RawConnect(keptest::LocalPort(listener.Fd()));
    keptest::RawSocket dialer(kepwsa::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener.Fd(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(SetNonBlocking(dialer.Fd(), true), 0);
    ASSERT_NE(kepwsa::connect(dialer.Fd(), reinterpret_cast<sockaddr*>(&address), length), 0);
    std::atomic<bool> finished{false};
    int code = 0;
    std::thread waiter([&] {
        finished = AwaitConnect(dialer.Fd(), 10000, code);
        done = true;
    });
    interrupt(waiter, done);
    waiter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_FALSE(finished.load()) << "code " << code;
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
    SocketPair quiet, withData, closedPeer;
    ASSERT_EQ(::write(withData.remote.Fd(), "x", 1), 1);
    closedPeer.remote.Close();
    EXPECT_EQ(
        SelectRead(set, {quiet.local.Fd(), withData.local.Fd(), closedPeer.local.Fd()}, {5, 0}), 2);
    EXPECT_EQ(set.fd_count, 2u);
    EXPECT_FALSE(FD_ISSET(quiet.local.Fd(), &set));
    EXPECT_TRUE(FD_ISSET(withData.local.Fd(), &set));
    EXPECT_TRUE(FD_ISSET(closedPeer.local.Fd(), &set));
    EXPECT_EQ(SelectRead(set, {quiet.local.Fd()}, {0, -20000}), 0);
    // A closed or negative handle fails with WSAENOTSOCK and leaves the set as it was.
    const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
    ::close(descriptor);
    for (int handle : {descriptor, -1}) {
        WSASetLastError(0);
        EXPECT_EQ(SelectRead(set, {handle}, {0, 0}), SOCKET_ERROR) << handle;
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK) << handle;
        EXPECT_EQ(set.fd_count, 1u) << handle;
    }
}

TEST(KEPWinsockSelectTest, WaitsOnDescriptorNumberedAbove1023) {
    constexpr int kHighNumber = 1500;
    if (keptest::RaiseDescriptorLimit(kHighNumber + 1) <= kHighNumber) {
        GTEST_SKIP() << "descriptor limit too low to open number " << kHighNumber;
    }
    SocketPair pair;
    ASSERT_EQ(::dup2(pair.local.Fd(), kHighNumber), kHighNumber);
    keptest::RawSocket high(kHighNumber);
    ASSERT_EQ(::write(pair.remote.Fd(), "x", 1), 1);
    fd_set set;
    EXPECT_EQ(SelectRead(set, {kHighNumber}, {5, 0}), 1);
    EXPECT_TRUE(FD_ISSET(kHighNumber, &set));
}

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
    SocketPair quietPair, readyPair;
    const int quiet = quietPair.local.Fd(), ready = readyPair.local.Fd();
    FD_SET(quiet, &set);
    wakeup.Clear();
    std::thread signaller([&wakeup] { wakeup.Signal(); });
    EXPECT_EQ(kepwsa::SelectReadOrWake(&set, &kTenSeconds, wakeup.Handle(), woken), 0);
    signaller.join();
    EXPECT_EQ(set.fd_count, 0u);
    EXPECT_TRUE(woken);

    ASSERT_EQ(::write(readyPair.remote.Fd(), "x", 1), 1);
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

// The nth call of the chosen kind fails once, with the chosen code; calls of other kinds do not
// count. A short count moves fewer bytes and loses none.
TEST(KEPFaultInjectionTest, NthCallOfItsKindFailsOnceOrMovesFewerBytes) {
    SocketPair pair;
    const int local = pair.local.Fd(), remote = pair.remote.Fd();
    char got[8] = {};
    FailNthCall(PlatformCall::kSend, 2, WSAENOBUFS);
    EXPECT_EQ(send(local, "a", 1, 0), 1);
    EXPECT_EQ(recv(remote, got, 8, 0), 1);
    EXPECT_FALSE(FaultMet());
    EXPECT_EQ(send(local, "b", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOBUFS);
    PlatformCall fired = PlatformCall::kAny;
    EXPECT_TRUE(FaultMet(&fired));
    EXPECT_EQ(fired, PlatformCall::kSend);
    EXPECT_EQ(send(local, "hello", 5, 0), 5);

    ShortenNthCall(PlatformCall::kRecv, 1, 2);
    EXPECT_EQ(recv(remote, got, 8, 0), 2);
    EXPECT_EQ(recv(remote, got + 2, 6, 0), 3);
    EXPECT_EQ(std::string(got, 5), "hello");
}

// A pair that cannot be made leaves no descriptor and no wake-up; a failed signalling write leaves
// the next Signal() free to write, instead of the wake-up staying armed with nothing to read. The
// write fails for a pair without its reading end, not for a full one (a byte waits there). A
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
    SOCKET ends[2];
    ASSERT_EQ(OpenLocalPair(ends), 0);
    keptest::RawSocket reading(ends[0]), writing(ends[1]);
    while (::send(writing.Fd(), "x", 1, MSG_DONTWAIT) == 1) {
    }
    EXPECT_TRUE(WriteWakeByte(writing.Fd())) << "a full pair has a byte waiting";
    reading.Close();
    EXPECT_FALSE(WriteWakeByte(writing.Fd())) << "the pair has no reading end";
}

}  // namespace kepwsa
