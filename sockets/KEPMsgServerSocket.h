// KEPMsgServerSocket: a listening stream socket.
//
// The constructor binds and listens; when either fails the object is a closed socket with
// handle -1 and the reason in GetErrorCode(). The listening descriptor is non-blocking, so
// TryAccept() never blocks (the readiness wait uses it: a client that resets between the wait
// and the accept cannot stall it); Accept() waits until a connection arrives. Accepted
// connections are blocking.
//
// Thread-safety: as KEPMsgSocket; one thread at a time may call Accept().
#pragma once

#include "base/KEPBasExport.h"
#include "sockets/KEPMsgSocket.h"

class KEPMsgCommSocket;

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
};
