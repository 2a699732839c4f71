#include "sockets/KEPMsgServerSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <string>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgTlsContext.h"

namespace {

// Errors that accept(2) reports for one pending connection (reset or lost before it was taken),
// not for the listening socket: the listener goes on serving the others.
bool IsPendingConnectionError(int code) {
    return code == kepwsa::WSAECONNABORTED || code == kepwsa::WSAECONNRESET ||
           code == kepwsa::WSAENETDOWN || code == kepwsa::WSAENETUNREACH ||
           code == kepwsa::WSAEHOSTDOWN || code == kepwsa::WSAEHOSTUNREACH;
}

}  // namespace

KEPMsgServerSocket::KEPMsgServerSocket(KEPMsgSocketAddress address, int backlog) {
    BindLocalAddress(address);
    if (IsClosed()) {
        return;
    }
    if (GetId() != kepwsa::INVALID_SOCKET && kepwsa::listen(GetId(), backlog) != 0) {
        const int code = kepwsa::WSAGetLastError();
        Close();
        SetHandle(kepwsa::INVALID_SOCKET);
        SetErrorCode(code);
        return;
    }
    // Non-blocking listener: a pending client that resets between the readiness wait and
    // accept(2) would otherwise block the wait (and its lock) until the next connection comes.
    // Accepted connections do not inherit the flag on Linux; they stay blocking.
    const int flags = ::fcntl(GetId(), F_GETFL, 0);
    if (flags != -1) {
        ::fcntl(GetId(), F_SETFL, flags | O_NONBLOCK);
    }
}

KEPMsgCommSocket* KEPMsgServerSocket::Accept() {
    for (;;) {
        KEPMsgCommSocket* accepted = TryAccept();
        if (accepted != nullptr || GetErrorCode() != kepwsa::WSAEWOULDBLOCK || IsClosed()) {
            return accepted;
        }
        // Nothing pending: wait for the next connection, as a blocking accept would.
        kepwsa::fd_set ready;
        kepwsa::FD_ZERO(&ready);
        kepwsa::FD_SET(GetId(), &ready);
        if (kepwsa::select(GetId() + 1, &ready, nullptr, nullptr, nullptr) ==
            kepwsa::SOCKET_ERROR) {
            SetErrorCode(kepwsa::WSAGetLastError());
            return nullptr;
        }
    }
}

KEPMsgCommSocket* KEPMsgServerSocket::TryAccept() {
    if (IsClosed()) {
        // The handle number of a closed socket may name someone else's descriptor by now.
        SetErrorCode(kepwsa::WSAENOTSOCK);
        return nullptr;
    }
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof(peer);
    const int connection = kepwsa::accept(GetId(), reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (connection == kepwsa::INVALID_SOCKET) {
        const int code = kepwsa::WSAGetLastError();
        SetErrorCode(code);
        if (IsConnectionLostError(code) && !IsPendingConnectionError(code)) {
            Shutdown();
        }
        return nullptr;
    }

    KEPMsgAcceptFilter filter;
    std::shared_ptr<KEPMsgTlsContext> tls;
    {
        std::lock_guard<std::mutex> lock(m_settingsMutex);
        filter = m_filter;
        tls = m_tls;
    }
    if (!filter.Allows(peer)) {
        // Closed before a byte is read; the caller reports it (TakeRefusal).
        kepwsa::closesocket(connection);
        m_refusedByFilter.fetch_add(1);
        KEPMsgConnectionCounters::DescribePeer(peer, m_refusal.m_peerHost, m_refusal.m_peerPort);
        m_refused = true;
        SetErrorCode(kepwsa::WSAECONNREFUSED);
        return nullptr;
    }

    const int on = 1;
    kepwsa::setsockopt(GetId(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    // The connection gets its own options (TCP_NODELAY included: setting it on the listener
    // reaches only connections accepted later).
    const int optionError = ApplyConnectionOptions(connection);
    if (optionError != 0) {
        SetErrorCode(optionError);
        kepwsa::closesocket(connection);
        return nullptr;
    }
    KEPMsgCommSocket* accepted = new KEPMsgCommSocket(GetAddress(), connection);
    accepted->Counters().SetListenerId(GetId());
    std::string error;
    if (tls && !accepted->StartTls(std::move(tls), KEPString(), error)) {
        accepted->Shutdown();
        delete accepted;
        SetErrorCode(kepwsa::WSAENOBUFS);  // the TLS library could not make a session
        return nullptr;
    }
    m_accepted.fetch_add(1);
    return accepted;
}

bool KEPMsgServerSocket::SetAcceptFilter(const char* blocks) {
    KEPMsgAcceptFilter filter;
    if (blocks != nullptr && blocks[0] != '\0' && !filter.Parse(blocks)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_filter = filter;
    return true;
}

bool KEPMsgServerSocket::SetTls(const KEPMsgTlsSettings& settings, KEPString& errorText) {
    std::string error;
    std::shared_ptr<KEPMsgTlsContext> context =
        KEPMsgTlsContext::Make(settings, KEPMsgTlsContext::Role::kServer, error);
    if (!context) {
        errorText = KEPString(error.c_str());
        return false;
    }
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_tls = std::move(context);
    return true;
}

bool KEPMsgServerSocket::TakeRefusal(Refusal& refusal) {
    if (!m_refused) {
        return false;
    }
    m_refused = false;
    refusal = m_refusal;
    return true;
}

void KEPMsgServerSocket::Shutdown() {
    const int result = ShutdownDescriptor(kepwsa::SD_BOTH);
    if (result != 0 && result != kNoDescriptor && !IsConnectionLostError(result)) {
        SetErrorCode(result);
    }
    Close();
}
