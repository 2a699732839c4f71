// KEPBasAtiGlobalSingleton<T>: base of every process-wide service of the module.
//
// Instance() creates T and T's own mutex on first use, under the process-wide global lock, and
// returns the one instance; the pointer is published with release semantics after T's
// constructor has finished and read with acquire semantics, so a thread that sees it sees the
// finished object. Lock() and Unlock() take T's mutex, which every public operation of T uses.
// Finalize() removes the instance from the singleton registry, destroys it and then its mutex;
// it must not race with users of T. The next Instance() creates both afresh.
//
// Each service header declares `extern template class KEPBasAtiGlobalSingleton<T>;` and its
// source file holds the explicit instantiation, so the statics live once, in the module.
//
// Nothing here throws: the registry key is built in a fixed buffer on the stack.
#pragma once

#include <atomic>
#include <cstddef>
#include <typeinfo>

#include "base/KEPBasAtiMutex.h"
#include "base/KEPBasExport.h"
#include "base/ZOTFatalError.h"
#include "base/mem_Allocation.h"
#include "base/omi_SingletonRegistry.h"

// Writes the registry key of a singleton class, "class " followed by the demangled class name,
// into key (size bytes, always terminated; a longer name is cut off). Allocates nothing that
// could throw.
KEPBAS_API void KEPBasSingletonKey(const char* mangledTypeName, char* key, std::size_t size);

template <class T>
class KEPMSG_API KEPBasAtiGlobalSingleton : public mem_AllocationOperators {
  public:
    static T& Instance();
    static void Finalize();

    void Lock() volatile { m_lock.load(std::memory_order_acquire)->Lock(); }
    void Unlock() volatile { m_lock.load(std::memory_order_acquire)->Unlock(); }

    // Fork support (the module's fork handlers): the instance, or null, without creating it; and,
    // in the child of a fork whose forking thread held T's mutex, a new unlocked mutex for T.
    static T* ExistingInstance() { return m_instance.load(std::memory_order_acquire); }
    static void RenewLockAfterFork() {
        if (KEPBasAtiMutex* held = m_lock.load(std::memory_order_acquire)) {
            m_lock.store(KEPBasAtiThreadingModel::RenewAfterFork(held), std::memory_order_release);
        }
    }

  protected:
    KEPBasAtiGlobalSingleton();
    ~KEPBasAtiGlobalSingleton() {}

  private:
    // Room for "class " and the demangled names of the module's classes.
    static constexpr std::size_t kKeyBytes = 256;

    static void CreateLocks();
    // Writes this class's registry key into key (kKeyBytes).
    static void Key(char* key);

    static std::atomic<T*> m_instance;
    static std::atomic<KEPBasAtiMutex*> m_lock;
};

template <class T>
std::atomic<T*> KEPBasAtiGlobalSingleton<T>::m_instance{nullptr};
template <class T>
std::atomic<KEPBasAtiMutex*> KEPBasAtiGlobalSingleton<T>::m_lock{nullptr};

template <class T>
void KEPBasAtiGlobalSingleton<T>::Key(char* key) {
    KEPBasSingletonKey(typeid(T).name(), key, kKeyBytes);
}

template <class T>
KEPBasAtiGlobalSingleton<T>::KEPBasAtiGlobalSingleton() {
    if (omi_SingletonRegistry* registry = omi_SingletonRegistry::Instance()) {
        char key[kKeyBytes];
        Key(key);
        registry->Add(key, static_cast<T*>(this));
    }
}

template <class T>
void KEPBasAtiGlobalSingleton<T>::CreateLocks() {
    if (m_lock.load(std::memory_order_acquire) == nullptr) {
        m_lock.store(KEPBasAtiThreadingModel::newMutex(), std::memory_order_release);
    }
    if (m_lock.load(std::memory_order_acquire) == nullptr) {
        ZOTFatalError("AssertionFailed:m_lock != 0", nullptr, nullptr, nullptr,
                      "KEPBase\\ProtectedInterfaces\\KEPBasAtiGlobalSingleton", 70);
    }
}

template <class T>
T& KEPBasAtiGlobalSingleton<T>::Instance() {
    T* instance = m_instance.load(std::memory_order_acquire);
    if (instance == nullptr) {
        KEPBasAtiGlobalLock globalLock;
        CreateLocks();
        instance = m_instance.load(std::memory_order_acquire);
        if (instance == nullptr) {
            T* created = new T;
            if (created == nullptr) {
                ZOTFatalError("AssertionFailed:inst2 != 0", nullptr, nullptr, nullptr,
                              "KEPBase\\ProtectedInterfaces\\KEPBasAtiGlobalSingleton", 85);
            }
            m_instance.store(created, std::memory_order_release);
            instance = created;
        }
    }
    if (instance == nullptr) {
        ZOTFatalError("AssertionFailed:static_cast<volatile Class* volatile>(m_instance) != 0",
                      nullptr, nullptr, nullptr,
                      "KEPBase\\ProtectedInterfaces\\KEPBasAtiGlobalSingleton", 88);
    }
    return *instance;
}

template <class T>
void KEPBasAtiGlobalSingleton<T>::Finalize() {
    KEPBasAtiGlobalLock globalLock;
    if (T* instance = m_instance.load(std::memory_order_acquire)) {
        if (omi_SingletonRegistry* registry = omi_SingletonRegistry::Instance()) {
            char key[kKeyBytes];
            Key(key);
            registry->Remove(key);
        }
        delete instance;
    }
    m_instance.store(nullptr, std::memory_order_release);
    if (KEPBasAtiMutex* lock = m_lock.exchange(nullptr, std::memory_order_acq_rel)) {
        KEPBasAtiThreadingModel::deleteMutex(lock);
    }
}
