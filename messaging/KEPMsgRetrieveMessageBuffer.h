// KEPMsgRetrieveMessageBuffer: the store of received messages.
//
// The receive pass appends one record (channel, message) per message it read, all of a pass at
// once; callers take messages out with a KEPMsgMessageQuery and own them from then on. The buffer
// never deletes a message: messages still stored when it is finalized are left alone.
//
// Thread-safety: every operation holds the retrieve-buffer mutex (the singleton's mutex) for
// its whole run, the query's Search included. Nothing else of the module is locked while it is
// held; the receive pass takes it inside the communicator mutex. Blocking retrieves wait on a
// condition of their own (the store mutex, never held with any other lock), which every store
// signals after it has released the buffer mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"
#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "base/KEPBasExport.h"
#include "base/KEPBasSocketMessage.h"
#include "messaging/KEPMsgChannelMsgStruct.h"
#include "messaging/KEPMsgMessageQuery.h"

class KEPMSG_API KEPMsgRetrieveMessageBuffer
    : public KEPBasAtiGlobalSingleton<KEPMsgRetrieveMessageBuffer> {
    friend class KEPBasAtiGlobalSingleton<KEPMsgRetrieveMessageBuffer>;

  public:
    // Frees the list only; stored messages are not deleted.
    ~KEPMsgRetrieveMessageBuffer();

    // Appends a copy of record; a record without a message is ignored.
    void AddMessage(const KEPMsgChannelMsgStruct& record);
    // Appends copies of records in their order, as AddMessage does, under one lock and with
    // one wake-up of blocked retrievers.
    void AddMessages(const KEPBasVector<KEPMsgChannelMsgStruct>& records);
    // Moves the messages that query selects to the end of out (not cleared); the others stay
    // in arrival order. A null query does nothing.
    void IRetrieveMessages(KEPMsgMessageQuery* query, KEPBasVector<KEPBasSocketMessage*>& out);
    // The same, appending whole records (the channel the message came from, the message, id).
    void IRetrieveMessagesWithChannel(KEPMsgMessageQuery* query,
                                      KEPBasVector<KEPMsgChannelMsgStruct>& out);
    // Number of stored messages.
    int Count();

    // Module-internal: the number of records stored so far. A blocking retrieve reads it before
    // it looks, so that a store after the look is seen by WaitForStore.
    KEPMSG_INTERNAL std::uint64_t StoreCount();
    // Module-internal: blocks until a record has been stored since StoreCount() gave seen, or
    // until deadline; true when one has.
    KEPMSG_INTERNAL bool WaitForStore(std::uint64_t seen,
                                      std::chrono::steady_clock::time_point deadline);
    // Module-internal: how many threads wait in WaitForStore now (a seam for tests).
    KEPMSG_INTERNAL int WaitingRetrieverCount();
    // Module-internal fork support: the store mutex is held across fork, then released in both
    // processes; in the child, the waits of the parent's threads (none there) are forgotten.
    KEPMSG_INTERNAL void HoldStoreForFork() { m_storeMutex.lock(); }
    KEPMSG_INTERNAL void ReleaseStoreAfterFork() { m_storeMutex.unlock(); }
    KEPMSG_INTERNAL void ForgetWaitsAfterFork();

  private:
    KEPMsgRetrieveMessageBuffer();
    KEPMsgRetrieveMessageBuffer(const KEPMsgRetrieveMessageBuffer&) = delete;
    KEPMsgRetrieveMessageBuffer& operator=(const KEPMsgRetrieveMessageBuffer&) = delete;

    // Runs query over the entries and leaves in selected the valid selected positions, each
    // once, in the order Search gave them. Returns true when they ascend (the usual case);
    // otherwise taken marks them (1 at every selected position, 0 elsewhere, one per entry).
    // Mutex held.
    bool SelectPositions_priv(KEPMsgMessageQuery* query, KEPBasVector<int>& selected,
                              KEPBasVector<char>& taken);
    // Removes the selected entries, keeping the order of the rest: ascending positions are
    // walked, others go by the marks in taken. Mutex held.
    void RemovePositions_priv(const KEPBasVector<int>& selected, bool ascending,
                              const KEPBasVector<char>& taken);

    KEPBasVector<KEPMsgChannelMsgStruct> m_entries;
    // Guarded by m_storeMutex: records stored so far and threads in WaitForStore.
    std::mutex m_storeMutex;
    std::condition_variable m_stored;
    std::uint64_t m_storeCount = 0;
    int m_waitingRetrievers = 0;
};

extern template class KEPBasAtiGlobalSingleton<KEPMsgRetrieveMessageBuffer>;
