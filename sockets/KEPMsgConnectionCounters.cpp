#include "sockets/KEPMsgConnectionCounters.h"

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
    kepwsa::DescribeAddress(peer, host, kHostTextBytes, port);
}

void KEPMsgConnectionCounters::RecordCloseReason(KEPMsgCloseReason reason) {
    int none = kCloseReasonNone;
    m_closeReason.compare_exchange_strong(none, reason);
}
