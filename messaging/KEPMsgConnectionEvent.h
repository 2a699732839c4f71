// KEPMsgConnectionEvent: one change in a connection's life, as the event callback is told it.
//
// Kinds: a connection accepted on a registered listening socket (m_label is the listener's
// label, the new connection's own label being ""); a connected one registered with
// AddConnection or by a reconnecting client (m_label is its label); a connection closed, with
// m_reason, m_errorCode and its final m_statistics; a failed dial of a reconnecting client
// (m_attempt counts the dials since the connection was lost, m_errorCode says why it failed,
// m_nextDelayMs is the pause before the next one); a reconnecting client's connection released
// to the host, which unregistered it without closing it (the client has stopped; m_label is
// its label). A connection a listener's filter refused is a closed event with the reason
// kCloseReasonRefusedByFilter, socket id -1 and the listener's label: it was never registered.
// Peer host and port are the remote end (the dialed address for a reconnect attempt). A plain
// value: copies share nothing, no lock.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPString.h"
#include "messaging/KEPMsgConnectionStatistics.h"
#include "sockets/KEPMsgCloseReason.h"

struct KEPMSG_API KEPMsgConnectionEvent {
    enum Kind : int {
        kAccepted = 1,
        kConnected = 2,
        kClosed = 3,
        kReconnectAttempt = 4,
        kReleased = 5,
    };

    // Returns "accepted", "connected", "closed", "reconnect attempt", "released" ("unknown"
    // otherwise).
    static const char* KindText(Kind kind);

    Kind m_kind = kClosed;
    int m_socketId = -1;  // -1 for a reconnect attempt
    KEPString m_label;
    KEPString m_peerHost;
    int m_peerPort = 0;
    KEPMsgCloseReason m_reason = kCloseReasonNone;  // closed events only
    int m_errorCode = 0;    // Winsock code behind a close or a failed dial, 0 when none
    KEPString m_errorText;  // closed events: why TLS failed (OpenSSL's reason), "" otherwise
    int m_attempt = 0;      // reconnect attempts only
    int m_nextDelayMs = 0;  // reconnect attempts only
    KEPMsgConnectionStatistics m_statistics;  // closed events only
};
