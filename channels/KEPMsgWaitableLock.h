// KEPMsgWaitableLock: the process-wide lock that guards the channel lists of every waitable.
//
// The class holds nothing; it exists so that KEPBasAtiGlobalSingleton<KEPMsgWaitableLock>
// provides one more recursive mutex. The wait holds it for the whole readiness wait, and the
// channel organizer takes it (inside its own mutex) whenever it changes the current waitable's
// channel list. Lock order: organizer mutex -> waitable lock -> connection-services mutex.
// Take it with `KEPBasAtiScopedLock<KEPMsgWaitableLock> guard(KEPMsgWaitableLock::Instance());`.
#pragma once

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"
#include "base/KEPBasExport.h"

class KEPMSG_API KEPMsgWaitableLock : public KEPBasAtiGlobalSingleton<KEPMsgWaitableLock> {
    friend class KEPBasAtiGlobalSingleton<KEPMsgWaitableLock>;

  private:
    KEPMsgWaitableLock();
    ~KEPMsgWaitableLock();
    KEPMsgWaitableLock(const KEPMsgWaitableLock&) = delete;
    KEPMsgWaitableLock& operator=(const KEPMsgWaitableLock&) = delete;
};

extern template class KEPBasAtiGlobalSingleton<KEPMsgWaitableLock>;
