#include "messaging/KEPMsgConnectionEvent.h"

const char* KEPMsgConnectionEvent::KindText(Kind kind) {
    switch (kind) {
        case kAccepted:
            return "accepted";
        case kConnected:
            return "connected";
        case kClosed:
            return "closed";
        case kReconnectAttempt:
            return "reconnect attempt";
        case kReleased:
            return "released";
    }
    return "unknown";
}
