// KEPMsgChannelOrganizer: the process-wide registry of the channels the messaging layer knows.
//
// It keeps the registered channels in registration order (duplicates allowed) and embeds the
// current waitable, whose channel list holds the registered channels that the message loop
// listens on. It owns both lists but never a socket: the connection table does. Beside each
// entry it keeps the serial of the connection the channel named when it was registered: a
// connection that leaves the table takes its entries with it (every operation first forgets the
// entries of connections removed since the last one), so a later connection that gets the same
// socket id is never listed twice, and a removal by query closes only the connections it
// selected.
//
// Thread-safety: every operation but GetCurrentWaitable holds the organizer mutex while it
// touches the channels, and changes the current waitable's channel list only while it also
// holds the waitable lock, which a running wait holds for its whole length; registering with
// listen, removing and Shutdown signal the receive wake-up first, so a receive pass's wait
// ends at once and lets them in (a plain wait without the wake-up can still hold them for up
// to its time-out). Lock order,
// never reversed: organizer mutex -> waitable lock -> connection-services mutex. Queries run
// under the organizer mutex and must not call back into the organizer.
#pragma once

#include <cstdint>

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"
#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "base/KEPBasExport.h"
#include "channels/KEPMsgChannel.h"
#include "channels/KEPMsgChannelQuery.h"
#include "channels/KEPMsgChannelWaitable.h"

class KEPMSG_API KEPMsgChannelOrganizer : public KEPBasAtiGlobalSingleton<KEPMsgChannelOrganizer> {
    friend class KEPBasAtiGlobalSingleton<KEPMsgChannelOrganizer>;

  public:
    // Appends channel to the registered channels and, when listen, to the current waitable's
    // channel list.
    void RegisterChannel(const KEPMsgChannel& channel, bool listen);
    // Removes the first equal entry from each of the two lists (if any); when shutdown, then
    // shuts channel's connection down, leaving the caller's channel with id -1.
    void RemoveChannel(KEPMsgChannel& channel, bool shutdown);
    // Removes every registered channel that query selects (all when query is null), one at a
    // time, releasing the organizer mutex between two removals; shuts each down when shutdown.
    // A selected connection that is gone by its turn is skipped, and a connection that got its
    // socket id since is neither unregistered nor closed.
    void RemoveChannel(KEPMsgChannelQuery* query, bool shutdown);
    // Module-internal: the same; without shutdown, also appends to keptOpen the serial of each
    // connection that it unregistered and left open.
    KEPMSG_INTERNAL void RemoveChannel(KEPMsgChannelQuery* query, bool shutdown,
                                       KEPBasVector<std::uint64_t>* keptOpen);
    // Appends to found the registered channels that query selects (all of them, in
    // registration order, when query is null). found is not cleared first.
    void LookupChannel(KEPMsgChannelQuery* query, KEPBasVector<KEPMsgChannel>& found);
    // Shuts every registered channel down and empties both channel lists; the current
    // waitable's listen and newly-created lists are left as they are.
    void Shutdown();
    // Module-internal: when the connection table holds no connection under socketId (it was
    // removed without its channel), removes the first channel with that id from each list;
    // nothing is shut down. Decided under the organizer mutex: a connection made since with the
    // same id is entered in the table before its channel can be registered, so it keeps it.
    KEPMSG_INTERNAL void RemoveChannelOfGoneConnection(int socketId);
    // Module-internal, in the child of a fork (mutex renewed): forgets every channel, which
    // names a connection of the parent, and what the current waitable's waits left behind.
    KEPMSG_INTERNAL void ForgetAllAfterFork();
    // The embedded current waitable. Takes no lock.
    KEPMsgChannelWaitable& GetCurrentWaitable() { return m_currentWaitable; }

  private:
    KEPMsgChannelOrganizer();
    ~KEPMsgChannelOrganizer();
    KEPMsgChannelOrganizer(const KEPMsgChannelOrganizer&) = delete;
    KEPMsgChannelOrganizer& operator=(const KEPMsgChannelOrganizer&) = delete;

    // Shutdown's work; the caller holds the organizer mutex.
    void Shutdown_priv();
    // Unregisters one entry of the connection with socketId while it has this serial, closing
    // the connection when shutdown; false when the id no longer names it. Takes the mutex.
    bool RemoveConnectionEntry(int socketId, std::uint64_t serial, bool shutdown);
    // The rest need the organizer mutex held.
    // The serial registered with socketId's first entry (the table's, when it has none).
    std::uint64_t RegisteredSerial_priv(int socketId) const;
    // Erases socketId's first entry from each list.
    void EraseFirstEntry_priv(int socketId);
    // Erases every entry whose connection left the table since it was registered.
    void ForgetGoneConnections_priv();

    KEPBasVector<KEPMsgChannel> m_channels;
    // Beside each entry of m_channels: its connection's serial at registration (0 for none).
    KEPBasVector<std::uint64_t> m_serials;
    // The connection table's removal count when entries were last checked.
    std::uint64_t m_removalsSeen = 0;
    KEPMsgChannelWaitable m_currentWaitable;
};

extern template class KEPBasAtiGlobalSingleton<KEPMsgChannelOrganizer>;
