#include "sockets/KEPMsgServerSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"

namespace {

constexpr int kSendBufferBytes = 65536;
constexpr int kLingerSeconds = 5;

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
    }
}

KEPMsgCommSocket* KEPMsgServerSocket::Accept() {
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
        if (IsConnectionLostError(code)) {
            Shutdown();
        }
        return nullptr;
    }

    const int on = 1;
    kepwsa::setsockopt(GetId(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));

    const linger lingerOnClose{1, kLingerSeconds};
    const int sendBuffer = kSendBufferBytes;
    if (kepwsa::setsockopt(connection, SOL_SOCKET, SO_LINGER, &lingerOnClose,
                           sizeof(lingerOnClose)) != 0 ||
        kepwsa::setsockopt(connection, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer)) !=
            0) {
        SetErrorCode(kepwsa::WSAGetLastError());
        kepwsa::closesocket(connection);
        return nullptr;
    }
    ApplyIoTimeout(connection);
    return new KEPMsgCommSocket(GetAddress(), connection);
}

void KEPMsgServerSocket::Shutdown() {
    const int result = ShutdownDescriptor(kepwsa::SD_BOTH);
    if (result != 0 && result != kNoDescriptor && !IsConnectionLostError(result)) {
        SetErrorCode(result);
    }
    Close();
}
