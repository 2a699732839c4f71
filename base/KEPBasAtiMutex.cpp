#include "base/KEPBasAtiMutex.h"

#include <atomic>
#include <mutex>

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
// while static objects are torn down at exit.
std::recursive_mutex& GlobalMutex() {
    static std::recursive_mutex* mutex = new std::recursive_mutex;
    return *mutex;
}

std::atomic<int> s_liveMutexes{0};

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

KEPBasAtiGlobalLock::KEPBasAtiGlobalLock() {
    GlobalMutex().lock();
}

KEPBasAtiGlobalLock::~KEPBasAtiGlobalLock() {
    GlobalMutex().unlock();
}
