#include "channels/KEPMsgChannelWaitable.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "base/KEPBasAtiMutex.h"
#include "base/aio_ostream.h"
#include "base/mem_Allocation.h"
#include "channels/KEPMsgWaitTimeout.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgSocketLease.h"
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"
#include "sockets/KEPMsgSocket.h"

namespace {

// One distinct socket of the channel list that the wait watches. The lease keeps the socket
// object and its descriptor alive for the length of the wait, whatever other threads remove.
// The channel-list entries that carry its id are chained through nextWithSameId, in list order.
struct WatchedSocket {
    KEPMsgSocketLease lease;
    int firstChannel = -1;
    int lastChannel = -1;
    // Input already read into the socket's own buffer: ready whatever select says.
    bool buffered = false;
};

// The watched sockets of one wait, at most KEP_FD_SETSIZE. Only the entries in use are made and
// destroyed (destroying an entry returns its lease), so a wait over few sockets does not pay
// for the whole set.
class WatchedSockets {
  public:
    WatchedSockets() = default;
    ~WatchedSockets() {
        for (int i = 0; i < m_count; ++i) {
            At(i).~WatchedSocket();
        }
    }
    WatchedSockets(const WatchedSockets&) = delete;
    WatchedSockets& operator=(const WatchedSockets&) = delete;

    bool IsFull() const { return m_count == KEP_FD_SETSIZE; }
    int Count() const { return m_count; }
    // Makes the next entry; the set must not be full.
    WatchedSocket& Add() { return *new (&m_storage[m_count++]) WatchedSocket(); }

  private:
    WatchedSocket& At(int index) { return *reinterpret_cast<WatchedSocket*>(&m_storage[index]); }

    std::aligned_storage_t<sizeof(WatchedSocket), alignof(WatchedSocket)> m_storage[KEP_FD_SETSIZE];
    int m_count = 0;
};

// Socket id -> its WatchedSocket, or null for an id seen but not watched, kept sorted by id so
// that a walk visits the ids in ascending order. Ordinary channel lists fit in the inline
// storage; a longer one moves the entries to the heap. A fresh table per wait, as before, but
// without the allocations and zero-filling of an omi_IntTable.
class SeenIds {
  public:
    struct Entry {
        int id;
        WatchedSocket* socket;
    };

    SeenIds() = default;
    ~SeenIds() {
        if (m_entries != m_inline) {
            mem_Free(m_entries);
        }
    }
    SeenIds(const SeenIds&) = delete;
    SeenIds& operator=(const SeenIds&) = delete;

    // The entry of id, or null when id has not been inserted.
    const Entry* Find(int id) const {
        const Entry* const at = LowerBound(id);
        return at != m_entries + m_count && at->id == id ? at : nullptr;
    }
    // Inserts id, which must not be present yet.
    void Insert(int id, WatchedSocket* socket) {
        const int position = static_cast<int>(LowerBound(id) - m_entries);
        if (m_count == m_capacity) {
            Grow();
        }
        std::memmove(m_entries + position + 1, m_entries + position,
                     sizeof(Entry) * static_cast<std::size_t>(m_count - position));
        m_entries[position] = Entry{id, socket};
        ++m_count;
    }
    int Count() const { return m_count; }
    const Entry& operator[](int index) const { return m_entries[index]; }

  private:
    // Enough for the usual lists (the default set watches 64), small enough for any stack.
    static constexpr int kInlineEntries = 128;

    const Entry* LowerBound(int id) const {
        return std::lower_bound(m_entries, m_entries + m_count, id,
                                [](const Entry& entry, int key) { return entry.id < key; });
    }
    void Grow() {
        const int capacity = m_capacity * 2;
        auto* grown = static_cast<Entry*>(
            mem_OperatorNewThrowBuiltin(sizeof(Entry) * static_cast<std::size_t>(capacity)));
        std::memcpy(grown, m_entries, sizeof(Entry) * static_cast<std::size_t>(m_count));
        if (m_entries != m_inline) {
            mem_Free(m_entries);
        }
        m_entries = grown;
        m_capacity = capacity;
    }

    Entry m_inline[kInlineEntries];
    Entry* m_entries = m_inline;
    int m_count = 0;
    int m_capacity = kInlineEntries;
};

const KEPString& InternalMarker() {
    static const KEPString marker("__internal");
    return marker;
}

// Accepts one connection on a ready listening socket and enters it in the connection table.
// Returns a channel labelled "" for it, or a channel with id -1 when there is none (a
// connection the listener's filter refused is appended to refused).
KEPMsgChannel AcceptConnection(KEPMsgServerSocket& server,
                               KEPBasVector<KEPMsgChannelWaitable::RefusedPeer>& refused) {
    // Never blocks: a client that reset after the readiness wait leaves nothing to accept.
    KEPMsgCommSocket* accepted = server.TryAccept();
    if (accepted == nullptr) {
        KEPMsgChannelWaitable::RefusedPeer peer{server.GetId(), {}};
        if (server.TakeRefusal(peer.m_peer)) {
            refused.push_back(peer);
        }
        return KEPMsgChannel();
    }
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    const int id = accepted->GetId();
    if (!services.AddConnection(accepted)) {
        // The table refused it (its id is taken): the socket is still ours to close and free.
        accepted->Shutdown();
        delete accepted;
        return KEPMsgChannel();
    }
    // From here the table owns the socket; lease it so that a concurrent removal cannot free
    // it before the channel has read its id.
    KEPMsgSocketLease held = services.LeaseSocket(id);
    if (!held) {
        return KEPMsgChannel();
    }
    return KEPMsgChannel(held.get(), KEPString(""));
}

// A TLS connection is ready for a reader only when decrypted message bytes wait: its
// handshake is advanced here (also when nothing arrived, so that its time-out is noticed), and
// what arrived is decrypted ahead. A handshake record, half a record or a failure is not ready.
bool HasTlsInput(KEPMsgCommSocket& socket, bool readable) {
    if (socket.IsTlsHandshakePending() && !socket.AdvanceTlsHandshake()) {
        return false;
    }
    if (readable) {
        socket.PrefetchTls();
    }
    return !socket.IsClosed() && socket.HasBufferedInput();
}

}  // namespace

KEPMsgChannelWaitable::KEPMsgChannelWaitable() : m_listenInterrupted(false) {}

KEPMsgChannelWaitable::KEPMsgChannelWaitable(const KEPBasVector<KEPMsgChannel>& channels)
    : m_listenInterrupted(false) {
    for (int i = 0; i < channels.size(); ++i) {
        m_channels.push_back(channels[i]);
    }
}

KEPMsgChannelWaitable::~KEPMsgChannelWaitable() {}

void KEPMsgChannelWaitable::AddChannel(const KEPMsgChannel& channel) {
    m_channels.push_back(channel);
}

void KEPMsgChannelWaitable::AddClosedChannel(const KEPMsgChannel& channel) {
    // Once per connection, so that waits run without a receive pass cannot grow the list.
    for (int i = 0; i < m_closedChannels.size(); ++i) {
        if (m_closedChannels[i] == channel) {
            return;
        }
    }
    m_closedChannels.push_back(channel);
}

void KEPMsgChannelWaitable::WaitForConnectionAndMessages(int timeoutMs) {
    WaitForConnectionAndMessages(timeoutMs, nullptr);
}

void KEPMsgChannelWaitable::WaitForConnectionAndMessages(int timeoutMs, KEPWakeupSignal* wakeup) {
    int selectError = 0;
    bool selectFailed = false;
    {
        KEPBasAtiScopedLock<KEPMsgWaitableLock> waitableGuard(KEPMsgWaitableLock::Instance());
        KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();

        // Declared after the guard: the leases are released while the waitable lock is still
        // held, which keeps the order waitable lock -> connection-services mutex.
        WatchedSockets watched;
        // Socket id -> its WatchedSocket, or null for an id that is not watched (no socket, a
        // closed one, or the set was full). Its order (ascending ids) is the order of the
        // results.
        SeenIds ids;
        KEPBasVector<int> nextWithSameId;
        kepwsa::fd_set readSet;
        kepwsa::FD_ZERO(&readSet);
        int highestId = -1;
        int bufferedCount = 0;

        // One pass over the channel list: one lease per distinct id.
        const int channelCount = m_channels.size();
        nextWithSameId.Reserve(channelCount);
        for (int i = 0; i < channelCount; ++i) {
            nextWithSameId.push_back(-1);
            const int id = m_channels[i].GetSocketId();
            if (id < 0) {
                continue;
            }
            if (const SeenIds::Entry* known = ids.Find(id)) {
                if (WatchedSocket* socket = known->socket) {
                    nextWithSameId[socket->lastChannel] = i;
                    socket->lastChannel = i;
                }
                continue;
            }
            KEPMsgSocketLease lease = services.LeaseSocket(id);
            if (lease && lease->IsClosed()) {
                // Registered but closed (the table's hold keeps its descriptor): nothing will
                // come from it again, so the receive pass removes it with its connection.
                AddClosedChannel(m_channels[i]);
            }
            if (!lease || lease->IsClosed() || watched.IsFull()) {
                // Sockets beyond the set's capacity are never reported ready.
                ids.Insert(id, nullptr);
                continue;
            }
            kepwsa::FD_SET(id, &readSet);
            if (id > highestId) {
                highestId = id;
            }
            WatchedSocket& entry = watched.Add();
            entry.lease = std::move(lease);
            entry.firstChannel = i;
            entry.lastChannel = i;
            const KEPMsgCommSocket* comm = KEPMsgCommSocket::FromSocket(entry.lease.get());
            entry.buffered = comm != nullptr && comm->HasBufferedInput();
            bufferedCount += entry.buffered ? 1 : 0;
            ids.Insert(id, &entry);
        }

        if (highestId == -1 && wakeup == nullptr) {
            return;
        }

        // Data in a socket's own buffer is invisible to select: with some, select only polls;
        // with every watched socket buffered it could add nothing and is skipped.
        timeval timeout = KEPMsgWaitTimeout(bufferedCount > 0 ? 0 : timeoutMs);
        const bool skipSelect = bufferedCount > 0 && bufferedCount == watched.Count();
        if (skipSelect) {
            kepwsa::FD_ZERO(&readSet);
        }
        bool woken = false;
        const int wakeHandle = wakeup != nullptr ? wakeup->Handle() : -1;
        if (!skipSelect && kepwsa::SelectReadOrWake(&readSet, &timeout, wakeHandle, woken) ==
                               kepwsa::SOCKET_ERROR) {
            selectError = kepwsa::WSAGetLastError();
            selectFailed = true;
        } else {
            if (woken) {
                wakeup->Clear();
            }
            for (int k = 0; k < ids.Count(); ++k) {
                WatchedSocket* socket = ids[k].socket;
                if (socket == nullptr) {
                    continue;
                }
                KEPMsgSocket* ready = socket->lease.get();
                // Connected sockets, the usual case, are told apart without a dynamic_cast.
                KEPMsgCommSocket* const comm = KEPMsgCommSocket::FromSocket(ready);
                const bool readable = socket->buffered || kepwsa::FD_ISSET(ids[k].id, &readSet);
                if (comm != nullptr && comm->IsTls()) {
                    if (!HasTlsInput(*comm, readable)) {
                        if (comm->IsClosed()) {
                            AddClosedChannel(m_channels[socket->firstChannel]);
                        }
                        continue;
                    }
                } else if (!readable) {
                    continue;
                }
                if (KEPMsgServerSocket* server =
                        comm == nullptr ? dynamic_cast<KEPMsgServerSocket*>(ready) : nullptr) {
                    KEPMsgChannel created = AcceptConnection(*server, m_refusedPeers);
                    if (created.GetSocketId() != -1) {
                        m_newlyCreated.push_back(created);
                    }
                    continue;
                }
                // Every entry with this id shares one label: the names table is keyed by id.
                const KEPMsgChannel first = m_channels[socket->firstChannel];
                if (services.NameContains(first.GetSocketId(), InternalMarker())) {
                    // A wake-up byte: consumed once per ready socket, so that a channel listed
                    // twice cannot block the wait in a read for a second byte.
                    SetListenInterrupted(true);
                    if (comm != nullptr) {
                        char wakeUp = 0;
                        comm->read(&wakeUp, 1);
                        if (comm->IsClosed()) {
                            AddClosedChannel(first);  // the peer closed the line
                        }
                    }
                    continue;
                }
                const std::uint64_t serial = socket->lease->GetSerial();
                for (int i = socket->firstChannel; i != -1; i = nextWithSameId[i]) {
                    m_listen.push_back(m_channels[i]);
                    m_listenSerials.push_back(serial);
                }
            }
        }
    }
    if (selectFailed) {
        aio_cerr.print("waiting for select").print_int(selectError).put('\n').flush();
    }
}
