#include "tests/support/KEPTestEvents.h"

#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

namespace keptest {

EventRecorder::EventRecorder() {
    KEPMsgSocketCommunicator::Instance().SetConnectionEventCallback(&Record, this);
}

EventRecorder::~EventRecorder() {
    Detach();
}

void EventRecorder::Detach() {
    if (m_attached) {
        KEPMsgSocketCommunicator::Instance().SetConnectionEventCallback(nullptr, nullptr);
        m_attached = false;
    }
}

void EventRecorder::Record(const KEPMsgConnectionEvent& event, void* context) {
    static_cast<EventRecorder*>(context)->m_events.push_back(event);
}

int EventRecorder::Count(KEPMsgConnectionEvent::Kind kind) const {
    int count = 0;
    for (const KEPMsgConnectionEvent& event : m_events) {
        count += event.m_kind == kind ? 1 : 0;
    }
    return count;
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
