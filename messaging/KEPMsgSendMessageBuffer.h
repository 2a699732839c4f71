// KEPMsgSendMessageBuffer: the process-wide queue of outgoing messages.
//
// Every send of the communicator ends here: a pending record (channel, message, message id) is
// appended to the queue, and a transmit pass writes every queued record in queue order, header
// then body, and empties the queue. Records borrow their messages and streams belong to the
// host; the buffer never deletes either.
//
// Thread-safety: the send-buffer mutex (the singleton's mutex) guards the queue, the output
// streams, the writes of the default output stream and the message-id counter, and is held
// for a whole transmit pass, including the messages' GetMessageType() and WriteBody(). The
// default output stream and the pending flag are atomics, read without the mutex as a cheap
// pre-test. Lock order: communicator mutex -> send-buffer mutex -> organizer mutex -> waitable
// lock -> connection-services mutex.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"
#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "KEPBase/ProtectedInterfaces/omi_Btree.h"
#include "base/KEPBasExport.h"
#include "base/KEPBasSocketMessage.h"
#include "base/KEPBasStream.h"
#include "base/KEPString.h"
#include "channels/KEPMsgChannel.h"
#include "connection/KEPMsgSocketLease.h"
#include "messaging/KEPMsgChannelMsgStruct.h"

class KEPMSG_API KEPMsgSendMessageBuffer
    : public KEPBasAtiGlobalSingleton<KEPMsgSendMessageBuffer> {
    friend class KEPBasAtiGlobalSingleton<KEPMsgSendMessageBuffer>;

  public:
    // Drops every queued record unwritten; neither messages nor streams are deleted.
    ~KEPMsgSendMessageBuffer();

    // Module-internal: while one lives on a thread, that thread runs a transmit pass before it
    // next waits (the message task's loop), so records it queues need not wake the wait.
    class KEPMSG_INTERNAL TransmitPassFollows {
      public:
        TransmitPassFollows();
        ~TransmitPassFollows();
        TransmitPassFollows(const TransmitPassFollows&) = delete;
        TransmitPassFollows& operator=(const TransmitPassFollows&) = delete;

      private:
        bool m_outer;
    };

    // Queues message for channel and stores the record's message id in id. Writes nothing.
    void ISendSocketMessage(const KEPMsgChannel& channel, KEPBasSocketMessage* message,
                            unsigned int& id);
    // Queues message for channel (its id is used up, not reported) and runs a transmit pass at
    // once, which writes every record queued before it too.
    void SendSocketMessageImmediate(const KEPMsgChannel& channel, KEPBasSocketMessage* message);
    // Module-internal twins of the two sends for channels found by a query: connectionSerial is
    // the serial (KEPMsgSocket::GetSerial) of the channel's connection, read while the channel
    // was still registered, so a record never goes to a later connection with the same id.
    KEPMSG_INTERNAL void ISendSocketMessage(const KEPMsgChannel& channel,
                                            KEPBasSocketMessage* message, unsigned int& id,
                                            std::uint64_t connectionSerial);
    KEPMSG_INTERNAL void SendSocketMessageImmediate(const KEPMsgChannel& channel,
                                                    KEPBasSocketMessage* message,
                                                    std::uint64_t connectionSerial);
    // Module-internal: the serial of the connection the channel names now, 0 when it has none.
    KEPMSG_INTERNAL static std::uint64_t ConnectionSerial(const KEPMsgChannel& channel);
    // Module-internal: the number of queued records for the connection with this serial.
    KEPMSG_INTERNAL int CountQueuedFor(std::uint64_t connectionSerial);
    // Runs one transmit pass when a default output stream is set and queued sends wait;
    // otherwise returns at once.
    void TransmitPendingMessages();

    // Empties pending, then appends, in queue order, the id of every queued record whose id
    // occurs in ids (once per record).
    void QueryPendingStatus(const KEPBasVector<unsigned int>& ids,
                            KEPBasVector<unsigned int>& pending);
    // True while a record with this id is queued. id is only read.
    bool QueryPendingStatus(unsigned int& id);

    // Registers the output stream for a message type (null: that type is never written). The
    // first registration for a type stays.
    void RegisterMessageOutputStream(const char* type, KEPBasOutputStream* stream);
    // Sets the stream used for types without a stream of their own; null stops all writing.
    void SetDefaultOutputStream(KEPBasOutputStream* stream);
    // True when a default output stream is set. Takes no lock.
    bool IsDefaultOutputStreamDefined() const;
    // Module-internal, in the child of a fork (mutex renewed): drops the queued records, which
    // are the parent's to write.
    KEPMSG_INTERNAL void DropQueuedAfterFork();

  private:
    KEPMsgSendMessageBuffer();
    KEPMsgSendMessageBuffer(const KEPMsgSendMessageBuffer&) = delete;
    KEPMsgSendMessageBuffer& operator=(const KEPMsgSendMessageBuffer&) = delete;

    // Appends a record with the next message id and returns that id. Mutex held.
    unsigned int AppendPendingRecord_priv(const KEPMsgChannel& channel,
                                          KEPBasSocketMessage* message,
                                          std::uint64_t connectionSerial);
    // The transmit pass. Mutex held. Called while a pass runs (host code in WriteBody sending
    // again), it does nothing: the running pass writes the new records after the current one.
    // offered, when not null, is a lease the caller took under the mutex; the pass uses it for
    // the first record on that socket instead of leasing the socket again.
    void TransmitPendingMessage_private(KEPMsgSocketLease* offered = nullptr);
    // The socket of the pass's gathered connection with this id, or null. Mutex held.
    KEPMsgSocket* FindGathered_priv(int socketId) const;
    // Sends what the pass gathered per connection, ends the gathers and returns the leases.
    // Mutex held.
    void FlushGathered_priv();

    // A connection whose records a pass gathers (KEPMsgCommSocket::BeginGather), leased until
    // they are sent; the lease also serves the connection's later records in the pass.
    struct GatheredConnection {
        KEPMsgSocketLease socket;
        KEPMsgChannel channel;
    };
    // Connections gathered by one pass at most; records for further connections are written
    // without gathering.
    static constexpr int kMaxGathered = 64;

    std::atomic<KEPBasOutputStream*> m_defaultOutputStream;
    omi_Btree<KEPString, KEPBasStream*> m_outputStreams;
    KEPBasVector<KEPMsgChannelMsgStruct> m_pendingMessages;
    // Beside each record: the serial (KEPMsgSocket::GetSerial) of the connection its channel
    // named when it was queued, 0 when none. A record is written only to that connection, never
    // to a later one that was given the same socket id. Guarded by the mutex.
    KEPBasVector<std::uint64_t> m_pendingSerials;
    std::atomic<bool> m_hasPendingMessages;
    // Connections gathered by the running pass (the first m_gatheredCount entries), and whether
    // a pass runs. Guarded by the mutex.
    std::array<GatheredConnection, kMaxGathered> m_gathered;
    int m_gatheredCount = 0;
    bool m_passRunning = false;

    // The id of the next record; wraps from 4294967295 to 0. Guarded by the mutex.
    static unsigned int s_nextMessageId;
};

extern template class KEPBasAtiGlobalSingleton<KEPMsgSendMessageBuffer>;
