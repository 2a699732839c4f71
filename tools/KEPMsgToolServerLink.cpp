#include "tools/KEPMsgToolServerLink.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "messaging/KEPMsgReconnectSettings.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgCloseReason.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgSocketAddress.h"

namespace kepmsgtool {

namespace {

// Longest wait of one receive pass.
constexpr int kPassWaitMs = 100;
// Longest pause between dials: a restarted server is found within about this time.
constexpr int kMaxRedialPauseMs = 1000;

KEPMsgSocketCommunicator& Communicator() {
    return KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Instance();
}

}  // namespace

ServerLink::ServerLink(std::string label, std::string server, bool reconnect)
    : m_label(std::move(label)), m_server(std::move(server)), m_reconnect(reconnect) {}

ServerLink::~ServerLink() {
    if (m_reconnecting) {
        Communicator().StopReconnectingClient(m_label.c_str());
    }
    Communicator().RemoveConnection(nullptr, true);
}

ConnectResult ServerLink::StartReconnecting(const std::string& host, int port,
                                            const KEPMsgTlsSettings* tls) {
    // A name that does not resolve fails the same way on every dial: say so at once.
    ConnectResult result = CheckResolves(host);
    if (result.failure != ConnectFailure::kNone) {
        return result;
    }
    const KEPMsgSocketAddress address(KEPMsgInetAddress(KEPString(host.c_str())), port);
    KEPMsgReconnectSettings settings;
    settings.m_maxDelayMs = kMaxRedialPauseMs;
    KEPString tlsError;
    m_reconnecting =
        tls == nullptr ? Communicator().StartReconnectingClient(m_label.c_str(), address, settings)
                       : Communicator().StartReconnectingClient(m_label.c_str(), address, settings,
                                                                *tls, tlsError);
    if (!m_reconnecting) {
        result.failure = ConnectFailure::kConnect;
        result.errorText = tlsError.GetLengthInByte() > 0
                               ? std::string(tlsError.GetUTF8())
                               : std::string("cannot start the reconnecting client");
    }
    return result;
}

void ServerLink::Step(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int waitMs =
        static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), kPassWaitMs)));
    // A pass waiting while the link is down still ends as soon as the reconnecting client
    // registers the new connection, so the reconnect is seen at once.
    RunPass(waitMs);
    Follow();
}

void ServerLink::Pump(Clock::time_point deadline) {
    do {
        Step(deadline);
    } while (Clock::now() < deadline);
}

bool ServerLink::WaitUntilUp(Clock::time_point deadline) {
    while (!m_up && (m_reconnect || !m_lost) && Clock::now() < deadline) {
        Step(deadline);
    }
    return m_up;
}

std::string ServerLink::LossText(std::chrono::seconds patience) const {
    std::string text = "connection to " + m_server + " lost";
    if (!m_lossReason.empty()) {
        text += ": " + m_lossReason;
    }
    if (m_reconnect) {
        text += "; not back within " + std::to_string(patience.count()) + " s";
    }
    return text;
}

std::string ServerLink::LastDialError() const {
    return m_lastDialError != 0 ? ErrorText(m_lastDialError) : std::string("no answer");
}

void ServerLink::Follow() {
    while (std::optional<KEPMsgConnectionEvent> event = m_events.Next(Clock::now())) {
        switch (event->m_kind) {
            case KEPMsgConnectionEvent::kConnected:
                m_up = true;
                if (m_lost) {
                    const double gapMs =
                        std::chrono::duration<double, std::milli>(Clock::now() - m_lostAt).count();
                    std::printf("reconnected to %s after %.0f ms (%d failed dial%s)\n",
                                m_server.c_str(), gapMs, m_failedDials,
                                m_failedDials == 1 ? "" : "s");
                }
                m_lost = false;
                m_failedDials = 0;
                break;
            case KEPMsgConnectionEvent::kClosed:
                m_up = false;
                m_lost = true;
                m_lostAt = Clock::now();
                m_lossReason = KEPMsgCloseReasonText(event->m_reason);
                if (m_reconnect) {
                    std::printf("connection to %s lost: %s\n", m_server.c_str(),
                                m_lossReason.c_str());
                }
                break;
            case KEPMsgConnectionEvent::kReconnectAttempt:
                ++m_failedDials;
                m_lastDialError = event->m_errorCode;
                break;
            case KEPMsgConnectionEvent::kAccepted:
            case KEPMsgConnectionEvent::kReleased:  // the tool never unregisters a connection
                break;
        }
    }
}

}  // namespace kepmsgtool
