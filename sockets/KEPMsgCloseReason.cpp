#include "sockets/KEPMsgCloseReason.h"

const char* KEPMsgCloseReasonText(KEPMsgCloseReason reason) {
    switch (reason) {
        case kCloseReasonNone:
            return "open";
        case kCloseReasonPeerClosed:
            return "peer closed";
        case kCloseReasonReset:
            return "reset";
        case kCloseReasonIoTimeout:
            return "I/O time-out";
        case kCloseReasonProtocolViolation:
            return "protocol violation";
        case kCloseReasonRemovedByHost:
            return "removed by host";
        case kCloseReasonTaskShutdown:
            return "task shutdown";
        case kCloseReasonRefusedByFilter:
            return "refused by filter";
        case kCloseReasonTlsHandshakeFailed:
            return "TLS handshake failed";
    }
    return "unknown";
}
