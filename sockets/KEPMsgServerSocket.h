// KEPMsgServerSocket: a listening stream socket.
//
// The constructor binds and listens; when either fails the object is a closed socket with
// handle -1 and the reason in GetErrorCode(). Accept() blocks until a connection arrives, so
// callers call it when a readiness wait reported the socket readable.
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
    // socket's address), or null with the error recorded here.
    KEPMsgCommSocket* Accept();
    // Shuts down both directions, then Close(). Idempotent.
    void Shutdown() override;
};
