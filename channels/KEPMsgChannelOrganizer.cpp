#include "channels/KEPMsgChannelOrganizer.h"

#include "base/KEPBasAtiMutex.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"

template class KEPBasAtiGlobalSingleton<KEPMsgChannelOrganizer>;

namespace {

// Erases the lowest entry of list with socketId (channels are equal when their ids are),
// keeping the order of the others; returns its index, or -1 when there was none.
int EraseFirstWithId(KEPBasVector<KEPMsgChannel>& list, int socketId) {
    for (int i = 0; i < list.size(); ++i) {
        if (list[i].GetSocketId() == socketId) {
            list.Erase(i);
            return i;
        }
    }
    return -1;
}

}  // namespace

KEPMsgChannelOrganizer::KEPMsgChannelOrganizer() {
    // Created now, not later under the organizer mutex: see KEPMsgSocketCommunicator's
    // constructor for the lock order this keeps.
    KEPMsgConnectionServicesUtils::Instance();
    KEPMsgWaitableLock::Instance();
}

KEPMsgChannelOrganizer::~KEPMsgChannelOrganizer() {
    // Finalize() deletes the organizer's mutex only after this destructor has run.
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
    Shutdown_priv();
}

void KEPMsgChannelOrganizer::RegisterChannel(const KEPMsgChannel& channel, bool listen) {
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
    // First: an entry left by a connection that had this number must not stay beside this one.
    ForgetGoneConnections_priv();
    m_channels.push_back(channel);
    m_serials.push_back(KEPMsgConnectionServicesUtils::Instance().GetSerial(channel.GetSocketId()));
    if (listen) {
        KEPMsgWaitableLock::WakeReceivePass();  // a waiting pass then watches the new channel
        KEPBasAtiScopedLock<KEPMsgWaitableLock> waitableGuard(KEPMsgWaitableLock::Instance());
        m_currentWaitable.Channels().push_back(channel);
    }
}

void KEPMsgChannelOrganizer::RemoveChannel(KEPMsgChannel& channel, bool shutdown) {
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
    ForgetGoneConnections_priv();
    EraseFirstEntry_priv(channel.GetSocketId());
    if (shutdown) {
        channel.Shutdown();
    }
}

void KEPMsgChannelOrganizer::RemoveChannelOfGoneConnection(int socketId) {
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
    if (KEPMsgConnectionServicesUtils::Instance().GetSerial(socketId) != 0) {
        return;  // the id names a connection (perhaps a newer one): its channel stays
    }
    EraseFirstEntry_priv(socketId);
}

void KEPMsgChannelOrganizer::RemoveChannel(KEPMsgChannelQuery* query, bool shutdown) {
    RemoveChannel(query, shutdown, nullptr);
}

void KEPMsgChannelOrganizer::RemoveChannel(KEPMsgChannelQuery* query, bool shutdown,
                                           KEPBasVector<std::uint64_t>* keptOpen) {
    KEPBasVector<KEPMsgChannel> selected;
    KEPBasVector<std::uint64_t> serials;
    {
        KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
        ForgetGoneConnections_priv();
        if (query != nullptr) {
            query->Search(m_channels, selected);
        } else {
            selected = m_channels;
        }
        // What each selected channel named when it was selected: the entry's serial as
        // registered, read before the query ran (it may have let connections go meanwhile).
        for (int i = 0; i < selected.size(); ++i) {
            serials.push_back(RegisteredSerial_priv(selected[i].GetSocketId()));
        }
    }
    // One channel at a time, so that other threads may register or remove in between.
    for (int i = 0; i < selected.size(); ++i) {
        if (RemoveConnectionEntry(selected[i].GetSocketId(), serials[i], shutdown) &&
            keptOpen != nullptr && !shutdown && serials[i] != 0) {
            keptOpen->push_back(serials[i]);
        }
    }
}

bool KEPMsgChannelOrganizer::RemoveConnectionEntry(int socketId, std::uint64_t serial,
                                                   bool shutdown) {
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
    ForgetGoneConnections_priv();
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    if (services.GetSerial(socketId) != serial) {
        return false;  // gone (its entries went with it), or the number names a newer connection
    }
    EraseFirstEntry_priv(socketId);
    if (shutdown) {
        services.ShutDownConnection(socketId, serial);
    }
    return true;
}

std::uint64_t KEPMsgChannelOrganizer::RegisteredSerial_priv(int socketId) const {
    for (int i = 0; i < m_channels.size(); ++i) {
        if (m_channels[i].GetSocketId() == socketId) {
            return m_serials[i];
        }
    }
    return KEPMsgConnectionServicesUtils::Instance().GetSerial(socketId);
}

void KEPMsgChannelOrganizer::EraseFirstEntry_priv(int socketId) {
    const int erased = EraseFirstWithId(m_channels, socketId);
    if (erased != -1) {
        m_serials.Erase(erased);
    }
    KEPMsgWaitableLock::WakeReceivePass();  // frees the waitable lock at once
    KEPBasAtiScopedLock<KEPMsgWaitableLock> waitableGuard(KEPMsgWaitableLock::Instance());
    EraseFirstWithId(m_currentWaitable.Channels(), socketId);
}

void KEPMsgChannelOrganizer::ForgetGoneConnections_priv() {
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    // Read before the look: a removal during it is looked for again by the next operation.
    const std::uint64_t removals = services.RemovalCount();
    if (removals == m_removalsSeen) {
        return;
    }
    m_removalsSeen = removals;
    KEPBasVector<int> ids;
    for (int i = 0; i < m_channels.size(); ++i) {
        ids.push_back(m_channels[i].GetSocketId());
    }
    KEPBasVector<std::uint64_t> current;
    services.GetSerials(ids, current);
    KEPBasVector<int> goneIds;
    for (int i = m_channels.size() - 1; i >= 0; --i) {
        if (current[i] != m_serials[i]) {
            goneIds.push_back(ids[i]);
            m_channels.Erase(i);
            m_serials.Erase(i);
        }
    }
    if (goneIds.size() == 0) {
        return;
    }
    // Every entry of a gone connection is stale: an entry of a connection that took its number
    // since can only be registered after this look.
    KEPMsgWaitableLock::WakeReceivePass();
    KEPBasAtiScopedLock<KEPMsgWaitableLock> waitableGuard(KEPMsgWaitableLock::Instance());
    KEPBasVector<KEPMsgChannel>& listened = m_currentWaitable.Channels();
    for (int i = listened.size() - 1; i >= 0; --i) {
        for (int j = 0; j < goneIds.size(); ++j) {
            if (listened[i].GetSocketId() == goneIds[j]) {
                listened.Erase(i);
                break;
            }
        }
    }
}

void KEPMsgChannelOrganizer::LookupChannel(KEPMsgChannelQuery* query,
                                           KEPBasVector<KEPMsgChannel>& found) {
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
    ForgetGoneConnections_priv();
    if (query != nullptr) {
        query->Search(m_channels, found);
        return;
    }
    for (int i = 0; i < m_channels.size(); ++i) {
        found.push_back(m_channels[i]);
    }
}

void KEPMsgChannelOrganizer::Shutdown() {
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
    Shutdown_priv();
}

void KEPMsgChannelOrganizer::ForgetAllAfterFork() {
    m_channels.Clear();
    m_serials.Clear();
    m_removalsSeen = KEPMsgConnectionServicesUtils::Instance().RemovalCount();
    m_currentWaitable.Channels().Clear();
    m_currentWaitable.Listen().Clear();
    m_currentWaitable.ListenSerials().Clear();
    m_currentWaitable.NewlyCreated().Clear();
    m_currentWaitable.ClosedChannels().Clear();
    m_currentWaitable.SetListenInterrupted(false);
}

void KEPMsgChannelOrganizer::Shutdown_priv() {
    ForgetGoneConnections_priv();           // a stale entry's number may name a newer connection
    KEPMsgWaitableLock::WakeReceivePass();  // frees the waitable lock at once
    KEPBasAtiScopedLock<KEPMsgWaitableLock> waitableGuard(KEPMsgWaitableLock::Instance());
    for (int i = 0; i < m_channels.size(); ++i) {
        m_channels[i].Shutdown();
    }
    m_channels.Clear();
    m_serials.Clear();
    m_currentWaitable.Channels().Clear();
}
