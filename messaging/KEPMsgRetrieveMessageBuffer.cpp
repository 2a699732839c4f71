#include "messaging/KEPMsgRetrieveMessageBuffer.h"

#include <new>

template class KEPBasAtiGlobalSingleton<KEPMsgRetrieveMessageBuffer>;

KEPMsgRetrieveMessageBuffer::KEPMsgRetrieveMessageBuffer() {}

KEPMsgRetrieveMessageBuffer::~KEPMsgRetrieveMessageBuffer() {}

void KEPMsgRetrieveMessageBuffer::AddMessage(const KEPMsgChannelMsgStruct& record) {
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    records.push_back(record);
    AddMessages(records);
}

void KEPMsgRetrieveMessageBuffer::AddMessages(const KEPBasVector<KEPMsgChannelMsgStruct>& records) {
    int added = 0;
    {
        KEPBasAtiScopedLock<KEPMsgRetrieveMessageBuffer> guard(*this);
        for (int i = 0; i < records.size(); ++i) {
            if (records[i].m_message != nullptr) {  // without one it could never be handed out
                m_entries.push_back(records[i]);
                ++added;
            }
        }
    }
    if (added == 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> storeGuard(m_storeMutex);
        m_storeCount += added;
    }
    m_stored.notify_all();
}

std::uint64_t KEPMsgRetrieveMessageBuffer::StoreCount() {
    std::lock_guard<std::mutex> storeGuard(m_storeMutex);
    return m_storeCount;
}

bool KEPMsgRetrieveMessageBuffer::WaitForStore(std::uint64_t seen,
                                               std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> storeGuard(m_storeMutex);
    ++m_waitingRetrievers;
    const bool stored =
        m_stored.wait_until(storeGuard, deadline, [&] { return m_storeCount != seen; });
    --m_waitingRetrievers;
    return stored;
}

void KEPMsgRetrieveMessageBuffer::ForgetWaitsAfterFork() {
    // The copied condition counts waiters that are threads of the parent; a store's wake-up
    // could wait for them for good.
    new (&m_stored) std::condition_variable();
    m_waitingRetrievers = 0;
}

int KEPMsgRetrieveMessageBuffer::WaitingRetrieverCount() {
    std::lock_guard<std::mutex> storeGuard(m_storeMutex);
    return m_waitingRetrievers;
}

int KEPMsgRetrieveMessageBuffer::Count() {
    KEPBasAtiScopedLock<KEPMsgRetrieveMessageBuffer> guard(*this);
    return m_entries.size();
}

bool KEPMsgRetrieveMessageBuffer::SelectPositions_priv(KEPMsgMessageQuery* query,
                                                       KEPBasVector<int>& selected,
                                                       KEPBasVector<char>& taken) {
    const int count = m_entries.size();
    KEPBasVector<KEPBasSocketMessage*> messages;
    messages.Reserve(count);
    for (int i = 0; i < count; ++i) {
        messages.push_back(m_entries[i].m_message);
    }
    query->Search(messages, selected);

    // Positions that ascend within the list are valid and distinct: nothing to mark.
    int previous = -1;
    bool ascending = true;
    for (int i = 0; i < selected.size() && ascending; ++i) {
        ascending = selected[i] > previous && selected[i] < count;
        previous = selected[i];
    }
    if (ascending) {
        return true;
    }

    // A host query might report a position twice or outside the list; handing a message out
    // twice would give it two owners, so such positions are ignored.
    KEPBasVector<int> positions;
    positions.swap(selected);
    taken.Reserve(count);
    for (int i = 0; i < count; ++i) {
        taken.push_back(0);
    }
    for (int i = 0; i < positions.size(); ++i) {
        const int position = positions[i];
        if (position < 0 || position >= count || taken[position] != 0) {
            continue;
        }
        taken[position] = 1;
        selected.push_back(position);
    }
    return false;
}

void KEPMsgRetrieveMessageBuffer::RemovePositions_priv(const KEPBasVector<int>& selected,
                                                       bool ascending,
                                                       const KEPBasVector<char>& taken) {
    const int count = m_entries.size();
    const int selectedCount = selected.size();
    if (selectedCount == count) {
        m_entries.Clear();
        return;
    }
    if (selectedCount == 0) {
        return;
    }
    KEPBasVector<KEPMsgChannelMsgStruct> kept;
    kept.Reserve(count - selectedCount);
    int next = 0;  // the next selected position, when they ascend
    for (int i = 0; i < count; ++i) {
        const bool isSelected =
            ascending ? next < selectedCount && selected[next] == i : taken[i] != 0;
        if (isSelected) {
            ++next;
        } else {
            kept.push_back(m_entries[i]);
        }
    }
    m_entries.swap(kept);
}

void KEPMsgRetrieveMessageBuffer::IRetrieveMessages(KEPMsgMessageQuery* query,
                                                    KEPBasVector<KEPBasSocketMessage*>& out) {
    if (query == nullptr) {
        return;
    }
    KEPBasAtiScopedLock<KEPMsgRetrieveMessageBuffer> guard(*this);
    KEPBasVector<int> selected;
    KEPBasVector<char> taken;
    const bool ascending = SelectPositions_priv(query, selected, taken);
    for (int i = 0; i < selected.size(); ++i) {
        out.push_back(m_entries[selected[i]].m_message);
    }
    RemovePositions_priv(selected, ascending, taken);
}

void KEPMsgRetrieveMessageBuffer::IRetrieveMessagesWithChannel(
    KEPMsgMessageQuery* query, KEPBasVector<KEPMsgChannelMsgStruct>& out) {
    if (query == nullptr) {
        return;
    }
    KEPBasAtiScopedLock<KEPMsgRetrieveMessageBuffer> guard(*this);
    KEPBasVector<int> selected;
    KEPBasVector<char> taken;
    const bool ascending = SelectPositions_priv(query, selected, taken);
    for (int i = 0; i < selected.size(); ++i) {
        out.push_back(m_entries[selected[i]]);
    }
    RemovePositions_priv(selected, ascending, taken);
}
