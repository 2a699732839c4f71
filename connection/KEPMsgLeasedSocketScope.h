// KEPMsgLeasedSocketScope: tells the module's own streams which socket the running transmit or
// receive pass holds a lease on, so that they need not lease it again.
//
// A pass leases a connection's socket for a whole record (header and body) or message. Without
// a scope, KEPMsgBufferedOutputStream and KEPMsgSimpleInputStream lease the socket once more for
// every write or read. While a scope is open on the calling thread, a stream whose socket id is
// that socket's id uses it directly. The caller's lease keeps the socket object and its
// descriptor alive for the whole scope, so the id cannot name another connection meanwhile:
// the connection table holds this socket under that id or, once it has been removed, nothing;
// a removed socket has been shut down and fails reads and writes as a failed look-up does.
//
// Thread-safety: the scope belongs to the thread that opens it (thread-local); it must not
// outlive the caller's lease. Scopes nest; the innermost is in force. Module-internal.
#pragma once

#include "base/KEPBasExport.h"

class KEPMsgCommSocket;
class KEPMsgSocketLease;

class KEPMSG_INTERNAL KEPMsgLeasedSocketScope {
  public:
    // Opens the scope for socket, which the caller holds a lease on until the scope ends.
    explicit KEPMsgLeasedSocketScope(KEPMsgCommSocket& socket);
    // Restores the scope that was in force before.
    ~KEPMsgLeasedSocketScope();
    KEPMsgLeasedSocketScope(const KEPMsgLeasedSocketScope&) = delete;
    KEPMsgLeasedSocketScope& operator=(const KEPMsgLeasedSocketScope&) = delete;

    // Returns the socket of this thread's innermost scope when its id is socketId, else null.
    static KEPMsgCommSocket* Find(int socketId);
    // The connected socket for socketId: this thread's scoped one, or else one leased into
    // lease for as long as the caller keeps it. Null when the id names no connected socket.
    static KEPMsgCommSocket* FindOrLease(int socketId, KEPMsgSocketLease& lease);

  private:
    KEPMsgCommSocket* m_previous;
};
