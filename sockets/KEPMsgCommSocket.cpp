#include "sockets/KEPMsgCommSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstdio>
#include <memory>

#include "platform/KEPWinsock.h"

namespace {

constexpr const char* kLoopbackIpv4 = "127.0.0.1";
constexpr int kSendBufferBytes = 65536;
constexpr int kLingerSeconds = 5;

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { kepwsa::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

}  // namespace

KEPMsgCommSocket::KEPMsgCommSocket(KEPMsgSocketAddress address)
    : m_inputOpen(false), m_outputOpen(false) {
    SetAddress(address);
}

KEPMsgCommSocket::KEPMsgCommSocket(KEPMsgSocketAddress address, int handle)
    : m_inputOpen(true), m_outputOpen(true) {
    SetAddress(address);
    AdoptDescriptor(handle);
    SetClosed(false);
}

void KEPMsgCommSocket::Connect(KEPMsgSocketAddress address) {
    // Start from a clean state; a descriptor kept after both half-closes is released too.
    if (m_inputOpen.load() || m_outputOpen.load() || !IsClosed()) {
        Shutdown();
        SetHandle(kepwsa::INVALID_SOCKET);
        m_inputOpen.store(false);
        m_outputOpen.store(false);
        SetClosed(true);
    }

    char serviceText[16];
    std::snprintf(serviceText, sizeof(serviceText), "%d", address.GetPort());
    const KEPString hostText = address.GetAddress().GetIPAddress();
    const char* host = hostText.GetLengthInByte() == 0 ? kLoopbackIpv4 : hostText.GetUTF8();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* rawList = nullptr;
    const int resolved = kepwsa::getaddrinfo(host, serviceText, &hints, &rawList);
    AddrInfoList list(rawList);
    if (resolved != 0) {
        SetErrorCode(resolved);
        return;
    }

    SetHandle(kepwsa::INVALID_SOCKET);
    for (const addrinfo* candidate = list.get(); candidate != nullptr;
         candidate = candidate->ai_next) {
        const int descriptor =
            kepwsa::socket(candidate->ai_family, candidate->ai_socktype, candidate->ai_protocol);
        if (descriptor == kepwsa::INVALID_SOCKET) {
            SetErrorCode(kepwsa::WSAGetLastError());
            continue;
        }
        AdoptDescriptor(descriptor);
        SetClosed(false);
        if (kepwsa::connect(descriptor, candidate->ai_addr, candidate->ai_addrlen) == 0) {
            break;
        }
        SetErrorCode(kepwsa::WSAGetLastError());
        Close();
        SetHandle(kepwsa::INVALID_SOCKET);
    }
    list.reset();

    const int descriptor = GetId();
    if (descriptor == kepwsa::INVALID_SOCKET) {
        return;
    }

    const linger lingerOnClose{1, kLingerSeconds};
    if (kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &lingerOnClose,
                           sizeof(lingerOnClose)) != 0) {
        SetErrorCode(kepwsa::WSAGetLastError());
        Close();
        return;
    }
    const int sendBuffer = kSendBufferBytes;
    if (kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer)) !=
        0) {
        SetErrorCode(kepwsa::WSAGetLastError());
        Close();
        return;
    }
    const int on = 1;
    kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    kepwsa::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    ApplyIoTimeout(descriptor);

    SetClosed(false);
    m_inputOpen.store(true);
    m_outputOpen.store(true);
}

bool KEPMsgCommSocket::IsConnected() const {
    return GetId() != kepwsa::INVALID_SOCKET && !IsClosed() &&
           (m_inputOpen.load() || m_outputOpen.load());
}

bool KEPMsgCommSocket::IsInputShutDown() const {
    return !m_inputOpen.load();
}

bool KEPMsgCommSocket::IsOutputShutDown() const {
    return !m_outputOpen.load();
}

void KEPMsgCommSocket::ShutDownInput() {
    if (!m_inputOpen.load() || GetId() == kepwsa::INVALID_SOCKET) {
        return;
    }
    const int result = ShutdownDescriptor(kepwsa::SD_RECEIVE);
    // kNoDescriptor: the descriptor was closed already, so this side is shut in effect.
    if (result == 0 || result == kNoDescriptor || IsConnectionLostError(result)) {
        m_inputOpen.store(false);
    } else {
        SetErrorCode(result);
    }
}

void KEPMsgCommSocket::ShutDownOutput() {
    if (!m_outputOpen.load() || GetId() == kepwsa::INVALID_SOCKET) {
        return;
    }
    const int result = ShutdownDescriptor(kepwsa::SD_SEND);
    if (result == 0 || result == kNoDescriptor || IsConnectionLostError(result)) {
        m_outputOpen.store(false);
    } else {
        SetErrorCode(result);
    }
}

void KEPMsgCommSocket::Shutdown() {
    ShutDownInput();
    ShutDownOutput();
    Close();
}

int KEPMsgCommSocket::read(char* buffer, int length) {
    if (!m_inputOpen.load()) {
        return -1;
    }
    if (IsClosed()) {
        // Closed without a shutdown: the handle number may belong to someone else by now.
        SetErrorCode(kepwsa::WSAENOTSOCK);
        return -1;
    }
    if (length == 0) {
        // Nothing asked for; recv would return 0, which must not pass for the peer's close.
        return 0;
    }
    const int received = kepwsa::recv(GetId(), buffer, length, 0);
    if (received == 0) {
        Shutdown();
        return 0;
    }
    if (received < 0) {
        HandleIoError(kepwsa::WSAGetLastError());
        return -1;
    }
    return received;
}

int KEPMsgCommSocket::write(const char* buffer, int length) {
    if (!m_outputOpen.load()) {
        return -1;
    }
    if (IsClosed()) {
        SetErrorCode(kepwsa::WSAENOTSOCK);
        return -1;
    }
    const int sent = kepwsa::send(GetId(), buffer, length, 0);
    if (sent < 0) {
        HandleIoError(kepwsa::WSAGetLastError());
        return -1;
    }
    return sent;
}

void KEPMsgCommSocket::HandleIoError(int code) {
    // These sockets block, so "would block" only comes from the I/O time-out running out.
    if (code == kepwsa::WSAEWOULDBLOCK) {
        code = kepwsa::WSAETIMEDOUT;
    }
    SetErrorCode(code);
    if (IsConnectionLostError(code) || code == kepwsa::WSAETIMEDOUT) {
        Shutdown();
    }
}
