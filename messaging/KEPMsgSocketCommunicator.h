// KEPMsgSocketCommunicator: the one object through which a process uses the messaging layer.
//
// It keeps the receive-side stream registry, the notification callbacks and the two flags that
// coordinate the message task, and forwards everything else: sends, pending status and output
// streams to KEPMsgSendMessageBuffer, channels to KEPMsgChannelOrganizer, prototypes and
// connection errors to KEPMsgConnectionServicesUtils, stored messages to
// KEPMsgRetrieveMessageBuffer. Messages, streams, prototypes and callbacks belong to the host;
// the communicator never copies or deletes a message it is given to send.
//
// Thread-safety: any thread may call the facade; at most one thread at a time may run receive
// passes (WaitConnectionsAndMessages). The communicator mutex (the singleton's mutex) guards the
// input streams, the callbacks and the writes of the default input stream and of the
// task-running flag; a receive pass holds it while a message reads its body and is stored.
// While every input stream is the module's own (KEPMsgSimpleInputStream), sockets read ahead;
// once a host stream is registered, they read no further than asked, so a host stream that
// receives from the descriptor itself gets exactly a message's body.
// Operations that change registries raise m_interruptMessaging before they wait for the mutex,
// which makes every receive pass end with a 1 ms yield so they get in. A receive pass's wait
// is ended early by the receive wake-up (KEPMsgWaitableLock), which queued sends, channel
// registration and removal and ShutdownMessageTask signal; it is no channel and raises no flag.
// Blocking retrieves are woken by the retrieve buffer's stores. Flags read without the
// mutex are atomics. Lock order: communicator mutex -> send-buffer mutex -> organizer mutex ->
// waitable lock -> connection-services mutex, and communicator mutex -> retrieve-buffer mutex.
// Notification callbacks run with no lock held.
//
// Connection lifecycle (see "Connection lifecycle" below): connection events are queued where
// they happen, on whatever thread, and delivered only by receive passes, at the end of a pass
// (after its messages are stored and notified), in the order they were queued, on the pass's
// thread with no lock held. Reconnecting clients dial on a thread of their own each (the only
// threads the library creates); they hold no lock while they dial.
#pragma once

#include <atomic>
#include <memory>

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"
#include "KEPBase/ProtectedInterfaces/KEPBasSet.h"
#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "KEPBase/ProtectedInterfaces/omi_Btree.h"
#include "base/KEPBasExport.h"
#include "base/KEPBasSocketMessage.h"
#include "base/KEPBasStream.h"
#include "base/KEPString.h"
#include "channels/KEPMsgChannel.h"
#include "channels/KEPMsgChannelQuery.h"
#include "channels/KEPMsgChannelWaitable.h"
#include "messaging/KEPMsgChannelMsgStruct.h"
#include "messaging/KEPMsgConnectionEvent.h"
#include "messaging/KEPMsgConnectionStatistics.h"
#include "messaging/KEPMsgMessageQuery.h"
#include "messaging/KEPMsgReconnectSettings.h"
#include "sockets/KEPMsgSocketAddress.h"
#include "sockets/KEPMsgTlsSettings.h"

class KEPMsgConnectionEventHub;
class KEPMsgSocket;
class KEPMsgReconnectingClients;

class KEPMsgCommSocket;

class KEPMSG_API KEPMsgSocketCommunicator
    : public KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator> {
    friend class KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>;

  public:
    typedef void (*NotificationCallback)(const KEPString& type);
    typedef void (*ConnectionEventCallback)(const KEPMsgConnectionEvent& event, void* context);

    // Stops the message task and closes every registered channel (as ShutdownMessageTask),
    // then forgets streams and callbacks without deleting them.
    ~KEPMsgSocketCommunicator();

    // --- Connections -----------------------------------------------------------------------
    // Registers the channel; with listen the message loop also reads from it.
    void AddConnection(const KEPMsgChannel& channel, bool listen);
    // Unregisters every channel the query selects (all for null), closing their connections
    // when shutdown is true. Without shutdown, a reconnecting client's connection is taken over
    // by the host: the client stops (its label is free again), a released event says so, and
    // the connection stays open until the host closes it (e.g. KEPMsgChannel::Shutdown()).
    void RemoveConnection(KEPMsgChannelQuery* query, bool shutdown);
    // Appends the registered channels the query selects (all for null) to found.
    void RetrieveConnections(KEPMsgChannelQuery* query, KEPBasVector<KEPMsgChannel>& found);
    // Sets code to the connection's last error (0 when none, or when the connection is gone or
    // closed) and, when non-zero, text to its description; otherwise text is unchanged.
    void GetErrorsOnChannel(const KEPMsgChannel& channel, int& code, KEPString& text);

    // --- Sending ---------------------------------------------------------------------------
    // Queues message for channel; id receives its message id. Nothing is written yet.
    void ISendSocketMessage(const KEPMsgChannel& channel, KEPBasSocketMessage* message,
                            unsigned int& id);
    // Queues message once per channel the query selects (all for null) and appends one id per
    // queued copy to ids.
    void ISendSocketMessage(KEPMsgChannelQuery* query, KEPBasSocketMessage* message,
                            KEPBasVector<unsigned int>& ids);
    // Queues message once per channel labelled label; id receives the id when exactly one
    // channel matched, otherwise 0.
    void ISendSocketMessage(const char* label, KEPBasSocketMessage* message, unsigned int& id);
    // Queues and transmits at once (every earlier queued record goes out first).
    void SendSocketMessage(const KEPMsgChannel& channel, KEPBasSocketMessage* message);
    // Immediate send to every channel the query selects (all for null).
    void SendSocketMessage(KEPMsgChannelQuery* query, KEPBasSocketMessage* message);
    // Immediate send to every channel labelled label.
    void SendSocketMessage(const char* label, KEPBasSocketMessage* message);
    // Empties pending, then lists the ids of ids still queued, in queue order.
    void QueryPendingStatus(const KEPBasVector<unsigned int>& ids,
                            KEPBasVector<unsigned int>& pending);
    // True while a message with this id is still queued.
    bool QueryPendingStatus(unsigned int& id);
    // One transmit pass when a default output stream is set and queued sends wait.
    void TransmitPendingMessage();

    // --- Streams, prototypes and callbacks ---------------------------------------------------
    // Stream for the bodies of received types without a stream of their own (null allowed).
    // False, nothing changed and one line on aio_cerr, for a host stream (one that reads the
    // descriptor itself) while TLS is in use.
    bool SetDefaultInputStream(KEPBasInputStream* stream);
    // True when a default input stream is set. Takes no lock.
    bool IsDefaultInputStreamDefined() const;
    // Input stream for one type; null means messages of that type are not read. First wins.
    // Refused (false) like SetDefaultInputStream for a host stream while TLS is in use.
    bool RegisterMessageInputStream(const char* type, KEPBasInputStream* stream);
    // Default output stream of the send buffer; without it nothing is ever written.
    void SetDefaultOutputStream(KEPBasOutputStream* stream);
    // True when the send buffer has a default output stream. Takes no lock.
    bool IsDefaultOutputStreamDefined() const;
    // Output stream for one type; null means messages of that type are dropped. First wins.
    void RegisterMessageOutputStream(const char* type, KEPBasOutputStream* stream);
    // Prototype from which received messages of type are made. First wins; not owned.
    void RegisterMessagePrototype(const char* type, KEPBasSocketMessage* prototype);
    // Function called once per receive pass in which messages of type were stored. First wins.
    // One that throws is caught (the first throw is reported on aio_cerr) and the pass goes on.
    void RegisterMessageNotificationCallback(const char* type, NotificationCallback callback);
    // Removes the type's callback, if any.
    void RemoveMessageNotificationCallback(const char* type);

    // --- Receiving -------------------------------------------------------------------------
    // Moves the stored messages that query selects to out (not cleared); returns at once.
    void IRetrieveMessages(KEPMsgMessageQuery* query, KEPBasVector<KEPBasSocketMessage*>& out);
    // The same with the channel each message came from.
    void IRetrieveMessagesWithChannel(KEPMsgMessageQuery* query,
                                      KEPBasVector<KEPMsgChannelMsgStruct>& out);
    // Blocks until at least one message was appended to out; each store wakes it to look
    // again. Another thread must run receive passes. Returns at once for a null query.
    void RetrieveMessages(KEPMsgMessageQuery* query, KEPBasVector<KEPBasSocketMessage*>& out);
    // The same, giving up after timeoutMs (a negative time-out looks once): true when out grew.
    bool RetrieveMessages(KEPMsgMessageQuery* query, KEPBasVector<KEPBasSocketMessage*>& out,
                          int timeoutMs);
    // Sets how many messages a receive pass reads from each ready channel at most (1, the
    // default, reads one); false and unchanged for values below 1. See the receive pass.
    bool SetReceiveDrainLimit(int messagesPerChannel);
    // The number of messages a receive pass reads from each ready channel at most.
    int GetReceiveDrainLimit() const;
    // One receive pass on waitable (the organizer's current waitable for null), waiting at
    // most timeoutMs for traffic: accepts connections, reads one message per ready channel
    // (only from the connection the wait found ready; a body cut off by the connection's end is
    // dropped), removes closed channels and calls each arrived type's callback once. With a
    // drain limit N above 1, a channel whose next header is already whole in its read buffer is
    // read again, round-robin with the other such channels, up to N messages per channel. The
    // wait also ends early, with nothing open too, when a send is queued or a listened channel
    // registered.
    void WaitConnectionsAndMessages(KEPMsgChannelWaitable* waitable, int timeoutMs);
    // Module-internal: the number of receive passes begun so far (a seam for tests).
    KEPMSG_INTERNAL unsigned long ReceivePassCount() const;
    // Module-internal: whether m_interruptMessaging is up (a seam for tests).
    KEPMSG_INTERNAL bool IsMessagingInterrupted() const;
    // Module-internal fork support (KEPMsgForkGuard): the event queue's and the reconnecting
    // clients' locks are held across fork and released in both processes; in the child,
    // RestartAfterFork forgets the parent's task, its queued events and its reconnecting
    // clients (their threads do not exist there).
    KEPMSG_INTERNAL void HoldForFork();
    KEPMSG_INTERNAL void ReleaseAfterFork();
    KEPMSG_INTERNAL void RestartAfterFork();

    // --- Message task ----------------------------------------------------------------------
    // Arms the task-running flag; call before starting the thread that runs the task.
    void PrepareStartupMessageTask();
    // True from PrepareStartupMessageTask() until ShutdownMessageTask(). Takes no lock.
    bool IsMessageTaskRunning() const;
    // The opposite of IsMessageTaskRunning(): true when the task's loop should end.
    bool IsOkToShutDownMessageTask() const;
    // Stops every reconnecting client, clears the task-running flag and wakes the task's wait
    // (its loop ends at once), waits 100 ms holding the communicator mutex and closes every
    // registered channel (closed events with the task-shutdown reason, delivered by the next
    // receive pass: a host that wants them runs one, e.g. WaitConnectionsAndMessages(nullptr,
    // 0), after the task's thread has ended). Does not wait for the task's thread.
    void ShutdownMessageTask();

    // --- Connection lifecycle ----------------------------------------------------------------
    // Registers the one connection-event callback, called with context (replacing any earlier
    // one); null removes it. From then on every accepted, connected and closed connection and
    // every failed reconnect dial queues one event; receive passes deliver them (see the header's
    // opening). After a call that removes or replaces the callback returns, the old callback is
    // never called again (the call waits for a delivery in flight on another thread). A
    // callback may call the facade; one that throws is caught, reported once on aio_cerr, and
    // delivery goes on. Events still queued when the callback is removed are dropped.
    void SetConnectionEventCallback(ConnectionEventCallback callback, void* context);

    // Starts a reconnecting client: a thread of its own dials serverAddress, registers each
    // connection it makes under label (with listen), and after the connection is lost (noticed
    // by a receive pass or a failed send, or removed by the host) dials again with the back-off
    // of settings; each failed dial is a reconnect-attempt event, each success a connected
    // event. False, with nothing started, for a null or empty label, settings that are not
    // IsValid(), a label that already has a reconnecting client, or a thread that cannot be
    // started. While the connection is down, sends by label find no channel (queued sends queue
    // nothing and report id 0, immediate sends write nothing), and records queued for the lost
    // connection are dropped, never written to the next one. Name resolution and the dial hold
    // no lock.
    bool StartReconnectingClient(const char* label, KEPMsgSocketAddress serverAddress,
                                 const KEPMsgReconnectSettings& settings);
    // The same through TLS with tls: every connection it makes shakes hands before it is
    // registered (a failed handshake is a failed dial, its reason in the event's m_errorText).
    // False, nothing started, with errorText naming the cause when the TLS settings cannot load.
    bool StartReconnectingClient(const char* label, KEPMsgSocketAddress serverAddress,
                                 const KEPMsgReconnectSettings& settings,
                                 const KEPMsgTlsSettings& tls, KEPString& errorText);
    // Stops the label's reconnecting client: no dial starts after this returns (a pause or a
    // dial in progress is cut short; a name resolution in progress is waited for), and the
    // connection it keeps is closed (removed by host). False when the label has no
    // reconnecting client.
    bool StopReconnectingClient(const char* label);

    // Appends the statistics of every registered connected channel the query selects (all for
    // null), in registration order, to out (not cleared). Listening sockets and channels whose
    // connection is gone are skipped. Counting takes no lock on the send or receive path.
    void RetrieveConnectionStatistics(KEPMsgChannelQuery* query,
                                      KEPBasVector<KEPMsgConnectionStatistics>& out);

  private:
    KEPMsgSocketCommunicator();
    KEPMsgSocketCommunicator(const KEPMsgSocketCommunicator&) = delete;
    KEPMsgSocketCommunicator& operator=(const KEPMsgSocketCommunicator&) = delete;

    // Scope guard of the interrupt bracket (see the source): raises the interrupt flag, takes
    // the communicator mutex; lowers the flag and releases the mutex at the end.
    class InterruptBracket;

    // Raises and lowers m_interruptMessaging: receive passes yield while it is up.
    void InterruptMessagingThread();
    void ReleaseInterruptMessagingThread();
    // The work of ShutdownMessageTask; communicator mutex held.
    void ShutdownMessageTask_priv();
    // Queues message for every channel of the query's selection, appending ids; communicator
    // mutex held.
    void QueueForQuery_priv(KEPMsgChannelQuery* query, KEPBasSocketMessage* message,
                            KEPBasVector<unsigned int>& ids);
    // Immediate send to every channel of the query's selection.
    void SendImmediateForQuery(KEPMsgChannelQuery* query, KEPBasSocketMessage* message);
    // The input stream for type: the registered one, else the default. Mutex held.
    KEPBasInputStream* ChooseInputStream_priv(const KEPString& type);
    // Recomputes m_readAheadAllowed after a change of the input streams. Mutex held.
    void UpdateReadAhead_priv();
    // True when stream may be registered: the module's own, or a host stream while no TLS is
    // in use (which then stays refused until the host streams are gone). Mutex held.
    bool AdmitInputStream_priv(KEPBasInputStream* stream);
    // What one receive pass has read so far: the records it stores all at once at its end, the
    // types whose callbacks run then, and the last type name read (a name that repeats keeps its
    // string, so it costs no allocation).
    struct PassIntake {
        KEPBasVector<KEPMsgChannelMsgStruct> received;
        KEPBasSet<KEPString> typesToNotify;
        KEPString type;
    };
    // Reads one message from socket (listed as channel) into intake, unless the connection was
    // lost in the middle of its body: then the message is deleted.
    void ReadMessage(KEPMsgCommSocket& socket, const KEPMsgChannel& channel, PassIntake& intake);

    // Calls a notification callback; a throw is caught, and the first one reported on aio_cerr.
    void NotifyCaught(NotificationCallback callback, const KEPString& type);
    // Queues a closed event ("refused by filter") for each refused connection, then clears
    // the list.
    void AnnounceRefused(KEPBasVector<KEPMsgChannelWaitable::RefusedPeer>& refused);
    // Queues the connected (dialed) or accepted event of a connection about to be registered,
    // once per connection.
    void AnnounceConnection(const KEPMsgChannel& channel, KEPMsgConnectionEvent::Kind kind);
    // Queues a closed event (and tells the reconnecting clients) for a connection leaving the
    // connection table; installed as the table's removal observer.
    static void OnConnectionRemoved(KEPMsgSocket& socket, const KEPString& label, void* context);

    std::atomic<KEPBasInputStream*> m_defaultInputStream;
    omi_Btree<KEPString, KEPBasStream*> m_inputStreams;
    // A stream of m_inputStreams is a host stream (not the module's own); mutex held.
    bool m_typedHostInputStream;
    // Every input stream in use is the module's own, so sockets may read ahead (see
    // KEPMsgCommSocket::SetReadAhead); a host stream may receive from the descriptor itself.
    std::atomic<bool> m_readAheadAllowed;
    std::atomic<bool> m_messageTaskRunning;
    std::atomic<bool> m_interruptMessaging;
    std::atomic<int> m_receiveDrainLimit;
    std::atomic<unsigned long> m_receivePassCount;
    // A notification callback has thrown (and was reported) since the communicator was made.
    std::atomic<bool> m_reportedCallbackThrow;
    omi_Btree<KEPString, NotificationCallback> m_notificationCallbacks;
    std::unique_ptr<KEPMsgConnectionEventHub> m_events;
    std::unique_ptr<KEPMsgReconnectingClients> m_reconnecting;
};

extern template class KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>;
