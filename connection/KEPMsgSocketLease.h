// KEPMsgSocketLease: a hold on a socket of the connection table, for use outside its mutex.
//
// KEPMsgConnectionServicesUtils::LeaseSocket(id) hands one out. While it lives the socket object
// is not destroyed and its descriptor is not closed, even when the connection is removed or shut
// down meanwhile (the socket then reports itself closed), so the descriptor number cannot be
// reused by another connection under the holder. The destructor returns the hold, under the
// connection-services mutex when it may be the last one; the last hold on a removed socket
// destroys it. Move-only. A lease is used by one thread at a time; it must not outlive the
// connection services' Finalize().
#pragma once

class KEPMsgSocket;

class KEPMsgSocketLease {
  public:
    // An empty lease.
    KEPMsgSocketLease() : m_socket(nullptr) {}
    KEPMsgSocketLease(KEPMsgSocketLease&& other) noexcept : m_socket(other.m_socket) {
        other.m_socket = nullptr;
    }
    KEPMsgSocketLease& operator=(KEPMsgSocketLease&& other) noexcept;
    KEPMsgSocketLease(const KEPMsgSocketLease&) = delete;
    KEPMsgSocketLease& operator=(const KEPMsgSocketLease&) = delete;
    // Returns the hold (see above).
    ~KEPMsgSocketLease() { reset(); }

    // The leased socket, or null when empty.
    KEPMsgSocket* get() const { return m_socket; }
    KEPMsgSocket* operator->() const { return m_socket; }
    explicit operator bool() const { return m_socket != nullptr; }
    // Returns the hold now; the lease is empty afterwards.
    void reset();

  private:
    friend class KEPMsgConnectionServicesUtils;
    // Adopts a hold already acquired under the connection-services mutex.
    explicit KEPMsgSocketLease(KEPMsgSocket* heldSocket) : m_socket(heldSocket) {}

    KEPMsgSocket* m_socket;
};
