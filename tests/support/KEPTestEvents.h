// Records the connection events that receive passes deliver, for the lifecycle tests.
//
// An EventRecorder registers itself as the communicator's connection-event callback for its
// lifetime (declare it after the MessagingSetup, so it detaches first). Events arrive on the
// thread that runs the receive passes; the recorder is meant for tests that run the passes on
// their own thread (PumpUntil), so it takes no lock.
#pragma once

#include <optional>
#include <vector>

#include "messaging/KEPMsgConnectionEvent.h"

namespace keptest {

class EventRecorder {
  public:
    EventRecorder();
    ~EventRecorder() { Detach(); }
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    // Removes the communicator's callback, whichever it is now (events still queued are dropped
    // by the library).
    void Detach();
    const std::vector<KEPMsgConnectionEvent>& Events() const { return m_events; }
    // Number of recorded events of kind.
    int Count(KEPMsgConnectionEvent::Kind kind) const;
    // Runs receive passes until an event of kind (for socketId, or any socket for -1) has been
    // recorded, and returns the first such event; none after timeoutSeconds.
    std::optional<KEPMsgConnectionEvent> PumpFor(KEPMsgConnectionEvent::Kind kind,
                                                 int socketId = -1, double timeoutSeconds = 10.0);

  private:
    static void Record(const KEPMsgConnectionEvent& event, void* context);

    std::vector<KEPMsgConnectionEvent> m_events;
};

}  // namespace keptest
