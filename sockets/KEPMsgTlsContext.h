// KEPMsgTlsContext: the loaded form of a KEPMsgTlsSettings for one role (server or client).
//
// Made once per listening socket or per connect (or per reconnecting client) and shared, by
// shared_ptr, by every session made from it; it lives as long as its last user. Loading reads
// and checks every file at once, so settings that cannot work fail at the call that gives them.
//
// Host input streams: a stream that receives from the descriptor itself would read TLS
// records, not messages. While any context exists, RefuseHostInputStreams() is in force, and no
// context can be made while the communicator has such a stream (SetHostInputStreamsInUse).
//
// Thread-safety: a context is immutable once made; any thread may make sessions from it. The
// in-use bookkeeping is guarded by one process-wide mutex.
#pragma once

#include <memory>
#include <string>

#include "sockets/KEPMsgTlsSettings.h"

class KEPMsgTlsContext {
  public:
    enum class Role { kServer, kClient };

    // The loaded settings, or null with error set to one line naming the cause (a file that
    // cannot be read, a key that does not match its certificate, a server without a
    // certificate, host input streams in use, "TLS not available").
    static std::shared_ptr<KEPMsgTlsContext> Make(const KEPMsgTlsSettings& settings, Role role,
                                                  std::string& error);
    ~KEPMsgTlsContext();
    KEPMsgTlsContext(const KEPMsgTlsContext&) = delete;
    KEPMsgTlsContext& operator=(const KEPMsgTlsContext&) = delete;

    Role GetRole() const { return m_role; }
    // The name a client checks, as the settings gave it ("" means the dialed host).
    const std::string& ServerName() const { return m_serverName; }
    // The library's handle of the loaded settings (an SSL_CTX where TLS is built in).
    void* Native() const { return m_native; }

    // The communicator reports whether a host input stream is registered: true is refused
    // (false returned, nothing changed) while any context exists.
    static bool SetHostInputStreamsInUse(bool inUse);

    // The fork handlers hold the in-use mutex across fork() (it is a leaf: taken last, under
    // any other lock), so that a child dropping inherited connections, and with them their
    // contexts, never meets it held by a thread the child does not have.
    static void HoldForFork();
    static void ReleaseAfterFork();

  private:
    KEPMsgTlsContext(Role role, void* native, std::string serverName);
    // Counts a context in; false, with error set, while host input streams are in use.
    static bool Acquire(std::string& error);
    // Counts a context out (its destructor).
    static void Release();

    Role m_role;
    void* m_native;
    std::string m_serverName;
};
