#include "messaging/KEPMsgConnectionEventHub.h"

#include <new>

#include "base/aio_ostream.h"
#include "sockets/KEPMsgCommSocket.h"

void KEPMsgConnectionEventHub::SetCallback(Callback callback, void* context) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_callback = callback;
    m_context = context;
    m_listening.store(callback != nullptr, std::memory_order_release);
    m_reportedThrow = false;
    if (callback == nullptr) {
        m_queue.clear();
    }
    // A callback may replace itself; any other thread waits until the old one has returned.
    if (m_deliveringThread != std::this_thread::get_id()) {
        m_deliveryDone.wait(lock, [this] { return !m_inFlight; });
    }
}

void KEPMsgConnectionEventHub::Queue(const KEPMsgConnectionEvent& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_callback != nullptr && m_queue.size() < kMaxQueued) {
        m_queue.push_back(event);
    }
}

void KEPMsgConnectionEventHub::Deliver() {
    if (!IsListening()) {
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    for (std::size_t pending = m_queue.size(); pending > 0 && !m_queue.empty(); --pending) {
        const Callback callback = m_callback;
        void* const context = m_context;
        if (callback == nullptr) {
            return;
        }
        const KEPMsgConnectionEvent event = m_queue.front();
        m_queue.pop_front();
        m_inFlight = true;
        m_deliveringThread = std::this_thread::get_id();
        lock.unlock();
        bool threw = false;
        try {
            callback(event, context);
        } catch (...) {
            threw = true;
        }
        lock.lock();
        m_inFlight = false;
        m_deliveringThread = std::thread::id();
        const bool report = threw && !m_reportedThrow;
        m_reportedThrow = m_reportedThrow || threw;
        m_deliveryDone.notify_all();
        if (report) {
            lock.unlock();
            aio_cerr.print("connection event callback threw an exception; it is ignored\n").flush();
            lock.lock();
        }
    }
}

void KEPMsgConnectionEventHub::ForgetAfterFork() {
    m_queue.clear();
    m_inFlight = false;
    m_deliveringThread = std::thread::id();
    new (&m_deliveryDone) std::condition_variable();  // its waiters were threads of the parent
}

KEPMsgConnectionEvent KEPMsgConnectionEventHub::Describe(KEPMsgConnectionEvent::Kind kind,
                                                         const KEPMsgCommSocket& socket,
                                                         const KEPString& label) {
    KEPMsgConnectionEvent event;
    event.m_kind = kind;
    event.m_socketId = socket.GetId();
    event.m_label = KEPString(label.GetUTF8());
    const KEPMsgConnectionCounters& counters = socket.Counters();
    event.m_peerHost = KEPString(counters.PeerHost());
    event.m_peerPort = counters.PeerPort();
    if (kind == KEPMsgConnectionEvent::kClosed) {
        event.m_reason = counters.CloseReason();
        event.m_errorCode = socket.GetErrorCode();
        event.m_errorText = KEPString(socket.TlsFailureText().c_str());
        event.m_statistics = KEPMsgConnectionStatistics::Of(socket, label);
    }
    return event;
}
