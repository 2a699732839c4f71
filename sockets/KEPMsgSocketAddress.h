// KEPMsgSocketAddress: a host (KEPMsgInetAddress) and a port.
//
// The port is in host byte order; a port below 1 lets the system choose one when a socket binds.
// A value type copied everywhere; same thread-safety rules as KEPMsgInetAddress.
#pragma once

#include "base/KEPBasExport.h"
#include "sockets/KEPMsgInetAddress.h"

class KEPMSG_API KEPMsgSocketAddress {
  public:
    // Stores both fields as given.
    KEPMsgSocketAddress(const KEPMsgInetAddress& address, int port);
    KEPMsgSocketAddress(const KEPMsgSocketAddress& other);
    KEPMsgSocketAddress& operator=(const KEPMsgSocketAddress& other);
    ~KEPMsgSocketAddress();

    // Returns a copy of the host.
    KEPMsgInetAddress GetAddress() const;
    // Returns the port.
    int GetPort() const;
    // Replaces the port.
    void SetPort(int port);

  private:
    KEPMsgInetAddress m_inetAddress;
    int m_port;
};
