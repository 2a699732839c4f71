// KEPMsgConnectionServicesUtils: process-wide owner of every open socket of the module.
//
// It keeps three tables: socket id -> socket (m_connections, which owns the sockets it holds),
// message type name -> prototype message (m_prototypes, not owned) and socket id -> name
// (m_names, the channel labels; independent of m_connections and never pruned). On top of them
// it offers the low-level connection services: adding, removing and looking up connections,
// their error codes and names, starting servers, connecting to them, and writing and reading
// the message header (a 4-byte little-endian length N, then the N bytes of the UTF-8 type name).
//
// Thread-safety: every public operation takes the singleton's mutex (Lock()/Unlock() of
// KEPBasAtiGlobalSingleton) for its whole duration, except RemoveConnection (its caller holds
// the mutex), the range form of StartServer (locks once per port), CheckHost (no lock) and the
// two header operations, which look the socket up and lease it under the mutex but do their
// socket I/O outside it (a blocked header send or receive stalls only its own connection). The
// mutex is the innermost lock of the module: nothing here takes another module mutex while
// holding it. ConnectToServer takes it only to enter the connected socket: its attempts and
// pauses run without it. A raw pointer from GetSocket stays valid only until the connection is
// removed; code that uses a socket after the mutex is released takes a lease (LeaseSocket,
// module-internal), which keeps the object and its descriptor alive, so the descriptor number
// cannot be reused under the holder.
//
// Optional debug log: when KEP_DEBUG_COONECTIONS is set at construction, entries are appended
// to "<value><pid>_dbg.txt", each written and flushed under the mutex; Finalize() closes it. The
// file is not inherited by programs the host starts, and a child of a fork logs to its own.
#pragma once

#include <atomic>
#include <cstdint>

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"
#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "KEPBase/ProtectedInterfaces/omi_Btree.h"
#include "KEPBase/ProtectedInterfaces/omi_IntTable.h"
#include "base/KEPBasExport.h"
#include "base/KEPBasSocketMessage.h"
#include "base/KEPString.h"
#include "connection/KEPMsgSocketLease.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgSocketAddress.h"
#include "sockets/KEPMsgTlsSettings.h"

class KEPMsgSocket;
class KEPMsgCommSocket;
class KEPMsgServerSocket;

class KEPMSG_API KEPMsgConnectionServicesUtils
    : public KEPBasAtiGlobalSingleton<KEPMsgConnectionServicesUtils> {
    friend class KEPBasAtiGlobalSingleton<KEPMsgConnectionServicesUtils>;
    friend class KEPMsgSocketLease;

  public:
    // Largest type name a received header may announce; a larger count is a protocol violation.
    static constexpr unsigned kMaxTypeNameBytes = 65536;

    // ---- Connection table ----

    // Enters socket under its id and takes ownership. False for null (no lock, no log) and for
    // an id already present (the table keeps its socket; the caller still owns this one).
    bool AddConnection(KEPMsgSocket* socket);
    // Shuts the socket down and takes it out of the table; destroys it now, or when the last
    // lease ends. Unknown ids are ignored; the name is kept. The caller must hold the mutex.
    void RemoveConnection(int socketId);
    // RemoveConnection under the mutex.
    void ShutDownConnection(int socketId);
    // The socket entered under the id, or null. Valid only until the connection is removed.
    KEPMsgSocket* GetSocket(int socketId);
    // True when the id has a socket whose error code is not 0.
    bool HasError(int socketId);
    // Resets the socket's error code to 0; unknown ids are ignored.
    void ClearError(int socketId);
    // Sets code to 0, then to the socket's error code when the id has a socket.
    void GetLastErrorCode(int socketId, int& code);
    // Sets name to a fresh copy of the stored name; leaves it unchanged when there is none.
    void GetName(int socketId, KEPString& name);
    // Stores a fresh copy of name for the id (replacing any); the connection table is not read.
    void SetName(int socketId, const KEPString& name);

    // Process-wide send/receive time-out of sockets connected or accepted from now on, in
    // milliseconds (default 30 000; 0 or less waits without limit). The one knob for hosts.
    void SetIoTimeout(int milliseconds);
    // Returns the process-wide I/O time-out in milliseconds (0 = none).
    int GetIoTimeout() const;
    // Send-buffer size (SO_SNDBUF) of sockets connected or accepted from now on, in bytes:
    // 4096 to 64 MiB (the system may cap it lower), or 0 for the system's own sizing (the option
    // is not set). Default 65536. False, nothing changed, for any other value.
    bool SetSendBufferSize(int bytes);
    // Returns the send-buffer size in bytes (0 = the system's sizing).
    int GetSendBufferSize() const;
    // TCP keep-alive of sockets connected or accepted from now on: after idleSeconds without
    // traffic a probe every intervalSeconds, and the connection is dropped (closed event, I/O
    // time-out reason) after count unanswered probes. False, nothing changed, unless
    // 1 <= idleSeconds <= 32767, 1 <= intervalSeconds <= 32767 and 1 <= count <= 127.
    bool SetKeepAlive(int idleSeconds, int intervalSeconds, int count);
    // Back to the default: the system's keep-alive times on connected sockets, none on
    // accepted ones.
    void ClearKeepAlive();

    // ---- Server start and client connection ----

    // A listening socket bound to address, entered in the table (owned by it), or null.
    KEPMsgServerSocket* StartServer(KEPMsgSocketAddress address, int backlog);
    // The first port of [firstPort, lastPort], ascending, on which a server starts, or null.
    // Null without any attempt for an empty range or a negative port.
    KEPMsgServerSocket* StartServer(KEPMsgInetAddress address, int firstPort, int lastPort,
                                    int backlog);
    // Connects to serverAddress, retrying until connected or until `timeout` WHOLE SECONDS
    // (the unit of omi_Timer::GetElapsedTime()) have passed, pausing `retryPause` MILLISECONDS
    // (1 when <= 0) between attempts; the first attempt is always made. The mutex is held only
    // to enter the connected socket in the table (owned by it); null when none connected.
    KEPMsgCommSocket* ConnectToServer(KEPMsgSocketAddress ownAddress,
                                      KEPMsgSocketAddress serverAddress, int timeout,
                                      int retryPause);
    // ConnectToServer, then a TLS handshake with tls (bounded by the I/O time-out) before the
    // socket is entered. Null with errorText naming the cause when the settings cannot load, no
    // attempt connected (the last attempt's error text), or the handshake failed ("TLS
    // handshake failed: " and OpenSSL's reason); nothing is then left in the table.
    KEPMsgCommSocket* ConnectToServer(KEPMsgSocketAddress ownAddress,
                                      KEPMsgSocketAddress serverAddress, int timeout,
                                      int retryPause, const KEPMsgTlsSettings& tls,
                                      KEPString& errorText);
    // True when the host of address (empty: 127.0.0.1) resolves; otherwise false and errorText
    // is the resolver error's text. No lock, no socket.
    bool CheckHost(KEPMsgSocketAddress address, KEPString& errorText);

    // ---- Message framing ----

    // Registers prototype for type unless one is registered already (the first stays). A null
    // prototype is refused.
    void RegisterMessagePrototype(const KEPString& type, KEPBasSocketMessage* prototype);
    // A new message from type's prototype (CreateInstance, run under the mutex), owned by the
    // caller; null when no prototype is registered.
    KEPBasSocketMessage* GetMsgInstance(const KEPString& type);
    // Writes the header for type on the connection; true when all of it was sent. False, with
    // nothing sent, for an unknown id, a listening socket, a socket whose output is shut down and
    // a type name longer than kMaxTypeNameBytes (the receiver would refuse it).
    bool SendMessageHeader(int socketId, const KEPString& type);
    // Reads one header; true with type set when a complete header with 0 < N <= 65536 arrived,
    // otherwise false and type unchanged. A bad count or a header cut off by an error shuts the
    // socket down (it stays in the table); a failed count read on a socket no longer connected
    // removes the connection.
    bool RetrieveMessageTypeFromSocket(int socketId, KEPString& type);

    // ---- Module-internal (not exported; the streams, the passes and the wait use them) ----

    // A hold on the id's socket for as long as the lease lives, or an empty lease when the id
    // has no socket.
    KEPMSG_INTERNAL KEPMsgSocketLease LeaseSocket(int socketId);
    // The serial (KEPMsgSocket::GetSerial) of the id's socket, 0 when the id has none.
    KEPMSG_INTERNAL std::uint64_t GetSerial(int socketId);
    // The serial of each id's socket (0 for none), appended to serials in the order of socketIds,
    // under one lock.
    KEPMSG_INTERNAL void GetSerials(const KEPBasVector<int>& socketIds,
                                    KEPBasVector<std::uint64_t>& serials);
    // RemoveConnection under the mutex, only while the id names the socket with this serial: a
    // connection that got the number since is left alone. True when one was removed.
    KEPMSG_INTERNAL bool ShutDownConnection(int socketId, std::uint64_t serial);
    // The number of connections removed from the table so far; it grows before a removed
    // socket's descriptor (and so its number) is given up.
    KEPMSG_INTERNAL std::uint64_t RemovalCount() const { return m_removalCount.load(); }
    // True when the id's label contains text (KEPString::FindPosition from 0), as GetName and a
    // search would tell, without copying the label.
    KEPMSG_INTERNAL bool NameContains(int socketId, const KEPString& text);
    // The header I/O of SendMessageHeader and RetrieveMessageTypeFromSocket on a socket the
    // caller has leased; no mutex is taken. ReadMessageHeader sets lost when a failed count read
    // left the socket no longer connected: the caller then removes the connection.
    KEPMSG_INTERNAL static bool WriteMessageHeader(KEPMsgCommSocket& socket, const KEPString& type);
    KEPMSG_INTERNAL static bool ReadMessageHeader(KEPMsgCommSocket& socket, KEPString& type,
                                                  bool& lost);
    // True when reading the next header needs no receive: a whole valid header (count and
    // name) or an empty one (a count of 0) waits in the socket's read buffer. For the thread
    // that reads the socket.
    KEPMSG_INTERNAL static bool HasBufferedHeader(const KEPMsgCommSocket& socket);

    // Called with the mutex held for every connected socket that leaves the table (before it is
    // shut down), with its name; it must not call back into this class. One observer at a
    // time; null removes it.
    typedef void (*RemovalObserver)(KEPMsgSocket& socket, const KEPString& name, void* context);
    KEPMSG_INTERNAL void SetRemovalObserver(RemovalObserver observer, void* context);

    // Module-internal, in the child of a fork (mutex renewed): closes the child's copies of
    // every connection and listening socket it inherited, without shutdown(2), and empties the
    // table (the parent's connections are not the child's: no removal is observed); the debug
    // log moves to a file named after the child's process id.
    KEPMSG_INTERNAL void CloseInheritedAfterFork();

  private:
    KEPMsgConnectionServicesUtils();
    ~KEPMsgConnectionServicesUtils();
    KEPMsgConnectionServicesUtils(const KEPMsgConnectionServicesUtils&) = delete;
    KEPMsgConnectionServicesUtils& operator=(const KEPMsgConnectionServicesUtils&) = delete;

    // The attempts of ConnectToServer: a connected socket not yet entered (the caller's), or
    // null with lastError set to the last attempt's code. No mutex.
    KEPMsgCommSocket* Dial(const KEPMsgSocketAddress& ownAddress,
                           const KEPMsgSocketAddress& serverAddress, int timeout, int retryPause,
                           int& lastError);
    // Enters a socket just connected (logged as "comm socket %d"); null when refused. Locks.
    KEPMsgCommSocket* Enter(KEPMsgCommSocket* socket);

    // Mutex held by the caller for all of these.
    KEPMsgSocket* FindSocket_priv(int socketId) const;
    // Enters socket under its id and takes the table's hold on it; false when the table refused
    // it (the caller still owns the socket).
    bool EnterSocket_priv(KEPMsgSocket* socket);
    // Enters a socket made here; when the table refuses it, shuts it down and destroys it and
    // returns false.
    bool AdoptSocket_priv(KEPMsgSocket* socket);
    void LogEntry_priv(const char* format, int socketId);
    // Called by a lease when it ends.
    void ReleaseLease(KEPMsgSocket* socket);

    omi_IntTable<void*, KEPBasOmiDefaultAllocator> m_connections;
    omi_Btree<KEPString, KEPBasSocketMessage*> m_prototypes;
    omi_Btree<int, KEPString> m_names;
    std::atomic<std::uint64_t> m_removalCount{0};  // written under the mutex
    RemovalObserver m_removalObserver = nullptr;   // guarded by the mutex
    void* m_removalContext = nullptr;
};

extern template class KEPBasAtiGlobalSingleton<KEPMsgConnectionServicesUtils>;
