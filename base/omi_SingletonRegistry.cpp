#include "base/omi_SingletonRegistry.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace {

struct RegistryState {
    std::mutex m_mutex;
    std::map<std::string, void*> m_entries;
};

// Never destroyed: singletons may be finalized while static objects are torn down at exit.
RegistryState& State() {
    static RegistryState* state = new RegistryState;
    return *state;
}

std::atomic<bool> s_enabled{true};

}  // namespace

omi_SingletonRegistry* omi_SingletonRegistry::Instance() {
    static omi_SingletonRegistry registry;
    return s_enabled.load(std::memory_order_acquire) ? &registry : nullptr;
}

void omi_SingletonRegistry::SetEnabled(bool enabled) {
    s_enabled.store(enabled, std::memory_order_release);
}

void omi_SingletonRegistry::Add(const char* key, void* object) {
    if (key == nullptr) {
        return;
    }
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.m_mutex);
    state.m_entries[key] = object;
}

void omi_SingletonRegistry::Remove(const char* key) {
    if (key == nullptr) {
        return;
    }
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.m_mutex);
    state.m_entries.erase(key);
}

void* omi_SingletonRegistry::Find(const char* key) const {
    if (key == nullptr) {
        return nullptr;
    }
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.m_mutex);
    auto found = state.m_entries.find(key);
    return found != state.m_entries.end() ? found->second : nullptr;
}

int omi_SingletonRegistry::Count() const {
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.m_mutex);
    return static_cast<int>(state.m_entries.size());
}
