// The TLS back end of a build without OpenSSL: every TLS call fails with "TLS not available".
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgTlsContext.h"
#include "sockets/KEPMsgTlsSession.h"

bool KEPMsgTlsSettings::IsAvailable() {
    return false;
}

std::shared_ptr<KEPMsgTlsContext> KEPMsgTlsContext::Make(const KEPMsgTlsSettings& /*settings*/,
                                                         Role /*role*/, std::string& error) {
    error = "TLS not available";
    return nullptr;
}

KEPMsgTlsContext::~KEPMsgTlsContext() {
    Release();
}

std::unique_ptr<KEPMsgTlsSession> KEPMsgTlsSession::Make(
    std::shared_ptr<KEPMsgTlsContext> /*context*/, int /*descriptor*/, const char* /*peerHost*/,
    std::string& error) {
    error = "TLS not available";
    return nullptr;
}

KEPMsgTlsSession::~KEPMsgTlsSession() {}

KEPMsgTlsSession::Step KEPMsgTlsSession::Handshake() {
    return Step::kFailed;
}

void KEPMsgTlsSession::Abandon(const char* /*reason*/) {}

std::string KEPMsgTlsSession::FailureText() const {
    return std::string();
}

KEPMsgTlsSession::Step KEPMsgTlsSession::HandshakeWithin(int /*timeoutMs*/) {
    return Step::kFailed;
}

int KEPMsgTlsSession::Read(char* /*buffer*/, int /*length*/, bool /*wait*/, int /*timeoutMs*/,
                           int& code) {
    code = kepwsa::WSAEOPNOTSUPP;
    return -1;
}

int KEPMsgTlsSession::Write(const char* /*buffer*/, int /*length*/, int /*timeoutMs*/, int& code) {
    code = kepwsa::WSAEOPNOTSUPP;
    return -1;
}
