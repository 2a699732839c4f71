#include "channels/KEPMsgChannel.h"

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "sockets/KEPMsgSocket.h"

KEPMsgChannel::KEPMsgChannel() : m_socketId(-1) {}

KEPMsgChannel::KEPMsgChannel(KEPMsgSocket* socket, const KEPString& label) : m_socketId(-1) {
    if (socket == nullptr) {
        return;
    }
    m_socketId = socket->GetId();
    KEPMsgConnectionServicesUtils::Instance().SetName(m_socketId, label);
}

KEPMsgSocket* KEPMsgChannel::GetSocket() const {
    return KEPMsgConnectionServicesUtils::Instance().GetSocket(m_socketId);
}

KEPString KEPMsgChannel::GetLabel() {
    KEPString label;
    KEPMsgConnectionServicesUtils::Instance().GetName(m_socketId, label);
    return label;
}

void KEPMsgChannel::SetLabel(const KEPString& label) {
    KEPMsgConnectionServicesUtils::Instance().SetName(m_socketId, label);
}

bool KEPMsgChannel::IsActiveInCurrentThreads() const {
    if (m_socketId == -1) {
        return false;
    }
    // Leased so that a concurrent removal cannot destroy the socket while it is asked.
    KEPMsgSocketLease socket = KEPMsgConnectionServicesUtils::Instance().LeaseSocket(m_socketId);
    return socket && !socket->IsClosed();
}

void KEPMsgChannel::Shutdown() {
    KEPMsgConnectionServicesUtils::Instance().ShutDownConnection(m_socketId);
    m_socketId = -1;
}
