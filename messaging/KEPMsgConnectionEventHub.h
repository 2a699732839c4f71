// KEPMsgConnectionEventHub: the queue of connection events and their one callback.
//
// Events are queued on whatever thread they happen (the receive pass, a host thread removing a
// connection, a reconnecting client's dialer, the connection table's removal observer) and
// delivered by Deliver(), which the receive pass calls at its end: in queue order, on the
// pass's thread, with no lock held, so a callback may call the facade. Nothing is queued while
// no callback is registered; at most kMaxQueued events wait (later ones are dropped), so a host
// that registers a callback and runs no pass cannot make the queue grow without bound.
//
// Thread-safety: every operation may be called from any thread. The hub's mutex guards the
// queue and the callback; it is a leaf: nothing else is locked or called while it is held.
// SetCallback waits until a delivery in flight on another thread has returned, so the old
// callback is never called once it returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "messaging/KEPMsgConnectionEvent.h"

class KEPMsgCommSocket;

class KEPMsgConnectionEventHub {
  public:
    typedef void (*Callback)(const KEPMsgConnectionEvent& event, void* context);

    static constexpr std::size_t kMaxQueued = 65536;

    KEPMsgConnectionEventHub() = default;
    KEPMsgConnectionEventHub(const KEPMsgConnectionEventHub&) = delete;
    KEPMsgConnectionEventHub& operator=(const KEPMsgConnectionEventHub&) = delete;

    // Replaces the callback (null removes it and drops what is queued).
    void SetCallback(Callback callback, void* context);
    // True while a callback is registered: a cheap test before an event is built.
    bool IsListening() const { return m_listening.load(std::memory_order_acquire); }
    // Appends event unless no callback is registered or the queue is full.
    void Queue(const KEPMsgConnectionEvent& event);
    // Delivers the events queued so far (those queued meanwhile wait for the next call). A
    // callback that throws is caught; the first throw of each registration is reported on
    // aio_cerr.
    void Deliver();

    // Fork support: the mutex is held across fork and released in both processes; in the child,
    // ForgetAfterFork drops the queued events (the parent's connections') and any delivery in
    // flight on another thread of the parent.
    void HoldForFork() { m_mutex.lock(); }
    void ReleaseAfterFork() { m_mutex.unlock(); }
    void ForgetAfterFork();

    // An event of kind about socket (its id, peer and, for a closed event, final figures) with
    // label.
    static KEPMsgConnectionEvent Describe(KEPMsgConnectionEvent::Kind kind,
                                          const KEPMsgCommSocket& socket, const KEPString& label);

  private:
    std::mutex m_mutex;
    std::condition_variable m_deliveryDone;
    std::deque<KEPMsgConnectionEvent> m_queue;
    Callback m_callback = nullptr;
    void* m_context = nullptr;
    std::atomic<bool> m_listening{false};
    bool m_inFlight = false;             // a callback runs now
    std::thread::id m_deliveringThread;  // the thread it runs on
    bool m_reportedThrow = false;
};
