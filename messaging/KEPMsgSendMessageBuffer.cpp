#include "messaging/KEPMsgSendMessageBuffer.h"

#include <typeinfo>
#include <utility>

#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgLeasedSocketScope.h"
#include "connection/KEPMsgSocketLease.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgSocket.h"

template class KEPBasAtiGlobalSingleton<KEPMsgSendMessageBuffer>;

namespace {

// True for the module's own output stream, which writes through the connection's socket. The
// exact type is recognised without a dynamic_cast, which every record would pay for.
bool WritesThroughSocket(KEPBasOutputStream* stream) {
    return typeid(*stream) == typeid(KEPMsgBufferedOutputStream) ||
           dynamic_cast<KEPMsgBufferedOutputStream*>(stream) != nullptr;
}

// Set on a thread while a KEPMsgSendMessageBuffer::TransmitPassFollows lives there.
thread_local bool t_transmitPassFollows = false;

}  // namespace

unsigned int KEPMsgSendMessageBuffer::s_nextMessageId = 1;

KEPMsgSendMessageBuffer::TransmitPassFollows::TransmitPassFollows()
    : m_outer(t_transmitPassFollows) {
    t_transmitPassFollows = true;
}

KEPMsgSendMessageBuffer::TransmitPassFollows::~TransmitPassFollows() {
    t_transmitPassFollows = m_outer;
}

KEPMsgSendMessageBuffer::KEPMsgSendMessageBuffer()
    : m_defaultOutputStream(nullptr), m_hasPendingMessages(false) {}

KEPMsgSendMessageBuffer::~KEPMsgSendMessageBuffer() {
    m_defaultOutputStream.store(nullptr);
    // The queue and the stream tree free their own storage; records borrow their messages.
}

std::uint64_t KEPMsgSendMessageBuffer::ConnectionSerial(const KEPMsgChannel& channel) {
    return KEPMsgConnectionServicesUtils::Instance().GetSerial(channel.GetSocketId());
}

unsigned int KEPMsgSendMessageBuffer::AppendPendingRecord_priv(const KEPMsgChannel& channel,
                                                               KEPBasSocketMessage* message,
                                                               std::uint64_t connectionSerial) {
    const unsigned int id = s_nextMessageId++;  // unsigned: wraps from 4294967295 to 0
    m_pendingSerials.push_back(connectionSerial);
    m_pendingMessages.push_back(KEPMsgChannelMsgStruct(channel, message, id));
    return id;
}

void KEPMsgSendMessageBuffer::ISendSocketMessage(const KEPMsgChannel& channel,
                                                 KEPBasSocketMessage* message, unsigned int& id) {
    ISendSocketMessage(channel, message, id, ConnectionSerial(channel));
}

void KEPMsgSendMessageBuffer::ISendSocketMessage(const KEPMsgChannel& channel,
                                                 KEPBasSocketMessage* message, unsigned int& id,
                                                 std::uint64_t connectionSerial) {
    {
        KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
        id = AppendPendingRecord_priv(channel, message, connectionSerial);
        m_hasPendingMessages.store(true);
    }
    // After the record is in the queue: the pass that the wake-up ends writes it in its cycle.
    // A callback of the message task's own pass needs none: its transmit pass comes next.
    if (!t_transmitPassFollows) {
        KEPMsgWaitableLock::WakeReceivePass();
    }
}

void KEPMsgSendMessageBuffer::SendSocketMessageImmediate(const KEPMsgChannel& channel,
                                                         KEPBasSocketMessage* message) {
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    // One look-up serves both the record's serial and the pass's lease on its connection.
    KEPMsgSocketLease lease =
        KEPMsgConnectionServicesUtils::Instance().LeaseSocket(channel.GetSocketId());
    AppendPendingRecord_priv(channel, message, lease ? lease->GetSerial() : 0);
    TransmitPendingMessage_private(&lease);
}

void KEPMsgSendMessageBuffer::SendSocketMessageImmediate(const KEPMsgChannel& channel,
                                                         KEPBasSocketMessage* message,
                                                         std::uint64_t connectionSerial) {
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    AppendPendingRecord_priv(channel, message, connectionSerial);
    TransmitPendingMessage_private();
}

int KEPMsgSendMessageBuffer::CountQueuedFor(std::uint64_t connectionSerial) {
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    int count = 0;
    for (int i = 0; i < m_pendingSerials.size(); ++i) {
        count += m_pendingSerials[i] == connectionSerial && connectionSerial != 0 ? 1 : 0;
    }
    return count;
}

void KEPMsgSendMessageBuffer::TransmitPendingMessages() {
    if (m_defaultOutputStream.load() == nullptr || !m_hasPendingMessages.load()) {
        return;
    }
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    TransmitPendingMessage_private();
}

void KEPMsgSendMessageBuffer::TransmitPendingMessage_private(KEPMsgSocketLease* offered) {
    KEPBasOutputStream* const defaultStream = m_defaultOutputStream.load();
    if (defaultStream == nullptr || m_passRunning) {
        // Without a default stream records wait for a pass with one. A pass asked for from
        // inside a pass (host code sending from WriteBody, the mutex being recursive) would
        // write the records before the current one again, into the middle of its body; the
        // running pass reads the queue's length anew each step and writes them after it.
        return;
    }
    m_passRunning = true;
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    for (int i = 0; i < m_pendingMessages.size(); ++i) {
        // A copy: WriteBody may queue more records, which may move the queue's storage.
        const KEPMsgChannelMsgStruct record = m_pendingMessages[i];
        if (record.m_message == nullptr) {
            continue;
        }
        const int socketId = record.m_channel.GetSocketId();
        // One lease per record at most: a connection gathered earlier in the pass is held
        // already. The lease keeps the socket and its descriptor alive across header and body
        // even if another thread removes the connection meanwhile.
        KEPMsgSocketLease recordLease;
        KEPMsgSocket* socket = FindGathered_priv(socketId);
        if (socket == nullptr) {
            if (offered != nullptr && *offered && (*offered)->GetId() == socketId) {
                recordLease = std::move(*offered);  // taken under this mutex by the caller
            } else {
                recordLease = services.LeaseSocket(socketId);
            }
            socket = recordLease.get();
        }
        if (socket == nullptr || socket->GetSerial() != m_pendingSerials[i]) {
            continue;  // the connection it was queued for is gone (its id may be reused)
        }
        KEPMsgCommSocket* const commSocket = KEPMsgCommSocket::FromSocket(socket);
        if (commSocket == nullptr || commSocket->IsOutputShutDown()) {
            continue;
        }
        KEPBasOutputStream* stream = defaultStream;
        const KEPString type = record.m_message->GetMessageType();
        if (m_outputStreams.IsMember(type)) {
            stream = static_cast<KEPBasOutputStream*>(m_outputStreams.Get(type));
        }
        if (stream == nullptr) {
            continue;
        }
        stream->SetSocketId(socketId);
        // The module's own stream writes through the socket, so header and body can be
        // gathered; a host stream might reach the connection some other way, so what was
        // gathered for this connection goes out before its header.
        bool failed = false;
        if (WritesThroughSocket(stream)) {
            if (!commSocket->IsGathering()) {
                if (!recordLease) {
                    // Listed already: gathered again after a record with a host stream.
                    commSocket->BeginGather();
                } else if (m_gatheredCount < kMaxGathered) {
                    commSocket->BeginGather();
                    m_gathered[m_gatheredCount++] =
                        GatheredConnection{std::move(recordLease), record.m_channel};
                }
            }
        } else if (commSocket->IsGathering()) {
            failed = !commSocket->EndGather();
        }
        // The type name chose the stream and goes out in the header: a message names the same
        // type on every call, so it is asked once. The body's writes use this record's lease (or
        // the gathered connection's) through the scope.
        {
            KEPMsgLeasedSocketScope leased(*commSocket);
            failed = failed ||
                     !KEPMsgConnectionServicesUtils::WriteMessageHeader(*commSocket, type) ||
                     !record.m_message->WriteBody(stream);
        }
        if (!failed) {
            commSocket->Counters().CountMessageOut();
        }
        if (failed) {
            // What this connection gathered went out before the failure without gathering,
            // so it goes out now, before the close.
            if (commSocket->IsGathering()) {
                commSocket->EndGather();
            }
            // Still leased: the id cannot name another connection yet.
            KEPMsgChannel channel = record.m_channel;
            KEPMsgChannelOrganizer::Instance().RemoveChannel(channel, true);
        }
    }
    FlushGathered_priv();
    m_pendingMessages.Clear();
    m_pendingSerials.Clear();
    m_hasPendingMessages.store(false);
    m_passRunning = false;
}

KEPMsgSocket* KEPMsgSendMessageBuffer::FindGathered_priv(int socketId) const {
    for (int i = 0; i < m_gatheredCount; ++i) {
        if (m_gathered[i].channel.GetSocketId() == socketId) {
            return m_gathered[i].socket.get();
        }
    }
    return nullptr;
}

void KEPMsgSendMessageBuffer::FlushGathered_priv() {
    // Each connection's records leave with one send (more when over the gather buffer); a
    // failed send removes the channel as a failed header or body does.
    for (int i = 0; i < m_gatheredCount; ++i) {
        GatheredConnection& gathered = m_gathered[i];
        auto* socket = static_cast<KEPMsgCommSocket*>(gathered.socket.get());
        if (socket->IsGathering()) {
            // A socket closed already (by a failure earlier in the pass, or by another thread)
            // has had its channel dealt with; its gathered bytes are dropped.
            const bool wasOpen = !socket->IsClosed();
            if (!socket->EndGather() && wasOpen) {
                KEPMsgChannelOrganizer::Instance().RemoveChannel(gathered.channel, true);
            }
        }
        gathered = GatheredConnection();  // returns the lease
    }
    m_gatheredCount = 0;
}

void KEPMsgSendMessageBuffer::QueryPendingStatus(const KEPBasVector<unsigned int>& ids,
                                                 KEPBasVector<unsigned int>& pending) {
    pending.Clear();
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    for (int i = 0; i < m_pendingMessages.size(); ++i) {
        const unsigned int queuedId = m_pendingMessages[i].m_id;
        for (int j = 0; j < ids.size(); ++j) {
            if (ids[j] == queuedId) {
                pending.push_back(queuedId);
                break;
            }
        }
    }
}

bool KEPMsgSendMessageBuffer::QueryPendingStatus(unsigned int& id) {
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    for (int i = 0; i < m_pendingMessages.size(); ++i) {
        if (m_pendingMessages[i].m_id == id) {
            return true;
        }
    }
    return false;
}

void KEPMsgSendMessageBuffer::RegisterMessageOutputStream(const char* type,
                                                          KEPBasOutputStream* stream) {
    const KEPString name(type);
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    m_outputStreams.Insert(name, static_cast<KEPBasStream*>(stream));
}

void KEPMsgSendMessageBuffer::SetDefaultOutputStream(KEPBasOutputStream* stream) {
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    m_defaultOutputStream.store(stream);
}

void KEPMsgSendMessageBuffer::DropQueuedAfterFork() {
    m_pendingMessages.Clear();
    m_pendingSerials.Clear();
    m_hasPendingMessages.store(false);
}

bool KEPMsgSendMessageBuffer::IsDefaultOutputStreamDefined() const {
    return m_defaultOutputStream.load() != nullptr;
}
