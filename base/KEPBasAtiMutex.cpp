#include "base/KEPBasAtiMutex.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "base/mem_Allocation.h"

namespace {

class RecursiveMutex : public KEPBasAtiMutex, public mem_AllocationOperators {
  public:
    void Lock() override { m_mutex.lock(); }
    void Unlock() override { m_mutex.unlock(); }

  private:
    std::recursive_mutex m_mutex;
};

// The process-wide lock is never destroyed, so singletons may still be created or finalized
// while static objects are torn down at exit. A child of a fork replaces it (RenewAfterFork).
std::recursive_mutex*& GlobalMutexSlot() {
    static std::recursive_mutex* mutex = new std::recursive_mutex;
    return mutex;
}

std::recursive_mutex& GlobalMutex() {
    return *GlobalMutexSlot();
}

std::atomic<int> s_liveMutexes{0};

// Mutexes a child of a fork could not unlock: kept reachable, never used or destroyed again.
void KeepAbandoned(void* held) {
    static std::vector<void*>* abandoned = new std::vector<void*>;
    abandoned->push_back(held);
}

}  // namespace

KEPBasAtiMutex::~KEPBasAtiMutex() {}

KEPBasAtiMutex* KEPBasAtiThreadingModel::newMutex() {
    s_liveMutexes.fetch_add(1);
    return new RecursiveMutex;
}

void KEPBasAtiThreadingModel::deleteMutex(KEPBasAtiMutex* mutex) {
    if (mutex != nullptr) {
        s_liveMutexes.fetch_sub(1);
        delete mutex;
    }
}

int KEPBasAtiThreadingModel::LiveCount() {
    return s_liveMutexes.load();
}

KEPBasAtiMutex* KEPBasAtiThreadingModel::RenewAfterFork(KEPBasAtiMutex* held) {
    KeepAbandoned(held);
    return newMutex();
}

KEPBasAtiGlobalLock::KEPBasAtiGlobalLock() {
    GlobalMutex().lock();
}

KEPBasAtiGlobalLock::~KEPBasAtiGlobalLock() {
    GlobalMutex().unlock();
}

void KEPBasAtiGlobalLock::HoldForFork() {
    GlobalMutex().lock();
}

void KEPBasAtiGlobalLock::ReleaseAfterFork() {
    GlobalMutex().unlock();
}

void KEPBasAtiGlobalLock::RenewAfterFork() {
    KeepAbandoned(GlobalMutexSlot());
    GlobalMutexSlot() = new std::recursive_mutex;
}
