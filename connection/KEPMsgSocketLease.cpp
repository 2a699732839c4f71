#include "connection/KEPMsgSocketLease.h"

#include "connection/KEPMsgConnectionServicesUtils.h"

KEPMsgSocketLease& KEPMsgSocketLease::operator=(KEPMsgSocketLease&& other) noexcept {
    if (this != &other) {
        reset();
        m_socket = other.m_socket;
        other.m_socket = nullptr;
    }
    return *this;
}

void KEPMsgSocketLease::reset() {
    if (m_socket != nullptr) {
        KEPMsgSocket* socket = m_socket;
        m_socket = nullptr;
        KEPMsgConnectionServicesUtils::Instance().ReleaseLease(socket);
    }
}
