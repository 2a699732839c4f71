#include "tools/KEPMsgToolSupport.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgChannelMsgStruct.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgServerSocket.h"
#include "sockets/KEPMsgSocketAddress.h"
#include "sockets/KEPMsgSocketErrorInfo.h"

namespace kepmsgtool {

namespace {

std::mutex s_arrivalMutex;
std::condition_variable s_arrivalSignal;
std::uint64_t s_arrivals = 0;

// Pause between connection attempts, in milliseconds.
constexpr int kRetryPauseMs = 100;

KEPMsgSocketCommunicator& Communicator() {
    return KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Instance();
}

}  // namespace

void NotifyArrival(const KEPString&) {
    {
        std::lock_guard<std::mutex> guard(s_arrivalMutex);
        ++s_arrivals;
    }
    s_arrivalSignal.notify_all();
}

std::uint64_t ArrivalCount() {
    std::lock_guard<std::mutex> guard(s_arrivalMutex);
    return s_arrivals;
}

void WaitForArrival(std::uint64_t seen, std::chrono::milliseconds maxWait) {
    std::unique_lock<std::mutex> guard(s_arrivalMutex);
    s_arrivalSignal.wait_for(guard, maxWait, [seen] { return s_arrivals != seen; });
}

bool MessageLoop::Start() {
    if (m_thread) {
        return true;
    }
    Communicator().PrepareStartupMessageTask();
    m_thread = std::make_unique<KEPBasAtiThread>(&m_task);
    if (!m_thread->Start()) {
        m_thread.reset();
        Communicator().ShutdownMessageTask();
        return false;
    }
    return true;
}

void MessageLoop::Stop() {
    if (!m_thread) {
        return;
    }
    Communicator().ShutdownMessageTask();
    m_thread->Join();
    m_thread.reset();
}

void RunPass(int timeoutMs) {
    Communicator().WaitConnectionsAndMessages(nullptr, timeoutMs);
    Communicator().TransmitPendingMessage();
}

void Inbox::Fetch(const std::string& type) {
    KEPMsgMessageQueryByType query{KEPString(type.c_str())};
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    Communicator().IRetrieveMessagesWithChannel(&query, records);
    std::deque<Received>& queue = m_byType[type];
    for (const KEPMsgChannelMsgStruct& record : records) {
        Received received;
        received.channel = record.m_channel;
        received.message.reset(record.m_message);
        queue.push_back(std::move(received));
    }
}

Received Inbox::Next(const std::string& type, Clock::time_point deadline) {
    for (;;) {
        // Read the counter before looking, so an arrival after the look still wakes the wait.
        const std::uint64_t seen = ArrivalCount();
        Fetch(type);
        std::deque<Received>& queue = m_byType[type];
        if (!queue.empty()) {
            Received front = std::move(queue.front());
            queue.pop_front();
            return front;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return Received{};
        }
        // Bounded, so a type registered without the callback is still found.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        WaitForArrival(
            seen, std::min(left + std::chrono::milliseconds(1), std::chrono::milliseconds(50)));
    }
}

Received Inbox::TryNextOf(const std::vector<std::string>& types) {
    for (const std::string& type : types) {
        Fetch(type);
        std::deque<Received>& queue = m_byType[type];
        if (!queue.empty()) {
            Received front = std::move(queue.front());
            queue.pop_front();
            return front;
        }
    }
    return Received{};
}

std::string ErrorText(int code) {
    KEPString text;
    KEPMsgSocketErrorInfo(code, text);
    return text.GetUTF8();
}

ConnectResult CheckResolves(const std::string& host) {
    ConnectResult result;
    KEPString resolveError;
    const KEPMsgSocketAddress server(KEPMsgInetAddress(KEPString(host.c_str())), 0);
    if (!KEPMsgConnectionServicesUtils::Instance().CheckHost(server, resolveError)) {
        result.failure = ConnectFailure::kResolve;
        result.errorText = resolveError.GetUTF8();
    }
    return result;
}

ConnectResult ConnectWithRetries(const std::string& host, int port, int timeoutSeconds,
                                 const KEPMsgTlsSettings* tls) {
    // A name that does not resolve fails the same way on every retry: say so at once.
    ConnectResult result = CheckResolves(host);
    if (result.failure != ConnectFailure::kNone) {
        return result;
    }
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    const KEPMsgSocketAddress server(KEPMsgInetAddress(KEPString(host.c_str())), port);

    const KEPMsgSocketAddress own(KEPMsgInetAddress(KEPString("")), 0);
    KEPString tlsError;
    result.socket =
        tls == nullptr
            ? services.ConnectToServer(own, server, std::max(timeoutSeconds, 0), kRetryPauseMs)
            : services.ConnectToServer(own, server, std::max(timeoutSeconds, 0), kRetryPauseMs,
                                       *tls, tlsError);
    if (result.socket != nullptr) {
        return result;
    }
    if (std::string(tlsError.GetUTF8()).rfind("TLS handshake failed", 0) == 0) {
        result.failure = ConnectFailure::kTlsHandshake;
        result.errorText = tlsError.GetUTF8();
        return result;
    }

    // ConnectToServer destroys its failed sockets, and their codes with them; one more attempt
    // on a socket of our own gives the reason.
    result.failure = ConnectFailure::kConnect;
    KEPMsgCommSocket probe(own);
    probe.Connect(server);
    result.errorCode = probe.GetErrorCode();
    probe.Shutdown();
    if (result.errorCode == 0) {
        result.errorCode = 10060;  // it answered just now: the retries ran out of time
    }
    result.errorText = ErrorText(result.errorCode);
    return result;
}

int BoundPort(KEPMsgServerSocket* server) {
    return server == nullptr ? -1 : server->GetAddress().GetPort();
}

std::string FormatEndpoint(const std::string& host, int port) {
    const std::string shown = host.empty() ? "127.0.0.1" : host;
    if (shown.find(':') != std::string::npos) {
        return "[" + shown + "]:" + std::to_string(port);
    }
    return shown + ":" + std::to_string(port);
}

Summary Summarize(std::vector<double> samples) {
    Summary summary;
    summary.count = samples.size();
    if (samples.empty()) {
        return summary;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    summary.min = samples.front();
    summary.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    // Nearest-rank percentile: the smallest sample with at least 99% of samples at or below it.
    const std::size_t rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    summary.p99 = samples[std::max<std::size_t>(rank, 1) - 1];
    return summary;
}

std::uint32_t Checksum(const std::string& bytes) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char byte : bytes) {
        hash ^= byte;
        hash *= 16777619u;
    }
    return hash;
}

}  // namespace kepmsgtool
