// KEPMsgConnectionCounters: the life record of one connection, kept on its socket.
//
// Bytes in and out (counted where the socket receives and sends), messages in and out (counted
// by the passes), the wall-clock time the connection was made, its peer's address, how it was
// made (dialed or accepted, and on which listener), whether its arrival was announced as an
// event, and the first reason it ended for. Start() resets all of it for a new connection; it
// runs before the socket is entered in the connection table, so the peer address, the origin
// and the start time are written before any other thread can see them and only read afterwards.
// Everything that changes later is an atomic: counting takes no lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "sockets/KEPMsgCloseReason.h"

struct sockaddr_storage;

class KEPMsgConnectionCounters {
  public:
    // Longest numeric host text, IPv6 included, with its terminator.
    static constexpr int kHostTextBytes = 48;

    // A new connection on descriptor: counts zero, start time now, peer read from the socket,
    // no reason, no listener; dialed tells a connect from an accept.
    void Start(int descriptor, bool dialed);
    // The numeric host text and port of peer ("" and 0 for a family other than IPv4/IPv6).
    static void DescribePeer(const sockaddr_storage& peer, char (&host)[kHostTextBytes], int& port);
    // The listening socket that accepted the connection (before it is published, as Start).
    void SetListenerId(int listenerId) { m_listenerId = listenerId; }

    void AddBytesIn(int count) { m_bytesIn.fetch_add(count, std::memory_order_relaxed); }
    void AddBytesOut(int count) { m_bytesOut.fetch_add(count, std::memory_order_relaxed); }
    void CountMessageIn() { m_messagesIn.fetch_add(1, std::memory_order_relaxed); }
    void CountMessageOut() { m_messagesOut.fetch_add(1, std::memory_order_relaxed); }
    // Records reason unless one is recorded already (the first cause wins).
    void RecordCloseReason(KEPMsgCloseReason reason);
    // True for the one caller that announces the connection (accepted or connected event).
    bool Announce() { return !m_announced.exchange(true); }

    std::uint64_t BytesIn() const { return m_bytesIn.load(std::memory_order_relaxed); }
    std::uint64_t BytesOut() const { return m_bytesOut.load(std::memory_order_relaxed); }
    std::uint64_t MessagesIn() const { return m_messagesIn.load(std::memory_order_relaxed); }
    std::uint64_t MessagesOut() const { return m_messagesOut.load(std::memory_order_relaxed); }
    KEPMsgCloseReason CloseReason() const {
        return static_cast<KEPMsgCloseReason>(m_closeReason.load());
    }
    bool IsAnnounced() const { return m_announced.load(); }
    bool IsDialed() const { return m_dialed; }
    int ListenerId() const { return m_listenerId; }
    std::int64_t ConnectedSinceMs() const { return m_connectedSinceMs; }
    const char* PeerHost() const { return m_peerHost; }
    int PeerPort() const { return m_peerPort; }

  private:
    std::atomic<std::uint64_t> m_bytesIn{0};
    std::atomic<std::uint64_t> m_bytesOut{0};
    std::atomic<std::uint64_t> m_messagesIn{0};
    std::atomic<std::uint64_t> m_messagesOut{0};
    std::atomic<int> m_closeReason{kCloseReasonNone};
    std::atomic<bool> m_announced{false};
    // Written by Start() only (see above).
    bool m_dialed = false;
    int m_listenerId = -1;
    std::int64_t m_connectedSinceMs = 0;
    char m_peerHost[kHostTextBytes] = {};
    int m_peerPort = 0;
};
