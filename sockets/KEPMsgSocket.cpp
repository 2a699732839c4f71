#include "sockets/KEPMsgSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "frame/KEPMsgWinsockStartup.h"
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgKeepAlive.h"

namespace {

constexpr const char* kLoopbackIpv6 = "::1";
constexpr int kLingerSeconds = 5;

// The family a listening socket binds with: read at every bind; IPv6 wins when both are set.
int ForcedFamily() {
    if (std::getenv("ORV_FORCE_IPV6") != nullptr) {
        return AF_INET6;
    }
    if (std::getenv("ORV_FORCE_IPV4") != nullptr) {
        return AF_INET;
    }
    return AF_UNSPEC;
}

// Closes a descriptor without waiting for its peer. A lingering close (SO_LINGER on, 5 s) blocks
// until the peer has acknowledged the end of the stream, which costs a delayed acknowledgement
// (about 40 ms on loopback) and up to 5 s with a stalled peer, and the closer usually holds
// the connection-services mutex and more. The orderly end is unaffected: the shutdown already
// queued the FIN behind the unsent data, and the system completes it after the close. An
// abortive setting (linger time 0, set for a stalled peer) is kept.
int CloseWithoutWaiting(int descriptor) {
    linger current{};
    socklen_t length = sizeof(current);
    if (::getsockopt(descriptor, SOL_SOCKET, SO_LINGER, &current, &length) == 0 &&
        current.l_onoff != 0 && current.l_linger > 0) {
        const linger noWait{0, 0};
        kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &noWait, sizeof(noWait));
    }
    return kepwsa::closesocket(descriptor);
}

}  // namespace

std::atomic<int> KEPMsgSocket::s_ioTimeoutMs{30000};
std::atomic<int> KEPMsgSocket::s_sendBufferBytes{kDefaultSendBufferBytes};
std::atomic<std::uint64_t> KEPMsgSocket::s_nextSerial{1};

KEPMsgSocket::KEPMsgSocket()
    : m_address(KEPMsgInetAddress(), 0),
      m_handle(-1),
      m_errorCode(0),
      m_closed(true),
      m_serial(0),
      m_holdCount(0),
      m_descriptorOpen(false) {
    Startup();
}

KEPMsgSocket::~KEPMsgSocket() {
    // No other thread can reach a socket that is being destroyed: no lock needed.
    if (m_descriptorOpen) {
        CloseWithoutWaiting(m_handle.load());
        m_descriptorOpen = false;
    }
    for (int descriptor : m_pending) {
        CloseWithoutWaiting(descriptor);
    }
}

int KEPMsgSocket::GetErrorCode() const {
    return m_errorCode.load();
}

void KEPMsgSocket::SetErrorCode(int code) {
    m_errorCode.store(code);
}

KEPMsgSocketAddress KEPMsgSocket::GetAddress() const {
    return m_address;
}

void KEPMsgSocket::Close() {
    if (m_closed.exchange(true)) {
        return;
    }
    ReleaseDescriptor();
}

void KEPMsgSocket::AdoptDescriptor(int descriptor) {
    ReleaseDescriptor();
    std::lock_guard<std::mutex> guard(m_stateMutex);
    m_handle.store(descriptor);
    m_descriptorOpen = descriptor != kepwsa::INVALID_SOCKET;
    m_serial.store(s_nextSerial.fetch_add(1));
}

void KEPMsgSocket::ReleaseDescriptor() {
    int descriptor = kepwsa::INVALID_SOCKET;
    {
        std::lock_guard<std::mutex> guard(m_stateMutex);
        if (!m_descriptorOpen) {
            return;
        }
        m_descriptorOpen = false;
        descriptor = m_handle.load();
        if (m_holdCount.load(std::memory_order_acquire) > 0) {
            // Keep the number taken while it is held, but end the connection now: the peer
            // sees the end and a holder blocked in recv or send returns.
            m_pending.push_back(descriptor);
            kepwsa::shutdown(descriptor, kepwsa::SD_BOTH);
            return;
        }
    }
    // Outside the lock, although the close no longer waits for the peer.
    if (CloseWithoutWaiting(descriptor) != 0) {
        SetErrorCode(kepwsa::WSAGetLastError());
    }
}

int KEPMsgSocket::ShutdownDescriptor(int how) {
    std::lock_guard<std::mutex> guard(m_stateMutex);
    const int descriptor = m_handle.load();
    if (!m_descriptorOpen || descriptor == kepwsa::INVALID_SOCKET) {
        return kNoDescriptor;
    }
    if (kepwsa::shutdown(descriptor, how) == 0) {
        return 0;
    }
    return kepwsa::WSAGetLastError();
}

// Holds change without the state mutex; only the release that drops the last hold takes it, to
// close what ReleaseDescriptor deferred. That is enough: ReleaseDescriptor reads the count under
// the mutex, and a release that reaches zero takes the mutex afterwards, so either
// ReleaseDescriptor sees zero and closes at once, or the last release finds the deferred close.
// A hold is only ever added while another one is held (the connection table keeps one on every
// socket it holds and leases are taken under its mutex), so no hold appears once the count has
// reached zero.
void KEPMsgSocket::AcquireHold() {
    m_holdCount.fetch_add(1, std::memory_order_acq_rel);
}

int KEPMsgSocket::ReleaseHold() {
    int held = m_holdCount.load(std::memory_order_acquire);
    do {
        if (held == 0) {
            return 0;
        }
    } while (!m_holdCount.compare_exchange_weak(held, held - 1, std::memory_order_acq_rel,
                                                std::memory_order_acquire));
    const int left = held - 1;
    if (left != 0) {
        return left;
    }
    KEPBasVector<int> toClose;
    {
        std::lock_guard<std::mutex> guard(m_stateMutex);
        toClose.swap(m_pending);
    }
    for (int descriptor : toClose) {
        if (CloseWithoutWaiting(descriptor) != 0) {
            SetErrorCode(kepwsa::WSAGetLastError());
        }
    }
    return left;
}

bool KEPMsgSocket::ReleaseHoldIfNotLast() {
    int held = m_holdCount.load(std::memory_order_acquire);
    do {
        if (held <= 1) {
            return false;
        }
    } while (!m_holdCount.compare_exchange_weak(held, held - 1, std::memory_order_acq_rel,
                                                std::memory_order_acquire));
    return true;
}

void KEPMsgSocket::CloseAfterFork() {
    // The child has only the forking thread; a copy of the state lock taken by another thread of
    // the parent would stay taken, so it is made afresh.
    new (&m_stateMutex) std::mutex();
    m_closed.store(true);
    if (m_descriptorOpen) {
        kepwsa::closesocket(m_handle.load());
        m_descriptorOpen = false;
    }
    for (int descriptor : m_pending) {
        kepwsa::closesocket(descriptor);
    }
    m_pending.Clear();
}

int KEPMsgSocket::HoldCount() const {
    return m_holdCount.load(std::memory_order_acquire);
}

bool KEPMsgSocket::IsConnectionLostError(int code) {
    return (code >= kepwsa::WSAENETDOWN && code <= kepwsa::WSAECONNRESET) ||
           code == kepwsa::WSAENOTCONN || code == kepwsa::WSAESHUTDOWN;
}

void KEPMsgSocket::SetIoTimeout(int milliseconds) {
    s_ioTimeoutMs.store(milliseconds > 0 ? milliseconds : 0);
}

int KEPMsgSocket::GetIoTimeout() {
    return s_ioTimeoutMs.load();
}

bool KEPMsgSocket::SetSendBufferSize(int bytes) {
    if (bytes != 0 && (bytes < kMinSendBufferBytes || bytes > kMaxSendBufferBytes)) {
        return false;
    }
    s_sendBufferBytes.store(bytes);
    return true;
}

int KEPMsgSocket::GetSendBufferSize() {
    return s_sendBufferBytes.load();
}

int KEPMsgSocket::ApplyConnectionOptions(int descriptor) {
    const linger lingerOnClose{1, kLingerSeconds};
    const int sendBuffer = s_sendBufferBytes.load();
    // Setting SO_SNDBUF switches the system's own sizing off for the connection: 0 leaves it on.
    if (kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &lingerOnClose,
                           sizeof(lingerOnClose)) != 0 ||
        (sendBuffer != 0 && kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &sendBuffer,
                                               sizeof(sendBuffer)) != 0)) {
        return kepwsa::WSAGetLastError();
    }
    // Nagle's algorithm against delayed acknowledgements costs a request-reply exchange about
    // 40 ms.
    const int on = 1;
    kepwsa::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    const int milliseconds = s_ioTimeoutMs.load();
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    KEPMsgKeepAlive::Apply(descriptor);
    return 0;
}

void KEPMsgSocket::BindLocalAddress(KEPMsgSocketAddress address) {
    // A descriptor left from an earlier bind or connection would otherwise leak.
    ReleaseDescriptor();
    m_closed.store(true);
    m_handle.store(kepwsa::INVALID_SOCKET);

    m_address = address;

    addrinfo hints{};
    hints.ai_family = ForcedFamily();
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    hints.ai_flags = 0;

    const KEPString hostText = address.GetAddress().GetIPAddress();
    // No host means the loopback interface only; in the loopback of the forced family, since
    // an IPv4 literal cannot resolve as IPv6.
    const char* host = hostText.GetLengthInByte() == 0
                           ? (hints.ai_family == AF_INET6 ? kLoopbackIpv6 : kLoopbackIpv4)
                           : hostText.GetUTF8();
    char serviceText[16];
    const bool systemChoosesPort = address.GetPort() <= 0;
    if (!systemChoosesPort) {
        std::snprintf(serviceText, sizeof(serviceText), "%d", address.GetPort());
    }

    int resolved = 0;
    kepwsa::AddrInfoList list =
        kepwsa::Resolve(host, systemChoosesPort ? nullptr : serviceText, hints, resolved);
    if (resolved != 0) {
        SetErrorCode(resolved);
        return;
    }

    const addrinfo* first = list.get();
    const int descriptor = kepwsa::socket(first->ai_family, first->ai_socktype, first->ai_protocol);
    if (descriptor == kepwsa::INVALID_SOCKET) {
        SetErrorCode(kepwsa::WSAGetLastError());
        return;
    }
    AdoptDescriptor(descriptor);
    // Winsock's SO_EXCLUSIVEADDRUSE keeps other sockets off the port; Linux refuses a second
    // bind to a port in use by itself. SO_REUSEADDR only lets this socket bind over connections
    // of an earlier listener on the port that are closing or wait out TIME_WAIT, so a server
    // restarted at once gets its port back; a listening socket, or any socket bound without the
    // option, still keeps it off. (SO_REUSEPORT would let two listeners share the port.)
    const int reuse = 1;
    kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));

    if (kepwsa::bind(descriptor, first->ai_addr, first->ai_addrlen) != 0) {
        SetErrorCode(kepwsa::WSAGetLastError());
        ReleaseDescriptor();
        m_handle.store(kepwsa::INVALID_SOCKET);
        return;
    }
    m_closed.store(false);
    list.reset();

    if (systemChoosesPort) {
        sockaddr_storage bound{};
        socklen_t length = sizeof(bound);
        if (kepwsa::getsockname(descriptor, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            SetErrorCode(kepwsa::WSAGetLastError());
        } else if (bound.ss_family == AF_INET6) {
            m_address.SetPort(ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port));
        } else {
            m_address.SetPort(ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port));
        }
    }
}
