#include "tools/KEPMsgToolEvents.h"

#include <cstdio>

#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgCloseReason.h"
#include "tools/KEPMsgToolSupport.h"

namespace kepmsgtool {

namespace {

KEPMsgSocketCommunicator& Communicator() {
    return KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Instance();
}

std::string Count(std::uint64_t value, const char* unit) {
    return std::to_string(value) + " " + unit + (value == 1 ? "" : "s");
}

std::string Peer(const KEPString& host, int port) {
    return FormatEndpoint(host.GetUTF8(), port);
}

}  // namespace

EventLog::EventLog() {
    Communicator().SetConnectionEventCallback(&EventLog::OnEvent, this);
}

EventLog::~EventLog() {
    Communicator().SetConnectionEventCallback(nullptr, nullptr);
}

void EventLog::OnEvent(const KEPMsgConnectionEvent& event, void* context) {
    auto* const log = static_cast<EventLog*>(context);
    {
        std::lock_guard<std::mutex> guard(log->m_mutex);
        log->m_events.push_back(event);
    }
    log->m_arrived.notify_all();
}

std::optional<KEPMsgConnectionEvent> EventLog::Next(
    std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(m_mutex);
    if (!m_arrived.wait_until(guard, deadline, [this] { return !m_events.empty(); })) {
        return std::nullopt;
    }
    KEPMsgConnectionEvent event = m_events.front();
    m_events.pop_front();
    return event;
}

std::string Describe(const KEPMsgConnectionEvent& event) {
    const std::string socket = "socket:" + std::to_string(event.m_socketId);
    const std::string peer = Peer(event.m_peerHost, event.m_peerPort);
    switch (event.m_kind) {
        case KEPMsgConnectionEvent::kAccepted:
            return "connected " + socket + " from " + peer;
        case KEPMsgConnectionEvent::kConnected:
            return "connected " + socket + " to " + peer + " as " + event.m_label.GetUTF8();
        case KEPMsgConnectionEvent::kClosed:
            if (event.m_reason == kCloseReasonRefusedByFilter) {
                return "refused " + peer + ": " + KEPMsgCloseReasonText(event.m_reason);
            }
            return "closed " + socket + ": " + KEPMsgCloseReasonText(event.m_reason) +
                   (event.m_errorText.GetLengthInByte() > 0
                        ? std::string(": ") + event.m_errorText.GetUTF8()
                    : event.m_errorCode != 0 ? ": " + ErrorText(event.m_errorCode)
                                             : "");
        case KEPMsgConnectionEvent::kReconnectAttempt:
            return "reconnect attempt " + std::to_string(event.m_attempt) + " to " + peer +
                   " failed (next in " + std::to_string(event.m_nextDelayMs) + " ms): " +
                   (event.m_errorText.GetLengthInByte() > 0 ? event.m_errorText.GetUTF8()
                                                            : ErrorText(event.m_errorCode));
        case KEPMsgConnectionEvent::kReleased:
            return "released " + socket + " to " + peer + " as " + event.m_label.GetUTF8();
    }
    return "event " + std::to_string(static_cast<int>(event.m_kind)) + " on " + socket;
}

std::string DescribeTraffic(const KEPMsgConnectionStatistics& figures) {
    return "in " + Count(figures.m_messagesIn, "message") + " (" +
           Count(figures.m_bytesIn, "byte") + "), out " + Count(figures.m_messagesOut, "message") +
           " (" + Count(figures.m_bytesOut, "byte") + ")";
}

std::string DescribeStatistics(const KEPMsgConnectionStatistics& figures, std::int64_t nowMs) {
    std::string line = "socket:" + std::to_string(figures.m_socketId) + " peer " +
                       Peer(figures.m_peerHost, figures.m_peerPort);
    if (figures.m_label.GetLengthInByte() > 0) {
        line += std::string(" label ") + figures.m_label.GetUTF8();
    }
    char connected[32];
    std::snprintf(connected, sizeof connected, "%.1f s",
                  static_cast<double>(nowMs - figures.m_connectedSinceMs) / 1000.0);
    return line + ": " + DescribeTraffic(figures) + ", " + std::to_string(figures.m_recordsQueued) +
           " queued, last error " +
           (figures.m_lastError != 0 ? ErrorText(figures.m_lastError) : std::string("none")) +
           ", connected " + connected;
}

std::int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace kepmsgtool
