#include "tests/support/KEPTestEvents.h"

#include <algorithm>

#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

namespace keptest {

EventRecorder::EventRecorder() {
    KEPMsgSocketCommunicator::Instance().SetConnectionEventCallback(&Record, this);
}

void EventRecorder::Detach() {
    KEPMsgSocketCommunicator::Instance().SetConnectionEventCallback(nullptr, nullptr);
}

void EventRecorder::Record(const KEPMsgConnectionEvent& event, void* context) {
    static_cast<EventRecorder*>(context)->m_events.push_back(event);
}

int EventRecorder::Count(KEPMsgConnectionEvent::Kind kind) const {
    return static_cast<int>(std::count_if(m_events.begin(), m_events.end(),
                                          [&](const auto& event) { return event.m_kind == kind; }));
}

std::optional<KEPMsgConnectionEvent> EventRecorder::PumpFor(KEPMsgConnectionEvent::Kind kind,
                                                            int socketId, double timeoutSeconds) {
    std::optional<KEPMsgConnectionEvent> found;
    PumpUntil(
        [&] {
            for (const KEPMsgConnectionEvent& event : m_events) {
                if (event.m_kind == kind && (socketId == -1 || event.m_socketId == socketId)) {
                    found = event;
                    return true;
                }
            }
            return false;
        },
        timeoutSeconds);
    return found;
}

}  // namespace keptest
