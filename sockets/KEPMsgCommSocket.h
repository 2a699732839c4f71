// KEPMsgCommSocket: a connected stream socket.
//
// Made unconnected and then connected with Connect(), or handed out by
// KEPMsgServerSocket::Accept() for an incoming connection. Blocking reads and writes; an error
// that means the connection is gone (10050-10054, 10057, 10058) or an I/O time-out (10060) shuts
// the socket down. A socket may be connected again from any state.
//
// Thread-safety: as KEPMsgSocket. The direction flags are atomics; Shutdown() may be called from
// another thread while one thread reads or writes (the blocked call returns), but two threads
// must not read, write or connect on one socket at once.
#pragma once

#include <atomic>

#include "base/KEPBasExport.h"
#include "sockets/KEPMsgSocket.h"

class KEPMSG_API KEPMsgCommSocket : public KEPMsgSocket {
  public:
    // An unconnected socket that records address as its own; both directions closed.
    explicit KEPMsgCommSocket(KEPMsgSocketAddress address);
    // Takes ownership of an already connected descriptor; open in both directions.
    KEPMsgCommSocket(KEPMsgSocketAddress address, int handle);

    // Shuts down any previous connection, then tries every resolved address of address once, in
    // the resolver's order. Success is read with IsConnected(); the error code of the last failed
    // attempt stays recorded. An empty host means "127.0.0.1".
    void Connect(KEPMsgSocketAddress address);
    // Returns true when there is a handle, the socket is not closed and a direction is open.
    bool IsConnected() const;
    bool IsInputShutDown() const;
    bool IsOutputShutDown() const;
    // Half-closes the receiving side; a connection-lost error counts as done and is not recorded,
    // any other error is recorded and the side stays open.
    void ShutDownInput();
    // Half-closes the sending side, with the rules of ShutDownInput().
    void ShutDownOutput();
    // Both half-closes, then Close(). Idempotent.
    void Shutdown() override;

    // Returns the bytes received, 0 when the peer closed (the socket is then shut down), -1 on
    // failure or when input is shut down.
    int read(char* buffer, int length);
    // Returns the bytes sent (possibly fewer than length), -1 on failure or when output is shut
    // down (then no error is recorded).
    int write(const char* buffer, int length);

  private:
    // Records code and shuts the socket down when it means the connection is gone.
    void HandleIoError(int code);

    std::atomic<bool> m_inputOpen;
    std::atomic<bool> m_outputOpen;
};
