// KEPMsgReconnectingClients: the communicator's reconnecting clients, one per label.
//
// Each client owns a dialer thread that connects to its server address (KEPMsgCommSocket::
// ConnectWithin, no lock held, then the TLS handshake when the client has TLS), enters the
// connection in the connection table, registers a channel with its label through the
// communicator (which announces it with a connected event), then sleeps until the connection
// table reports that connection removed, and dials again. A connection that the host
// unregisters without closing is handed over: its client stops.
// Every dial but the first follows a pause that KEPMsgReconnectBackoff gives (a
// reconnect-attempt event reports each failed dial); the back-off starts afresh only after a
// connection lived through a whole maximum pause, so a server that accepts and closes at once is
// not redialed in a tight loop. Stop ends the thread (a pause or a dial in progress is cut short;
// name resolution is not) and closes the connection it keeps.
//
// Thread-safety: any thread may call every operation. The registry's mutex guards the client
// list and each client's mutex its state; both are leaves below the connection-services mutex
// (OnConnectionRemoved runs under it): nothing else is locked or called while they are held.
// Stop and StopAll join threads that may be waiting for the communicator mutex, so they must
// not be called with it held.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "messaging/KEPMsgReconnectSettings.h"
#include "sockets/KEPMsgSocketAddress.h"

class KEPMsgConnectionEventHub;
class KEPMsgTlsContext;
class KEPMsgSocketCommunicator;

class KEPMsgReconnectingClients {
  public:
    // Called by a dialer instead of sleeping for a pause, when set (tests observe the pauses
    // without waiting through them). Process-wide; null restores real pauses.
    typedef void (*PauseHook)(int delayMs, void* context);
    static void SetPauseHookForTesting(PauseHook hook, void* context);

    KEPMsgReconnectingClients(KEPMsgSocketCommunicator& communicator,
                              KEPMsgConnectionEventHub& events);
    // Stops every client (StopAll).
    ~KEPMsgReconnectingClients();
    KEPMsgReconnectingClients(const KEPMsgReconnectingClients&) = delete;
    KEPMsgReconnectingClients& operator=(const KEPMsgReconnectingClients&) = delete;

    // Starts a client for label, through TLS with tls when it is not null; false for an empty
    // label, invalid settings, a label that has a client, or a thread that cannot be started.
    bool Start(const std::string& label, const KEPMsgSocketAddress& address,
               const KEPMsgReconnectSettings& settings, std::shared_ptr<KEPMsgTlsContext> tls);
    // Stops the label's client and closes its connection; false when there is none.
    bool Stop(const std::string& label);
    // The host unregistered the connection with this serial without closing it: its client
    // stops and leaves it open (the host's now), and a released event says so.
    void HandOver(std::uint64_t serial);
    // Stops every client, leaving their connections to the caller (ShutdownMessageTask closes
    // every channel itself, with its own reason).
    void StopAll();
    // The connection table dropped the connection with this serial: its client dials again.
    void OnConnectionRemoved(std::uint64_t serial);
    // Fork support: the mutex is held across fork and released in both processes. In the child,
    // ForgetAfterFork empties the registry: the clients' threads do not exist there, so the
    // clients are kept aside, never stopped, joined or destroyed.
    void HoldForFork() { m_mutex.lock(); }
    void ReleaseAfterFork() { m_mutex.unlock(); }
    void ForgetAfterFork();

    class Client;

  private:
    KEPMsgSocketCommunicator& m_communicator;
    KEPMsgConnectionEventHub& m_events;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Client>> m_clients;
};
