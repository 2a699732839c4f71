// KEPMsgChannelOrganizer: the process-wide registry of the channels the messaging layer knows.
//
// It keeps the registered channels in registration order (duplicates allowed) and embeds the
// current waitable, whose channel list holds the registered channels that the message loop
// listens on. It owns both lists but never a socket: the connection table does.
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
    void RemoveChannel(KEPMsgChannelQuery* query, bool shutdown);
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
    // The embedded current waitable. Takes no lock.
    KEPMsgChannelWaitable& GetCurrentWaitable() { return m_currentWaitable; }

  private:
    KEPMsgChannelOrganizer();
    ~KEPMsgChannelOrganizer();
    KEPMsgChannelOrganizer(const KEPMsgChannelOrganizer&) = delete;
    KEPMsgChannelOrganizer& operator=(const KEPMsgChannelOrganizer&) = delete;

    // Shutdown's work; the caller holds the organizer mutex.
    void Shutdown_priv();

    KEPBasVector<KEPMsgChannel> m_channels;
    KEPMsgChannelWaitable m_currentWaitable;
};

extern template class KEPBasAtiGlobalSingleton<KEPMsgChannelOrganizer>;
