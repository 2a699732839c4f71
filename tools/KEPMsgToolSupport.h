// Host-side helpers shared by the kepmsg tool and the demo (not installed).
//
// MessageLoop runs the library's message task on a thread of the base layer's thread facility
// and stops it on destruction; RunPass is the loop's one cycle for a host that runs it on its
// own thread instead (the kepmsg tool, which so sees each pass's messages before its connection
// events). Inbox collects received messages by type, waking on the
// notification callback instead of polling, and owns every message it has taken out of the
// library until the caller takes it. ConnectWithRetries turns the library's connect and resolve
// failures into one readable line with the library's Winsock-style error text.
//
// Thread-safety: an Inbox and a MessageLoop belong to one thread (the host's main thread); the
// notification callback NotifyArrival runs on the message task's thread and only touches a
// mutex-guarded counter, so it never calls back into the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/KEPBasAtiThread.h"
#include "base/KEPBasSocketMessage.h"
#include "base/KEPString.h"
#include "channels/KEPMsgChannel.h"
#include "messaging/KEPMsgMessageTask.h"
#include "sockets/KEPMsgTlsSettings.h"

class KEPMsgCommSocket;
class KEPMsgServerSocket;

namespace kepmsgtool {

using Clock = std::chrono::steady_clock;

// The notification callback to register for every awaited type: bumps the arrival counter and
// wakes the waiters. Runs on the message task's thread with no library lock held.
void NotifyArrival(const KEPString& type);
// Number of callback calls so far.
std::uint64_t ArrivalCount();
// Waits until ArrivalCount() differs from seen, or at most maxWait.
void WaitForArrival(std::uint64_t seen, std::chrono::milliseconds maxWait);

// The message task on its own thread. Start() arms the task and starts the thread; Stop() shuts
// the task down (closing every registered channel) and joins the thread. Stop() is idempotent
// and runs from the destructor.
class MessageLoop {
  public:
    MessageLoop() = default;
    ~MessageLoop() { Stop(); }
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    bool Start();
    void Stop();
    bool IsRunning() const { return m_thread != nullptr; }

  private:
    KEPMsgMessageTask m_task;
    std::unique_ptr<KEPBasAtiThread> m_thread;
};

// A received message with the channel it came from; owns the message.
struct Received {
    KEPMsgChannel channel;
    std::unique_ptr<KEPBasSocketMessage> message;

    explicit operator bool() const { return message != nullptr; }
    // The message as its class, or null when it is of another class.
    template <class T>
    T* As() const {
        return dynamic_cast<T*>(message.get());
    }
};

// One receive pass (waiting at most timeoutMs for traffic) and one transmit pass, on the calling
// thread: for a host that runs the message loop itself instead of the message task.
void RunPass(int timeoutMs);

// Received messages, kept by type in arrival order.
class Inbox {
  public:
    Inbox() = default;
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    // The oldest message of type, waiting until deadline; an empty Received when none came.
    Received Next(const std::string& type, Clock::time_point deadline);
    // The oldest message of any of types, if one has arrived; never waits.
    Received TryNextOf(const std::vector<std::string>& types);

  private:
    // Moves every stored message of type out of the library into this inbox.
    void Fetch(const std::string& type);

    std::map<std::string, std::deque<Received>> m_byType;
};

// Outcome of a connection attempt.
enum class ConnectFailure { kNone, kResolve, kConnect, kTlsHandshake };

struct ConnectResult {
    KEPMsgCommSocket* socket = nullptr;  // owned by the library's connection table
    ConnectFailure failure = ConnectFailure::kNone;
    int errorCode = 0;      // Winsock-style code of the failure, when known
    std::string errorText;  // the library's text for it
};

// An empty result when host resolves; otherwise kResolve with the resolver's text.
ConnectResult CheckResolves(const std::string& host);

// Resolves host, then connects to host:port, retrying for timeoutSeconds (at least one
// attempt). On failure the result names the stage and carries the error code and text: the
// resolver's for an unknown host, the last connection attempt's otherwise.
// With tls, the connection then shakes hands (a failure is kTlsHandshake with TLS's reason);
// the settings must have been checked (KEPMsgTlsSettings::CanLoad).
ConnectResult ConnectWithRetries(const std::string& host, int port, int timeoutSeconds,
                                 const KEPMsgTlsSettings* tls = nullptr);

// The library's text for a Winsock-style error code.
std::string ErrorText(int code);

// The port a listening socket is bound to (the one the system chose for port 0).
int BoundPort(KEPMsgServerSocket* server);

// "host:port", with brackets around an IPv6 literal.
std::string FormatEndpoint(const std::string& host, int port);

// Round-trip statistics of a list of samples, in the samples' unit.
struct Summary {
    std::size_t count = 0;
    double min = 0;
    double median = 0;
    double p99 = 0;
};
Summary Summarize(std::vector<double> samples);

// 32-bit FNV-1a of the bytes, used to check large payloads end to end.
std::uint32_t Checksum(const std::string& bytes);

}  // namespace kepmsgtool
