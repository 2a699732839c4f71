// KEPMsgTlsSession: one TLS connection over a connected descriptor.
//
// Owned by its KEPMsgCommSocket. Records go through the platform layer's send and recv, never
// blocking inside the TLS library: when it needs bytes that have not come, or room that the
// system does not have, the session lets go of its mutex and waits for the descriptor with the
// socket's I/O time-out, so one thread may read while another writes (the TLS library itself
// allows one call at a time on a connection). Handshake() and a read with wait = false never
// wait at all; the readiness wait drives a server's handshake with them.
//
// Thread-safety: every operation takes the session's mutex for its TLS calls and the failure
// text; Pending() and the state queries read atomics.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "sockets/KEPMsgTlsContext.h"

class KEPMsgTlsSession {
  public:
    enum class Step { kDone, kWantMore, kFailed };

    // A session on descriptor in context's role; peerHost is the dialed host (clients check it
    // when the context names no server). Null with error set when the TLS library refuses.
    static std::unique_ptr<KEPMsgTlsSession> Make(std::shared_ptr<KEPMsgTlsContext> context,
                                                  int descriptor, const char* peerHost,
                                                  std::string& error);
    ~KEPMsgTlsSession();
    KEPMsgTlsSession(const KEPMsgTlsSession&) = delete;
    KEPMsgTlsSession& operator=(const KEPMsgTlsSession&) = delete;

    // One non-blocking step of the handshake: done, more bytes needed, or failed (the text
    // then names the cause; the connection is no use).
    Step Handshake();
    // The whole handshake, waiting at most timeoutMs (0: no limit) for the peer.
    Step HandshakeWithin(int timeoutMs);
    // Ends a handshake that is taking too long: later steps fail with reason.
    void Abandon(const char* reason);
    bool IsEstablished() const { return m_established.load(std::memory_order_acquire); }
    // Why the handshake or the connection failed: OpenSSL's reason, "" when nothing failed.
    std::string FailureText() const;
    bool HasFailed() const { return m_failed.load(std::memory_order_acquire); }

    // Decrypted bytes into buffer: the count, 0 when the peer ended the stream, -1 with code
    // set to the Winsock code (WSAEWOULDBLOCK when wait is false and nothing is there,
    // WSAETIMEDOUT when waiting ran out, WSAECONNRESET for a broken stream). wait = true waits
    // up to timeoutMs (0: no limit) for a record.
    int Read(char* buffer, int length, bool wait, int timeoutMs, int& code);
    // Encrypts and sends up to length bytes: the count, all of it handed to the system (records
    // are collected and sent in large pieces, not one per send), -1 with code.
    int Write(const char* buffer, int length, int timeoutMs, int& code);
    // Decrypted bytes the TLS library holds that no Read has taken yet; 1 when it holds only
    // bytes it has not decrypted yet (a reader finds them without a receive all the same).
    int Pending() const { return m_pending.load(std::memory_order_relaxed); }

  private:
    KEPMsgTlsSession(std::shared_ptr<KEPMsgTlsContext> context, void* native, int descriptor);
    // Records the failure text (the first one) from the TLS library's error queue.
    void Fail(const char* what);
    // Waits until the descriptor is readable (or writable), at most until deadline.
    bool AwaitDescriptor(bool forWrite, std::chrono::steady_clock::time_point deadline,
                         bool limited);

    std::shared_ptr<KEPMsgTlsContext> m_context;
    mutable std::mutex m_mutex;  // one TLS call at a time; guards m_failure
    void* m_native;              // SSL*, guarded by m_mutex
    int m_descriptor;
    std::atomic<bool> m_established{false};
    std::atomic<int> m_pending{0};
    bool m_wantWrite = false;  // the last handshake step waited for room to send
    std::string m_failure;     // written once, under m_mutex, before Step::kFailed is returned
    std::atomic<bool> m_failed{false};  // m_failure is set
};
