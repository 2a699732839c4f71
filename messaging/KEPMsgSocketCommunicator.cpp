#include "messaging/KEPMsgSocketCommunicator.h"

#include <chrono>
#include <cstdint>

#include "KEPBase/ProtectedInterfaces/KEPBasSet.h"
#include "base/KEPBasTime.h"
#include "base/aio_ostream.h"
#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgLeasedSocketScope.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "connection/KEPMsgSocketLease.h"
#include "messaging/KEPMsgConnectionEventHub.h"
#include "messaging/KEPMsgForkGuard.h"
#include "messaging/KEPMsgReconnectingClients.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSendMessageBuffer.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgSocket.h"
#include "sockets/KEPMsgSocketErrorInfo.h"
#include "sockets/KEPMsgTlsContext.h"

template class KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>;

namespace {

// The untimed blocking retrieve waits in steps of this length, so that no deadline overflows.
constexpr int kLongestRetrieveWaitMs = 24 * 60 * 60 * 1000;

// Looks the query's channels up together with the serials of their connections, both under the
// organizer mutex: a channel leaves the organizer before its connection is closed, so none of
// these connections can have been replaced by a later one with the same socket id. The sends
// then go only to these connections, however long they wait for the send buffer.
void LookupWithSerials(KEPMsgChannelQuery* query, KEPBasVector<KEPMsgChannel>& channels,
                       KEPBasVector<std::uint64_t>& serials) {
    KEPMsgChannelOrganizer& organizer = KEPMsgChannelOrganizer::Instance();
    KEPBasAtiScopedLock<KEPMsgChannelOrganizer> guard(organizer);
    organizer.LookupChannel(query, channels);
    for (int i = 0; i < channels.size(); ++i) {
        serials.push_back(KEPMsgSendMessageBuffer::ConnectionSerial(channels[i]));
    }
}

// True when socket is the connection the wait found ready for entry index of the listen list
// (same serial), or when the caller rather than the wait put that entry there (no serial).
bool IsListedConnection(const KEPMsgCommSocket& socket, KEPMsgChannelWaitable& waitable,
                        int index) {
    KEPBasVector<std::uint64_t>& serials = waitable.ListenSerials();
    return index >= serials.size() || serials[index] == socket.GetSerial();
}

// True for the module's own input stream (and its subclasses), which reads through the socket and
// so sees what the socket read ahead; null reads nothing.
bool IsModuleInputStream(KEPBasInputStream* stream) {
    return stream == nullptr || dynamic_cast<KEPMsgSimpleInputStream*>(stream) != nullptr;
}

// The further reads of one receive pass with a drain limit above 1. A channel whose next
// message header is already whole in its socket's read buffer goes to the end of the listen
// list again, with the serial of the connection just read beside it (so the later read, too,
// takes only that connection), so every ready channel is served once before any is served
// twice, and none more often than the limit: a busy channel never keeps the others waiting
// beyond one round.
class DrainRounds {
  public:
    DrainRounds(KEPMsgChannelWaitable& waitable, int limit)
        : m_listen(waitable.Listen()),
          m_serials(waitable.ListenSerials()),
          m_limit(limit),
          m_firstRequeued(m_listen.size()) {}

    // Called after a read from listen[entry] through socket that left the connection open. A
    // header that brought nothing to store (an unknown type, a type without an input stream, a
    // count of 0) counts as a read too: what follows it is as ready as after a stored message.
    void MessageRead(int entry, const KEPMsgCommSocket& socket) {
        const int reads = entry < m_firstRequeued ? 1 : m_reads[entry - m_firstRequeued];
        if (reads >= m_limit || !KEPMsgConnectionServicesUtils::HasBufferedHeader(socket)) {
            return;
        }
        // Serials stay beside their entries only while the lists are in step (a caller may
        // have appended entries of its own, without serials).
        if (m_serials.size() == m_listen.size()) {
            m_serials.push_back(socket.GetSerial());
        }
        const KEPMsgChannel channel = m_listen[entry];  // a copy: push_back may move the list
        m_listen.push_back(channel);
        m_reads.push_back(reads + 1);
    }

  private:
    KEPBasVector<KEPMsgChannel>& m_listen;
    KEPBasVector<std::uint64_t>& m_serials;
    const int m_limit;
    // Entries from here on were put back by the drain; m_reads holds, for each of them, the
    // number of the read it stands for.
    const int m_firstRequeued;
    KEPBasVector<int> m_reads;
};

}  // namespace

// The flag goes up before the communicator mutex is waited for (so receive passes yield and let
// the caller in) and down before the mutex is released.
class KEPMsgSocketCommunicator::InterruptBracket {
  public:
    explicit InterruptBracket(KEPMsgSocketCommunicator& communicator)
        : m_communicator(communicator) {
        m_communicator.InterruptMessagingThread();
        m_communicator.Lock();
    }
    ~InterruptBracket() {
        m_communicator.ReleaseInterruptMessagingThread();
        m_communicator.Unlock();
    }
    InterruptBracket(const InterruptBracket&) = delete;
    InterruptBracket& operator=(const InterruptBracket&) = delete;

  private:
    KEPMsgSocketCommunicator& m_communicator;
};

KEPMsgSocketCommunicator::KEPMsgSocketCommunicator()
    : m_defaultInputStream(nullptr),
      m_typedHostInputStream(false),
      m_readAheadAllowed(true),
      m_messageTaskRunning(false),
      m_interruptMessaging(false),
      m_receiveDrainLimit(1),
      m_receivePassCount(0),
      m_reportedCallbackThrow(false),
      m_events(new KEPMsgConnectionEventHub()),
      m_reconnecting(new KEPMsgReconnectingClients(*this, *m_events)) {
    // The services the facade reaches while holding its mutex exist before it can be locked:
    // creating one later would take the global lock inside the communicator mutex, the reverse
    // of Finalize(), which runs this class's destructor (taking that mutex) under the global lock.
    KEPMsgConnectionServicesUtils::Instance();
    KEPMsgChannelOrganizer::Instance();
    KEPMsgSendMessageBuffer::Instance();
    KEPMsgRetrieveMessageBuffer::Instance();
    KEPMsgConnectionServicesUtils::Instance().SetRemovalObserver(&OnConnectionRemoved, this);
    KEPMsgForkGuard::Install();
}

KEPMsgSocketCommunicator::~KEPMsgSocketCommunicator() {
    m_reconnecting->StopAll();
    {
        InterruptBracket bracket(*this);
        ShutdownMessageTask_priv();
    }
    KEPMsgConnectionServicesUtils::Instance().SetRemovalObserver(nullptr, nullptr);
    m_defaultInputStream.store(nullptr);
    KEPMsgTlsContext::SetHostInputStreamsInUse(false);  // its host streams are forgotten
    // The trees free their own storage; streams and callbacks belong to the host.
}

void KEPMsgSocketCommunicator::InterruptMessagingThread() {
    m_interruptMessaging.store(true);
}

void KEPMsgSocketCommunicator::ReleaseInterruptMessagingThread() {
    m_interruptMessaging.store(false);
}

// --- Connections ---------------------------------------------------------------------------

void KEPMsgSocketCommunicator::AddConnection(const KEPMsgChannel& channel, bool listen) {
    InterruptBracket bracket(*this);
    // Announced before a receive pass can see it, so its closed event can only come later.
    AnnounceConnection(channel, KEPMsgConnectionEvent::kConnected);
    KEPMsgChannelOrganizer::Instance().RegisterChannel(channel, listen);
}

void KEPMsgSocketCommunicator::RemoveConnection(KEPMsgChannelQuery* query, bool shutdown) {
    KEPBasVector<std::uint64_t> keptOpen;
    {
        InterruptBracket bracket(*this);
        KEPMsgChannelOrganizer::Instance().RemoveChannel(query, shutdown, &keptOpen);
    }
    // A reconnecting client whose connection the host unregistered and kept open hands it over
    // and stops: after the bracket, since a stop joins the client's thread.
    for (int i = 0; i < keptOpen.size(); ++i) {
        m_reconnecting->HandOver(keptOpen[i]);
    }
}

void KEPMsgSocketCommunicator::RetrieveConnections(KEPMsgChannelQuery* query,
                                                   KEPBasVector<KEPMsgChannel>& found) {
    KEPMsgChannelOrganizer::Instance().LookupChannel(query, found);
}

void KEPMsgSocketCommunicator::GetErrorsOnChannel(const KEPMsgChannel& channel, int& code,
                                                  KEPString& text) {
    code = 0;
    if (!channel.IsActiveInCurrentThreads()) {
        return;
    }
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    const int socketId = channel.GetSocketId();
    if (services.HasError(socketId)) {
        services.GetLastErrorCode(socketId, code);
        KEPMsgSocketErrorInfo(code, text);
    }
}

// --- Sending -------------------------------------------------------------------------------

void KEPMsgSocketCommunicator::ISendSocketMessage(const KEPMsgChannel& channel,
                                                  KEPBasSocketMessage* message, unsigned int& id) {
    KEPMsgSendMessageBuffer::Instance().ISendSocketMessage(channel, message, id);
}

void KEPMsgSocketCommunicator::QueueForQuery_priv(KEPMsgChannelQuery* query,
                                                  KEPBasSocketMessage* message,
                                                  KEPBasVector<unsigned int>& ids) {
    KEPBasVector<KEPMsgChannel> channels;
    KEPBasVector<std::uint64_t> serials;
    LookupWithSerials(query, channels, serials);
    KEPMsgSendMessageBuffer& sendBuffer = KEPMsgSendMessageBuffer::Instance();
    for (int i = 0; i < channels.size(); ++i) {
        unsigned int id = 0;
        sendBuffer.ISendSocketMessage(channels[i], message, id, serials[i]);  // one lock each
        ids.push_back(id);
    }
}

void KEPMsgSocketCommunicator::ISendSocketMessage(KEPMsgChannelQuery* query,
                                                  KEPBasSocketMessage* message,
                                                  KEPBasVector<unsigned int>& ids) {
    KEPBasAtiScopedLock<KEPMsgSocketCommunicator> guard(*this);
    QueueForQuery_priv(query, message, ids);
}

void KEPMsgSocketCommunicator::ISendSocketMessage(const char* label, KEPBasSocketMessage* message,
                                                  unsigned int& id) {
    KEPMsgChannelQueryByLabel query{KEPString(label)};
    id = 0;
    KEPBasVector<unsigned int> ids;
    {
        KEPBasAtiScopedLock<KEPMsgSocketCommunicator> guard(*this);
        QueueForQuery_priv(&query, message, ids);
    }
    if (ids.size() == 1) {
        id = ids[0];
    }
}

void KEPMsgSocketCommunicator::SendSocketMessage(const KEPMsgChannel& channel,
                                                 KEPBasSocketMessage* message) {
    KEPMsgSendMessageBuffer::Instance().SendSocketMessageImmediate(channel, message);
}

void KEPMsgSocketCommunicator::SendImmediateForQuery(KEPMsgChannelQuery* query,
                                                     KEPBasSocketMessage* message) {
    KEPBasVector<KEPMsgChannel> channels;
    KEPBasVector<std::uint64_t> serials;
    LookupWithSerials(query, channels, serials);
    KEPMsgSendMessageBuffer& sendBuffer = KEPMsgSendMessageBuffer::Instance();
    for (int i = 0; i < channels.size(); ++i) {
        sendBuffer.SendSocketMessageImmediate(channels[i], message, serials[i]);
    }
}

void KEPMsgSocketCommunicator::SendSocketMessage(KEPMsgChannelQuery* query,
                                                 KEPBasSocketMessage* message) {
    SendImmediateForQuery(query, message);
}

void KEPMsgSocketCommunicator::SendSocketMessage(const char* label, KEPBasSocketMessage* message) {
    KEPMsgChannelQueryByLabel query{KEPString(label)};
    SendImmediateForQuery(&query, message);
}

void KEPMsgSocketCommunicator::QueryPendingStatus(const KEPBasVector<unsigned int>& ids,
                                                  KEPBasVector<unsigned int>& pending) {
    KEPMsgSendMessageBuffer::Instance().QueryPendingStatus(ids, pending);
}

bool KEPMsgSocketCommunicator::QueryPendingStatus(unsigned int& id) {
    return KEPMsgSendMessageBuffer::Instance().QueryPendingStatus(id);
}

void KEPMsgSocketCommunicator::TransmitPendingMessage() {
    KEPMsgSendMessageBuffer::Instance().TransmitPendingMessages();
}

// --- Streams, prototypes and callbacks -------------------------------------------------------

bool KEPMsgSocketCommunicator::SetDefaultInputStream(KEPBasInputStream* stream) {
    InterruptBracket bracket(*this);
    if (!AdmitInputStream_priv(stream)) {
        return false;
    }
    m_defaultInputStream.store(stream);
    UpdateReadAhead_priv();
    return true;
}

bool KEPMsgSocketCommunicator::IsDefaultInputStreamDefined() const {
    return m_defaultInputStream.load() != nullptr;
}

bool KEPMsgSocketCommunicator::RegisterMessageInputStream(const char* type,
                                                          KEPBasInputStream* stream) {
    const KEPString name(type);
    InterruptBracket bracket(*this);
    if (!AdmitInputStream_priv(stream)) {
        return false;
    }
    if (m_inputStreams.Insert(name, static_cast<KEPBasStream*>(stream)) &&
        !IsModuleInputStream(stream)) {
        m_typedHostInputStream = true;  // registrations are never taken back
    }
    UpdateReadAhead_priv();
    return true;
}

bool KEPMsgSocketCommunicator::AdmitInputStream_priv(KEPBasInputStream* stream) {
    if (IsModuleInputStream(stream) || KEPMsgTlsContext::SetHostInputStreamsInUse(true)) {
        return true;
    }
    aio_cerr
        .print(
            "input stream refused: TLS is in use, and a stream that reads the descriptor "
            "itself cannot read through TLS\n")
        .flush();
    return false;
}

void KEPMsgSocketCommunicator::UpdateReadAhead_priv() {
    const bool allowed =
        !m_typedHostInputStream && IsModuleInputStream(m_defaultInputStream.load());
    m_readAheadAllowed.store(allowed);
    if (allowed) {
        KEPMsgTlsContext::SetHostInputStreamsInUse(false);
    }
}

void KEPMsgSocketCommunicator::SetDefaultOutputStream(KEPBasOutputStream* stream) {
    KEPMsgSendMessageBuffer::Instance().SetDefaultOutputStream(stream);
}

bool KEPMsgSocketCommunicator::IsDefaultOutputStreamDefined() const {
    return KEPMsgSendMessageBuffer::Instance().IsDefaultOutputStreamDefined();
}

void KEPMsgSocketCommunicator::RegisterMessageOutputStream(const char* type,
                                                           KEPBasOutputStream* stream) {
    KEPMsgSendMessageBuffer::Instance().RegisterMessageOutputStream(type, stream);
}

void KEPMsgSocketCommunicator::RegisterMessagePrototype(const char* type,
                                                        KEPBasSocketMessage* prototype) {
    KEPMsgConnectionServicesUtils::Instance().RegisterMessagePrototype(KEPString(type), prototype);
}

void KEPMsgSocketCommunicator::RegisterMessageNotificationCallback(const char* type,
                                                                   NotificationCallback callback) {
    const KEPString name(type);
    InterruptBracket bracket(*this);
    m_notificationCallbacks.Insert(name, callback);
}

void KEPMsgSocketCommunicator::RemoveMessageNotificationCallback(const char* type) {
    const KEPString name(type);
    InterruptBracket bracket(*this);
    if (m_notificationCallbacks.IsMember(name)) {
        m_notificationCallbacks.Remove(name);
    }
}

// --- Receiving -----------------------------------------------------------------------------

void KEPMsgSocketCommunicator::IRetrieveMessages(KEPMsgMessageQuery* query,
                                                 KEPBasVector<KEPBasSocketMessage*>& out) {
    KEPMsgRetrieveMessageBuffer::Instance().IRetrieveMessages(query, out);
}

void KEPMsgSocketCommunicator::IRetrieveMessagesWithChannel(
    KEPMsgMessageQuery* query, KEPBasVector<KEPMsgChannelMsgStruct>& out) {
    KEPMsgRetrieveMessageBuffer::Instance().IRetrieveMessagesWithChannel(query, out);
}

void KEPMsgSocketCommunicator::RetrieveMessages(KEPMsgMessageQuery* query,
                                                KEPBasVector<KEPBasSocketMessage*>& out) {
    if (query == nullptr) {
        return;  // a null query never selects anything: the wait would never end
    }
    while (!RetrieveMessages(query, out, kLongestRetrieveWaitMs)) {
    }
}

bool KEPMsgSocketCommunicator::RetrieveMessages(KEPMsgMessageQuery* query,
                                                KEPBasVector<KEPBasSocketMessage*>& out,
                                                int timeoutMs) {
    KEPMsgRetrieveMessageBuffer& buffer = KEPMsgRetrieveMessageBuffer::Instance();
    const int before = out.size();
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        // Read before looking: a store made after the look changes it and ends the wait.
        const std::uint64_t seen = buffer.StoreCount();
        IRetrieveMessages(query, out);
        if (out.size() != before) {
            return true;
        }
        if (query == nullptr || timeoutMs < 0 || !buffer.WaitForStore(seen, deadline)) {
            return false;
        }
    }
}

bool KEPMsgSocketCommunicator::SetReceiveDrainLimit(int messagesPerChannel) {
    if (messagesPerChannel < 1) {
        return false;
    }
    m_receiveDrainLimit.store(messagesPerChannel);
    return true;
}

int KEPMsgSocketCommunicator::GetReceiveDrainLimit() const {
    return m_receiveDrainLimit.load();
}

unsigned long KEPMsgSocketCommunicator::ReceivePassCount() const {
    return m_receivePassCount.load();
}

bool KEPMsgSocketCommunicator::IsMessagingInterrupted() const {
    return m_interruptMessaging.load();
}

KEPBasInputStream* KEPMsgSocketCommunicator::ChooseInputStream_priv(const KEPString& type) {
    if (m_inputStreams.IsMember(type)) {
        return static_cast<KEPBasInputStream*>(m_inputStreams.Get(type));
    }
    return m_defaultInputStream.load();
}

void KEPMsgSocketCommunicator::ReadMessage(KEPMsgCommSocket& socket, const KEPMsgChannel& channel,
                                           PassIntake& intake) {
    KEPString& type = intake.type;
    // Read-ahead only while no host stream can be handed this connection's next body.
    socket.SetReadAhead(m_readAheadAllowed.load());
    bool lost = false;
    if (!KEPMsgConnectionServicesUtils::ReadMessageHeader(socket, type, lost) ||
        type.GetLengthInByte() == 0) {
        if (lost) {
            socket.Shutdown();
        }
        return;
    }
    KEPBasSocketMessage* const message =
        KEPMsgConnectionServicesUtils::Instance().GetMsgInstance(type);
    if (message == nullptr) {
        return;  // unknown type: its name is consumed, the body stays on the connection
    }
    bool stored = false;
    {
        KEPBasAtiScopedLock<KEPMsgSocketCommunicator> guard(*this);
        KEPBasInputStream* const stream = ChooseInputStream_priv(type);
        if (stream != nullptr) {
            stream->SetSocketId(channel.GetSocketId());
            {
                KEPMsgLeasedSocketScope leased(socket);  // the body's reads use the pass's lease
                message->ReadBody(stream);
            }
            // A body cut off by the connection's end is not a message. A ReadBody that fails
            // on a connection still intact is stored all the same: hosts rely on that.
            if (!socket.InputEndedInRead()) {
                intake.received.push_back(KEPMsgChannelMsgStruct(channel, message));
                socket.Counters().CountMessageIn();
                stored = true;
                if (m_notificationCallbacks.IsMember(type)) {
                    intake.typesToNotify.insert(type);
                }
            }
        }
    }
    if (!stored) {
        delete message;  // nobody else can ever reach it
    }
}

void KEPMsgSocketCommunicator::WaitConnectionsAndMessages(KEPMsgChannelWaitable* waitable,
                                                          int timeoutMs) {
    KEPMsgChannelOrganizer& organizer = KEPMsgChannelOrganizer::Instance();
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    if (waitable == nullptr) {
        waitable = &organizer.GetCurrentWaitable();
    }

    m_receivePassCount.fetch_add(1);
    waitable->WaitForConnectionAndMessages(timeoutMs,
                                           &KEPMsgWaitableLock::Instance().ReceiveWakeup());

    // New connections join the registered channels and the current waitable; their first
    // message is read by a later pass.
    KEPBasVector<KEPMsgChannel>& newlyCreated = waitable->NewlyCreated();
    for (int i = 0; i < newlyCreated.size(); ++i) {
        AnnounceConnection(newlyCreated[i], KEPMsgConnectionEvent::kAccepted);
        organizer.RegisterChannel(newlyCreated[i], true);
    }
    newlyCreated.Clear();
    AnnounceRefused(waitable->RefusedPeers());

    // Connections to remove with their channels: those the wait found closed, and those this
    // pass leaves closed (the peer's close, a reset, the I/O time-out, a bad header, a body cut
    // off). The wait skips closed sockets, so this pass is the last that sees them.
    KEPBasVector<int> closedSocketIds;
    KEPBasVector<KEPMsgChannel>& closedChannels = waitable->ClosedChannels();
    for (int i = 0; i < closedChannels.size(); ++i) {
        closedSocketIds.push_back(closedChannels[i].GetSocketId());
    }
    closedChannels.Clear();
    PassIntake intake;

    // One message per ready channel-list entry, each read under a lease, and only from the
    // connection the wait found ready; the drain puts entries with a further buffered message at
    // the end of the list again. An entry for the connection just read keeps its lease (a drained
    // connection alone is read many times in a row): the serial check below still tells whether
    // the entry names that connection.
    KEPBasVector<KEPMsgChannel>& listen = waitable->Listen();
    KEPBasVector<int> goneSocketIds;
    DrainRounds drain(*waitable, m_receiveDrainLimit.load());
    KEPMsgSocketLease readLease;
    for (int i = 0; i < listen.size(); ++i) {
        const int socketId = listen[i].GetSocketId();
        if (!readLease || readLease->GetId() != socketId) {
            readLease = services.LeaseSocket(socketId);
        }
        if (!readLease) {
            goneSocketIds.push_back(socketId);  // removed meanwhile, perhaps without its channel
            continue;
        }
        KEPMsgCommSocket* const socket = KEPMsgCommSocket::FromSocket(readLease.get());
        if (socket == nullptr || !IsListedConnection(*socket, *waitable, i)) {
            continue;  // a later connection got the id: neither read nor closed by this entry
        }
        ReadMessage(*socket, listen[i], intake);
        if (socket->IsClosed()) {
            closedSocketIds.push_back(socketId);  // the peer's close, a reset, a bad header...
        } else {
            drain.MessageRead(i, *socket);
        }
    }
    readLease.reset();
    listen.Clear();
    waitable->ListenSerials().Clear();
    // One lock and one wake-up of blocked retrievers for the whole pass.
    KEPMsgRetrieveMessageBuffer::Instance().AddMessages(intake.received);
    for (int i = 0; i < goneSocketIds.size(); ++i) {
        organizer.RemoveChannelOfGoneConnection(goneSocketIds[i]);
    }

    for (int i = 0; i < closedSocketIds.size(); ++i) {
        // Leased and checked again: while the lease is held, the id names this closed socket
        // and no connection made meanwhile by another thread can have been given the same
        // number. An id already removed (or listed twice) gives an empty lease: a channel still
        // registered for that gone connection is unregistered.
        KEPMsgSocketLease lease = services.LeaseSocket(closedSocketIds[i]);
        if (!lease) {
            organizer.RemoveChannelOfGoneConnection(closedSocketIds[i]);
            continue;
        }
        if (!lease->IsClosed()) {
            continue;
        }
        // The organizer changes the current waitable's list from other threads under the
        // waitable lock, so the search holds it too; the removal runs after it is released
        // (the organizer takes its own mutex before the waitable lock).
        KEPMsgChannel channel;
        bool found = false;
        {
            KEPBasAtiScopedLock<KEPMsgWaitableLock> guard(KEPMsgWaitableLock::Instance());
            KEPBasVector<KEPMsgChannel>& channels = waitable->Channels();
            for (int j = 0; j < channels.size() && !found; ++j) {
                if (channels[j].GetSocketId() == closedSocketIds[i]) {
                    channel = channels[j];
                    found = true;
                }
            }
        }
        if (found) {
            organizer.RemoveChannel(channel, true);
        }
    }

    // Callbacks run with no lock held, in ascending order of type names.
    for (KEPBasSet<KEPString>::iterator it = intake.typesToNotify.begin();
         it != intake.typesToNotify.end(); ++it) {
        NotificationCallback callback = nullptr;
        {
            KEPBasAtiScopedLock<KEPMsgSocketCommunicator> guard(*this);
            callback = m_notificationCallbacks.Get(*it);
        }
        if (callback != nullptr) {
            NotifyCaught(callback, *it);
        }
    }
    m_events->Deliver();

    if (waitable->IsListenInterupted()) {
        KEPBasAtiScopedLock<KEPMsgSocketCommunicator> guard(*this);
        m_interruptMessaging.store(true);
        waitable->SetListenInterrupted(false);
    }

    if (m_interruptMessaging.load()) {
        KEPBasUtlsleep(1);
    }
}

void KEPMsgSocketCommunicator::NotifyCaught(NotificationCallback callback, const KEPString& type) {
    try {
        callback(type);
    } catch (...) {
        // Nothing may unwind through the pass: on the message task's thread it would end the
        // process. Reported once, as a throwing connection-event callback is.
        if (!m_reportedCallbackThrow.exchange(true)) {
            aio_cerr.print("notification callback threw an exception; it is ignored\n").flush();
        }
    }
}

void KEPMsgSocketCommunicator::HoldForFork() {
    m_events->HoldForFork();
    m_reconnecting->HoldForFork();
}

void KEPMsgSocketCommunicator::ReleaseAfterFork() {
    m_reconnecting->ReleaseAfterFork();
    m_events->ReleaseAfterFork();
}

void KEPMsgSocketCommunicator::RestartAfterFork() {
    m_messageTaskRunning.store(false);
    m_interruptMessaging.store(false);
    m_events->ForgetAfterFork();
    m_reconnecting->ForgetAfterFork();
}

// --- Message task --------------------------------------------------------------------------

void KEPMsgSocketCommunicator::PrepareStartupMessageTask() {
    KEPBasAtiScopedLock<KEPMsgSocketCommunicator> guard(*this);
    m_messageTaskRunning.store(true);
}

bool KEPMsgSocketCommunicator::IsMessageTaskRunning() const {
    return m_messageTaskRunning.load();
}

bool KEPMsgSocketCommunicator::IsOkToShutDownMessageTask() const {
    return !m_messageTaskRunning.load();
}

void KEPMsgSocketCommunicator::ShutdownMessageTask_priv() {
    m_messageTaskRunning.store(false);
    KEPMsgWaitableLock::WakeReceivePass();  // the task's wait ends and its loop sees the flag
    KEPBasUtlsleep(100);
    KEPMsgChannelOrganizer& organizer = KEPMsgChannelOrganizer::Instance();
    {
        // Closed events of the channels closed here carry the task-shutdown reason (unless
        // they had ended for another one already).
        KEPBasVector<KEPMsgChannel> channels;
        organizer.LookupChannel(nullptr, channels);
        KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
        for (int i = 0; i < channels.size(); ++i) {
            KEPMsgSocketLease lease = services.LeaseSocket(channels[i].GetSocketId());
            if (KEPMsgCommSocket* socket = KEPMsgCommSocket::FromSocket(lease.get())) {
                socket->Counters().RecordCloseReason(kCloseReasonTaskShutdown);
            }
        }
    }
    organizer.Shutdown();
}

void KEPMsgSocketCommunicator::ShutdownMessageTask() {
    m_reconnecting->StopAll();  // before the bracket: a dialer may be waiting for the mutex
    InterruptBracket bracket(*this);
    ShutdownMessageTask_priv();
}

// --- Connection lifecycle --------------------------------------------------------------------

void KEPMsgSocketCommunicator::AnnounceConnection(const KEPMsgChannel& channel,
                                                  KEPMsgConnectionEvent::Kind kind) {
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    // Every removal queues its closed event holding this mutex, so the connection cannot leave
    // the table between its announcement and the event: the closed event always comes after.
    KEPBasAtiScopedLock<KEPMsgConnectionServicesUtils> guard(services);
    KEPMsgCommSocket* const socket =
        KEPMsgCommSocket::FromSocket(services.GetSocket(channel.GetSocketId()));
    const bool accepted = kind == KEPMsgConnectionEvent::kAccepted;
    // A connected event is for connections the host (or a reconnecting client) dialed.
    if (socket == nullptr || (!accepted && !socket->Counters().IsDialed()) ||
        !socket->Counters().Announce() || !m_events->IsListening()) {
        return;
    }
    KEPString label;  // an accepted connection's event carries its listener's label
    services.GetName(accepted ? socket->Counters().ListenerId() : channel.GetSocketId(), label);
    m_events->Queue(KEPMsgConnectionEventHub::Describe(kind, *socket, label));
}

void KEPMsgSocketCommunicator::AnnounceRefused(
    KEPBasVector<KEPMsgChannelWaitable::RefusedPeer>& refused) {
    for (int i = 0; i < refused.size() && m_events->IsListening(); ++i) {
        KEPMsgConnectionEvent event;
        event.m_kind = KEPMsgConnectionEvent::kClosed;
        KEPMsgConnectionServicesUtils::Instance().GetName(refused[i].m_listenerId, event.m_label);
        event.m_peerHost = KEPString(refused[i].m_peer.m_peerHost);
        event.m_peerPort = refused[i].m_peer.m_peerPort;
        event.m_reason = kCloseReasonRefusedByFilter;
        m_events->Queue(event);
    }
    refused.Clear();
}

void KEPMsgSocketCommunicator::SetConnectionEventCallback(ConnectionEventCallback callback,
                                                          void* context) {
    m_events->SetCallback(callback, context);
}

bool KEPMsgSocketCommunicator::StartReconnectingClient(const char* label,
                                                       KEPMsgSocketAddress serverAddress,
                                                       const KEPMsgReconnectSettings& settings) {
    try {
        return label != nullptr && m_reconnecting->Start(label, serverAddress, settings, nullptr);
    } catch (...) {
        return false;  // out of memory: nothing was started
    }
}

bool KEPMsgSocketCommunicator::StartReconnectingClient(const char* label,
                                                       KEPMsgSocketAddress serverAddress,
                                                       const KEPMsgReconnectSettings& settings,
                                                       const KEPMsgTlsSettings& tls,
                                                       KEPString& errorText) {
    try {
        std::string error;
        std::shared_ptr<KEPMsgTlsContext> context =
            KEPMsgTlsContext::Make(tls, KEPMsgTlsContext::Role::kClient, error);
        if (!context) {
            errorText = KEPString(error.c_str());
            return false;
        }
        return label != nullptr &&
               m_reconnecting->Start(label, serverAddress, settings, std::move(context));
    } catch (...) {
        return false;  // out of memory: nothing was started
    }
}

bool KEPMsgSocketCommunicator::StopReconnectingClient(const char* label) {
    return label != nullptr && m_reconnecting->Stop(label);
}

void KEPMsgSocketCommunicator::RetrieveConnectionStatistics(
    KEPMsgChannelQuery* query, KEPBasVector<KEPMsgConnectionStatistics>& out) {
    KEPBasVector<KEPMsgChannel> channels;
    KEPBasVector<std::uint64_t> serials;
    LookupWithSerials(query, channels, serials);
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    KEPMsgSendMessageBuffer& sendBuffer = KEPMsgSendMessageBuffer::Instance();
    for (int i = 0; i < channels.size(); ++i) {
        KEPMsgSocketLease lease = services.LeaseSocket(channels[i].GetSocketId());
        const KEPMsgCommSocket* socket = KEPMsgCommSocket::FromSocket(lease.get());
        if (socket == nullptr || socket->GetSerial() != serials[i]) {
            continue;
        }
        KEPMsgConnectionStatistics statistics =
            KEPMsgConnectionStatistics::Of(*socket, channels[i].GetLabel());
        statistics.m_recordsQueued = sendBuffer.CountQueuedFor(serials[i]);
        out.push_back(statistics);
    }
}

void KEPMsgSocketCommunicator::OnConnectionRemoved(KEPMsgSocket& socket, const KEPString& label,
                                                   void* context) {
    auto* const communicator = static_cast<KEPMsgSocketCommunicator*>(context);
    KEPMsgCommSocket* const comm = KEPMsgCommSocket::FromSocket(&socket);
    if (comm == nullptr) {
        return;
    }
    // Ended by nothing else: the host (or the library on its behalf) removed it.
    comm->Counters().RecordCloseReason(kCloseReasonRemovedByHost);
    if (comm->Counters().IsAnnounced() && communicator->m_events->IsListening()) {
        communicator->m_events->Queue(
            KEPMsgConnectionEventHub::Describe(KEPMsgConnectionEvent::kClosed, *comm, label));
    }
    communicator->m_reconnecting->OnConnectionRemoved(comm->GetSerial());
}
