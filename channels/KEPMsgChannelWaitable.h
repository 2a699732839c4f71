// KEPMsgChannelWaitable: a list of channels to wait on and the lists that a wait fills in.
//
// The waitable owns its lists (channels, listen, newly created, closed); the channels in them
// are plain values. WaitForConnectionAndMessages is the module's one blocking wait on the
// network: it appends the channels whose connections have data to Listen(), appends a channel
// labelled "" to NewlyCreated() for every connection accepted on a ready listening socket, sets
// the listen-interrupted flag when a wake-up byte arrives on an internal channel (one whose
// label contains "__internal"), and appends to ClosedChannels() one channel per connection it
// finds closed (a listener shut down by an error, an internal channel whose peer closed, a
// socket the host shut down, a failed TLS handshake), which the receive pass removes together
// with its connection. A TLS connection is reported only when decrypted bytes wait for a reader:
// the wait advances handshakes and decrypts ahead. It never clears the lists; the caller does.
//
// Thread-safety: every waitable's channel list is guarded by the process-wide waitable lock
// (KEPMsgWaitableLock), which the wait holds for its whole length; the organizer changes its
// current waitable's list only under that lock. The accessors take no lock: callers that
// change a shared waitable's list through them get no protection. The listen, newly-created and
// closed lists belong to the one thread that runs the wait; the flag is atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "base/KEPBasExport.h"
#include "channels/KEPMsgChannel.h"
#include "platform/KEPWakeupSignal.h"
#include "sockets/KEPMsgServerSocket.h"

class KEPMSG_API KEPMsgChannelWaitable {
  public:
    // Empty lists, flag false.
    KEPMsgChannelWaitable();
    // Empty lists, flag false, then a copy of channels, in order, as the channel list.
    explicit KEPMsgChannelWaitable(const KEPBasVector<KEPMsgChannel>& channels);
    ~KEPMsgChannelWaitable();
    KEPMsgChannelWaitable(const KEPMsgChannelWaitable&) = delete;
    KEPMsgChannelWaitable& operator=(const KEPMsgChannelWaitable&) = delete;

    // Appends channel to the channel list. No lock, no duplicate check.
    void AddChannel(const KEPMsgChannel& channel);

    // The channels to wait on, for reading and changing by the caller. No lock.
    KEPBasVector<KEPMsgChannel>& Channels() { return m_channels; }
    // Channels found readable by the waits so far, one entry per ready channel-list entry.
    KEPBasVector<KEPMsgChannel>& Listen() { return m_listen; }
    // Channels made by the waits for accepted connections, each labelled "".
    KEPBasVector<KEPMsgChannel>& NewlyCreated() { return m_newlyCreated; }

    // Module-internal: channels whose connections the waits found closed, one per connection.
    KEPMSG_INTERNAL KEPBasVector<KEPMsgChannel>& ClosedChannels() { return m_closedChannels; }
    // Module-internal: a connection a listening socket's filter refused, by listener id.
    struct RefusedPeer {
        int m_listenerId;
        KEPMsgServerSocket::Refusal m_peer;
    };
    // Module-internal: the connections the waits' accepts refused; the receive pass reports
    // and clears them.
    KEPMSG_INTERNAL KEPBasVector<RefusedPeer>& RefusedPeers() { return m_refusedPeers; }
    // Module-internal: beside each entry the waits appended to Listen(), the serial
    // (KEPMsgSocket::GetSerial) of the connection found ready, so that a reader can tell it from
    // a later connection given the same socket id. Cleared together with Listen().
    KEPMSG_INTERNAL KEPBasVector<std::uint64_t>& ListenSerials() { return m_listenSerials; }

    // True once a wait consumed a wake-up byte, until the caller clears it.
    bool IsListenInterupted() const { return m_listenInterrupted.load(std::memory_order_acquire); }
    // Sets or clears the flag.
    void SetListenInterrupted(bool value) {
        m_listenInterrupted.store(value, std::memory_order_release);
    }

    // Waits up to timeoutMs milliseconds (negative polls) for a readable socket among the open
    // sockets of the channel list (the first KEP_FD_SETSIZE distinct ones, in list order), then
    // accepts one connection per ready listening socket and reports the ready connections.
    // A connection whose socket already holds read-ahead input counts as ready at once (the wait
    // then only polls the others). Closed sockets are reported in ClosedChannels(). Returns at
    // once, without waiting, when no channel has an open socket. When the readiness wait fails
    // it writes "waiting for select<code>\n" to aio_cerr and reports no readiness.
    void WaitForConnectionAndMessages(int timeoutMs);
    // Module-internal: the same wait, also ended early by wakeup (null: none), which it clears
    // when it sees it. With a wake-up it waits even when no channel has an open socket, for the
    // wake-up or the time-out, so a caller that repeats it never spins.
    KEPMSG_INTERNAL void WaitForConnectionAndMessages(int timeoutMs, KEPWakeupSignal* wakeup);

  private:
    // Appends channel to the closed list unless a channel with its id is there already.
    void AddClosedChannel(const KEPMsgChannel& channel);

    KEPBasVector<KEPMsgChannel> m_channels;
    KEPBasVector<KEPMsgChannel> m_listen;
    KEPBasVector<std::uint64_t> m_listenSerials;
    KEPBasVector<KEPMsgChannel> m_newlyCreated;
    KEPBasVector<KEPMsgChannel> m_closedChannels;
    KEPBasVector<RefusedPeer> m_refusedPeers;
    std::atomic<bool> m_listenInterrupted;
};
