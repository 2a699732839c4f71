// KEPMsgCommSocket: the TLS handshake and the prefetch of decrypted input.
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgTlsSession.h"

bool KEPMsgCommSocket::StartTls(std::shared_ptr<KEPMsgTlsContext> context,
                                const KEPString& dialedHost, std::string& error) {
    std::unique_ptr<KEPMsgTlsSession> session = KEPMsgTlsSession::Make(
        std::move(context), GetId(),
        dialedHost.GetLengthInByte() == 0 ? kLoopbackIpv4 : dialedHost.GetUTF8(), error);
    if (!session) {
        return false;
    }
    m_tls = std::move(session);
    const int timeoutMs = GetIoTimeout();
    m_handshakeLimited = timeoutMs > 0;
    m_handshakeDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return true;
}

bool KEPMsgCommSocket::IsTlsHandshakePending() const {
    return m_tls && !m_tls->IsEstablished() && !m_tls->HasFailed() && !IsClosed();
}

bool KEPMsgCommSocket::AdvanceTlsHandshake() {
    if (!m_tls || IsClosed()) {
        return false;
    }
    KEPMsgTlsSession::Step step = m_tls->Handshake();
    if (step == KEPMsgTlsSession::Step::kWantMore && m_handshakeLimited &&
        std::chrono::steady_clock::now() >= m_handshakeDeadline) {
        m_tls->Abandon("the handshake timed out");
        step = KEPMsgTlsSession::Step::kFailed;
    }
    if (step == KEPMsgTlsSession::Step::kFailed) {
        m_counters.RecordCloseReason(kCloseReasonTlsHandshakeFailed);
        Shutdown();
    }
    return step == KEPMsgTlsSession::Step::kDone;
}

bool KEPMsgCommSocket::CompleteTlsHandshake(int timeoutMs, std::string& error) {
    if (m_tls && m_tls->HandshakeWithin(timeoutMs) == KEPMsgTlsSession::Step::kDone) {
        return true;
    }
    error = "TLS handshake failed: " + TlsFailureText();
    m_counters.RecordCloseReason(kCloseReasonTlsHandshakeFailed);
    Shutdown();
    return false;
}

void KEPMsgCommSocket::PrefetchTls() {
    if (!m_tls || m_readEnd != m_readBegin || !m_inputOpen.load() || IsClosed()) {
        return;
    }
    int code = 0;
    const int received = m_tls->Read(ReadBuffer(), kReadBufferBytes, false, 0, code);
    if (received > 0) {
        KeepReadAhead(received);
    } else if (received == 0) {
        m_counters.RecordCloseReason(kCloseReasonPeerClosed);
        Shutdown();
    } else if (code != kepwsa::WSAEWOULDBLOCK) {
        HandleIoError(code);
    }
}

std::string KEPMsgCommSocket::TlsFailureText() const {
    return m_tls ? m_tls->FailureText() : std::string();
}
