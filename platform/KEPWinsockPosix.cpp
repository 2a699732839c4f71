#include "platform/KEPWinsock.h"

#include "platform/KEPFaultInjection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>

namespace kepwsa {

namespace {

thread_local int t_lastError = 0;

std::atomic<int> s_startupError{0};
std::atomic<unsigned short> s_grantedVersion{0x0202};
std::atomic<void (*)(SOCKET, int)> s_sendHook{nullptr};
std::atomic<void (*)(SOCKET)> s_connectHook{nullptr};

struct ErrnoPair {
    int errnoValue;
    int winsockCode;
};

// Every errno with a Winsock twin of the same meaning.
constexpr ErrnoPair kErrnoTable[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},  // Winsock reports a closed or bogus handle as "not a socket"
    {ENOTSOCK, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
#if EWOULDBLOCK != EAGAIN
    {EWOULDBLOCK, WSAEWOULDBLOCK},
#endif
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
#if ENOTSUP != EOPNOTSUPP
    {ENOTSUP, WSAEOPNOTSUPP},
#endif
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {EPIPE, WSAESHUTDOWN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

// Fails the calling operation with the Winsock twin of errnoValue.
int FailWithErrno(int errnoValue) {
    t_lastError = ErrnoToWinsock(errnoValue);
    return SOCKET_ERROR;
}

int FailWith(int winsockCode) {
    t_lastError = winsockCode;
    return SOCKET_ERROR;
}

// Milliseconds for poll from a Winsock time-out; null waits without limit, negative polls.
int TimeoutToMilliseconds(const timeval* timeout) {
    if (timeout == nullptr) {
        return -1;
    }
    if (timeout->tv_sec < 0 || (timeout->tv_sec == 0 && timeout->tv_usec <= 0)) {
        return 0;
    }
    const long long usec = timeout->tv_usec < 0 ? 0 : timeout->tv_usec;
    // Round microseconds up so that a short wait does not become a busy poll.
    const long long ms = static_cast<long long>(timeout->tv_sec) * 1000 + (usec + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Index of handle in fds[0..count), or count.
std::size_t FindPollEntry(const pollfd* fds, std::size_t count, SOCKET handle) {
    for (std::size_t i = 0; i < count; ++i) {
        if (fds[i].fd == handle) {
            return i;
        }
    }
    return count;
}

// Adds the handles of set to fds with the events asked for; false for a negative handle.
bool AddSet(const fd_set* set, short events, pollfd* fds, std::size_t& count) {
    if (set == nullptr) {
        return true;
    }
    const unsigned int n = set->fd_count > KEP_FD_SETSIZE ? KEP_FD_SETSIZE : set->fd_count;
    for (unsigned int i = 0; i < n; ++i) {
        const SOCKET handle = set->fd_array[i];
        if (handle < 0) {
            return false;
        }
        const std::size_t at = FindPollEntry(fds, count, handle);
        if (at == count) {
            fds[count].fd = handle;
            fds[count].events = 0;
            fds[count].revents = 0;
            ++count;
        }
        fds[at].events = static_cast<short>(fds[at].events | events);
    }
    return true;
}

// Keeps in set only the handles whose poll result has one of the ready bits; returns how many.
int KeepReady(fd_set* set, short readyBits, const pollfd* fds, std::size_t count) {
    if (set == nullptr) {
        return 0;
    }
    const unsigned int n = set->fd_count > KEP_FD_SETSIZE ? KEP_FD_SETSIZE : set->fd_count;
    unsigned int kept = 0;
    for (unsigned int i = 0; i < n; ++i) {
        const SOCKET handle = set->fd_array[i];
        const std::size_t at = FindPollEntry(fds, count, handle);
        if (at < count && (fds[at].revents & readyBits) != 0) {
            set->fd_array[kept++] = handle;
        }
    }
    set->fd_count = kept;
    return static_cast<int>(kept);
}

}  // namespace

int WSAStartup(unsigned short /*versionRequested*/, WSADATA* data) {
    if (data != nullptr) {
        data->wVersion = s_grantedVersion.load();
        data->wHighVersion = 0x0202;
    }
    return s_startupError.load();
}

int WSACleanup() {
    return 0;
}

void SetStartupResultForTesting(int errorCode, unsigned short grantedVersion) {
    s_startupError.store(errorCode);
    s_grantedVersion.store(grantedVersion);
}

void SetSendHookForTesting(void (*hook)(SOCKET s, int length)) {
    s_sendHook.store(hook);
}

void SetConnectHookForTesting(void (*hook)(SOCKET s)) {
    s_connectHook.store(hook);
}

int WSAGetLastError() {
    return t_lastError;
}

void WSASetLastError(int code) {
    t_lastError = code;
}

int ErrnoToWinsock(int errnoValue) {
    if (errnoValue == 0) {
        return 0;
    }
    for (const ErrnoPair& pair : kErrnoTable) {
        if (pair.errnoValue == errnoValue) {
            return pair.winsockCode;
        }
    }
    return WSA_UNMAPPED_ERROR;
}

int ResolverErrorToWinsock(int gaiResult) {
    switch (gaiResult) {
        case 0:
            return 0;
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_FAIL:
            return WSANO_RECOVERY;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:  // the host has no address of the family asked for
            return WSANO_DATA;
#endif
        case EAI_FAMILY:
            return WSAEAFNOSUPPORT;
        case EAI_SOCKTYPE:
            return WSAESOCKTNOSUPPORT;
        case EAI_SERVICE:
            return WSATYPE_NOT_FOUND;
        case EAI_BADFLAGS:
            return WSAEINVAL;
        case EAI_MEMORY:
            return WSAENOBUFS;
        case EAI_SYSTEM: {
            const int code = ErrnoToWinsock(errno);
            return code == 0 ? WSANO_RECOVERY : code;
        }
        default:
            return WSANO_RECOVERY;
    }
}

SOCKET socket(int family, int type, int protocol) {
    if (FaultInjected(PlatformCall::kSocket)) {
        return INVALID_SOCKET;
    }
    // Close-on-exec: a child process must not keep the module's connections alive.
    const int handle = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (handle < 0) {
        FailWithErrno(errno);
        return INVALID_SOCKET;
    }
    return handle;
}

int bind(SOCKET s, const sockaddr* address, socklen_t length) {
    if (FaultInjected(PlatformCall::kBind)) {
        return SOCKET_ERROR;
    }
    if (::bind(s, address, length) != 0) {
        return FailWithErrno(errno);
    }
    return 0;
}

int listen(SOCKET s, int backlog) {
    if (FaultInjected(PlatformCall::kListen)) {
        return SOCKET_ERROR;
    }
    if (::listen(s, backlog) != 0) {
        return FailWithErrno(errno);
    }
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* address, socklen_t* length) {
    if (FaultInjected(PlatformCall::kAccept)) {
        return INVALID_SOCKET;
    }
    for (;;) {
        const int handle = ::accept4(s, address, length, SOCK_CLOEXEC);
        if (handle >= 0) {
            return handle;
        }
        if (errno != EINTR) {
            FailWithErrno(errno);
            return INVALID_SOCKET;
        }
    }
}

int connect(SOCKET s, const sockaddr* address, socklen_t length) {
    if (void (*hook)(SOCKET) = s_connectHook.load()) {
        hook(s);
    }
    if (FaultInjected(PlatformCall::kConnect)) {
        return SOCKET_ERROR;
    }
    if (::connect(s, address, length) == 0) {
        return 0;
    }
    if (errno != EINTR) {
        return FailWithErrno(errno);
    }
    // An interrupted connect goes on in the background; calling connect again would report
    // EALREADY, so wait for it to finish and read its outcome.
    for (;;) {
        pollfd entry{s, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithErrno(errno);
        }
        int pending = 0;
        socklen_t size = sizeof(pending);
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
            return FailWithErrno(errno);
        }
        return pending == 0 ? 0 : FailWithErrno(pending);
    }
}

int send(SOCKET s, const char* buffer, int length, int flags) {
    if (void (*hook)(SOCKET, int) = s_sendHook.load()) {
        hook(s, length);
    }
    if (FaultInjected(PlatformCall::kSend, &length)) {
        return SOCKET_ERROR;
    }
    if (CheckTransferBuffer(buffer, length) != 0) {
        return SOCKET_ERROR;
    }
    for (;;) {
        const ssize_t sent =
            ::send(s, buffer, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<int>(sent);
        }
        if (errno != EINTR) {
            return FailWithErrno(errno);
        }
    }
}

int recv(SOCKET s, char* buffer, int length, int flags) {
    if (FaultInjected(PlatformCall::kRecv, &length)) {
        return SOCKET_ERROR;
    }
    if (CheckTransferBuffer(buffer, length) != 0) {
        return SOCKET_ERROR;
    }
    for (;;) {
        const ssize_t received = ::recv(s, buffer, static_cast<std::size_t>(length), flags);
        if (received >= 0) {
            return static_cast<int>(received);
        }
        if (errno != EINTR) {
            return FailWithErrno(errno);
        }
    }
}

int shutdown(SOCKET s, int how) {
    int posixHow = SHUT_RDWR;
    if (how == SD_RECEIVE) {
        posixHow = SHUT_RD;
    } else if (how == SD_SEND) {
        posixHow = SHUT_WR;
    } else if (how != SD_BOTH) {
        return FailWith(WSAEINVAL);
    }
    if (::shutdown(s, posixHow) != 0) {
        return FailWithErrno(errno);
    }
    return 0;
}

int closesocket(SOCKET s) {
    // Never retried: on Linux the descriptor is released even when close reports EINTR, and a
    // second close could hit a descriptor that another thread has opened meanwhile.
    if (::close(s) != 0 && errno != EINTR) {
        return FailWithErrno(errno);
    }
    return 0;
}

int setsockopt(SOCKET s, int level, int option, const void* value, socklen_t length) {
    if (FaultInjected(PlatformCall::kSetSockOpt)) {
        return SOCKET_ERROR;
    }
    if (::setsockopt(s, level, option, value, length) != 0) {
        return FailWithErrno(errno);
    }
    return 0;
}

int SetNoDelay(SOCKET s) {
    const int on = 1;
    return kepwsa::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

int SetKeepAlive(SOCKET s) {
    const int on = 1;
    return kepwsa::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
}

int SetKeepAliveTimes(SOCKET s, int idleSeconds, int intervalSeconds, int count) {
    if (SetKeepAlive(s) != 0 ||
        kepwsa::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof(idleSeconds)) != 0 ||
        kepwsa::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds,
                           sizeof(intervalSeconds)) != 0 ||
        kepwsa::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count)) != 0) {
        return SOCKET_ERROR;
    }
    // Keep-alive probes only run while nothing is unacknowledged; the same bound on
    // unacknowledged data makes a peer that vanishes while data is in flight noticed in time too.
    const unsigned int userTimeoutMs =
        static_cast<unsigned int>(idleSeconds + intervalSeconds * count) * 1000u;
    return kepwsa::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs,
                              sizeof(userTimeoutMs));
}

int SetLinger(SOCKET s, bool on, int seconds) {
    const linger value{on ? 1 : 0, seconds};
    return kepwsa::setsockopt(s, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
}

bool LingersOnClose(SOCKET s) {
    linger current{};
    socklen_t length = sizeof(current);
    return ::getsockopt(s, SOL_SOCKET, SO_LINGER, &current, &length) == 0 && current.l_onoff != 0 &&
           current.l_linger > 0;
}

int SetSendBufferBytes(SOCKET s, int bytes) {
    return kepwsa::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
}

int SetIoTimeout(SOCKET s, int milliseconds) {
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    if (kepwsa::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0) {
        return SOCKET_ERROR;
    }
    return kepwsa::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

int SetExclusiveAddress(SOCKET s) {
    // Linux already refuses a second bind to a port in use by any socket. SO_REUSEADDR only lets
    // this socket bind over connections of an earlier listener on the port that are closing or
    // wait out TIME_WAIT; a listening socket, or any socket bound without the option, still keeps
    // it off. (SO_REUSEPORT would let two listeners share the port.)
    const int on = 1;
    return kepwsa::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

int SetNonBlocking(SOCKET s, bool on) {
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) {
        return FailWithErrno(errno);
    }
    const int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    if (wanted != flags && ::fcntl(s, F_SETFL, wanted) != 0) {
        return FailWithErrno(errno);
    }
    return 0;
}

bool AwaitConnect(SOCKET s, int timeoutMs, int& code) {
    pollfd entry{s, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, timeoutMs);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        return false;
    }
    if (ready < 0) {
        code = ErrnoToWinsock(errno);
        return true;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    code = ErrnoToWinsock(error);
    return true;
}

int OpenLocalPair(SOCKET ends[2]) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
        return FailWithErrno(errno);
    }
    return 0;
}

bool WriteWakeByte(SOCKET s) {
    const char byte = 1;
    ssize_t sent = 0;
    while ((sent = ::send(s, &byte, 1, MSG_NOSIGNAL)) == -1 && errno == EINTR) {
    }
    return sent == 1 || errno == EAGAIN || errno == EWOULDBLOCK;
}

void DrainWakeBytes(SOCKET s) {
    char bytes[64];
    for (;;) {
        const ssize_t count = ::recv(s, bytes, sizeof bytes, 0);
        if (count != static_cast<ssize_t>(sizeof bytes) && !(count == -1 && errno == EINTR)) {
            return;
        }
    }
}

int getsockname(SOCKET s, sockaddr* address, socklen_t* length) {
    if (FaultInjected(PlatformCall::kGetSockName)) {
        return SOCKET_ERROR;
    }
    if (::getsockname(s, address, length) != 0) {
        return FailWithErrno(errno);
    }
    return 0;
}

int getpeername(SOCKET s, sockaddr* address, socklen_t* length) {
    if (FaultInjected(PlatformCall::kGetPeerName)) {
        return SOCKET_ERROR;
    }
    if (::getpeername(s, address, length) != 0) {
        return FailWithErrno(errno);
    }
    return 0;
}

int getaddrinfo(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
    if (result == nullptr) {
        t_lastError = WSAEFAULT;
        return WSAEFAULT;
    }
    *result = nullptr;
    if (FaultInjected(PlatformCall::kGetAddrInfo)) {
        return WSAGetLastError();
    }
    if (IsNumericServiceOutOfRange(service)) {
        t_lastError = WSATYPE_NOT_FOUND;
        return WSATYPE_NOT_FOUND;
    }
    const int status = ::getaddrinfo(host, service, hints, result);
    if (status == 0) {
        if (*result == nullptr) {
            t_lastError = WSANO_DATA;
            return WSANO_DATA;
        }
        return 0;
    }
    *result = nullptr;
    const int code = ResolverErrorToWinsock(status);
    t_lastError = code;
    return code;
}

void freeaddrinfo(addrinfo* result) {
    if (result != nullptr) {
        ::freeaddrinfo(result);
    }
}

namespace {

// The poll behind both waits: the handles of the three sets, then wakeHandle when it is not -1.
int PollSets(fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, const timeval* timeout,
             int wakeHandle, bool& woken) {
    woken = false;
    if (FaultInjected(PlatformCall::kWait)) {
        return SOCKET_ERROR;
    }
    pollfd fds[3 * KEP_FD_SETSIZE + 1];
    std::size_t count = 0;
    if (!AddSet(readSet, POLLIN, fds, count) || !AddSet(writeSet, POLLOUT, fds, count) ||
        !AddSet(exceptSet, POLLPRI, fds, count)) {
        return FailWith(WSAENOTSOCK);
    }
    const std::size_t socketCount = count;
    if (wakeHandle != -1) {
        fds[count++] = pollfd{wakeHandle, POLLIN, 0};
    }

    using Clock = std::chrono::steady_clock;
    const int totalMs = TimeoutToMilliseconds(timeout);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    int waitMs = totalMs;
    int ready = 0;
    for (;;) {
        ready = ::poll(fds, static_cast<nfds_t>(count), waitMs);
        if (ready >= 0) {
            break;
        }
        if (errno != EINTR) {
            return FailWithErrno(errno);
        }
        if (totalMs > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }

    for (std::size_t i = 0; i < socketCount; ++i) {
        if ((fds[i].revents & POLLNVAL) != 0) {
            return FailWith(WSAENOTSOCK);
        }
    }
    if (socketCount < count) {
        woken = (fds[socketCount].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        ready -= fds[socketCount].revents != 0 ? 1 : 0;
    }
    if (ready == 0) {
        FD_ZERO(readSet);
        FD_ZERO(writeSet);
        FD_ZERO(exceptSet);
        return 0;
    }
    // End of stream and errors count as readable, as on Winsock: the next recv reports them.
    int total = KeepReady(readSet, POLLIN | POLLHUP | POLLERR, fds, socketCount);
    total += KeepReady(writeSet, POLLOUT | POLLHUP | POLLERR, fds, socketCount);
    total += KeepReady(exceptSet, POLLPRI, fds, socketCount);
    return total;
}

}  // namespace

int select(int /*nfds*/, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
           const timeval* timeout) {
    bool woken = false;
    return PollSets(readSet, writeSet, exceptSet, timeout, -1, woken);
}

int SelectReadOrWake(fd_set* readSet, const timeval* timeout, int wakeHandle, bool& woken) {
    return PollSets(readSet, nullptr, nullptr, timeout, wakeHandle, woken);
}

}  // namespace kepwsa
