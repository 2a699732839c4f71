#include "connection/KEPMsgLeasedSocketScope.h"

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgSocketLease.h"
#include "sockets/KEPMsgCommSocket.h"

namespace {

thread_local KEPMsgCommSocket* t_leasedSocket = nullptr;

}  // namespace

KEPMsgLeasedSocketScope::KEPMsgLeasedSocketScope(KEPMsgCommSocket& socket)
    : m_previous(t_leasedSocket) {
    t_leasedSocket = &socket;
}

KEPMsgLeasedSocketScope::~KEPMsgLeasedSocketScope() {
    t_leasedSocket = m_previous;
}

KEPMsgCommSocket* KEPMsgLeasedSocketScope::Find(int socketId) {
    KEPMsgCommSocket* const socket = t_leasedSocket;
    return socket != nullptr && socket->GetId() == socketId ? socket : nullptr;
}

KEPMsgCommSocket* KEPMsgLeasedSocketScope::FindOrLease(int socketId, KEPMsgSocketLease& lease) {
    if (KEPMsgCommSocket* const socket = Find(socketId)) {
        return socket;
    }
    lease = KEPMsgConnectionServicesUtils::Instance().LeaseSocket(socketId);
    return KEPMsgCommSocket::FromSocket(lease.get());
}
