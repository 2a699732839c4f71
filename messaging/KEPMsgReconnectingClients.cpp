#include "messaging/KEPMsgReconnectingClients.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "channels/KEPMsgChannel.h"
#include "channels/KEPMsgChannelQuery.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgSocketLease.h"
#include "messaging/KEPMsgConnectionEventHub.h"
#include "messaging/KEPMsgReconnectBackoff.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgTlsContext.h"

namespace {

std::atomic<KEPMsgReconnectingClients::PauseHook> s_pauseHook{nullptr};
std::atomic<void*> s_pauseContext{nullptr};

// Selects the channels of one connection: its socket id, while that id still names the
// connection with the given serial.
class ConnectionQuery : public KEPMsgChannelQuery {
  public:
    ConnectionQuery(int socketId, std::uint64_t serial) : m_socketId(socketId), m_serial(serial) {}
    void Search(const KEPBasVector<KEPMsgChannel>& channels,
                KEPBasVector<KEPMsgChannel>& found) const override {
        if (KEPMsgConnectionServicesUtils::Instance().GetSerial(m_socketId) != m_serial) {
            return;
        }
        for (int i = 0; i < channels.size(); ++i) {
            if (channels[i].GetSocketId() == m_socketId) {
                found.push_back(channels[i]);
            }
        }
    }

  private:
    int m_socketId;
    std::uint64_t m_serial;
};

std::uint32_t SeedFor(const void* client) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return static_cast<std::uint32_t>(now ^ reinterpret_cast<std::uintptr_t>(client));
}

}  // namespace

class KEPMsgReconnectingClients::Client {
  public:
    Client(KEPMsgSocketCommunicator& communicator, KEPMsgConnectionEventHub& events,
           const std::string& label, const KEPMsgSocketAddress& address,
           const KEPMsgReconnectSettings& settings, std::shared_ptr<KEPMsgTlsContext> tls)
        : m_communicator(communicator),
          m_events(events),
          m_label(label),
          m_address(address),
          m_settings(settings),
          m_tls(std::move(tls)),
          m_backoff(settings, SeedFor(this)) {}
    ~Client() { Stop(false); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const std::string& Label() const { return m_label; }

    bool Launch() {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;  // no thread to be had
        }
        return true;
    }

    // True while the client keeps the connection with this serial; socketId receives its id.
    bool Keeps(std::uint64_t serial, int& socketId) {
        std::lock_guard<std::mutex> lock(m_mutex);
        socketId = m_socketId;
        return serial != 0 && m_serial == serial;
    }

    // Ends the thread, then, when closeConnection, closes the connection it keeps unless that is
    // the one with serial spared (handed over to the host). Idempotent.
    void Stop(bool closeConnection, std::uint64_t spared = 0) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_cancel.store(true);
        m_wake.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
        std::uint64_t serial = 0;
        int socketId = -1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            serial = m_serial;
            socketId = m_socketId;
            m_serial = 0;
        }
        if (closeConnection && serial != 0 && serial != spared) {
            ConnectionQuery query(socketId, serial);
            m_communicator.RemoveConnection(&query, true);
        }
    }

    void OnConnectionRemoved(std::uint64_t serial) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (serial == 0 || serial != m_serial) {
                return;
            }
            m_serial = 0;
        }
        m_wake.notify_all();
    }

  private:
    void Run() {
        int attempt = 0;
        int pauseMs = 0;  // before the next dial
        bool connected = false;
        std::chrono::steady_clock::time_point connectedAt;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stopping || m_serial == 0; });
                if (m_stopping) {
                    return;
                }
            }
            if (connected) {
                // Lost. A connection that lived through a whole maximum pause starts the
                // back-off afresh; one that died at once (a server that accepts and closes)
                // keeps it growing, so a flapping server is not redialed in a tight loop.
                connected = false;
                if (std::chrono::steady_clock::now() - connectedAt >=
                    std::chrono::milliseconds(m_settings.m_maxDelayMs)) {
                    m_backoff.Reset();
                }
                pauseMs = m_backoff.NextDelayMs();
            }
            if (pauseMs > 0 && !Pause(pauseMs)) {
                return;
            }
            ++attempt;
            int errorCode = 0;
            std::string errorText;
            if (Dial(errorCode, errorText)) {
                attempt = 0;
                connected = true;
                connectedAt = std::chrono::steady_clock::now();
                continue;
            }
            pauseMs = m_backoff.NextDelayMs();
            KEPMsgConnectionEvent event;
            event.m_kind = KEPMsgConnectionEvent::kReconnectAttempt;
            event.m_label = KEPString(m_label.c_str());
            event.m_peerHost = m_address.GetAddress().GetIPAddress();
            event.m_peerPort = m_address.GetPort();
            event.m_errorCode = errorCode;
            event.m_errorText = KEPString(errorText.c_str());
            event.m_attempt = attempt;
            event.m_nextDelayMs = pauseMs;
            m_events.Queue(event);
        }
    }

    // One dial; true when a connection was made and registered. errorCode (and, for TLS,
    // errorText) receive why not.
    bool Dial(int& errorCode, std::string& errorText) {
        KEPMsgCommSocket* socket =
            new KEPMsgCommSocket(KEPMsgSocketAddress(KEPMsgInetAddress(), 0));
        socket->ConnectWithin(m_address, m_settings.m_connectTimeoutMs, m_cancel);
        if (m_tls && socket->IsConnected() &&
            (!socket->StartTls(m_tls, m_address.GetAddress().GetIPAddress(), errorText) ||
             !socket->CompleteTlsHandshake(m_settings.m_connectTimeoutMs, errorText))) {
            socket->SetErrorCode(kepwsa::WSAECONNABORTED);
            socket->Shutdown();
        }
        KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
        const int socketId = socket->GetId();
        bool entered = false;
        if (socket->IsConnected()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_stopping) {
                // Known before the table holds it, so that its removal is never missed.
                m_serial = socket->GetSerial();
                m_socketId = socketId;
                entered = true;
            }
        }
        if (entered && !services.AddConnection(socket)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_serial = 0;
            entered = false;
        }
        if (!entered) {
            errorCode = socket->GetErrorCode();
            socket->Shutdown();
            delete socket;
            return false;
        }
        // The table owns the socket now; the lease keeps it while the channel is built, and a
        // connection that is already gone again is left to OnConnectionRemoved.
        KEPMsgSocketLease lease = services.LeaseSocket(socketId);
        if (lease && lease.get() == socket) {
            m_communicator.AddConnection(KEPMsgChannel(socket, KEPString(m_label.c_str())), true);
        }
        return true;
    }

    // Waits delayMs (or lets the test hook see it); false once the client is stopping.
    bool Pause(int delayMs) {
        if (const PauseHook hook = s_pauseHook.load()) {
            hook(delayMs, s_pauseContext.load());
        } else {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_for(lock, std::chrono::milliseconds(delayMs),
                            [this] { return m_stopping; });
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_stopping;
    }

    KEPMsgSocketCommunicator& m_communicator;
    KEPMsgConnectionEventHub& m_events;
    const std::string m_label;
    const KEPMsgSocketAddress m_address;
    const KEPMsgReconnectSettings m_settings;
    const std::shared_ptr<KEPMsgTlsContext> m_tls;  // null: plaintext
    KEPMsgReconnectBackoff m_backoff;               // the dialer thread's alone

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;            // guarded by m_mutex
    std::uint64_t m_serial = 0;         // guarded by m_mutex: the connection kept, 0 while down
    int m_socketId = -1;                // guarded by m_mutex
    std::atomic<bool> m_cancel{false};  // cuts a dial short
    std::thread m_thread;
};

void KEPMsgReconnectingClients::SetPauseHookForTesting(PauseHook hook, void* context) {
    s_pauseContext.store(context);
    s_pauseHook.store(hook);
}

KEPMsgReconnectingClients::KEPMsgReconnectingClients(KEPMsgSocketCommunicator& communicator,
                                                     KEPMsgConnectionEventHub& events)
    : m_communicator(communicator), m_events(events) {}

KEPMsgReconnectingClients::~KEPMsgReconnectingClients() {
    StopAll();
}

bool KEPMsgReconnectingClients::Start(const std::string& label, const KEPMsgSocketAddress& address,
                                      const KEPMsgReconnectSettings& settings,
                                      std::shared_ptr<KEPMsgTlsContext> tls) {
    if (label.empty() || !settings.IsValid()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::unique_ptr<Client>& client : m_clients) {
        if (client->Label() == label) {
            return false;
        }
    }
    // Room first: once its thread runs, a client must not be destroyed under this mutex (its
    // thread may be waiting for it).
    m_clients.reserve(m_clients.size() + 1);
    std::unique_ptr<Client> client(
        new Client(m_communicator, m_events, label, address, settings, std::move(tls)));
    if (!client->Launch()) {
        return false;
    }
    m_clients.push_back(std::move(client));
    return true;
}

bool KEPMsgReconnectingClients::Stop(const std::string& label) {
    std::unique_ptr<Client> stopped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
            if ((*it)->Label() == label) {
                stopped = std::move(*it);
                m_clients.erase(it);
                break;
            }
        }
    }
    if (!stopped) {
        return false;
    }
    stopped->Stop(true);  // outside the registry's mutex: it joins and removes a connection
    return true;
}

void KEPMsgReconnectingClients::HandOver(std::uint64_t serial) {
    std::unique_ptr<Client> released;
    int socketId = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
            if ((*it)->Keeps(serial, socketId)) {
                released = std::move(*it);
                m_clients.erase(it);
                break;
            }
        }
    }
    if (!released) {
        return;
    }
    // A connection it made after this one (the handed-over one was lost meanwhile) is closed.
    released->Stop(true, serial);
    KEPMsgSocketLease lease = KEPMsgConnectionServicesUtils::Instance().LeaseSocket(socketId);
    const KEPMsgCommSocket* socket = KEPMsgCommSocket::FromSocket(lease.get());
    if (socket != nullptr && socket->GetSerial() == serial && m_events.IsListening()) {
        m_events.Queue(KEPMsgConnectionEventHub::Describe(KEPMsgConnectionEvent::kReleased, *socket,
                                                          KEPString(released->Label().c_str())));
    }
}

void KEPMsgReconnectingClients::StopAll() {
    std::vector<std::unique_ptr<Client>> stopped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stopped.swap(m_clients);
    }
    for (const std::unique_ptr<Client>& client : stopped) {
        client->Stop(false);
    }
}

void KEPMsgReconnectingClients::ForgetAfterFork() {
    // Destroying one would join a thread handle of the parent, and its copied locks and
    // condition may be held or waited on for good: kept reachable, never touched again.
    static std::vector<Client*>* const keptAside = new std::vector<Client*>;
    for (std::unique_ptr<Client>& client : m_clients) {
        keptAside->push_back(client.release());
    }
    m_clients.clear();
}

void KEPMsgReconnectingClients::OnConnectionRemoved(std::uint64_t serial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::unique_ptr<Client>& client : m_clients) {
        client->OnConnectionRemoved(serial);
    }
}
