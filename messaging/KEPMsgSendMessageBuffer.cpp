#include "messaging/KEPMsgSendMessageBuffer.h"

#include "channels/KEPMsgChannelOrganizer.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgSocketLease.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgSocket.h"

template class KEPBasAtiGlobalSingleton<KEPMsgSendMessageBuffer>;

unsigned int KEPMsgSendMessageBuffer::s_nextMessageId = 1;

KEPMsgSendMessageBuffer::KEPMsgSendMessageBuffer()
    : m_defaultOutputStream(nullptr), m_hasPendingMessages(false) {}

KEPMsgSendMessageBuffer::~KEPMsgSendMessageBuffer() {
    m_defaultOutputStream.store(nullptr);
    // The queue and the stream tree free their own storage; records borrow their messages.
}

unsigned int KEPMsgSendMessageBuffer::AppendPendingRecord_priv(const KEPMsgChannel& channel,
                                                               KEPBasSocketMessage* message) {
    const unsigned int id = s_nextMessageId++;  // unsigned: wraps from 4294967295 to 0
    m_pendingMessages.push_back(KEPMsgChannelMsgStruct(channel, message, id));
    return id;
}

void KEPMsgSendMessageBuffer::ISendSocketMessage(const KEPMsgChannel& channel,
                                                 KEPBasSocketMessage* message, unsigned int& id) {
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    id = AppendPendingRecord_priv(channel, message);
    m_hasPendingMessages.store(true);
}

void KEPMsgSendMessageBuffer::SendSocketMessageImmediate(const KEPMsgChannel& channel,
                                                         KEPBasSocketMessage* message) {
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    AppendPendingRecord_priv(channel, message);
    TransmitPendingMessage_private();
}

void KEPMsgSendMessageBuffer::TransmitPendingMessages() {
    if (m_defaultOutputStream.load() == nullptr || !m_hasPendingMessages.load()) {
        return;
    }
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    TransmitPendingMessage_private();
}

void KEPMsgSendMessageBuffer::TransmitPendingMessage_private() {
    KEPBasOutputStream* const defaultStream = m_defaultOutputStream.load();
    if (defaultStream == nullptr) {
        return;  // records wait for a pass with a default stream
    }
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    // The count is read anew each step: WriteBody is host code and the mutex is recursive.
    for (int i = 0; i < m_pendingMessages.size(); ++i) {
        KEPMsgChannel channel = m_pendingMessages[i].m_channel;
        KEPBasSocketMessage* const message = m_pendingMessages[i].m_message;
        if (message == nullptr) {
            continue;
        }
        bool failed = false;
        {
            // The lease keeps the socket and its descriptor alive across header and body even
            // if another thread removes the connection meanwhile.
            KEPMsgSocketLease socket = services.LeaseSocket(channel.GetSocketId());
            if (!socket) {
                continue;
            }
            KEPMsgCommSocket* const commSocket = dynamic_cast<KEPMsgCommSocket*>(socket.get());
            if (commSocket == nullptr || commSocket->IsOutputShutDown()) {
                continue;
            }
            KEPBasOutputStream* stream = defaultStream;
            const KEPString type = message->GetMessageType();
            if (m_outputStreams.IsMember(type)) {
                stream = static_cast<KEPBasOutputStream*>(m_outputStreams.Get(type));
            }
            if (stream == nullptr) {
                continue;
            }
            stream->SetSocketId(commSocket->GetId());
            failed = !services.SendMessageHeader(commSocket->GetId(), message->GetMessageType()) ||
                     !message->WriteBody(stream);
        }
        if (failed) {
            KEPMsgChannelOrganizer::Instance().RemoveChannel(channel, true);
        }
    }
    m_pendingMessages.Clear();
    m_hasPendingMessages.store(false);
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
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    KEPString name;
    name.BuildFromUTF8(type);
    m_outputStreams.Insert(name, static_cast<KEPBasStream*>(stream));
}

void KEPMsgSendMessageBuffer::SetDefaultOutputStream(KEPBasOutputStream* stream) {
    KEPBasAtiScopedLock<KEPMsgSendMessageBuffer> guard(*this);
    m_defaultOutputStream.store(stream);
}

bool KEPMsgSendMessageBuffer::IsDefaultOutputStreamDefined() const {
    return m_defaultOutputStream.load() != nullptr;
}
