// The registry key of a singleton class, from the name the run-time type information gives.
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"

void KEPBasSingletonKey(const char* mangledTypeName, char* key, std::size_t size) {
    if (key == nullptr || size == 0) {
        return;
    }
    if (mangledTypeName == nullptr) {
        std::snprintf(key, size, "class ");
        return;
    }
    // __cxa_demangle reports failure by status and a null result; it does not throw.
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangledTypeName, nullptr, nullptr, &status);
    std::snprintf(key, size, "class %s",
                  status == 0 && demangled != nullptr ? demangled : mangledTypeName);
    std::free(demangled);
}
