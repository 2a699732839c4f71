// KEPWakeupSignal: a wake-up that a thread blocked in the readiness wait watches beside its
// sockets.
//
// It owns a non-blocking local socket pair (a pipe that never raises SIGPIPE); the read end is the
// handle a wait watches (SelectReadOrWake). Signal() makes the handle readable and the wake-up
// stays until Clear(), whether or not anyone waits meanwhile; any number of signals before a
// Clear() leave one wake-up, so they never pile up. The pair is no connection of the module: it is
// in no descriptor set, in no channel list and not in the connection table.
//
// Thread-safety: Signal() may be called from any thread at any time; Clear() by the one thread
// that waits. A signal that races with Clear() is either cleared with it or left for the next
// wait: Clear() drains the pair before it re-arms Signal(), so a signaller that found the
// wake-up still armed made its change before the waiter's Clear() returned. When the pair cannot
// be made, Handle() is -1 and Signal() does nothing: waits then last their whole time-out. A
// child of a fork must not share the pair with its parent (RenewAfterFork): one process would
// consume the other's wake-up and leave it armed for good.
#pragma once

#include <atomic>

class KEPWakeupSignal {
  public:
    KEPWakeupSignal();
    // Closes both ends of the pair.
    ~KEPWakeupSignal();
    KEPWakeupSignal(const KEPWakeupSignal&) = delete;
    KEPWakeupSignal& operator=(const KEPWakeupSignal&) = delete;

    // Makes Handle() readable until the next Clear(); one write at most between two Clear()s.
    void Signal();
    // Consumes the wake-up: Handle() is no longer readable (unless a new Signal() follows).
    void Clear();
    // The descriptor to watch for input, or -1 when there is no pair.
    int Handle() const { return m_readHandle; }
    // In the child of a fork: closes the child's copies of the pair, which the parent still
    // watches, and makes a pair of the child's own, not signalled.
    void RenewAfterFork();

  private:
    // Makes the pair (handles -1 when it cannot be made).
    void Open();
    void CloseHandles();

    int m_readHandle;
    int m_writeHandle;
    // True from the Signal() that wrote a byte until the Clear() that drained it.
    std::atomic<bool> m_signalled;
};
