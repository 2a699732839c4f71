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
    // In the child of a fork, for a mutex that the forking thread held: a new, unlocked mutex to
    // use instead. The child's copy of the held one names a thread of the parent as its owner,
    // so it can never be unlocked there; it is kept (unused) rather than destroyed while locked.
    static KEPBasAtiMutex* RenewAfterFork(KEPBasAtiMutex* held);
};

class KEPBAS_API KEPBasAtiGlobalLock {
  public:
    KEPBasAtiGlobalLock();
    ~KEPBasAtiGlobalLock();
    // Fork support: the forking thread takes the lock before fork (HoldForFork) and releases it
    // after, in the parent (ReleaseAfterFork); the child gets a new, unlocked one
    // (RenewAfterFork), as for RenewAfterFork above.
    static void HoldForFork();
    static void ReleaseAfterFork();
    static void RenewAfterFork();
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
