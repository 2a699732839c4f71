// Process-wide registry of singleton objects by key.
//
// The module's singletons register themselves here when created and are removed when finalized.
// Instance() may return null (tests switch the registry off to check that singletons work
// without one). All operations are thread-safe.
#pragma once

#include "base/KEPBasExport.h"

class KEPBAS_API omi_SingletonRegistry {
  public:
    // The registry, or null while it is switched off.
    static omi_SingletonRegistry* Instance();
    static void SetEnabled(bool enabled);

    // Records object under key; an existing entry for the key is replaced.
    void Add(const char* key, void* object);
    void Remove(const char* key);
    // The object registered under key, or null.
    void* Find(const char* key) const;
    int Count() const;

  private:
    omi_SingletonRegistry() = default;
};
