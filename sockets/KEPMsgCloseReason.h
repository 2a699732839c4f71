// KEPMsgCloseReason: why a connection ended, as its closed event reports it.
//
// A connection records the first reason that applies and keeps it (a peer that closes while the
// host removes the connection is reported as the peer's close). A connection removed while none
// was recorded ended by the host's hand. Plain values; no state, no lock.
#pragma once

#include "base/KEPBasExport.h"

enum KEPMsgCloseReason : int {
    kCloseReasonNone = 0,                // the connection is still open
    kCloseReasonPeerClosed = 1,          // the peer ended the stream in order (FIN)
    kCloseReasonReset = 2,               // the peer reset it, or the network lost it (10050-10058)
    kCloseReasonIoTimeout = 3,           // a read or write ran out of time, or keep-alive gave up
    kCloseReasonProtocolViolation = 4,   // a header announced an impossible type-name length
    kCloseReasonRemovedByHost = 5,       // RemoveConnection, a stopped reconnecting client, ...
    kCloseReasonTaskShutdown = 6,        // ShutdownMessageTask (or the communicator's end)
    kCloseReasonRefusedByFilter = 7,     // the peer's address is outside the listener's filter
    kCloseReasonTlsHandshakeFailed = 8,  // no TLS session: refused certificate, bad bytes, ...
};

// Returns the reason's text: "peer closed", "reset", "I/O time-out", "protocol violation",
// "removed by host", "task shutdown", "refused by filter", "TLS handshake failed", "open" for
// kCloseReasonNone, "unknown" otherwise.
KEPMSG_API const char* KEPMsgCloseReasonText(KEPMsgCloseReason reason);
