#include "channels/KEPMsgChannelOrganizer.h"

#include "base/KEPBasAtiMutex.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"

template class KEPBasAtiGlobalSingleton<KEPMsgChannelOrganizer>;

namespace {

// Erases the lowest entry of list with socketId (channels are equal when their ids are),
// keeping the order of the others.
void EraseFirstWithId(KEPBasVector<KEPMsgChannel>& list, int socketId) {
    for (int i = 0; i < list.size(); ++i) {
        if (list[i].GetSocketId() == socketId) {
            list.Erase(i);
            return;
        }
    }
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
    m_channels.push_back(channel);
    if (listen) {
        KEPMsgWaitableLock::WakeReceivePass();  // a waiting pass then watches the new channel
        KEPBasAtiScopedLock<KEPMsgWaitableLock> waitableGuard(KEPMsgWaitableLock::Instance());
        m_currentWaitable.Channels().push_back(channel);
    }
}

void KEPMsgChannelOrganizer::RemoveChannel(KEPMsgChannel& channel, bool shutdown) {
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
    EraseFirstWithId(m_channels, channel.GetSocketId());
    {
        KEPMsgWaitableLock::WakeReceivePass();  // frees the waitable lock at once
        KEPBasAtiScopedLock<KEPMsgWaitableLock> waitableGuard(KEPMsgWaitableLock::Instance());
        EraseFirstWithId(m_currentWaitable.Channels(), channel.GetSocketId());
    }
    if (shutdown) {
        channel.Shutdown();
    }
}

void KEPMsgChannelOrganizer::RemoveChannelOfGoneConnection(int socketId) {
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
    if (KEPMsgConnectionServicesUtils::Instance().GetSerial(socketId) != 0) {
        return;  // the id names a connection (perhaps a newer one): its channel stays
    }
    EraseFirstWithId(m_channels, socketId);
    KEPBasAtiScopedLock<KEPMsgWaitableLock> waitableGuard(KEPMsgWaitableLock::Instance());
    EraseFirstWithId(m_currentWaitable.Channels(), socketId);
}

void KEPMsgChannelOrganizer::RemoveChannel(KEPMsgChannelQuery* query, bool shutdown) {
    KEPBasVector<KEPMsgChannel> selected;
    {
        KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
        if (query != nullptr) {
            query->Search(m_channels, selected);
        } else {
            selected = m_channels;
        }
    }
    // One channel at a time, so that other threads may register or remove in between.
    for (int i = 0; i < selected.size(); ++i) {
        KEPMsgChannel channel = selected[i];
        RemoveChannel(channel, shutdown);
    }
}

void KEPMsgChannelOrganizer::LookupChannel(KEPMsgChannelQuery* query,
                                           KEPBasVector<KEPMsgChannel>& found) {
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(*this);
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

void KEPMsgChannelOrganizer::Shutdown_priv() {
    KEPMsgWaitableLock::WakeReceivePass();  // frees the waitable lock at once
    KEPBasAtiScopedLock<KEPMsgWaitableLock> waitableGuard(KEPMsgWaitableLock::Instance());
    for (int i = 0; i < m_channels.size(); ++i) {
        m_channels[i].Shutdown();
    }
    m_channels.Clear();
    m_currentWaitable.Channels().Clear();
}
