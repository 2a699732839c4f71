// KEPMsgTlsSettings: what a TLS connection or listening socket is made with.
//
// Files are PEM. A listening socket needs a certificate chain and its private key; given a CA
// file it requires every client to present a certificate that CA signed (mutual TLS). A client
// verifies the server's certificate against its CA file (the system's store when none is
// given) and the server's name: m_serverName, or the host it dials when that is empty (an
// address literal is checked against the certificate's IP entries). A client given a
// certificate and key presents them. Verification of the peer is on by default; switching it
// off is for tests and trusted networks only. TLS 1.2 is the lowest version by default.
// Inside TLS the wire format of messages is unchanged.
// A plain value: copies share nothing, no lock.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPString.h"

struct KEPMSG_API KEPMsgTlsSettings {
    enum Version : int { kTls12 = 12, kTls13 = 13 };

    KEPString m_certificateChainFile;
    KEPString m_privateKeyFile;
    KEPString m_caFile;
    bool m_verifyPeer = true;
    KEPString m_serverName;
    Version m_minVersion = kTls12;

    // True when the library was built with TLS; without it every TLS call fails with the text
    // "TLS not available".
    static bool IsAvailable();
    // True when these settings load for a server (forServer) or a client: every file read, the
    // key matching its certificate. Otherwise false with errorText naming the cause, as the
    // call that is given them would report it. Nothing is kept.
    bool CanLoad(bool forServer, KEPString& errorText) const;
};
