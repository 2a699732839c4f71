// The POSIX layer's own contract: errno values mapped to their Winsock twins, no SIGPIPE, calls
// interrupted by a signal retried, and descriptors numbered above 1023 waited on. (Windows gives
// these from Winsock itself.)
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/KEPWinsock.h"
#include "tests/support/KEPTestNet.h"

namespace {

// A connected pair of local stream sockets: a send to a closed peer fails at once.
keptest::RawPair LocalPair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    return {keptest::RawSocket(ends[0]), keptest::RawSocket(ends[1])};
}

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

// Sends to a closed peer fail without a signal; the wake-up pair's write fails for a pair without
// its reading end, not for a full one (a byte waits there already).
TEST(KEPWinsockSendTest, SendToClosedPeerFailsWithoutSignal) {
    ::signal(SIGPIPE, SIG_DFL);  // without MSG_NOSIGNAL the test program would die here
    keptest::RawPair pair = LocalPair();
    pair.remote.Close();
    EXPECT_EQ(kepwsa::send(pair.local.Fd(), "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);

    SOCKET ends[2];
    ASSERT_EQ(OpenLocalPair(ends), 0);
    keptest::RawSocket reading(ends[0]), writing(ends[1]);
    while (::send(writing.Fd(), "x", 1, MSG_DONTWAIT) == 1) {
    }
    EXPECT_TRUE(WriteWakeByte(writing.Fd())) << "a full pair has a byte waiting";
    reading.Close();
    EXPECT_FALSE(WriteWakeByte(writing.Fd())) << "the pair has no reading end";
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
    keptest::RawPair pair = LocalPair();
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

TEST(KEPWinsockSelectTest, WaitsOnDescriptorNumberedAbove1023) {
    constexpr int kHighNumber = 1500;
    if (keptest::RaiseDescriptorLimit(kHighNumber + 1) <= kHighNumber) {
        GTEST_SKIP() << "descriptor limit too low to open number " << kHighNumber;
    }
    keptest::RawPair pair = LocalPair();
    ASSERT_EQ(::dup2(pair.local.Fd(), kHighNumber), kHighNumber);
    keptest::RawSocket high(kHighNumber);
    ASSERT_EQ(::write(pair.remote.Fd(), "x", 1), 1);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(kHighNumber, &set);
    const timeval limit = {5, 0};
    EXPECT_EQ(kepwsa::select(0, &set, nullptr, nullptr, &limit), 1);
    EXPECT_TRUE(FD_ISSET(kHighNumber, &set));
}

}  // namespace kepwsa
