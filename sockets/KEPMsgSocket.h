// KEPMsgSocket: base of the connected and the listening socket.
//
// A socket owns one system descriptor at a time (its handle, also its id: the key of the
// connection table). It records the Winsock code of the last failing call in its error code;
// nothing here prints or throws. The destructor closes a descriptor that is still open, so a
// socket deleted without Shutdown() does not leak it; owners still call Shutdown() first so the
// peer sees an orderly end.
//
// Descriptor holds: a thread that uses a socket after letting go of the lock that protects its
// owner takes a hold (AcquireHold) for that time. While a hold is outstanding, Close() marks the
// socket closed and shuts the descriptor down in both directions (so a peer sees the end and a
// thread blocked in recv/send returns) but keeps it open, so its number cannot be reused by a new
// connection under the holder; the last ReleaseHold() closes it.
//
// I/O time-out: every connected socket gets SO_RCVTIMEO and SO_SNDTIMEO of the process-wide I/O
// time-out when it is connected or accepted (default 30000 ms, 0 = none; hosts set it through
// KEPMsgConnectionServicesUtils::SetIoTimeout), so a peer that stalls in the middle of a message
// cannot block a reader or writer for ever. A read or write that runs out of time records
// WSAETIMEDOUT (10060) and shuts the socket down like a lost connection.
//
// Send buffer: connected and accepted sockets get SO_SNDBUF of the process-wide send-buffer size
// (default 65536 bytes, which bounds the kernel memory of a process with many connections). Size
// 0 leaves the option unset, so the system sizes the buffer itself (on Linux it grows with the
// connection; whether large messages then go faster depends on the machine, see README).
//
// Thread-safety: the handle, error code, closed flag and the direction flags of connected
// sockets are atomics, so other threads may query them at any time. The hold count is atomic;
// the deferred-close state is guarded by an internal mutex, which the release of the last hold
// takes; Close() and the half-closes may race with each other safely. Driving one socket's I/O
// (connect, read, write, accept) from two threads at once is not supported. The address is written
// only while the socket binds.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "base/KEPBasExport.h"
#include "base/mem_Allocation.h"
#include "sockets/KEPMsgSocketAddress.h"

class KEPMSG_API KEPMsgSocket : public mem_AllocationOperators {
  public:
    // Starts the socket platform (once per process); empty host, port 0, handle -1, error 0,
    // closed.
    KEPMsgSocket();
    // Closes the descriptor if this socket still has one (including a deferred close).
    virtual ~KEPMsgSocket();
    KEPMsgSocket(const KEPMsgSocket&) = delete;
    KEPMsgSocket& operator=(const KEPMsgSocket&) = delete;

    // Returns the handle (-1 when there is none); the value is kept after Close().
    int GetId() const { return m_handle.load(); }
    // Returns true until a descriptor is connected or bound, and again after Close().
    bool IsClosed() const { return m_closed.load(); }
    // Returns the last recorded Winsock error code (0 when none was).
    int GetErrorCode() const;
    // Replaces the error code (callers clear it to 0 before an operation they watch).
    void SetErrorCode(int code);
    // Returns a copy of the address: for a listening socket the bound address, with the port the
    // system chose when it was given 0; for a connected socket the address it was built with.
    KEPMsgSocketAddress GetAddress() const;

    // If not closed: closes the descriptor (deferred while holds are outstanding; failure
    // recorded) and marks the socket closed. The handle value is left as it was.
    void Close();
    // Creates a descriptor for address and binds it; on failure the socket stays closed with
    // handle -1 and the error recorded. A port below 1 lets the system choose (read back). A port
    // held only by closing connections of an earlier listener counts as free.
    // "ORV_FORCE_IPV4" / "ORV_FORCE_IPV6" in the environment force the family (IPv6 wins).
    void BindLocalAddress(KEPMsgSocketAddress address);
    // Shuts the socket down and closes it; idempotent.
    virtual void Shutdown() = 0;

    // True for the codes that mean the connection is gone: 10050-10054, 10057, 10058.
    static bool IsConnectionLostError(int code);

    // The host a socket uses for an empty host text: the IPv4 loopback interface.
    static constexpr const char* kLoopbackIpv4 = "127.0.0.1";

    // ---- Module-internal (not exported; the module's layers and its tests call them) ----

    // While a hold is outstanding, Close() keeps the descriptor open (see above).
    KEPMSG_INTERNAL void AcquireHold();
    // Releases one hold and returns the number left; the last one performs a deferred close.
    // Releasing without a hold does nothing and returns 0.
    KEPMSG_INTERNAL int ReleaseHold();
    // Releases one hold unless it is the last one; true when it did. Needs no lock: a release
    // that leaves another hold has nothing to close.
    KEPMSG_INTERNAL bool ReleaseHoldIfNotLast();
    // The number of outstanding holds.
    KEPMSG_INTERNAL int HoldCount() const;
    // In the child of a fork: closes this process's copy of the descriptor (and of any whose
    // close was deferred) without shutdown(2), which would end the connection for the parent
    // too, and marks the socket closed. Takes no lock: a copied one may be held for good.
    KEPMSG_INTERNAL void CloseAfterFork();
    // A process-wide number that names this socket's current descriptor and is never given
    // again (0 before the first), so a record queued for one connection can tell it from a later
    // connection that got the same descriptor number.
    KEPMSG_INTERNAL std::uint64_t GetSerial() const { return m_serial.load(); }
    // Sets the process-wide I/O time-out in milliseconds for sockets connected or accepted from
    // now on (0 or less = none). Hosts use KEPMsgConnectionServicesUtils::SetIoTimeout.
    KEPMSG_INTERNAL static void SetIoTimeout(int milliseconds);
    // Returns the process-wide I/O time-out in milliseconds (0 = none).
    KEPMSG_INTERNAL static int GetIoTimeout();
    // Sets the process-wide send-buffer size in bytes for sockets connected or accepted from now
    // on: kMinSendBufferBytes to kMaxSendBufferBytes, or 0 for the system's own sizing. False,
    // nothing changed, for any other value. Hosts use
    // KEPMsgConnectionServicesUtils::SetSendBufferSize.
    KEPMSG_INTERNAL static bool SetSendBufferSize(int bytes);
    // Returns the process-wide send-buffer size in bytes (0 = the system's sizing).
    KEPMSG_INTERNAL static int GetSendBufferSize();

    static constexpr int kDefaultSendBufferBytes = 65536;
    static constexpr int kMinSendBufferBytes = 4096;
    static constexpr int kMaxSendBufferBytes = 64 * 1024 * 1024;

  protected:
    // Result of ShutdownDescriptor when there is no descriptor to shut down.
    static constexpr int kNoDescriptor = -1;

    // Records address as this socket's own without binding it.
    void SetAddress(const KEPMsgSocketAddress& address) { m_address = address; }
    void SetHandle(int handle) { m_handle.store(handle); }
    void SetClosed(bool closed) { m_closed.store(closed); }
    // Takes ownership of a descriptor just created or handed over (handle = descriptor).
    void AdoptDescriptor(int descriptor);
    // Closes the descriptor now or, while holds are outstanding, when the last one goes.
    void ReleaseDescriptor();
    // shutdown(2) in direction how on the descriptor while this socket still owns it. Returns 0,
    // the Winsock error code, or kNoDescriptor when it owns none.
    int ShutdownDescriptor(int how);
    // Sets the options of a connected descriptor: a 5 s linger and the send-buffer size unless
    // it is 0 (their failure is returned as the Winsock code, else 0), then TCP_NODELAY, the I/O
    // time-out and the keep-alive setting (KEPMsgKeepAlive) (failures ignored).
    static int ApplyConnectionOptions(int descriptor);

  private:
    KEPMsgSocketAddress m_address;
    std::atomic<int> m_handle;
    std::atomic<int> m_errorCode;
    std::atomic<bool> m_closed;
    std::atomic<std::uint64_t> m_serial;

    mutable std::mutex m_stateMutex;
    std::atomic<int> m_holdCount;  // changed without m_stateMutex (see ReleaseHold)
    bool m_descriptorOpen;         // guarded by m_stateMutex: m_handle still has to be closed
    KEPBasVector<int> m_pending;   // guarded by m_stateMutex: closes deferred to the last hold

    static std::atomic<int> s_ioTimeoutMs;
    static std::atomic<int> s_sendBufferBytes;
    static std::atomic<std::uint64_t> s_nextSerial;
};
