// KEPMsgInetAddress: the host part of an end point, as text.
//
// The text is kept exactly as the caller gave it: an IPv4 literal, an IPv6 literal or a host
// name. Nothing is resolved or checked here; the sockets resolve it when they bind or connect.
// A value type: copies share the text by reference counting, so copies may be used on different
// threads, but one object must not be changed while another thread reads it.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPString.h"

class KEPMSG_API KEPMsgInetAddress {
  public:
    // An empty host text (a socket substitutes the loopback host for it).
    KEPMsgInetAddress();
    // Stores a copy of address.
    KEPMsgInetAddress(const KEPString& address);  // NOLINT: implicit, a host text is an address
    KEPMsgInetAddress(const KEPMsgInetAddress& other);
    KEPMsgInetAddress& operator=(const KEPMsgInetAddress& other);
    ~KEPMsgInetAddress();

    // Returns a copy of the host text, unchanged (empty stays empty).
    KEPString GetIPAddress() const;
    // Returns true whatever the text holds; kept for callers that ask.
    bool IsInet4Address() const;

  private:
    KEPString m_address;
};
