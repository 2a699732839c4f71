#include "sockets/KEPMsgInetAddress.h"

KEPMsgInetAddress::KEPMsgInetAddress() : m_address("") {}

KEPMsgInetAddress::KEPMsgInetAddress(const KEPString& address) : m_address(address) {}

KEPMsgInetAddress::KEPMsgInetAddress(const KEPMsgInetAddress& other) = default;

KEPMsgInetAddress& KEPMsgInetAddress::operator=(const KEPMsgInetAddress& other) = default;

KEPMsgInetAddress::~KEPMsgInetAddress() = default;

KEPString KEPMsgInetAddress::GetIPAddress() const {
    return m_address;
}

bool KEPMsgInetAddress::IsInet4Address() const {
    return true;
}
