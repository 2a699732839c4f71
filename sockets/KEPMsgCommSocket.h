// KEPMsgCommSocket: a connected stream socket.
//
// Made unconnected and then connected with Connect(), or handed out by
// KEPMsgServerSocket::Accept() for an incoming connection. Blocking reads and writes; an error
// that means the connection is gone (10050-10054, 10057, 10058) or an I/O time-out (10060) shuts
// the socket down. A socket may be connected again from any state.
//
// Reads go through a user-space buffer owned by the socket: a small read receives up to
// kReadBufferBytes at once and later reads are served from it, so a header and a small body cost
// one receive between them. The byte stream a reader sees is unchanged; HasBufferedInput() tells
// a readiness wait that data is waiting where select cannot see it.
//
// Gathered writes: between BeginGather() and EndGather() the first write is sent at once (held
// back with MSG_MORE, so that a broken connection still fails on it), later small writes are
// collected in a user-space buffer and leave together at EndGather() (a transmit pass sends its
// records to one connection with two sends); large writes go straight out, after what was
// gathered. Outside a gather, every write is one send, as before.
//
// TLS (StartTls): the socket's reads and writes go through a KEPMsgTlsSession instead of the
// descriptor; everything above them (read-ahead, gathering, counting) is unchanged, and bytes
// are counted as messages carry them, not as records. A connection accepted by a TLS listener
// shakes hands without blocking: the readiness wait advances it (AdvanceTlsHandshake) as bytes
// come and fails it when the I/O time-out passes; a client completes it in its connect.
//
// Each connection keeps its life record (KEPMsgConnectionCounters): bytes as they are received
// and sent, the peer's address, when and how it was made, and the first reason it ended for (the
// peer's close, a reset or lost connection, an I/O time-out, or what a caller records).
//
// Thread-safety: as KEPMsgSocket. The direction flags are atomics; Shutdown() may be called from
// another thread while one thread reads or writes (the blocked call returns), but two threads
// must not read, write or connect on one socket at once. The read and gather buffers belong to
// the thread that reads or writes; HasBufferedInput() may be asked from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>

#include "base/KEPBasExport.h"
#include "sockets/KEPMsgConnectionCounters.h"
#include "sockets/KEPMsgSocket.h"

struct addrinfo;
class KEPMsgTlsContext;
class KEPMsgTlsSession;

class KEPMSG_API KEPMsgCommSocket : public KEPMsgSocket {
  public:
    // An unconnected socket that records address as its own; both directions closed.
    explicit KEPMsgCommSocket(KEPMsgSocketAddress address);
    // Takes ownership of an already connected descriptor; open in both directions.
    KEPMsgCommSocket(KEPMsgSocketAddress address, int handle);
    ~KEPMsgCommSocket() override;

    // Shuts down any previous connection, then tries every resolved address of address once, in
    // the resolver's order. Success is read with IsConnected(); the error code of the last failed
    // attempt stays recorded. An empty host means "127.0.0.1".
    void Connect(KEPMsgSocketAddress address);
    // Module-internal: Connect() that gives up when cancel becomes true (seen within
    // kDialSliceMs) or when an address has not answered within timeoutMs; the results are those
    // of Connect() (a time-out records WSAETIMEDOUT, a cancel WSAEINTR). Name resolution is not
    // cancellable. Used by reconnecting clients, whose stop must not wait for a silent host.
    KEPMSG_INTERNAL void ConnectWithin(KEPMsgSocketAddress address, int timeoutMs,
                                       const std::atomic<bool>& cancel);
    static constexpr int kDialSliceMs = 50;

    // Returns socket as a connected socket, or null when it is not one (or is null). The exact
    // type is recognised without a dynamic_cast, which the per-message paths would pay for.
    static KEPMsgCommSocket* FromSocket(KEPMsgSocket* socket) {
        if (socket != nullptr && typeid(*socket) == typeid(KEPMsgCommSocket)) {
            return static_cast<KEPMsgCommSocket*>(socket);
        }
        return dynamic_cast<KEPMsgCommSocket*>(socket);
    }

    // Returns true when there is a handle, the socket is not closed and a direction is open.
    bool IsConnected() const;
    // True until a connection is made, and once the receiving side is shut down (by
    // ShutDownInput, Shutdown, the peer's close or a lost connection).
    bool IsInputShutDown() const;
    // True until a connection is made, and once the sending side is shut down.
    bool IsOutputShutDown() const;
    // Half-closes the receiving side; a connection-lost error counts as done and is not recorded,
    // any other error is recorded and the side stays open.
    void ShutDownInput();
    // Half-closes the sending side, with the rules of ShutDownInput().
    void ShutDownOutput();
    // Both half-closes, then Close(). Idempotent.
    void Shutdown() override;

    // Returns the bytes received, 0 when the peer closed (the socket is then shut down) or when
    // length is 0, -1 on failure, when input is shut down, or for a negative length (WSAEINVAL
    // recorded; the connection stays open).
    int read(char* buffer, int length);
    // Returns the bytes sent (possibly fewer than length), -1 on failure or when output is shut
    // down (then no error is recorded). While gathering, a small write is only collected.
    int write(const char* buffer, int length);

    // Bytes a read can return without a receive (0 when input is shut down or closed).
    int BufferedInputBytes() const;
    // Module-internal. Read-ahead (on by default) lets a small read receive more than it asked
    // for. Off, a read receives at most what it asks for, so that code which receives from the
    // descriptor itself (a host's input stream) finds the rest of the byte stream there.
    KEPMSG_INTERNAL void SetReadAhead(bool allowed) { m_readAhead = allowed; }
    // Module-internal. True once a read found the input at its end: the peer's close, a lost
    // connection, the I/O time-out, or input shut down before or during the read. A reader
    // cut off in the middle of a message sees this; Connect() clears it.
    KEPMSG_INTERNAL bool InputEndedInRead() const { return m_inputEndedInRead; }
    bool HasBufferedInput() const { return BufferedInputBytes() > 0; }
    // Module-internal, for the thread that reads: the buffered input, available bytes from the
    // returned pointer (0 when input is shut down or closed), without consuming it; valid until
    // the next read. ConsumeBufferedInput drops count of those bytes (0 <= count <= available).
    KEPMSG_INTERNAL const char* BufferedInput(int& available) const;
    KEPMSG_INTERNAL void ConsumeBufferedInput(int count);

    // Starts collecting small writes (see above). Nested calls are not counted.
    void BeginGather();
    // Sends everything gathered (a blocking loop over partial sends) and stops gathering.
    // False when a send failed or output was shut down with bytes still waiting (they are lost).
    bool EndGather();
    bool IsGathering() const { return m_gathering; }

    // Module-internal: the connection's counters, peer and close reason (atomics; any thread).
    KEPMSG_INTERNAL KEPMsgConnectionCounters& Counters() { return m_counters; }
    KEPMSG_INTERNAL const KEPMsgConnectionCounters& Counters() const { return m_counters; }

    // ---- TLS (module-internal) ----

    // Runs the connection through TLS in context's role from now on; a client checks the
    // server's name against dialedHost ("" means 127.0.0.1) unless context names the server. A
    // server's handshake is then advanced by AdvanceTlsHandshake, a client's by
    // CompleteTlsHandshake. False with error set when no session could be made (unchanged).
    KEPMSG_INTERNAL bool StartTls(std::shared_ptr<KEPMsgTlsContext> context,
                                  const KEPString& dialedHost, std::string& error);
    KEPMSG_INTERNAL bool IsTls() const { return m_tls != nullptr; }
    // True while a TLS handshake has neither finished nor failed.
    KEPMSG_INTERNAL bool IsTlsHandshakePending() const;
    // One non-blocking step of the handshake. A failure, or the I/O time-out passing since
    // StartTls, shuts the socket down with kCloseReasonTlsHandshakeFailed. True once done.
    KEPMSG_INTERNAL bool AdvanceTlsHandshake();
    // The whole handshake, waiting at most timeoutMs (0: no limit) for the peer; on failure
    // the socket is shut down (kCloseReasonTlsHandshakeFailed) and error names the cause.
    KEPMSG_INTERNAL bool CompleteTlsHandshake(int timeoutMs, std::string& error);
    // Decrypts what has arrived into the read buffer without waiting, so that a wait reports
    // the connection only when a reader finds message bytes. An end or a broken stream found
    // here shuts the socket down. For the thread that reads.
    KEPMSG_INTERNAL void PrefetchTls();
    // Why TLS failed on this connection (OpenSSL's reason), "" when it did not.
    KEPMSG_INTERNAL std::string TlsFailureText() const;

    // Size of the read buffer; reads of at least this many bytes with nothing buffered receive
    // straight into the caller's memory.
    static constexpr int kReadBufferBytes = 32 * 1024;
    // Size of the gather buffer; writes of this size or more are not copied.
    static constexpr int kGatherBufferBytes = 64 * 1024;

  private:
    // Returns 0 when descriptor connected to candidate, otherwise the Winsock code.
    using ConnectOne = std::function<int(int descriptor, const addrinfo& candidate)>;
    // The body of Connect() and ConnectWithin(): shuts down any previous connection, resolves
    // address and tries each result with connectOne until one connects or cancel (when given)
    // is set, then finishes the connection.
    void Dial(const KEPMsgSocketAddress& address, const std::atomic<bool>* cancel,
              const ConnectOne& connectOne);
    // Sets the options of the connection just made on descriptor and opens both directions;
    // a failing option closes the socket with the error recorded.
    void FinishConnect(int descriptor);
    // Records code and shuts the socket down when it means the connection is gone.
    void HandleIoError(int code);
    // One receive into target, through TLS when it is on; the platform's recv contract
    // (count, 0 at the end, -1 with the code for WSAGetLastError).
    int Receive(char* target, int capacity);
    // The read buffer, made on first use.
    char* ReadBuffer();
    // Counts received bytes, received into ReadBuffer(), and keeps them as read-ahead input.
    void KeepReadAhead(int received);
    // One send with flags; -1 after recording the error.
    int SendOnce(const char* buffer, int length, int flags);
    // Sends the gathered bytes whole (flags added to every send); false on failure.
    bool FlushGathered(int flags);
    // Forgets buffered input and gathered output (a new connection starts clean).
    void ResetBuffers();

    struct ByteBufferFree {
        void operator()(char* buffer) const;
    };
    std::unique_ptr<char, ByteBufferFree> m_readBuffer;  // kReadBufferBytes, made on first use
    bool m_readAhead = true;
    bool m_inputEndedInRead = false;
    int m_readBegin = 0;
    int m_readEnd = 0;
    std::atomic<int> m_bufferedBytes{0};  // m_readEnd - m_readBegin, for other threads
    std::unique_ptr<char, ByteBufferFree> m_gatherBuffer;  // kGatherBufferBytes, on first use
    int m_gathered = 0;
    bool m_gathering = false;
    bool m_gatherPrimed = false;  // the gather's first write has been sent
    bool m_corked = false;        // the last send was held back with MSG_MORE

    std::atomic<bool> m_inputOpen;
    std::atomic<bool> m_outputOpen;
    KEPMsgConnectionCounters m_counters;
    std::unique_ptr<KEPMsgTlsSession> m_tls;  // set before the socket is shared
    std::chrono::steady_clock::time_point m_handshakeDeadline;
    bool m_handshakeLimited = false;
};
