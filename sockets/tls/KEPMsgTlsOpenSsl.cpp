// The TLS back end built on OpenSSL: KEPMsgTlsContext and KEPMsgTlsSession.
//
// Records travel through a BIO of our own over the platform layer's send and recv, called with
// MSG_DONTWAIT: OpenSSL never blocks, and the session waits for the descriptor itself, without
// its mutex, so that a reader waiting for a record never holds up a writer.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgTlsContext.h"
#include "sockets/KEPMsgTlsSession.h"

namespace {

// How much one receive may bring in: several records, so that a large message takes few
// receives (and few acknowledgements and wake-ups).
constexpr std::size_t kReceiveBytes = 64 * 1024;

// A session's BIO: the descriptor; received bytes OpenSSL has not asked for yet (it reads a
// record header, then its body); and the records written while the session encrypts a batch
// (sent in large pieces by the session's Write, not a record per send).
struct SocketBio {
    int descriptor;
    bool endOfStream = false;  // the peer's FIN: OpenSSL asks with BIO_CTRL_EOF
    std::vector<char> received;
    std::size_t receivedBegin = 0;
    std::size_t receivedEnd = 0;
    bool collecting = false;  // Write is encrypting: records go to pending
    std::vector<char> pending;
    std::size_t sentOfPending = 0;
};

SocketBio& StateOf(BIO* bio) {
    return *static_cast<SocketBio*>(BIO_get_data(bio));
}

int BioRead(BIO* bio, char* buffer, int length) {
    BIO_clear_retry_flags(bio);
    SocketBio& state = StateOf(bio);
    if (state.receivedBegin == state.receivedEnd && length > 0) {
        state.received.resize(kReceiveBytes);
        const int received = kepwsa::recv(state.descriptor, state.received.data(),
                                          static_cast<int>(kReceiveBytes), MSG_DONTWAIT);
        if (received <= 0) {
            if (received < 0 && kepwsa::WSAGetLastError() == kepwsa::WSAEWOULDBLOCK) {
                BIO_set_retry_read(bio);
            } else if (received == 0) {
                state.endOfStream = true;
            }
            return received;
        }
        state.receivedBegin = 0;
        state.receivedEnd = static_cast<std::size_t>(received);
    }
    const std::size_t served = std::min(static_cast<std::size_t>(std::max(length, 0)),
                                        state.receivedEnd - state.receivedBegin);
    std::memcpy(buffer, state.received.data() + state.receivedBegin, served);
    state.receivedBegin += served;
    return static_cast<int>(served);
}

// Whether bytes wait that no SSL_read has returned: decrypted ones (their count), or records
// not decrypted yet, in OpenSSL or in the BIO (1).
int PendingOf(SSL* ssl) {
    const int decrypted = SSL_pending(ssl);
    if (decrypted > 0) {
        return decrypted;
    }
    const SocketBio& state = StateOf(SSL_get_rbio(ssl));
    return SSL_has_pending(ssl) != 0 || state.receivedBegin < state.receivedEnd ? 1 : 0;
}

int BioWrite(BIO* bio, const char* buffer, int length) {
    BIO_clear_retry_flags(bio);
    SocketBio& state = StateOf(bio);
    if (state.collecting || !state.pending.empty()) {
        // Behind records not sent yet (a reader's alert while a writer waits for room): in order.
        state.pending.insert(state.pending.end(), buffer, buffer + length);
        return length;
    }
    const int sent = kepwsa::send(state.descriptor, buffer, length, MSG_DONTWAIT);
    if (sent < 0 && kepwsa::WSAGetLastError() == kepwsa::WSAEWOULDBLOCK) {
        BIO_set_retry_write(bio);
    }
    return sent;
}

long BioControl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    if (command == BIO_CTRL_EOF) {
        return StateOf(bio).endOfStream ? 1 : 0;
    }
    return command == BIO_CTRL_FLUSH ? 1 : 0;  // the session's Write sends what is collected
}

int BioCreate(BIO* bio) {
    BIO_set_data(bio, new (std::nothrow) SocketBio{});
    BIO_set_init(bio, 1);
    return BIO_get_data(bio) != nullptr ? 1 : 0;
}

int BioDestroy(BIO* bio) {
    delete static_cast<SocketBio*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

// Sends collected records without waiting: false when the connection broke (the system's code
// is left for the caller), true when all went or the rest waits for room.
bool SendCollected(SocketBio& state) {
    while (state.sentOfPending < state.pending.size()) {
        const std::size_t left = state.pending.size() - state.sentOfPending;
        const int sent =
            kepwsa::send(state.descriptor, state.pending.data() + state.sentOfPending,
                         static_cast<int>(std::min<std::size_t>(left, INT_MAX)), MSG_DONTWAIT);
        if (sent < 0) {
            return kepwsa::WSAGetLastError() == kepwsa::WSAEWOULDBLOCK;
        }
        state.sentOfPending += static_cast<std::size_t>(sent);
    }
    state.pending.clear();
    state.sentOfPending = 0;
    return true;
}

// How much a Write encrypts ahead of what the system has taken.
constexpr std::size_t kWriteBatchBytes = 256 * 1024;

// The one BIO method of the process, made on first use and kept for its life.
BIO_METHOD* SocketBioMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kep socket");
        BIO_meth_set_read(made, BioRead);
        BIO_meth_set_write(made, BioWrite);
        BIO_meth_set_ctrl(made, BioControl);
        BIO_meth_set_create(made, BioCreate);
        BIO_meth_set_destroy(made, BioDestroy);
        return made;
    }();
    return method;
}

// OpenSSL's reason for the last failure on this thread ("" when it recorded none).
std::string LastReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) {
        return std::string();
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return text;
}

std::string FileError(const char* what, const KEPString& file) {
    return std::string("cannot load ") + what + " '" + file.GetUTF8() + "': " + LastReason();
}

struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

// Loads settings into context; "" or the cause.
std::string Load(SSL_CTX* context, const KEPMsgTlsSettings& settings, KEPMsgTlsContext::Role role) {
    const bool server = role == KEPMsgTlsContext::Role::kServer;
    const bool hasChain = settings.m_certificateChainFile.GetLengthInByte() > 0;
    const bool hasKey = settings.m_privateKeyFile.GetLengthInByte() > 0;
    const bool hasCa = settings.m_caFile.GetLengthInByte() > 0;
    if (hasChain != hasKey) {
        return "a certificate chain file needs its private key file, and the other way round";
    }
    if (server && !hasChain) {
        return "a TLS server needs a certificate chain file and a private key file";
    }
    SSL_CTX_set_min_proto_version(context, settings.m_minVersion == KEPMsgTlsSettings::kTls13
                                               ? TLS1_3_VERSION
                                               : TLS1_2_VERSION);
    // Partial writes let a send report what went out, as a socket's does; no automatic retry
    // lets a read that met only a handshake record come back instead of waiting.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_clear_mode(context, SSL_MODE_AUTO_RETRY);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
    // A peer that closes without close_notify has ended the stream: the framing is ours.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
#endif
    if (server) {
        // No session tickets: nothing arrives after the handshake that is not a message.
        SSL_CTX_set_num_tickets(context, 0);
        SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    }
    if (hasChain) {
        if (SSL_CTX_use_certificate_chain_file(context,
                                               settings.m_certificateChainFile.GetUTF8()) != 1) {
            return FileError("certificate chain file", settings.m_certificateChainFile);
        }
        const bool keyLoaded =
            SSL_CTX_use_PrivateKey_file(context, settings.m_privateKeyFile.GetUTF8(),
                                        SSL_FILETYPE_PEM) == 1;
        const bool mismatch =
            keyLoaded ? SSL_CTX_check_private_key(context) != 1
                      : ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
        if (!keyLoaded && !mismatch) {
            return FileError("private key file", settings.m_privateKeyFile);
        }
        if (mismatch) {
            ERR_clear_error();
            return std::string("private key '") + settings.m_privateKeyFile.GetUTF8() +
                   "' does not match certificate '" + settings.m_certificateChainFile.GetUTF8() +
                   "'";
        }
    }
    if (hasCa) {
        if (SSL_CTX_load_verify_locations(context, settings.m_caFile.GetUTF8(), nullptr) != 1) {
            return FileError("CA file", settings.m_caFile);
        }
        if (server) {
            STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(settings.m_caFile.GetUTF8());
            if (names != nullptr) {
                SSL_CTX_set_client_CA_list(context, names);
            }
        }
    } else if (!server && SSL_CTX_set_default_verify_paths(context) != 1) {
        return "cannot load the system's CA store: " + LastReason();
    }
    int verify = SSL_VERIFY_NONE;
    if (settings.m_verifyPeer && (!server || hasCa)) {
        // A server with a CA demands a client certificate that the CA signed.
        verify = server ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_PEER;
    }
    SSL_CTX_set_verify(context, verify, nullptr);
    return std::string();
}

}  // namespace

bool KEPMsgTlsSettings::IsAvailable() {
    return true;
}

std::shared_ptr<KEPMsgTlsContext> KEPMsgTlsContext::Make(const KEPMsgTlsSettings& settings,
                                                         Role role, std::string& error) {
    ERR_clear_error();
    std::unique_ptr<SSL_CTX, ContextFree> context(
        SSL_CTX_new(role == Role::kServer ? TLS_server_method() : TLS_client_method()));
    if (!context) {
        error = "cannot make a TLS context: " + LastReason();
        return nullptr;
    }
    error = Load(context.get(), settings, role);
    if (!error.empty()) {
        return nullptr;
    }
    if (!Acquire(error)) {
        return nullptr;
    }
    return std::shared_ptr<KEPMsgTlsContext>(
        new KEPMsgTlsContext(role, context.release(), settings.m_serverName.GetUTF8()));
}

KEPMsgTlsContext::~KEPMsgTlsContext() {
    SSL_CTX_free(static_cast<SSL_CTX*>(m_native));
    Release();
}

std::unique_ptr<KEPMsgTlsSession> KEPMsgTlsSession::Make(std::shared_ptr<KEPMsgTlsContext> context,
                                                         int descriptor, const char* peerHost,
                                                         std::string& error) {
    ERR_clear_error();
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context->Native()));
    BIO* bio = ssl != nullptr ? BIO_new(SocketBioMethod()) : nullptr;
    if (bio == nullptr) {
        error = "cannot make a TLS session: " + LastReason();
        SSL_free(ssl);
        return nullptr;
    }
    StateOf(bio).descriptor = descriptor;
    SSL_set_bio(ssl, bio, bio);
    if (context->GetRole() == KEPMsgTlsContext::Role::kServer) {
        SSL_set_accept_state(ssl);
    } else {
        SSL_set_connect_state(ssl);
        const std::string name =
            context->ServerName().empty() ? std::string(peerHost) : context->ServerName();
        // An address literal is checked against the certificate's IP entries, a name against
        // its DNS names (and sent as SNI).
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) != 1) {
            ERR_clear_error();
            SSL_set1_host(ssl, name.c_str());
            SSL_set_tlsext_host_name(ssl, name.c_str());
        }
    }
    return std::unique_ptr<KEPMsgTlsSession>(
        new KEPMsgTlsSession(std::move(context), ssl, descriptor));
}

KEPMsgTlsSession::KEPMsgTlsSession(std::shared_ptr<KEPMsgTlsContext> context, void* native,
                                   int descriptor)
    : m_context(std::move(context)), m_native(native), m_descriptor(descriptor) {}

KEPMsgTlsSession::~KEPMsgTlsSession() {
    SSL_free(static_cast<SSL*>(m_native));
}

void KEPMsgTlsSession::Fail(const char* what) {
    if (!m_failure.empty()) {
        ERR_clear_error();
        return;
    }
    SSL* ssl = static_cast<SSL*>(m_native);
    const long verified = SSL_get_verify_result(ssl);
    std::string reason = LastReason();
    if (verified != X509_V_OK) {
        reason =
            std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
    }
    if (reason.empty()) {
        reason = what;
    }
    m_failure = reason;
    m_failed.store(true, std::memory_order_release);
}

std::string KEPMsgTlsSession::FailureText() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

KEPMsgTlsSession::Step KEPMsgTlsSession::Handshake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    SSL* ssl = static_cast<SSL*>(m_native);
    if (!m_failure.empty()) {
        return Step::kFailed;
    }
    ERR_clear_error();
    kepwsa::WSASetLastError(0);
    const int result = SSL_do_handshake(ssl);
    if (result == 1) {
        m_pending.store(PendingOf(ssl), std::memory_order_relaxed);  // the peer's first records
        m_established.store(true, std::memory_order_release);
        return Step::kDone;
    }
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        m_wantWrite = error == SSL_ERROR_WANT_WRITE;
        return Step::kWantMore;
    }
    const int code = kepwsa::WSAGetLastError();
    Fail(error == SSL_ERROR_SYSCALL && code == 0 ? "the peer closed the connection"
         : code == kepwsa::WSAECONNRESET         ? "the peer reset the connection"
                                                 : "the handshake failed");
    return Step::kFailed;
}

void KEPMsgTlsSession::Abandon(const char* reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ERR_clear_error();
    if (m_failure.empty()) {
        m_failure = reason;
        m_failed.store(true, std::memory_order_release);
    }
}

KEPMsgTlsSession::Step KEPMsgTlsSession::HandshakeWithin(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const Step step = Handshake();
        if (step != Step::kWantMore) {
            return step;
        }
        if (!AwaitDescriptor(m_wantWrite, deadline, timeoutMs > 0)) {
            Abandon("the handshake timed out");
            return Step::kFailed;
        }
    }
}

int KEPMsgTlsSession::Read(char* buffer, int length, bool wait, int timeoutMs, int& code) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int error = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            SSL* ssl = static_cast<SSL*>(m_native);
            ERR_clear_error();
            kepwsa::WSASetLastError(0);
            const int result = SSL_read(ssl, buffer, length);
            m_pending.store(PendingOf(ssl), std::memory_order_relaxed);
            if (result > 0) {
                return result;
            }
            error = SSL_get_error(ssl, result);
            if (error == SSL_ERROR_ZERO_RETURN) {
                return 0;
            }
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                const int system = kepwsa::WSAGetLastError();
                Fail("the connection broke");
                // A broken record stream is a lost connection, whatever broke it.
                code = system != 0 ? system : kepwsa::WSAECONNABORTED;
                return -1;
            }
        }
        if (!wait) {
            code = kepwsa::WSAEWOULDBLOCK;
            return -1;
        }
        if (!AwaitDescriptor(error == SSL_ERROR_WANT_WRITE, deadline, timeoutMs > 0)) {
            code = kepwsa::WSAETIMEDOUT;
            return -1;
        }
    }
}

int KEPMsgTlsSession::Write(const char* buffer, int length, int timeoutMs, int& code) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int accepted = 0;  // bytes of buffer encrypted into collected records
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            SSL* ssl = static_cast<SSL*>(m_native);
            SocketBio& state = StateOf(SSL_get_wbio(ssl));
            ERR_clear_error();
            kepwsa::WSASetLastError(0);
            // Records are collected up to a batch and leave in sends as large as the system
            // takes; more is encrypted while earlier records wait for room.
            state.collecting = true;
            int result = 1;
            while (accepted < length && state.pending.size() < kWriteBatchBytes && result > 0) {
                result = SSL_write(ssl, buffer + accepted, length - accepted);
                accepted += std::max(result, 0);
            }
            state.collecting = false;
            const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, result);
            if (error != SSL_ERROR_NONE || !SendCollected(state)) {
                const int system = kepwsa::WSAGetLastError();
                Fail("the connection broke");
                code = system != 0 ? system : kepwsa::WSAECONNABORTED;
                return -1;
            }
            if (state.pending.empty()) {
                return accepted;  // everything encrypted has gone to the system
            }
        }
        if (!AwaitDescriptor(true, deadline, timeoutMs > 0)) {
            code = kepwsa::WSAETIMEDOUT;
            return -1;
        }
    }
}

bool KEPMsgTlsSession::AwaitDescriptor(bool forWrite,
                                       std::chrono::steady_clock::time_point deadline,
                                       bool limited) {
    timeval timeout{};
    if (limited) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        timeout.tv_sec = static_cast<long>(left / 1000000);
        timeout.tv_usec = static_cast<long>(left % 1000000);
    }
    kepwsa::fd_set set;
    kepwsa::FD_ZERO(&set);
    kepwsa::FD_SET(m_descriptor, &set);
    const int ready =
        kepwsa::select(m_descriptor + 1, forWrite ? nullptr : &set, forWrite ? &set : nullptr,
                       nullptr, limited ? &timeout : nullptr);
    // A failed wait is not a time-out: the next TLS call meets the descriptor's error.
    return ready != 0;
}
