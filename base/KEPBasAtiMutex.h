// Mutexes of the base layer.
//
// KEPBasAtiMutex is recursive: the thread that holds it may lock it again and must unlock it as
// often. KEPBasAtiGlobalLock takes the process-wide lock for the lifetime of the object; it is
// recursive too, because a singleton's destructor may create another singleton under it.
#pragma once

#include "base/KEPBasExport.h"

class KEPBAS_API KEPBasAtiMutex {
  public:
    virtual ~KEPBasAtiMutex();
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

class KEPBAS_API KEPBasAtiThreadingModel {
  public:
    // A new recursive mutex, owned by the caller; release it with deleteMutex.
    static KEPBasAtiMutex* newMutex();
    static void deleteMutex(KEPBasAtiMutex* mutex);
    // Number of mutexes made by newMutex and not yet deleted (for leak checks in tests).
    static int LiveCount();
};

class KEPBAS_API KEPBasAtiGlobalLock {
  public:
    KEPBasAtiGlobalLock();
    ~KEPBasAtiGlobalLock();
    KEPBasAtiGlobalLock(const KEPBasAtiGlobalLock&) = delete;
    KEPBasAtiGlobalLock& operator=(const KEPBasAtiGlobalLock&) = delete;
};

// Holds anything with Lock() and Unlock() (a KEPBasAtiMutex, a singleton instance) for a scope.
template <class Lockable>
class KEPBasAtiScopedLock {
  public:
    explicit KEPBasAtiScopedLock(Lockable& lockable) : m_lockable(lockable) { m_lockable.Lock(); }
    ~KEPBasAtiScopedLock() { m_lockable.Unlock(); }
    KEPBasAtiScopedLock(const KEPBasAtiScopedLock&) = delete;
    KEPBasAtiScopedLock& operator=(const KEPBasAtiScopedLock&) = delete;

  private:
    Lockable& m_lockable;
};
