// The socket layer on Windows: Winsock 2.2 itself, with the module's testing hooks and the
// readiness wait's fixed-capacity set in front of it.
#include "platform/KEPWinsock.h"

#include "platform/KEPFaultInjection.h"
// After the Winsock headers, which it needs.
#include <mstcpip.h>

#include <atomic>

namespace kepwsa {

namespace {

std::atomic<int> s_startupError{0};
std::atomic<unsigned short> s_grantedVersion{0x0202};
std::atomic<void (*)(SOCKET, int)> s_sendHook{nullptr};
std::atomic<void (*)(SOCKET)> s_connectHook{nullptr};

// Options that Windows has and MinGW's headers lack (ws2ipdef.h of the Windows SDK).
constexpr int kTcpMaxRetransmitSeconds = 5;  // TCP_MAXRT
constexpr int kTcpKeepAliveCount = 16;       // TCP_KEEPCNT

::SOCKET Native(SOCKET s) {
    return static_cast<::SOCKET>(s);
}

// Winsock handles are small kernel handle values: they fit an int, and INVALID_SOCKET is -1.
SOCKET FromNative(::SOCKET s) {
    return s == ~static_cast<::SOCKET>(0) ? INVALID_SOCKET : static_cast<SOCKET>(s);
}

int FailWith(int winsockCode) {
    ::WSASetLastError(winsockCode);
    return SOCKET_ERROR;
}

// Result of a Winsock call that returns 0 or SOCKET_ERROR (the code already stored).
int Status(int result) {
    return result == 0 ? 0 : SOCKET_ERROR;
}

template <typename Value>
int SetOption(SOCKET s, int level, int option, const Value& value) {
    return kepwsa::setsockopt(s, level, option, &value, sizeof(value));
}

// A TCP socket of Winsock's own, not inherited by child processes.
SOCKET NewLocalSocket() {
    return FromNative(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

// Sockets are inheritable by default on Windows; the module's must not outlive it in a child.
void KeepFromChildren(::SOCKET s) {
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

// A Winsock time-out from the layer's: null waits without limit, a negative one polls.
::timeval* NativeTimeout(const timeval* timeout, ::timeval& storage) {
    if (timeout == nullptr) {
        return nullptr;
    }
    storage.tv_sec = timeout->tv_sec < 0 ? 0 : timeout->tv_sec;
    storage.tv_usec = timeout->tv_sec < 0 || timeout->tv_usec < 0 ? 0 : timeout->tv_usec;
    return &storage;
}

void CopyIn(const fd_set* set, ::fd_set& native) {
    native.fd_count = 0;
    if (set == nullptr) {
        return;
    }
    const unsigned int n = set->fd_count > KEP_FD_SETSIZE ? KEP_FD_SETSIZE : set->fd_count;
    for (unsigned int i = 0; i < n; ++i) {
        native.fd_array[native.fd_count++] = Native(set->fd_array[i]);
    }
}

bool InNative(SOCKET s, const ::fd_set& native) {
    for (unsigned int i = 0; i < native.fd_count; ++i) {
        if (native.fd_array[i] == Native(s)) {
            return true;
        }
    }
    return false;
}

// Keeps in set only the handles that Winsock reported ready; returns how many.
int KeepReady(fd_set* set, const ::fd_set& native) {
    if (set == nullptr) {
        return 0;
    }
    unsigned int kept = 0;
    for (unsigned int i = 0; i < set->fd_count && i < KEP_FD_SETSIZE; ++i) {
        if (InNative(set->fd_array[i], native)) {
            set->fd_array[kept++] = set->fd_array[i];
        }
    }
    set->fd_count = kept;
    return static_cast<int>(kept);
}

// The select behind both waits; wakeHandle (-1 for none) joins the read set.
int SelectSets(fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, const timeval* timeout,
               int wakeHandle, bool& woken) {
    woken = false;
    if (FaultInjected(PlatformCall::kWait)) {
        return SOCKET_ERROR;
    }
    ::fd_set reads;
    ::fd_set writes;
    ::fd_set excepts;
    CopyIn(readSet, reads);
    CopyIn(writeSet, writes);
    CopyIn(exceptSet, excepts);
    if (wakeHandle != -1) {
        reads.fd_array[reads.fd_count++] = Native(wakeHandle);
    }
    ::timeval storage{};
    ::timeval* limit = NativeTimeout(timeout, storage);
    if (reads.fd_count + writes.fd_count + excepts.fd_count == 0) {
        // Winsock refuses a wait on nothing (10022); the layer's contract is to sleep.
        ::Sleep(limit == nullptr
                    ? INFINITE
                    : static_cast<DWORD>(limit->tv_sec * 1000 + limit->tv_usec / 1000));
        return 0;
    }
    const int ready = ::select(0, &reads, &writes, &excepts, limit);
    if (ready == SOCKET_ERROR) {
        return SOCKET_ERROR;
    }
    woken = wakeHandle != -1 && InNative(wakeHandle, reads);
    return KeepReady(readSet, reads) + KeepReady(writeSet, writes) + KeepReady(exceptSet, excepts);
}

}  // namespace

int WSAStartup(unsigned short versionRequested, WSADATA* data) {
    const int injected = s_startupError.load();
    if (injected != 0) {
        return injected;
    }
    ::WSADATA native{};
    const int code = ::WSAStartup(versionRequested, &native);
    if (data != nullptr) {
        // A test may lower the version reported, to reach the caller's version check.
        const unsigned short granted = s_grantedVersion.load();
        data->wVersion = granted != 0x0202 ? granted : native.wVersion;
        data->wHighVersion = native.wHighVersion;
    }
    return code;
}

int WSACleanup() {
    return ::WSACleanup();
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
    return ::WSAGetLastError();
}

void WSASetLastError(int code) {
    ::WSASetLastError(code);
}

SOCKET socket(int family, int type, int protocol) {
    if (FaultInjected(PlatformCall::kSocket)) {
        return INVALID_SOCKET;
    }
    const ::SOCKET handle = ::WSASocketW(family, type, protocol, nullptr, 0,
                                         WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    return FromNative(handle);
}

int bind(SOCKET s, const sockaddr* address, socklen_t length) {
    if (FaultInjected(PlatformCall::kBind)) {
        return SOCKET_ERROR;
    }
    return Status(::bind(Native(s), address, length));
}

int listen(SOCKET s, int backlog) {
    if (FaultInjected(PlatformCall::kListen)) {
        return SOCKET_ERROR;
    }
    return Status(::listen(Native(s), backlog));
}

SOCKET accept(SOCKET s, sockaddr* address, socklen_t* length) {
    if (FaultInjected(PlatformCall::kAccept)) {
        return INVALID_SOCKET;
    }
    const ::SOCKET handle = ::accept(Native(s), address, length);
    if (FromNative(handle) == INVALID_SOCKET) {
        return INVALID_SOCKET;
    }
    KeepFromChildren(handle);
    // Winsock's accepted socket inherits the listener's non-blocking mode; POSIX's does not,
    // and the module's connections block.
    u_long blocking = 0;
    ::ioctlsocket(handle, FIONBIO, &blocking);
    return FromNative(handle);
}

int connect(SOCKET s, const sockaddr* address, socklen_t length) {
    if (FaultInjected(PlatformCall::kConnect)) {
        return SOCKET_ERROR;
    }
    if (void (*hook)(SOCKET) = s_connectHook.load()) {
        hook(s);
    }
    return Status(::connect(Native(s), address, length));
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
    return ::send(Native(s), buffer, length, flags);
}

int recv(SOCKET s, char* buffer, int length, int flags) {
    if (FaultInjected(PlatformCall::kRecv, &length)) {
        return SOCKET_ERROR;
    }
    if (CheckTransferBuffer(buffer, length) != 0) {
        return SOCKET_ERROR;
    }
    return ::recv(Native(s), buffer, length, flags);
}

int shutdown(SOCKET s, int how) {
    return Status(::shutdown(Native(s), how));
}

int closesocket(SOCKET s) {
    return Status(::closesocket(Native(s)));
}

int setsockopt(SOCKET s, int level, int option, const void* value, socklen_t length) {
    if (FaultInjected(PlatformCall::kSetSockOpt)) {
        return SOCKET_ERROR;
    }
    return Status(::setsockopt(Native(s), level, option, static_cast<const char*>(value), length));
}

int getsockname(SOCKET s, sockaddr* address, socklen_t* length) {
    if (FaultInjected(PlatformCall::kGetSockName)) {
        return SOCKET_ERROR;
    }
    return Status(::getsockname(Native(s), address, length));
}

int getpeername(SOCKET s, sockaddr* address, socklen_t* length) {
    if (FaultInjected(PlatformCall::kGetPeerName)) {
        return SOCKET_ERROR;
    }
    return Status(::getpeername(Native(s), address, length));
}

int SetNoDelay(SOCKET s) {
    return SetOption(s, IPPROTO_TCP, TCP_NODELAY, BOOL{TRUE});
}

int SetKeepAlive(SOCKET s) {
    return SetOption(s, SOL_SOCKET, SO_KEEPALIVE, BOOL{TRUE});
}

int SetKeepAliveTimes(SOCKET s, int idleSeconds, int intervalSeconds, int count) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<u_long>(idleSeconds) * 1000u;
    values.keepaliveinterval = static_cast<u_long>(intervalSeconds) * 1000u;
    DWORD returned = 0;
    if (::WSAIoctl(Native(s), SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned,
                   nullptr, nullptr) != 0) {
        return SOCKET_ERROR;
    }
    // The probe count and the bound on unacknowledged data exist from Windows 10 on; older
    // systems (and Wine) keep their own, so a refusal leaves the idle and interval in force.
    const DWORD total = static_cast<DWORD>(idleSeconds + intervalSeconds * count);
    SetOption(s, IPPROTO_TCP, kTcpKeepAliveCount, static_cast<DWORD>(count));
    SetOption(s, IPPROTO_TCP, kTcpMaxRetransmitSeconds, total);
    return 0;
}

int SetLinger(SOCKET s, bool on, int seconds) {
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = static_cast<u_short>(seconds);
    return SetOption(s, SOL_SOCKET, SO_LINGER, value);
}

bool LingersOnClose(SOCKET s) {
    linger current{};
    int length = sizeof(current);
    return ::getsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&current),
                        &length) == 0 &&
           current.l_onoff != 0 && current.l_linger > 0;
}

int SetSendBufferBytes(SOCKET s, int bytes) {
    return SetOption(s, SOL_SOCKET, SO_SNDBUF, bytes);
}

int SetIoTimeout(SOCKET s, int milliseconds) {
    // Winsock takes a DWORD of milliseconds where POSIX takes a timeval.
    const DWORD limit = static_cast<DWORD>(milliseconds);
    if (SetOption(s, SOL_SOCKET, SO_RCVTIMEO, limit) != 0) {
        return SOCKET_ERROR;
    }
    return SetOption(s, SOL_SOCKET, SO_SNDTIMEO, limit);
}

int SetExclusiveAddress(SOCKET s) {
    // Winsock's SO_REUSEADDR would let another socket take a port in use; exclusive use keeps
    // every other socket off it, and still binds over connections waiting out TIME_WAIT.
    return SetOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, BOOL{TRUE});
}

int SetNonBlocking(SOCKET s, bool on) {
    u_long mode = on ? 1 : 0;
    return Status(::ioctlsocket(Native(s), FIONBIO, &mode));
}

bool AwaitConnect(SOCKET s, int timeoutMs, int& code) {
    // Winsock reports a connect that failed in the exception set, not as writable.
    ::fd_set writes;
    ::fd_set excepts;
    writes.fd_count = excepts.fd_count = 1;
    writes.fd_array[0] = excepts.fd_array[0] = Native(s);
    ::timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = ::select(0, nullptr, &writes, &excepts, &limit);
    if (ready == 0) {
        return false;
    }
    if (ready == SOCKET_ERROR) {
        code = ::WSAGetLastError();
        return true;
    }
    int error = 0;
    int length = sizeof(error);
    if (::getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
        0) {
        error = ::WSAGetLastError();
    }
    code = excepts.fd_count > 0 && error == 0 ? WSAECONNREFUSED : error;
    return true;
}

int OpenLocalPair(SOCKET ends[2]) {
    // Made with Winsock's own calls: the pair is no connection of the module's, and the faults
    // aimed at its calls must not meet it.
    // A loopback listener that lives only until its one connection is taken. The accepted end
    // is checked to be the connecting one: another local process could connect meanwhile.
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(loopback);
    const SOCKET listener = NewLocalSocket();
    const SOCKET connector = NewLocalSocket();
    SOCKET accepted = INVALID_SOCKET;
    int result = SOCKET_ERROR;
    if (listener != INVALID_SOCKET && connector != INVALID_SOCKET &&
        ::bind(Native(listener), reinterpret_cast<sockaddr*>(&loopback), length) == 0 &&
        ::getsockname(Native(listener), reinterpret_cast<sockaddr*>(&loopback), &length) == 0 &&
        ::listen(Native(listener), 1) == 0 &&
        ::connect(Native(connector), reinterpret_cast<sockaddr*>(&loopback), length) == 0) {
        sockaddr_in connectorAddress{};
        int connectorLength = sizeof(connectorAddress);
        sockaddr_in acceptedPeer{};
        int peerLength = sizeof(acceptedPeer);
        ::getsockname(Native(connector), reinterpret_cast<sockaddr*>(&connectorAddress),
                      &connectorLength);
        accepted = FromNative(
            ::accept(Native(listener), reinterpret_cast<sockaddr*>(&acceptedPeer), &peerLength));
        if (accepted != INVALID_SOCKET && acceptedPeer.sin_port == connectorAddress.sin_port &&
            SetNonBlocking(accepted, true) == 0 && SetNonBlocking(connector, true) == 0) {
            KeepFromChildren(Native(accepted));
            ends[0] = accepted;
            ends[1] = connector;
            result = 0;
        }
    }
    const int code = ::WSAGetLastError();
    if (listener != INVALID_SOCKET) {
        ::closesocket(Native(listener));
    }
    if (result != 0) {
        if (connector != INVALID_SOCKET) {
            ::closesocket(Native(connector));
        }
        if (accepted != INVALID_SOCKET) {
            ::closesocket(Native(accepted));
        }
        return FailWith(code == 0 ? WSAECONNREFUSED : code);
    }
    return 0;
}

bool WriteWakeByte(SOCKET s) {
    const char byte = 1;
    return ::send(Native(s), &byte, 1, 0) == 1 || ::WSAGetLastError() == WSAEWOULDBLOCK;
}

void DrainWakeBytes(SOCKET s) {
    char bytes[64];
    while (::recv(Native(s), bytes, sizeof bytes, 0) == static_cast<int>(sizeof bytes)) {
    }
}

int getaddrinfo(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
    if (result == nullptr) {
        ::WSASetLastError(WSAEFAULT);
        return WSAEFAULT;
    }
    *result = nullptr;
    if (FaultInjected(PlatformCall::kGetAddrInfo)) {
        return ::WSAGetLastError();
    }
    if (IsNumericServiceOutOfRange(service)) {
        ::WSASetLastError(WSATYPE_NOT_FOUND);
        return WSATYPE_NOT_FOUND;
    }
    const int code = ::getaddrinfo(host, service, hints, result);
    if (code != 0) {
        *result = nullptr;
        ::WSASetLastError(code);
    }
    return code;
}

void freeaddrinfo(addrinfo* result) {
    if (result != nullptr) {
        ::freeaddrinfo(result);
    }
}

int select(int /*nfds*/, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
           const timeval* timeout) {
    bool woken = false;
    return SelectSets(readSet, writeSet, exceptSet, timeout, -1, woken);
}

int SelectReadOrWake(fd_set* readSet, const timeval* timeout, int wakeHandle, bool& woken) {
    return SelectSets(readSet, nullptr, nullptr, timeout, wakeHandle, woken);
}

}  // namespace kepwsa
