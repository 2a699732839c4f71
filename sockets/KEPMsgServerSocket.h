// KEPMsgServerSocket: a listening stream socket.
//
// The constructor binds and listens; when either fails the object is a closed socket with
// handle -1 and the reason in GetErrorCode(). The listening descriptor is non-blocking, so
// TryAccept() never blocks (the readiness wait uses it: a client that resets between the wait
// and the accept cannot stall it); Accept() waits until a connection arrives. Accepted
// connections are blocking.
//
// Accept filter (SetAcceptFilter): a connection from outside the allowed networks is closed
// right after accept(2), before a byte is read; it is counted (RefusedByFilter) and remembered
// for the caller of TryAccept (TakeRefusal), which reports it. TLS (SetTls): every connection
// accepted afterwards runs through TLS; its handshake starts when its first bytes arrive.
//
// Thread-safety: as KEPMsgSocket; one thread at a time may call Accept(). The filter and the
// TLS context may be set from any thread (an internal mutex guards them); the counters are
// atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/KEPBasExport.h"
#include "base/KEPString.h"
#include "sockets/KEPMsgAcceptFilter.h"
#include "sockets/KEPMsgConnectionCounters.h"
#include "sockets/KEPMsgSocket.h"
#include "sockets/KEPMsgTlsSettings.h"

class KEPMsgCommSocket;
class KEPMsgTlsContext;

class KEPMSG_API KEPMsgServerSocket : public KEPMsgSocket {
  public:
    // Binds address and listens with backlog. Success: IsClosed() false and GetId() != -1.
    KEPMsgServerSocket(KEPMsgSocketAddress address, int backlog);

    // Returns a new connected socket owned by the caller (open both ways, with a copy of this
    // socket's address), or null with the error recorded here. Waits until a connection arrives.
    // A pending connection that was reset or lost is reported (null, its code) without closing
    // this socket.
    KEPMsgCommSocket* Accept();
    // As Accept(), but never waits: returns null with WSAEWOULDBLOCK (10035) recorded when no
    // connection is pending.
    KEPMsgCommSocket* TryAccept();
    // Shuts down both directions, then Close(). Idempotent.
    void Shutdown() override;

    // Admits connections only from the comma-separated IPv4/IPv6 CIDR blocks of blocks
    // ("127.0.0.1/32,::1/128"); null or "" admits everyone again. False, nothing changed, for a
    // malformed block.
    bool SetAcceptFilter(const char* blocks);
    // Runs every connection accepted from now on through TLS with settings. False, nothing
    // changed, with errorText naming the cause, when the settings cannot load (a missing file,
    // a key that does not match its certificate), a host input stream is registered, or the
    // library was built without TLS ("TLS not available").
    bool SetTls(const KEPMsgTlsSettings& settings, KEPString& errorText);
    // Connections refused by the filter so far, and connections accepted.
    std::uint64_t RefusedByFilter() const { return m_refusedByFilter.load(); }
    std::uint64_t AcceptedCount() const { return m_accepted.load(); }

    // Module-internal: the peer of the last connection TryAccept refused by the filter.
    struct Refusal {
        char m_peerHost[KEPMsgConnectionCounters::kHostTextBytes];
        int m_peerPort;
    };
    // True, with refusal filled in, when the last TryAccept refused a connection (once).
    KEPMSG_INTERNAL bool TakeRefusal(Refusal& refusal);

  private:
    std::mutex m_settingsMutex;
    KEPMsgAcceptFilter m_filter;              // guarded by m_settingsMutex
    std::shared_ptr<KEPMsgTlsContext> m_tls;  // guarded by m_settingsMutex
    std::atomic<std::uint64_t> m_refusedByFilter{0};
    std::atomic<std::uint64_t> m_accepted{0};
    bool m_refused = false;  // for the accepting thread
    Refusal m_refusal{};
};
