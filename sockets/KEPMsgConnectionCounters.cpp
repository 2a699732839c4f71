#include "sockets/KEPMsgConnectionCounters.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "platform/KEPWinsock.h"

void KEPMsgConnectionCounters::Start(int descriptor, bool dialed) {
    m_bytesIn.store(0);
    m_bytesOut.store(0);
    m_messagesIn.store(0);
    m_messagesOut.store(0);
    m_closeReason.store(kCloseReasonNone);
    m_announced.store(false);
    m_dialed = dialed;
    m_listenerId = -1;
    m_connectedSinceMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    m_peerHost[0] = '\0';
    m_peerPort = 0;
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    if (kepwsa::getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return;
    }
    DescribePeer(peer, m_peerHost, m_peerPort);
}

void KEPMsgConnectionCounters::DescribePeer(const sockaddr_storage& peer,
                                            char (&host)[kHostTextBytes], int& port) {
    host[0] = '\0';
    port = 0;
    if (peer.ss_family == AF_INET6) {
        const auto* address = reinterpret_cast<const sockaddr_in6*>(&peer);
        ::inet_ntop(AF_INET6, &address->sin6_addr, host, kHostTextBytes);
        port = ntohs(address->sin6_port);
    } else if (peer.ss_family == AF_INET) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(&peer);
        ::inet_ntop(AF_INET, &address->sin_addr, host, kHostTextBytes);
        port = ntohs(address->sin_port);
    }
}

void KEPMsgConnectionCounters::RecordCloseReason(KEPMsgCloseReason reason) {
    int none = kCloseReasonNone;
    m_closeReason.compare_exchange_strong(none, reason);
}
