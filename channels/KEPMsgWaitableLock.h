// KEPMsgWaitableLock: the process-wide lock that guards the channel lists of every waitable, and
// the wake-up that ends a receive pass's wait early.
//
// KEPBasAtiGlobalSingleton<KEPMsgWaitableLock> provides one more recursive mutex. The wait holds
// it for the whole readiness wait, and the channel organizer takes it (inside its own mutex)
// whenever it changes the current waitable's channel list. Lock order: organizer mutex ->
// waitable lock -> connection-services mutex. Take it with
// `KEPBasAtiScopedLock<KEPMsgWaitableLock> guard(KEPMsgWaitableLock::Instance());`.
//
// The receive wake-up (module-internal) is watched by every receive pass's wait. Whoever is
// about to wait for this lock, or leaves work for the next transmit pass (a queued send), signals
// it first, so a pass in progress ends its wait at once instead of at its time-out. Signalling
// takes no lock.
#pragma once

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"
#include "base/KEPBasExport.h"
#include "platform/KEPWakeupSignal.h"

class KEPMSG_API KEPMsgWaitableLock : public KEPBasAtiGlobalSingleton<KEPMsgWaitableLock> {
    friend class KEPBasAtiGlobalSingleton<KEPMsgWaitableLock>;

  public:
    // Module-internal: the wake-up of the receive passes' waits (see above).
    KEPMSG_INTERNAL KEPWakeupSignal& ReceiveWakeup() { return m_receiveWakeup; }
    // Module-internal: signals the receive wake-up.
    KEPMSG_INTERNAL static void WakeReceivePass() { Instance().m_receiveWakeup.Signal(); }
    // Module-internal, in the child of a fork: a wake-up of the child's own.
    KEPMSG_INTERNAL void RenewWakeupAfterFork() { m_receiveWakeup.RenewAfterFork(); }

  private:
    KEPMsgWaitableLock();
    ~KEPMsgWaitableLock();
    KEPMsgWaitableLock(const KEPMsgWaitableLock&) = delete;
    KEPMsgWaitableLock& operator=(const KEPMsgWaitableLock&) = delete;

    KEPWakeupSignal m_receiveWakeup;
};

extern template class KEPBasAtiGlobalSingleton<KEPMsgWaitableLock>;
