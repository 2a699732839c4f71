// ServerLink: the kepmsg ping's connection to its server, followed through connection events.
//
// It knows whether the connection is up, and, when a reconnecting client keeps it, prints each
// loss and each return with the length of the gap. It runs the receive passes itself, on the
// calling thread, so a pong or a loss is seen right after the pass that read it. It owns the
// communicator's connection-event callback (an EventLog) while it lives, and on destruction
// stops its reconnecting client and closes every registered connection.
//
// Thread-safety: one thread (the host's main thread) uses a ServerLink.
#pragma once

#include <chrono>
#include <string>

#include "tools/KEPMsgToolEvents.h"
#include "tools/KEPMsgToolSupport.h"

namespace kepmsgtool {

class ServerLink {
  public:
    // A link for the connection labelled label to server ("host:port", as printed); reconnect
    // says whether a reconnecting client keeps it.
    ServerLink(std::string label, std::string server, bool reconnect);
    ~ServerLink();
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    // Starts the reconnecting client for host:port (through TLS with tls, already checked); a
    // failure names the resolver's error, or says that the client could not start.
    ConnectResult StartReconnecting(const std::string& host, int port,
                                    const KEPMsgTlsSettings* tls);

    bool IsUp() const { return m_up; }

    // Runs one receive pass, waiting at most until deadline for traffic, and follows the events
    // it delivers.
    void Step(Clock::time_point deadline);
    // Runs receive passes until deadline.
    void Pump(Clock::time_point deadline);
    // True once the connection is up, running passes until then or until deadline; false at
    // once when it was lost and nothing redials.
    bool WaitUntilUp(Clock::time_point deadline);

    // The line for a connection that is down for good.
    std::string LossText(std::chrono::seconds patience) const;
    // The error of the last failed dial, for a server never reached.
    std::string LastDialError() const;

  private:
    // Takes the delivered events: a loss is reported, and a return with the length of the gap.
    void Follow();

    const std::string m_label;
    const std::string m_server;
    const bool m_reconnect;
    EventLog m_events;
    bool m_reconnecting = false;
    bool m_up = false;
    bool m_lost = false;
    Clock::time_point m_lostAt;
    std::string m_lossReason;
    int m_failedDials = 0;
    int m_lastDialError = 0;
};

}  // namespace kepmsgtool
