// Connection events and statistics as the kepmsg tool and the demo show them (not installed).
//
// EventLog is the communicator's connection-event callback for as long as it lives: it keeps a
// copy of every event a receive pass delivers until the host's main thread takes it, so that
// the printing happens on the main thread. Describe turns an event, and DescribeStatistics a
// connection's figures, into the one-line texts the tool prints.
//
// Thread-safety: the callback runs on the thread of a receive pass (the message task's or the
// host's own) and Next may be called from any thread; the log's mutex guards the copies. Only
// one EventLog may live at a time, since the communicator has one event callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "messaging/KEPMsgConnectionEvent.h"
#include "messaging/KEPMsgConnectionStatistics.h"

namespace kepmsgtool {

class EventLog {
  public:
    // Registers the log as the connection-event callback.
    EventLog();
    // Removes the callback; no event is delivered to this log once it returns.
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // The oldest event not yet taken, waiting until deadline; nothing when none came in time.
    std::optional<KEPMsgConnectionEvent> Next(std::chrono::steady_clock::time_point deadline);

  private:
    static void OnEvent(const KEPMsgConnectionEvent& event, void* context);

    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<KEPMsgConnectionEvent> m_events;
};

// "connected socket:N from HOST:PORT" for an accepted connection, "connected socket:N to
// HOST:PORT as LABEL" for a dialed one, "closed socket:N: REASON" (with ": ERROR TEXT" when the
// close has an error code), "reconnect attempt N to HOST:PORT failed (next in D ms): ERROR TEXT",
// "released socket:N to HOST:PORT as LABEL".
std::string Describe(const KEPMsgConnectionEvent& event);

// "in M messages (B bytes), out M messages (B bytes)" for the traffic in figures.
std::string DescribeTraffic(const KEPMsgConnectionStatistics& figures);

// "socket:N peer HOST:PORT [label L]: TRAFFIC, Q queued, last error E, connected S s" for a
// connection's figures, nowMs being the wall clock in milliseconds since the Unix epoch.
std::string DescribeStatistics(const KEPMsgConnectionStatistics& figures, std::int64_t nowMs);

// The wall clock in milliseconds since the Unix epoch, the clock of connected-since figures.
std::int64_t WallClockMs();

}  // namespace kepmsgtool
