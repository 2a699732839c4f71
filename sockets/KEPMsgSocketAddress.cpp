#include "sockets/KEPMsgSocketAddress.h"

KEPMsgSocketAddress::KEPMsgSocketAddress(const KEPMsgInetAddress& address, int port)
    : m_inetAddress(address), m_port(port) {}

KEPMsgSocketAddress::KEPMsgSocketAddress(const KEPMsgSocketAddress& other) = default;

KEPMsgSocketAddress& KEPMsgSocketAddress::operator=(const KEPMsgSocketAddress& other) = default;

KEPMsgSocketAddress::~KEPMsgSocketAddress() = default;

KEPMsgInetAddress KEPMsgSocketAddress::GetAddress() const {
    return m_inetAddress;
}

int KEPMsgSocketAddress::GetPort() const {
    return m_port;
}

void KEPMsgSocketAddress::SetPort(int port) {
    m_port = port;
}
